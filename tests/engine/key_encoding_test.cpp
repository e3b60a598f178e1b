// Index keys must order bytewise exactly as their values order: checked on fixed cases and on
// many random pairs of every encodable type, ascending and descending, with case-insensitive
// string keys.
#include "engine/format/key_encoding.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "engine/base/engine_locale.h"
#include "engine/format/field_desc.h"
#include "platform/win1252.h"

namespace tovenmarsh::engine {
namespace {

using Bytes = std::vector<uint8_t>;

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

int CompareBytes(const Bytes& a, const Bytes& b) {
  EXPECT_EQ(a.size(), b.size());
  return Sign(std::memcmp(a.data(), b.data(), a.size()));
}

template <class T>
int CompareValues(T a, T b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

FieldDesc Field(uint8_t type, uint8_t size = 0) {
  FieldDesc f;
  f.FieldType = type;
  f.Size = size;
  ApplySizeRule(f);
  return f;
}

// The key of one field value (null byte 1 = "has a value", as the caller writes it).
Bytes Key(const FieldDesc& f, const void* value, bool descending = false, bool ci = false) {
  Bytes key(static_cast<size_t>(f.PhysicalSize) + 1, 0);
  key[0] = 1;
  BuildFieldKey(f, static_cast<const uint8_t*>(value), key.data(), 0, 0, descending, ci);
  return key;
}

Bytes Encoded(void (*encode)(int32_t, uint8_t*), int32_t v) {
  Bytes b(4);
  encode(v, b.data());
  return b;
}

TEST(KeyEncoding, FixedBytes) {
  EXPECT_EQ(Encoded(EncodeIntegerKey, -1), (Bytes{0x7F, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Encoded(EncodeIntegerKey, 0), (Bytes{0x80, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Encoded(EncodeIntegerKey, 1), (Bytes{0x80, 0x00, 0x00, 0x01}));
  Bytes s(2), w(2), l(8), f(8);
  EncodeSmallIntKey(-32768, s.data());
  EXPECT_EQ(s, (Bytes{0x00, 0x00}));
  EncodeWordKey(0x1234, w.data());
  EXPECT_EQ(w, (Bytes{0x12, 0x34}));
  EncodeLargeIntKey(std::numeric_limits<int64_t>::max(), l.data());
  EXPECT_EQ(l, (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
  EncodeFloatKey(1.0, f.data());
  EXPECT_EQ(f, (Bytes{0xBF, 0xF0, 0, 0, 0, 0, 0, 0}));
}

TEST(KeyEncoding, FloatsSignedZeroAndExtremes) {
  auto key = [](double v) {
    Bytes b(8);
    EncodeFloatKey(v, b.data());
    return b;
  };
  EXPECT_EQ(key(-0.0), key(0.0));
  const double ordered[] = {-std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::max(),
                            -2.0,
                            -1.0,
                            -std::numeric_limits<double>::denorm_min(),
                            0.0,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::min(),
                            1.0,
                            std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::infinity()};
  for (size_t i = 0; i + 1 < std::size(ordered); ++i)
    EXPECT_LT(CompareBytes(key(ordered[i]), key(ordered[i + 1])), 0) << ordered[i];
  // Every NaN is one key, above +infinity.
  EXPECT_EQ(key(std::nan("1")), key(-std::nan("2")));
  EXPECT_GT(CompareBytes(key(std::nan("")), key(std::numeric_limits<double>::infinity())), 0);
  for (double v : ordered) EXPECT_EQ(DecodeFloatKey(key(v).data()), v);
}

// Random pairs of each type: the key order (ascending and descending) equals the value order.
class KeyOrder : public ::testing::Test {
 protected:
  std::mt19937_64 rng{20261210};

  template <class T>
  void CheckPairs(uint8_t type, T (*draw)(std::mt19937_64&)) {
    FieldDesc f = Field(type);
    for (int i = 0; i < 20000; ++i) {
      T a = draw(rng);
      T b = (i % 4 == 0) ? a : draw(rng);
      int expected = CompareValues(a, b);
      ASSERT_EQ(CompareBytes(Key(f, &a), Key(f, &b)), expected) << +a << " vs " << +b;
      ASSERT_EQ(CompareBytes(Key(f, &a, true), Key(f, &b, true)), -expected);
    }
  }
};

template <class T>
T Any(std::mt19937_64& rng) {
  // Mix small values (near 0 and the sign change) with the whole range.
  uint64_t r = rng();
  if (r % 3 == 0) return static_cast<T>(static_cast<int64_t>(r % 7) - 3);
  if (r % 3 == 1) return std::numeric_limits<T>::min() + static_cast<T>(r % 3);
  return static_cast<T>(rng());
}

double AnyDouble(std::mt19937_64& rng) {
  switch (rng() % 6) {
    case 0: return std::bit_cast<double>(rng() & ~0x7FF0000000000000ull);  // denormals too
    case 1: return (rng() % 2 ? -1.0 : 1.0) * 0.0;
    case 2: return static_cast<double>(static_cast<int32_t>(rng())) / 7.0;
    case 3: return (rng() % 2 ? -1 : 1) * std::numeric_limits<double>::infinity();
    default: {
      double v = std::bit_cast<double>(rng());
      return std::isnan(v) ? 1.5 : v;
    }
  }
}

TEST_F(KeyOrder, Integers) { CheckPairs<int32_t>(fldInt32, Any<int32_t>); }
TEST_F(KeyOrder, Dates) { CheckPairs<int32_t>(fldDate, Any<int32_t>); }
TEST_F(KeyOrder, Times) { CheckPairs<int32_t>(fldTime, Any<int32_t>); }
TEST_F(KeyOrder, SmallIntegers) { CheckPairs<int16_t>(fldInt16, Any<int16_t>); }
TEST_F(KeyOrder, Words) { CheckPairs<uint16_t>(fldUInt16, Any<uint16_t>); }
TEST_F(KeyOrder, Bcd) { CheckPairs<int64_t>(fldBCD, Any<int64_t>); }
TEST_F(KeyOrder, Floats) { CheckPairs<double>(fldFloat, AnyDouble); }
TEST_F(KeyOrder, Timestamps) { CheckPairs<double>(fldTimeStamp, AnyDouble); }

TEST_F(KeyOrder, BooleansAreWords) {
  FieldDesc f = Field(fldBool);
  uint16_t no = 0, yes = 1;
  EXPECT_LT(CompareBytes(Key(f, &no), Key(f, &yes)), 0);
}

// Strings (language 0): bytewise order of the text; case-insensitive order of the upper-cased
// text; descending reverses both. Texts include high bytes and prefixes of each other.
TEST_F(KeyOrder, Strings) {
  const uint8_t size = 12;
  FieldDesc f = Field(fldZString, size);
  const char alphabet[] = "aAbBzZ09 \xE4\xC4\xFF\x9F\x80~";
  auto draw = [&] {
    std::string s(rng() % (size + 1), ' ');
    for (char& c : s) c = alphabet[rng() % (sizeof alphabet - 1)];
    return s;
  };
  auto value = [&](const std::string& s) {
    std::vector<uint8_t> v(f.PhysicalSize, 0);
    std::memcpy(v.data(), s.data(), s.size());
    return v;
  };
  for (int i = 0; i < 20000; ++i) {
    std::string a = draw();
    std::string b = i % 5 == 0 ? a.substr(0, rng() % (a.size() + 1)) : draw();
    auto va = value(a), vb = value(b);
    int exact = CompareValues(std::basic_string<uint8_t>(a.begin(), a.end()),
                              std::basic_string<uint8_t>(b.begin(), b.end()));
    ASSERT_EQ(CompareBytes(Key(f, va.data()), Key(f, vb.data())), exact) << a << "|" << b;
    ASSERT_EQ(CompareBytes(Key(f, va.data(), true), Key(f, vb.data(), true)), -exact);
    int folded = LocaleCompareStr(0, 0, a, true, 0, b);
    ASSERT_EQ(CompareBytes(Key(f, va.data(), false, true), Key(f, vb.data(), false, true)), folded)
        << a << "|" << b;
    ASSERT_EQ(CompareBytes(Key(f, va.data(), true, true), Key(f, vb.data(), true, true)), -folded);
  }
}

TEST(KeyEncoding, StringKeyLayout) {
  FieldDesc f = Field(fldZString, 4);
  char value[5] = {'a', 'B', 0, 0, 0};
  EXPECT_EQ(Key(f, value), (Bytes{1, 'a', 'B', 0, 0, 0}));
  EXPECT_EQ(Key(f, value, false, true), (Bytes{1, 'A', 'B', 0, 0, 0}));
  // Descending complements the null byte and the declared length; the final terminator stays.
  EXPECT_EQ(Key(f, value, true), (Bytes{0xFE, 0x9E, 0xBD, 0xFF, 0xFF, 0}));
  // Other types: null byte and the whole value.
  FieldDesc i = Field(fldInt32);
  int32_t one = 1;
  EXPECT_EQ(Key(i, &one, true), (Bytes{0xFE, 0x7F, 0xFF, 0xFF, 0xFE}));
  // Bytes fields are copied as they are.
  FieldDesc raw = Field(fldBytes, 3);
  uint8_t bytes[3] = {9, 8, 7};
  EXPECT_EQ(Key(raw, bytes), (Bytes{1, 9, 8, 7}));
}

TEST(KeyEncoding, DescendingWithALanguageIsLeftToTheComparison) {
  FieldDesc f = Field(fldInt32);
  int32_t v = 5;
  Bytes key(5, 0);
  key[0] = 1;
  BuildFieldKey(f, reinterpret_cast<const uint8_t*>(&v), key.data(), 1031, 0, true, false);
  EXPECT_EQ(key, (Bytes{1, 0x80, 0, 0, 5}));
}

TEST(Scrambling, IsItsOwnInverse) {
  std::mt19937 rng(7);
  Bytes data(300);
  for (auto& b : data) b = static_cast<uint8_t>(rng());
  Bytes copy = data;
  EncryptBlock(copy.data(), static_cast<uint16_t>(copy.size()), kRecordKey1, kRecordKey2);
  EXPECT_NE(copy, data);
  DecryptBlock(copy.data(), static_cast<uint16_t>(copy.size()), kRecordKey1, kRecordKey2);
  EXPECT_EQ(copy, data);
  EncryptBlock(copy.data(), 0, 1, 2);
  EXPECT_EQ(copy, data);
  // The running key: byte i is XORed with (k1 + i) and (k2 - i), each within 8 bits.
  Bytes zeros(3, 0);
  EncryptBlock(zeros.data(), 3, 0xFF, 0x00);
  EXPECT_EQ(zeros, (Bytes{0xFF ^ 0x00, 0x00 ^ 0xFF, 0x01 ^ 0xFE}));
}

}  // namespace
}  // namespace tovenmarsh::engine
