// Tables following other tables and writing out: a detail table over its master (the range
// follows the master's moves, index switches and closing; new details take the master's key;
// circular links are refused), new records copied from the current one, and FlushBuffers
// putting an exclusive table's changes into its files.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/data_link.h"
#include "dataset/database_error.h"
#include "dataset/fen_session.h"
#include "dataset/fen_table.h"
#include "platform/paths.h"

namespace tovenmarsh::dataset {
namespace {

class FenTableLinksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = platform::SystemTempFolder() + "fenlinksXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    TFenTable company;
    company.SetTableName(folder_ + "company");
    company.FieldDefs().Add("no", ftAutoInc, 0, true);
    company.FieldDefs().Add("name", ftString, 50, true);
    company.FieldDefs().Add("bounce", ftBoolean);
    company.FieldDefs().Add("note", ftMemo);
    company.IndexDefs().Add("", "no", ixPrimary | ixUnique);
    company.CreateTable();
    TFenTable domain;
    domain.SetTableName(folder_ + "domain");
    domain.FieldDefs().Add("companyno", ftInteger, 0, true);
    domain.FieldDefs().Add("name", ftString, 64, true);
    domain.IndexDefs().Add("", "name", ixPrimary | ixUnique | ixCaseInsensitive);
    domain.IndexDefs().Add("companyno", "companyno", 0);
    domain.CreateTable();
  }
  void TearDown() override {
    tables_.clear();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  TFenTable& Table(const std::string& name) {
    tables_.push_back(std::make_unique<TFenTable>());
    tables_.back()->SetTableName(folder_ + name);
    return *tables_.back();
  }

  static std::vector<std::string> Names(TFenTable& t) {
    std::vector<std::string> out;
    for (t.First(); !t.Eof(); t.Next()) out.push_back(t.FieldByName("name").AsString());
    return out;
  }

  std::string folder_;
  std::vector<std::unique_ptr<TFenTable>> tables_;
};

TEST_F(FenTableLinksTest, ADetailFollowsItsMaster) {
  TFenTable& company = Table("company");
  company.Open();
  for (const char* name : {"acme", "globex", "initech"}) {
    company.Append();
    company.FieldByName("name").SetAsString(name);
    company.Post();
  }
  TFenTable& domain = Table("domain");
  domain.Open();
  const std::pair<int, const char*> rows[] = {
      {1, "acme.com"}, {2, "globex.org"}, {1, "acme.net"}, {3, "initech.io"}, {2, "globex.net"}};
  for (auto [no, name] : rows) {
    domain.Append();
    domain.FieldByName("companyno").SetAsInteger(no);
    domain.FieldByName("name").SetAsString(name);
    domain.Post();
  }
  domain.Close();

  TDataSource source;
  source.SetDataSet(&company);
  domain.SetIndexName("companyno");
  domain.SetMasterFields("no");
  domain.SetMasterSource(&source);
  company.First();
  domain.Open();  // the master's range applies at open
  EXPECT_EQ(Names(domain), (std::vector<std::string>{"acme.com", "acme.net"}));
  company.Next();
  EXPECT_EQ(domain.RecordCount(), 2);
  EXPECT_EQ(domain.FieldByName("name").AsString(), "globex.org");
  company.Last();
  EXPECT_EQ(Names(domain), (std::vector<std::string>{"initech.io"}));

  // A new detail takes the master's key; it stays in view after Post.
  domain.Append();
  EXPECT_EQ(domain.FieldByName("companyno").AsInteger(), 3);
  domain.FieldByName("name").SetAsString("initech.com");
  domain.Post();
  EXPECT_EQ(Names(domain), (std::vector<std::string>{"initech.io", "initech.com"}));

  // A change of another master field leaves the detail where it is.
  domain.First();
  domain.Next();
  company.Edit();
  company.FieldByName("bounce").SetAsBoolean(true);
  EXPECT_EQ(domain.FieldByName("name").AsString(), "initech.com");
  company.Post();

  // Switching the detail's index keeps the link: the range is set again on the new index,
  // and the primary index (on name) cannot hold the company number: nothing shows.
  domain.SetIndexName("");
  EXPECT_TRUE(domain.IsEmpty());
  domain.SetIndexName("companyno");
  company.First();
  EXPECT_EQ(Names(domain), (std::vector<std::string>{"acme.com", "acme.net"}));

  // A chain back to the detail is refused; leaving the link shows every row.
  TDataSource detailSource;
  detailSource.SetDataSet(&domain);
  try {
    company.SetMasterSource(&detailSource);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Circular datalinks are not allowed");
  }
  EXPECT_EQ(company.MasterSource(), nullptr);
  company.Close();  // the link goes inactive: the range is lifted
  EXPECT_EQ(domain.RecordCount(), 6);
  company.Open();
  EXPECT_EQ(domain.RecordCount(), 2);
  domain.SetMasterSource(nullptr);
  EXPECT_EQ(domain.RecordCount(), 6);
}

TEST_F(FenTableLinksTest, CopyOnAppendStartsFromTheCurrentRecord) {
  TFenTable& company = Table("company");
  company.Open();
  company.Append();
  company.FieldByName("name").SetAsString("acme");
  company.FieldByName("bounce").SetAsBoolean(true);
  company.FieldByName("note").SetAsString("memo of acme");
  company.Post();
  company.SetCopyOnAppend(true);
  for (bool append : {true, false}) {
    SCOPED_TRACE(append ? "Append" : "Insert");
    company.First();
    append ? company.Append() : company.Insert();
    // Values copied, the memo too; the number is the new record's own.
    EXPECT_EQ(company.FieldByName("name").AsString(), "acme");
    EXPECT_TRUE(company.FieldByName("bounce").AsBoolean());
    EXPECT_EQ(company.FieldByName("note").AsString(), "memo of acme");
    company.FieldByName("name").SetAsString(append ? "appended" : "inserted");
    if (!append) company.FieldByName("note").SetAsString("memo of the copy");
    company.Post();
  }
  EXPECT_EQ(Names(company), (std::vector<std::string>{"acme", "appended", "inserted"}));
  // Each copy owns its memo: changing one leaves the original alone.
  company.First();
  EXPECT_EQ(company.FieldByName("note").AsString(), "memo of acme");
  company.Next();
  EXPECT_EQ(company.FieldByName("note").AsString(), "memo of acme");
  company.Last();
  EXPECT_EQ(company.FieldByName("no").AsInteger(), 3);
  EXPECT_EQ(company.FieldByName("note").AsString(), "memo of the copy");
  // A cancelled copy releases its open values: many in a row stay within the engine's budget.
  for (int i = 0; i < 100; ++i) {
    company.Append();
    company.Cancel();
  }
  EXPECT_EQ(company.RecordCount(), 3);
  // Without the flag a new record starts from the defaults.
  company.SetCopyOnAppend(false);
  company.Append();
  EXPECT_TRUE(company.FieldByName("name").IsNull());
  company.Cancel();
  // An empty table has nothing to copy.
  TFenTable& domain = Table("domain");
  domain.SetCopyOnAppend(true);
  domain.Open();
  domain.Append();
  EXPECT_TRUE(domain.FieldByName("name").IsNull());
  domain.Cancel();
}

TEST_F(FenTableLinksTest, FlushBuffersPutsAnExclusiveTablesChangesIntoItsFiles) {
  TFenTable& closed = Table("company");
  EXPECT_THROW(closed.FlushBuffers(), EDatabaseError);
  TFenTable& company = Table("company");
  company.SetExclusive(true);
  company.Open();
  for (int i = 0; i < 20; ++i) {
    company.Append();
    company.FieldByName("name").SetAsString("company " + std::to_string(i));
    company.Post();
  }
  company.FlushBuffers();
  // A copy of the files as they lie on disk now holds every row.
  const std::string copy = folder_ + "copy/";
  std::filesystem::create_directory(copy);
  for (const auto& entry : std::filesystem::directory_iterator(folder_)) {
    const std::string name = entry.path().filename().string();
    if (SameFenName(name.substr(0, 8), "company.")) std::filesystem::copy_file(entry.path(), copy + name);
  }
  TFenTable& copied = Table("copy");
  copied.SetTableName(copy + "company");
  copied.Open();
  EXPECT_EQ(copied.RecordCount(), 20);
  copied.Last();
  EXPECT_EQ(copied.FieldByName("name").AsString(), "company 19");
  // Read-only and shared tables flush without complaint.
  TFenTable& shared = Table("domain");
  shared.SetReadOnly(true);
  shared.Open();
  shared.FlushBuffers();
}

}  // namespace
}  // namespace tovenmarsh::dataset
