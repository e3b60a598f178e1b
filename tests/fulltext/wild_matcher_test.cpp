// The wildcard matcher: the documented cases, its errors, the byte 255 in mask and text, and
// agreement with Python's fnmatch.fnmatchcase on random masks (with "[" escaped).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "fulltext/wild_matcher.h"
#include "platform/win1252.h"

namespace tovenmarsh::fulltext {
namespace {

TEST(WildMatcher, DocumentedCases) {
  TWildMatcher m("A**B");
  EXPECT_EQ(m.Mask(), "A*B");
  const struct { const char* mask; const char* text; bool match; } cases[] = {
      {"*", "", true},      {"*", "anything", true}, {"A?C", "ABC", true}, {"A?C", "AC", false},
      {"AB*", "A", false},  {"a*b", "AXXB", true},   {"*B", "ABAB", true}, {"*B*A", "ABABA", true},
      {"?", "", false},     {"", "", true},          {"", "A", false},     {"A*", "A", true},
      {"*AB*CD", "XABYCD", true}, {"*AB*CD", "XABYCDX", false},
  };
  for (const auto& c : cases) EXPECT_EQ(TWildMatcher(c.mask).Match(c.text), c.match) << c.mask << " " << c.text;
  EXPECT_TRUE(TWildMatcher("abc", '?', '*', false).Match("ABC"));
  EXPECT_FALSE(TWildMatcher("abc", '?', '*', true).Match("ABC"));
  EXPECT_TRUE(TWildMatcher("\xE9t\xE9", '?', '*', false).Match("\xC9T\xC9"));
  TWildMatcher other("A%B_", '_', '%', true);
  EXPECT_TRUE(other.Match("AxyzBq"));
  EXPECT_FALSE(other.Match("AxyzB"));
}

TEST(WildMatcher, Errors) {
  try {
    TWildMatcher m("a", '*', '*');
    FAIL();
  } catch (const EWildCard& e) {
    EXPECT_EQ(e.Message(), "AnyChar = OneChar");
  }
  try {
    TWildMatcher m(std::string(128, 'a'));
    FAIL();
  } catch (const EWildCard& e) {
    EXPECT_EQ(e.Message(), "Mask Length too long");
    EXPECT_STREQ(e.ClassName(), "EWildCard");
  }
  EXPECT_NO_THROW(TWildMatcher(std::string(127, 'a')));
  TWildMatcher m("a");
  EXPECT_THROW(m.SetAnyChar('?'), EWildCard);
  EXPECT_THROW(m.SetOneChar('*'), EWildCard);
}

// The byte 255 is an ordinary character, in the mask and in the text.
TEST(WildMatcher, ByteFFIsAnOrdinaryCharacter) {
  EXPECT_FALSE(TWildMatcher("AB", '?', '*', true).Match("A\xFF"));
  EXPECT_TRUE(TWildMatcher("A\xFF", '?', '*', true).Match("A\xFF"));
  EXPECT_FALSE(TWildMatcher("A\xFF", '?', '*', true).Match("A"));
  EXPECT_TRUE(TWildMatcher("*\xFF", '?', '*', true).Match("\xFF\xFF"));
  EXPECT_FALSE(TWildMatcher("A*", '?', '*', true).Match("\xFF"));
  EXPECT_TRUE(TWildMatcher("?", '?', '*', true).Match("\xFF"));
  EXPECT_FALSE(TWildMatcher("A", '?', '*', true).Match("A\xFF"));
}

std::string Latin1ToUtf8(const std::string& s) {
  std::string out;
  for (char ch : s) {
    const auto c = static_cast<uint8_t>(ch);
    if (c < 0x80) {
      out.push_back(ch);
    } else {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

TEST(WildMatcher, AgreesWithFnmatchcase) {
  const char* alphabet = "abA[]\xFF*?";  // '*' and '?' may also occur in the text
  std::mt19937 rng(12345);
  std::vector<std::pair<std::string, std::string>> cases;
  for (int i = 0; i < 4000; ++i) {
    std::string mask, text;
    for (size_t n = rng() % 9; n > 0; --n) mask.push_back(alphabet[rng() % 8]);
    for (size_t n = rng() % 11; n > 0; --n) text.push_back(alphabet[rng() % (rng() % 4 == 0 ? 8 : 6)]);
    if (rng() % 3 == 0 && !mask.empty()) {  // texts derived from the mask match more often
      text.clear();
      for (char c : mask)
        if (c == '*') { for (size_t n = rng() % 3; n > 0; --n) text.push_back(alphabet[rng() % 6]); }
        else text.push_back(c == '?' ? alphabet[rng() % 6] : c);
    }
    cases.emplace_back(mask, text);
  }
  char path[] = "/tmp/tm_fnmatch_XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  {
    std::ofstream out(path, std::ios::binary);
    for (const auto& [mask, text] : cases) out << Latin1ToUtf8(mask) << '\t' << Latin1ToUtf8(text) << '\n';
  }
  const std::string script =
      "import fnmatch,sys\n"
      "for line in open(sys.argv[1], encoding='utf-8'):\n"
      "    mask, text = line.rstrip('\\n').split('\\t')\n"
      "    print(1 if fnmatch.fnmatchcase(text, mask.replace('[', '[[]')) else 0)\n";
  const std::string command = "python3 -c \"" + [&] {
    std::string escaped;
    for (char c : script) {
      if (c == '"' || c == '\\' || c == '$' || c == '`') escaped.push_back('\\');
      escaped.push_back(c);
    }
    return escaped;
  }() + "\" " + path;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string results;
  char buffer[4096];
  for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) results.append(buffer, n);
  const int status = pclose(pipe);
  close(fd);
  std::remove(path);
  ASSERT_EQ(status, 0) << "python3 failed";
  std::istringstream lines(results);
  size_t matches = 0;
  for (const auto& [mask, text] : cases) {
    std::string line;
    ASSERT_TRUE(std::getline(lines, line));
    const bool expected = line == "1";
    matches += expected;
    ASSERT_EQ(TWildMatcher(mask, '?', '*', true).Match(text), expected) << "mask [" << mask << "] text [" << text << "]";
    // Without case sensitivity the matcher agrees with itself on upper-cased input.
    ASSERT_EQ(TWildMatcher(mask, '?', '*', false).Match(text),
              TWildMatcher(platform::Win1252UpperString(mask), '?', '*', true)
                  .Match(platform::Win1252UpperString(text)));
  }
  EXPECT_GT(matches, 400u);  // the oracle saw plenty of both answers
  EXPECT_LT(matches, cases.size() - 400);
}

}  // namespace
}  // namespace tovenmarsh::fulltext
