// Restarts of batched delivery after a crash inside an archive: the document-table check at
// take-up must never take a message for archived when it is not, nor archive one twice. A crash
// is an image of the folders copied at that moment together with the rows committed by then,
// on which a new queue system runs.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/store/document_archive.h"
#include "mail/store/mail_folders.h"
#include "mail/store/queue_file.h"
#include "mail/queue/queue_system.h"
#include "mail/relay/relay_list.h"
#include "platform/date_time.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

namespace fs = std::filesystem;

constexpr int kAlice = 1;

// Document rows in memory, all or nothing per batch (as one transaction), with a hook before and
// after each batch and a look-up that can fail as a busy table would.
class TCrashStore : public TDocumentStore {
 public:
  void AddDocument(const TDocumentRow& row) override { rows.push_back(row.extfileref); }
  void AddDocuments(const std::vector<TDocumentRow>& batch, size_t& added) override {
    if (beforeRows) beforeRows();
    TDocumentStore::AddDocuments(batch, added);
    if (afterRows) afterRows();
  }
  bool HasDocument(const std::string& name) override {
    if (lookupFails) throw std::runtime_error("document table busy");
    return std::find(rows.begin(), rows.end(), name) != rows.end();
  }

  std::vector<std::string> rows;  // file names, one per row
  std::function<void()> beforeRows;
  std::function<void()> afterRows;
  bool lookupFails = false;
};

class DeliveryRestart : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    directory.AddDomain("a.test", 1);
    directory.AddCompany(1, false, true);
    directory.AddAccount(kAlice, "alice", "pw");
    directory.AddAlias("alice", 1, "a.test", kAlice);
    // A list nobody has joined yet.
    directory.AddAlias("team", 1, "a.test", 0, "", true);
  }

  TQueueEnvironment QueueEnvironment(const TMailFolders& where, TCrashStore& store, TRelayList& relay) {
    TQueueEnvironment environment;
    environment.folders = where;
    environment.hostName = "mx.test";
    environment.now = [] { return platform::EncodeDate(2026, 12, 9) + 0.5; };
    environment.openDirectory = [this] {
      return std::unique_ptr<TMailDirectory>(std::make_unique<testing::TFakeDirectory>(directory));
    };
    environment.documents = &store;
    environment.relayList = &relay;
    return environment;
  }

  std::string Queue(const TMailFolders& where, const std::string& recipient) {
    return QueueMessageText(where, "client.example", "", recipient + "\r\n", "",
                            "Subject: hello\r\nFrom: <someone@remote.example>\r\n\r\nbody\r\n", 0);
  }


  // Queues one message to recipient, runs a round that crashes at the hook `arm` sets on the
  // store, and answers the restarted folders; `after` holds the rows committed by the crash.
  TMailFolders CrashAndRestart(const std::string& root, const std::string& recipient,
                               const std::function<void(TCrashStore&, std::function<void()>)>& arm,
                               TCrashStore& after, std::string& name) {
    const TMailFolders live = MailFoldersBelow(root + "/live");
    const std::string image = root + "/image";
    TCrashStore store;
    bool crashed = false;
    std::vector<testing::TFakeMailboxRow> mailboxAtCrash;
    arm(store, [&] {
      if (crashed) return;
      crashed = true;
      fs::copy(root + "/live", image, fs::copy_options::recursive);
      mailboxAtCrash = directory.mailbox;
      after.rows = store.rows;
    });
    name = Queue(live, recipient);
    {
      TRelayList relay;
      TQueueSystem first(QueueEnvironment(live, store, relay));
      first.ProcessQueue();
    }
    EXPECT_TRUE(crashed);
    directory.mailbox = mailboxAtCrash;
    const TMailFolders restarted = MailFoldersBelow(image);
    RecoverQueueFolder(restarted);
    return restarted;
  }

  bool QueueEmpty(const TMailFolders& where) const {
    return testing::FilesIn(where.queue).empty() && testing::FilesIn(where.queue + "state/").empty();
  }
};

// A document look-up that fails at restart is no answer: the file waits for the next scan
// instead of passing for archived (its queue file deleted, the message never archived).
TEST_F(DeliveryRestart, FailedDocumentLookupAtRestartDoesNotSkipTheArchive) {
  TCrashStore after;
  std::string name;
  const TMailFolders restarted = CrashAndRestart(
      temp.Path() + "lookup", "alice@a.test",
      [](TCrashStore& store, std::function<void()> crash) { store.beforeRows = std::move(crash); }, after, name);
  ASSERT_TRUE(after.rows.empty());
  ASSERT_TRUE(fs::exists(restarted.DocumentFileName(name)));

  TRelayList relay;
  TQueueSystem second(QueueEnvironment(restarted, after, relay));
  after.lookupFails = true;
  second.ProcessQueue();
  after.lookupFails = false;
  second.ProcessQueue();
  // A system started after the table recovered must finish the job too.
  TQueueSystem third(QueueEnvironment(restarted, after, relay));
  third.ProcessQueue();

  EXPECT_EQ(after.rows, std::vector<std::string>{name}) << "archived exactly once";
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}}));
  EXPECT_TRUE(QueueEmpty(restarted));
}

// A file whose entries leave no outcome (a list without members) and whose document row was
// committed just before a crash is found archived, not archived a second time.
TEST_F(DeliveryRestart, CrashAfterArchiveRowOfMessageToEmptyListArchivesOnce) {
  TCrashStore after;
  std::string name;
  const TMailFolders restarted = CrashAndRestart(
      temp.Path() + "empty", "team@a.test",
      [](TCrashStore& store, std::function<void()> crash) { store.afterRows = std::move(crash); }, after, name);
  ASSERT_EQ(after.rows, std::vector<std::string>{name});

  TRelayList relay;
  TQueueSystem second(QueueEnvironment(restarted, after, relay));
  second.ProcessQueue();
  EXPECT_EQ(after.rows, std::vector<std::string>{name}) << "archived twice";
  EXPECT_TRUE(QueueEmpty(restarted));
}

// The same crash points for a message with a delivered recipient: the restart archives once and
// serves nobody twice (the table check answers right when it is asked).
TEST_F(DeliveryRestart, CrashInsideArchiveOfDeliveredMessageServesAndArchivesOnce) {
  const struct {
    const char* name;
    bool afterRows;
  } cases[] = {{"document file flushed, row not committed", false}, {"row committed, mark not written", true}};
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    directory.mailbox.clear();
    TCrashStore after;
    std::string name;
    const TMailFolders restarted = CrashAndRestart(
        temp.Path() + "done" + std::to_string(n++), "alice@a.test",
        [&c](TCrashStore& store, std::function<void()> crash) {
          (c.afterRows ? store.afterRows : store.beforeRows) = std::move(crash);
        },
        after, name);
    TRelayList relay;
    TQueueSystem second(QueueEnvironment(restarted, after, relay));
    second.ProcessQueue();
    EXPECT_EQ(after.rows, std::vector<std::string>{name});
    EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}}));
    EXPECT_TRUE(QueueEmpty(restarted));
  }
}


// The directory cannot be opened for one round (a pool exhausted): the round raises, and the
// next serves every recipient once and empties the queue.
TEST_F(DeliveryRestart, RoundThatCannotOpenTheDirectoryLeavesNothingBehind) {
  const TMailFolders where = MailFoldersBelow(temp.Path() + "noopen");
  TCrashStore store;
  TRelayList relay;
  TQueueEnvironment environment = QueueEnvironment(where, store, relay);
  bool fail = true;
  const TMailDirectoryFactory open = environment.openDirectory;
  environment.openDirectory = [&fail, open] {
    if (fail) throw std::runtime_error("pool exhausted");
    return open();
  };
  for (int i = 0; i < 2; ++i) Queue(where, "alice@a.test");
  TQueueSystem system(environment);
  EXPECT_ANY_THROW(system.ProcessQueue());
  fail = false;
  system.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 2}}));
  EXPECT_EQ(store.rows.size(), 2u);
  EXPECT_TRUE(QueueEmpty(where));
}


// Mailbox rows through a hook that runs before each batch (a crash there is never after a commit).
class THookedDirectory : public testing::TFakeDirectory {
 public:
  THookedDirectory(testing::TFakeDirectoryData& data, std::function<void()>& beforeRows)
      : TFakeDirectory(data), beforeRows_(beforeRows) {}
  void AddMessages(const std::vector<TMailboxAddition>& rows, size_t& added) override {
    if (beforeRows_) beforeRows_();
    TMailDirectory::AddMessages(rows, added);
  }

 private:
  std::function<void()>& beforeRows_;
};

// A crash before each mailbox batch and before and after each document batch of a round over
// lists, postmaster copies and bounces: after the restart every recipient is served once and
// every message archived once, and the queue is empty.
TEST_F(DeliveryRestart, CrashAtEveryBatchOfMixedRecipientsServesAndArchivesOnce) {
  directory.AddAccount(2, "bob", "pw");
  directory.AddAccount(3, "carol", "pw");
  directory.AddAlias("bob", 1, "a.test", 2);
  directory.AddAlias("all", 1, "a.test", 0, "", true);
  directory.AddListMember(1, "all", "alice", "a.test");
  directory.AddListMember(1, "all", "bob", "a.test");
  directory.AddDomain("b.test", 2);
  directory.AddCompany(2, true, true);
  directory.AddAlias("postmaster", 2, "b.test", 3);
  const std::map<int, int> expected{{kAlice, 2}, {2, 2}, {3, 1}};
  for (int point = 0;; ++point) {
    SCOPED_TRACE(point);
    const std::string root = temp.Path() + "mixed" + std::to_string(point);
    const TMailFolders live = MailFoldersBelow(root + "/live");
    const std::string image = root + "/image";
    directory.mailbox.clear();
    TCrashStore store;
    TCrashStore after;
    std::vector<testing::TFakeMailboxRow> mailboxAtCrash;
    int calls = 0;
    bool crashed = false;
    auto hook = [&] {
      if (crashed || calls++ != point) return;
      crashed = true;
      fs::copy(root + "/live", image, fs::copy_options::recursive);
      mailboxAtCrash = directory.mailbox;
      after.rows = store.rows;
    };
    std::function<void()> mailboxHook = hook;
    store.beforeRows = hook;
    store.afterRows = hook;
    const std::string body = "Subject: s\r\nFrom: <x@remote.example>\r\n\r\nbody\r\n";
    QueueMessageText(live, "c", "", "alice@a.test\r\nbob@a.test\r\n", "", body, 0);
    QueueMessageText(live, "c", "", "all@a.test\r\n", "", body, 0);
    QueueMessageText(live, "c", "", "nobody@b.test\r\n", "", body, 0);
    TRelayList relay;
    TQueueEnvironment environment = QueueEnvironment(live, store, relay);
    environment.openDirectory = [this, &mailboxHook] {
      return std::unique_ptr<TMailDirectory>(std::make_unique<THookedDirectory>(directory, mailboxHook));
    };
    {
      TQueueSystem first(environment);
      first.ProcessQueue();
    }
    if (!crashed) {
      EXPECT_EQ(Deliveries(), expected);
      EXPECT_EQ(store.rows.size(), 3u);
      EXPECT_GT(point, 2);
      break;
    }
    directory.mailbox = mailboxAtCrash;
    const TMailFolders restarted = MailFoldersBelow(image);
    RecoverQueueFolder(restarted);
    TRelayList relayAgain;
    TQueueSystem second(QueueEnvironment(restarted, after, relayAgain));
    second.ProcessQueue();
    EXPECT_EQ(Deliveries(), expected);
    EXPECT_EQ(after.rows.size(), 3u);
    EXPECT_EQ(std::set<std::string>(after.rows.begin(), after.rows.end()).size(), after.rows.size());
    EXPECT_TRUE(QueueEmpty(restarted));
  }
}

// Mailbox rows with a hook before and one after each batch's commit.
class TCommitHookedDirectory : public testing::TFakeDirectory {
 public:
  TCommitHookedDirectory(testing::TFakeDirectoryData& data, std::function<void()>& around)
      : TFakeDirectory(data), around_(around) {}
  void AddMessages(const std::vector<TMailboxAddition>& rows, size_t& added) override {
    if (around_) around_();
    TMailDirectory::AddMessages(rows, added);
    if (around_) around_();
  }

 private:
  std::function<void()>& around_;
};

// A crash before and right after each mailbox commit (the rows durable, the outcomes not yet
// written), over enough deliveries for several batches: after the start's recovery every
// recipient is served exactly once, and the mail folder holds exactly the files of the rows
// (the files of an uncommitted batch are gone, those of a committed one kept).
TEST_F(DeliveryRestart, CrashAroundAMailboxCommitServesOnceAndLeavesNoMailboxFileBehind) {
  directory.AddAccount(2, "bob", "pw");
  directory.AddAlias("bob", 1, "a.test", 2);
  std::map<int, int> expected;
  constexpr int kFiles = 50;  // two copies each: two batches
  expected[kAlice] = kFiles;
  expected[2] = kFiles;
  for (int point = 0;; ++point) {
    SCOPED_TRACE(point);
    const std::string root = temp.Path() + "commit" + std::to_string(point);
    const TMailFolders live = MailFoldersBelow(root + "/live");
    const std::string image = root + "/image";
    directory.mailbox.clear();
    TCrashStore store;
    TCrashStore after;
    std::vector<testing::TFakeMailboxRow> mailboxAtCrash;
    int calls = 0;
    bool crashed = false;
    std::function<void()> hook = [&] {
      if (crashed || calls++ != point) return;
      crashed = true;
      fs::copy(root + "/live", image, fs::copy_options::recursive);
      mailboxAtCrash = directory.mailbox;
      after.rows = store.rows;
    };
    for (int i = 0; i < kFiles; ++i) {
      QueueMessageText(live, "c", "", "alice@a.test\r\nbob@a.test\r\n", "",
                       "Subject: s" + std::to_string(i) + "\r\n\r\nbody\r\n", 0);
    }
    TRelayList relay;
    TQueueEnvironment environment = QueueEnvironment(live, store, relay);
    environment.openDirectory = [this, &hook] {
      return std::unique_ptr<TMailDirectory>(std::make_unique<TCommitHookedDirectory>(directory, hook));
    };
    {
      TQueueSystem first(environment);
      first.ProcessQueue();
    }
    if (!crashed) {
      EXPECT_EQ(Deliveries(), expected);
      EXPECT_GE(point, 4);
      break;
    }
    directory.mailbox = mailboxAtCrash;
    const TMailFolders restarted = MailFoldersBelow(image);
    {
      testing::TFakeDirectory lookups(directory);
      RecoverQueueFolder(restarted, &lookups);
    }
    std::set<std::string> rowIds;
    for (const testing::TFakeMailboxRow& row : directory.mailbox) rowIds.insert(row.id);
    const std::vector<std::string> recovered = testing::FilesIn(restarted.mail);
    EXPECT_EQ(std::set<std::string>(recovered.begin(), recovered.end()), rowIds);
    TRelayList relayAgain;
    TQueueSystem second(QueueEnvironment(restarted, after, relayAgain));
    second.ProcessQueue();
    EXPECT_EQ(Deliveries(), expected);
    EXPECT_EQ(after.rows.size(), static_cast<size_t>(kFiles));
    EXPECT_TRUE(QueueEmpty(restarted));
    rowIds.clear();
    for (const testing::TFakeMailboxRow& row : directory.mailbox) rowIds.insert(row.id);
    const std::vector<std::string> files = testing::FilesIn(restarted.mail);
    EXPECT_EQ(std::set<std::string>(files.begin(), files.end()), rowIds);
  }
}

}  // namespace
}  // namespace tovenmarsh::mail
