// Table resources: a borrower never inherits its predecessor's pending change or open
// transaction; insert and edit stamps; distinct sessions and databases; cascading deletes and
// their failure handling.
#include "resources/database_resource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "core/log.h"
#include "platform/date_time.h"
#include "resources/table_resources.h"
#include "support/resource_fixture.h"

namespace tovenmarsh::resources {
namespace {

using testing::TTestResources;

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(DatabaseResource, ResetDropsThePreviousBorrowersUnfinishedWork) {
  const std::string logPath = std::string(TM_BINARY_DIR) + "/resources_reset_test.log";
  std::remove(logPath.c_str());
  ASSERT_TRUE(core::OpenLog(logPath));
  TTestResources env(1);
  env.Insert(piMailbox, {{mailbox::id, std::string("KEEP")}, {mailbox::accountno, 1}});

  // A borrower that fails half-way: one row posted inside its transaction, another row's edit
  // pending, and the resource given back without commit or rollback.
  TResourceItem* item = env.Pool().Acquire(piMailbox);
  auto* first = static_cast<TDatabaseResource*>(item);
  first->BeginWork();
  first->Insert();
  first->Table().SetField(mailbox::id, std::string("HALF"));
  first->Table().SetField(mailbox::accountno, 1);
  first->Post();
  ASSERT_TRUE(first->Table().FindKey({std::string("KEEP")}));
  first->Edit();
  first->Table().SetField(mailbox::size, 999);
  first->Table().SetIndex("accountno");
  first->Table().SetRange({77});
  env.Pool().Release(piMailbox, item);

  {
    TResourceLease<> next(env.Pool(), piMailbox);
    ASSERT_EQ(next.Get(), first) << "the pool hands out the same resource";
    EXPECT_EQ(next->Table().State(), TTableState::Browse);
    EXPECT_FALSE(next->Table().InTransaction());
    EXPECT_EQ(next->Table().RecordCount(), 1) << "range lifted and the half-done row rolled back";
    next->BeginWork();
    next->CommitWork();
  }
  core::CloseLog();
  auto rows = env.Rows(piMailbox);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(std::get<std::string>(rows[0][mailbox::id]), "KEEP");
  EXPECT_TRUE(std::holds_alternative<std::monostate>(rows[0][mailbox::size]))
      << "the pending edit was not posted";
  const std::string log = ReadFile(logPath);
  EXPECT_NE(log.find("Pending change on mailbox.dat cancelled by reset"), std::string::npos) << log;
  EXPECT_NE(log.find("Open transaction on mailbox.dat rolled back by reset"), std::string::npos)
      << log;
  std::remove(logPath.c_str());
}

TEST(DatabaseResource, ResourcesCreatedTogetherHaveTheirOwnSessionAndDatabase) {
  TTestResources env(4);
  std::set<std::string> sessions, databases;
  std::vector<std::unique_ptr<TResourceLease<>>> held;
  for (int index = piAccount; index <= piDocument; ++index) {
    for (int i = 0; i < 2; ++i) {
      held.push_back(std::make_unique<TResourceLease<>>(env.Pool(), index));
      sessions.insert(held.back()->Get()->SessionName());
      databases.insert(held.back()->Get()->DatabaseName());
    }
  }
  EXPECT_EQ(sessions.size(), held.size());
  EXPECT_EQ(databases.size(), held.size());
  const std::string name = held[0]->Get()->SessionName();
  EXPECT_EQ(name.rfind("RunTimeSession", 0), 0u) << name;
  EXPECT_EQ(held[0]->Get()->DatabaseName(),
            "RunTimeDatabase" + std::to_string(held[0]->Get()->Number()));
  const auto& opened = env.Database().OpenedNumbers();
  EXPECT_EQ(std::set<int>(opened.begin(), opened.end()).size(), opened.size());
}

TEST(DatabaseResource, InsertAndEditStampTheirDefaults) {
  TTestResources env;
  const platform::TDateTime before = platform::Now();
  env.Insert(piAccount, {{account::no, 5}});
  env.Insert(piExtAccount, {{extaccount::mailserver, std::string("pop.example")},
                            {extaccount::mailusr, std::string("u")}});
  env.Insert(piExtAccount, {{extaccount::mailserver, std::string("pop.example")},
                            {extaccount::mailusr, std::string("v")}});
  env.Insert(piAlias, {{alias::name, std::string("info")}, {alias::companyno, 1}});
  env.Insert(piMaillist, {{maillist::name, std::string("l")}, {maillist::companyno, 1},
                          {maillist::forwardusr, std::string("a")},
                          {maillist::forwarddomain, std::string("b")}});
  env.Insert(piCompany, {{company::name, std::string("Acme")}});
  env.Insert(piCompany, {{company::name, std::string("Beta")}, {company::bounce, false}});
  env.Insert(piDomain, {{domain::companyno, 1}, {domain::name, std::string("acme.example")}});
  env.Insert(piMailbox, {{mailbox::id, std::string("M1")}, {mailbox::accountno, 5}});
  env.Insert(piExtMailbox, {{extmailbox::id, std::string("X")}, {extmailbox::no, 0}});
  env.Insert(piDocument, {{document::level, 7}, {document::indexed, true}});
  const platform::TDateTime after = platform::Now();

  struct Stamp {
    int pool;
    int created;
  };
  for (Stamp s : {Stamp{piAccount, account::created}, Stamp{piExtAccount, extaccount::created},
                  Stamp{piAlias, alias::created}, Stamp{piMaillist, maillist::created},
                  Stamp{piCompany, company::created}, Stamp{piDomain, domain::created},
                  Stamp{piMailbox, mailbox::created}, Stamp{piExtMailbox, extmailbox::created},
                  Stamp{piDocument, document::created}}) {
    for (const auto& row : env.Rows(s.pool)) {
      double created = std::get<double>(row[static_cast<size_t>(s.created)]);
      EXPECT_GE(created, before) << s.pool;
      EXPECT_LE(created, after) << s.pool;
    }
  }
  auto ext = env.Rows(piExtAccount);
  ASSERT_EQ(ext.size(), 2u);
  const std::string id0 = std::get<std::string>(ext[0][extaccount::mailboxid]);
  const std::string id1 = std::get<std::string>(ext[1][extaccount::mailboxid]);
  EXPECT_EQ(id0.size(), 37u);
  EXPECT_NE(id0, id1);

  auto companies = env.Rows(piCompany);
  EXPECT_EQ(companies[0][company::postmaster], TFieldValue(false));
  EXPECT_EQ(companies[0][company::bounce], TFieldValue(true));
  EXPECT_EQ(companies[0][company::no], TFieldValue(1));
  EXPECT_EQ(companies[1][company::bounce], TFieldValue(false)) << "a value set after Insert wins";
  EXPECT_EQ(companies[1][company::no], TFieldValue(2));

  // Document stamps come first; the caller's values override them.
  auto documents = env.Rows(piDocument);
  EXPECT_EQ(documents[0][document::level], TFieldValue(7));
  env.Insert(piDocument, {});
  documents = env.Rows(piDocument);
  EXPECT_EQ(documents[1][document::level], TFieldValue(0));
  EXPECT_EQ(documents[1][document::indexed], TFieldValue(false));

  auto mails = env.Rows(piMailbox);
  EXPECT_TRUE(std::holds_alternative<std::monostate>(mails[0][mailbox::lastretr]));
  {
    TResourceLease<> box(env.Pool(), piMailbox);
    ASSERT_TRUE(box->Table().FindKey({std::string("m1")}));
    box->Edit();
    box->Post();
  }
  mails = env.Rows(piMailbox);
  EXPECT_GE(std::get<double>(mails[0][mailbox::lastretr]), after);
}

TEST(DatabaseResource, TransactionHelpers) {
  TTestResources env;
  TResourceLease<> box(env.Pool(), piMailbox);
  box->CommitWork();  // nothing open: nothing happens
  box->RollbackWork();
  box->BeginWork();
  box->Insert();
  box->Table().SetField(mailbox::id, std::string("A"));
  box->Table().SetField(mailbox::accountno, 1);
  box->Post();
  box->BeginWork();  // commits the open one first
  box->Insert();
  box->Table().SetField(mailbox::id, std::string("B"));
  box->Table().SetField(mailbox::accountno, 1);
  box->Post();
  box->Edit();
  box->RollbackWork();
  EXPECT_EQ(box->Table().State(), TTableState::Browse);
  EXPECT_FALSE(box->Table().InTransaction());
  EXPECT_EQ(env.Count(piMailbox), 1);
}

TEST(DatabaseResource, CascadesRemoveChildrenAndHandBackEverySlot) {
  TTestResources env;
  env.Insert(piCompany, {{company::name, std::string("One")}});  // no 1
  env.Insert(piCompany, {{company::name, std::string("Two")}});  // no 2
  for (int c : {1, 2}) {
    env.Insert(piDomain, {{domain::companyno, c}, {domain::name, "d" + std::to_string(c)}});
    env.Insert(piAlias, {{alias::name, std::string("list")}, {alias::companyno, c}});
    env.Insert(piAlias, {{alias::name, std::string("info")}, {alias::companyno, c}});
    for (const char* member : {"x", "y"}) {
      env.Insert(piMaillist, {{maillist::name, std::string("LIST")}, {maillist::companyno, c},
                              {maillist::forwardusr, std::string(member)},
                              {maillist::forwarddomain, std::string("ext")}});
    }
  }
  const std::vector<int> slots = env.FreeSlots();
  {
    TResourceLease<> companies(env.Pool(), piCompany);
    ASSERT_TRUE(companies->Table().FindKey({1}));
    companies->Delete();
  }
  EXPECT_EQ(env.FreeSlots(), slots);
  EXPECT_EQ(env.Count(piCompany), 1);
  EXPECT_EQ(env.Count(piDomain), 1);
  EXPECT_EQ(env.Count(piAlias), 2);
  EXPECT_EQ(env.Count(piMaillist), 2) << "members of the case-insensitively matching list go";
  for (const auto& row : env.Rows(piMaillist)) EXPECT_EQ(row[maillist::companyno], TFieldValue(2));

  // A parent without children: every cascade step runs on an empty range, then the row goes.
  env.Insert(piAccount, {{account::no, 9}});
  {
    TResourceLease<> accounts(env.Pool(), piAccount);
    ASSERT_TRUE(accounts->Table().FindKey({9}));
    accounts->Delete();
  }
  EXPECT_EQ(env.Count(piAccount), 0);
  EXPECT_EQ(env.FreeSlots(), slots);
}

TEST(DatabaseResource, AFailingCascadeStepRollsBackAndKeepsTheParent) {
  TTestResources env;
  env.Insert(piCompany, {{company::name, std::string("One")}});
  env.Insert(piAlias, {{alias::name, std::string("a")}, {alias::companyno, 1}});
  env.Insert(piAlias, {{alias::name, std::string("b")}, {alias::companyno, 1}});
  env.Insert(piMaillist, {{maillist::name, std::string("b")}, {maillist::companyno, 1},
                          {maillist::forwardusr, std::string("x")},
                          {maillist::forwarddomain, std::string("y")}});
  env.Store(piMaillist).failDelete = true;
  const std::vector<int> slots = env.FreeSlots();
  {
    TResourceLease<> companies(env.Pool(), piCompany);
    ASSERT_TRUE(companies->Table().FindKey({1}));
    EXPECT_THROW(companies->Delete(), testing::EMemoryTableError);
  }
  EXPECT_EQ(env.FreeSlots(), slots);
  EXPECT_EQ(env.Count(piCompany), 1);
  EXPECT_EQ(env.Count(piAlias), 2) << "alias a, deleted before the failure, is rolled back";
  EXPECT_EQ(env.Count(piMaillist), 1);
}

}  // namespace
}  // namespace tovenmarsh::resources
