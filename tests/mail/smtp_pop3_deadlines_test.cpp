// Slow clients against the SMTP and POP3 servers: dialogue tables whose rounds arrive at
// given minutes of a fake clock. Each command line must end within its limit from its first
// byte (the first SMTP command line within its limit from the greeting) and SMTP message data
// within its limit from the 354 and at the least rate, however steadily the bytes trickle;
// past that the client gets one closing reply, no farewell, and nothing of the unfinished work
// is kept or committed.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/timed_server.h"
#include "mail/store/mailbox_file.h"
#include "mail/pop3d/pop3_server.h"
#include "mail/smtpd/smtp_server.h"
#include "support/dialogue.h"
#include "support/mail_fakes.h"
#include "support/smtp_dialogue.h"

namespace tovenmarsh::mail {
namespace {

using testing::kData;
using testing::kGreeting;
using testing::kHelo;
using testing::kOK;

const std::string kSlowLine =
    "421 mx.test SMTP service not available, closing transmissing channel (command line not completed within 5 "
    "minutes)\r\n";
const std::string kSlowData =
    "421 mx.test SMTP service not available, closing transmissing channel (message data not completed within 10 "
    "minutes)\r\n";
const std::string kSlowFirstLine =
    "421 mx.test SMTP service not available, closing transmissing channel (first command line not completed within "
    "30 seconds)\r\n";
const std::string kSlowRate =
    "421 mx.test SMTP service not available, closing transmissing channel (message data slower than 1024 bytes a "
    "second)\r\n";
// Message data that keeps the least rate for the given minutes of the servers' own minute.
std::string DataFor(double minutes) {
  return std::string(static_cast<size_t>(minutes * 60 * 1024) + 1, 'd') + "\r\n";
}
const std::string kBye = "221 mx.test service closing transmission channel\r\n";
const std::string kTooLong = "500 Syntax error, command unrecognized (line too long)\r\n";
const std::string kEnvelope = "MAIL FROM:<a@b.example>\r\nRCPT TO:<joe@local.test>\r\nDATA\r\n";

const std::string kPopGreeting = "+OK tovenmarsh POP3 server is ready\r\n";
const std::string kPopOK = "+OK\r\n";
const std::string kPopValid = "+OK tovenmarsh POP3 user and password is valid\r\n";
const std::string kPopSlow = "-ERR command line not completed within 5 minutes, closing the connection\r\n";

// One read round and the bytes answered to it; `at` is the minute (of the servers' own minute)
// at which the round arrives.
struct TTimedStep {
  double at;
  std::string client;
  std::string expected;
};

struct TTimedDialogue {
  const char* name;
  std::vector<TTimedStep> steps;
  bool ended;         // the last step ended the connection (and no step before it did)
  size_t queueFiles;  // SMTP: messages queued
};

class DeadlineTest : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    AddLocalJoe();
  }

  TMailEnvironment ClockedEnvironment() {
    TMailEnvironment environment = Environment();
    environment.now = [this] { return clock; };
    return environment;
  }

  // Runs the steps after the greeting; answers whether the connection ended.
  bool Run(core::TTCPServer& server, const std::string& greeting, const std::vector<TTimedStep>& steps) {
    clock = kStart;
    server.Output().Clear();
    EXPECT_TRUE(server.Greeting());
    EXPECT_EQ(server.Output().GetText(), greeting);
    server.Output().Clear();
    bool ended = false;
    for (size_t i = 0; i < steps.size(); ++i) {
      SCOPED_TRACE("step " + std::to_string(i) + " at minute " + std::to_string(steps[i].at));
      EXPECT_FALSE(ended) << "the connection ended before this step";
      clock = kStart + steps[i].at * core::TTimedServer::kMinute;
      EXPECT_EQ(testing::Exchange(server, steps[i].client, &ended), steps[i].expected);
    }
    return ended;
  }

  static constexpr platform::TDateTime kStart = 46365.5;  // any time will do
  platform::TDateTime clock = kStart;
};

TEST_F(DeadlineTest, SmtpCommandLinesAndMessageData) {
  const std::vector<TTimedDialogue> cases = {
      {"a line trickled a byte at a time past 5 minutes is refused, though each byte came soon",
       {{0, "NOOP\r\nN", kOK}, {2, "O", ""}, {4, "O", ""}, {5.01, "P\r\n", kSlowLine}},
       true, 0},
      {"a line that ends just inside 5 minutes is answered; silence between lines is not counted",
       {{0, "NOOP\r\nNO", kOK}, {4.99, "OP\r", ""}, {4.99, "\n", kOK}, {60, "NOOP\r\n", kOK}, {120, "NO", ""},
        {124.9, "OP\r\n", kOK}},
       false, 0},
      {"each line has its own limit: the clock restarts at the first byte after a line end",
       {{0, "NOOP\r\nNO", kOK}, {4, "OP\r\nNO", kOK}, {8, "OP\r\nHELO", kOK}, {12, " c\r\n", kHelo}},
       false, 0},
      {"a trickled line after an answered one is still caught",
       {{0, "NOOP\r\n", kOK}, {1, "NO", ""}, {6.5, "OP\r\n", kSlowLine}},
       true, 0},
      {"an overlong line that is being dropped still counts",
       {{0, "NOOP\r\nNOOP " + std::string(2000, 'x'), kOK + kTooLong}, {3, "yyy", ""}, {5.5, "yyy", kSlowLine}},
       true, 0},
      {"message data within 10 minutes of the 354 at the least rate is queued, in pauses",
       {{0, "HELO c\r\n", kHelo}, {1, kEnvelope, kOK + kOK + kData}, {5, "Subject: s\r\n\r\n" + DataFor(4), ""},
        {9, DataFor(6), ""}, {10.9, ".\r\n", kOK}, {11, "QUIT\r\n", kBye}},
       true, 1},
      {"message data past 10 minutes is refused and nothing is queued, even with its end",
       {{0, kEnvelope, kOK + kOK + kData}, {4, "Subject: s\r\n\r\n" + DataFor(4), ""}, {8, DataFor(5), ""},
        {10.01, ".\r\n", kSlowData}},
       true, 0},
      {"the data phase has its own limit: a 354 long after the first command",
       {{0, "HELO c\r\n", kHelo}, {30, kEnvelope, kOK + kOK + kData}, {39.5, DataFor(9.5) + ".\r\n", kOK}},
       false, 1},
      {"a line that begins in the round that ends the data is timed from that round",
       {{0, kEnvelope + "x\r\n.\r\nNO", kOK + kOK + kData + kOK}, {4.9, "O", ""}, {5.1, "P\r\n", kSlowLine}},
       true, 1},
      {"a line after the data is timed from its own first byte",
       {{0, kEnvelope, kOK + kOK + kData}, {3, DataFor(4) + ".", ""}, {4, "\r\n", kOK}, {5, "RS", ""},
        {9.9, "ET\r\n", kOK}},
       false, 1},
      {"the first command line must be complete within 30 seconds of the greeting",
       {{0.25, "NO", ""}, {0.6, "OP\r\n", kSlowFirstLine}},
       true, 0},
      {"a first command line within 30 seconds is answered",
       {{0.45, "NO", ""}, {0.49, "OP\r\n", kOK}, {3, "NOOP\r\n", kOK}},
       false, 0},
      {"message data trickled below the least rate after its first 30 seconds is refused",
       {{0, kEnvelope, kOK + kOK + kData}, {0.4, "Subject: s\r\n", ""}, {0.6, "x", kSlowRate}},
       true, 0},
      {"a pause in message data is fine while the average keeps the rate",
       {{0, kEnvelope, kOK + kOK + kData}, {0.1, DataFor(0.7), ""}, {0.65, ".\r\n", kOK}},
       false, 1},
  };
  for (const TTimedDialogue& dialogue : cases) {
    SCOPED_TRACE(dialogue.name);
    const size_t before = testing::FilesIn(folders.queue).size();
    auto server = testing::NewSmtpServer(ClockedEnvironment(), "127.0.0.1");
    EXPECT_EQ(Run(*server, kGreeting, dialogue.steps), dialogue.ended);
    EXPECT_EQ(testing::FilesIn(folders.queue).size() - before, dialogue.queueFiles);
  }
  const std::string log = testing::FileBytes(temp.Path() + "mail.log");
  EXPECT_NE(log.find("SMTP client 127.0.0.1: message data not completed within 10 minutes, connection closed"),
            std::string::npos);
}

TEST_F(DeadlineTest, Pop3CommandLines) {
  // One message in joe's mailbox, which only a QUIT in time may remove.
  resources::TMailDropRec record;
  DeliverMessageToMailbox(folders, "a@b.example", "Subject: one\r\n\r\nbody", record);
  testing::TFakeDirectory(directory).AddMessage(1, record);
  const std::string login = "USER joe1\r\nPASS Secret\r\n";
  const std::string deleted = "+OK tovenmarsh POP3 messsage has been deleted (1)\r\n";
  const std::vector<TTimedDialogue> cases = {
      {"a trickled USER past 5 minutes",
       {{0, "U", ""}, {2, "S", ""}, {4, "E", ""}, {5.5, "R joe1\r\n", kPopSlow}},
       true, 0},
      {"lines inside their limit, with long silences between them",
       {{0, "US", ""}, {4.5, "ER joe1\r\n", kPopOK}, {30, "PASS Secret\r\nNO", kPopValid}, {34, "OP\r\n", kPopOK}},
       false, 0},
      {"a QUIT trickled past the limit removes nothing",
       {{0, login + "DELE 1\r\nQU", kPopOK + kPopValid + deleted}, {5.2, "IT\r\n", kPopSlow}},
       true, 0},
  };
  for (const TTimedDialogue& dialogue : cases) {
    SCOPED_TRACE(dialogue.name);
    auto server = std::make_unique<TPOP3Server>(ClockedEnvironment());
    EXPECT_EQ(Run(*server, kPopGreeting, dialogue.steps), dialogue.ended);
    EXPECT_EQ(directory.mailbox.size(), 1u) << "the marked message is still there";
  }
  EXPECT_TRUE(MailboxFileExists(folders, record.id));
}

}  // namespace
}  // namespace tovenmarsh::mail
