// Data sources and links: state and scroll notifications, disabled controls, a detail data
// set following its master through the master link, circular links, and teardown in any order.
#include <gtest/gtest.h>

#include "dataset/data_link.h"
#include "dataset/database_error.h"
#include "support/fixtures.h"

namespace tovenmarsh::dataset::testing {
namespace {

class RecordingLink : public TDataLink {
 public:
  std::string log;

 protected:
  void ActiveChanged() override { log += Active() ? "active " : "inactive "; }
  void EditingChanged() override { log += Editing() ? "editing " : "browsing "; }
  void DataSetChanged() override { log += "changed "; }
  void DataSetScrolled() override { log += "scrolled "; }
  void RecordChanged(TField* field) override { log += field ? "field:" + field->FieldName() + " " : "record "; }
  void UpdateData() override { log += "update "; }
  void CheckBrowseMode() override { log += "check "; }
};

// A detail data set over a table whose "level" holds the master's "no".
class DetailDataSet : public TMemoryDataSet {
 public:
  explicit DetailDataSet(std::shared_ptr<TMemoryTable> table) : TMemoryDataSet(std::move(table)) {
    link.OnMasterChange = [this] {
      if (!Active()) return;
      int32_t no = link.Fields()[0]->AsInteger();
      SetRange(2, no, no);
      First();
    };
    link.OnMasterDisable = [this] {
      CancelRange();
      if (Active()) First();
    };
  }
  void SetMasterSource(TDataSource* source) {
    CheckMasterSource(this, source);
    link.SetDataSource(source);
  }
  TDataSource* GetDataSource() const override { return link.DataSource(); }
  TMasterDataLink link;
};

TEST(DataLinkTest, LinksFollowStateAndMoves) {
  auto table = MakePeopleTable();
  TMemoryDataSet ds(table);
  TDataSource source;
  RecordingLink link;
  link.SetDataSource(&source);
  source.SetDataSet(&ds);
  int stateChanges = 0;
  source.OnStateChange = [&](TDataSource&) { ++stateChanges; };
  ds.Open();
  FillPeople(ds, 3);
  ds.First();
  link.log.clear();
  ds.Next();
  EXPECT_EQ(link.log, "check scrolled ");
  link.log.clear();
  ds.Edit();
  ds.FieldByName("name").SetAsString("x");
  ds.Post();
  EXPECT_EQ(link.log, "check editing record field:name update check browsing changed ");

  link.log.clear();
  ds.DisableControls();
  ds.Next();
  ds.Prior();
  EXPECT_EQ(link.log, "");
  ds.EnableControls();
  EXPECT_EQ(link.log, "changed ");
  ds.Close();
  EXPECT_EQ(link.log, "changed inactive ");
  EXPECT_GE(stateChanges, 4);
}

TEST(DataLinkTest, DetailFollowsTheMaster) {
  auto masters = MakePeopleTable();
  auto details = MakePeopleTable();
  TMemoryDataSet master(masters);
  master.Open();
  FillPeople(master, 3);
  DetailDataSet detail(details);
  detail.Open();
  for (int i = 1; i <= 6; ++i) {  // two details for each master, in "level"
    detail.Append();
    detail.FieldByName("no").SetAsInteger(100 + i);
    detail.FieldByName("level").SetAsInteger((i + 1) / 2);
    detail.Post();
  }
  TDataSource masterSource;
  masterSource.SetDataSet(&master);
  detail.link.SetFieldNames("no");
  detail.SetMasterSource(&masterSource);
  master.First();
  EXPECT_EQ(Walk(detail), (std::vector<int>{101, 102}));
  master.Next();
  EXPECT_EQ(detail.FieldByName("no").AsInteger(), 103);
  master.Last();
  EXPECT_EQ(Walk(detail), (std::vector<int>{105, 106}));
  // A change of another master field does not move the detail.
  master.Edit();
  detail.First();
  detail.Next();
  master.FieldByName("name").SetAsString("zz");
  EXPECT_EQ(detail.FieldByName("no").AsInteger(), 106);
  master.Cancel();
  // Leaving the link shows everything again.
  detail.SetMasterSource(nullptr);
  EXPECT_EQ(detail.RecordCount(), 6);

  // A master chain that leads back to the detail is refused.
  TDataSource detailSource;
  detailSource.SetDataSet(&detail);
  DetailDataSet third(details);
  third.link.SetFieldNames("no");
  third.SetMasterSource(&detailSource);
  TDataSource thirdSource;
  thirdSource.SetDataSet(&third);
  try {
    detail.SetMasterSource(&thirdSource);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
  }
  EXPECT_THROW(CheckMasterSource(&detail, &detailSource), EDatabaseError);
  EXPECT_TRUE(detailSource.IsLinkedTo(&third));
  EXPECT_FALSE(thirdSource.IsLinkedTo(&detail));
}

TEST(DataLinkTest, TeardownInAnyOrder) {
  auto table = MakePeopleTable();
  {
    auto ds = std::make_unique<TMemoryDataSet>(table);
    TDataSource source;
    RecordingLink link;
    link.SetDataSource(&source);
    source.SetDataSet(ds.get());
    ds->Open();
    ds.reset();  // the source forgets it, the link goes inactive
    EXPECT_EQ(source.DataSet(), nullptr);
    EXPECT_FALSE(link.Active());
  }
  {
    TMemoryDataSet ds(table);
    auto source = std::make_unique<TDataSource>();
    RecordingLink link;
    link.SetDataSource(source.get());
    source->SetDataSet(&ds);
    ds.Open();
    EXPECT_TRUE(link.Active());
    source.reset();
    EXPECT_EQ(link.DataSource(), nullptr);
    EXPECT_FALSE(link.Active());
    ds.First();  // no source left to notify
  }
}

}  // namespace
}  // namespace tovenmarsh::dataset::testing
