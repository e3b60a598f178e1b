// TWebTemplate: the text of a page template from the web folder with its tags replaced.
// Every replacement changes all occurrences, case-sensitively, and writes the value as it is:
// values are HTML that the building blocks made (with their data already escaped).
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::web {

class TWebTemplate {
 public:
  // Reads web folder + name whole (the file stays open to other readers and writers).
  // Raises platform::EFOpenError when the file cannot be read.
  void LoadFromFile(const std::string& name);
  // Reads a file given by its full path.
  void LoadFromPath(const std::string& path);

  void ReplaceContent(std::string_view value) { ReplaceTag("<#CONTENT>", value); }
  void ReplaceVersion(std::string_view value) { ReplaceTag("<#VERSION>", value); }
  void ReplaceTag(std::string_view tag, std::string_view value);

  const std::string& Text() const { return text_; }
  void SetText(std::string text) { text_ = std::move(text); }

 private:
  std::string text_;
};

}  // namespace tovenmarsh::web
