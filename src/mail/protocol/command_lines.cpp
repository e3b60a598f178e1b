// Command-line framing shared by the SMTP and POP3 servers.
#include "mail/protocol/command_lines.h"

namespace tovenmarsh::mail {

void TCommandLines::Append(std::string_view bytes) {
  if (discarding_) {
    const size_t lf = bytes.find('\n');
    if (lf == std::string_view::npos) return;
    discarding_ = false;
    bytes.remove_prefix(lf + 1);
  }
  Compact();
  pending_.append(bytes);
}

void TCommandLines::Consume(size_t n) {
  start_ += n < Pending().size() ? n : Pending().size();
  Compact();
}

void TCommandLines::Compact() {
  if (start_ == 0) return;
  if (start_ >= pending_.size()) {
    pending_.clear();
  } else if (start_ > 4096 && start_ * 2 > pending_.size()) {
    pending_.erase(0, start_);
  } else {
    return;
  }
  start_ = 0;
}

TCommandLines::TResult TCommandLines::Next(std::string& line) {
  line.clear();
  for (;;) {
    const std::string_view rest = Pending();
    const size_t lf = rest.find('\n');
    if (discarding_) {
      if (lf == std::string_view::npos) {
        Consume(rest.size());
        return TResult::None;
      }
      discarding_ = false;
      Consume(lf + 1);
      continue;
    }
    if (lf == std::string_view::npos) {
      // Room for the CR LF beyond the longest line.
      if (rest.size() > maxLine_ + 1) {
        discarding_ = true;
        Consume(rest.size());
        return TResult::TooLong;
      }
      return TResult::None;
    }
    size_t end = lf;
    if (end > 0 && rest[end - 1] == '\r') --end;
    if (end > maxLine_) {
      Consume(lf + 1);
      return TResult::TooLong;
    }
    line.assign(rest.substr(0, end));
    Consume(lf + 1);
    return TResult::Line;
  }
}

bool HasControlBreak(std::string_view line) {
  return line.find_first_of(std::string_view("\r\n\0", 3)) != std::string_view::npos;
}

void SplitCommand(std::string_view line, std::string& word, std::string& rest) {
  const size_t blank = line.find(' ');
  word.assign(line.substr(0, blank));
  rest.clear();
  if (blank == std::string_view::npos) return;
  size_t start = blank;
  while (start < line.size() && line[start] == ' ') ++start;
  rest.assign(line.substr(start));
}

std::string UpperAscii(std::string_view text) {
  std::string upper(text);
  for (char& c : upper) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return upper;
}

}  // namespace tovenmarsh::mail
