// Timed servers: the common base of every unit of work (a protocol object per connection, a
// daemon per periodic job, a task per one-shot job).
//
// A TTimedServer registers itself with the timed-server registry (the running manager thread)
// for the idle sweep when created (EShutdown once the framework has shut down) and unregisters
// when destroyed. It carries the
// connection kind for the counters, a lock shared with its siblings (owned by the manager's
// registry), an atomic stop flag that every worker loop checks, the time of its last activity
// and an idle time-out in minutes, where one minute is 0.000694 day. Run is the guarded work
// step: an exception from Execute is logged and, unless HandleException asks for it to end
// the worker (ETCPServer), the loop goes on.
//
// Workers are created through a class reference (TClassRef): a name for the log and a factory
// that returns the new object, owned by the thread that runs it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>

#include "platform/date_time.h"
#include "platform/sync.h"

namespace tovenmarsh::core {

using platform::TDateTime;

// A class name without its namespaces ("TSMTPServer").
std::string ShortClassName(const std::type_info& type);

template <class Base>
struct TClassRef {
  std::string name;
  std::function<std::unique_ptr<Base>()> create;
};

// The class reference of T, a default-constructible descendant of Base.
template <class Base, class T>
TClassRef<Base> ClassRef() {
  return TClassRef<Base>{ShortClassName(typeid(T)), [] { return std::unique_ptr<Base>(std::make_unique<T>()); }};
}

class TTimedServer;

// Keeps the timed servers for the idle sweep: the running manager thread, which installs itself.
class TTimedServerRegistry {
 public:
  // Both raise EShutdown once the framework has shut down.
  virtual void AddTimedServer(TTimedServer* server) = 0;
  virtual void RemoveTimedServer(TTimedServer* server) = 0;

 protected:
  ~TTimedServerRegistry() = default;
};

// Installs the registry that timed servers join (nullptr: none; making one then raises
// EShutdown).
void SetTimedServerRegistry(TTimedServerRegistry* registry);

class TTimedServer {
 public:
  // One minute of the idle arithmetic, in days.
  static constexpr double kMinute = 0.000694;

  TTimedServer();
  virtual ~TTimedServer();
  TTimedServer(const TTimedServer&) = delete;
  TTimedServer& operator=(const TTimedServer&) = delete;

  // The object's class name without namespaces.
  virtual std::string ClassName() const;

  // Clears the stop flag and notes the time of activity.
  void Touch();
  void Touch(TDateTime now);
  bool IsIdleFor(int minutes) const;
  bool IsIdleFor(int minutes, TDateTime now) const;
  bool IsExpired() const;
  bool IsExpired(TDateTime now) const;

  void Lock();
  void Unlock();

  // Counts the kind up and keeps it (it is counted down when the object goes).
  void SetKind(int kind);
  int Kind() const { return kind_; }

  // The guarded work step.
  bool Run();

  bool StopFlag() const { return stop_.load(std::memory_order_acquire); }
  void SetStop(bool stop) { stop_.store(stop, std::memory_order_release); }
  uint32_t ThreadId() const { return threadId_.load(std::memory_order_relaxed); }
  void SetThreadId(uint32_t id) { threadId_.store(id, std::memory_order_relaxed); }
  platform::TCriticalSection* SharedLock() const { return lock_; }
  void SetLock(platform::TCriticalSection* lock) { lock_ = lock; }
  int IdleMinutes() const { return idleMinutes_.load(std::memory_order_relaxed); }
  void SetIdleMinutes(int minutes) { idleMinutes_.store(minutes, std::memory_order_relaxed); }
  bool TouchOnRun() const { return touchOnRun_; }
  void SetTouchOnRun(bool touch) { touchOnRun_ = touch; }
  bool MayExpire() const { return mayExpire_.load(std::memory_order_relaxed); }
  void SetMayExpire(bool may) { mayExpire_.store(may, std::memory_order_relaxed); }
  TDateTime LastActivity() const { return lastActivity_.load(std::memory_order_acquire); }

 protected:
  // Answers true to end the worker after a logged exception of Execute.
  virtual bool HandleException(const std::exception& e);
  // One step of work; false ends the worker.
  virtual bool Execute();

 private:
  int kind_ = 0;
  std::atomic<uint32_t> threadId_{0};
  platform::TCriticalSection* lock_ = nullptr;
  std::atomic<bool> stop_{false};
  std::atomic<TDateTime> lastActivity_;
  std::atomic<int> idleMinutes_;
  bool touchOnRun_ = true;
  std::atomic<bool> mayExpire_{true};
};

// A periodic worker; its thread runs it on its interval and at once when woken.
class TDaemon : public TTimedServer {
 public:
  // Wakes the daemon's thread so that it runs the daemon at once.
  void Wake();
  // The wake event: owned by the manager's registry, it stays valid until the framework shuts
  // down, also after the daemon itself has gone.
  platform::TEvent* WakeEvent() const { return wakeEvent_; }
  void SetWakeEvent(platform::TEvent* event) { wakeEvent_ = event; }

 private:
  platform::TEvent* wakeEvent_ = nullptr;
};

// A one-shot worker.
class TTask : public TTimedServer {};

using TDaemonClass = TClassRef<TDaemon>;
using TTaskClass = TClassRef<TTask>;

}  // namespace tovenmarsh::core
