// In-memory stand-ins for the mail tests: a directory of domains, companies, aliases, lists,
// accounts and mailbox rows that answers as the resource controls do; a mail root folder
// removed at the end; the environment that binds them; and a fixture that starts the server
// framework (protocol objects register with its manager) with a log of its own.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/store/mail_directory.h"
#include "mail/protocol/mail_environment.h"
#include "mail/queue/queue_system.h"
#include "resources/record_types.h"

namespace tovenmarsh::mail::testing {

struct TFakeMailboxRow {
  std::string id;
  int accountNo = 0;
  int size = 0;
  int hash = 0;
};

// The shared state behind every TFakeDirectory opened from it.
struct TFakeDirectoryData {
  std::map<std::string, int> domains;  // lower-case domain -> company number
  std::vector<resources::TCompanyRec> companies;
  std::vector<resources::TAliasRec> aliases;                 // companyno set
  std::map<std::string, resources::TMaillistRecs> lists;     // "<company>/<list name>"
  std::vector<resources::TAccountRec> accounts;
  std::vector<TFakeMailboxRow> mailbox;
  bool failMailbox = false;     // mailbox row calls raise, as a failing table would
  std::atomic<int> opened{0};  // directories opened
  std::mutex lock;              // held by every look-up (connection threads use it too)

  void AddDomain(const std::string& domain, int companyNo);
  void AddCompany(int no, bool postmaster, bool bounce);
  void AddAlias(const std::string& name, int companyNo, const std::string& domain, int accountNo,
                const std::string& description = "", bool maillist = false);
  void AddListMember(int companyNo, const std::string& list, const std::string& user, const std::string& domain,
                     const std::string& fullname = "");
  void AddAccount(int no, const std::string& name, const std::string& pass);
};

class TFakeDirectory : public TMailDirectory {
 public:
  explicit TFakeDirectory(TFakeDirectoryData& data) : data_(data) {}
  int FindAlias(resources::TAliasRec& rec) override;
  int GetListMembers(const resources::TAliasRec& rec, resources::TMaillistRecs& list) override;
  bool GetCompany(resources::TCompanyRec& rec) override;
  bool GetAccount(resources::TAccountRec& rec) override;
  int ListMessages(int accountNo, resources::TMailDropRecs& list) override;
  bool DeleteMarked(const resources::TMailDropRecs& list) override;
  int AddMessage(int accountNo, const resources::TMailDropRec& rec) override;
  bool HasMessage(const std::string& id) override;

 private:
  TFakeDirectoryData& data_;
};

// A fresh folder, removed with everything in it at the end.
class TMailTempFolder {
 public:
  TMailTempFolder();
  ~TMailTempFolder();
  TMailTempFolder(const TMailTempFolder&) = delete;
  TMailTempFolder& operator=(const TMailTempFolder&) = delete;
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

// Regular files directly in folder (subfolders passed over), sorted.
std::vector<std::string> FilesIn(const std::string& folder);
std::string FileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// Starts the framework and a log in a temporary folder; gives an environment over fresh
// folders and the fake directory, with host "mx.test" and a fixed clock.
class MailFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  TMailEnvironment Environment();
  // Company 1 with the local domain "local.test" and its one account, joe (password "Secret").
  void AddLocalJoe();
  // Company 1 with "local.test": joe (account 1, alias "joe") and its postmaster (account 2).
  void AddJoeAndPostmaster();
  // The queue's environment over `where`: this fixture's directory and host, a fixed clock.
  TQueueEnvironment QueueEnvironment(const TMailFolders& where, TDocumentStore& documents, TRelayList& relay);
  // Mailbox rows per account.
  std::map<int, int> Deliveries() const;

  TMailTempFolder temp;
  TMailFolders folders;
  TFakeDirectoryData directory;
  std::atomic<int> wakes{0};
  TMailLimits limits;
};

}  // namespace tovenmarsh::mail::testing
