// TTCPClient: one outgoing TCP connection (relay and POP3 collection tasks own one each).
//
// Connect resolves the host first and fails with the look-up's error when that fails (it never
// connects to 0.0.0.0); it connects without blocking for longer than the write wait. A refused
// or unreachable peer, a connect time-out and a temporary look-up failure leave status 1
// (try later); other failures status 4. Receive and Send never raise: the buffers' status and
// error text say what happened, and the hooks are called as for a server connection.
//
// A peer that answers and closes at once has its close arrive in the same read as its answer:
// the answer is still delivered (Receive answers true), and from then on the connection holds
// no further dialogue (PeerClosed; the next Receive answers false at once). A close without
// any bytes is a failed read as before.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/socket_endpoint.h"

namespace tovenmarsh::core {

class TTCPClient : public TSocketEndpoint {
 public:
  TTCPClient();
  virtual ~TTCPClient();
  TTCPClient(const TTCPClient&) = delete;
  TTCPClient& operator=(const TTCPClient&) = delete;

  bool Connect(const std::string& host, int port);
  void Disconnect();
  // Clears Input and reads into it; answers whether there is something to go on with: true
  // after a read that ended well, and after one that brought bytes before the peer closed.
  bool Receive();
  // Writes Output; clears it when the status says go on (else it is kept).
  void Send();

  // Whether a dialogue can go on: connected, and the peer has not closed its side. (The socket
  // stays open until Disconnect either way.)
  bool Connected() const { return socket_ != kInvalidSocket && !peerClosed_; }
  // Whether a read has met the peer's close on the current connection.
  bool PeerClosed() const { return peerClosed_; }
  TSocket Socket() const { return socket_; }
  bool Cancel() const { return cancel_.load(std::memory_order_acquire); }
  void SetCancel(bool cancel) { cancel_.store(cancel, std::memory_order_release); }

 private:
  bool ProgressHook(size_t bytes, bool reading) { return AskProgress(bytes, reading, Cancel()); }

  std::atomic<bool> cancel_{false};
  TSocket socket_ = kInvalidSocket;
  bool peerClosed_ = false;
};

}  // namespace tovenmarsh::core
