// TCPRead and TCPWrite over loopback: every status code, terminator, count and length-prefix
// framing that arrives in pieces, and the bound on what one read may collect.
#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/manager_thread.h"
#include "core/sockets.h"
#include "core/tcp_buffer.h"
#include "platform/socket.h"
#include "platform/tick.h"

namespace tovenmarsh::core {
namespace {

// A connected loopback pair: `server` is read by the code under test, `peer` is the far end.
class TcpIo : public ::testing::Test {
 protected:
  void SetUp() override {
    StartSockets();  // also clears the interrupt a previous stop left set
    const TSocket listener = platform::CreateTcpSocket();
    ASSERT_TRUE(platform::BindAnyAddress(listener, 0));
    ASSERT_TRUE(platform::ListenOn(listener, 1));
    uint32_t address = 0;
    uint16_t port = 0;
    ASSERT_TRUE(platform::LocalEndpoint(listener, address, port));
    peer = platform::CreateTcpSocket();
    uint32_t loopback = 0;
    platform::TextToAddress("127.0.0.1", loopback);
    ASSERT_EQ(platform::ConnectWithTimeout(peer, loopback, port, 2000, -1), 0);
    server = platform::AcceptConnection(listener);
    ASSERT_NE(server, kInvalidSocket);
    platform::CloseSocketHandle(listener);
    timeouts.firstReadWait = 5;
  }
  void TearDown() override {
    if (writer.joinable()) writer.join();
    if (peer != kInvalidSocket) platform::CloseSocketHandle(peer);
    if (server != kInvalidSocket) platform::CloseSocketHandle(server);
    StopSockets();
  }

  // Sends the pieces from another thread with a pause between them.
  void SendPieces(std::vector<std::string> pieces) {
    writer = std::thread([this, pieces = std::move(pieces)] {
      for (const std::string& piece : pieces) {
        size_t sent = 0;
        while (sent < piece.size()) {
          const ssize_t n = platform::SendSome(peer, piece.data() + sent, piece.size() - sent);
          if (n <= 0) return;
          sent += static_cast<size_t>(n);
        }
        platform::Sleep(30);
      }
    });
  }

  std::string PeerReceive(size_t count) {
    std::string got;
    char buf[4096];
    while (got.size() < count &&
           platform::WaitSocket(peer, false, 5000000, -1) == platform::TSocketWait::Ready) {
      const ssize_t n = platform::ReceiveSome(peer, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, static_cast<size_t>(n));
    }
    return got;
  }

  TSocket server = kInvalidSocket;
  TSocket peer = kInvalidSocket;
  TTCPBuffer buffer;
  TReadSpec spec;
  TTimeouts timeouts = DefaultTimeouts();
  std::thread writer;
};

TEST_F(TcpIo, TerminatorReadWaitsForTheWholeTerminatorAcrossPieces) {
  spec.terminator = "\r\n.\r\n";
  SendPieces({"Subject: x\r\n", "\r\nbody\r\n", "..\r", "\n.", "\r", "\n"});
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssOK);
  EXPECT_EQ(buffer.GetText(), "Subject: x\r\n\r\nbody\r\n..\r\n.\r\n");
}

TEST_F(TcpIo, LengthPrefixArrivingInPiecesReadsExactlyOneFrame) {
  spec.lengthPrefix = true;
  const std::string payload(256, 'p');
  SendPieces({std::string("\0\0", 2), std::string("\1", 1), std::string("\0", 1), payload.substr(0, 100),
              payload.substr(100) + std::string("\0\0\0\3", 4) + "abc"});
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssOK);
  EXPECT_EQ(spec.count, 256);
  EXPECT_EQ(buffer.GetText(), payload) << "the read stops at the end of its frame";
  buffer.Clear();
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssOK);
  EXPECT_EQ(spec.count, 3);
  EXPECT_EQ(buffer.GetText(), "abc");
}

TEST_F(TcpIo, CountReadStopsAtTheCount) {
  spec.count = 10;
  SendPieces({"01234", "56789ABCDE"});
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.GetText(), "0123456789");
  buffer.Clear();
  spec.count = 0;
  writer.join();
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.GetText(), "ABCDE");
}

TEST_F(TcpIo, ReadsAreBoundedByTheMaximum) {
  const struct {
    bool lengthPrefix;
    std::string terminator;
    int64_t count;
    std::string sent;
    const char* error;
  } cases[] = {
      {true, "", 0, std::string("\xff\xff\xff\xff", 4), "TCP_Read.length_prefix: Message too long"},
      {true, "", 0, std::string("\0\0\0\x65", 4), "TCP_Read.length_prefix: Message too long"},
      {false, "\r\n", 0, std::string(300, 'x') + "\r\n", "TCP_Read.terminator: Message too long"},
      {false, "", 101, std::string(101, 'x'), "TCP_Read.count: Message too long"},
      {false, "", 0, "", "TCP_Read.limit: Message too long"},  // the buffer is already full
  };
  for (const auto& c : cases) {
    TearDown();
    SetUp();
    spec = TReadSpec{};
    spec.lengthPrefix = c.lengthPrefix;
    spec.terminator = c.terminator;
    spec.count = c.count;
    spec.maximum = 100;
    SendPieces({c.sent});
    buffer.Clear();
    if (c.sent.empty()) buffer.AddText(std::string(100, 'f'));
    TCPRead(server, buffer, spec, nullptr, timeouts);
    EXPECT_EQ(buffer.Status(), ssSocketError) << c.error;
    EXPECT_EQ(buffer.ErrorText(), c.error);
    EXPECT_LE(buffer.Length(), 100u);
  }
}

TEST_F(TcpIo, EveryReadStatus) {
  // 0: data.
  SendPieces({"hello"});
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssOK);
  EXPECT_EQ(buffer.GetText(), "hello");
  writer.join();

  // 1: silence for the first-read wait; with a wait of 0 nothing is read and all is well.
  timeouts.firstReadWait = 1;
  buffer.Clear();
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssTimeout);
  timeouts.firstReadWait = 0;
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssOK);
  EXPECT_FALSE(buffer.HasData());
  timeouts.firstReadWait = 5;

  // 5: the progress hook cancels.
  SendPieces({"more"});
  TCPRead(server, buffer, spec, [](size_t, bool reading) { return reading; }, timeouts);
  EXPECT_EQ(buffer.Status(), ssCancelled);
  writer.join();

  // 5: the framework's interrupt (as at shut-down).
  InterruptSockets();
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssCancelled);

  // 4: no socket, or a descriptor that is no socket.
  TCPRead(kInvalidSocket, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssSocketError);
  EXPECT_EQ(buffer.ErrorText(), "INVALID_SOCKET");
  StopSockets();
  StartSockets();
  TCPRead(100000, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssSocketError);
  EXPECT_EQ(buffer.ErrorText(), "TCP_Read_level_1.winsock.select_1: Socket operation on non-socket");

  // 3: the peer closes.
  platform::CloseSocketHandle(peer);
  peer = kInvalidSocket;
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssConnectionClosed);
}

TEST_F(TcpIo, ResetReadsAsStatus2AndWritesFail) {
  ASSERT_TRUE(platform::SetLinger(peer, true, 0));
  platform::CloseSocketHandle(peer);
  peer = kInvalidSocket;
  TCPRead(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssConnectionReset);
  buffer.AddText("data");
  TCPWrite(server, buffer, spec, nullptr, timeouts);
  EXPECT_TRUE(buffer.Status() == ssConnectionReset || buffer.Status() == ssConnectionClosed)
      << int(buffer.Status());
}

TEST_F(TcpIo, WritesWithPrefixInvalidEmptyCancelAndTimeout) {
  buffer.AddText("abc");
  spec.lengthPrefix = true;
  TCPWrite(server, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssOK);
  EXPECT_EQ(PeerReceive(7), std::string("\0\0\0\3abc", 7));
  spec.lengthPrefix = false;

  TCPWrite(kInvalidSocket, buffer, spec, nullptr, timeouts);
  EXPECT_EQ(buffer.Status(), ssSocketError);
  EXPECT_EQ(buffer.ErrorText(), "INVALID_SOCKET");

  TTCPBuffer empty;
  empty.SetStatus(ssTimeout);
  TCPWrite(server, empty, spec, nullptr, timeouts);
  EXPECT_EQ(empty.Status(), ssTimeout) << "an empty buffer sends nothing and keeps its status";

  size_t reported = 0;
  TCPWrite(server, buffer, spec, [&](size_t n, bool reading) { reported += reading ? 0 : n; return true; },
           timeouts);
  EXPECT_EQ(buffer.Status(), ssCancelled);
  EXPECT_GT(reported, 0u);
  EXPECT_EQ(PeerReceive(3), "abc");

  // The peer reads nothing: once the socket buffers are full the write waits out its time.
  timeouts.writeWait = 1;
  TTCPBuffer big;
  big.AddText(std::string(64 * 1024 * 1024, 'b'));
  TCPWrite(server, big, spec, nullptr, timeouts);
  EXPECT_EQ(big.Status(), ssTimeout);
}

}  // namespace
}  // namespace tovenmarsh::core
