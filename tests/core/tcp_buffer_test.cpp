// TTCPBuffer: capacity and growth, line taking, raw transfers, and the dot-transparent
// transfers checked against a table, a simple model and 1024-byte piece boundaries.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/tcp_buffer.h"
#include "platform/stream.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

using platform::TStringStream;

std::string Stuffed(const std::string& message) {
  TStringStream in(message);
  TTCPBuffer buffer;
  const int64_t read = buffer.LoadFromStreamStuffed(in);
  EXPECT_EQ(read, static_cast<int64_t>(message.size()));
  return buffer.GetText();
}

std::string Unstuffed(const std::string& wire) {
  TTCPBuffer buffer;
  buffer.AddText(wire);
  TStringStream out;
  buffer.SaveToStreamUnstuffed(out);
  return out.DataString();
}

// The model: a "." goes before the first line and after every CR LF when a "." follows.
std::string ModelStuffed(const std::string& message) {
  if (message.empty()) return std::string();
  std::string out;
  for (size_t i = 0; i < message.size(); ++i) {
    const bool lineStart = i == 0 || (i >= 2 && message[i - 2] == '\r' && message[i - 1] == '\n');
    if (lineStart && message[i] == '.') out += '.';
    out += message[i];
  }
  return out + "\r\n.\r\n";
}

TEST(TCPBuffer, CapacityHasAFloorAndGrowsGeometrically) {
  EXPECT_EQ(TTCPBuffer(10).Capacity(), 1024u);
  EXPECT_EQ(TTCPBuffer(-2048).Capacity(), 2048u);
  EXPECT_EQ(TTCPBuffer().Capacity(), 8192u);
  TTCPBuffer buffer(1024);
  buffer.AddText("abc");
  buffer.SetCapacity(5000);
  EXPECT_EQ(buffer.Capacity(), 5000u);
  EXPECT_EQ(buffer.Length(), 0u) << "SetCapacity empties the buffer";
  buffer.SetCapacity(1024);
  int growths = 0;
  size_t last = buffer.Capacity();
  for (int i = 0; i < 1000000; ++i) {
    buffer.AddBytes("x", 1);
    if (buffer.Capacity() != last) {
      ++growths;
      last = buffer.Capacity();
    }
  }
  EXPECT_EQ(buffer.Length(), 1000000u);
  EXPECT_LE(growths, 11) << "a byte-by-byte append must not reallocate per byte";
  EXPECT_EQ(buffer.Data()[buffer.Capacity()], 0) << "the byte after the capacity stays zero";
  buffer.Clear();
  EXPECT_FALSE(buffer.HasData());
  EXPECT_EQ(buffer.Capacity(), last) << "Clear keeps the capacity";
}

TEST(TCPBuffer, TakeLineFindsCRLFStartingUpToIndex512) {
  const struct {
    std::string data;
    std::string line;
    std::string rest;
  } cases[] = {
      {"HELO x\r\nMAIL", "HELO x\r\n", "MAIL"},
      {"\r\n", "\r\n", ""},
      {"a\r\nb\r\n", "a\r\n", "b\r\n"},
      {std::string(600, 'x'), "", std::string(600, 'x')},
      {std::string(512, 'x') + "\r\nz", std::string(512, 'x') + "\r\n", "z"},
      {std::string(513, 'x') + "\r\nz", "", std::string(513, 'x') + "\r\nz"},
      {"abc\r", "", "abc\r"},
      {"abc\n\r", "", "abc\n\r"},
      {"", "", ""},
  };
  for (const auto& c : cases) {
    TTCPBuffer buffer;
    buffer.AddText(c.data);
    EXPECT_EQ(buffer.TakeLine(), c.line) << c.data.substr(0, 20);
    EXPECT_EQ(buffer.GetText(), c.rest) << c.data.substr(0, 20);
  }
}

TEST(TCPBuffer, RawStreamTransfers) {
  TStringStream in("0123456789");
  in.SetPosition(4);
  TTCPBuffer buffer;
  buffer.AddText("ab");
  EXPECT_EQ(buffer.LoadFromStream(in), 0);
  EXPECT_EQ(buffer.GetText(), "ab456789");
  TStringStream more("xyz");
  buffer.AddStream(more);
  EXPECT_EQ(buffer.GetText(), "ab456789xyz");
  TStringStream out;
  buffer.SaveToStream(out);
  EXPECT_EQ(out.DataString(), "ab456789xyz");
  EXPECT_TRUE(buffer.EndsWith("xyz"));
  EXPECT_FALSE(buffer.EndsWith("0ab456789xyz"));
}

TEST(TCPBuffer, StuffingRoundTripTable) {
  const struct {
    std::string message;
    std::string wire;
  } cases[] = {
      {"a\r\n.\r\nb", "a\r\n..\r\nb\r\n.\r\n"},
      {".\r\n.\r\n.", "..\r\n..\r\n..\r\n.\r\n"},  // consecutive single-dot lines
      {".", "..\r\n.\r\n"},                        // a first line of one dot
      {".b\r\nc", "..b\r\nc\r\n.\r\n"},
      {"a\r\n..\r\nx", "a\r\n...\r\nx\r\n.\r\n"},
      {"a\r\n..b", "a\r\n...b\r\n.\r\n"},
      {"a\r\n", "a\r\n\r\n.\r\n"},
      {"\r\n.\r\n", "\r\n..\r\n\r\n.\r\n"},
      {"\r\n\r\n", "\r\n\r\n\r\n.\r\n"},
      {"a\n.b", "a\n.b\r\n.\r\n"},  // a bare LF does not start a line
      {"a\r.b", "a\r.b\r\n.\r\n"},
      {"a\r\n.\r\n.\r\n..\r\nz", "a\r\n..\r\n..\r\n...\r\nz\r\n.\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Stuffed(c.message), c.wire) << c.message;
    EXPECT_EQ(Unstuffed(c.wire), c.message) << c.wire;
  }
}

TEST(TCPBuffer, StuffingOfAnEmptyOrFinishedStreamAppendsNothing) {
  TTCPBuffer buffer;
  TStringStream empty;
  EXPECT_EQ(buffer.LoadFromStreamStuffed(empty), 0);
  TStringStream done("abc");
  done.SetPosition(3);
  EXPECT_EQ(buffer.LoadFromStreamStuffed(done), 0);
  EXPECT_FALSE(buffer.HasData());
  TStringStream partial("xy\r\n.z");
  partial.SetPosition(2);
  buffer.AddText("+OK\r\n");
  EXPECT_EQ(buffer.LoadFromStreamStuffed(partial), 4);
  EXPECT_EQ(buffer.GetText(), "+OK\r\n\r\n..z\r\n.\r\n");
}

TEST(TCPBuffer, UnstuffingOfReceivedWireForms) {
  const struct {
    std::string wire;
    std::string message;
  } cases[] = {
      {"", ""},
      {".\r\n", ""},                // the end line alone: an empty message
      {"a\r\n.\r\n", "a"},
      {"\r\n.\r\n", ""},
      {"a\r\n..b", "a\r\n.b"},      // no end line: only the unstuffing
      {"a\r\n.\r\nb\r\n.\r\n", "a\r\n\r\nb"},
  };
  for (const auto& c : cases) EXPECT_EQ(Unstuffed(c.wire), c.message) << c.wire;
}

TEST(TCPBuffer, StuffingAcrossPieceBoundaries) {
  // Put dot lines, CR LF pairs and the end line at and around every offset near the
  // 1024-byte pieces of the transfers.
  for (size_t prefix = 1010; prefix <= 1040; ++prefix) {
    for (const char* tail : {"\r\n.\r\n..\r\nx", "\r\n.", "\r\n..", ".\r\n.\r\n"}) {
      std::string message(prefix, 'x');
      message += tail;
      message += std::string(2048 - prefix, 'y') + "\r\n." + std::string(1021, 'z') + "\r\n.";
      const std::string wire = Stuffed(message);
      ASSERT_EQ(wire, ModelStuffed(message)) << prefix;
      ASSERT_EQ(Unstuffed(wire), message) << prefix;
    }
  }
}

TEST(TCPBuffer, StuffingAgreesWithPythonsSmtplib) {
  // smtplib.quotedata is what a Python mail client sends for a message of CR LF lines.
  std::mt19937 rng(99);
  std::vector<std::string> messages;
  for (int i = 0; i < 200; ++i) {
    std::string message;
    const int lines = 1 + static_cast<int>(rng() % 12);
    for (int l = 0; l < lines; ++l) {
      if (l > 0) message += "\r\n";
      const int length = static_cast<int>(rng() % 5);
      for (int k = 0; k < length; ++k) message += ".ab"[rng() % 3];
    }
    if (!message.empty()) messages.push_back(message);
  }
  testing::TempFolder folder;
  std::string joined;
  for (const std::string& m : messages) joined += m + std::string(1, '\0');
  folder.Write("in", joined);
  const std::string script =
      "import smtplib,sys\n"
      "d=open(sys.argv[1],'rb').read().decode().split('\\0')[:-1]\n"
      "open(sys.argv[2],'wb').write(''.join(smtplib.quotedata(m)+'\\r\\n.\\r\\n\\0' for m in d).encode())\n";
  folder.Write("q.py", script);
  const std::string command = "python3 " + folder.Path() + "q.py " + folder.Path() + "in " + folder.Path() + "out";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string out = folder.Read("out");
  size_t at = 0;
  for (const std::string& m : messages) {
    const size_t end = out.find('\0', at);
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(Stuffed(m), out.substr(at, end - at)) << m;
    EXPECT_EQ(Unstuffed(out.substr(at, end - at)), m);
    at = end + 1;
  }
}

TEST(TCPBuffer, StuffingMatchesTheModelOnRandomMessages) {
  std::mt19937 rng(1234);
  const char alphabet[] = {'.', '.', '\r', '\n', 'a'};
  for (int round = 0; round < 400; ++round) {
    std::string message(rng() % 3000, 'a');
    for (char& c : message) c = alphabet[rng() % sizeof alphabet];
    const std::string wire = Stuffed(message);
    ASSERT_EQ(wire, ModelStuffed(message));
    ASSERT_EQ(Unstuffed(wire), message);
  }
}

}  // namespace
}  // namespace tovenmarsh::core
