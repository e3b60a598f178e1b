// TExtAccountList: the external POP3 mailboxes that the collection daemon keeps in memory,
// each with the time of its next collection. Every method runs under the list's own lock.
//
// Refresh replaces the list by the accounts just loaded from the table, keeping the next-run
// time of every mailbox that was known before (a new one is due at once). NextDueExtAccount
// rotates through the list once and hands out a copy of the first active account whose time
// has come, advancing that account's next run by its interval (30 minutes when 0) from its
// old value, so an account overdue by several intervals is collected on consecutive calls
// until it has caught up.
#pragma once

#include <string>

#include "platform/date_time.h"
#include "platform/sync.h"
#include "resources/record_types.h"

namespace tovenmarsh::mail {

inline constexpr int kDefaultCollectInterval = 30;

class TExtAccountList {
 public:
  TExtAccountList() = default;
  TExtAccountList(const TExtAccountList&) = delete;
  TExtAccountList& operator=(const TExtAccountList&) = delete;

  // Answers the number of accounts loaded.
  int Refresh(resources::TExtAccRecs loaded, platform::TDateTime now);
  // A copy of the next due account in rec (interval 0 made 30, remafter 0 made "never"); false
  // when none is due. filter, when not empty, must occur in the mail server (ignoring case).
  bool NextDueExtAccount(resources::TExtAccRec& rec, platform::TDateTime now, const std::string& filter = {});
  bool HasDue(platform::TDateTime now) const;
  int Count() const;
  void Clear();
  resources::TExtAccRecs Snapshot() const;

 private:
  mutable platform::TCriticalSection lock_;
  resources::TExtAccRecs accounts_;
};

}  // namespace tovenmarsh::mail
