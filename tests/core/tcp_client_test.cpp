// TTCPClient against a peer on loopback that answers and closes in one segment: what came
// with the close still reaches the caller, and the close is reported once it has been handled.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/sockets.h"
#include "core/tcp_client.h"
#include "support/sockets_fixture.h"

namespace tovenmarsh::core {
namespace {

// A listener on 127.0.0.1, port 0, whose one accepted connection the test drives by hand.
class TPeer {
 public:
  TPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 1);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~TPeer() {
    if (connection_ >= 0) ::close(connection_);
    ::close(listener_);
  }
  TPeer(const TPeer&) = delete;
  TPeer& operator=(const TPeer&) = delete;

  int Port() const { return port_; }
  void Accept() { connection_ = ::accept(listener_, nullptr, nullptr); }
  // Sends text; with close, the FIN rides on the same segment (the data is held back until the
  // shutdown), so the client finds both in one read.
  void Answer(const std::string& text, bool close) {
    int one = 1;
    if (close) ::setsockopt(connection_, IPPROTO_TCP, TCP_CORK, &one, sizeof one);
    if (!text.empty()) ::send(connection_, text.data(), text.size(), MSG_NOSIGNAL);
    if (close) ::shutdown(connection_, SHUT_WR);
  }

 private:
  int listener_ = -1;
  int connection_ = -1;
  int port_ = 0;
};

class TCPClientTest : public testing::SocketsTest {};

TEST_F(TCPClientTest, BytesThatArriveWithTheCloseAreDelivered) {
  struct Case {
    const char* name;
    std::string answer;
    bool close;
    const char* terminator;
    bool received;  // what the first Receive answers
  } cases[] = {
      {"reply and close", "421 closing\r\n", true, "", true},
      {"reply and close, read to a line end", "554 no thanks\r\n", true, "\r\n", true},
      {"several lines and close", "250-a\r\n250 b\r\n", true, "", true},
      {"part of a line and close", "554 no th", true, "\r\n", true},
      {"close alone", "", true, "", false},
      {"reply, connection kept", "220 ready\r\n", false, "\r\n", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TPeer peer;
    TTCPClient client;
    client.ReadSpec().terminator = c.terminator;
    client.Timeouts().firstReadWait = 5;
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port()));
    peer.Accept();
    peer.Answer(c.answer, c.close);

    EXPECT_EQ(client.Receive(), c.received);
    EXPECT_EQ(client.Input().GetText(), c.answer) << "the bytes are the caller's whatever ended the read";
    EXPECT_EQ(client.PeerClosed(), c.close);
    EXPECT_EQ(client.Connected(), !c.close) << "a closed peer holds no further dialogue";
    if (!c.close) continue;
    EXPECT_EQ(client.Input().Status(), ssConnectionClosed);
    // The close itself: reported by the next read, at once and without bytes.
    EXPECT_FALSE(client.Receive());
    EXPECT_EQ(client.Input().GetText(), "");
    EXPECT_EQ(client.Input().Status(), ssConnectionClosed);
    // A new connection starts afresh.
    TPeer again;
    ASSERT_TRUE(client.Connect("127.0.0.1", again.Port()));
    again.Accept();
    EXPECT_FALSE(client.PeerClosed());
    EXPECT_TRUE(client.Connected());
  }
}

}  // namespace
}  // namespace tovenmarsh::core
