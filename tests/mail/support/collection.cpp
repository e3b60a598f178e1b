#include "support/collection.h"

namespace tovenmarsh::mail::testing {

TPOPMailEnvironment CollectionEnvironment(const TMailFolders& folders, int port) {
  TPOPMailEnvironment environment;
  environment.folders = folders;
  environment.port = port;
  environment.timeouts.firstReadWait = 5;
  return environment;
}

resources::TExtAccRec CollectionAccount() {
  resources::TExtAccRec account;
  account.mailserver = "127.0.0.1";
  account.mailusr = "u";
  account.mailpass = "p";
  account.accountno = 7;
  account.active = true;
  account.mailboxid = "box";
  return account;
}

}  // namespace tovenmarsh::mail::testing
