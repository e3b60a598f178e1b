// TStringList: lines with Name=Value lookups, sorting and CR LF files.
#include "platform/string_list.h"

#include <algorithm>
#include <cstdlib>

#include "platform/stream.h"

namespace tovenmarsh::platform {
namespace {

char FoldAscii(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

}  // namespace

bool SameTextAscii(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  }
  return true;
}

int CompareTextAscii(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(FoldAscii(a[i]));
    const auto y = static_cast<unsigned char>(FoldAscii(b[i]));
    if (x != y) return x < y ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

int TStringList::Add(std::string line) {
  lines_.push_back(std::move(line));
  return Count() - 1;
}

void TStringList::Insert(int index, std::string line) {
  lines_.insert(lines_.begin() + std::clamp(index, 0, Count()), std::move(line));
}

void TStringList::Delete(int index) {
  if (index >= 0 && index < Count()) lines_.erase(lines_.begin() + index);
}

int TStringList::IndexOf(std::string_view text) const {
  for (int i = 0; i < Count(); ++i) {
    if (SameTextAscii(lines_[static_cast<size_t>(i)], text)) return i;
  }
  return -1;
}

int TStringList::IndexOfName(std::string_view name) const {
  for (int i = 0; i < Count(); ++i) {
    const std::string& line = lines_[static_cast<size_t>(i)];
    const size_t eq = line.find('=');
    if (eq != std::string::npos && SameTextAscii(std::string_view(line).substr(0, eq), name)) return i;
  }
  return -1;
}

std::string TStringList::Names(int index) const {
  const std::string& line = (*this)[index];
  const size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(0, eq);
}

std::string TStringList::ValueFromIndex(int index) const {
  const std::string& line = (*this)[index];
  const size_t eq = line.find('=');
  return eq == std::string::npos ? std::string() : line.substr(eq + 1);
}

std::string TStringList::Values(std::string_view name) const {
  const int index = IndexOfName(name);
  return index < 0 ? std::string() : ValueFromIndex(index);
}

void TStringList::SetValues(std::string_view name, std::string_view value) {
  const int index = IndexOfName(name);
  if (value.empty()) {
    Delete(index);
    return;
  }
  std::string line = std::string(name) + "=" + std::string(value);
  if (index < 0) {
    Add(std::move(line));
  } else {
    lines_[static_cast<size_t>(index)] = std::move(line);
  }
}

void TStringList::Sort() {
  std::stable_sort(lines_.begin(), lines_.end(),
                   [](const std::string& a, const std::string& b) { return CompareTextAscii(a, b) < 0; });
}

std::string TStringList::Text() const {
  std::string text;
  for (const std::string& line : lines_) {
    text += line;
    text += "\r\n";
  }
  return text;
}

void TStringList::SetText(std::string_view text) {
  lines_.clear();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = start;
    while (end < text.size() && text[end] != '\r' && text[end] != '\n') ++end;
    lines_.emplace_back(text.substr(start, end - start));
    if (end < text.size() && text[end] == '\r') ++end;
    if (end < text.size() && text[end] == '\n') ++end;
    start = end;
  }
}

void TStringList::LoadFromFile(const std::string& path) {
  TMemoryStream stream;
  stream.LoadFromFile(path);
  SetText(stream.Bytes());
}

void TStringList::SaveToFile(const std::string& path) const {
  TFileStream file(path, fmCreate);
  file.WriteString(Text());
}

}  // namespace tovenmarsh::platform
