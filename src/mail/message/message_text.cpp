// The readable text of a raw message.
#include "mail/message/message_text.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <map>
#include <vector>

#include "mail/message/mail_message.h"
#include "mail/message/mime_codecs.h"
#include "platform/stream.h"

namespace tovenmarsh::mail {

namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

std::string LowerText(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Lower(x) == Lower(y); });
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// One line of a text: [start, end) without its line end, next = where the following line starts.
struct TLine {
  size_t start;
  size_t end;
  size_t next;
};

TLine LineAt(std::string_view text, size_t pos) {
  size_t end = text.find('\n', pos);
  if (end == std::string_view::npos) return {pos, text.size(), text.size()};
  const size_t next = end + 1;
  if (end > pos && text[end - 1] == '\r') --end;
  return {pos, end, next};
}

// A MIME entity: its unfolded headers and its body.
struct TEntity {
  std::vector<std::pair<std::string, std::string>> headers;  // lower-cased name, value
  std::string_view body;

  std::string Header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
      if (key == name) return value;
    }
    return {};
  }
};

// Headers run to the first empty line (CR LF or LF endings) or to the first line that is no
// header line; an entity that starts with an empty line has none.
TEntity ParseEntity(std::string_view text) {
  TEntity entity;
  size_t pos = 0;
  while (pos < text.size()) {
    const TLine line = LineAt(text, pos);
    pos = line.next;
    const std::string_view content = text.substr(line.start, line.end - line.start);
    if (content.empty()) {
      entity.body = text.substr(pos);
      return entity;
    }
    if ((content.front() == ' ' || content.front() == '\t') && !entity.headers.empty()) {
      entity.headers.back().second.append(" ").append(Trim(content));
      continue;
    }
    if (content.substr(0, 5) == "From ") continue;  // an mbox separator
    // A line that is no header line (missing blank line) starts the body.
    const size_t colon = content.find(':');
    const bool named = colon != std::string_view::npos &&
                       std::all_of(content.begin(), content.begin() + static_cast<std::ptrdiff_t>(colon),
                                   [](char c) { return c > ' ' && c < 127; });
    if (!named) {
      entity.body = text.substr(line.start);
      return entity;
    }
    entity.headers.emplace_back(LowerText(Trim(content.substr(0, colon))), std::string(Trim(content.substr(colon + 1))));
  }
  entity.body = text.substr(text.size());
  return entity;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexValue(text[i + 1]) >= 0 && HexValue(text[i + 2]) >= 0) {
      out.push_back(static_cast<char>(HexValue(text[i + 1]) * 16 + HexValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

// The parameters of a structured value: name (lower-cased, with any "*..." suffix) -> raw value
// (quotes and escapes removed).
std::vector<std::pair<std::string, std::string>> SplitParameters(std::string_view value) {
  std::vector<std::pair<std::string, std::string>> out;
  size_t pos = value.find(';');
  while (pos != std::string_view::npos && pos < value.size()) {
    ++pos;  // past ";"
    while (pos < value.size() && IsBlank(value[pos])) ++pos;
    const size_t nameStart = pos;
    while (pos < value.size() && value[pos] != '=' && value[pos] != ';') ++pos;
    if (pos >= value.size() || value[pos] == ';') continue;
    const std::string name = LowerText(Trim(value.substr(nameStart, pos - nameStart)));
    ++pos;  // past "="
    while (pos < value.size() && IsBlank(value[pos])) ++pos;
    std::string text;
    if (pos < value.size() && value[pos] == '"') {
      ++pos;
      while (pos < value.size() && value[pos] != '"') {
        if (value[pos] == '\\' && pos + 1 < value.size()) ++pos;
        text.push_back(value[pos++]);
      }
      if (pos < value.size()) ++pos;  // closing quote
      while (pos < value.size() && value[pos] != ';') ++pos;
    } else {
      const size_t start = pos;
      while (pos < value.size() && value[pos] != ';') ++pos;
      text = std::string(Trim(value.substr(start, pos - start)));
    }
    if (!name.empty()) out.emplace_back(name, std::move(text));
    if (pos >= value.size()) break;
  }
  return out;
}

std::string MediaType(std::string_view value) {
  const size_t end = value.find(';');
  return LowerText(Trim(value.substr(0, end)));
}

std::string Decode(std::string_view body, std::string_view transferEncoding) {
  const std::string encoding = LowerText(Trim(transferEncoding));
  if (encoding != "base64" && encoding != "quoted-printable" && encoding != "x-uuencode" && encoding != "uuencode") {
    return std::string(body);
  }
  platform::TMemoryStream out;
  if (encoding == "base64") {
    Base64Decode(body, out);
  } else if (encoding == "quoted-printable") {
    QPDecode(body, out);
  } else {
    // Only the lines between "begin" and "end" carry data.
    size_t from = 0;
    size_t to = body.size();
    const size_t begin = body.find("begin ");
    if (begin != std::string_view::npos && (begin == 0 || body[begin - 1] == '\n')) from = LineAt(body, begin).next;
    for (size_t pos = from; pos < body.size();) {
      const TLine line = LineAt(body, pos);
      if (Trim(body.substr(line.start, line.end - line.start)) == "end") {
        to = line.start;
        break;
      }
      pos = line.next;
    }
    UUDecode(body.substr(from, to - from), out);
  }
  return out.Bytes();
}

// The bodies of a multipart's parts, between delimiter lines "--boundary" up to the closing
// "--boundary--" (or the end of the text when it is missing); the preamble is dropped.
std::vector<std::string_view> SplitMultipart(std::string_view body, std::string_view boundary) {
  std::vector<std::string_view> parts;
  const std::string delimiter = "--" + std::string(boundary);
  size_t partStart = std::string_view::npos;
  size_t pos = 0;
  while (pos < body.size()) {
    const TLine line = LineAt(body, pos);
    const std::string_view text = body.substr(line.start, line.end - line.start);
    if (text.size() >= delimiter.size() && text.substr(0, delimiter.size()) == delimiter) {
      std::string_view rest = text.substr(delimiter.size());
      const bool closing = rest.substr(0, 2) == "--";
      if (closing) rest.remove_prefix(2);
      if (Trim(rest).empty()) {
        if (partStart != std::string_view::npos) {
          // The line end before the delimiter belongs to the delimiter.
          size_t partEnd = line.start;
          if (partEnd > partStart && body[partEnd - 1] == '\n') --partEnd;
          if (partEnd > partStart && body[partEnd - 1] == '\r') --partEnd;
          parts.push_back(body.substr(partStart, std::max(partEnd, partStart) - partStart));
        }
        if (closing) return parts;
        partStart = line.next;
      }
    }
    pos = line.next;
  }
  if (partStart != std::string_view::npos && partStart <= body.size()) parts.push_back(body.substr(partStart));
  return parts;
}

void AppendText(std::string& out, const std::string& text) {
  if (Trim(text).empty()) return;
  if (!out.empty()) out.append("\r\n\r\n");
  out.append(text);
}

std::string EntityText(const TEntity& entity, std::string_view defaultType, int depth);

std::string EntityTextOf(std::string_view text, std::string_view defaultType, int depth) {
  return EntityText(ParseEntity(text), defaultType, depth);
}

std::string MultipartText(const TEntity& entity, const std::string& type, int depth) {
  const std::string boundary = HeaderParameter(entity.Header("content-type"), "boundary");
  if (boundary.empty()) return {};
  const std::vector<std::string_view> bodies = SplitMultipart(entity.body, boundary);
  const std::string childDefault = type == "multipart/digest" ? "message/rfc822" : "text/plain";
  std::string out;
  if (type == "multipart/alternative") {
    // One rendering of the same content: the plain one when it has text, else the last (the
    // richest) that has.
    std::string fallback;
    for (const std::string_view body : bodies) {
      const TEntity child = ParseEntity(body);
      const std::string text = EntityText(child, childDefault, depth + 1);
      if (Trim(text).empty()) continue;
      std::string childType = MediaType(child.Header("content-type"));
      if (childType.empty()) childType = childDefault;
      if (childType == "text/plain") return text;
      fallback = text;
    }
    return fallback;
  }
  // multipart/signed: the signature part is not text and drops out by its type.
  for (const std::string_view body : bodies) AppendText(out, EntityTextOf(body, childDefault, depth + 1));
  return out;
}

std::string EntityText(const TEntity& entity, std::string_view defaultType, int depth) {
  if (depth > kMaxMimeDepth) return {};
  std::string type = MediaType(entity.Header("content-type"));
  if (type.empty() || type.find('/') == std::string::npos) type = std::string(defaultType);
  if (type.rfind("multipart/", 0) == 0) return MultipartText(entity, type, depth);
  if (type == "message/rfc822" || type == "message/news" || type == "message/global") {
    const std::string inner = Decode(entity.body, entity.Header("content-transfer-encoding"));
    return EntityTextOf(inner, "text/plain", depth + 1);
  }
  if (type.rfind("text/", 0) != 0) return {};
  const std::string text = Decode(entity.body, entity.Header("content-transfer-encoding"));
  if (type == "text/html" || type == "text/xhtml") return HtmlToText(text);
  return text;
}

// ---- HTML

bool StartsWithNoCase(std::string_view text, size_t pos, std::string_view prefix) {
  return text.size() - pos >= prefix.size() && SameText(text.substr(pos, prefix.size()), prefix);
}

// Elements after which the text goes on in a new line.
bool IsBlockElement(std::string_view name) {
  static const char* const kBlocks[] = {"br", "p", "div", "tr", "li", "ul", "ol", "table", "h1", "h2", "h3", "h4", "h5", "h6",
                                        "blockquote", "pre", "hr", "title", "dd", "dt", "dl", "td", "th", "body", "html", "head"};
  for (const char* block : kBlocks) {
    if (SameText(name, block)) return true;
  }
  return false;
}

void AppendCodePoint(std::string& out, unsigned long code) {
  // The archive keeps single bytes: ASCII as it is, anything else as a blank so that words
  // around it stay apart.
  out.push_back(code > 0 && code < 128 ? static_cast<char>(code) : ' ');
}

// A character reference at pos ("&"): appended decoded, answers the position after it; unknown
// references are kept as written.
size_t CharacterReference(std::string_view html, size_t pos, std::string& out) {
  size_t end = pos + 1;
  while (end < html.size() && end - pos <= 32 && (std::isalnum(static_cast<unsigned char>(html[end])) || html[end] == '#')) ++end;
  const std::string_view name = html.substr(pos + 1, end - pos - 1);
  const size_t after = end < html.size() && html[end] == ';' ? end + 1 : end;
  if (name.size() > 1 && name[0] == '#') {
    unsigned long code = 0;
    bool ok = true;
    const bool hex = name[1] == 'x' || name[1] == 'X';
    for (size_t i = hex ? 2 : 1; i < name.size() && ok; ++i) {
      const int digit = hex ? HexValue(name[i]) : (std::isdigit(static_cast<unsigned char>(name[i])) ? name[i] - '0' : -1);
      if (digit < 0) ok = false;
      code = std::min<unsigned long>(code * (hex ? 16 : 10) + static_cast<unsigned long>(std::max(digit, 0)), 0x10FFFF);
    }
    if (ok && name.size() > (hex ? 2u : 1u)) {
      AppendCodePoint(out, code);
      return after;
    }
  }
  static const std::pair<const char*, char> kNamed[] = {{"amp", '&'}, {"lt", '<'}, {"gt", '>'}, {"quot", '"'}, {"apos", '\''}, {"nbsp", ' '}};
  for (const auto& [entity, c] : kNamed) {
    if (SameText(name, entity)) {
      out.push_back(c);
      return after;
    }
  }
  out.push_back('&');
  return pos + 1;
}

}  // namespace

std::string HeaderParameter(std::string_view value, std::string_view name) {
  const std::string wanted = LowerText(name);
  std::string plain;
  bool havePlain = false;
  std::map<int, std::pair<std::string, bool>> sections;  // number -> text, encoded
  for (const auto& [key, text] : SplitParameters(value)) {
    if (key == wanted) {
      if (!havePlain) plain = text;
      havePlain = true;
      continue;
    }
    if (key.size() <= wanted.size() || key.compare(0, wanted.size(), wanted) != 0 || key[wanted.size()] != '*') continue;
    std::string_view suffix = std::string_view(key).substr(wanted.size() + 1);
    bool encoded = false;
    if (!suffix.empty() && suffix.back() == '*') {
      encoded = true;
      suffix.remove_suffix(1);
    }
    int number = 0;
    if (suffix.empty()) {
      encoded = true;  // name*=charset'language'text
    } else {
      if (suffix.size() > 4 || !std::all_of(suffix.begin(), suffix.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
      number = std::stoi(std::string(suffix));
    }
    sections.try_emplace(number, text, encoded);
  }
  if (sections.empty()) return plain;
  std::string joined;
  int expected = 0;
  for (const auto& [number, section] : sections) {
    if (number != expected++) break;  // a gap ends the value
    std::string_view text = section.first;
    if (section.second) {
      if (number == 0) {
        // charset'language' before the text of the first section.
        const size_t first = text.find('\'');
        const size_t second = first == std::string_view::npos ? first : text.find('\'', first + 1);
        if (second != std::string_view::npos) text.remove_prefix(second + 1);
      }
      joined += PercentDecode(text);
    } else {
      joined += text;
    }
  }
  return joined;
}

std::string HtmlToText(std::string_view html) {
  std::string out;
  out.reserve(html.size());
  size_t pos = 0;
  while (pos < html.size()) {
    const char c = html[pos];
    if (c == '&') {
      pos = CharacterReference(html, pos, out);
      continue;
    }
    if (c != '<') {
      out.push_back(c);
      ++pos;
      continue;
    }
    if (StartsWithNoCase(html, pos, "<!--")) {
      const size_t end = html.find("-->", pos + 4);
      pos = end == std::string_view::npos ? html.size() : end + 3;
      continue;
    }
    // A "<" that opens no tag is text.
    const size_t nameStart = pos + 1 + (pos + 1 < html.size() && html[pos + 1] == '/' ? 1 : 0);
    if (nameStart >= html.size() || !(std::isalpha(static_cast<unsigned char>(html[nameStart])) || html[nameStart] == '!' || html[nameStart] == '?')) {
      out.push_back(c);
      ++pos;
      continue;
    }
    size_t nameEnd = nameStart;
    while (nameEnd < html.size() && (std::isalnum(static_cast<unsigned char>(html[nameEnd])) || html[nameEnd] == '-' || html[nameEnd] == ':')) ++nameEnd;
    const std::string_view name = html.substr(nameStart, nameEnd - nameStart);
    // The tag ends at the first ">" outside quoted attribute values.
    size_t end = nameEnd;
    char quote = 0;
    while (end < html.size()) {
      const char t = html[end];
      if (quote != 0) {
        if (t == quote) quote = 0;
      } else if (t == '"' || t == '\'') {
        quote = t;
      } else if (t == '>') {
        break;
      }
      ++end;
    }
    pos = end < html.size() ? end + 1 : html.size();
    const bool closing = html[nameStart - 1] == '/';
    if (!closing && (SameText(name, "script") || SameText(name, "style"))) {
      // Their content is no text; it runs to the matching end tag.
      const std::string endTag = "</" + LowerText(name);
      size_t scan = pos;
      while (scan < html.size() && !StartsWithNoCase(html, scan, endTag)) ++scan;
      const size_t close = scan < html.size() ? html.find('>', scan) : std::string_view::npos;
      pos = close == std::string_view::npos ? html.size() : close + 1;
      continue;
    }
    if (IsBlockElement(name)) out.append("\r\n");
  }
  return out;
}

std::string MessageText(std::string_view message) { return EntityTextOf(message, "text/plain", 0); }

}  // namespace tovenmarsh::mail
