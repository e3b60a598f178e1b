// Scaled decimals: the fixed examples, exact round trips (also above 2^53, where a float path
// loses the appended scale digit), refused out-of-range values, and rounding half away from zero
// checked against Python's decimal module on random doubles.
#include "engine/base/scaled_decimal.h"

#include <gtest/gtest.h>

#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/exception.h"

namespace tovenmarsh::engine {
namespace {

TEST(ScaledDecimal, Examples) {
  EXPECT_EQ(EncodeScaledFloat(2, 12.5), 12502);
  EXPECT_EQ(DecodeScaledFloat(12502), 12.5);
  EXPECT_EQ(EncodeScaledFloat(0, 7), 70);
  EXPECT_EQ(EncodeScaledFloat(2, -12.5), -12502);
  EXPECT_EQ(DecodeScaledFloat(-12502), -12.5);
  EXPECT_EQ(EncodeScaledFloat(3, 0.005), 53);
  EXPECT_EQ(DecodeScaledFloat(53), 0.005);
  EXPECT_EQ(EncodeScaledFloat(2, 1.235), 1242);  // 1.235 lies above the tie in binary
  EXPECT_EQ(EncodeScaledFloat(2, 0), 2);
  EXPECT_EQ(EncodeScaledFloat(2, -0.001), 2);
  EXPECT_EQ(DecodeScaledFloat(0), 0.0);
  EXPECT_DOUBLE_EQ(DecodeScaledFloat(std::numeric_limits<int64_t>::min()), -9223372036.8547758);
}

TEST(ScaledDecimal, ExactAbove2To53) {
  // 2^53 + 2: a float path would round 90071992547409940 to ...936 or ...944.
  EXPECT_EQ(EncodeScaledFloat(0, 9007199254740994.0), 90071992547409940);
  EXPECT_EQ(DecodeScaledFloat(90071992547409940), 9007199254740994.0);
  EXPECT_EQ(EncodeScaledFloat(1, 9007199254740994.0), 900719925474099401);
}

TEST(ScaledDecimal, OutOfRangeIsRefusedNotZero) {
  int64_t out = 12345;
  EXPECT_FALSE(TryEncodeScaledFloat(0, 1e18, out));
  EXPECT_FALSE(TryEncodeScaledFloat(2, -1e17, out));
  EXPECT_FALSE(TryEncodeScaledFloat(2, std::nan(""), out));
  EXPECT_FALSE(TryEncodeScaledFloat(2, std::numeric_limits<double>::infinity(), out));
  EXPECT_FALSE(TryEncodeScaledFloat(10, 1.0, out));
  EXPECT_EQ(out, 12345);
  EXPECT_THROW(EncodeScaledFloat(0, 1e19), platform::EConvertError);
  EXPECT_THROW(EncodeScaledCurrency(4, std::numeric_limits<int64_t>::max()), platform::EConvertError);
  EXPECT_THROW(DecodeScaledCurrency(9223372036854775800), platform::EConvertError);
}

TEST(ScaledDecimal, FloatRoundTripsOfDecimalTexts) {
  // Every decimal of at most 15 significant digits survives text -> float -> scaled -> float.
  std::mt19937_64 rng(99);
  for (int i = 0; i < 20000; ++i) {
    int d = static_cast<int>(rng() % 10);
    uint64_t digits = rng() % 1000000000000000ull;
    bool negative = rng() % 2;
    int64_t scaled = static_cast<int64_t>(digits * 10 + static_cast<uint64_t>(d));
    if (negative && (digits != 0 || d != 0)) scaled = -scaled;
    if (negative && digits == 0) scaled = d;  // -0 has no sign
    double x = DecodeScaledFloat(scaled);
    ASSERT_EQ(EncodeScaledFloat(d, x), scaled) << scaled;
  }
}

TEST(ScaledDecimal, CurrencyRoundTrips) {
  std::mt19937_64 rng(5);
  const int64_t limit = std::numeric_limits<int64_t>::max() / 10;
  for (int i = 0; i < 20000; ++i) {
    int64_t c = static_cast<int64_t>(rng() % static_cast<uint64_t>(limit)) * (rng() % 2 ? -1 : 1);
    if (i % 7 == 0) c = static_cast<int64_t>(rng() % 200000) - 100000;
    ASSERT_EQ(DecodeScaledCurrency(EncodeScaledCurrency(4, c)), c);
    // With fewer decimals the value comes back rounded half away from zero.
    int d = static_cast<int>(rng() % 4);
    ASSERT_EQ(DecodeScaledCurrency(EncodeScaledCurrency(d, c)), RoundCurrency(d, c));
  }
  EXPECT_EQ(EncodeScaledCurrency(2, 125000), 12502);   // 12.5
  EXPECT_EQ(EncodeScaledCurrency(7, 125000), 1250004); // capped at 4 decimals
  EXPECT_EQ(DecodeScaledCurrency(12502), 125000);
  EXPECT_EQ(DecodeScaledCurrency(1234566), 1235);      // 0.123456 -> 0.1235
  EXPECT_EQ(DecodeScaledCurrency(-1234566), -1235);
}

TEST(ScaledDecimal, RoundCurrencyHalfAwayFromZero) {
  struct Case {
    int Decimals;
    int64_t In, Out;
  } cases[] = {{2, 12345, 12300}, {2, 12350, 12400}, {2, -12350, -12400}, {0, 15000, 20000},
               {0, -5000, -10000}, {0, 4999, 0}, {4, 12345, 12345}, {9, 7, 7},
               {0, std::numeric_limits<int64_t>::max(), 9223372036854770000},
               {0, std::numeric_limits<int64_t>::min(), -9223372036854770000}};
  for (const Case& c : cases) EXPECT_EQ(RoundCurrency(c.Decimals, c.In), c.Out) << c.In;
}

TEST(ScaledDecimal, PowerOf) {
  EXPECT_EQ(PowerOf(0, 5), 1);
  EXPECT_EQ(PowerOf(3, 0), 0);
  EXPECT_EQ(PowerOf(1, 7), 7);
  EXPECT_EQ(PowerOf(3, 2), 8);
}

// RoundFloat against Python's decimal (ROUND_HALF_UP on the exact binary value).
TEST(ScaledDecimal, RoundFloatAgreesWithPythonDecimal) {
  std::mt19937_64 rng(2026);
  std::vector<std::pair<int, double>> cases;
  for (int i = 0; i < 4000; ++i) {
    int d = static_cast<int>(rng() % 7);
    double x;
    switch (i % 4) {
      case 0: x = static_cast<double>(static_cast<int64_t>(rng() % 2000001) - 1000000) / 1000.0 + 0.0005; break;
      case 1: x = static_cast<double>(static_cast<int64_t>(rng() % 200001) - 100000) / 200.0; break;
      case 2: x = std::ldexp(static_cast<double>(rng() % (1ull << 53)), -static_cast<int>(rng() % 60)); break;
      default: x = (static_cast<double>(rng() % 1000000) / 7.0) * (rng() % 2 ? 1 : -1); break;
    }
    cases.emplace_back(d, x);
  }
  std::string dir = testing::TempDir();
  std::string in = dir + "/round_in.txt", out = dir + "/round_out.txt";
  {
    std::ofstream f(in);
    for (auto& [d, x] : cases) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%d %a\n", d, x);
      f << buf;
    }
  }
  std::string script = dir + "/round.py";
  {
    std::ofstream f(script);
    f << "import sys\n"
         "from decimal import Decimal, ROUND_HALF_UP\n"
         "for line in open(sys.argv[1]):\n"
         "    d, x = line.split()\n"
         "    q = Decimal(1).scaleb(-int(d))\n"
         "    v = Decimal(float.fromhex(x)).quantize(q, rounding=ROUND_HALF_UP)\n"
         "    print(float(v).hex())\n";
  }
  std::string cmd = "python3 " + script + " " + in + " > " + out;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream results(out);
  std::string line;
  size_t i = 0;
  for (; std::getline(results, line) && i < cases.size(); ++i) {
    double expected = std::strtod(line.c_str(), nullptr);
    auto [d, x] = cases[i];
    ASSERT_EQ(RoundFloat(d, x), expected) << "RoundFloat(" << d << ", " << x << ")";
  }
  EXPECT_EQ(i, cases.size());
}

}  // namespace
}  // namespace tovenmarsh::engine
