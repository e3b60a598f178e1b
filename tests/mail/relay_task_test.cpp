// The relay: the relay list's scheduling and bookkeeping, and the relay task's SMTP client
// dialogue against a scripted server on loopback, driven with a clock of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/timed_server.h"
#include "mail/store/queue_file.h"
#include "mail/relay/relay_list.h"
#include "mail/relay/relay_reply.h"
#include "mail/relay/relay_task.h"
#include "platform/date_time.h"
#include "relay_scripted_server.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

using testing::TScriptedServer;

constexpr platform::TDateTime kStart = 46000.5;
const platform::TDateTime kMinute = core::TTimedServer::kMinute;

std::unique_ptr<TQueueRec> Entry(TDataRec* file, const std::string& user, const std::string& domain,
                                 const std::string& reversePath = "sender@source.test") {
  auto entry = std::make_unique<TQueueRec>();
  entry->user = user;
  entry->domain = domain;
  entry->reversePath = reversePath;
  entry->queueFile = file;
  return entry;
}

std::vector<int> States(const TRelayList& list) {
  std::vector<int> states;
  for (const TQueueRec& entry : list.Snapshot()) states.push_back(entry.relayState);
  return states;
}

// ---- the relay list ----

TEST(RelayList, BatchTakesDueEntriesOfOneDomainAndOneFile) {
  TDataRec a{"fileA"}, b{"fileB"};
  TRelayList list;
  list.Add(Entry(&a, "u1", "one.test"));
  list.Add(Entry(&b, "u2", "one.test"));  // same domain, other file: a batch of its own
  list.Add(Entry(&a, "u3", "ONE.test"));  // the domain matches without regard to case
  list.Add(Entry(&a, "u4", "two.test"));
  TRelayBatch batch;
  ASSERT_TRUE(list.TakeRelayBatch("", batch, kStart, 5));
  ASSERT_EQ(batch.size(), 2u);
  EXPECT_EQ(batch[0].user, "u1");
  EXPECT_EQ(batch[1].user, "u3");
  EXPECT_EQ(batch[0].queueFileName, "fileA");
  EXPECT_EQ(States(list), (std::vector<int>{rsInProgress, rsWaiting, rsInProgress, rsWaiting}));
  for (const TQueueRec& entry : list.Snapshot()) EXPECT_EQ(entry.retriesLeft, 5);
  ASSERT_TRUE(list.TakeRelayBatch("one.test", batch, kStart, 5));
  ASSERT_EQ(batch.size(), 1u);
  EXPECT_EQ(batch[0].user, "u2");
  ASSERT_TRUE(list.TakeRelayBatch("", batch, kStart, 5));
  EXPECT_EQ(batch[0].user, "u4");
  EXPECT_FALSE(list.TakeRelayBatch("", batch, kStart, 5));
  EXPECT_TRUE(batch.empty());
}

TEST(RelayList, BatchHoldsOneReversePath) {
  // A list member goes out with the list's postmaster as sender, a direct recipient of the same
  // file and domain with the sender's: one MAIL transaction cannot carry both.
  TDataRec file{"f"};
  TRelayList list;
  list.Add(Entry(&file, "direct", "remote.test", "sender@local.test"));
  list.Add(Entry(&file, "member", "remote.test", "postmaster@lists.test"));
  list.Add(Entry(&file, "other", "remote.test", "sender@local.test"));
  std::vector<std::string> batches;
  TRelayBatch batch;
  while (list.TakeRelayBatch("", batch, kStart, 5)) {
    std::string users;
    for (const TRelayBatchItem& item : batch) users += item.user + "<" + item.reversePath + "> ";
    batches.push_back(users);
  }
  EXPECT_EQ(batches, (std::vector<std::string>{"direct<sender@local.test> other<sender@local.test> ",
                                               "member<postmaster@lists.test> "}));
}

// A relay batch is sent as one MAIL transaction with the first entry's reverse path. List
// expansion gives each member copy the reverse path "postmaster@" + the list's domain, while
// the file's own recipients keep the sender's; a remote list member and a direct recipient in
// the same domain land in one batch, so one of them is relayed under the wrong envelope sender
// (its remote bounces then go to the sender instead of the list's postmaster, or the reverse).
// Fault: TakeRelayBatch joins entries of one file and domain whatever their reverse paths.
TEST(RelayList, ListCopiesAndDirectRecipientsAreBatchedByReversePath) {
  TDataRec file;
  file.fileName = "F";
  TRelayList list;
  auto add = [&](const std::string& user, const std::string& reversePath) {
    auto entry = std::make_unique<TQueueRec>();
    entry->user = user;
    entry->domain = "remote.example";
    entry->reversePath = reversePath;
    entry->queueFile = &file;
    list.Add(std::move(entry));
  };
  add("direct", "sender@local.test");          // a recipient of the file itself
  add("member", "postmaster@lists.test");      // a copy made by expanding a list
  const platform::TDateTime now = 46000.5;
  std::vector<std::string> sent;
  TRelayBatch batch;
  while (list.TakeRelayBatch("", batch, now, 5)) {
    for (const TRelayBatchItem& item : batch) {
      EXPECT_EQ(item.reversePath, batch.front().reversePath) << item.user << " would go out as MAIL FROM:<"
                                                             << batch.front().reversePath << ">";
      sent.push_back(item.user);
    }
  }
  EXPECT_EQ(sent.size(), 2u);
}

TEST(RelayList, DeferredHeadDoesNotBlockDueEntries) {
  TDataRec a{"fileA"}, b{"fileB"};
  TRelayList list;
  list.Add(Entry(&a, "late", "slow.test"));
  list.Add(Entry(&b, "now", "fast.test"));
  TRelayBatch batch;
  ASSERT_TRUE(list.TakeRelayBatch("", batch, kStart, 5));
  list.Report(batch[0], rsTemporaryFailure);
  TQueueRecs released, bounced;
  list.Update(kStart, 30, released, bounced);  // "late" waits 30 minutes now
  // Both wait; only "now" is due.
  TRelayBatch second;
  ASSERT_TRUE(list.TakeRelayBatch("", second, kStart + kMinute, 5));
  ASSERT_EQ(second.size(), 1u);
  EXPECT_EQ(second[0].user, "now");
  EXPECT_FALSE(list.HasDue(kStart + kMinute));
  EXPECT_DOUBLE_EQ(list.NextDue(kStart + kMinute), kStart + 30 * kMinute);
}

TEST(RelayList, UpdateMovesEntriesByState) {
  struct Case {
    uint8_t state;
    int retriesLeft;
    double minutesSinceAttempt;
    const char* expected;  // "kept:<state>", "released", "bounced"
  } cases[] = {
      {rsDelivered, 5, 0, "released"},
      {rsPermanentFailure, 5, 0, "bounced"},
      {rsTemporaryFailure, 5, 0, "kept:1"},
      {rsTemporaryFailure, 0, 0, "bounced"},
      {rsInProgress, 5, 10, "kept:2"},
      {rsInProgress, 5, 31, "kept:1"},  // a task that died leaves it in progress
      {rsWaiting, 5, 0, "kept:1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected + std::string(" from state ") + std::to_string(c.state));
    TDataRec file{"f"};
    TRelayList list;
    list.Add(Entry(&file, "u", "d.test"));
    TRelayBatch batch;
    const platform::TDateTime attempt = kStart;
    ASSERT_TRUE(list.TakeRelayBatch("", batch, attempt, c.retriesLeft));
    if (c.state == rsWaiting) {
      TQueueRecs r, b;
      list.Report(batch[0], rsTemporaryFailure);
      list.Update(attempt, 0, r, b);  // waiting again, due at once
      ASSERT_EQ(States(list), std::vector<int>{rsWaiting});
    } else if (c.state != rsInProgress) {
      list.Report(batch[0], c.state);
    }
    TQueueRecs released, bounced;
    list.Update(attempt + c.minutesSinceAttempt * kMinute, 30, released, bounced);
    std::string outcome;
    if (!released.empty()) outcome = "released";
    if (!bounced.empty()) outcome = "bounced";
    if (outcome.empty()) outcome = "kept:" + std::to_string(States(list).at(0));
    EXPECT_EQ(outcome, c.expected);
    if (outcome == "kept:1" && c.state == rsTemporaryFailure) {
      EXPECT_EQ(list.Snapshot()[0].retriesLeft, c.retriesLeft - 1);
      EXPECT_DOUBLE_EQ(list.Snapshot()[0].nextAttempt, attempt + 30 * kMinute);
    }
  }
}

// A task that takes long: its entry goes back to waiting only after kStuckMinutes, even with
// RelayMin 0 (a second task would send what the first is still sending). Its late report counts
// while the entry has not been taken again (a delivered message is not sent twice), and changes
// nothing once it has.
TEST(RelayList, SlowAttemptsAndLateReports) {
  for (const bool takenAgain : {false, true}) {
    SCOPED_TRACE(takenAgain ? "taken again" : "not taken again");
    TDataRec file{"f"};
    TRelayList list;
    list.Add(Entry(&file, "u", "d.test"));
    TRelayBatch first;
    ASSERT_TRUE(list.TakeRelayBatch("", first, kStart, 5));
    TQueueRecs released, bounced;
    list.Update(kStart + (kStuckMinutes - 1) * kMinute, 0, released, bounced);
    EXPECT_EQ(States(list), std::vector<int>{rsInProgress});
    const platform::TDateTime late = kStart + (kStuckMinutes + 1) * kMinute;
    list.Update(late, 0, released, bounced);
    EXPECT_EQ(States(list), std::vector<int>{rsWaiting});
    TRelayBatch second;
    if (takenAgain) {
      ASSERT_TRUE(list.TakeRelayBatch("", second, late, 5));
    }
    list.Report(first[0], rsDelivered);  // the slow task is done at last
    EXPECT_EQ(States(list), std::vector<int>{takenAgain ? rsInProgress : rsDelivered});
    if (takenAgain) {
      list.Report(second[0], rsPermanentFailure);
      EXPECT_EQ(States(list), std::vector<int>{rsPermanentFailure});
    }
  }
}

TEST(RelayList, WhatATaskLeavesUnreportedIsATemporaryFailureOnce) {
  TDataRec file{"f"};
  TRelayList list;
  list.Add(Entry(&file, "a", "d.test"));
  list.Add(Entry(&file, "b", "d.test"));
  TRelayBatch batch;
  ASSERT_TRUE(list.TakeRelayBatch("", batch, kStart, 5));
  ASSERT_EQ(batch.size(), 2u);
  list.Report(batch[0], rsDelivered);
  for (const TRelayBatchItem& item : batch) list.ReportUnfinished(item);
  EXPECT_EQ(States(list), (std::vector<int>{rsDelivered, rsTemporaryFailure}));
  TQueueRecs released, bounced;
  list.Update(kStart, 30, released, bounced);
  // A second pass (the queue round came in between) costs no second retry.
  for (const TRelayBatchItem& item : batch) list.ReportUnfinished(item);
  ASSERT_EQ(States(list), std::vector<int>{rsWaiting});
  EXPECT_EQ(list.Snapshot()[0].retriesLeft, 4);
}

// ---- reply parsing ----

TEST(RelayReply, ReplyLines) {
  struct Case {
    const char* line;
    bool ok;
    int code;
    bool more;
  } cases[] = {
      {"250 OK", true, 250, false}, {"250-first", true, 250, true}, {"354", true, 354, false},
      {"421 bye", true, 421, false}, {"25 short", false, 0, false}, {"2500 x", false, 0, false},
      {"abc def", false, 0, false},  {"", false, 0, false},          {"650 nonsense", false, 0, false},
      {"250_x", false, 0, false},
  };
  for (const Case& c : cases) {
    int code = 0;
    bool more = false;
    EXPECT_EQ(ParseReplyLine(c.line, code, more), c.ok) << c.line;
    if (c.ok) {
      EXPECT_EQ(code, c.code) << c.line;
      EXPECT_EQ(more, c.more) << c.line;
    }
  }
}

TEST(RelayReply, ReceivedLinesCountOnlyInTheHeader) {
  EXPECT_EQ(CountReceivedLines("Received: a\r\nreceived: b\r\nRECEIVED:c\r\nSubject: x\r\n\r\nReceived: body\r\n"), 3);
  EXPECT_EQ(CountReceivedLines("Subject: x\r\n\r\n"), 0);
  EXPECT_EQ(CountReceivedLines("Recieved: from a by b with SMTP; x\r\nReceived: y\r\n\r\n"), 2);
  EXPECT_EQ(CountReceivedLines("X-Received: no\r\nReceived-SPF: no\r\n"), 0);
}

// ---- the relay task against a scripted server ----

// Answers every SMTP command with 250 (DATA with 354) unless a reply is scripted for the line.
struct TSmtpScript {
  std::string greeting = "220 remote.test ESMTP\r\n";
  std::map<std::string, std::string> replies;  // exact client line -> reply

  TScriptedServer::TResponder Responder() {
    return [this](const std::string& line, int) -> std::string {
      if (line == "<connect>") return greeting;
      const auto scripted = replies.find(line);
      if (scripted != replies.end()) return scripted->second;
      if (line == "DATA") return "354 go ahead\r\n";
      if (line == "QUIT") return "221 bye\r\n";
      return "250 ok\r\n";
    };
  }
};

class RelayTaskTest : public testing::MailFixture {
 protected:
  // A queued message ends without the line end that belongs to the end-of-data line.
  std::string QueueFile(const std::string& message = "Subject: hello\r\n\r\n.dot line\r\nbody") {
    return QueueMessageText(folders, "client.test", "sender@source.test", "x@y\r\n", "Received: from here\r\n",
                            message, 0);
  }

  TRelayEnvironment RelayEnvironment(int port) {
    TRelayEnvironment environment;
    environment.list = &list;
    environment.folders = folders;
    environment.now = [this] { return clock; };
    environment.hostName = "mx.test";
    environment.relayServer = "127.0.0.1";
    environment.retries = 2;
    environment.port = port;
    environment.timeouts.firstReadWait = 5;
    environment.runningTasks = &running;
    environment.wakeQueue = [this] { ++queueWakes; };
    return environment;
  }

  void RunTask(const TRelayEnvironment& environment) {
    TRelayTask task(environment);
    EXPECT_FALSE(task.Run());
  }

  TRelayList list;
  platform::TDateTime clock = kStart;
  std::atomic<int> running{0};
  int queueWakes = 0;
};

TEST_F(RelayTaskTest, DialogueOutcomes) {
  struct Case {
    const char* name;
    std::map<std::string, std::string> replies;
    std::string greeting;
    std::vector<int> expected;  // states of b1, b2, b3
    bool messageSent;
  } cases[] = {
      {"success", {}, "", {rsDelivered, rsDelivered, rsDelivered}, true},
      {"multi-line replies",
       {{"HELO mx.test", "250-remote.test\r\n250-SIZE 1000\r\n250 HELP\r\n"},
        {"MAIL FROM:<sender@source.test>", "250-sender\r\n250 ok\r\n"}},
       "220-remote.test welcome\r\n220-more text\r\n220 ready\r\n",
       {rsDelivered, rsDelivered, rsDelivered},
       true},
      {"one of three recipients rejected", {{"RCPT TO:<b2@far.test>", "550 no such user\r\n"}}, "",
       {rsDelivered, rsPermanentFailure, rsDelivered}, true},
      {"recipient deferred", {{"RCPT TO:<b1@far.test>", "450 try later\r\n"}}, "",
       {rsTemporaryFailure, rsDelivered, rsDelivered}, true},
      {"every recipient rejected",
       {{"RCPT TO:<b1@far.test>", "550 no\r\n"}, {"RCPT TO:<b2@far.test>", "553 no\r\n"},
        {"RCPT TO:<b3@far.test>", "551 no\r\n"}},
       "", {rsPermanentFailure, rsPermanentFailure, rsPermanentFailure}, false},
      {"sender rejected", {{"MAIL FROM:<sender@source.test>", "553 bad sender\r\n"}}, "",
       {rsPermanentFailure, rsPermanentFailure, rsPermanentFailure}, false},
      {"sender deferred", {{"MAIL FROM:<sender@source.test>", "451 later\r\n"}}, "",
       {rsTemporaryFailure, rsTemporaryFailure, rsTemporaryFailure}, false},
      {"DATA refused", {{"DATA", "554 no data\r\n"}}, "",
       {rsPermanentFailure, rsPermanentFailure, rsPermanentFailure}, false},
      {"message rejected after the data", {{"<DATA>", "554 5.7.1 spam\r\n"}}, "",
       {rsPermanentFailure, rsPermanentFailure, rsPermanentFailure}, true},
      {"message deferred after the data", {{"<DATA>", "451 4.3.0 later\r\n"}}, "",
       {rsTemporaryFailure, rsTemporaryFailure, rsTemporaryFailure}, true},
      {"no answer after the data", {{"<DATA>", "<close>"}}, "",
       {rsTemporaryFailure, rsTemporaryFailure, rsTemporaryFailure}, true},
      {"connection lost at a recipient", {{"RCPT TO:<b2@far.test>", "<close>"}}, "",
       {rsTemporaryFailure, rsTemporaryFailure, rsTemporaryFailure}, false},
      {"greeting 421", {}, "421 busy\r\n", {rsTemporaryFailure, rsTemporaryFailure, rsTemporaryFailure}, false},
      {"greeting garbage", {}, "hello there\r\n",
       {rsTemporaryFailure, rsTemporaryFailure, rsTemporaryFailure}, false},
      {"greeting names this host", {}, "220 mx.test ESMTP\r\n",
       {rsPermanentFailure, rsPermanentFailure, rsPermanentFailure}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    list.Clear();
    TSmtpScript script;
    script.replies = c.replies;
    if (!c.greeting.empty()) script.greeting = c.greeting;
    TScriptedServer server(script.Responder());
    server.SetTrickle(std::string(c.name) == "multi-line replies");
    TDataRec file{QueueFile()};
    for (const char* user : {"b1", "b2", "b3"}) list.Add(Entry(&file, user, "far.test"));
    RunTask(RelayEnvironment(server.Port()));
    EXPECT_EQ(States(list), c.expected);
    const std::vector<std::string> messages = server.Messages();
    EXPECT_EQ(messages.size(), c.messageSent ? 1u : 0u);
    if (c.messageSent && !messages.empty()) {
      // Stuffed on the wire: the body line ".dot line" goes as "..dot line".
      EXPECT_EQ(messages[0], "Received: from here\r\nSubject: hello\r\n\r\n..dot line\r\nbody\r\n.\r\n");
    }
    EXPECT_EQ(server.Connections(), 1);
  }
}

// A server that answers and hangs up at once (answer and close in one segment): the answer
// decides, as if the connection had stayed; only a close without a whole reply is a broken
// connection. Nothing more is sent on the closed connection.
TEST_F(RelayTaskTest, ReplyThatArrivesWithTheClose) {
  const std::vector<int> temporary{rsTemporaryFailure, rsTemporaryFailure, rsTemporaryFailure};
  const std::vector<int> permanent{rsPermanentFailure, rsPermanentFailure, rsPermanentFailure};
  const std::vector<int> delivered{rsDelivered, rsDelivered, rsDelivered};
  const std::string mail = "MAIL FROM:<sender@source.test>";
  struct Case {
    const char* name;
    std::string greeting;
    std::map<std::string, std::string> replies;
    std::vector<int> expected;  // states of b1, b2, b3
    bool messageSent;
    std::string lastLine;  // the last line the server received ("" none)
    const char* logged;    // in the log ("" nothing asked)
  } cases[] = {
      {"greeting 421", "421 busy\r\n<close>", {}, temporary, false, "", "greeting refused with 421"},
      {"554 to MAIL", "", {{mail, "554 no thanks\r\n<close>"}}, permanent, false, "1: " + mail, ""},
      {"multi-line 554 to MAIL", "", {{mail, "554-no\r\n554 thanks\r\n<close>"}}, permanent, false, "1: " + mail, ""},
      {"554 to DATA", "", {{"DATA", "554 no thanks\r\n<close>"}}, permanent, false, "1: DATA", ""},
      {"554 after the data", "", {{"<DATA>", "554 5.7.1 no thanks\r\n<close>"}}, permanent, true, "1: <DATA>", ""},
      {"250 after the data", "", {{"<DATA>", "250 queued\r\n<close>"}}, delivered, true, "1: <DATA>", ""},
      {"half a reply", "", {{mail, "554 no th<close>"}}, temporary, false, "1: " + mail, ""},
  };
  const std::string logPath = temp.Path() + "mail.log";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    list.Clear();
    TSmtpScript script;
    script.replies = c.replies;
    if (!c.greeting.empty()) script.greeting = c.greeting;
    TScriptedServer server(script.Responder());
    TDataRec file{QueueFile()};
    for (const char* user : {"b1", "b2", "b3"}) list.Add(Entry(&file, user, "far.test"));
    const size_t logBefore = testing::FileBytes(logPath).size();
    RunTask(RelayEnvironment(server.Port()));
    EXPECT_EQ(States(list), c.expected);
    EXPECT_EQ(server.Messages().size(), c.messageSent ? 1u : 0u);
    const std::vector<std::string> transcript = server.Transcript();
    EXPECT_EQ(transcript.empty() ? std::string() : transcript.back(), c.lastLine);
    EXPECT_EQ(server.Connections(), 1);
    if (*c.logged != '\0') {
      EXPECT_NE(testing::FileBytes(logPath).substr(logBefore).find(c.logged), std::string::npos);
    }
  }
}

// The next queue file after a server that delivered and hung up goes over a new connection.
TEST_F(RelayTaskTest, ConnectionTheServerClosedIsNotReused) {
  TSmtpScript script;
  TScriptedServer server([responder = script.Responder()](const std::string& line, int connection) {
    if (line == "<DATA>" && connection == 1) return std::string("250 queued\r\n<close>");
    return responder(line, connection);
  });
  TDataRec first{QueueFile()}, second{QueueFile()};
  list.Add(Entry(&first, "a", "far.test"));
  list.Add(Entry(&second, "b", "far.test"));
  RunTask(RelayEnvironment(server.Port()));
  EXPECT_EQ(States(list), (std::vector<int>{rsDelivered, rsDelivered}));
  EXPECT_EQ(server.Connections(), 2);
  EXPECT_EQ(server.Transcript(),
            (std::vector<std::string>{"1: HELO mx.test", "1: MAIL FROM:<sender@source.test>", "1: RCPT TO:<a@far.test>",
                                      "1: DATA", "1: <DATA>", "2: HELO mx.test", "2: MAIL FROM:<sender@source.test>",
                                      "2: RCPT TO:<b@far.test>", "2: DATA", "2: <DATA>", "2: QUIT"}));
}

TEST_F(RelayTaskTest, TranscriptOfOneDelivery) {
  TSmtpScript script;
  TScriptedServer server(script.Responder());
  TDataRec file{QueueFile()};
  list.Add(Entry(&file, "b1", "far.test"));
  list.Add(Entry(&file, "b2", "far.test"));
  RunTask(RelayEnvironment(server.Port()));
  EXPECT_EQ(server.Transcript(),
            (std::vector<std::string>{"1: HELO mx.test", "1: MAIL FROM:<sender@source.test>",
                                      "1: RCPT TO:<b1@far.test>", "1: RCPT TO:<b2@far.test>", "1: DATA", "1: <DATA>",
                                      "1: QUIT"}));
  EXPECT_EQ(running.load(), 0);
  EXPECT_EQ(queueWakes, 1);  // the last task to end wakes the queue
}

TEST_F(RelayTaskTest, ReusedConnectionIsResetBetweenTransactions) {
  // Without a relay server two files for one domain go over one connection to that domain;
  // with one, batches for different domains share the connection to it.
  struct Case {
    const char* name;
    bool relayServer;
    const char* domain1;
    const char* domain2;
  } cases[] = {{"same domain, no relay server", false, "127.0.0.1", "127.0.0.1"},
               {"two domains through the relay server", true, "one.test", "two.test"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    list.Clear();
    TSmtpScript script;
    TScriptedServer server(script.Responder());
    TDataRec first{QueueFile()}, second{QueueFile()};
    list.Add(Entry(&first, "a", c.domain1));
    list.Add(Entry(&second, "b", c.domain2, "other@source.test"));
    TRelayEnvironment environment = RelayEnvironment(server.Port());
    if (!c.relayServer) environment.relayServer.clear();
    RunTask(environment);
    EXPECT_EQ(States(list), (std::vector<int>{rsDelivered, rsDelivered}));
    EXPECT_EQ(server.Connections(), 1);
    const std::string d1 = c.domain1, d2 = c.domain2;
    EXPECT_EQ(server.Transcript(),
              (std::vector<std::string>{"1: HELO mx.test", "1: MAIL FROM:<sender@source.test>",
                                        "1: RCPT TO:<a@" + d1 + ">", "1: DATA", "1: <DATA>", "1: RSET",
                                        "1: MAIL FROM:<other@source.test>", "1: RCPT TO:<b@" + d2 + ">", "1: DATA",
                                        "1: <DATA>", "1: QUIT"}));
  }
}

TEST_F(RelayTaskTest, FailedResetReconnects) {
  TSmtpScript script;
  script.replies["RSET"] = "500 what\r\n";
  TScriptedServer server(script.Responder());
  TDataRec first{QueueFile()}, second{QueueFile()};
  list.Add(Entry(&first, "a", "far.test"));
  list.Add(Entry(&second, "b", "far.test"));
  RunTask(RelayEnvironment(server.Port()));
  EXPECT_EQ(States(list), (std::vector<int>{rsDelivered, rsDelivered}));
  EXPECT_EQ(server.Connections(), 2);
}

TEST_F(RelayTaskTest, SoftRejectsAreRetriedThenBounced) {
  TSmtpScript script;
  script.replies["RCPT TO:<b@far.test>"] = "451 greylisted\r\n";
  TScriptedServer server(script.Responder());
  TDataRec file{QueueFile()};
  list.Add(Entry(&file, "b", "far.test"));
  const TRelayEnvironment environment = RelayEnvironment(server.Port());  // RelayRetries 2
  TQueueRecs released, bounced;
  int attempts = 0;
  for (int minute = 0; minute <= 200 && bounced.empty(); ++minute) {
    clock = kStart + minute * kMinute;
    const int before = server.Connections();
    RunTask(environment);
    attempts += server.Connections() - before;
    list.Update(clock, 30, released, bounced);
  }
  EXPECT_EQ(attempts, 3);  // the first try and two retries, 30 minutes apart
  ASSERT_EQ(bounced.size(), 1u);
  EXPECT_TRUE(released.empty());
  EXPECT_EQ(bounced[0]->user, "b");
  EXPECT_EQ(list.Count(), 0);
  EXPECT_NEAR(clock, kStart + 60 * kMinute, 1e-9);
}

TEST_F(RelayTaskTest, HardRejectBouncesAtOnce) {
  TSmtpScript script;
  script.replies["RCPT TO:<b@far.test>"] = "550 5.1.1 unknown\r\n";
  TScriptedServer server(script.Responder());
  TDataRec file{QueueFile()};
  list.Add(Entry(&file, "b", "far.test"));
  RunTask(RelayEnvironment(server.Port()));
  TQueueRecs released, bounced;
  list.Update(clock, 30, released, bounced);
  EXPECT_EQ(bounced.size(), 1u);
  EXPECT_EQ(server.Connections(), 1);
}

TEST_F(RelayTaskTest, RefusedConnectionIsRetried) {
  int port = 0;
  {
    TSmtpScript script;
    TScriptedServer server(script.Responder());
    port = server.Port();
  }  // nobody listens there now
  TDataRec file{QueueFile()};
  list.Add(Entry(&file, "b", "far.test"));
  RunTask(RelayEnvironment(port));
  EXPECT_EQ(States(list), std::vector<int>{rsTemporaryFailure});
}

TEST_F(RelayTaskTest, LoopsAndThisHostAreRefusedWithoutConnecting) {
  struct Case {
    const char* name;
    int receivedLines;
    const char* relayServer;
    int expected;
  } cases[] = {
      {"30 hops pass", 29, "127.0.0.1", rsDelivered},  // + the queue file's own trace line
      {"31 hops loop", 30, "127.0.0.1", rsPermanentFailure},
      {"relay server is this host", 0, "MX.test", rsPermanentFailure},
      {"relay server is localhost", 0, "localhost", rsPermanentFailure},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    list.Clear();
    TSmtpScript script;
    TScriptedServer server(script.Responder());
    std::string message;
    for (int i = 0; i < c.receivedLines; ++i) message += "Received: from hop" + std::to_string(i) + "\r\n";
    message += "Subject: loop\r\n\r\nbody\r\n";
    TDataRec file{QueueFile(message)};
    list.Add(Entry(&file, "b", "far.test"));
    TRelayEnvironment environment = RelayEnvironment(server.Port());
    environment.relayServer = c.relayServer;
    RunTask(environment);
    EXPECT_EQ(States(list), std::vector<int>{c.expected});
    EXPECT_EQ(server.Connections(), c.expected == rsDelivered ? 1 : 0);
  }
}

// Without a relay server the domain's exchangers are tried by preference (the look-up answers
// fixed records; nothing asks a real name server): 127.0.0.2 refuses (nobody listens there),
// 127.0.0.1 is the scripted server.
TEST_F(RelayTaskTest, ExchangersAreTriedByPreference) {
  using platform::TMailExchanger;
  using platform::TMxAnswer;
  struct Case {
    const char* name;
    const char* domain;
    TMxAnswer answer;
    std::vector<TMailExchanger> exchangers;
    const char* relayServer;
    int expected;
    int connections;
    int lookups;
  } cases[] = {
      {"lowest preference first, the next when it fails", "far.test", TMxAnswer::Found,
       {{20, "127.0.0.1"}, {10, "127.0.0.2"}}, "", rsDelivered, 1, 1},
      {"no exchangers: the domain itself", "127.0.0.1", TMxAnswer::None, {}, "", rsDelivered, 1, 1},
      {"no answer now: tried later", "far.test", TMxAnswer::Failed, {}, "", rsTemporaryFailure, 0, 1},
      {"root exchanger: takes no mail", "far.test", TMxAnswer::Found, {{0, ""}}, "", rsPermanentFailure, 0, 1},
      {"only exchanger is this host", "far.test", TMxAnswer::Found, {{10, "MX.test"}}, "", rsPermanentFailure, 0, 1},
      {"a relay server is asked no exchangers", "far.test", TMxAnswer::Found, {{10, "127.0.0.2"}}, "127.0.0.1",
       rsDelivered, 1, 0},
      {"every exchanger refuses: tried later", "far.test", TMxAnswer::Found, {{10, "127.0.0.2"}, {20, "127.0.0.3"}},
       "", rsTemporaryFailure, 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    list.Clear();
    TSmtpScript script;
    TScriptedServer server(script.Responder());
    TDataRec file{QueueFile()};
    list.Add(Entry(&file, "b", c.domain));
    TRelayEnvironment environment = RelayEnvironment(server.Port());
    environment.relayServer = c.relayServer;
    std::vector<std::string> asked;
    environment.lookupMx = [&asked, &c](const std::string& domain, std::vector<TMailExchanger>& exchangers) {
      asked.push_back(domain);
      exchangers = c.exchangers;
      return c.answer;
    };
    RunTask(environment);
    EXPECT_EQ(States(list), std::vector<int>{c.expected});
    EXPECT_EQ(server.Connections(), c.connections);
    EXPECT_EQ(asked.size(), static_cast<size_t>(c.lookups));
    if (!asked.empty()) {
      EXPECT_EQ(asked[0], c.domain);
    }
  }
}

TEST_F(RelayTaskTest, AddressesThatWouldForgeCommandLinesAreRefused) {
  TSmtpScript script;
  TScriptedServer server(script.Responder());
  TDataRec file{QueueFile()};
  list.Add(Entry(&file, "evil\r\nRCPT TO:<x", "far.test"));
  list.Add(Entry(&file, "good", "far.test"));
  RunTask(RelayEnvironment(server.Port()));
  EXPECT_EQ(States(list), (std::vector<int>{rsPermanentFailure, rsDelivered}));
  for (const std::string& line : server.Transcript()) EXPECT_EQ(line.find("evil"), std::string::npos) << line;
}

TEST_F(RelayTaskTest, NothingDueMeansNoConnection) {
  TSmtpScript script;
  TScriptedServer server(script.Responder());
  TDataRec file{QueueFile()};
  list.Add(Entry(&file, "b", "far.test"));
  TRelayBatch batch;
  ASSERT_TRUE(list.TakeRelayBatch("", batch, clock, 2));
  list.Report(batch[0], rsTemporaryFailure);
  TQueueRecs released, bounced;
  list.Update(clock, 30, released, bounced);
  RunTask(RelayEnvironment(server.Port()));
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_EQ(States(list), std::vector<int>{rsWaiting});
}

// The queue daemon's relay step with a waiting entry: a task is started only once the entry is
// due, so a task's end (which wakes the daemon) does not start the next one at once.
TEST_F(RelayTaskTest, NoBusyLoopWhileAnEntryWaits) {
  TSmtpScript script;
  script.replies["RCPT TO:<b@far.test>"] = "451 later\r\n";
  TScriptedServer server(script.Responder());
  TDataRec file{QueueFile()};
  list.Add(Entry(&file, "b", "far.test"));
  const TRelayEnvironment environment = RelayEnvironment(server.Port());
  core::TDaemon daemon;  // the queue daemon's stand-in: its lock and idle time
  int rounds = 0;
  int tasks = 0;
  bool woken = true;  // woken at start
  platform::TDateTime nextInterval = kStart;
  const platform::TDateTime end = kStart + 90 * kMinute;
  while (clock <= end && rounds < 1000) {
    if (!woken) {
      clock = nextInterval;  // sleeps until its next 5-minute interval
      if (clock > end) break;
    }
    if (clock >= nextInterval) nextInterval = clock + 5 * kMinute;
    woken = false;
    ++rounds;
    TQueueRecs released, bounced;
    list.Update(clock, 30, released, bounced);
    bool start = false;
    StartRelayTaskWhenDue(daemon, list, running, clock, [&] { start = true; });
    if (start) {
      ++tasks;
      const int wakesBefore = queueWakes;
      RunTask(environment);
      woken = queueWakes > wakesBefore;
    }
  }
  EXPECT_LT(rounds, 1000) << "the daemon spins";
  // 90 minutes of 5-minute intervals (19 rounds) plus one extra round per task's end.
  EXPECT_LE(rounds, 19 + tasks);
  EXPECT_EQ(tasks, 3);  // at 0, 30 and 60 minutes
  EXPECT_EQ(server.Connections(), 3);
}

TEST_F(RelayTaskTest, TaskStartsAreLimited) {
  core::TDaemon daemon;
  TDataRec file{"f"};
  list.Add(Entry(&file, "b", "far.test"));
  std::atomic<int> tasks{0};
  int starts = 0;
  auto start = [&] {
    ++starts;
    ++tasks;
  };
  EXPECT_TRUE(StartRelayTaskWhenDue(daemon, list, tasks, clock, start));  // none running: at once
  EXPECT_FALSE(StartRelayTaskWhenDue(daemon, list, tasks, clock + 4 * kMinute, start));
  EXPECT_TRUE(StartRelayTaskWhenDue(daemon, list, tasks, clock + 6 * kMinute, start));  // idle 5 min per task
  tasks = kMaxRelayTasks;
  EXPECT_FALSE(StartRelayTaskWhenDue(daemon, list, tasks, clock + 600 * kMinute, start));
  tasks = 0;
  list.Clear();
  EXPECT_FALSE(StartRelayTaskWhenDue(daemon, list, tasks, clock, start));  // nothing due
  EXPECT_EQ(starts, 2);
}

}  // namespace
}  // namespace tovenmarsh::mail
