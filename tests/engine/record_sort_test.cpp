// Record sort against std::stable_sort: in memory and through runs in ".TMP" files (two
// million rows), with descending fields and NULLs, distinct, grouping, and deleted records.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <tuple>

#include <unistd.h>

#include "engine/store/data_file.h"
#include "engine/start/engine_start.h"
#include "engine/io/file_list.h"
#include "engine/store/index_file.h"
#include "engine/table/record_sort.h"

namespace tovenmarsh::engine {
namespace {

using namespace data_format;

class TOwner : public TTableFilesOwner {
 public:
  bool InTransaction() const override { return false; }
  bool HoldsWriteLock() const override { return true; }
  bool StrictChangeDetection() const override { return false; }
  bool Encrypted() const override { return false; }
  void MarkFilesWritten() override {}
  bool ChangedOnDisk() override { return false; }
};

struct TRow {
  std::string Name;  // up to 8 characters
  bool HasCount;
  int32_t Count;
  uint32_t Id;
};

class RecordSortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineStart();
    dir = testing::TempDir() + "storage_sort_" + std::to_string(getpid()) + "/";
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
  }
  void TearDown() override {
    file.reset();
    std::filesystem::remove_all(dir);
    EngineStop();
  }

  void Create(bool memory = false) {
    file = std::make_unique<TDataFile>(&owner, memory ? "S.DAT" : dir + "s.dat", memory);
    TDataFileDefinition d;
    d.Fields.resize(2);
    d.Fields[0].Name = "Name";
    d.Fields[0].FieldType = fldZString;
    d.Fields[0].Size = 8;
    d.Fields[1].Name = "Count";
    d.Fields[1].FieldType = fldInt32;
    file->CreateTable(d);
  }

  // Writes rows straight into the file (ids 1..n in row order).
  void Fill(const std::vector<TRow>& rows) {
    const size_t size = file->RecordSize();
    std::vector<uint8_t> buffer(rows.size() * size, 0);
    for (size_t i = 0; i < rows.size(); ++i) {
      uint8_t* r = buffer.data() + i * size;
      PutU32(r, 1, static_cast<uint32_t>(i + 1));
      PutU32(r, 5, rows[i].Id);
      r[9] = rows[i].Name.empty() ? 0 : 1;
      std::memcpy(r + 10, rows[i].Name.data(), rows[i].Name.size());
      r[19] = rows[i].HasCount ? 1 : 0;
      PutI32(r, 20, rows[i].HasCount ? rows[i].Count : 0);
    }
    file->Seek(RecordsOffset(2));
    file->Write(buffer.data(), static_cast<int64_t>(buffer.size()));
    file->SetNextRecord(static_cast<uint32_t>(rows.size() + 1));
    file->WriteHeader(true);
  }

  std::vector<uint32_t> IdsInFileOrder() {
    const size_t size = file->RecordSize();
    const uint32_t n = file->NextRecord() - 1;
    std::vector<uint8_t> buffer(static_cast<size_t>(n) * size);
    file->Seek(RecordsOffset(2));
    file->Read(buffer.data(), static_cast<int64_t>(buffer.size()));
    std::vector<uint32_t> ids;
    for (uint32_t i = 0; i < n; ++i) {
      EXPECT_EQ(GetU32(buffer.data(), i * size + 1), i + 1) << "renumbered";
      ids.push_back(GetU32(buffer.data(), i * size + 5));
    }
    return ids;
  }

  TSortOptions ByNameThenCountDescending() {
    TSortOptions o;
    o.Fields = {file->Field(1), file->Field(2)};
    o.Fields[1].Descending = true;
    return o;
  }

  // The oracle: a stable sort of row positions by (name, NULL first; count descending, NULL
  // last), names packed into integers so that two million rows sort quickly.
  static std::vector<uint32_t> Expected(const std::vector<TRow>& rows) {
    auto nameKey = [](const TRow& r) {
      uint32_t k = 0;
      for (size_t i = 0; i < 3; ++i) k = (k << 8) | (i < r.Name.size() ? static_cast<uint8_t>(r.Name[i]) : 0);
      return k;
    };
    std::vector<std::pair<uint64_t, uint32_t>> order(rows.size());
    for (size_t i = 0; i < rows.size(); ++i) {
      const uint64_t count = rows[i].HasCount ? static_cast<uint64_t>(200 - static_cast<int64_t>(rows[i].Count)) : 1000;
      order[i] = {(static_cast<uint64_t>(nameKey(rows[i])) << 32) | count, rows[i].Id};
    }
    std::stable_sort(order.begin(), order.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<uint32_t> ids;
    for (const auto& o : order) ids.push_back(o.second);
    return ids;
  }

  static std::vector<TRow> RandomRows(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<TRow> rows(n);
    for (size_t i = 0; i < n; ++i) {
      const int len = static_cast<int>(rng() % 4);
      for (int c = 0; c < len; ++c) rows[i].Name += static_cast<char>('a' + rng() % 3);
      rows[i].HasCount = rng() % 10 != 0;
      rows[i].Count = static_cast<int32_t>(rng() % 200) - 100;
      rows[i].Id = static_cast<uint32_t>(i + 1);
    }
    return rows;
  }

  size_t TempFiles() {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
      if (e.path().extension() == ".TMP" || e.path().extension() == ".tmp") ++n;
    return n;
  }

  TOwner owner;
  std::string dir;
  std::unique_ptr<TDataFile> file;
};

TEST_F(RecordSortTest, InMemoryWhenEverythingIsCached) {
  Create(true);
  const auto rows = RandomRows(500, 1);
  Fill(rows);
  for (uint32_t n = 1; n <= 500; ++n) file->ReleaseRecord(file->GetRecord(n, 1, 500));
  ASSERT_EQ(file->CachedRecords(), 500u);
  EXPECT_EQ(SortRecords(*file, ByNameThenCountDescending(), dir, nullptr), 500u);
  EXPECT_EQ(IdsInFileOrder(), Expected(rows));
}

TEST_F(RecordSortTest, ExternalRunsMatchStableSortAndLeaveNoTemporaryFiles) {
  Create();
  const auto rows = RandomRows(2000000, 2);
  Fill(rows);
  EXPECT_EQ(SortRecords(*file, ByNameThenCountDescending(), dir, nullptr), 2000000u);
  EXPECT_EQ(IdsInFileOrder(), Expected(rows));
  EXPECT_EQ(TempFiles(), 0u);
  EXPECT_NO_THROW(file->VerifyHeader());
}

TEST_F(RecordSortTest, DistinctKeepsTheFirstOfEqualRecords) {
  Create(true);
  std::vector<TRow> rows = {{"b", true, 1, 1}, {"a", true, 2, 2}, {"b", true, 1, 3}, {"a", true, 2, 4}};
  Fill(rows);
  TSortOptions o = ByNameThenCountDescending();
  o.RunSize = 2;  // through runs
  o.Distinct = true;
  TIndexFile index(&owner, "S.IDX", true);
  index.CreateFile();
  EXPECT_EQ(SortRecords(*file, o, "", &index), 2u);
  EXPECT_EQ(IdsInFileOrder(), (std::vector<uint32_t>{2, 1}));
  EXPECT_EQ(file->NextRecord(), 3u);
  EXPECT_EQ(index.RecordCount(), 2);
  EXPECT_EQ(file->GetSize(), RecordsOffset(2) + 2 * static_cast<int64_t>(file->RecordSize()));
}

TEST_F(RecordSortTest, GroupingSumsIntoTheGroupsFirstRecordAndFilters) {
  Create(true);
  std::vector<TRow> rows = {{"x", true, 5, 1}, {"y", true, 1, 2}, {"x", true, 7, 3}, {"z", true, 100, 4},
                            {"y", true, 2, 5}};
  Fill(rows);
  TSortOptions o;
  o.Fields = {file->Field(1)};
  int starts = 0;
  o.Group = [&](int mode, uint8_t* record, uint8_t* output) {
    if (mode == 1) {
      ++starts;
      return;
    }
    PutI32(output, 20, GetI32(output, 20) + GetI32(record, 20));
  };
  o.Finish = [](uint8_t* output) { PutI32(output, 20, GetI32(output, 20) * 10); };
  o.Filter = [](uint8_t* output) { return GetI32(output, 20) < 1000; };  // drops the z group
  EXPECT_EQ(SortRecords(*file, o, "", nullptr), 2u);
  EXPECT_EQ(starts, 3);
  TRecord* x = file->GetRecord(1);
  EXPECT_EQ(x->Buffer[10], 'x');
  EXPECT_EQ(GetI32(x->Buffer.data(), 20), 120);
  file->ReleaseRecord(x);
  TRecord* y = file->GetRecord(2);
  EXPECT_EQ(y->Buffer[10], 'y');
  EXPECT_EQ(GetI32(y->Buffer.data(), 20), 30);
  file->ReleaseRecord(y);
}

TEST_F(RecordSortTest, DescendingStringsWithAndWithoutALanguage) {
  for (uint16_t language : {uint16_t{0}, uint16_t{1033}}) {
    file = std::make_unique<TDataFile>(&owner, "L.DAT", true);
    TDataFileDefinition d;
    d.LanguageId = language;
    d.Fields.resize(2);
    d.Fields[0].Name = "Name";
    d.Fields[0].FieldType = fldZString;
    d.Fields[0].Size = 8;
    d.Fields[1].Name = "Count";
    d.Fields[1].FieldType = fldInt32;
    file->CreateTable(d);
    Fill({{"a", true, 1, 1}, {"b", true, 2, 2}, {"a", true, 3, 3}, {"c", true, 4, 4}});
    TSortOptions o;
    o.RunSize = 3;
    o.Fields = {file->Field(1)};
    o.Fields[0].Descending = true;
    EXPECT_EQ(SortRecords(*file, o, "", nullptr), 4u);
    EXPECT_EQ(IdsInFileOrder(), (std::vector<uint32_t>{4, 2, 1, 3})) << "language " << language;
    file->Close();
  }
}

TEST_F(RecordSortTest, DeletedRecordsAreLeftOut) {
  Create(true);
  auto rows = RandomRows(3000, 3);
  Fill(rows);
  std::vector<TRow> kept;
  for (uint32_t n = 1; n <= 3000; ++n) {
    if (n % 3 == 0) {
      TRecord* r = file->GetRecord(n);
      file->DeleteRecord(*r);
      file->ReleaseRecord(r);
    } else {
      kept.push_back(rows[n - 1]);
    }
  }
  TSortOptions o = ByNameThenCountDescending();
  o.RunSize = 256;
  EXPECT_EQ(SortRecords(*file, o, "", nullptr), kept.size());
  EXPECT_EQ(IdsInFileOrder(), Expected(kept));
  EXPECT_EQ(file->FirstFree(), 0u);
}

}  // namespace
}  // namespace tovenmarsh::engine
