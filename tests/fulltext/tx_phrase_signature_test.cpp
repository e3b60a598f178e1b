// Pair signatures of phrase searches: the Bloom filter never misses a pair it was given; phrase
// searches over random stored documents find the same documents with the signature file as
// without it (repeated words, wildcards, folded international words, several fields), also
// when the file is damaged, missing or of other settings; documents added or rewritten by the
// update engine get signatures of their new text; a build replaces an older file.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "fulltext/pair_signature.h"
#include "fulltext/phrase_file_format.h"
#include "fulltext/phrase_reader.h"
#include "fulltext/phrase_writer.h"
#include "fulltext/tx_update.h"
#include "fulltext/tx_utils.h"
#include "platform/file.h"
#include "support/stored_index.h"

namespace tovenmarsh::fulltext::testing {
namespace {

namespace pf = phrase_format;

// Win1252: "caf\xe9" folds to CAFE, "\xe9t\xe9" to ETE.
const char* const kWords[] = {"red", "car", "blue", "boat", "caf\xe9", "cafe", "road", "sun", "\xe9t\xe9", "ete", "go"};

std::string RandomText(std::mt19937& rng, int words) {
  std::string text;
  std::string last;
  for (int i = 0; i < words; ++i) {
    // Repeats now and then: "red red car" is where the phrase rule is subtle.
    std::string w = (!last.empty() && rng() % 6 == 0) ? last : kWords[rng() % std::size(kWords)];
    text += (text.empty() ? "" : (rng() % 7 == 0 ? ", " : " ")) + w;
    last = w;
  }
  return text;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct TQuery {
  std::string text;
  TSearchLogic logic;
  bool international;
};

struct TOutcome {
  TDocSet hits;
  int32_t signedCandidates = 0;
  int32_t rejects = 0;
};

TOutcome RunQuery(TStoredIndex& idx, const TQuery& q) {
  auto search = idx.Search(q.text, q.logic);
  search->International = q.international;
  search->Execute();
  std::vector<int32_t> values;
  search->GetIndexValues(values);
  return {TDocSet(values.begin(), values.end()), search->SignedCandidates(), search->SignatureRejects()};
}

// Phrases of two to four words: picked from the vocabulary, or runs of some document's body,
// with wildcards and repeats mixed in; each as a phrase and inside a smart expression.
std::vector<TQuery> RandomQueries(std::mt19937& rng, const std::vector<std::string>& bodies) {
  std::vector<TQuery> queries;
  for (int i = 0; i < 60; ++i) {
    std::vector<std::string> words;
    const int n = 2 + static_cast<int>(rng() % 3);
    if (i % 2 == 0) {
      const std::vector<std::string> tokens = Tokens(bodies[rng() % bodies.size()]);
      if (tokens.size() < static_cast<size_t>(n)) continue;
      const size_t start = rng() % (tokens.size() - static_cast<size_t>(n) + 1);
      words.assign(tokens.begin() + static_cast<std::ptrdiff_t>(start),
                   tokens.begin() + static_cast<std::ptrdiff_t>(start) + n);
    } else {
      for (int k = 0; k < n; ++k) words.push_back(k > 0 && rng() % 4 == 0 ? words.back() : kWords[rng() % std::size(kWords)]);
    }
    if (rng() % 5 == 0) words[rng() % words.size()] = "ca*";
    if (rng() % 7 == 0) words[rng() % words.size()] = "b?at";
    std::string text;
    for (const std::string& w : words) text += (text.empty() ? "" : " ") + w;
    const bool international = rng() % 3 == 0;
    queries.push_back({text, slPhrase, international});
    if (rng() % 4 == 0) queries.push_back({"\"" + text + "\" or sun", slSmart, international});
  }
  return queries;
}

void FillRandom(TStoredIndex& idx, std::mt19937& rng, int32_t from, int32_t to, std::vector<std::string>& bodies) {
  for (int32_t no = from; no <= to; ++no) {
    const std::string body = RandomText(rng, 3 + static_cast<int>(rng() % 18));
    idx.Put(no, RandomText(rng, 1 + static_cast<int>(rng() % 4)), body);
    bodies.push_back(body);
  }
}

// Every query's hits with the file as it is, compared with the hits once the file is gone.
void ExpectSameWithoutFile(TStoredIndex& idx, const std::vector<TQuery>& queries, bool expectUse) {
  std::vector<TOutcome> with;
  int64_t rejects = 0;
  for (const TQuery& q : queries) {
    with.push_back(RunQuery(idx, q));
    rejects += with.back().rejects;
  }
  if (expectUse) {
    EXPECT_GT(rejects, 0) << "the signatures were never used";
  }
  TtxPhraseWriter::Remove(idx.Words().PhraseFileName());
  for (size_t i = 0; i < queries.size(); ++i) {
    const TOutcome without = RunQuery(idx, queries[i]);
    EXPECT_EQ(without.signedCandidates, 0);
    EXPECT_EQ(with[i].hits, without.hits) << queries[i].text << (queries[i].international ? " (international)" : "");
  }
}

TEST(PairSignature, HoldsEveryAddedPairAndFewOthers) {
  std::mt19937_64 rng(5);
  std::vector<uint8_t> signature;
  int64_t falsePositives = 0, probes = 0;
  for (int doc = 0; doc < 200; ++doc) {
    TPairSignature pairs;
    std::vector<std::string> words;
    const int count = 1 + static_cast<int>(rng() % 300);
    for (int i = 0; i < count; ++i) words.push_back("w" + std::to_string(rng() % 5000));
    pairs.Clear();
    for (const std::string& w : words) pairs.Word(w);
    pairs.Make(signature);
    ASSERT_EQ(signature.size() % 8, 0u);
    for (size_t i = 0; i + 1 < words.size(); ++i)
      ASSERT_TRUE(SignatureMayHold(signature.data(), signature.size(),
                                   SignaturePairHash(SignatureWordHash(words[i]), SignatureWordHash(words[i + 1]))));
    for (int i = 0; i < 100; ++i) {
      const uint64_t pair = SignaturePairHash(SignatureWordHash("x" + std::to_string(rng())), SignatureWordHash("y"));
      falsePositives += SignatureMayHold(signature.data(), signature.size(), pair) ? 1 : 0;
      ++probes;
    }
  }
  EXPECT_LT(falsePositives * 100, probes * 1);  // about 0.4 %; 1 % would mean a weakened filter
}

TEST(PairSignature, FoldedWordsShareAHashAndFieldsBreakPairs) {
  EXPECT_EQ(SignatureWordHash("CAF\xc9"), SignatureWordHash("CAFE"));
  EXPECT_NE(SignatureWordHash("CAFE"), SignatureWordHash("CAFF"));
  TPairSignature pairs;
  pairs.Clear();
  pairs.Word("A");
  pairs.FieldBreak();
  pairs.Word("B");
  EXPECT_EQ(pairs.PairCount(), 0u);
  pairs.Word("C");
  EXPECT_EQ(pairs.PairCount(), 1u);
}

class PhraseSignatures : public ::testing::TestWithParam<int> {};

TEST_P(PhraseSignatures, RandomPhrasesFindTheSameWithAndWithoutTheFile) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()));
  TStoredIndex idx;
  std::vector<std::string> bodies;
  FillRandom(idx, rng, 1, 150, bodies);
  idx.Build();
  ASSERT_TRUE(platform::FileExistsOnDisk(idx.Folder() + "words.phrases"));
  const std::vector<TQuery> queries = RandomQueries(rng, bodies);
  // The plain phrases also against the model, which knows nothing of signatures.
  TModel model(idx.Twin());
  for (const TQuery& q : queries) {
    if (q.logic != slPhrase || q.international || q.text.find_first_of("*?") != std::string::npos) continue;
    std::vector<std::string> words = Tokens(q.text);
    EXPECT_EQ(RunQuery(idx, q).hits, model.Phrase(words)) << q.text;
  }
  ExpectSameWithoutFile(idx, queries, true);
}

INSTANTIATE_TEST_SUITE_P(Seeds, PhraseSignatures, ::testing::Values(1, 2, 3));

TEST(PhraseSignatures, DamagedOrForeignFilesFallBackToReading) {
  enum TDamage { dmTruncated, dmHeaderByte, dmUnfinished, dmOtherSettings, dmNoise, dmZeros, dmSlotsSwapped, dmRecordByte };
  for (TDamage damage : {dmTruncated, dmHeaderByte, dmUnfinished, dmOtherSettings, dmNoise, dmZeros, dmSlotsSwapped,
                         dmRecordByte}) {
    SCOPED_TRACE(damage);
    std::mt19937 rng(40 + damage);
    TStoredIndex idx;
    std::vector<std::string> bodies;
    FillRandom(idx, rng, 1, 80, bodies);
    idx.Build();
    const std::string path = idx.Folder() + "words.phrases";
    std::string bytes = ReadFile(path);
    ASSERT_GT(bytes.size(), static_cast<size_t>(pf::kDataOffset));
    auto* b = reinterpret_cast<uint8_t*>(bytes.data());
    const auto resum = [&] { pf::Store64(b + pf::kChecksumAt, pf::Checksum(b, pf::kHeaderChecked, pf::kHeaderSeed)); };
    const uint64_t firstChunk = pf::Load64(b + pf::kDirectoryOffset);
    switch (damage) {
      case dmTruncated: bytes.resize(bytes.size() - 1000); break;  // into the slots
      case dmHeaderByte: b[pf::kBaseAt] ^= 1; break;
      case dmUnfinished: pf::Store32(b + pf::kFlagsAt, 0), resum(); break;
      case dmOtherSettings: pf::Store64(b + pf::kFingerprintAt, 12345), resum(); break;
      case dmNoise:
        for (size_t i = pf::kHeaderSize; i < bytes.size(); ++i) b[i] = static_cast<uint8_t>(rng());
        break;
      case dmZeros: std::memset(b + pf::kHeaderSize, 0, bytes.size() - pf::kHeaderSize); break;
      case dmSlotsSwapped:
        // Every document's slot points at another document's (whole, valid) record.
        ASSERT_NE(firstChunk, 0u);
        for (int32_t no = 1; no + 1 <= 80; no += 2)
          std::swap_ranges(b + firstChunk + no * 4, b + firstChunk + no * 4 + 4, b + firstChunk + (no + 1) * 4);
        break;
      case dmRecordByte:
        for (size_t i = pf::kDataOffset + 20; i < firstChunk; i += 97) b[i] ^= 0x10;
        break;
    }
    WriteFile(path, bytes);
    idx.Reopen();
    std::vector<TQuery> queries = RandomQueries(rng, bodies);
    ExpectSameWithoutFile(idx, queries, false);
  }
}

TEST(PhraseSignatures, UpdatedDocumentsGetSignaturesOfTheirNewText) {
  for (bool delayed : {false, true}) {
    SCOPED_TRACE(delayed);
    std::mt19937 rng(77);
    TStoredIndex idx;
    std::vector<std::string> bodies;
    FillRandom(idx, rng, 1, 40, bodies);
    idx.Build();
    TtxUpdate update;
    update.SetTextLink(&idx.Text());
    update.SetWordsLink(&idx.Words());
    update.SetCache(&idx.Cache());
    update.SetDelayedWrites(delayed);
    // New documents holding a phrase no built one has ("zebra crossing")...
    for (int32_t no = 41; no <= 60; ++no) {
      idx.Put(no, "title", RandomText(rng, 4) + " zebra crossing " + RandomText(rng, 3));
      ASSERT_TRUE(idx.Goto(no));
      update.UpdateCurrent();
    }
    // ... and built ones whose text changes, with the words of the phrase apart before.
    for (int32_t no : {3, 7}) {
      idx.Put(no, "old", "crossing the zebra");
      ASSERT_TRUE(idx.Goto(no));
      update.UpdateCurrent();
    }
    for (int32_t no : {3, 7}) {
      ASSERT_TRUE(idx.Goto(no));
      update.CollectCurrent();
      idx.Put(no, "new", "a zebra crossing here");
      ASSERT_TRUE(idx.Goto(no));
      update.ReplaceCurrent();
    }
    update.FlushCache();
    TDocSet expected = {3, 7};
    for (int32_t no = 41; no <= 60; ++no) expected.insert(no);
    const TOutcome found = RunQuery(idx, {"zebra crossing", slPhrase, false});
    EXPECT_EQ(found.hits, expected);
    EXPECT_EQ(found.signedCandidates, 22);  // every candidate had its signature
    const TOutcome reversed = RunQuery(idx, {"crossing zebra", slPhrase, false});
    EXPECT_EQ(reversed.hits, TDocSet{});
    EXPECT_GE(reversed.rejects, 18);  // and (but for the rare false positive) none of them was read
  }
}

TEST(PhraseSignatures, BuildReplacesTheFileAndUpdatesDropOneOfOtherSettings) {
  std::mt19937 rng(9);
  TStoredIndex idx;
  std::vector<std::string> bodies;
  FillRandom(idx, rng, 1, 30, bodies);
  idx.Put(5, "t", "zebra crossing");
  idx.Build();
  EXPECT_EQ(RunQuery(idx, {"zebra crossing", slPhrase, false}).hits, TDocSet{5});
  // A rebuild after the text changed: the old signature must not survive it.
  idx.Put(5, "t", "crossing zebra crossing");
  idx.Put(6, "t", "zebra crossing");
  idx.Build();
  const TOutcome after = RunQuery(idx, {"zebra crossing", slPhrase, false});
  EXPECT_EQ(after.hits, (TDocSet{5, 6}));
  EXPECT_EQ(after.signedCandidates, 2);
  // A file made with other settings is one the update engine cannot keep: it goes.
  const std::string path = idx.Folder() + "words.phrases";
  std::string bytes = ReadFile(path);
  auto* b = reinterpret_cast<uint8_t*>(bytes.data());
  pf::Store64(b + pf::kFingerprintAt, 99);
  pf::Store64(b + pf::kChecksumAt, pf::Checksum(b, pf::kHeaderChecked, pf::kHeaderSeed));
  WriteFile(path, bytes);
  TtxUpdate update;
  update.SetTextLink(&idx.Text());
  update.SetWordsLink(&idx.Words());
  idx.Put(31, "t", "zebra crossing");
  ASSERT_TRUE(idx.Goto(31));
  update.UpdateCurrent();
  EXPECT_TRUE(!platform::FileExistsOnDisk(path) || ReadFile(path).compare(0, 8, pf::kMagic, 8) != 0);
  EXPECT_EQ(RunQuery(idx, {"zebra crossing", slPhrase, false}).hits, (TDocSet{5, 6, 31}));
}

TEST(PhraseSignatures, AReadOnlyFileIsNeverTrusted) {
  // The update engine cannot write it, so its signatures may be of old texts.
  std::mt19937 rng(12);
  TStoredIndex idx;
  std::vector<std::string> bodies;
  FillRandom(idx, rng, 1, 20, bodies);
  idx.Put(5, "t", "crossing the zebra");
  idx.Build();
  const std::string path = idx.Folder() + "words.phrases";
  std::filesystem::permissions(path, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                         std::filesystem::perms::others_read);
  TtxUpdate update;
  update.SetTextLink(&idx.Text());
  update.SetWordsLink(&idx.Words());
  idx.Put(5, "t", "a zebra crossing");
  ASSERT_TRUE(idx.Goto(5));
  update.UpdateCurrent();
  EXPECT_EQ(RunQuery(idx, {"zebra crossing", slPhrase, false}).hits, TDocSet{5});
  idx.Reopen();
  EXPECT_EQ(RunQuery(idx, {"zebra crossing", slPhrase, false}).hits, TDocSet{5});
}

TEST(PhraseReader, HostileBytesNeverReadOutside) {
  // A finished file, then every prefix of it and random damage: answers are whole or none.
  const std::string path = ::testing::TempDir() + "reader_test.phrases";
  {
    auto writer = TtxPhraseWriter::Create(path, 7, 100);
    ASSERT_TRUE(writer);
    for (int32_t v = 100; v < 140; ++v) writer->Put(v, std::vector<uint8_t>(8 * (1 + v % 5), static_cast<uint8_t>(v)));
    // A value met twice in a build (which row would a search locate?) keeps no signature.
    writer->Put(141, std::vector<uint8_t>(8, 1));
    writer->Put(141, std::vector<uint8_t>(8, 2));
    writer->Finish();
  }
  const std::string good = ReadFile(path);
  TtxPhraseWriter::Remove(path);
  std::vector<uint8_t> signature;
  {
    TtxPhraseReader reader(std::make_unique<TMemoryPhraseSource>(good));
    ASSERT_TRUE(reader.Validate(7));
    EXPECT_FALSE(TtxPhraseReader(std::make_unique<TMemoryPhraseSource>(good)).Validate(8));
    for (int32_t v = 100; v < 140; ++v) {
      ASSERT_TRUE(reader.Get(v, signature));
      EXPECT_EQ(signature, std::vector<uint8_t>(8 * (1 + v % 5), static_cast<uint8_t>(v)));
    }
    EXPECT_FALSE(reader.Get(99, signature));
    EXPECT_FALSE(reader.Get(140, signature));
    EXPECT_FALSE(reader.Get(141, signature));
    EXPECT_FALSE(reader.Get(INT32_MIN, signature));
    EXPECT_FALSE(reader.Get(INT32_MAX, signature));
  }
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    std::string bytes = good;
    if (round % 3 == 0) bytes.resize(rng() % bytes.size());
    for (int k = 0; k < 1 + round % 8; ++k) bytes[rng() % bytes.size()] = static_cast<char>(rng());
    TtxPhraseReader reader(std::make_unique<TMemoryPhraseSource>(bytes));
    if (!reader.Validate(7)) continue;
    for (int32_t v = 95; v < 145; ++v) {
      if (reader.Get(v, signature)) {
        EXPECT_EQ(signature, std::vector<uint8_t>(8 * (1 + v % 5), static_cast<uint8_t>(v)));
      }
    }
  }
}

TEST(PhraseReader, AnOpenReaderDropsASignatureAnUpdateCleared) {
  // Clearing a slot changes neither the file's size nor any record: a reader that cached the
  // slot must still learn of it, or it would keep judging the new text by the old signature.
  const std::string path = ::testing::TempDir() + "cleared_test.phrases";
  {
    auto writer = TtxPhraseWriter::Create(path, 7, 100);
    ASSERT_TRUE(writer);
    for (int32_t v = 100; v < 110; ++v) writer->Put(v, std::vector<uint8_t>(8, static_cast<uint8_t>(v)));
    writer->Finish();
  }
  auto reader = TtxPhraseReader::OpenFile(path);
  ASSERT_TRUE(reader);
  std::vector<uint8_t> signature;
  ASSERT_TRUE(reader->Validate(7));
  ASSERT_TRUE(reader->Get(104, signature));
  for (int round = 0; round < 2; ++round) {  // the count in the header also survives a reopen
    auto update = TtxPhraseWriter::OpenForUpdate(path, 7);
    ASSERT_TRUE(update);
    update->Put(104 + round, {});
    update->Sync();
    ASSERT_TRUE(reader->Validate(7));
    EXPECT_FALSE(reader->Get(104, signature));
    EXPECT_EQ(reader->Get(105, signature), round == 0);
    EXPECT_TRUE(reader->Get(106, signature));
  }
  TtxPhraseWriter::Remove(path);
}

}  // namespace
}  // namespace tovenmarsh::fulltext::testing
