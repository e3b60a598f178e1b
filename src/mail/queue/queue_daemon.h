// TQueueDaemon: the periodic worker of the mail queue. Each round runs the queue processing
// and, while remote entries wait in the relay list, starts one more relay task when one is due
// (at most five at once, spaced by the daemon's idle time). Started every 5 minutes and woken by
// the SMTP server after each message, by the last collection or relay task to end, and at the
// mail services' start. Neither touched on its run nor expired by the idle sweep.
//
// Between rounds it sleeps until the earliest retry time of a waiting relay entry when that
// comes before its next 5-minute round, and no relay task runs (a running task's end wakes
// it anyway): a soft-rejected entry is tried again when it is due, not minutes later, and no
// round runs while nothing is due. The sleep ends early when the daemon is woken or stopped,
// and leaves the wake event set, so that the daemon's thread runs the next round at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "core/timed_server.h"
#include "mail/queue/queue_system.h"

namespace tovenmarsh::mail {

// Minutes between the queue daemon's rounds when nothing wakes it.
inline constexpr int kQueueDaemonIntervalMinutes = 5;

struct TQueueDaemonEnvironment {
  TQueueEnvironment queue;
  std::atomic<int>* runningRelayTasks = nullptr;
  // Starts one relay task owned by the daemon (called under the daemon's lock); may be empty.
  std::function<void(core::TDaemon& owner)> startRelayTask;
  // Sleeps ms milliseconds or until the daemon is woken. Empty: waits on the daemon's wake
  // event. Tests put a clock of their own forward here.
  std::function<void(uint32_t ms)> sleep;
};

// Milliseconds from now until the earliest due time of a waiting relay entry, when that is
// later than now and sooner than the daemon's interval; 0 when the daemon need not sleep for
// the relay list (nothing waits, something is due now, or the interval comes first).
uint32_t RelayDueWait(const TRelayList& list, platform::TDateTime now);

class TQueueDaemon : public core::TDaemon {
 public:
  explicit TQueueDaemon(TQueueDaemonEnvironment environment);

  std::string ClassName() const override { return "TQueueDaemon"; }
  TQueueSystem& System() { return system_; }
  // One round, as the daemon's thread runs it.
  bool Round() { return Execute(); }

 protected:
  bool Execute() override;

 private:
  void SleepUntilDue();

  TQueueDaemonEnvironment environment_;
  TQueueSystem system_;
};

// The class reference of queue daemons made with environment (the mail services' start uses it).
core::TDaemonClass QueueDaemonClass(TQueueDaemonEnvironment environment);

}  // namespace tovenmarsh::mail
