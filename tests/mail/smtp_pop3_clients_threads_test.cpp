// Real clients over loopback: Python's smtplib (lower-case verbs, EHLO refused, dot-stuffing
// of ".", "..", ".x" lines) sends to the SMTP protocol object behind the server framework's
// listener; the test hands the queue file to a mailbox as the queue does; Python's poplib then
// lists, retrieves, deletes, resets and quits against the POP3 protocol object. A client that
// half-closes right after its whole session still gets every answer.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/worker_threads.h"
#include "mail/store/mailbox_file.h"
#include "mail/pop3d/pop3_server.h"
#include "mail/store/queue_file.h"
#include "mail/smtpd/smtp_server.h"
#include "support/mail_fakes.h"
#include "support/python_oracle.h"

namespace tovenmarsh::mail {
namespace {

class MailClientsTest : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    AddLocalJoe();
  }

  int Listen(const core::TTCPServerClass& serverClass) {
    return core::StartTCPServer(0, serverClass, 10, 5).WaitListening(5000);
  }
};

const char kSend[] = R"PY(
import smtplib
def oracle(records):
    port = int(records[0])
    body = b"Subject: dots\r\n\r\n.\r\n..\r\n.x\r\nmiddle . line\r\nend\r\n"
    with smtplib.SMTP('127.0.0.1', port, timeout=20) as s:
        s.sendmail('a@remote.example', ['joe@local.test'], body)
        code, _ = s.noop()
    return [body, str(code).encode()]
)PY";

const char kFetch[] = R"PY(
import poplib
def oracle(records):
    port = int(records[0])
    p = poplib.POP3('127.0.0.1', port, timeout=20)
    p.user('joe1')
    p.pass_('Secret')
    count, size = p.stat()
    uidl = p.uidl()[1]
    resp, lines, octets = p.retr(1)
    p.dele(1)
    p.rset()
    p.dele(1)
    bye = p.quit()
    return [b'\r\n'.join(lines), str(count).encode(), str(size).encode(), b' '.join(uidl), bye,
            str(octets).encode()]
)PY";

TEST_F(MailClientsTest, SmtplibSendsAndPoplibRetrievesByteForByte) {
  const int smtpPort = Listen(SMTPServerClass(Environment()));
  const int pop3Port = Listen(POP3ServerClass(Environment()));
  ASSERT_GT(smtpPort, 0);
  ASSERT_GT(pop3Port, 0);

  const std::vector<std::string> sent = testing::RunPythonOracle(kSend, {std::to_string(smtpPort)});
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[1], "250");

  // What the queue does for a local account.
  std::vector<std::string> names;
  ASSERT_TRUE(ScanQueueFolder(folders, names));
  ASSERT_EQ(names.size(), 1u);
  TEnvelope envelope;
  ASSERT_EQ(ReadEnvelope(folders, names[0], envelope), TEnvelopeStatus::Ok);
  EXPECT_EQ(envelope.reversePath, "a@remote.example");
  EXPECT_EQ(envelope.recipients, std::vector<std::string>{"joe@local.test"});
  TDataRec file;
  file.fileName = names[0];
  TQueueRec entry;
  entry.queueFile = &file;
  entry.reversePath = envelope.reversePath;
  resources::TMailDropRec record;
  DeliverToMailbox(folders, entry, record);
  testing::TFakeDirectory(directory).AddMessage(1, record);
  const std::string stored = ReadMailboxFile(folders, record.id);

  const std::vector<std::string> fetched = testing::RunPythonOracle(kFetch, {std::to_string(pop3Port)});
  ASSERT_EQ(fetched.size(), 6u);
  EXPECT_EQ(fetched[0], stored);
  ASSERT_EQ(stored.rfind("Return-Path: <a@remote.example>\r\nRecieved: from ", 0), 0u) << stored;
  // The body as sent, without the CR LF that ends its last line (it belongs to the end of data).
  const std::string body = sent[0].substr(0, sent[0].size() - 2);
  EXPECT_EQ(stored.substr(stored.size() - body.size()), body);
  EXPECT_EQ(fetched[1], "1");
  // The size is what poplib counted: the stored message and the CR LF ending its last line.
  EXPECT_EQ(fetched[2], std::to_string(stored.size() + 2));
  EXPECT_EQ(fetched[5], fetched[2]);
  EXPECT_EQ(fetched[3], "1 " + record.id);
  EXPECT_EQ(fetched[4], "+OK tovenmarsh POP3 server signing off");

  std::lock_guard<std::mutex> guard(directory.lock);
  EXPECT_TRUE(directory.mailbox.empty());
  EXPECT_TRUE(testing::FilesIn(folders.mail).empty());
  EXPECT_EQ(wakes.load(), 1);
  EXPECT_NE(testing::FileBytes(temp.Path() + "mail.log").find("[TSMTPServer listener started on port"), std::string::npos);
}

// A client that writes its whole session at once and half-closes: the bytes and the FIN leave
// in one segment (corked), so they reach the server in the same read. Every command is still
// answered, then the farewell comes.
const char kHalfClose[] = R"PY(
import socket
def oracle(records):
    port, session = int(records[0]), records[1]
    s = socket.create_connection(('127.0.0.1', port), timeout=20)
    greeting = b''
    while not greeting.endswith(b'\r\n'):
        greeting += s.recv(1024)
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)
    s.sendall(session)
    s.shutdown(socket.SHUT_WR)
    answer = b''
    while True:
        piece = s.recv(65536)
        if not piece:
            break
        answer += piece
    s.close()
    return [greeting + answer]
)PY";

TEST_F(MailClientsTest, ASessionSentWithAHalfCloseIsAnsweredWhole) {
  resources::TMailDropRec record;
  DeliverMessageToMailbox(folders, "a@b.example", "Subject: one\r\n\r\nbody", record);
  testing::TFakeDirectory(directory).AddMessage(1, record);
  const int smtpPort = Listen(SMTPServerClass(Environment()));
  const int pop3Port = Listen(POP3ServerClass(Environment()));
  ASSERT_GT(smtpPort, 0);
  ASSERT_GT(pop3Port, 0);
  const std::string smtpOK = "250 OK, Requested action completed\r\n";
  const std::string smtpBye = "221 mx.test service closing transmission channel\r\n";
  const std::string popBye = "+OK tovenmarsh POP3 server signing off\r\n";
  const struct {
    const char* name;
    int port;
    std::string session;
    std::string answer;
  } cases[] = {
      {"SMTP: a whole transaction, then QUIT", smtpPort,
       "HELO c\r\nMAIL FROM:<a@remote.example>\r\nRCPT TO:<joe@local.test>\r\nDATA\r\nSubject: x\r\n\r\nhi\r\n.\r\nQUIT\r\n",
       "220 mx.test Simple Mail Transfer Service Ready\r\n250 mx.test\r\n" + smtpOK + smtpOK +
           "354 Start mail input and end with <CRLF>.<CRLF>\r\n" + smtpOK + smtpBye},
      {"SMTP: without QUIT the farewell still comes", smtpPort, "NOOP\r\n",
       "220 mx.test Simple Mail Transfer Service Ready\r\n" + smtpOK + smtpBye},
      {"SMTP: a message cut off by the close is not queued", smtpPort,
       "MAIL FROM:<a@remote.example>\r\nRCPT TO:<joe@local.test>\r\nDATA\r\nSubject: cut\r\n",
       "220 mx.test Simple Mail Transfer Service Ready\r\n" + smtpOK + smtpOK +
           "354 Start mail input and end with <CRLF>.<CRLF>\r\n" + smtpBye},
      {"POP3: login, STAT, DELE and QUIT", pop3Port, "USER joe1\r\nPASS Secret\r\nSTAT\r\nDELE 1\r\nQUIT\r\n",
       "+OK tovenmarsh POP3 server is ready\r\n+OK\r\n+OK tovenmarsh POP3 user and password is valid\r\n+OK 1 " +
           std::to_string(record.size + 2) + "\r\n+OK tovenmarsh POP3 messsage has been deleted (1)\r\n" + popBye},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<std::string> answer = testing::RunPythonOracle(kHalfClose, {std::to_string(c.port), c.session});
    ASSERT_EQ(answer.size(), 1u);
    EXPECT_EQ(answer[0], c.answer);
  }
  std::vector<std::string> names;
  ASSERT_TRUE(ScanQueueFolder(folders, names));
  ASSERT_EQ(names.size(), 1u) << "the whole message only";
  EXPECT_EQ(ReadQueueMessage(folders, names[0]).substr(ReadQueueMessage(folders, names[0]).find("\r\n") + 2),
            "Subject: x\r\n\r\nhi");
  std::lock_guard<std::mutex> guard(directory.lock);
  EXPECT_TRUE(directory.mailbox.empty()) << "the QUIT that came with the close committed";
  EXPECT_FALSE(MailboxFileExists(folders, record.id));
}

// Runs a shell command and answers what it wrote to standard output.
std::string CommandOutput(const std::string& command) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return output;
  char piece[4096];
  size_t n = 0;
  while ((n = std::fread(piece, 1, sizeof piece, pipe)) > 0) output.append(piece, n);
  ::pclose(pipe);
  return output;
}

TEST_F(MailClientsTest, SwaksSendsAndCurlRetrieves) {
  if (CommandOutput("command -v swaks curl").empty()) GTEST_SKIP() << "swaks or curl missing";
  const int smtpPort = Listen(SMTPServerClass(Environment()));
  const int pop3Port = Listen(POP3ServerClass(Environment()));
  const std::string body = "Subject: swaks\r\n\r\n.\r\n..\r\n.x\r\nend\r\n";
  testing::WriteFileBytes(temp.Path() + "body.eml", body);
  // Default protocol: EHLO, refused, then HELO.
  const std::string transcript =
      CommandOutput("swaks --server 127.0.0.1 --port " + std::to_string(smtpPort) +
                    " --from a@remote.example --to joe@local.test --helo client.example --data " + temp.Path() +
                    "body.eml --timeout 20 2>&1");
  EXPECT_NE(transcript.find("<-  250 OK"), std::string::npos) << transcript;

  std::vector<std::string> names;
  ASSERT_TRUE(ScanQueueFolder(folders, names)) << transcript;
  ASSERT_EQ(names.size(), 1u);
  const std::string message = ReadQueueMessage(folders, names[0]);
  // swaks ends the data with CR LF "." CR LF after the file's own last CR LF, so the stored
  // message keeps that one (and the dot lines arrive unstuffed).
  EXPECT_EQ(message.substr(message.find("\r\n") + 2), body);
  TDataRec file;
  file.fileName = names[0];
  TQueueRec entry;
  entry.queueFile = &file;
  entry.reversePath = "a@remote.example";
  resources::TMailDropRec record;
  DeliverToMailbox(folders, entry, record);
  testing::TFakeDirectory(directory).AddMessage(1, record);

  const std::string url = "pop3://127.0.0.1:" + std::to_string(pop3Port) + "/";
  const std::string retrieved = CommandOutput("curl -s --max-time 20 -u joe1:Secret " + url + "1");
  EXPECT_EQ(retrieved, ReadMailboxFile(folders, record.id) + "\r\n");
  EXPECT_EQ(CommandOutput("curl -s --max-time 20 -u joe1:Secret " + url),
            "1 " + std::to_string(retrieved.size()) + "\r\n");
  EXPECT_EQ(CommandOutput("curl -s --max-time 20 -u joe1:wrong " + url + "1"), "");
}

}  // namespace
}  // namespace tovenmarsh::mail
