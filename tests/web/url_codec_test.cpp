// URL decoding of request paths, the once-only decoding of query and post parameters, and the
// percent-encoding of the links the server writes; Python's urllib is the oracle.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/web_test_support.h"
#include "web/html/url_codec.h"
#include "web/http/web_params.h"

namespace tovenmarsh::web {
namespace {

TEST(URLDecode, Table) {
  struct Case {
    std::string input, expected;
  } cases[] = {
      {"", ""},
      {"/index.html", "/index.html"},
      {"a+b", "a b"},
      {"%41%62%7e", "Ab~"},
      {"%%", "%"},
      {"100%%", "100%"},
      {"%2B", "+"},
      {"x%00y", std::string("x\0y", 3)},
      {"%e9t%C3%A9", "\xe9t\xc3\xa9"},
      {"%2F..%2F", "/../"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(URLDecode(c.input), c.expected) << c.input;
  }
}

TEST(URLDecode, BrokenEscapesFail) {
  for (const char* input : {"%", "%4", "a%", "a%4", "%G1", "%1G", "%%%", "/x%zz/y", "%-1"}) {
    EXPECT_THROW(URLDecode(input), EURLDecodeError) << input;
  }
}

TEST(URLDecodeParameter, KeepsBrokenEscapes) {
  struct Case {
    std::string input, expected;
  } cases[] = {
      {"100%", "100%"},   {"100%25", "100%"}, {"c%2B%2B", "c++"}, {"c++", "c  "},
      {"%26", "&"},       {"%3D", "="},       {"%zz", "%zz"},     {"%4", "%4"},
      {"%%41", "%A"},     {"x%2By", "x+y"},   {"%0D%0A", "\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(URLDecodeParameter(c.input), c.expected) << c.input;
  }
}

std::string RandomBytes(std::mt19937& rng, size_t maxLength, const std::string& alphabet) {
  std::string text(rng() % (maxLength + 1), ' ');
  for (char& c : text) {
    c = alphabet.empty() ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
  }
  return text;
}

// Texts as Python sees them: latin-1 maps each byte to one code point, so bytes round-trip.
const char* const kQuoteScript = R"(
import sys, urllib.parse
data = sys.stdin.buffer.read().split(b'\n')
for line in data[:-1]:
    raw = bytes.fromhex(line.decode())
    sys.stdout.write(urllib.parse.quote(raw, safe=';:@,/') + '\n')
)";

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (const char c : bytes) {
    hex += kDigits[static_cast<unsigned char>(c) >> 4];
    hex += kDigits[static_cast<unsigned char>(c) & 15];
  }
  return hex;
}

TEST(URLEncode, MatchesPythonQuoteAndRoundTrips) {
  std::mt19937 rng(7);
  std::vector<std::string> inputs = {"", "a b", "100%", "c++", "x&y=z#w", "\"<>'", "user@host;3"};
  for (int i = 0; i < 300; ++i) inputs.push_back(RandomBytes(rng, 24, ""));
  std::string input;
  for (const auto& text : inputs) input += Hex(text) + "\n";
  const std::string output = testing::RunPython(kQuoteScript, input);
  size_t pos = 0;
  for (const auto& text : inputs) {
    const size_t end = output.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(URLEncode(text), output.substr(pos, end - pos)) << Hex(text);
    EXPECT_EQ(URLDecodeParameter(URLEncode(text)), text);
    EXPECT_EQ(URLDecode(URLEncode(text)), text);
    pos = end + 1;
  }
}

const char* const kParseScript = R"(
import sys, urllib.parse
for line in sys.stdin.buffer.read().split(b'\n')[:-1]:
    raw = bytes.fromhex(line.decode()).decode('latin-1')
    pairs = urllib.parse.parse_qsl(raw, keep_blank_values=True, encoding='latin-1')
    sys.stdout.write(' '.join(n.encode('latin-1').hex() + '=' + v.encode('latin-1').hex()
                              for n, v in pairs) + '\n')
)";

TEST(WebParameters, SplitsRawTextBeforeDecodingLikePython) {
  std::mt19937 rng(11);
  std::vector<std::string> inputs = {
      "action=10&steps=11%3B12&do=U",
      "text=100%25&x=c%2B%2B",
      "text=a%26action%3D130&action=10",
      "a=1&&b=2&=3&flag&c==4",
      "q=%zz%4&r=%",
      "text=x%2By+z",
  };
  for (int i = 0; i < 300; ++i) inputs.push_back(RandomBytes(rng, 30, "ab=&%+2F3D6x \x80"));
  std::string input;
  for (const auto& text : inputs) input += Hex(text) + "\n";
  const std::string output = testing::RunPython(kParseScript, input);
  size_t pos = 0;
  for (const auto& text : inputs) {
    const size_t end = output.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    TWebQuery query;
    query.SetText(text);
    std::string mine;
    for (int i = 0; i < query.Count(); ++i) {
      if (i > 0) mine += ' ';
      mine += Hex(query.Item(i).first) + "=" + Hex(query.Item(i).second);
    }
    EXPECT_EQ(mine, output.substr(pos, end - pos)) << text;
    pos = end + 1;
  }
}

TEST(WebParameters, ValuesAreDecodedOnceAndCannotInjectParameters) {
  TWebQuery query;
  query.SetText("text=100%25&lang=c%2B%2B&key=a%26action%3D130&action=10&Steps=11%3B12&x=x%2By");
  EXPECT_EQ(query.GetValue("text"), "100%");
  EXPECT_EQ(query.GetValue("lang"), "c++");
  EXPECT_EQ(query.GetValue("key"), "a&action=130");
  EXPECT_EQ(query.GetValue("action"), "10");
  EXPECT_EQ(query.GetValue("steps"), "11;12");  // names ignore case
  EXPECT_EQ(query.GetValue("x"), "x+y");
  EXPECT_EQ(query.GetValue("missing"), "");

  TWebPostContent post;
  EXPECT_EQ(post.GetValue("Name"), "");  // empty list
  post.SetText("Name=Line+1%0D%0ALine+2&Perform=OK\r\n");
  EXPECT_EQ(post.GetValue("Name"), "Line 1\r\nLine 2");
  EXPECT_EQ(post.GetValue("Perform"), "OK");
  EXPECT_EQ(post.Count(), 2);
}

TEST(WebParameters, MoreThanTheCapIsRefusedWhole) {
  auto parts = [](int n, const std::string& part) {
    std::string text;
    for (int i = 0; i < n; ++i) text += (i > 0 ? "&" : "") + part;
    return text;
  };
  const struct {
    const char* label;
    std::string text;
    bool accepted;
    int count;
  } kCases[] = {
      {"at the cap", parts(kMaxWebParameters, "a"), true, kMaxWebParameters},
      {"one past the cap", parts(kMaxWebParameters + 1, "a"), false, 0},
      {"one past, with values", parts(kMaxWebParameters + 1, "k=v"), false, 0},
      // Empty parts and line ends are no parameters.
      {"empty parts", "&&" + parts(kMaxWebParameters, "a=") + "&&\r\n&", true, kMaxWebParameters},
      {"only ampersands", std::string(3 * kMaxWebParameters, '&'), true, 0},
  };
  for (const auto& c : kCases) {
    TWebPostContent post;
    post.SetText("old=1");
    EXPECT_EQ(post.SetText(c.text), c.accepted) << c.label;
    EXPECT_EQ(post.Count(), c.count) << c.label;
  }
}

}  // namespace
}  // namespace tovenmarsh::web
