// THTTPServer: the protocol object of one HTTP connection. It owns no socket: the connection
// thread (or a test) fills Input, calls Run, and sends what Output holds. Received bytes are
// framed into requests (request line, header block, body by Content-Length), each complete
// request is answered by its THTTPSystem, and the status line, headers and body are written
// to Output; several requests in one chunk, or one request over many chunks, are answered
// exactly alike.
//
// Contract (bounded memory whatever arrives):
// - The request line, the header block and the body each have a bound (THTTPLimits). A request
//   that passes one, a Content-Length that is not a plain non-negative number, a
//   Transfer-Encoding (not supported: bodies are framed only by Content-Length), a request
//   line that is not a method token, one blank, a target of visible ASCII, one blank and
//   "HTTP/" digit "." digit, or a path that is refused is answered with an error page (414,
//   400, 413, 400, 501, 400, 403) and the connection is closed; nothing of it is kept.
// - An exception while answering becomes the exception page (the registered hook's, else a
//   500 page with the message without file-system paths, HTML-escaped), sent with status line "HTTP/1.1 200 OK" and
//   Connection: close, and the connection closes. Responses to earlier requests of the same
//   round are kept before it, so the answers do not depend on how the bytes were split.
// - Every response carries Content-Length (0 for an empty body), so keep-alive clients know
//   where it ends.
// - A response to HEAD carries the headers of the GET response but no body, so a keep-alive
//   client never takes body bytes for the next response.
// - After a response that closes the connection, further bytes of the chunk are ignored.
// - The request line and the header block end their lines in CR LF; a lone CR or LF there, or
//   a header name that is not a token (a blank or TAB before its colon, a first header line
//   that begins with a blank), is answered with 400 and the connection closes: such a request
//   would be framed one way here and another way by a proxy in front.
// - One read round builds at most about roundOutput bytes of responses: the response that
//   reaches the bound, when more requests follow it in the round, carries Connection: close
//   and the requests after it are not answered (the connection cannot read on without a new
//   read, and a pipelining client sends them again on a new connection).
// - A request must arrive whole (request line, headers and body, from its first byte) within
//   requestTime, and its request line and headers within headTime, measured on the limits'
//   clock when a read round brings bytes; past it the connection is answered 408 and closes.
//   While a head is incomplete a read waits no longer than what is left of headTime (and a
//   silent connection at most kHTTPReadWait seconds), so a client trickling bytes cannot hold a
//   worker for more than seconds.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>

#include "core/tcp_server.h"
#include "web/http/http_system.h"

namespace tovenmarsh::web {

// Seconds a read waits for a client that sends nothing.
inline constexpr int kHTTPReadWait = 5;
// Connections one client address is served at once (a browser opens up to six), so that
// others always find a slot.
inline constexpr int kHTTPConnectionsPerAddress = 6;

struct THTTPLimits {
  using TClock = std::function<std::chrono::steady_clock::time_point()>;

  size_t requestLine = 8 * 1024;
  size_t headerBlock = 64 * 1024;
  int64_t body = 8 * 1024 * 1024;
  size_t readRound = 64 * 1024;
  size_t roundOutput = 1024 * 1024;
  std::chrono::seconds requestTime{120};
  std::chrono::seconds headTime{10};
  TClock clock = [] { return std::chrono::steady_clock::now(); };
};

// The status line text: "HTTP/1.1 " and the code when index > 0, " " and the reason when
// withReason, " " (after a code) and the detail when not empty, then CR LF.
std::string StatusLineText(int index, bool withReason, std::string_view detail);
// The HTML error page of a status index with a detail (escaped).
std::string ErrorPage(int index, std::string_view detail);

class THTTPServer : public core::TTCPServer {
 public:
  explicit THTTPServer(THTTPLimits limits = {});
  explicit THTTPServer(THTTPEnvironment environment, THTTPLimits limits = {});

  bool Greeting() override { return false; }
  bool Farewell() override { return false; }
  void OnTimeout(bool&) override {}
  void OnConnectionReset() override {}
  void OnConnectionClosed() override {}
  void OnSocketError() override {}

  THTTPSystem& System() { return system_; }
  THTTPSession& Session() { return system_.Session(); }
  int State() const { return state_; }

  void WriteStatusLine(int index, bool withReason, std::string_view detail);

 protected:
  // Consumes every received byte of Input.
  bool Execute() override;
  // Writes the exception page; false (the exception is handled).
  bool HandleException(const std::exception& e) override;

 private:
  enum : int { stRequestLine = 0, stHeaders = 1, stBody = 2 };
  // False when the request was refused and the connection is to close.
  bool RequestLineDone();
  bool HeadersDone(bool moreRequests);
  // moreRequests: bytes of further requests follow in this round.
  void WriteResponse(bool moreRequests);
  // Answers a request that cannot be framed with an error page and closes the connection.
  void Refuse(int statusIndex);

  THTTPSystem system_;
  THTTPLimits limits_;
  int state_ = stRequestLine;
  int lineEnds_ = 0;
  // The last byte framed in the request line or header block (a CR must come before each LF).
  char previous_ = '\0';
  int64_t remaining_ = 0;
  std::string text_;
  // Whether a request has begun, and when its first byte arrived.
  bool timing_ = false;
  std::chrono::steady_clock::time_point started_{};
  // Output bytes of the responses already complete in this round; an exception page keeps them.
  size_t answered_ = 0;
};

// The class reference a listener starts THTTPServer objects with environment from.
core::TTCPServerClass HTTPServerClass(THTTPEnvironment environment);

// Starts the web server: clears the registries, runs the application's registration (which
// registers actions, areas and the exception page), and starts the listener, with the
// installation's environment, on port 80 (plus
// the port offset; 0 for an ephemeral port) for THTTPServer with at most 10 connections and a
// backlog of 5, at most kHTTPConnectionsPerAddress of them per client address, the connection
// that has waited longest on its client making room when all are taken. Answers the port
// listened on.
int StartHTTPServer(const std::function<void()>& registerApplication, int port = 80);
// Runs the application's clean-up (its menu) and empties the registries.
void StopHTTPServer(const std::function<void()>& freeApplication = {});

}  // namespace tovenmarsh::web
