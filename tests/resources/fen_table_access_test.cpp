// The resources over real table files: creation of the missing tables, and the table
// resources and lookup controls driving the record-set layer in a scratch folder.
#include "resources/fen_table_access.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "dataset/fen_table.h"
#include "platform/paths.h"
#include "resources/account_control.h"
#include "resources/alias_control.h"
#include "resources/mailbox_control.h"
#include "resources/pop_mail_control.h"
#include "resources/table_def_builder.h"
#include "resources/table_resources.h"
#include "support/resource_fixture.h"

namespace tovenmarsh::resources {
namespace {

namespace fs = std::filesystem;

class FenTableAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = platform::SystemTempFolder() + "wiringXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
  }
  void TearDown() override {
    pool_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  // Creates the tables and a pool of the nine table resources over them.
  TResourcePool& Pool() {
    if (!pool_) {
      CreateDatabaseTables(folder_);
      pool_ = std::make_unique<TResourcePool>(2000);
      testing::RegisterTestTablePools(*pool_, FenTableOpener(folder_), 3);
    }
    return *pool_;
  }

  void Insert(int pool, std::initializer_list<std::pair<int, TFieldValue>> fields) {
    TResourceLease<> resource(Pool(), pool);
    resource->BeginWork();
    resource->Insert();
    for (const auto& [position, value] : fields) resource->Table().SetField(position, value);
    resource->Post();
    resource->CommitWork();
  }

  int Count(int pool) {
    TResourceLease<> resource(Pool(), pool);
    int n = 0;
    for (resource->Table().First(); !resource->Table().Eof(); resource->Table().Next()) ++n;
    return n;
  }

  // Files of the folder by name with their contents.
  std::map<std::string, std::string> Files() const {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      std::ifstream in(entry.path(), std::ios::binary);
      files[entry.path().filename().string()] =
          std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return files;
  }

  std::string folder_;
  std::unique_ptr<TResourcePool> pool_;
};

TEST_F(FenTableAccessTest, CreatesTheMissingTablesAndLeavesTheOthersAlone) {
  CreateDatabaseTables(folder_);
  for (const TAppTableDef* table : TableCreationOrder()) {
    EXPECT_TRUE(TableFileExists(folder_, *table)) << table->fileName;
  }
  // Put a row into extaccount and company so that a re-creation would show.
  Insert(piCompany, {{company::name, std::string("Acme")}});
  Insert(piExtAccount, {{extaccount::mailserver, std::string("pop.x")},
                        {extaccount::mailusr, std::string("u")},
                        {extaccount::accountno, 1}});
  pool_.reset();
  const auto before = Files();

  CreateDatabaseTables(folder_);
  EXPECT_EQ(Files(), before) << "a second run touched existing tables";

  fs::remove(TableFilePath(folder_, *TableDefByName("extaccount.dat")));
  CreateDatabaseTables(folder_);
  const auto after = Files();
  EXPECT_TRUE(TableFileExists(folder_, *TableDefByName("extaccount.dat")));
  for (const auto& [name, content] : before) {
    if (name.rfind("extaccount", 0) == 0) continue;
    EXPECT_EQ(after.at(name), content) << name << " changed";
  }
  EXPECT_EQ(Count(piExtAccount), 0);
  EXPECT_EQ(Count(piCompany), 1);
}

TEST_F(FenTableAccessTest, CreatedTablesReadBackTheirDefinitions) {
  CreateDatabaseTables(folder_);
  for (const TAppTableDef* definition : TableCreationOrder()) {
    SCOPED_TRACE(std::string(definition->fileName));
    dataset::TFenTable table;
    table.SetTableName(folder_ + std::string(definition->fileName));
    table.Open();
    const dataset::TFieldDefs& fields = table.FieldDefs();
    ASSERT_EQ(fields.Count(), static_cast<int>(definition->fields.size()));
    for (int i = 0; i < fields.Count(); ++i) {
      const TAppFieldDef& expected = definition->fields[static_cast<size_t>(i)];
      EXPECT_EQ(fields[i].Name(), expected.name);
      EXPECT_EQ(fields[i].DataType(), DatasetFieldType(expected.type)) << expected.name;
      if (expected.type == TAppFieldType::String) {
        EXPECT_EQ(fields[i].Size(), expected.size) << expected.name;
      }
      EXPECT_EQ(fields[i].Required(), expected.required) << expected.name;
    }
    table.UpdateIndexDefs();
    const dataset::TIndexDefs& indexes = table.IndexDefs();
    ASSERT_EQ(indexes.Count(), static_cast<int>(definition->indexes.size()));
    for (int i = 0; i < indexes.Count(); ++i) {
      const TAppIndexDef& expected = definition->indexes[static_cast<size_t>(i)];
      EXPECT_EQ(indexes[i].Name(), expected.name);
      EXPECT_EQ(indexes[i].Fields(), expected.fields);
      EXPECT_EQ(indexes[i].Options() & DatasetIndexOptions(expected), DatasetIndexOptions(expected))
          << expected.fields;
    }
    table.Close();
  }
}

TEST_F(FenTableAccessTest, ResourcesStampAndReadBackEveryFieldType) {
  Insert(piDocument, {{document::description, std::string("subject")},
                      {document::to, std::string("a@x.test")}});
  TResourceLease<> doc(Pool(), piDocument);
  TTableAccess& t = doc->Table();
  t.First();
  ASSERT_FALSE(t.Eof());
  EXPECT_EQ(t.GetInt(document::no), 1);  // auto-increment
  EXPECT_EQ(t.GetString(document::description), "subject");
  EXPECT_EQ(t.GetInt(document::level), 0);
  EXPECT_FALSE(t.GetBool(document::indexed));
  EXPECT_GT(t.GetDate(document::created), 40000.0);
  EXPECT_EQ(t.Field(document::replyto), TFieldValue{});  // never set: null
  EXPECT_EQ(doc->SessionName().rfind("RunTimeSession", 0), 0u);
}

TEST_F(FenTableAccessTest, MemoFieldsRoundTrip) {
  const std::string text = "line 1\r\n.\r\nline 3\r\n" + std::string(3000, 'x');
  Insert(piDocument, {{document::content, text}});
  TResourceLease<> doc(Pool(), piDocument);
  doc->Table().First();
  EXPECT_EQ(doc->Table().GetString(document::content), text);
  // A null memo reads as empty; an edit replaces the text.
  doc->BeginWork();
  doc->Edit();
  doc->Table().SetField(document::content, std::string("short"));
  doc->Post();
  doc->CommitWork();
  doc->Table().Refresh();
  doc->Table().First();
  EXPECT_EQ(doc->Table().GetString(document::content), "short");
}

TEST_F(FenTableAccessTest, ControlsOverRealTables) {
  Insert(piCompany, {{company::name, std::string("Acme")}});
  Insert(piCompany, {{company::name, std::string("Other")}});
  Insert(piDomain, {{domain::companyno, 1}, {domain::name, std::string("Acme.Test")}});
  Insert(piDomain, {{domain::companyno, 2}, {domain::name, std::string("other.test")}});
  Insert(piAccount, {{account::no, 7}, {account::fullname, std::string("Ann")},
                     {account::pass, std::string("pw")}, {account::active, true}});
  Insert(piAlias, {{alias::name, std::string("ann")}, {alias::companyno, 1}, {alias::accountno, 7},
                   {alias::active, true}});
  Insert(piAlias, {{alias::name, std::string("info")}, {alias::companyno, 1}, {alias::accountno, 7}});
  Insert(piAlias, {{alias::name, std::string("info")}, {alias::companyno, 2}, {alias::maillist, true}});
  Insert(piMaillist, {{maillist::name, std::string("info")}, {maillist::companyno, 2},
                      {maillist::forwardusr, std::string("b")},
                      {maillist::forwarddomain, std::string("y.test")}});
  Insert(piMaillist, {{maillist::name, std::string("info")}, {maillist::companyno, 2},
                      {maillist::forwardusr, std::string("a")},
                      {maillist::forwarddomain, std::string("y.test")}});

  {
    TAccountControl accounts(Pool());
    TAccountRec rec;
    rec.name = "user7";
    EXPECT_TRUE(accounts.GetAccount(rec));
    EXPECT_EQ(rec.fullname, "Ann");
    EXPECT_EQ(rec.pass, "pw");
    EXPECT_TRUE(rec.active);
    TAccountRec missing;
    missing.no = 8;
    EXPECT_FALSE(accounts.GetAccount(missing));
  }

  struct Case {
    std::string name, domain;
    int companyno, result, companyOut, accountOut;
    std::string domainOut;
  };
  const std::vector<Case> cases = {
      {"ann", "acme.test", 0, 1, 1, 7, "Acme.Test"},    // domain in other letter case
      {"ANN", "ACME.TEST", 0, 1, 1, 7, "Acme.Test"},    // alias name without regard to case
      {"info", "other.test", 0, 1, 2, 0, "other.test"},
      {"info", "", 0, -1, 0, 0, ""},                    // every company: two
      {"ann", "", 0, 1, 1, 7, ""},
      {"info", "unknown.test", 0, 0, 0, 0, "unknown.test"},  // not a local domain
      {"nobody", "acme.test", 0, 0, 1, 0, "Acme.Test"},
      {"info", "", 1, 1, 1, 7, ""},
  };
  TAliasControl aliases(Pool());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + "@" + c.domain);
    TAliasRec rec;
    rec.name = c.name;
    rec.domain = c.domain;
    rec.companyno = c.companyno;
    EXPECT_EQ(aliases.FindAlias(rec), c.result);
    EXPECT_EQ(rec.companyno, c.companyOut);
    EXPECT_EQ(rec.accountno, c.accountOut);
    EXPECT_EQ(rec.domain, c.domainOut);
  }
  TAliasRec list;
  list.name = "info";
  list.companyno = 2;
  TMaillistRecs members;
  EXPECT_EQ(aliases.GetListMembers(list, members), 2);
  ASSERT_EQ(members.size(), 2u);
  EXPECT_EQ(members[0].forwardusr, "a");
  EXPECT_EQ(members[1].forwardusr, "b");
  TCompanyRec acme;
  acme.no = 1;
  EXPECT_TRUE(aliases.GetCompany(acme));
  EXPECT_EQ(acme.name, "Acme");
  EXPECT_TRUE(acme.bounce);
  EXPECT_FALSE(acme.postmaster);
}

TEST_F(FenTableAccessTest, MailboxAndUidlRoundTrips) {
  TMailBoxControl mailbox(Pool());
  EXPECT_EQ(mailbox.AddMessage(7, {"id-b", 20, 2, false}), 1);
  EXPECT_EQ(mailbox.AddMessage(7, {"id-a", 10, 1, false}), 1);
  EXPECT_EQ(mailbox.AddMessage(8, {"id-c", 30, 3, false}), 1);

  TMailDropRecs list;
  EXPECT_EQ(mailbox.ListMessages(9, list), 0);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(mailbox.ListMessages(7, list), 30);
  ASSERT_EQ(list.size(), 2u);
  {
    TResourceLease<> rows(Pool(), piMailbox);
    for (rows->Table().First(); !rows->Table().Eof(); rows->Table().Next()) {
      const bool listed = rows->Table().GetInt(mailbox::accountno) == 7;
      EXPECT_EQ(rows->Table().GetDate(mailbox::lastretr) > 0, listed)
          << rows->Table().GetString(mailbox::id);
    }
  }
  list[0].deleted = true;
  const std::string gone = list[0].id;
  EXPECT_TRUE(mailbox.DeleteMarked(list));
  list.clear();
  EXPECT_EQ(mailbox.ListMessages(7, list), gone == "id-a" ? 20 : 10);
  ASSERT_EQ(list.size(), 1u);
  EXPECT_NE(list[0].id, gone);

  TPOPMailBoxControl uidls(Pool());
  TExtMailDropRecs stored = {{"box", "u1", 45000.5, ""}, {"box", "u2", 45001.5, ""}};
  EXPECT_TRUE(uidls.ReplaceUIDLs("box", stored));
  EXPECT_TRUE(uidls.ReplaceUIDLs("other", {{"other", "x", 45000.0, ""}}));
  TExtMailDropRecs read;
  EXPECT_EQ(uidls.ListUIDLs("box", read), 2);
  ASSERT_EQ(read.size(), 2u);
  EXPECT_EQ(read[0].uidl, "u1");
  EXPECT_EQ(read[1].uidl, "u2");
  EXPECT_DOUBLE_EQ(read[1].created, 45001.5);
  EXPECT_TRUE(uidls.ReplaceUIDLs("box", {}));
  read.clear();
  EXPECT_EQ(uidls.ListUIDLs("box", read), 0);
  EXPECT_EQ(uidls.ListUIDLs("other", read), 1);
}

// A pooled resource goes back to the pool wherever its borrower left it; the row it stood on
// may then be deleted through another resource. The next borrower's reset must land on a row
// that exists, or on none, and never fail.
TEST_F(FenTableAccessTest, ResetAfterAnotherResourceDeletedItsRowNeverFails) {
  struct TCase {
    const char* name;
    const char* index;   // index the first borrower reads by
    int account;         // its range (0: none)
    bool stopOnFirst;    // stands on the first row read (else reads past the last one)
    bool deleteAll;      // the other resource deletes every row, not only the one stood on
  };
  const std::vector<TCase> cases = {
      {"past the end of a range", "accountno", 7, false, false},
      {"past the end of the primary index", "", 0, false, false},
      {"on the first row of a range", "accountno", 7, true, false},
      {"on the first row of the primary index", "", 0, true, false},
      {"past the end, every row deleted", "accountno", 7, false, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    {
      TResourceLease<> clear(Pool(), piMailbox);
      clear->BeginWork();
      for (clear->Table().First(); !clear->Table().Eof();) clear->Delete();
      clear->CommitWork();
    }
    for (const char* id : {"m1", "m2", "m3"}) {
      Insert(piMailbox, {{mailbox::id, std::string(id)}, {mailbox::accountno, 7}});
    }
    Insert(piMailbox, {{mailbox::id, std::string("m4")}, {mailbox::accountno, 8}});

    TResourceItem* first = Pool().Acquire(piMailbox);
    TResourceItem* other = Pool().Acquire(piMailbox);
    ASSERT_NE(first, other);
    TTableAccess& rows = static_cast<TDatabaseResource*>(first)->Table();
    rows.SetIndex(c.index);
    if (c.account != 0) rows.SetRange({c.account});
    std::string stoodOn;
    for (rows.First(); !rows.Eof(); rows.Next()) {
      stoodOn = rows.GetString(mailbox::id);
      if (c.stopOnFirst) break;
    }
    auto& deleter = *static_cast<TDatabaseResource*>(other);
    deleter.BeginWork();
    if (c.deleteAll) {
      for (deleter.Table().First(); !deleter.Table().Eof();) deleter.Delete();
    } else {
      ASSERT_TRUE(deleter.Table().FindKey({stoodOn}));
      deleter.Delete();
    }
    deleter.CommitWork();
    Pool().Release(piMailbox, other);
    Pool().Release(piMailbox, first);

    std::unique_ptr<TResourceLease<>> next;
    ASSERT_NO_THROW(next = std::make_unique<TResourceLease<>>(Pool(), piMailbox));
    ASSERT_EQ(next->Get(), first) << "the pool hands out the same resource";
    TTableAccess& table = (*next)->Table();
    const size_t left = c.deleteAll ? 0u : 3u;
    if (table.Eof()) {
      EXPECT_EQ(left, 0u);
    } else {
      EXPECT_NE(table.GetString(mailbox::id), stoodOn);
    }
    std::vector<std::string> seen;
    for (table.First(); !table.Eof(); table.Next()) seen.push_back(table.GetString(mailbox::id));
    EXPECT_EQ(seen.size(), left);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), stoodOn), 0);
    EXPECT_EQ(table.RecordCount(), static_cast<int>(left));
  }
}

TEST_F(FenTableAccessTest, CompanyDeleteCascadesThroughRealTables) {
  Insert(piCompany, {{company::name, std::string("Acme")}});
  Insert(piCompany, {{company::name, std::string("Keep")}});
  Insert(piDomain, {{domain::companyno, 1}, {domain::name, std::string("acme.test")}});
  Insert(piDomain, {{domain::companyno, 2}, {domain::name, std::string("keep.test")}});
  Insert(piAlias, {{alias::name, std::string("list")}, {alias::companyno, 1}, {alias::maillist, true}});
  Insert(piAlias, {{alias::name, std::string("list")}, {alias::companyno, 2}, {alias::maillist, true}});
  for (int companyno : {1, 2}) {
    Insert(piMaillist, {{maillist::name, std::string("list")}, {maillist::companyno, companyno},
                        {maillist::forwardusr, std::string("m")},
                        {maillist::forwarddomain, std::string("z.test")}});
  }
  const std::vector<int> slots = {Pool().FreeSlots(piAlias), Pool().FreeSlots(piDomain)};
  {
    TResourceLease<> companies(Pool(), piCompany);
    ASSERT_TRUE(companies->Table().FindKey({1}));
    companies->BeginWork();
    companies->Delete();
    companies->CommitWork();
  }
  EXPECT_EQ(Count(piCompany), 1);
  EXPECT_EQ(Count(piDomain), 1);
  EXPECT_EQ(Count(piAlias), 1);
  EXPECT_EQ(Count(piMaillist), 1);
  EXPECT_EQ((std::vector<int>{Pool().FreeSlots(piAlias), Pool().FreeSlots(piDomain)}), slots);
}

TEST_F(FenTableAccessTest, ThreadsWritingThroughTheirOwnResourcesLoseNothing) {
  TResourcePool& pool = Pool();
  constexpr int kThreads = 3;
  constexpr int kRows = 20;
  {
    // Every resource is opened before the threads write: opening a table while another
    // session writes it fails today with engine error 8961 (reported).
    std::vector<std::unique_ptr<TResourceLease<>>> held;
    for (int t = 0; t < kThreads; ++t) held.push_back(std::make_unique<TResourceLease<>>(pool, piMailbox));
  }
  std::vector<std::thread> threads;
  std::vector<std::string> failures(kThreads);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&pool, &failures, t] {
      try {
        TMailBoxControl mailbox(pool);
        for (int i = 0; i < kRows; ++i) {
          mailbox.AddMessage(t + 1, {"id-" + std::to_string(t) + "-" + std::to_string(i), i, t, false});
        }
      } catch (const std::exception& e) {
        failures[static_cast<size_t>(t)] = e.what();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::string& failure : failures) EXPECT_EQ(failure, "");
  // A resource that existed while the others wrote sees their rows too.
  EXPECT_EQ(Count(piMailbox), kThreads * kRows);
  {
    auto fresh = OpenFenTable(*TableDefByName("mailbox.dat"), folder_, 9999);
    int n = 0;
    for (fresh->First(); !fresh->Eof(); fresh->Next()) ++n;
    EXPECT_EQ(n, kThreads * kRows) << "primary index of a new resource";
    fresh->SetIndex("accountno");
    n = 0;
    for (fresh->First(); !fresh->Eof(); fresh->Next()) ++n;
    EXPECT_EQ(n, kThreads * kRows) << "secondary index of a new resource";
    EXPECT_EQ(fresh->RecordCount(), kThreads * kRows);
  }
  TMailBoxControl mailbox(pool);
  for (int t = 0; t < kThreads; ++t) {
    TMailDropRecs list;
    EXPECT_EQ(mailbox.ListMessages(t + 1, list), kRows * (kRows - 1) / 2);
    EXPECT_EQ(list.size(), static_cast<size_t>(kRows));
  }
}

}  // namespace
}  // namespace tovenmarsh::resources
