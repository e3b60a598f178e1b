// TTCPServer: status dispatch and default hooks.
#include "core/tcp_server.h"

#include "core/manager_thread.h"

namespace tovenmarsh::core {

TTCPServer::TTCPServer() : timeouts_(DefaultTimeouts()) {}

bool TTCPServer::DispatchStatus(uint8_t status) {
  if (IsStopping()) return false;
  switch (status) {
    case ssOK: return true;
    case ssTimeout: {
      bool continueConnection = false;
      OnTimeout(continueConnection);
      return continueConnection;
    }
    case ssConnectionReset: OnConnectionReset(); return false;
    case ssConnectionClosed: OnConnectionClosed(); return false;
    case ssSocketError: OnSocketError(); return false;
    case ssCancelled: OnCancelled(); return false;
    default: return false;
  }
}

bool TTCPServer::ProgressHook(size_t bytes, bool reading) {
  bool cancel = StopFlag();
  Progress(bytes, reading, cancel);
  return cancel;
}

void TTCPServer::Progress(size_t, bool, bool&) {}
void TTCPServer::OnTimeout(bool&) {}
void TTCPServer::OnConnectionReset() {}
void TTCPServer::OnConnectionClosed() {}
void TTCPServer::OnSocketError() {}
void TTCPServer::OnCancelled() {}
bool TTCPServer::Farewell() { return false; }
bool TTCPServer::Greeting() { return false; }

}  // namespace tovenmarsh::core
