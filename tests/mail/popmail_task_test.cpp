// POP3 collection: the external-account list's schedule, the listing parser, and the
// collection task's POP3 client dialogue against a scripted mailbox server on loopback.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/log.h"
#include "core/timed_server.h"
#include "mail/fetch/popmail_accounts.h"
#include "mail/fetch/popmail_task.h"
#include "mail/store/queue_file.h"
#include "platform/date_time.h"
#include "relay_scripted_server.h"
#include "resources/table_defs.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

using testing::TScriptedServer;

constexpr platform::TDateTime kStart = 46000.5;
const platform::TDateTime kMinute = core::TTimedServer::kMinute;

resources::TExtAccRec Account(const std::string& id, bool active = true, int interval = 0) {
  resources::TExtAccRec account;
  account.mailserver = "127.0.0.1";
  account.mailusr = "u";
  account.mailpass = "p";
  account.accountno = 7;
  account.active = active;
  account.interval = interval;
  account.mailboxid = id;
  return account;
}

// ---- the external-account list ----

TEST(ExtAccountList, Schedule) {
  TExtAccountList list;
  EXPECT_EQ(list.Refresh({Account("a"), Account("off", false), Account("b", true, 10)}, kStart), 3);
  resources::TExtAccRec rec;
  std::vector<std::string> taken;
  while (list.NextDueExtAccount(rec, kStart)) taken.push_back(rec.mailboxid);
  EXPECT_EQ(taken, (std::vector<std::string>{"a", "b"}));  // an inactive account never
  EXPECT_FALSE(list.HasDue(kStart));
  // A refresh keeps the times of known mailboxes; a new one is due at once.
  list.Refresh({Account("a"), Account("b", true, 10), Account("c")}, kStart + kMinute);
  taken.clear();
  while (list.NextDueExtAccount(rec, kStart + kMinute)) taken.push_back(rec.mailboxid);
  EXPECT_EQ(taken, std::vector<std::string>{"c"});
  // Interval 0 means 30 minutes; 10 means 10.
  taken.clear();
  while (list.NextDueExtAccount(rec, kStart + 10 * kMinute)) taken.push_back(rec.mailboxid);
  EXPECT_EQ(taken, std::vector<std::string>{"b"});
  taken.clear();
  while (list.NextDueExtAccount(rec, kStart + 30 * kMinute)) taken.push_back(rec.mailboxid);
  // b, due again at 20 and 30, is taken twice to catch up.
  EXPECT_EQ(taken, (std::vector<std::string>{"a", "b", "b"}));
  EXPECT_EQ(rec.interval, 10);
}

TEST(ExtAccountList, OverdueAccountCatchesUpOnConsecutiveCalls) {
  TExtAccountList list;
  list.Refresh({Account("a")}, kStart);
  const platform::TDateTime late = kStart + 95 * kMinute;  // due at 0, 30, 60 and 90
  resources::TExtAccRec rec;
  int runs = 0;
  while (list.NextDueExtAccount(rec, late)) ++runs;
  EXPECT_EQ(runs, 4);
  EXPECT_EQ(rec.remafter, INT_MAX);  // 0: never remove
}

TEST(ExtAccountList, FilterMatchesTheServerIgnoringCase) {
  TExtAccountList list;
  resources::TExtAccRec other = Account("x");
  other.mailserver = "Pop.Example.org";
  list.Refresh({Account("a"), other}, kStart);
  resources::TExtAccRec rec;
  ASSERT_TRUE(list.NextDueExtAccount(rec, kStart, "EXAMPLE"));
  EXPECT_EQ(rec.mailboxid, "x");
  EXPECT_FALSE(list.NextDueExtAccount(rec, kStart, "EXAMPLE"));
}

// ---- the listing parser ----

TEST(PopmailListing, BadLinesArePassedOver) {
  const std::vector<std::string> lines = {"1 abc",     "2 def ghi",  "x uid",  "0 zero",     "-3 neg",
                                          "4",         "5 a\x01b",   "",       "1234567890 big",
                                          "6 " + std::string(300, 'u'), "7 ok"};
  const std::vector<TCollectItem> uidl = ParseListing(lines, true, "box", kStart);
  std::vector<std::string> got;
  for (const TCollectItem& item : uidl) got.push_back(item.rec.msgno + "=" + item.rec.uidl);
  EXPECT_EQ(got, (std::vector<std::string>{"1=abc", "2=def", "7=ok"}));
  for (const TCollectItem& item : uidl) {
    EXPECT_FALSE(item.remove);
    EXPECT_EQ(item.rec.id, "box");
  }
  const std::vector<TCollectItem> list = ParseListing(lines, false, "box", kStart);
  got.clear();
  for (const TCollectItem& item : list) got.push_back(item.rec.msgno);
  EXPECT_EQ(got, (std::vector<std::string>{"1", "2", "4", "5", "6", "7"}));
  for (const TCollectItem& item : list) EXPECT_TRUE(item.remove);
}

// ---- the collection task against a scripted POP3 server ----

struct TPopMessage {
  std::string uidl;
  std::string body;           // CR LF lines, without the end-of-data line
  long long announced = -1;   // the size LIST n reports (-1: the true size)
};

// A mailbox served over POP3: messages marked by DELE go at QUIT.
class TPopBox {
 public:
  std::vector<TPopMessage> messages;
  bool supportsUidl = true;
  int hangUpAtRetr = 0;  // RETR of this number hangs up (once)
  std::map<std::string, std::string> scripted;  // exact client line -> answer, before all else

  TScriptedServer::TResponder Responder() {
    return [this](const std::string& line, int) { return Answer(line); };
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages.size();
  }

 private:
  static std::string Stuffed(const std::string& body) {
    std::string out;
    size_t pos = 0;
    while (pos < body.size()) {
      size_t end = body.find("\r\n", pos);
      end = end == std::string::npos ? body.size() : end + 2;
      if (body[pos] == '.') out += '.';
      out.append(body, pos, end - pos);
      pos = end;
    }
    if (!out.empty() && out.back() != '\n') out += "\r\n";
    return out + ".\r\n";
  }

  const TPopMessage* Message(const std::string& number, size_t& index) {
    index = static_cast<size_t>(std::atoi(number.c_str()));
    if (index < 1 || index > messages.size() || deleted_.count(index) != 0) return nullptr;
    return &messages[index - 1];
  }

  std::string Answer(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::string verb = line.substr(0, line.find(' '));
    const std::string argument = line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
    size_t index = 0;
    const auto answer = scripted.find(line);
    if (answer != scripted.end()) return answer->second;
    if (line == "<connect>") {
      deleted_.clear();
      return "+OK ready\r\n";
    }
    if (verb == "USER") return "+OK\r\n";
    if (verb == "PASS") return argument == "p" ? "+OK in\r\n" : "-ERR denied\r\n";
    if (verb == "STAT") return "+OK " + std::to_string(messages.size()) + " 0\r\n";
    if ((verb == "UIDL" || verb == "LIST") && argument.empty()) {
      if (verb == "UIDL" && !supportsUidl) return "-ERR no\r\n";
      std::string out = "+OK\r\n";
      for (size_t i = 1; i <= messages.size(); ++i) {
        if (deleted_.count(i) != 0) continue;
        out += std::to_string(i) + " " +
               (verb == "UIDL" ? messages[i - 1].uidl : std::to_string(messages[i - 1].body.size())) + "\r\n";
      }
      return out + ".\r\n";
    }
    if (verb == "LIST") {
      const TPopMessage* message = Message(argument, index);
      if (message == nullptr) return "-ERR no such message\r\n";
      const long long size = message->announced >= 0 ? message->announced
                                                     : static_cast<long long>(message->body.size());
      return "+OK " + argument + " " + std::to_string(size) + "\r\n";
    }
    if (verb == "RETR") {
      const TPopMessage* message = Message(argument, index);
      if (message == nullptr) return "-ERR no such message\r\n";
      if (static_cast<int>(index) == hangUpAtRetr) {
        hangUpAtRetr = 0;
        return "<close>";
      }
      return "+OK\r\n" + Stuffed(message->body);
    }
    if (verb == "DELE") {
      if (Message(argument, index) == nullptr) return "-ERR no such message\r\n";
      deleted_[index] = true;
      return "+OK\r\n";
    }
    if (verb == "QUIT") {
      std::vector<TPopMessage> kept;
      for (size_t i = 1; i <= messages.size(); ++i) {
        if (deleted_.count(i) == 0) kept.push_back(messages[i - 1]);
      }
      messages = kept;
      deleted_.clear();
      return "+OK bye\r\n";
    }
    return "-ERR unknown\r\n";
  }

  std::mutex lock_;
  std::map<size_t, bool> deleted_;
};

struct TFakeStoreData {
  resources::TExtAccRecs accounts;
  std::map<std::string, resources::TExtMailDropRecs> uidls;
  int replaces = 0;
};

class TFakeStore : public TCollectionStore {
 public:
  explicit TFakeStore(TFakeStoreData& data) : data_(data) {}
  int ListAccounts(resources::TExtAccRecs& list) override {
    list.insert(list.end(), data_.accounts.begin(), data_.accounts.end());
    return static_cast<int>(data_.accounts.size());
  }
  int ListUIDLs(const std::string& id, resources::TExtMailDropRecs& list) override {
    const auto& stored = data_.uidls[id];
    list.insert(list.end(), stored.begin(), stored.end());
    return static_cast<int>(stored.size());
  }
  bool ReplaceUIDLs(const std::string& id, const resources::TExtMailDropRecs& list) override {
    ++data_.replaces;
    // Kept as extmailbox.dat keeps them: cut to the column's size.
    const resources::TAppTableDef& table = *resources::TableDefForPool(resources::piExtMailbox);
    const auto size = static_cast<size_t>(table.fields[resources::extmailbox::uidl].size);
    data_.uidls[id] = list;
    for (resources::TExtMailDropRec& rec : data_.uidls[id]) rec.uidl = rec.uidl.substr(0, size);
    return true;
  }

 private:
  TFakeStoreData& data_;
};

class PopmailTaskTest : public testing::MailFixture {
 protected:
  TPOPMailEnvironment Environment(int port) {
    TPOPMailEnvironment environment;
    environment.accounts = &accounts;
    environment.folders = folders;
    environment.now = [this] { return clock; };
    environment.openStore = [this] { return std::unique_ptr<TCollectionStore>(std::make_unique<TFakeStore>(store)); };
    environment.port = port;
    environment.timeouts.firstReadWait = 5;
    environment.runningTasks = &running;
    environment.wakeQueue = [this] { ++queueWakes; };
    return environment;
  }

  // Runs one task over every due account at the clock's time.
  void Collect(int port, size_t maxMessage = 32u * 1024u * 1024u) {
    TPOPMailEnvironment environment = Environment(port);
    environment.maxMessage = maxMessage;
    TPOPMailTask task(environment);
    EXPECT_FALSE(task.Run());
  }

  std::vector<std::string> StoredUidls(const std::string& id) {
    std::vector<std::string> uidls;
    for (const auto& rec : store.uidls[id]) uidls.push_back(rec.uidl);
    return uidls;
  }

  // The message parts of the queued files, in file order, without the Received line.
  std::vector<std::string> Queued() {
    std::vector<std::string> bodies;
    for (const std::string& name : testing::FilesIn(folders.queue)) {
      TEnvelope envelope;
      EXPECT_EQ(ReadEnvelope(folders, name, envelope), TEnvelopeStatus::Ok);
      EXPECT_EQ(envelope.helo, "127.0.0.1");
      EXPECT_EQ(envelope.reversePath, "");
      EXPECT_EQ(envelope.accountNo, 7);
      EXPECT_TRUE(envelope.recipients.empty());
      std::string message = ReadQueueMessage(folders, name);
      EXPECT_EQ(message.rfind("Recieved: from 127.0.0.1 by ", 0), 0u);  // the system's own spelling
      const size_t subject = message.find("Subject: ");
      bodies.push_back(subject == std::string::npos ? message : message.substr(subject));
    }
    std::sort(bodies.begin(), bodies.end());
    return bodies;
  }

  static TPopMessage Msg(const std::string& uidl, const std::string& text) {
    return TPopMessage{uidl, "Subject: " + text + "\r\n\r\n.hidden dot\r\n" + text + " body", -1};
  }

  TExtAccountList accounts;
  TFakeStoreData store;
  platform::TDateTime clock = kStart;
  std::atomic<int> running{0};
  int queueWakes = 0;
};

TEST_F(PopmailTaskTest, WithoutLeaveCopyEveryMessageIsFetchedAndDeleted) {
  TPopBox box;
  box.messages = {Msg("u1", "one"), Msg("u2", "two")};
  TScriptedServer server(box.Responder());
  accounts.Refresh({Account("box")}, clock);
  Collect(server.Port());
  EXPECT_EQ(Queued(), (std::vector<std::string>{"Subject: one\r\n\r\n.hidden dot\r\none body",
                                                "Subject: two\r\n\r\n.hidden dot\r\ntwo body"}));
  EXPECT_EQ(box.Count(), 0u);
  EXPECT_EQ(store.replaces, 0);
  EXPECT_EQ(server.Transcript(),
            (std::vector<std::string>{"1: USER u", "1: PASS p", "1: STAT", "1: LIST", "1: LIST 1", "1: RETR 1",
                                      "1: DELE 1", "1: LIST 2", "1: RETR 2", "1: DELE 2", "1: QUIT"}));
  EXPECT_EQ(running.load(), 0);
  EXPECT_EQ(queueWakes, 1);
}

TEST_F(PopmailTaskTest, LeaveCopyFetchesOnceAndDeletesAfterRemafter) {
  TPopBox box;
  // Unique ids longer than the store's column, alike in their first hundred bytes.
  const std::string longId(100, 'u');
  box.messages = {Msg(longId + "1", "one"), Msg(longId + "2", "two")};
  TScriptedServer server(box.Responder());
  resources::TExtAccRec account = Account("box", true, 10);
  account.leavecopy = true;
  account.remafter = 60;
  struct Step {
    int minute;
    size_t queued;      // files in the queue afterwards
    size_t onServer;    // messages left on the server afterwards
  } steps[] = {{0, 2, 2}, {10, 2, 2}, {50, 2, 2}, {60, 2, 0}, {70, 2, 0}};
  accounts.Refresh({account}, clock);
  for (const Step& step : steps) {
    SCOPED_TRACE("minute " + std::to_string(step.minute));
    clock = kStart + step.minute * kMinute;
    Collect(server.Port());
    EXPECT_EQ(testing::FilesIn(folders.queue).size(), step.queued);
    EXPECT_EQ(box.Count(), step.onServer);
  }
  int retrieved = 0;
  for (const std::string& line : server.Transcript()) retrieved += line.find(": RETR ") != std::string::npos;
  EXPECT_EQ(retrieved, 2);
  EXPECT_TRUE(StoredUidls("box").empty());  // gone from the server, gone from the store
}

TEST_F(PopmailTaskTest, FailedFetchIsFetchedAtTheNextRun) {
  TPopBox box;
  box.messages = {Msg("u1", "one"), Msg("u2", "two"), Msg("u3", "three")};
  box.hangUpAtRetr = 2;
  TScriptedServer server(box.Responder());
  resources::TExtAccRec account = Account("box", true, 10);
  account.leavecopy = true;
  accounts.Refresh({account}, clock);
  Collect(server.Port());
  EXPECT_EQ(Queued(), std::vector<std::string>{"Subject: one\r\n\r\n.hidden dot\r\none body"});
  EXPECT_EQ(StoredUidls("box"), std::vector<std::string>{"u1"});  // only what was fetched
  clock += 10 * kMinute;
  Collect(server.Port());
  EXPECT_EQ(Queued(), (std::vector<std::string>{"Subject: one\r\n\r\n.hidden dot\r\none body",
                                                "Subject: three\r\n\r\n.hidden dot\r\nthree body",
                                                "Subject: two\r\n\r\n.hidden dot\r\ntwo body"}));
  EXPECT_EQ(StoredUidls("box"), (std::vector<std::string>{"u1", "u2", "u3"}));
  EXPECT_EQ(box.Count(), 3u);
}

TEST_F(PopmailTaskTest, OversizedMessagesArePassedOverNotDeleted) {
  TPopBox box;
  TPopMessage huge = Msg("u1", "huge");
  huge.announced = 4000000000LL;  // announced far beyond the cap (and beyond 32 bits)
  TPopMessage lying = Msg("u3", "lying");
  lying.body += std::string(5000, 'x');
  lying.announced = 10;  // announced small, sent large
  box.messages = {huge, Msg("u2", "fine"), lying, Msg("u4", "after")};
  TScriptedServer server(box.Responder());
  accounts.Refresh({Account("box")}, clock);
  Collect(server.Port(), 1000);
  EXPECT_EQ(Queued(), (std::vector<std::string>{"Subject: after\r\n\r\n.hidden dot\r\nafter body",
                                                "Subject: fine\r\n\r\n.hidden dot\r\nfine body"}));
  const std::vector<std::string> transcript = server.Transcript();
  EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "1: RETR 1"), 0);
  EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "1: RETR 3"), 1);
  EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "1: DELE 1"), 0);
  EXPECT_EQ(std::count(transcript.begin(), transcript.end(), "1: DELE 3"), 0);
  EXPECT_EQ(box.Count(), 2u);  // the two oversized messages stay on the server
  EXPECT_NE(testing::FileBytes(temp.Path() + "mail.log").find("passed over"), std::string::npos);
}

TEST_F(PopmailTaskTest, BodiesCutAtEveryPlaceArriveWhole) {
  TPopBox box;
  const std::string tricky = "Subject: cut\r\n\r\n.\r\n..\r\n.x\r\nline.\r\n. \r\n\r\n.";
  box.messages = {TPopMessage{"u1", tricky, -1}, Msg("u2", "next")};
  TScriptedServer server(box.Responder());
  server.SetTrickle(true);
  accounts.Refresh({Account("box")}, clock);
  Collect(server.Port());
  EXPECT_EQ(Queued(), (std::vector<std::string>{tricky, "Subject: next\r\n\r\n.hidden dot\r\nnext body"}));
  EXPECT_EQ(box.Count(), 0u);
}

TEST_F(PopmailTaskTest, UidlRefusedFallsBackToList) {
  TPopBox box;
  box.supportsUidl = false;
  box.messages = {Msg("u1", "one")};
  TScriptedServer server(box.Responder());
  resources::TExtAccRec account = Account("box");
  account.leavecopy = true;
  accounts.Refresh({account}, clock);
  Collect(server.Port());
  EXPECT_EQ(Queued().size(), 1u);
  EXPECT_EQ(box.Count(), 0u);
}

TEST_F(PopmailTaskTest, FailedLoginIsLoggedAndNothingFetched) {
  TPopBox box;
  box.messages = {Msg("u1", "one")};
  TScriptedServer server(box.Responder());
  resources::TExtAccRec account = Account("box");
  account.mailpass = "wrong";
  accounts.Refresh({account}, clock);
  Collect(server.Port());
  EXPECT_TRUE(testing::FilesIn(folders.queue).empty());
  EXPECT_NE(testing::FileBytes(temp.Path() + "mail.log")
                .find("Popmail login from account 7 with server 127.0.0.1 and user u failed"),
            std::string::npos);
  EXPECT_EQ(box.Count(), 1u);
}

// A server that answers and hangs up at once (answer and close in one segment): the answer
// counts; only a close without a whole answer is a lost connection, and the log tells which.
TEST_F(PopmailTaskTest, AnswerThatArrivesWithTheClose) {
  const std::string login = "Popmail login from account 7 with server 127.0.0.1 and user u";
  struct Case {
    const char* name;
    std::map<std::string, std::string> scripted;
    size_t queued;
    std::string lastLine;  // the last line the server received
    std::string logged;    // in the log ("" nothing asked)
    std::string notLogged;
  } cases[] = {
      {"-ERR to USER", {{"USER u", "-ERR no such user\r\n<close>"}}, 0, "1: USER u", login + " failed\r\n",
       "got no reply"},
      {"-ERR to PASS", {{"PASS p", "-ERR locked\r\n<close>"}}, 0, "1: PASS p", login + " failed\r\n",
       "got no reply"},
      {"no answer to USER", {{"USER u", "<close>"}}, 0, "1: USER u", login + " got no reply", login + " failed"},
      {"message and close on RETR",
       {{"RETR 1", "+OK\r\nSubject: one\r\n\r\n..hidden dot\r\none body\r\n.\r\n<close>"}}, 1, "1: RETR 1", "",
       login},
  };
  const std::string logPath = temp.Path() + "mail.log";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const std::string& name : testing::FilesIn(folders.queue)) std::remove((folders.queue + name).c_str());
    TPopBox box;
    box.messages = {Msg("u1", "one")};
    box.scripted = c.scripted;
    TScriptedServer server(box.Responder());
    accounts.Refresh({Account("box")}, clock);
    const size_t logBefore = testing::FileBytes(logPath).size();
    Collect(server.Port());
    EXPECT_EQ(Queued().size(), c.queued);
    const std::vector<std::string> transcript = server.Transcript();
    EXPECT_EQ(transcript.empty() ? std::string() : transcript.back(), c.lastLine) << "nothing sent after the close";
    const std::string log = testing::FileBytes(logPath).substr(logBefore);
    if (!c.logged.empty()) {
      EXPECT_NE(log.find(c.logged), std::string::npos) << log;
    }
    EXPECT_EQ(log.find(c.notLogged), std::string::npos) << log;
    EXPECT_EQ(box.Count(), 1u);
    clock += 31 * kMinute;
  }
}

TEST_F(PopmailTaskTest, CredentialsThatWouldAddCommandsAreRefused) {
  TPopBox box;
  box.messages = {Msg("u1", "one")};
  TScriptedServer server(box.Responder());
  resources::TExtAccRec account = Account("box");
  account.mailpass = "p\r\nDELE 1";
  accounts.Refresh({account}, clock);
  Collect(server.Port());
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_EQ(box.Count(), 1u);
}

TEST_F(PopmailTaskTest, DaemonStartsATaskOnlyForDueAccounts) {
  std::atomic<int> starts{0};
  TPOPMailEnvironment environment = Environment(0);
  environment.startTask = [&](core::TDaemon&) { ++starts; };
  TPopMailDaemon daemon(environment);
  store.accounts = {Account("off", false)};
  EXPECT_TRUE(daemon.Run());
  EXPECT_EQ(starts.load(), 0);  // nothing active: no task that would end at once
  store.accounts = {Account("off", false), Account("a")};
  EXPECT_TRUE(daemon.Run());
  EXPECT_EQ(starts.load(), 1);
  resources::TExtAccRec rec;
  ASSERT_TRUE(accounts.NextDueExtAccount(rec, clock));  // the task took it: next run in 30 minutes
  EXPECT_TRUE(daemon.Run());
  EXPECT_EQ(starts.load(), 1);
  clock += 30 * kMinute;
  EXPECT_TRUE(daemon.Run());
  EXPECT_EQ(starts.load(), 2);
}

}  // namespace
}  // namespace tovenmarsh::mail
