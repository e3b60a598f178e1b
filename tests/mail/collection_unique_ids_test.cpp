// Unique ids of collected messages: ids longer than the store's column are kept in a form that
// fits it and stays distinct, so a message left on the server is fetched once; and turning
// leave-copy off fetches nothing twice.
#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/timed_server.h"
#include "mail/fetch/popmail_task.h"
#include "relay_scripted_server.h"
#include "resources/table_defs.h"
#include "support/collection.h"
#include "support/mail_fakes.h"

namespace tovenmarsh::mail {
namespace {

class CollectionUniqueIds : public testing::MailFixture {};

// A store that keeps unique ids the way extmailbox.dat does: cut to the column's size.
class TColumnStore : public TCollectionStore {
 public:
  int ListAccounts(resources::TExtAccRecs&) override { return 0; }
  int ListUIDLs(const std::string&, resources::TExtMailDropRecs& list) override {
    list.insert(list.end(), stored.begin(), stored.end());
    return static_cast<int>(stored.size());
  }
  bool ReplaceUIDLs(const std::string&, const resources::TExtMailDropRecs& list) override {
    const resources::TAppTableDef& table = *resources::TableDefForPool(resources::piExtMailbox);
    const auto size = static_cast<size_t>(table.fields[resources::extmailbox::uidl].size);
    stored = list;
    for (resources::TExtMailDropRec& rec : stored) rec.uidl = rec.uidl.substr(0, size);
    return true;
  }
  resources::TExtMailDropRecs stored;
};

// With a copy left on the server, a message is fetched once: its unique id is remembered. The
// listing parser keeps ids of up to 255 bytes, but extmailbox.dat keeps 80; a longer id is
// stored cut short, never equals the server's again, and the message is fetched and delivered
// anew at every collection run, for as long as it stays on the server.
// Fault: unique ids longer than the uidl column (80) are kept, so such messages are re-fetched
// every run.
TEST_F(CollectionUniqueIds, LongUniqueIdIsFetchedOnlyOnce) {
  const std::string uidl(100, 'u');
  testing::TScriptedServer server([&](const std::string& line, int) -> std::string {
    if (line == "<connect>") return "+OK ready\r\n";
    if (line == "UIDL") return "+OK\r\n1 " + uidl + "\r\n.\r\n";
    if (line == "LIST 1") return "+OK 1 30\r\n";
    if (line == "RETR 1") return "+OK\r\nSubject: once\r\n\r\nbody\r\n.\r\n";
    if (line.rfind("DELE", 0) == 0) return "-ERR kept\r\n";
    return "+OK\r\n";
  });
  TColumnStore store;
  platform::TDateTime clock = 46000.5;
  TPOPMailEnvironment environment = testing::CollectionEnvironment(folders, server.Port());
  environment.now = [&] { return clock; };
  environment.openStore = [&] {
    return std::unique_ptr<TCollectionStore>(std::make_unique<testing::TForwardingStore>(store));
  };
  resources::TExtAccRec account = testing::CollectionAccount();
  account.leavecopy = true;
  account.remafter = 0;
  for (int run = 0; run < 3; ++run) {
    TPOPMailTask task(environment);
    task.CollectAccount(account);
    clock += 30 * core::TTimedServer::kMinute;
  }
  EXPECT_EQ(testing::FilesIn(folders.queue).size(), 1u) << "the same message was queued again at each run";
}

TEST(StoredUidl, FitsTheColumnAndStaysDistinct) {
  const resources::TAppTableDef& table = *resources::TableDefForPool(resources::piExtMailbox);
  const auto column = static_cast<size_t>(table.fields[resources::extmailbox::uidl].size);
  for (const size_t length : {size_t{1}, size_t{70}, column}) {
    const std::string id(length, 'k');
    EXPECT_EQ(StoredUidl(id), id) << length;
  }
  std::vector<std::string> forms;
  for (const size_t length : {column + 1, size_t{100}, kMaxUidlLength}) {
    for (const char last : {'x', 'y'}) {
      const std::string id = std::string(length - 1, 'k') + last;
      const std::string stored = StoredUidl(id);
      EXPECT_EQ(stored.size(), column) << length;
      EXPECT_EQ(StoredUidl(id), stored);
      for (const std::string& other : forms) EXPECT_NE(stored, other) << length << last;
      EXPECT_NE(stored, id.substr(0, column));
      forms.push_back(stored);
    }
  }
}

// A POP3 mailbox with state: messages (unique id, body), deletions committed at QUIT.
class TStatefulMailbox {
 public:
  std::string Answer(const std::string& line) {
    std::lock_guard<std::mutex> guard(lock_);
    if (line == "<connect>") {
      marked_.clear();
      return "+OK ready\r\n";
    }
    const std::string verb = line.substr(0, line.find(' '));
    const std::string argument = line.size() > verb.size() ? line.substr(verb.size() + 1) : "";
    const size_t n = !argument.empty() && std::isdigit(static_cast<unsigned char>(argument[0])) ? std::stoul(argument) : 0;
    if ((verb == "UIDL" || verb == "LIST") && n == 0) {
      std::string text = "+OK\r\n";
      for (size_t i = 0; i < messages_.size(); ++i) {
        text += std::to_string(i + 1) + " " + (verb == "UIDL" ? messages_[i].first : "20") + "\r\n";
      }
      return text + ".\r\n";
    }
    if (n < 1 || n > messages_.size()) return line == "QUIT" ? Quit() : "+OK\r\n";
    if (verb == "LIST") return "+OK " + std::to_string(n) + " 20\r\n";
    if (verb == "RETR") return "+OK\r\n" + messages_[n - 1].second + "\r\n.\r\n";
    if (verb == "DELE") marked_.push_back(n - 1);
    return "+OK\r\n";
  }
  void Add(const std::string& uidl, const std::string& body) {
    std::lock_guard<std::mutex> guard(lock_);
    messages_.emplace_back(uidl, body);
  }
  size_t Count() {
    std::lock_guard<std::mutex> guard(lock_);
    return messages_.size();
  }

 private:
  std::string Quit() {
    std::sort(marked_.rbegin(), marked_.rend());
    marked_.erase(std::unique(marked_.begin(), marked_.end()), marked_.end());
    for (const size_t i : marked_) messages_.erase(messages_.begin() + static_cast<std::ptrdiff_t>(i));
    marked_.clear();
    return "+OK bye\r\n";
  }
  std::mutex lock_;
  std::vector<std::pair<std::string, std::string>> messages_;
  std::vector<size_t> marked_;
};

// A message fetched while a copy was left is not fetched again when leave-copy is turned off:
// it is deleted; new ones are fetched and deleted; once the ids from before are gone from the
// server, collection goes back to LIST.
TEST_F(CollectionUniqueIds, LeaveCopyTurnedOffFetchesNothingTwice) {
  TStatefulMailbox mailbox;
  testing::TScriptedServer server([&](const std::string& line, int) { return mailbox.Answer(line); });
  TColumnStore store;
  TPOPMailEnvironment environment = testing::CollectionEnvironment(folders, server.Port());
  environment.now = [] { return platform::TDateTime(46000.5); };
  environment.openStore = [&] {
    return std::unique_ptr<TCollectionStore>(std::make_unique<testing::TForwardingStore>(store));
  };
  resources::TExtAccRec account = testing::CollectionAccount();
  account.leavecopy = true;
  auto collect = [&] {
    TPOPMailTask task(environment);
    EXPECT_TRUE(task.CollectAccount(account));
  };
  auto listings = [&](const std::string& verb) {
    const std::vector<std::string> lines = server.Transcript();
    return std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
      return l.size() >= verb.size() && l.compare(l.size() - verb.size(), verb.size(), verb) == 0 &&
             l.find(": " + verb) != std::string::npos;
    });
  };

  mailbox.Add("first", "Subject: first\r\n\r\none");
  collect();  // leave-copy on: fetched and kept there
  EXPECT_EQ(testing::FilesIn(folders.queue).size(), 1u);
  EXPECT_EQ(mailbox.Count(), 1u);

  account.leavecopy = false;
  mailbox.Add("second", "Subject: second\r\n\r\ntwo");
  collect();  // the first is deleted unfetched, the second fetched and deleted
  EXPECT_EQ(testing::FilesIn(folders.queue).size(), 2u) << "a message left on the server arrived again";
  EXPECT_EQ(mailbox.Count(), 0u);
  ASSERT_EQ(store.stored.size(), 1u);
  EXPECT_EQ(store.stored[0].uidl, "first");

  mailbox.Add("third", "Subject: third\r\n\r\nthree");
  collect();  // the old id is gone from the server and from the store
  EXPECT_EQ(testing::FilesIn(folders.queue).size(), 3u);
  EXPECT_TRUE(store.stored.empty());
  const auto uidlBefore = listings("UIDL");
  EXPECT_EQ(uidlBefore, 3);
  mailbox.Add("fourth", "Subject: fourth\r\n\r\nfour");
  collect();  // plain LIST again
  EXPECT_EQ(listings("UIDL"), uidlBefore);
  EXPECT_EQ(testing::FilesIn(folders.queue).size(), 4u);
  EXPECT_EQ(mailbox.Count(), 0u);
}

}  // namespace
}  // namespace tovenmarsh::mail
