// Updating words.dat over a stored documents table: added, changed and deleted documents leave
// the rows a fresh model expects (and the searches find them after a reopen); an update that
// fails half way and is retried counts the document once; the sets grow with the range; and
// a session whose default language is not bytewise still gets a bytewise words table; a reader
// whose row was rewritten by the updater in another session reads the new bits.
#include <gtest/gtest.h>

#include <random>
#include <stdexcept>

#include "dataset/fen_database.h"
#include "dataset/fen_session.h"
#include "fulltext/cl_errors.h"
#include "fulltext/match_bits.h"
#include "fulltext/tx_update.h"
#include "fulltext/tx_utils.h"
#include "support/stored_index.h"

namespace tovenmarsh::fulltext::testing {
namespace {

const char* const kWords[] = {"ant", "bee", "cat", "cow", "dog", "eel", "elk", "fox", "gnu", "hen", "owl", "pig"};

std::string RandomText(std::mt19937& rng, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) text += std::string(text.empty() ? "" : " ") + kWords[rng() % std::size(kWords)];
  return text;
}

std::string Up(std::string s) {
  UpperMap(s);
  return s;
}

// Each word's number of documents in the model.
std::map<std::string, int32_t> ModelCounts(const TModel& model) {
  std::map<std::string, int32_t> out;
  for (const auto& [word, docs] : model.Index()) out[word] = static_cast<int32_t>(docs.size());
  return out;
}

struct UpdateVariant {
  int seed;
  bool delayed;
  int64_t memoryLimitKb;  // small budgets make the cache pack and write old records
  TStoredOptions options = {};
  int32_t segmentSize = 0;
};

class StoredUpdate : public ::testing::TestWithParam<UpdateVariant> {};

TEST_P(StoredUpdate, RandomChangesEqualTheModel) {
  const UpdateVariant v = GetParam();
  std::mt19937 rng(static_cast<unsigned>(v.seed));
  TStoredIndex idx(v.options);
  int32_t next = 1;
  for (; next <= 15; ++next) idx.Put(next, RandomText(rng, 2), RandomText(rng, 5));
  idx.Build(v.segmentSize);
  TtxUpdate update;
  update.SetTextLink(&idx.Text());
  update.SetWordsLink(&idx.Words());
  TtxCache cache;
  cache.SetMemoryLimit(v.memoryLimitKb);
  update.SetCache(&cache);
  update.SetDelayedWrites(v.delayed);
  std::vector<int32_t> live;
  for (int32_t i = 1; i < next; ++i) live.push_back(i);
  for (int op = 0; op < 60; ++op) {
    const int kind = static_cast<int>(rng() % 3);
    if (kind == 0 || live.size() < 3) {  // a new document beyond the range
      next += static_cast<int32_t>(rng() % 40);  // sometimes far beyond: the sets must grow
      idx.Put(next, RandomText(rng, 2), RandomText(rng, 6));
      ASSERT_TRUE(idx.Goto(next));
      update.UpdateCurrent();
      live.push_back(next++);
    } else if (kind == 1) {  // a changed document: old words cleared, new ones set
      const int32_t doc = live[rng() % live.size()];
      ASSERT_TRUE(idx.Goto(doc));
      update.CollectCurrent();
      idx.Put(doc, RandomText(rng, 2), RandomText(rng, 6));
      ASSERT_TRUE(idx.Goto(doc));
      update.ReplaceCurrent();
    } else {  // a deleted document (never the lowest: that invalidates the index)
      const size_t at = 1 + rng() % (live.size() - 1);
      const int32_t doc = live[at];
      ASSERT_TRUE(idx.Goto(doc));
      update.DeleteCurrent();
      idx.Remove(doc);
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }
  update.FlushCache();
  TModel model(idx.Twin());
  EXPECT_EQ(idx.Stored(), model.Index());
  EXPECT_EQ(idx.Counts(), ModelCounts(model));
  idx.Reopen();
  EXPECT_EQ(idx.Stored(), model.Index());
  for (const char* w : kWords) EXPECT_EQ(idx.Run(w, slAnd), model.Word(Up(w))) << w;
  for (const char* mask : {"*OW", "E*", "?O?"}) EXPECT_EQ(idx.Run(mask, slAnd), model.Wild(mask)) << mask;
}

INSTANTIATE_TEST_SUITE_P(Variants, StoredUpdate,
                         ::testing::Values(UpdateVariant{1, false, 1000}, UpdateVariant{2, true, 1000},
                                           UpdateVariant{3, true, 1}, UpdateVariant{4, false, 1},
                                           UpdateVariant{5, true, 0}, UpdateVariant{6, true, 1000, {true, true, 20}},
                                           UpdateVariant{7, false, 1000, {}, 16},
                                           UpdateVariant{8, true, 1, {true, false, 20}, 32}));

// The indexing daemon retries a document whose update failed on its next pass. The words it
// handled before the failure must not count it twice, in txCount or in the ranking.
TEST(StoredUpdate, RetriedDocumentIsCountedOnce) {
  for (bool delayed : {false, true}) {
    TStoredIndex idx;
    idx.Put(1, "red car", "a red car");
    idx.Put(2, "blue car", "blue");
    idx.Build();
    idx.Put(3, "red red car", "green car and a red bike");
    TtxCache cache;
    {
      TtxUpdate update;
      update.SetTextLink(&idx.Text());
      update.SetWordsLink(&idx.Words());
      update.SetCache(&cache);
      update.SetDelayedWrites(delayed);
      int seen = 0;
      update.OnAcceptWord = [&seen](TtxEngine&, const std::string& word, bool&) {
        if (word == "GREEN" && seen++ == 0) throw std::runtime_error("disk full");
      };
      ASSERT_TRUE(idx.Goto(3));
      EXPECT_THROW(update.UpdateCurrent(), std::runtime_error);
      // The next pass: the same document again, then the run's flush.
      ASSERT_TRUE(idx.Goto(3));
      update.UpdateCurrent();
      update.FlushCache();
    }
    TModel model(idx.Twin());
    EXPECT_EQ(idx.Stored(), model.Index()) << delayed;
    EXPECT_EQ(idx.Counts(), ModelCounts(model)) << delayed;
    EXPECT_EQ(idx.Counts().at("RED"), 2);
    EXPECT_EQ(idx.Counts().at("CAR"), 3);
    // Ranking re-reads the documents: RED three times in 3, twice in 1.
    auto search = idx.Search("red", slAnd);
    search->SetRankMode(rmCount);
    search->Execute();
    std::vector<std::pair<int32_t, int>> ranks;
    for (const TRankEntry& e : search->BuildRanks()) ranks.emplace_back(e.indexValue, e.score);
    EXPECT_EQ(ranks, (std::vector<std::pair<int32_t, int>>{{3, 3}, {1, 2}}));
  }
}

// A document far beyond the range that the update engine's sets were made for: the sets (and
// the cache's records) grow with the range, and nothing is written past their end.
TEST(StoredUpdate, SetsGrowWithTheRange) {
  TStoredIndex idx;
  for (int32_t i = 1; i <= 8; ++i) idx.Put(i, "word" + std::to_string(i), "common");
  idx.Build();
  TtxCache cache;
  TtxUpdate update;
  update.SetTextLink(&idx.Text());
  update.SetWordsLink(&idx.Words());
  update.SetCache(&cache);
  update.SetDelayedWrites(true);
  for (int32_t doc : {9, 40, 41, 700, 5000}) {
    idx.Put(doc, "word" + std::to_string(doc), "common rare");
    ASSERT_TRUE(idx.Goto(doc));
    update.UpdateCurrent();
  }
  update.FlushCache();
  TModel model(idx.Twin());
  EXPECT_EQ(idx.Stored(), model.Index());
  EXPECT_EQ(idx.Run("common", slAnd).size(), 13u);
  EXPECT_EQ(idx.Run("rare", slAnd), (TDocSet{9, 40, 41, 700, 5000}));
}

// A search reads a word's row, then its BLOB; the indexer (another session) may rewrite the row
// in between. The reader must get the row as it is now, not fail nor mix old and new.
TEST(StoredUpdate, ARowRewrittenUnderAReaderIsReadAgain) {
  TStoredIndex idx;
  idx.Put(1, "heron", "one");
  idx.Put(2, "heron", "two");
  idx.Build();
  dataset::TFenSession session;
  session.SetSessionName("StoredUpdateReaderSession");
  session.SetStrictChangeDetection(true);
  session.OpenSession();
  dataset::TFenDatabase database(&session);
  database.SetDatabaseName("StoredUpdateReaderDatabase");
  database.SetSessionName(session.SessionName());
  database.SetDirectory(idx.Folder());
  database.Open();
  dataset::TFenTable table;
  table.SetSessionName(session.SessionName());
  table.SetDatabaseName(database.DatabaseName());
  table.SetTableName("words.dat");
  TtxWordsFenLink reader;
  reader.SetFenTable(&table);
  reader.Open();
  reader.SelectKey(kkWord);
  ASSERT_TRUE(reader.Locate("HERON", -1, false));
  ASSERT_EQ(reader.Count(), 2);

  idx.Put(3, "heron", "three");
  TtxUpdate update;
  update.SetTextLink(&idx.Text());
  update.SetWordsLink(&idx.Words());
  ASSERT_TRUE(idx.Goto(3));
  update.UpdateCurrent();

  std::vector<uint8_t> buffer(256);
  const int32_t n = reader.ReadBits(buffer.data(), buffer.size());
  ASSERT_GT(n, 0);
  const int32_t count = GetRecordInt(buffer.data(), kRecCountAt);
  EXPECT_EQ(count < 0 ? -count : count, 3);
  EXPECT_EQ(reader.Count(), 3);
  reader.Close();
}

// words.dat sorts bytewise, as the engines' prefix walks assume, whatever language the
// session uses by default.
TEST(StoredLanguage, WordsSortBytewiseWhateverTheSessionLanguage) {
  dataset::TFenSession& session = dataset::Sessions().DefaultSession();
  const uint16_t saved = session.LanguageID();
  session.SetLanguageID(1031);
  struct Restore {
    dataset::TFenSession& s;
    uint16_t v;
    ~Restore() { s.SetLanguageID(v); }
  } restore{session, saved};
  TStoredIndex idx;
  idx.Put(1, "apple Apfel", "\xc4pfel zebra");
  idx.Put(2, "abc ABD", "a_b ab_c \xe4pfel");
  idx.Put(3, "Zeta", "\xe9t\xe9 eta");
  idx.Build();
  idx.Reopen();
  idx.Words().Open();
  idx.Words().SelectKey(kkWord);
  std::vector<std::string> order;
  for (bool ok = idx.Words().First(); ok; ok = idx.Words().Next()) order.push_back(idx.Words().Word());
  std::vector<std::string> sorted = order;
  std::sort(sorted.begin(), sorted.end());  // bytewise (unsigned characters)
  EXPECT_EQ(order, sorted);
  TModel model(idx.Twin());
  EXPECT_EQ(idx.Stored(), model.Index());
  for (const char* mask : {"A*", "\xc4*", "Z*", "*PFEL", "?PFEL", "E*"})
    EXPECT_EQ(idx.Run(mask, slAnd), model.Wild(mask)) << mask;
}

}  // namespace
}  // namespace tovenmarsh::fulltext::testing
