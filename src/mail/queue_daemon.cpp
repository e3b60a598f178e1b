// The queue daemon: queue rounds and the start of relay tasks.
#include "mail/queue_daemon.h"

#include "core/worker_threads.h"
#include "mail/mail_services.h"
#include "mail/relay_task.h"

namespace tovenmarsh::mail {

TQueueDaemonEnvironment InstallationQueueDaemonEnvironment() {
  TQueueDaemonEnvironment environment;
  environment.queue = InstallationQueueEnvironment();
  environment.runningRelayTasks = &MailServices().relayTasks;
  environment.startRelayTask = [](core::TDaemon& owner) {
    core::StartTask(&owner, core::ClassRef<core::TTask, TRelayTask>(), platform::TThreadPriority::Lowest);
  };
  return environment;
}

TQueueDaemon::TQueueDaemon() : TQueueDaemon(InstallationQueueDaemonEnvironment()) {}

TQueueDaemon::TQueueDaemon(TQueueDaemonEnvironment environment)
    : environment_(std::move(environment)), system_(environment_.queue) {
  SetTouchOnRun(false);
  SetMayExpire(false);
}

bool TQueueDaemon::Execute() {
  const int left = system_.ProcessQueue();
  TRelayList* list = environment_.queue.relayList;
  if (left > 0 && list != nullptr && environment_.runningRelayTasks != nullptr && environment_.startRelayTask) {
    StartRelayTaskWhenDue(*this, *list, *environment_.runningRelayTasks, environment_.queue.now(),
                          [this] { environment_.startRelayTask(*this); });
  }
  return true;
}

core::TDaemonClass QueueDaemonClass() { return core::ClassRef<core::TDaemon, TQueueDaemon>(); }

}  // namespace tovenmarsh::mail
