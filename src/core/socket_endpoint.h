// TSocketEndpoint: what an accepted connection (TTCPServer) and an outgoing connection
// (TTCPClient) share: the input and output buffers, the read framing, their own copy of the
// time-outs, the connection info, and the hooks that a socket status is dispatched to.
//
// Dispatch: status 0 goes on; 1 asks OnTimeout with "continue" preset to false; 2..5 call
// OnConnectionReset, OnConnectionClosed, OnSocketError or OnCancelled and end the connection.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/sockets.h"
#include "core/tcp_buffer.h"

namespace tovenmarsh::core {

class TSocketEndpoint {
 public:
  virtual ~TSocketEndpoint() = default;
  TSocketEndpoint(const TSocketEndpoint&) = delete;
  TSocketEndpoint& operator=(const TSocketEndpoint&) = delete;

  TTimeouts& Timeouts() { return timeouts_; }
  TTCPBuffer& Input() { return input_; }
  TTCPBuffer& Output() { return output_; }
  TReadSpec& ReadSpec() { return readSpec_; }
  TConnectionInfo& ConnectionInfo() { return connectionInfo_; }
  const TConnectionInfo& ConnectionInfo() const { return connectionInfo_; }

  virtual void Progress(size_t bytes, bool reading, bool& cancel);
  virtual void OnTimeout(bool& continueConnection);
  virtual void OnConnectionReset();
  virtual void OnConnectionClosed();
  virtual void OnSocketError();
  virtual void OnCancelled();

 protected:
  TSocketEndpoint();

  // Whether the connection goes on after a read or write left this status.
  bool DispatchToHooks(uint8_t status);
  // The cancel answer of a read or write's progress hook: preset, then left to Progress.
  bool AskProgress(size_t bytes, bool reading, bool cancel);

 private:
  TTCPBuffer output_{8192};
  TTCPBuffer input_{8192};
  TConnectionInfo connectionInfo_;
  TReadSpec readSpec_;
  TTimeouts timeouts_;
};

}  // namespace tovenmarsh::core
