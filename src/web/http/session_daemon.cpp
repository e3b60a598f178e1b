// The login-session purge daemon (see session_daemon.h).
#include "web/http/session_daemon.h"

#include "core/worker_threads.h"
#include "web/http/login_session.h"

namespace tovenmarsh::web {

TSessionDaemon::TSessionDaemon() { SetMayExpire(false); }

bool TSessionDaemon::Execute() {
  if (std::shared_ptr<TSessionSystem> list = SessionList()) list->Purge();
  return true;
}

core::TDaemon& StartSessionDaemon() {
  InstallSessionList(std::make_shared<TSessionSystem>());
  return core::StartDaemon(core::ClassRef<core::TDaemon, TSessionDaemon>(), 1,
                    platform::TThreadPriority::Idle);
}

void StopSessionDaemon() { InstallSessionList(nullptr); }

}  // namespace tovenmarsh::web
