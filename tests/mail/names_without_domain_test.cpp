// Recipients named without a domain: <Postmaster> (in any case) is local, accepted from anyone
// and delivered to one postmaster even on a host of several companies; any other name is
// delivered here or bounced, never relayed.
#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "mail/store/document_archive.h"
#include "mail/store/queue_file.h"
#include "mail/queue/queue_system.h"
#include "mail/relay/relay_list.h"
#include "mail/smtpd/smtp_server.h"
#include "mail/smtpd/smtp_system.h"
#include "platform/date_time.h"
#include "support/dialogue.h"
#include "support/mail_fakes.h"
#include "support/smtp_dialogue.h"

namespace tovenmarsh::mail {
namespace {

using testing::kData;
using testing::kGreeting;
using testing::kHelo;
using testing::kOK;

class TRecordingDocuments : public TDocumentStore {
 public:
  void AddDocument(const TDocumentRow&) override { ++rows; }
  int rows = 0;
};

class NamesWithoutDomain : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    AddJoeAndPostmaster();
  }

  std::unique_ptr<TSMTPServer> NewServer(const std::string& peer) { return testing::NewSmtpServer(Environment(), peer); }
};

// RFC 5321 4.5.1: every SMTP server must accept RCPT TO:<Postmaster> (no domain) and deliver it
// to its postmaster. IsLocalAddress promises that an address without a domain counts as local,
// but SplitMailAddress("postmaster") yields the domain "postmaster", so the address counts as
// remote: a public client is answered "550 Relaying denied", and a trusted client's message is
// relayed to a host named "postmaster".
// Fault: RCPT TO:<postmaster> is refused from public clients (and relayed for trusted ones).
TEST_F(NamesWithoutDomain, PostmasterWithoutDomainIsLocal) {
  testing::TFakeDirectory lookups(directory);
  EXPECT_TRUE(TSMTPSystem::IsLocalAddress(lookups, "postmaster"));
  EXPECT_TRUE(TSMTPSystem::IsLocalAddress(lookups, "Postmaster"));
  auto server = NewServer("203.0.113.9");
  testing::RunDialogue(*server, {{"", kGreeting},
                                 {"HELO outside.example\r\n", kHelo},
                                 {"MAIL FROM:<someone@outside.example>\r\n", kOK},
                                 {"RCPT TO:<Postmaster>\r\n", kOK}});
}

// A name without a domain is never relayed: <Postmaster>, whatever its case, is accepted from
// anyone and delivered to the postmaster; any other name is refused at RCPT to a client that
// may not relay, and from one that may, it bounces to the sender (joe, 1).
TEST_F(NamesWithoutDomain, NameWithoutDomainIsDeliveredHereNotRelayed) {
  struct TCase {
    const char* peer;
    const char* recipient;
    int account;  // the account that receives a mailbox file
    bool bounce;  // that file is a bounce
  };
  const TCase cases[] = {
      {"203.0.113.9", "Postmaster", 2, false},
      {"127.0.0.1", "postmaster", 2, false},
      {"192.168.1.4", "POSTMASTER", 2, false},
      {"127.0.0.1", "nobody", 1, true},
      {"127.0.0.2", "joe", 1, true},
  };
  auto refused = NewServer("203.0.113.9");
  testing::RunDialogue(*refused, {{"", kGreeting},
                                  {"MAIL FROM:<joe@local.test>\r\n", kOK},
                                  {"RCPT TO:<joe>\r\n",
                                   "550 Requested action not taken, mailbox unavailable (no such recipient here)\r\n"}});
  for (const TCase& c : cases) {
    SCOPED_TRACE(std::string(c.peer) + " " + c.recipient);
    directory.mailbox.clear();
    auto server = NewServer(c.peer);
    testing::RunDialogue(*server, {{"", kGreeting},
                                   {"HELO client.example\r\n", kHelo},
                                   {"MAIL FROM:<joe@local.test>\r\n", kOK},
                                   {std::string("RCPT TO:<") + c.recipient + ">\r\n", kOK},
                                   {"DATA\r\n", kData},
                                   {"Subject: pm\r\n\r\nhello\r\n.\r\n", kOK}});
    TRelayList relay;
    TRecordingDocuments documents;
    const TMailEnvironment mail = Environment();
    TQueueEnvironment environment;
    environment.folders = folders;
    environment.hostName = mail.hostName;
    environment.now = [] { return platform::TDateTime(46000.5); };
    environment.openDirectory = mail.openDirectory;
    environment.documents = &documents;
    environment.relayList = &relay;
    TQueueSystem queue(environment);
    EXPECT_EQ(queue.ProcessQueue(), 0);
    EXPECT_TRUE(relay.Snapshot().empty());
    ASSERT_EQ(directory.mailbox.size(), 1u);
    EXPECT_EQ(directory.mailbox[0].accountNo, c.account);
    const std::string delivered = testing::FileBytes(folders.MailFileName(directory.mailbox[0].id));
    EXPECT_EQ(delivered.find("Subject: Undeliverable mail: pm") != std::string::npos, c.bounce) << delivered;
    EXPECT_TRUE(testing::FilesIn(folders.queue).empty());
  }
}

constexpr int kCarol = 3;  // the sender; a bounce to her lands in her mailbox
constexpr int kPostmasterA = 8;
constexpr int kPostmasterB = 9;

// Two companies of a multi-domain installation, each with its own postmaster.
class NamesWithoutDomainSeveralCompanies : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    directory.AddDomain("a.test", 1);
    directory.AddCompany(1, false, true);
    directory.AddDomain("b.test", 2);
    directory.AddCompany(2, false, true);
    for (int no : {kCarol, kPostmasterA, kPostmasterB}) directory.AddAccount(no, "user" + std::to_string(no), "pw");
    directory.AddAlias("carol", 1, "a.test", kCarol);
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

// RFC 5321 4.5.1: mail to <Postmaster> (no domain) must be accepted and delivered. With one
// "postmaster" alias per company it goes to that of the lowest company number that has one
// (not bounced because the name alone is ambiguous); one alias in all is used as it is; with
// none the message bounces to its sender.
TEST_F(NamesWithoutDomainSeveralCompanies, PostmasterWithoutDomainReachesOnePostmaster) {
  constexpr int kPostmasterC = 10;
  directory.AddDomain("c.test", 3);
  directory.AddCompany(3, false, true);
  directory.AddAccount(kPostmasterC, "user10", "pw");
  struct TCase {
    const char* name;
    std::vector<std::pair<int, int>> postmasters;  // company -> account
    std::map<int, int> expected;
  };
  const TCase cases[] = {
      {"one per company", {{2, kPostmasterB}, {1, kPostmasterA}}, {{kPostmasterA, 1}}},
      {"none in company 1", {{3, kPostmasterC}, {2, kPostmasterB}}, {{kPostmasterB, 1}}},
      {"exactly one", {{3, kPostmasterC}}, {{kPostmasterC, 1}}},
      {"none: bounced", {}, {{kCarol, 1}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    directory.mailbox.clear();
    auto& aliases = directory.aliases;
    aliases.erase(std::remove_if(aliases.begin(), aliases.end(),
                                 [](const resources::TAliasRec& a) { return a.name == "postmaster"; }),
                  aliases.end());
    const char* const domains[] = {"", "a.test", "b.test", "c.test"};
    for (const auto& [company, account] : c.postmasters) directory.AddAlias("postmaster", company, domains[company], account);
    TRecordingDocuments documents;
    TRelayList relay;
    Queue(folders, {"Postmaster"});
    TQueueSystem system(QueueEnvironment(folders, documents, relay));
    EXPECT_EQ(system.ProcessQueue(), 0);
    EXPECT_EQ(Deliveries(), c.expected);
    EXPECT_TRUE(testing::FilesIn(folders.queue).empty());
  }
}

}  // namespace
}  // namespace tovenmarsh::mail
