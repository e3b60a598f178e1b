// The manager thread and the framework's registries.
#include "core/manager_thread.h"

#include <algorithm>
#include <chrono>

#include "core/log.h"
#include "core/server_errors.h"
#include "core/sockets.h"
#include "core/system_parameters.h"
#include "platform/format.h"

namespace tovenmarsh::core {

namespace {

constexpr const char* kShutDownText = "Server has been shut down: This error should not occur";
constexpr const char* kShuttingDownText = "Server is shuting down: This error should not occur";

std::mutex g_managerLock;  // StartManagerThread / FreeManagerThread
std::unique_ptr<TManagerThread> g_managerOwner;
std::atomic<TManagerThread*> g_manager{nullptr};

TManagerThread& RequireManager() {
  TManagerThread* manager = g_manager.load(std::memory_order_acquire);
  if (manager == nullptr || IsShutDown()) throw EShutdown(kShutDownText);
  return *manager;
}

}  // namespace

TManagerThread::TManagerThread() = default;

TManagerThread::~TManagerThread() {
  if (Started() && !Finished()) {
    Terminate();
    Wake();
  }
  WaitFor();
  ReapEndedThreads();
}

void TManagerThread::CheckOpen(const char* what) {
  if (IsShutDown()) throw EShutdown(what);
}

platform::TThread& TManagerThread::AddThread(std::unique_ptr<platform::TThread> thread) {
  CheckOpen(kShutDownText);
  ReapEndedThreads();
  platform::TThread& added = *thread;
  {
    std::lock_guard<std::mutex> guard(threadsLock_);
    if (shuttingDown_.load()) added.Terminate();
    threads_.push_back(std::move(thread));
  }
  CountThread(true);
  return added;
}

void TManagerThread::RemoveThread(platform::TThread* thread) {
  CheckOpen(kShuttingDownText);
  bool found = false;
  {
    std::lock_guard<std::mutex> guard(threadsLock_);
    auto it = std::find_if(threads_.begin(), threads_.end(), [thread](const auto& t) { return t.get() == thread; });
    if (it != threads_.end()) {
      ended_.push_back(std::move(*it));
      threads_.erase(it);
      found = true;
    }
  }
  if (found) {
    CountThread(false);
    threadsChanged_.notify_all();
  }
}

void TManagerThread::DiscardThread(platform::TThread* thread) {
  std::unique_ptr<platform::TThread> discarded;
  {
    std::lock_guard<std::mutex> guard(threadsLock_);
    auto it = std::find_if(threads_.begin(), threads_.end(), [thread](const auto& t) { return t.get() == thread; });
    if (it == threads_.end()) return;
    discarded = std::move(*it);
    threads_.erase(it);
  }
  CountThread(false);
  threadsChanged_.notify_all();
  discarded->WaitFor();  // never started: returns at once
  discarded.reset();
}

void TManagerThread::ReapEndedThreads() {
  std::vector<std::unique_ptr<platform::TThread>> ended;
  {
    std::lock_guard<std::mutex> guard(threadsLock_);
    ended.swap(ended_);
  }
  for (auto& thread : ended) {
    thread->WaitFor();
    thread.reset();
  }
}

void TManagerThread::AddTimedServer(TTimedServer* server) {
  CheckOpen(kShutDownText);
  if (shuttingDown_.load()) server->SetStop(true);
  servers_.Add(server);
}

void TManagerThread::RemoveTimedServer(TTimedServer* server) {
  CheckOpen(kShuttingDownText);
  servers_.Remove(server);
}

platform::TCriticalSection* TManagerThread::NewCriticalSection() {
  CheckOpen(kShutDownText);
  auto section = std::make_unique<platform::TCriticalSection>();
  platform::TCriticalSection* result = section.get();
  std::lock_guard<std::mutex> guard(resourcesLock_);
  sections_.push_back(std::move(section));
  return result;
}

platform::TEvent* TManagerThread::NewEvent() {
  CheckOpen(kShutDownText);
  auto event = std::make_unique<platform::TEvent>();
  platform::TEvent* result = event.get();
  std::lock_guard<std::mutex> guard(resourcesLock_);
  // An event handed out during the shut-down starts set, so its waiter does not sleep.
  if (shuttingDown_.load()) result->SetEvent();
  events_.push_back(std::move(event));
  return result;
}

void TManagerThread::Sweep(platform::TDateTime now) {
  auto locked = servers_.LockList();
  auto& servers = locked.Items();
  for (size_t i = servers.size(); i-- > 0;) {
    TTimedServer* server = servers[i];
    if (server->StopFlag()) {
      servers.erase(servers.begin() + static_cast<std::ptrdiff_t>(i));
    } else if (server->IsExpired(now)) {
      server->SetStop(true);
    }
  }
}

size_t TManagerThread::ThreadCount() {
  std::lock_guard<std::mutex> guard(threadsLock_);
  return threads_.size();
}

size_t TManagerThread::TimedServerCount() { return servers_.Count(); }

bool TManagerThread::HasTimedServer(const TTimedServer* server) {
  return servers_.Contains(const_cast<TTimedServer*>(server));
}

void TManagerThread::Execute() {
  for (;;) {
    if (event_.WaitFor(intervalMs_.load()) == platform::TWaitResult::Signaled) event_.ResetEvent();
    if (Terminated()) break;
    Sweep(platform::Now());
    ReapEndedThreads();
  }
  Shutdown();
  CountThread(false);
}

void TManagerThread::Shutdown() {
  {
    std::lock_guard<std::mutex> guard(threadsLock_);
    shuttingDown_.store(true);
  }
  {
    auto locked = servers_.LockList();
    for (TTimedServer* server : locked.Items()) server->SetStop(true);
  }
  {
    std::lock_guard<std::mutex> guard(threadsLock_);
    for (auto& thread : threads_) thread->Terminate();
  }
  {
    std::lock_guard<std::mutex> guard(resourcesLock_);
    for (auto& event : events_) event->SetEvent();
  }
  InterruptSockets();
  intervalMs_.store(kShutdownIntervalMs);
  event_.ResetEvent();

  // Every thread has been told; most end at once. Wait the usual 1 + 15 seconds, and then on:
  // a thread still running may yet use a lock or event, so nothing is freed before it ends.
  {
    std::unique_lock<std::mutex> lock(threadsLock_);
    const auto limit = std::chrono::milliseconds(kShutdownIntervalMs * (kShutdownWaits + 1));
    if (!threadsChanged_.wait_for(lock, limit, [this] { return threads_.empty(); })) {
      const size_t left = threads_.size();
      lock.unlock();
      LogMessage(platform::Format("Shutdown: waiting for %zu threads still running", left));
      lock.lock();
      threadsChanged_.wait(lock, [this] { return threads_.empty(); });
    }
  }
  ReapEndedThreads();

  SetShutDown(true);
  {
    std::lock_guard<std::mutex> guard(resourcesLock_);
    sections_.clear();
    events_.clear();
  }
  servers_.Clear();
}

TManagerThread* ManagerThread() { return g_manager.load(std::memory_order_acquire); }

void StartManagerThread() {
  std::lock_guard<std::mutex> guard(g_managerLock);
  if (g_managerOwner) {
    if (!IsShutDown()) return;  // already running
    SetTimedServerRegistry(nullptr);
    g_manager.store(nullptr, std::memory_order_release);
    g_managerOwner.reset();
  }
  SetStopping(false);
  SetShutDown(false);
  g_managerOwner = std::make_unique<TManagerThread>();
  g_manager.store(g_managerOwner.get(), std::memory_order_release);
  SetTimedServerRegistry(g_managerOwner.get());
  CountThread(true);
  try {
    g_managerOwner->Start();
  } catch (...) {
    // No manager runs: the framework stays shut down, so that nothing registers with a
    // manager that would never stop it and a later start begins afresh.
    CountThread(false);
    SetTimedServerRegistry(nullptr);
    g_manager.store(nullptr, std::memory_order_release);
    g_managerOwner.reset();
    SetShutDown(true);
    throw;
  }
}

void StopServers() {
  TManagerThread* manager = ManagerThread();
  if (manager == nullptr || !manager->Started()) return;
  manager->Terminate();
  manager->Wake();
  manager->WaitFor();
}

void FreeManagerThread() {
  std::lock_guard<std::mutex> guard(g_managerLock);
  if (!g_managerOwner) return;
  if (!IsShutDown()) StopServers();
  SetTimedServerRegistry(nullptr);
  g_manager.store(nullptr, std::memory_order_release);
  g_managerOwner.reset();
}

platform::TCriticalSection* NewCriticalSection() { return RequireManager().NewCriticalSection(); }
platform::TEvent* NewEvent() { return RequireManager().NewEvent(); }

void StartSockets() {
  PrepareSockets();
  StartManagerThread();
  std::string hostName;
  std::string shortName;
  GetHostNames(hostName, shortName);
  SystemParameters().SetHostNames(hostName, shortName);
}

void StopSockets() {
  if (!IsShutDown()) {
    SetStopping(true);
    StopServers();
  }
  FreeManagerThread();
}

}  // namespace tovenmarsh::core
