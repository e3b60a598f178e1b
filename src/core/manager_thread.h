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

#include "platform/date_time.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/thread_list.h"

namespace tovenmarsh::core {

class TVThread;
class TTimedServer;

// The framework's flags: shut down (registries closed) from the end of a shut-down until the
// next StartSockets (and before the first); stopping while StopSockets stops the servers.
bool IsShutDown();
bool IsStopping();
void SetStopping(bool stopping);

class TManagerThread : public platform::TThread {
 public:
  static constexpr uint32_t kSweepIntervalMs = 60000;
  static constexpr uint32_t kShutdownIntervalMs = 1000;
  static constexpr int kShutdownWaits = 15;

  TManagerThread();
  ~TManagerThread() override;

  // Takes a new, not yet started thread; raises EShutdown once the framework is shut down.
  // A thread added while the shut-down runs is terminated at once.
  TVThread& AddThread(std::unique_ptr<TVThread> thread);
  // Called by a thread as its last act: it leaves the registry, to be joined and freed.
  void RemoveThread(TVThread* thread);
  // Frees a registered thread that was never started.
  void DiscardThread(TVThread* thread);
  void AddTimedServer(TTimedServer* server);
  void RemoveTimedServer(TTimedServer* server);
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
  std::vector<std::unique_ptr<TVThread>> threads_;
  std::vector<std::unique_ptr<TVThread>> ended_;
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

// Registry operations on the running manager; EShutdown when there is none or it has shut down.
platform::TCriticalSection* NewCriticalSection();
platform::TEvent* NewEvent();
void RegisterTimedServer(TTimedServer* server);
// Does nothing once the framework is shut down.
void UnregisterTimedServer(TTimedServer* server) noexcept;

}  // namespace tovenmarsh::core
