// Links and URLs of the web pages (see html_link.h).
#include "web/html/html_link.h"

#include "core/system_parameters.h"
#include "web/html/html_text.h"
#include "web/html/url_codec.h"

namespace tovenmarsh::web {

namespace {

bool IsAlnum(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// A host name as it may stand in a URL: anything but letters, digits and ".-_~:[]" encoded.
std::string EncodeHost(std::string_view host) {
  std::string result;
  for (const char c : host) {
    if (IsAlnum(c) || std::string_view(".-_~:[]").find(c) != std::string_view::npos) {
      result += c;
    } else {
      result += URLEncode(std::string_view(&c, 1));
    }
  }
  return result;
}

}  // namespace

bool IsBareMailAddress(std::string_view address) {
  const size_t at = address.find('@');
  if (at == std::string_view::npos || at == 0 || at + 1 == address.size()) return false;
  for (size_t i = 0; i < address.size(); ++i) {
    const char c = address[i];
    if (i == at || IsAlnum(c) || c == '.' || c == '-') continue;
    if (i < at && (c == '_' || c == '+')) continue;
    return false;
  }
  return true;
}

std::string MakeLink(std::string_view text, std::string_view address) {
  return MakeLinkHTML(TextToHTML(text), address);
}

std::string MakeLinkHTML(std::string_view html, std::string_view address) {
  if (address.empty()) return std::string(html);
  if (IsBareMailAddress(address)) {
    return "<a href=\"mailto:" + HTMLAttribute(address) + "\">" + std::string(html) + "</a>";
  }
  return "<a href=\"http://" + LinkAttribute(address) + "\">" + std::string(html) + "</a>";
}

std::string BuildURL(std::string_view host, std::string_view path,
                     const std::vector<std::string>& names,
                     const std::vector<std::string>& values, std::string_view trailing,
                     bool withHttp) {
  std::string url = withHttp ? "http://" : "";
  if (!host.empty()) {
    url += EncodeHost(host);
  } else {
    auto& parameters = core::SystemParameters();
    const std::string server = parameters.GetString("WebServer");
    url += EncodeHost(server.empty() ? parameters.ShortHostName() : server);
  }
  if (path.empty() || path[0] != '/') url += '/';
  url += URLEncode(path);
  bool first = true;
  if (names.size() == values.size()) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (values[i].empty()) continue;
      url += first ? '?' : '&';
      url += URLEncode(names[i]) + "=" + URLEncode(values[i]);
      first = false;
    }
  }
  if (!trailing.empty()) {
    url += first ? '?' : '&';
    url += trailing;
  }
  return url;
}

}  // namespace tovenmarsh::web
