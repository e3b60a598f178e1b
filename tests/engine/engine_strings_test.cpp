// The engine's small string, file-name and value-text helpers, as tables of cases.
#include "engine/base/engine_strings.h"

#include <gtest/gtest.h>

#include <climits>

#include "engine/base/value_text.h"
#include "platform/collation.h"
#include "platform/exception.h"
#include "platform/format_settings.h"

namespace tovenmarsh::engine {
namespace {

TEST(EngineStrings, TextHelpers) {
  EXPECT_EQ(PadLeft("7", 3, '0'), "007");
  EXPECT_EQ(PadLeft("1234", 3, '0'), "1234");
  EXPECT_EQ(PadRight("ab", 4, '.'), "ab..");
  EXPECT_EQ(RepeatString("ab", 3), "ababab");
  EXPECT_EQ(LeftChars("abcdef", 2), "ab");
  EXPECT_EQ(RightChars("abcdef", 2), "ef");
  EXPECT_EQ(RightChars("ab", 5), "ab");
  EXPECT_EQ(LastPos("ab", "abcab"), 4u);
  EXPECT_EQ(LastPos("x", "abc"), 0u);
  EXPECT_EQ(TrimChar("xxaxx", 'x'), "a");
  EXPECT_EQ(TrimLeftChar("xxa", 'x'), "a");
  EXPECT_EQ(TrimRightChar("axx", 'x'), "a");
  EXPECT_EQ(PosInText("c", "abc"), 3u);
  EXPECT_EQ(PosInText("d", "abc"), 0u);
  EXPECT_EQ(CountOccurrences("aa", "aaaaa"), 2u);
  EXPECT_EQ(ReplacedLength("a", "xyz", "banana"), 12u);
  EXPECT_EQ(ReplaceAll("a", "xyz", "banana"), "bxyznxyznxyz");
  EXPECT_EQ(ReplaceAll("an", "an", "banana"), "banana");
  EXPECT_EQ(RemoveLineBreaks("a\r\nb\nc\r"), "abc");
  EXPECT_EQ(UndoubleQuotes("it''s \"\"x\"\" '''"), "it's \"x\" ''");
}

TEST(EngineStrings, FileNames) {
  struct Case {
    const char* In;
    const char* Stripped;
    const char* Base;
    bool HasPath;
  } cases[] = {{"account.dat", "account", "account", false},
               {"C:\\db\\x.IDX", "C:\\db\\x", "x", true},
               {"db.v2\\table", "db.v2\\table", "table", true},
               {"/srv/db/words.dat", "/srv/db/words", "words", true},
               {"", "", "", true},
               {"noext", "noext", "noext", false}};
  for (const Case& c : cases) {
    EXPECT_EQ(StripFileExt(c.In), c.Stripped) << c.In;
    EXPECT_EQ(ExtractFileBaseName(c.In), c.Base) << c.In;
    EXPECT_EQ(HasPathPart(c.In), c.HasPath) << c.In;
  }
  EXPECT_EQ(ForceFileExt(" account ", ".DAT"), "account.DAT");
  EXPECT_EQ(ForceFileExt("account.dat", ".DAT"), "account.dat");
  EXPECT_EQ(ForceFileExt("account", "IDX"), "account.IDX");
  EXPECT_EQ(AddTrailingBackslash(" C:\\db "), "C:\\db\\");
  EXPECT_EQ(AddTrailingBackslash("C:\\db\\"), "C:\\db\\");
  EXPECT_EQ(AddTrailingBackslash("/srv/db/"), "/srv/db/");
  EXPECT_EQ(AddTrailingBackslash(""), "");
  EXPECT_TRUE(SameEngineName(" Account.DAT", "account.dat "));
  EXPECT_FALSE(SameEngineName("account.dat", "accounts.dat"));
}

TEST(EngineStrings, CharactersBuffersAndArithmetic) {
  EXPECT_TRUE(IsIdentStartChar('_'));
  EXPECT_TRUE(IsIdentStartChar('\x81'));
  EXPECT_FALSE(IsIdentStartChar('\x80'));
  EXPECT_FALSE(IsIdentStartChar('\xFF'));
  EXPECT_FALSE(IsIdentStartChar('1'));
  EXPECT_TRUE(IsIdentChar('1'));
  EXPECT_TRUE(IsDigitChar('9'));
  const uint8_t a[] = {1, 2, 3, 0, 0}, b[] = {1, 2, 4, 0, 0};
  EXPECT_EQ(CountEqualPrefix(a, b, 5), 2u);
  EXPECT_EQ(CountEqualPrefix(a, b, 1), 1u);
  EXPECT_EQ(CountTrailingZeros(a, 1, 4), 2u);
  uint8_t z[3] = {1, 1, 1};
  ZeroFill(z, 2);
  EXPECT_EQ(z[1], 0);
  EXPECT_EQ(z[2], 1);
  EXPECT_EQ(NegateInteger(5), -5);
  EXPECT_EQ(NegateInteger(INT_MIN), INT_MIN);  // defined wrap, not undefined behaviour
  EXPECT_EQ(IntMax(-1, 2), 2);
  EXPECT_EQ(WordMin(3, 2), 2);
  EXPECT_EQ(LargeIntMax(INT64_MIN, 0), 0);
}

TEST(ValueText, ValidityTests) {
  struct Case {
    bool (*Test)(std::string_view);
    const char* Text;
    bool Valid;
  } cases[] = {{IsValidWordText, "65535", true},     {IsValidWordText, "65536", false},
               {IsValidWordText, "-1", false},       {IsValidIntegerText, "-2147483648", true},
               {IsValidIntegerText, "2147483648", false}, {IsValidSmallIntText, "-32768", true},
               {IsValidSmallIntText, "32768", false}, {IsValidBooleanText, "tRuE", true},
               {IsValidBooleanText, "yes", false},   {IsValidFloatText, "1.5E3", true},
               {IsValidFloatText, "1,5", false},     {IsValidCurrencyText, "12.3456", true},
               {IsValidCurrencyText, "1e3", false},  {IsValidDateText, "2026-02-28", true},
               {IsValidDateText, "2026-02-29", false}, {IsValidTimeText, "23:59:59", true},
               {IsValidTimeText, "24:00", false},    {IsValidDateTimeText, "2026-02-28 10:00", true},
               {IsValidDateTimeText, "tomorrow", false}};
  for (const Case& c : cases) EXPECT_EQ(c.Test(c.Text), c.Valid) << c.Text;
  // Under German settings the decimal separator is a comma.
  platform::TFormatSettings german;
  platform::GetLocaleFormatSettings(platform::MakeLcid(1031, 0), german);
  platform::TThreadFormatScope scope(german);
  EXPECT_TRUE(IsValidFloatText("1,5"));
  EXPECT_TRUE(IsValidDateText("28.02.2026"));
}

TEST(ValueText, Booleans) {
  EXPECT_EQ(BooleanToText(true), "True");
  EXPECT_EQ(BooleanToText(false), "False");
  EXPECT_TRUE(TextToBoolean("TRUE"));
  EXPECT_FALSE(TextToBoolean("false"));
  try {
    TextToBoolean("yes");
    FAIL();
  } catch (const platform::EConvertError& e) {
    EXPECT_EQ(e.Message(), "'yes' is not a valid boolean value");
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
