// Relay tasks on real task threads started by a daemon: the running-task counter goes up when a
// task is created and down under the daemon's lock when it ends, and only the last task to end
// wakes the queue.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "core/worker_threads.h"
#include "mail/store/queue_file.h"
#include "mail/relay/relay_list.h"
#include "mail/relay/relay_task.h"
#include "relay_scripted_server.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

TRelayEnvironment* g_environment = nullptr;

// A relay task as the daemon creates it (through a class reference), over the test's world.
class TTestRelayTask : public TRelayTask {
 public:
  TTestRelayTask() : TRelayTask(*g_environment) {}
};

class TIdleDaemon : public core::TDaemon {};

class RelayTaskThreadsTest : public testing::MailFixture {};

TEST_F(RelayTaskThreadsTest, LastTaskToEndWakesTheQueueOnce) {
  // The greeting waits until every task has been started, so that no task can end before the
  // last one was created.
  std::atomic<bool> go{false};
  testing::TScriptedServer server([&go](const std::string& line, int) -> std::string {
    if (line == "<connect>") {
      for (int i = 0; i < 1000 && !go.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
      return "220 remote.test\r\n";
    }
    if (line == "DATA") return "354 go\r\n";
    return line == "QUIT" ? "221 bye\r\n" : "250 ok\r\n";
  });
  TRelayList list;
  std::atomic<int> running{0};
  std::atomic<int> queueWakes{0};
  std::atomic<platform::TDateTime> clock{46000.5};
  TRelayEnvironment environment;
  environment.list = &list;
  environment.folders = folders;
  environment.now = [&clock] { return clock.load(); };
  environment.hostName = "mx.test";
  environment.relayServer = "127.0.0.1";
  environment.port = server.Port();
  environment.timeouts.firstReadWait = 10;
  environment.runningTasks = &running;
  environment.wakeQueue = [&queueWakes] { ++queueWakes; };
  g_environment = &environment;

  std::vector<std::unique_ptr<TDataRec>> files;
  for (int i = 0; i < 6; ++i) {
    files.push_back(std::make_unique<TDataRec>(TDataRec{QueueMessageText(
        folders, "client.test", "s@source.test", "x@y\r\n", "", "Subject: " + std::to_string(i) + "\r\n\r\nbody", 0)}));
    auto entry = std::make_unique<TQueueRec>();
    entry->user = "b";
    entry->domain = "d" + std::to_string(i) + ".test";
    entry->reversePath = "s@source.test";
    entry->queueFile = files.back().get();
    list.Add(std::move(entry));
  }

  core::TDaemon& daemon = core::StartDaemon(core::ClassRef<core::TDaemon, TIdleDaemon>(), std::chrono::hours(1),
                                            platform::TThreadPriority::Normal);
  int started = 0;
  // Three rounds, each allowed to start one more task (idle time advanced by the clock).
  for (int round = 0; round < 3; ++round) {
    clock.store(clock.load() + round * 6 * core::TTimedServer::kMinute);
    started += StartRelayTaskWhenDue(daemon, list, running, clock.load(), [&] {
      core::StartTask(&daemon, core::ClassRef<core::TTask, TTestRelayTask>(), platform::TThreadPriority::Normal);
    });
  }
  EXPECT_EQ(started, 3);
  EXPECT_EQ(running.load(), 3);
  go = true;
  for (int i = 0; i < 1000 && (queueWakes.load() == 0 || running.load() != 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(running.load(), 0);
  EXPECT_EQ(queueWakes.load(), 1);
  for (const TQueueRec& entry : list.Snapshot()) EXPECT_EQ(entry.relayState, rsDelivered) << entry.domain;
  EXPECT_EQ(server.Messages().size(), 6u);
  g_environment = nullptr;
}

}  // namespace
}  // namespace tovenmarsh::mail
