// Timed servers: registration, idle arithmetic and the guarded run.
#include "core/timed_server.h"

#include <cmath>
#include <cstdlib>
#include <cxxabi.h>

#include "core/framework_state.h"
#include "core/log.h"
#include "core/server_errors.h"
#include "core/sockets.h"
#include "core/system_parameters.h"

namespace tovenmarsh::core {

namespace {

std::atomic<TTimedServerRegistry*> g_registry{nullptr};

void RegisterTimedServer(TTimedServer* server) {
  TTimedServerRegistry* registry = g_registry.load(std::memory_order_acquire);
  if (registry == nullptr || IsShutDown()) throw EShutdown("Server has been shut down: This error should not occur");
  registry->AddTimedServer(server);
}

// Does nothing once the framework is shut down.
void UnregisterTimedServer(TTimedServer* server) noexcept {
  try {
    if (IsShutDown()) return;
    TTimedServerRegistry* registry = g_registry.load(std::memory_order_acquire);
    if (registry != nullptr) registry->RemoveTimedServer(server);
  } catch (...) {
    // Called from destructors, so it cannot raise; a server left on the manager's list is
    // worth a line in the log.
    LogCurrentException("unregistering a timed server");
  }
}

}  // namespace

void SetTimedServerRegistry(TTimedServerRegistry* registry) { g_registry.store(registry, std::memory_order_release); }

std::string ShortClassName(const std::type_info& type) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(type.name(), nullptr, nullptr, &status);
  std::string name = status == 0 && demangled != nullptr ? demangled : type.name();
  std::free(demangled);
  // Drop namespaces but not template arguments' scopes: cut at the last "::" before any "<".
  const size_t templ = name.find('<');
  const size_t scope = name.rfind("::", templ);
  if (scope != std::string::npos) name.erase(0, scope + 2);
  return name;
}

TTimedServer::TTimedServer() : lastActivity_(platform::Now()), idleMinutes_(DefaultIdleMinutes()) {
  RegisterTimedServer(this);
}

TTimedServer::~TTimedServer() {
  if (IsShutDown()) return;
  UnregisterTimedServer(this);
  CountConnection(false, kind_);
}

std::string TTimedServer::ClassName() const { return ShortClassName(typeid(*this)); }

void TTimedServer::Touch() { Touch(platform::Now()); }

void TTimedServer::Touch(TDateTime now) {
  stop_.store(false, std::memory_order_release);
  lastActivity_.store(now, std::memory_order_release);
}

bool TTimedServer::IsIdleFor(int minutes) const { return IsIdleFor(minutes, platform::Now()); }

bool TTimedServer::IsIdleFor(int minutes, TDateTime now) const {
  return now - LastActivity() >= std::abs(minutes) * kMinute;
}

bool TTimedServer::IsExpired() const { return IsExpired(platform::Now()); }

bool TTimedServer::IsExpired(TDateTime now) const { return MayExpire() && IsIdleFor(IdleMinutes(), now); }

void TTimedServer::Lock() {
  if (lock_ != nullptr) lock_->Enter();
}

void TTimedServer::Unlock() {
  if (lock_ != nullptr) lock_->Leave();
}

void TTimedServer::SetKind(int kind) {
  CountConnection(true, kind);
  kind_ = kind;
}

bool TTimedServer::HandleException(const std::exception&) { return false; }

bool TTimedServer::Execute() { return false; }

bool TTimedServer::Run() {
  if (touchOnRun_) Touch();
  try {
    return Execute();
  } catch (const std::exception& e) {
    const std::string name = ClassName();
    LogException("in " + name, e, false);
    if (HandleException(e)) throw ETCPServer(name + " exception re-raised");
    return true;
  }
}

void TDaemon::Wake() {
  if (wakeEvent_ != nullptr) wakeEvent_->SetEvent();
}

}  // namespace tovenmarsh::core
