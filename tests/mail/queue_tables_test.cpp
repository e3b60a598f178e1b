// The installation's batch writers over real tables: mailbox rows of one batch are added all
// or none (a batch whose one row cannot be added leaves no row of it behind), and the document
// store adds a batch and then knows which queue files have a row.
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/store/document_archive.h"
#include "mail/store/mail_directory.h"
#include "platform/paths.h"
#include "resources/fen_table_access.h"
#include "resources/mailbox_control.h"
#include "resources/resource_pool.h"
#include "resources/table_resources.h"

namespace tovenmarsh::mail {
namespace {

namespace fs = std::filesystem;

class QueueTables : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = platform::SystemTempFolder() + "queuetablesXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    resources::CreateDatabaseTables(folder_);
    auto pool = std::make_unique<resources::TResourcePool>(2000);
    const resources::TTableOpener opener = resources::FenTableOpener(folder_);
    resources::RegisterTablePools(*pool, opener, 1, 3);
    resources::SetDatabasePool(std::move(pool));
  }
  void TearDown() override {
    resources::SetDatabasePool(nullptr);
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  static std::set<std::string> MailboxIds(int accountNo) {
    resources::TMailBoxControl control;
    resources::TMailDropRecs list;
    control.ListMessages(accountNo, list);
    std::set<std::string> ids;
    for (const resources::TMailDropRec& rec : list) ids.insert(rec.id);
    return ids;
  }

  std::string folder_;
};

TEST_F(QueueTables, MailboxBatchIsAddedAllOrNone) {
  auto row = [](int account, const std::string& id) {
    return TMailboxAddition{account, resources::TMailDropRec{id, 10, 1, false}};
  };
  const std::unique_ptr<TMailDirectory> directory = OpenInstallationDirectory();
  size_t added = 99;
  directory->AddMessages({row(1, "m1"), row(1, "m2"), row(2, "m3")}, added);
  EXPECT_EQ(added, 3u);
  // "m2" is taken (ids are the table's key): nothing of this batch may stay in.
  added = 99;
  EXPECT_THROW(directory->AddMessages({row(1, "m4"), row(1, "m2"), row(2, "m5")}, added), std::exception);
  EXPECT_EQ(added, 0u);
  EXPECT_EQ(MailboxIds(1), (std::set<std::string>{"m1", "m2"}));
  EXPECT_EQ(MailboxIds(2), (std::set<std::string>{"m3"}));
  // The same directory goes on working after the failed batch.
  directory->AddMessages({row(2, "m5")}, added);
  EXPECT_EQ(added, 1u);
  EXPECT_EQ(MailboxIds(2), (std::set<std::string>{"m3", "m5"}));
}

TEST_F(QueueTables, DocumentStoreAddsABatchAndFindsItsRows) {
  TDocumentStore& store = InstallationDocumentStore();
  std::vector<TDocumentRow> rows;
  for (const char* name : {"q1", "q2", "q3"}) {
    TDocumentRow row = BuildDocumentRow("Subject: s\r\nFrom: <a@b.test>\r\n\r\nbody\r\n", "", name);
    rows.push_back(row);
  }
  size_t added = 0;
  store.AddDocuments(rows, added);
  EXPECT_EQ(added, 3u);
  for (const char* name : {"q1", "q2", "q3"}) EXPECT_TRUE(store.HasDocument(name)) << name;
  for (const char* name : {"q4", "q", ""}) EXPECT_FALSE(store.HasDocument(name)) << name;
}

}  // namespace
}  // namespace tovenmarsh::mail
