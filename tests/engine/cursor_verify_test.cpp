// Verification and repair of BLOB chains through a cursor in verification/repair mode: each kind
// of chain damage, made by patching the .BLB file on disk, is reported with its exact text;
// verifying changes no byte; repairing cuts chains so that every value reads back (a reference
// to another value's block becomes NULL); and such a cursor opens a table whose headers fail the
// checks of an ordinary open.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "file_test_support.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

using testing::ErrorCode;
using testing::Field;

constexpr uint32_t kBlock = 64;
constexpr uint32_t kPerBlock = kBlock - 18;

uint32_t U32(const std::string& s, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, s.data() + at, 4);
  return v;
}
void PutU32At(std::string& s, size_t at, uint32_t v) { std::memcpy(s.data() + at, &v, 4); }

std::string MemoOf(int i, size_t size) {
  std::string m;
  for (size_t k = 0; k < size; ++k) m += static_cast<char>('a' + (i * 7 + k) % 26);
  return m;
}

void Collect(void* owner, const std::string& text) { static_cast<std::vector<std::string>*>(owner)->push_back(text); }

class CursorVerifyTest : public testing::EngineDirectoryTest {
 protected:
  void SetUp() override {
    EngineDirectoryTest::SetUp();
  }
  void TearDown() override {
    EngineDirectoryTest::TearDown();
  }

  std::unique_ptr<TDataCursor> Cursor(bool verify) {
    auto c = std::make_unique<TDataCursor>(directory_);
    c->SetTableName("notes");
    c->SetExclusive(true);
    c->SetVerifyRepair(verify);
    return c;
  }

  // Notes: Id and a memo; record i holds sizes[i - 1] bytes.
  void CreateNotes(const std::vector<size_t>& sizes) {
    auto c = Cursor(false);
    TTableAttributes a;
    a.BlobBlockSize = kBlock;
    IndexDesc primary;
    primary.FieldCount = 1;
    primary.FieldNumbers[0] = 1;
    c->CreateTable(a, false, {primary}, {Field("Id", fldInt32), Field("Memo", fldBlob, 0, fldstMemo)});
    FillNotes(sizes);
  }

  // Inserts record i with sizes[i - 1] memo bytes into the existing table.
  void FillNotes(const std::vector<size_t>& sizes) {
    auto c = Cursor(false);
    c->Open();
    std::vector<uint8_t> b(c->GetRecordSize());
    for (size_t i = 1; i <= sizes.size(); ++i) {
      c->InitRecord(b.data());
      const int32_t id = static_cast<int32_t>(i);
      c->SetFieldData(1, b.data(), &id);
      const std::string memo = MemoOf(id, sizes[i - 1]);
      ASSERT_EQ(c->OpenBlob(2, b.data(), 2), 0);
      ASSERT_EQ(c->WriteBlob(2, b.data(), 0, static_cast<uint32_t>(memo.size()),
                             reinterpret_cast<const uint8_t*>(memo.data())),
                0);
      b[c->GetFieldDesc(2).Offset] = 1;
      c->InsertRecord(b.data(), false);
      c->CloseAllBlobs();
    }
    c->Close();
  }

  // Block offsets of each value's chain, keyed by the value's total size (the sizes differ).
  std::map<uint32_t, std::vector<uint32_t>> Chains(const std::string& blb) {
    std::map<uint32_t, std::vector<uint32_t>> chains;
    for (size_t at = 512; at + kBlock <= blb.size(); at += kBlock) {
      if (U32(blb, at) != 0 || U32(blb, at + 14) == 0) continue;  // not a first block
      std::vector<uint32_t>& chain = chains[U32(blb, at + 14)];
      for (uint32_t b = static_cast<uint32_t>(at); b != 0 && chain.size() < 100; b = U32(blb, b + 4)) chain.push_back(b);
    }
    return chains;
  }

  // Id -> memo (or "NULL") as an ordinary cursor reads them.
  std::map<int32_t, std::string> Memos() {
    std::map<int32_t, std::string> out;
    auto c = Cursor(false);
    c->Open();
    std::vector<uint8_t> b(c->GetRecordSize());
    c->First();
    while (c->GetNextRecord(b.data()) == 0) {
      int32_t id = 0;
      c->GetFieldData(1, b.data(), &id);
      uint32_t ref = 0;
      if (c->GetFieldData(2, b.data(), &ref)) {
        out[id] = "NULL";
        continue;
      }
      EXPECT_EQ(c->OpenBlob(2, b.data(), 1), 0) << id;
      uint32_t size = 0, count = 0;
      EXPECT_EQ(c->GetBlobSize(2, b.data(), &size), 0);
      std::string memo(size, '\0');
      if (size > 0) {
        EXPECT_EQ(c->ReadBlob(2, b.data(), 0, size, reinterpret_cast<uint8_t*>(memo.data()), &count), 0) << id;
      }
      c->CloseBlob(2, b.data());
      out[id] = memo;
    }
    c->Close();
    return out;
  }

};

TEST_F(CursorVerifyTest, ReportsEachDamageThenRepairsItSoEveryValueReads) {
  // Record 1 sound; the others damaged as below.
  const std::vector<size_t> sizes = {200, 100, 150, 120, 130};
  CreateNotes(sizes);
  std::string blb = scratch_.Get("notes.blb");
  auto chains = Chains(blb);
  ASSERT_EQ(chains.size(), sizes.size());
  // 2: the first block belongs to another value (owner changed).
  PutU32At(blb, chains[100][0] + 10, 999);
  // 3: the second block's next pointer is not a block offset.
  PutU32At(blb, chains[150][1] + 4, 77);
  // 4: the last block points back to the first.
  PutU32At(blb, chains[120].back() + 4, chains[120][0]);
  // 5: the third block belongs to another value.
  PutU32At(blb, chains[130][2] + 10, 12345);
  scratch_.Put("notes.blb", blb);

  const std::vector<std::string> found = {
      "Invalid BLOB offset in BLOB file for physical record # 2, ",
      "Invalid intra-block pointer in BLOB file for physical record # 3, ",
      "Recursive intra-block pointer in BLOB file for physical record # 4, ",
      "Invalid intra-block pointer in BLOB file for physical record # 5, ",
  };
  // Outside verification/repair mode damage is an error.
  {
    auto plain = Cursor(false);
    plain->Open();
    EXPECT_EQ(ErrorCode([&] { plain->CheckBlobChains(false); }), kErrBlobBuffersCorrupt);
  }
  auto c = Cursor(true);
  std::vector<std::string> texts;
  c->SetRepairCallback(&texts, &Collect);
  c->Open();
  EXPECT_EQ(ErrorCode([&] { c->SetVerifyRepair(false); }), kErrTableInUse);
  EXPECT_EQ(c->CheckBlobChains(false), 4);
  ASSERT_EQ(texts.size(), found.size());
  for (size_t i = 0; i < found.size(); ++i) EXPECT_EQ(texts[i], found[i] + "error not fixed");
  c->Close();
  EXPECT_EQ(scratch_.Get("notes.blb"), blb);  // verifying changes nothing

  texts.clear();
  c->SetRepairCallback(&texts, &Collect);  // closing clears the callback
  c->Open();
  EXPECT_EQ(c->CheckBlobChains(true), 4);
  ASSERT_EQ(texts.size(), found.size());
  for (size_t i = 0; i < found.size(); ++i) EXPECT_EQ(texts[i], found[i] + "error fixed");
  c->Close();

  std::map<int32_t, std::string> memos = Memos();
  EXPECT_EQ(memos[1], MemoOf(1, 200));
  EXPECT_EQ(memos[2], "NULL");
  EXPECT_EQ(memos[3], MemoOf(3, 150).substr(0, 2 * kPerBlock));  // cut after its second block
  EXPECT_EQ(memos[4], MemoOf(4, 120));                           // the loop held nothing more
  EXPECT_EQ(memos[5], MemoOf(5, 130).substr(0, 2 * kPerBlock));
  // Nothing left to report, and the repaired values can be rewritten and deleted.
  texts.clear();
  c->SetRepairCallback(&texts, &Collect);
  c->Open();
  EXPECT_EQ(c->CheckBlobChains(false), 0);
  EXPECT_TRUE(texts.empty());
  c->Close();
  auto plain = Cursor(false);
  plain->Open();
  std::vector<uint8_t> b(plain->GetRecordSize());
  for (int i = 0; i < 5; ++i) {
    plain->First();
    ASSERT_EQ(plain->GetNextRecord(b.data()), 0);
    plain->DeleteRecord(b.data(), false);
  }
  EXPECT_EQ(plain->GetRecordCount(), 0);
}

TEST_F(CursorVerifyTest, OpensWhatAnOrdinaryOpenRefuses) {
  CreateNotes({60, 70});
  // A partial record at the end of the data file fails the header checks.
  scratch_.Put("notes.dat", scratch_.Get("notes.dat") + "xyz");
  auto plain = Cursor(false);
  EXPECT_EQ(ErrorCode([&] { plain->Open(); }), kErrHeaderCorrupt);
  auto c = Cursor(true);
  std::vector<std::string> texts;
  c->SetRepairCallback(&texts, &Collect);
  ASSERT_EQ(ErrorCode([&] { c->Open(); }), 0);
  EXPECT_EQ(c->GetFieldCount(), 2u);
  EXPECT_EQ(c->CheckBlobChains(false), 0);
  EXPECT_TRUE(texts.empty());
  c->Close();
}

// Deleting through a verification/repair cursor reports chain damage through the callback and
// frees what each chain holds up to it, instead of failing; the other values stay whole.
TEST_F(CursorVerifyTest, RepairCursorDeletesDamagedRecordsReportingTheDamage) {
  const std::vector<size_t> sizes = {200, 100, 150, 120};
  CreateNotes(sizes);
  std::string blb = scratch_.Get("notes.blb");
  auto chains = Chains(blb);
  ASSERT_EQ(chains.size(), sizes.size());
  PutU32At(blb, chains[100][0] + 10, 999);    // 2: the first block is another value's
  PutU32At(blb, chains[150][1] + 4, 77);      // 3: the second block points nowhere
  scratch_.Put("notes.blb", blb);
  auto c = Cursor(true);
  std::vector<std::string> texts;
  c->SetRepairCallback(&texts, &Collect);
  c->Open();
  std::vector<uint8_t> b(c->GetRecordSize());
  for (uint32_t n : {2u, 3u}) {
    std::fill(b.begin(), b.end(), 0);
    std::memcpy(b.data() + 1, &n, 4);  // the record by its number
    ASSERT_EQ(ErrorCode([&] { c->DeleteRecord(b.data(), false); }), 0) << n;
  }
  c->Close();
  EXPECT_EQ(texts, (std::vector<std::string>{
                       "Invalid BLOB offset in BLOB file for physical record # 2, error fixed",
                       "Invalid intra-block pointer in BLOB file for physical record # 3, error fixed",
                   }));
  EXPECT_EQ(Memos(), (std::map<int32_t, std::string>{{1, MemoOf(1, 200)}, {4, MemoOf(4, 120)}}));
  texts.clear();
  c->SetRepairCallback(&texts, &Collect);
  c->Open();
  EXPECT_EQ(c->CheckBlobChains(false), 0);
  c->Close();
  EXPECT_TRUE(texts.empty());
}

// A live field list that leaves the BLOB field out still frees the record's chains on delete
// and keeps them on a change; one that numbers the fields its own way stores its values.
TEST_F(CursorVerifyTest, LiveListsKeepAndFreeTheChainsOfFieldsTheyLeaveOut) {
  const std::vector<size_t> sizes = {200, 100, 150};
  CreateNotes(sizes);
  const size_t full = scratch_.Get("notes.blb").size();
  {
    auto c = Cursor(false);
    c->Open();
    c->CheckFieldDefs({c->GetFieldDesc(1)});
    ASSERT_EQ(c->GetFieldCount(), 1u);
    std::vector<uint8_t> b(c->GetRecordSize());
    c->First();
    ASSERT_EQ(c->GetNextRecord(b.data()), 0);
    ASSERT_EQ(c->GetCurrentRecord(b.data(), true), 0);
    const int32_t id = 10;
    c->SetFieldData(1, b.data(), &id);
    c->ModifyRecord(b.data(), false, true);
    c->Close();
  }
  EXPECT_EQ(Memos(), (std::map<int32_t, std::string>{
                         {2, MemoOf(2, 100)}, {3, MemoOf(3, 150)}, {10, MemoOf(1, 200)}}));
  {
    auto c = Cursor(false);
    c->Open();
    c->CheckFieldDefs({c->GetFieldDesc(1)});
    std::vector<uint8_t> b(c->GetRecordSize());
    for (size_t i = 0; i < sizes.size(); ++i) {
      c->First();
      ASSERT_EQ(c->GetNextRecord(b.data()), 0);
      c->DeleteRecord(b.data(), false);
    }
    EXPECT_EQ(c->GetRecordCount(), 0);
    c->Close();
  }
  // Every block came back: the same values again fit the file as it is.
  FillNotes(sizes);
  EXPECT_EQ(scratch_.Get("notes.blb").size(), full);
  // Memo as the list's field 1 and Id as its field 2 (the table numbers them 2 and 1).
  auto c = Cursor(false);
  c->Open();
  std::vector<FieldDesc> list = {c->GetFieldDesc(2), c->GetFieldDesc(1)};
  list[0].FieldNumber = 1;
  list[1].FieldNumber = 2;
  c->CheckFieldDefs(list);
  std::vector<uint8_t> b(c->GetRecordSize());
  c->InitRecord(b.data());
  const int32_t id = 7;
  c->SetFieldData(2, b.data(), &id);
  const std::string memo = MemoOf(7, 90);
  ASSERT_EQ(c->OpenBlob(1, b.data(), 2), 0);
  const auto* bytes = reinterpret_cast<const uint8_t*>(memo.data());
  ASSERT_EQ(c->WriteBlob(1, b.data(), 0, static_cast<uint32_t>(memo.size()), bytes), 0);
  c->InsertRecord(b.data(), false);
  c->CloseAllBlobs();
  c->Close();
  EXPECT_EQ(Memos()[7], memo);
}

// A missing index file is made anew at open and its record-status index rebuilt from the data
// file: by the first ordinary cursor only (a second one joining the open table finds it built),
// and never lost to a verification cursor that opened the table first.
TEST_F(CursorVerifyTest, AMissingIndexFileIsRebuiltOnceAndNotLostToVerification) {
  CreateNotes({10, 20, 30});
  auto count = [&]() {
    auto c = Cursor(false);
    c->SetExclusive(false);
    c->Open();
    const int32_t n = c->GetRecordCount();
    EXPECT_EQ(c->GetTableInfo().PhysicalRecordCount, n);  // kept by the record-status index
    c->Close();
    return n;
  };
  ASSERT_TRUE(std::remove((scratch_ / "notes.IDX").c_str()) == 0 || std::remove((scratch_ / "notes.idx").c_str()) == 0);
  {
    auto v = Cursor(true);
    v->SetExclusive(false);
    v->Open();
    EXPECT_EQ(v->CheckBlobChains(false), 0);
    v->Close();
  }
  EXPECT_EQ(count(), 3);
  ASSERT_TRUE(std::remove((scratch_ / "notes.IDX").c_str()) == 0 || std::remove((scratch_ / "notes.idx").c_str()) == 0);
  auto first = Cursor(false);
  first->SetExclusive(false);
  first->Open();
  auto second = Cursor(false);
  second->SetExclusive(false);
  second->Open();
  EXPECT_EQ(first->GetRecordCount(), 3);
  EXPECT_EQ(second->GetRecordCount(), 3);
  EXPECT_EQ(second->GetTableInfo().PhysicalRecordCount, 3);
  second->Close();
  first->Close();
  EXPECT_EQ(count(), 3);
}

}  // namespace
}  // namespace tovenmarsh::engine
