// Table definition through the cursor: the order of the definition checks with each code,
// create, delete, rename and empty, adding and dropping indexes, the three kinds of restructure
// (descriptors only leaving every record byte as it was, indexes only inside a transaction,
// full rebuild), and a full restructure interrupted at each rename of its file swap.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine/cursor.h"
#include "engine/data_file_format.h"
#include "engine/directory.h"
#include "engine/engine_error.h"
#include "engine/engine_start.h"
#include "engine/session.h"
#include "engine/shared_table.h"
#include "file_test_support.h"

namespace tovenmarsh::engine {
namespace {

uint16_t ErrorCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    return e.Code();
  }
  return 0;
}

FieldDesc Field(const char* name, uint8_t type, uint8_t size = 0, uint8_t subtype = 0) {
  FieldDesc f;
  f.Name = name;
  f.FieldType = type;
  f.Size = size;
  f.SubType = subtype;
  return f;
}

IndexDesc Index(const char* name, std::initializer_list<uint16_t> fields, bool unique = false) {
  IndexDesc d;
  d.Name = name;
  d.Unique = unique;
  d.FieldCount = static_cast<uint8_t>(fields.size());
  int i = 0;
  for (uint16_t f : fields) d.FieldNumbers[i++] = f;
  return d;
}

struct TEvents {
  std::vector<std::pair<int, std::string>> Seen;
  bool Quiet = false;
  bool Stop = false;
};

void OnEvent(void* owner, int kind, const std::string& text, bool& quiet, bool& proceed) {
  TEvents& e = *static_cast<TEvents*>(owner);
  e.Seen.emplace_back(kind, text);
  quiet = e.Quiet;
  proceed = !e.Stop;
}

class TableDefineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineStart();
    session_ = CreateEngineSession();
    directory_ = session_->OpenDirectory("db", scratch_.Path());
  }
  void TearDown() override {
    session_->CloseDirectory(directory_);
    FreeEngineSession(session_);
    EngineStop();
  }

  std::unique_ptr<TDataCursor> Cursor(const std::string& name, bool exclusive = true) {
    auto c = std::make_unique<TDataCursor>(directory_);
    c->SetTableName(name);
    c->SetExclusive(exclusive);
    return c;
  }
  // People: Id (primary), Name, Age.
  std::vector<FieldDesc> PeopleFields() {
    return {Field("Id", fldInt32), Field("Name", fldZString, 10), Field("Age", fldInt32)};
  }
  void CreatePeople(const std::string& name, int rows, int ageModulo = 1000) {
    auto c = Cursor(name);
    c->CreateTable(TTableAttributes{}, false, {Index("", {1}, true), Index("ByAge", {3})}, PeopleFields());
    c->Open();
    std::vector<uint8_t> b(c->GetRecordSize());
    for (int i = 1; i <= rows; ++i) {
      c->InitRecord(b.data());
      int32_t age = i % ageModulo;
      const std::string n = "n" + std::to_string(i);
      c->SetFieldData(1, b.data(), &i);
      c->SetFieldData(2, b.data(), n.c_str());
      c->SetFieldData(3, b.data(), &age);
      c->InsertRecord(b.data(), false);
    }
    c->Close();
  }
  std::vector<int32_t> Column(TDataCursor& c, uint32_t field) {
    std::vector<int32_t> out;
    std::vector<uint8_t> b(c.GetRecordSize());
    c.First();
    while (c.GetNextRecord(b.data()) == 0) {
      int32_t v = 0;
      c.GetFieldData(field, b.data(), &v);
      out.push_back(v);
    }
    return out;
  }
  std::string FileBytes(const std::string& name) { return scratch_.Get(name); }

  testing::ScratchDir scratch_;
  TDataSession* session_ = nullptr;
  TDataDirectory* directory_ = nullptr;
};

TEST_F(TableDefineTest, DefinitionChecksInOrder) {
  struct Case {
    const char* What;
    std::function<void(TTableAttributes&, std::vector<IndexDesc>&, std::vector<FieldDesc>&)> Change;
    uint16_t Code;
  };
  const std::vector<Case> cases = {
      {"password of 16", [](auto& a, auto&, auto&) { a.Encrypted = true; a.Password = "0123456789abcdef"; },
       kErrInvalidPassword},
      {"blank password", [](auto& a, auto&, auto&) { a.Encrypted = true; a.Password = "   "; }, kErrInvalidPassword},
      {"password first", [](auto& a, auto&, auto& f) { a.Encrypted = true; f[0].Name = ""; }, kErrInvalidPassword},
      {"password of 15", [](auto& a, auto&, auto&) { a.Encrypted = true; a.Password = "0123456789abcde"; }, 0},
      {"language", [](auto& a, auto&, auto&) { a.LanguageId = 9999; }, kErrLanguageDriver},
      {"autoinc below -1", [](auto& a, auto&, auto&) { a.LastAutoInc = -2; }, kErrFieldLimits},
      {"too many fields", [](auto&, auto&, auto& f) { f.resize(1025, Field("X", fldInt32)); }, kErrFieldLimits},
      {"31 secondary", [](auto&, auto& ix, auto&) { ix.resize(32, Index("S", {2})); }, kErrIndexLimits},
      {"block size", [](auto& a, auto&, auto&) { a.BlobBlockSize = 32; }, kErrBlobFieldsOrBlockSize},
      {"empty field name", [](auto&, auto&, auto& f) { f[1].Name = "  "; }, kErrInvalidFieldName},
      {"digit first", [](auto&, auto&, auto& f) { f[1].Name = "1x"; }, kErrInvalidFieldName},
      {"same name", [](auto&, auto&, auto& f) { f[2].Name = "name"; }, kErrInvalidFieldName},
      {"31 characters", [](auto&, auto&, auto& f) { f[1].Name = std::string(31, 'a'); }, kErrInvalidFieldName},
      {"type 0", [](auto&, auto&, auto& f) { f[2].FieldType = 0; }, kErrInvalidFieldDefinition},
      {"string 251", [](auto&, auto&, auto& f) { f[1].Size = 251; }, kErrInvalidFieldDefinition},
      {"number twice", [](auto&, auto&, auto& f) { f[0].FieldNumber = 3; f[2].FieldNumber = 3; },
       kErrInvalidFieldDefinition},
      {"bad default", [](auto&, auto&, auto& f) { f[2].DefaultValue = "abc"; }, kErrInvalidValidityCheck},
      {"bad maximum", [](auto&, auto&, auto& f) { f[2].MaxValue = "1.5.3"; }, kErrInvalidValidityCheck},
      {"index name", [](auto&, auto& ix, auto&) { ix[1].Name = "9x"; }, kErrInvalidSecondaryIndexName},
      {"index twice", [](auto&, auto& ix, auto&) { ix.push_back(Index("BYAGE", {1})); }, kErrSecondaryIndexExists},
      {"index field", [](auto&, auto& ix, auto&) { ix[1].FieldNumbers[0] = 9; }, kErrInvalidIndexFieldNumber},
      {"blob key", [](auto&, auto& ix, auto& f) { f.push_back(Field("M", fldBlob, 0, fldstMemo)); ix[1].FieldNumbers[0] = 4; },
       kErrInvalidIndexFieldType},
      {"key too big",
       [](auto&, auto& ix, auto& f) {
         f.push_back(Field("L1", fldZString, 250));
         f.push_back(Field("L2", fldZString, 250));
         f.push_back(Field("L3", fldZString, 250));
         ix.push_back(Index("Big", {4, 5, 6}));
       },
       kErrInvalidKeySize},
  };
  int n = 0;
  for (const Case& cs : cases) {
    TTableAttributes a;
    std::vector<IndexDesc> ix = {Index("", {1}, true), Index("ByAge", {3})};
    std::vector<FieldDesc> f = PeopleFields();
    cs.Change(a, ix, f);
    auto c = Cursor("t" + std::to_string(n++));
    EXPECT_EQ(ErrorCode([&] { c->CreateTable(a, false, ix, f); }), cs.Code) << cs.What;
  }
}

TEST_F(TableDefineTest, CreateDeleteRenameEmpty) {
  auto shared = Cursor("people", false);
  EXPECT_EQ(ErrorCode([&] { shared->CreateTable({}, false, {Index("", {1}, true)}, PeopleFields()); }),
            kErrMustBeExclusive);
  CreatePeople("people", 5);
  auto c = Cursor("people");
  EXPECT_EQ(ErrorCode([&] { c->CreateTable({}, false, {Index("", {1}, true)}, PeopleFields()); }), kErrTableExists);
  c->Open();
  EXPECT_EQ(ErrorCode([&] { c->CreateTable({}, true, {Index("", {1}, true)}, PeopleFields()); }), kErrTableInUse);
  EXPECT_EQ(c->GetRecordCount(), 5);
  c->EmptyTable();
  EXPECT_EQ(c->GetRecordCount(), 0);
  EXPECT_EQ(c->GetPhysicalRecordCount(), 0);
  const TTableInfo open = c->GetTableInfo();
  EXPECT_EQ(open.FieldCount, 3u);
  EXPECT_EQ(open.SecondaryIndexCount, 1);
  EXPECT_EQ(open.BlobDataPerBlock, 512u - 18u);
  EXPECT_EQ(ErrorCode([&] { c->RenameTable("folk"); }), kErrTableInUse);
  c->Close();
  const TTableInfo closed = c->GetTableInfo();
  EXPECT_EQ(closed.FieldCount, open.FieldCount);
  EXPECT_EQ(closed.RecordSize, open.RecordSize);
  EXPECT_EQ(closed.LastAutoInc, open.LastAutoInc);
  EXPECT_EQ(closed.PhysicalRecordCount, 0);
  EXPECT_FALSE(closed.Encrypted);
  c->RenameTable("folk");
  EXPECT_TRUE(scratch_.Has("folk.dat"));
  auto old = Cursor("people");
  EXPECT_NE(ErrorCode([&] { old->Open(); }), 0);
  EXPECT_EQ(ErrorCode([&] { c->RenameTable("../outside"); }), kErrInvalidPath);
  c->DeleteTable();
  EXPECT_FALSE(directory_->TableExists("folk", false));
  // Overwrite replaces an existing table.
  CreatePeople("people", 3);
  auto again = Cursor("people");
  again->CreateTable({}, true, {Index("", {1}, true)}, PeopleFields());
  again->Open();
  EXPECT_EQ(again->GetRecordCount(), 0);
}

TEST_F(TableDefineTest, AddAndDropIndexes) {
  CreatePeople("people", 20, 4);
  auto c = Cursor("people");
  c->Open();
  IndexDesc byName = Index("ByName", {2});
  c->AddIndex(byName);
  c->SwitchToIndex("ByName");
  std::vector<int32_t> expected;
  std::vector<std::string> names;
  for (int i = 1; i <= 20; ++i) names.push_back("n" + std::to_string(i));
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) expected.push_back(std::stoi(n.substr(1)));
  EXPECT_EQ(Column(*c, 1), expected);
  // A unique index over a key that repeats keeps the first record of each key and reports
  // every deletion.
  TEvents events;
  c->SetRestructureCallback(&events, &OnEvent);
  std::vector<int32_t> percents;
  c->SetProgressCallback(&percents, [](void* owner, int32_t, int32_t percent) {
    static_cast<std::vector<int32_t>*>(owner)->push_back(percent);
  });
  c->AddIndex(Index("AgeOnce", {3}, true));
  EXPECT_EQ(events.Seen.size(), 16u);
  ASSERT_EQ(percents.size(), 20u);  // every record, kept or deleted
  EXPECT_EQ(percents.front(), 5);
  EXPECT_EQ(percents.back(), 100);
  c->SwitchToIndex("AgeOnce");
  EXPECT_EQ(Column(*c, 1), (std::vector<int32_t>{4, 1, 2, 3}));
  c->SwitchToIndex("");
  EXPECT_EQ(c->GetRecordCount(), 4);
  c->SwitchToIndex("ByName");
  EXPECT_EQ(c->GetRecordCount(), 4);
  c->DeleteIndex("byname", true);
  EXPECT_EQ(ErrorCode([&] { c->SwitchToIndex("ByName"); }), kErrInvalidSecondaryIndexName);
  EXPECT_EQ(ErrorCode([&] { c->DeleteIndex("nothing", true); }), kErrInvalidSecondaryIndexName);
  c->SwitchToIndex("AgeOnce");
  EXPECT_EQ(Column(*c, 1), (std::vector<int32_t>{4, 1, 2, 3}));
  c->Close();
  // Everything survives a reopen.
  c->Open();
  EXPECT_EQ(c->GetIndexCount(), 3);
  c->SwitchToIndex("ByAge");
  EXPECT_EQ(c->GetRecordCount(), 4);
}

TEST_F(TableDefineTest, SortInPlaceForSql) {
  auto c = Cursor("result");
  c->CreateTable({}, false, {IndexDesc{}}, {Field("V", fldInt32), Field("S", fldZString, 4)});
  c->Open();
  std::vector<uint8_t> b(c->GetRecordSize());
  const std::vector<int32_t> values = {5, 3, 9, 1, 3, 7};
  for (int32_t v : values) {
    c->InitRecord(b.data());
    c->SetFieldData(1, b.data(), &v);
    c->InsertRecord(b.data(), false);
  }
  c->First();
  ASSERT_EQ(c->GetNextRecord(b.data()), 0);
  c->DeleteRecord(b.data(), true);  // the 5: sorting leaves deleted records out
  TSortOptions options;
  options.Fields = {c->GetFieldDesc(1)};
  c->AddIndexExclusive(options);
  EXPECT_EQ(Column(*c, 1), (std::vector<int32_t>{1, 3, 3, 7, 9}));
  EXPECT_EQ(c->GetRecordCount(), 5);
  // The status keys follow the new numbers: records can still be deleted and reused.
  c->First();
  ASSERT_EQ(c->GetNextRecord(b.data()), 0);
  c->DeleteRecord(b.data(), true);
  int32_t eight = 8;
  c->InitRecord(b.data());
  c->SetFieldData(1, b.data(), &eight);
  c->InsertRecord(b.data(), false);
  EXPECT_EQ(Column(*c, 1), (std::vector<int32_t>{8, 3, 3, 7, 9}));
  auto shared = Cursor("result", false);
  EXPECT_EQ(ErrorCode([&] { shared->AddIndexExclusive(options); }), kErrMustBeExclusive);
}

TEST_F(TableDefineTest, DescriptorOnlyAlterLeavesRecordBytes) {
  CreatePeople("people", 50);
  const std::string before = FileBytes("people.dat");
  const size_t records = static_cast<size_t>(data_format::RecordsOffset(3));
  auto c = Cursor("people");
  std::vector<FieldDesc> f = PeopleFields();
  f[1].Name = "FullName";  // same number: a rename only
  std::vector<IndexDesc> ix = {Index("", {1}, true), Index("AgeIndex", {3})};
  TTableAttributes a;
  c->AlterTable(a, ix, f, false);
  const std::string after = FileBytes("people.dat");
  ASSERT_EQ(before.size(), after.size());
  EXPECT_EQ(before.substr(records), after.substr(records));
  c->Open();
  EXPECT_EQ(c->GetFieldDesc(2).Name, "FullName");
  c->SwitchToIndex("AgeIndex");
  EXPECT_EQ(c->GetRecordCount(), 50);
  EXPECT_FALSE(scratch_.Has("people.dbk"));
}

TEST_F(TableDefineTest, IndexOnlyAlterStopsWithoutCallbackAndRollsBack) {
  CreatePeople("people", 12, 3);
  std::vector<IndexDesc> ix = {Index("", {1}, true), Index("ByAge", {3}), Index("AgeOnce", {3}, true)};
  auto c = Cursor("people");
  EXPECT_EQ(ErrorCode([&] { c->AlterTable({}, ix, PeopleFields(), false); }), kErrDuplicateKey);
  c->Open();
  EXPECT_EQ(c->GetIndexCount(), 2);
  EXPECT_EQ(c->GetRecordCount(), 12);
  c->Close();
  // Told to stop by the callback: rolled back as well.
  TEvents events;
  events.Stop = true;
  c->SetRestructureCallback(&events, &OnEvent);
  EXPECT_EQ(ErrorCode([&] { c->AlterTable({}, ix, PeopleFields(), false); }), kErrDuplicateKey);
  EXPECT_EQ(events.Seen.size(), 1u);
  c->Open();
  EXPECT_EQ(c->GetRecordCount(), 12);
  c->Close();
  // Continued: the duplicates go.
  events = TEvents{};
  events.Quiet = true;
  c->SetRestructureCallback(&events, &OnEvent);
  c->AlterTable({}, ix, PeopleFields(), false);
  EXPECT_EQ(events.Seen.size(), 1u);  // quiet after the first
  c->Open();
  c->SwitchToIndex("AgeOnce");
  EXPECT_EQ(Column(*c, 1), (std::vector<int32_t>{3, 1, 2}));
  c->SwitchToIndex("");
  EXPECT_EQ(c->GetRecordCount(), 3);
}

TEST_F(TableDefineTest, FullRebuildDropsAFieldAndKeepsTheRest) {
  CreatePeople("people", 30);
  std::vector<FieldDesc> f = {Field("Id", fldInt32), Field("Age", fldInt32), Field("Extra", fldZString, 4)};
  f[0].FieldNumber = 1;
  f[1].FieldNumber = 3;  // Age keeps its number: its data follows it
  f[2].FieldNumber = 4;
  f[2].DefaultValue = "new";
  std::vector<IndexDesc> ix = {Index("", {1}, true), Index("ByAge", {3})};
  auto c = Cursor("people");
  // Without a callback a dropped field stops the restructure; the old table stays.
  EXPECT_NE(ErrorCode([&] { c->AlterTable({}, ix, f, true); }), 0);
  c->Open();
  EXPECT_EQ(c->GetFieldCount(), 3u);
  EXPECT_EQ(c->GetFieldDesc(2).Name, "Name");
  c->Close();
  TEvents events;
  c->SetRestructureCallback(&events, &OnEvent);
  events.Quiet = false;
  c->AlterTable({}, ix, f, true);
  EXPECT_EQ(events.Seen.size(), 30u);
  EXPECT_EQ(events.Seen[0], (std::pair<int, std::string>{3, "Name"}));
  EXPECT_TRUE(scratch_.Has("people.dbk"));
  EXPECT_FALSE(scratch_.Has("__rst_people.dat"));
  c->Open();
  ASSERT_EQ(c->GetFieldCount(), 3u);
  EXPECT_EQ(c->GetFieldDesc(2).Name, "Age");
  std::vector<int32_t> ids, ages;
  for (int i = 1; i <= 30; ++i) ids.push_back(i);
  EXPECT_EQ(Column(*c, 1), ids);
  EXPECT_EQ(Column(*c, 2), ids);  // ages were i
  std::vector<uint8_t> b(c->GetRecordSize());
  c->First();
  ASSERT_EQ(c->GetNextRecord(b.data()), 0);
  char extra[8] = {};
  c->GetFieldData(3, b.data(), extra);
  EXPECT_STREQ(extra, "new");
}

TEST_F(TableDefineTest, InterruptedSwapOpensOldOrNewTable) {
  for (int limit = 0; limit < 8; ++limit) {
    const std::string name = "swap" + std::to_string(limit);
    CreatePeople(name, 10);
    std::vector<FieldDesc> f = PeopleFields();
    f.push_back(Field("More", fldInt32));
    auto c = Cursor(name);
    c->SetSwapStepLimit(limit);
    bool interrupted = false;
    try {
      c->AlterTable({}, {Index("", {1}, true), Index("ByAge", {3})}, f, false);
    } catch (...) {
      interrupted = true;
    }
    c.reset();
    auto reopened = Cursor(name, false);
    ASSERT_EQ(ErrorCode([&] { reopened->Open(); }), 0) << limit;
    const uint32_t fields = reopened->GetFieldCount();
    EXPECT_TRUE(fields == 3u || fields == 4u) << limit;
    if (!interrupted) {
      EXPECT_EQ(fields, 4u);
    }
    EXPECT_EQ(Column(*reopened, 1), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10})) << limit;
    reopened->SwitchToIndex("ByAge");
    EXPECT_EQ(reopened->GetRecordCount(), 10) << limit;
    EXPECT_FALSE(scratch_.Has("__rst_" + name + ".dat")) << limit;
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
