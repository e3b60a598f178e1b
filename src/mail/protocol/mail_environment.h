// TMailEnvironment: what the mail protocol objects take from their surroundings: the folders,
// this host's name and the product name for the replies, the clock, the directory of aliases,
// accounts and mailboxes, the wake-up of the queue daemon and the size bounds. The installation
// fills it from the system parameters and the resource controls; tests fill it with fakes.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "mail/store/mail_directory.h"
#include "mail/store/mail_folders.h"
#include "platform/date_time.h"

namespace tovenmarsh::mail {

struct TMailLimits {
  size_t smtpCommandLine = 1000;               // bytes of an SMTP command line without CR LF
  size_t messageSize = 32u * 1024u * 1024u;    // bytes of one message received by DATA
  size_t recipients = 1000;                    // recipients of one SMTP transaction
  size_t pop3CommandLine = 512;                // bytes of a POP3 command line without CR LF
  size_t readRound = 64u * 1024u;              // most bytes taken from the socket in one read
};

struct TMailEnvironment {
  TMailFolders folders;
  std::string hostName;
  std::string productName = "tovenmarsh";
  std::function<platform::TDateTime()> now;
  TMailDirectoryFactory openDirectory;
  std::function<void()> wakeQueue;  // may be empty
  TMailLimits limits;
};

// The installation's environment: folders and names from the system parameters, the clock,
// the resource controls. wakeQueue is left for the mail services' start to fill.
TMailEnvironment InstallationMailEnvironment();

}  // namespace tovenmarsh::mail
