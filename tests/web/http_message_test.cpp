// Header text conversions, the header and status tables, cookies and bodies of THTTPMessage.
#include <gtest/gtest.h>

#include <string>

#include "core/date_utils.h"
#include "platform/date_time.h"
#include "web/http/http_message.h"

namespace tovenmarsh::web {
namespace {

TEST(HeaderToValues, Table) {
  struct Case {
    std::string raw, expected;
  } cases[] = {
      {"Host: example.org\r\n", "Host=example.org"},
      {"Host: a\r\nAccept: */*\r\n", "Host=a\r\nAccept=*/*"},
      {"X:  two", "X= two"},                          // only the blank right after ":" goes
      {"X: a: b:c", "X=a:b:c"},                       // later colons stay
      {"Date: Wed, 09 Dec 2026 08:15:02 GMT", "Date=Wed, 09 Dec 2026 08:15:02 GMT"},
      {"X: a\r\n b\r\nY: c", "X=a b\r\nY=c"},        // folded line joined with one blank
      {"X: a\r\n\tb", "X=a b"},
      {"X: a\nb", "X=a b"},                           // lone LF is a blank
      {"X: a\rb", "X=ab"},                            // CR dropped
      {"X: a\r\n\r\nY: b", "X=a\r\nY=b"},              // empty lines vanish
      {"Cookie: tmid=abc; x=y", "Cookie=tmid=abc; x=y"},
      {"NoColon\r\nX: 1", "NoColon\r\nX=1"},
      {"", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(HeaderToValues(c.raw), c.expected) << c.raw;
  }
}

TEST(ValuesToHeader, Table) {
  struct Case {
    std::string values, expected;
  } cases[] = {
      {"Server=tovenmarsh/1.0\r\n", "Server: tovenmarsh/1.0\r\n"},
      {"A=1\r\nB=x=y\r\n", "A: 1\r\nB: x=y\r\n"},
      {"A=1\nB=2", "A: 1 B=2"},  // lone LF is a blank within the line
      {"A=1\rB=2", "A: 1B=2"},
      {"NoEquals\r\n", "NoEquals\r\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ValuesToHeader(c.values), c.expected) << c.values;
  }
}

TEST(HeaderTables, NamesAndStatuses) {
  EXPECT_STREQ(TextHeaderName(1), "Cache-Control");
  EXPECT_STREQ(TextHeaderName(hhAuthorization), "Authorization");
  EXPECT_STREQ(TextHeaderName(hhWWWAuthenticate), "WWW-Authenticate");
  EXPECT_STREQ(TextHeaderName(37), "ETag");
  EXPECT_STREQ(TextHeaderName(0), "");
  EXPECT_STREQ(TextHeaderName(38), "");
  EXPECT_STREQ(DateHeaderName(hdLastModified), "Last-Modified");
  EXPECT_STREQ(IntHeaderName(hiContentLength), "Content-Length");
  EXPECT_STREQ(CookieAttributeName(caSecure), "Secure");

  struct Status {
    int index, code;
    const char* reason;
  } statuses[] = {{1, 100, "Continue"},          {3, 200, "OK"},
                  {13, 303, "See Other"},        {16, 400, "Bad Request"},
                  {17, 401, "Unauthorized Access"}, {20, 404, "Not Found"},
                  {24, 408, "Request Time-out"}, {32, 500, "Internal Server Error"},
                  {36, 504, "Gateway Time-out"}, {0, 0, ""},
                  {37, 0, ""}};
  for (const auto& s : statuses) {
    EXPECT_EQ(StatusCode(s.index), s.code) << s.index;
    EXPECT_STREQ(StatusReason(s.index), s.reason) << s.index;
  }
}

TEST(HTTPMessage, HeadersFromRawTextAndBack) {
  THTTPMessage message;
  message.SetHeaderText(
      "Host: mail.example.com\r\nContent-Length: 12\r\nconnection: close\r\n"
      "Authorization: Basic dXNlcjE6cGFzcw==\r\nX-Odd: a=b\r\n");
  EXPECT_EQ(message.GetHeader(hhHost), "mail.example.com");
  EXPECT_EQ(message.GetHeader(hhConnection), "close");  // names ignore case
  EXPECT_EQ(message.GetHeader(hhAuthorization), "Basic dXNlcjE6cGFzcw==");
  EXPECT_EQ(message.GetIntHeader(hiContentLength), 12);
  EXPECT_EQ(message.GetHeaderByName("X-Odd"), "a=b");
  EXPECT_EQ(message.GetIntHeader(hiAge), 0);

  message.SetHeader(hhConnection, "");  // an empty value removes the line
  EXPECT_EQ(message.GetHeader(hhConnection), "");
  EXPECT_EQ(message.GetHeaderText(),
            "Host: mail.example.com\r\nContent-Length: 12\r\n"
            "Authorization: Basic dXNlcjE6cGFzcw==\r\nX-Odd: a=b\r\n");

  message.SetHeaderText("Content-Length: twelve\r\n");
  EXPECT_EQ(message.GetIntHeader(hiContentLength), 0);
}

TEST(HTTPMessage, HeaderValuesCannotStartNewHeaders) {
  THTTPMessage message;
  message.SetHeader(hhLocation, "http://x/\r\nSet-Cookie: tmid=stolen");
  message.AddSetCookie("tmid", "v\r\nX-Evil: 1", false, "", -1, "/");
  const std::string text = message.GetHeaderText();
  EXPECT_EQ(text,
            "Location: http://x/  Set-Cookie: tmid=stolen\r\n"
            "Set-Cookie: tmid=v  X-Evil: 1; Path=/\r\n");
}

TEST(HTTPMessage, DateAndIntegerHeaders) {
  THTTPMessage message;
  const platform::TDateTime t = platform::EncodeDate(2026, 12, 9) + platform::EncodeTime(8, 15, 2, 0);
  message.SetDateHeader(hdDate, t);
  message.SetIntHeader(hiContentLength, 42);
  EXPECT_EQ(message.GetHeaderByName("Date"), "Wed, 09 Dec 2026 08:15:02 GMT");
  EXPECT_EQ(message.GetIntHeader(hiContentLength), 42);
  EXPECT_EQ(message.GetHeaderText(),
            "Date: Wed, 09 Dec 2026 08:15:02 GMT\r\nContent-Length: 42\r\n");
}

TEST(HTTPMessage, Body) {
  THTTPMessage message;
  EXPECT_FALSE(message.HasBody());
  message.SetContentText("<p>hello</p>");
  EXPECT_TRUE(message.HasBody());
  EXPECT_EQ(message.GetIntHeader(hiContentLength), 12);
  EXPECT_EQ(message.GetContentText(), "<p>hello</p>");
  message.AppendBody("!!", 2);
  EXPECT_EQ(message.GetContentText(), "<p>hello</p>!!");
  EXPECT_EQ(message.BodyStream().Position(), 0);
  EXPECT_EQ(message.BodyStream().Size(), 14);
  message.SetContentText("x");
  EXPECT_EQ(message.GetContentText(), "x");
  EXPECT_EQ(message.GetIntHeader(hiContentLength), 1);
  message.Clear();
  EXPECT_FALSE(message.HasBody());
  EXPECT_EQ(message.GetHeaderText(), "");
}

TEST(HTTPMessage, GetCookie) {
  struct Case {
    std::string header, name, expected;
  } cases[] = {
      {"tmid=abc", "tmid", "abc"},
      {"a=1; tmid=Basic dXNlcjE6cGFzcw==; b=2", "tmid", "Basic dXNlcjE6cGFzcw=="},
      {"a=1,tmid=x,b=2", "tmid", "x"},
      {"xtmid=evil; tmid=good", "tmid", "good"},  // a whole cookie name only
      {"xtmid=evil", "tmid", ""},
      {"a=tmid=evil; tmid=good", "tmid", "good"},
      {"tmid=", "tmid", ""},
      {"other=1", "tmid", ""},
      {"", "tmid", ""},
  };
  for (const auto& c : cases) {
    THTTPMessage message;
    message.SetHeaderText("Cookie: " + c.header + "\r\n");
    EXPECT_EQ(message.GetCookie(c.name), c.expected) << c.header;
  }
  THTTPMessage none;
  EXPECT_EQ(none.GetCookie("tmid"), "");
}

TEST(HTTPMessage, AddSetCookie) {
  THTTPMessage message;
  message.AddSetCookie("", "ignored", true, "x", -1, "/");
  EXPECT_EQ(message.SetCookieText(), "");

  const platform::TDateTime expires = platform::EncodeDate(2026, 12, 10) + platform::EncodeTime(8, 0, 0, 0);
  message.AddSetCookie("tmid", "Basic abc=", false, "", expires, "/");
  message.AddSetCookie("tmid", "", true, "example.com", -1, "");
  EXPECT_EQ(message.SetCookieText(),
            "Set-Cookie: tmid=Basic abc=; Path=/; Expires=Thu, 10 Dec 2026 08:00:00 GMT\r\n"
            "Set-Cookie: tmid=; Domain=example.com; Secure");
  message.SetHeader(hhServer, "tovenmarsh/1.0");
  EXPECT_EQ(message.GetHeaderText(),
            "Server: tovenmarsh/1.0\r\n"
            "Set-Cookie: tmid=Basic abc=; Path=/; Expires=Thu, 10 Dec 2026 08:00:00 GMT\r\n"
            "Set-Cookie: tmid=; Domain=example.com; Secure\r\n");
  message.Clear();
  EXPECT_EQ(message.SetCookieText(), "");
}

}  // namespace
}  // namespace tovenmarsh::web
