// The full-text index over stored tables: a build into words.dat over a documents table, the
// words table's format and navigation, reopening, updates, and every search compared with a
// brute-force model and with the same index built over the in-memory links.
#include <gtest/gtest.h>

#include <random>

#include "fulltext/cl_errors.h"
#include "fulltext/tx_make.h"
#include "fulltext/tx_utils.h"
#include "support/stored_index.h"

namespace tovenmarsh::fulltext::testing {
namespace {

[[maybe_unused]] std::string Up(std::string s) {
  UpperMap(s);
  return s;
}

TEST(StoredIndex, BuildReopenAndSearch) {
  TStoredIndex idx;
  idx.Put(10, "Red car", "a red car and a blue bike");
  idx.Put(11, "Blue sky", "green grass, blue sky");
  idx.Put(13, "Green", "red green blue");
  idx.Build();
  TModel model(idx.Twin());
  EXPECT_EQ(idx.Stored(), model.Index());
  EXPECT_EQ(idx.Counts().at("RED"), 2);
  EXPECT_EQ(idx.Run("red", slAnd), (TDocSet{10, 13}));
  idx.Reopen();
  EXPECT_EQ(idx.Stored(), model.Index());
  EXPECT_EQ(idx.Run("red", slAnd), (TDocSet{10, 13}));
  EXPECT_EQ(idx.Run("red or sky", slSmart), (TDocSet{10, 11, 13}));
  EXPECT_EQ(idx.Run("\"red car\"", slSmart), (TDocSet{10}));
  EXPECT_EQ(idx.Run("bl*", slAnd), (TDocSet{10, 11, 13}));
  EXPECT_EQ(idx.Run("*ue", slAnd), (TDocSet{10, 11, 13}));
  EXPECT_EQ(idx.Run("grene", slLike), (TDocSet{11, 13}));
}

const char* const kVocabulary[] = {"ant", "bee", "cat", "cow", "dog", "eel", "elk", "fox",
                                   "gnu", "hen", "owl", "pig", "\xc4pfel", "\xe9t\xe9", "zookeeper", "x11"};

std::string RandomText(std::mt19937& rng, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) {
    if (!text.empty()) text += (rng() % 5 == 0) ? ", " : " ";
    text += kVocabulary[rng() % std::size(kVocabulary)];
  }
  return text;
}

// The hits of a ranked search in navigation order, with their scores.
std::vector<std::pair<int32_t, int>> Ranked(TtxSearch& search) {
  std::vector<std::pair<int32_t, int>> out;
  for (const TRankEntry& e : search.BuildRanks()) out.emplace_back(e.indexValue, e.score);
  return out;
}

struct RandomVariant {
  int seed;
  TStoredOptions options;
  int32_t segmentSize;
};

class StoredRandomCorpus : public ::testing::TestWithParam<RandomVariant> {};

// A random corpus indexed into words.dat and into the in-memory links: the stored rows equal
// the model's index, and every search mode, the query language and the ranking give the same
// hits (and ranks) over both, and the model's hits.
TEST_P(StoredRandomCorpus, EverySearchMatchesModelAndMemoryLinks) {
  const RandomVariant v = GetParam();
  std::mt19937 rng(static_cast<unsigned>(v.seed));
  TStoredIndex stored(v.options);
  TMemoryIndex memory(v.options.reverse);
  memory.segmentSize = v.segmentSize;
  const int docs = 20 + static_cast<int>(rng() % 40);
  int32_t no = 1 + static_cast<int32_t>(rng() % 5);
  for (int i = 0; i < docs; ++i) {
    const std::string title = RandomText(rng, 1 + static_cast<int>(rng() % 3));
    const std::string body = RandomText(rng, static_cast<int>(rng() % 12));
    stored.Put(no, title, body);
    memory.text.Put(no, {{"title", title}, {"body", body}});
    no += 1 + static_cast<int32_t>(rng() % 3);
  }
  stored.Build(v.segmentSize);
  memory.Build();
  TModel model(stored.Twin());
  ASSERT_EQ(stored.Stored(), model.Index());
  stored.Reopen();
  EXPECT_EQ(stored.Stored(), model.Index());
  auto pick = [&] { return std::string(kVocabulary[rng() % std::size(kVocabulary)]); };
  for (int round = 0; round < 25; ++round) {
    const std::string a = pick(), b = pick(), c = pick();
    struct Query {
      std::string text;
      TSearchLogic logic;
      TDocSet expected;
    };
    std::vector<Query> queries = {
        {a, slAnd, model.Word(Up(a))},
        {a + " " + b, slAnd, Intersect(model.Word(Up(a)), model.Word(Up(b)))},
        {a + " " + b, slOr, Unite(model.Word(Up(a)), model.Word(Up(b)))},
        {a + " " + b, slNot, Minus(model.All(), Unite(model.Word(Up(a)), model.Word(Up(b))))},
        {Up(a.substr(0, 1)) + "*", slAnd, model.Wild(Up(a.substr(0, 1)) + "*")},
        {"*" + Up(a.substr(2)), slAnd, model.Wild("*" + Up(a.substr(2)))},
        {Up(a.substr(0, 1)) + "?" + Up(a.substr(2)), slAnd, model.Wild(Up(a.substr(0, 1)) + "?" + Up(a.substr(2)))},
        {"(" + a + " or " + b + ") and not " + c, slSmart,
         Minus(Unite(model.Word(Up(a)), model.Word(Up(b))), model.Word(Up(c)))},
        {a + " or " + b + " and " + c, slSmart, Intersect(Unite(model.Word(Up(a)), model.Word(Up(b))), model.Word(Up(c)))},
    };
    if (a != b) {
      queries.push_back({a + " " + b, slPhrase, model.Phrase({Up(a), Up(b)})});
      queries.push_back({a + " " + b, slNear, model.Near({Up(a), Up(b)}, 8)});
      queries.push_back({"\"" + a + " " + b + "\" or " + c, slSmart, Unite(model.Phrase({Up(a), Up(b)}), model.Word(Up(c)))});
    }
    for (const Query& q : queries) {
      // Numbers between documents are hits of a negation too; the model knows documents only.
      const bool negates = q.logic == slNot || q.text.find(" not ") != std::string::npos;
      const TDocSet s = stored.Run(q.text, q.logic);
      EXPECT_EQ(s, memory.Run(q.text, q.logic)) << q.text << " logic " << q.logic;
      EXPECT_EQ(negates ? Intersect(s, model.All()) : s, q.expected) << q.text << " logic " << q.logic;
    }
    // Sound-alike words: the same hits as the in-memory like index.
    EXPECT_EQ(stored.Run(a, slLike), memory.Run(a, slLike)) << a;
    // Ranking: the same order and scores over both.
    for (TRankMode mode : {rmCount, rmPresense}) {
      auto s = stored.Search(a + " or " + b, slSmart);
      auto m = memory.Search(a + " or " + b, slSmart);
      s->SetRankMode(mode);
      m->SetRankMode(mode);
      s->Execute();
      m->Execute();
      EXPECT_EQ(Ranked(*s), Ranked(*m)) << a << " or " << b;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Variants, StoredRandomCorpus,
                         ::testing::Values(RandomVariant{1, {}, 0}, RandomVariant{2, {true, false, 20}, 0},
                                           RandomVariant{3, {false, true, 20}, 0}, RandomVariant{4, {}, 16},
                                           RandomVariant{5, {true, true, 20}, 16}, RandomVariant{6, {}, 0}));

}  // namespace
}  // namespace tovenmarsh::fulltext::testing
