// Timed servers and protocol objects without a network: the idle arithmetic of 0.000694 day
// per minute, the guarded run, status dispatch, the progress hook and registration.
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/manager_thread.h"
#include "core/server_errors.h"
#include "core/server_system.h"
#include "core/sockets.h"
#include "core/system_parameters.h"
#include "core/tcp_server.h"
#include "core/timed_server.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

class Registered : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenLog(folder.Path() + "t.log"));
    StartSockets();
  }
  void TearDown() override {
    StopSockets();
    CloseLog();
  }
  testing::TempFolder folder;
};

class TThrower : public TTCPServer {
 public:
  bool fatal = false;
  bool throwStd = false;
  int timeoutAnswer = -1;  // -1 leaves continue as preset
  std::string calls;

  void OnTimeout(bool& continueConnection) override {
    calls += "T";
    if (timeoutAnswer >= 0) continueConnection = timeoutAnswer == 1;
  }
  void OnConnectionReset() override { calls += "R"; }
  void OnConnectionClosed() override { calls += "C"; }
  void OnSocketError() override { calls += "E"; }
  void OnCancelled() override { calls += "X"; }
  void Progress(size_t bytes, bool, bool& cancel) override {
    if (bytes == 42) cancel = !cancel;
  }

 protected:
  bool Execute() override {
    if (throwStd) throw std::runtime_error("std failure");
    throw EVServer("broken");
  }
  bool HandleException(const std::exception&) override { return fatal; }
};

TEST_F(Registered, IdleArithmeticCountsAMinuteAs0000694Day) {
  TThrower server;
  EXPECT_EQ(server.IdleMinutes(), 10);
  server.Touch(0.0);
  const struct {
    double seconds;
    bool idle;
  } cases[] = {{0, false}, {599.0, false}, {599.6, false}, {599.616, true}, {599.7, true}, {600, true}};
  for (const auto& c : cases) {
    EXPECT_EQ(server.IsIdleFor(10, c.seconds / 86400.0), c.idle) << c.seconds;
    EXPECT_EQ(server.IsExpired(c.seconds / 86400.0), c.idle) << c.seconds;
  }
  EXPECT_TRUE(server.IsIdleFor(-10, 600 / 86400.0)) << "the sign of the minutes does not matter";
  server.SetMayExpire(false);
  EXPECT_FALSE(server.IsExpired(1.0));
  server.SetMayExpire(true);
  server.SetStop(true);
  server.Touch();
  EXPECT_FALSE(server.StopFlag()) << "Touch clears the stop flag";
  EXPECT_FALSE(server.IsExpired());
}

TEST_F(Registered, RunLogsExceptionsAndReRaisesOnlyWhenAsked) {
  TThrower server;
  EXPECT_TRUE(server.Run()) << "a handled exception keeps the loop going";
  server.throwStd = true;
  EXPECT_TRUE(server.Run());
  server.throwStd = false;
  server.fatal = true;
  try {
    server.Run();
    FAIL() << "expected ETCPServer";
  } catch (const ETCPServer& e) {
    EXPECT_EQ(e.Message(), "TThrower exception re-raised");
  }
  const std::string log = folder.Read("t.log");
  EXPECT_NE(log.find(" : (EVServer) broken in TThrower\r\n"), std::string::npos) << log;
  EXPECT_NE(log.find(") std failure in TThrower\r\n"), std::string::npos) << log;
}

TEST_F(Registered, DispatchStatusCallsTheHookOfEachStatus) {
  const struct {
    uint8_t status;
    int timeoutAnswer;
    bool result;
    const char* calls;
  } cases[] = {
      {ssOK, -1, true, ""},  {ssTimeout, -1, false, "T"}, {ssTimeout, 1, true, "T"},
      {ssConnectionReset, -1, false, "R"}, {ssConnectionClosed, -1, false, "C"}, {ssSocketError, -1, false, "E"},
      {ssCancelled, -1, false, "X"}, {9, -1, false, ""},
  };
  for (const auto& c : cases) {
    TThrower server;
    server.timeoutAnswer = c.timeoutAnswer;
    EXPECT_EQ(server.DispatchStatus(c.status), c.result) << int(c.status);
    EXPECT_EQ(server.calls, c.calls) << int(c.status);
  }
  TThrower server;
  SetStopping(true);
  EXPECT_FALSE(server.DispatchStatus(ssOK)) << "a stopping framework ends every connection";
  EXPECT_FALSE(server.DispatchStatus(ssTimeout));
  EXPECT_EQ(server.calls, "") << "without calling a hook";
  SetStopping(false);
}

TEST_F(Registered, ProgressHookStartsFromTheStopFlag) {
  TThrower server;
  EXPECT_FALSE(server.ProgressHook(1, true));
  EXPECT_TRUE(server.ProgressHook(42, true)) << "Progress may turn it around";
  server.SetStop(true);
  EXPECT_TRUE(server.ProgressHook(1, false));
  EXPECT_FALSE(server.ProgressHook(42, false));
}

TEST_F(Registered, RegistrationKindCountersAndClassNames) {
  TManagerThread* manager = ManagerThread();
  ASSERT_NE(manager, nullptr);
  const size_t before = manager->TimedServerCount();
  const int pop3 = SystemParameters().ConnectionCount(ckPOP3);
  {
    TThrower server;
    EXPECT_TRUE(manager->HasTimedServer(&server));
    EXPECT_EQ(manager->TimedServerCount(), before + 1);
    server.SetKind(ckPOP3);
    EXPECT_EQ(SystemParameters().ConnectionCount(ckPOP3), pop3 + 1);
    EXPECT_EQ(server.ClassName(), "TThrower");
    server.Lock();  // no lock set: nothing happens
    server.Unlock();
    platform::TCriticalSection* lock = NewCriticalSection();
    server.SetLock(lock);
    server.Lock();
    server.Unlock();
  }
  EXPECT_EQ(manager->TimedServerCount(), before);
  EXPECT_EQ(SystemParameters().ConnectionCount(ckPOP3), pop3);
  EXPECT_EQ(ShortClassName(typeid(TTCPServer)), "TTCPServer");
  EXPECT_EQ(ShortClassName(typeid(int)), "int");
}

class TCountingSystem : public TServerSystem {
 public:
  explicit TCountingSystem(int value) : TServerSystem(value * 2) {}
};

TEST(ServerSystem, FactoryCreatesTheGivenClassWithItsValue) {
  const TServerSystemFactory factory = ServerSystemFactory<TCountingSystem>();
  std::unique_ptr<TServerSystem> system = factory(21);
  EXPECT_EQ(system->Value(), 42);
  EXPECT_NE(dynamic_cast<TCountingSystem*>(system.get()), nullptr);
}

TEST(Unregistered, NothingRegistersBeforeTheFrameworkStarts) {
  EXPECT_TRUE(IsShutDown());
  EXPECT_THROW(TThrower{}, EShutdown);
  EXPECT_THROW(NewCriticalSection(), EShutdown);
  try {
    NewEvent();
  } catch (const EShutdown& e) {
    EXPECT_EQ(e.Message(), "Server has been shut down: This error should not occur");
  }
}

}  // namespace
}  // namespace tovenmarsh::core
