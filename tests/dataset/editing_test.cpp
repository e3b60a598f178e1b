// Editing through the data set: edit, insert with defaults, post, cancel, the browse-mode
// check, record locks between two data sets, duplicate keys, writable states, required
// fields, per-record resources, BLOB values, calculated fields and bookmarks.
#include <gtest/gtest.h>

#include "dataset/database_error.h"
#include "engine/base/engine_error.h"
#include "support/fixtures.h"

namespace tovenmarsh::dataset::testing {
namespace {

class EditingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table = MakePeopleTable();
    ds = std::make_unique<TMemoryDataSet>(table);
    ds->Open();
    FillPeople(*ds, 3);
    ds->First();
  }
  TField& F(const char* name) { return ds->FieldByName(name); }
  std::shared_ptr<TMemoryTable> table;
  std::unique_ptr<TMemoryDataSet> ds;
};

template <typename Fn>
std::string ErrorText(Fn fn) {
  try {
    fn();
  } catch (const platform::Exception& e) {
    return e.Message();
  }
  return "(no exception)";
}

TEST_F(EditingTest, EditPostAndCancel) {
  ds->Edit();
  EXPECT_EQ(ds->State(), TDataSetState::dsEdit);
  F("name").SetAsString("changed");
  EXPECT_TRUE(ds->Modified());
  ds->Cancel();  // restores the stored value
  EXPECT_EQ(ds->State(), TDataSetState::dsBrowse);
  EXPECT_EQ(F("name").AsString(), "p1");

  ds->Edit();
  F("name").SetAsString("kept");
  ds->Post();
  EXPECT_EQ(F("name").AsString(), "kept");
  ds->Close();
  ds->Open();
  EXPECT_EQ(F("name").AsString(), "kept");
}

TEST_F(EditingTest, BrowseModeCheckPostsModifiedAndCancelsUnmodified) {
  ds->Edit();
  F("level").SetAsInteger(42);
  ds->Next();  // the move posts the modified edit first
  EXPECT_EQ(ds->State(), TDataSetState::dsBrowse);
  ds->Prior();
  EXPECT_EQ(F("level").AsInteger(), 42);

  int posts = 0, cancels = 0;
  ds->AfterPost = [&](TDataSet&) { ++posts; };
  ds->AfterCancel = [&](TDataSet&) { ++cancels; };
  ds->Edit();
  ds->Next();  // nothing changed: cancelled, not posted
  EXPECT_EQ(posts, 0);
  EXPECT_EQ(cancels, 1);
  ds->Insert();  // an insert with only its defaults is cancelled the same way
  ds->First();
  EXPECT_EQ(cancels, 2);
  EXPECT_EQ(ds->RecordCount(), 3);
  // The lock of an unmodified edit was released by the cancel.
  TMemoryDataSet other(table);
  other.Open();
  EXPECT_NO_THROW(other.Edit());
  other.Cancel();
}

TEST_F(EditingTest, InsertTakesDefaultsAndCancelReturns) {
  ds->Next();  // on 2
  ds->Insert();
  EXPECT_EQ(ds->State(), TDataSetState::dsInsert);
  EXPECT_EQ(F("name").AsString(), "anon");
  EXPECT_EQ(F("level").AsInteger(), 7);
  EXPECT_TRUE(F("no").IsNull());
  EXPECT_EQ(ds->RecNo(), -1);
  EXPECT_TRUE(ds->GetBookmark().empty());
  ds->Cancel();
  EXPECT_EQ(F("no").AsInteger(), 2);

  ds->Append();
  F("no").SetAsInteger(10);
  ds->Post();
  EXPECT_EQ(F("no").AsInteger(), 10);
  EXPECT_EQ(F("level").AsInteger(), 7);
  EXPECT_EQ(ds->RecordCount(), 4);
  ds->Append();
  ds->Cancel();  // an append cancelled lands on the last record
  EXPECT_EQ(F("no").AsInteger(), 10);
}

TEST_F(EditingTest, EditOfAnEmptyDataSetInserts) {
  auto emptyTable = MakePeopleTable();
  TMemoryDataSet empty(emptyTable);
  empty.Open();
  empty.Edit();
  EXPECT_EQ(empty.State(), TDataSetState::dsInsert);
  empty.FieldByName("no").SetAsInteger(5);
  empty.Post();
  EXPECT_EQ(empty.RecordCount(), 1);
  EXPECT_FALSE(empty.Eof());
}

TEST_F(EditingTest, DuplicateKeyLeavesTheDataSetUsableAfterCancel) {
  ds->Append();
  F("no").SetAsInteger(2);
  EXPECT_THROW(ds->Post(), engine::EFenEngineError);
  EXPECT_EQ(ds->State(), TDataSetState::dsInsert);  // the user may correct and post again
  ds->Cancel();
  EXPECT_EQ(ds->State(), TDataSetState::dsBrowse);
  EXPECT_EQ(Walk(*ds), (std::vector<int>{1, 2, 3}));
  ds->Append();
  F("no").SetAsInteger(4);
  ds->Post();
  EXPECT_EQ(ds->RecordCount(), 4);

  ds->First();
  ds->Edit();
  F("no").SetAsInteger(3);
  try {
    ds->Post();
    FAIL();
  } catch (const engine::EFenEngineError& e) {
    EXPECT_EQ(e.Code(), engine::kErrDuplicateKey);
  }
  ds->Cancel();
  EXPECT_EQ(F("no").AsInteger(), 1);
}

TEST_F(EditingTest, RecordLockOfOneDataSetStopsTheOthersEditUntilCancel) {
  TMemoryDataSet other(table);
  other.Open();
  ds->Edit();
  try {
    other.Edit();
    FAIL();
  } catch (const engine::EFenEngineError& e) {
    EXPECT_EQ(e.Code(), engine::kErrRecordInUse);
  }
  EXPECT_EQ(other.State(), TDataSetState::dsBrowse);
  EXPECT_THROW(other.Delete(), engine::EFenEngineError);
  other.Next();  // another record is free
  EXPECT_NO_THROW(other.Edit());
  other.Cancel();
  ds->Cancel();
  other.First();
  EXPECT_NO_THROW(other.Edit());
  other.FieldByName("level").SetAsInteger(1);
  other.Post();
  ds->Refresh();
  EXPECT_EQ(F("level").AsInteger(), 1);
  // Closing a data set in edit state releases its lock as well.
  ds->Edit();
  ds->Close();
  EXPECT_NO_THROW(other.Edit());
}

TEST_F(EditingTest, WritesOutsideEditingStatesAreRefused) {
  EXPECT_EQ(ErrorText([&] { F("name").SetAsString("x"); }), "Dataset not in edit or insert mode");
  EXPECT_EQ(ErrorText([&] { F("level").Clear(); }), "Dataset not in edit or insert mode");
  EXPECT_EQ(ErrorText([&] { ds->Post(); }), "Dataset not in edit or insert mode");
  EXPECT_EQ(F("name").AsString(), "p1");
}

TEST(EditingClosedTest, WritingAFieldOfAClosedDataSetRaises) {
  auto table = MakePeopleTable();
  TMemoryDataSet ds(table);
  TField& no = ds.AddField(std::make_unique<TIntegerField>(), "no");
  EXPECT_EQ(ErrorText([&] { no.SetAsInteger(1); }), "Dataset not in edit or insert mode");
  EXPECT_TRUE(no.IsNull());
}

TEST_F(EditingTest, ReadOnlyFieldsDataSetsAndRequiredFields) {
  F("name").SetReadOnly(true);
  ds->Edit();
  EXPECT_EQ(ErrorText([&] { F("name").SetAsString("x"); }), "Field 'name' cannot be modified");
  ds->Cancel();
  F("name").SetReadOnly(false);

  ds->Append();
  EXPECT_EQ(ErrorText([&] { ds->Post(); }), "Field 'no' must have a value");
  ds->Cancel();

  ds->SetReadOnly(true);
  EXPECT_EQ(ErrorText([&] { ds->Edit(); }), "Cannot modify a read-only dataset");
  EXPECT_EQ(ErrorText([&] { ds->Insert(); }), "Cannot modify a read-only dataset");
}

TEST_F(EditingTest, PerRecordResourcesAreFreedAfterPostAndCancel) {
  int before = ds->FreeFieldBuffersCalls();
  ds->Edit();
  F("note").SetAsString("memo text");
  EXPECT_EQ(ds->PendingBlobs(), 1);
  ds->Post();
  EXPECT_EQ(ds->PendingBlobs(), 0);
  EXPECT_EQ(ds->FreeFieldBuffersCalls(), before + 1);
  ds->Edit();
  F("note").SetAsString("discarded");
  ds->Cancel();
  EXPECT_EQ(ds->PendingBlobs(), 0);
  EXPECT_EQ(ds->FreeFieldBuffersCalls(), before + 2);
  EXPECT_EQ(F("note").AsString(), "memo text");
}

TEST_F(EditingTest, MemoValuesRoundTripAndEmptyTextClears) {
  std::string big(1 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7 + 3);
  ds->Edit();
  F("note").SetAsString(big);
  ds->Post();
  ds->Next();
  ds->Prior();
  EXPECT_EQ(F("note").AsString(), big);
  EXPECT_FALSE(F("note").IsNull());
  ds->Edit();
  F("note").SetAsString("");
  ds->Post();
  EXPECT_TRUE(F("note").IsNull());
  EXPECT_EQ(F("note").AsString(), "");
  // A stream in write mode outside editing is refused; reading an empty data set gives 0 bytes.
  EXPECT_EQ(ErrorText([&] { ds->CreateBlobStream(F("note"), TBlobStreamMode::bmWrite); }),
            "Dataset not in edit or insert mode");
  EXPECT_EQ(ErrorText([&] { ds->CreateBlobStream(F("no"), TBlobStreamMode::bmRead); }),
            "Field 'no' is not a BLOB field");
}

TEST_F(EditingTest, ManyPostsEachWritingAMemo) {
  for (int i = 0; i < 1000; ++i) {
    ds->Edit();
    F("note").SetAsString("memo " + std::to_string(i));
    ds->Post();
  }
  EXPECT_EQ(F("note").AsString(), "memo 999");
  EXPECT_EQ(ds->PendingBlobs(), 0);
}

TEST_F(EditingTest, CalculatedFieldsAreComputedPerRecord) {
  ds->Close();
  ds->AddField(std::make_unique<TIntegerField>(), "no");
  ds->AddField(std::make_unique<TStringField>(10), "name");
  TField& twice = ds->AddField(std::make_unique<TIntegerField>(), "twice", TFieldKind::fkCalculated);
  ds->OnCalcFields = [&](TDataSet& d) {
    d.FieldByName("twice").SetAsInteger(d.FieldByName("no").AsInteger() * 2);
  };
  ds->Open();
  EXPECT_EQ(ds->FieldCount(), 3);  // persistent fields only
  EXPECT_LT(twice.FieldNo(), 0);
  EXPECT_EQ(twice.AsInteger(), 2);
  ds->Next();
  EXPECT_EQ(twice.AsInteger(), 4);
  EXPECT_EQ(ErrorText([&] { twice.SetAsInteger(1); }), "Dataset not in edit or insert mode");
  EXPECT_EQ(ErrorText([&] { ds->FieldByName("level"); }), "Field 'level' not found");
  ds->Close();
  EXPECT_EQ(ds->FieldCount(), 3);  // persistent fields survive a close
}

TEST_F(EditingTest, PersistentFieldsTakeTheSizeOfTheirDefinition) {
  ds->Close();
  TField& name = ds->AddField(std::make_unique<TStringField>(2), "name");
  ds->Open();
  EXPECT_EQ(name.Size(), 10);  // a smaller declared size would cut or overrun the value
  EXPECT_EQ(name.AsString(), "p1");
  ds->Edit();
  name.SetAsString("0123456789abc");
  ds->Post();
  EXPECT_EQ(name.AsString(), "0123456789");
  EXPECT_EQ(ds->FieldCount(), 1);
}

TEST_F(EditingTest, PersistentFieldOfTheWrongTypeIsRefusedAtOpen) {
  ds->Close();
  ds->AddField(std::make_unique<TBooleanField>(), "no");
  EXPECT_EQ(ErrorText([&] { ds->Open(); }), "Type mismatch for field 'no', expecting: Boolean actual: Integer");
  EXPECT_FALSE(ds->Active());
}

TEST_F(EditingTest, Bookmarks) {
  ds->Next();
  TBookmark second = ds->GetBookmark();
  ds->Last();
  TBookmark third = ds->GetBookmark();
  ds->GotoBookmark(second);
  EXPECT_EQ(F("no").AsInteger(), 2);
  EXPECT_FALSE(ds->Bof());
  EXPECT_EQ(ds->CompareBookmarks(second, third), -1);
  EXPECT_EQ(ds->CompareBookmarks(third, second), 1);
  EXPECT_EQ(ds->CompareBookmarks(second, second), 0);
  EXPECT_EQ(ds->CompareBookmarks({}, {}), 0);
  EXPECT_EQ(ds->CompareBookmarks(second, {}), -1);
  EXPECT_EQ(ds->CompareBookmarks({}, second), 1);
  EXPECT_TRUE(ds->BookmarkValid(third));

  // A bookmark of another size (taken under another index) is refused, not misread.
  ds->SetBookmarkWidth(8);
  ds->ForceLayout();
  ds->First();
  EXPECT_FALSE(ds->BookmarkValid(second));
  EXPECT_EQ(ErrorText([&] { ds->GotoBookmark(second); }), "Bookmark does not belong to the current index");
  EXPECT_EQ(F("no").AsInteger(), 1);
  TBookmark wide = ds->GetBookmark();
  EXPECT_EQ(wide.size(), 8u);

  // A deleted record's bookmark.
  ds->Delete();
  EXPECT_FALSE(ds->BookmarkValid(wide));
  EXPECT_THROW(ds->GotoBookmark(wide), engine::EFenEngineError);
  EXPECT_EQ(F("no").AsInteger(), 2);  // still usable
  ds->Next();
  EXPECT_EQ(F("no").AsInteger(), 3);
}

TEST_F(EditingTest, EventsRunInOrder) {
  std::string log;
  ds->BeforeEdit = [&](TDataSet&) { log += "be "; };
  ds->AfterEdit = [&](TDataSet&) { log += "ae "; };
  ds->BeforePost = [&](TDataSet&) { log += "bp "; };
  ds->AfterPost = [&](TDataSet&) { log += "ap "; };
  ds->OnNewRecord = [&](TDataSet& d) {
    log += "new ";
    d.FieldByName("level").SetAsInteger(3);
  };
  ds->BeforeDelete = [&](TDataSet&) { log += "bd "; };
  ds->AfterDelete = [&](TDataSet&) { log += "ad "; };
  ds->Edit();
  F("level").SetAsInteger(1);
  ds->Post();
  ds->Insert();
  EXPECT_EQ(F("level").AsInteger(), 3);
  EXPECT_FALSE(ds->Modified());  // values from OnNewRecord do not count as changes
  F("no").SetAsInteger(9);
  ds->Post();
  ds->Delete();
  EXPECT_EQ(log, "be ae bp ap new bp ap bd ad ");
}

}  // namespace
}  // namespace tovenmarsh::dataset::testing
