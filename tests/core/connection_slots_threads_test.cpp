// The connection framework over loopback: what a peer can do to one connection
// (half-close after its request, failing greetings and protocol objects) must neither lose an
// answer that is due nor keep a slot of the listener.
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/manager_thread.h"
#include "core/sockets.h"
#include "core/system_parameters.h"
#include "core/tcp_server.h"
#include "core/worker_threads.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "support/sockets_fixture.h"

namespace tovenmarsh::core {
namespace {

using testing::Eventually;

struct Behaviour {
  int greetingDelayMs = 0;     // the greeting is slow: the peer's bytes are all there when it ends
  bool greetingRaises = false;
  std::atomic<bool> factoryRaises{false};
  bool plainRounds = false;  // one read round at a time, lines gathered by the object itself
  int readWaitSeconds = 1;
  std::atomic<int> created{0};
  std::atomic<int> destroyed{0};
};

// Answers "echo <line>" for every complete line; greets with "hello" and leaves with "bye".
class TEchoServer : public TTCPServer {
 public:
  explicit TEchoServer(Behaviour& behaviour) : behaviour_(behaviour) {
    if (!behaviour.plainRounds) ReadSpec().terminator = "\r\n";
    Timeouts().firstReadWait = behaviour.readWaitSeconds;
    ++behaviour_.created;
  }
  ~TEchoServer() override { ++behaviour_.destroyed; }
  bool Greeting() override {
    if (behaviour_.greetingDelayMs > 0) platform::Sleep(static_cast<uint32_t>(behaviour_.greetingDelayMs));
    if (behaviour_.greetingRaises) throw platform::Exception("greeting failed");
    Output().AddText("hello\r\n");
    return true;
  }
  bool Farewell() override {
    Output().AddText("bye\r\n");
    return true;
  }

 protected:
  bool Execute() override {
    pending_ += Input().GetText();
    for (size_t end = pending_.find("\r\n"); end != std::string::npos; end = pending_.find("\r\n")) {
      Output().AddText("echo " + pending_.substr(0, end + 2));
      pending_.erase(0, end + 2);
    }
    return true;
  }

 private:
  Behaviour& behaviour_;
  std::string pending_;
};

TTCPServerClass EchoServerClass(Behaviour& behaviour) {
  return TTCPServerClass{"TEchoServer",
                         [&behaviour] {
                           if (behaviour.factoryRaises) throw platform::Exception("no protocol object");
                           return std::unique_ptr<TTCPServer>(new TEchoServer(behaviour));
                         }};
}

// The peer: raw socket calls, so that it can half-close.
class Peer {
 public:
  explicit Peer(int port, const char* source = nullptr) : fd_(platform::CreateTcpSocket()) {
    uint32_t loopback = 0;
    platform::TextToAddress("127.0.0.1", loopback);
    if (source != nullptr) {  // another loopback address: another client host
      sockaddr_in from{};
      from.sin_family = AF_INET;
      platform::TextToAddress(source, from.sin_addr.s_addr);
      ::bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from);
    }
    connected_ = platform::ConnectWithTimeout(fd_, loopback, static_cast<uint16_t>(port), 5000, -1) == 0;
  }
  ~Peer() { platform::CloseSocketHandle(fd_); }
  bool Connected() const { return connected_; }
  void Send(const std::string& text) { platform::SendSome(fd_, text.data(), text.size()); }
  void ShutdownWrite() { ::shutdown(fd_, SHUT_WR); }
  // Everything the server sends until it closes (or nothing comes for ms).
  std::string ReadAll(int ms = 5000) {
    std::string all;
    char buf[1024];
    while (platform::WaitSocket(fd_, false, int64_t{ms} * 1000, -1) == platform::TSocketWait::Ready) {
      const ssize_t n = platform::ReceiveSome(fd_, buf, sizeof buf);
      if (n <= 0) break;
      all.append(buf, static_cast<size_t>(n));
    }
    return all;
  }
  // Whether the server closes the connection within ms (what it sends first is dropped).
  bool ClosedByServer(int ms = 5000) {
    char buf[1024];
    while (platform::WaitSocket(fd_, false, int64_t{ms} * 1000, -1) == platform::TSocketWait::Ready) {
      if (platform::ReceiveSome(fd_, buf, sizeof buf) <= 0) return true;
    }
    return false;
  }

 private:
  TSocket fd_;
  bool connected_ = false;
};

class ConnectionSlots : public testing::SocketsTest {
 protected:
  int Listen(Behaviour& behaviour, int maxConnections) {
    return StartTCPServer(0, EchoServerClass(behaviour), maxConnections, 5).WaitListening(5000);
  }

  // The protocol objects use these until the stop has ended every connection thread.
  Behaviour behaviours[2];
};

// Data that arrives with the peer's FIN (half-close) is still answered, then the farewell.
TEST_F(ConnectionSlots, ARequestFollowedByAHalfCloseIsStillAnswered) {
  for (const bool plainRounds : {false, true}) {
    SCOPED_TRACE(plainRounds ? "plain rounds" : "terminator");
    Behaviour& behaviour = behaviours[plainRounds ? 1 : 0];
    behaviour.greetingDelayMs = 200;
    behaviour.plainRounds = plainRounds;
    const int port = Listen(behaviour, 10);
    ASSERT_GT(port, 0);
    Peer peer(port);
    ASSERT_TRUE(peer.Connected());
    peer.Send("ECHO one\r\n");
    peer.ShutdownWrite();  // the peer has said all it will say, and waits for the answer
    EXPECT_EQ(peer.ReadAll(), "hello\r\necho ECHO one\r\nbye\r\n");
  }
}

TEST_F(ConnectionSlots, FailingGreetingsAndFactoriesGiveTheirSlotBack) {
  Behaviour& behaviour = behaviours[0];
  behaviour.greetingRaises = true;
  const int port = Listen(behaviour, 1);
  ASSERT_GT(port, 0);
  for (int i = 0; i < 3; ++i) {
    Peer peer(port);
    ASSERT_TRUE(peer.Connected());
    EXPECT_EQ(peer.ReadAll(), "") << "a greeting that raises ends the connection at once";
  }
  EXPECT_TRUE(Eventually([&] { return behaviour.destroyed == 3; }));
  EXPECT_NE(folder.Read("test.log").find("greeting failed"), std::string::npos);
  behaviour.greetingRaises = false;
  behaviour.factoryRaises = true;
  for (int i = 0; i < 3; ++i) {
    Peer peer(port);
    EXPECT_EQ(peer.ReadAll(), "") << "no protocol object: the accepted socket is closed";
  }
  EXPECT_NE(folder.Read("test.log").find("no protocol object in ServerListenThread"), std::string::npos);
  behaviour.factoryRaises = false;
  Peer served(port);
  served.Send("ECHO x\r\n");
  const std::string answer = served.ReadAll(3000);
  EXPECT_EQ(answer.substr(0, 20), "hello\r\necho ECHO x\r\n") << "the one slot is free again";
}

// Every slot taken by connections waiting on their clients: a new client gets the slot of the
// one that has waited longest since it was opened or last answered, and the others go on.
TEST_F(ConnectionSlots, ANewClientTakesTheSlotOfTheLongestWaitingConnection) {
  Behaviour& behaviour = behaviours[0];
  behaviour.readWaitSeconds = 60;
  const int port = StartTCPServer(0, EchoServerClass(behaviour), 2, 5, 0, true).WaitListening(5000);
  ASSERT_GT(port, 0);
  Peer first(port);
  ASSERT_EQ(first.ReadAll(800), "hello\r\n");
  Peer second(port);
  ASSERT_EQ(second.ReadAll(800), "hello\r\n");
  second.Send("half a line");
  first.Send("ECHO a\r\n");  // answered after second opened: second has waited longer
  ASSERT_EQ(first.ReadAll(800), "echo ECHO a\r\n");
  first.Send("half");
  platform::Sleep(static_cast<uint32_t>(kDropAfter.count()) + 300);
  Peer third(port);
  EXPECT_EQ(third.ReadAll(800).substr(0, 7), "hello\r\n") << "served in the slot made free";
  EXPECT_TRUE(second.ClosedByServer());
  first.Send(" done\r\n");
  EXPECT_EQ(first.ReadAll(800), "echo half done\r\n");
  third.Send("ECHO c\r\n");
  EXPECT_EQ(third.ReadAll(800), "echo ECHO c\r\n");
}

// A client whose own address has its share of the slots already waits for one of them to end;
// it takes no other host's slot, while a client of another host still does.
TEST_F(ConnectionSlots, AClientAtItsAddressShareMakesNoRoom) {
  Behaviour& behaviour = behaviours[0];
  behaviour.readWaitSeconds = 60;
  const int port = StartTCPServer(0, EchoServerClass(behaviour), 3, 5, 2, true).WaitListening(5000);
  ASSERT_GT(port, 0);
  Peer other(port, "127.0.0.2");
  ASSERT_EQ(other.ReadAll(800), "hello\r\n");
  Peer first(port);
  ASSERT_EQ(first.ReadAll(800), "hello\r\n");
  Peer second(port);
  ASSERT_EQ(second.ReadAll(800), "hello\r\n");
  for (Peer* peer : {&other, &first, &second}) peer->Send("half");
  platform::Sleep(static_cast<uint32_t>(kDropAfter.count()) + 300);
  Peer third(port);  // 127.0.0.1 has two: parked
  EXPECT_EQ(third.ReadAll(1000), "");
  other.Send(" other\r\n");
  EXPECT_EQ(other.ReadAll(800), "echo half other\r\n") << "the other host kept its slot";
  Peer fourth(port, "127.0.0.3");  // room for its host: the longest waiting gives way
  EXPECT_EQ(fourth.ReadAll(1500).substr(0, 7), "hello\r\n");
  EXPECT_TRUE(first.ClosedByServer());
  EXPECT_EQ(third.ReadAll(500), "") << "the slot made free was the other host's";
  second.ShutdownWrite();  // 127.0.0.1's last connection ends: its parked client is served
  EXPECT_EQ(third.ReadAll(1500).substr(0, 7), "hello\r\n");
}

// Without the option, a client waits for a slot however long the others wait on theirs.
TEST_F(ConnectionSlots, WithoutDroppingANewClientWaitsForASlot) {
  Behaviour& behaviour = behaviours[0];
  behaviour.readWaitSeconds = 60;
  const int port = Listen(behaviour, 1);
  ASSERT_GT(port, 0);
  Peer first(port);
  ASSERT_EQ(first.ReadAll(800), "hello\r\n");
  first.Send("half");
  platform::Sleep(static_cast<uint32_t>(kDropAfter.count()) + 300);
  Peer second(port);
  EXPECT_EQ(second.ReadAll(1500), "");
  first.Send("\r\n");
  EXPECT_EQ(first.ReadAll(800), "echo half\r\n");
}

}  // namespace
}  // namespace tovenmarsh::core
