// Data file: golden header and layout, cache sizing, the free-list order, header verification,
// the table limits, scrambling, and a model test of records through a tiny cache with commits,
// rollbacks and reopening against std::map.
#include "engine/store/data_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <random>

#include "engine/base/engine_error.h"
#include "engine/io/file_list.h"

namespace tovenmarsh::engine {
namespace {

using namespace data_format;

class TTestOwner : public TTableFilesOwner {
 public:
  bool InTransaction() const override { return inTransaction; }
  bool HoldsWriteLock() const override { return true; }
  bool StrictChangeDetection() const override { return false; }
  bool Encrypted() const override { return false; }
  void MarkFilesWritten() override {}
  bool ChangedOnDisk() override { return false; }
  bool inTransaction = false;
};

uint16_t ErrorCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    return e.Code();
  }
  return 0;
}

FieldDesc Field(const std::string& name, uint8_t type, uint8_t size = 0, uint8_t subType = 0) {
  FieldDesc f;
  f.Name = name;
  f.FieldType = type;
  f.Size = size;
  f.SubType = subType;
  return f;
}

TDataFileDefinition ThreeFields() {
  TDataFileDefinition d;
  d.Fields = {Field("First", fldZString, 10), Field("Second", fldZString, 10), Field("Count", fldInt32)};
  d.Description = "people";
  return d;
}

class DataFileTest : public ::testing::Test {
 protected:
  std::unique_ptr<TDataFile> NewFile(const TDataFileDefinition& d, const std::string& name = "T.DAT") {
    auto f = std::make_unique<TDataFile>(&owner, name, true, &list);
    f->CreateTable(d);
    return f;
  }
  void Insert(TDataFile& f, uint8_t fill) {
    TRecord* r = f.TakeFreeRecord();
    ASSERT_NE(r, nullptr);
    f.InitRecord(*r, true);
    std::fill(r->Buffer.begin() + kRecordPrefixSize, r->Buffer.end(), fill);
    r->Changed = true;
    f.ReleaseRecord(r);
  }
  TFileList list;
  TTestOwner owner;
};

TEST_F(DataFileTest, NewFileHeaderAndLayout) {
  auto f = NewFile(ThreeFields());
  EXPECT_EQ(f->RecordSize(), 38u);  // offsets 9, 21, 33
  EXPECT_EQ(f->Field(2).Offset, 21);
  EXPECT_EQ(f->Field(3).Offset, 33);
  EXPECT_EQ(f->GetSize(), 127 + 3 * 768);
  std::vector<uint8_t> h(127);
  f->Seek(0);
  f->Read(h.data(), 127);
  EXPECT_EQ(GetU32(h.data(), 0), 1u);  // counted at the first write
  EXPECT_EQ(h[8], 4);
  EXPECT_EQ(GetU32(h.data(), 9), 0u);
  EXPECT_EQ(GetU32(h.data(), 13), 1u);
  EXPECT_EQ(GetU16(h.data(), 21), 38);
  EXPECT_EQ(GetU16(h.data(), 23), 3);
  EXPECT_EQ(GetI64(h.data(), 116), 20600);
  EXPECT_EQ(h[35], 6);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(&h[36]), 6), "people");
  EXPECT_NO_THROW(f->VerifyHeader());
}

TEST_F(DataFileTest, CacheSizingFollowsTheRecordSize) {
  TDataFileDefinition d;
  d.Fields = {Field("Data", fldBytes, 90)};  // 9 + 91 = 100
  auto f = NewFile(d);
  EXPECT_EQ(f->RecordSize(), 100u);
  EXPECT_EQ(f->CacheCapacity(), 1310u);
  EXPECT_EQ(f->ReadAheadLimit(), 655u);
}

TEST_F(DataFileTest, FreedRecordsAreReusedMostRecentFirstThenTheFileGrows) {
  auto f = NewFile(ThreeFields());
  for (int i = 1; i <= 10; ++i) Insert(*f, static_cast<uint8_t>(i));
  for (uint32_t n : {5u, 9u}) {
    TRecord* r = f->GetRecord(n);
    f->DeleteRecord(*r);
    f->ReleaseRecord(r);
  }
  EXPECT_EQ(f->FirstFree(), 9u);
  TRecord* nine = f->GetRecord(9);
  EXPECT_EQ(nine->Link(), 5u);
  f->ReleaseRecord(nine);
  std::vector<uint32_t> taken;
  for (int i = 0; i < 3; ++i) {
    TRecord* r = f->TakeFreeRecord();
    taken.push_back(r->Number);
    f->InitRecord(*r, true);
    r->Changed = true;
    f->ReleaseRecord(r);
  }
  EXPECT_EQ(taken, (std::vector<uint32_t>{9, 5, 11}));
  EXPECT_EQ(f->FirstFree(), 0u);
  // Appending never makes the new record the free-list head.
  Insert(*f, 0x77);
  EXPECT_EQ(f->FirstFree(), 0u);
  EXPECT_EQ(f->NextRecord(), 13u);
}

TEST_F(DataFileTest, CountersAndLimits) {
  auto f = NewFile(ThreeFields());
  f->SetLastAutoInc(2147483647u);
  EXPECT_EQ(f->NextAutoInc(), 1u);
  f->SetNextRecord(100000000);
  EXPECT_EQ(ErrorCode([&] { f->TakeFreeRecord(); }), kErrTableFull);
  EXPECT_EQ(ErrorCode([&] { f->GetRecord(100000000); }), kErrRecordBuffersCorrupt);  // not an append
  EXPECT_EQ(ErrorCode([&] { f->GetRecord(0); }), kErrRecordBuffersCorrupt);
  TDataFileDefinition wide;
  for (int i = 0; i < 300; ++i) wide.Fields.push_back(Field("F" + std::to_string(i), fldBytes, 250));
  EXPECT_EQ(ErrorCode([&] { NewFile(wide, "W.DAT"); }), kErrMaxRecordSize);
  TDataFileDefinition blobs;
  for (int i = 0; i < 65; ++i) blobs.Fields.push_back(Field("B" + std::to_string(i), fldBlob, 0, fldstMemo));
  EXPECT_EQ(ErrorCode([&] { NewFile(blobs, "B.DAT"); }), kErrBlobFieldsOrBlockSize);
  TDataFileDefinition block = ThreeFields();
  block.Fields.push_back(Field("Memo", fldBlob, 0, fldstMemo));
  block.BlobBlockSize = 65536;
  EXPECT_EQ(ErrorCode([&] { NewFile(block, "K.DAT"); }), kErrBlobFieldsOrBlockSize);
}

TEST_F(DataFileTest, VerificationFindsDamage) {
  struct TCase {
    const char* What;
    std::function<void(TDataFile&)> Damage;
    uint16_t Code;
  };
  const TCase cases[] = {
      {"version 3", [](TDataFile& f) { uint8_t v = 3; f.Seek(8); f.Write(&v, 1); }, kErrWrongVersion},
      {"partial record", [](TDataFile& f) { uint8_t z[5] = {}; f.Seek(0, kSeekFromEnd); f.Write(z, 5); },
       kErrHeaderCorrupt},
      {"record size", [](TDataFile& f) { uint8_t v[2] = {39, 0}; f.Seek(21); f.Write(v, 2); }, kErrHeaderCorrupt},
      {"field offset", [](TDataFile& f) { uint8_t v[2] = {22, 0}; f.Seek(127 + 768 + 90); f.Write(v, 2); },
       kErrHeaderCorrupt},
      {"duplicate name",
       [](TDataFile& f) {
         uint8_t name[6] = {5, 'F', 'i', 'r', 's', 't'};
         f.Seek(127 + 768 + 2);
         f.Write(name, 6);
       },
       kErrHeaderCorrupt},
      {"integer with a size", [](TDataFile& f) { uint8_t v = 4; f.Seek(127 + 2 * 768 + 86); f.Write(&v, 1); },
       kErrHeaderCorrupt},
      {"unknown language", [](TDataFile& f) { uint8_t v[2] = {0x7F, 0x7F}; f.Seek(103); f.Write(v, 2); },
       kErrLanguageDriver},
      {"next record", [](TDataFile& f) { uint8_t v[4] = {9, 0, 0, 0}; f.Seek(13); f.Write(v, 4); },
       kErrHeaderCorrupt},
  };
  for (const TCase& c : cases) {
    auto f = NewFile(ThreeFields(), "V.DAT");
    Insert(*f, 1);
    Insert(*f, 2);
    f->WriteChangedRecords();
    f->WriteHeader(false);
    c.Damage(*f);
    f->Close();
    EXPECT_EQ(ErrorCode([&] {
                f->Open();
                f->VerifyHeader();
              }),
              c.Code)
        << c.What;
    f->Close();
  }
}

TEST_F(DataFileTest, EncryptedRecordsAndDescriptorsAreScrambled) {
  TDataFileDefinition d = ThreeFields();
  d.Encrypted = true;
  d.Password = "secret";
  auto f = NewFile(d);
  Insert(*f, 'x');
  f->WriteChangedRecords();
  f->WriteHeader(false);
  std::vector<uint8_t> raw(38);
  f->Seek(RecordsOffset(3));
  f->Read(raw.data(), 38);
  EXPECT_NE(raw[20], 'x');
  f->Close();
  f->Open();
  EXPECT_EQ(f->Password(), "secret");
  EXPECT_EQ(f->Description(), "people");
  EXPECT_EQ(f->Field(1).Name, "First");
  TRecord* r = f->GetRecord(1);
  EXPECT_EQ(r->Buffer[20], 'x');
  f->ReleaseRecord(r);
}

TEST_F(DataFileTest, TrimNeverDropsChangedRecords) {
  auto f = NewFile(ThreeFields());
  f->SetNormalCapacity(4);
  owner.inTransaction = true;  // the cache grows instead of writing
  for (int i = 1; i <= 40; ++i) Insert(*f, static_cast<uint8_t>(i));
  EXPECT_GE(f->CachedRecords(), 40u);
  f->TrimCache();
  EXPECT_GE(f->CachedRecords(), 40u);  // all changed: none may go
  owner.inTransaction = false;
  f->WriteChangedRecords();
  f->WriteHeader(false);
  f->TrimCache();
  EXPECT_LE(f->CachedRecords(), 4u);
  f->Close();
  f->Open();
  for (uint32_t n = 1; n <= 40; ++n) {
    TRecord* r = f->GetRecord(n);
    EXPECT_EQ(r->Buffer[20], n);
    f->ReleaseRecord(r);
  }
}

// Records through a cache of four: inserts, changes, deletes and reads, committed or rolled
// back in turn, the file reopened now and then; the reread file always equals the model.
TEST_F(DataFileTest, TinyCacheModelWithCommitsAndRollbacks) {
  auto f = NewFile(ThreeFields());
  f->SetNormalCapacity(4);
  std::map<uint32_t, std::vector<uint8_t>> committed, working;  // live records' field bytes
  std::mt19937 rng(5);
  const size_t fieldBytes = f->RecordSize() - kRecordPrefixSize;
  for (int round = 0; round < 120; ++round) {
    const bool transaction = round % 2 == 1;
    owner.inTransaction = transaction;
    working = committed;
    for (int op = 0; op < 25; ++op) {
      const int kind = static_cast<int>(rng() % 10);
      if (kind < 4 || working.empty()) {
        TRecord* r = f->TakeFreeRecord();
        ASSERT_NE(r, nullptr);
        f->InitRecord(*r, true);
        std::vector<uint8_t> bytes(fieldBytes);
        for (auto& b : bytes) b = static_cast<uint8_t>(rng());
        std::copy(bytes.begin(), bytes.end(), r->Buffer.begin() + kRecordPrefixSize);
        r->Changed = true;
        ASSERT_EQ(working.count(r->Number), 0u);
        working[r->Number] = bytes;
        f->ReleaseRecord(r);
      } else {
        auto it = working.begin();
        std::advance(it, rng() % working.size());
        TRecord* r = f->GetRecord(it->first, rng() % 2 ? 1 : -1, 1 + rng() % 8);
        ASSERT_NE(r, nullptr);
        ASSERT_EQ(r->Status(), kStatusLive);
        ASSERT_TRUE(std::equal(it->second.begin(), it->second.end(), r->Buffer.begin() + kRecordPrefixSize))
            << "record " << it->first;
        if (kind < 7) {
          r->Buffer[kRecordPrefixSize + rng() % fieldBytes] ^= 0x5A;
          r->Changed = true;
          std::copy(r->Buffer.begin() + kRecordPrefixSize, r->Buffer.end(), it->second.begin());
        } else if (kind < 9) {
          f->DeleteRecord(*r);
          working.erase(it);
        }
        f->ReleaseRecord(r);
      }
      if (!transaction) {
        ASSERT_LE(f->CachedRecords(), 4u + 1u);
      }
    }
    const bool commit = !transaction || rng() % 3 != 0;
    owner.inTransaction = false;
    if (commit) {
      f->WriteChangedRecords();
      f->WriteHeader(false);
      f->TrimCache();
      committed = working;
    } else {
      f->DropRecords();
      f->ReadHeader();
      f->TrimCache();
    }
    ASSERT_FALSE(f->HasChangedRecords());
    if (round % 10 == 9) {
      f->Close();
      f->Open();
      f->SetNormalCapacity(4);
      ASSERT_NO_THROW(f->VerifyHeader());
    }
    // Every slot is live with the model's bytes, or deleted on the free list.
    size_t live = 0;
    for (uint32_t n = 1; n < f->NextRecord(); ++n) {
      TRecord* r = f->GetRecord(n, 1, 16);
      ASSERT_NE(r, nullptr);
      auto it = committed.find(n);
      if (r->Status() == kStatusLive) {
        ASSERT_NE(it, committed.end()) << "record " << n << " live but not in the model";
        ASSERT_TRUE(std::equal(it->second.begin(), it->second.end(), r->Buffer.begin() + kRecordPrefixSize));
        ++live;
      } else {
        ASSERT_EQ(it, committed.end()) << "record " << n << " deleted but in the model";
      }
      f->ReleaseRecord(r);
    }
    ASSERT_EQ(live, committed.size());
    size_t freeCount = 0;
    for (uint32_t n = f->FirstFree(); n != 0; ++freeCount) {
      ASSERT_LT(freeCount, f->NextRecord());
      TRecord* r = f->GetRecord(n);
      ASSERT_EQ(r->Status(), kStatusDeleted);
      n = r->Link();
      f->ReleaseRecord(r);
    }
    ASSERT_EQ(live + freeCount, f->NextRecord() - 1);
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
