// The queue around a crash: while a file is archived, after a relay was reported, with a
// state file at any stage, and after a failed archive. Crashes are simulated by copying the
// folders at the moment (the image) or by writing the state a crash leaves, then running a new
// queue system on it.
#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
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
constexpr int kBob = 2;
constexpr int kCarol = 3;  // the sender; a bounce to her lands in her mailbox
constexpr int kPostmasterA = 8;
constexpr int kPostmasterB = 9;

// Counts document rows; can run a hook inside AddDocument (after the row is committed), the
// moment a crash is simulated at, or fail (nothing committed) a number of times.
class TDocuments : public TDocumentStore {
 public:
  void AddDocument(const TDocumentRow& row) override {
    if (failures > 0) {
      --failures;
      throw std::runtime_error("document table unavailable");
    }
    ++rows;
    committed.insert(row.extfileref);
    if (afterRow) afterRow();
  }
  // Rows committed before a restart, by queue file name.
  bool HasDocument(const std::string& name) override { return committed.count(name) != 0; }
  int rows = 0;
  int failures = 0;
  std::function<void()> afterRow;
  std::set<std::string> committed;
};

class QueueRestart : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    directory.AddDomain("a.test", 1);
    directory.AddCompany(1, false, true);
    directory.AddDomain("b.test", 2);
    directory.AddCompany(2, false, true);
    for (int no : {kAlice, kBob, kCarol, kPostmasterA, kPostmasterB}) {
      directory.AddAccount(no, "user" + std::to_string(no), "pw");
    }
    directory.AddAlias("alice", 1, "a.test", kAlice);
    directory.AddAlias("bob", 1, "a.test", kBob);
    directory.AddAlias("carol", 1, "a.test", kCarol);
    // Every company of a multi-domain installation has its own postmaster.
    directory.AddAlias("postmaster", 1, "a.test", kPostmasterA);
    directory.AddAlias("postmaster", 2, "b.test", kPostmasterB);
  }


  std::string Queue(const TMailFolders& where, const std::vector<std::string>& recipients) {
    std::string lines;
    for (const std::string& r : recipients) lines += r + "\r\n";
    return QueueMessageText(where, "client.example", "carol@a.test", lines, "",
                            "Subject: hello\r\nFrom: <carol@a.test>\r\n\r\nbody\r\n", 0);
  }

};

// A crash while the finished file is archived (document row committed, queue file not yet
// deleted): the last recipient's outcome was saved before the archive began, and the document
// file written before the row says the archive ran, so the restart serves nobody again and
// adds no second row.
TEST_F(QueueRestart, CrashWhileArchivingServesNobodyTwice) {
  const std::string image = temp.Path() + "image";
  TDocuments documents;
  documents.afterRow = [&] {
    // The disk as a crash at this moment leaves it.
    fs::copy(temp.Path() + "root", image, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  };
  TRelayList relay;
  Queue(folders, {"alice@a.test", "bob@a.test"});
  {
    TQueueSystem first(QueueEnvironment(folders, documents, relay));
    first.ProcessQueue();
  }
  ASSERT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}, {kBob, 1}}));
  ASSERT_EQ(documents.rows, 1);
  ASSERT_TRUE(fs::exists(image + "/queue"));

  // The restart, on the crash image (mailbox rows and document rows were committed).
  const TMailFolders restarted = MailFoldersBelow(image);
  RecoverQueueFolder(restarted);
  TDocuments again;
  again.committed = documents.committed;
  TRelayList relayAgain;
  TQueueSystem second(QueueEnvironment(restarted, again, relayAgain));
  second.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}, {kBob, 1}})) << "a recipient was served twice";
  EXPECT_EQ(again.rows, 0) << "the message was archived twice";
  EXPECT_TRUE(testing::FilesIn(restarted.queue).empty());
}

// A relay outcome reaches the file's state when the task reports it, not at the next queue
// round (which runs only when the last relay task ends). After a crash in between: an accepted
// recipient is not relayed again (the file is archived and leaves), a refused one is not sent
// again but still bounced to the sender, a temporary failure is simply tried again.
TEST_F(QueueRestart, CrashAfterARelayWasReportedActsOnTheReport) {
  const platform::TDateTime now = platform::EncodeDate(2026, 12, 9) + 0.5;
  struct TCase {
    const char* name;
    uint8_t reported;
    int relayLeft;
    int bounces;  // to carol, the sender
    int rows;
  };
  const TCase cases[] = {
      {"delivered", rsDelivered, 0, 0, 1},
      {"refused for good", rsPermanentFailure, 0, 1, 1},  // the row is the bounce's
      {"temporary failure", rsTemporaryFailure, 1, 0, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    directory.mailbox.clear();
    TDocuments documents;
    const TMailFolders where = MailFoldersBelow(temp.Path() + "relay-" + std::to_string(c.reported));
    Queue(where, {"far@remote.example"});
    {
      TRelayList relay;
      TQueueSystem first(QueueEnvironment(where, documents, relay));
      ASSERT_EQ(first.ProcessQueue(), 1);
      TRelayBatch batch;
      ASSERT_TRUE(relay.TakeRelayBatch("", batch, now, 5));
      for (const TRelayBatchItem& item : batch) relay.Report(item, c.reported);
      // The task goes on with other batches; the process dies before the next queue round.
    }
    TRelayList relayAgain;
    RecoverQueueFolder(where);
    TQueueSystem second(QueueEnvironment(where, documents, relayAgain));
    EXPECT_EQ(second.ProcessQueue(), c.relayLeft);
    EXPECT_EQ(Deliveries()[kCarol], c.bounces);
    EXPECT_EQ(documents.rows, c.rows);
    EXPECT_EQ(testing::FilesIn(where.queue).size(), c.relayLeft == 0 ? 0u : 1u);
    EXPECT_TRUE(testing::FilesIn(where.queue + "state/").empty());
  }
}

// What the restart after a crash at a later moment must still do: a recipient whose mailbox
// write was not recorded yet is served (not lost), and the file then leaves the queue.
TEST_F(QueueRestart, CrashBeforeTheLastDeliveryLosesNothing) {
  TDocuments documents;
  TRelayList relay;
  Queue(folders, {"alice@a.test", "bob@a.test"});
  // Only alice's outcome reached the disk.
  EnsureFolder(folders.queue + "state/");
  const std::vector<std::string> names = testing::FilesIn(folders.queue);
  ASSERT_EQ(names.size(), 1u);
  testing::WriteFileBytes(folders.queue + "state/" + names[0], "D 1:alice@a.test\n");
  TQueueSystem system(QueueEnvironment(folders, documents, relay));
  system.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kBob, 1}}));
  EXPECT_EQ(documents.rows, 1);
  EXPECT_TRUE(testing::FilesIn(folders.queue).empty());
  EXPECT_TRUE(testing::FilesIn(folders.queue + "state/").empty());
}

// The restart after a crash at each stage of finishing a file, as the state file and the
// document folder show it: alice and bob were served, and the archive had or had not begun.
TEST_F(QueueRestart, RestartAtEachStageOfFinishing) {
  struct TCase {
    const char* name;
    const char* state;  // nullptr: no state file
    bool documentFile;
    bool rowCommitted;  // the document row of the name was committed before the restart
    std::map<int, int> deliveries;
    int rows;
  };
  const TCase cases[] = {
      {"both served, archive not begun", "D 1:alice@a.test\nD 2:bob@a.test\n", false, false, {}, 1},
      {"archive interrupted after its row", "D 1:alice@a.test\nD 2:bob@a.test\n", true, true, {}, 0},
      {"archive interrupted before its row", "D 1:alice@a.test\nD 2:bob@a.test\n", true, false, {}, 1},
      {"archived, not yet deleted", "D 1:alice@a.test\nD 2:bob@a.test\nA \n", true, true, {}, 0},
      {"archive mark without document file", "D 1:alice@a.test\nD 2:bob@a.test\nA \n", false, true, {}, 0},
      {"a line cut short", "D 1:alice@a.test\nD 2:bob@a", false, false, {{kBob, 1}}, 1},
      {"no state (a document file of the name says nothing)", nullptr, true, false, {{kAlice, 1}, {kBob, 1}}, 1},
  };
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    directory.mailbox.clear();
    const TMailFolders where = MailFoldersBelow(temp.Path() + "stage" + std::to_string(n++));
    const std::string name = Queue(where, {"alice@a.test", "bob@a.test"});
    if (c.state != nullptr) {
      EnsureFolder(where.queue + "state/");
      testing::WriteFileBytes(where.queue + "state/" + name, c.state);
    }
    if (c.documentFile) {
      EnsureFolder(where.document);
      testing::WriteFileBytes(where.DocumentFileName(name), "Subject: hello\r\n\r\nbody\r\n");
    }
    RecoverQueueFolder(where);
    TDocuments documents;
    if (c.rowCommitted) documents.committed.insert(name);
    TRelayList relay;
    TQueueSystem system(QueueEnvironment(where, documents, relay));
    EXPECT_EQ(system.ProcessQueue(), 0);
    EXPECT_EQ(Deliveries(), c.deliveries);
    EXPECT_EQ(documents.rows, c.rows);
    EXPECT_TRUE(testing::FilesIn(where.queue).empty());
    EXPECT_TRUE(testing::FilesIn(where.queue + "state/").empty());
  }
}

// An archive that fails (no row committed) leaves no document file behind, so a restart before
// the retry still adds the row, once, and serves nobody again.
TEST_F(QueueRestart, FailedArchiveIsStillArchivedAfterARestart) {
  TDocuments documents;
  documents.failures = 1;
  TRelayList relay;
  const std::string name = Queue(folders, {"alice@a.test", "bob@a.test"});
  {
    TQueueSystem first(QueueEnvironment(folders, documents, relay));
    first.ProcessQueue();
    EXPECT_EQ(documents.rows, 0);
    EXPECT_FALSE(fs::exists(folders.DocumentFileName(name)));
  }
  TQueueSystem second(QueueEnvironment(folders, documents, relay));
  second.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}, {kBob, 1}}));
  EXPECT_EQ(documents.rows, 1);
  EXPECT_TRUE(fs::exists(folders.DocumentFileName(name)));
  EXPECT_TRUE(testing::FilesIn(folders.queue).empty());
}

}  // namespace
}  // namespace tovenmarsh::mail
