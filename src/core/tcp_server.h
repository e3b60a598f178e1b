// TTCPServer: the protocol object of one accepted connection.
//
// The connection thread (worker_threads.h) owns it and drives it: Greeting, then rounds of
// read (into Input, framed by ReadSpec), Run (Execute answers from Input into Output), write
// (Output), until the peer closes, the object sets its close flag, a status says stop, or the
// framework stops; then Farewell. Descendants override Execute and the hooks, and may change
// their own copy of the time-outs.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/socket_endpoint.h"
#include "core/timed_server.h"

namespace tovenmarsh::core {

class TTCPServer : public TTimedServer, public TSocketEndpoint {
 public:
  TTCPServer();

  // Whether the connection goes on after a read or write left this status. False at once
  // while the framework is stopping; 1 asks OnTimeout (continue preset to false); 2..5 call
  // their hook and end the connection.
  bool DispatchStatus(uint8_t status);
  // The progress hook of this connection's reads and writes: answers cancel, preset to the
  // stop flag and then left to Progress.
  bool ProgressHook(size_t bytes, bool reading);
  TProgressHook Hook() {
    return [this](size_t bytes, bool reading) { return ProgressHook(bytes, reading); };
  }

  bool CloseRequested() const { return close_.load(std::memory_order_acquire); }
  void SetClose(bool close) { close_.store(close, std::memory_order_release); }

  // Answer true when Output holds a farewell / greeting to send.
  virtual bool Farewell();
  virtual bool Greeting();

  // For a long reply sent in pieces from Execute: while a connection thread drives this
  // object, writes what Output holds now and empties it; false (status in Output) when the
  // write failed. Without a connection thread Output is left for the write after Execute.
  bool SendOutputNow() { return sender_ ? sender_() : true; }
  // The connection thread's writer (empty: none).
  void SetSender(std::function<bool()> sender) { sender_ = std::move(sender); }

 private:
  std::atomic<bool> close_{false};
  std::function<bool()> sender_;
};

using TTCPServerClass = TClassRef<TTCPServer>;

}  // namespace tovenmarsh::core
