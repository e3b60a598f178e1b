// The POP3 server as dialogues: tables of client read rounds and the exact replies over a
// mailbox of real mailbox files and fake mailbox rows, with what QUIT leaves behind checked;
// retrieved bodies are parsed back by Python's poplib as an independent client.
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.h"
#include "mail/message/mail_message.h"
#include "mail/store/mailbox_file.h"
#include "mail/pop3d/pop3_server.h"
#include "support/dialogue.h"
#include "support/mail_fakes.h"
#include "support/python_oracle.h"

namespace tovenmarsh::mail {
namespace {

using testing::TDialogueStep;

const std::string kGreeting = "+OK tovenmarsh POP3 server is ready\r\n";
const std::string kBye = "+OK tovenmarsh POP3 server signing off\r\n";
const std::string kOK = "+OK\r\n";
const std::string kErr = "-ERR\r\n";
const std::string kNotAuthorization = "-ERR tovenmarsh POP3 server is not in authorization state\r\n";
const std::string kNotTransaction = "-ERR tovenmarsh POP3 server is not in transaction state\r\n";
const std::string kValid = "+OK tovenmarsh POP3 user and password is valid\r\n";
const std::string kInvalid = "-ERR tovenmarsh POP3 user or password is invalid\r\n";
const std::string kNoAPOP = "-ERR tovenmarsh POP3 server does not support APOP authorization\r\n";
const std::string kSyntax = "-ERR tovenmarsh POP3 request has syntax error in parameters or arguments\r\n";
const std::string kTemporary =
    "-ERR [SYS/TEMP] tovenmarsh POP3 server cannot serve the request now, try again later\r\n";
const std::string kInvalidClosing =
    "-ERR tovenmarsh POP3 user or password is invalid (too many failures, closing the connection)\r\n";

std::string NoSuch(const std::string& n) {
  return "-ERR tovenmarsh POP3 user has no such message number in maildrop (" + n + ")\r\n";
}
std::string Deleted(const std::string& n) { return "+OK tovenmarsh POP3 messsage has been deleted (" + n + ")\r\n"; }
std::string AlreadyDeleted(const std::string& n) {
  return "-ERR tovenmarsh POP3 messsage is already deleted (" + n + ")\r\n";
}

// Dot-stuffing as a sender does it, written independently of the server's transfer.
std::string Stuffed(const std::string& text) {
  std::string out;
  bool lineStart = true;
  for (size_t i = 0; i < text.size(); ++i) {
    if (lineStart && text[i] == '.') out += '.';
    out += text[i];
    lineStart = text[i] == '\n' && i > 0 && text[i - 1] == '\r';
  }
  return out;
}

const std::vector<std::pair<std::string, std::string>> kMessages = {
    {"a@b.example", "Subject: one\r\n\r\nline\r\n.\r\n..\r\n.x\r\nend"},
    {"", "Subject: two\r\n\r\nhello"},
    {"c@d.example", "Subject: three"},
};

// Notes the delays of failed logins instead of waiting them out.
class TRecordingPOP3Server : public TPOP3Server {
 public:
  using TPOP3Server::TPOP3Server;
  std::vector<int> delays;

 protected:
  void DelayReply(int ms) override { delays.push_back(ms); }
};

class Pop3ServerTest : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    directory.AddAccount(1, "joe", "Secret");
    directory.AddAccount(2, "ann", "other");
    for (const auto& [reversePath, message] : kMessages) {
      resources::TMailDropRec record;
      DeliverMessageToMailbox(folders, reversePath, message, record);
      testing::TFakeDirectory(directory).AddMessage(1, record);
      files.push_back(ReturnPathLine(reversePath) + message);
    }
    for (const testing::TFakeMailboxRow& row : directory.mailbox) rows.push_back(row);
  }

  std::unique_ptr<TRecordingPOP3Server> NewServer(const std::string& address = "127.0.0.1") {
    auto server = std::make_unique<TRecordingPOP3Server>(Environment(), throttle);
    server->ConnectionInfo().peerAddress = address;
    return server;
  }

  // The octets a client takes in for message i: its file and the CR LF ending its last line.
  size_t Octets(int i) const { return files[static_cast<size_t>(i)].size() + 2; }
  std::string Size(int i) const { return std::to_string(Octets(i)); }
  std::string Uid(int i) const { return rows[static_cast<size_t>(i)].id; }
  std::string Total() const { return std::to_string(Octets(0) + Octets(1) + Octets(2)); }
  std::vector<TDialogueStep> Login() {
    return {{"", kGreeting}, {"USER joe1\r\n", kOK}, {"PASS Secret\r\n", kValid}};
  }

  std::vector<std::string> files;
  std::vector<testing::TFakeMailboxRow> rows;
  std::shared_ptr<TLoginThrottle> throttle = std::make_shared<TLoginThrottle>();
};

TEST_F(Pop3ServerTest, AuthorizationState) {
  {
    // The third failed login on one connection closes it, without the farewell.
    auto server = NewServer();
    EXPECT_TRUE(testing::RunDialogue(*server, {{"", kGreeting},
                                               {"STAT\r\n", kNotTransaction},
                                               {"LIST\r\n", kNotTransaction},
                                               {"RETR 1\r\n", kNotTransaction},
                                               {"NOOP\r\n", kNotTransaction},
                                               {"bogus\r\n", kNotTransaction},
                                               {"APOP joe1 0123456789abcdef\r\n", kNoAPOP},
                                               {"USER\r\n", kSyntax},
                                               {"PASS Secret\r\n", kInvalid},
                                               {"user joe1\r\n", kOK},
                                               {"PASS\r\n", kSyntax},
                                               {"pass wrong\r\n", kInvalid},
                                               {"USER nobody7\r\n", kOK},
                                               {"PASS Secret\r\nNOOP\r\n", kInvalidClosing}}));
    EXPECT_TRUE(server->InAuthorization());
    EXPECT_FALSE(server->Farewell());
  }
  auto server = NewServer("192.0.2.1");
  testing::RunDialogue(*server, {{"", kGreeting},
                                 {"USER joe1\r\npAsS sEcReT\r\n", kOK + kValid},
                                 {"USER joe1\r\n", kNotAuthorization},
                                 {"PASS Secret\r\n", kNotAuthorization},
                                 {"APOP joe1 x\r\n", kNotAuthorization}});
  EXPECT_FALSE(server->InAuthorization());
}

// Each failed login is logged with the client's address and its reply waits longer the more
// that address has failed lately, across connections; other addresses are not slowed, and a
// good login is never delayed.
TEST_F(Pop3ServerTest, FailedLoginsAreLoggedAndSlowedPerAddress) {
  std::vector<int> delays;
  for (int connection = 0; connection < 3; ++connection) {
    auto server = NewServer("192.0.2.7");
    testing::RunDialogue(*server, {{"", kGreeting}, {"USER joe1\r\nPASS guess\r\n", kOK + kInvalid}});
    EXPECT_EQ(testing::Exchange(*server, "PASS guess2\r\n"), kInvalid);
    EXPECT_EQ(testing::Exchange(*server, "PASS Secret\r\nSTAT\r\n"), kValid + "+OK 3 " + Total() + "\r\n");
    delays.insert(delays.end(), server->delays.begin(), server->delays.end());
  }
  EXPECT_EQ(delays, (std::vector<int>{1000, 2000, 4000, 8000, 16000, 16000}));
  auto other = NewServer("192.0.2.8");
  testing::RunDialogue(*other, {{"", kGreeting}, {"USER ann2\r\nPASS no\r\n", kOK + kInvalid}});
  EXPECT_EQ(other->delays, std::vector<int>{1000});
  core::CloseLog();
  std::ifstream in(temp.Path() + "mail.log", std::ios::binary);
  const std::string log((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("POP3 login of joe1 from 192.0.2.7 failed (failure 6 from this address, reply delayed 16000 ms)"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("POP3 login of ann2 from 192.0.2.8 failed (failure 1"), std::string::npos) << log;
}

TEST(LoginThrottle, DelaysDoubleUpToTheBoundAndAreForgottenAfterAQuietSpell) {
  TLoginThrottle::TSettings settings;
  settings.addresses = 2;
  TLoginThrottle throttle(settings);
  const double t0 = 46000.0;
  const double minute = 0.000694;
  std::vector<int> delays;
  for (int i = 0; i < 7; ++i) delays.push_back(throttle.Failed("a", t0 + i * minute).delayMs);
  EXPECT_EQ(delays, (std::vector<int>{1000, 2000, 4000, 8000, 16000, 16000, 16000}));
  EXPECT_EQ(throttle.Failures("a", t0 + 20 * minute), 7);
  EXPECT_EQ(throttle.Failures("a", t0 + 22 * minute), 0) << "15 quiet minutes forget an address";
  const TLoginThrottle::TFailure again = throttle.Failed("a", t0 + 22 * minute);
  EXPECT_EQ(again.count, 1);
  EXPECT_EQ(again.delayMs, 1000);
  // Only two addresses are kept: the one that failed least recently goes first.
  throttle.Failed("b", t0 + 23 * minute);
  throttle.Failed("a", t0 + 24 * minute);
  throttle.Failed("c", t0 + 25 * minute);
  EXPECT_EQ(throttle.Failures("a", t0 + 25 * minute), 2);
  EXPECT_EQ(throttle.Failures("b", t0 + 25 * minute), 0);
  EXPECT_EQ(throttle.Failures("c", t0 + 25 * minute), 1);
}

TEST_F(Pop3ServerTest, TransactionCommands) {
  auto server = NewServer();
  std::vector<TDialogueStep> steps = Login();
  const std::vector<TDialogueStep> transaction = {
      {"stat\r\n", "+OK 3 " + Total() + "\r\n"},
      {"LIST\r\n", "+OK 3 " + Total() + "\r\n1 " + Size(0) + "\r\n2 " + Size(1) + "\r\n3 " + Size(2) + "\r\n.\r\n"},
      {"list 2\r\n", "+OK 2 " + Size(1) + "\r\n"},
      {"LIST 0\r\n", NoSuch("0")},
      {"LIST 99\r\n", NoSuch("99")},
      {"LIST abc\r\n", kErr},
      {"uidl\r\n", "+OK\r\n1 " + Uid(0) + "\r\n2 " + Uid(1) + "\r\n3 " + Uid(2) + "\r\n.\r\n"},
      {"UIDL 3\r\n", "+OK 3 " + Uid(2) + "\r\n"},
      {"UIDL 4\r\n", NoSuch("4")},
      {"retr 2\r\n", "+OK " + Size(1) + " octets\r\n" + Stuffed(files[1]) + "\r\n.\r\n"},
      {"RETR 1\r\n", "+OK " + Size(0) + " octets\r\n" + Stuffed(files[0]) + "\r\n.\r\n"},
      {"RETR 4\r\n", NoSuch("4")},
      {"RETR\r\n", kErr},
      {"TOP 1\r\n", kSyntax},
      {"TOP 1 x\r\n", kErr},
      {"TOP 1 -1\r\n", kSyntax},
      {"TOP 7 1\r\n", NoSuch("7")},
      {"noop\r\n", kOK},
      {"dele 1\r\n", Deleted("1")},
      {"DELE 1\r\n", AlreadyDeleted("1")},
      {"DELE 0\r\n", NoSuch("0")},
      {"STAT\r\n", "+OK 3 " + Total() + "\r\n"},
      {"RSET\r\n", kOK},
      {"DELE 1\r\n", Deleted("1")},
      {"DELE 3\r\n", Deleted("3")},
      {"ERR\r\n", kSyntax},
      {"XTND\r\n", kSyntax},
      {"quit\r\n", kBye},
  };
  steps.insert(steps.end(), transaction.begin(), transaction.end());
  EXPECT_TRUE(testing::RunDialogue(*server, steps));
  // QUIT in the transaction state removed messages 1 and 3, file and row.
  ASSERT_EQ(directory.mailbox.size(), 1u);
  EXPECT_EQ(directory.mailbox[0].id, rows[1].id);
  EXPECT_EQ(testing::FilesIn(folders.mail), std::vector<std::string>{rows[1].id});
}

// Sizes are the octets the client takes in; TOP n k is the header lines, the blank line and k
// body lines; identical messages have ids of their own, the same in the next session.
TEST_F(Pop3ServerTest, SizesTopAndUniqueIdsDialogue) {
  directory.AddAccount(3, "kim", "pw");
  const std::vector<std::pair<std::string, std::string>> messages = {
      {"s@x.example", "Subject: same\r\n\r\nbody"},
      {"s@x.example", "Subject: same\r\n\r\nbody"},
      {"s@x.example", "From: x@y.example\r\nSubject: lines\r\n\r\na\r\n.b\r\n\r\nc"},
      {"", "\r\nno header but the return path"},
  };
  std::vector<std::string> ids;
  for (const auto& [reversePath, message] : messages) {
    resources::TMailDropRec record;
    DeliverMessageToMailbox(folders, reversePath, message, record);
    testing::TFakeDirectory(directory).AddMessage(3, record);
    ids.push_back(record.id);
  }
  ASSERT_NE(ids[0], ids[1]);
  const std::string headers3 = "Return-Path: <s@x.example>\r\nFrom: x@y.example\r\nSubject: lines\r\n\r\n";
  const std::string uidl =
      "+OK\r\n1 " + ids[0] + "\r\n2 " + ids[1] + "\r\n3 " + ids[2] + "\r\n4 " + ids[3] + "\r\n.\r\n";
  auto server = NewServer();
  EXPECT_TRUE(testing::RunDialogue(
      *server, {{"", kGreeting},
                {"USER kim3\r\nPASS pw\r\n", kOK + kValid},
                {"STAT\r\n", "+OK 4 229\r\n"},
                {"LIST\r\n", "+OK 4 229\r\n1 51\r\n2 51\r\n3 77\r\n4 50\r\n.\r\n"},
                {"LIST 3\r\n", "+OK 3 77\r\n"},
                {"UIDL\r\n", uidl},
                {"UIDL 2\r\n", "+OK 2 " + ids[1] + "\r\n"},
                {"RETR 1\r\n", "+OK 51 octets\r\nReturn-Path: <s@x.example>\r\nSubject: same\r\n\r\nbody\r\n.\r\n"},
                {"RETR 3\r\n", "+OK 77 octets\r\n" + headers3 + "a\r\n..b\r\n\r\nc\r\n.\r\n"},
                {"TOP 3 0\r\n", "+OK\r\n" + headers3 + ".\r\n"},
                {"TOP 3 1\r\n", "+OK\r\n" + headers3 + "a\r\n.\r\n"},
                {"TOP 3 2\r\n", "+OK\r\n" + headers3 + "a\r\n..b\r\n.\r\n"},
                {"TOP 3 3\r\n", "+OK\r\n" + headers3 + "a\r\n..b\r\n\r\n.\r\n"},
                {"TOP 3 4\r\n", "+OK\r\n" + headers3 + "a\r\n..b\r\n\r\nc\r\n.\r\n"},
                {"TOP 3 9\r\n", "+OK\r\n" + headers3 + "a\r\n..b\r\n\r\nc\r\n.\r\n"},
                {"TOP 1 0\r\n", "+OK\r\nReturn-Path: <s@x.example>\r\nSubject: same\r\n\r\n.\r\n"},
                {"TOP 4 0\r\n", "+OK\r\nReturn-Path: <>\r\n\r\n.\r\n"},
                {"TOP 4 1\r\n", "+OK\r\nReturn-Path: <>\r\n\r\nno header but the return path\r\n.\r\n"},
                {"DELE 1\r\nQUIT\r\n", Deleted("1") + kBye}}));
  // The next session: the ids stay with their messages.
  auto next = NewServer();
  testing::RunDialogue(*next, {{"", kGreeting},
                               {"USER kim3\r\nPASS pw\r\n", kOK + kValid},
                               {"UIDL\r\n", "+OK\r\n1 " + ids[1] + "\r\n2 " + ids[2] + "\r\n3 " + ids[3] + "\r\n.\r\n"},
                               {"STAT\r\n", "+OK 3 178\r\n"}});
}

TEST_F(Pop3ServerTest, OnlyQuitInTheTransactionStateRemovesMessages) {
  {
    auto server = NewServer();
    std::vector<TDialogueStep> steps = Login();
    steps.push_back({"DELE 1\r\nDELE 2\r\nRSET\r\nQUIT\r\n", Deleted("1") + Deleted("2") + kOK + kBye});
    testing::RunDialogue(*server, steps);
  }
  {
    // The connection ends without QUIT: the farewell goes out, nothing is removed.
    auto server = NewServer();
    std::vector<TDialogueStep> steps = Login();
    steps.push_back({"DELE 1\r\n", Deleted("1")});
    testing::RunDialogue(*server, steps);
    EXPECT_TRUE(server->Farewell());
  }
  {
    auto server = NewServer();
    testing::RunDialogue(*server, {{"", kGreeting}, {"USER joe1\r\nQUIT\r\n", kOK + kBye}});
  }
  EXPECT_EQ(directory.mailbox.size(), 3u);
  EXPECT_EQ(testing::FilesIn(folders.mail).size(), 3u);
}

// RFC 1939: a message marked by DELE may not be referred to any more; its file stays until
// QUIT, so only the mark can keep it from the client. RSET makes it available again.
TEST_F(Pop3ServerTest, MarkedMessageIsNotSentByRetrOrTop) {
  auto server = NewServer();
  std::vector<TDialogueStep> steps = Login();
  const std::vector<TDialogueStep> more = {
      {"DELE 1\r\n", Deleted("1")},
      {"RETR 1\r\n", AlreadyDeleted("1")},
      {"retr 1\r\n", AlreadyDeleted("1")},
      {"TOP 1 0\r\n", AlreadyDeleted("1")},
      {"TOP 1 2\r\n", AlreadyDeleted("1")},
      {"RETR 2\r\n", "+OK " + Size(1) + " octets\r\n" + Stuffed(files[1]) + "\r\n.\r\n"},
      {"DELE 2\r\nRETR 2\r\nTOP 2 1\r\nRETR 3\r\n",
       Deleted("2") + AlreadyDeleted("2") + AlreadyDeleted("2") + "+OK " + Size(2) + " octets\r\n" +
           Stuffed(files[2]) + "\r\n.\r\n"},
      {"RETR 4\r\n", NoSuch("4")},
      {"RSET\r\n", kOK},
      {"RETR 1\r\n", "+OK " + Size(0) + " octets\r\n" + Stuffed(files[0]) + "\r\n.\r\n"},
      {"TOP 1 2\r\n", "+OK\r\nReturn-Path: <a@b.example>\r\nSubject: one\r\n\r\nline\r\n..\r\n.\r\n"},
      {"DELE 3\r\nRETR 3\r\nQUIT\r\n", Deleted("3") + AlreadyDeleted("3") + kBye},
  };
  steps.insert(steps.end(), more.begin(), more.end());
  EXPECT_TRUE(testing::RunDialogue(*server, steps));
  ASSERT_EQ(directory.mailbox.size(), 2u);
  EXPECT_EQ(directory.mailbox[0].id, rows[0].id);
  EXPECT_EQ(directory.mailbox[1].id, rows[1].id);
}

TEST_F(Pop3ServerTest, MessageWhoseFileVanishedCannotBeRetrievedAndLosesItsRow) {
  auto server = NewServer();
  std::vector<TDialogueStep> steps = Login();
  steps.push_back({"STAT\r\n", "+OK 3 " + Total() + "\r\n"});
  testing::RunDialogue(*server, steps);
  ASSERT_TRUE(DeleteMailboxFile(folders, rows[1].id));
  EXPECT_EQ(testing::Exchange(*server, "RETR 2\r\nDELE 2\r\nLIST 2\r\nQUIT\r\n"),
            NoSuch("2") + NoSuch("2") + NoSuch("2") + kBye);
  ASSERT_EQ(directory.mailbox.size(), 2u);
  EXPECT_EQ(directory.mailbox[0].id, rows[0].id);
  EXPECT_EQ(directory.mailbox[1].id, rows[2].id);
}

TEST_F(Pop3ServerTest, FailingTableIsAnsweredErrAndTheSessionGoesOn) {
  auto server = NewServer();
  directory.failMailbox = true;
  // A login that fails for the table's sake is no failed attempt: nothing is delayed or counted.
  testing::RunDialogue(*server, {{"", kGreeting},
                                 {"USER joe1\r\nPASS Secret\r\nNOOP\r\n", kOK + kTemporary + kNotTransaction},
                                 {"PASS Secret\r\nPASS Secret\r\nPASS Secret\r\n",
                                  kTemporary + kTemporary + kTemporary}});
  EXPECT_TRUE(server->delays.empty());
  EXPECT_FALSE(server->CloseRequested());
  directory.failMailbox = false;
  testing::RunDialogue(*server, {{"PASS Secret\r\nDELE 1\r\n", kValid + Deleted("1")}});
  directory.failMailbox = true;
  // QUIT whose commit fails keeps the connection, and the row; a later QUIT succeeds.
  EXPECT_EQ(testing::Exchange(*server, "QUIT\r\n"), kTemporary);
  EXPECT_FALSE(server->CloseRequested());
  directory.failMailbox = false;
  EXPECT_EQ(testing::Exchange(*server, "QUIT\r\n"), kBye);
  EXPECT_EQ(directory.mailbox.size(), 2u);
}

TEST_F(Pop3ServerTest, EmptyMailbox) {
  auto server = NewServer();
  testing::RunDialogue(*server, {{"", kGreeting},
                                 {"USER ann2\r\nPASS OTHER\r\n", kOK + kValid},
                                 {"STAT\r\n", "+OK 0 0\r\n"},
                                 {"LIST\r\n", "+OK\r\n.\r\n"},
                                 {"UIDL\r\n", "+OK\r\n.\r\n"},
                                 {"RETR 1\r\n", NoSuch("1")},
                                 {"QUIT\r\n", kBye}});
}

TEST_F(Pop3ServerTest, FramingBoundsAndControlCharacters) {
  auto server = NewServer();
  std::vector<TDialogueStep> steps = Login();
  const std::vector<TDialogueStep> more = {
      {"NOOP " + std::string(600, 'x') + "\r\nNOOP\r\n", "-ERR tovenmarsh POP3 request has syntax error in parameters "
                                                         "or arguments (line too long)\r\n" + kOK},
      {std::string(700, 'y'), "-ERR tovenmarsh POP3 request has syntax error in parameters or arguments (line too "
                              "long)\r\n"},
      {std::string(700, 'y') + "\r\nST", ""},
      {"AT\r\n", "+OK 3 " + Total() + "\r\n"},
      {"DELE 1\rDELE 2\r\n", kSyntax},
      {std::string("DELE 1\0\r\n", 9), kSyntax},
      {"QUIT\r\n", kBye},
  };
  steps.insert(steps.end(), more.begin(), more.end());
  testing::RunDialogue(*server, steps);
  EXPECT_EQ(directory.mailbox.size(), 3u);
}

TEST_F(Pop3ServerTest, PoplibReadsBackEveryMessageByteForByte) {
  auto server = NewServer();
  testing::RunDialogue(*server, Login());
  std::vector<std::string> replies;
  for (int i = 1; i <= 3; ++i) replies.push_back(testing::Exchange(*server, "RETR " + std::to_string(i) + "\r\n"));
  replies.push_back(testing::Exchange(*server, "TOP 1 3\r\n"));
  replies.push_back(testing::Exchange(*server, "TOP 1 5\r\n"));
  const std::vector<std::string> parsed = testing::RunPythonOracle(R"PY(
import io, poplib
def oracle(records):
    out = []
    for r in records:
        p = poplib.POP3.__new__(poplib.POP3)
        p._debugging = 0
        p.file = io.BytesIO(r)
        resp, lines, octets = p._getlongresp()
        out.append(b'\r\n'.join(lines))
        out.append(str(octets).encode())
    return out
)PY",
                                                                   replies);
  ASSERT_EQ(parsed.size(), 10u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(parsed[2 * i], files[i]) << i;
    EXPECT_EQ(parsed[2 * i + 1], std::to_string(Octets(static_cast<int>(i)))) << "the size RETR announced, " << i;
  }
  EXPECT_EQ(parsed[6], "Return-Path: <a@b.example>\r\nSubject: one\r\n\r\nline\r\n.\r\n..");
  EXPECT_EQ(parsed[8], files[0]) << "TOP past the last line gives the whole message";
}

TEST(Pop3Numbers, IntegerConversion) {
  const std::vector<std::pair<const char*, int>> good = {{"1", 1}, {" 7", 7}, {"+3", 3}, {"-2", -2},
                                                         {"2147483647", 2147483647}, {"-2147483648", -2147483647 - 1}};
  for (const auto& [text, value] : good) {
    int n = 0;
    EXPECT_TRUE(TryStrToInt(text, n)) << text;
    EXPECT_EQ(n, value) << text;
  }
  for (const char* text : {"", "abc", "1a", "2147483648", "-", "1 ", "99999999999999999999"}) {
    int n = 0;
    EXPECT_FALSE(TryStrToInt(text, n)) << text;
  }
}

}  // namespace
}  // namespace tovenmarsh::mail
