// The SMTP server as dialogues: tables of client read rounds and the exact replies, run against
// the protocol object without a network, with the queue folder checked afterwards.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/store/queue_file.h"
#include "mail/smtpd/smtp_server.h"
#include "mail/smtpd/smtp_system.h"
#include "support/dialogue.h"
#include "support/mail_fakes.h"
#include "support/smtp_dialogue.h"

namespace tovenmarsh::mail {
namespace {

using testing::TDialogueStep;

using testing::kData;
using testing::kGreeting;
using testing::kHelo;
using testing::kOK;
const std::string kBye = "221 mx.test service closing transmission channel\r\n";
const std::string kNotImplemented = "502 Command not implemented\r\n";
const std::string kSyntax = "501 Syntax error in parameters or arguments\r\n";
const std::string kBadSequenceMail = "503 Bad sequence of commands (MAIL first)\r\n";
const std::string kBadSequenceRcpt = "503 Bad sequence of commands (RCPT first)\r\n";
const std::string kUnavailable = "550 Requested action not taken, mailbox unavailable\r\n";
const std::string kRelayDenied = "550 Relaying denied: the domain of this recipient is not local\r\n";
const std::string kNoSuchRecipient = "550 Requested action not taken, mailbox unavailable (no such recipient here)\r\n";
const std::string kTooManyRecipients = "452 Too many recipients\r\n";
const std::string kNoStorage = "452 Requested action not taken, insufficient system storage\r\n";
const std::string kTooLong = "500 Syntax error, command unrecognized (line too long)\r\n";
const std::string kControl = "501 Syntax error in parameters or arguments (CR or NUL inside the command line)\r\n";
const std::string kExceeded = "552 Requested mail action aborted, exceeded storage allocation\r\n";

class SmtpServerTest : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    directory.AddCompany(1, false, true);
    directory.AddCompany(2, false, true);
    directory.AddDomain("local.test", 1);
    directory.AddDomain("other.test", 2);
    directory.AddAlias("joe", 1, "local.test", 1, "Joe Bloggs");
    directory.AddAlias("dup", 1, "local.test", 1);
    directory.AddAlias("dup", 2, "other.test", 2);
    directory.AddAlias("team", 1, "local.test", 0, "Team", true);
    directory.AddListMember(1, "team", "ann", "local.test", "Ann");
    directory.AddListMember(1, "team", "bob", "remote.example", "");
    directory.AddListMember(1, "team", "cy", "local.test", "Cy Young");
    directory.AddAlias("sleeper", 1, "local.test", 1);
    directory.aliases.back().active = false;
  }

  std::unique_ptr<TSMTPServer> NewServer(const std::string& peer = "127.0.0.1") {
    return testing::NewSmtpServer(Environment(), peer);
  }

  std::vector<std::string> QueueFiles() { return testing::FilesIn(folders.queue); }
};

struct TDialogueCase {
  const char* name;
  const char* peer;
  std::vector<TDialogueStep> steps;
  size_t queueFiles;  // queue files written by the dialogue
  bool ended;         // the last step ended the connection
};

TEST_F(SmtpServerTest, DialogueTable) {
  const std::vector<TDialogueCase> cases = {
      {"lower-case verbs as smtplib sends them, EHLO refused so the client falls back to HELO",
       "127.0.0.1",
       {{"", kGreeting},
        {"ehlo client.example\r\n", kNotImplemented},
        {"helo client.example\r\n", kHelo},
        {"mail FROM:<a@remote.example>\r\n", kOK},
        {"rcpt TO:<joe@local.test>\r\n", kOK},
        {"data\r\n", kData},
        {"Subject: x\r\n\r\nbody\r\n.\r\n", kOK},
        {"quit\r\n", kBye}},
       1, true},
      {"every verb in mixed case", "127.0.0.1",
       {{"", kGreeting},
        {"HeLo c\r\n", kHelo},
        {"NoOp\r\n", kOK},
        {"hElP\r\n", kOK},
        {"MaIl From:<a@b.example>\r\n", kOK},
        {"RcPt To:<joe@local.test>\r\n", kOK},
        {"rSeT\r\n", kOK},
        {"vrfy joe\r\n", "250 \"Joe Bloggs\" <joe@local.test>\r\n"},
        {"TuRn\r\n", kNotImplemented},
        {"Quit\r\n", kBye}},
       0, true},
      {"the null reverse path is accepted (bounces from other servers)", "203.0.113.9",
       {{"", kGreeting},
        {"HELO relay.example\r\n", kHelo},
        {"MAIL FROM:<>\r\n", kOK},
        {"RCPT TO:<joe@local.test>\r\n", kOK},
        {"DATA\r\n", kData},
        {"Subject: bounce\r\n\r\nsorry\r\n.\r\n", kOK}},
       1, false},
      {"open relay closed: a public client may only send to known local recipients", "203.0.113.9",
       {{"", kGreeting},
        {"HELO spam.example\r\n", kHelo},
        {"MAIL FROM:<x@spam.example>\r\n", kOK},
        {"RCPT TO:<victim@remote.example>\r\n", kRelayDenied},
        {"RCPT TO:<nobody@LOCAL.TEST>\r\n", kNoSuchRecipient},
        {"RCPT TO:<victim@local.test.remote.example>\r\n", kRelayDenied},
        {"RCPT TO:<joe@other.test>\r\n", kNoSuchRecipient},
        {"RCPT TO:<sleeper@local.test>\r\n", kNoSuchRecipient},
        {"RCPT TO:<nobody>\r\n", kNoSuchRecipient},
        {"RCPT TO:<JOE@local.test>\r\n", kOK},
        {"RCPT TO:<team@local.test>\r\n", kOK},
        {"RCPT TO:<dup@other.test>\r\n", kOK},
        {"RCPT TO:<PostMaster@other.test>\r\n", kOK},
        {"RCPT TO:<postmaster>\r\n", kOK}},
       0, false},
      {"a client of a private network is no relay client by default", "192.168.1.20",
       {{"", kGreeting},
        {"HELO lan\r\n", kHelo},
        {"MAIL FROM:<me@local.test>\r\n", kOK},
        {"RCPT TO:<friend@remote.example>\r\n", kRelayDenied},
        {"RCPT TO:<friend@local.test>\r\n", kNoSuchRecipient}},
       0, false},
      {"a loopback client may relay and name any local recipient (queue processing decides)", "127.0.0.9",
       {{"", kGreeting},
        {"HELO me\r\n", kHelo},
        {"MAIL FROM:<me@local.test>\r\n", kOK},
        {"RCPT TO:<friend@remote.example>\r\n", kOK},
        {"RCPT TO:<nobody@local.test>\r\n", kOK},
        {"DATA\r\n", kData},
        {"hi\r\n.\r\n", kOK}},
       1, false},
      {"sequence: RCPT and DATA need MAIL, DATA needs RCPT; nothing is queued", "127.0.0.1",
       {{"", kGreeting},
        {"DATA\r\n", kBadSequenceMail},
        {"RCPT TO:<joe@local.test>\r\n", kBadSequenceMail},
        {"MAIL FROM:<a@b.example>\r\n", kOK},
        {"DATA\r\n", kBadSequenceRcpt},
        {"RSET\r\n", kOK},
        {"DATA\r\n", kBadSequenceMail},
        {"QUIT\r\n", kBye}},
       0, true},
      {"a second message needs MAIL again; the helo domain survives RSET", "127.0.0.1",
       {{"", kGreeting},
        {"HELO c\r\n", kHelo},
        {"MAIL FROM:<a@b.example>\r\n", kOK},
        {"RCPT TO:<joe@local.test>\r\n", kOK},
        {"DATA\r\n", kData},
        {"one\r\n.\r\n", kOK},
        {"RCPT TO:<joe@local.test>\r\n", kBadSequenceMail},
        {"DATA\r\n", kBadSequenceMail},
        {"MAIL FROM:<a@b.example>\r\n", kOK},
        {"RCPT TO:<joe@local.test>\r\n", kOK},
        {"DATA\r\n", kData},
        {"two\r\n.\r\n", kOK}},
       2, false},
      {"syntax of arguments", "127.0.0.1",
       {{"", kGreeting},
        {"HELO\r\n", kSyntax},
        {"MAIL\r\n", kSyntax},
        {"MAIL TO:<a@b.example>\r\n", kSyntax},
        {"MAIL FROM:<a@b.example\r\n", kSyntax},
        {"MAIL FROM:<a b@c.example>\r\n", kSyntax},
        {"MAIL FROM:<" + std::string(300, 'a') + "@b.example>\r\n", kSyntax},
        {"MAIL FROM:a@b.example\r\n", kOK},
        {"RCPT TO:<>\r\n", kSyntax},
        {"RCPT\r\n", kSyntax},
        {"SEND FROM:<a@b.example>\r\n", kOK},
        {"SOML FROM:<a@b.example>\r\n", kOK},
        {"SAML FROM:<a@b.example> SIZE=100\r\n", kOK},
        {"VRFY\r\n", kSyntax},
        {"EXPN\r\n", kSyntax},
        {"ERR\r\n", kNotImplemented},
        {"\r\n", kNotImplemented}},
       0, false},
      {"one read round may hold several commands, and part of the next", "127.0.0.1",
       {{"", kGreeting},
        {"HELO c\r\nMAIL FROM:<a@b.example>\r\nRCPT TO:<joe@local.test>\r\nDA", kHelo + kOK + kOK},
        {"TA\r\nline one\r\n", kData},
        {"line two\r\n.", ""},
        {"\r", ""},
        {"\nNOOP\r\n", kOK + kOK}},
       1, false},
      {"forged envelope lines: a command is one line, never a read round", "127.0.0.1",
       {{"", kGreeting},
        {"HELO x\r\n7\r\n", kHelo + kNotImplemented},
        {"HELO x\ry\r\n", kControl},
        {std::string("HELO x\0y\r\n", 10), kControl},
        {"MAIL FROM:<a@b.example>\r\nRCPT TO:<joe@local.test>\rbad@x\r\n", kOK + kControl},
        {"RCPT TO:<joe@local.test>\r\nDATA\r\nx\r\n.\r\n", kOK + kData + kOK}},
       1, false},
      {"overlong command lines are refused and dropped up to their end", "127.0.0.1",
       {{"", kGreeting},
        {"NOOP " + std::string(2000, 'x'), kTooLong},
        {std::string(3000, 'y'), ""},
        {"zzz\r\nNOOP\r\n", kOK},
        {"NOOP " + std::string(1200, 'x') + "\r\nNOOP\r\n", kTooLong + kOK}},
       0, false},
      {"EXPN and VRFY", "127.0.0.1",
       {{"", kGreeting},
        {"EXPN team\r\n",
         "250-\"Ann\" <ann@local.test>\r\n250-<bob@remote.example>\r\n250 \"Cy Young\" <cy@local.test>\r\n"},
        {"EXPN joe\r\n", kUnavailable},
        {"VRFY dup\r\n", "553 Requested action not taken, mailbox name not allowed\r\n"},
        {"VRFY nobody\r\n", kUnavailable}},
       0, false},
  };
  for (const TDialogueCase& dialogue : cases) {
    SCOPED_TRACE(dialogue.name);
    const size_t before = QueueFiles().size();
    auto server = NewServer(dialogue.peer);
    EXPECT_EQ(testing::RunDialogue(*server, dialogue.steps), dialogue.ended);
    EXPECT_EQ(QueueFiles().size() - before, dialogue.queueFiles);
  }
  EXPECT_EQ(wakes.load(), 7);
}

TEST_F(SmtpServerTest, QueuedMessageKeepsEnvelopeAndUnstuffedBody) {
  auto server = NewServer();
  // Body lines ".", "..", ".x" arrive stuffed; a bare LF and ".\n" stay data (only CR LF "."
  // CR LF ends it) and are stored as CR LF, and the end-of-data line spans read rounds.
  testing::RunDialogue(
      *server, {{"", kGreeting},
                {"HELO client.example\r\nMAIL FROM:<>\r\nRCPT TO:<joe@local.test>\r\nRCPT TO:<Ann@LOCAL.test>\r\n",
                 kHelo + kOK + kOK + kOK},
                {"DATA\r\n", kData},
                {"Subject: dots\r\n\r\n..\r\n...\r\n..x\r\nbare\nlf\r\n.\nnot end\r\nlast\r", ""},
                {"\n.\r", ""},
                {"\n", kOK}});
  const std::string name = server->LastQueueFile();
  ASSERT_FALSE(name.empty());
  TEnvelope envelope;
  ASSERT_EQ(ReadEnvelope(folders, name, envelope), TEnvelopeStatus::Ok);
  EXPECT_EQ(envelope.helo, "client.example");
  EXPECT_EQ(envelope.reversePath, "");
  EXPECT_EQ(envelope.accountNo, 0);
  EXPECT_EQ(envelope.recipients, (std::vector<std::string>{"joe@local.test", "Ann@LOCAL.test"}));
  const std::string message = ReadQueueMessage(folders, name);
  const std::string received = "Recieved: from client.example by mx.test with SMTP; ";
  ASSERT_EQ(message.compare(0, received.size(), received), 0) << message;
  const size_t body = message.find("\r\n") + 2;
  EXPECT_EQ(message.substr(body), "Subject: dots\r\n\r\n.\r\n..\r\n.x\r\nbare\r\nlf\r\n\r\nnot end\r\nlast");
  EXPECT_TRUE(testing::FilesIn(folders.queue + "tmp/").empty());
}

TEST_F(SmtpServerTest, DataAboveTheBoundIsReadToItsEndAndRefused) {
  limits.messageSize = 100;
  auto server = NewServer();
  testing::RunDialogue(*server, {{"", kGreeting},
                                 {"MAIL FROM:<a@b.example>\r\nRCPT TO:<joe@local.test>\r\nDATA\r\n", kOK + kOK + kData},
                                 {std::string(60, 'a') + "\r\n", ""},
                                 {std::string(60, 'b') + "\r\n" + std::string(5000, 'c'), ""},
                                 {"\r\n.\r\n", kExceeded},
                                 {"RCPT TO:<joe@local.test>\r\n", kBadSequenceMail},
                                 {"MAIL FROM:<a@b.example>\r\nRCPT TO:<joe@local.test>\r\nDATA\r\n", kOK + kOK + kData},
                                 {std::string(97, 'd') + "\r\n.\r\n", kOK}});
  ASSERT_EQ(QueueFiles().size(), 1u);
  const std::string message = ReadQueueMessage(folders, QueueFiles()[0]);
  EXPECT_EQ(message.substr(message.find("\r\n") + 2), std::string(97, 'd'));
}

TEST_F(SmtpServerTest, RecipientsNamedTwiceGetOneCopyAndTheirCountIsBounded) {
  limits.recipients = 3;
  auto server = NewServer();
  testing::RunDialogue(*server, {{"", kGreeting},
                                 {"MAIL FROM:<a@b.example>\r\n", kOK},
                                 {"RCPT TO:<joe@local.test>\r\nRCPT TO:<JOE@Local.Test>\r\nRCPT TO:<joe@local.test>\r\n",
                                  kOK + kOK + kOK},
                                 {"RCPT TO:<ann@local.test>\r\nRCPT TO:<x@remote.example>\r\n", kOK + kOK},
                                 {"RCPT TO:<y@remote.example>\r\n", kTooManyRecipients},
                                 // One already named is no new recipient, even at the bound.
                                 {"RCPT TO:<Ann@local.test>\r\n", kOK},
                                 {"DATA\r\nx\r\n.\r\n", kData + kOK}});
  TEnvelope envelope;
  ASSERT_EQ(ReadEnvelope(folders, server->LastQueueFile(), envelope), TEnvelopeStatus::Ok);
  EXPECT_EQ(envelope.recipients, (std::vector<std::string>{"joe@local.test", "ann@local.test", "x@remote.example"}));
  // The next transaction starts with no recipients.
  EXPECT_EQ(testing::Exchange(*server, "MAIL FROM:<a@b.example>\r\nRCPT TO:<joe@local.test>\r\n"), kOK + kOK);
}

TEST_F(SmtpServerTest, ShortStorageAnswers452AndKeepsTheSession) {
  int64_t free = 1000;
  TMailEnvironment environment = Environment();
  environment.freeSpace = [&free] { return free; };
  auto server = testing::NewSmtpServer(environment, "127.0.0.1");
  const std::string envelope = "MAIL FROM:<a@b.example>\r\nRCPT TO:<joe@local.test>\r\nDATA\r\n";
  // Below the floor: refused at MAIL, so RCPT and DATA have no transaction.
  testing::RunDialogue(*server, {{"", kGreeting},
                                 {envelope, kNoStorage + kBadSequenceMail + kBadSequenceMail},
                                 {"NOOP\r\n", kOK}});
  // Room again at MAIL, gone at DATA: 452 there, and the transaction may try again.
  free = limits.minFreeSpace;
  EXPECT_EQ(testing::Exchange(*server, "MAIL FROM:<a@b.example>\r\nRCPT TO:<joe@local.test>\r\n"), kOK + kOK);
  free = limits.minFreeSpace - 1;
  EXPECT_EQ(testing::Exchange(*server, "DATA\r\n"), kNoStorage);
  free = -1;  // cannot be told: not refused for that
  EXPECT_EQ(testing::Exchange(*server, "DATA\r\n"), kData);
  // The queue folder becomes a plain file while the data comes: the file cannot be made.
  std::filesystem::remove_all(folders.queue);
  testing::WriteFileBytes(folders.queue.substr(0, folders.queue.size() - 1), "x");
  bool ended = false;
  EXPECT_EQ(testing::Exchange(*server, "body\r\n.\r\n", &ended), kNoStorage);
  EXPECT_FALSE(ended);
  EXPECT_EQ(testing::Exchange(*server, envelope), kOK + kOK + kNoStorage);
  EXPECT_EQ(wakes.load(), 0);
  // Storage back: the message is taken. The shortage was logged once when it began and once
  // when it ended, not for each refusal.
  std::filesystem::remove(folders.queue.substr(0, folders.queue.size() - 1));
  std::filesystem::create_directories(folders.queue);
  EXPECT_EQ(testing::Exchange(*server, "DATA\r\nbody\r\n.\r\n"), kData + kOK);
  EXPECT_EQ(wakes.load(), 1);
  const std::string log = testing::FileBytes(temp.Path() + "mail.log");
  size_t shortLines = 0;
  for (size_t at = log.find("short of storage"); at != std::string::npos; at = log.find("short of storage", at + 1)) {
    ++shortLines;
  }
  EXPECT_EQ(shortLines, 1u) << log;
  EXPECT_NE(log.find("has room again"), std::string::npos) << log;
}

TEST_F(SmtpServerTest, ConfiguredRelayNetworksMayRelay) {
  TMailEnvironment environment = Environment();
  environment.relayNetworks = "10.1.0.0/16, 2001:db8::/32";
  for (const auto& [peer, relay] : std::vector<std::pair<std::string, bool>>{
           {"10.1.200.3", true}, {"10.2.0.1", false}, {"127.0.0.1", false}, {"2001:db8::7", true}}) {
    SCOPED_TRACE(peer);
    auto server = testing::NewSmtpServer(environment, peer);
    testing::RunDialogue(*server, {{"", kGreeting},
                                   {"MAIL FROM:<a@b.example>\r\n", kOK},
                                   {"RCPT TO:<x@remote.example>\r\n", relay ? kOK : kRelayDenied}});
  }
}

TEST_F(SmtpServerTest, FarewellAndIdleMinutes) {
  auto server = NewServer();
  EXPECT_TRUE(server->Farewell());
  EXPECT_EQ(server->Output().GetText(), kBye);
  server->Output().Clear();
  const std::vector<std::pair<std::string, int>> idle = {
      {"HELO c\r\n", 2}, {"MAIL FROM:<a@b.example>\r\n", 5}, {"RCPT TO:<joe@local.test>\r\n", 5},
      {"DATA\r\n", 10}, {"x\r\n.\r\n", 10}, {"RSET\r\n", 2}, {"VRFY joe\r\n", 5}, {"NOOP\r\n", 2}};
  for (const auto& [command, minutes] : idle) {
    testing::Exchange(*server, command);
    EXPECT_EQ(server->IdleMinutes(), minutes) << command;
  }
}

TEST(SmtpPathArgument, Forms) {
  struct TCase {
    const char* argument;
    const char* keyword;
    bool ok;
    const char* path;
    bool nullPath;
  };
  const std::vector<TCase> cases = {
      {"FROM:<a@b.example>", "FROM", true, "a@b.example", false},
      {"from:<a@b.example>", "FROM", true, "a@b.example", false},
      {"FROM: <a@b.example>", "FROM", true, "a@b.example", false},
      {"FROM:<>", "FROM", true, "", true},
      {"FROM:<a@b.example> SIZE=10 BODY=8BITMIME", "FROM", true, "a@b.example", false},
      {"FROM:a@b.example", "FROM", true, "a@b.example", false},
      {"TO:<joe@local.test>", "TO", true, "joe@local.test", false},
      {"To:<postmaster>", "TO", true, "postmaster", false},
      {"FROM <a@b.example>", "FROM", false, "", false},
      {"FROM:", "FROM", false, "", false},
      {"FROM:<a@b.example", "FROM", false, "", false},
      {"FROM:<a\tb@c>", "FROM", false, "", false},
      {"FROM:<a\x7f@c>", "FROM", false, "", false},
      {"TO:<a@b.example>", "FROM", false, "", false},
      {"FROMX:<a@b.example>", "FROM", false, "", false},
      {"", "TO", false, "", false},
  };
  for (const TCase& c : cases) {
    std::string path = "unchanged";
    bool nullPath = false;
    const bool ok = ParsePathArgument(c.argument, c.keyword, path, nullPath) == TPathResult::Ok;
    EXPECT_EQ(ok, c.ok) << c.argument;
    if (ok) {
      EXPECT_EQ(path, c.path) << c.argument;
      EXPECT_EQ(nullPath, c.nullPath) << c.argument;
    }
  }
}

TEST(ClientNetworks, DefaultIsLoopbackOnly) {
  TClientNetworks networks;
  ASSERT_TRUE(networks.Parse(kDefaultRelayNetworks));
  const std::vector<std::pair<const char*, bool>> cases = {
      {"127.0.0.1", true},        {"127.255.1.2", true},     {"::1", true},          {"[::1]", true},
      {"::ffff:127.0.0.1", true}, {"10.0.0.1", false},       {"172.16.0.1", false},  {"192.168.0.1", false},
      {"fc00::1", false},         {"::ffff:8.8.8.8", false}, {"128.0.0.1", false},   {"::2", false},
      {"", false},                {"localhost", false},      {"127.0.0.1.example", false},
  };
  for (const auto& [address, trusted] : cases) EXPECT_EQ(networks.Contains(address), trusted) << address;
}

TEST(ClientNetworks, ConfiguredListsAndTheirBadEntries) {
  struct TCase {
    const char* text;
    bool ok;
    const char* bad;
    std::vector<std::pair<const char*, bool>> addresses;
  };
  const std::vector<TCase> cases = {
      {"10.0.0.0/8,192.168.1.0/24; 172.16.0.0/12", true, "",
       {{"10.9.8.7", true}, {"11.0.0.1", false}, {"192.168.1.99", true}, {"192.168.2.1", false},
        {"172.31.255.255", true}, {"172.32.0.1", false}, {"::ffff:10.1.1.1", true}}},
      {"203.0.113.5", true, "", {{"203.0.113.5", true}, {"203.0.113.6", false}}},
      {"10.200.0.0/30", true, "", {{"10.200.0.3", true}, {"10.200.0.4", false}}},
      {"0.0.0.0/0", true, "", {{"8.8.8.8", true}, {"2001:db8::1", false}}},
      {"fd00::/8 ::1", true, "", {{"fd12::1", true}, {"fe80::1", false}, {"::1", true}, {"127.0.0.1", false}}},
      {"192.168.0.0/33 bogus 10.0.0.0/8 1.2.3.4/ ::/129 5.6.7.8/x", false,
       "192.168.0.0/33 bogus 1.2.3.4/ ::/129 5.6.7.8/x", {{"10.1.2.3", true}, {"192.168.0.1", false}, {"1.2.3.4", false}}},
      {"", true, "", {{"127.0.0.1", false}}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.text);
    TClientNetworks networks;
    std::string bad = "unchanged";
    EXPECT_EQ(networks.Parse(c.text, &bad), c.ok);
    EXPECT_EQ(bad, c.bad);
    for (const auto& [address, inside] : c.addresses) EXPECT_EQ(networks.Contains(address), inside) << address;
  }
}

}  // namespace
}  // namespace tovenmarsh::mail
