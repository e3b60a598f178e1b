// HTTP messages (see http_message.h).
#include "web/http/http_message.h"

#include "core/date_utils.h"
#include "core/str_utils.h"
#include "platform/format.h"

namespace tovenmarsh::web {

namespace {

const char* const kTextHeaders[kTextHeaderCount] = {
    "Cache-Control", "Connection", "Pragma", "Transfer-Encoding", "Upgrade", "Via", "Location",
    "Proxy-Authenticate", "Public", "Server", "Vary", "Warning", "WWW-Authenticate", "Accept",
    "Accept-Charset", "Accept-Encoding", "Accept-Language", "Authorization", "From", "Host",
    "If-Match", "If-None-Match", "If-Range", "Max-Forwards", "Proxy-Authorization", "Range",
    "Referer", "User-Agent", "Allow", "Content-Base", "Content-Encoding", "Content-Language",
    "Content-Location", "Content-MD5", "Content-Range", "Content-Type", "ETag"};

const char* const kDateHeaders[kDateHeaderCount] = {
    "Date", "If-Modified-Since", "If-Range", "If-Unmodified-Since", "Retry-After", "Expires",
    "Last-Modified"};

const char* const kIntHeaders[kIntHeaderCount] = {"Age", "Retry-After", "Max-Forwards",
                                                  "Content-Length", "Expires"};

const char* const kCookieAttributes[kCookieAttributeCount] = {
    "Version", "Domain", "Port", "Path", "Max-Age", "Expires", "Comment", "CommentUrl", "Discard",
    "Secure"};

struct TStatus {
  int code;
  const char* reason;
};

const TStatus kStatuses[kStatusCount] = {
    {100, "Continue"},
    {101, "Switching Protocols"},
    {200, "OK"},
    {201, "Created"},
    {202, "Accepted"},
    {203, "Non-Authoritative Information"},
    {204, "No Content"},
    {205, "Reset Content"},
    {206, "Partial Content"},
    {300, "Multiple Choices"},
    {301, "Moved Permanently"},
    {302, "Moved Temporarily"},
    {303, "See Other"},
    {304, "Not Modified"},
    {305, "Use Proxy"},
    {400, "Bad Request"},
    {401, "Unauthorized Access"},
    {402, "Payment Required"},
    {403, "Forbidden"},
    {404, "Not Found"},
    {405, "Method Not Allowed"},
    {406, "Not Acceptable"},
    {407, "Proxy Authentication Required"},
    {408, "Request Time-out"},
    {409, "Conflict"},
    {410, "Gone"},
    {411, "Length Required"},
    {412, "Precondition Failed"},
    {413, "Request Entity Too Large"},
    {414, "Request-URI Too Large"},
    {415, "Unsupported Media Type"},
    {500, "Internal Server Error"},
    {501, "Not Implemented"},
    {502, "Bad Gateway"},
    {503, "Service Unavailable"},
    {504, "Gateway Time-out"},
};

template <size_t N>
const char* Lookup(const char* const (&table)[N], int index) {
  if (index < 1 || index > static_cast<int>(N)) return "";
  return table[index - 1];
}

// A header value as one line: CR and LF become blanks.
std::string SingleLine(std::string_view value) {
  std::string result(value);
  for (char& c : result) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return result;
}

}  // namespace

const char* TextHeaderName(int index) { return Lookup(kTextHeaders, index); }
const char* DateHeaderName(int index) { return Lookup(kDateHeaders, index); }
const char* IntHeaderName(int index) { return Lookup(kIntHeaders, index); }
const char* CookieAttributeName(int index) { return Lookup(kCookieAttributes, index); }

int StatusCode(int index) {
  if (index < 1 || index > kStatusCount) return 0;
  return kStatuses[index - 1].code;
}

const char* StatusReason(int index) {
  if (index < 1 || index > kStatusCount) return "";
  return kStatuses[index - 1].reason;
}

std::string HeaderToValues(std::string_view raw) {
  std::string result;
  result.reserve(raw.size());
  char previous = '\0';
  bool colonSeen = false;
  bool breakPending = false;
  for (const char input : raw) {
    char c = input;
    if (c == '\r') {
      previous = c;
      continue;
    }
    if (c == '\n') {
      if (previous == '\r') {
        breakPending = true;
        previous = c;
        continue;
      }
      c = ' ';
    }
    if (breakPending) {
      breakPending = false;
      if (static_cast<unsigned char>(c) <= 32) {
        // A folded line continues the header before it.
        result += ' ';
        previous = input;
        continue;
      }
      result += "\r\n";
      colonSeen = false;
    }
    if (c == ':') {
      result += colonSeen ? ':' : '=';
      colonSeen = true;
    } else if (c == ' ' && previous == ':' && colonSeen) {
      // "Name: value" reads Name=value.
    } else {
      result += c;
    }
    previous = input;
  }
  return result;
}

std::string ValuesToHeader(std::string_view values) {
  std::string result;
  result.reserve(values.size() + 16);
  bool equalsSeen = false;
  for (size_t i = 0; i < values.size(); ++i) {
    const char c = values[i];
    if (c == '\r') {
      if (i + 1 < values.size() && values[i + 1] == '\n') {
        result += "\r\n";
        equalsSeen = false;
        ++i;
      }
    } else if (c == '\n') {
      result += ' ';
    } else if (c == '=' && !equalsSeen) {
      result += ": ";
      equalsSeen = true;
    } else {
      result += c;
    }
  }
  return result;
}

std::string THTTPMessage::GetHeader(int index) const {
  return GetHeaderByName(TextHeaderName(index));
}

void THTTPMessage::SetHeader(int index, std::string_view value) {
  SetHeaderByName(TextHeaderName(index), value);
}

std::string THTTPMessage::GetHeaderByName(std::string_view name) const {
  if (name.empty()) return "";
  return headers_.Values(name);
}

void THTTPMessage::SetHeaderByName(std::string_view name, std::string_view value) {
  if (name.empty()) return;
  headers_.SetValues(name, SingleLine(value));
}

void THTTPMessage::SetDateHeader(int index, platform::TDateTime t) {
  SetHeaderByName(DateHeaderName(index), core::DateTimeToGMTStrSafe(t));
}

int THTTPMessage::GetIntHeader(int index) const {
  return core::TextToInt(GetHeaderByName(IntHeaderName(index)));
}

void THTTPMessage::SetIntHeader(int index, long long value) {
  SetHeaderByName(IntHeaderName(index), core::IntToText(value));
}

void THTTPMessage::SetContentText(std::string_view text) {
  body_.Clear();
  body_.WriteString(text);
  body_.SetPosition(0);
  SetIntHeader(hiContentLength, static_cast<long long>(text.size()));
}

platform::TMemoryStream& THTTPMessage::BodyStream() {
  body_.SetPosition(0);
  return body_;
}

void THTTPMessage::AppendBody(const void* buffer, size_t count) {
  body_.Seek(0, platform::SeekOrigin::End);
  body_.WriteBuffer(buffer, count);
}

std::string THTTPMessage::GetHeaderText() const {
  std::string text = ValuesToHeader(headers_.Text());
  if (!setCookie_.empty()) {
    text += setCookie_;
    text += "\r\n";
  }
  return text;
}

void THTTPMessage::SetHeaderText(std::string_view raw) { headers_.SetText(HeaderToValues(raw)); }

std::string THTTPMessage::GetCookie(std::string_view name) const {
  if (name.empty()) return "";
  const std::string header = GetHeaderByName("Cookie");
  const std::string key = std::string(name) + "=";
  for (size_t pos = header.find(key); pos != std::string::npos; pos = header.find(key, pos + 1)) {
    size_t before = pos;
    while (before > 0 && (header[before - 1] == ' ' || header[before - 1] == '\t')) --before;
    if (before > 0 && header[before - 1] != ';' && header[before - 1] != ',') continue;
    const size_t start = pos + key.size();
    const size_t end = header.find_first_of(";,", start);
    return header.substr(start, end == std::string::npos ? std::string::npos : end - start);
  }
  return "";
}

void THTTPMessage::AddSetCookie(std::string_view name, std::string_view value, bool secure,
                                std::string_view domain, platform::TDateTime expires,
                                std::string_view path, std::string_view flags) {
  if (name.empty()) return;
  std::string cookie = SingleLine(name) + "=" + SingleLine(value);
  if (!domain.empty()) {
    cookie += platform::Format("; %s=%s", CookieAttributeName(caDomain), SingleLine(domain).c_str());
  }
  if (!path.empty()) {
    cookie += platform::Format("; %s=%s", CookieAttributeName(caPath), SingleLine(path).c_str());
  }
  if (expires > -1) {
    cookie += platform::Format("; %s=%s", CookieAttributeName(caExpires),
                               core::DateTimeToGMTStrSafe(expires).c_str());
  }
  if (secure) {
    cookie += "; ";
    cookie += CookieAttributeName(caSecure);
  }
  if (!flags.empty()) cookie += "; " + SingleLine(flags);
  if (!setCookie_.empty()) setCookie_ += "\r\n";
  setCookie_ += "Set-Cookie: " + cookie;
}

void THTTPMessage::Clear() {
  headers_.Clear();
  setCookie_.clear();
  body_.Clear();
}

}  // namespace tovenmarsh::web
