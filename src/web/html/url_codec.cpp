// Percent-decoding and percent-encoding of URLs (see url_codec.h).
#include "web/html/url_codec.h"

namespace tovenmarsh::web {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// The byte spelled by the two characters after text[i] == '%', or -1.
int EscapedByte(std::string_view text, size_t i) {
  if (i + 2 >= text.size()) return -1;
  const int high = HexValue(text[i + 1]);
  const int low = HexValue(text[i + 2]);
  if (high < 0 || low < 0) return -1;
  return high * 16 + low;
}

bool KeptRaw(unsigned char c) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '-': case '.': case '_': case '~': case ';': case ':': case '@': case ',': case '/':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string URLDecode(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      result += ' ';
    } else if (c != '%') {
      result += c;
    } else if (i + 1 < text.size() && text[i + 1] == '%') {
      result += '%';
      ++i;
    } else {
      const int byte = EscapedByte(text, i);
      if (byte < 0) throw EURLDecodeError("Invalid escape sequence in URL");
      result += static_cast<char>(byte);
      i += 2;
    }
  }
  return result;
}

std::string URLDecodeParameter(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '+') {
      result += ' ';
    } else if (c == '%' && EscapedByte(text, i) >= 0) {
      result += static_cast<char>(EscapedByte(text, i));
      i += 2;
    } else {
      result += c;
    }
  }
  return result;
}

std::string URLEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (KeptRaw(byte)) {
      result += c;
    } else {
      result += '%';
      result += kHex[byte >> 4];
      result += kHex[byte & 15];
    }
  }
  return result;
}

}  // namespace tovenmarsh::web
