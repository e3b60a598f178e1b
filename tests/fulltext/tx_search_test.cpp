// Searches over an index built in memory, compared with a brute-force model of the same
// documents: words, wildcards, sound-alike words, phrases, nearness, modes, the query language,
// time limits, and hit navigation with ranking.
#include <gtest/gtest.h>

#include <random>

#include "fulltext/cl_errors.h"
#include "fulltext/query_compiler.h"
#include "support/corpus.h"

namespace tovenmarsh::fulltext::testing {
namespace {

class FixedCorpus : public ::testing::Test {
 protected:
  void SetUp() override {
    idx.text.Put(1, {{"title", "Red car"}, {"body", "the red car drives fast"}});
    idx.text.Put(2, {{"title", "Blue boat"}, {"body", "a blue boat and a red sail"}});
    idx.text.Put(3, {{"title", "Green car"}, {"body", "green car, slow car; car parks"}});
    idx.text.Put(4, {{"title", "Robert"}, {"body", "Rupert and Robert are walking"}});
    idx.text.Put(5, {{"title", "Red"}, {"body", "a a b"}});
    idx.text.Put(6, {{"title", "Near"}, {"body", "alpha one two three four five six beta"}});
    idx.text.Put(7, {{"title", "Far"}, {"body", "alpha one two three four five six seven beta"}});
    idx.text.Put(8, {{"title", "Cars"}, {"body", "carpet cartoon carts singing"}});
    idx.Build();
  }
  TMemoryIndex idx;
};

TEST_F(FixedCorpus, WordSearchesCombineByLogic) {
  struct Case {
    const char* query;
    TSearchLogic logic;
    TDocSet expected;
  } cases[] = {
      {"red", slAnd, {1, 2, 5}},
      {"red car", slAnd, {1}},
      {"RED Car", slAnd, {1}},
      {"red unknownword", slAnd, {}},
      {"red unknownword", slOr, {1, 2, 5}},
      {"red boat", slOr, {1, 2, 5}},
      {"red", slNot, {3, 4, 6, 7, 8}},
      {"", slAnd, {}},
      {",,, ;;", slAnd, {}},
      {"car*", slAnd, {1, 3, 8}},
      {"*ing", slAnd, {4, 8}},
      {"c?r", slAnd, {1, 3}},
      {"r*t", slAnd, {4}},
      {"robert", slLike, {4}},  // RUPERT is RU163, ROBERT RO163: the two capitals differ
  };
  for (const Case& c : cases) EXPECT_EQ(idx.Run(c.query, c.logic), c.expected) << c.query;
}

TEST_F(FixedCorpus, PhraseAndNearProveByRereading) {
  struct Case {
    const char* query;
    TSearchLogic logic;
    TDocSet expected;
  } cases[] = {
      {"red car", slPhrase, {1}},
      {"car red", slPhrase, {}},
      {"a b", slPhrase, {}},  // "a a b": the second A breaks the run and is no new start
      {"blue boat", slPhrase, {2}},
      {"alpha beta", slNear, {6}},  // 7 positions apart matches, 8 does not
      {"red car", slNear, {1}},
      {"car", slPhrase, {1, 3}},
  };
  for (const Case& c : cases) EXPECT_EQ(idx.Run(c.query, c.logic), c.expected) << c.query;
}

TEST_F(FixedCorpus, QueryLanguage) {
  struct Case {
    const char* query;
    TDocSet expected;
  } cases[] = {
      {"red car", {1}},  // no operator: the words, ANDed
      {"red", {1, 2, 5}},
      {"red or blue and car", {1}},  // (red or blue) and car
      {"red and (car or boat)", {1, 2}},
      {"not red", {3, 4, 6, 7, 8}},
      {"car and not red", {3}},
      {"\"red car\"", {1}},
      {"\"red car\" or boat", {1, 2}},
      {"like robert", {4}},
      {"alpha near beta", {6}},
      {"ANDROID", {}},
      {"red AnD car", {1}},
      {"(red or green) and (car or boat)", {1, 2, 3}},
      {"car*", {1, 3, 8}},
      {"not (red or car)", {4, 6, 7, 8}},
  };
  for (const Case& c : cases) EXPECT_EQ(idx.Run(c.query, slSmart), c.expected) << c.query;
}

TEST_F(FixedCorpus, QueryErrors) {
  struct Case {
    const char* query;
    int code;
    TSearchLogic logic = slSmart;
  } cases[] = {
      {"red car and blue", txeSyntaxError},
      {"( )", txeSyntaxError, slExpression},
      {"red car", txeSyntaxError, slExpression},
      {"not not red", txeMissingString},
      {"(red", txeMissingParenthesis},
      {"\"red car", txeMissingQuote},
      {"red and", txeMissingString},
      {"near red", txeMissingString},
  };
  for (const Case& c : cases) {
    auto search = idx.Search(c.query, c.logic);
    try {
      search->Execute();
      ADD_FAILURE() << c.query << " did not fail";
    } catch (const EExpression& e) {
      EXPECT_EQ(e.Code(), c.code) << c.query;
      EXPECT_EQ(search->SearchLogic, c.logic);
    }
  }
}

TEST_F(FixedCorpus, OmitWordsAreNeutral) {
  idx.text.Put(9, {{"title", "the"}, {"body", "of"}});
  TtxMake make;
  make.SetTextLink(&idx.text);
  make.SetWordsLink(&idx.words);
  make.SetCache(&idx.cache);
  make.SetOmitList({"the", "of"});
  make.Execute();
  EXPECT_EQ(idx.words.Rows().count({"THE", 0}), 0u);
  EXPECT_EQ(idx.Run("the of", slAnd), TDocSet{});
  EXPECT_EQ(idx.Run("the", slNot).size(), 9u);
  EXPECT_EQ(idx.Run("red and \"the of\"", slSmart), (TDocSet{1, 2, 5}));
  EXPECT_EQ(idx.Run("the and of", slSmart), TDocSet{});
}

TEST_F(FixedCorpus, ModesNarrowAndWiden) {
  auto search = idx.Search("red", slAnd);
  search->Execute();
  search->SearchMode = smNarrow;
  search->SearchFor = "car";
  search->Execute();
  std::vector<int32_t> v;
  search->GetIndexValues(v);
  EXPECT_EQ(v, (std::vector<int32_t>{1}));
  search->SearchMode = smWiden;
  search->SearchFor = "boat";
  search->Execute();
  search->GetIndexValues(v);
  EXPECT_EQ(v, (std::vector<int32_t>{1, 2}));
}

TEST_F(FixedCorpus, TimeLimitAbortsVerificationAndKeepsOnlyProven) {
  idx.text.Put(9, {{"body", "red car"}});
  idx.text.Put(10, {{"body", "red car"}});
  idx.Build();
  EXPECT_EQ(idx.Run("red car", slPhrase), (TDocSet{1, 9, 10}));
  auto search = idx.Search("red car", slPhrase);
  uint64_t now = 0;
  search->TickSource = [&now] { return now; };
  search->TimeLimit = 1;
  search->OnSearch = [&now](TtxBasicSearch&) { now += 5; };
  search->Execute();
  std::vector<int32_t> v;
  search->GetIndexValues(v);
  EXPECT_EQ(v, (std::vector<int32_t>{1}));  // the walk stops after the first proven document
}

TEST_F(FixedCorpus, RankingOrdersByScoreThenIndex) {
  struct Case {
    TRankMode mode;
    const char* query;
    std::vector<int32_t> order;
  } cases[] = {
      {rmCount, "car", {3, 1}},  // CAR 4 times in 3, twice in 1
      {rmPresense, "car or red", {1, 2, 3, 5}},  // 1 has both; the rest one each, index order
      {rmCount, "car or red", {1, 3, 2, 5}},  // 1 and 3 score 4 each
  };
  for (const Case& c : cases) {
    auto search = idx.Search(c.query, slSmart);
    search->SetRankMode(c.mode);
    search->Execute();
    std::vector<int32_t> order;
    for (bool ok = search->First(); ok; ok = search->Next()) order.push_back(idx.text.CurrentIndexValue());
    EXPECT_EQ(order, c.order) << c.query;
  }
}

TEST_F(FixedCorpus, NaturalNavigationAndNoHits) {
  auto search = idx.Search("red", slAnd);
  search->Execute();
  std::vector<int32_t> order;
  for (bool ok = search->First(); ok; ok = search->Next()) order.push_back(idx.text.CurrentIndexValue());
  EXPECT_EQ(order, (std::vector<int32_t>{1, 2, 5}));
  search->SetSearchOptions(soNavReverse);
  order.clear();
  for (bool ok = search->First(); ok; ok = search->Next()) order.push_back(idx.text.CurrentIndexValue());
  EXPECT_EQ(order, (std::vector<int32_t>{5, 2, 1}));
  search->SearchFor = "nothing";
  search->SetRankMode(rmCount);
  search->Execute();
  EXPECT_TRUE(search->BuildRanks().empty());
  EXPECT_FALSE(search->First());
}

TEST(Ranking, LimitCapsTheArray) {
  TMemoryIndex idx;
  for (int i = 1; i <= 30; ++i) idx.text.Put(i, {{"title", "word"}, {"body", std::string(static_cast<size_t>(i % 4), 'x')}});
  idx.Build();
  auto search = idx.Search("word", slAnd);
  search->SetRankMode(rmCount);
  search->SetRankLimit(10);
  search->Execute();
  int visited = 0;
  for (bool ok = search->First(); ok; ok = search->Next()) ++visited;
  EXPECT_EQ(visited, 10);
}

// Random documents over a small vocabulary: every search mode against the model.
class RandomCorpus : public ::testing::TestWithParam<int> {};

const char* const kVocabulary[] = {"ant", "bee", "cat", "cow", "dog", "eel", "elk", "fox", "gnu", "hen", "owl", "pig"};

std::string RandomText(std::mt19937& rng, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) {
    if (!text.empty()) text += (rng() % 5 == 0) ? ", " : " ";
    text += kVocabulary[rng() % std::size(kVocabulary)];
  }
  return text;
}

TEST_P(RandomCorpus, EverySearchMatchesTheModel) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  TMemoryIndex idx(GetParam() % 2 == 0);
  if (GetParam() % 3 == 0) idx.segmentSize = 16;
  const int docs = 20 + static_cast<int>(rng() % 40);
  for (int i = 1; i <= docs; ++i)
    idx.text.Put(i, {{"title", RandomText(rng, 1 + static_cast<int>(rng() % 3))}, {"body", RandomText(rng, static_cast<int>(rng() % 12))}});
  idx.Build();
  TModel model(idx.text);
  EXPECT_EQ(idx.Stored(), model.Index());
  auto pick = [&] { return std::string(kVocabulary[rng() % std::size(kVocabulary)]); };
  auto up = [](std::string s) { UpperMap(s); return s; };
  for (int round = 0; round < 40; ++round) {
    const std::string a = pick(), b = pick(), c = pick();
    EXPECT_EQ(idx.Run(a, slAnd), model.Word(up(a)));
    EXPECT_EQ(idx.Run(a + " " + b, slAnd), Intersect(model.Word(up(a)), model.Word(up(b))));
    EXPECT_EQ(idx.Run(a + " " + b, slOr), Unite(model.Word(up(a)), model.Word(up(b))));
    EXPECT_EQ(idx.Run(a + " " + b, slNot), Minus(model.All(), Unite(model.Word(up(a)), model.Word(up(b)))));
    const std::string mask = up(a.substr(0, 1)) + "*";
    EXPECT_EQ(idx.Run(mask, slAnd), model.Wild(mask)) << mask;
    const std::string tailMask = "*" + up(a.substr(2));
    EXPECT_EQ(idx.Run(tailMask, slAnd), model.Wild(tailMask)) << tailMask;
    const std::string oneMask = up(a.substr(0, 1)) + "?" + up(a.substr(2));
    EXPECT_EQ(idx.Run(oneMask, slAnd), model.Wild(oneMask)) << oneMask;
    if (a != b) {
      EXPECT_EQ(idx.Run(a + " " + b, slPhrase), model.Phrase({up(a), up(b)})) << a << " " << b;
      EXPECT_EQ(idx.Run(a + " " + b, slNear), model.Near({up(a), up(b)}, 8)) << a << " " << b;
    }
    if (a != b && b != c && a != c) {
      EXPECT_EQ(idx.Run(a + " " + b + " " + c, slPhrase), model.Phrase({up(a), up(b), up(c)}));
    }
    // Query language: (a or b) and not c, a and (b or "b c").
    EXPECT_EQ(idx.Run("(" + a + " or " + b + ") and not " + c, slSmart),
              Minus(Unite(model.Word(up(a)), model.Word(up(b))), model.Word(up(c))));
    if (b != c) {
      EXPECT_EQ(idx.Run(a + " and (" + b + " or \"" + b + " " + c + "\")", slExpression),
                Intersect(model.Word(up(a)), Unite(model.Word(up(b)), model.Phrase({up(b), up(c)}))));
    }
    EXPECT_EQ(idx.Run(a + " or " + b + " and " + c, slSmart),
              Intersect(Unite(model.Word(up(a)), model.Word(up(b))), model.Word(up(c))));
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, RandomCorpus, ::testing::Range(1, 9));

}  // namespace
}  // namespace tovenmarsh::fulltext::testing

namespace tovenmarsh::fulltext::testing {
namespace {

// Any text typed into the search box gives hits or an ETextIndex-coded query error.
TEST(QuerySafety, RandomTextNeverEscapes) {
  TMemoryIndex idx;
  idx.text.Put(1, {{"title", "red car"}, {"body", "a blue boat"}});
  idx.text.Put(2, {{"title", "green"}, {"body", "car and boat"}});
  idx.Build();
  std::mt19937 rng(5);
  const std::string pieces[] = {"red", "car", " ", "and", "or", "not", "like", "near", "(", ")", "\"", "'", "*",
                                "?", "\t", "\x01", "\xff", "AnD", "b*", "((((", "))"};
  for (int i = 0; i < 3000; ++i) {
    std::string query;
    const int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) query += pieces[rng() % std::size(pieces)] + (rng() % 2 ? " " : "");
    auto search = idx.Search(query, i % 2 ? slSmart : slExpression);
    try {
      search->Execute();
      EXPECT_LE(search->Count(), 2);
    } catch (const EClException& e) {
      EXPECT_TRUE(e.Code() >= 30464 && e.Code() <= 30504) << query;
    }
    EXPECT_EQ(search->State(), 0);
  }
  // Deep nesting and long queries are refused, not recursed into.
  for (const std::string& query : {std::string(4000, '('), std::string(100000, 'a'), std::string(3000, 'a') + " or b"}) {
    auto search = idx.Search(query, slExpression);
    try {
      search->Execute();
    } catch (const EExpression& e) {
      EXPECT_TRUE(e.Code() == txeSyntaxError || e.Code() == txeCodeArrayFull) << e.Code();
    }
  }
}

}  // namespace
}  // namespace tovenmarsh::fulltext::testing

namespace tovenmarsh::fulltext::testing {
namespace {

TEST(SearchOptions, SubFieldsInternationalAndCache) {
  TMemoryIndex idx;
  idx.text.Put(1, {{"title", "Caf\xe9 cr\xe8me"}, {"body", "apple"}});
  idx.text.Put(2, {{"title", "apple"}, {"body", "cafe"}});
  idx.text.Put(3, {{"title", "pear"}, {"body", "apple pear"}});
  idx.Build();
  // Restricted to the title, the documents are re-read and only title words count.
  idx.text.SetSubFieldNames({"title"});
  EXPECT_EQ(idx.Run("apple", slAnd), TDocSet{2});
  EXPECT_EQ(idx.Run("apple pear", slOr), (TDocSet{2, 3}));
  EXPECT_EQ(idx.Run("apple", slNot), (TDocSet{1, 3}));
  idx.words.SetPropertiesRead(false);
  {
    auto omitting = idx.Search("the apple", slAnd);
    omitting->Execute();  // reads the stored (empty) omit list first
    omitting->SetOmitList({"the"});
    omitting->SetSearchOptions(0);
    omitting->Execute();
    EXPECT_EQ(omitting->Count(), 1);  // an omitted word is not required of the title
  }
  idx.text.SetSubFieldNames({});
  EXPECT_EQ(idx.Run("apple", slAnd), (TDocSet{1, 2, 3}));
  // International folds accents on both sides.
  auto search = idx.Search("cafe", slAnd);
  search->International = true;
  search->Execute();
  EXPECT_EQ(search->Count(), 2);
  EXPECT_EQ(idx.Run("cafe", slAnd), TDocSet{2});
  // A search through a cache gives the same results, and the cache stays within its budget.
  TtxCache cache;
  cache.SetMemoryLimit(1);
  for (const char* q : {"apple", "pear", "apple", "caf*", "a* or p*", "apple pear"}) {
    auto cached = idx.Search(q, slSmart);
    cached->SetCache(&cache);
    cached->Execute();
    std::vector<int32_t> v;
    cached->GetIndexValues(v);
    EXPECT_EQ(TDocSet(v.begin(), v.end()), idx.Run(q, slSmart)) << q;
  }
  EXPECT_EQ(cache.DirtyCount(), 0);
}

TEST(SearchOptions, ManyWordsThroughASmallCacheStayBounded) {
  TMemoryIndex idx;
  for (int i = 1; i <= 600; ++i) idx.text.Put(i, {{"title", "w" + std::to_string(i % 300) + " common"}});
  idx.Build();
  TtxCache cache;
  cache.SetMemoryLimit(4);  // 4 KB
  for (int i = 0; i < 300; ++i) {
    auto search = idx.Search("w" + std::to_string(i) + " common", slAnd);
    search->SetCache(&cache);
    search->Execute();
    EXPECT_EQ(search->Count(), 2);
  }
  EXPECT_LE(cache.BytesInUse(), 8 * 1024);
  EXPECT_LT(cache.Count(), 300);
}

}  // namespace
}  // namespace tovenmarsh::fulltext::testing
