// Query-string and form-post parameters (see web_params.h).
#include "web/http/web_params.h"

#include "platform/string_list.h"
#include "web/html/url_codec.h"

namespace tovenmarsh::web {

bool TWebParameters::SetText(std::string_view raw) {
  items_.clear();
  std::string text;
  text.reserve(raw.size());
  for (const char c : raw) {
    if (c != '\r' && c != '\n') text += c;
  }
  // Counted first, so a refused text never builds its entries.
  int parts = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '&' && (i == 0 || text[i - 1] == '&') && ++parts > kMaxWebParameters) return false;
  }
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('&', start);
    if (end == std::string::npos) end = text.size();
    const std::string_view part = std::string_view(text).substr(start, end - start);
    if (!part.empty()) {
      const size_t equals = part.find('=');
      if (equals == std::string_view::npos) {
        items_.emplace_back(URLDecodeParameter(part), std::string());
      } else {
        items_.emplace_back(URLDecodeParameter(part.substr(0, equals)),
                            URLDecodeParameter(part.substr(equals + 1)));
      }
    }
    start = end + 1;
  }
  return true;
}

std::string TWebParameters::GetValue(std::string_view name) const {
  for (const auto& [itemName, value] : items_) {
    if (platform::SameTextAscii(itemName, name)) return value;
  }
  return "";
}

}  // namespace tovenmarsh::web
