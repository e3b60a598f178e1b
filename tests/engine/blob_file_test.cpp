// BLOB file: golden header and chain layout, block reuse order, a 10 MB value through the small
// cache, damaged chains, block-size limits, and a random model of values against std::map with
// every block accounted for.
#include "engine/store/blob_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>
#include <set>

#include "engine/base/engine_error.h"
#include "engine/io/file_list.h"

namespace tovenmarsh::engine {
namespace {

using namespace blob_format;

class TTestOwner : public TTableFilesOwner {
 public:
  bool InTransaction() const override { return inTransaction; }
  bool HoldsWriteLock() const override { return true; }
  bool StrictChangeDetection() const override { return false; }
  bool Encrypted() const override { return encrypted; }
  void MarkFilesWritten() override {}
  bool ChangedOnDisk() override { return false; }
  bool inTransaction = false;
  bool encrypted = false;
};

uint16_t ErrorCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    return e.Code();
  }
  return 0;
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
  std::vector<uint8_t> v(n);
  std::mt19937 rng(seed);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

class BlobFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<TBlobFile> NewFile(uint32_t blockSize = 512) {
    auto f = std::make_unique<TBlobFile>(&owner, "T.BLB", blockSize, true, &list);
    f->CreateFile();
    return f;
  }
  std::vector<uint8_t> Raw(TBlobFile& f, uint32_t offset, uint32_t n) {
    std::vector<uint8_t> bytes(n);
    f.Seek(offset);
    f.Read(bytes.data(), n);
    return bytes;
  }
  TFileList list;
  TTestOwner owner;
};

TEST_F(BlobFileTest, NewFileIs512Bytes) {
  auto f = NewFile();
  EXPECT_EQ(f->GetSize(), 512);
  auto h = Raw(*f, 0, 512);
  EXPECT_EQ(h[8], 4);
  EXPECT_EQ(GetU32(h.data(), 13), 512u);
  EXPECT_EQ(GetU32(h.data(), 9), 0u);
}

TEST_F(BlobFileTest, ThousandBytesTake494Plus494Plus12) {
  auto f = NewFile();
  const auto value = Pattern(1000, 1);
  const uint32_t first = f->WriteValue(0, 7, value.data(), value.size());
  f->FlushBlocks();
  f->WriteHeader(false);
  EXPECT_EQ(first, 512u);
  EXPECT_EQ(f->EndOffset(), 512u + 3 * 512);
  const uint32_t used[] = {494, 494, 12};
  uint32_t at = first, prev = 0;
  for (int i = 0; i < 3; ++i) {
    auto block = Raw(*f, at, 18);
    EXPECT_EQ(GetU32(block.data(), 0), prev);
    EXPECT_EQ(GetU16(block.data(), 8), used[i]);
    EXPECT_EQ(GetU32(block.data(), 10), 7u);
    EXPECT_EQ(GetU32(block.data(), 14), i == 0 ? 1000u : 0u);
    prev = at;
    at = GetU32(block.data(), 4);
  }
  EXPECT_EQ(at, 0u);
  std::vector<uint8_t> back;
  ASSERT_TRUE(f->ReadValue(first, 7, back));
  EXPECT_EQ(back, value);
}

TEST_F(BlobFileTest, RewritingShorterFreesTheTailAndTheMostRecentlyFreedIsReusedFirst) {
  auto f = NewFile();
  const auto big = Pattern(1000, 2);
  const uint32_t first = f->WriteValue(0, 1, big.data(), big.size());
  const auto small = Pattern(100, 3);
  EXPECT_EQ(f->WriteValue(first, 2, small.data(), small.size()), first);
  EXPECT_EQ(f->FreeHead(), first + 2 * 512);  // third block, freed after the second
  TBlock* b = f->NewBlock();
  EXPECT_EQ(b->Offset, first + 2 * 512);
  f->ReleaseBlock(b);
  b = f->NewBlock();
  EXPECT_EQ(b->Offset, first + 512);
  f->ReleaseBlock(b);
  b = f->NewBlock();
  EXPECT_EQ(b->Offset, first + 3 * 512);  // the list is empty: append
  f->ReleaseBlock(b);
  std::vector<uint8_t> back;
  ASSERT_TRUE(f->ReadValue(first, 2, back));
  EXPECT_EQ(back, small);
  // Writing an empty value frees the whole chain.
  EXPECT_EQ(f->WriteValue(first, 2, nullptr, 0), 0u);
  EXPECT_EQ(f->FreeHead(), first);
}

TEST_F(BlobFileTest, TenMegabyteValueRoundTripsOutsideATransaction) {
  auto f = NewFile();
  const auto value = Pattern(10 * 1024 * 1024, 4);
  const uint32_t first = f->WriteValue(0, 9, value.data(), value.size());
  f->FlushBlocks();
  f->WriteHeader(false);
  f->Trim();
  EXPECT_LE(f->CachedBlocks(), f->CacheCapacity());
  f->Close();
  f->Open();
  std::vector<uint8_t> back;
  ASSERT_TRUE(f->ReadValue(first, 9, back));
  EXPECT_TRUE(back == value);
  EXPECT_LE(f->CachedBlocks(), 255u);  // 131070 / 512: nothing stays pinned
}

TEST_F(BlobFileTest, DamagedChainsAreReported) {
  auto f = NewFile();
  const auto value = Pattern(1500, 5);
  const uint32_t first = f->WriteValue(0, 3, value.data(), value.size());
  f->FlushBlocks();
  f->WriteHeader(false);
  std::vector<uint8_t> back;
  auto poke32 = [&](uint32_t at, uint32_t v) {
    f->DropBlocks();
    uint8_t bytes[4];
    PutU32(bytes, 0, v);
    f->Seek(at);
    f->Write(bytes, 4);
  };
  EXPECT_EQ(ErrorCode([&] { f->ReadValue(first, 4, back); }), kErrRecordChanged);  // another owner
  poke32(first + 512 + 4, first);                                                  // loop back to the first
  EXPECT_EQ(ErrorCode([&] { f->ReadValue(first, 3, back); }), kErrBlobBuffersCorrupt);
  poke32(first + 512 + 4, 0);  // ends early
  EXPECT_EQ(ErrorCode([&] { f->ReadValue(first, 3, back); }), kErrEndOfBlob);
  poke32(first + 512 + 4, 513);  // not a block
  EXPECT_EQ(ErrorCode([&] { f->ReadValue(first, 3, back); }), kErrBlobBuffersCorrupt);
  poke32(first + 14, 0xFFFFFFF0u);  // a size the file cannot hold
  EXPECT_EQ(ErrorCode([&] { f->ReadValue(first, 3, back); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(ErrorCode([&] { f->ReadValue(first + 7, 3, back); }), kErrBlobBuffersCorrupt);
  EXPECT_EQ(ErrorCode([&] { f->FreeChain(first + 512 * 50, 3, true); }), kErrBlobBuffersCorrupt);
}

TEST_F(BlobFileTest, VerificationAndRepairReportDamagedChains) {
  auto f = NewFile();
  const auto value = Pattern(2000, 6);  // five blocks
  const uint32_t first = f->WriteValue(0, 4, value.data(), value.size());
  std::vector<std::string> reports;
  auto report = [&](const std::string& text) { reports.push_back(text); };
  EXPECT_TRUE(f->WalkChain(first, 4, 17, true, false, TBlobFile::kChainVerify, report));
  EXPECT_TRUE(reports.empty());
  // The third block points back at the first.
  TBlock* third = f->FetchBlock(first + 2 * 512);
  third->Next = first;
  third->Dirty = true;
  f->ReleaseBlock(third);
  EXPECT_TRUE(f->WalkChain(first, 4, 17, true, false, TBlobFile::kChainVerify, report));
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0], "Recursive intra-block pointer in BLOB file for physical record # 17, error not fixed");
  EXPECT_EQ(ErrorCode([&] { f->FreeChain(first, 4, true); }), kErrBlobBuffersCorrupt);
  EXPECT_TRUE(f->WalkChain(first, 4, 17, true, false, TBlobFile::kChainRepair, report));
  EXPECT_EQ(reports.back(), "Recursive intra-block pointer in BLOB file for physical record # 17, error fixed");
  EXPECT_TRUE(f->WalkChain(first, 4, 17, true, false, TBlobFile::kChainVerify, report));
  EXPECT_EQ(reports.size(), 2u);  // the cut chain is sound now
  EXPECT_FALSE(f->WalkChain(first, 5, 18, true, false, TBlobFile::kChainVerify, report));
  EXPECT_EQ(reports.back(), "Invalid BLOB offset in BLOB file for physical record # 18, error not fixed");
  EXPECT_FALSE(f->WalkChain(first + 3, 4, 19, true, false, TBlobFile::kChainRepair, report));
  EXPECT_EQ(reports.back(), "Invalid BLOB offset in BLOB file for physical record # 19, error fixed");
}

TEST_F(BlobFileTest, BlockSizeLimits) {
  struct TCase {
    uint32_t Size;
    uint16_t Code;
  } cases[] = {{63, kErrBlobFieldsOrBlockSize}, {64, 0}, {65535, 0}, {65536, kErrBlobFieldsOrBlockSize}, {0, 0}};
  for (const TCase& c : cases) {
    TBlobFile f(&owner, "S.BLB", c.Size, true, &list);
    EXPECT_EQ(ErrorCode([&] { f.CreateFile(); }), c.Code) << c.Size;
    if (c.Code == 0) {
      const auto value = Pattern(70000, c.Size);
      const uint32_t first = f.WriteValue(0, 1, value.data(), value.size());
      std::vector<uint8_t> back;
      ASSERT_TRUE(f.ReadValue(first, 1, back));
      EXPECT_EQ(back, value);
      f.Close();
    }
  }
}

TEST_F(BlobFileTest, HeaderVerification) {
  auto f = NewFile(128);
  EXPECT_NO_THROW(f->Verify());
  std::vector<uint8_t> h = Raw(*f, 0, 512);
  struct TDamage {
    uint32_t At;
    uint32_t Value;
    uint16_t Code;
  } damages[] = {{8, 3, kErrWrongVersion}, {9, 640, kErrHeaderCorrupt}, {13, 700, kErrHeaderCorrupt}};
  for (const TDamage& d : damages) {
    std::vector<uint8_t> bad = h;
    if (d.At == 8) bad[8] = static_cast<uint8_t>(d.Value);
    else PutU32(bad.data(), d.At, d.Value);
    f->Seek(0);
    f->Write(bad.data(), 512);
    f->ReadHeader();
    EXPECT_EQ(ErrorCode([&] { f->Verify(); }), d.Code) << d.At;
  }
}

// Random writes, rewrites, reads and frees of many values, in and out of a transaction and
// through reopening, against a map; afterwards every block is in one chain or on the free list.
TEST_F(BlobFileTest, RandomValuesMatchAModelAndEveryBlockIsAccounted) {
  for (bool encrypted : {false, true}) {
    owner.encrypted = encrypted;
    auto f = NewFile(128);
    struct TValue {
      uint32_t First;
      uint32_t Owner;
      std::vector<uint8_t> Bytes;
    };
    std::map<int, TValue> model;
    std::mt19937 rng(99 + encrypted);
    uint32_t nextOwner = 1;
    for (int round = 0; round < 30; ++round) {
      owner.inTransaction = round % 3 == 1;
      for (int op = 0; op < 60; ++op) {
        const int id = static_cast<int>(rng() % 40);
        const size_t size = rng() % 4 == 0 ? 0 : rng() % 3000;
        auto it = model.find(id);
        const auto bytes = Pattern(size, static_cast<uint32_t>(rng()));
        const uint32_t ownerId = nextOwner++;
        const uint32_t first = f->WriteValue(it == model.end() ? 0 : it->second.First, ownerId, bytes.data(), size);
        if (size == 0) {
          ASSERT_EQ(first, 0u);
          model.erase(id);
        } else {
          model[id] = TValue{first, ownerId, bytes};
        }
      }
      if (!owner.inTransaction) {
        f->FlushBlocks();
        f->WriteHeader(false);
        f->Trim();
      }
      if (round % 5 == 4 && !owner.inTransaction) {
        f->Close();
        f->Open();
      }
      for (const auto& [id, v] : model) {
        std::vector<uint8_t> back;
        ASSERT_TRUE(f->ReadValue(v.First, v.Owner, back));
        ASSERT_EQ(back, v.Bytes) << "value " << id;
      }
    }
    owner.inTransaction = false;
    f->FlushBlocks();
    f->WriteHeader(false);
    ASSERT_NO_THROW(f->Verify());
    std::set<uint32_t> accounted;
    for (const auto& [id, v] : model) {
      for (uint32_t at = v.First; at != 0;) {
        ASSERT_TRUE(accounted.insert(at).second);
        TBlock* b = f->FetchBlock(at);
        at = b->Next;
        f->ReleaseBlock(b);
      }
    }
    for (uint32_t at = f->FreeHead(); at != 0;) {
      ASSERT_TRUE(accounted.insert(at).second);
      TBlock* b = f->FetchBlock(at);
      at = b->Next;
      f->ReleaseBlock(b);
    }
    EXPECT_EQ(accounted.size(), (f->EndOffset() - 512) / 128);
    f->Close();
  }
}

// A full cache gives up its least recently used clean, unpinned block; dirty blocks are set
// aside on the way and, once written, take their old place in the recency order again.
TEST_F(BlobFileTest, TheLeastRecentlyUsedCleanBlockMakesRoom) {
  auto f = NewFile(4096);
  const size_t capacity = f->CacheCapacity();  // 131070 / 4096 = 31
  ASSERT_EQ(capacity, 31u);
  std::vector<uint32_t> at;
  for (size_t i = 0; i < capacity + 4; ++i) {
    TBlock* b = f->NewBlock();
    at.push_back(b->Offset);
    f->ReleaseBlock(b);
  }
  f->FlushBlocks();
  f->WriteHeader(false);
  f->DropBlocks();
  auto touch = [&](size_t i, bool dirty) {
    TBlock* b = f->FetchBlock(at[i]);
    ASSERT_NE(b, nullptr);
    if (dirty) b->Dirty = true;
    f->ReleaseBlock(b);
  };
  // Cached: a0 and a1 dirty and least recent, then a2 .. a30.
  touch(0, true);
  touch(1, true);
  for (size_t i = 2; i < capacity; ++i) touch(i, false);
  ASSERT_EQ(f->CachedBlocks(), capacity);
  auto cached = [&](size_t i) {  // whether block i is still in the cache (it is afterwards)
    const uint64_t reads = f->Statistics().DiskReads;
    touch(i, false);
    return f->Statistics().DiskReads == reads;
  };
  touch(31, false);  // a0 and a1 are set aside; a2 goes
  EXPECT_EQ(f->CachedBlocks(), capacity);
  f->FlushBlocks();   // a0 and a1 clean again, still the least recent
  touch(32, false);   // a0 goes
  touch(33, false);   // a1 goes
  touch(34, false);   // a3 goes
  EXPECT_TRUE(cached(4));  // hits first: a miss would make room
  EXPECT_TRUE(cached(30));
  EXPECT_FALSE(cached(0));
  EXPECT_FALSE(cached(1));
  EXPECT_FALSE(cached(3));
  // Inside a transaction dirty blocks stay, and the cache grows instead.
  owner.inTransaction = true;
  for (size_t i = 0; i < at.size(); ++i) touch(i, true);
  EXPECT_EQ(f->CachedBlocks(), at.size());
  owner.inTransaction = false;
  f->FlushBlocks();
  f->Trim();
  EXPECT_EQ(f->CachedBlocks(), capacity);
}

}  // namespace
}  // namespace tovenmarsh::engine
