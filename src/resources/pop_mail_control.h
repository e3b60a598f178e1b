// External POP3 mailboxes for the collection daemon and tasks: the external accounts
// (extaccount.dat, pool 2) and the UIDLs already fetched from each (extmailbox.dat, pool 8).
// Each control holds its resource for its life and belongs to the thread that created it.
#pragma once

#include <string>

#include "resources/database_resource.h"
#include "resources/record_types.h"

namespace tovenmarsh::resources {

class TPOPMailControl {
 public:
  TPOPMailControl();
  explicit TPOPMailControl(TResourcePool& pool);

  // Appends every external account in key order (nextrun zero), in one transaction; answers
  // the count (0, and no transaction, for an empty table).
  int ListAccounts(TExtAccRecs& list);

 private:
  TResourceLease<> extAccount_;
};

class TPOPMailBoxControl {
 public:
  TPOPMailBoxControl();
  explicit TPOPMailBoxControl(TResourcePool& pool);

  // Appends the UIDLs stored for mailboxId in "no" order (id := mailboxId, uidl, created), in
  // one transaction; answers the count (0, and no transaction, when there are none).
  int ListUIDLs(const std::string& mailboxId, TExtMailDropRecs& list);
  // Replaces the UIDLs of mailboxId by list (no := position from 0, uidl and created from
  // the item) in one transaction: a failure leaves the old rows in place. Answers true.
  bool ReplaceUIDLs(const std::string& mailboxId, const TExtMailDropRecs& list);

 private:
  TResourceLease<> extMailbox_;
};

}  // namespace tovenmarsh::resources
