// Our collation: valid locales, a table of orders, and the total-preorder laws on random
// triples under every language kind and flag combination.
#include "platform/collation.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace tovenmarsh::platform {
namespace {

TEST(Collation, ValidLocales) {
  struct Case {
    uint16_t Language, Sort;
    bool Valid;
  } cases[] = {{0, 0, true},     {0, 1, false},    {1033, 0, true},  {1033, 1, false},
               {1031, 1, true},  {2055, 1, true},  {5127, 1, true},  {1031, 2, false},
               {1036, 0, true},  {9999, 0, false}, {1066, 0, true},  {6, 0, false}};
  for (const Case& c : cases)
    EXPECT_EQ(IsValidLocale(MakeLcid(c.Language, c.Sort)), c.Valid) << c.Language << "/" << c.Sort;
  EXPECT_EQ(CollationLanguageCount(), 99);
  for (int i = 0; i < CollationLanguageCount(); ++i)
    EXPECT_TRUE(IsValidLocale(MakeLcid(CollationLanguageAt(i).Id, 0))) << CollationLanguageAt(i).Name;
}

struct OrderCase {
  uint32_t Lcid;
  uint32_t Flags;
  const char* A;
  const char* B;
  int Expected;
};

TEST(Collation, Orders) {
  const uint32_t en = MakeLcid(1033, 0), de = MakeLcid(1031, 0), pb = MakeLcid(1031, 1);
  const uint32_t ns = kCompareIgnoreNonSpace, ci = kCompareIgnoreCase;
  const OrderCase cases[] = {
      {0, 0, "a", "B", 1},                 {0, ci, "a", "B", -1},
      {0, 0, "", "a", -1},                 {0, 0, "\x80", "\x7F", 1},
      {en, 0, "a", "B", -1},               {en, 0, "a", "A", -1},
      {en, ci, "a", "A", 0},               {en, 0, "e", "\xE9", -1},   // accent is secondary
      {en, ns, "e", "\xE9", 0},            {en, 0, "\xE9" "a", "eb", -1},  // primary first
      {en, 0, "resume", "r\xE9sum\xE9", -1}, {en, ns | ci, "R\xC9SUM\xC9", "resume", 0},
      {en, ns, "\xE6", "ae", 0},           {en, ns, "\x9C", "oe", 0},
      {en, ns | ci, "\x8C", "oe", 0},      {en, ns, "\xDF", "ss", 0},
      {en, ns, "\xFE", "th", 0},           {en, ns | ci, "\x8A", "s", 0},
      {en, ns | ci, "\x9F", "y", 0},       {en, ns, "\xF8", "o", 0},
      {en, 0, " ", "!", -1},               {en, 0, "~", "0", -1},
      {en, 0, "9", "A", -1},               {en, 0, "z", "\xC0", 1},
      {en, ns, "\xB2", "2", 0},            {en, 0, "ab", "abc", -1},
      {de, ns, "\xE4", "a", 0},            {de, ns, "\xE4", "ae", -1},
      {pb, ns, "\xE4", "ae", 0},           {pb, ns, "\xF6", "oe", 0},
      {pb, ns | ci, "\xDC", "UE", 0},      {pb, ns, "\xE4", "af", -1},
      {pb, ns, "\xE4", "ad", 1},           {pb, 0, "\xE4", "ae", 1},
  };
  for (const OrderCase& c : cases)
    EXPECT_EQ(CollateCompare(c.Lcid, c.A, c.B, c.Flags), c.Expected)
        << std::hex << c.Lcid << " flags " << c.Flags << " '" << c.A << "' vs '" << c.B << "'";
}

TEST(Collation, CaseMappingIsTheFrozenTable) {
  EXPECT_EQ(CollateUpper(MakeLcid(1031, 0), "stra\xDF" "e \xE4\xF6\xFC\xFF\x9A"), "STRA\xDF" "E \xC4\xD6\xDC\x9F\x8A");
  EXPECT_EQ(CollateLower(0, "ABC\xC0\x8C"), "abc\xE0\x9C");
}

// Antisymmetry and transitivity of "<=" and of "==" on random triples.
TEST(Collation, TotalPreorderOnRandomTriples) {
  std::mt19937_64 rng(777);
  const char alphabet[] = "aAeE\xE4\xC4\xE6\xC6" "s\xDF\xFE" "t h-0 9\xE9\xB2\x9C\x8C" "2";
  auto draw = [&] {
    std::string s(rng() % 5, ' ');
    for (char& c : s) c = alphabet[rng() % (sizeof alphabet - 1)];
    return s;
  };
  const uint32_t locales[] = {0, MakeLcid(1033, 0), MakeLcid(1031, 0), MakeLcid(1031, 1)};
  const uint32_t flagSets[] = {0, kCompareIgnoreCase, kCompareIgnoreNonSpace,
                               kCompareIgnoreCase | kCompareIgnoreNonSpace};
  for (uint32_t lcid : locales) {
    for (uint32_t flags : flagSets) {
      for (int i = 0; i < 6000; ++i) {
        std::string a = draw(), b = draw(), c = draw();
        int ab = CollateCompare(lcid, a, b, flags), ba = CollateCompare(lcid, b, a, flags);
        int bc = CollateCompare(lcid, b, c, flags), ac = CollateCompare(lcid, a, c, flags);
        ASSERT_EQ(ab, -ba) << a << "|" << b;
        ASSERT_EQ(CollateCompare(lcid, a, a, flags), 0);
        if (ab <= 0 && bc <= 0) {
          ASSERT_LE(ac, 0) << a << "|" << b << "|" << c;
        }
        if (ab == 0 && bc == 0) {
          ASSERT_EQ(ac, 0) << a << "|" << b << "|" << c;
        }
        if (ab < 0 && bc <= 0) {
          ASSERT_LT(ac, 0) << a << "|" << b << "|" << c;
        }
      }
    }
  }
}

}  // namespace
}  // namespace tovenmarsh::platform
