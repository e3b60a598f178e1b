#include "core/str_utils.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "platform/stream.h"

namespace tovenmarsh::core {
namespace {

TEST(Conversions, TextToIntAndTextToBool) {
  struct IntCase { const char* text; int value; };
  const IntCase ints[] = {{"", 0},          {"42", 42},           {"-7", -7},       {"+7", 7},
                          {"  12", 12},     {"12 ", 0},           {"1x", 0},        {"x", 0},
                          {"-", 0},         {"2147483647", 2147483647}, {"2147483648", 0},
                          {"-2147483648", -2147483647 - 1},      {"-2147483649", 0}, {"99999999999999999999", 0},
                          {"0x10", 0},      {"007", 7}};
  for (const IntCase& c : ints) EXPECT_EQ(TextToInt(c.text), c.value) << '"' << c.text << '"';

  struct BoolCase { const char* text; bool value; };
  const BoolCase bools[] = {{"yes", true}, {"Y", true}, {"1", true}, {"0", true}, {"true", true}, {" no", true},
                            {"no", false}, {"False", false}, {"n", false}, {"", false}, {"f", false}, {"No", false}};
  for (const BoolCase& c : bools) EXPECT_EQ(TextToBool(c.text), c.value) << '"' << c.text << '"';

  EXPECT_EQ(BoolToYesNo(true), "Yes");
  EXPECT_EQ(BoolToYesNo(false), "No");
  EXPECT_EQ(IntToText(-12345), "-12345");
  EXPECT_EQ(IntToText(0), "0");
}

TEST(Conversions, HexToIntWeighsEveryPositionButCountsOnlyUpperCaseDigits) {
  struct Case { const char* text; int value; };
  const Case cases[] = {{"1F", 31}, {"1f", 16}, {"", 0}, {"FF", 255}, {"G1", 1}, {"10", 16}, {"x0", 0},
                        {"7FFFFFFF", 0x7FFFFFFF}, {"FFFFFFFF", -1}, {"100000000", 0}};
  for (const Case& c : cases) EXPECT_EQ(HexToInt(c.text), c.value) << c.text;
  EXPECT_EQ(MinCardinal(0xFFFFFFFFu, 1), 1u);
  EXPECT_EQ(MinCardinal(3, 0x80000000u), 3u);
}

TEST(Conversions, StreamToTextReadsFromThePosition) {
  platform::TStringStream stream("hello world");
  EXPECT_EQ(StreamToText(stream), "hello world");
  stream.SetPosition(6);
  EXPECT_EQ(StreamToText(stream), "world");
}

TEST(Searching, PosFromAndPosFromText) {
  struct Case { const char* text; const char* pattern; int start; int exact; int folded; };
  const Case cases[] = {
      {"abcabc", "bc", 1, 2, 2},  {"abcabc", "bc", 3, 5, 5},  {"abcabc", "bc", 6, 0, 0},
      {"abcabc", "BC", 1, 0, 2},  {"abc", "abcd", 1, 0, 0},   {"abc", "", 2, 2, 2},
      {"abc", "", 4, 0, 0},       {"abc", "a", 0, 1, 1},      {"abc", "a", -5, 1, 1},
      {"", "", 1, 0, 0},          {"aXa", "xA", 1, 0, 2},     {"abc", "c", 3, 3, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PosFrom(c.text, c.pattern, c.start), c.exact) << c.text << "/" << c.pattern << "/" << c.start;
    EXPECT_EQ(PosFromText(c.text, c.pattern, c.start), c.folded) << c.text << "/" << c.pattern << "/" << c.start;
  }
}

TEST(Searching, ReplaceAllDoesNotRescanReplacements) {
  EXPECT_EQ(ReplaceAll("aaa", "a", "aa", false), "aaaaaa");
  EXPECT_EQ(ReplaceAll("<PRODUCTNAME> ready", "<productname>", "tovenmarsh", true), "tovenmarsh ready");
  EXPECT_EQ(ReplaceAll("<PRODUCTNAME> ready", "<productname>", "tovenmarsh", false), "<PRODUCTNAME> ready");
  EXPECT_EQ(ReplaceAll("abab", "ab", "", false), "");
  EXPECT_EQ(ReplaceAll("abc", "", "x", false), "abc");
  EXPECT_EQ(ReplaceAll("xAx", "a", "-", true), "x-x");
}

TEST(Searching, SameTextNAndFriends) {
  EXPECT_TRUE(SameTextN("HELO there", "helo", 4));
  EXPECT_FALSE(SameTextN("HELO", "helo", 0));
  EXPECT_FALSE(SameTextN("HE", "helo", 4));
  EXPECT_FALSE(SameTextN("h\xe9", "H\xc9", 2));  // only ASCII letters fold
  EXPECT_EQ(UpCaseChar('a'), 'A');
  EXPECT_EQ(UpCaseChar('\xe9'), '\xe9');
  EXPECT_TRUE(SameBytes("abc", "abd", 2));
  EXPECT_FALSE(SameBytes("abc", "abd", 3));
  EXPECT_EQ(CountChar("a.b.c.", '.'), 3);
}

TEST(Fields, GetFieldTable) {
  struct Case { const char* text; int n; const char* delimiters; const char* field; };
  const Case cases[] = {
      {"a;b;c", 2, ";", "b"},       {"a;;c", 2, ";", ""},       {"a;b", 3, ";", ""},
      {"a;b\r\n", 2, ";", "b"},     {"a,b,", 2, ",", "b,"},     {"a,b,", 3, ",", ""},
      {"a;b;c", 0, ";", "a;b;c"},   {"a;b;c", -1, ";", "a;b;c"}, {"a b;c", 2, " ;", "b"},
      {"\r\n", 1, ";", "\r"},       {"", 1, ";", ""},           {";", 1, ";", ";"},
      {";a", 1, ";", ""},           {";a", 2, ";", "a"},        {"a;b;c", 3, ";", "c"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetField(c.text, c.n, c.delimiters), c.field) << '"' << c.text << "\" " << c.n;
  }
}

TEST(Fields, GetFieldsFromAndBefore) {
  struct Case { const char* text; int n; const char* from; const char* before; };
  const Case cases[] = {
      {"a b c", 1, "b c", "a b"}, {"a b c", 2, "c", "a"},     {"a b c", 3, "", ""},
      {"a b c\r\n", 1, "b c", "a b"}, {"a b ", 2, "", "a"},   {" a", 1, "a", ""},
      {"ab", 1, "", ""},          {"a b", 0, "", ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetFieldsFrom(c.text, c.n, " "), c.from) << '"' << c.text << "\" " << c.n;
    EXPECT_EQ(GetFieldsBefore(c.text, c.n, " "), c.before) << '"' << c.text << "\" " << c.n;
  }
}

TEST(Extracting, ExtractValueSkipsAnExactPrefixAndStopsAtATerminator) {
  struct Case { const char* text; const char* name; const char* skip; const char* terminators; const char* value; };
  const Case cases[] = {
      {"name=\"x\"; y", "name", "=\"", "\";", "x"},
      {"name=x; y", "name", "=\"", "\";", "x"},
      {"name x", "name", "=\"", "\";", " x"},
      {"a; name=\"long value", "name", "=\"", "\";", "long value"},
      {"boundary=abc", "boundary", "=", "", "abc"},
      {"Name=x", "name", "=", ";", ""},
      {"n=1;n=2", "n", "=", ";", "1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ExtractValue(c.text, c.name, c.skip, c.terminators), c.value) << c.text;
  }
}

TEST(Extracting, ExtractUntilWalksFromDelimiterToDelimiter) {
  const std::string text = "a,bb,c";
  int position = 1;
  EXPECT_EQ(ExtractUntil(text, ',', position), "a");
  EXPECT_EQ(position, 2);
  EXPECT_EQ(ExtractUntil(text, ',', position), ",bb");
  EXPECT_EQ(position, 5);
  EXPECT_EQ(ExtractUntil(text, ',', position), "");  // no further delimiter
  EXPECT_EQ(position, 5);
  position = 7;
  EXPECT_EQ(ExtractUntil(text, ',', position), "");
  EXPECT_EQ(position, 7);
  position = 0;
  EXPECT_EQ(ExtractUntil(text, ',', position), "");
  EXPECT_EQ(position, 0);
}

TEST(Extracting, TextAfterStripEnclosingTextToLines) {
  EXPECT_EQ(TextAfter("key: value", ": "), "value");
  EXPECT_EQ(TextAfter("key", ":"), "");
  struct Case { const char* text; const char* leading; const char* trailing; const char* result; };
  const Case cases[] = {
      {"MAIL FROM:<a@b.nl>", "<:", ">", "a@b.nl"},
      {"MAIL FROM:<>", "<:", ">", ""},
      {"RCPT TO: <x@y>", "<:", ">", "x@y"},
      {"<user@host>", "<", "@", "user"},
      {"<user@host>", "@", ">", "host"},
      {"user@host", "<", "@", "user"},
      {"user@host", "@", ">", "host"},
      {"plain", "<", ">", "plain"},
      {"a>b<c", "<", ">", ""},
      {"x[y]z", "[", "]", "y"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StripEnclosing(c.text, c.leading, c.trailing), c.result) << c.text;
  }
  EXPECT_EQ(TextToLines("\"a\": 1,\r\n\"b\": 2", ","), "a:1\r\nb:2");
  EXPECT_EQ(TextToLines("a:  b;c", ";"), "a: b\r\nc");
}

}  // namespace
}  // namespace tovenmarsh::core
