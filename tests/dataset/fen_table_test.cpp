// Tables over the engine: creation from definitions and reading them back, navigation and
// bookmarks on the primary and a secondary index, editing with record locks across two
// sessions, a duplicate key that leaves the table usable, deletion, and the table's
// attachment to its database.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/database_error.h"
#include "dataset/fen_database.h"
#include "dataset/fen_engine_error.h"
#include "dataset/fen_session.h"
#include "dataset/fen_table.h"
#include "platform/paths.h"

namespace tovenmarsh::dataset {
namespace {

std::string ErrorText(const std::function<void()>& f) {
  try {
    f();
  } catch (const EDatabaseError& e) {
    return e.Message();
  }
  return "(none)";
}

int EngineCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

class FenTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = platform::SystemTempFolder() + "fendbXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
  }
  void TearDown() override {
    tables_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  // A table object on the scratch folder (in the default session unless given).
  TFenTable& Table(const std::string& name = "people", const std::string& session = "") {
    tables_.push_back(std::make_unique<TFenTable>());
    TFenTable& t = *tables_.back();
    t.SetSessionName(session);
    t.SetTableName(folder_ + name);
    return t;
  }

  // people: no (integer, required, primary), name (string 20, secondary "ByName"), level (small).
  void CreatePeople() {
    TFenTable& t = Table();
    t.FieldDefs().Add("no", ftInteger, 0, true);
    t.FieldDefs().Add("name", ftString, 20);
    t.FieldDefs().Add("level", ftSmallint);
    t.IndexDefs().Add("ByName", "name", 0);
    t.IndexDefs().Add("", "no", ixPrimary | ixUnique);
    t.CreateTable();
  }

  static void AddRow(TFenTable& t, int no, const std::string& name) {
    t.Append();
    t.FieldByName("no").SetAsInteger(no);
    t.FieldByName("name").SetAsString(name);
    if (TField* level = t.FindField("level")) level->SetAsInteger(no * 10);
    t.Post();
  }

  static std::vector<int> Walk(TFenTable& t) {
    std::vector<int> out;
    for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName("no").AsInteger());
    return out;
  }

  // The table's data file as it lies in the folder (any letter case); "" when none.
  std::string DataFile(const std::string& table) const {
    for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
      const std::string name = entry.path().filename().string();
      if (name.size() == table.size() + 4 && SameFenName(name, table + ".dat")) return entry.path().string();
    }
    return "";
  }

  std::string folder_;
  std::vector<std::unique_ptr<TFenTable>> tables_;
};

TEST_F(FenTableTest, TableNameWithAFolderSetsTheDatabaseName) {
  TFenTable t;
  t.SetTableName("/var/db/account");
  EXPECT_EQ(t.TableName(), "account");
  EXPECT_EQ(t.DatabaseName(), "/var/db/");
  TFenTable m;
  m.SetInMemory(true);
  m.SetTableName("/var/db/words");
  EXPECT_EQ(m.TableName(), "words");
  EXPECT_EQ(m.DatabaseName(), "Memory");
  TFenTable none;
  EXPECT_EQ(ErrorText([&] { none.Open(); }), "Missing table name.");
  EXPECT_EQ(ErrorText([&] { none.CreateTable(); }), "Missing table name.");
  EXPECT_FALSE(none.Exists());
}

TEST_F(FenTableTest, CreatedDefinitionsReadBackEqual) {
  CreatePeople();
  TFenTable& t = Table();
  EXPECT_TRUE(t.Exists());
  EXPECT_EQ(EngineCode([this] { CreatePeople(); }), 13060);  // exists already
  t.Open();
  ASSERT_EQ(t.FieldDefs().Count(), 3);
  struct Expect {
    const char* name;
    TFieldType type;
    int size;
    bool required;
  };
  const Expect expected[] = {{"no", ftInteger, 0, true}, {"name", ftString, 20, false}, {"level", ftSmallint, 0, false}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(t.FieldDefs()[i].Name(), expected[i].name);
    EXPECT_EQ(t.FieldDefs()[i].DataType(), expected[i].type) << i;
    EXPECT_EQ(t.FieldDefs()[i].Size(), expected[i].size) << i;
    EXPECT_EQ(t.FieldDefs()[i].Required(), expected[i].required) << i;
  }
  EXPECT_TRUE(t.IsEmpty());
  EXPECT_TRUE(t.Bof());
  EXPECT_TRUE(t.Eof());
  // The table keeps its database attached while open.
  ASSERT_NE(t.Database(), nullptr);
  EXPECT_TRUE(t.Database()->Temporary());
  t.Close();
  EXPECT_EQ(t.Database(), nullptr);
}

TEST_F(FenTableTest, NavigationFollowsTheActiveIndex) {
  CreatePeople();
  TFenTable& t = Table();
  t.Open();
  const std::pair<int, const char*> rows[] = {{3, "carol"}, {1, "zed"}, {2, "alice"}, {5, "bob"}, {4, "dave"}};
  for (auto [no, name] : rows) AddRow(t, no, name);
  EXPECT_EQ(t.RecordCount(), 5);
  EXPECT_EQ(Walk(t), (std::vector<int>{1, 2, 3, 4, 5}));
  t.First();
  EXPECT_TRUE(t.Bof());
  EXPECT_FALSE(t.Eof());
  t.Last();
  EXPECT_EQ(t.FieldByName("no").AsInteger(), 5);
  t.Next();  // past the last: Eof without an exception
  EXPECT_TRUE(t.Eof());
  t.Prior();
  EXPECT_EQ(t.FieldByName("no").AsInteger(), 4);

  const TBookmark underPrimary = (t.First(), t.GetBookmark());
  t.SetIndexName("ByName");
  EXPECT_EQ(Walk(t), (std::vector<int>{2, 5, 3, 4, 1}));
  // A bookmark of the primary index does not name a record under this one.
  EXPECT_NE(underPrimary.size(), static_cast<size_t>(t.BookmarkSize()));
  EXPECT_THROW(t.GotoBookmark(underPrimary), EDatabaseError);
  t.Last();
  const TBookmark mark = t.GetBookmark();
  t.First();
  t.GotoBookmark(mark);
  EXPECT_EQ(t.FieldByName("name").AsString(), "zed");

  // Reopened elsewhere, the rows are there.
  t.Close();
  TFenTable& again = Table();
  again.Open();
  EXPECT_EQ(Walk(again), (std::vector<int>{1, 2, 3, 4, 5}));
}

// An independent reader of the data file's descriptors: count at header offset 23, one
// 768-byte descriptor per field after the 127-byte header (number, name, type, subtype, size,
// required).
std::string PythonDescriptors(const std::string& file) {
  const std::string script =
      "import struct,sys\n"
      "d=open(sys.argv[1],'rb').read()\n"
      "n=struct.unpack_from('<H',d,23)[0]\n"
      "for i in range(n):\n"
      "  o=127+768*i\n"
      "  num=struct.unpack_from('<H',d,o)[0]\n"
      "  name=d[o+3:o+3+d[o+2]].decode('latin-1')\n"
      "  print(num,name,d[o+84],d[o+85],d[o+86],d[o+92])\n";
  const std::string scriptFile = file + ".py";
  FILE* f = fopen(scriptFile.c_str(), "w");
  if (f == nullptr) return "";
  fputs(script.c_str(), f);
  fclose(f);
  std::string out;
  FILE* p = popen(("python3 '" + scriptFile + "' '" + file + "'").c_str(), "r");
  if (p == nullptr) return "";
  char line[256];
  while (fgets(line, sizeof line, p) != nullptr) out += line;
  pclose(p);
  return out;
}

TEST_F(FenTableTest, DefinitionsReadBackEqualAndAgreeWithAnIndependentReader) {
  TFenTable& t = Table("mailbox");
  t.FieldDefs().Add("id", ftAutoInc);
  t.FieldDefs().Add("account", ftString, 40, true);
  t.FieldDefs().Add("size", ftInteger);
  t.FieldDefs().Add("received", ftDateTime);
  t.FieldDefs().Add("seen", ftBoolean);
  t.FieldDefs().Add("body", ftMemo);
  t.IndexDefs().Add("ByAccount", "account;received", ixCaseInsensitive);
  t.IndexDefs().Add("", "id", ixPrimary | ixUnique);
  t.IndexDefs().Add("BySize", "size", ixDescending);
  t.CreateTable();

  TFenTable& r = Table("mailbox");
  r.InitFieldDefs();
  ASSERT_EQ(r.FieldDefs().Count(), 6);
  for (int i = 0; i < 6; ++i) {
    EXPECT_EQ(r.FieldDefs()[i].Name(), t.FieldDefs()[i].Name());
    EXPECT_EQ(r.FieldDefs()[i].DataType(), t.FieldDefs()[i].DataType()) << i;
    EXPECT_EQ(r.FieldDefs()[i].Size(), t.FieldDefs()[i].Size()) << i;
    EXPECT_EQ(r.FieldDefs()[i].Required(), t.FieldDefs()[i].Required()) << i;
  }
  r.UpdateIndexDefs();
  ASSERT_EQ(r.IndexDefs().Count(), 3);
  struct Expect {
    const char* name;
    const char* fields;
    TIndexOptions options;
  };
  // The primary index comes first, the secondary ones in their order.
  const Expect expected[] = {{"", "id", ixPrimary | ixUnique},
                             {"ByAccount", "account;received", ixCaseInsensitive},
                             {"BySize", "size", ixDescending}};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(r.IndexDefs()[i].Name(), expected[i].name) << i;
    EXPECT_EQ(r.IndexDefs()[i].Fields(), expected[i].fields) << i;
    EXPECT_EQ(r.IndexDefs()[i].Options(), expected[i].options) << i;
  }
  EXPECT_EQ(r.Database(), nullptr);  // reading definitions attached only for the call

  // A row through the definitions: the auto-increment number, and a memo without a value.
  r.Open();
  r.Append();
  r.FieldByName("account").SetAsString("info@example.org");
  r.FieldByName("seen").SetAsBoolean(true);
  r.Post();
  r.First();
  EXPECT_EQ(r.FieldByName("id").AsInteger(), 1);
  EXPECT_TRUE(r.FieldByName("seen").AsBoolean());
  EXPECT_TRUE(r.FieldByName("body").IsNull());
  EXPECT_TRUE(r.FieldByName("size").IsNull());
  r.Close();

  const std::string oracle = PythonDescriptors(DataFile("mailbox"));
  EXPECT_EQ(oracle,
            "1 id 6 29 0 0\n"
            "2 account 1 0 40 1\n"
            "3 size 6 0 0 0\n"
            "4 received 11 0 0 0\n"
            "5 seen 4 0 0 0\n"
            "6 body 3 22 0 0\n");
}

TEST_F(FenTableTest, IndexFieldNamesChooseTheIndexThatServesThem) {
  CreatePeople();
  TFenTable& t = Table();
  t.SetIndexFieldNames("NAME");
  EXPECT_EQ(t.IndexName(), "");
  EXPECT_EQ(t.IndexFieldNames(), "NAME");
  t.Open();
  const std::pair<int, const char*> rows[] = {{1, "b"}, {2, "c"}, {3, "a"}};
  for (auto [no, name] : rows) AddRow(t, no, name);
  EXPECT_EQ(Walk(t), (std::vector<int>{3, 1, 2}));
  t.SetIndexFieldNames("no");
  EXPECT_EQ(Walk(t), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(ErrorText([&] { t.SetIndexFieldNames("level"); }), "No index for fields 'level'");
  t.SetIndexName("ByName");
  EXPECT_EQ(t.IndexFieldNames(), "");
  EXPECT_EQ(Walk(t), (std::vector<int>{3, 1, 2}));
  t.SetIndexName("");
  EXPECT_EQ(Walk(t), (std::vector<int>{1, 2, 3}));
}

TEST_F(FenTableTest, FindKeyOnPrimaryAndSecondaryIndexes) {
  CreatePeople();
  TFenTable& t = Table();
  t.Open();
  const std::pair<int, const char*> rows[] = {{10, "mike"}, {20, "anna"}, {30, "zoe"}, {40, "bert"}};
  for (auto [no, name] : rows) AddRow(t, no, name);
  EXPECT_TRUE(t.FindKey({30}));
  EXPECT_EQ(t.FieldByName("name").AsString(), "zoe");
  EXPECT_FALSE(t.FindKey({25}));
  EXPECT_EQ(t.FieldByName("no").AsInteger(), 30);  // not found: stays
  t.FindNearest({25});
  EXPECT_EQ(t.FieldByName("no").AsInteger(), 30);
  // Through the key-editing state.
  t.SetKey();
  EXPECT_EQ(t.State(), TDataSetState::dsSetKey);
  EXPECT_EQ(ErrorText([&] { t.FieldByName("name").SetAsString("x"); }),
            "Field 'name' is not indexed and cannot be modified");
  t.FieldByName("no").SetAsInteger(20);
  EXPECT_TRUE(t.GotoKey());
  EXPECT_EQ(t.State(), TDataSetState::dsBrowse);
  EXPECT_EQ(t.FieldByName("name").AsString(), "anna");

  t.SetIndexName("ByName");
  EXPECT_EQ(t.IndexFieldCount(), 1);
  EXPECT_EQ(t.IndexFields(0).FieldName(), "name");
  EXPECT_EQ(ErrorText([&] { t.IndexFields(1); }), "Field index out of range");
  EXPECT_TRUE(t.FindKey({"bert"}));
  EXPECT_EQ(t.FieldByName("no").AsInteger(), 40);
  EXPECT_FALSE(t.FindKey({"BERT"}));  // case-sensitive index
  EXPECT_EQ(ErrorText([&] { t.SetKeyFieldCount(1); }), "Dataset not in edit or insert mode");
}

TEST_F(FenTableTest, RangesLimitTheViewAndAnEmptyRangeReadsAsEof) {
  CreatePeople();
  TFenTable& t = Table();
  t.Open();
  for (int i = 1; i <= 9; ++i) AddRow(t, i, "p" + std::to_string(i));
  t.SetRange({3}, {6});
  EXPECT_EQ(Walk(t), (std::vector<int>{3, 4, 5, 6}));
  EXPECT_EQ(t.RecordCount(), 4);
  t.SetRange({7}, {7});
  EXPECT_EQ(Walk(t), (std::vector<int>{7}));
  t.SetRange({20}, {30});
  t.First();
  EXPECT_TRUE(t.Eof());
  EXPECT_TRUE(t.IsEmpty());
  // Bounds edited through the key state: a cancelled edit keeps the bound it had, a posted
  // cleared one without values is an open start.
  t.SetRangeStart();
  t.FieldByName("no").SetAsInteger(1);
  t.Cancel();
  t.ApplyRange();  // unchanged bounds: nothing to apply
  EXPECT_TRUE(t.IsEmpty());
  t.SetRangeStart();
  t.Post();
  t.SetRangeEnd();
  t.FieldByName("no").SetAsInteger(2);
  t.Post();
  t.ApplyRange();
  EXPECT_EQ(Walk(t), (std::vector<int>{1, 2}));
  t.CancelRange();
  EXPECT_EQ(Walk(t), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
  // A range on the secondary index.
  t.SetIndexName("ByName");
  t.SetRange({"p4"}, {"p5"});
  EXPECT_EQ(Walk(t), (std::vector<int>{4, 5}));
  t.SetIndexName("");  // switching the index lifts the range
  EXPECT_EQ(t.RecordCount(), 9);
}

// Locate answers the same through the active index and through the scan, and both agree with
// a plain model of the rows.
TEST_F(FenTableTest, LocateAgreesThroughTheIndexAndTheScan) {
  CreatePeople();
  TFenTable& t = Table();
  t.Open();
  const std::vector<std::pair<int, std::string>> rows = {
      {1, "Smith"}, {2, "smythe"}, {3, "Baker"}, {4, "Smallwood"}, {5, "baker"}, {6, "Zed"}};
  for (const auto& [no, name] : rows) AddRow(t, no, name);
  auto starts = [](const std::string& text, const std::string& prefix, bool ci) {
    if (text.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
      const char a = ci ? static_cast<char>(toupper(text[i])) : text[i];
      const char b = ci ? static_cast<char>(toupper(prefix[i])) : prefix[i];
      if (a != b) return false;
    }
    return true;
  };
  struct Case {
    std::string value;
    TLocateOptions options;
  };
  const Case cases[] = {{"Baker", 0},     {"baker", 0},           {"BAKER", loCaseInsensitive},
                        {"Sm", loPartialKey}, {"sm", loPartialKey}, {"SM", loPartialKey | loCaseInsensitive},
                        {"Nobody", 0},    {"Zed", loPartialKey},  {"Smallwood", 0}};
  for (const Case& c : cases) {
    const bool ci = (c.options & loCaseInsensitive) != 0;
    const bool partial = (c.options & loPartialKey) != 0;
    // The model: the matching names; any of them is a right answer for the scan, the first in
    // name order for the index.
    std::vector<std::string> matches;
    for (const auto& row : rows) {
      const bool equal = ci ? (row.second.size() == c.value.size() && starts(row.second, c.value, true))
                            : row.second == c.value;
      if (partial ? starts(row.second, c.value, ci) : equal) matches.push_back(row.second);
    }
    for (const char* index : {"ByName", ""}) {
      t.SetIndexName(index);
      t.First();
      const bool found = t.Locate("name", {TVariant(c.value)}, c.options);
      EXPECT_EQ(found, !matches.empty()) << c.value << " index '" << index << "'";
      if (found) {
        EXPECT_NE(std::find(matches.begin(), matches.end(), t.FieldByName("name").AsString()), matches.end())
            << c.value << " found " << t.FieldByName("name").AsString();
      }
    }
  }
  // Lookup through the index answers the row's other fields without moving.
  t.SetIndexName("ByName");
  t.First();
  const std::vector<TVariant> got = t.Lookup("name", {TVariant("Zed")}, "no;level");
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].AsString(), "6");
  EXPECT_EQ(got[1].AsString(), "60");
  EXPECT_EQ(t.FieldByName("name").AsString(), "Baker");
}

TEST_F(FenTableTest, AddIndexNeedsTheTableExclusively) {
  CreatePeople();
  TFenTable& t = Table();
  t.Open();
  for (int i = 1; i <= 3; ++i) AddRow(t, i, "x");
  EXPECT_NE(EngineCode([&] { t.AddIndex("ByLevel", "level", ixDescending); }), 0);  // shared: refused
  t.Close();
  int lastPercent = -1, reports = 0;
  t.OnIndexProgress = [&](TFenTable& table, int, int percent) {
    EXPECT_EQ(&table, &t);
    lastPercent = percent;
    ++reports;
  };
  t.AddIndex("ByLevel", "level", ixDescending);
  EXPECT_GT(reports, 0);
  EXPECT_EQ(lastPercent, 100);
  EXPECT_EQ(ErrorText([&] { t.AddIndex("Bad", "nosuchfield", 0); }).find("nosuchfield") != std::string::npos, true);
  t.UpdateIndexDefs();
  ASSERT_EQ(t.IndexDefs().Count(), 3);
  EXPECT_EQ(t.IndexDefs()[2].Name(), "ByLevel");
  EXPECT_EQ(t.IndexDefs()[2].Options(), ixDescending);
  t.SetIndexName("ByLevel");
  t.Open();
  EXPECT_EQ(Walk(t), (std::vector<int>{3, 2, 1}));
}

TEST_F(FenTableTest, FilterCallbackAndExpressionFiltersHideRecords) {
  CreatePeople();
  TFenTable& t = Table();
  t.Open();
  for (int i = 1; i <= 6; ++i) AddRow(t, i, "n");
  t.SetOnFilterRecord([](TDataSet& ds, bool& accept) { accept = ds.FieldByName("no").AsInteger() % 2 == 0; });
  t.SetFiltered(true);
  EXPECT_EQ(t.FieldByName("no").AsInteger(), 2);  // moved to the first accepted record
  EXPECT_EQ(Walk(t), (std::vector<int>{2, 4, 6}));
  EXPECT_EQ(t.RecordCount(), 3);
  t.Last();
  t.Prior();
  EXPECT_EQ(t.FieldByName("no").AsInteger(), 4);
  t.SetFiltered(false);
  EXPECT_EQ(t.RecordCount(), 6);
  // An expression filter is in force with the callback while Filtered is on.
  t.SetFilterText("no > 2");
  EXPECT_EQ(t.RecordCount(), 6);
  t.SetFiltered(true);
  EXPECT_EQ(Walk(t), (std::vector<int>{4, 6}));
  t.SetOnFilterRecord(nullptr);
  EXPECT_EQ(Walk(t), (std::vector<int>{3, 4, 5, 6}));
  EXPECT_EQ(t.RecordCount(), 4);
  // A bad text is refused and leaves the filter in force.
  EXPECT_NE(ErrorText([&] { t.SetFilterText("no > "); }), "");
  EXPECT_EQ(t.Filter(), "no > 2");
  EXPECT_EQ(Walk(t), (std::vector<int>{3, 4, 5, 6}));
  t.SetFilterText("");
  EXPECT_EQ(Walk(t), (std::vector<int>{1, 2, 3, 4, 5, 6}));
  // Reopening applies the stored text again.
  t.SetFilterText("no < 3");
  t.Close();
  t.Open();
  EXPECT_EQ(Walk(t), (std::vector<int>{1, 2}));
}

TEST_F(FenTableTest, DeleteMakesTheNextRecordCurrent) {
  CreatePeople();
  TFenTable& t = Table();
  t.Open();
  for (int i = 1; i <= 4; ++i) AddRow(t, i, "n" + std::to_string(i));
  t.First();
  t.Next();  // 2
  t.Delete();
  EXPECT_EQ(t.FieldByName("no").AsInteger(), 3);
  t.Last();
  t.Delete();
  EXPECT_EQ(t.FieldByName("no").AsInteger(), 3);
  EXPECT_EQ(Walk(t), (std::vector<int>{1, 3}));
}

TEST_F(FenTableTest, DuplicateKeyLeavesTheTableUsableAfterCancel) {
  CreatePeople();
  TFenTable& t = Table();
  t.Open();
  AddRow(t, 1, "one");
  t.Append();
  t.FieldByName("no").SetAsInteger(1);
  EXPECT_EQ(EngineCode([&] { t.Post(); }), 9729);
  EXPECT_EQ(t.State(), TDataSetState::dsInsert);
  t.Cancel();
  EXPECT_EQ(t.State(), TDataSetState::dsBrowse);
  AddRow(t, 2, "two");
  EXPECT_EQ(Walk(t), (std::vector<int>{1, 2}));
}

TEST_F(FenTableTest, ARecordLockOfOneSessionRefusesTheOthersEdit) {
  CreatePeople();
  TFenSession other;
  other.SetSessionName("LockOther");
  other.SetLockRetryCount(1);
  other.SetLockWaitTime(1);
  TFenTable& mine = Table();
  mine.Open();
  AddRow(mine, 1, "shared");
  TFenTable& theirs = Table("people", "LockOther");
  theirs.Open();
  ASSERT_FALSE(theirs.IsEmpty());
  mine.First();
  mine.Edit();
  mine.FieldByName("name").SetAsString("changed");
  EXPECT_EQ(EngineCode([&] { theirs.Edit(); }), 10258);
  EXPECT_EQ(theirs.State(), TDataSetState::dsBrowse);
  mine.Cancel();  // releases the lock
  theirs.Edit();
  theirs.FieldByName("name").SetAsString("theirs");
  theirs.Post();
  mine.Close();
  mine.Open();
  EXPECT_EQ(mine.FieldByName("name").AsString(), "theirs");
}

TEST_F(FenTableTest, ClosingTheDatabaseClosesItsTablesAndDeleteTableRemovesFiles) {
  CreatePeople();
  TFenTable& t = Table();
  t.Open();
  TFenDatabase* db = t.Database();
  ASSERT_NE(db, nullptr);
  db->Close();
  EXPECT_FALSE(t.Active());
  EXPECT_EQ(t.Database(), nullptr);
  ASSERT_NE(DataFile("people"), "");
  TFenTable& d = Table();
  d.DeleteTable();
  EXPECT_FALSE(d.Exists());
  EXPECT_EQ(DataFile("people"), "");
}

// A database made without a session lands in the default one; a table of another session that
// names it takes it over while it is closed.
TEST_F(FenTableTest, ADatabaseKeptInTheDefaultSessionMovesToTheTablesSession) {
  CreatePeople();
  TFenSession other;
  other.SetSessionName("AdoptOther");
  TFenDatabase db;
  db.SetDatabaseName("AdoptDb");
  db.SetDirectory(folder_);
  ASSERT_EQ(db.Session(), &Sessions().DefaultSession());
  TFenTable t;
  t.SetSessionName("adoptother");
  t.SetDatabaseName("AdoptDb");
  t.SetTableName("people");
  t.Open();
  EXPECT_EQ(t.Database(), &db);
  EXPECT_EQ(db.Session(), &other);
  EXPECT_FALSE(db.Temporary());
  EXPECT_EQ(Sessions().DefaultSession().FindDatabase("AdoptDb"), nullptr);
  t.Close();
  db.Close();
}

}  // namespace
}  // namespace tovenmarsh::dataset
