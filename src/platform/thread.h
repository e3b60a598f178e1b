// A thread object in the manner of the class library: created suspended, started once, asked
// to stop through a terminate flag that its Execute polls, and joined by its owner.
//
// Contract: Execute runs on the new thread; an exception escaping it is handed to
// HandleException on that thread and goes no further. DoTerminate runs on the thread after
// Execute (also after an exception) and is the last code of the thread that touches the object:
// an owner that learns from it that the thread ended calls WaitFor and may then destroy the
// object. The destructor joins too, but only after derived members are gone: owners of derived
// threads call WaitFor first. An object is never destroyed from its own thread.
// Priorities are accepted and kept as a hint only; Linux threads all run at normal priority.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <mutex>
#include <thread>

namespace tovenmarsh::platform {

enum class TThreadPriority { Idle, Lowest, Lower, Normal, Higher, Highest, TimeCritical };

// One step up or down, clamped to the seven steps.
TThreadPriority PriorityAbove(TThreadPriority p);
TThreadPriority PriorityBelow(TThreadPriority p);

class TThread {
 public:
  TThread();
  virtual ~TThread();
  TThread(const TThread&) = delete;
  TThread& operator=(const TThread&) = delete;

  // Starts the thread; later calls do nothing.
  void Start();
  // Sets the terminate flag; Execute ends when it next looks at it.
  void Terminate() { terminated_.store(true, std::memory_order_release); }
  bool Terminated() const { return terminated_.load(std::memory_order_acquire); }
  // Waits until the thread has ended (returns at once when it never started). Safe from several
  // threads; a call from the thread itself returns at once.
  void WaitFor();
  bool Started() const { return started_.load(std::memory_order_acquire); }
  // True once Execute and DoTerminate have returned.
  bool Finished() const { return finished_.load(std::memory_order_acquire); }

  // A process-unique number, fixed at construction (never 0).
  uint32_t ThreadId() const { return id_; }
  void SetPriority(TThreadPriority p) { priority_.store(p, std::memory_order_relaxed); }
  TThreadPriority Priority() const { return priority_.load(std::memory_order_relaxed); }

 protected:
  virtual void Execute() = 0;
  virtual void DoTerminate() {}
  virtual void HandleException(std::exception_ptr) {}

 private:
  void Run();

  const uint32_t id_;
  std::atomic<bool> terminated_{false};
  std::atomic<bool> started_{false};
  std::atomic<bool> finished_{false};
  std::atomic<TThreadPriority> priority_{TThreadPriority::Normal};
  std::mutex join_mutex_;
  std::thread thread_;
};

}  // namespace tovenmarsh::platform
