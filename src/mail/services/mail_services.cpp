// Start and stop of the mail services and the process-wide mail objects.
#include "mail/services/mail_services.h"

#include "core/manager_thread.h"
#include "core/str_utils.h"
#include "core/system_parameters.h"
#include "core/worker_threads.h"
#include "mail/pop3d/pop3_server.h"
#include "mail/smtpd/smtp_server.h"
#include "mail/store/document_archive.h"

namespace tovenmarsh::mail {

namespace {

constexpr int kDaemonIntervalMinutes = kQueueDaemonIntervalMinutes;
constexpr int kMailConnections = 10;
// Room for a burst of clients: with a short queue the kernel drops their SYNs and each waits a
// second to retry, while the connection limit still makes extra clients wait their turn.
constexpr int kMailBacklog = 128;
// SMTP connections served at once per client address: one host cannot hold every slot.
constexpr int kSMTPConnectionsPerAddress = kMailConnections / 2;

void WakeEvent(std::atomic<platform::TEvent*>& event) {
  platform::TEvent* wake = event.load(std::memory_order_acquire);
  // The events belong to the manager's registry, which frees them once it has shut down.
  if (wake != nullptr && !core::IsShutDown()) wake->SetEvent();
}

}  // namespace

TMailServices& MailServices() {
  static TMailServices services;
  return services;
}

TMailEnvironment MailServicesEnvironment() {
  TMailEnvironment environment = InstallationMailEnvironment();
  environment.wakeQueue = [] { WakeQueueDaemon(); };
  return environment;
}

TQueueEnvironment InstallationQueueEnvironment(TMailServices& services) {
  TQueueEnvironment environment;
  const TMailEnvironment mail = InstallationMailEnvironment();
  environment.folders = mail.folders;
  environment.hostName = mail.hostName;
  environment.now = mail.now;
  environment.openDirectory = mail.openDirectory;
  environment.documents = &InstallationDocumentStore();
  environment.relayList = &services.relayList;
  const core::TSystemParameters& parameters = core::SystemParameters();
  environment.maillistMaxDepth = core::TextToInt(parameters.GetString("MaillistMaxDepth"));
  environment.relayMinutes = RelayMinSetting(parameters.GetString("RelayMin"), parameters.GetInt("RelayMin"));
  // Archives and deletes of finished queue files run beside the next deliveries.
  environment.finishAside = true;
  return environment;
}

TQueueDaemonEnvironment InstallationQueueDaemonEnvironment(TMailServices& services) {
  TQueueDaemonEnvironment environment;
  environment.queue = InstallationQueueEnvironment(services);
  environment.runningRelayTasks = &services.relayTasks;
  // Each task reads the configuration when it is made, so a changed relay server applies to the
  // next task.
  environment.startRelayTask = [&services](core::TDaemon& owner) {
    core::StartTask(&owner, RelayTaskClass(InstallationRelayEnvironment(services)), platform::TThreadPriority::Lowest);
  };
  return environment;
}

TRelayEnvironment InstallationRelayEnvironment(TMailServices& services) {
  TRelayEnvironment environment;
  const core::TSystemParameters& parameters = core::SystemParameters();
  environment.list = &services.relayList;
  environment.folders = InstallationMailFolders();
  environment.now = [] { return platform::Now(); };
  environment.hostName = parameters.HostName();
  environment.relayServer = parameters.GetString("RelayServer");
  environment.retries = parameters.GetInt("RelayRetries");
  environment.port = kSMTPPort;
  environment.lookupMx = platform::LookupMailExchangers;
  environment.runningTasks = &services.relayTasks;
  environment.wakeQueue = [&services] { WakeEvent(services.queueDaemonWake); };
  return environment;
}

TPOPMailEnvironment InstallationPOPMailEnvironment(TMailServices& services) {
  TPOPMailEnvironment environment;
  environment.accounts = &services.extAccountList;
  environment.folders = InstallationMailFolders();
  environment.now = [] { return platform::Now(); };
  environment.openStore = [] { return OpenInstallationCollectionStore(); };
  environment.port = kPOP3Port;
  environment.runningTasks = &services.popMailTasks;
  environment.wakeQueue = [&services] { WakeEvent(services.queueDaemonWake); };
  return environment;
}

void StartMailServices(const TMailServiceClasses& classes) {
  TMailServices& services = MailServices();
  services.relayList.Clear();
  services.extAccountList.Clear();
  services.relayTasks.store(0);
  services.popMailTasks.store(0);
  services.queueDaemonWake.store(nullptr);
  services.popMailDaemonWake.store(nullptr);
  // Nothing writes to the mail folders yet.
  {
    const std::unique_ptr<TMailDirectory> directory = OpenInstallationDirectory();
    RecoverQueueFolder(InstallationMailFolders(), directory.get());
  }

  core::TDaemon& collection = core::StartDaemon(PopMailDaemonClass(InstallationPOPMailEnvironment(services)),
                                                kDaemonIntervalMinutes, platform::TThreadPriority::Lowest);
  services.popMailDaemonWake.store(collection.WakeEvent(), std::memory_order_release);
  core::TDaemon& queue =
      core::StartDaemon(classes.queueDaemon ? *classes.queueDaemon
                                            : QueueDaemonClass(InstallationQueueDaemonEnvironment(services)),
                        kDaemonIntervalMinutes, platform::TThreadPriority::Lowest);
  services.queueDaemonWake.store(queue.WakeEvent(), std::memory_order_release);
  const TMailEnvironment environment = MailServicesEnvironment();
  core::StartTCPServer(25, SMTPServerClass(environment), kMailConnections, kMailBacklog, kSMTPConnectionsPerAddress);
  core::StartTCPServer(110, POP3ServerClass(environment), kMailConnections, kMailBacklog);
  WakeQueueDaemon();
  WakePopMailDaemon();
}

void StopMailServices() {
  TMailServices& services = MailServices();
  services.queueDaemonWake.store(nullptr);
  services.popMailDaemonWake.store(nullptr);
  services.relayList.Clear();
  services.extAccountList.Clear();
}

void WakeQueueDaemon() { WakeEvent(MailServices().queueDaemonWake); }

void WakePopMailDaemon() { WakeEvent(MailServices().popMailDaemonWake); }

}  // namespace tovenmarsh::mail
