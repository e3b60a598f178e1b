// The manager thread: the registries of every worker thread, timed server, shared lock and
// event of the framework, the idle sweep, and the orderly shut-down.
//
// Ownership: the manager owns every registered thread (a thread leaves the registry as its last
// act and is joined and freed by the manager soon after), every lock and every event it hands
// out (they live until the shut-down), and none of the timed servers (their threads own them).
// Shut-down: every timed server's stop flag is set, every thread terminated, every event set
// and every socket wait interrupted; then the manager waits for every thread to end and joins
// it, and only then marks the framework shut down and frees the locks and events. So no worker
// ever touches a freed lock, event or semaphore.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "core/framework_state.h"
#include "core/timed_server.h"
#include "platform/date_time.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/thread_list.h"

namespace tovenmarsh::core {

class TManagerThread : public platform::TThread, public TTimedServerRegistry {
 public:
  static constexpr uint32_t kSweepIntervalMs = 60000;
  static constexpr uint32_t kShutdownIntervalMs = 1000;
  static constexpr int kShutdownWaits = 15;

  TManagerThread();
  ~TManagerThread() override;

  // Takes a new, not yet started thread; raises EShutdown once the framework is shut down.
  // A thread added while the shut-down runs is terminated at once.
  platform::TThread& AddThread(std::unique_ptr<platform::TThread> thread);
  // Called by a thread as its last act: it leaves the registry, to be joined and freed.
  void RemoveThread(platform::TThread* thread);
  // Frees a registered thread that was never started.
  void DiscardThread(platform::TThread* thread);
  void AddTimedServer(TTimedServer* server) override;
  void RemoveTimedServer(TTimedServer* server) override;
  // A new lock / manual-reset event, owned by the registry until the shut-down.
  platform::TCriticalSection* NewCriticalSection();
  platform::TEvent* NewEvent();

  // One idle sweep as at the time now: a stopped server leaves the registry, any other is
  // stopped when it has expired.
  void Sweep(platform::TDateTime now);
  // Wakes the manager's loop (a sweep follows unless it is terminated).
  void Wake() { event_.SetEvent(); }

  size_t ThreadCount();
  size_t TimedServerCount();
  bool HasTimedServer(const TTimedServer* server);
  uint32_t SweepIntervalMs() const { return intervalMs_.load(); }

 protected:
  void Execute() override;

 private:
  void Shutdown();
  void ReapEndedThreads();
  void CheckOpen(const char* what);

  std::mutex threadsLock_;
  std::condition_variable threadsChanged_;
  std::vector<std::unique_ptr<platform::TThread>> threads_;
  std::vector<std::unique_ptr<platform::TThread>> ended_;
  std::atomic<bool> shuttingDown_{false};

  platform::TThreadList<TTimedServer*> servers_;

  std::mutex resourcesLock_;
  std::vector<std::unique_ptr<platform::TCriticalSection>> sections_;
  std::vector<std::unique_ptr<platform::TEvent>> events_;

  platform::TEvent event_;
  std::atomic<uint32_t> intervalMs_{kSweepIntervalMs};
};

// The running manager thread, or nullptr.
TManagerThread* ManagerThread();
// Clears the framework's flags and starts a new manager thread (StartSockets).
void StartManagerThread();
// Stops the servers when that has not happened and frees the manager thread (StopSockets).
void FreeManagerThread();
// Terminates the manager thread and waits until its shut-down has run.
void StopServers();

// Starts the framework: readies the socket layer (SIGPIPE ignored, interrupt cleared), clears
// the shut-down and stopping flags, starts the manager thread and stores the host names in the
// system parameters.
void StartSockets();
// Stops every thread (when that has not happened yet) and frees the manager thread.
void StopSockets();

// Registry operations on the running manager; EShutdown when there is none or it has shut down.
platform::TCriticalSection* NewCriticalSection();
platform::TEvent* NewEvent();

}  // namespace tovenmarsh::core
