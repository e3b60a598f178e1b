// POP3 collection for the mail tests: a store that forwards to one the test keeps (the task owns
// what it opens), an environment against a local scripted server, and a plain account on it.
#pragma once

#include <string>

#include "mail/protocol/mail_environment.h"
#include "mail/fetch/popmail_task.h"
#include "resources/record_types.h"

namespace tovenmarsh::mail::testing {

class TForwardingStore : public TCollectionStore {
 public:
  explicit TForwardingStore(TCollectionStore& to) : to_(to) {}
  int ListAccounts(resources::TExtAccRecs& list) override { return to_.ListAccounts(list); }
  int ListUIDLs(const std::string& id, resources::TExtMailDropRecs& list) override { return to_.ListUIDLs(id, list); }
  bool ReplaceUIDLs(const std::string& id, const resources::TExtMailDropRecs& list) override {
    return to_.ReplaceUIDLs(id, list);
  }

 private:
  TCollectionStore& to_;
};

// Over folders, collecting from 127.0.0.1:port with a 5 second first read wait; the caller sets
// now and openStore.
TPOPMailEnvironment CollectionEnvironment(const TMailFolders& folders, int port);

// Account 7, active, user "u" with password "p" on 127.0.0.1, mailbox id "box".
resources::TExtAccRec CollectionAccount();

}  // namespace tovenmarsh::mail::testing
