// Taking an HTTP request line apart (see request_line.h).
#include "web/http/request_line.h"

#include <vector>

#include "core/str_utils.h"
#include "web/html/html_text.h"
#include "web/html/url_codec.h"

namespace tovenmarsh::web {

namespace {

const char* const kMethods[] = {"GET", "PUT", "POST", "HEAD", "DELETE", "TRACE", "OPTIONS"};

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         core::SameTextN(text, prefix, static_cast<int>(prefix.size()));
}

// Takes the dotted prefix off path: the text before the first "/" at or after the first "."
// (searched from the third character when the path begins with "..").
std::string TakeDottedPrefix(std::string& path) {
  const size_t from = path.compare(0, 2, "..") == 0 ? 2 : 0;
  const size_t dot = path.find('.', from);
  if (dot == std::string::npos) return "";
  const size_t slash = path.find('/', dot);
  if (slash == std::string::npos) return "";
  std::string prefix = path.substr(0, slash);
  path.erase(0, slash);
  return prefix;
}

}  // namespace

int MethodCode(std::string_view name) {
  for (int i = 0; i < static_cast<int>(std::size(kMethods)); ++i) {
    if (name.size() == std::string_view(kMethods[i]).size() &&
        StartsWithNoCase(name, kMethods[i])) {
      return i + 1;
    }
  }
  return hmAny;
}

bool CanonicalPath(std::string_view path, std::string& result) {
  std::vector<std::string_view> segments;
  bool trailing = false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view segment = path.substr(start, end - start);
    const bool last = end == path.size();
    if (segment == "..") {
      if (segments.empty()) return false;
      segments.pop_back();
      trailing = last;
    } else if (segment.empty() || segment == ".") {
      trailing = last;
    } else {
      segments.push_back(segment);
      trailing = false;
    }
    start = end + 1;
  }
  result.clear();
  if (!path.empty() && path[0] == '/') result += '/';
  for (size_t i = 0; i < segments.size(); ++i) {
    if (i > 0) result += '/';
    result += segments[i];
  }
  if (trailing && !segments.empty()) result += '/';
  return true;
}

TRequestLine ParseRequestLineParts(std::string_view line, const std::string& webFolder) {
  TRequestLine parts;
  parts.Line = std::string(line);
  parts.MethodText = core::GetField(line, 1, " ");
  parts.URI = core::GetField(line, 2, " ");
  parts.VersionText = core::GetField(line, 3, " ");
  if (const int code = MethodCode(parts.MethodText); code != hmAny) parts.MethodCode = code;

  if (!parts.URI.empty()) {
    std::string_view rest = parts.URI;
    if (StartsWithNoCase(rest, "http://")) {
      rest.remove_prefix(7);
      const size_t hostEnd = rest.find_first_of("/?");
      parts.Host = std::string(rest.substr(0, hostEnd));
      rest = hostEnd == std::string_view::npos ? std::string_view() : rest.substr(hostEnd);
    }
    const size_t question = rest.find('?');
    if (question != std::string_view::npos) {
      parts.QueryText = std::string(rest.substr(question + 1));
      rest = rest.substr(0, question);
    }

    const std::string decoded = URLDecode(rest);
    if (decoded.find('\0') != std::string::npos || decoded.find('\\') != std::string::npos) {
      throw ERequestRefused("Request path refused");
    }
    std::string path;
    if (!CanonicalPath(decoded, path)) throw ERequestRefused("Request path refused");
    // What remains after the prefix is a tail of the canonical path; it always starts with
    // "/", so the protected areas (prefixes of the request path) apply to it.
    parts.DottedPrefix = TakeDottedPrefix(path);
    if (path.empty() || path[0] != '/') path.insert(0, 1, '/');
    parts.RequestPath = path;
    parts.DirectoryPath = SlashToBackslash(parts.RequestPath);
    if (parts.DirectoryPath.find('.') != std::string::npos) {
      const size_t lastSeparator = parts.DirectoryPath.rfind('\\');
      parts.FileName = lastSeparator == std::string::npos
                           ? parts.DirectoryPath
                           : parts.DirectoryPath.substr(lastSeparator + 1);
      if (!parts.FileName.empty()) {
        parts.DirectoryPath.erase(parts.DirectoryPath.size() - parts.FileName.size());
      }
    }
    if (parts.DirectoryPath.empty() || parts.DirectoryPath.back() != '\\') {
      parts.DirectoryPath += '\\';
    }
    std::string_view inside = parts.DirectoryPath;
    if (!inside.empty() && inside[0] == '\\') inside.remove_prefix(1);
    parts.WebDirectory = webFolder + BackslashToSlash(inside);
  }

  if (parts.VersionText.size() == 8) {
    const char major = parts.VersionText[5];
    const char minor = parts.VersionText[7];
    if (major >= '0' && major <= '9') parts.MajorVersion = major - '0';
    if (minor >= '0' && minor <= '9') parts.MinorVersion = minor - '0';
  }
  parts.KeepAlive = parts.MinorVersion > 0;
  return parts;
}

}  // namespace tovenmarsh::web
