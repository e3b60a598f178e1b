// TClientTask: what the relay task and the collection task share as clients of a remote mail
// server: the outgoing connection with its bounded line reader, the one way of sending a
// command line, and the bookkeeping of the running tasks of a kind (counted up when a task is
// made, down when it goes; the last one of its kind to go wakes the queue daemon).
//
// Also the daemons' common rule for starting a task: only when work is due, at most
// kMaxClientTasks at once, and no faster than one per five idle minutes per running task.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "core/sockets.h"
#include "core/tcp_client.h"
#include "core/timed_server.h"
#include "mail/relay/relay_reply.h"
#include "platform/date_time.h"
#include "platform/sync.h"

namespace tovenmarsh::mail {

inline constexpr int kMaxClientTasks = 5;

class TClientTask : public core::TTask {
 public:
  core::TTCPClient& Client() { return client_; }

 protected:
  // Counts the kind up (and runningTasks, when given) and gives the client its time-outs.
  TClientTask(int kind, const core::TTimeouts& timeouts, std::atomic<int>* runningTasks,
              std::function<void()> wakeQueue);
  // Counts runningTasks down; a descendant closes its own session before (QUIT differs).
  ~TClientTask() override;

  // Sends text and CR LF; false (and nothing kept in the output) when the send failed or there
  // is no dialogue to send in (not connected, or the server has closed).
  bool SendLine(const std::string& text);
  // Drops the connection without a farewell and forgets what was read on it.
  void DropConnection();

  core::TTCPClient client_;
  TClientLines lines_;

 private:
  std::atomic<int>* runningTasks_;
  std::function<void()> wakeQueue_;
};

// Starts one more task through start when due: at once when none runs (the owner is touched),
// otherwise only below kMaxClientTasks and once the owner has been idle for five minutes per
// running task. start runs under the owner's lock (a new task counts itself up in its
// constructor, and down under that lock in its destructor). Answers whether it started one.
bool StartTaskWhenDue(core::TDaemon& owner, bool due, std::atomic<int>& runningTasks, platform::TDateTime now,
                      const std::function<void()>& start);

// Counts a running task down under its owner's lock (none: unlocked); the last one to end
// runs wakeQueue, whose failures are swallowed.
void EndRunningTask(std::atomic<int>* runningTasks, platform::TCriticalSection* lock,
                    const std::function<void()>& wakeQueue);

}  // namespace tovenmarsh::mail
