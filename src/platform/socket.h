// A thin layer over POSIX TCP/IPv4 sockets with the behaviour the server core expects of its
// sockets library:
// - failures leave a Windows Sockets error code (10004..11004) in LastSocketError(), so that
//   error texts and status mapping are the same whatever the errno spelling;
// - waiting uses poll (never select, so descriptor numbers have no limit), and every wait also
//   watches a TSocketInterrupt so that a shut-down wakes each blocked wait at once;
// - sends never raise SIGPIPE (MSG_NOSIGNAL, and IgnoreSigPipe for the rest of the process);
// - connect is non-blocking with an explicit time-out, and leaves the socket blocking;
// - names are resolved with getaddrinfo/getnameinfo, which are thread-safe.
// Addresses are IPv4 in network byte order (uint32_t), ports in host order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

namespace tovenmarsh::platform {

using TSocket = int;
inline constexpr TSocket kInvalidSocket = -1;

// The Windows Sockets error codes this layer reports (and the rest of the system names).
inline constexpr int WSAEINTR = 10004;
inline constexpr int WSAEBADF = 10009;
inline constexpr int WSAEACCES = 10013;
inline constexpr int WSAEFAULT = 10014;
inline constexpr int WSAEINVAL = 10022;
inline constexpr int WSAEMFILE = 10024;
inline constexpr int WSAEWOULDBLOCK = 10035;
inline constexpr int WSAEINPROGRESS = 10036;
inline constexpr int WSAEALREADY = 10037;
inline constexpr int WSAENOTSOCK = 10038;
inline constexpr int WSAEDESTADDRREQ = 10039;
inline constexpr int WSAEMSGSIZE = 10040;
inline constexpr int WSAEPROTOTYPE = 10041;
inline constexpr int WSAENOPROTOOPT = 10042;
inline constexpr int WSAEPROTONOSUPPORT = 10043;
inline constexpr int WSAESOCKTNOSUPPORT = 10044;
inline constexpr int WSAEOPNOTSUPP = 10045;
inline constexpr int WSAEPFNOSUPPORT = 10046;
inline constexpr int WSAEAFNOSUPPORT = 10047;
inline constexpr int WSAEADDRINUSE = 10048;
inline constexpr int WSAEADDRNOTAVAIL = 10049;
inline constexpr int WSAENETDOWN = 10050;
inline constexpr int WSAENETUNREACH = 10051;
inline constexpr int WSAENETRESET = 10052;
inline constexpr int WSAECONNABORTED = 10053;
inline constexpr int WSAECONNRESET = 10054;
inline constexpr int WSAENOBUFS = 10055;
inline constexpr int WSAEISCONN = 10056;
inline constexpr int WSAENOTCONN = 10057;
inline constexpr int WSAESHUTDOWN = 10058;
inline constexpr int WSAETOOMANYREFS = 10059;
inline constexpr int WSAETIMEDOUT = 10060;
inline constexpr int WSAECONNREFUSED = 10061;
inline constexpr int WSAELOOP = 10062;
inline constexpr int WSAENAMETOOLONG = 10063;
inline constexpr int WSAEHOSTDOWN = 10064;
inline constexpr int WSAEHOSTUNREACH = 10065;
inline constexpr int WSAENOTEMPTY = 10066;
inline constexpr int WSAEPROCLIM = 10067;
inline constexpr int WSAEUSERS = 10068;
inline constexpr int WSAEDQUOT = 10069;
inline constexpr int WSAESTALE = 10070;
inline constexpr int WSAEREMOTE = 10071;
inline constexpr int WSASYSNOTREADY = 10091;
inline constexpr int WSAVERNOTSUPPORTED = 10092;
inline constexpr int WSANOTINITIALISED = 10093;
inline constexpr int WSAHOST_NOT_FOUND = 11001;
inline constexpr int WSATRY_AGAIN = 11002;
inline constexpr int WSANO_RECOVERY = 11003;
inline constexpr int WSANO_DATA = 11004;

// errno -> Windows Sockets code; an errno without a counterpart is returned unchanged.
int ErrnoToSocketError(int err);
// getaddrinfo/getnameinfo result -> Windows Sockets code (11001..11004).
int ResolverToSocketError(int gaiError);

// The code left by the last failing call of this layer on the calling thread.
int LastSocketError();
void SetLastSocketError(int code);

// Makes writes to a closed peer fail with an error instead of ending the process.
void IgnoreSigPipe();

// A process-wide wake-up for blocked socket waits: while set, every WaitSocket that watches it
// returns Interrupted at once. Built on an eventfd.
class TSocketInterrupt {
 public:
  TSocketInterrupt();
  ~TSocketInterrupt();
  TSocketInterrupt(const TSocketInterrupt&) = delete;
  TSocketInterrupt& operator=(const TSocketInterrupt&) = delete;

  void Set();
  void Reset();
  bool IsSet() const;
  int Fd() const { return fd_; }

 private:
  int fd_;
};

enum class TSocketWait { Ready, Timeout, Interrupted, Error };

// Waits up to timeoutUs microseconds (negative: no limit) until socket is readable (or
// writable). A closed or failed connection counts as ready, so that the next call reports it.
// interruptFd < 0 watches no interrupt.
TSocketWait WaitSocket(TSocket socket, bool forWrite, int64_t timeoutUs, int interruptFd);

TSocket CreateTcpSocket();
bool SetReuseAddress(TSocket socket);
bool BindAnyAddress(TSocket socket, uint16_t port);  // all interfaces
bool ListenOn(TSocket socket, int backlog);
// The next connection, or kInvalidSocket (last error set; WSAEWOULDBLOCK when a non-blocking
// listener has none). The accepted socket is blocking and sends without delay (TCP_NODELAY).
TSocket AcceptConnection(TSocket listener);
bool SetReceiveTimeout(TSocket socket, uint32_t ms);
bool SetSendTimeout(TSocket socket, uint32_t ms);
bool SetNoDelay(TSocket socket, bool on);
bool SetBlocking(TSocket socket, bool blocking);
bool SetLinger(TSocket socket, bool on, int seconds);
bool ShutdownSocket(TSocket socket);  // both directions
bool CloseSocketHandle(TSocket socket);

// Connects to address:port within timeoutMs (0: no limit). 0 on success, else the Windows
// Sockets code (WSAETIMEDOUT when the time ran out, WSAEINTR when interrupted). The socket is
// blocking afterwards.
int ConnectWithTimeout(TSocket socket, uint32_t address, uint16_t port, uint32_t timeoutMs, int interruptFd);

// One receive / send call: the byte count, 0 for a closed peer (receive only), -1 on failure
// with the last error set (a socket time-out reads as WSAETIMEDOUT). A send with dontWait
// takes what fits now and fails with WSAEWOULDBLOCK when nothing does.
ssize_t ReceiveSome(TSocket socket, void* buffer, size_t size);
ssize_t SendSome(TSocket socket, const void* buffer, size_t size, bool dontWait = false);

// Local / peer end of a connected socket; false when unavailable.
bool LocalEndpoint(TSocket socket, uint32_t& address, uint16_t& port);
bool PeerEndpoint(TSocket socket, uint32_t& address, uint16_t& port);

// Dotted text of an address; a dotted text to an address (classic inet_aton forms).
std::string AddressToText(uint32_t address);
bool TextToAddress(const std::string& text, uint32_t& address);
// The first IPv4 address of a name; 0 on failure with the last error set (11001..11004).
uint32_t LookupAddress(const std::string& name);
// The name of an address, or empty when it has none.
std::string LookupName(uint32_t address);
// What the host calls itself; empty when it reports nothing.
std::string LocalHostName();
// The official (canonical) name that resolving name gives; empty on failure.
std::string CanonicalName(const std::string& name);

}  // namespace tovenmarsh::platform
