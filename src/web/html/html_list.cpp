// The ";"-separated lists of keys and steps (see html_list.h).
#include "web/html/html_list.h"

namespace tovenmarsh::web {

std::string GetListItem(std::string_view text, int n) {
  if (n < 1) return "";
  size_t start = 0;
  for (int i = 1; i < n; ++i) {
    const size_t separator = text.find(';', start);
    if (separator == std::string_view::npos) return "";
    start = separator + 1;
  }
  const size_t end = text.find(';', start);
  return std::string(text.substr(start, end == std::string_view::npos ? text.npos : end - start));
}

std::string GetListRest(std::string_view text, int n) {
  if (n < 1) return std::string(text);
  size_t start = 0;
  for (int i = 0; i < n; ++i) {
    const size_t separator = text.find(';', start);
    if (separator == std::string_view::npos) return "";
    start = separator + 1;
  }
  return std::string(text.substr(start));
}

std::string JoinValues(const std::vector<std::string>& values) {
  std::string result;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i > 0) result += ';';
    result += values[i];
  }
  return result;
}

}  // namespace tovenmarsh::web
