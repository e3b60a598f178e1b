// Socket layer of the server core over the platform's POSIX sockets.
#include "core/sockets.h"

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <exception>

#include "core/log.h"
#include "core/server_errors.h"
#include "core/system_parameters.h"
#include "platform/format.h"

namespace tovenmarsh::core {

namespace {

using platform::TSocketWait;

platform::TSocketInterrupt& Interrupt() {
  // Lives for the whole process: threads may look at it until the last one is joined.
  static platform::TSocketInterrupt interrupt;
  return interrupt;
}

std::string WithError(const std::string& context, bool append) {
  if (!append) return context;
  return context + ": " + SocketErrorText(platform::LastSocketError());
}

int64_t SecondsToMicros(int seconds) { return static_cast<int64_t>(std::max(seconds, 0)) * 1000000; }

void Fail(TTCPBuffer& buffer, uint8_t status, const std::string& context, bool append) {
  buffer.SetStatus(status);
  buffer.SetErrorText(ReportSocketError(context, append));
}

// A read that would pass its maximum: the connection is out of step.
void FailTooLong(TTCPBuffer& buffer, const char* context) {
  platform::SetLastSocketError(platform::WSAEMSGSIZE);
  Fail(buffer, ssSocketError, context, true);
}

// One receive into the receive area; maps a failure to its status.
size_t LowLevelReceive(TSocket socket, TTCPBuffer& buffer, size_t most) {
  const ssize_t n = platform::ReceiveSome(socket, buffer.ReceiveArea(), std::min(most, TTCPBuffer::kReceiveAreaSize));
  if (n > 0) {
    buffer.SetStatus(ssOK);
    return static_cast<size_t>(n);
  }
  if (n == 0) {
    buffer.SetStatus(ssConnectionClosed);
    return 0;
  }
  switch (platform::LastSocketError()) {
    case platform::WSAECONNABORTED: case platform::WSAECONNRESET: buffer.SetStatus(ssConnectionReset); break;
    case platform::WSAENOTCONN: case platform::WSAESHUTDOWN: buffer.SetStatus(ssConnectionClosed); break;
    case platform::WSAETIMEDOUT: buffer.SetStatus(ssTimeout); break;
    default: buffer.SetStatus(ssSocketError); break;
  }
  return 0;
}

// One read round: waits for the first data, then takes what keeps arriving within the
// next-read wait, at most `most` bytes in all.
void ReadLevel1(TSocket socket, TTCPBuffer& buffer, const TProgressHook& progress, const TTimeouts& timeouts,
                size_t most) {
  buffer.SetStatus(ssOK);
  buffer.SetErrorText(std::string());
  switch (platform::WaitSocket(socket, false, SecondsToMicros(timeouts.firstReadWait), SocketInterruptFd())) {
    case TSocketWait::Error: Fail(buffer, ssSocketError, "TCP_Read_level_1.winsock.select_1", true); return;
    case TSocketWait::Interrupted: buffer.SetStatus(ssCancelled); return;
    case TSocketWait::Timeout:
      if (timeouts.firstReadWait > 0) buffer.SetStatus(ssTimeout);
      return;
    case TSocketWait::Ready: break;
  }
  size_t got = 0;
  for (;;) {
    const size_t n = LowLevelReceive(socket, buffer, most - got);
    if (buffer.Status() != ssOK) return;
    buffer.AddBytes(buffer.ReceiveArea(), n);
    got += n;
    if (progress && progress(n, true)) {
      buffer.SetStatus(ssCancelled);
      return;
    }
    if (got >= most) return;
    switch (platform::WaitSocket(socket, false, std::max(timeouts.nextReadWait, 0), SocketInterruptFd())) {
      case TSocketWait::Error: Fail(buffer, ssSocketError, "TCP_Read_level_1.winsock.select_2", true); return;
      case TSocketWait::Interrupted: buffer.SetStatus(ssCancelled); return;
      case TSocketWait::Timeout: return;
      case TSocketWait::Ready: break;
    }
  }
}

// The 4-byte big-endian length before a prefixed read; it may arrive in pieces.
bool ReadLengthPrefix(TSocket socket, TTCPBuffer& buffer, const TProgressHook& progress, const TTimeouts& timeouts,
                      uint32_t& length) {
  unsigned char prefix[4];
  size_t got = 0;
  while (got < sizeof prefix) {
    switch (platform::WaitSocket(socket, false, SecondsToMicros(timeouts.firstReadWait), SocketInterruptFd())) {
      case TSocketWait::Error: Fail(buffer, ssSocketError, "TCP_Read_level_1.winsock.select_1", true); return false;
      case TSocketWait::Interrupted: buffer.SetStatus(ssCancelled); return false;
      case TSocketWait::Timeout: buffer.SetStatus(ssTimeout); return false;
      case TSocketWait::Ready: break;
    }
    // Never more than was asked for; the bound also lets the compiler see the copy fits.
    const size_t n = std::min(LowLevelReceive(socket, buffer, sizeof prefix - got), sizeof prefix - got);
    if (buffer.Status() != ssOK) return false;
    std::memcpy(prefix + got, buffer.ReceiveArea(), n);
    got += n;
    if (progress && progress(n, true)) {
      buffer.SetStatus(ssCancelled);
      return false;
    }
  }
  length = (uint32_t{prefix[0]} << 24) | (uint32_t{prefix[1]} << 16) | (uint32_t{prefix[2]} << 8) | prefix[3];
  return true;
}

// Sends all of [data, data + size); maps a failure to its status. Waits (interruptibly) while
// the socket takes nothing.
void SendAll(TSocket socket, TTCPBuffer& buffer, const char* data, size_t size, const TProgressHook& progress,
             const TTimeouts& timeouts, bool reportProgress) {
  const size_t chunk = static_cast<size_t>(std::max(timeouts.sendChunk, 1));
  size_t sent = 0;
  while (sent < size) {
    const ssize_t n = platform::SendSome(socket, data + sent, std::min(chunk, size - sent), true);
    if (n < 0) {
      const int code = platform::LastSocketError();
      if (code == platform::WSAEWOULDBLOCK) {
        switch (platform::WaitSocket(socket, true, SecondsToMicros(timeouts.writeWait), SocketInterruptFd())) {
          case TSocketWait::Error: Fail(buffer, ssSocketError, "TCP_Write_level_1.winsock.select_1", true); return;
          case TSocketWait::Interrupted: buffer.SetStatus(ssCancelled); return;
          case TSocketWait::Timeout: buffer.SetStatus(ssTimeout); return;
          case TSocketWait::Ready: continue;
        }
      }
      switch (code) {
        case platform::WSAENETRESET: case platform::WSAECONNABORTED: case platform::WSAECONNRESET:
        case platform::WSAEHOSTUNREACH: buffer.SetStatus(ssConnectionReset); break;
        case platform::WSAENOTCONN: case platform::WSAESHUTDOWN: buffer.SetStatus(ssConnectionClosed); break;
        case platform::WSAETIMEDOUT: buffer.SetStatus(ssTimeout); break;
        default: buffer.SetStatus(ssSocketError); break;
      }
      return;
    }
    sent += static_cast<size_t>(n);
    if (reportProgress && progress && progress(static_cast<size_t>(n), false)) {
      buffer.SetStatus(ssCancelled);
      return;
    }
  }
}

void WriteLevel1(TSocket socket, TTCPBuffer& buffer, const TProgressHook& progress, const TTimeouts& timeouts) {
  buffer.SetStatus(ssOK);
  buffer.SetErrorText(std::string());
  switch (platform::WaitSocket(socket, true, SecondsToMicros(timeouts.writeWait), SocketInterruptFd())) {
    case TSocketWait::Error: Fail(buffer, ssSocketError, "TCP_Write_level_1.winsock.select_1", true); return;
    case TSocketWait::Interrupted: buffer.SetStatus(ssCancelled); return;
    case TSocketWait::Timeout:
      if (timeouts.writeWait > 0) buffer.SetStatus(ssTimeout);
      return;
    case TSocketWait::Ready: break;
  }
  SendAll(socket, buffer, buffer.Data(), buffer.Length(), progress, timeouts, true);
}

}  // namespace

TTimeouts DefaultTimeouts() { return TTimeouts{}; }
int DefaultIdleMinutes() { return 10; }

void InterruptSockets() { Interrupt().Set(); }
int SocketInterruptFd() { return Interrupt().Fd(); }

void PrepareSockets() {
  platform::IgnoreSigPipe();
  if (SocketInterruptFd() < 0) {
    platform::SetLastSocketError(platform::ErrnoToSocketError(errno));
    SocketPanic("winsock.WSAStartup", true);
  }
  Interrupt().Reset();
}

void CloseSocket(TSocket socket) {
  if (socket == kInvalidSocket) return;
  if (!platform::ShutdownSocket(socket) && platform::LastSocketError() != platform::WSAENOTCONN) {
    SocketWarning("TCP_Close.winsock.shutdown", true);
  }
  if (!platform::CloseSocketHandle(socket)) SocketWarning("TCP_Close.winsock.closesocket", true);
}

uint32_t ResolveHost(const std::string& name) {
  if (!name.empty() && name.find_first_not_of("0123456789.") == std::string::npos) {
    // 0.0.0.0 would reach this host itself: never an address to send mail to.
    uint32_t address = 0;
    if (platform::TextToAddress(name, address) && address != 0) return address;
    platform::SetLastSocketError(platform::WSAHOST_NOT_FOUND);
    return 0;
  }
  if (name.empty()) {
    platform::SetLastSocketError(platform::WSAHOST_NOT_FOUND);
    return 0;
  }
  return platform::LookupAddress(name);
}

void GetHostNames(std::string& hostName, std::string& shortName) {
  shortName = platform::LocalHostName();
  if (shortName.empty()) {
    hostName.clear();
    return;
  }
  hostName = platform::CanonicalName(shortName);
  if (hostName.empty()) hostName = shortName;
}

void GetConnectionInfo(TSocket socket, TConnectionInfo& info) {
  if (socket == kInvalidSocket) return;
  info.localHostName = SystemParameters().HostName();
  info.localShortHostName = SystemParameters().ShortHostName();
  uint32_t address = 0;
  uint16_t port = 0;
  if (platform::LocalEndpoint(socket, address, port)) {
    info.localAddress = platform::AddressToText(address);
    info.localPort = port;
  }
  if (platform::PeerEndpoint(socket, address, port)) {
    info.peerAddress = platform::AddressToText(address);
    info.peerPort = port;
    info.peerHostName = platform::LookupName(address);
    if (info.peerHostName.empty()) info.peerHostName = info.peerAddress;
  }
}

std::string SocketErrorText(int code) {
  switch (code) {
    case platform::WSAEINTR: return "Interrupted system call";
    case platform::WSAEBADF: return "Bad file number";
    case platform::WSAEACCES: return "Permission denied";
    case platform::WSAEFAULT: return "Bad address";
    case platform::WSAEINVAL: return "Invalid argument";
    case platform::WSAEMFILE: return "Too many open files";
    case platform::WSAEWOULDBLOCK: return "Operation would block";
    case platform::WSAEINPROGRESS: return "Operation now in progress";
    case platform::WSAEALREADY: return "Operation already in progress";
    case platform::WSAENOTSOCK: return "Socket operation on non-socket";
    case platform::WSAEDESTADDRREQ: return "Destination address required";
    case platform::WSAEMSGSIZE: return "Message too long";
    case platform::WSAEPROTOTYPE: return "Protocol wrong type for socket";
    case platform::WSAENOPROTOOPT: return "Protocol not available";
    case platform::WSAEPROTONOSUPPORT: return "Protocol not supported";
    case platform::WSAESOCKTNOSUPPORT: return "Socket type not supported";
    case platform::WSAEOPNOTSUPP: return "Operation not supported on socket";
    case platform::WSAEPFNOSUPPORT: return "Protocol family not supported";
    case platform::WSAEAFNOSUPPORT: return "Address family not supported by protocol family";
    case platform::WSAEADDRINUSE: return "Address already in use";
    case platform::WSAEADDRNOTAVAIL: return "Can't assign requested address";
    case platform::WSAENETDOWN: return "Network is down";
    case platform::WSAENETUNREACH: return "Network is unreachable";
    case platform::WSAENETRESET: return "Network dropped connection on reset";
    case platform::WSAECONNABORTED: return "Software caused connection abort";
    case platform::WSAECONNRESET: return "Connection reset by peer";
    case platform::WSAENOBUFS: return "No buffer space available";
    case platform::WSAEISCONN: return "Socket is already connected";
    case platform::WSAENOTCONN: return "Socket is not connected";
    case platform::WSAESHUTDOWN: return "Can't send after socket shutdown";
    case platform::WSAETOOMANYREFS: return "Too many references: can't splice";
    case platform::WSAETIMEDOUT: return "Connection timed out";
    case platform::WSAECONNREFUSED: return "Connection refused";
    case platform::WSAELOOP: return "Too many levels of symbolic links";
    case platform::WSAENAMETOOLONG: return "File name too long";
    case platform::WSAEHOSTDOWN: return "Host is down";
    case platform::WSAEHOSTUNREACH: return "No route to host";
    case platform::WSAENOTEMPTY: return "Directory not empty";
    case platform::WSAEPROCLIM: return "Too many processes";
    case platform::WSAEUSERS: return "Too many users";
    case platform::WSAEDQUOT: return "Disk quota exceeded";
    case platform::WSAESTALE: return "Stale NFS file handle";
    case platform::WSAEREMOTE: return "Too many levels of remote in path";
    case platform::WSASYSNOTREADY: return "Network sub-system is unusable";
    case platform::WSAVERNOTSUPPORTED: return "WSOCK32.DLL DLL cannot support this application";
    case platform::WSANOTINITIALISED: return "WSOCK32.DLL not initialized";
    case platform::WSAHOST_NOT_FOUND: return "Host not found";
    case platform::WSATRY_AGAIN: return "Non-authoritative host not found";
    case platform::WSANO_RECOVERY: return "Non-recoverable error";
    case platform::WSANO_DATA: return "No Data";
    default: return platform::Format("Unknown Socket Error (%d)", code);
  }
}

void SocketPanic(const std::string& context, bool append) { LogPanic(WithError(context, append)); }

void SocketError(const std::string& context, bool append) {
  const std::string text = WithError(context, append);
  LogError<EWinsockError>(text, false);
  throw EWinsockError(SystemParameters().ProductName() + ":" + text);
}

void SocketWarning(const std::string& context, bool append) { LogWarning(WithError(context, append), true); }

std::string ReportSocketError(const std::string& context, bool append) {
  std::string text = WithError(context, append);
  LogErrorText(text);
  return text;
}

void TCPRead(TSocket socket, TTCPBuffer& buffer, TReadSpec& spec, const TProgressHook& progress,
             const TTimeouts& timeouts) {
  buffer.SetStatus(ssOK);
  buffer.SetErrorText(std::string());
  if (socket == kInvalidSocket) {
    buffer.SetStatus(ssSocketError);
    buffer.SetErrorText("INVALID_SOCKET");
    return;
  }
  try {
    const size_t maximum = spec.maximum > 0 ? spec.maximum : kDefaultMaxRead;
    if (spec.lengthPrefix) {
      uint32_t length = 0;
      if (!ReadLengthPrefix(socket, buffer, progress, timeouts, length)) return;
      if (length > maximum) {
        FailTooLong(buffer, "TCP_Read.length_prefix");
        return;
      }
      spec.count = length;
      if (length == 0) return;
    }
    auto room = [&] { return maximum > buffer.Length() ? maximum - buffer.Length() : 0; };
    if (!spec.terminator.empty()) {
      do {
        if (room() == 0) {
          FailTooLong(buffer, "TCP_Read.terminator");
          return;
        }
        ReadLevel1(socket, buffer, progress, timeouts, room());
      } while (buffer.Status() == ssOK && !buffer.EndsWith(spec.terminator));
    } else if (spec.count > 0) {
      if (static_cast<uint64_t>(spec.count) > maximum) {
        FailTooLong(buffer, "TCP_Read.count");
        return;
      }
      // Never read past the counted bytes: what follows belongs to the next read.
      const size_t count = static_cast<size_t>(spec.count);
      while (buffer.Length() < count && buffer.Status() == ssOK) {
        ReadLevel1(socket, buffer, progress, timeouts, count - buffer.Length());
      }
    } else {
      if (room() == 0) {
        FailTooLong(buffer, "TCP_Read.limit");
        return;
      }
      ReadLevel1(socket, buffer, progress, timeouts, room());
    }
  } catch (const std::exception&) {
    Fail(buffer, ssSocketError, "Exception in TCP_Read", true);
  }
}

void TCPWrite(TSocket socket, TTCPBuffer& buffer, const TReadSpec& spec, const TProgressHook& progress,
              const TTimeouts& timeouts) {
  if (socket == kInvalidSocket) {
    buffer.SetStatus(ssSocketError);
    buffer.SetErrorText("INVALID_SOCKET");
    return;
  }
  if (!buffer.HasData()) return;
  try {
    buffer.SetStatus(ssOK);
    buffer.SetErrorText(std::string());
    if (spec.lengthPrefix) {
      const auto n = static_cast<uint32_t>(buffer.Length());
      const char prefix[4] = {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                              static_cast<char>(n)};
      SendAll(socket, buffer, prefix, sizeof prefix, progress, timeouts, false);
    }
    if (buffer.Status() == ssOK) WriteLevel1(socket, buffer, progress, timeouts);
  } catch (const std::exception&) {
    Fail(buffer, ssSocketError, "Exception in TCP_Write", true);
  }
}

}  // namespace tovenmarsh::core
