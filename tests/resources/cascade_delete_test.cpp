// The table resources over real table files: cascading deletes that must remove
// several child rows of one parent through non-unique secondary indexes and partial primary
// keys, checked against a plain model of which rows must survive.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "platform/paths.h"
#include "resources/fen_table_access.h"
#include "resources/table_resources.h"
#include "support/resource_fixture.h"

namespace tovenmarsh::resources {
namespace {

namespace fs = std::filesystem;

class CascadeDelete : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = platform::SystemTempFolder() + "cascadeXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    CreateDatabaseTables(folder_);
    pool_ = std::make_unique<TResourcePool>(2000);
    testing::RegisterTestTablePools(*pool_, FenTableOpener(folder_), 3);
  }
  void TearDown() override {
    pool_.reset();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  void Insert(int pool, std::initializer_list<std::pair<int, TFieldValue>> fields) {
    TResourceLease<> resource(*pool_, pool);
    resource->BeginWork();
    resource->Insert();
    for (const auto& [position, value] : fields) resource->Table().SetField(position, value);
    resource->Post();
    resource->CommitWork();
  }

  // The values of one field over every row, in primary-index order.
  std::vector<std::string> Column(int pool, int position) {
    TResourceLease<> resource(*pool_, pool);
    std::vector<std::string> values;
    TTableAccess& rows = resource->Table();
    for (rows.First(); !rows.Eof(); rows.Next()) {
      const TFieldValue value = rows.Field(position);
      values.push_back(std::holds_alternative<int>(value) ? std::to_string(std::get<int>(value))
                                                          : rows.GetString(position));
    }
    return values;
  }

  // Deletes the row whose primary key is key through its table resource (with its cascades).
  void Delete(int pool, const TKeyValues& key) {
    TResourceLease<> resource(*pool_, pool);
    ASSERT_TRUE(resource->Table().FindKey(key));
    resource->BeginWork();
    resource->Delete();
    resource->CommitWork();
  }

  std::string folder_;
  std::unique_ptr<TResourcePool> pool_;
};

std::multiset<std::string> AsSet(const std::vector<std::string>& values) {
  return std::multiset<std::string>(values.begin(), values.end());
}

TEST_F(CascadeDelete, AccountDeleteRemovesEveryMailboxRowExternalAccountAndUidl) {
  // Accounts 1..3, each with several mailbox rows and external accounts with several UIDLs.
  std::map<int, std::vector<std::string>> mailboxIds;
  std::map<int, std::vector<std::string>> boxes;  // mailboxids of an account's external accounts
  for (int account = 1; account <= 3; ++account) {
    Insert(piAccount, {{account::no, account}});
    for (int m = 0; m < 4; ++m) {
      const std::string id = "m" + std::to_string(account) + "-" + std::to_string(m);
      Insert(piMailbox, {{mailbox::id, id}, {mailbox::accountno, account}, {mailbox::size, m}});
      mailboxIds[account].push_back(id);
    }
    for (int e = 0; e < 2; ++e) {
      Insert(piExtAccount, {{extaccount::mailserver, std::string("pop.test")},
                            {extaccount::mailusr, "u" + std::to_string(e)},
                            {extaccount::accountno, account}});
    }
  }
  // The stamped mailbox ids of the external accounts, by account.
  {
    TResourceLease<> ext(*pool_, piExtAccount);
    TTableAccess& rows = ext->Table();
    for (rows.First(); !rows.Eof(); rows.Next()) {
      boxes[rows.GetInt(extaccount::accountno)].push_back(rows.GetString(extaccount::mailboxid));
    }
  }
  for (const auto& [account, ids] : boxes) {
    ASSERT_EQ(ids.size(), 2u) << account;
    for (const std::string& box : ids) {
      for (int n = 0; n < 3; ++n) {
        Insert(piExtMailbox, {{extmailbox::id, box}, {extmailbox::no, n}, {extmailbox::uidl, box + "#" + std::to_string(n)}});
      }
    }
  }

  // Delete the middle account first, then the first: the others' rows must stay, all of them.
  struct Step {
    int account;
    std::set<int> left;
  };
  for (const Step& step : {Step{2, {1, 3}}, Step{1, {3}}}) {
    SCOPED_TRACE("delete account " + std::to_string(step.account));
    Delete(piAccount, {step.account});
    std::vector<std::string> wantMailbox, wantAccounts, wantUidls, wantBoxes;
    for (int account : step.left) {
      wantAccounts.push_back(std::to_string(account));
      for (const std::string& id : mailboxIds[account]) wantMailbox.push_back(id);
      for (const std::string& box : boxes[account]) {
        wantBoxes.push_back(box);
        for (int n = 0; n < 3; ++n) wantUidls.push_back(box + "#" + std::to_string(n));
      }
    }
    EXPECT_EQ(AsSet(Column(piAccount, account::no)), AsSet(wantAccounts));
    EXPECT_EQ(AsSet(Column(piMailbox, mailbox::id)), AsSet(wantMailbox));
    EXPECT_EQ(AsSet(Column(piExtAccount, extaccount::mailboxid)), AsSet(wantBoxes));
    EXPECT_EQ(AsSet(Column(piExtMailbox, extmailbox::uidl)), AsSet(wantUidls));
  }
  for (int index = piAccount; index <= piDocument; ++index) {
    EXPECT_EQ(pool_->FreeSlots(index), 3) << "pool " << index << " lost a slot";
  }
}

TEST_F(CascadeDelete, CompanyDeleteRemovesSeveralAliasesWithTheirMembersAndDomains) {
  for (const char* name : {"Acme", "Keep"}) Insert(piCompany, {{company::name, std::string(name)}});
  std::vector<std::string> keptAliases, keptMembers, keptDomains;
  for (int companyno = 1; companyno <= 2; ++companyno) {
    for (int d = 0; d < 3; ++d) {
      const std::string domainName = "d" + std::to_string(d) + ".c" + std::to_string(companyno) + ".test";
      Insert(piDomain, {{domain::companyno, companyno}, {domain::name, domainName}});
      if (companyno == 2) keptDomains.push_back(domainName);
    }
    for (int a = 0; a < 4; ++a) {
      const std::string aliasName = "list" + std::to_string(a);
      Insert(piAlias, {{alias::name, aliasName}, {alias::companyno, companyno}, {alias::maillist, true}});
      if (companyno == 2) keptAliases.push_back(aliasName);
      for (int m = 0; m < 3; ++m) {
        const std::string member = aliasName + "." + std::to_string(companyno) + "." + std::to_string(m);
        Insert(piMaillist, {{maillist::name, aliasName}, {maillist::companyno, companyno},
                            {maillist::forwardusr, member}, {maillist::forwarddomain, std::string("x.test")}});
        if (companyno == 2) keptMembers.push_back(member);
      }
    }
  }
  Delete(piCompany, {1});
  EXPECT_EQ(AsSet(Column(piCompany, company::name)), AsSet({"Keep"}));
  EXPECT_EQ(AsSet(Column(piDomain, domain::name)), AsSet(keptDomains));
  EXPECT_EQ(AsSet(Column(piAlias, alias::name)), AsSet(keptAliases));
  EXPECT_EQ(AsSet(Column(piMaillist, maillist::forwardusr)), AsSet(keptMembers));
  for (int index = piAccount; index <= piDocument; ++index) {
    EXPECT_EQ(pool_->FreeSlots(index), 3) << "pool " << index << " lost a slot";
  }
}

}  // namespace
}  // namespace tovenmarsh::resources
