// The stored full-text index compared with SQLite's FTS5 over the same generated documents:
// single words, AND, OR, NOT, phrases and prefixes find the same documents on both sides.
//
// The documents use plain lowercase ASCII words split by spaces and commas, so both sides cut
// them into the same tokens. Where the query languages differ the comparison is adjusted:
// - FTS5 has no unary NOT: our "not a b" (neither word) is compared with every document minus
//   FTS5's "a OR b", and our "(a or b) and not c" with FTS5's binary "(a OR b) NOT c".
// - Our negations also yield numbers between documents; only document numbers are compared.
// - FTS5 keeps a phrase inside one column, while ours may run from the title into the body;
//   phrases are drawn from body words that never appear in titles, so none can straddle.
// - Our phrase matcher does not retry the word that broke a run as a new start: "a b" is not
//   found in "a a b". FTS5 does find it, so a phrase's FTS5 hits are narrowed to those the
//   brute-force model of our matcher accepts, and the model must never accept more.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "support/corpus.h"
#include "support/stored_index.h"

namespace tovenmarsh::fulltext::testing {
namespace {

struct SqliteCloser {
  void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StatementFinalizer {
  void operator()(sqlite3_stmt* st) const { sqlite3_finalize(st); }
};
using Db = std::unique_ptr<sqlite3, SqliteCloser>;
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

class Fts5 {
 public:
  Fts5() {
    sqlite3* raw = nullptr;
    if (sqlite3_open(":memory:", &raw) != SQLITE_OK) throw std::runtime_error("sqlite open");
    db_.reset(raw);
    Exec("CREATE VIRTUAL TABLE docs USING fts5(title, body)");
    Exec("BEGIN");
    insert_ = Prepare("INSERT INTO docs(rowid, title, body) VALUES (?, ?, ?)");
  }
  void Put(int32_t no, const std::string& title, const std::string& body) {
    sqlite3_reset(insert_.get());
    sqlite3_bind_int(insert_.get(), 1, no);
    sqlite3_bind_text(insert_.get(), 2, title.c_str(), static_cast<int>(title.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert_.get(), 3, body.c_str(), static_cast<int>(body.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(insert_.get()) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_.get()));
  }
  void Commit() { Exec("COMMIT"); }
  TDocSet Run(const std::string& match) {
    Statement st = Prepare("SELECT rowid FROM docs WHERE docs MATCH ?");
    sqlite3_bind_text(st.get(), 1, match.c_str(), static_cast<int>(match.size()), SQLITE_TRANSIENT);
    TDocSet out;
    int rc;
    while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) out.insert(sqlite3_column_int(st.get(), 0));
    if (rc != SQLITE_DONE) throw std::runtime_error(match + ": " + sqlite3_errmsg(db_.get()));
    return out;
  }

 private:
  void Exec(const char* sql) {
    if (sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db_.get()));
  }
  Statement Prepare(const char* sql) {
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db_.get(), sql, -1, &st, nullptr) != SQLITE_OK)
      throw std::runtime_error(sqlite3_errmsg(db_.get()));
    return Statement(st);
  }
  Db db_;
  Statement insert_;
};

// Distinct lowercase words of 3 to 9 letters built from syllables.
std::vector<std::string> MakeWords(std::mt19937& rng, size_t count, std::set<std::string>& taken) {
  static const char* const kSyllables[] = {"ba", "ke", "lo", "mi", "nu", "ra", "se", "ti", "vo", "za",
                                           "qu", "an", "el", "or", "ust", "ing", "pre", "con"};
  std::vector<std::string> words;
  while (words.size() < count) {
    std::string w;
    const int parts = 2 + static_cast<int>(rng() % 3);
    for (int i = 0; i < parts; ++i) w += kSyllables[rng() % std::size(kSyllables)];
    if (w.size() > 9 || !taken.insert(w).second) continue;
    words.push_back(w);
  }
  return words;
}

// Skewed picks, so that a few words are common and AND queries find something.
const std::string& Pick(std::mt19937& rng, const std::vector<std::string>& words) {
  const double u = std::uniform_real_distribution<double>(0, 1)(rng);
  return words[static_cast<size_t>(u * u * u * static_cast<double>(words.size())) % words.size()];
}

std::string Text(std::mt19937& rng, const std::vector<std::string>& words, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    if (!text.empty()) text += (rng() % 7 == 0) ? ", " : " ";
    text += Pick(rng, words);
  }
  return text;
}

struct Query {
  std::string ours;
  TSearchLogic logic;
  std::function<TDocSet()> expected;
  bool negates = false;  // our hits include numbers between documents
  std::string fts;       // for the failure message
};

TEST(Fts5Oracle, SameDocumentsForWordsBooleansPhrasesAndPrefixes) {
  std::mt19937 rng(20261211);
  std::set<std::string> taken;
  const std::vector<std::string> subjects = MakeWords(rng, 60, taken);
  const std::vector<std::string> bodyWords = MakeWords(rng, 400, taken);
  TStoredIndex ours;
  Fts5 fts;
  TDocSet all;
  std::vector<std::vector<std::string>> bodies;
  int32_t no = 1;
  for (int i = 0; i < 800; ++i) {
    const std::string title = Text(rng, subjects, 1 + static_cast<int>(rng() % 4));
    const std::string body = Text(rng, bodyWords, 5 + static_cast<int>(rng() % 60));
    ours.Put(no, title, body);
    fts.Put(no, title, body);
    all.insert(no);
    bodies.push_back(Tokens(body));
    for (std::string& w : bodies.back()) std::transform(w.begin(), w.end(), w.begin(), [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });
    no += 1 + static_cast<int32_t>(rng() % 3);  // gaps between document numbers
  }
  fts.Commit();
  ours.Build();

  TModel model(ours.Twin());
  // FTS5's hits for a phrase, narrowed to the runs our matcher accepts (see above).
  auto phrase = [&](const std::vector<std::string>& words) {
    std::string match, up;
    std::vector<std::string> upper;
    for (const std::string& w : words) {
      match += (match.empty() ? "\"" : " ") + w;
      up = w;
      std::transform(up.begin(), up.end(), up.begin(), [](unsigned char ch) { return static_cast<char>(std::toupper(ch)); });
      upper.push_back(up);
    }
    const TDocSet theirs = fts.Run(match + "\"");
    const TDocSet accepted = model.Phrase(upper);
    EXPECT_EQ(Minus(accepted, theirs), TDocSet{}) << match;
    return Intersect(theirs, accepted);
  };
  auto run = [&](const std::string& match) { return [&fts, match] { return fts.Run(match); }; };
  std::vector<Query> queries;
  auto any = [&]() -> const std::string& { return rng() % 4 == 0 ? Pick(rng, subjects) : Pick(rng, bodyWords); };
  for (int round = 0; round < 60; ++round) {
    const std::string a = any(), b = any(), c = any();
    const std::string p = Pick(rng, bodyWords), q = Pick(rng, bodyWords), r = Pick(rng, bodyWords);
    const std::string prefix = Pick(rng, bodyWords).substr(0, 2 + rng() % 3);
    const std::string neither = a + " OR " + b;
    queries.push_back({a, slAnd, run(a), false, a});
    queries.push_back({a + " " + b, slAnd, run(a + " AND " + b), false, a + " AND " + b});
    queries.push_back({a + " " + b + " " + c, slOr, run(a + " OR " + b + " OR " + c), false, a + " OR " + b + " OR " + c});
    queries.push_back({a + " " + b, slNot, [&, neither] { return Minus(all, fts.Run(neither)); }, true, "all minus " + neither});
    queries.push_back({a + " and " + b + " or " + c, slSmart, run("(" + a + " AND " + b + ") OR " + c), false,
                       "(" + a + " AND " + b + ") OR " + c});
    queries.push_back({"(" + a + " or " + b + ") and not " + c, slSmart, run("(" + neither + ") NOT " + c), true,
                       "(" + neither + ") NOT " + c});
    queries.push_back({p + " " + q, slPhrase, [&, p, q] { return phrase({p, q}); }, false, "phrase " + p + " " + q});
    queries.push_back({p + " " + q + " " + r, slPhrase, [&, p, q, r] { return phrase({p, q, r}); }, false,
                       "phrase " + p + " " + q + " " + r});
    queries.push_back({"\"" + p + " " + q + "\" or " + a, slSmart, [&, p, q, a] { return Unite(phrase({p, q}), fts.Run(a)); },
                       false, "phrase " + p + " " + q + " OR " + a});
    queries.push_back({prefix + "*", slAnd, run(prefix + "*"), false, prefix + "*"});
    queries.push_back({prefix + "* " + a, slAnd, run(prefix + "* AND " + a), false, prefix + "* AND " + a});
  }
  // Phrases that surely occur: runs of two and three words from the bodies.
  for (int i = 0; i < 40; ++i) {
    const std::vector<std::string>& words = bodies[rng() % bodies.size()];
    if (words.size() < 3) continue;
    const size_t at = rng() % (words.size() - 2);
    const std::vector<std::string> two(words.begin() + static_cast<long>(at), words.begin() + static_cast<long>(at) + 2);
    const std::vector<std::string> three(words.begin() + static_cast<long>(at), words.begin() + static_cast<long>(at) + 3);
    const std::string first = words[0];
    queries.push_back({two[0] + " " + two[1], slPhrase, [&, two] { return phrase(two); }, false, "phrase of two"});
    queries.push_back({"\"" + three[0] + " " + three[1] + " " + three[2] + "\" and " + first, slSmart,
                       [&, three, first] { return Intersect(phrase(three), fts.Run(first)); }, false, "phrase of three AND word"});
  }
  int nonEmpty = 0;
  for (const Query& query : queries) {
    TDocSet mine = ours.Run(query.ours, query.logic);
    if (query.negates) mine = Intersect(mine, all);
    const TDocSet theirs = query.expected();
    if (!theirs.empty()) ++nonEmpty;
    EXPECT_EQ(mine, theirs) << "ours: " << query.ours << " (logic " << query.logic << "), FTS5: " << query.fts;
  }
  // The comparison means little if FTS5 found nothing for most queries.
  EXPECT_GT(nonEmpty, static_cast<int>(queries.size()) / 2);
}

}  // namespace
}  // namespace tovenmarsh::fulltext::testing
