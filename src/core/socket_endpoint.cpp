// TSocketEndpoint: status dispatch and the default (empty) hooks.
#include "core/socket_endpoint.h"

namespace tovenmarsh::core {

TSocketEndpoint::TSocketEndpoint() : timeouts_(DefaultTimeouts()) {}

bool TSocketEndpoint::DispatchToHooks(uint8_t status) {
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

bool TSocketEndpoint::AskProgress(size_t bytes, bool reading, bool cancel) {
  Progress(bytes, reading, cancel);
  return cancel;
}

void TSocketEndpoint::Progress(size_t, bool, bool&) {}
void TSocketEndpoint::OnTimeout(bool&) {}
void TSocketEndpoint::OnConnectionReset() {}
void TSocketEndpoint::OnConnectionClosed() {}
void TSocketEndpoint::OnSocketError() {}
void TSocketEndpoint::OnCancelled() {}

}  // namespace tovenmarsh::core
