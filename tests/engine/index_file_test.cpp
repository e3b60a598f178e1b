// Index file: new-file golden bytes, trees of several indexes through a tiny page cache and
// the stored file (against std::map), slot definitions and dropping, header verification,
// damaged pages, emptying, scrambling and the region and user-byte locks.
#include "engine/store/index_file.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>
#include <random>

#include "engine/base/engine_error.h"
#include "engine/io/file_list.h"

namespace tovenmarsh::engine {
namespace {

using namespace index_format;

class TTestOwner : public TTableFilesOwner {
 public:
  bool InTransaction() const override { return inTransaction; }
  bool HoldsWriteLock() const override { return true; }
  bool StrictChangeDetection() const override { return false; }
  bool Encrypted() const override { return encrypted; }
  void MarkFilesWritten() override { ++written; }
  bool ChangedOnDisk() override { return false; }
  bool inTransaction = false;
  bool encrypted = false;
  int written = 0;
};

std::vector<FieldDesc> Fields() {
  std::vector<FieldDesc> f(3);
  f[0].FieldNumber = 1;
  f[0].Name = "Name";
  f[0].FieldType = fldZString;
  f[0].Size = 20;
  f[1].FieldNumber = 2;
  f[1].Name = "Count";
  f[1].FieldType = fldInt32;
  f[2].FieldNumber = 3;
  f[2].Name = "Memo";
  f[2].FieldType = fldBlob;
  f[2].SubType = fldstMemo;
  LayoutRecordFields(f);
  return f;
}

IndexDesc Desc(const std::string& name, std::initializer_list<uint16_t> fields, bool unique) {
  IndexDesc d;
  d.Name = name;
  d.Unique = unique;
  d.FieldCount = static_cast<uint8_t>(fields.size());
  int i = 0;
  for (uint16_t f : fields) d.FieldNumbers[i++] = f;
  return d;
}

uint16_t ErrorCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    return e.Code();
  }
  return 0;
}

class IndexFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<TIndexFile> NewFile(const std::string& name = "T.IDX") {
    auto file = std::make_unique<TIndexFile>(&owner, name, true, &list);
    file->SetLockRetries(2);
    return file;
  }
  int64_t FileSize(TIndexFile& f) { return f.GetSize(); }

  TFileList list;
  TTestOwner owner;
};

TEST_F(IndexFileTest, NewFileIs4096BytesWithVersionFourAndSysDeleted) {
  auto f = NewFile();
  f->CreateFile();
  EXPECT_EQ(FileSize(*f), 4096);
  std::vector<uint8_t> bytes(4096), expected(4096);
  f->Seek(0);
  f->Read(bytes.data(), 4096);
  MakeNewHeader(expected.data());
  EXPECT_EQ(bytes, expected);
  EXPECT_EQ(f->SlotDesc(kStatusSlot).Name, "Sys Deleted");
  EXPECT_EQ(f->SlotDesc(kStatusSlot).KeySize, 5);
  EXPECT_EQ(f->EndOffset(), 4096u);
  // The same on disk.
  const std::string dir = testing::TempDir() + "/storage_idx_new_" + std::to_string(getpid());
  std::filesystem::create_directories(dir);
  TIndexFile disk(&owner, dir + "/T.IDX", false, &list);
  disk.CreateFile();
  disk.Close();
  EXPECT_EQ(std::filesystem::file_size(dir + "/t.idx"), 4096u);  // stored under its canonical name
  disk.Open();
  // A bare header claims a primary index without fields; the table always defines slot 0.
  EXPECT_EQ(ErrorCode([&] { disk.Verify(Fields()); }), kErrHeaderCorrupt);
  disk.AddPrimaryIndex(IndexDesc{}, Fields());
  EXPECT_TRUE(disk.NoPrimary());
  EXPECT_NO_THROW(disk.Verify(Fields()));
  disk.Close();
  std::filesystem::remove_all(dir);
}

// Keys of the model compared byte by byte: an optimised g++ 12 build warns falsely on the
// memcmp inside std::vector's own ordering.
struct KeyBytesLess {
  bool operator()(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) const {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
      if (a[i] != b[i]) return a[i] < b[i];
    return a.size() < b.size();
  }
};

// Random inserts and deletes in three indexes of one file at once, through caches of 15 pages
// per index, with the file written, dropped and read back between batches.
TEST_F(IndexFileTest, TreesThroughTheCacheAndTheFileMatchAModel) {
  auto f = NewFile();
  f->CreateFile();
  const auto fields = Fields();
  f->AddPrimaryIndex(Desc("", {2}, true), fields, kPackPlain);
  f->AddSecondaryIndex(Desc("ByName", {1}, false), fields, kPackBoth);
  f->AddSecondaryIndex(Desc("ByNameCount", {1, 2}, true), fields, kPackLeading);
  const uint8_t slots[] = {0, 1, 2};
  std::map<std::vector<uint8_t>, uint32_t, KeyBytesLess> model[3];
  std::mt19937 rng(77);
  for (int batch = 0; batch < 12; ++batch) {
    const int insertPercent = batch % 4 == 3 ? 20 : 75;
    for (int op = 0; op < 1500; ++op) {
      const uint8_t s = slots[rng() % 3];
      TBTree tree(f->Store(s), TKeyOrder{});
      const uint16_t k = f->SlotShape(s).KeySize;
      auto& m = model[s];
      if (static_cast<int>(rng() % 100) < insertPercent || m.empty()) {
        std::vector<uint8_t> key(k, 0);
        key[0] = 1;
        for (uint16_t i = 1; i < std::min<uint16_t>(k, 9); ++i) key[i] = static_cast<uint8_t>('a' + rng() % 6);
        if (k > 12) key[k - 1] = static_cast<uint8_t>(rng());
        if (m.count(key)) continue;
        const uint32_t rec = static_cast<uint32_t>(rng() % 100000 + 1);
        ASSERT_EQ(tree.Insert(key.data(), rec), TBTree::kDone);
        m[key] = rec;
      } else {
        auto it = m.begin();
        std::advance(it, rng() % m.size());
        ASSERT_EQ(tree.Delete(it->first.data()), TBTree::kDone);
        m.erase(it);
      }
    }
    for (uint8_t s : slots) EXPECT_LE(f->CachedPages(s), 15u + 64u);
    f->FlushPages();
    f->WriteHeader(false);
    f->DropPages();
    f->Close();
    f->Open();
    ASSERT_NO_THROW(f->Verify(fields));
    for (uint8_t s : slots) {
      TBTree tree(f->Store(s), TKeyOrder{});
      std::vector<uint32_t> pages;
      int64_t records = 0;
      ASSERT_EQ(tree.Verify(&pages, &records), "") << "slot " << int(s);
      ASSERT_EQ(records, static_cast<int64_t>(model[s].size()));
      int64_t seq = 0;
      for (const auto& [key, rec] : model[s]) {
        ++seq;
        if (seq % 97 != 1) continue;
        uint32_t found = 0;
        int64_t at = 0;
        ASSERT_EQ(tree.Find(key.data(), &found, &at), TBTree::kDone);
        ASSERT_EQ(found, rec);
        ASSERT_EQ(at, seq);
      }
    }
  }
  EXPECT_EQ(f->GetSize(), static_cast<int64_t>(f->EndOffset()));
}

TEST_F(IndexFileTest, DroppingAMiddleIndexShiftsSlotsAndTheNextIndexReusesItsPages) {
  auto f = NewFile();
  f->CreateFile();
  const auto fields = Fields();
  f->AddPrimaryIndex(Desc("", {2}, true), fields);
  f->AddSecondaryIndex(Desc("A", {1}, true), fields);
  f->AddSecondaryIndex(Desc("B", {2}, false), fields);
  f->AddSecondaryIndex(Desc("C", {1, 2}, true), fields);
  // Fill index A with a few pages, then free them all (as the cursor does before dropping).
  {
    TBTree tree(f->Store(1), TKeyOrder{});
    const uint16_t k = f->SlotShape(1).KeySize;
    for (uint32_t i = 0; i < 3000; ++i) {
      std::vector<uint8_t> key(k, 0);
      key[0] = 1;
      key[1] = static_cast<uint8_t>('a' + i / 676);
      key[2] = static_cast<uint8_t>('a' + (i / 26) % 26);
      key[3] = static_cast<uint8_t>('a' + i % 26);
      ASSERT_EQ(tree.Insert(key.data(), i + 1), TBTree::kDone);
    }
    for (uint32_t i = 0; i < 3000; ++i) {
      std::vector<uint8_t> key(k, 0);
      key[0] = 1;
      key[1] = static_cast<uint8_t>('a' + i / 676);
      key[2] = static_cast<uint8_t>('a' + (i / 26) % 26);
      key[3] = static_cast<uint8_t>('a' + i % 26);
      ASSERT_EQ(tree.Delete(key.data()), TBTree::kDone);
    }
  }
  const uint32_t end = f->EndOffset();
  const uint32_t freeHead = f->FreeHead(1);
  ASSERT_NE(freeHead, 0u);
  f->DropSlot(1, true);
  EXPECT_EQ(f->SecondaryCount(), 2);
  EXPECT_EQ(f->SlotDesc(1).Name, "B");
  EXPECT_EQ(f->SlotDesc(2).Name, "C");
  EXPECT_EQ(f->FreeHead(3), freeHead);
  // The freed pages (still dirty in the moved cache) reach the file.
  f->FlushPages();
  f->WriteHeader(false);
  f->Close();
  f->Open();
  const uint8_t slot = f->AddSecondaryIndex(Desc("D", {1}, true), fields);
  EXPECT_EQ(slot, 3);
  TBTree tree(f->Store(slot), TKeyOrder{});
  std::vector<uint8_t> key(f->SlotShape(slot).KeySize, 0);
  key[0] = 1;
  ASSERT_EQ(tree.Insert(key.data(), 1), TBTree::kDone);
  EXPECT_EQ(f->Root(slot), freeHead);
  EXPECT_EQ(f->EndOffset(), end);
}

// The slot keeps the whole stored descriptor: compression (byte 36) and the per-field descending
// flags (bytes 38-53) survive a header write and a reopen, through every way a slot is written.
TEST_F(IndexFileTest, DroppingWithoutMoveShiftsSlotsAndForgetsThePages) {
  for (const uint8_t dropped : {1, 2, 3}) {
    auto f = NewFile();
    f->CreateFile();
    const auto fields = Fields();
    f->AddPrimaryIndex(Desc("", {2}, true), fields);
    f->AddSecondaryIndex(Desc("A", {1}, true), fields);
    f->AddSecondaryIndex(Desc("B", {2}, false), fields);
    f->AddSecondaryIndex(Desc("C", {1, 2}, true), fields);
    {
      TBTree tree(f->Store(dropped), TKeyOrder{});
      std::vector<uint8_t> key(f->SlotShape(dropped).KeySize, 0);
      key[0] = 1;
      ASSERT_EQ(tree.Insert(key.data(), 1), TBTree::kDone);
    }
    std::vector<std::string> left = {"A", "B", "C"};
    left.erase(left.begin() + (dropped - 1));
    f->DropSlot(dropped, false);
    ASSERT_EQ(f->SecondaryCount(), 2) << int(dropped);
    for (uint8_t s = 1; s <= 2; ++s) EXPECT_EQ(f->SlotDesc(s).Name, left[s - 1]) << int(dropped);
    EXPECT_EQ(f->Root(3), 0u);
    EXPECT_EQ(f->FreeHead(3), 0u);
    f->FlushPages();
    f->WriteHeader(false);
    f->Close();
    f->Open();
    EXPECT_NO_THROW(f->Verify(fields)) << int(dropped);
    EXPECT_EQ(f->AddSecondaryIndex(Desc("D", {1}, true), fields), 3) << int(dropped);
    EXPECT_EQ(f->Root(3), 0u);
    EXPECT_EQ(f->FreeHead(3), 0u);
    f->Close();
  }
}

TEST_F(IndexFileTest, SlotsKeepCompressionAndPerFieldDescendingFlags) {
  auto f = NewFile();
  f->CreateFile();
  const auto fields = Fields();
  IndexDesc primary = Desc("", {1, 2}, true);
  primary.Compression = kPackLeading;
  primary.FieldDescending[1] = 1;
  IndexDesc second = Desc("ByCount", {2, 1}, false);
  second.Compression = kPackBoth;
  second.FieldDescending[0] = 1;
  IndexDesc third = Desc("Explicit", {1}, true);
  third.Compression = kPackBoth;  // the explicit argument wins
  f->AddPrimaryIndex(primary, fields);
  f->AddSecondaryIndex(second, fields);
  f->AddSecondaryIndex(third, fields, kPackTrailing);
  f->WriteHeader(true);
  f->Close();
  f->Open();
  EXPECT_NO_THROW(f->Verify(fields));
  struct TCase {
    uint8_t Slot;
    uint8_t Compression;
    std::array<uint8_t, 16> Flags;
  };
  const TCase cases[] = {{0, kPackLeading, {0, 1}}, {1, kPackBoth, {1, 0}}, {2, kPackTrailing, {}}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(int(c.Slot));
    const IndexDesc d = f->SlotDesc(c.Slot);
    EXPECT_EQ(d.Compression, c.Compression);
    EXPECT_EQ(f->SlotCompression(c.Slot), c.Compression);
    EXPECT_EQ(f->SlotShape(c.Slot).Compression, c.Compression);
    EXPECT_EQ(d.FieldDescending, c.Flags);
    const auto bytes = f->SlotBytes(c.Slot);
    EXPECT_EQ(bytes[36], c.Compression);
    for (size_t i = 0; i < 16; ++i) EXPECT_EQ(bytes[38 + i], c.Flags[i]) << i;
    // The slot is the stored form of the 120-byte descriptor.
    uint8_t desc[kIndexDescSize];
    EncodeIndexDesc(d, desc);
    EXPECT_EQ(DecodeIndexDesc(desc), d);
  }
  // Replacing a slot takes the new definition's flags and compression, not the old ones.
  IndexDesc replaced = f->SlotDesc(1);
  replaced.Compression = kPackPlain;
  replaced.FieldDescending = {};
  replaced.FieldDescending[1] = 1;
  f->ReplaceSlot(1, replaced);
  EXPECT_EQ(f->SlotDesc(1).Compression, kPackPlain);
  EXPECT_EQ(f->SlotDesc(1).FieldDescending, replaced.FieldDescending);
  EXPECT_EQ(ErrorCode([&] { f->ReplaceSlot(1, replaced, 4); }), kErrHeaderCorrupt);
}

TEST_F(IndexFileTest, DefinitionErrors) {
  auto f = NewFile();
  f->CreateFile();
  const auto fields = Fields();
  f->AddPrimaryIndex(Desc("", {2}, true), fields);
  struct TCase {
    uint16_t Code;
    std::function<void()> Run;
  };
  const TCase cases[] = {
      {kErrPrimaryIndexExists, [&] { f->AddPrimaryIndex(Desc("", {1}, true), fields); }},
      {kErrSecondaryIndexNameMissing, [&] { f->AddSecondaryIndex(Desc("  ", {1}, true), fields); }},
      {kErrInvalidSecondaryIndexName, [&] { f->AddSecondaryIndex(Desc("1abc", {1}, true), fields); }},
      {kErrInvalidIndexFieldType, [&] { f->AddSecondaryIndex(Desc("Memo", {3}, true), fields); }},
      {kErrIndexLimits,
       [&] {
         IndexDesc d = Desc("Many", {1}, true);
         d.FieldCount = 17;
         f->AddSecondaryIndex(d, fields);
       }},
  };
  for (const TCase& c : cases) EXPECT_EQ(ErrorCode(c.Run), c.Code);
  f->AddSecondaryIndex(Desc("ByName", {1}, true), fields);
  EXPECT_EQ(ErrorCode([&] { f->AddSecondaryIndex(Desc(" byname ", {2}, true), fields); }), kErrSecondaryIndexExists);
  for (int i = 2; i <= 30; ++i) f->AddSecondaryIndex(Desc("I" + std::to_string(i), {2}, false), fields);
  EXPECT_EQ(ErrorCode([&] { f->AddSecondaryIndex(Desc("Over", {2}, false), fields); }), kErrIndexLimits);
}

TEST_F(IndexFileTest, KeySum524IsAcceptedAnd525Rejected) {
  auto f = NewFile();
  f->CreateFile();
  std::vector<FieldDesc> fields(3);
  for (int i = 0; i < 3; ++i) {
    fields[i].FieldNumber = static_cast<uint16_t>(i + 1);
    fields[i].Name = "F" + std::to_string(i);
    fields[i].FieldType = fldBytes;
  }
  fields[0].Size = 250;
  fields[1].Size = 250;
  fields[2].Size = 21;  // 251 + 251 + 22 = 524
  LayoutRecordFields(fields);
  const uint8_t s = f->AddSecondaryIndex(Desc("Wide", {1, 2, 3}, false), fields);
  EXPECT_EQ(f->SlotShape(s).KeySize, 528);
  fields[2].Size = 22;
  LayoutRecordFields(fields);
  EXPECT_EQ(ErrorCode([&] { f->AddSecondaryIndex(Desc("Wider", {1, 2, 3}, true), fields); }), kErrInvalidKeySize);
}

TEST_F(IndexFileTest, VerifyRejectsDamagedHeaders) {
  const auto fields = Fields();
  struct TDamage {
    uint32_t At;
    uint8_t Value;
    uint16_t Code;
  };
  const uint32_t slot1 = SlotOffset(1);
  for (TDamage d : {TDamage{8, 3, kErrWrongVersion}, TDamage{13, 31, kErrHeaderCorrupt},
                    TDamage{slot1 + 1, '9', kErrHeaderCorrupt},                    // name starts with a digit
                    TDamage{slot1 + kSlotFieldNumbers.Offset, 3, kErrHeaderCorrupt},  // BLOB key field
                    TDamage{slot1 + kSlotFieldNumbers.Offset, 9, kErrHeaderCorrupt},  // beyond the fields
                    TDamage{slot1 + kSlotRoot.Offset + 1, 0x30, kErrHeaderCorrupt},   // root past the end
                    TDamage{slot1 + kSlotKeySize.Offset, 99, kErrHeaderCorrupt},
                    TDamage{SlotOffset(0) + kSlotUnique.Offset, 0, kErrHeaderCorrupt}}) {
    auto f = NewFile("V.IDX");
    f->CreateFile();
    f->AddPrimaryIndex(Desc("", {2}, true), fields);
    f->AddSecondaryIndex(Desc("ByName", {1}, true), fields);
    f->WriteHeader(true);
    std::vector<uint8_t> h(f->Header(), f->Header() + kHeaderSize);
    h[d.At] = d.Value;
    f->Seek(0);
    f->Write(h.data(), kHeaderSize);
    f->ReadHeader();
    EXPECT_EQ(ErrorCode([&] { f->Verify(fields); }), d.Code) << "byte " << d.At;
    f->Close();
  }
}

TEST_F(IndexFileTest, DamagedPagesAndReferencesGiveCorruptionErrors) {
  auto f = NewFile();
  f->CreateFile();
  const auto fields = Fields();
  f->AddPrimaryIndex(Desc("", {2}, true), fields);
  TBTree tree(f->Store(0), TKeyOrder{});
  for (uint32_t i = 1; i <= 2000; ++i) {
    std::vector<uint8_t> key(5, 0);
    key[0] = 1;
    key[3] = static_cast<uint8_t>(i >> 8);
    key[4] = static_cast<uint8_t>(i);
    ASSERT_EQ(tree.Insert(key.data(), i), TBTree::kDone);
  }
  f->FlushPages();
  f->WriteHeader(false);
  f->DropPages();
  // A leaf's entry count beyond its capacity.
  const uint32_t root = f->Root(0);
  TPage* rootPage = f->FetchPage(0, root);
  const uint32_t leaf = rootPage->Reference(1);
  f->ReleasePage(rootPage);
  f->DropPages();
  std::vector<uint8_t> bytes(kPageSize);
  f->Seek(leaf);
  f->Read(bytes.data(), kPageSize);
  bytes[1] = 0xFF;
  bytes[2] = 0x7F;
  f->Seek(leaf);
  f->Write(bytes.data(), kPageSize);
  std::vector<uint8_t> low(5, 0);
  EXPECT_EQ(ErrorCode([&] { tree.Insert(low.data(), 9999); }), kErrIndexPageCorrupt);
  EXPECT_EQ(ErrorCode([&] { f->FetchPage(0, 0); }), kErrIndexPageCorrupt);
  EXPECT_EQ(ErrorCode([&] { f->FetchPage(0, 4097); }), kErrIndexPageCorrupt);
  EXPECT_EQ(ErrorCode([&] { f->FetchPage(0, f->EndOffset() + 4096); }), kErrIndexPageCorrupt);
  const uint32_t end = f->EndOffset();
  EXPECT_EQ(ErrorCode([&] { f->FetchPage(0, end); }), kErrIndexPageCorrupt);  // only NewPage appends
  EXPECT_EQ(f->EndOffset(), end);
  // The failure left the cache usable: other pages still come and go.
  TPage* again = f->FetchPage(0, root);
  EXPECT_EQ(again->Pins, 1);
  f->ReleasePage(again);
}

TEST_F(IndexFileTest, EmptyClearsEverySlotIncludingDroppedOnes) {
  auto f = NewFile();
  f->CreateFile();
  const auto fields = Fields();
  f->AddPrimaryIndex(Desc("", {2}, true), fields);
  f->AddSecondaryIndex(Desc("A", {1}, true), fields);
  {
    TBTree tree(f->Store(1), TKeyOrder{});
    std::vector<uint8_t> key(f->SlotShape(1).KeySize, 0);
    ASSERT_EQ(tree.Insert(key.data(), 1), TBTree::kDone);
    ASSERT_EQ(tree.Delete(key.data()), TBTree::kDone);
  }
  ASSERT_NE(f->FreeHead(1), 0u);
  f->DropSlot(1, true);  // slot 1 (with its free list) is now beyond the count
  f->Empty();
  EXPECT_EQ(f->GetSize(), 4096);
  for (uint8_t s = 0; s < kSlotCount; ++s) {
    EXPECT_EQ(f->Root(s), 0u);
    EXPECT_EQ(f->FreeHead(s), 0u);
  }
  // An index added now takes the dropped slot and must not reuse pages that no longer exist.
  const uint8_t slot = f->AddSecondaryIndex(Desc("B", {1}, true), fields);
  TBTree tree(f->Store(slot), TKeyOrder{});
  std::vector<uint8_t> key(f->SlotShape(slot).KeySize, 0);
  ASSERT_EQ(tree.Insert(key.data(), 1), TBTree::kDone);
  EXPECT_EQ(f->Root(slot), 4096u);
}

TEST_F(IndexFileTest, EncryptedFilesAreScrambledAndReadBack) {
  owner.encrypted = true;
  auto f = NewFile();
  f->CreateFile();
  const auto fields = Fields();
  f->AddPrimaryIndex(Desc("", {2}, true), fields);
  TBTree tree(f->Store(0), TKeyOrder{});
  std::vector<uint8_t> key(5, 0);
  key[0] = 1;
  key[4] = 7;
  ASSERT_EQ(tree.Insert(key.data(), 42), TBTree::kDone);
  f->FlushPages();
  f->WriteHeader(true);
  std::vector<uint8_t> raw(kPageSize);
  f->Seek(f->Root(0));
  f->Read(raw.data(), kPageSize);
  EXPECT_NE(raw[0], kRootLeaf);  // scrambled
  f->Close();
  f->Open();
  EXPECT_NO_THROW(f->Verify(fields));
  uint32_t rec = 0;
  int64_t seq = 0;
  TBTree again(f->Store(0), TKeyOrder{});
  ASSERT_EQ(again.Find(key.data(), &rec, &seq), TBTree::kDone);
  EXPECT_EQ(rec, 42u);
}

TEST_F(IndexFileTest, ChangesCountedInMemoryAreNotMistakenForOtherUsers) {
  auto f = NewFile();
  f->CreateFile();
  f->AddPrimaryIndex(Desc("", {2}, true), Fields());
  f->WriteHeader(true);
  f->Close();
  f->Open();  // shared now
  owner.inTransaction = true;
  f->MarkChanged();  // the transaction's own change, not yet written
  EXPECT_FALSE(f->HeaderChanged());
  auto other = NewFile();
  other->Open();
  other->SetRecordCount(5);
  other->WriteHeader(true);  // another user's change
  EXPECT_TRUE(f->HeaderChanged());
  EXPECT_EQ(f->RecordCount(), 5);
  owner.inTransaction = false;
}

TEST_F(IndexFileTest, ACacheMissThatFindsChangesAnswersRetryAndLeavesNoPins) {
  class TChangingOwner : public TTestOwner {
   public:
    bool HoldsWriteLock() const override { return writing; }
    bool ChangedOnDisk() override {
      if (changes == 0) return false;
      --changes;
      return true;
    }
    bool writing = true;
    int changes = 0;
  } changing;
  TIndexFile f(&changing, "R.IDX", true, &list);
  f.CreateFile();
  f.AddPrimaryIndex(Desc("", {2}, true), Fields());
  TBTree tree(f.Store(0), TKeyOrder{});
  for (uint32_t i = 1; i <= 3000; ++i) {
    std::vector<uint8_t> key(5, 0);
    key[3] = static_cast<uint8_t>(i >> 8);
    key[4] = static_cast<uint8_t>(i);
    ASSERT_EQ(tree.Insert(key.data(), i), TBTree::kDone);
  }
  f.FlushPages();
  f.DropPages();
  changing.writing = false;
  changing.changes = 1;
  std::vector<uint8_t> key(5, 0);
  key[4] = 77;
  uint32_t rec = 0;
  int64_t seq = 0;
  EXPECT_EQ(tree.Find(key.data(), &rec, &seq), TBTree::kRetry);
  EXPECT_EQ(tree.Find(key.data(), &rec, &seq), TBTree::kDone);
  EXPECT_EQ(rec, 77u);
  EXPECT_EQ(seq, 77);
  // A change seen in the middle of a descent: the pinned root is dropped and freed later.
  TPage* root = f.FetchPage(0, f.Root(0));
  f.DropPages();
  EXPECT_TRUE(root->Detached);
  f.ReleasePage(root);
  EXPECT_EQ(tree.Find(key.data(), &rec, &seq), TBTree::kDone);
}

TEST_F(IndexFileTest, RegionExcludesOtherUsersBytesButNotTheCallersOwn) {
  auto a = NewFile();
  a->CreateFile();
  a->Close();
  a->Open();
  auto b = NewFile();
  b->Open();
  uint16_t mine = 0, theirs = 0;
  ASSERT_TRUE(a->LockUserByte(&mine));
  EXPECT_TRUE(a->LockRegion({mine}));  // a table does not block itself
  EXPECT_FALSE(b->LockUserByte(&theirs));
  EXPECT_TRUE(a->UnlockRegion({mine}));
  ASSERT_TRUE(b->LockUserByte(&theirs));
  EXPECT_FALSE(a->LockRegion({mine}));  // another reader holds a byte
  EXPECT_TRUE(b->UnlockUserByte(theirs));
  EXPECT_TRUE(a->LockRegion({mine}));
  EXPECT_TRUE(a->UnlockRegion({mine}));
  // A second byte of the same user is never one it holds already (relocking it would succeed).
  std::vector<uint16_t> avoid;
  for (uint16_t id = 1; id <= 65534; ++id)
    if (id != 4242) avoid.push_back(id);
  uint16_t second = 0;
  ASSERT_TRUE(a->LockUserByte(&second, avoid));
  EXPECT_EQ(second, 4242);
  EXPECT_TRUE(a->UnlockUserByte(second));
  EXPECT_TRUE(a->UnlockUserByte(mine));
}

}  // namespace
}  // namespace tovenmarsh::engine
