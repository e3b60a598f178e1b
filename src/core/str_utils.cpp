// Text and number helpers: conversions, searching, field extraction.
#include "core/str_utils.h"

#include <cstring>
#include <limits>

namespace tovenmarsh::core {
namespace {

bool InSet(char c, std::string_view set) { return set.find(c) != std::string_view::npos; }

// The text without trailing CR and LF, but never shorter than one character.
std::string_view WithoutLineEnd(std::string_view text) {
  while (text.size() > 1 && (text.back() == '\r' || text.back() == '\n')) text.remove_suffix(1);
  return text;
}

bool SameCharFolded(char a, char b) { return UpCaseChar(a) == UpCaseChar(b); }

// 0-based index of pattern in text at or after from, or npos.
size_t FindFrom(std::string_view text, std::string_view pattern, size_t from, bool ignoreCase) {
  if (pattern.size() > text.size() || from > text.size() - pattern.size()) return std::string_view::npos;
  if (!ignoreCase) return text.find(pattern, from);
  for (size_t i = from; i + pattern.size() <= text.size(); ++i) {
    size_t k = 0;
    while (k < pattern.size() && SameCharFolded(text[i + k], pattern[k])) ++k;
    if (k == pattern.size()) return i;
  }
  return std::string_view::npos;
}

int PosFromImpl(std::string_view text, std::string_view pattern, int start, bool ignoreCase) {
  if (start <= 0) start = 1;
  if (static_cast<size_t>(start) > text.size() || pattern.size() > text.size()) return 0;
  const size_t found = FindFrom(text, pattern, static_cast<size_t>(start - 1), ignoreCase);
  return found == std::string_view::npos ? 0 : static_cast<int>(found) + 1;
}

}  // namespace

int TextToInt(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == ' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return 0;
  long long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return 0;
    value = value * 10 + (text[i] - '0');
    if (value > static_cast<long long>(std::numeric_limits<int>::max()) + 1) return 0;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<int>::max() || value < std::numeric_limits<int>::min()) return 0;
  return static_cast<int>(value);
}

std::string IntToText(long long n) { return std::to_string(n); }

bool TextToBool(std::string_view text) {
  if (text.empty()) return false;
  const char c = text[0];
  return !(c == 'F' || c == 'f' || c == 'N' || c == 'n');
}

std::string BoolToYesNo(bool flag) { return flag ? "Yes" : "No"; }

int HexToInt(std::string_view text) {
  uint32_t result = 0;
  uint32_t weight = 1;
  for (size_t i = text.size(); i > 0; --i) {
    const char c = text[i - 1];
    uint32_t digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<uint32_t>(c - '0');
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<uint32_t>(c - 'A' + 10);
    }
    result += digit * weight;
    weight *= 16;
  }
  return static_cast<int>(result);
}

uint32_t MinCardinal(uint32_t a, uint32_t b) { return a < b ? a : b; }

std::string StreamToText(platform::TStream& stream) {
  const int64_t size = stream.Size();
  if (size <= 0) return {};
  std::string text(static_cast<size_t>(size), '\0');
  text.resize(stream.Read(text.data(), text.size()));
  return text;
}

bool SameBytes(const void* a, const void* b, size_t n) { return n == 0 || std::memcmp(a, b, n) == 0; }

char UpCaseChar(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool SameTextN(std::string_view a, std::string_view b, int n) {
  if (n <= 0) return false;
  const auto count = static_cast<size_t>(n);
  if (a.size() < count || b.size() < count) return false;
  for (size_t i = 0; i < count; ++i) {
    if (!SameCharFolded(a[i], b[i])) return false;
  }
  return true;
}

int PosFrom(std::string_view text, std::string_view pattern, int start) {
  return PosFromImpl(text, pattern, start, false);
}

int PosFromText(std::string_view text, std::string_view pattern, int start) {
  return PosFromImpl(text, pattern, start, true);
}

std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement,
                       bool ignoreCase) {
  if (pattern.empty()) return std::string(text);
  std::string result;
  size_t from = 0;
  for (;;) {
    const size_t found = FindFrom(text, pattern, from, ignoreCase);
    if (found == std::string_view::npos) break;
    result.append(text.substr(from, found - from));
    result.append(replacement);
    from = found + pattern.size();
  }
  result.append(text.substr(from));
  return result;
}

int CountChar(std::string_view text, char c) {
  int count = 0;
  for (char x : text) count += x == c ? 1 : 0;
  return count;
}

std::string GetField(std::string_view text, int n, std::string_view delimiters) {
  text = WithoutLineEnd(text);
  if (n <= 0) return std::string(text);
  int field = 1;
  size_t start = 0;
  // The last character never ends a field.
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (!InSet(text[i], delimiters)) continue;
    if (field == n) return std::string(text.substr(start, i - start));
    ++field;
    start = i + 1;
  }
  return field == n ? std::string(text.substr(start)) : std::string();
}

std::string GetFieldsFrom(std::string_view text, int n, std::string_view delimiters) {
  text = WithoutLineEnd(text);
  if (n <= 0) return {};
  int seen = 0;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (InSet(text[i], delimiters) && ++seen == n) return std::string(text.substr(i + 1));
  }
  return {};
}

std::string GetFieldsBefore(std::string_view text, int n, std::string_view delimiters) {
  text = WithoutLineEnd(text);
  if (n <= 0) return {};
  int seen = 0;
  for (size_t i = text.size(); i > 1; --i) {
    if (InSet(text[i - 1], delimiters) && ++seen == n) return std::string(text.substr(0, i - 1));
  }
  return {};
}

std::string ExtractValue(std::string_view text, std::string_view name, std::string_view skip,
                         std::string_view terminators) {
  const size_t found = text.find(name);
  if (found == std::string_view::npos) return {};
  size_t start = found + name.size();
  for (char c : skip) {
    if (start < text.size() && text[start] == c) {
      ++start;
    } else {
      break;
    }
  }
  size_t end = start;
  while (end < text.size() && !InSet(text[end], terminators)) ++end;
  return std::string(text.substr(start, end - start));
}

std::string ExtractUntil(std::string_view text, char delimiter, int& position) {
  if (position < 1 || static_cast<size_t>(position) > text.size()) return {};
  const size_t found = text.find(delimiter, static_cast<size_t>(position));
  if (found == std::string_view::npos) return {};
  std::string result(text.substr(static_cast<size_t>(position) - 1, found + 1 - static_cast<size_t>(position)));
  position = static_cast<int>(found) + 1;
  return result;
}

std::string TextAfter(std::string_view text, std::string_view delimiter) {
  const size_t found = text.find(delimiter);
  if (found == std::string_view::npos) return {};
  return std::string(text.substr(found + delimiter.size()));
}

std::string StripEnclosing(std::string_view text, std::string_view leading, std::string_view trailing) {
  size_t start = 0;
  for (char c : leading) {
    const size_t found = text.find(c, start);
    if (found != std::string_view::npos) start = found + 1;
  }
  size_t end = text.size();  // one past the last kept character
  for (size_t k = trailing.size(); k > 0; --k) {
    if (end == 0) break;
    const size_t found = text.substr(0, end).rfind(trailing[k - 1]);
    if (found != std::string_view::npos) end = found;
  }
  if (end <= start) return {};
  return std::string(text.substr(start, end - start));
}

std::string TextToLines(std::string_view text, std::string_view separators) {
  std::string result;
  result.reserve(text.size());
  bool afterColon = false;
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == '"') continue;
    if (afterColon && c == ' ') {
      afterColon = false;
      continue;
    }
    afterColon = false;
    if (InSet(c, separators)) {
      result += "\r\n";
    } else {
      result += c;
      afterColon = c == ':';
    }
  }
  return result;
}

}  // namespace tovenmarsh::core
