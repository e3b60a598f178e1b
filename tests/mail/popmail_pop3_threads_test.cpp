// Collection from this system's own POP3 server (the protocol object behind the framework's
// listener, on a loopback port): two independently written ends of POP3 must agree. Collected
// messages arrive once, byte for byte as the mailbox files hold them, with leave-copy on (the
// server's unique ids remembered, nothing deleted) and off (deleted at QUIT).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/worker_threads.h"
#include "mail/store/mailbox_file.h"
#include "mail/pop3d/pop3_server.h"
#include "mail/fetch/popmail_accounts.h"
#include "mail/fetch/popmail_task.h"
#include "mail/store/queue_file.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

class TMemoryStore : public TCollectionStore {
 public:
  int ListAccounts(resources::TExtAccRecs&) override { return 0; }
  int ListUIDLs(const std::string& id, resources::TExtMailDropRecs& list) override {
    list.insert(list.end(), uidls[id].begin(), uidls[id].end());
    return static_cast<int>(uidls[id].size());
  }
  bool ReplaceUIDLs(const std::string& id, const resources::TExtMailDropRecs& list) override {
    uidls[id] = list;
    return true;
  }
  std::map<std::string, resources::TExtMailDropRecs> uidls;
};

class PopmailFromOwnServerTest : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    directory.AddAccount(7, "joe", "Secret");
    collector = MailFoldersBelow(temp.Path() + "collector");
  }

  void Deliver(const std::string& message) {
    resources::TMailDropRec record;
    DeliverMessageToMailbox(folders, "sender@remote.test", message, record);
    directory.mailbox.push_back(testing::TFakeMailboxRow{record.id, 7, record.size, record.hash});
    files.push_back(testing::FileBytes(folders.MailFileName(record.id)));
  }

  static resources::TExtAccRec Account(bool leaveCopy) {
    resources::TExtAccRec account;
    account.mailserver = "127.0.0.1";
    account.mailusr = "joe7";
    account.mailpass = "Secret";
    account.accountno = 3;
    account.leavecopy = leaveCopy;
    account.active = true;
    account.mailboxid = "box";
    return account;
  }

  // The collector's environment over accounts, with the test's clock and store.
  TPOPMailEnvironment CollectorEnvironment(int port, TExtAccountList& accounts) {
    TPOPMailEnvironment environment;
    environment.accounts = &accounts;
    environment.folders = collector;
    environment.now = [] { return 46000.5; };
    environment.openStore = [this] {
      return std::unique_ptr<TCollectionStore>(std::make_unique<TForward>(store));
    };
    environment.port = port;
    environment.timeouts.firstReadWait = 10;
    return environment;
  }

  void Collect(int port, bool leaveCopy) {
    TExtAccountList accounts;
    accounts.Refresh({Account(leaveCopy)}, 46000.5);
    TPOPMailTask task(CollectorEnvironment(port, accounts));
    task.Run();
  }

  // Rows of the served mailbox (the connection threads change them under the directory's lock).
  size_t MailboxRows() {
    std::lock_guard<std::mutex> guard(directory.lock);
    return directory.mailbox.size();
  }

  // The message parts queued by the collector, without the trace line the queue adds.
  std::vector<std::string> Collected() {
    std::vector<std::string> parts;
    for (const std::string& name : testing::FilesIn(collector.queue)) {
      std::string part = ReadQueueMessage(collector, name);
      parts.push_back(part.substr(part.find("\r\n") + 2));
    }
    std::sort(parts.begin(), parts.end());
    return parts;
  }

  struct TForward : TCollectionStore {
    explicit TForward(TMemoryStore& s) : store(s) {}
    int ListAccounts(resources::TExtAccRecs& list) override { return store.ListAccounts(list); }
    int ListUIDLs(const std::string& id, resources::TExtMailDropRecs& list) override {
      return store.ListUIDLs(id, list);
    }
    bool ReplaceUIDLs(const std::string& id, const resources::TExtMailDropRecs& list) override {
      return store.ReplaceUIDLs(id, list);
    }
    TMemoryStore& store;
  };

  TMailFolders collector;
  TMemoryStore store;
  // What the collection daemon of a test shares with its tasks (kept past the test body: the
  // daemon's thread ends only with the framework, in TearDown).
  TExtAccountList daemonAccounts;
  std::atomic<int> runningTasks{0};
  std::atomic<int> queueWakes{0};
  std::vector<std::string> files;
};

TEST_F(PopmailFromOwnServerTest, LeaveCopyOnAndOff) {
  Deliver("Subject: one\r\n\r\n.\r\n..\r\n.x\r\nend");
  Deliver("Subject: two\r\n\r\nsecond\r\n");
  const int port = core::StartTCPServer(0, POP3ServerClass(Environment()), 10, 5).WaitListening(5000);
  ASSERT_GT(port, 0);
  std::vector<std::string> expected = files;
  std::sort(expected.begin(), expected.end());

  Collect(port, true);
  EXPECT_EQ(Collected(), expected);
  EXPECT_EQ(store.uidls["box"].size(), 2u);
  EXPECT_EQ(MailboxRows(), 2u);  // left on the server
  Collect(port, true);
  EXPECT_EQ(Collected(), expected);  // nothing fetched twice

  Collect(port, false);  // without leave-copy: deleted, and what was fetched is not fetched again
  EXPECT_EQ(Collected(), expected);
  EXPECT_EQ(MailboxRows(), 0u);
  EXPECT_TRUE(testing::FilesIn(folders.mail).empty());
}

// The daemon as the mail services start it, through its class: the tasks it starts collect with
// the daemon's own environment (its account list, store, folders and task counter), so a
// daemon made for one set of folders never collects into another.
TEST_F(PopmailFromOwnServerTest, DaemonTasksCollectWithTheDaemonsEnvironment) {
  Deliver("Subject: one\r\n\r\nfirst\r\n");
  Deliver("Subject: two\r\n\r\nsecond\r\n");
  const int port = core::StartTCPServer(0, POP3ServerClass(Environment()), 10, 5).WaitListening(5000);
  ASSERT_GT(port, 0);
  std::vector<std::string> expected = files;
  std::sort(expected.begin(), expected.end());

  struct TAccountStore : TForward {
    using TForward::TForward;
    int ListAccounts(resources::TExtAccRecs& list) override {
      list.push_back(Account(false));
      return 1;
    }
  };
  TPOPMailEnvironment environment = CollectorEnvironment(port, daemonAccounts);
  environment.openStore = [this] { return std::unique_ptr<TCollectionStore>(std::make_unique<TAccountStore>(store)); };
  environment.runningTasks = &runningTasks;
  environment.wakeQueue = [this] { ++queueWakes; };
  core::TDaemon& daemon =
      core::StartDaemon(PopMailDaemonClass(environment), std::chrono::hours(1), platform::TThreadPriority::Normal);
  daemon.Wake();
  for (int i = 0; i < 1000 && (queueWakes.load() == 0 || runningTasks.load() != 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(queueWakes.load(), 1);
  EXPECT_EQ(runningTasks.load(), 0);
  EXPECT_EQ(Collected(), expected);
  EXPECT_EQ(MailboxRows(), 0u);  // no leave-copy: deleted on the server
}

}  // namespace
}  // namespace tovenmarsh::mail
