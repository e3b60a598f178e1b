// Turning texts into safe HTML and JavaScript (see html_text.h).
#include "web/html/html_text.h"

#include "platform/format.h"

namespace tovenmarsh::web {

std::string ReplaceChar(std::string_view text, char from, char to) {
  std::string result(text);
  for (char& c : result) {
    if (c == from) c = to;
  }
  return result;
}

std::string SlashToBackslash(std::string_view text) { return ReplaceChar(text, '/', '\\'); }

std::string BackslashToSlash(std::string_view text) { return ReplaceChar(text, '\\', '/'); }

namespace {

// The reference for a character HTMLEscape replaces, or nullptr.
const char* EntityFor(char c) {
  switch (c) {
    case '&': return "&amp;";
    case '<': return "&lt;";
    case '>': return "&gt;";
    case '"': return "&quot;";
    case '\'': return "&#39;";
    case '#': return "&#35;";
    default: return nullptr;
  }
}

}  // namespace

std::string HTMLEscape(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (const char* entity = EntityFor(c)) {
      result += entity;
    } else {
      result += c;
    }
  }
  return result;
}

std::string TextToHTML(std::string_view text) {
  const std::string escaped = HTMLEscape(text);
  std::string result;
  result.reserve(escaped.size());
  for (size_t i = 0; i < escaped.size(); ++i) {
    const char c = escaped[i];
    if (c == '\r') {
      result += "<br>";
      if (i + 1 < escaped.size() && escaped[i + 1] == '\n') ++i;
    } else if (c == '\n') {
      result += "<br>";
    } else {
      result += c;
    }
  }
  return result;
}

std::string HTMLAttribute(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    if (const char* entity = EntityFor(c)) {
      result += entity;
    } else if (c == '\r') {
      result += "&#13;";
    } else if (c == '\n') {
      result += "&#10;";
    } else {
      result += c;
    }
  }
  return result;
}

std::string LinkAttribute(std::string_view link) {
  std::string result;
  result.reserve(link.size());
  for (const char c : link) {
    switch (c) {
      case '"': result += "&quot;"; break;
      case '\'': result += "&#39;"; break;
      case '<': result += "&lt;"; break;
      case '>': result += "&gt;"; break;
      case '\r': result += "&#13;"; break;
      case '\n': result += "&#10;"; break;
      default: result += c;
    }
  }
  return result;
}

std::string JavaScriptString(std::string_view text) {
  std::string result;
  result.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\\': result += "\\\\"; break;
      case '"': result += "\\\""; break;
      case '\'': result += "\\'"; break;
      case '\r': result += "\\r"; break;
      case '\n': result += "\\n"; break;
      case '<': case '>': case '#':
        result += platform::Format("\\x%02X", byte);
        break;
      default:
        if (byte < 0x20) {
          result += platform::Format("\\x%02X", byte);
        } else {
          result += c;
        }
    }
  }
  return result;
}

}  // namespace tovenmarsh::web
