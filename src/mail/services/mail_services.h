// The mail services as a whole: the process-wide objects that the mail workers share, and the
// start and stop of the mail daemons and listeners.
//
// The shared objects are the relay list, the external-account list and the counters of the
// running relay and collection tasks (the queue-folder lock is QueueFolderLock()). They exist
// for the whole process, so a worker that outlives the stop never touches freed memory;
// StartMailServices empties them and sets the counters to 0, StopMailServices disposes of the
// entries (after the threads have been stopped).
#pragma once

#include <atomic>
#include <optional>

#include "core/timed_server.h"
#include "mail/fetch/popmail_accounts.h"
#include "mail/fetch/popmail_task.h"
#include "mail/protocol/mail_environment.h"
#include "mail/queue/queue_daemon.h"
#include "mail/queue/queue_system.h"
#include "mail/relay/relay_list.h"
#include "mail/relay/relay_task.h"
#include "platform/sync.h"

namespace tovenmarsh::mail {

struct TMailServices {
  TRelayList relayList;
  TExtAccountList extAccountList;
  std::atomic<int> relayTasks{0};
  std::atomic<int> popMailTasks{0};
  // The daemons' wake events (owned by the manager's registry; valid until it shuts down).
  std::atomic<platform::TEvent*> queueDaemonWake{nullptr};
  std::atomic<platform::TEvent*> popMailDaemonWake{nullptr};
};

TMailServices& MailServices();

// The classes the start uses where a test wants its own: the queue daemon's (TQueueDaemon when
// not given).
struct TMailServiceClasses {
  std::optional<core::TDaemonClass> queueDaemon;
};

// Empties the shared objects, sets the task counters to 0, clears what a crash left in the mail
// folders (RecoverQueueFolder), starts the collection daemon and the
// queue daemon (every 5 minutes, lowest priority), the SMTP listener on 25 and the POP3 listener
// on 110 (10 connections, backlog 5), then wakes the queue daemon and the collection daemon.
void StartMailServices(const TMailServiceClasses& classes = {});
// Disposes of the relay list's entries and of the external accounts. The threads must have
// been stopped before.
void StopMailServices();

// Wake the daemon when it runs.
void WakeQueueDaemon();
void WakePopMailDaemon();

// The environment of the installation's mail protocol objects, with the queue daemon's wake-up.
TMailEnvironment MailServicesEnvironment();

// The environments of the installation's mail workers, built by the start and handed to each
// worker it makes: the workers use the shared objects of services and the configuration read
// here, and reach for no process-wide object themselves.
// Queue processing: folders, host, clock, directory, document store, the relay list and the
// configuration's MaillistMaxDepth and RelayMin.
TQueueEnvironment InstallationQueueEnvironment(TMailServices& services);
// The queue daemon: the queue's, the relay task counter and relay tasks started through the
// thread framework, each with the InstallationRelayEnvironment of its start.
TQueueDaemonEnvironment InstallationQueueDaemonEnvironment(TMailServices& services);
// Relay tasks: the relay list and task counter, the configuration's RelayServer and
// RelayRetries, the host name, port 25.
TRelayEnvironment InstallationRelayEnvironment(TMailServices& services);
// Collection: the external-account list and task counter, the resource controls, port 110.
TPOPMailEnvironment InstallationPOPMailEnvironment(TMailServices& services);

}  // namespace tovenmarsh::mail
