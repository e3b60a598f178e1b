// Record-set semantics over real engine tables: what becomes current after Delete at the ends
// and inside a range, the browse-mode check with memo changes, memo values surviving Cancel
// and a failed Post, and navigation around a failed fetch.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/database_error.h"
#include "dataset/fen_engine_error.h"
#include "dataset/fen_session.h"
#include "dataset/fen_table.h"
#include "platform/paths.h"
#include "platform/stream.h"

namespace tovenmarsh::dataset {
namespace {

int EngineCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    return e.ErrorCode();
  }
  return 0;
}

class FenTableSemanticsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = platform::SystemTempFolder() + "fensemXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    TFenTable make;
    make.SetTableName(folder_ + "t");
    make.FieldDefs().Add("no", ftInteger, 0, true);
    make.FieldDefs().Add("name", ftString, 20);
    make.FieldDefs().Add("note", ftMemo);
    make.IndexDefs().Add("", "no", ixPrimary | ixUnique);
    make.IndexDefs().Add("ByName", "name", 0);
    make.CreateTable();
    t_ = std::make_unique<TFenTable>();
    t_->SetTableName(folder_ + "t");
    t_->Open();
  }
  void TearDown() override {
    t_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  void Add(int no, const std::string& name, const std::string& note = "") {
    t_->Append();
    t_->FieldByName("no").SetAsInteger(no);
    t_->FieldByName("name").SetAsString(name);
    if (!note.empty()) t_->FieldByName("note").SetAsString(note);
    t_->Post();
  }
  int No() { return t_->FieldByName("no").AsInteger(); }
  std::vector<int> Walk() {
    std::vector<int> out;
    for (t_->First(); !t_->Eof(); t_->Next()) out.push_back(No());
    return out;
  }
  std::string folder_;
  std::unique_ptr<TFenTable> t_;
};

TEST_F(FenTableSemanticsTest, DeleteAtTheEndsAndOfTheLastRecord) {
  for (int i = 1; i <= 3; ++i) Add(i, "n" + std::to_string(i));
  t_->First();
  t_->Delete();
  EXPECT_EQ(No(), 2);
  EXPECT_FALSE(t_->Eof());
  t_->Last();
  t_->Delete();
  EXPECT_EQ(No(), 2);
  t_->Delete();
  EXPECT_TRUE(t_->IsEmpty());
  EXPECT_TRUE(t_->Eof());
  EXPECT_TRUE(t_->Bof());
  Add(7, "again");
  EXPECT_EQ(Walk(), std::vector<int>{7});
}

TEST_F(FenTableSemanticsTest, DeleteInsideARangeStaysInsideIt) {
  for (int i = 1; i <= 6; ++i) Add(i, "n" + std::to_string(i));
  t_->SetRange({TVariant(2)}, {TVariant(3)});
  EXPECT_EQ(Walk(), (std::vector<int>{2, 3}));
  t_->Last();
  t_->Delete();
  EXPECT_EQ(No(), 2);
  t_->Delete();
  EXPECT_TRUE(t_->IsEmpty());
  EXPECT_TRUE(t_->Eof());
  t_->CancelRange();
  EXPECT_EQ(Walk(), (std::vector<int>{1, 4, 5, 6}));
}

TEST_F(FenTableSemanticsTest, AFailedFetchAtTheEndReturnsFirst) {
  for (int i = 1; i <= 3; ++i) Add(i, "n" + std::to_string(i));
  t_->Last();
  t_->Next();
  EXPECT_TRUE(t_->Eof());
  EXPECT_EQ(No(), 3);
  t_->Prior();
  EXPECT_EQ(No(), 2);
  t_->First();
  t_->Prior();
  EXPECT_TRUE(t_->Bof());
  t_->Next();
  EXPECT_EQ(No(), 2);
}

TEST_F(FenTableSemanticsTest, MemoChangesArePostedByTheBrowseCheckAndDroppedByCancel) {
  Add(1, "a", "first");
  Add(2, "b", "second");
  t_->First();
  t_->Edit();
  t_->FieldByName("note").SetAsString("changed");
  t_->Next();  // the browse-mode check posts
  EXPECT_EQ(t_->State(), TDataSetState::dsBrowse);
  t_->First();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "changed");
  t_->Edit();
  t_->FieldByName("note").SetAsString("dropped");
  t_->Cancel();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "changed");
  t_->Close();
  t_->Open();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "changed");
  t_->Next();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "second");
}

TEST_F(FenTableSemanticsTest, AMemoOfAFailedInsertIsNotWrittenElsewhere) {
  Add(1, "a", "kept");
  t_->Append();
  t_->FieldByName("no").SetAsInteger(1);
  t_->FieldByName("note").SetAsString("refused");
  EXPECT_EQ(EngineCode([&] { t_->Post(); }), 9729);
  t_->FieldByName("no").SetAsInteger(2);
  t_->Post();
  t_->First();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "kept");
  t_->Next();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "refused");
  for (int i = 0; i < 100; ++i) {
    t_->Append();
    t_->FieldByName("no").SetAsInteger(1);
    t_->FieldByName("note").SetAsString("dup");
    EXPECT_EQ(EngineCode([&] { t_->Post(); }), 9729);
    t_->Cancel();
  }
  EXPECT_EQ(Walk(), (std::vector<int>{1, 2}));
  t_->First();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "kept");
}

TEST_F(FenTableSemanticsTest, EditOnSecondaryIndexMovesWithTheKey) {
  Add(1, "c");
  Add(2, "a");
  Add(3, "b");
  t_->SetIndexName("ByName");
  EXPECT_EQ(Walk(), (std::vector<int>{2, 3, 1}));
  t_->First();
  t_->Edit();
  t_->FieldByName("name").SetAsString("z");
  t_->Post();
  EXPECT_EQ(No(), 2);
  t_->Next();
  EXPECT_TRUE(t_->Eof());
  t_->First();
  t_->Delete();
  EXPECT_EQ(No(), 1);
  EXPECT_EQ(Walk(), (std::vector<int>{1, 2}));
}

TEST_F(FenTableSemanticsTest, AReadingStreamOutlivesAnIndexSwitchSafely) {
  Add(1, "b", "one");
  Add(2, "a", "two");
  t_->First();
  auto stream = t_->CreateBlobStream(t_->FieldByName("note"), TBlobStreamMode::bmRead);
  char c = 0;
  EXPECT_EQ(stream->Read(&c, 1), 1u);
  // The switch gives the data set record buffers of another size: the stream's value is gone.
  t_->SetIndexName("ByName");
  EXPECT_EQ(EngineCode([&] { stream->Read(&c, 1); }), 10030);
  stream.reset();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "two");
  t_->Edit();
  t_->FieldByName("note").SetAsString("changed");
  t_->Post();
  t_->Next();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "one");
}

TEST_F(FenTableSemanticsTest, AReadingStreamKeptWhileScrollingNeverReadsAnotherRecord) {
  Add(1, "a", "one");
  Add(2, "b", "two");
  Add(3, "c", "three");
  t_->First();
  auto stream = t_->CreateBlobStream(t_->FieldByName("note"), TBlobStreamMode::bmRead);
  t_->Next();
  t_->Next();
  auto other = t_->CreateBlobStream(t_->FieldByName("note"), TBlobStreamMode::bmRead);
  std::string got(8, '\0');
  size_t n = 0;
  // The value went with its record: the stale stream says so instead of reading "three".
  EXPECT_EQ(EngineCode([&] { n = stream->Read(got.data(), got.size()); }), 10030);
  EXPECT_EQ(n, 0u);
  stream.reset();
  std::string mine(8, '\0');
  mine.resize(other->Read(mine.data(), mine.size()));
  EXPECT_EQ(mine, "three");
  other.reset();
  t_->First();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "one");
}

TEST_F(FenTableSemanticsTest, DeleteUnderFiltersMakesTheNextVisibleRecordCurrent) {
  for (int i = 1; i <= 6; ++i) Add(i, i % 2 == 0 ? "even" : "odd");
  t_->SetFilterText("name = 'odd'");
  t_->SetFiltered(true);
  EXPECT_EQ(Walk(), (std::vector<int>{1, 3, 5}));
  t_->First();
  t_->Delete();
  EXPECT_EQ(No(), 3);
  t_->SetFiltered(false);
  t_->SetFilterText("");
  t_->SetOnFilterRecord([](TDataSet& ds, bool& accept) { accept = ds.FieldByName("no").AsInteger() >= 4; });
  t_->SetFiltered(true);
  EXPECT_EQ(Walk(), (std::vector<int>{4, 5, 6}));
  t_->First();
  t_->Delete();
  EXPECT_EQ(No(), 5);
  t_->Last();
  t_->Delete();
  EXPECT_EQ(No(), 5);
  EXPECT_EQ(t_->RecordCount(), 1);
}

TEST_F(FenTableSemanticsTest, ATableOutlivingItsSessionClosesCleanly) {
  Add(1, "a", "one");
  auto session = std::make_unique<TFenSession>();
  session->SetSessionName("Passing");
  TFenTable other;
  other.SetSessionName("Passing");
  other.SetTableName(folder_ + "t");
  other.Open();
  EXPECT_EQ(other.FieldByName("note").AsString(), "one");
  session.reset();
  EXPECT_FALSE(other.Active());
  other.Close();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "one");
}

TEST_F(FenTableSemanticsTest, StreamsKeptAcrossScrollsDoNotUseUpTheCursorsOpenValues) {
  for (int i = 1; i <= 70; ++i) Add(i, "n", "memo " + std::to_string(i));
  std::vector<std::unique_ptr<platform::TStream>> kept;
  int read = 0;
  for (t_->First(); !t_->Eof(); t_->Next()) {
    kept.push_back(t_->CreateBlobStream(t_->FieldByName("note"), TBlobStreamMode::bmRead));
    std::string text(16, '\0');
    text.resize(kept.back()->Read(text.data(), text.size()));
    EXPECT_EQ(text, "memo " + std::to_string(No()));
    ++read;
  }
  EXPECT_EQ(read, 70);
  kept.clear();
  t_->First();
  t_->Edit();
  t_->FieldByName("note").SetAsString("still writable");
  t_->Post();
  EXPECT_EQ(t_->FieldByName("note").AsString(), "still writable");
}

TEST_F(FenTableSemanticsTest, BookmarksOfDeletedRecordsAndOtherIndexesAreRefused) {
  for (int i = 1; i <= 4; ++i) Add(i, "n" + std::to_string(i));
  t_->First();
  t_->Next();
  const TBookmark second = t_->GetBookmark();
  t_->Delete();
  EXPECT_EQ(No(), 3);
  EXPECT_THROW(t_->GotoBookmark(second), platform::Exception);
  EXPECT_EQ(No(), 3);
  t_->Next();
  EXPECT_EQ(No(), 4);
  const TBookmark fourth = t_->GetBookmark();
  t_->SetIndexName("ByName");
  t_->First();
  EXPECT_THROW(t_->GotoBookmark(fourth), platform::Exception);
  EXPECT_EQ(No(), 1);
  t_->Next();
  EXPECT_EQ(No(), 3);
}

// Another table object deletes the record this one shows while its cursor stands elsewhere
// (past the end): operations that only keep the position go to the nearest record instead of
// failing; going back to that record exactly fails, naming the table.
TEST_F(FenTableSemanticsTest, ARecordDeletedByAnotherTableObjectIsStoodNearNotFailedOn) {
  struct TCase {
    const char* name;
    std::function<void(TFenTable&)> operation;
  };
  const std::vector<TCase> cases = {
      {"Refresh", [](TFenTable& t) { t.Refresh(); }},
      {"CancelRange", [](TFenTable& t) { t.CancelRange(); }},
      {"SetIndexName", [](TFenTable& t) { t.SetIndexName("ByName"); }},
      {"SetIndexName back", [](TFenTable& t) { t.SetIndexName(""); }},
  };
  for (int i = 1; i <= 3; ++i) Add(i, "n" + std::to_string(i));
  TFenTable other;
  other.SetTableName(folder_ + "t");
  other.Open();
  int next = 4;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    Add(next, "n" + std::to_string(next));
    ++next;
    const std::vector<int> before = Walk();  // past the end, showing the last record
    ASSERT_TRUE(t_->Eof());
    const int gone = No();
    other.Refresh();
    other.Last();
    ASSERT_EQ(other.FieldByName("no").AsInteger(), gone);
    other.Delete();
    EXPECT_NO_THROW(c.operation(*t_));
    std::vector<int> left(before.begin(), before.end() - 1);
    if (t_->IndexName().empty()) {
      EXPECT_EQ(Walk(), left);
    }
  }
  // Going back to a deleted record exactly is refused, naming the table.
  t_->Last();
  const TBookmark bookmark = t_->GetBookmark();
  other.Refresh();
  other.Last();
  other.Delete();
  try {
    t_->GotoBookmark(bookmark);
    ADD_FAILURE() << "a deleted record's bookmark was accepted";
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.ErrorCode(), 8710);
    EXPECT_NE(std::string(e.what()).find("Record not found in table 't.DAT'"), std::string::npos) << e.what();
  }
}

TEST_F(FenTableSemanticsTest, ARecordEditedOutOfTheRangeLeavesTheView) {
  for (int i = 1; i <= 5; ++i) Add(i, "n" + std::to_string(i));
  t_->SetRange({TVariant(2)}, {TVariant(3)});
  t_->First();
  t_->Edit();
  t_->FieldByName("no").SetAsInteger(10);
  t_->Post();
  EXPECT_EQ(No(), 3);
  EXPECT_EQ(Walk(), std::vector<int>{3});
  t_->First();
  t_->Insert();
  t_->FieldByName("no").SetAsInteger(2);
  t_->Post();
  EXPECT_EQ(No(), 2);
  EXPECT_EQ(Walk(), (std::vector<int>{2, 3}));
  t_->CancelRange();
  EXPECT_EQ(Walk(), (std::vector<int>{1, 2, 3, 4, 5, 10}));
}

TEST_F(FenTableSemanticsTest, LocateRoutesAgreeOnEdgeValues) {
  Add(1, "Alpha");
  Add(2, "beta");
  Add(3, "");
  struct Case {
    const char* value;
    TLocateOptions options;
  };
  const Case cases[] = {{"Alpha", 0}, {"alpha", 0}, {"alpha", loCaseInsensitive}, {"Al", loPartialKey},
                        {"be", loPartialKey | loCaseInsensitive}, {"BE", loPartialKey}, {"", 0},
                        {"zeta", loPartialKey}, {"Alpha ", 0}};
  for (const Case& c : cases) {
    t_->SetIndexName("");
    t_->First();
    const bool scan = t_->Locate("name", {TVariant(c.value)}, c.options);
    const int scanNo = scan ? No() : 0;
    t_->SetIndexName("ByName");
    t_->First();
    const bool index = t_->Locate("name", {TVariant(c.value)}, c.options);
    EXPECT_EQ(scan, index) << "'" << c.value << "' " << int(c.options);
    if (scan && index) {
      EXPECT_EQ(scanNo, No()) << c.value;
    }
  }
}

}  // namespace
}  // namespace tovenmarsh::dataset
