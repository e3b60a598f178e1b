// TWebButtonBar: a row of submit buttons, or of links when the first button has a link.
// Values, names and links are escaped; the markup around them is fixed.
#pragma once

#include <string>
#include <vector>

namespace tovenmarsh::web {

struct TWebButton {
  std::string Name;
  std::string Value;
  std::string Link;  // a URL made by BuildURL without "http://"
};

class TWebButtonBar {
 public:
  explicit TWebButtonBar(int count) : buttons_(count > 0 ? static_cast<size_t>(count) : 0) {}

  int Count() const { return static_cast<int>(buttons_.size()); }
  TWebButton& Button(int index) { return buttons_.at(static_cast<size_t>(index)); }

  std::string GetHTML() const;

 private:
  std::vector<TWebButton> buttons_;
};

}  // namespace tovenmarsh::web
