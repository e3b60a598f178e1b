// The server core's socket layer: its preparation for the framework's start, the English
// error-text table, the four reporters, host names and connection info, and the bounded read
// and write primitives of every protocol object and client.
//
// TCPRead and TCPWrite never raise: they leave a status code (TSocketStatus) and an error text
// in the buffer they worked on; the error text has already been logged at "ErrorText".
// Every wait also watches the framework's interrupt, which the shut-down sets so that no
// thread stays blocked in a socket wait; an interrupted wait reads as status 5 (cancelled).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "core/tcp_buffer.h"
#include "platform/socket.h"

namespace tovenmarsh::core {

using platform::kInvalidSocket;
using platform::TSocket;

// Largest read a TReadSpec allows unless it says otherwise.
inline constexpr size_t kDefaultMaxRead = 64u * 1024u * 1024u;

// What one read collects: a 4-byte big-endian length prefix and then that many bytes, a count
// of bytes, or everything up to and including a terminator; none of them: one read round.
// No read ever holds more than maximum bytes: more is answered with status 4.
struct TReadSpec {
  bool lengthPrefix = false;
  int64_t count = 0;
  std::string terminator;
  size_t maximum = kDefaultMaxRead;
};

// Time-outs of one protocol object or client (its own copy of the defaults).
struct TTimeouts {
  int firstReadWait = 15;    // seconds a read waits for the first data
  int nextReadWait = 0;      // microseconds a read waits for more once data has come
  int writeWait = 15;        // seconds a write (and a connect) waits for the socket
  int spare = 60;            // not used
  int sendTimeout = 3000;    // ms, the socket's send time-out
  int receiveTimeout = 3000; // ms, the socket's receive time-out
  bool noDelay = false;      // client sockets: turn off the Nagle algorithm
  int sendChunk = 8192;      // most bytes handed to one send
};

TTimeouts DefaultTimeouts();
// Idle minutes of a new timed server.
int DefaultIdleMinutes();

struct TConnectionInfo {
  std::string localHostName;
  std::string localShortHostName;
  std::string localAddress;
  int localPort = 0;
  std::string peerHostName;  // reverse look-up of the peer, else its dotted address
  std::string peerAddress;
  int peerPort = 0;
};

// Called after each piece moved: (bytes, reading); answers true to cancel.
using TProgressHook = std::function<bool(size_t bytes, bool reading)>;

// Readies the socket layer for a start of the framework (StartSockets, manager_thread.h):
// ignores SIGPIPE and clears the interrupt; a Panic when the interrupt cannot be made.
void PrepareSockets();

// Shuts a socket down in both directions and closes it, without lingering; failures are
// quiet warnings ("not connected" is not reported). Nothing for an invalid socket.
void CloseSocket(TSocket socket);

// IPv4 address (network byte order) of a dotted text or a host name; 0 when resolution fails,
// with the resolver's code in platform::LastSocketError().
uint32_t ResolveHost(const std::string& name);
void GetHostNames(std::string& hostName, std::string& shortName);
void GetConnectionInfo(TSocket socket, TConnectionInfo& info);

std::string SocketErrorText(int code);

// context, or context + ": " + SocketErrorText(last socket error) when append is set.
[[noreturn]] void SocketPanic(const std::string& context, bool append);
// Logs at "Error" and raises EWinsockError.
[[noreturn]] void SocketError(const std::string& context, bool append);
// Logs a quiet "Warning".
void SocketWarning(const std::string& context, bool append);
// Logs at "ErrorText" and returns the text.
std::string ReportSocketError(const std::string& context, bool append);

void TCPRead(TSocket socket, TTCPBuffer& buffer, TReadSpec& spec, const TProgressHook& progress,
             const TTimeouts& timeouts);
void TCPWrite(TSocket socket, TTCPBuffer& buffer, const TReadSpec& spec, const TProgressHook& progress,
              const TTimeouts& timeouts);

// The framework's interrupt: set by the shut-down, cleared by StartSockets.
void InterruptSockets();
int SocketInterruptFd();

}  // namespace tovenmarsh::core
