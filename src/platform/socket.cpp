// POSIX implementation of the socket layer.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

namespace tovenmarsh::platform {

namespace {

thread_local int t_last_socket_error = 0;

int Fail(int err) {
  t_last_socket_error = ErrnoToSocketError(err);
  return t_last_socket_error;
}

bool SetIntOption(TSocket s, int level, int name, int value) {
  if (setsockopt(s, level, name, &value, sizeof value) == 0) return true;
  Fail(errno);
  return false;
}

bool SetTimeOption(TSocket s, int name, uint32_t ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  if (setsockopt(s, SOL_SOCKET, name, &tv, sizeof tv) == 0) return true;
  Fail(errno);
  return false;
}

// A socket time-out surfaces as EAGAIN on Linux; the Windows library calls it a time-out.
ssize_t TransferResult(ssize_t n) {
  if (n >= 0) return n;
  const int err = errno;
  t_last_socket_error = (err == EAGAIN || err == EWOULDBLOCK) ? WSAETIMEDOUT : ErrnoToSocketError(err);
  return -1;
}

}  // namespace

int ErrnoToSocketError(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return WSAEINTR;
    case EBADF: return WSAEBADF;
    case EACCES: case EPERM: return WSAEACCES;
    case EFAULT: return WSAEFAULT;
    case EINVAL: return WSAEINVAL;
    case EMFILE: case ENFILE: return WSAEMFILE;
    case EAGAIN: return WSAEWOULDBLOCK;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return WSAEWOULDBLOCK;
#endif
    case EINPROGRESS: return WSAEINPROGRESS;
    case EALREADY: return WSAEALREADY;
    case ENOTSOCK: return WSAENOTSOCK;
    case EDESTADDRREQ: return WSAEDESTADDRREQ;
    case EMSGSIZE: return WSAEMSGSIZE;
    case EPROTOTYPE: return WSAEPROTOTYPE;
    case ENOPROTOOPT: return WSAENOPROTOOPT;
    case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP: return WSAEOPNOTSUPP;
    case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
    case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
    case EADDRINUSE: return WSAEADDRINUSE;
    case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
    case ENETDOWN: return WSAENETDOWN;
    case ENETUNREACH: return WSAENETUNREACH;
    case ENETRESET: return WSAENETRESET;
    case ECONNABORTED: return WSAECONNABORTED;
    case ECONNRESET: return WSAECONNRESET;
    case ENOBUFS: case ENOMEM: return WSAENOBUFS;
    case EISCONN: return WSAEISCONN;
    case ENOTCONN: return WSAENOTCONN;
    case ESHUTDOWN: case EPIPE: return WSAESHUTDOWN;
    case ETOOMANYREFS: return WSAETOOMANYREFS;
    case ETIMEDOUT: return WSAETIMEDOUT;
    case ECONNREFUSED: return WSAECONNREFUSED;
    case ELOOP: return WSAELOOP;
    case ENAMETOOLONG: return WSAENAMETOOLONG;
    case EHOSTDOWN: return WSAEHOSTDOWN;
    case EHOSTUNREACH: return WSAEHOSTUNREACH;
    case ENOTEMPTY: return WSAENOTEMPTY;
    case EUSERS: return WSAEUSERS;
    case EDQUOT: return WSAEDQUOT;
    case ESTALE: return WSAESTALE;
    case EREMOTE: return WSAEREMOTE;
    default: return err;
  }
}

int ResolverToSocketError(int gaiError) {
  switch (gaiError) {
    case 0: return 0;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY: return WSANO_DATA;
#endif
    case EAI_MEMORY: return WSAENOBUFS;
    case EAI_SYSTEM: return ErrnoToSocketError(errno);
    default: return WSANO_RECOVERY;
  }
}

int LastSocketError() { return t_last_socket_error; }
void SetLastSocketError(int code) { t_last_socket_error = code; }

void IgnoreSigPipe() {
  struct sigaction action {};
  action.sa_handler = SIG_IGN;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
}

TSocketInterrupt::TSocketInterrupt() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

TSocketInterrupt::~TSocketInterrupt() {
  if (fd_ >= 0) close(fd_);
}

void TSocketInterrupt::Set() {
  const uint64_t one = 1;
  if (fd_ >= 0) {
    ssize_t n = write(fd_, &one, sizeof one);
    (void)n;
  }
}

void TSocketInterrupt::Reset() {
  uint64_t value = 0;
  if (fd_ >= 0) {
    ssize_t n = read(fd_, &value, sizeof value);
    (void)n;
  }
}

bool TSocketInterrupt::IsSet() const {
  if (fd_ < 0) return false;
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

TSocketWait WaitSocket(TSocket socket, bool forWrite, int64_t timeoutUs, int interruptFd) {
  using Clock = std::chrono::steady_clock;
  const bool unlimited = timeoutUs < 0;
  const auto deadline = Clock::now() + std::chrono::microseconds(unlimited ? 0 : timeoutUs);
  pollfd fds[2];
  fds[0] = pollfd{socket, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
  fds[1] = pollfd{interruptFd, POLLIN, 0};
  const nfds_t count = interruptFd >= 0 ? 2 : 1;
  for (;;) {
    int timeoutMs = -1;
    if (!unlimited) {
      const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
      // Round up so that a wait of a few microseconds still looks once without spinning.
      timeoutMs = left <= 0 ? 0 : static_cast<int>((left + 999) / 1000);
    }
    fds[0].revents = 0;
    fds[1].revents = 0;
    const int n = poll(fds, count, timeoutMs);
    if (n < 0) {
      if (errno == EINTR) continue;
      Fail(errno);
      return TSocketWait::Error;
    }
    if (count == 2 && (fds[1].revents & POLLIN) != 0) return TSocketWait::Interrupted;
    if (n == 0) return TSocketWait::Timeout;
    if ((fds[0].revents & POLLNVAL) != 0) {
      t_last_socket_error = WSAENOTSOCK;
      return TSocketWait::Error;
    }
    if (fds[0].revents != 0) return TSocketWait::Ready;
  }
}

TSocket CreateTcpSocket() {
  const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (s < 0) {
    Fail(errno);
    return kInvalidSocket;
  }
  return s;
}

bool SetReuseAddress(TSocket socket) { return SetIntOption(socket, SOL_SOCKET, SO_REUSEADDR, 1); }

bool BindAnyAddress(TSocket socket, uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(port);
  if (bind(socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return true;
  Fail(errno);
  return false;
}

bool ListenOn(TSocket socket, int backlog) {
  if (listen(socket, backlog) == 0) return true;
  Fail(errno);
  return false;
}

TSocket AcceptConnection(TSocket listener) {
  for (;;) {
    const int s = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (s >= 0) {
      // Replies go out whole, each in one write: without this the tail of a long one waits for
      // the client's delayed acknowledgement of the part before it.
      const int on = 1;
      (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);  // a slower reply, nothing worse
      return s;
    }
    if (errno == EINTR) continue;
    Fail(errno);
    return kInvalidSocket;
  }
}

bool SetReceiveTimeout(TSocket socket, uint32_t ms) { return SetTimeOption(socket, SO_RCVTIMEO, ms); }
bool SetSendTimeout(TSocket socket, uint32_t ms) { return SetTimeOption(socket, SO_SNDTIMEO, ms); }
bool SetNoDelay(TSocket socket, bool on) { return SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0); }

bool SetBlocking(TSocket socket, bool blocking) {
  const int flags = fcntl(socket, F_GETFL, 0);
  if (flags < 0) {
    Fail(errno);
    return false;
  }
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  if (wanted == flags || fcntl(socket, F_SETFL, wanted) == 0) return true;
  Fail(errno);
  return false;
}

bool SetLinger(TSocket socket, bool on, int seconds) {
  linger value{};
  value.l_onoff = on ? 1 : 0;
  value.l_linger = seconds;
  if (setsockopt(socket, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0) return true;
  Fail(errno);
  return false;
}

bool ShutdownSocket(TSocket socket) {
  if (shutdown(socket, SHUT_RDWR) == 0) return true;
  Fail(errno);
  return false;
}

bool CloseSocketHandle(TSocket socket) {
  // After close the descriptor is released even when close reports EINTR: never retry.
  if (close(socket) == 0 || errno == EINTR) return true;
  Fail(errno);
  return false;
}

int ConnectWithTimeout(TSocket socket, uint32_t address, uint16_t port, uint32_t timeoutMs, int interruptFd) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = address;
  addr.sin_port = htons(port);
  if (!SetBlocking(socket, false)) return t_last_socket_error;
  int result = 0;
  if (connect(socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      result = Fail(errno);
    } else {
      const int64_t waitUs = timeoutMs == 0 ? -1 : static_cast<int64_t>(timeoutMs) * 1000;
      switch (WaitSocket(socket, true, waitUs, interruptFd)) {
        case TSocketWait::Ready: {
          int err = 0;
          socklen_t len = sizeof err;
          if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
          result = err == 0 ? 0 : Fail(err);
          break;
        }
        case TSocketWait::Timeout: result = t_last_socket_error = WSAETIMEDOUT; break;
        case TSocketWait::Interrupted: result = t_last_socket_error = WSAEINTR; break;
        case TSocketWait::Error: result = t_last_socket_error; break;
      }
    }
  }
  const int saved = t_last_socket_error;
  SetBlocking(socket, true);
  t_last_socket_error = saved;
  return result;
}

ssize_t ReceiveSome(TSocket socket, void* buffer, size_t size) {
  ssize_t n;
  do {
    n = recv(socket, buffer, size, 0);
  } while (n < 0 && errno == EINTR);
  return TransferResult(n);
}

ssize_t SendSome(TSocket socket, const void* buffer, size_t size, bool dontWait) {
  ssize_t n;
  do {
    n = send(socket, buffer, size, MSG_NOSIGNAL | (dontWait ? MSG_DONTWAIT : 0));
  } while (n < 0 && errno == EINTR);
  if (n < 0 && dontWait && (errno == EAGAIN || errno == EWOULDBLOCK)) {
    t_last_socket_error = WSAEWOULDBLOCK;
    return -1;
  }
  return TransferResult(n);
}

namespace {

bool Endpoint(TSocket socket, bool peer, uint32_t& address, uint16_t& port) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  const int rc = peer ? getpeername(socket, reinterpret_cast<sockaddr*>(&addr), &len)
                      : getsockname(socket, reinterpret_cast<sockaddr*>(&addr), &len);
  if (rc != 0) {
    Fail(errno);
    return false;
  }
  if (addr.sin_family != AF_INET) return false;
  address = addr.sin_addr.s_addr;
  port = ntohs(addr.sin_port);
  return true;
}

}  // namespace

bool LocalEndpoint(TSocket socket, uint32_t& address, uint16_t& port) { return Endpoint(socket, false, address, port); }
bool PeerEndpoint(TSocket socket, uint32_t& address, uint16_t& port) { return Endpoint(socket, true, address, port); }

std::string AddressToText(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = address;
  if (inet_ntop(AF_INET, &addr, text, sizeof text) == nullptr) return std::string();
  return text;
}

bool TextToAddress(const std::string& text, uint32_t& address) {
  in_addr addr{};
  if (inet_aton(text.c_str(), &addr) == 0) return false;
  address = addr.s_addr;
  return true;
}

uint32_t LookupAddress(const std::string& name) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* answer = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &answer);
  if (rc != 0) {
    t_last_socket_error = ResolverToSocketError(rc);
    return 0;
  }
  uint32_t address = 0;
  for (addrinfo* a = answer; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
      address = reinterpret_cast<sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
      break;
    }
  }
  freeaddrinfo(answer);
  if (address == 0) t_last_socket_error = WSANO_DATA;
  return address;
}

std::string LookupName(uint32_t address) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = address;
  char host[NI_MAXHOST] = {};
  const int rc = getnameinfo(reinterpret_cast<sockaddr*>(&addr), sizeof addr, host, sizeof host, nullptr, 0, NI_NAMEREQD);
  if (rc != 0) {
    t_last_socket_error = ResolverToSocketError(rc);
    return std::string();
  }
  return host;
}

std::string LocalHostName() {
  char name[257] = {};
  if (gethostname(name, sizeof name - 1) != 0) {
    Fail(errno);
    return std::string();
  }
  return name;
}

std::string CanonicalName(const std::string& name) {
  if (name.empty()) return std::string();
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME;
  addrinfo* answer = nullptr;
  const int rc = getaddrinfo(name.c_str(), nullptr, &hints, &answer);
  if (rc != 0) {
    t_last_socket_error = ResolverToSocketError(rc);
    return std::string();
  }
  std::string result = answer != nullptr && answer->ai_canonname != nullptr ? answer->ai_canonname : "";
  freeaddrinfo(answer);
  return result;
}

}  // namespace tovenmarsh::platform
