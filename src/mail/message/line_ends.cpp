// Bringing message data to CR LF line ends.
#include "mail/message/line_ends.h"

namespace tovenmarsh::mail {

namespace {

// Whether every LF follows a CR and every CR precedes an LF. Searching for each byte on its
// own keeps the common case (clean CR LF data) at memchr speed.
bool OnlyCRLFPairs(std::string_view bytes) {
  for (size_t i = bytes.find('\n'); i != std::string_view::npos; i = bytes.find('\n', i + 1))
    if (i == 0 || bytes[i - 1] != '\r') return false;
  for (size_t i = bytes.find('\r'); i != std::string_view::npos; i = bytes.find('\r', i + 1))
    if (i + 1 >= bytes.size() || bytes[i + 1] != '\n') return false;
  return true;
}

}  // namespace

std::string_view WithCRLFLineEnds(std::string_view bytes, std::string& scratch) {
  if (OnlyCRLFPairs(bytes)) return bytes;
  scratch.clear();
  scratch.reserve(bytes.size() + bytes.size() / 8);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const char c = bytes[i];
    if (c == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') {
      scratch.append("\r\n");
      ++i;
    } else if (c == '\r' || c == '\n') {
      scratch.append("\r\n");
    } else {
      scratch.push_back(c);
    }
  }
  return scratch;
}

}  // namespace tovenmarsh::mail
