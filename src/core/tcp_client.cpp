// TTCPClient: connect with time-out, receive and send.
#include "core/tcp_client.h"

#include <algorithm>

#include "platform/format.h"
#include "platform/socket.h"

namespace tovenmarsh::core {

namespace {

// Failures worth another try later: the peer or its network is unreachable right now.
bool IsTemporary(int code) {
  switch (code) {
    case platform::WSAENETDOWN:
    case platform::WSAENETUNREACH:
    case platform::WSAETIMEDOUT:
    case platform::WSAECONNREFUSED:
    case platform::WSAEHOSTDOWN:
    case platform::WSAEHOSTUNREACH:
    case platform::WSATRY_AGAIN:
      return true;
    default:
      return false;
  }
}

}  // namespace

TTCPClient::TTCPClient() = default;

TTCPClient::~TTCPClient() { Disconnect(); }

bool TTCPClient::Connect(const std::string& host, int port) {
  Disconnect();
  const std::string connectContext = platform::Format("tcpclient.connect.winsock.connect on domain %s, port %d",
                                                      host.c_str(), port);
  const uint32_t address = ResolveHost(host);
  if (address == 0) {
    const int code = platform::LastSocketError();
    Output().SetStatus(IsTemporary(code) ? ssTimeout : ssSocketError);
    Output().SetErrorText(ReportSocketError(connectContext, true));
    return false;
  }
  socket_ = platform::CreateTcpSocket();
  if (socket_ == kInvalidSocket) {
    Output().SetStatus(ssSocketError);
    Output().SetErrorText(ReportSocketError("tcpclient.connect.winsock.socket", true));
    return false;
  }
  auto optionFailed = [this](const char* context) {
    Output().SetStatus(ssSocketError);
    Output().SetErrorText(ReportSocketError(context, true));
  };
  if (Timeouts().noDelay && !platform::SetNoDelay(socket_, true)) {
    optionFailed("tcpclient.connect.winsock.setsockopt.nagle");
  }
  if (!platform::SetReceiveTimeout(socket_, static_cast<uint32_t>(std::max(Timeouts().receiveTimeout, 0)))) {
    optionFailed("tcpclient.connect.winsock.setsockopt.rcvtimeo");
  }
  if (!platform::SetSendTimeout(socket_, static_cast<uint32_t>(std::max(Timeouts().sendTimeout, 0)))) {
    optionFailed("tcpclient.connect.winsock.setsockopt.sndtimeo");
  }
  if (!platform::SetBlocking(socket_, true)) optionFailed("tcpclient.connect.winsock.ioctlsocket");

  const uint32_t waitMs = static_cast<uint32_t>(std::max(Timeouts().writeWait, 1)) * 1000;
  const int code = platform::ConnectWithTimeout(socket_, address, static_cast<uint16_t>(port), waitMs,
                                                SocketInterruptFd());
  if (code != 0) {
    Output().SetStatus(code == platform::WSAEINTR ? ssCancelled : IsTemporary(code) ? ssTimeout : ssSocketError);
    Output().SetErrorText(ReportSocketError(connectContext, true));
    platform::CloseSocketHandle(socket_);
    socket_ = kInvalidSocket;
    return false;
  }
  ConnectionInfo() = TConnectionInfo{};
  GetConnectionInfo(socket_, ConnectionInfo());
  Output().SetStatus(ssOK);
  Output().SetErrorText(std::string());
  return true;
}

void TTCPClient::Disconnect() {
  peerClosed_ = false;
  if (socket_ == kInvalidSocket) return;
  CloseSocket(socket_);
  socket_ = kInvalidSocket;
}

bool TTCPClient::Receive() {
  Input().Clear();
  if (peerClosed_) {
    // Nothing more can come; the close was dispatched when it was met.
    Input().SetStatus(ssConnectionClosed);
    Input().SetErrorText(std::string());
    return false;
  }
  TCPRead(socket_, Input(), ReadSpec(),
          [this](size_t bytes, bool reading) { return ProgressHook(bytes, reading); }, Timeouts());
  const uint8_t status = Input().Status();
  if (status == ssConnectionClosed) peerClosed_ = true;
  // A server that answers and hangs up sends both in one go: its answer is still the caller's.
  const bool answeredBeforeClose = status == ssConnectionClosed && Input().HasData();
  return DispatchToHooks(status) || answeredBeforeClose;
}

void TTCPClient::Send() {
  TCPWrite(socket_, Output(), ReadSpec(),
           [this](size_t bytes, bool reading) { return ProgressHook(bytes, reading); }, Timeouts());
  if (DispatchToHooks(Output().Status())) Output().Clear();
}

}  // namespace tovenmarsh::core
