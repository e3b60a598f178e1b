// The POSIX socket layer over loopback: error-code mapping, address texts, waits with
// interrupt, non-blocking connect and the tick counter.
#include <cerrno>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/socket.h"
#include "platform/tick.h"

namespace tovenmarsh::platform {
namespace {

uint32_t Loopback() {
  uint32_t a = 0;
  EXPECT_TRUE(TextToAddress("127.0.0.1", a));
  return a;
}

// A listening socket on an ephemeral loopback port.
struct Listener {
  TSocket fd = CreateTcpSocket();
  uint16_t port = 0;
  explicit Listener(int backlog = 5) {
    EXPECT_NE(fd, kInvalidSocket);
    EXPECT_TRUE(SetReuseAddress(fd));
    EXPECT_TRUE(BindAnyAddress(fd, 0));
    EXPECT_TRUE(ListenOn(fd, backlog));
    uint32_t addr = 0;
    EXPECT_TRUE(LocalEndpoint(fd, addr, port));
  }
  ~Listener() { CloseSocketHandle(fd); }
};

TEST(SocketErrors, ErrnoMapsToWindowsSocketsCodes) {
  const struct {
    int err;
    int code;
  } cases[] = {
      {0, 0},
      {EINTR, 10004},         {EBADF, 10009},           {EACCES, 10013},       {EFAULT, 10014},
      {EINVAL, 10022},        {EMFILE, 10024},          {ENFILE, 10024},       {EAGAIN, 10035},
      {EINPROGRESS, 10036},   {EALREADY, 10037},        {ENOTSOCK, 10038},     {EDESTADDRREQ, 10039},
      {EMSGSIZE, 10040},      {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},  {EPROTONOSUPPORT, 10043},
      {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},    {EPFNOSUPPORT, 10046}, {EAFNOSUPPORT, 10047},
      {EADDRINUSE, 10048},    {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},     {ENETUNREACH, 10051},
      {ENETRESET, 10052},     {ECONNABORTED, 10053},    {ECONNRESET, 10054},   {ENOBUFS, 10055},
      {EISCONN, 10056},       {ENOTCONN, 10057},        {ESHUTDOWN, 10058},    {EPIPE, 10058},
      {ETOOMANYREFS, 10059},  {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061}, {ELOOP, 10062},
      {ENAMETOOLONG, 10063},  {EHOSTDOWN, 10064},       {EHOSTUNREACH, 10065}, {ENOTEMPTY, 10066},
      {EUSERS, 10068},        {EDQUOT, 10069},          {ESTALE, 10070},       {EREMOTE, 10071},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrnoToSocketError(c.err), c.code) << "errno " << c.err;
  EXPECT_EQ(ResolverToSocketError(EAI_NONAME), 11001);
  EXPECT_EQ(ResolverToSocketError(EAI_AGAIN), 11002);
  EXPECT_EQ(ResolverToSocketError(EAI_FAIL), 11003);
}

TEST(SocketAddresses, DottedTextBothWaysAndLookups) {
  uint32_t a = 0;
  ASSERT_TRUE(TextToAddress("10.0.0.1", a));
  EXPECT_EQ(AddressToText(a), "10.0.0.1");
  EXPECT_FALSE(TextToAddress("10.0.0.256", a));
  EXPECT_FALSE(TextToAddress("host.example", a));
  EXPECT_EQ(AddressToText(LookupAddress("localhost")).substr(0, 4), "127.");
  EXPECT_EQ(LookupAddress("no-such-host.invalid"), 0u);
  EXPECT_GE(LastSocketError(), 11001);
  EXPECT_LE(LastSocketError(), 11004);
  EXPECT_FALSE(LocalHostName().empty());
}

TEST(SocketLoopback, AcceptTransferCloseAndWaits) {
  Listener l;
  TSocket c = CreateTcpSocket();
  ASSERT_EQ(ConnectWithTimeout(c, Loopback(), l.port, 2000, -1), 0);
  EXPECT_EQ(WaitSocket(l.fd, false, 2000000, -1), TSocketWait::Ready);
  TSocket s = AcceptConnection(l.fd);
  ASSERT_NE(s, kInvalidSocket);

  uint32_t addr = 0;
  uint16_t port = 0;
  ASSERT_TRUE(PeerEndpoint(s, addr, port));
  EXPECT_EQ(AddressToText(addr), "127.0.0.1");
  uint16_t cport = 0;
  ASSERT_TRUE(LocalEndpoint(c, addr, cport));
  EXPECT_EQ(port, cport);

  EXPECT_EQ(WaitSocket(s, false, 1000, -1), TSocketWait::Timeout);
  EXPECT_EQ(WaitSocket(c, true, 1000000, -1), TSocketWait::Ready);
  ASSERT_EQ(SendSome(c, "hello", 5), 5);
  EXPECT_EQ(WaitSocket(s, false, 2000000, -1), TSocketWait::Ready);
  char buf[16];
  ASSERT_EQ(ReceiveSome(s, buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");

  EXPECT_TRUE(SetReceiveTimeout(s, 50));
  EXPECT_EQ(ReceiveSome(s, buf, sizeof buf), -1) << "a receive time-out";
  EXPECT_EQ(LastSocketError(), WSAETIMEDOUT);

  EXPECT_TRUE(SetNoDelay(c, true));
  EXPECT_TRUE(SetSendTimeout(c, 3000));
  CloseSocketHandle(c);
  EXPECT_EQ(WaitSocket(s, false, 2000000, -1), TSocketWait::Ready) << "a close is readable";
  EXPECT_EQ(ReceiveSome(s, buf, sizeof buf), 0);
  // Writing to the closed peer fails instead of raising SIGPIPE.
  ssize_t n = 0;
  for (int i = 0; i < 10 && n >= 0; ++i) n = SendSome(s, "x", 1);
  EXPECT_EQ(n, -1);
  EXPECT_TRUE(LastSocketError() == WSAECONNRESET || LastSocketError() == WSAESHUTDOWN) << LastSocketError();
  CloseSocketHandle(s);
}

// A reply goes out in one write; with Nagle's algorithm on, its tail would wait for the
// client's delayed acknowledgement of the part before it.
TEST(SocketLoopback, AcceptedSocketsSendWithoutDelay) {
  Listener l;
  TSocket c = CreateTcpSocket();
  ASSERT_EQ(ConnectWithTimeout(c, Loopback(), l.port, 2000, -1), 0);
  TSocket s = AcceptConnection(l.fd);
  ASSERT_NE(s, kInvalidSocket);
  int on = 0;
  socklen_t size = sizeof on;
  ASSERT_EQ(getsockopt(s, IPPROTO_TCP, TCP_NODELAY, &on, &size), 0);
  EXPECT_NE(on, 0);
  CloseSocketHandle(s);
  CloseSocketHandle(c);
}

TEST(SocketLoopback, ResetIsReportedAsConnectionReset) {
  Listener l;
  TSocket c = CreateTcpSocket();
  ASSERT_EQ(ConnectWithTimeout(c, Loopback(), l.port, 2000, -1), 0);
  TSocket s = AcceptConnection(l.fd);
  ASSERT_NE(s, kInvalidSocket);
  ASSERT_TRUE(SetLinger(c, true, 0));  // close with RST
  CloseSocketHandle(c);
  ASSERT_EQ(WaitSocket(s, false, 2000000, -1), TSocketWait::Ready);
  char buf[4];
  EXPECT_EQ(ReceiveSome(s, buf, sizeof buf), -1);
  EXPECT_EQ(LastSocketError(), WSAECONNRESET);
  CloseSocketHandle(s);
}

TEST(SocketLoopback, InterruptWakesEveryWaitUntilReset) {
  Listener l;
  TSocketInterrupt interrupt;
  EXPECT_FALSE(interrupt.IsSet());
  interrupt.Set();
  EXPECT_TRUE(interrupt.IsSet());
  EXPECT_EQ(WaitSocket(l.fd, false, -1, interrupt.Fd()), TSocketWait::Interrupted);
  EXPECT_EQ(WaitSocket(l.fd, false, -1, interrupt.Fd()), TSocketWait::Interrupted) << "stays set";
  // A connect that would wait (the peer's accept queue is full) is interrupted too.
  Listener full(0);
  std::vector<TSocket> clients;
  int result = 0;
  for (int i = 0; i < 8 && result == 0; ++i) {
    clients.push_back(CreateTcpSocket());
    result = ConnectWithTimeout(clients.back(), Loopback(), full.port, 0, interrupt.Fd());
  }
  EXPECT_EQ(result, WSAEINTR);
  for (TSocket s : clients) CloseSocketHandle(s);
  interrupt.Reset();
  EXPECT_FALSE(interrupt.IsSet());
  EXPECT_EQ(WaitSocket(l.fd, false, 1000, interrupt.Fd()), TSocketWait::Timeout);
}

TEST(SocketLoopback, ConnectFailuresGiveTheirCodes) {
  uint16_t closedPort = 0;
  {
    Listener l;
    closedPort = l.port;
  }
  TSocket c = CreateTcpSocket();
  EXPECT_EQ(ConnectWithTimeout(c, Loopback(), closedPort, 2000, -1), WSAECONNREFUSED);
  CloseSocketHandle(c);

  // A listener whose accept queue is full drops further handshakes: the connect runs out of time.
  Listener full(0);
  std::vector<TSocket> clients;
  int result = 0;
  for (int i = 0; i < 8 && result == 0; ++i) {
    clients.push_back(CreateTcpSocket());
    result = ConnectWithTimeout(clients.back(), Loopback(), full.port, 200, -1);
  }
  EXPECT_EQ(result, WSAETIMEDOUT);
  for (TSocket s : clients) CloseSocketHandle(s);

  EXPECT_EQ(WaitSocket(12345, false, 0, -1), TSocketWait::Error);
  EXPECT_EQ(LastSocketError(), WSAENOTSOCK);
}

TEST(SocketLoopback, BindingABusyPortFailsWithAddressInUse) {
  Listener l;
  TSocket s = CreateTcpSocket();
  EXPECT_FALSE(BindAnyAddress(s, l.port));
  EXPECT_EQ(LastSocketError(), WSAEADDRINUSE);
  CloseSocketHandle(s);
}

TEST(Tick, MonotonicAndSleepWaitsAtLeastItsTime) {
  const uint64_t start = GetTickCount64();
  Sleep(20);
  EXPECT_GE(GetTickCount64() - start, 20u);
}

}  // namespace
}  // namespace tovenmarsh::platform
