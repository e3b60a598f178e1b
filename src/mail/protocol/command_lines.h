// TCommandLines: frames the bytes a client sends into command lines, one at a time, whatever
// the read rounds were (a round may hold several lines, or part of one).
//
// A line ends at LF; one CR before it is dropped. A line longer than the maximum is reported
// once as too long and its bytes are dropped up to its LF, so memory stays bounded by the
// maximum whatever the client sends. The bytes not yet framed stay available (Pending) for a
// caller that switches to reading message data.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tovenmarsh::mail {

class TCommandLines {
 public:
  enum class TResult { None, Line, TooLong };

  explicit TCommandLines(size_t maxLine) : maxLine_(maxLine) {}

  void Append(std::string_view bytes);
  // The next complete line (without CR LF), TooLong for an overlong one, None when no
  // complete line is there yet.
  TResult Next(std::string& line);

  std::string_view Pending() const { return std::string_view(pending_).substr(start_); }
  void Consume(size_t n);
  size_t MaxLine() const { return maxLine_; }

 private:
  void Compact();

  size_t maxLine_;
  std::string pending_;
  size_t start_ = 0;
  bool discarding_ = false;  // inside an overlong line already reported
};

// True when the line holds a CR or a NUL (it cannot hold an LF once framed): such a command
// is refused, since its fields would end up in envelope lines.
bool HasControlBreak(std::string_view line);
// Splits "WORD rest": word is up to the first blank, rest is after the blanks that follow it.
void SplitCommand(std::string_view line, std::string& word, std::string& rest);
// ASCII upper case.
std::string UpperAscii(std::string_view text);

}  // namespace tovenmarsh::mail
