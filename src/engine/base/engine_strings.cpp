// Small string, file-name, character-class and buffer helpers of the engine.
#include "engine/base/engine_strings.h"

#include <cstring>

#include "platform/win1252.h"

namespace tovenmarsh::engine {
namespace {

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && static_cast<uint8_t>(s.front()) <= ' ') s.remove_prefix(1);
  while (!s.empty() && static_cast<uint8_t>(s.back()) <= ' ') s.remove_suffix(1);
  return s;
}

// Position of the last directory separator or ':' (npos when none).
size_t LastPathBreak(std::string_view name) {
  for (size_t i = name.size(); i > 0; --i)
    if (IsSeparator(name[i - 1]) || name[i - 1] == ':') return i - 1;
  return std::string_view::npos;
}

}  // namespace

std::string PadLeft(std::string_view s, size_t n, char c) {
  std::string out;
  if (s.size() < n) out.assign(n - s.size(), c);
  out.append(s);
  return out;
}

std::string PadRight(std::string_view s, size_t n, char c) {
  std::string out(s);
  if (out.size() < n) out.append(n - out.size(), c);
  return out;
}

std::string RepeatString(std::string_view s, size_t n) {
  std::string out;
  out.reserve(s.size() * n);
  for (size_t i = 0; i < n; ++i) out.append(s);
  return out;
}

std::string LeftChars(std::string_view s, size_t n) { return std::string(s.substr(0, n)); }

std::string RightChars(std::string_view s, size_t n) {
  return std::string(n >= s.size() ? s : s.substr(s.size() - n));
}

size_t LastPos(std::string_view sub, std::string_view s) {
  if (sub.empty() || sub.size() > s.size()) return 0;
  size_t hit = s.rfind(sub);
  return hit == std::string_view::npos ? 0 : hit + 1;
}

std::string TrimLeftChar(std::string_view s, char c) {
  while (!s.empty() && s.front() == c) s.remove_prefix(1);
  return std::string(s);
}

std::string TrimRightChar(std::string_view s, char c) {
  while (!s.empty() && s.back() == c) s.remove_suffix(1);
  return std::string(s);
}

std::string TrimChar(std::string_view s, char c) { return TrimRightChar(TrimLeftChar(s, c), c); }

size_t PosInText(std::string_view sub, std::string_view s) {
  if (sub.empty()) return 0;
  size_t hit = s.find(sub);
  return hit == std::string_view::npos ? 0 : hit + 1;
}

size_t CountOccurrences(std::string_view sub, std::string_view s) {
  if (sub.empty()) return 0;
  size_t count = 0;
  for (size_t pos = s.find(sub); pos != std::string_view::npos; pos = s.find(sub, pos + sub.size()))
    ++count;
  return count;
}

size_t ReplacedLength(std::string_view oldText, std::string_view newText, std::string_view source) {
  size_t count = CountOccurrences(oldText, source);
  return source.size() - count * oldText.size() + count * newText.size();
}

std::string ReplaceAll(std::string_view oldText, std::string_view newText, std::string_view source) {
  if (oldText.empty() || oldText == newText) return std::string(source);
  std::string out;
  size_t pos = 0;
  for (size_t hit = source.find(oldText); hit != std::string_view::npos;
       hit = source.find(oldText, pos)) {
    out.append(source.substr(pos, hit - pos));
    out.append(newText);
    pos = hit + oldText.size();
  }
  out.append(source.substr(pos));
  return out;
}

std::string RemoveLineBreaks(std::string_view s) {
  std::string out;
  for (char c : s)
    if (c != '\r' && c != '\n') out += c;
  return out;
}

std::string UndoubleQuotes(std::string_view s) {
  std::string out;
  for (size_t i = 0; i < s.size(); ++i) {
    out += s[i];
    if ((s[i] == '\'' || s[i] == '"') && i + 1 < s.size() && s[i + 1] == s[i]) ++i;
  }
  return out;
}

std::string StripFileExt(std::string_view name) {
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) return std::string(name);
  size_t brk = LastPathBreak(name);
  if (brk != std::string_view::npos && dot < brk) return std::string(name);
  return std::string(name.substr(0, dot));
}

std::string ForceFileExt(std::string_view name, std::string_view ext) {
  std::string trimmed(TrimBlanks(name));
  std::string extension(ext);
  if (!extension.empty() && extension.front() != '.') extension.insert(0, ".");
  if (trimmed.size() >= extension.size() &&
      SameText(std::string_view(trimmed).substr(trimmed.size() - extension.size()), extension))
    return trimmed;
  return trimmed + extension;
}

std::string AddTrailingBackslash(std::string_view dir) {
  std::string trimmed(TrimBlanks(dir));
  if (trimmed.empty() || IsSeparator(trimmed.back())) return trimmed;
  return trimmed + "\\";
}

bool HasPathPart(std::string_view name) {
  return name.empty() || name.find(':') != std::string_view::npos ||
         name.find('\\') != std::string_view::npos || name.find('/') != std::string_view::npos;
}

std::string ExtractFileBaseName(std::string_view name) {
  size_t brk = LastPathBreak(name);
  std::string_view base = brk == std::string_view::npos ? name : name.substr(brk + 1);
  return StripFileExt(base);
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (platform::Win1252Upper(a[i]) != platform::Win1252Upper(b[i])) return false;
  return true;
}

bool SameEngineName(std::string_view a, std::string_view b) {
  return SameText(TrimBlanks(a), TrimBlanks(b));
}

bool IsIdentStartChar(char c) {
  uint8_t b = static_cast<uint8_t>(c);
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_' || (b >= 129 && b <= 254);
}

bool IsIdentChar(char c) { return IsIdentStartChar(c) || IsDigitChar(c); }
bool IsDigitChar(char c) { return c >= '0' && c <= '9'; }

size_t CountEqualPrefix(const uint8_t* a, const uint8_t* b, size_t n) {
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

size_t CountTrailingZeros(const uint8_t* buffer, size_t position, size_t n) {
  size_t count = 0;
  while (count < n && buffer[position + n - 1 - count] == 0) ++count;
  return count;
}

void ZeroFill(void* buffer, size_t n) {
  if (n > 0) std::memset(buffer, 0, n);
}

}  // namespace tovenmarsh::engine
