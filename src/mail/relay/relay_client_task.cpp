// The common part of the relay and collection tasks.
#include "mail/relay/relay_client_task.h"

#include <utility>

#include "core/log.h"

namespace tovenmarsh::mail {

TClientTask::TClientTask(int kind, const core::TTimeouts& timeouts, std::atomic<int>* runningTasks,
                         std::function<void()> wakeQueue)
    : lines_(client_), runningTasks_(runningTasks), wakeQueue_(std::move(wakeQueue)) {
  SetKind(kind);
  // A long relay or collection is work, not idleness: the idle sweep must not stop it half-way.
  SetMayExpire(false);
  client_.Timeouts() = timeouts;
  if (runningTasks_ != nullptr) runningTasks_->fetch_add(1);
}

TClientTask::~TClientTask() {
  client_.Disconnect();
  EndRunningTask(runningTasks_, SharedLock(), wakeQueue_);
}

bool TClientTask::SendLine(const std::string& text) {
  client_.Output().Clear();
  if (!client_.Connected()) return false;
  client_.Output().AddText(text);
  client_.Output().AddText("\r\n");
  client_.Send();
  if (client_.Output().Status() != core::ssOK) {
    client_.Output().Clear();
    return false;
  }
  return true;
}

void TClientTask::DropConnection() {
  client_.Disconnect();
  lines_.Reset();
}

void EndRunningTask(std::atomic<int>* runningTasks, platform::TCriticalSection* lock,
                    const std::function<void()>& wakeQueue) {
  if (runningTasks == nullptr) return;
  if (lock != nullptr) lock->Enter();
  const bool last = runningTasks->fetch_sub(1) == 1;
  if (lock != nullptr) lock->Leave();
  if (last && wakeQueue) {
    try {
      wakeQueue();
    } catch (...) {
      // A task ending must not raise (this runs from its destructor); the queue's own timer
      // wakes it later, and the log says why it was not woken now.
      core::LogCurrentException("waking the queue after the last relay task");
    }
  }
}

bool StartTaskWhenDue(core::TDaemon& owner, bool due, std::atomic<int>& runningTasks, platform::TDateTime now,
                      const std::function<void()>& start) {
  if (!due) return false;
  owner.Lock();
  struct TUnlock {
    core::TDaemon& owner;
    ~TUnlock() { owner.Unlock(); }
  } unlock{owner};
  const int running = runningTasks.load();
  if (running == 0) owner.Touch(now);
  if (running >= kMaxClientTasks || !owner.IsIdleFor(running * 5, now)) return false;
  start();
  return true;
}

}  // namespace tovenmarsh::mail
