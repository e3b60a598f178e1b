// Synchronisation objects of the kernel kind the server is written against:
// - TCriticalSection: a re-entrant lock (the owning thread may enter it again; each Enter needs
//   its Leave). It also satisfies BasicLockable, so std::lock_guard/std::unique_lock work.
// - TEvent: a manual-reset event; once set it stays set, waking every waiter, until reset.
// - TSemaphore: a counting semaphore with a maximum; Release beyond the maximum is refused.
// Timed waits take milliseconds; kInfinite waits without limit.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace tovenmarsh::platform {

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class TWaitResult { Signaled, Timeout, Abandoned, Error };

class TCriticalSection {
 public:
  TCriticalSection() = default;
  TCriticalSection(const TCriticalSection&) = delete;
  TCriticalSection& operator=(const TCriticalSection&) = delete;

  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }
  bool TryEnter() { return mutex_.try_lock(); }

  void lock() { Enter(); }
  void unlock() { Leave(); }
  bool try_lock() { return TryEnter(); }

 private:
  std::recursive_mutex mutex_;
};

class TEvent {
 public:
  explicit TEvent(bool initiallySet = false) : set_(initiallySet) {}
  TEvent(const TEvent&) = delete;
  TEvent& operator=(const TEvent&) = delete;

  void SetEvent();
  void ResetEvent();
  bool IsSet() const;
  // Signaled as soon as the event is set (at once when it already is), Timeout after ms.
  TWaitResult WaitFor(uint32_t ms);

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_;
};

class TSemaphore {
 public:
  // initial free slots out of maximum; initial is clamped to 0..maximum, maximum to at least 1.
  TSemaphore(int initial, int maximum);
  TSemaphore(const TSemaphore&) = delete;
  TSemaphore& operator=(const TSemaphore&) = delete;

  // Takes one slot; false when none became free within ms.
  bool Acquire(uint32_t ms);
  // Gives count slots back; false (and nothing changes) when that would exceed the maximum.
  bool Release(int count = 1);
  int Available() const;
  int Maximum() const { return maximum_; }

 private:
  mutable std::mutex mutex_;
  std::condition_variable freed_;
  int count_;
  const int maximum_;
};

}  // namespace tovenmarsh::platform
