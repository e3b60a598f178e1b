// The random source: the requested number of bytes, as hexadecimal text of twice the length,
// never the same twice, and bytes spread over all values (a chi-square bound far above what a
// working source reaches, so it fails only for a stuck or skewed one).
#include <array>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/random.h"

namespace tovenmarsh::platform {
namespace {

TEST(RandomSource, HexTextOfTheRequestedLength) {
  for (size_t count : {0u, 1u, 16u, 300u}) {
    const std::string text = RandomHex(count);
    EXPECT_EQ(text.size(), 2 * count);
    EXPECT_EQ(text.find_first_not_of("0123456789abcdef"), std::string::npos) << text;
  }
  std::set<std::string> seen;
  for (int i = 0; i < 1000; ++i) EXPECT_TRUE(seen.insert(RandomHex(16)).second);
}

TEST(RandomSource, BytesCoverAllValues) {
  std::string bytes(256 * 400, '\0');
  RandomBytes(bytes.data(), bytes.size());
  std::array<int, 256> counts{};
  for (const char c : bytes) ++counts[static_cast<unsigned char>(c)];
  double chi = 0;
  for (const int n : counts) chi += (n - 400.0) * (n - 400.0) / 400.0;
  // 255 degrees of freedom: the mean is 255; 400 lies beyond any plausible sample.
  EXPECT_LT(chi, 400.0);
  for (const int n : counts) EXPECT_GT(n, 0);
}

}  // namespace
}  // namespace tovenmarsh::platform
