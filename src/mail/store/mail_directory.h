// TMailDirectory: the lookups that receiving and serving mail need from the application tables
// (aliases, lists, companies, accounts, mailbox rows), behind one interface so that the
// protocol objects can be driven without a database. The installation's directory forwards
// to the resource controls, borrowing them from the pools for as long as the directory lives.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "resources/record_types.h"

namespace tovenmarsh::mail {

// One mailbox row to add: the account and its record.
struct TMailboxAddition {
  int accountNo = 0;
  resources::TMailDropRec record;
};

class TMailDirectory {
 public:
  virtual ~TMailDirectory() = default;
  // As TAliasControl: 0 none, 1 one (rec filled), -1 several; a domain that is no local
  // domain leaves companyno 0.
  virtual int FindAlias(resources::TAliasRec& rec) = 0;
  virtual int GetListMembers(const resources::TAliasRec& rec, resources::TMaillistRecs& list) = 0;
  virtual bool GetCompany(resources::TCompanyRec& rec) = 0;
  // As TAccountControl.
  virtual bool GetAccount(resources::TAccountRec& rec) = 0;
  // As TMailBoxControl.
  virtual int ListMessages(int accountNo, resources::TMailDropRecs& list) = 0;
  virtual bool DeleteMarked(const resources::TMailDropRecs& list) = 0;
  virtual int AddMessage(int accountNo, const resources::TMailDropRec& rec) = 0;
  // Whether a mailbox row has this id. Raises when it cannot be told (this default always
  // does: a directory without the lookup cannot settle an interrupted delivery).
  virtual bool HasMessage(const std::string& id);
  // Adds the rows in order. `added` counts the rows that are in when it returns or raises: the
  // installation's adds them all in one transaction (all or none), this default one by one
  // (those before the one that raised).
  virtual void AddMessages(const std::vector<TMailboxAddition>& rows, size_t& added);
};

// Opens a directory for one command or one session.
using TMailDirectoryFactory = std::function<std::unique_ptr<TMailDirectory>()>;

// The installation's directory over the resource controls.
std::unique_ptr<TMailDirectory> OpenInstallationDirectory();

}  // namespace tovenmarsh::mail
