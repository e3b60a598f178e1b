// Writes and syncs the device refuses while mail is stored: the platform layer makes the n-th
// write, file sync or folder sync inside one mail folder fail, for every n the operation
// reaches. A message whose queue file was not durably written must never be answered with 250;
// a mailbox delivery that was not durably written must not be recorded, and is made again in a
// later round; mail stored before stays as it was and nothing half-written is left.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/queue/queue_system.h"
#include "mail/relay/relay_list.h"
#include "mail/smtpd/smtp_server.h"
#include "mail/store/document_archive.h"
#include "mail/store/mail_folders.h"
#include "mail/store/queue_file.h"
#include "platform/date_time.h"
#include "platform/file_system.h"
#include "support/dialogue.h"
#include "support/mail_fakes.h"
#include "support/smtp_dialogue.h"

namespace tovenmarsh::mail {
namespace {

using platform::TFileFault;
using testing::FileBytes;
using testing::FilesIn;

const std::string kInsufficientStorage = "452 Requested action not taken, insufficient system storage\r\n";

constexpr TFileFault kKinds[] = {TFileFault::Write, TFileFault::FileSync, TFileFault::FolderSync};

std::string KindName(TFileFault kind) {
  switch (kind) {
    case TFileFault::Write: return "write";
    case TFileFault::FileSync: return "file sync";
    case TFileFault::FolderSync: return "folder sync";
  }
  return "?";
}

class TNullDocuments : public TDocumentStore {
 public:
  void AddDocument(const TDocumentRow&) override {}
};

class MailFileFaultTest : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    AddLocalJoe();
    directory.AddAccount(2, "ann", "pw");
    directory.AddAlias("ann", 1, "local.test", 2);
  }
  void TearDown() override {
    for (TFileFault kind : kKinds) platform::InjectFileFault(kind, 0);
    MailFixture::TearDown();
  }
  // Every regular file below folder (its tmp subfolder included) with its bytes.
  static std::map<std::string, std::string> Contents(const std::string& folder) {
    std::map<std::string, std::string> contents;
    for (const std::string& name : FilesIn(folder)) contents[name] = FileBytes(folder + name);
    for (const std::string& name : FilesIn(folder + kTemporarySubfolder))
      contents[kTemporarySubfolder + name] = FileBytes(folder + kTemporarySubfolder + name);
    return contents;
  }
  TQueueEnvironment QueueEnvironment() {
    const TMailEnvironment mail = Environment();
    TQueueEnvironment environment;
    environment.folders = folders;
    environment.hostName = mail.hostName;
    environment.now = [] { return platform::EncodeDate(2026, 12, 9) + 0.5; };
    environment.openDirectory = mail.openDirectory;
    environment.documents = &documents;
    environment.relayList = &relay;
    environment.maillistMaxDepth = 1;
    environment.relayMinutes = 30;
    return environment;
  }
  std::string QueueFor(const std::vector<std::string>& recipients, const std::string& subject) {
    std::string lines;
    for (const std::string& r : recipients) lines += r + "\r\n";
    return QueueMessageText(folders, "client.example", "a@remote.example", lines, "",
                            "Subject: " + subject + "\r\n\r\nbody\r\n", 0);
  }
  // Account -> the bytes of its mailbox files, as the mailbox rows name them.
  std::map<int, std::vector<std::string>> Mailboxes() {
    std::map<int, std::vector<std::string>> boxes;
    for (const testing::TFakeMailboxRow& row : directory.mailbox)
      boxes[row.accountNo].push_back(FileBytes(folders.MailFileName(row.id)));
    for (auto& [account, files] : boxes) std::sort(files.begin(), files.end());
    return boxes;
  }

  TNullDocuments documents;
  TRelayList relay;
};

// The server has queued one message; the second one meets the fault. Where it struck, the
// client hears 452 and the session goes on: no 250, no queue file, the first file unchanged.
TEST_F(MailFileFaultTest, AQueueFileNotDurablyWrittenIsNeverAnswered250) {
  for (TFileFault kind : kKinds) {
    for (int n = 0;; ++n) {
      SCOPED_TRACE(KindName(kind) + " fault at operation " + std::to_string(n));
      for (const std::string& name : FilesIn(folders.queue)) std::remove((folders.queue + name).c_str());
      auto server = testing::NewSmtpServer(Environment(), "127.0.0.1");
      testing::OpenSmtpData(*server, "client.example", "a@remote.example", "joe@local.test");
      ASSERT_EQ(testing::Exchange(*server, "Subject: first\r\n\r\nbody\r\n.\r\n"), testing::kOK);
      const auto stored = Contents(folders.queue);
      ASSERT_EQ(stored.size(), 1u);
      const int wakesBefore = wakes.load();
      const int64_t fired = platform::InjectedFileFaults(kind);
      ASSERT_EQ(testing::Exchange(*server, "MAIL FROM:<a@remote.example>\r\nRCPT TO:<joe@local.test>\r\nDATA\r\n"),
                testing::kOK + testing::kOK + testing::kData);
      platform::InjectFileFault(kind, 1, n, folders.queue);
      bool ended = false;
      const std::string reply = testing::Exchange(*server, "Subject: second\r\n\r\nbody\r\n.\r\n", &ended);
      platform::InjectFileFault(kind, 0);
      if (platform::InjectedFileFaults(kind) == fired) {
        // Past the last operation of the kind: stored as usual.
        EXPECT_EQ(reply, testing::kOK);
        EXPECT_EQ(FilesIn(folders.queue).size(), 2u);
        ASSERT_GT(n, 0) << "queueing met no " << KindName(kind);
        break;
      }
      EXPECT_EQ(reply, kInsufficientStorage);
      EXPECT_FALSE(ended);
      EXPECT_EQ(Contents(folders.queue), stored);
      EXPECT_EQ(wakes.load(), wakesBefore);
      if (HasFatalFailure()) return;
    }
  }
}

// Mail for joe is delivered; then a message for joe and ann meets the fault while its mailbox
// files are written and made durable. The round records no delivery whose file failed, leaves
// no file without a row, keeps joe's first mail as it was, and the next rounds deliver each
// recipient exactly once.
TEST_F(MailFileFaultTest, AMailboxDeliveryNotDurablyWrittenIsMadeAgainAndNothingStoredIsHarmed) {
  for (TFileFault kind : kKinds) {
    for (int n = 0;; ++n) {
      SCOPED_TRACE(KindName(kind) + " fault at operation " + std::to_string(n));
      directory.mailbox.clear();
      for (const std::string& name : FilesIn(folders.mail)) std::remove(folders.MailFileName(name).c_str());
      TQueueSystem system(QueueEnvironment());
      QueueFor({"joe@local.test"}, "first");
      system.ProcessQueue();
      ASSERT_EQ(Mailboxes().size(), 1u);
      const std::string first = Mailboxes().at(1).at(0);
      const auto keeps = [&first](const std::vector<std::string>& files) {
        return std::find(files.begin(), files.end(), first) != files.end();
      };
      const std::string second = QueueFor({"joe@local.test", "ann@local.test"}, "second");
      const int64_t fired = platform::InjectedFileFaults(kind);
      platform::InjectFileFault(kind, 1, n, folders.mail);
      system.ProcessQueue();
      platform::InjectFileFault(kind, 0);
      const bool struck = platform::InjectedFileFaults(kind) != fired;
      // Rows name whole files only, and no file is left without its row.
      EXPECT_EQ(FilesIn(folders.mail).size(), directory.mailbox.size());
      EXPECT_TRUE(FilesIn(folders.mail + kTemporarySubfolder).empty());
      EXPECT_TRUE(keeps(Mailboxes()[1]));
      if (struck) {
        EXPECT_LT(directory.mailbox.size(), 3u) << "a failed delivery was recorded";
        EXPECT_EQ(FilesIn(folders.queue), std::vector<std::string>{second});
      }
      for (int round = 0; round < 3 && !FilesIn(folders.queue).empty(); ++round) system.ProcessQueue();
      const auto boxes = Mailboxes();
      ASSERT_EQ(boxes.size(), 2u);
      EXPECT_EQ(boxes.at(1).size(), 2u);
      EXPECT_EQ(boxes.at(2).size(), 1u);
      EXPECT_TRUE(keeps(boxes.at(1)));
      EXPECT_NE(boxes.at(2).front().find("Subject: second"), std::string::npos);
      EXPECT_TRUE(FilesIn(folders.queue).empty());
      if (!struck) {
        ASSERT_GT(n, 0) << "delivery met no " << KindName(kind);
        break;
      }
      if (HasFatalFailure()) return;
    }
  }
}

}  // namespace
}  // namespace tovenmarsh::mail
