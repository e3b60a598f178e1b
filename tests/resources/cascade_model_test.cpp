// Random inserts and deletes on the eight related tables, mirrored in SQLite with foreign keys
// ON DELETE CASCADE: after every step both hold the same rows, so both cascade chains
// (company -> aliases -> list members, domains; account -> mailbox rows, external accounts ->
// their UIDL rows) remove exactly what SQLite removes, and duplicate keys are refused alike.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "resources/table_resources.h"
#include "support/resource_fixture.h"

namespace tovenmarsh::resources {
namespace {

using testing::TTestResources;

const char* const kSchema = R"(
PRAGMA foreign_keys = ON;
CREATE TABLE company(no INTEGER PRIMARY KEY, name TEXT NOT NULL);
CREATE TABLE domain(companyno INTEGER NOT NULL REFERENCES company(no) ON DELETE CASCADE,
                    name TEXT COLLATE NOCASE PRIMARY KEY);
CREATE TABLE alias(name TEXT COLLATE NOCASE NOT NULL,
                   companyno INTEGER NOT NULL REFERENCES company(no) ON DELETE CASCADE,
                   PRIMARY KEY(name, companyno));
CREATE TABLE maillist(name TEXT COLLATE NOCASE, companyno INTEGER,
                      forwardusr TEXT COLLATE NOCASE, forwarddomain TEXT COLLATE NOCASE,
                      PRIMARY KEY(name, companyno, forwardusr, forwarddomain),
                      FOREIGN KEY(name, companyno) REFERENCES alias(name, companyno)
                        ON DELETE CASCADE);
CREATE TABLE account(no INTEGER PRIMARY KEY);
CREATE TABLE mailbox(id TEXT COLLATE NOCASE PRIMARY KEY,
                     accountno INTEGER NOT NULL REFERENCES account(no) ON DELETE CASCADE);
CREATE TABLE extaccount(mailserver TEXT COLLATE NOCASE, mailusr TEXT COLLATE NOCASE,
                        accountno INTEGER REFERENCES account(no) ON DELETE CASCADE,
                        mailboxid TEXT UNIQUE,
                        PRIMARY KEY(mailserver, mailusr, accountno));
CREATE TABLE extmailbox(id TEXT COLLATE NOCASE REFERENCES extaccount(mailboxid) ON DELETE CASCADE,
                        no INTEGER, PRIMARY KEY(id, no));
)";

std::string Text(const TFieldValue& v) {
  if (const int* n = std::get_if<int>(&v)) return std::to_string(*n);
  if (const std::string* s = std::get_if<std::string>(&v)) return *s;
  return "";
}

class Mirror {
 public:
  Mirror() {
    EXPECT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    Exec(kSchema);
  }
  ~Mirror() { sqlite3_close(db_); }
  bool Exec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
  // Rows as "a|b|c" lines, sorted.
  std::vector<std::string> Rows(const std::string& select) {
    std::vector<std::string> rows;
    sqlite3_stmt* stmt = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, select.c_str(), -1, &stmt, nullptr), SQLITE_OK) << select;
    while (sqlite3_step(stmt) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        if (i) row += "|";
        const unsigned char* text = sqlite3_column_text(stmt, i);
        row += text ? reinterpret_cast<const char*>(text) : "";
      }
      rows.push_back(row);
    }
    sqlite3_finalize(stmt);
    std::sort(rows.begin(), rows.end());
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string Q(const std::string& s) { return "'" + s + "'"; }

class CascadeModel {
 public:
  explicit CascadeModel(unsigned seed) : rng_(seed) {}

  std::vector<std::string> Ours(int pool, std::initializer_list<int> fields) {
    std::vector<std::string> rows;
    for (const auto& row : env_.Rows(pool)) {
      std::string line;
      for (int f : fields) {
        if (!line.empty() || f != *fields.begin()) line += "|";
        line += Text(row[static_cast<size_t>(f)]);
      }
      rows.push_back(line);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  void Compare(int step) {
    EXPECT_EQ(Ours(piCompany, {company::no, company::name}), mirror_.Rows("SELECT no, name FROM company")) << step;
    EXPECT_EQ(Ours(piDomain, {domain::companyno, domain::name}), mirror_.Rows("SELECT companyno, name FROM domain")) << step;
    EXPECT_EQ(Ours(piAlias, {alias::name, alias::companyno}), mirror_.Rows("SELECT name, companyno FROM alias")) << step;
    EXPECT_EQ(Ours(piMaillist, {maillist::name, maillist::companyno, maillist::forwardusr, maillist::forwarddomain}),
              mirror_.Rows("SELECT name, companyno, forwardusr, forwarddomain FROM maillist")) << step;
    EXPECT_EQ(Ours(piAccount, {account::no}), mirror_.Rows("SELECT no FROM account")) << step;
    EXPECT_EQ(Ours(piMailbox, {mailbox::id, mailbox::accountno}), mirror_.Rows("SELECT id, accountno FROM mailbox")) << step;
    EXPECT_EQ(Ours(piExtAccount, {extaccount::mailserver, extaccount::mailusr, extaccount::accountno, extaccount::mailboxid}),
              mirror_.Rows("SELECT mailserver, mailusr, accountno, mailboxid FROM extaccount")) << step;
    EXPECT_EQ(Ours(piExtMailbox, {extmailbox::id, extmailbox::no}), mirror_.Rows("SELECT id, no FROM extmailbox")) << step;
  }

  // A name from a small set, in a random letter case, so that keys collide now and then.
  std::string Name(const char* prefix, int count) {
    std::string name = prefix + std::to_string(Pick(count));
    for (char& c : name) {
      if (Pick(2) == 0) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return name;
  }
  int Pick(int n) { return static_cast<int>(rng_() % static_cast<unsigned>(n)); }

  // Inserts through the table resource; answers the row's extra (mailboxid) or "" and
  // whether it was accepted.
  bool Insert(int pool, std::initializer_list<testing::TFieldSetting> fields, std::string* mailboxid = nullptr) {
    try {
      TResourceLease<> resource(env_.Pool(), pool);
      resource->BeginWork();
      try {
        resource->Insert();
        for (const auto& [position, value] : fields) resource->Table().SetField(position, value);
        resource->Post();
        if (mailboxid) *mailboxid = resource->Table().GetString(extaccount::mailboxid);
        resource->CommitWork();
      } catch (...) {
        resource->RollbackWork();
        throw;
      }
      return true;
    } catch (const testing::EMemoryTableError&) {
      return false;
    }
  }

  void DeleteRow(int pool, const TKeyValues& key) {
    TResourceLease<> resource(env_.Pool(), pool);
    ASSERT_TRUE(resource->Table().FindKey(key));
    resource->Delete();
  }

  // A random existing row of a table, or nothing.
  std::vector<TFieldValue> AnyRow(int pool) {
    auto rows = env_.Rows(pool);
    if (rows.empty()) return {};
    return rows[static_cast<size_t>(Pick(static_cast<int>(rows.size())))];
  }

  void Step(int step) {
    const int op = Pick(14);
    switch (op) {
      case 0: {
        const int no = env_.Store(piCompany).nextAutoInc;
        const std::string name = Name("c", 100);
        ASSERT_TRUE(Insert(piCompany, {{company::name, name}}));
        ASSERT_TRUE(mirror_.Exec("INSERT INTO company VALUES(" + std::to_string(no) + "," + Q(name) + ")"));
        break;
      }
      case 1: case 2: {
        auto company = AnyRow(piCompany);
        if (company.empty()) break;
        const int no = std::get<int>(company[company::no]);
        const std::string name = Name("d", 12);
        const bool ours = Insert(piDomain, {{domain::companyno, no}, {domain::name, name}});
        const bool theirs = mirror_.Exec("INSERT INTO domain VALUES(" + std::to_string(no) + "," + Q(name) + ")");
        ASSERT_EQ(ours, theirs) << step;
        break;
      }
      case 3: case 4: {
        auto company = AnyRow(piCompany);
        if (company.empty()) break;
        const int no = std::get<int>(company[company::no]);
        const std::string name = Name("a", 6);
        const bool ours = Insert(piAlias, {{alias::name, name}, {alias::companyno, no}});
        const bool theirs = mirror_.Exec("INSERT INTO alias VALUES(" + Q(name) + "," + std::to_string(no) + ")");
        ASSERT_EQ(ours, theirs) << step;
        break;
      }
      case 5: case 6: {
        auto alias = AnyRow(piAlias);
        if (alias.empty()) break;
        std::string name = Text(alias[alias::name]);
        if (Pick(2)) std::transform(name.begin(), name.end(), name.begin(), ::toupper);
        const int no = std::get<int>(alias[alias::companyno]);
        const std::string usr = Name("u", 4), dom = Name("x", 2);
        const bool ours = Insert(piMaillist, {{maillist::name, name}, {maillist::companyno, no},
                                              {maillist::forwardusr, usr}, {maillist::forwarddomain, dom}});
        const bool theirs = mirror_.Exec("INSERT INTO maillist VALUES(" + Q(name) + "," + std::to_string(no) + "," +
                                         Q(usr) + "," + Q(dom) + ")");
        ASSERT_EQ(ours, theirs) << step;
        break;
      }
      case 7: {
        const int no = 1 + Pick(15);
        const bool ours = Insert(piAccount, {{account::no, no}});
        const bool theirs = mirror_.Exec("INSERT INTO account VALUES(" + std::to_string(no) + ")");
        ASSERT_EQ(ours, theirs) << step;
        break;
      }
      case 8: {
        auto account = AnyRow(piAccount);
        if (account.empty()) break;
        const int no = std::get<int>(account[account::no]);
        const std::string id = Name("m", 40);
        const bool ours = Insert(piMailbox, {{mailbox::id, id}, {mailbox::accountno, no}});
        const bool theirs = mirror_.Exec("INSERT INTO mailbox VALUES(" + Q(id) + "," + std::to_string(no) + ")");
        ASSERT_EQ(ours, theirs) << step;
        break;
      }
      case 9: {
        auto account = AnyRow(piAccount);
        if (account.empty()) break;
        const int no = std::get<int>(account[account::no]);
        const std::string server = Name("s", 3), user = Name("v", 3);
        std::string mailboxid;
        const bool ours = Insert(piExtAccount, {{extaccount::mailserver, server}, {extaccount::mailusr, user},
                                                {extaccount::accountno, no}}, &mailboxid);
        const bool theirs = mirror_.Exec("INSERT INTO extaccount VALUES(" + Q(server) + "," + Q(user) + "," +
                                         std::to_string(no) + "," + Q(ours ? mailboxid : "none") + ")");
        ASSERT_EQ(ours, theirs) << step;
        break;
      }
      case 10: {
        auto ext = AnyRow(piExtAccount);
        if (ext.empty()) break;
        const std::string id = Text(ext[extaccount::mailboxid]);
        const int no = Pick(4);
        const bool ours = Insert(piExtMailbox, {{extmailbox::id, id}, {extmailbox::no, no}});
        const bool theirs = mirror_.Exec("INSERT INTO extmailbox VALUES(" + Q(id) + "," + std::to_string(no) + ")");
        ASSERT_EQ(ours, theirs) << step;
        break;
      }
      case 11: {
        auto company = AnyRow(piCompany);
        if (company.empty()) break;
        const int no = std::get<int>(company[company::no]);
        DeleteRow(piCompany, {no});
        ASSERT_TRUE(mirror_.Exec("DELETE FROM company WHERE no = " + std::to_string(no)));
        break;
      }
      case 12: {
        auto alias = AnyRow(piAlias);
        if (alias.empty()) break;
        const std::string name = Text(alias[alias::name]);
        const int no = std::get<int>(alias[alias::companyno]);
        DeleteRow(piAlias, {name, no});
        ASSERT_TRUE(mirror_.Exec("DELETE FROM alias WHERE name = " + Q(name) + " AND companyno = " + std::to_string(no)));
        break;
      }
      case 13: {
        if (Pick(2)) {
          auto account = AnyRow(piAccount);
          if (account.empty()) break;
          const int no = std::get<int>(account[account::no]);
          DeleteRow(piAccount, {no});
          ASSERT_TRUE(mirror_.Exec("DELETE FROM account WHERE no = " + std::to_string(no)));
        } else {
          auto ext = AnyRow(piExtAccount);
          if (ext.empty()) break;
          DeleteRow(piExtAccount, {ext[extaccount::mailserver], ext[extaccount::mailusr], ext[extaccount::accountno]});
          ASSERT_TRUE(mirror_.Exec("DELETE FROM extaccount WHERE mailboxid = " + Q(Text(ext[extaccount::mailboxid]))));
        }
        break;
      }
    }
  }

  TTestResources& Env() { return env_; }

 private:
  TTestResources env_;
  Mirror mirror_;
  std::mt19937 rng_;
};

TEST(CascadeModel, RandomInsertsAndDeletesMatchSqliteCascades) {
  for (unsigned seed : {1u, 2u, 3u, 4u}) {
    CascadeModel model(seed);
    const std::vector<int> slots = model.Env().FreeSlots();
    for (int step = 0; step < 400; ++step) {
      model.Step(step);
      if (::testing::Test::HasFatalFailure()) return;
      model.Compare(step);
      if (::testing::Test::HasFailure()) return;
    }
    EXPECT_EQ(model.Env().FreeSlots(), slots) << "every borrowed slot came back";
  }
}

}  // namespace
}  // namespace tovenmarsh::resources
