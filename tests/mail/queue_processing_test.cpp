// Queue processing over the in-memory directory: what each kind of recipient turns into
// (mailbox rows, list members, postmaster copies, bounces, relay entries), that every file is
// archived once unless all of its recipients bounced and leaves the queue folder when done,
// and that failures (mailbox, archive, bounce, a restart) neither lose nor repeat a delivery.
#include <stdio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/timed_server.h"
#include "mail/store/document_archive.h"
#include "mail/store/mail_folders.h"
#include "mail/queue/queue_daemon.h"
#include "mail/store/queue_file.h"
#include "mail/queue/queue_system.h"
#include "mail/relay/relay_list.h"
#include "mail/smtpd/smtp_server.h"
#include "platform/date_time.h"
#include "platform/sync.h"
#include "support/dialogue.h"
#include "support/mail_fakes.h"
#include "support/python_oracle.h"

namespace tovenmarsh::mail {
namespace {

using testing::FileBytes;
using testing::FilesIn;

class TRecordingStore : public TDocumentStore {
 public:
  void AddDocument(const TDocumentRow& row) override {
    if (fail) throw EQueueFile("document table failed");
    rows.push_back(row);
  }
  std::vector<TDocumentRow> rows;
  bool fail = false;
};

constexpr int kAlice = 1;
constexpr int kBob = 2;
constexpr int kCarol = 3;  // the local sender; bounces to her are delivered at once
constexpr int kPostmaster = 9;

class QueueProcessing : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    // local.test bounces unknown aliases; pm.test also copies them to its postmaster;
    // ign.test drops them; loop.test copies to a postmaster alias that does not exist.
    directory.AddDomain("local.test", 1);
    directory.AddCompany(1, false, true);
    directory.AddDomain("pm.test", 2);
    directory.AddCompany(2, true, true);
    directory.AddDomain("ign.test", 3);
    directory.AddCompany(3, false, false);
    directory.AddDomain("loop.test", 4);
    directory.AddCompany(4, true, false);
    for (int no : {kAlice, kBob, kCarol, kPostmaster}) directory.AddAccount(no, "user" + std::to_string(no), "pw");
    directory.AddAlias("alice", 1, "local.test", kAlice);
    directory.AddAlias("bob", 1, "local.test", kBob);
    directory.AddAlias("carol", 1, "local.test", kCarol);
    directory.AddAlias("postmaster", 2, "pm.test", kPostmaster);
    directory.AddAlias("sleeper", 1, "local.test", kAlice);
    directory.aliases.back().active = false;
    // team -> alice, inner (list); inner -> bob, deep (list); deep -> carol.
    directory.AddAlias("team", 1, "local.test", 0, "", true);
    directory.AddAlias("inner", 1, "local.test", 0, "", true);
    directory.AddAlias("deep", 1, "local.test", 0, "", true);
    directory.AddListMember(1, "team", "alice", "local.test");
    directory.AddListMember(1, "team", "inner", "local.test");
    directory.AddListMember(1, "inner", "bob", "local.test");
    directory.AddListMember(1, "inner", "deep", "local.test");
    directory.AddListMember(1, "deep", "carol", "local.test");
    directory.AddListMember(1, "outside", "far", "remote.example");
    directory.AddAlias("outside", 1, "local.test", 0, "", true);
  }

  TQueueEnvironment QueueEnvironment(int maxDepth = 1) {
    const TMailEnvironment mail = Environment();
    TQueueEnvironment environment;
    environment.folders = folders;
    environment.hostName = mail.hostName;
    environment.now = [this] { return clock; };
    environment.openDirectory = mail.openDirectory;
    environment.documents = &documents;
    environment.relayList = &relay;
    environment.maillistMaxDepth = maxDepth;
    environment.relayMinutes = 30;
    return environment;
  }

  std::string Queue(const std::string& sender, const std::vector<std::string>& recipients,
                    const std::string& subject = "hello") {
    std::string lines;
    for (const std::string& r : recipients) lines += r + "\r\n";
    return QueueMessageText(folders, "client.example", sender, lines, "",
                            "Subject: " + subject + "\r\nFrom: <" + sender + ">\r\nTo: <x@local.test>\r\n\r\nbody\r\n.\r\n..\r\n.x\r\n",
                            0);
  }

  std::map<int, int> Deliveries() {
    std::map<int, int> count;
    for (const testing::TFakeMailboxRow& row : directory.mailbox) ++count[row.accountNo];
    return count;
  }
  std::vector<std::string> MailboxFilesOf(int accountNo) {
    std::vector<std::string> files;
    for (const testing::TFakeMailboxRow& row : directory.mailbox) {
      if (row.accountNo == accountNo) files.push_back(FileBytes(folders.MailFileName(row.id)));
    }
    return files;
  }
  // Documents of the messages themselves, bounces left out.
  int OriginalDocuments() {
    return static_cast<int>(std::count_if(documents.rows.begin(), documents.rows.end(), [](const TDocumentRow& row) {
      return row.description.rfind("Undeliverable mail:", 0) != 0;
    }));
  }
  std::vector<std::string> RelayAddresses() {
    std::vector<std::string> addresses;
    for (const TQueueRec& entry : relay.Snapshot()) addresses.push_back(entry.user + "@" + entry.domain);
    return addresses;
  }
  // What a relay task would report for every entry waiting now.
  void RelayAll(uint8_t state) {
    TRelayBatch batch;
    while (relay.TakeRelayBatch("", batch, clock, 5)) {
      for (const TRelayBatchItem& item : batch) relay.Report(item, state);
    }
  }
  std::string Log() { return FileBytes(temp.Path() + "mail.log"); }
  bool QueueEmpty() { return FilesIn(folders.queue).empty() && FilesIn(folders.queue + "state/").empty(); }

  TRecordingStore documents;
  TRelayList relay;
  platform::TDateTime clock = platform::EncodeDate(2026, 12, 9) + 0.5;
};

// ---- the accounting table ----

struct TQueueCase {
  const char* name;
  std::string sender;
  std::vector<std::string> recipients;
  int maxDepth;
  std::map<int, int> deliveries;  // account -> mailbox files, bounces to carol included
  int originalDocuments;          // 1 unless every recipient bounced
  std::vector<std::string> relayed;
  const char* logged;             // a text the round logs ("" for none to check)
};

void PrintTo(const TQueueCase& c, std::ostream* os) { *os << c.name; }

class QueueAccounting : public QueueProcessing, public ::testing::WithParamInterface<TQueueCase> {};

TEST_P(QueueAccounting, EveryRecipientIsServedOnceAndTheQueueEmpties) {
  const TQueueCase& c = GetParam();
  const std::string name = Queue(c.sender, c.recipients);
  TQueueSystem system(QueueEnvironment(c.maxDepth));
  EXPECT_EQ(system.ProcessQueue(), static_cast<int>(c.relayed.size()));
  EXPECT_EQ(RelayAddresses(), c.relayed);
  if (!c.relayed.empty()) {
    // The file waits for its relayed recipients; then they are delivered.
    EXPECT_EQ(FilesIn(folders.queue), std::vector<std::string>{name});
    RelayAll(rsDelivered);
    EXPECT_EQ(system.ProcessQueue(), 0);
  }
  EXPECT_EQ(Deliveries(), c.deliveries);
  EXPECT_EQ(OriginalDocuments(), c.originalDocuments);
  EXPECT_TRUE(QueueEmpty()) << ::testing::PrintToString(FilesIn(folders.queue));
  EXPECT_EQ(system.OpenFileCount(), 0u);
  EXPECT_EQ(system.DeferredCount(), 0u);
  EXPECT_TRUE(system.KnownNames().empty());
  if (*c.logged != '\0') {
    EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
  }
  // Another round finds nothing to do again.
  EXPECT_EQ(system.ProcessQueue(), 0);
  EXPECT_EQ(Deliveries(), c.deliveries);
}

const std::string kCarolAddress = "carol@local.test";

INSTANTIATE_TEST_SUITE_P(
    Cases, QueueAccounting,
    ::testing::Values(
        TQueueCase{"TwoLocal", kCarolAddress, {"alice@local.test", "BOB@Local.Test"}, 1, {{kAlice, 1}, {kBob, 1}}, 1,
                   {}, ""},
        TQueueCase{"OneOfTwoBounced", kCarolAddress, {"alice@local.test", "nobody@local.test"}, 1,
                   {{kAlice, 1}, {kCarol, 1}}, 1, {}, ""},
        TQueueCase{"AllBounced", kCarolAddress, {"nobody@local.test", "sleeper@local.test"}, 1, {{kCarol, 2}}, 0, {},
                   ""},
        TQueueCase{"AllBouncedNullSender", "", {"nobody@local.test"}, 1, {}, 0, {},
                   "Bounce mail to alias nobody on domain local.test failed due to emtpy reversepath"},
        TQueueCase{"NestedListDepthOne", kCarolAddress, {"team@local.test"}, 1, {{kAlice, 1}, {kBob, 1}}, 1, {},
                   "Mail to alias deep on domain local.test exceeded maillist max level"},
        TQueueCase{"NestedListDepthZero", kCarolAddress, {"team@local.test"}, 0, {{kAlice, 1}}, 1, {},
                   "Mail to alias inner on domain local.test exceeded maillist max level"},
        TQueueCase{"NestedListDepthTwo", kCarolAddress, {"team@local.test"}, 2,
                   {{kAlice, 1}, {kBob, 1}, {kCarol, 1}}, 1, {}, ""},
        TQueueCase{"UnknownAliasPostmasterCopyAndBounce", kCarolAddress, {"ghost@pm.test"}, 1,
                   {{kPostmaster, 1}, {kCarol, 1}}, 1, {}, ""},
        TQueueCase{"UnknownAliasIgnored", kCarolAddress, {"ghost@ign.test"}, 1, {}, 1, {},
                   "Mail to unknown alias ghost on domain ign.test ignored due to possible setup problem"},
        TQueueCase{"PostmasterCopyIsNeverCopied", kCarolAddress, {"ghost@loop.test"}, 1, {}, 1, {},
                   "Mail to unknown alias postmaster on domain loop.test ignored"},
        TQueueCase{"RemoteToRelayList", kCarolAddress, {"x@remote.example"}, 1, {}, 1, {"x@remote.example"}, ""},
        TQueueCase{"LocalAndRemote", kCarolAddress, {"x@remote.example", "alice@local.test"}, 1, {{kAlice, 1}}, 1,
                   {"x@remote.example"}, ""},
        TQueueCase{"ListMemberRemote", kCarolAddress, {"outside@local.test"}, 1, {}, 1, {"far@remote.example"}, ""},
        TQueueCase{"NoDomainBounces", kCarolAddress, {"alice@"}, 1, {{kCarol, 1}}, 0, {}, ""}),
    [](const ::testing::TestParamInfo<TQueueCase>& info) { return std::string(info.param.name); });

// ---- entries, copies and counts ----

TEST_F(QueueProcessing, ListCopiesKeepTheFileUntilTheyAreDone) {
  // Expansion makes copies that go to the relay list: the file must stay until they are
  // relayed, and is archived once when the last of them is.
  directory.AddListMember(1, "outside", "near", "other.example");
  const std::string name = Queue(kCarolAddress, {"outside@local.test", "alice@local.test"});
  TQueueSystem system(QueueEnvironment());
  EXPECT_EQ(system.ProcessQueue(), 2);
  EXPECT_EQ(FilesIn(folders.queue), std::vector<std::string>{name});
  EXPECT_TRUE(documents.rows.empty());
  TRelayBatch batch;
  ASSERT_TRUE(relay.TakeRelayBatch("remote.example", batch, clock, 5));
  relay.Report(batch[0], rsDelivered);
  EXPECT_EQ(system.ProcessQueue(), 1);
  EXPECT_EQ(FilesIn(folders.queue), std::vector<std::string>{name});
  EXPECT_TRUE(documents.rows.empty());
  RelayAll(rsDelivered);
  EXPECT_EQ(system.ProcessQueue(), 0);
  EXPECT_EQ(documents.rows.size(), 1u);
  EXPECT_TRUE(QueueEmpty());
}

TEST_F(QueueProcessing, RelayFailuresBounceToTheSender) {
  Queue(kCarolAddress, {"x@remote.example", "y@hard.example"});
  TQueueSystem system(QueueEnvironment());
  ASSERT_EQ(system.ProcessQueue(), 2);
  // A hard reject bounces at once.
  TRelayBatch batch;
  ASSERT_TRUE(relay.TakeRelayBatch("hard.example", batch, clock, 5));
  relay.Report(batch[0], rsPermanentFailure);
  EXPECT_EQ(system.ProcessQueue(), 1);
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kCarol, 1}}));
  // Five retries: the sixth temporary failure bounces; none before it.
  for (int attempt = 1; attempt <= 6; ++attempt) {
    ASSERT_TRUE(relay.TakeRelayBatch("", batch, clock, 5)) << attempt;
    relay.Report(batch[0], rsTemporaryFailure);
    EXPECT_EQ(system.ProcessQueue(), attempt < 6 ? 1 : 0) << attempt;
    // Not due again before RelayMin minutes have passed.
    EXPECT_FALSE(relay.TakeRelayBatch("", batch, clock, 5));
    clock += RelayMinutes(31);
  }
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kCarol, 2}}));
  EXPECT_EQ(OriginalDocuments(), 0);
  EXPECT_TRUE(QueueEmpty());
}

TEST_F(QueueProcessing, BounceIsAWellFormedMessageWithTheOriginalAttached) {
  const std::string name = Queue(kCarolAddress, {"nobody@local.test"}, "quarterly report");
  TQueueSystem system(QueueEnvironment());
  system.ProcessQueue();
  const std::vector<std::string> bounces = MailboxFilesOf(kCarol);
  ASSERT_EQ(bounces.size(), 1u);
  const std::string& bounce = bounces[0];
  // The mailbox file is the Return-Path line and the queued bounce; no end-of-data line.
  EXPECT_EQ(bounce.rfind("Return-Path: <>\r\n", 0), 0u);
  ASSERT_GE(bounce.size(), 5u);
  EXPECT_NE(bounce.substr(bounce.size() - 5), "\r\n.\r\n");
  EXPECT_NE(bounce.substr(bounce.size() - 3), ".\r\n");

  const std::vector<std::string> parsed = testing::RunPythonOracle(R"PY(
import email, email.policy
def oracle(records):
    m = email.message_from_bytes(records[0], policy=email.policy.compat32)
    out = [m['Subject'].encode(), m['To'].encode(), m['From'].encode(), str(m.is_multipart()).encode()]
    body = b''
    attached = b''
    for part in m.walk():
        if part.get_content_type() == 'message/rfc822':
            inner = part.get_payload(0)
            attached = (inner['Subject'] + '|' + inner.get_payload()).encode()
        elif part.get_content_type() == 'text/plain' and not body:
            body = part.get_payload(decode=True)
    return out + [body, attached]
)PY",
                                                                   {bounce.substr(bounce.find("\r\n") + 2)});
  ASSERT_EQ(parsed.size(), 6u);
  EXPECT_EQ(parsed[0], "Undeliverable mail: quarterly report");
  EXPECT_EQ(parsed[1], kCarolAddress);
  EXPECT_EQ(parsed[2], "<postmaster@local.test>");
  EXPECT_EQ(parsed[3], "True");
  EXPECT_NE(parsed[4].find("<nobody@local.test>"), std::string::npos) << parsed[4];
  EXPECT_EQ(parsed[5].rfind("quarterly report|body\r\n.\r\n..\r\n.x\r\n", 0), 0u) << parsed[5];
}

TEST_F(QueueProcessing, BounceToRemoteSenderIsQueuedWithANullSender) {
  Queue("someone@remote.example", {"nobody@local.test"});
  TQueueSystem system(QueueEnvironment());
  EXPECT_EQ(system.ProcessQueue(), 1);
  const std::vector<std::string> queued = FilesIn(folders.queue);
  ASSERT_EQ(queued.size(), 1u);
  TEnvelope envelope;
  ASSERT_EQ(ReadEnvelope(folders, queued[0], envelope), TEnvelopeStatus::Ok);
  EXPECT_EQ(envelope.helo, "mx.test");
  EXPECT_EQ(envelope.reversePath, "");
  EXPECT_EQ(envelope.recipients, std::vector<std::string>{"someone@remote.example"});
  const std::string message = ReadQueueMessage(folders, queued[0]);
  EXPECT_NE(message.substr(message.size() - 5), "\r\n.\r\n");
  // Relaying it sends exactly one end-of-data line.
  core::TTCPBuffer wire;
  ASSERT_TRUE(SendQueueFile(folders, queued[0], wire));
  const std::string sent = wire.GetText();
  EXPECT_EQ(sent.substr(sent.size() - 5), "\r\n.\r\n");
  EXPECT_NE(sent.substr(sent.size() - 8, 3), "\r\n.");
  // Its rejection is dropped with a log line, not bounced again.
  RelayAll(rsPermanentFailure);
  EXPECT_EQ(system.ProcessQueue(), 0);
  EXPECT_TRUE(QueueEmpty());
  EXPECT_NE(Log().find("Bounce mail to alias someone on domain remote.example failed due to emtpy reversepath"),
            std::string::npos);
}

// ---- failures: nothing lost, nothing repeated ----

TEST_F(QueueProcessing, FailedMailboxWriteIsRetriedForThatRecipientOnly) {
  Queue(kCarolAddress, {"alice@local.test", "bob@local.test"});
  TQueueSystem system(QueueEnvironment());
  directory.failMailbox = true;
  system.ProcessQueue();
  EXPECT_TRUE(directory.mailbox.empty());
  EXPECT_EQ(system.DeferredCount(), 2u);
  // No mailbox file without its row.
  EXPECT_TRUE(FilesIn(folders.mail).empty());
  EXPECT_NE(Log().find("Failed to write to mailbox on account[1]"), std::string::npos);
  directory.failMailbox = false;
  system.ProcessQueue();
  system.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}, {kBob, 1}}));
  EXPECT_EQ(documents.rows.size(), 1u);
  EXPECT_TRUE(QueueEmpty());
}

// Fails the mailbox row of one account only.
class TFailingAccountDirectory : public testing::TFakeDirectory {
 public:
  TFailingAccountDirectory(testing::TFakeDirectoryData& data, const int& failing)
      : TFakeDirectory(data), failing_(failing) {}
  int AddMessage(int accountNo, const resources::TMailDropRec& rec) override {
    if (accountNo == failing_) throw EQueueFile("mailbox table failed");
    return TFakeDirectory::AddMessage(accountNo, rec);
  }

 private:
  const int& failing_;
};

TEST_F(QueueProcessing, RestartServesOnlyTheRecipientsStillOpen) {
  int failing = kBob;
  const std::string name = Queue(kCarolAddress, {"alice@local.test", "bob@local.test", "team@local.test"});
  TQueueEnvironment environment = QueueEnvironment();
  environment.openDirectory = [&] {
    return std::unique_ptr<TMailDirectory>(std::make_unique<TFailingAccountDirectory>(directory, failing));
  };
  {
    TQueueSystem first(environment);
    first.ProcessQueue();
    // alice twice (directly and through team); bob's two entries wait.
    EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 2}}));
    EXPECT_FALSE(FilesIn(folders.queue + "state/").empty());
  }
  // A new start takes the file up again and serves only bob.
  failing = 0;
  TQueueSystem second(environment);
  second.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 2}, {kBob, 2}}));
  EXPECT_EQ(documents.rows.size(), 1u);
  EXPECT_EQ(documents.rows[0].extfileref, name);
  EXPECT_TRUE(QueueEmpty());
}

TEST_F(QueueProcessing, FailedArchiveIsRetriedWithoutRedelivery) {
  Queue(kCarolAddress, {"alice@local.test"});
  documents.fail = true;
  {
    TQueueSystem system(QueueEnvironment());
    system.ProcessQueue();
    system.ProcessQueue();
    EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}}));
    EXPECT_EQ(FilesIn(folders.queue).size(), 1u);
    EXPECT_NE(Log().find("could not be archived"), std::string::npos);
  }
  // Also across a restart: the state says alice is served.
  TQueueSystem system(QueueEnvironment());
  system.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}}));
  documents.fail = false;
  system.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}}));
  EXPECT_EQ(documents.rows.size(), 1u);
  EXPECT_TRUE(QueueEmpty());
}

TEST_F(QueueProcessing, QueueFileRemovedBehindTheQueueIsNotRetriedForever) {
  const std::string name = Queue(kCarolAddress, {"alice@local.test", "bob@local.test"});
  TQueueSystem system(QueueEnvironment());
  directory.failMailbox = true;
  system.ProcessQueue();
  EXPECT_EQ(system.DeferredCount(), 2u);
  ASSERT_EQ(::unlink(folders.QueueFileName(name).c_str()), 0);
  system.ProcessQueue();
  EXPECT_EQ(system.DeferredCount(), 0u);
  EXPECT_EQ(system.OpenFileCount(), 0u);
  EXPECT_TRUE(system.KnownNames().empty());
  EXPECT_TRUE(documents.rows.empty());
  EXPECT_TRUE(QueueEmpty());
  EXPECT_NE(Log().find("vanished"), std::string::npos);
}

TEST_F(QueueProcessing, BadAndEmptyQueueFilesDoNotStopTheRound) {
  testing::WriteFileBytes(folders.QueueFileName("garbage"), std::string("\xff\xff\xff\x7f", 4) + "x");
  const std::string empty = QueueMessageText(folders, "h", "s@x", "", "", "Subject: none\r\n\r\n", 0);
  Queue(kCarolAddress, {"alice@local.test"});
  TQueueSystem system(QueueEnvironment());
  system.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}}));
  EXPECT_EQ(FilesIn(folders.BadQueueFolder()), std::vector<std::string>{"garbage"});
  // A file without recipients is kept and left alone.
  EXPECT_EQ(FilesIn(folders.queue), std::vector<std::string>{empty});
  system.ProcessQueue();
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}}));
}

TEST_F(QueueProcessing, CollectedMessageGoesStraightToItsAccount) {
  core::TTCPBuffer fetched;
  fetched.AddText("Subject: collected\r\n\r\n..dot\r\n.\r\n");
  QueueMessageFromBuffer(folders, "pop.remote.example", "", "", fetched, kBob);
  TQueueSystem system(QueueEnvironment());
  EXPECT_EQ(system.ProcessQueue(), 0);
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kBob, 1}}));
  const std::vector<std::string> files = MailboxFilesOf(kBob);
  ASSERT_EQ(files.size(), 1u);
  // Unstuffed, after the Return-Path and Received lines.
  EXPECT_EQ(files[0].rfind("Return-Path: <>\r\nRecieved: from pop.remote.example", 0), 0u) << files[0];
  EXPECT_EQ(files[0].substr(files[0].find("Subject:")), "Subject: collected\r\n\r\n.dot");
  EXPECT_EQ(documents.rows.size(), 1u);
  EXPECT_TRUE(QueueEmpty());
}

// ---- random rounds against a model ----

// Whatever fails and however often the system restarts between rounds, once the failures stop
// every recipient has been served exactly once, every file is archived once unless all of its
// recipients bounced, and the queue folder is empty.
TEST_F(QueueProcessing, RandomFailuresAndRestartsAgainstAModel) {
  struct TKind {
    std::string address;
    std::map<int, int> deliveries;  // bounces to carol included
    bool bounces;      // a bounce goes to carol (and is archived)
    bool servesNobody; // every entry it makes bounces
  };
  const std::vector<TKind> kinds = {
      {"alice@local.test", {{kAlice, 1}}, false, false},
      {"bob@local.test", {{kBob, 1}}, false, false},
      {"team@local.test", {{kAlice, 1}, {kBob, 1}}, false, false},
      {"nobody@local.test", {{kCarol, 1}}, true, true},
      {"ghost@pm.test", {{kPostmaster, 1}, {kCarol, 1}}, true, false},  // the postmaster got it
      {"ghost@ign.test", {}, false, false},
      {"x@remote.example", {}, false, false},
      {"outside@local.test", {}, false, false},
  };
  std::mt19937 random(20261209);
  for (int run = 0; run < 25; ++run) {
    SCOPED_TRACE(run);
    folders = MailFoldersBelow(temp.Path() + "run" + std::to_string(run));
    directory.mailbox.clear();
    documents.rows.clear();
    documents.fail = false;
    relay.Clear();

    std::map<int, int> expected;
    int expectedDocuments = 0;
    const int fileCount = 1 + static_cast<int>(random() % 4);
    for (int f = 0; f < fileCount; ++f) {
      std::vector<std::string> recipients;
      bool allBounce = true;
      const int count = 1 + static_cast<int>(random() % 4);
      for (int r = 0; r < count; ++r) {
        const TKind& kind = kinds[random() % kinds.size()];
        recipients.push_back(kind.address);
        for (const auto& [account, n] : kind.deliveries) expected[account] += n;
        if (kind.bounces) ++expectedDocuments;  // each bounce is archived when carol gets it
        allBounce = allBounce && kind.servesNobody;
      }
      if (!allBounce) ++expectedDocuments;
      Queue(kCarolAddress, recipients);
    }

    int failing = 0;
    TQueueEnvironment environment = QueueEnvironment();
    environment.openDirectory = [&] {
      return std::unique_ptr<TMailDirectory>(std::make_unique<TFailingAccountDirectory>(directory, failing));
    };
    auto system = std::make_unique<TQueueSystem>(environment);
    const int noisyRounds = 2 + static_cast<int>(random() % 6);
    for (int round = 0; round < noisyRounds + 3; ++round) {
      const bool noisy = round < noisyRounds;
      const int accounts[] = {0, kAlice, kBob, kCarol, kPostmaster};
      failing = noisy ? accounts[random() % 5] : 0;
      documents.fail = noisy && random() % 3 == 0;
      if (noisy && random() % 3 == 0) system = std::make_unique<TQueueSystem>(environment);
      system->ProcessQueue();
      if (!noisy || random() % 2 == 0) RelayAll(rsDelivered);
    }
    system->ProcessQueue();
    EXPECT_EQ(Deliveries(), expected);
    EXPECT_EQ(static_cast<int>(documents.rows.size()), expectedDocuments);
    EXPECT_TRUE(QueueEmpty()) << ::testing::PrintToString(FilesIn(folders.queue));
    EXPECT_EQ(relay.Count(), 0);
  }
}

// ---- the road of a message: SMTP in, queue, mailbox or relay list ----

TEST_F(QueueProcessing, OnlyRecipientsAcceptedForRelayReachTheRelayList) {
  const std::string body = "Subject: road\r\n\r\n.\r\n..\r\n.x\r\nend";
  struct TPeer {
    const char* address;
    std::vector<std::string> relayed;
  };
  for (const TPeer& peer : {TPeer{"203.0.113.5", {}}, TPeer{"127.0.0.2", {"x@remote.example"}}}) {
    SCOPED_TRACE(peer.address);
    directory.mailbox.clear();
    TSMTPServer server(Environment());
    server.ConnectionInfo().peerAddress = peer.address;
    testing::Exchange(server, "");
    testing::Exchange(server, "helo client.example\r\nmail from:<s@remote.example>\r\n");
    const std::string remote = testing::Exchange(server, "rcpt to:<x@remote.example>\r\n");
    EXPECT_EQ(remote.substr(0, 3), peer.relayed.empty() ? "550" : "250");
    EXPECT_EQ(testing::Exchange(server, "rcpt to:<alice@local.test>\r\n").substr(0, 3), "250");
    testing::Exchange(server, "data\r\n");
    // Stuffed on the wire: ".", "..", ".x" arrive as "..", "...", "..x".
    EXPECT_EQ(testing::Exchange(server, "Subject: road\r\n\r\n..\r\n...\r\n..x\r\nend\r\n.\r\n").substr(0, 3),
              "250");
    TQueueSystem system(QueueEnvironment());
    EXPECT_EQ(system.ProcessQueue(), static_cast<int>(peer.relayed.size()));
    EXPECT_EQ(RelayAddresses(), peer.relayed);
    const std::vector<std::string> files = MailboxFilesOf(kAlice);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].rfind("Return-Path: <s@remote.example>\r\nRecieved: from client.example by mx.test", 0), 0u)
        << files[0];
    EXPECT_EQ(files[0].substr(files[0].find("Subject:")), body);
    RelayAll(rsDelivered);
    system.ProcessQueue();
    EXPECT_TRUE(QueueEmpty());
  }
  EXPECT_EQ(documents.rows.size(), 2u);
}

// ---- the daemon ----

TEST_F(QueueProcessing, DaemonStartsARelayTaskOnlyWhenAnEntryIsDue) {
  std::atomic<int> running{0};
  int started = 0;
  TQueueDaemonEnvironment environment;
  environment.queue = QueueEnvironment();
  environment.runningRelayTasks = &running;
  environment.startRelayTask = [&](core::TDaemon&) { ++started; };
  TQueueDaemon daemon(environment);
  EXPECT_FALSE(daemon.TouchOnRun());
  EXPECT_FALSE(daemon.MayExpire());

  EXPECT_TRUE(daemon.Round());
  EXPECT_EQ(started, 0);  // nothing queued
  Queue(kCarolAddress, {"x@remote.example"});
  EXPECT_TRUE(daemon.Round());
  EXPECT_EQ(started, 1);
  // The entry is in progress, then waits for its retry: no task for it.
  TRelayBatch batch;
  ASSERT_TRUE(relay.TakeRelayBatch("", batch, clock, 5));
  EXPECT_TRUE(daemon.Round());
  relay.Report(batch[0], rsTemporaryFailure);
  EXPECT_TRUE(daemon.Round());
  EXPECT_EQ(started, 1);
  clock += RelayMinutes(31);
  EXPECT_TRUE(daemon.Round());
  EXPECT_EQ(started, 2);
}

// The daemon's thread as the test drives it: a round when the daemon was woken (by a task's
// end, or by its own sleep reaching the due time), otherwise after its 5-minute interval. The
// peer soft-rejects every attempt, so RelayRetries 2 gives three attempts, RelayMin apart, then
// a bounce to the sender.
TEST_F(QueueProcessing, DaemonSleepsUntilARetryIsDueAndNoLonger) {
  const platform::TDateTime kDayMs = 86400000.0;
  const platform::TDateTime interval = kQueueDaemonIntervalMinutes * 60000 / kDayMs;
  for (const int relayMin : {30, 3, 0}) {
    SCOPED_TRACE("RelayMin " + std::to_string(relayMin));
    directory.mailbox.clear();
    std::atomic<int> running{0};
    std::vector<platform::TDateTime> attempts;
    std::vector<uint32_t> sleeps;
    bool woken = false;
    TQueueDaemonEnvironment environment;
    environment.queue = QueueEnvironment();
    environment.queue.relayMinutes = relayMin;
    environment.runningRelayTasks = &running;
    environment.startRelayTask = [&](core::TDaemon&) {
      attempts.push_back(clock);
      TRelayBatch batch;
      while (relay.TakeRelayBatch("", batch, clock, 2)) {
        for (const TRelayBatchItem& item : batch) relay.Report(item, rsTemporaryFailure);
      }
      woken = true;  // the task's end
    };
    environment.sleep = [&](uint32_t ms) {
      sleeps.push_back(ms);
      clock += ms / kDayMs;
      woken = true;  // slept until due, not woken earlier
    };
    TQueueDaemon daemon(environment);
    Queue(kCarolAddress, {"x@remote.example"});
    const platform::TDateTime start = clock;
    int rounds = 0;
    do {
      woken = false;
      daemon.Round();
      ++rounds;
      if (!woken) clock += interval;
    } while (relay.Count() > 0 && rounds < 500);

    ASSERT_EQ(attempts.size(), 3u);
    EXPECT_EQ(attempts[0], start);
    for (size_t i = 1; i < attempts.size(); ++i) {
      // Each retry starts when it is due: not before, and not later than the sleep's rounding.
      const platform::TDateTime due = attempts[i - 1] + RelayMinutes(relayMin);
      EXPECT_GE(attempts[i], due) << i;
      EXPECT_LE((attempts[i] - due) * kDayMs, 1.0) << i;
    }
    for (uint32_t ms : sleeps) {
      EXPECT_GT(ms, 0u);
      EXPECT_LT(ms, kQueueDaemonIntervalMinutes * 60000u);
    }
    // No spinning: per attempt a round to start it, one after its end, and the interval rounds
    // of the wait (RelayMin / 5 of them) with at most one sleep.
    EXPECT_LE(rounds, 3 * (3 + relayMin / kQueueDaemonIntervalMinutes)) << rounds;
    if (relayMin == 0) {
      EXPECT_TRUE(sleeps.empty());
    }
    EXPECT_EQ(Deliveries(), (std::map<int, int>{{kCarol, 1}}));  // the bounce
    EXPECT_TRUE(QueueEmpty());
  }
}

TEST_F(QueueProcessing, DaemonSleepEndsWhenWokenAndLeavesTheNextRoundDue) {
  std::atomic<int> running{0};
  TQueueDaemonEnvironment environment;
  environment.queue = QueueEnvironment();
  environment.queue.relayMinutes = 3;
  environment.runningRelayTasks = &running;
  environment.startRelayTask = [&](core::TDaemon&) {
    TRelayBatch batch;
    while (relay.TakeRelayBatch("", batch, clock, 5)) {
      for (const TRelayBatchItem& item : batch) relay.Report(item, rsTemporaryFailure);
    }
  };
  platform::TEvent wake;
  TQueueDaemon daemon(environment);
  daemon.SetWakeEvent(&wake);
  Queue(kCarolAddress, {"x@remote.example"});
  daemon.Round();  // the first attempt, soft-rejected
  // The retry is three minutes away: a wake (a new message, the stop) ends the sleep at once
  // and stays set for the daemon's thread.
  wake.SetEvent();
  daemon.Round();
  EXPECT_TRUE(wake.IsSet());
  const std::vector<TQueueRec> waiting = relay.Snapshot();
  ASSERT_EQ(waiting.size(), 1u);
  ASSERT_EQ(waiting[0].relayState, rsWaiting);
  // One millisecond before the retry: the sleep runs out and sets the event itself.
  wake.ResetEvent();
  clock = waiting[0].nextAttempt - 1 / 86400000.0;
  daemon.Round();
  EXPECT_TRUE(wake.IsSet());
  // While a relay task runs, the daemon does not sleep: the task's end wakes it.
  wake.ResetEvent();
  running = 1;
  clock = waiting[0].nextAttempt - 1 / 86400000.0;
  daemon.Round();
  EXPECT_FALSE(wake.IsSet());
  running = 0;
}

TEST(RelayDueWait, MillisecondsUntilTheEarliestWaitingEntryWithinTheInterval) {
  const platform::TDateTime now = 46000.5;
  struct TCase {
    const char* name;
    std::vector<double> retryMinutes;  // one waiting entry each; < 0: in progress
    uint32_t expected;
  } cases[] = {
      {"nothing waits", {}, 0},
      {"in progress only", {-1}, 0},
      {"due now", {0}, 0},
      {"one minute", {1}, 59962},  // 0.000694 day, rounded up
      {"earliest of two", {4, 2}, 119924},
      {"five minutes still within the interval", {5}, 299808},
      {"six minutes: the interval comes first", {6}, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TDataRec file{"f"};
    TRelayList list;
    for (double minutes : c.retryMinutes) {
      auto entry = std::make_unique<TQueueRec>();
      entry->user = "u";
      entry->domain = "d.test";
      entry->queueFile = &file;
      list.Add(std::move(entry));
      TRelayBatch batch;
      ASSERT_TRUE(list.TakeRelayBatch("", batch, now, 5));
      if (minutes < 0) continue;
      list.Report(batch[0], rsTemporaryFailure);
      TQueueRecs released, bounced;
      list.Update(now + minutes * core::TTimedServer::kMinute, 0, released, bounced);  // due then
    }
    // Up to a millisecond of rounding: the sleep never ends before the due time.
    EXPECT_NEAR(RelayDueWait(list, now), c.expected, 1.0);
  }
}

TEST(RelayMinSetting, AnExplicitZeroMeansAtOnceAndGarbageMeansTheDefault) {
  struct TCase {
    const char* text;
    int expected;
  } cases[] = {{"0", 0}, {"00", 0}, {" 0", 0}, {"-0", 0}, {"7", 7}, {"-3", 0},
               {"", 30}, {"abc", 30}, {"+", 30}, {"0x", 30}, {"1.5", 30}};
  for (const TCase& c : cases) EXPECT_EQ(RelayMinSetting(c.text, 30), c.expected) << '"' << c.text << '"';
}

// ---- start-up ----

TEST_F(QueueProcessing, StartUpRemovesOrphanTemporaryFilesAndStaleStates) {
  const std::string kept = Queue(kCarolAddress, {"bob@local.test"});
  const std::string reused = Queue(kCarolAddress, {"alice@local.test"});
  for (const std::string& folder : {folders.queue, folders.mail, folders.document}) {
    EnsureFolder(folder + kTemporarySubfolder);
    testing::WriteFileBytes(folder + kTemporarySubfolder + "20261209120000ABCD", "half a file");
  }
  EnsureFolder(folders.queue + "state/");
  testing::WriteFileBytes(folders.queue + "state/" + kept, "D 1:bob@local.test\n");
  // A crash after deleting a finished queue file, before deleting its state: a later file of
  // that name must not inherit it (alice would never get her message).
  const std::string aside = temp.Path() + "aside";
  ASSERT_EQ(::rename(folders.QueueFileName(reused).c_str(), aside.c_str()), 0);
  testing::WriteFileBytes(folders.queue + "state/" + reused, "D 1:alice@local.test\n");

  RecoverQueueFolder(folders);
  for (const std::string& folder : {folders.queue, folders.mail, folders.document}) {
    EXPECT_TRUE(FilesIn(folder + kTemporarySubfolder).empty()) << folder;
  }
  EXPECT_EQ(FilesIn(folders.queue + "state/"), std::vector<std::string>{kept});
  EXPECT_NE(Log().find("3 unfinished temporary files and 1 stale queue states removed"), std::string::npos) << Log();

  ASSERT_EQ(::rename(aside.c_str(), folders.QueueFileName(reused).c_str()), 0);
  TQueueSystem system(QueueEnvironment());
  system.ProcessQueue();
  // bob was served before the crash; alice is served now.
  EXPECT_EQ(Deliveries(), (std::map<int, int>{{kAlice, 1}}));
  EXPECT_TRUE(QueueEmpty());
}

}  // namespace
}  // namespace tovenmarsh::mail
