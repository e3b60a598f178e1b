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
    case 10064:  // host is down
    case platform::WSAEHOSTUNREACH:
    case platform::WSATRY_AGAIN:
      return true;
    default:
      return false;
  }
}

}  // namespace

TTCPClient::TTCPClient() : timeouts_(DefaultTimeouts()) {}

TTCPClient::~TTCPClient() { Disconnect(); }

bool TTCPClient::Connect(const std::string& host, int port) {
  Disconnect();
  const std::string connectContext = platform::Format("tcpclient.connect.winsock.connect on domain %s, port %d",
                                                      host.c_str(), port);
  const uint32_t address = ResolveHost(host);
  if (address == 0) {
    const int code = platform::LastSocketError();
    output_.SetStatus(IsTemporary(code) ? ssTimeout : ssSocketError);
    output_.SetErrorText(ReportSocketError(connectContext, true));
    return false;
  }
  socket_ = platform::CreateTcpSocket();
  if (socket_ == kInvalidSocket) {
    output_.SetStatus(ssSocketError);
    output_.SetErrorText(ReportSocketError("tcpclient.connect.winsock.socket", true));
    return false;
  }
  auto optionFailed = [this](const char* context) {
    output_.SetStatus(ssSocketError);
    output_.SetErrorText(ReportSocketError(context, true));
  };
  if (timeouts_.noDelay && !platform::SetNoDelay(socket_, true)) {
    optionFailed("tcpclient.connect.winsock.setsockopt.nagle");
  }
  if (!platform::SetReceiveTimeout(socket_, static_cast<uint32_t>(std::max(timeouts_.receiveTimeout, 0)))) {
    optionFailed("tcpclient.connect.winsock.setsockopt.rcvtimeo");
  }
  if (!platform::SetSendTimeout(socket_, static_cast<uint32_t>(std::max(timeouts_.sendTimeout, 0)))) {
    optionFailed("tcpclient.connect.winsock.setsockopt.sndtimeo");
  }
  if (!platform::SetBlocking(socket_, true)) optionFailed("tcpclient.connect.winsock.ioctlsocket");

  const uint32_t waitMs = static_cast<uint32_t>(std::max(timeouts_.writeWait, 1)) * 1000;
  const int code = platform::ConnectWithTimeout(socket_, address, static_cast<uint16_t>(port), waitMs,
                                                SocketInterruptFd());
  if (code != 0) {
    output_.SetStatus(code == platform::WSAEINTR ? ssCancelled : IsTemporary(code) ? ssTimeout : ssSocketError);
    output_.SetErrorText(ReportSocketError(connectContext, true));
    platform::CloseSocketHandle(socket_);
    socket_ = kInvalidSocket;
    return false;
  }
  connectionInfo_ = TConnectionInfo{};
  GetConnectionInfo(socket_, connectionInfo_);
  output_.SetStatus(ssOK);
  output_.SetErrorText(std::string());
  return true;
}

void TTCPClient::Disconnect() {
  if (socket_ == kInvalidSocket) return;
  CloseSocket(socket_);
  socket_ = kInvalidSocket;
}

bool TTCPClient::Receive() {
  input_.Clear();
  TCPRead(socket_, input_, readSpec_,
          [this](size_t bytes, bool reading) { return ProgressHook(bytes, reading); }, timeouts_);
  return DispatchStatus(input_.Status());
}

void TTCPClient::Send() {
  TCPWrite(socket_, output_, readSpec_,
           [this](size_t bytes, bool reading) { return ProgressHook(bytes, reading); }, timeouts_);
  if (DispatchStatus(output_.Status())) output_.Clear();
}

bool TTCPClient::DispatchStatus(uint8_t status) {
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

bool TTCPClient::ProgressHook(size_t bytes, bool reading) {
  bool cancel = Cancel();
  Progress(bytes, reading, cancel);
  return cancel;
}

void TTCPClient::Progress(size_t, bool, bool&) {}
void TTCPClient::OnTimeout(bool&) {}
void TTCPClient::OnConnectionReset() {}
void TTCPClient::OnConnectionClosed() {}
void TTCPClient::OnSocketError() {}
void TTCPClient::OnCancelled() {}

}  // namespace tovenmarsh::core
