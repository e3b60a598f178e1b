// HTTP messages: the fixed header-name and status tables, the conversions between raw header
// text and Name=Value lines, and THTTPMessage (headers, body, Set-Cookie lines) for one
// request or one response.
//
// Header values are single lines: a value set here loses any CR or LF, so nothing the server
// puts into a header (a cookie from a request, a redirect URL) can start a header of its own.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "platform/date_time.h"
#include "platform/stream.h"
#include "platform/string_list.h"

namespace tovenmarsh::web {

// Text headers, 1-based as in the header table.
enum THTTPTextHeader : int {
  hhCacheControl = 1, hhConnection, hhPragma, hhTransferEncoding, hhUpgrade, hhVia, hhLocation,
  hhProxyAuthenticate, hhPublic, hhServer, hhVary, hhWarning, hhWWWAuthenticate, hhAccept,
  hhAcceptCharset, hhAcceptEncoding, hhAcceptLanguage, hhAuthorization, hhFrom, hhHost,
  hhIfMatch, hhIfNoneMatch, hhIfRange, hhMaxForwards, hhProxyAuthorization, hhRange, hhReferer,
  hhUserAgent, hhAllow, hhContentBase, hhContentEncoding, hhContentLanguage, hhContentLocation,
  hhContentMD5, hhContentRange, hhContentType, hhETag
};
constexpr int kTextHeaderCount = 37;

enum THTTPDateHeader : int {
  hdDate = 1, hdIfModifiedSince, hdIfRange, hdIfUnmodifiedSince, hdRetryAfter, hdExpires,
  hdLastModified
};
constexpr int kDateHeaderCount = 7;

enum THTTPIntHeader : int { hiAge = 1, hiRetryAfter, hiMaxForwards, hiContentLength, hiExpires };
constexpr int kIntHeaderCount = 5;

enum THTTPCookieAttribute : int {
  caVersion = 1, caDomain, caPort, caPath, caMaxAge, caExpires, caComment, caCommentUrl,
  caDiscard, caSecure
};
constexpr int kCookieAttributeCount = 10;

// Names by 1-based index; "" outside the table.
const char* TextHeaderName(int index);
const char* DateHeaderName(int index);
const char* IntHeaderName(int index);
const char* CookieAttributeName(int index);

// Status table: 36 entries, 1-based. 3 = 200, 13 = 303, 17 = 401, 20 = 404, 32 = 500; from 16
// up the statuses are errors.
constexpr int kStatusCount = 36;
constexpr int kStatusOK = 3;
constexpr int kStatusSeeOther = 13;
constexpr int kStatusBadRequest = 16;
constexpr int kStatusUnauthorized = 17;
constexpr int kStatusForbidden = 19;
constexpr int kStatusNotFound = 20;
constexpr int kStatusRequestTimeout = 24;
constexpr int kStatusEntityTooLarge = 29;
constexpr int kStatusInternalError = 32;
constexpr int kFirstErrorStatus = 16;
// Code and reason by index; 0 and "" outside the table.
int StatusCode(int index);
const char* StatusReason(int index);

// Raw header text (lines "Name: value", folded lines allowed) to Name=Value lines separated by
// CR LF: the first ":" of a line becomes "=", the blank right after a ":" is dropped once the
// line's first ":" is seen, folded lines are joined with one blank, a lone LF is a blank and
// CR is dropped.
std::string HeaderToValues(std::string_view raw);
// Name=Value lines back to header text: CR LF stays, a lone LF is a blank, CR is dropped, and
// the first "=" of each line becomes ": ".
std::string ValuesToHeader(std::string_view values);

class THTTPMessage {
 public:
  THTTPMessage() = default;
  THTTPMessage(const THTTPMessage&) = delete;
  THTTPMessage& operator=(const THTTPMessage&) = delete;

  // Text header by index; setting an empty value removes the line.
  std::string GetHeader(int index) const;
  void SetHeader(int index, std::string_view value);
  // Any header by name (the request's Cookie header has no index).
  std::string GetHeaderByName(std::string_view name) const;
  void SetHeaderByName(std::string_view name, std::string_view value);

  // Date header := the HTTP date text of t ("" when it cannot be written, removing it).
  void SetDateHeader(int index, platform::TDateTime t);
  // Integer header; 0 when missing or not a number.
  int GetIntHeader(int index) const;
  void SetIntHeader(int index, long long value);

  // Body := text, Content-Length := its length.
  void SetContentText(std::string_view text);
  std::string GetContentText() const { return body_.Bytes(); }
  // The body stream, positioned at 0.
  platform::TMemoryStream& BodyStream();
  bool HasBody() const { return !body_.Bytes().empty(); }
  void AppendBody(const void* buffer, size_t count);

  // Header lines "Name: value" CR LF, then the Set-Cookie lines and CR LF when there are any.
  std::string GetHeaderText() const;
  // Replaces the headers by HeaderToValues(raw).
  void SetHeaderText(std::string_view raw);
  const platform::TStringList& Headers() const { return headers_; }

  // The value of the cookie named name in the Cookie header: the text after "name=" up to the
  // first ";" or ","; "" when absent. The name must be a whole cookie name, so "tmid" is not
  // found inside "xtmid=...".
  std::string GetCookie(std::string_view name) const;
  // Adds a Set-Cookie line "name=value" with "; Domain=..." (when given), "; Path=..." (when
  // given), "; Expires=<HTTP date>" (when expires > -1), "; Secure" (when secure) and "; " and
  // flags (when given, as "HttpOnly; SameSite=Strict"). Nothing when name is empty.
  void AddSetCookie(std::string_view name, std::string_view value, bool secure,
                    std::string_view domain, platform::TDateTime expires, std::string_view path,
                    std::string_view flags = {});
  const std::string& SetCookieText() const { return setCookie_; }

  // Empties headers, Set-Cookie text and body.
  void Clear();

 private:
  platform::TStringList headers_;
  platform::TMemoryStream body_;
  std::string setCookie_;
};

}  // namespace tovenmarsh::web
