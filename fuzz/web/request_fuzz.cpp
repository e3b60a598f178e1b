// Fuzz target for everything the web server parses from the network: request lines, header
// blocks, cookies, URL escapes and query or post parameters, plus the escaping that puts such
// data into pages. Besides never crashing it checks the promises the parsers make: a request
// that is not refused stays inside the web folder, header values stay on one line, encoded
// parameters decode back, and escaped data holds no markup.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "web/html/html_link.h"
#include "web/html/html_text.h"
#include "web/http/http_message.h"
#include "web/http/request_line.h"
#include "web/html/url_codec.h"
#include "web/http/web_params.h"

namespace {

using namespace tovenmarsh::web;

void Check(bool condition) {
  if (!condition) std::abort();
}

void CheckRequestLine(const std::string& line) {
  const std::string webFolder = "/srv/webroot/";
  TRequestLine parts;
  try {
    parts = ParseRequestLineParts(line, webFolder);
  } catch (const ERequestRefused&) {
    return;
  } catch (const EURLDecodeError&) {
    return;
  }
  if (parts.URI.empty()) return;
  const std::string& path = parts.RequestPath;
  Check(!path.empty() && path[0] == '/');
  Check(path.find('\0') == std::string::npos && path.find('\\') == std::string::npos);
  std::string canonical;
  Check(CanonicalPath(path, canonical) && canonical == path);
  Check(parts.WebDirectory.compare(0, webFolder.size(), webFolder) == 0);
  Check(parts.WebDirectory.find("/../") == std::string::npos);
  Check(parts.FileName.find('/') == std::string::npos);
  Check(parts.FileName.find('\\') == std::string::npos);
  Check(parts.FileName != ".." && parts.FileName != ".");
  Check(parts.DirectoryPath.empty() || parts.DirectoryPath.back() == '\\');
  Check(parts.KeepAlive == (parts.MinorVersion > 0));
}

void CheckHeaders(const std::string& raw) {
  THTTPMessage message;
  message.SetHeaderText(raw);
  (void)message.GetCookie("tmid");
  (void)message.GetIntHeader(hiContentLength);
  (void)message.GetHeader(hhAuthorization);
  (void)message.GetHeaderText();
  (void)ValuesToHeader(raw);

  // Whatever a request carries, a value copied into a response header is one line.
  THTTPMessage response;
  response.SetHeader(hhLocation, raw);
  response.AddSetCookie("tmid", raw, false, "", -1, "/");
  const std::string text = response.GetHeaderText();
  size_t lines = 0;
  for (size_t pos = text.find("\r\n"); pos != std::string::npos; pos = text.find("\r\n", pos + 2)) {
    ++lines;
  }
  const size_t expected = (raw.empty() ? 0 : 1) + 1;
  Check(lines == expected);
}

void CheckURLs(const std::string& text) {
  try {
    (void)URLDecode(text);
  } catch (const EURLDecodeError&) {
  }
  Check(URLDecodeParameter(URLEncode(text)) == text);
  TWebQuery query;
  query.SetText(text);
  (void)query.GetValue("action");
  Check(URLEncode(text).find_first_of("&=#+\"'<> \r\n") == std::string::npos);
}

// No markup character, and "#" only inside a character reference ("&#35;").
bool Inert(const std::string& html) {
  for (size_t i = 0; i < html.size(); ++i) {
    const char c = html[i];
    if (html.compare(i, 4, "<br>") == 0) {
      i += 3;
      continue;
    }
    if (c == '"' || c == '\'' || c == '<' || c == '>') return false;
    if (c == '#' && (i == 0 || html[i - 1] != '&')) return false;
  }
  return true;
}

void CheckEscaping(const std::string& text) {
  const std::string escaped = HTMLEscape(text);
  Check(escaped.find('<') == std::string::npos && Inert(escaped));
  const std::string attribute = HTMLAttribute(text);
  Check(attribute.find_first_of("<\r\n") == std::string::npos && Inert(attribute));
  const std::string shown = TextToHTML(text);
  Check(shown.find_first_of("\r\n") == std::string::npos && Inert(shown));
  const std::string js = JavaScriptString(text);
  for (size_t i = 0; i < js.size(); ++i) {
    if (js[i] == '\\') {
      ++i;  // an escape pair
      continue;
    }
    Check(js[i] != '"' && js[i] != '<' && js[i] != '#' && js[i] != '\r' && js[i] != '\n');
  }
  // A link's text is shown escaped, whatever the address.
  const std::string link = MakeLink(text, "h/p");
  const std::string head = "<a href=\"http://h/p\">";
  Check(link.compare(0, head.size(), head) == 0);
  Check(Inert(link.substr(head.size(), link.size() - head.size() - 4)));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckRequestLine(input);
  CheckHeaders(input);
  CheckURLs(input);
  CheckEscaping(input);
  return 0;
}
