// Reading what a remote server answers to our relay and collection clients.
//
// TClientLines frames the bytes a TTCPClient receives into lines itself (a read round may hold
// part of a line or several lines; bytes after a reply stay for the next one). Every read is
// bounded: a line longer than the line bound, a reply of more lines than the reply bound and a
// dot-terminated body beyond its cap never grow memory past those bounds. Lines that arrive
// together with the server's close are still read; the close counts only once they are used up.
//
// SMTP replies may span lines: "250-first", "250-second", "250 last". ReadSMTPReply reads up
// to the final line (a code followed by a blank or by nothing) and answers the first digit of
// the code, or 0 when no well-formed reply came (closed, reset, time-out, garbage).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/tcp_client.h"

namespace tovenmarsh::mail {

class TClientLines {
 public:
  static constexpr size_t kDefaultMaxLine = 4096;
  static constexpr size_t kReadRound = 64u * 1024u;

  explicit TClientLines(core::TTCPClient& client, size_t maxLine = kDefaultMaxLine);

  // The next line without its line end (CR LF or a bare LF); false when the connection failed
  // or closed before a whole line came, or the line passed the bound.
  bool ReadLine(std::string& line);
  // The lines of a dot-terminated body (a POP3 multi-line answer after its status line) with
  // their line ends and the end-of-data line, exactly as sent (still dot-stuffed), appended to
  // body while it stays within cap bytes; beyond that the rest is read and dropped and
  // overflow is set. False when the connection failed before the end-of-data line.
  bool ReadDotBody(std::string& body, size_t cap, bool& overflow);
  // Forgets bytes kept from an earlier connection.
  void Reset() { pending_.clear(); }

 private:
  bool Fill();

  core::TTCPClient& client_;
  size_t maxLine_;
  std::string pending_;
};

// One line of an SMTP reply: a three-digit code, then "-" (more lines follow), " " or the end
// (final line). False for anything else.
bool ParseReplyLine(std::string_view line, int& code, bool& more);

struct TSMTPReply {
  int code = 0;                    // the final line's code; 0 when none came
  std::vector<std::string> lines;  // every line of the reply
  int Digit() const { return code / 100; }
};

// Lines a multi-line reply may have before it counts as garbage.
inline constexpr size_t kMaxReplyLines = 100;

// Reads one complete reply; answers its first digit (0 on failure, see above).
int ReadSMTPReply(TClientLines& lines, TSMTPReply& reply);

// The trace lines ("Received:", and this system's own "Recieved:") of a message's header,
// up to its first empty line.
int CountReceivedLines(std::string_view message);

}  // namespace tovenmarsh::mail
