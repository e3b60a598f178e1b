// TStringList: an ordered list of text lines with the class library's Name=Value rules.
//
// A line's name is the text before its first "="; a line without "=" has no name and never
// matches. Names compare without regard to ASCII case and the first matching line wins.
// Text joins lines with CR LF; SetText and LoadFromFile accept CR LF, LF or CR line ends.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tovenmarsh::platform {

class TStringList {
 public:
  TStringList() = default;

  int Count() const { return static_cast<int>(lines_.size()); }
  const std::string& operator[](int index) const { return lines_.at(static_cast<size_t>(index)); }
  std::string& operator[](int index) { return lines_.at(static_cast<size_t>(index)); }
  const std::vector<std::string>& Lines() const { return lines_; }
  std::vector<std::string>::const_iterator begin() const { return lines_.begin(); }
  std::vector<std::string>::const_iterator end() const { return lines_.end(); }

  int Add(std::string line);  // returns the new line's index
  void Insert(int index, std::string line);
  void Delete(int index);
  void Clear() { lines_.clear(); }

  // Index of the first line equal to text ignoring ASCII case; -1 when none.
  int IndexOf(std::string_view text) const;
  // Index of the first line whose name equals name ignoring ASCII case; -1 when none.
  int IndexOfName(std::string_view name) const;
  // The name / the value (text after the first "=") of line index; "" when it has no "=".
  std::string Names(int index) const;
  std::string ValueFromIndex(int index) const;

  // The value of the first line named name; "" when none.
  std::string Values(std::string_view name) const;
  // Replaces the value of the first line named name, or adds name=value at the end. An empty
  // value deletes that line instead, as the class library does.
  void SetValues(std::string_view name, std::string_view value);

  // Sorts the lines ignoring ASCII case (equal lines keep their order).
  void Sort();

  std::string Text() const;  // every line followed by CR LF
  void SetText(std::string_view text);

  // Raise EFOpenError / EFCreateError (platform/stream.h) when the file cannot be used.
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path) const;

  bool operator==(const TStringList& other) const = default;

 private:
  std::vector<std::string> lines_;
};

// ASCII-case-insensitive comparisons used by the Name=Value rules.
bool SameTextAscii(std::string_view a, std::string_view b);
int CompareTextAscii(std::string_view a, std::string_view b);

}  // namespace tovenmarsh::platform
