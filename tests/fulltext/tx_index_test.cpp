// Building and updating the index in memory: a build stores exactly the words of every
// document; adding, changing and deleting documents through the update engine (with or without
// a cache, delayed writes, and a budget small enough to force packing and writing of old
// records) leaves the same word sets as a fresh build; and the word cache's own rules.
#include <gtest/gtest.h>

#include <random>

#include "fulltext/cl_errors.h"
#include "fulltext/match_bits.h"
#include "fulltext/message_pump.h"
#include "fulltext/tx_update.h"
#include "support/corpus.h"

namespace tovenmarsh::fulltext::testing {
namespace {

const char* const kWords[] = {"ant", "bee", "cat", "cow", "dog", "eel", "elk", "fox", "gnu", "hen", "owl", "pig",
                              "yak", "emu", "ram", "ewe"};

std::string RandomText(std::mt19937& rng, int words) {
  std::string text;
  for (int i = 0; i < words; ++i) text += std::string(text.empty() ? "" : " ") + kWords[rng() % std::size(kWords)];
  return text;
}

TEST(Build, StoresEveryWordOnceWithItsDocuments) {
  TMemoryIndex idx;
  idx.text.Put(10, {{"title", "Red red RED"}, {"body", "green, red"}});
  idx.text.Put(11, {{"title", "blue"}, {"body", std::string(50, 'x') + " caf\xe9"}});
  idx.text.Put(13, {{"body", "green"}});
  idx.Build();
  const std::map<std::string, TDocSet> expected = {
      {"RED", {10}}, {"GREEN", {10, 13}}, {"BLUE", {11}}, {std::string(20, 'X'), {11}}, {"CAF\xc9", {11}}};
  EXPECT_EQ(idx.Stored(), expected);
  EXPECT_EQ(idx.words.Rows().at({"RED", 0}).count, 1);  // five occurrences, one document
  EXPECT_EQ(idx.words.Rows().at({"RED", 0}).like, "RE300");
  EXPECT_TRUE(idx.words.HasProperties());
}

TEST(Build, CounterLimitAndMissingParts) {
  TMemoryIndex idx;
  for (int i = 1; i <= 20; ++i) idx.text.Put(i, {{"title", "w" + std::to_string(i)}});
  idx.Build(10);
  EXPECT_EQ(idx.words.Rows().size(), 10u);
  TtxMake make;
  make.SetTextLink(&idx.text);
  make.SetWordsLink(&idx.words);
  try {
    make.Execute();
    ADD_FAILURE();
  } catch (const ETextIndex& e) {
    EXPECT_EQ(e.Code(), txeCacheNotAssigned);
  }
  make.SetCache(&idx.cache);
  make.SetTextLink(nullptr);
  try {
    make.Execute();
    ADD_FAILURE();
  } catch (const ETextIndex& e) {
    EXPECT_EQ(e.Code(), txeTextLinkNotAssigned);
  }
}

TEST(Build, SmallBudgetPacksRecordsAndStillStoresAll) {
  TMemoryIndex idx;
  std::mt19937 rng(7);
  for (int i = 1; i <= 400; ++i) idx.text.Put(i, {{"body", RandomText(rng, 6) + " u" + std::to_string(i)}});
  idx.cache.SetMemoryLimit(2);  // 2 KB: old records are packed, the budget grows
  int pumps = 0;
  auto old = SetMessagePump([&pumps] { ++pumps; });
  idx.Build();
  SetMessagePump(old);
  EXPECT_GE(pumps, 400);
  EXPECT_GT(idx.cache.MemoryLimitBytes(), 2048);
  EXPECT_EQ(idx.Stored(), TModel(idx.text).Index());
}

TEST(Build, SegmentedBuildMatchesModel) {
  TMemoryIndex idx;
  idx.segmentSize = 20;  // rounded up to 32
  std::mt19937 rng(3);
  for (int i = 5; i <= 140; ++i) idx.text.Put(i, {{"body", RandomText(rng, 4)}});
  idx.Build();
  idx.segmentSize = 32;
  EXPECT_EQ(idx.Stored(), TModel(idx.text).Index());
  bool manyRows = false;
  for (const auto& [key, row] : idx.words.Rows()) manyRows |= key.second > 0;
  EXPECT_TRUE(manyRows);
}

// The stored bytes of a word are its set packed by TtaBits::Pack, whatever form the build kept
// the word in: words in every document, every other, a few hundred, three, two, one, with and
// without segments and with a budget small enough to make the build trim.
TEST(Build, EveryRowHoldsThePackOfItsDocumentSet) {
  struct Case {
    int32_t segmentSize;
    int64_t memoryKb;
  };
  for (const Case c : {Case{0, 0}, Case{0, 2}, Case{64, 0}, Case{256, 2}}) {
    SCOPED_TRACE(::testing::Message() << "segment size " << c.segmentSize << ", budget " << c.memoryKb);
    TMemoryIndex idx;
    idx.segmentSize = c.segmentSize;
    idx.cache.SetMemoryLimit(c.memoryKb);
    std::mt19937 rng(17);
    for (int i = 3; i <= 1500; ++i) {
      std::string body = RandomText(rng, 3) + " every";
      if (i % 2 == 0) body += " even";
      if (rng() % 5 == 0) body += " fifth";
      if (i % 7 == 0 && i < 600) body += " early";
      if (i == 40 || i == 900 || i == 1400) body += " three";
      if (i == 5 || i == 1500) body += " ends";
      if (i == 777) body += " once";
      idx.text.Put(i, {{"body", body}});
    }
    idx.Build();
    const std::map<std::string, TDocSet> index = TModel(idx.text).Index();
    ASSERT_EQ(idx.Stored(), index);
    const int32_t lowest = idx.text.LowestIndex();
    const int32_t range = idx.text.HighestIndex() - lowest + 1;
    const int32_t perSegment = c.segmentSize > 0 ? c.segmentSize : range;
    size_t rows = 0;
    for (const auto& [word, documents] : index) {
      std::map<int32_t, std::vector<int32_t>> segments;
      for (const int32_t d : documents) segments[(d - lowest) / perSegment].push_back((d - lowest) % perSegment);
      for (const auto& [segment, bits] : segments) {
        SCOPED_TRACE(word + " segment " + std::to_string(segment));
        TtaBits set(perSegment - 1);
        for (const int32_t b : bits) set.SetBit(b);
        std::vector<uint8_t> packed(static_cast<size_t>(set.MaxPackedSize()));
        const int32_t size = set.Pack(packed.data());
        const TMemoryRow& row = idx.words.Rows().at({word, c.segmentSize > 0 ? segment : 0});
        EXPECT_EQ(row.bytes, std::string(packed.begin() + kRecCountAt, packed.begin() + size));
        EXPECT_EQ(row.count, static_cast<int32_t>(bits.size()));
        ++rows;
      }
    }
    EXPECT_EQ(idx.words.Rows().size(), rows);
  }
}

// Random add, change and delete through the update engine against a rebuild of the same
// documents.
struct UpdateCase {
  const char* name;
  bool cache;
  bool delayed;
  int64_t memoryKb;
  int32_t segmentSize = 0;
};

class UpdateEqualsRebuild : public ::testing::TestWithParam<UpdateCase> {};

TEST_P(UpdateEqualsRebuild, RandomOperations) {
  const UpdateCase& c = GetParam();
  std::mt19937 rng(11);
  TMemoryIndex idx;
  idx.segmentSize = c.segmentSize;
  for (int i = 1; i <= 30; ++i) idx.text.Put(i, {{"title", RandomText(rng, 2)}, {"body", RandomText(rng, 5)}});
  idx.Build();
  TtxCache cache;
  cache.SetMemoryLimit(c.memoryKb);
  TtxUpdate update;
  update.SetTextLink(&idx.text);
  update.SetWordsLink(&idx.words);
  if (c.cache) update.SetCache(&cache);
  update.SetDelayedWrites(c.delayed);
  const int64_t writesBefore = idx.words.Writes();
  int next = 31;
  std::vector<int32_t> live;
  for (int i = 1; i <= 30; ++i) live.push_back(i);
  for (int op = 0; op < 300; ++op) {
    const int kind = static_cast<int>(rng() % 3);
    if (kind == 0 || live.size() < 5) {
      idx.text.Put(next, {{"title", RandomText(rng, 2) + " u" + std::to_string(next % 40)},
                          {"body", RandomText(rng, 1 + static_cast<int>(rng() % 6))}});
      update.UpdateCurrent();
      live.push_back(next++);
    } else if (kind == 1) {
      const int32_t doc = live[1 + rng() % (live.size() - 1)];
      ASSERT_TRUE(idx.text.Locate(doc));
      update.CollectCurrent();
      idx.text.Put(doc, {{"title", RandomText(rng, 2)}, {"body", RandomText(rng, static_cast<int>(rng() % 6))}});
      update.ReplaceCurrent();
    } else {
      const size_t at = 1 + rng() % (live.size() - 1);  // document 1 keeps the lowest index value
      ASSERT_TRUE(idx.text.Locate(live[at]));
      update.DeleteCurrent();
      idx.text.Remove(live[at]);
      live.erase(live.begin() + static_cast<std::ptrdiff_t>(at));
    }
  }
  if (c.delayed && c.memoryKb < 4) {
    // Delayed writes reach the table before the flush only through the budget's aging.
    EXPECT_GT(idx.words.Writes(), writesBefore);
  } else if (c.delayed && c.segmentSize == 0) {
    EXPECT_EQ(idx.words.Writes(), writesBefore);
  }
  update.FlushCache();
  EXPECT_EQ(cache.Count(), 0);
  const auto updated = idx.Stored();
  EXPECT_EQ(updated, TModel(idx.text).Index());
  for (const auto& [key, row] : idx.words.Rows()) EXPECT_GT(row.count, 0) << key.first;  // empty rows are deleted
  idx.Build();
  EXPECT_EQ(idx.Stored(), updated);
}

INSTANTIATE_TEST_SUITE_P(Engines, UpdateEqualsRebuild,
                         ::testing::Values(UpdateCase{"NoCache", false, false, 1000},
                                           UpdateCase{"Cache", true, false, 1000},
                                           UpdateCase{"Delayed", true, true, 1000},
                                           UpdateCase{"DelayedTinyBudget", true, true, 1},
                                           UpdateCase{"TinyBudget", true, false, 1},
                                           UpdateCase{"Segmented", false, false, 1000, 32},
                                           UpdateCase{"SegmentedDelayed", true, true, 1000, 32}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Update, EdgeCases) {
  TMemoryIndex idx;
  idx.text.Put(5, {{"title", "alpha beta"}});
  idx.text.Put(6, {{"title", "beta"}});
  idx.Build();
  TtxUpdate update;
  update.SetTextLink(&idx.text);
  update.SetWordsLink(&idx.words);
  // Adding the same document twice changes nothing.
  ASSERT_TRUE(idx.text.Locate(5));
  update.UpdateCurrent();
  EXPECT_EQ(idx.words.Rows().at({"BETA", 0}).count, 2);
  // Clearing the last bit of a word deletes its row.
  update.DeleteCurrent();
  EXPECT_EQ(idx.words.Rows().count({"ALPHA", 0}), 0u);
  // Removing a document from a word without a row is refused.
  idx.text.Put(6, {{"title", "gamma"}});
  ASSERT_TRUE(idx.text.Locate(6));
  try {
    update.DeleteCurrent();
    ADD_FAILURE();
  } catch (const ETextIndex& e) {
    EXPECT_EQ(e.Code(), txeDictionaryInvalidated);
  }
  // A document below the lowest index value is refused before anything changes.
  idx.text.Put(1, {{"title", "zeta"}});
  ASSERT_TRUE(idx.text.Locate(1));
  const auto before = idx.words.Rows().size();
  try {
    update.UpdateCurrent();
    ADD_FAILURE();
  } catch (const ETextIndex& e) {
    EXPECT_EQ(e.Code(), txeDictionaryInvalidated);
  }
  EXPECT_EQ(idx.words.Rows().size(), before);
  EXPECT_EQ(update.State(), 0);
}

TEST(Update, DelayedWritesWaitForTheFlush) {
  TMemoryIndex idx;
  idx.text.Put(1, {{"title", "one"}});
  idx.Build();
  TtxCache cache;
  TtxUpdate update;
  update.SetTextLink(&idx.text);
  update.SetWordsLink(&idx.words);
  update.SetCache(&cache);
  update.SetDelayedWrites(true);
  const int64_t writes = idx.words.Writes();
  idx.text.Put(2, {{"title", "two one"}});
  update.UpdateCurrent();
  EXPECT_EQ(idx.words.Writes(), writes);
  EXPECT_EQ(cache.DirtyCount(), 2);
  // A search through the same cache sees the change and leaves the records dirty.
  auto search = idx.Search("one", slAnd);
  search->SetCache(&cache);
  search->Execute();
  EXPECT_EQ(search->Count(), 2);
  EXPECT_EQ(cache.DirtyCount(), 2);
  update.FlushCache();
  EXPECT_EQ(idx.words.Writes(), writes + 2);
  EXPECT_EQ(idx.Run("two", slAnd), TDocSet{2});
  EXPECT_EQ(idx.Run("one", slAnd), (TDocSet{1, 2}));
}

TEST(WordCache, MemoryLimitUnitsAndStamps) {
  TtxCache cache;
  cache.SetMemoryLimit(4096);
  EXPECT_EQ(cache.MemoryLimitBytes(), 4194304);
  EXPECT_EQ(cache.MemoryLimit(), 4096);
  cache.SetMemoryLimit(2000000);
  EXPECT_EQ(cache.MemoryLimitBytes(), 2000000);
  cache.SetRecordSize(16);
  uint8_t* found = nullptr;
  uint8_t* record = nullptr;
  EXPECT_FALSE(cache.GetRecord("A", found, true, TtxCache::kNoStampLimit, record));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(GetRecordInt(record, kRecStampAt), 1);
  EXPECT_EQ(GetRecordInt(record, kRecSizeAt), 16);
  // Within one document (stamp limit = the sequence at its start) a word is counted once.
  EXPECT_TRUE(cache.GetRecord("A", found, true, 0, record));
  EXPECT_EQ(record, nullptr);
  cache.AddEntry("OMIT", nullptr);
  EXPECT_TRUE(cache.GetRecord("OMIT", found, true, TtxCache::kNoStampLimit, record));
  EXPECT_EQ(record, nullptr);
  TMemoryIndex idx;
  TtxUpdate engine;
  cache.Flush(false, true, {}, engine);
  EXPECT_EQ(cache.Count(), 0);
  EXPECT_EQ(cache.Sequence(), 0);
  cache.GetRecord("B", found, true, TtxCache::kNoStampLimit, record);
  EXPECT_EQ(GetRecordInt(record, kRecStampAt), 1);
  // Released blocks are reused for records of the same size.
  cache.Remove("B");
  EXPECT_EQ(cache.BytesFree(), 16);
  cache.GetRecord("C", found, true, TtxCache::kNoStampLimit, record);
  EXPECT_EQ(cache.BytesFree(), 0);
  // Freeing every record without a reset drops those words but keeps the omit words.
  cache.AddEntry("OMIT", nullptr);
  cache.Flush(true, false, {}, engine);
  EXPECT_EQ(cache.Count(), 1);
  EXPECT_EQ(cache.BytesInUse(), 0);
  EXPECT_FALSE(cache.GetRecord("C", found, false, TtxCache::kNoStampLimit, record));
}

TEST(WordCache, BuildListsTakeAscendingBitsOncePerDocument) {
  TtxCache cache;
  cache.SetRecordSize(12 + 70000);  // 560000 bits
  // Gaps that need one to three 7-bit groups, and the first bit 0.
  const std::vector<int32_t> bits = {0, 1, 128, 255, 16639, 16640, 300000, 300127, 559999};
  for (const int32_t bit : bits) {
    const int64_t mark = cache.Sequence();  // a new document
    EXPECT_EQ(cache.AppendBit("A", mark, bit), TtxCache::apAdded);
    EXPECT_EQ(cache.AppendBit("A", mark, bit), TtxCache::apSkipped);  // the same document again
  }
  cache.AddEntry("OMIT", nullptr);
  EXPECT_EQ(cache.AppendBit("OMIT", cache.Sequence(), 3), TtxCache::apSkipped);
  EXPECT_EQ(cache.Count(), 2);

  uint8_t* found = nullptr;
  uint8_t* record = nullptr;
  // A lower bit is not appended: the caller goes through GetRecord, which turns the list into
  // a raw record holding the same bits, stamp kept and advanced as for any lookup.
  EXPECT_EQ(cache.AppendBit("A", cache.Sequence(), 7), TtxCache::apNotList);
  const int64_t before = cache.Sequence();
  ASSERT_TRUE(cache.GetRecord("A", found, true, TtxCache::kNoStampLimit, record));
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(found, record);
  EXPECT_FALSE(TtxCache::IsListRecord(record));
  EXPECT_EQ(GetRecordInt(record, kRecStampAt), before + 1);
  EXPECT_EQ(GetRecordInt(record, kRecSizeAt), 12 + 70000);
  EXPECT_EQ(GetRecordInt(record, kRecCountAt), static_cast<int32_t>(bits.size()));
  TtaBits raw(559999);
  raw.LoadRaw(record, TtxCache::RecordBytes(record));
  std::vector<int32_t> read;
  for (int32_t b = raw.FindFirstSet(); b >= 0; b = raw.FindNextSet(b)) read.push_back(b);
  raw.Restore();
  EXPECT_EQ(read, bits);
  // A raw record stays raw: the build hands it to the bit set.
  EXPECT_EQ(cache.AppendBit("A", cache.Sequence(), 559999), TtxCache::apNotList);

  // A list whose bits lie beyond the raw record is refused, not written past it.
  EXPECT_EQ(cache.AppendBit("B", cache.Sequence(), 8), TtxCache::apAdded);
  cache.SetRecordSize(12 + 1);
  EXPECT_THROW(cache.GetRecord("B", found, true, TtxCache::kNoStampLimit, record), ETextIndex);
}

TEST(WordCache, DictionaryGrowsAndUsesElfHash) {
  EXPECT_EQ(TtaDictionary::ElfHash("A", 1000), 65u);
  EXPECT_EQ(TtaDictionary::ElfHash("AB", 1000), (65u * 16 + 66) % 1000);
  TtaDictionary dictionary(10);
  for (int i = 0; i < 31; ++i) dictionary.Insert("w" + std::to_string(i), nullptr);
  EXPECT_EQ(dictionary.HashSize(), 20);
  EXPECT_THROW(dictionary.Insert("w1", nullptr), EClContainerError);
  TClData data = nullptr;
  EXPECT_FALSE(dictionary.Exists("W1", data));  // ordinal, case-sensitive
}

// The cache's Find must answer as Exists does and leave the buckets in the same order (rows are
// written in bucket order), through growth, rehashes to any size and deletions.
TEST(WordCache, FindMatchesExistsAndItsBucketOrder) {
  std::mt19937 rng(7);
  TtaDictionary viaExists(7), viaFind(7);
  viaExists.MaxHashSize = viaFind.MaxHashSize = 5000;
  auto order = [](TtaDictionary& dictionary) {
    std::vector<std::string> names;
    dictionary.Iterate(
        [&names](TClDictionary&, TClDictNode& node, void*) {
          names.push_back(node.Name);
          return true;
        },
        nullptr);
    return names;
  };
  for (int step = 0; step < 20000; ++step) {
    std::string word = "w" + std::to_string(rng() % 3000);
    if (rng() % 3 == 0) word += std::string(1 + rng() % 20, static_cast<char>('A' + rng() % 26));
    const unsigned action = rng() % 100;
    if (action < 2) {
      const auto size = static_cast<int32_t>(1 + rng() % 4000);
      viaExists.SetHashSize(size);
      viaFind.SetHashSize(size);
    } else if (action < 6) {
      viaExists.Delete(word);
      viaFind.Delete(word);
    } else {
      TClData data = nullptr;
      const bool exists = viaExists.Exists(word, data);
      TClDictNode* node = viaFind.Find(word);
      ASSERT_EQ(exists, node != nullptr) << word;
      if (node != nullptr) {
        EXPECT_EQ(node->Name, word);
        EXPECT_EQ(node->Data, data);
      } else {
        auto* tag = reinterpret_cast<TClData>(static_cast<uintptr_t>(step + 1));
        viaExists.Insert(word, tag);
        viaFind.Insert(word, tag);
      }
    }
    if (step % 997 == 0) {
      ASSERT_EQ(order(viaExists), order(viaFind)) << "step " << step;
    }
  }
  EXPECT_EQ(viaExists.HashSize(), viaFind.HashSize());
  EXPECT_EQ(order(viaExists), order(viaFind));
}

}  // namespace
}  // namespace tovenmarsh::fulltext::testing
