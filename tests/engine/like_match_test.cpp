// LIKE: the fixed cases, the end-of-text restart, and agreement with SQLite's case-sensitive
// LIKE on many random texts and patterns.
#include "engine/base/like_match.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <random>
#include <string>

namespace tovenmarsh::engine {
namespace {

struct LikeCase {
  const char* Text;
  const char* Pattern;
  bool Matches;
};

TEST(LikeMatch, Cases) {
  const LikeCase cases[] = {
      {"abc", "a%c", true},   {"abc", "a_c", true},   {"abc", "%", true},
      {"abc", "%b%", true},   {"abc", "a%d", false},  {"abc", "ab", false},
      {"", "", true},         {"", "%", true},        {"", "%%", true},
      {"", "_", false},       {"a", "", false},       {"abc", "abc%", true},
      {"abc", "%abc", true},  {"abc", "%c", true},    {"abc", "%a", false},
      {"abcabd", "%abd", true}, {"aaa", "a%a%a", true}, {"aa", "a%a%a", false},
      {"abc", "ABC", false},  {"ab", "a%%b", true},   {"mississippi", "m%iss%pi", true},
      {"mississippi", "m%iss%pix", false},             {"x", "%_", true},
      {"", "%_", false},      {"ab", "%_%_%", true},  {"a", "%_%_%", false},
  };
  for (const LikeCase& c : cases)
    EXPECT_EQ(LikeMatch(0, 0, c.Text, c.Pattern), c.Matches) << c.Text << " LIKE " << c.Pattern;
}

// After the '%' has swallowed the whole text, no restart may begin beyond the text's end: the
// pattern's remainder must not be matched against bytes after the text.
TEST(LikeMatch, NoRestartBeyondTheEnd) {
  std::string buffer = "abX";
  std::string_view text(buffer.data(), 2);  // "ab", with an X lying behind it
  EXPECT_FALSE(LikeMatch(0, 0, text, "%X"));
  EXPECT_FALSE(LikeMatch(0, 0, text, "%b_"));
  EXPECT_TRUE(LikeMatch(0, 0, text, "%b"));
}

TEST(LikeMatch, LanguagesCompareCharactersUnderTheirCollation) {
  // German ignores accents for single characters; language 0 is exact.
  EXPECT_TRUE(LikeMatch(1031, 0, "caf\xE9", "cafe"));
  EXPECT_FALSE(LikeMatch(0, 0, "caf\xE9", "cafe"));
}

class SqliteLike {
 public:
  SqliteLike() {
    EXPECT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    sqlite3_exec(db_, "PRAGMA case_sensitive_like=ON", nullptr, nullptr, nullptr);
    EXPECT_EQ(sqlite3_prepare_v2(db_, "SELECT ?1 LIKE ?2", -1, &stmt_, nullptr), SQLITE_OK);
  }
  ~SqliteLike() {
    sqlite3_finalize(stmt_);
    sqlite3_close(db_);
  }
  bool Match(const std::string& text, const std::string& pattern) {
    sqlite3_reset(stmt_);
    sqlite3_bind_text(stmt_, 1, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt_, 2, pattern.data(), static_cast<int>(pattern.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(stmt_), SQLITE_ROW);
    return sqlite3_column_int(stmt_, 0) != 0;
  }

 private:
  sqlite3* db_ = nullptr;
  sqlite3_stmt* stmt_ = nullptr;
};

TEST(LikeMatch, AgreesWithSqlite) {
  SqliteLike sqlite;
  std::mt19937_64 rng(424242);
  // A small alphabet so that patterns match often; ASCII only (SQLite's '_' takes one UTF-8
  // character, ours one byte).
  const std::string textChars = "abcA";
  const std::string patternChars = "abcA%%__";
  int matches = 0;
  for (int i = 0; i < 30000; ++i) {
    std::string text(rng() % 9, ' ');
    for (char& c : text) c = textChars[rng() % textChars.size()];
    std::string pattern(rng() % 7, ' ');
    for (char& c : pattern) c = patternChars[rng() % patternChars.size()];
    bool expected = sqlite.Match(text, pattern);
    matches += expected;
    ASSERT_EQ(LikeMatch(0, 0, text, pattern), expected) << "'" << text << "' LIKE '" << pattern << "'";
  }
  EXPECT_GT(matches, 1000);
}

}  // namespace
}  // namespace tovenmarsh::engine
