// TSessionDaemon: purges the process's login-session list every minute. It never expires when
// idle; StartSessionDaemon creates the global list and starts it, StopSessionDaemon frees the
// list (the daemon's thread is stopped with all threads by the manager).
#pragma once

#include "core/timed_server.h"

namespace tovenmarsh::web {

class TSessionDaemon : public core::TDaemon {
 public:
  TSessionDaemon();

 protected:
  // Purges the global list (when there is one); always true.
  bool Execute() override;
};

// Answers the daemon (valid while its thread runs), so that it can be woken.
core::TDaemon& StartSessionDaemon();
void StopSessionDaemon();

}  // namespace tovenmarsh::web
