// SMTP message data as the server stores it: dot-stuffing removed at every line start, whatever
// ended the line before, line ends made CR LF, the end of data only at CR LF "." CR LF, and the
// same result however the bytes are split into read rounds.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/protocol/data_unstuffer.h"

namespace tovenmarsh::mail {
namespace {

struct TResult {
  std::string message;
  bool ended = false;
  size_t taken = 0;  // bytes of the input that belonged to the data
};

// Feeds the input in rounds of the given size (0: all at once).
TResult Unstuff(const std::string& input, size_t round = 0) {
  TDataUnstuffer unstuffer;
  TResult result;
  size_t at = 0;
  while (at < input.size() && !unstuffer.Ended()) {
    const size_t n = round == 0 ? input.size() - at : std::min(round, input.size() - at);
    const size_t taken = unstuffer.Take(std::string_view(input).substr(at, n), result.message);
    EXPECT_TRUE(taken == n || unstuffer.Ended());
    at += taken;
    if (taken < n) break;
  }
  result.ended = unstuffer.Ended();
  result.taken = at;
  return result;
}

TEST(DataUnstuffer, Table) {
  struct TCase {
    const char* name;
    std::string input;
    std::string message;  // as stored
    bool ended;
    size_t rest;  // bytes after the end of data, left for the commands
  };
  const std::vector<TCase> cases = {
      {"empty message", ".\r\n", "", true, 0},
      {"one line; the CR LF before the end belongs to it", "x\r\n.\r\n", "x", true, 0},
      {"an empty last line stays", "x\r\n\r\n.\r\n", "x\r\n", true, 0},
      {"stuffed dots after CR LF", "..\r\n...\r\n..x\r\n.\r\n", ".\r\n..\r\n.x", true, 0},
      {"stuffed dot on the first line", "..x\r\n.\r\n", ".x", true, 0},
      {"a bare LF is stored as CR LF", "a\nb\r\n.\r\n", "a\r\nb", true, 0},
      {"a bare CR is stored as CR LF", "a\rb\r\n.\r\n", "a\r\nb", true, 0},
      {"stuffing dot after a bare LF", "a\n..x\r\n.\r\n", "a\r\n.x", true, 0},
      {"stuffing dot after a bare CR", "a\r..x\r\n.\r\n", "a\r\n.x", true, 0},
      {"a dot line after a bare LF is no end of data", "a\n.\r\nb\r\n.\r\n", "a\r\n\r\nb", true, 0},
      {"a doubled dot line after a bare LF is one dot", "a\n..\r\n.\r\n", "a\r\n.", true, 0},
      {"dot and bare LF after CR LF is no end", "a\r\n.\nb\r\n.\r\n", "a\r\n\r\nb", true, 0},
      {"dot and bare CR after CR LF is no end", "a\r\n.\rb\r\n.\r\n", "a\r\n\r\nb", true, 0},
      {"dot, CR, CR LF", "a\r\n.\r\r\n.\r\n", "a\r\n\r\n", true, 0},
      {"CR CR LF: a bare CR then CR LF", "a\r\r\nb\r\n.\r\n", "a\r\n\r\nb", true, 0},
      {"LF CR: two bare line ends", "a\n\rb\r\n.\r\n", "a\r\n\r\nb", true, 0},
      {"dot inside a line stays", "a.b\r\nc..\r\n.\r\n", "a.b\r\nc..", true, 0},
      {"bytes after the end belong to the commands", "x\r\n.\r\nQUIT\r\n", "x", true, 6},
      {"no end yet: the last CR LF is held back", "x\r\n", "x", false, 0},
      {"no end yet: a dot line may still become the end", "x\r\n.", "x", false, 0},
      {"NUL and 8-bit bytes pass", std::string("a\0\xff\r\n.\r\n", 8), std::string("a\0\xff", 3), true, 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (const size_t round : {size_t{0}, size_t{1}, size_t{2}, size_t{3}}) {
      SCOPED_TRACE("round " + std::to_string(round));
      const TResult result = Unstuff(c.input, round);
      EXPECT_EQ(result.message, c.message);
      EXPECT_EQ(result.ended, c.ended);
      if (c.ended) {
        EXPECT_EQ(c.input.size() - result.taken, c.rest);
      }
    }
  }
}

// What a client does that stuffs a dot at every line start, whatever ended the line (as
// smtplib does after LF), then sends the end of data.
std::string Stuff(const std::string& message) {
  std::string out;
  bool lineStart = true;
  for (const char c : message) {
    if (lineStart && c == '.') out.push_back('.');
    out.push_back(c);
    lineStart = c == '\n' || c == '\r';
  }
  // As smtplib: a CR LF unless the message ends with one, then the end-of-data line.
  const bool endsWithCRLF = message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0;
  return out + (endsWithCRLF ? "" : "\r\n") + ".\r\n";
}

// The message with every line end (CR LF, bare CR, bare LF) made CR LF.
std::string CRLFLines(const std::string& message) {
  std::string out;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\r') {
      out += "\r\n";
      if (i + 1 < message.size() && message[i + 1] == '\n') ++i;
    } else if (message[i] == '\n') {
      out += "\r\n";
    } else {
      out.push_back(message[i]);
    }
  }
  return out;
}

TEST(DataUnstuffer, RandomMessagesComeBackAsSentWithCRLFLines) {
  std::mt19937 random(20261211);
  const std::string alphabet = "..\r\n\rab \n";
  for (int n = 0; n < 3000; ++n) {
    std::string message;
    const size_t length = random() % 40;
    for (size_t i = 0; i < length; ++i) message.push_back(alphabet[random() % alphabet.size()]);
    // The CR LF before the end-of-data line is not stored: the message's own when it ends with
    // one, else the one the client added.
    std::string expected = CRLFLines(message);
    if (message.size() >= 2 && message.compare(message.size() - 2, 2, "\r\n") == 0) expected.resize(expected.size() - 2);
    const std::string wire = Stuff(message);
    const size_t round = 1 + random() % 7;
    const TResult result = Unstuff(wire, round);
    ASSERT_TRUE(result.ended) << testing::PrintToString(message);
    EXPECT_EQ(result.taken, wire.size()) << testing::PrintToString(message);
    EXPECT_EQ(result.message, expected) << testing::PrintToString(message);
  }
}

}  // namespace
}  // namespace tovenmarsh::mail
