// The lookup controls over in-memory tables: account numbers from names, account, alias,
// list-member and company lookups (the unknown-domain case included), mailbox listing with
// its lastretr stamp, deletion and adding, external accounts and UIDL lists, and the
// all-or-nothing replacement of a UIDL list.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "core/log.h"
#include "platform/date_time.h"
#include "resources/account_control.h"
#include "resources/alias_control.h"
#include "resources/mailbox_control.h"
#include "resources/pop_mail_control.h"
#include "support/resource_fixture.h"

namespace tovenmarsh::resources {
namespace {

using testing::TTestResources;

TEST(AccountControl, AccountNoFromName) {
  const std::pair<const char*, int> cases[] = {
      {"abc12", 12},   {"a1b2", 1},        {"12", 12},        {"postmaster", 0}, {"", 0},
      {"x007y", 7},    {"u2147483647", 2147483647}, {"u2147483648", 0}, {"99999999999x1", 0},
      {"0", 0},
  };
  for (const auto& [name, no] : cases) {
    EXPECT_EQ(TAccountControl::AccountNoFromName(name), no) << name;
  }
}

TEST(AccountControl, GetAccount) {
  TTestResources env;
  env.Insert(piAccount, {{account::no, 12}, {account::fullname, std::string("Ann Smith")},
                         {account::pass, std::string("secret")},
                         {account::description, std::string("desk")},
                         {account::permission, 3}, {account::level, 2}, {account::active, true},
                         {account::remafter, 30}});
  TAccountControl control(env.Pool());
  struct Case {
    int no;
    const char* name;
    bool found;
    int resultNo;
  };
  const Case cases[] = {
      {0, "ann12", true, 12}, {12, "whoever", true, 12}, {0, "postmaster", false, 0},
      {0, "bob13", false, 13}, {13, "", false, 13},
  };
  for (const Case& c : cases) {
    TAccountRec rec;
    rec.no = c.no;
    rec.name = c.name;
    EXPECT_EQ(control.GetAccount(rec), c.found) << c.name;
    EXPECT_EQ(rec.no, c.resultNo) << c.name;
    EXPECT_EQ(rec.name, c.name) << "the name is input only";
    if (c.found) {
      EXPECT_EQ(rec.fullname, "Ann Smith");
      EXPECT_EQ(rec.pass, "secret");
      EXPECT_EQ(rec.description, "desk");
      EXPECT_EQ(rec.permission, 3);
      EXPECT_EQ(rec.level, 2);
      EXPECT_TRUE(rec.active);
      EXPECT_EQ(rec.remafter, 30);
    }
  }
}

class AliasControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env.Insert(piCompany, {{company::name, std::string("Acme")}});   // 1
    env.Insert(piCompany, {{company::name, std::string("Beta")}, {company::postmaster, true},
                           {company::bounce, false}});               // 2
    env.Insert(piDomain, {{domain::companyno, 1}, {domain::name, std::string("Acme.Example")}});
    env.Insert(piDomain, {{domain::companyno, 2}, {domain::name, std::string("beta.example")}});
    env.Insert(piAlias, {{alias::name, std::string("Info")}, {alias::companyno, 1},
                         {alias::accountno, 11}, {alias::description, std::string("acme info")},
                         {alias::active, true}});
    env.Insert(piAlias, {{alias::name, std::string("info")}, {alias::companyno, 2},
                         {alias::accountno, 21}, {alias::active, true}});
    env.Insert(piAlias, {{alias::name, std::string("sales")}, {alias::companyno, 2},
                         {alias::accountno, 22}, {alias::maillist, true},
                         {alias::expandable, true}});
    env.Insert(piAlias, {{alias::name, std::string("staff")}, {alias::companyno, 1},
                         {alias::maillist, true}});
    for (const char* usr : {"zed", "amy", "Bob"}) {
      env.Insert(piMaillist, {{maillist::name, std::string("staff")}, {maillist::companyno, 1},
                              {maillist::forwardusr, std::string(usr)},
                              {maillist::forwarddomain, std::string("acme.example")},
                              {maillist::fullname, std::string("Full ") + usr}});
    }
    env.Insert(piMaillist, {{maillist::name, std::string("staff")}, {maillist::companyno, 2},
                            {maillist::forwardusr, std::string("other")},
                            {maillist::forwarddomain, std::string("beta.example")}});
  }
  TTestResources env;
};

TEST_F(AliasControlTest, FindAlias) {
  struct Case {
    const char* name;
    int companyno;
    const char* domain;
    int result;
    int outCompany;
    const char* outDomain;
    const char* outName;
    int outAccount;
  };
  const Case cases[] = {
      // A local domain in any letter case selects its company; the domain comes back as stored.
      {"info", 0, "ACME.EXAMPLE", 1, 1, "Acme.Example", "Info", 11},
      {"INFO", 0, "beta.example", 1, 2, "beta.example", "info", 21},
      {"sales", 0, "acme.example", 0, 1, "Acme.Example", "sales", 0},
      // A domain that is not ours is not local, even though companies have an "info".
      {"info", 0, "anydomain.example", 0, 0, "anydomain.example", "info", 0},
      {"sales", 0, "elsewhere.example", 0, 0, "elsewhere.example", "sales", 0},
      // No domain and no company (VRFY, EXPN): every company is searched.
      {"sales", 0, "", 1, 2, "", "sales", 22},
      {"info", 0, "", -1, 0, "", "info", 0},
      {"nobody", 0, "", 0, 0, "", "nobody", 0},
      // A company given: the domain is not consulted.
      {"info", 2, "acme.example", 1, 2, "acme.example", "info", 21},
      {"sales", 1, "", 0, 1, "", "sales", 0},
  };
  TAliasControl control(env.Pool());
  for (const Case& c : cases) {
    TAliasRec rec;
    rec.name = c.name;
    rec.companyno = c.companyno;
    rec.domain = c.domain;
    EXPECT_EQ(control.FindAlias(rec), c.result) << c.name << "@" << c.domain;
    EXPECT_EQ(rec.companyno, c.outCompany) << c.name << "@" << c.domain;
    EXPECT_EQ(rec.domain, c.outDomain) << c.name << "@" << c.domain;
    EXPECT_EQ(rec.name, c.outName) << c.name << "@" << c.domain;
    EXPECT_EQ(rec.accountno, c.outAccount) << c.name << "@" << c.domain;
  }
  TAliasRec list;
  list.name = "sales";
  ASSERT_EQ(control.FindAlias(list), 1);
  EXPECT_TRUE(list.maillist);
  EXPECT_TRUE(list.expandable);
  EXPECT_FALSE(list.active);
  TAliasRec info;
  info.name = "info";
  info.domain = "acme.example";
  ASSERT_EQ(control.FindAlias(info), 1);
  EXPECT_EQ(info.description, "acme info");
  EXPECT_TRUE(info.active);
  EXPECT_FALSE(info.maillist);
}

TEST_F(AliasControlTest, GetListMembersAndCompany) {
  TAliasControl control(env.Pool());
  TAliasRec rec;
  rec.name = "STAFF";
  rec.companyno = 1;
  TMaillistRecs members;
  members.push_back({"kept", "", "", ""});
  EXPECT_EQ(control.GetListMembers(rec, members), 3);
  ASSERT_EQ(members.size(), 4u);
  EXPECT_EQ(members[0].forwardusr, "kept") << "members are appended";
  EXPECT_EQ(members[1].forwardusr, "amy");
  EXPECT_EQ(members[2].forwardusr, "Bob") << "key order ignores case";
  EXPECT_EQ(members[3].forwardusr, "zed");
  EXPECT_EQ(members[3].fullname, "Full zed");
  EXPECT_EQ(members[3].forwarddomain, "acme.example");
  rec.name = "none";
  EXPECT_EQ(control.GetListMembers(rec, members), 0);
  FreeMaillistRecs(members);
  EXPECT_TRUE(members.empty());

  TCompanyRec company;
  company.no = 2;
  ASSERT_TRUE(control.GetCompany(company));
  EXPECT_EQ(company.name, "Beta");
  EXPECT_TRUE(company.postmaster);
  EXPECT_FALSE(company.bounce);
  company.no = 1;
  ASSERT_TRUE(control.GetCompany(company));
  EXPECT_EQ(company.name, "Acme");
  EXPECT_FALSE(company.postmaster);
  EXPECT_TRUE(company.bounce);
  company.no = 3;
  EXPECT_FALSE(control.GetCompany(company));
}

TEST_F(AliasControlTest, ControlsHoldTheirSlotsForTheirLifeAndGiveThemBack) {
  const std::vector<int> slots = env.FreeSlots();
  {
    TAliasControl control(env.Pool());
    TAccountControl accounts(env.Pool());
    std::vector<int> held = env.FreeSlots();
    for (int index : {piAlias, piDomain, piCompany, piMaillist, piAccount}) {
      EXPECT_EQ(held[static_cast<size_t>(index - 1)], slots[static_cast<size_t>(index - 1)] - 1);
    }
  }
  EXPECT_EQ(env.FreeSlots(), slots);
  // A pool without a free slot: the control is not created and gives back what it took.
  TTestResources small(1, 10);
  TResourceLease<> company(small.Pool(), piCompany);
  const std::vector<int> before = small.FreeSlots();
  EXPECT_THROW(TAliasControl control(small.Pool()), EVPoolExhausted);
  EXPECT_EQ(small.FreeSlots(), before);
}

double Lastretr(TTestResources& env, const std::string& id) {
  for (const auto& row : env.Rows(piMailbox)) {
    if (std::get<std::string>(row[mailbox::id]) == id) {
      const TFieldValue& v = row[mailbox::lastretr];
      return std::holds_alternative<double>(v) ? std::get<double>(v) : 0;
    }
  }
  return -1;
}

TEST(MailBoxControl, ListMessagesStampsLastretr) {
  TTestResources env;
  env.Insert(piMailbox, {{mailbox::id, std::string("B")}, {mailbox::accountno, 1},
                         {mailbox::size, 100}, {mailbox::hash, 7}});
  env.Insert(piMailbox, {{mailbox::id, std::string("A")}, {mailbox::accountno, 1},
                         {mailbox::size, 20}, {mailbox::hash, 8}});
  env.Insert(piMailbox, {{mailbox::id, std::string("C")}, {mailbox::accountno, 2},
                         {mailbox::size, 5}});
  TMailBoxControl control(env.Pool());
  TMailDropRecs list;
  EXPECT_EQ(control.ListMessages(3, list), 0);
  EXPECT_TRUE(list.empty());
  EXPECT_EQ(Lastretr(env, "A"), 0);

  const platform::TDateTime before = platform::Now();
  EXPECT_EQ(control.ListMessages(1, list), 120);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].id, "B") << "accountno index keeps insertion order for equal keys";
  EXPECT_EQ(list[0].size, 100);
  EXPECT_EQ(list[0].hash, 7);
  EXPECT_FALSE(list[0].deleted);
  EXPECT_EQ(list[1].id, "A");
  EXPECT_GE(Lastretr(env, "A"), before);
  EXPECT_GE(Lastretr(env, "B"), before);
  EXPECT_EQ(Lastretr(env, "C"), 0) << "another account's row is not stamped";

  // A failing write rolls the stamps back and reaches the caller.
  TTestResources failing;
  failing.Insert(piMailbox, {{mailbox::id, std::string("X")}, {mailbox::accountno, 1}});
  failing.Insert(piMailbox, {{mailbox::id, std::string("Y")}, {mailbox::accountno, 1}});
  failing.Store(piMailbox).postsBeforeFailure = failing.Store(piMailbox).posts + 1;
  TMailBoxControl broken(failing.Pool());
  TMailDropRecs partial;
  EXPECT_THROW(broken.ListMessages(1, partial), testing::EMemoryTableError);
  failing.Store(piMailbox).postsBeforeFailure = -1;
  EXPECT_EQ(Lastretr(failing, "X"), 0);
  EXPECT_EQ(Lastretr(failing, "Y"), 0);
}

TEST(MailBoxControl, DeleteMarkedAndAddMessage) {
  TTestResources env;
  TMailBoxControl control(env.Pool());
  for (const char* id : {"m1", "m2", "m3"}) {
    EXPECT_EQ(control.AddMessage(4, TMailDropRec{id, 10, 1, false}), 1);
  }
  auto rows = env.Rows(piMailbox);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0][mailbox::accountno], TFieldValue(4));
  EXPECT_EQ(rows[0][mailbox::size], TFieldValue(10));
  EXPECT_TRUE(std::holds_alternative<double>(rows[0][mailbox::created]));

  TMailDropRecs list = {{"M1", 10, 1, true}, {"m2", 10, 1, false}, {"gone", 1, 1, true}};
  EXPECT_TRUE(control.DeleteMarked(list));
  rows = env.Rows(piMailbox);
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0][mailbox::id], TFieldValue(std::string("m2")));

  // A duplicate id is refused and nothing is left half-written.
  EXPECT_THROW(control.AddMessage(4, TMailDropRec{"m3", 1, 1, false}), testing::EMemoryTableError);
  EXPECT_EQ(env.Count(piMailbox), 2);
  EXPECT_EQ(control.AddMessage(4, TMailDropRec{"m4", 1, 1, false}), 1);
  EXPECT_EQ(env.Count(piMailbox), 3);
}

TEST(MailBoxControl, AFailureToStartWorkIsOnlyLogged) {
  const std::string logPath = std::string(TM_BINARY_DIR) + "/resources_mailbox_test.log";
  std::remove(logPath.c_str());
  ASSERT_TRUE(core::OpenLog(logPath));
  TTestResources env;
  TMailBoxControl control(env.Pool());
  env.Store(piMailbox).failStartTransaction = true;
  EXPECT_EQ(control.AddMessage(6, TMailDropRec{"id6", 3, 4, false}), 1);
  core::CloseLog();
  EXPECT_EQ(env.Count(piMailbox), 1) << "the insert is still made";
  std::ifstream in(logPath);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("Failed to write to mailbox on account[6] and mailid[id6]"),
            std::string::npos)
      << text.str();
  std::remove(logPath.c_str());
}

TEST(POPMailControl, ListAccounts) {
  TTestResources env;
  TPOPMailControl control(env.Pool());
  TExtAccRecs list;
  EXPECT_EQ(control.ListAccounts(list), 0);
  env.Insert(piExtAccount, {{extaccount::mailserver, std::string("pop.b")},
                            {extaccount::mailusr, std::string("u")},
                            {extaccount::mailpass, std::string("pw")},
                            {extaccount::accountno, 3}, {extaccount::leavecopy, true},
                            {extaccount::remafter, 60}, {extaccount::interval, 15},
                            {extaccount::tag, std::string("t")}, {extaccount::active, true}});
  env.Insert(piExtAccount, {{extaccount::mailserver, std::string("POP.A")},
                            {extaccount::mailusr, std::string("v")}});
  EXPECT_EQ(control.ListAccounts(list), 2);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].mailserver, "POP.A") << "primary key order, without regard to case";
  const TExtAccRec& b = list[1];
  EXPECT_EQ(b.mailserver, "pop.b");
  EXPECT_EQ(b.mailusr, "u");
  EXPECT_EQ(b.mailpass, "pw");
  EXPECT_EQ(b.accountno, 3);
  EXPECT_TRUE(b.leavecopy);
  EXPECT_EQ(b.remafter, 60);
  EXPECT_EQ(b.interval, 15);
  EXPECT_EQ(b.tag, "t");
  EXPECT_TRUE(b.active);
  EXPECT_EQ(b.mailboxid.size(), 37u);
  EXPECT_EQ(b.nextrun, 0);
}

TEST(POPMailBoxControl, ListAndReplaceUIDLs) {
  TTestResources env;
  TPOPMailBoxControl control(env.Pool());
  TExtMailDropRecs list;
  EXPECT_EQ(control.ListUIDLs("BOX", list), 0);
  const TExtMailDropRecs first = {{"", "u-a", 100.5, ""}, {"", "u-b", 101.25, ""},
                                  {"", "u-c", 102, ""}};
  EXPECT_TRUE(control.ReplaceUIDLs("BOX", first));
  EXPECT_TRUE(control.ReplaceUIDLs("OTHER", {{"", "o", 1, ""}}));
  EXPECT_EQ(control.ListUIDLs("box", list), 3);
  ASSERT_EQ(list.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(list[i].id, "box");
    EXPECT_EQ(list[i].uidl, first[i].uidl);
    EXPECT_EQ(list[i].created, first[i].created) << "the item's date overrides the stamp";
  }
  auto rows = env.Rows(piExtMailbox);
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[2][extmailbox::no], TFieldValue(2));

  EXPECT_TRUE(control.ReplaceUIDLs("BOX", {{"", "u-z", 5, ""}}));
  list.clear();
  EXPECT_EQ(control.ListUIDLs("BOX", list), 1);
  EXPECT_EQ(list[0].uidl, "u-z");
  EXPECT_TRUE(control.ReplaceUIDLs("BOX", {}));
  EXPECT_EQ(control.ListUIDLs("BOX", list), 0);
  EXPECT_EQ(env.Count(piExtMailbox), 1) << "only OTHER's row is left";
}

TEST(POPMailBoxControl, AFailedReplacementKeepsTheOldUIDLs) {
  TTestResources env;
  TPOPMailBoxControl control(env.Pool());
  ASSERT_TRUE(control.ReplaceUIDLs("BOX", {{"", "old1", 1, ""}, {"", "old2", 2, ""}}));
  // The crash point between removing the old rows and writing the new ones.
  env.Store(piExtMailbox).postsBeforeFailure = env.Store(piExtMailbox).posts + 1;
  EXPECT_THROW(control.ReplaceUIDLs("BOX", {{"", "new1", 3, ""}, {"", "new2", 4, ""}}),
               testing::EMemoryTableError);
  env.Store(piExtMailbox).postsBeforeFailure = -1;
  TExtMailDropRecs list;
  ASSERT_EQ(control.ListUIDLs("BOX", list), 2);
  EXPECT_EQ(list[0].uidl, "old1");
  EXPECT_EQ(list[1].uidl, "old2");
}

}  // namespace
}  // namespace tovenmarsh::resources
