// Queue processing while other threads write queue files and a relay worker reports on the
// relay list: every message is served once, every file archived once, and nothing is left. And
// the queue daemon on its own thread wakes itself when a relay retry is due.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/worker_threads.h"
#include "mail/store/document_archive.h"
#include "mail/queue/queue_daemon.h"
#include "mail/store/queue_file.h"
#include "mail/queue/queue_system.h"
#include "mail/relay/relay_list.h"
#include "platform/date_time.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

class TCountingStore : public TDocumentStore {
 public:
  void AddDocument(const TDocumentRow& row) override {
    ++rows;
    names.push_back(row.extfileref);
  }
  int rows = 0;
  std::vector<std::string> names;
};

class QueueProcessingThreads : public testing::MailFixture {};

// Run twice: finishing each round's files at once, and (as the server does) aside while the
// next round delivers.
class QueueRoundsWithWriters : public testing::MailFixture, public ::testing::WithParamInterface<bool> {};

TEST_P(QueueRoundsWithWriters, WritersRelayWorkerAndQueueRoundsTogether) {
  directory.AddDomain("local.test", 1);
  directory.AddCompany(1, false, true);
  directory.AddAccount(1, "alice", "pw");
  directory.AddAccount(2, "bob", "pw");
  directory.AddAlias("alice", 1, "local.test", 1);
  directory.AddAlias("bob", 1, "local.test", 2);

  TRelayList relay;
  TCountingStore documents;
  TQueueEnvironment environment;
  environment.folders = folders;
  environment.hostName = "mx.test";
  environment.now = [] { return platform::EncodeDate(2026, 12, 9) + 0.5; };
  environment.openDirectory = Environment().openDirectory;
  environment.documents = &documents;
  environment.relayList = &relay;
  environment.finishAside = GetParam();
  TQueueSystem system(environment);

  constexpr int kWriters = 4;
  constexpr int kPerWriter = 20;
  std::atomic<int> writing{kWriters};
  std::atomic<bool> relayStop{false};
  std::atomic<int> relayed{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kPerWriter; ++i) {
        // Every other message also has a remote recipient.
        std::string recipients = "alice@local.test\r\n";
        if (i % 2 == 0) recipients += "far" + std::to_string(w) + "@remote.example\r\nbob@local.test\r\n";
        QueueMessageText(folders, "client.example", "s@remote.example", recipients, "",
                         "Subject: " + std::to_string(w) + "/" + std::to_string(i) + "\r\n\r\nbody\r\n", 0);
      }
      --writing;
    });
  }
  threads.emplace_back([&] {
    TRelayBatch batch;
    while (!relayStop) {
      if (relay.TakeRelayBatch("", batch, environment.now(), 5)) {
        for (const TRelayBatchItem& item : batch) relay.Report(item, rsDelivered);
        relayed += static_cast<int>(batch.size());
      } else {
        std::this_thread::yield();
      }
    }
  });

  // Queue rounds until the writers are done and nothing is left.
  for (int round = 0; round < 100000; ++round) {
    const int left = system.ProcessQueue();
    if (writing == 0 && left == 0 && testing::FilesIn(folders.queue).empty()) break;
    std::this_thread::yield();
  }
  relayStop = true;
  for (std::thread& thread : threads) thread.join();
  // Takes in what the last round finished aside.
  system.ProcessQueue();

  constexpr int kFiles = kWriters * kPerWriter;
  int alice = 0;
  int bob = 0;
  for (const testing::TFakeMailboxRow& row : directory.mailbox) (row.accountNo == 1 ? alice : bob)++;
  EXPECT_EQ(alice, kFiles);
  EXPECT_EQ(bob, kFiles / 2);
  EXPECT_EQ(relayed.load(), kFiles / 2);
  EXPECT_EQ(documents.rows, kFiles);
  std::sort(documents.names.begin(), documents.names.end());
  EXPECT_EQ(std::unique(documents.names.begin(), documents.names.end()), documents.names.end());
  EXPECT_TRUE(testing::FilesIn(folders.queue).empty());
  EXPECT_EQ(system.OpenFileCount(), 0u);
  EXPECT_TRUE(testing::FilesIn(folders.queue + "state/").empty());
}

INSTANTIATE_TEST_SUITE_P(FinishedAtOnceOrAside, QueueRoundsWithWriters, ::testing::Bool());

TQueueDaemonEnvironment* g_daemonEnvironment = nullptr;

class TTestQueueDaemon : public TQueueDaemon {
 public:
  TTestQueueDaemon() : TQueueDaemon(*g_daemonEnvironment) {}
};

// Nothing wakes the daemon after its first round; its interval is five minutes; a retry comes
// due a moment later, and the daemon starts a task for it then, on its own.
TEST_F(QueueProcessingThreads, DaemonThreadWakesItselfWhenARetryIsDue) {
  TRelayList relay;
  TDataRec file{"f"};
  auto entry = std::make_unique<TQueueRec>();
  entry->user = "x";
  entry->domain = "far.test";
  entry->queueFile = &file;
  relay.Add(std::move(entry));
  TRelayBatch batch;
  ASSERT_TRUE(relay.TakeRelayBatch("", batch, platform::Now(), 5));
  relay.Report(batch[0], rsTemporaryFailure);
  TQueueRecs released, bounced;
  const platform::TDateTime second = 1.0 / 86400.0;
  relay.Update(platform::Now() - RelayMinutes(1) + 0.3 * second, 1, released, bounced);
  const platform::TDateTime due = relay.NextDue(platform::Now());
  ASSERT_GT(due, platform::Now());

  std::atomic<int> running{0};
  std::atomic<int> started{0};
  std::atomic<platform::TDateTime> startedAt{0};
  TQueueDaemonEnvironment environment;
  environment.queue.folders = folders;
  environment.queue.hostName = "mx.test";
  environment.queue.now = [] { return platform::Now(); };
  environment.queue.openDirectory = Environment().openDirectory;
  environment.queue.relayList = &relay;
  environment.queue.relayMinutes = 1;
  environment.runningRelayTasks = &running;
  environment.startRelayTask = [&](core::TDaemon&) {
    startedAt = platform::Now();
    ++started;
  };
  g_daemonEnvironment = &environment;
  core::TDaemon& daemon = core::StartDaemon(core::ClassRef<core::TDaemon, TTestQueueDaemon>(),
                                            kQueueDaemonIntervalMinutes, platform::TThreadPriority::Normal);
  daemon.Wake();  // as at the mail services' start
  for (int i = 0; i < 3000 && started == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(started.load(), 1);
  EXPECT_GE(startedAt.load(), due);
  core::StopSockets();  // stops the daemon before the environment goes
  g_daemonEnvironment = nullptr;
}

}  // namespace
}  // namespace tovenmarsh::mail
