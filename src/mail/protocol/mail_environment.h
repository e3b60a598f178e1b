// TMailEnvironment: what the mail protocol objects take from their surroundings: the folders,
// this host's name and the product name for the replies, the clock, the directory of aliases,
// accounts and mailboxes, the wake-up of the queue daemon and the size bounds. The installation
// fills it from the system parameters and the resource controls; tests fill it with fakes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "mail/store/mail_directory.h"
#include "mail/store/mail_folders.h"
#include "platform/date_time.h"

namespace tovenmarsh::mail {

struct TMailLimits {
  size_t smtpCommandLine = 1000;               // bytes of an SMTP command line without CR LF
  size_t messageSize = 32u * 1024u * 1024u;    // bytes of one message received by DATA
  size_t recipients = 100;                     // recipients of one SMTP transaction (RFC 5321 asks 100)
  size_t pop3CommandLine = 512;                // bytes of a POP3 command line without CR LF
  size_t readRound = 64u * 1024u;              // most bytes taken from the socket in one read
  int64_t minFreeSpace = 16 * 1024 * 1024;     // bytes free in the queue folder to take a message
};

// Whether the queue folder is short of storage now: shared by the connections of a listener, so
// that a full disk is logged once when it begins and once when it ends, not for every message.
struct TStorageState {
  std::atomic<bool> shortOfSpace{false};
};

// The networks whose clients may relay unless the configuration names others.
inline constexpr const char* kDefaultRelayNetworks = "127.0.0.0/8 ::1/128";

struct TMailEnvironment {
  TMailFolders folders;
  std::string hostName;
  std::string productName = "tovenmarsh";
  std::function<platform::TDateTime()> now;
  TMailDirectoryFactory openDirectory;
  std::function<void()> wakeQueue;  // may be empty
  TMailLimits limits;
  // Clients that may relay (CIDR list, see TClientNetworks); others may only send to the
  // local domains' known recipients.
  std::string relayNetworks = kDefaultRelayNetworks;
  // Bytes free in the queue folder; empty: asked of the file system.
  std::function<int64_t()> freeSpace;
  std::shared_ptr<TStorageState> storage = std::make_shared<TStorageState>();
};

// The installation's environment: folders and names from the system parameters, the clock,
// the resource controls. wakeQueue is left for the mail services' start to fill.
TMailEnvironment InstallationMailEnvironment();

}  // namespace tovenmarsh::mail
