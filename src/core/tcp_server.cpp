// TTCPServer: status dispatch while the framework runs, and the default greeting and farewell.
#include "core/tcp_server.h"

#include "core/framework_state.h"

namespace tovenmarsh::core {

TTCPServer::TTCPServer() = default;

bool TTCPServer::DispatchStatus(uint8_t status) {
  if (IsStopping()) return false;
  return DispatchToHooks(status);
}

bool TTCPServer::ProgressHook(size_t bytes, bool reading) {
  return AskProgress(bytes, reading, StopFlag());
}

bool TTCPServer::Farewell() { return false; }
bool TTCPServer::Greeting() { return false; }

}  // namespace tovenmarsh::core
