// The rows of local mailboxes (mailbox.dat) for the POP3 server and local delivery. Holds one
// mailbox resource (pool 7); belongs to the thread that created it.
#pragma once

#include "resources/database_resource.h"
#include "resources/record_types.h"

namespace tovenmarsh::resources {

class TMailBoxControl {
 public:
  TMailBoxControl();
  explicit TMailBoxControl(TResourcePool& pool);

  // Appends the account's messages (deleted false) in key order and stamps lastretr on each
  // row, in one transaction; answers the sum of their sizes (0, and no transaction, for an
  // empty mailbox). Failures roll back and are re-raised.
  int ListMessages(int accountNo, TMailDropRecs& list);
  // Deletes the row of every record marked deleted, in one transaction; answers true.
  // Failures roll back and are re-raised.
  bool DeleteMarked(const TMailDropRecs& list);
  // Adds a row (id, accountno, size, hash; created stamped) and commits; answers 1. A failure
  // to start the transaction is only logged; a failure of the insert rolls back and is
  // re-raised.
  int AddMessage(int accountNo, const TMailDropRec& rec);
  // Whether a row has this id (no stamp, no transaction).
  bool HasMessage(const std::string& id);

 private:
  TResourceLease<> mailbox_;
};

}  // namespace tovenmarsh::resources
