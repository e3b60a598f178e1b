// Locale comparisons of the engine: language 0 is exact and compares full lengths without
// touching its inputs; languages compare under the collation; collation maps are cached;
// format settings switch per thread and come back after a failure; the language list.
#include "engine/base/engine_locale.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "engine/start/engine_library.h"
#include "engine/base/languages.h"

namespace tovenmarsh::engine {
namespace {

struct StrCase {
  uint16_t Language, Sort;
  const char* A;
  bool CaseInsensitive;
  const char* B;
  int Expected;
};

TEST(EngineLocale, CompareStrCases) {
  const StrCase cases[] = {
      {0, 0, "a", false, "B", 1},
      {0, 0, "abc", true, "ABC", 0},
      {0, 0, "abc", false, "abcd", -1},
      {0, 0, "\xE4", true, "\xC4", 0},        // the frozen table folds accented letters
      {0, 0, "\xDF", true, "SS", 1},           // sharp s has no capital
      {1033, 0, "a", false, "B", -1},
      {1033, 0, "a", false, "A", -1},          // lower before upper
      {1033, 0, "a", true, "A", 0},
      {1033, 0, "caf\xE9", false, "cafe", 0},  // accents ignored
      {1033, 0, "Stra\xDF" "e", true, "STRASSE", 0},
      {1031, 0, "M\xFCller", true, "Muller", 0},
      {1031, 0, "M\xFCller", true, "Mueller", 1},
      {1031, 1, "M\xFCller", true, "Mueller", 0},  // phone book: u umlaut is ue
      {1031, 1, "M\xFCller", true, "Muller", -1},
      {2055, 1, "\xC4rger", true, "Aerger", 0},
      {1036, 1, "\xC4rger", true, "Aerger", 1},    // sort 1 is German only
      {1033, 0, "-", false, "0", -1},               // symbols, digits, letters
      {1033, 0, "9", false, "a", -1},
      {1033, 0, "\xC6" "ble", true, "AEBLE", 0},
  };
  for (const StrCase& c : cases)
    EXPECT_EQ(LocaleCompareStr(c.Language, c.Sort, c.A, c.CaseInsensitive, 0, c.B), c.Expected)
        << c.Language << "/" << c.Sort << " '" << c.A << "' vs '" << c.B << "'";
}

TEST(EngineLocale, FullLengthsAndInputsUntouched) {
  // Two memos that differ only beyond 256 characters are not equal.
  std::string a(256, 'x'), b(512, 'x');
  EXPECT_EQ(LocaleCompareStr(0, 0, a, false, 0, b), -1);
  EXPECT_EQ(LocaleCompareStr(0, 0, b, true, 0, a), 1);
  std::string lower = "abc\xE4";
  const std::string before = lower;
  EXPECT_EQ(LocaleCompareStr(0, 0, lower, true, 0, "ABC\xC4"), 0);
  EXPECT_EQ(lower, before);
  // A length compares only that many characters (past the end counts as 0).
  EXPECT_EQ(LocaleCompareStr(0, 0, "abcX", false, 3, "abcY"), 0);
  EXPECT_EQ(LocaleCompareStr(0, 0, "ab", false, 3, "abc"), -1);
  EXPECT_EQ(LocaleCompareStr(1033, 0, "abcX", false, 3, "ABCY"), -1);
  EXPECT_EQ(LocaleCompareStr(1033, 0, "abcX", true, 3, "ABCY"), 0);
}

TEST(EngineLocale, CompareKeyBytes) {
  const uint8_t a[] = {1, 2, 0xFF}, b[] = {1, 3, 0};
  EXPECT_EQ(CompareKeyBytes(a, b, 3, false), -1);
  EXPECT_EQ(CompareKeyBytes(a, b, 3, true), 1);
  EXPECT_EQ(CompareKeyBytes(a, b, 1, false), 0);
  EXPECT_EQ(CompareKeyBytes(nullptr, b, 3, false), 1);
  EXPECT_EQ(CompareKeyBytes(a, a, 0, false), 0);
}

TEST(EngineLocale, CharMapsAreCached) {
  InitializeEngineLibrary();
  TCharMap identity, german;
  GetCharMap(0, 0, identity);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(identity[static_cast<size_t>(i)], i);
  TLanguageCharMapsList cache;
  bool built = false;
  cache.GetCharMap(1031, 0, german, &built);
  EXPECT_TRUE(built);
  TCharMap again;
  cache.GetCharMap(1031, 0, again, &built);
  EXPECT_FALSE(built);
  EXPECT_EQ(again, german);
  EXPECT_EQ(cache.Count(), 1);
  // The map lists every byte once, in the locale's character order.
  std::vector<bool> seen(256, false);
  for (uint8_t c : german) seen[c] = true;
  for (bool s : seen) EXPECT_TRUE(s);
  for (size_t i = 1; i < 256; ++i)
    EXPECT_LE(LocaleCompareChar(1031, 0, static_cast<char>(german[i - 1]), static_cast<char>(german[i])), 0);
  FinalizeEngineLibrary();
}

TEST(EngineLocale, SettingsComeBackAfterAFailure) {
  TLanguageSettings before;
  SaveLanguageSettings(before);
  EXPECT_THROW(WithTableLocale(1031, 0,
                               [] {
                                 TLanguageSettings now;
                                 SaveLanguageSettings(now);
                                 EXPECT_EQ(now.DecimalSeparator, ',');
                                 EXPECT_EQ(now.ShortDateFormat, "dd.MM.yyyy");
                                 throw std::runtime_error("conversion failed");
                                 return 0;
                               }),
               std::runtime_error);
  TLanguageSettings after;
  SaveLanguageSettings(after);
  EXPECT_EQ(after, before);
  TLanguageSettings neutral;
  LoadLanguageSettings(0, 0, neutral);
  EXPECT_EQ(neutral.ShortDateFormat, "yyyy-mm-dd");
  EXPECT_EQ(neutral.DateSeparator, '-');
  EXPECT_EQ(neutral.CurrencyString, "");
  TLanguageSettings us;
  LoadLanguageSettings(1033, 0, us);
  EXPECT_EQ(us.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(us.ShortTimeFormat, "h:mm AMPM");
  EXPECT_EQ(us.LongTimeFormat, "h:mm:ss AMPM");
  EXPECT_EQ(us.CurrencyString, "$");
  TLanguageSettings other;
  LoadLanguageSettings(1078, 0, other);  // a language without data of its own: the defaults
  EXPECT_EQ(other.ShortDateFormat, "M/d/yyyy");
  EXPECT_EQ(other.DateSeparator, '/');
}

TEST(EngineLocale, LocaleIds) {
  EXPECT_EQ(MakeLanguageId(7, 1), 1031);
  EXPECT_EQ(MakeLanguageId(0x109, 1), 1033);  // primary kept to 8 bits
  EXPECT_EQ(MakeLocaleId(1031, 1), 0x10407u);
}

TEST(Languages, ListAndLookups) {
  EXPECT_EQ(LanguageCount(), 99);
  EXPECT_STREQ(LanguageAt(0).Name, "ANSI Standard");
  EXPECT_EQ(LanguageAt(0).Id, 0);
  EXPECT_STREQ(LanguageAt(98).Name, "Vietnamese");
  EXPECT_STREQ(LanguageAt(48).Name, "German (Standard)");
  EXPECT_STREQ(LanguageAt(52).Name, "German (Liechtenstein)");
  struct Case {
    const char* Name;
    uint16_t Id;
  } cases[] = {{"english (usa)", 1033},     {"English (UK)", 2057},
               {"German (Standard)", 1031}, {"GERMAN (SWISS)", 2055},
               {"Portuguese (Standard)", 2070}, {"Portuguese (Brazilian)", 1046},
               {"Serbian (Cyrillic)", 3098}, {"Spanish (Puerto Rico)", 20490},
               {"Ukranian", 1058},           {"ANSI Standard", 0},
               {"Klingon", 0}};
  for (const Case& c : cases) EXPECT_EQ(LanguageIdOfName(c.Name), c.Id) << c.Name;
  EXPECT_TRUE(LanguageExists("afrikaans"));
  EXPECT_FALSE(LanguageExists("Klingon"));
  // Identifiers are unique, so positions and ids map one to one.
  for (int i = 0; i < LanguageCount(); ++i) EXPECT_EQ(LanguagePositionOfId(LanguageAt(i).Id), i);
}

TEST(Languages, SortOrders) {
  std::vector<std::string> list{"stale"};
  SortOrdersOfLanguage(LanguagePositionOfId(LanguageIdOfName("German (Swiss)")), list);
  EXPECT_EQ(list, (std::vector<std::string>{"Default Order", "German Phone Book Order"}));
  SortOrdersOfLanguage(LanguagePositionOfId(LanguageIdOfName("French (Swiss)")), list);
  EXPECT_EQ(list, (std::vector<std::string>{"Default Order"}));
  int germans = 0;
  for (int i = 0; i < LanguageCount(); ++i) {
    SortOrdersOfLanguage(i, list);
    if (list.size() == 2) {
      ++germans;
      EXPECT_GE(i, 48);
      EXPECT_LE(i, 52);
    }
  }
  EXPECT_EQ(germans, 5);
  EXPECT_EQ(SortOrderIdOfName(1031, "German Phone Book Order"), 1);
  EXPECT_EQ(SortOrderIdOfName(1031, "default order"), 0);
  EXPECT_EQ(SortOrderIdOfName(1036, "German Phone Book Order"), 0);
  EXPECT_TRUE(SortOrderExists(5127, "german phone book order"));
  EXPECT_FALSE(SortOrderExists(1036, "German Phone Book Order"));
  EXPECT_TRUE(SortOrderExists(1036, "Default Order"));
}

}  // namespace
}  // namespace tovenmarsh::engine
