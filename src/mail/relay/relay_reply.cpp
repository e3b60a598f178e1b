// Bounded line framing and SMTP reply parsing for the outgoing clients.
#include "mail/relay/relay_reply.h"

#include <algorithm>
#include <cctype>

namespace tovenmarsh::mail {

TClientLines::TClientLines(core::TTCPClient& client, size_t maxLine) : client_(client), maxLine_(maxLine) {}

bool TClientLines::Fill() {
  core::TReadSpec& framing = client_.ReadSpec();
  framing.lengthPrefix = false;
  framing.count = 0;
  framing.terminator.clear();
  framing.maximum = kReadRound;
  // Not connected, or the server has closed: what it sent before is all there is.
  if (!client_.Connected()) return false;
  // Bytes that came with the server's close count as read (Receive answers true for them).
  if (!client_.Receive()) return false;
  if (client_.Input().Length() == 0) return false;
  pending_.append(client_.Input().View());
  client_.Input().Clear();
  return true;
}

bool TClientLines::ReadLine(std::string& line) {
  for (;;) {
    const size_t end = pending_.find('\n');
    if (end != std::string::npos) {
      if (end > maxLine_ + 1) return false;
      size_t length = end;
      if (length > 0 && pending_[length - 1] == '\r') --length;
      line.assign(pending_, 0, length);
      pending_.erase(0, end + 1);
      return true;
    }
    if (pending_.size() > maxLine_ + 1) return false;
    if (!Fill()) return false;
  }
}

bool TClientLines::ReadDotBody(std::string& body, size_t cap, bool& overflow) {
  const size_t start = body.size();
  overflow = false;
  bool lineStart = true;
  for (;;) {
    size_t end = pending_.find('\n');
    while (end != std::string::npos) {
      const std::string_view piece(pending_.data(), end + 1);
      const bool last = lineStart && (piece == ".\r\n" || piece == ".\n");
      if (!overflow) {
        if (body.size() - start + piece.size() > cap) {
          overflow = true;
          body.resize(start);
        } else {
          body.append(piece);
        }
      }
      pending_.erase(0, end + 1);
      lineStart = true;
      if (last) {
        if (overflow) body.resize(start);
        return true;
      }
      end = pending_.find('\n');
    }
    // A line still without its end: move what came so far on, so that a long line costs no
    // more than the cap.
    if (!pending_.empty()) {
      const bool mayEndData = lineStart && pending_.size() <= 2 && pending_[0] == '.';
      if (!mayEndData) {
        if (!overflow && body.size() - start + pending_.size() > cap) {
          overflow = true;
          body.resize(start);
        }
        if (!overflow) body.append(pending_);
        pending_.clear();
        lineStart = false;
      }
    }
    if (!Fill()) {
      if (overflow) body.resize(start);
      return false;
    }
  }
}

bool ParseReplyLine(std::string_view line, int& code, bool& more) {
  if (line.size() < 3) return false;
  for (size_t i = 0; i < 3; ++i) {
    if (!std::isdigit(static_cast<unsigned char>(line[i]))) return false;
  }
  if (line[0] < '1' || line[0] > '5') return false;
  code = (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
  if (line.size() == 3 || line[3] == ' ') {
    more = false;
    return true;
  }
  if (line[3] == '-') {
    more = true;
    return true;
  }
  return false;
}

int ReadSMTPReply(TClientLines& lines, TSMTPReply& reply) {
  reply = TSMTPReply{};
  std::string line;
  while (reply.lines.size() < kMaxReplyLines) {
    if (!lines.ReadLine(line)) return 0;
    int code = 0;
    bool more = false;
    if (!ParseReplyLine(line, code, more)) return 0;
    reply.lines.push_back(line);
    if (!more) {
      reply.code = code;
      return reply.Digit();
    }
  }
  return 0;
}

int CountReceivedLines(std::string_view message) {
  // This system writes its own trace lines as "Recieved:"; both spellings count as a hop.
  static constexpr std::string_view kNames[] = {"received:", "recieved:"};
  auto startsWith = [](std::string_view line, std::string_view name) {
    return line.size() >= name.size() &&
           std::equal(name.begin(), name.end(), line.begin(),
                      [](char a, char b) { return a == std::tolower(static_cast<unsigned char>(b)); });
  };
  int count = 0;
  size_t pos = 0;
  while (pos < message.size()) {
    size_t end = message.find('\n', pos);
    if (end == std::string_view::npos) end = message.size();
    std::string_view line = message.substr(pos, end - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // end of the header
    if (startsWith(line, kNames[0]) || startsWith(line, kNames[1])) ++count;
    pos = end + 1;
  }
  return count;
}

}  // namespace tovenmarsh::mail
