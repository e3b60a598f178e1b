// The socket layer's tables and helpers: error texts, host resolution, the reporters' texts
// and levels, and the listening-port offset.
#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/server_errors.h"
#include "core/tcp_server.h"
#include "core/sockets.h"
#include "core/system_parameters.h"
#include "core/worker_threads.h"
#include "platform/socket.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

TEST(Sockets, ErrorTextsAndTheUnknownCode) {
  const struct {
    int code;
    const char* text;
  } cases[] = {
      {10004, "Interrupted system call"},
      {10024, "Too many open files"},
      {10040, "Message too long"},
      {10048, "Address already in use"},
      {10054, "Connection reset by peer"},
      {10060, "Connection timed out"},
      {10061, "Connection refused"},
      {10071, "Too many levels of remote in path"},
      {10092, "WSOCK32.DLL DLL cannot support this application"},
      {11001, "Host not found"},
      {11004, "No Data"},
      {12345, "Unknown Socket Error (12345)"},
      {0, "Unknown Socket Error (0)"},
  };
  for (const auto& c : cases) EXPECT_EQ(SocketErrorText(c.code), c.text);
  // Every code the platform layer maps errno to has its own text.
  for (int err = 1; err < 134; ++err) {
    const int code = platform::ErrnoToSocketError(err);
    if (code >= 10000) {
      EXPECT_EQ(SocketErrorText(code).find("Unknown"), std::string::npos) << err;
    }
  }
}

TEST(Sockets, ResolveHostTakesDottedTextWithoutLookUp) {
  EXPECT_EQ(platform::AddressToText(ResolveHost("10.0.0.1")), "10.0.0.1");
  EXPECT_EQ(platform::AddressToText(ResolveHost("127.0.0.1")), "127.0.0.1");
  EXPECT_EQ(platform::AddressToText(ResolveHost("localhost")).substr(0, 4), "127.");
  for (const char* bad : {"", "0.0.0.0", "0", "1.2.3.4.5", "999.1.1.1", "no-such-host.invalid"}) {
    EXPECT_EQ(ResolveHost(bad), 0u) << bad;
    EXPECT_GE(platform::LastSocketError(), 11001) << bad;
  }
  std::string host;
  std::string shortName;
  GetHostNames(host, shortName);
  EXPECT_FALSE(shortName.empty());
  EXPECT_FALSE(host.empty());
}

TEST(Sockets, ReportersLogAtTheirLevelsAndSocketErrorRaises) {
  testing::TempFolder folder;
  ASSERT_TRUE(OpenLog(folder.Path() + "s.log"));
  platform::SetLastSocketError(10061);
  EXPECT_EQ(ReportSocketError("tcpclient.connect.winsock.socket", true),
            "tcpclient.connect.winsock.socket: Connection refused");
  EXPECT_EQ(ReportSocketError("plain", false), "plain");
  SocketWarning("TCP_Close.winsock.closesocket", true);
  try {
    SocketError("ServerListenThread.execute.winsock.accept(25)", true);
    FAIL() << "SocketError must raise";
  } catch (const EWinsockError& e) {
    EXPECT_EQ(e.Message(), "tovenmarsh:ServerListenThread.execute.winsock.accept(25): Connection refused");
  }
  CloseLog();
  const std::string log = folder.Read("s.log");
  EXPECT_NE(log.find("ErrorText on "), std::string::npos);
  EXPECT_NE(log.find(" : tcpclient.connect.winsock.socket: Connection refused\r\n"), std::string::npos);
  EXPECT_NE(log.find("Warning on "), std::string::npos);
  EXPECT_NE(log.find(" : TCP_Close.winsock.closesocket: Connection refused\r\n"), std::string::npos);
  EXPECT_NE(log.find("Error on "), std::string::npos);
  EXPECT_NE(log.find(" : (EWinsockError)ServerListenThread.execute.winsock.accept(25): Connection refused\r\n"),
            std::string::npos);
}

TEST(SocketsDeathTest, SocketPanicEndsTheProcess) {
  platform::SetLastSocketError(10048);
  EXPECT_EXIT(SocketPanic("ServerListenThread.execute.winsock.bind: Another server active on port(25)", true),
              ::testing::ExitedWithCode(1), "Another server active on port\\(25\\): Address already in use");
}

TEST(Sockets, ListeningPortOffsetAppliesToRealPortsOnlyAndRefusesWhatIsUnusable) {
  const struct {
    const char* offset;
    int port;
    int expected;       // 0: refused
    const char* error;  // what the refusal says
  } cases[] = {
      {nullptr, 25, 25, ""},
      {"", 25, 25, ""},
      {"0", 110, 110, ""},
      {"10000", 25, 10025, ""},
      {"10000", 110, 10110, ""},
      {"10000", 80, 10080, ""},
      {"10000", 0, 0, ""},  // an ephemeral port stays one
      {"abc", 0, 0, ""},    // ... and never looks at the offset
      {"65455", 80, 65535, ""},
      // Never a silent fall-back to the real port: each of these would have listened on 25.
      {"abc", 25, 0, "TOVENMARSH_PORT_OFFSET \"abc\" is not a whole number from 0 to 65510: not listening on port 25"},
      {"-5", 25, 0, "TOVENMARSH_PORT_OFFSET \"-5\" is not a whole number"},
      {"+5", 25, 0, "is not a whole number"},
      {" 5", 25, 0, "is not a whole number"},
      {"5 ", 25, 0, "is not a whole number"},
      {"12x", 110, 0, "not listening on port 110"},
      {"1\r\nPanic", 25, 0, "TOVENMARSH_PORT_OFFSET \"1??Panic\" is not"},  // nothing raw reaches the log
      {"65456", 80, 0, "TOVENMARSH_PORT_OFFSET \"65456\" takes port 80 past 65535 (at most 65455): not listening"},
      {"70000", 25, 0, "takes port 25 past 65535"},
      {"99999999999999999999999", 25, 0, "takes port 25 past 65535"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.offset ? c.offset : "unset") + " on " + std::to_string(c.port));
    if (c.offset == nullptr) {
      unsetenv("TOVENMARSH_PORT_OFFSET");
    } else {
      setenv("TOVENMARSH_PORT_OFFSET", c.offset, 1);
    }
    if (c.expected != 0 || c.port == 0) {
      EXPECT_EQ(ListeningPort(c.port), c.expected);
      continue;
    }
    try {
      const int port = ListeningPort(c.port);
      ADD_FAILURE() << "accepted, port " << port;
    } catch (const EVServer& e) {
      EXPECT_NE(e.Message().find(c.error), std::string::npos) << e.Message();
    }
  }
  unsetenv("TOVENMARSH_PORT_OFFSET");
}

TEST(Sockets, AnUnusableOffsetStartsNoListener) {
  setenv("TOVENMARSH_PORT_OFFSET", "abc", 1);
  StartSockets();
  const int threads = SystemParameters().ThreadCount();
  EXPECT_THROW(StartTCPServer(25, ClassRef<TTCPServer, TTCPServer>(), 10, 5), EVServer);
  EXPECT_EQ(SystemParameters().ThreadCount(), threads) << "no listener thread was made";
  StopSockets();
  unsetenv("TOVENMARSH_PORT_OFFSET");
}

TEST(Sockets, TheListenerAddsTheOffsetToItsPort) {
  // A port that is free now stands for "25 + offset".
  const TSocket probe = platform::CreateTcpSocket();
  ASSERT_TRUE(platform::BindAnyAddress(probe, 0));
  uint32_t address = 0;
  uint16_t free = 0;
  ASSERT_TRUE(platform::LocalEndpoint(probe, address, free));
  platform::CloseSocketHandle(probe);
  ASSERT_GT(free, 25);
  setenv("TOVENMARSH_PORT_OFFSET", std::to_string(free - 25).c_str(), 1);
  StartSockets();
  TServerListenThread& listener = StartTCPServer(25, ClassRef<TTCPServer, TTCPServer>(), 10, 5);
  EXPECT_EQ(listener.Port(), 25);
  EXPECT_EQ(listener.WaitListening(5000), free);
  StopSockets();
  unsetenv("TOVENMARSH_PORT_OFFSET");
}

}  // namespace
}  // namespace tovenmarsh::core
