// Queue rounds that commit mailbox rows and archive documents in batches: batches stay within
// their bound, a row that fails holds back only its own entry or file (whether the store adds
// a batch all or nothing, or row by row), and a crash at any step of a batch neither loses nor
// repeats a delivery or an archive. Crashes are simulated by copying the folders at the moment
// (the image) together with the rows committed by then, and running a new queue system on it.
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
constexpr int kBob = 2;
constexpr int kCarol = 3;

// How a store takes a batch: one row after another (what is in stays in), or all or nothing
// (one transaction, as the installation's tables do).
enum class TBatchKind { RowByRow, AllOrNothing };

struct THooks {
  std::function<void()> beforeRows;
  std::function<void()> afterRows;
};

// Mailbox rows over the fake directory, with the batch sizes seen, a failing account and hooks
// around each batch.
class TBatchDirectory : public testing::TFakeDirectory {
 public:
  TBatchDirectory(testing::TFakeDirectoryData& data, TBatchKind kind, const int& failing, THooks& hooks,
                  std::vector<size_t>& batches)
      : TFakeDirectory(data), kind_(kind), failing_(failing), hooks_(hooks), batches_(batches) {}

  int AddMessage(int accountNo, const resources::TMailDropRec& rec) override {
    if (accountNo == failing_) throw std::runtime_error("mailbox table failed");
    return TFakeDirectory::AddMessage(accountNo, rec);
  }
  void AddMessages(const std::vector<TMailboxAddition>& rows, size_t& added) override {
    batches_.push_back(rows.size());
    if (hooks_.beforeRows) hooks_.beforeRows();
    if (kind_ == TBatchKind::AllOrNothing) {
      added = 0;
      for (const TMailboxAddition& row : rows) {
        if (row.accountNo == failing_) throw std::runtime_error("mailbox table failed");
      }
    }
    TMailDirectory::AddMessages(rows, added);
    if (hooks_.afterRows) hooks_.afterRows();
  }

 private:
  TBatchKind kind_;
  const int& failing_;
  THooks& hooks_;
  std::vector<size_t>& batches_;
};

// Document rows in memory (by file name), with the batch sizes seen, a failing subject and
// hooks around each batch; it can say which files have a row.
class TBatchStore : public TDocumentStore {
 public:
  explicit TBatchStore(TBatchKind kind) : kind_(kind) {}
  void AddDocument(const TDocumentRow& row) override {
    if (row.description == failingSubject) throw std::runtime_error("document table failed");
    rows.push_back(row.extfileref);
  }
  void AddDocuments(const std::vector<TDocumentRow>& batch, size_t& added) override {
    batches.push_back(batch.size());
    if (hooks.beforeRows) hooks.beforeRows();
    if (kind_ == TBatchKind::AllOrNothing) {
      added = 0;
      for (const TDocumentRow& row : batch) {
        if (row.description == failingSubject) throw std::runtime_error("document table failed");
      }
    }
    TDocumentStore::AddDocuments(batch, added);
    if (hooks.afterRows) hooks.afterRows();
  }
  bool HasDocument(const std::string& name) override {
    return std::find(rows.begin(), rows.end(), name) != rows.end();
  }

  std::vector<std::string> rows;  // file names, one per row
  std::vector<size_t> batches;
  std::string failingSubject;
  THooks hooks;

 private:
  TBatchKind kind_;
};

class QueueBatch : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    directory.AddDomain("a.test", 1);
    directory.AddCompany(1, false, true);
    for (int no : {kAlice, kBob, kCarol}) directory.AddAccount(no, "user" + std::to_string(no), "pw");
    directory.AddAlias("alice", 1, "a.test", kAlice);
    directory.AddAlias("bob", 1, "a.test", kBob);
    directory.AddAlias("carol", 1, "a.test", kCarol);
  }

  TQueueEnvironment QueueEnvironment(const TMailFolders& where, TBatchStore& store, TBatchKind kind) {
    const TMailEnvironment mail = Environment();
    TQueueEnvironment environment;
    environment.folders = where;
    environment.hostName = mail.hostName;
    environment.now = [] { return platform::EncodeDate(2026, 12, 9) + 0.5; };
    environment.openDirectory = [this, kind] {
      return std::unique_ptr<TMailDirectory>(
          std::make_unique<TBatchDirectory>(directory, kind, failing, mailboxHooks, mailboxBatches));
    };
    environment.documents = &store;
    environment.relayList = &relay;
    return environment;
  }

  std::string Queue(const TMailFolders& where, const std::vector<std::string>& recipients,
                    const std::string& subject = "hello") {
    std::string lines;
    for (const std::string& r : recipients) lines += r + "\r\n";
    return QueueMessageText(where, "client.example", "", lines, "",
                            "Subject: " + subject + "\r\nFrom: <someone@remote.example>\r\n\r\nbody\r\n", 0);
  }

  // Every row names a mailbox file, and every mailbox file has a row: no delivery is hidden,
  // and none is half done.
  void ExpectRowsMatchFiles(const TMailFolders& where) const {
    std::set<std::string> rows;
    for (const testing::TFakeMailboxRow& row : directory.mailbox) rows.insert(row.id);
    const std::vector<std::string> files = testing::FilesIn(where.mail);
    EXPECT_EQ(rows, std::set<std::string>(files.begin(), files.end()));
  }
  bool QueueEmpty(const TMailFolders& where) const {
    return testing::FilesIn(where.queue).empty() && testing::FilesIn(where.queue + "state/").empty();
  }

  int failing = 0;
  THooks mailboxHooks;
  std::vector<size_t> mailboxBatches;
  TRelayList relay;
};

// Flushing files together answers for each file on its own: one that cannot be flushed (here:
// gone) fails alone, and the answers keep the order of the paths.
TEST_F(QueueBatch, FilesFlushedTogetherAnswerOneByOne) {
  std::vector<std::string> paths;
  std::vector<bool> expected;
  for (int i = 0; i < 40; ++i) {
    const bool present = i % 7 != 3;
    const std::string path = folders.mail + "flush" + std::to_string(i);
    if (present) testing::WriteFileBytes(path, std::string(100 + i, 'x'));
    paths.push_back(path);
    expected.push_back(present);
  }
  EXPECT_EQ(SyncFiles(paths), expected);
  EXPECT_TRUE(SyncFiles({}).empty());
}

// Many files in one round: each batch stays within its bound, and every message is delivered
// and archived once.
TEST_F(QueueBatch, BatchesAreBoundedAndServeEveryMessageOnce) {
  struct TCase {
    int files;
    std::vector<size_t> batches;  // the same for mailbox and document rows
  };
  const TCase cases[] = {{1, {1}}, {3, {3}}, {65, {64, 1}}};
  int n = 0;
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.files);
    const TMailFolders where = MailFoldersBelow(temp.Path() + "bound" + std::to_string(n++));
    directory.mailbox.clear();
    mailboxBatches.clear();
    TBatchStore store(TBatchKind::AllOrNothing);
    std::vector<std::string> names;
    for (int i = 0; i < c.files; ++i) names.push_back(Queue(where, {"alice@a.test"}));
    TQueueSystem system(QueueEnvironment(where, store, TBatchKind::AllOrNothing));
    system.ProcessQueue();
    EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, c.files}}));
    EXPECT_EQ(mailboxBatches, c.batches);
    EXPECT_EQ(store.batches, c.batches);
    std::vector<std::string> archived = store.rows;
    std::sort(archived.begin(), archived.end());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(archived, names);
    EXPECT_EQ(testing::FilesIn(where.document), names);
    ExpectRowsMatchFiles(where);
    EXPECT_TRUE(QueueEmpty(where));
  }
}

// One account's rows fail inside a batch: the others are delivered at once, the failing entries
// wait (without a mailbox file) and are delivered once when the table works again.
TEST_F(QueueBatch, FailingMailboxRowHoldsBackOnlyItsEntries) {
  for (TBatchKind kind : {TBatchKind::RowByRow, TBatchKind::AllOrNothing}) {
    SCOPED_TRACE(kind == TBatchKind::RowByRow ? "row by row" : "all or nothing");
    const TMailFolders where = MailFoldersBelow(temp.Path() + (kind == TBatchKind::RowByRow ? "rows" : "all"));
    directory.mailbox.clear();
    TBatchStore store(kind);
    const std::string aliceOnly = Queue(where, {"alice@a.test"});
    const std::string bobAndCarol = Queue(where, {"bob@a.test", "carol@a.test"});
    const std::string carolOnly = Queue(where, {"carol@a.test"});
    TQueueSystem system(QueueEnvironment(where, store, kind));
    failing = kBob;
    system.ProcessQueue();
    EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}, {kCarol, 2}}));
    ExpectRowsMatchFiles(where);
    EXPECT_EQ(testing::FilesIn(where.queue), std::vector<std::string>{bobAndCarol});
    EXPECT_EQ(store.rows.size(), 2u);
    failing = 0;
    system.ProcessQueue();
    EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}, {kBob, 1}, {kCarol, 2}}));
    ExpectRowsMatchFiles(where);
    EXPECT_EQ(store.rows.size(), 3u);
    EXPECT_TRUE(QueueEmpty(where));
  }
}

// One document row fails inside a batch: the other files are archived and leave the queue; the
// failing one keeps no document file, waits, and is archived once later, its recipient served
// only once.
TEST_F(QueueBatch, FailingDocumentRowHoldsBackOnlyItsFile) {
  for (TBatchKind kind : {TBatchKind::RowByRow, TBatchKind::AllOrNothing}) {
    SCOPED_TRACE(kind == TBatchKind::RowByRow ? "row by row" : "all or nothing");
    const TMailFolders where = MailFoldersBelow(temp.Path() + (kind == TBatchKind::RowByRow ? "rows" : "all"));
    directory.mailbox.clear();
    TBatchStore store(kind);
    store.failingSubject = "bad";
    const std::string first = Queue(where, {"alice@a.test"}, "first");
    const std::string bad = Queue(where, {"bob@a.test"}, "bad");
    const std::string last = Queue(where, {"carol@a.test"}, "last");
    TQueueSystem system(QueueEnvironment(where, store, kind));
    system.ProcessQueue();
    EXPECT_EQ(std::set<std::string>(store.rows.begin(), store.rows.end()), (std::set<std::string>{first, last}));
    EXPECT_FALSE(fs::exists(where.DocumentFileName(bad)));
    EXPECT_EQ(testing::FilesIn(where.queue), std::vector<std::string>{bad});
    store.failingSubject.clear();
    system.ProcessQueue();
    ASSERT_EQ(store.rows.size(), 3u);
    EXPECT_EQ(store.rows.back(), bad);
    EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}, {kBob, 1}, {kCarol, 1}}));
    EXPECT_TRUE(QueueEmpty(where));
  }
}

// A crash at each step of a batch, as the disk and the tables were at that moment: the restart
// serves every recipient exactly once in all and archives every file exactly once in all.
TEST_F(QueueBatch, CrashAtEachStepOfABatchLosesAndRepeatsNothing) {
  enum TPoint { MailboxBeforeRows, DocumentBeforeRows, DocumentAfterRows };
  const struct {
    const char* name;
    TPoint point;
  } cases[] = {
      {"mailbox rows not yet committed", MailboxBeforeRows},
      {"document files written, rows not yet committed", DocumentBeforeRows},
      {"document rows committed, archive marks not yet written", DocumentAfterRows},
  };
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string root = temp.Path() + "crash" + std::to_string(n++);
    const TMailFolders where = MailFoldersBelow(root + "/live");
    const std::string image = root + "/image";
    directory.mailbox.clear();
    TBatchStore store(TBatchKind::AllOrNothing);
    std::vector<testing::TFakeMailboxRow> mailboxAtCrash;
    std::vector<std::string> documentsAtCrash;
    bool crashed = false;
    auto crash = [&] {
      if (crashed) return;
      crashed = true;
      fs::copy(root + "/live", image, fs::copy_options::recursive);
      mailboxAtCrash = directory.mailbox;
      documentsAtCrash = store.rows;
    };
    mailboxHooks = {};
    if (c.point == MailboxBeforeRows) mailboxHooks.beforeRows = crash;
    if (c.point == DocumentBeforeRows) store.hooks.beforeRows = crash;
    if (c.point == DocumentAfterRows) store.hooks.afterRows = crash;
    for (int i = 0; i < 3; ++i) Queue(where, {"alice@a.test", "bob@a.test"});
    {
      TQueueSystem first(QueueEnvironment(where, store, TBatchKind::AllOrNothing));
      first.ProcessQueue();
    }
    mailboxHooks = {};
    ASSERT_TRUE(crashed);

    // The restart on the image, with the rows committed by the moment of the crash.
    directory.mailbox = mailboxAtCrash;
    TBatchStore after(TBatchKind::AllOrNothing);
    after.rows = documentsAtCrash;
    const TMailFolders restarted = MailFoldersBelow(image);
    RecoverQueueFolder(restarted);
    TRelayList relayAgain;
    TQueueEnvironment environment = QueueEnvironment(restarted, after, TBatchKind::AllOrNothing);
    environment.relayList = &relayAgain;
    TQueueSystem second(environment);
    second.ProcessQueue();
    EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 3}, {kBob, 3}}));
    EXPECT_EQ(after.rows.size(), 3u);
    EXPECT_EQ(std::set<std::string>(after.rows.begin(), after.rows.end()).size(), 3u) << "a file archived twice";
    // Mailbox files of rows that never came stay behind unserved; every row has its file.
    for (const testing::TFakeMailboxRow& row : directory.mailbox) {
      EXPECT_TRUE(fs::exists(restarted.MailFileName(row.id))) << row.id;
    }
    EXPECT_TRUE(QueueEmpty(restarted));
  }
}

}  // namespace
}  // namespace tovenmarsh::mail
