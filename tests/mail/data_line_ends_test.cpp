// Line ends inside a message's data: a bare LF or CR before a dot never ends the data or
// reaches a relay server, data is stored with CR LF line ends and relayed with one end of data
// whatever the read rounds, and the end-of-data line of a collected message is never queued.
#include <algorithm>
#include <cctype>
#include <memory>
#include <mutex>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/tcp_buffer.h"
#include "core/timed_server.h"
#include "mail/store/document_archive.h"
#include "mail/message/line_ends.h"
#include "mail/fetch/popmail_task.h"
#include "mail/store/queue_file.h"
#include "mail/queue/queue_system.h"
#include "mail/relay/relay_list.h"
#include "mail/smtpd/smtp_server.h"
#include "mail/smtpd/smtp_system.h"
#include "relay_scripted_server.h"
#include "resources/table_defs.h"
#include "support/collection.h"
#include "support/dialogue.h"
#include "support/mail_fakes.h"
#include "support/smtp_dialogue.h"

namespace tovenmarsh::mail {
namespace {

using testing::kData;
using testing::kGreeting;
using testing::kHelo;
using testing::kOK;

// Positions of LF bytes not preceded by CR, and of CR bytes not followed by LF.
std::vector<size_t> BareLineEnds(const std::string& bytes) {
  std::vector<size_t> found;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != '\r')) found.push_back(i);
    if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')) found.push_back(i);
  }
  return found;
}

class DataLineEnds : public testing::MailFixture {
 protected:
  void SetUp() override {
    MailFixture::SetUp();
    AddJoeAndPostmaster();
  }

  std::unique_ptr<TSMTPServer> NewServer(const std::string& peer) { return testing::NewSmtpServer(Environment(), peer); }
};

// SMTP smuggling. A body line "x" LF "." CR LF is not the end of the data for this server, so
// the message is stored with the bare LF and relayed (and served) with it unchanged: the relay
// client writes "\n.\r\n" to the upstream server, which a lenient server takes as the end of the
// data; what follows is then read as commands of a second transaction, sent in this host's
// name. An SMTP client must not send a bare LF or CR (RFC 5321 2.3.8). Either refuse such data
// or send every line end as CR LF (and stuff a dot after it).
// Fault: bare LF inside DATA is stored and relayed as is (SendQueueFile emits "\n.\r\n").
TEST_F(DataLineEnds, BareLineFeedBeforeADotIsNeverRelayed) {
  auto server = NewServer("127.0.0.1");
  const std::string smuggled =
      "Subject: hi\r\n\r\nhello\n.\r\nMAIL FROM:<ceo@bank.example>\r\nRCPT TO:<victim@remote.example>\r\n"
      "DATA\r\n\r\nforged\r\n.\r\n";
  testing::OpenSmtpData(*server, "lan", "me@local.test", "friend@remote.example");
  const std::string answer = testing::Exchange(*server, smuggled);
  if (answer.rfind("250", 0) != 0) {
    SUCCEED() << "refused: " << answer;  // refusing such data is a sound mend too
    return;
  }
  ASSERT_FALSE(server->LastQueueFile().empty());
  core::TTCPBuffer relayed;
  ASSERT_TRUE(SendQueueFile(folders, server->LastQueueFile(), relayed));
  const std::string bytes = relayed.GetText();
  EXPECT_EQ(bytes.find("\n.\r\n"), bytes.size() - 4) << "an end of data before the real one:\n" << bytes;
  EXPECT_TRUE(BareLineEnds(bytes).empty()) << "bare CR or LF sent to the relay server:\n" << bytes;
}

// ---- line ends inside DATA: stored as CR LF, end of data only at CR LF "." CR LF ----

// The message part of a queue file after its Received line.
std::string StoredAfterReceived(const TMailFolders& folders, const std::string& name) {
  const std::string part = ReadQueueMessage(folders, name);
  const size_t end = part.find("\r\n");
  return end == std::string::npos ? part : part.substr(end + 2);
}

// Every bare CR or LF gone, one end-of-data line, at the very end.
void ExpectCleanRelay(const TMailFolders& folders, const std::string& name) {
  core::TTCPBuffer relayed;
  ASSERT_TRUE(SendQueueFile(folders, name, relayed));
  const std::string bytes = relayed.GetText();
  EXPECT_TRUE(BareLineEnds(bytes).empty()) << "bare CR or LF relayed:\n" << bytes;
  ASSERT_GE(bytes.size(), 5u);
  EXPECT_EQ(bytes.find("\r\n.\r\n"), bytes.size() - 5) << "an end of data before the real one:\n" << bytes;
}

struct TLineEndCase {
  const char* name;
  std::string data;    // sent after "Subject: t" CR LF CR LF, followed by CR LF "." CR LF
  std::string stored;  // what the queue file keeps after the header
};

const TLineEndCase kLineEndCases[] = {
    {"BareLF", "a\nb", "a\r\nb"},
    {"BareCR", "a\rb", "a\r\nb"},
    {"CrCrLf", "a\r\r\nb", "a\r\n\r\nb"},
    {"LfCrLf", "a\n\r\nb", "a\r\n\r\nb"},
    {"LfDotLf", "a\n.\nb", "a\r\n\r\nb"},
    {"LfDotCrLf", "a\n.\r\nb", "a\r\n\r\nb"},
    {"CrDotCr", "a\r.\rb", "a\r\n\r\nb"},
    {"CrDotCrLf", "a\r.\r\nb", "a\r\n\r\nb"},
    {"BareCRBeforeTheEnd", "a\r", "a\r\n"},
    {"BareLFBeforeTheEnd", "a\n", "a\r\n"},
    {"LfDotLfBeforeTheEnd", "a\n.\n", "a\r\n\r\n"},
    {"LfAtLineStart", "\n\nb", "\r\n\r\nb"},
    // A dot at the start of any line is a stuffing dot, whatever ended the line before (a bare
    // line end is stored as CR LF, so the line starts there); the relay stuffs every line again.
    {"StuffedAndBare", "..a\n..b\r\n.c", ".a\r\n.b\r\nc"},
    {"StuffedAfterBareCR", "a\r..b\r.c", "a\r\n.b\r\nc"},
    {"OnlyCRLF", "a\r\n..\r\nb", "a\r\n.\r\nb"},
};

void PrintTo(const TLineEndCase& c, std::ostream* os) { *os << c.name; }

class DataLineEndsStored : public DataLineEnds, public ::testing::WithParamInterface<TLineEndCase> {
 protected:
  // Sends data in rounds of piece bytes (0: one round); answers the queue file written.
  std::string Receive(const std::string& data, size_t piece) {
    auto server = NewServer("127.0.0.1");
    testing::OpenSmtpData(*server, "lan", "joe@local.test", "friend@remote.example");
    const std::string all = "Subject: t\r\n\r\n" + data + "\r\n.\r\n";
    std::string answers;
    const size_t step = piece == 0 ? all.size() : piece;
    for (size_t at = 0; at < all.size(); at += step) answers += testing::Exchange(*server, all.substr(at, step));
    EXPECT_EQ(answers, kOK);
    return server->LastQueueFile();
  }
};

TEST_P(DataLineEndsStored, StoredWithCrLfAndRelayedWithOneEnd) {
  const TLineEndCase& c = GetParam();
  for (const size_t piece : {size_t{0}, size_t{1}, size_t{2}, size_t{3}}) {
    SCOPED_TRACE("rounds of " + std::to_string(piece) + " bytes");
    const std::string name = Receive(c.data, piece);
    ASSERT_FALSE(name.empty());
    EXPECT_EQ(StoredAfterReceived(folders, name), "Subject: t\r\n\r\n" + c.stored);
    ExpectCleanRelay(folders, name);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DataLineEndsStored, ::testing::ValuesIn(kLineEndCases),
                         [](const ::testing::TestParamInfo<TLineEndCase>& info) { return info.param.name; });

// Random data of the bytes that matter, cut into random rounds: the message is stored the same
// whatever the rounds, with CR LF lines only, and relayed with its one end of data.
TEST_F(DataLineEnds, RandomDataIsStoredAlikeInAnyRounds) {
  std::mt19937 random(12);
  const char alphabet[] = {'a', '.', '\r', '\n'};
  for (int sample = 0; sample < 60; ++sample) {
    std::string data;
    const size_t length = random() % 24;
    for (size_t i = 0; i < length; ++i) data.push_back(alphabet[random() % 4]);
    // Data that holds the end of data itself ends the message early: not this test's case.
    if (("\r\n" + data + "\r\n").find("\r\n.\r\n") != std::string::npos) continue;
    SCOPED_TRACE(::testing::PrintToString(data));
    auto server = NewServer("127.0.0.1");
    testing::OpenSmtpData(*server, "lan", "joe@local.test", "friend@remote.example");
    const std::string all = data + "\r\n.\r\n";
    std::string answers;
    for (size_t at = 0; at < all.size();) {
      const size_t n = 1 + random() % 4;
      answers += testing::Exchange(*server, all.substr(at, n));
      at += n;
    }
    EXPECT_EQ(answers, kOK);
    const std::string rounds = StoredAfterReceived(folders, server->LastQueueFile());
    auto whole = NewServer("127.0.0.1");
    testing::OpenSmtpData(*whole, "lan", "joe@local.test", "friend@remote.example");
    EXPECT_EQ(testing::Exchange(*whole, all), kOK);
    EXPECT_EQ(StoredAfterReceived(folders, whole->LastQueueFile()), rounds);
    EXPECT_TRUE(BareLineEnds(rounds).empty());
    ExpectCleanRelay(folders, server->LastQueueFile());
  }
}

TEST(CrLfLineEnds, BareEndsBecomeCrLf) {
  struct TCase {
    std::string in;
    std::string out;
  };
  const TCase cases[] = {
      {"", ""},           {"abc", "abc"},       {"a\r\nb", "a\r\nb"}, {"\n", "\r\n"},
      {"\r", "\r\n"},     {"\r\r\n", "\r\n\r\n"}, {"\n\r", "\r\n\r\n"}, {"a\n\rb\r\n", "a\r\n\r\nb\r\n"},
  };
  for (const TCase& c : cases) {
    std::string scratch;
    EXPECT_EQ(WithCRLFLineEnds(c.in, scratch), c.out) << ::testing::PrintToString(c.in);
  }
}

// ---- the end-of-data line of a collected message ----

struct TCollectedCase {
  const char* name;
  std::string retr;    // what the server sends after "+OK" CR LF
  std::string stored;  // the queued message after its Received line
};

const TCollectedCase kCollectedCases[] = {
    {"CrLf", "Subject: c\r\n\r\nbody\r\n..x\r\n.\r\n", "Subject: c\r\n\r\nbody\r\n.x"},
    {"BareLfEnd", "Subject: c\r\n\r\nbody\r\n.\n", "Subject: c\r\n\r\nbody"},
    {"BareLfLines", "Subject: c\n\nbody\n..x\n.\n", "Subject: c\r\n\r\nbody\r\n.x"},
    {"BareLfThenCrLfEnd", "Subject: c\n\nbody\n.\r\n", "Subject: c\r\n\r\nbody"},
    {"EmptyBareLf", ".\n", ""},
};

void PrintTo(const TCollectedCase& c, std::ostream* os) { *os << c.name; }

class CollectedDataLineEnds : public DataLineEnds, public ::testing::WithParamInterface<TCollectedCase> {};

TEST_P(CollectedDataLineEnds, EndOfDataLineIsNeverQueued) {
  const TCollectedCase& c = GetParam();
  testing::TScriptedServer server([&](const std::string& line, int) -> std::string {
    if (line == "<connect>") return "+OK ready\r\n";
    if (line == "LIST") return "+OK\r\n1 30\r\n.\r\n";
    if (line == "LIST 1") return "+OK 1 30\r\n";
    if (line == "RETR 1") return "+OK\r\n" + c.retr;
    return "+OK\r\n";
  });
  TPOPMailEnvironment environment = testing::CollectionEnvironment(folders, server.Port());
  environment.now = [] { return platform::TDateTime(46000.5); };
  environment.openStore = [] { return std::unique_ptr<TCollectionStore>(); };
  const resources::TExtAccRec account = testing::CollectionAccount();
  TPOPMailTask task(environment);
  EXPECT_TRUE(task.CollectAccount(account));
  const std::vector<std::string> queued = testing::FilesIn(folders.queue);
  ASSERT_EQ(queued.size(), 1u);
  EXPECT_EQ(StoredAfterReceived(folders, queued[0]), c.stored);
}

INSTANTIATE_TEST_SUITE_P(Cases, CollectedDataLineEnds, ::testing::ValuesIn(kCollectedCases),
                         [](const ::testing::TestParamInfo<TCollectedCase>& info) { return info.param.name; });

}  // namespace
}  // namespace tovenmarsh::mail
