// Locate, Lookup and the record-filter callback over the scanning search of the data set.
#include <gtest/gtest.h>

#include "dataset/database_error.h"
#include "support/fixtures.h"

namespace tovenmarsh::dataset::testing {
namespace {

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table = MakePeopleTable();
    ds = std::make_unique<TMemoryDataSet>(table);
    ds->Open();
    const char* names[] = {"Smith", "smythe", "Jones", "", "Smi*th", "*"};
    for (int i = 0; i < 6; ++i) {
      ds->Append();
      ds->FieldByName("no").SetAsInteger(i + 1);
      ds->FieldByName("name").SetAsString(names[i]);
      ds->FieldByName("level").SetAsInteger(i % 2);
      ds->Post();
    }
    ds->First();
  }
  int No() { return ds->FieldByName("no").AsInteger(); }
  std::shared_ptr<TMemoryTable> table;
  std::unique_ptr<TMemoryDataSet> ds;
};

TEST_F(SearchTest, LocateStringKeysWithOptions) {
  struct Case {
    const char* value;
    TLocateOptions options;
    int expect;  // "no" found, 0 = not found
  } cases[] = {
      {"Smith", 0, 1},
      {"smith", 0, 0},
      {"smith", loCaseInsensitive, 1},
      {"Sm", 0, 0},
      {"Sm", loPartialKey, 1},
      {"sm", loPartialKey, 2},
      {"SM", loPartialKey, 0},
      {"smy", loPartialKey | loCaseInsensitive, 2},
      {"Smi*", loPartialKey, 1},         // the trailing asterisk is dropped
      {"Smi*t", loPartialKey, 5},        // an inner one is an ordinary character
      {"*", loPartialKey, 6},            // a lone asterisk is compared as itself
      {"", 0, 4},                        // empty finds the null name
      {"Nobody", loPartialKey, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.value) + " options " + std::to_string(c.options));
    ds->Last();
    ds->Prior();  // start on 5
    bool found = ds->Locate("name", {TVariant(c.value)}, c.options);
    EXPECT_EQ(found, c.expect != 0);
    EXPECT_EQ(No(), c.expect ? c.expect : 5);  // not found: the active record stays
    if (!found) {
      ds->Next();  // the scan moved the cursor; the next move starts from the active record
      EXPECT_EQ(No(), 6);
    } else if (c.expect < 6) {
      ds->Next();
      EXPECT_EQ(No(), c.expect + 1);
    }
  }
}

TEST_F(SearchTest, LocateOtherTypesAndSeveralFields) {
  EXPECT_TRUE(ds->Locate("level;name", {TVariant(1), TVariant("Jones")}, 0) == false);
  EXPECT_TRUE(ds->Locate("level;name", {TVariant(0), TVariant("Jones")}, 0));
  EXPECT_EQ(No(), 3);
  EXPECT_TRUE(ds->Locate("no", {TVariant("5")}, loCaseInsensitive));  // options leave numbers alone
  EXPECT_EQ(No(), 5);
  EXPECT_TRUE(ds->Locate("note", {TVariant()}, 0));  // null matches null
  EXPECT_EQ(No(), 1);
  EXPECT_FALSE(ds->Bof());
  try {
    ds->Locate("level;name", {TVariant(1)}, 0);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Number of key values does not match the key fields 'level;name'");
  }
  EXPECT_THROW(ds->Locate("nosuch", {TVariant(1)}, 0), EDatabaseError);
}

TEST_F(SearchTest, LocatePostsAPendingEdit) {
  ds->Edit();
  ds->FieldByName("name").SetAsString("Edited");
  EXPECT_TRUE(ds->Locate("name", {TVariant("Edited")}, 0));
  EXPECT_EQ(ds->State(), TDataSetState::dsBrowse);
  EXPECT_EQ(No(), 1);
}

TEST_F(SearchTest, LookupDoesNotMove) {
  ds->Next();
  auto values = ds->Lookup("name", {TVariant("Jones")}, "no;level");
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0], TVariant(3));
  EXPECT_EQ(values[1], TVariant(0));
  EXPECT_EQ(No(), 2);
  ds->Next();
  EXPECT_EQ(No(), 3);
  auto none = ds->Lookup("name", {TVariant("jones")}, "no");  // exact and case-sensitive
  ASSERT_EQ(none.size(), 1u);
  EXPECT_TRUE(none[0].IsNull());
}

TEST_F(SearchTest, FilterCallbackSeesEachRecordInFilterState) {
  int calls = 0;
  ds->SetOnFilterRecord([&](TDataSet& d, bool& accept) {
    ++calls;
    EXPECT_EQ(d.State(), TDataSetState::dsFilter);
    int no = d.FieldByName("no").AsInteger();
    if (no == 4) throw EDatabaseError("handler failed");  // keeps Accept (true)
    accept = d.FieldByName("level").AsInteger() == 1;
  });
  ds->SetFiltered(true);
  EXPECT_EQ(Walk(*ds), (std::vector<int>{2, 4, 6}));
  EXPECT_GT(calls, 0);
  EXPECT_EQ(ds->State(), TDataSetState::dsBrowse);
  EXPECT_TRUE(ds->Locate("no", {TVariant(6)}, 0));
  EXPECT_FALSE(ds->Locate("no", {TVariant(5)}, 0));
  ds->SetFiltered(false);
  EXPECT_EQ(ds->RecordCount(), 6);
}

TEST_F(SearchTest, FindRecordAppliesTheCallbackWithoutFiltering) {
  ds->SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = d.FieldByName("level").AsInteger() == 1; });
  EXPECT_TRUE(ds->FindFirst());
  EXPECT_EQ(No(), 2);
  EXPECT_TRUE(ds->FindNext());
  EXPECT_EQ(No(), 4);
  EXPECT_TRUE(ds->FindNext());
  EXPECT_EQ(No(), 6);
  EXPECT_FALSE(ds->FindNext());
  EXPECT_EQ(No(), 6);
  EXPECT_TRUE(ds->FindPrior());
  EXPECT_EQ(No(), 4);
  EXPECT_TRUE(ds->FindLast());
  EXPECT_EQ(No(), 6);
  ds->Prior();  // the data set itself is not filtered
  EXPECT_EQ(No(), 5);
  ds->SetOnFilterRecord([](TDataSet&, bool& accept) { accept = false; });
  EXPECT_FALSE(ds->FindFirst());
  EXPECT_EQ(No(), 5);
  ds->Next();  // the failed search leaves the cursor where the next move finds the active record
  EXPECT_EQ(No(), 6);
}

}  // namespace
}  // namespace tovenmarsh::dataset::testing
