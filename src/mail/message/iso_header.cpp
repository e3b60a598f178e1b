// ISO-8859-1 encoded-word decoder for header texts (contract in iso_header.h).
#include "mail/message/iso_header.h"

namespace tovenmarsh::mail {
namespace {

constexpr std::string_view kMarker = "=?iso-8859-1?";

bool IsHexDigit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'); }

// Lower-case digits are digits but weigh nothing, as the archive has always decoded them.
int UpperHexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

}  // namespace

std::string DecodeISOHeader(std::string_view text) {
  if (text.size() <= 15) return std::string(text);
  std::string result;
  result.reserve(text.size());
  size_t pos = 0;
  for (;;) {
    const size_t marker = text.find(kMarker, pos);
    if (marker == std::string_view::npos) break;
    result.append(text.substr(pos, marker - pos));
    size_t i = marker + kMarker.size() + 1;  // the marker and the encoding letter
    if (i < text.size() && text[i] == '?') ++i;  // its "?" (else "?=XX" would end the word)
    while (i < text.size()) {
      const char c = text[i];
      if (c == '?' && i + 1 < text.size() && text[i + 1] == '=') {
        i += 2;
        break;
      }
      if (c == '_') {
        result.push_back(' ');
        ++i;
      } else if (c == '=' && i + 2 < text.size() && IsHexDigit(text[i + 1]) && IsHexDigit(text[i + 2])) {
        result.push_back(static_cast<char>(UpperHexDigit(text[i + 1]) * 16 + UpperHexDigit(text[i + 2])));
        i += 3;
      } else {
        if (c != '?') result.push_back(c);
        ++i;
      }
    }
    pos = i < text.size() ? i : text.size();
  }
  result.append(text.substr(pos));
  return result;
}

}  // namespace tovenmarsh::mail
