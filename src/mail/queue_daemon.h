// TQueueDaemon: the periodic worker of the mail queue. Each round runs the queue processing
// and, while remote entries wait in the relay list, starts one more relay task when one is due
// (at most five at once, spaced by the daemon's idle time). Started every 5 minutes and woken by
// the SMTP server after each message, by the last collection or relay task to end, and at the
// mail services' start. Neither touched on its run nor expired by the idle sweep.
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "core/timed_server.h"
#include "mail/queue_system.h"

namespace tovenmarsh::mail {

struct TQueueDaemonEnvironment {
  TQueueEnvironment queue;
  std::atomic<int>* runningRelayTasks = nullptr;
  // Starts one relay task owned by the daemon (called under the daemon's lock); may be empty.
  std::function<void(core::TDaemon& owner)> startRelayTask;
};

// The installation's: the queue environment, the process-wide relay task counter and relay
// tasks started through the thread framework.
TQueueDaemonEnvironment InstallationQueueDaemonEnvironment();

class TQueueDaemon : public core::TDaemon {
 public:
  TQueueDaemon();
  explicit TQueueDaemon(TQueueDaemonEnvironment environment);

  std::string ClassName() const override { return "TQueueDaemon"; }
  TQueueSystem& System() { return system_; }
  // One round, as the daemon's thread runs it.
  bool Round() { return Execute(); }

 protected:
  bool Execute() override;

 private:
  TQueueDaemonEnvironment environment_;
  TQueueSystem system_;
};

// The class reference the mail services' start uses.
core::TDaemonClass QueueDaemonClass();

}  // namespace tovenmarsh::mail
