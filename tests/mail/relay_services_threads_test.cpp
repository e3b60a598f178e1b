// The mail services' start and stop: the listeners answer on their ports (25 and 110 moved by
// TOVENMARSH_PORT_OFFSET), the queue daemon is woken at start and through WakeQueueDaemon,
// and the stop disposes of the shared lists.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "core/manager_thread.h"
#include "core/sockets.h"
#include "mail/services/mail_services.h"
#include "mail/store/queue_file.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

std::atomic<int> g_queueRounds{0};

class TCountingDaemon : public core::TDaemon {
 protected:
  bool Execute() override {
    ++g_queueRounds;
    return true;
  }
};

bool PortFree(int port) {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  const bool free = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(s);
  return free;
}

// The first line a server on the loopback port sends ("" when none comes).
std::string FirstLine(int port) {
  for (int attempt = 0; attempt < 200; ++attempt) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(s);
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    std::string line;
    char c = 0;
    pollfd wait{s, POLLIN, 0};
    while (line.size() < 512 && ::poll(&wait, 1, 5000) > 0 && ::recv(s, &c, 1, 0) == 1) {
      line += c;
      if (c == '\n') break;
    }
    ::send(s, "QUIT\r\n", 6, MSG_NOSIGNAL);
    ::close(s);
    return line;
  }
  return std::string();
}

class MailServicesTest : public testing::MailFixture {};

TEST_F(MailServicesTest, StartServesBothPortsAndStopClearsTheLists) {
  int offset = 0;
  for (int candidate = 10000 + static_cast<int>(::getpid() % 20000), tries = 0; tries < 50; ++tries, candidate += 7) {
    if (PortFree(25 + candidate) && PortFree(110 + candidate)) {
      offset = candidate;
      break;
    }
  }
  ASSERT_GT(offset, 0);
  ::setenv("TOVENMARSH_PORT_OFFSET", std::to_string(offset).c_str(), 1);

  TMailServiceClasses classes;
  classes.queueDaemon = core::ClassRef<core::TDaemon, TCountingDaemon>();
  // The offset stays set: the listener threads read it when they open their ports.
  StartMailServices(classes);

  EXPECT_EQ(FirstLine(25 + offset).substr(0, 4), "220 ");
  EXPECT_EQ(FirstLine(110 + offset).substr(0, 4), "+OK ");
  for (int i = 0; i < 500 && g_queueRounds.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_GE(g_queueRounds.load(), 1);  // woken at start
  const int before = g_queueRounds.load();
  WakeQueueDaemon();
  for (int i = 0; i < 500 && g_queueRounds.load() == before; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GT(g_queueRounds.load(), before);

  auto entry = std::make_unique<TQueueRec>();
  entry->user = "x";
  entry->domain = "far.test";
  MailServices().relayList.Add(std::move(entry));
  MailServices().extAccountList.Refresh({resources::TExtAccRec{}}, 46000.5);
  core::StopSockets();  // the threads stop first, as in the stop sequence
  StopMailServices();
  EXPECT_EQ(MailServices().relayList.Count(), 0);
  EXPECT_EQ(MailServices().extAccountList.Count(), 0);
  WakeQueueDaemon();  // after the stop: nothing to wake, nothing happens
  WakePopMailDaemon();
}

}  // namespace
}  // namespace tovenmarsh::mail
