// The installation's mail directory: each lookup borrows its resource control from the pools
// on first use and keeps it until the directory is freed.
#include "mail/store/mail_directory.h"

#include <stdexcept>

#include "resources/account_control.h"
#include "resources/alias_control.h"
#include "resources/mailbox_control.h"
#include "resources/resource_pool.h"
#include "resources/table_defs.h"

namespace tovenmarsh::mail {

void TMailDirectory::AddMessages(const std::vector<TMailboxAddition>& rows, size_t& added) {
  added = 0;
  for (const TMailboxAddition& row : rows) {
    AddMessage(row.accountNo, row.record);
    ++added;
  }
}

bool TMailDirectory::HasMessage(const std::string& /*id*/) {
  throw std::runtime_error("this directory cannot look up mailbox rows");
}

namespace {

class TControlDirectory : public TMailDirectory {
 public:
  int FindAlias(resources::TAliasRec& rec) override { return Alias().FindAlias(rec); }
  int GetListMembers(const resources::TAliasRec& rec, resources::TMaillistRecs& list) override {
    return Alias().GetListMembers(rec, list);
  }
  bool GetCompany(resources::TCompanyRec& rec) override { return Alias().GetCompany(rec); }
  bool GetAccount(resources::TAccountRec& rec) override { return Account().GetAccount(rec); }
  int ListMessages(int accountNo, resources::TMailDropRecs& list) override {
    return MailBox().ListMessages(accountNo, list);
  }
  bool DeleteMarked(const resources::TMailDropRecs& list) override { return MailBox().DeleteMarked(list); }
  int AddMessage(int accountNo, const resources::TMailDropRec& rec) override {
    return MailBox().AddMessage(accountNo, rec);
  }
  bool HasMessage(const std::string& id) override { return MailBox().HasMessage(id); }
  // One transaction for all rows: the engine flushes its files once per commit, not per row.
  void AddMessages(const std::vector<TMailboxAddition>& rows, size_t& added) override {
    namespace box = resources::mailbox;
    added = 0;
    if (rows.empty()) return;
    if (!batch_) batch_ = std::make_unique<resources::TResourceLease<>>(resources::DatabasePool(), resources::piMailbox);
    resources::TDatabaseResource& resource = **batch_;
    resources::TTableAccess& table = resource.Table();
    resource.Reset();
    resource.BeginWork();
    try {
      for (const TMailboxAddition& row : rows) {
        resource.Insert();
        table.SetField(box::id, row.record.id);
        table.SetField(box::accountno, row.accountNo);
        table.SetField(box::size, row.record.size);
        table.SetField(box::hash, row.record.hash);
        resource.Post();
      }
      resource.CommitWork();
    } catch (...) {
      resource.RollbackWork();
      throw;
    }
    added = rows.size();
  }

 private:
  resources::TAliasControl& Alias() {
    if (!alias_) alias_ = std::make_unique<resources::TAliasControl>();
    return *alias_;
  }
  resources::TAccountControl& Account() {
    if (!account_) account_ = std::make_unique<resources::TAccountControl>();
    return *account_;
  }
  resources::TMailBoxControl& MailBox() {
    if (!mailbox_) mailbox_ = std::make_unique<resources::TMailBoxControl>();
    return *mailbox_;
  }

  std::unique_ptr<resources::TAliasControl> alias_;
  std::unique_ptr<resources::TAccountControl> account_;
  std::unique_ptr<resources::TMailBoxControl> mailbox_;
  std::unique_ptr<resources::TResourceLease<>> batch_;
};

}  // namespace

std::unique_ptr<TMailDirectory> OpenInstallationDirectory() { return std::make_unique<TControlDirectory>(); }

}  // namespace tovenmarsh::mail
