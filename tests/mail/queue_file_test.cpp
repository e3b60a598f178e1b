// Queue files and mailbox files: the formats round-trip, the envelope checks move unreadable
// files aside instead of failing on them forever, fields cannot add envelope lines, new files
// appear only whole, and the mailbox file's size and CRC agree with Python's zlib.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/tcp_buffer.h"
#include "mail/store/document_archive.h"
#include "mail/store/mailbox_file.h"
#include "mail/store/queue_file.h"
#include "platform/stream.h"
#include "support/mail_fakes.h"
#include "support/python_oracle.h"

namespace tovenmarsh::mail {
namespace {

class QueueFileTest : public testing::MailFixture {
 protected:
  std::string Path(const std::string& name) { return folders.QueueFileName(name); }
};

std::string LE32(uint32_t n) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[static_cast<size_t>(i)] = static_cast<char>((n >> (8 * i)) & 0xFF);
  return bytes;
}

TEST_F(QueueFileTest, TextRoundTripsThroughTheFileLayout) {
  const std::string message = "Subject: hi\r\n\r\n.\r\nbody";
  const std::string name = QueueMessageText(folders, "helo.example", "a@b.example", "x@local.test\r\ny@local.test\r\n",
                                            "Recieved: line\r\n", message, 0);
  const std::string envelope = "helo.example\r\na@b.example\r\n0\r\nx@local.test\r\ny@local.test\r\n";
  EXPECT_EQ(testing::FileBytes(Path(name)), LE32(envelope.size()) + envelope + "Recieved: line\r\n" + message);
  EXPECT_EQ(name.size(), 37u);

  TEnvelope read;
  ASSERT_EQ(ReadEnvelope(folders, name, read), TEnvelopeStatus::Ok);
  EXPECT_EQ(read.helo, "helo.example");
  EXPECT_EQ(read.reversePath, "a@b.example");
  EXPECT_EQ(read.accountNo, 0);
  EXPECT_EQ(read.recipients, (std::vector<std::string>{"x@local.test", "y@local.test"}));
  EXPECT_EQ(ReadQueueMessage(folders, name), "Recieved: line\r\n" + message);

  platform::TFileStream file(Path(name), platform::fmOpenRead);
  SkipEnvelope(file);
  EXPECT_EQ(file.Position(), static_cast<int64_t>(4 + envelope.size()));

  core::TTCPBuffer wire;
  ASSERT_TRUE(SendQueueFile(folders, name, wire));
  EXPECT_EQ(wire.GetText(), "Recieved: line\r\nSubject: hi\r\n\r\n..\r\nbody\r\n.\r\n");

  ASSERT_TRUE(DeleteQueueFile(folders, name));
  EXPECT_FALSE(DeleteQueueFile(folders, name));
  EXPECT_EQ(ReadEnvelope(folders, name, read), TEnvelopeStatus::Missing);
  EXPECT_TRUE(testing::FilesIn(folders.queue + "tmp/").empty());
}

TEST_F(QueueFileTest, BufferIsUnstuffedAndStreamIsTakenAsItIs) {
  core::TTCPBuffer received;
  received.AddText("Subject: s\r\n\r\n..\r\n..x\r\nend\r\n.\r\n");
  const std::string fromBuffer = QueueMessageFromBuffer(folders, "pop.example", "", "", received, 12);
  TEnvelope envelope;
  ASSERT_EQ(ReadEnvelope(folders, fromBuffer, envelope), TEnvelopeStatus::Ok);
  EXPECT_EQ(envelope.accountNo, 12);
  EXPECT_TRUE(envelope.recipients.empty());
  const std::string message = ReadQueueMessage(folders, fromBuffer);
  EXPECT_EQ(message.substr(0, 25), "Recieved: from pop.exampl");
  EXPECT_EQ(message.substr(message.find("\r\n") + 2), "Subject: s\r\n\r\n.\r\n.x\r\nend");

  platform::TStringStream stream("skipped|Subject: bounce\r\n\r\n.\r\n");
  stream.SetPosition(8);
  const std::string fromStream = QueueMessageFromStream(folders, "mx.test", "", "a@b.example", stream, 0);
  // A saved message's end-of-data line is not queued as part of it.
  EXPECT_EQ(ReadQueueMessage(folders, fromStream), "Subject: bounce\r\n");
  core::TTCPBuffer wire;
  ASSERT_TRUE(SendQueueFile(folders, fromStream, wire));
  EXPECT_EQ(wire.GetText(), "Subject: bounce\r\n\r\n.\r\n");
  platform::TStringStream plain("Subject: plain\r\n\r\nbody\r\n.x");
  EXPECT_EQ(ReadQueueMessage(folders, QueueMessageFromStream(folders, "mx.test", "", "a@b.example", plain, 0)),
            "Subject: plain\r\n\r\nbody\r\n.x");
}

TEST_F(QueueFileTest, EnvelopeFieldsCannotAddLines) {
  const std::vector<std::vector<std::string>> bad = {
      {"x\r\n7", "a@b", "r@c"},   {"x\n7", "a@b", "r@c"}, {"x\r7", "a@b", "r@c"}, {std::string("x\0y", 3), "a@b", "r@c"},
      {"x", "a@b\r\nz@y", "r@c"}, {"x", "a@b", "r@c\n7"}, {"x", "a@b", "r\r@c"},
  };
  for (const auto& fields : bad) {
    EXPECT_THROW(QueueMessageText(folders, fields[0], fields[1], fields[2], "", "m", 0), EQueueFile) << fields[0];
  }
  EXPECT_TRUE(testing::FilesIn(folders.queue).empty());
  EXPECT_TRUE(testing::FilesIn(folders.queue + "tmp/").empty());
}

// Random envelopes over every byte value: a field without CR, LF or NUL round-trips exactly
// through WriteEnvelope and ParseQueueFile; a field with one is refused; and cutting the
// written bytes anywhere inside the envelope is always found bad.
TEST(QueueEnvelopeModel, RandomFieldsRoundTripOrAreRefused) {
  std::mt19937 random(12);
  auto field = [&](bool allowBreaks) {
    std::string text(random() % 12, '\0');
    for (char& c : text) {
      c = static_cast<char>(random() % 256);
      if (!allowBreaks && (c == '\r' || c == '\n' || c == '\0')) c = 'x';
    }
    return text;
  };
  for (int round = 0; round < 2000; ++round) {
    const bool breaks = random() % 4 == 0;
    const std::string helo = field(breaks);
    const std::string reversePath = field(breaks);
    std::vector<std::string> recipients(random() % 4);
    std::string recipientsText;
    for (std::string& recipient : recipients) {
      recipient = field(breaks);
      if (recipient.empty()) recipient = "r";
      recipientsText += recipient + "\r\n";
    }
    const int accountNo = static_cast<int>(random() % 100);
    const std::string message = field(true);
    platform::TStringStream stream;
    const auto hasBreak = [](const std::string& text) {
      return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
    };
    bool refused = hasBreak(helo) || hasBreak(reversePath);
    for (const std::string& recipient : recipients) refused = refused || hasBreak(recipient);
    if (refused) {
      EXPECT_THROW(WriteEnvelope(helo, reversePath, recipientsText, stream, accountNo), EQueueFile);
      continue;
    }
    WriteEnvelope(helo, reversePath, recipientsText, stream, accountNo);
    stream.WriteString(message);
    const std::string bytes = stream.DataString();
    TEnvelope envelope;
    size_t messageStart = 0;
    std::string reason;
    ASSERT_TRUE(ParseQueueFile(bytes, envelope, messageStart, reason)) << reason;
    EXPECT_EQ(envelope.helo, helo);
    EXPECT_EQ(envelope.reversePath, reversePath);
    EXPECT_EQ(envelope.accountNo, accountNo);
    EXPECT_EQ(envelope.recipients, recipients);
    EXPECT_EQ(bytes.substr(messageStart), message);
    const size_t cut = random() % messageStart;
    EXPECT_FALSE(ParseQueueFile(std::string_view(bytes).substr(0, cut), envelope, messageStart, reason)) << cut;
  }
}

TEST_F(QueueFileTest, UnreadableFilesAreMovedAsideAndLogged) {
  struct TCase {
    const char* name;
    std::string bytes;
  };
  const std::string good = "h\r\nr\r\n0\r\n";
  const std::vector<TCase> cases = {
      {"empty", ""},
      {"short length", "ab"},
      {"length beyond the file", LE32(1000) + good},
      {"huge length", LE32(0xFFFFFFFFu) + good},
      {"two lines", LE32(6) + "h\r\nr\r\n"},
      {"unterminated line", LE32(10) + "h\r\nr\r\n0\r\nx" + "message"},
      {"stray LF", LE32(11) + "h\nx\r\nr\r\n0\r\n" + "message"},
  };
  for (const TCase& bad : cases) {
    const std::string name = std::string("bad_") + std::to_string(&bad - cases.data());
    testing::WriteFileBytes(Path(name), bad.bytes);
    TEnvelope envelope;
    EXPECT_EQ(ReadEnvelope(folders, name, envelope), TEnvelopeStatus::Bad) << bad.name;
    EXPECT_FALSE(testing::FileBytes(folders.BadQueueFolder() + name).empty() && !bad.bytes.empty()) << bad.name;
  }
  EXPECT_TRUE(testing::FilesIn(folders.queue).empty());
  EXPECT_EQ(testing::FilesIn(folders.BadQueueFolder()).size(), cases.size());
  EXPECT_NE(testing::FileBytes(temp.Path() + "mail.log").find("moved to the bad queue folder"), std::string::npos);

  // The smallest sound file: a non-number account line reads as 0, no recipients.
  const std::string sound = "h\r\nr\r\nabc\r\n";
  testing::WriteFileBytes(Path("ok"), LE32(static_cast<uint32_t>(sound.size())) + sound + "msg");
  TEnvelope envelope;
  ASSERT_EQ(ReadEnvelope(folders, "ok", envelope), TEnvelopeStatus::Ok);
  EXPECT_EQ(envelope.accountNo, 0);
  EXPECT_TRUE(envelope.recipients.empty());
  EXPECT_EQ(ReadQueueMessage(folders, "ok"), "msg");
}

TEST_F(QueueFileTest, ScanTakesUpOnlyNewWholeFiles) {
  std::vector<std::string> names;
  EXPECT_FALSE(ScanQueueFolder(folders, names));
  const std::string a = QueueMessageText(folders, "h", "r", "x@y\r\n", "", "1", 0);
  const std::string b = QueueMessageText(folders, "h", "r", "x@y\r\n", "", "2", 0);
  testing::WriteFileBytes(folders.queue + "tmp/partial", "half");
  testing::WriteFileBytes(folders.queue + ".hidden", "x");
  EnsureFolder(folders.BadQueueFolder());
  testing::WriteFileBytes(folders.BadQueueFolder() + "old", "x");
  EXPECT_TRUE(ScanQueueFolder(folders, names));
  std::vector<std::string> expected = {a, b};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
  EXPECT_TRUE(ScanQueueFolder(folders, names));
  EXPECT_EQ(names.size(), 2u);
  const std::string c = QueueMessageText(folders, "h", "r", "x@y\r\n", "", "3", 0);
  EXPECT_TRUE(ScanQueueFolder(folders, names));
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[2], c);
}

TEST_F(QueueFileTest, ManyFilesGetDistinctNames) {
  std::vector<std::string> names;
  for (int i = 0; i < 100; ++i) names.push_back(QueueMessageText(folders, "h", "r", "x@y\r\n", "", std::to_string(i), 0));
  std::sort(names.begin(), names.end());
  EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
  EXPECT_EQ(testing::FilesIn(folders.queue).size(), 100u);
}

TEST_F(QueueFileTest, MailboxFileIsReturnPathPlusMessagePartWithZlibCrc) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a@b.example", "Subject: x\r\n\r\nbody\r\n.\r\nend"},
      {"", ""},
      {"c@d.example", std::string("bin\0ary\xff\r\n", 11)},
  };
  std::vector<std::string> contents;
  std::vector<resources::TMailDropRec> records;
  for (const auto& [reversePath, message] : cases) {
    const std::string queued = QueueMessageText(folders, "h", reversePath, "u@local.test\r\n", "", message, 0);
    TDataRec file;
    file.fileName = queued;
    TQueueRec entry;
    entry.queueFile = &file;
    entry.reversePath = reversePath;
    resources::TMailDropRec record;
    DeliverToMailbox(folders, entry, record);
    const std::string bytes = testing::FileBytes(folders.MailFileName(record.id));
    EXPECT_EQ(bytes, "Return-Path: <" + reversePath + ">\r\n" + message);
    EXPECT_EQ(record.size, static_cast<int>(bytes.size()));
    EXPECT_TRUE(MailboxFileExists(folders, record.id));
    contents.push_back(bytes);
    records.push_back(record);

    core::TTCPBuffer wire;
    ASSERT_TRUE(SendMailboxFile(folders, record.id, wire));
    EXPECT_EQ(wire.View().substr(wire.Length() - 5), "\r\n.\r\n");
  }
  const std::vector<std::string> crcs = testing::RunPythonOracle(R"PY(
import zlib
def oracle(records):
    out = []
    for r in records:
        v = zlib.crc32(r) ^ 0xFFFFFFFF
        if v >= 0x80000000: v -= 0x100000000
        v = 2147483647 if v == -0x80000000 else abs(v)
        out.append(str(v).encode())
    return out
)PY",
                                                                 contents);
  ASSERT_EQ(crcs.size(), contents.size());
  for (size_t i = 0; i < contents.size(); ++i) EXPECT_EQ(std::to_string(records[i].hash), crcs[i]) << i;
  EXPECT_TRUE(DeleteMailboxFile(folders, records[0].id));
  EXPECT_FALSE(MailboxFileExists(folders, records[0].id));
  core::TTCPBuffer wire;
  EXPECT_FALSE(SendMailboxFile(folders, records[0].id, wire));
  EXPECT_TRUE(testing::FilesIn(folders.mail + "tmp/").empty());
}

class TRecordingStore : public TDocumentStore {
 public:
  void AddDocument(const TDocumentRow& row) override {
    if (fail) throw EQueueFile("store down");
    rows.push_back(row);
  }
  std::vector<TDocumentRow> rows;
  bool fail = false;
};

TEST_F(QueueFileTest, ArchiveCopiesTheMessagePartAndDescribesIt) {
  const std::string message =
      "From: Bob <bob@sender.example>\r\nTo: Joe <joe@local.test>, Ann <ann@local.test>\r\n"
      "Subject: Quarterly report\r\n\r\nFigures attached.\r\n";
  TRecordingStore store;
  for (const std::string reversePath : {"bounce@sender.example", ""}) {
    const std::string name = QueueMessageText(folders, "h", reversePath, "joe@local.test\r\n", "", message, 0);
    ArchiveQueueFile(folders, name, store);
    EXPECT_EQ(testing::FileBytes(folders.DocumentFileName(name)), message);
    // A second archive of the same file (after a crash) keeps the document as it is.
    ArchiveQueueFile(folders, name, store);
    EXPECT_EQ(testing::FileBytes(folders.DocumentFileName(name)), message);
    const TDocumentRow& row = store.rows.back();
    EXPECT_EQ(row.description, "Quarterly report");
    EXPECT_EQ(row.to, "joe@local.test,ann@local.test");
    EXPECT_EQ(row.from, "bob@sender.example");
    EXPECT_EQ(row.replyto, reversePath.empty() ? "bob@sender.example" : reversePath);
    EXPECT_EQ(row.fromdomain, "sender.example");
    EXPECT_NE(row.content.find("Figures attached."), std::string::npos);
    EXPECT_EQ(row.extfileref, name);
  }
  EXPECT_EQ(store.rows.size(), 4u);
  EXPECT_TRUE(testing::FilesIn(folders.document + "tmp/").empty());
  EXPECT_EQ(testing::FilesIn(folders.document).size(), 2u);

  store.fail = true;
  const std::string name = QueueMessageText(folders, "h", "", "joe@local.test\r\n", "", message, 0);
  EXPECT_THROW(ArchiveQueueFile(folders, name, store), EQueueFile);
  testing::WriteFileBytes(Path("broken"), "xx");
  store.fail = false;
  EXPECT_THROW(ArchiveQueueFile(folders, "broken", store), EQueueFile);
  EXPECT_EQ(store.rows.size(), 4u);
}

// A message longer than the 2 MB its row is made from is archived whole as a file, its row made
// from its start, and the cut is logged rather than passed over in silence.
TEST_F(QueueFileTest, ArchiveOfALongMessageLogsTheCutRow) {
  const std::string start = "Subject: long one\r\nFrom: <ann@sender.example>\r\n\r\nThe first words.\r\n";
  std::string message = start;
  while (message.size() < 3u * 1024 * 1024) message += std::string(998, 'z') + "\r\n";
  message += "The last words.\r\n";
  TRecordingStore store;
  const std::string name = QueueMessageText(folders, "h", "", "joe@local.test\r\n", "", message, 0);
  ArchiveQueueFile(folders, name, store);
  ASSERT_EQ(store.rows.size(), 1u);
  EXPECT_EQ(store.rows[0].description, "long one");
  EXPECT_NE(store.rows[0].content.find("The first words."), std::string::npos);
  EXPECT_EQ(testing::FileBytes(folders.DocumentFileName(name)), message);
  const std::string log = testing::FileBytes(temp.Path() + "mail.log");
  EXPECT_NE(log.find("Queue file " + name + ": the archive row holds the text of the first 2097152 of " +
                     std::to_string(message.size()) + " bytes"),
            std::string::npos)
      << log;
  // A message within the bound is not logged.
  const std::string shortName = QueueMessageText(folders, "h", "", "joe@local.test\r\n", "", start, 0);
  ArchiveQueueFile(folders, shortName, store);
  EXPECT_EQ(testing::FileBytes(temp.Path() + "mail.log").find("Queue file " + shortName), std::string::npos);
}

}  // namespace
}  // namespace tovenmarsh::mail
