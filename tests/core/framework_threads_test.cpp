// The TCP framework over loopback with a small line protocol: listener slots and MaxTCPCon,
// the connection loop with its hooks, daemons woken by signal and by interval, tasks, the idle
// sweep with an injected clock, the outgoing client, and a shut-down with idle connections,
// a sleeping daemon and a blocked client read that ends quickly with every thread joined.
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/manager_thread.h"
#include "core/sockets.h"
#include "core/system_parameters.h"
#include "core/tcp_client.h"
#include "core/tcp_server.h"
#include "core/timed_server.h"
#include "core/worker_threads.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "support/sockets_fixture.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

using namespace std::chrono_literals;

using testing::Eventually;

int EntryCount(const char* folder) {
  int n = 0;
  if (DIR* dir = opendir(folder)) {
    while (dirent* entry = readdir(dir)) n += entry->d_name[0] != '.';
    closedir(dir);
  }
  return n;
}

int TaskCount() { return EntryCount("/proc/self/task"); }
// A joined thread can still be listed for a moment: the kernel wakes the joiner before it has
// reaped the thread, so a count right after a join may be one high.
bool TaskCountSettlesAt(int expected) {
  return Eventually([&] { return TaskCount() == expected; });
}
// Open descriptors (the one that reads the folder included).
int DescriptorCount() { return EntryCount("/proc/self/fd"); }

struct Probe {
  std::atomic<int> created{0};
  std::atomic<int> destroyed{0};
  std::atomic<int> timeouts{0};
  std::atomic<int> closed{0};
  std::atomic<TTimedServer*> last{nullptr};
  int firstReadWait = 15;
};

// Answers "echo <line>" per line; QUIT closes, BOOM raises and goes on, FATAL raises and ends.
class TLineServer : public TTCPServer {
 public:
  explicit TLineServer(Probe& probe) : probe_(probe) {
    ReadSpec().terminator = "\r\n";
    Timeouts().firstReadWait = probe.firstReadWait;
    SetKind(ckSMTP);
    probe_.last = this;
    ++probe_.created;
  }
  ~TLineServer() override {
    probe_.last = nullptr;
    ++probe_.destroyed;
  }
  bool Greeting() override {
    Output().AddText("hello\r\n");
    return true;
  }
  bool Farewell() override {
    Output().AddText("bye\r\n");
    return true;
  }
  void OnTimeout(bool& continueConnection) override {
    ++probe_.timeouts;
    continueConnection = true;
  }
  void OnConnectionClosed() override { ++probe_.closed; }

 protected:
  bool Execute() override {
    for (std::string line = Input().TakeLine(); !line.empty(); line = Input().TakeLine()) {
      if (line == "QUIT\r\n") {
        Output().AddText("closing\r\n");
        SetClose(true);
      } else if (line == "BOOM\r\n") {
        throw platform::Exception("boom");
      } else if (line == "FATAL\r\n") {
        fatal_ = true;
        Output().AddText("fatal\r\n");
        throw platform::Exception("fatal");
      } else {
        Output().AddText("echo " + line);
      }
    }
    return true;
  }
  bool HandleException(const std::exception&) override { return fatal_; }

 private:
  Probe& probe_;
  bool fatal_ = false;
};

TTCPServerClass LineServerClass(Probe& probe) {
  return TTCPServerClass{"TLineServer", [&probe] { return std::unique_ptr<TTCPServer>(new TLineServer(probe)); }};
}

// The far end of a test connection.
class Client {
 public:
  // source: the loopback address the connection comes from (all of 127/8 is this host).
  explicit Client(int port, const char* source = nullptr) : fd_(platform::CreateTcpSocket()) {
    if (source != nullptr) {
      sockaddr_in local{};
      local.sin_family = AF_INET;
      inet_pton(AF_INET, source, &local.sin_addr);
      if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) return;
    }
    uint32_t loopback = 0;
    platform::TextToAddress("127.0.0.1", loopback);
    connected_ = platform::ConnectWithTimeout(fd_, loopback, static_cast<uint16_t>(port), 5000, -1) == 0;
  }
  ~Client() { Close(); }
  bool Connected() const { return connected_; }
  void Send(const std::string& text) { platform::SendSome(fd_, text.data(), text.size()); }
  // The next line, or "" when none comes within ms (or the peer closed).
  std::string ReadLine(int ms = 5000) {
    for (;;) {
      const size_t end = pending_.find("\r\n");
      if (end != std::string::npos) {
        std::string line = pending_.substr(0, end + 2);
        pending_.erase(0, end + 2);
        return line;
      }
      if (platform::WaitSocket(fd_, false, int64_t{ms} * 1000, -1) != platform::TSocketWait::Ready) return "";
      char buf[1024];
      const ssize_t n = platform::ReceiveSome(fd_, buf, sizeof buf);
      if (n <= 0) return "";
      pending_.append(buf, static_cast<size_t>(n));
    }
  }
  // True once the peer has closed (after whatever it still sent).
  bool PeerClosed(int ms = 5000) {
    char buf[1024];
    while (platform::WaitSocket(fd_, false, int64_t{ms} * 1000, -1) == platform::TSocketWait::Ready) {
      const ssize_t n = platform::ReceiveSome(fd_, buf, sizeof buf);
      if (n <= 0) return true;
    }
    return false;
  }
  void Close() {
    if (fd_ != kInvalidSocket) platform::CloseSocketHandle(fd_);
    fd_ = kInvalidSocket;
  }

 private:
  TSocket fd_;
  bool connected_ = false;
  std::string pending_;
};

class Framework : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenLog(folder.Path() + "test.log"));
    threadsBefore = SystemParameters().ThreadCount();
    StartSockets();
  }
  void TearDown() override {
    StopSockets();
    EXPECT_EQ(SystemParameters().ThreadCount(), threadsBefore);
    SystemParameters().SetString("MaxTCPCon", "0");
    CloseLog();
  }
  std::string Log() { return folder.Read("test.log"); }
  int Listen(Probe& probe, int maxConnections = 10) {
    TServerListenThread& listener = StartTCPServer(0, LineServerClass(probe), maxConnections, 5);
    return listener.WaitListening(5000);
  }

  testing::TempFolder folder;
  int threadsBefore = 0;
  Probe probe;
};

TEST_F(Framework, ConnectionRoundsHooksAndExceptions) {
  const int smtpBefore = SystemParameters().ConnectionCount(ckSMTP);
  const int port = Listen(probe);
  ASSERT_GT(port, 0);
  EXPECT_NE(Log().find("[TLineServer listener started on port " + std::to_string(port) + "]"), std::string::npos);

  Client client(port);
  ASSERT_TRUE(client.Connected());
  EXPECT_EQ(client.ReadLine(), "hello\r\n");
  EXPECT_EQ(SystemParameters().ConnectionCount(ckSMTP), smtpBefore + 1);
  client.Send("ECHO ");
  platform::Sleep(20);
  client.Send("a\r\nECHO b\r\n");
  EXPECT_EQ(client.ReadLine(), "echo ECHO a\r\n");
  EXPECT_EQ(client.ReadLine(), "echo ECHO b\r\n");
  client.Send("BOOM\r\n");
  client.Send("after\r\n");
  EXPECT_EQ(client.ReadLine(), "echo after\r\n") << "an exception that is not fatal keeps the connection";
  EXPECT_NE(Log().find("(Exception) boom in TLineServer"), std::string::npos);
  client.Send("QUIT\r\n");
  EXPECT_EQ(client.ReadLine(), "closing\r\n");
  EXPECT_EQ(client.ReadLine(), "bye\r\n");
  EXPECT_TRUE(client.PeerClosed());
  EXPECT_TRUE(Eventually([&] { return SystemParameters().ConnectionCount(ckSMTP) == smtpBefore; }));
  EXPECT_EQ(probe.destroyed, 1);

  Client fatal(port);
  EXPECT_EQ(fatal.ReadLine(), "hello\r\n");
  fatal.Send("FATAL\r\n");
  EXPECT_EQ(fatal.ReadLine(), "fatal\r\n") << "the pending output still goes out";
  EXPECT_EQ(fatal.ReadLine(), "") << "and no farewell follows";
  EXPECT_TRUE(Eventually([&] { return probe.destroyed == 2; }));

  Client closer(port);
  EXPECT_EQ(closer.ReadLine(), "hello\r\n");
  closer.Close();
  EXPECT_TRUE(Eventually([&] { return probe.closed == 1 && probe.destroyed == 3; }));
}

TEST_F(Framework, TheEleventhConnectionWaitsForAFreeSlot) {
  const int port = Listen(probe);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 10; ++i) {
    clients.push_back(std::make_unique<Client>(port));
    ASSERT_EQ(clients.back()->ReadLine(), "hello\r\n") << i;
  }
  Client eleventh(port);
  ASSERT_TRUE(eleventh.Connected()) << "it waits in the backlog";
  EXPECT_EQ(eleventh.ReadLine(300), "");
  EXPECT_EQ(probe.created, 10);
  clients[3]->Send("QUIT\r\n");
  EXPECT_EQ(eleventh.ReadLine(), "hello\r\n");
  EXPECT_EQ(probe.created, 11);
}

TEST_F(Framework, OneClientAddressCannotTakeEverySlot) {
  EXPECT_EQ(StartTCPServer(0, LineServerClass(probe), 4, 5, 9).PerAddress(), 3) << "another host keeps a slot";
  const int port = StartTCPServer(0, LineServerClass(probe), 4, 5, 2).WaitListening(5000);
  ASSERT_GT(port, 0);
  Client first(port, "127.0.0.2");
  Client second(port, "127.0.0.2");
  EXPECT_EQ(first.ReadLine(), "hello\r\n");
  EXPECT_EQ(second.ReadLine(), "hello\r\n");
  Client third(port, "127.0.0.2");
  ASSERT_TRUE(third.Connected());
  EXPECT_EQ(third.ReadLine(300), "") << "a third from the same address waits unserved";
  Client other(port, "127.0.0.3");
  EXPECT_EQ(other.ReadLine(), "hello\r\n") << "while another address is served at once";
  first.Send("QUIT\r\n");
  EXPECT_EQ(third.ReadLine(), "hello\r\n") << "and the waiting one is served when its address has room";
  third.Send("ECHO x\r\n");
  EXPECT_EQ(third.ReadLine(), "echo ECHO x\r\n");
  EXPECT_EQ(probe.created, 4);
}

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TM_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define TM_UNDER_ASAN 1
#endif

TEST_F(Framework, AcceptFailuresBackOffAndAreLoggedOnce) {
#ifdef TM_UNDER_ASAN
  GTEST_SKIP() << "the sanitizer's own checks need descriptors that this test takes away";
#endif
  const int port = Listen(probe);
  // The client's socket exists before descriptors run out; only the accept then fails.
  const TSocket fd = platform::CreateTcpSocket();
  const int next = dup(0);
  close(next);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit low = saved;
  low.rlim_cur = static_cast<rlim_t>(next);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  uint32_t loopback = 0;
  platform::TextToAddress("127.0.0.1", loopback);
  ASSERT_EQ(platform::ConnectWithTimeout(fd, loopback, static_cast<uint16_t>(port), 5000, -1), 0);
  platform::Sleep(700);  // the listener keeps failing meanwhile
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  std::string log = Log();
  size_t errors = 0;
  for (size_t at = log.find("Error on "); at != std::string::npos; at = log.find("Error on ", at + 1)) {
    errors += log.compare(at, 9, "Error on ") == 0 && (at == 0 || log[at - 1] == '\n');
  }
  EXPECT_EQ(errors, 1u) << log;
  const std::string expected = "(EWinsockError)ServerListenThread.execute.winsock.accept(" + std::to_string(port) +
                               "): Too many open files";
  EXPECT_NE(log.find(expected), std::string::npos) << log;
  EXPECT_EQ(probe.created, 0);

  // Once descriptors are free again the waiting connection is served.
  char buf[16];
  ASSERT_EQ(platform::WaitSocket(fd, false, 10000000, -1), platform::TSocketWait::Ready);
  EXPECT_EQ(platform::ReceiveSome(fd, buf, sizeof buf), 7);
  platform::CloseSocketHandle(fd);
}

TEST_F(Framework, MaxTCPConLowersTheListenersLimitButNeverRaisesIt) {
  SystemParameters().SetString("MaxTCPCon", "20");
  Probe other;
  EXPECT_EQ(StartTCPServer(0, LineServerClass(other), 10, 5).MaxConnections(), 10);
  SystemParameters().SetString("MaxTCPCon", "3");
  TServerListenThread& listener = StartTCPServer(0, LineServerClass(probe), 10, 5);
  EXPECT_EQ(listener.MaxConnections(), 3);
  const int port = listener.WaitListening(5000);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<Client>(port));
    ASSERT_EQ(clients.back()->ReadLine(), "hello\r\n");
  }
  Client fourth(port);
  EXPECT_EQ(fourth.ReadLine(300), "");
  clients[0]->Close();
  EXPECT_EQ(fourth.ReadLine(), "hello\r\n");
}

struct DaemonProbe {
  std::atomic<int> runs{0};
  std::atomic<bool> hadLock{false};
  std::atomic<int> taskRuns{0};
  std::atomic<bool> taskSharedLock{false};
};

class TCountingDaemon : public TDaemon {
 public:
  explicit TCountingDaemon(DaemonProbe& probe) : probe_(probe) {}

 protected:
  bool Execute() override {
    probe_.hadLock = SharedLock() != nullptr;
    ++probe_.runs;
    return true;
  }

 private:
  DaemonProbe& probe_;
};

class TRecordingTask : public TTask {
 public:
  TRecordingTask(DaemonProbe& probe, platform::TCriticalSection* expected) : probe_(probe), expected_(expected) {}

 protected:
  bool Execute() override {
    probe_.taskSharedLock = SharedLock() == expected_;
    ++probe_.taskRuns;
    return true;
  }

 private:
  DaemonProbe& probe_;
  platform::TCriticalSection* expected_;
};

TDaemonClass CountingDaemonClass(DaemonProbe& probe) {
  return TDaemonClass{"TCountingDaemon", [&probe] { return std::unique_ptr<TDaemon>(new TCountingDaemon(probe)); }};
}

TEST_F(Framework, DaemonRunsWhenWokenAndOnItsInterval) {
  DaemonProbe woken;
  TDaemon& sleeper = StartDaemon(CountingDaemonClass(woken), 10, platform::TThreadPriority::Lowest);
  EXPECT_NE(Log().find("[TCountingDaemon started]"), std::string::npos);
  platform::TEvent* wake = sleeper.WakeEvent();
  ASSERT_NE(wake, nullptr);
  EXPECT_EQ(woken.runs, 0) << "the first run waits for the interval or a wake-up";
  sleeper.Wake();
  EXPECT_TRUE(Eventually([&] { return woken.runs == 1; }));
  wake->SetEvent();
  EXPECT_TRUE(Eventually([&] { return woken.runs == 2; }));
  EXPECT_TRUE(woken.hadLock);

  DaemonProbe periodic;
  StartDaemon(CountingDaemonClass(periodic), 20ms, platform::TThreadPriority::Lowest);
  EXPECT_TRUE(Eventually([&] { return periodic.runs >= 3; }));

  platform::TCriticalSection* lock = sleeper.SharedLock();
  StartTask(&sleeper,
            TTaskClass{"TRecordingTask",
                       [&] { return std::unique_ptr<TTask>(new TRecordingTask(woken, lock)); }},
            platform::TThreadPriority::Lowest);
  EXPECT_TRUE(Eventually([&] { return woken.taskRuns == 1; }));
  EXPECT_TRUE(woken.taskSharedLock) << "a task shares its owner's lock";
}

// A one-shot task whose failure leaves its Run (a failure that is no std::exception, or one its
// HandleException asks to re-raise) ends only that task, and the log says so.
class TFailingTask : public TTask {
 public:
  TFailingTask(bool reraise, std::atomic<int>& runs) : reraise_(reraise), runs_(runs) {}

 protected:
  bool Execute() override {
    ++runs_;
    if (reraise_) throw std::runtime_error("task failed");
    throw 42;
  }
  bool HandleException(const std::exception&) override { return true; }

 private:
  bool reraise_;
  std::atomic<int>& runs_;
};

TEST_F(Framework, AOneShotTaskThatFailsIsLogged) {
  std::atomic<int> runs{0};
  for (const bool reraise : {false, true}) {
    StartTask(nullptr,
              TTaskClass{"TFailingTask",
                         [&] { return std::unique_ptr<TTask>(new TFailingTask(reraise, runs)); }},
              platform::TThreadPriority::Lowest);
  }
  EXPECT_TRUE(Eventually([&] {
    const std::string log = Log();
    return log.find("(unknown) in TTaskThread") != std::string::npos &&
           log.find("exception re-raised in TTaskThread") != std::string::npos;
  })) << Log();
  EXPECT_EQ(runs, 2);
}

#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define TM_UNDER_TSAN 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define TM_UNDER_TSAN 1
#endif

// Runs start with the address space capped so that no new thread stack fits, and answers
// whether start raised. The cap is lifted again before returning.
template <class Start>
bool RaisesWithoutRoomForAThread(Start start) {
  size_t used = 0;
  {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmSize:", 0) == 0) used = std::stoul(line.substr(7)) * 1024;
    }
  }
  rlimit saved{};
  getrlimit(RLIMIT_AS, &saved);
  rlimit low = saved;
  low.rlim_cur = used + 2 * 1024 * 1024;  // far less than a thread stack
  setrlimit(RLIMIT_AS, &low);
  bool raised = false;
  try {
    start();
  } catch (const std::exception&) {
    raised = true;
  }
  setrlimit(RLIMIT_AS, &saved);
  return raised;
}

TEST_F(Framework, AListenerThatCannotStartLeavesNothingForTheStopToWaitFor) {
#if defined(TM_UNDER_ASAN) || defined(TM_UNDER_TSAN)
  GTEST_SKIP() << "the sanitizers' own memory needs more address space than this test allows";
#endif
  const size_t before = ManagerThread()->ThreadCount();
  const bool raised = RaisesWithoutRoomForAThread([&] { StartTCPServer(0, LineServerClass(probe), 10, 5); });
  if (!raised) GTEST_SKIP() << "this system started the thread anyway";
  EXPECT_EQ(ManagerThread()->ThreadCount(), before) << "a thread that never ran stays registered";
  // A daemon and a task that cannot start leave nothing behind either.
  DaemonProbe daemon;
  EXPECT_TRUE(RaisesWithoutRoomForAThread(
      [&] { StartDaemon(CountingDaemonClass(daemon), 10, platform::TThreadPriority::Lowest); }));
  EXPECT_TRUE(RaisesWithoutRoomForAThread([&] {
    const TTaskClass task{"TRecordingTask",
                          [&] { return std::unique_ptr<TTask>(new TRecordingTask(daemon, nullptr)); }};
    StartTask(nullptr, task, platform::TThreadPriority::Lowest);
  }));
  EXPECT_EQ(ManagerThread()->ThreadCount(), before);
}

TEST(FrameworkStart, AManagerThreadThatCannotStartLeavesTheFrameworkShutDown) {
#if defined(TM_UNDER_ASAN) || defined(TM_UNDER_TSAN)
  GTEST_SKIP() << "the sanitizers' own memory needs more address space than this test allows";
#endif
  const int threads = SystemParameters().ThreadCount();
  if (!RaisesWithoutRoomForAThread([] { StartSockets(); })) {
    StopSockets();
    GTEST_SKIP() << "this system started the thread anyway";
  }
  EXPECT_TRUE(IsShutDown()) << "nothing may register with a manager that never runs";
  EXPECT_EQ(ManagerThread(), nullptr);
  EXPECT_EQ(SystemParameters().ThreadCount(), threads);
  EXPECT_THROW(NewEvent(), EShutdown);
  // A later start runs normally, and so does its stop.
  StartSockets();
  EXPECT_FALSE(IsShutDown());
  EXPECT_NE(NewEvent(), nullptr);
  StopSockets();
  EXPECT_TRUE(IsShutDown());
  EXPECT_EQ(SystemParameters().ThreadCount(), threads);
}

TEST_F(Framework, IdleConnectionsExpireOnTheSweepAfterTenOfOurMinutes) {
  probe.firstReadWait = 1;  // so that the stopped connection notices within a second
  const int port = Listen(probe);
  Client client(port);
  ASSERT_EQ(client.ReadLine(), "hello\r\n");
  TTimedServer* server = probe.last;
  ASSERT_NE(server, nullptr);
  TManagerThread* manager = ManagerThread();
  ASSERT_TRUE(manager->HasTimedServer(server));
  const platform::TDateTime last = server->LastActivity();

  manager->Sweep(last + 599.0 / 86400.0);
  EXPECT_FALSE(server->StopFlag()) << "599 seconds are not yet ten minutes of 59.9616 s";
  client.Send("ECHO\r\n");
  EXPECT_EQ(client.ReadLine(), "echo ECHO\r\n");

  manager->Sweep(platform::Now() + 10 * TTimedServer::kMinute + 1.0 / 86400.0);
  EXPECT_TRUE(client.PeerClosed()) << "the stopped connection ends without a farewell";
  EXPECT_TRUE(Eventually([&] { return probe.destroyed == 1; }));
  manager->Sweep(platform::Now());
  EXPECT_EQ(manager->TimedServerCount(), 0u);
}

TEST_F(Framework, ClientConnectsTalksAndFailsCleanly) {
  const int port = Listen(probe);
  TTCPClient client;
  client.ReadSpec().terminator = "\r\n";
  ASSERT_TRUE(client.Connect("127.0.0.1", port));
  EXPECT_EQ(client.ConnectionInfo().peerAddress, "127.0.0.1");
  EXPECT_EQ(client.ConnectionInfo().peerPort, port);
  ASSERT_TRUE(client.Receive());
  EXPECT_EQ(client.Input().GetText(), "hello\r\n");
  client.Output().AddText("ECHO z\r\n");
  client.Send();
  EXPECT_FALSE(client.Output().HasData());
  ASSERT_TRUE(client.Receive());
  EXPECT_EQ(client.Input().GetText(), "echo ECHO z\r\n");
  client.Disconnect();
  EXPECT_FALSE(client.Connected());

  // A failed look-up never connects anywhere (not to 0.0.0.0, which is this host).
  const int created = probe.created;
  EXPECT_FALSE(client.Connect("no-such-host.invalid", port));
  EXPECT_FALSE(client.Connected());
  const std::string context = "tcpclient.connect.winsock.connect on domain no-such-host.invalid, port " +
                              std::to_string(port) + ": ";
  EXPECT_EQ(client.Output().ErrorText().substr(0, context.size()), context);
  EXPECT_EQ(probe.created, created);

  uint16_t closedPort = 0;
  {
    const TSocket s = platform::CreateTcpSocket();
    platform::BindAnyAddress(s, 0);
    uint32_t a = 0;
    platform::LocalEndpoint(s, a, closedPort);
    platform::CloseSocketHandle(s);
  }
  EXPECT_FALSE(client.Connect("127.0.0.1", closedPort));
  EXPECT_EQ(client.Output().Status(), ssTimeout) << "a refused connection is worth another try later";
  EXPECT_EQ(client.Output().ErrorText(), "tcpclient.connect.winsock.connect on domain 127.0.0.1, port " +
                                             std::to_string(closedPort) + ": Connection refused");
}

// Waits in a client read on a peer that never answers.
class TBlockedTask : public TTask {
 public:
  TBlockedTask(int port, std::atomic<int>& status) : port_(port), status_(status) {}

 protected:
  bool Execute() override {
    TTCPClient client;
    if (client.Connect("127.0.0.1", port_)) {
      status_ = -1;
      client.Receive();
      status_ = client.Input().Status();
    }
    return false;
  }

 private:
  int port_;
  std::atomic<int>& status_;
};

TEST_F(Framework, StopEndsIdleConnectionsSleepingDaemonAndBlockedReadsQuickly) {
  const int port = Listen(probe);
  std::vector<std::unique_ptr<Client>> clients;
  for (int i = 0; i < 3; ++i) {
    clients.push_back(std::make_unique<Client>(port));
    ASSERT_EQ(clients.back()->ReadLine(), "hello\r\n");
  }
  DaemonProbe daemon;
  StartDaemon(CountingDaemonClass(daemon), 10, platform::TThreadPriority::Lowest);

  // A peer that accepts nothing and says nothing.
  const TSocket silent = platform::CreateTcpSocket();
  ASSERT_TRUE(platform::BindAnyAddress(silent, 0));
  ASSERT_TRUE(platform::ListenOn(silent, 5));
  uint32_t a = 0;
  uint16_t silentPort = 0;
  platform::LocalEndpoint(silent, a, silentPort);
  std::atomic<int> readStatus{-2};
  StartTask(nullptr,
            TTaskClass{"TBlockedTask", [&] { return std::unique_ptr<TTask>(new TBlockedTask(silentPort, readStatus)); }},
            platform::TThreadPriority::Lowest);
  ASSERT_TRUE(Eventually([&] { return readStatus == -1; }));
  platform::Sleep(50);  // let it settle into its 15-second wait

  const auto start = std::chrono::steady_clock::now();
  StopSockets();
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_LT(took, 3s);
  EXPECT_EQ(ManagerThread(), nullptr);
  EXPECT_TRUE(IsShutDown());
  EXPECT_EQ(readStatus, ssCancelled);
  EXPECT_EQ(probe.destroyed, 3) << "every protocol object was freed before the stop returned";
  EXPECT_EQ(daemon.runs, 0);
  for (auto& client : clients) EXPECT_TRUE(client->PeerClosed(1000));
  const std::string log = Log();
  EXPECT_NE(log.find("[TLineServer listener stopped on port " + std::to_string(port) + "]"), std::string::npos);
  EXPECT_NE(log.find("[TCountingDaemon stopped]"), std::string::npos);
  platform::CloseSocketHandle(silent);
}

// Starts a task that starts the next one, as a daemon's tasks may, until the framework stops.
class TChainTask : public TTask {
 public:
  explicit TChainTask(std::atomic<int>& runs) : runs_(runs) {}

 protected:
  bool Execute() override {
    ++runs_;
    platform::Sleep(1);
    StartTask(nullptr, TTaskClass{"TChainTask", [this] { return std::unique_ptr<TTask>(new TChainTask(runs_)); }},
              platform::TThreadPriority::Lowest);
    return false;
  }

 private:
  std::atomic<int>& runs_;
};

TEST_F(Framework, StopWhileConnectionsAndTasksComeAndGo) {
  // The shut-down races with threads that are being created, registered, started and ended:
  // every one of them must be joined and freed, whichever side of the shut-down it falls on.
  const int tasksBefore = TaskCount();
  const int descriptorsBefore = DescriptorCount();
  const int port = Listen(probe);
  std::atomic<int> chainRuns{0};
  StartTask(nullptr, TTaskClass{"TChainTask", [&] { return std::unique_ptr<TTask>(new TChainTask(chainRuns)); }},
            platform::TThreadPriority::Lowest);
  std::atomic<bool> done{false};
  std::atomic<int> greeted{0};
  std::vector<std::thread> churn;
  for (int i = 0; i < 3; ++i) {
    churn.emplace_back([&] {
      while (!done) {
        Client client(port);
        if (client.ReadLine(200) == "hello\r\n") ++greeted;
        if (greeted % 2 == 0) client.Send("QUIT\r\n");
      }
    });
  }
  ASSERT_TRUE(Eventually([&] { return greeted >= 20 && chainRuns >= 20; }));
  StopSockets();
  done = true;
  for (std::thread& t : churn) t.join();
  EXPECT_TRUE(IsShutDown());
  EXPECT_EQ(probe.created.load(), probe.destroyed.load()) << "every protocol object was freed";
  EXPECT_TRUE(TaskCountSettlesAt(tasksBefore - 1))
      << TaskCount() << " threads; only the manager thread was there before";
  EXPECT_EQ(DescriptorCount(), descriptorsBefore) << "every accepted and listening socket was closed";
  StartSockets();  // for TearDown
}

TEST_F(Framework, EveryThreadIsJoinedAndTheSamePortListensAgainAfterARestart) {
  const int tasksBefore = TaskCount();
  const int port = Listen(probe);
  {
    Client client(port);
    ASSERT_EQ(client.ReadLine(), "hello\r\n");
    client.Send("QUIT\r\n");
    EXPECT_TRUE(client.PeerClosed());
  }
  StopSockets();
  EXPECT_TRUE(TaskCountSettlesAt(tasksBefore - 1))
      << TaskCount() << " threads; only the manager thread was there before";
  EXPECT_THROW(NewEvent(), EShutdown);
  EXPECT_THROW(TLineServer{probe}, EShutdown);

  StartSockets();
  EXPECT_EQ(StartTCPServer(port, LineServerClass(probe), 10, 5).WaitListening(5000), port);
  Client again(port);
  EXPECT_EQ(again.ReadLine(), "hello\r\n");
}

}  // namespace
}  // namespace tovenmarsh::core
