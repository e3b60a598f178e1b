// The queue daemon: queue rounds, the start of relay tasks and the sleep until a retry is due.
#include "mail/queue/queue_daemon.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "mail/relay/relay_task.h"
#include "platform/sync.h"

namespace tovenmarsh::mail {

namespace {

constexpr double kMillisecondsPerDay = 86400000.0;
constexpr double kIntervalMilliseconds = kQueueDaemonIntervalMinutes * 60000.0;

}  // namespace

uint32_t RelayDueWait(const TRelayList& list, platform::TDateTime now) {
  const platform::TDateTime due = list.NextDue(now);
  if (due == 0 || due <= now) return 0;
  const double ms = std::ceil((due - now) * kMillisecondsPerDay);
  if (ms >= kIntervalMilliseconds) return 0;
  return static_cast<uint32_t>(std::max(ms, 1.0));
}

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
    SleepUntilDue();
  }
  return true;
}

void TQueueDaemon::SleepUntilDue() {
  // A running task takes what becomes due while it runs, and the last one to end wakes us.
  if (StopFlag() || environment_.runningRelayTasks->load() > 0) return;
  const uint32_t ms = RelayDueWait(*environment_.queue.relayList, environment_.queue.now());
  if (ms == 0) return;
  if (environment_.sleep) {
    environment_.sleep(ms);
    return;
  }
  platform::TEvent* wake = WakeEvent();
  if (wake == nullptr) return;
  // Woken meanwhile (a new message, the stop): the event stays set. Due: set it ourselves.
  if (wake->WaitFor(ms) == platform::TWaitResult::Timeout) wake->SetEvent();
}

core::TDaemonClass QueueDaemonClass(TQueueDaemonEnvironment environment) {
  return core::TDaemonClass{"TQueueDaemon", [environment = std::move(environment)] {
                              return std::unique_ptr<core::TDaemon>(std::make_unique<TQueueDaemon>(environment));
                            }};
}

}  // namespace tovenmarsh::mail
