// Taking request lines apart: method, host, dotted prefix, request path, folder and file name,
// raw query text, versions and keep-alive; refusal of paths that leave the web folder; the
// session's reset and parameters.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/system_parameters.h"
#include "support/web_test_support.h"
#include "web/http/http_session.h"
#include "web/http/request_line.h"
#include "web/html/url_codec.h"

namespace tovenmarsh::web {
namespace {

const std::string kWeb = "/srv/tm/webroot/";

TEST(RequestLine, Table) {
  struct Case {
    std::string line;
    int method;
    std::string host, prefix, requestPath, directory, file, query, webDirectory;
    int major, minor;
    bool keepAlive;
  } cases[] = {
      {"GET /index.html HTTP/1.0\r\n", hmGET, "", "", "/index.html", "\\", "index.html", "",
       kWeb, 1, 0, false},
      {"GET /admin/mail/companies?action=10 HTTP/1.1\r\n", hmGET, "", "", "/admin/mail/companies",
       "\\admin\\mail\\companies\\", "", "action=10", kWeb + "admin/mail/companies/", 1, 1, true},
      {"post /searchfor?text=100%25&x=c%2B%2B HTTP/1.1", hmPOST, "", "", "/searchfor",
       "\\searchfor\\", "", "text=100%25&x=c%2B%2B", kWeb + "searchfor/", 1, 1, true},
      {"HEAD http://mail.example.com/docs/guide.html HTTP/1.1", hmHEAD, "mail.example.com", "",
       "/docs/guide.html", "\\docs\\", "guide.html", "", kWeb + "docs/", 1, 1, true},
      {"GET HTTP://Host:8080?a=b HTTP/1.1", hmGET, "Host:8080", "", "/", "\\", "", "a=b", kWeb,
       1, 1, true},
      // Dotted prefix: everything before the first "/" at or after the first ".".
      {"GET /www.example.com/index.html HTTP/1.1", hmGET, "", "/www.example.com", "/index.html",
       "\\", "index.html", "", kWeb, 1, 1, true},
      {"GET /a/v1.2/b/c HTTP/1.1", hmGET, "", "/a/v1.2", "/b/c", "\\b\\c\\", "", "", kWeb + "b/c/",
       1, 1, true},
      {"GET /v1.2 HTTP/1.1", hmGET, "", "", "/v1.2", "\\", "v1.2", "", kWeb, 1, 1, true},
      {"GET /a.b/ HTTP/1.1", hmGET, "", "/a.b", "/", "\\", "", "", kWeb, 1, 1, true},
      // A path that begins with ".." is searched for its "." from the third character on.
      {"GET ..x.y/z HTTP/1.1", hmGET, "", "..x.y", "/z", "\\z\\", "", "", kWeb + "z/", 1, 1, true},
      {"GET ..x/y HTTP/1.1", hmGET, "", "", "/..x/y", "\\..x\\", "y", "", kWeb + "..x/", 1, 1,
       true},
      // The file name only when the path holds a ".".
      {"GET /admin/ HTTP/1.1", hmGET, "", "", "/admin/", "\\admin\\", "", "", kWeb + "admin/", 1,
       1, true},
      {"GET /images/logo.gif?v=2 HTTP/1.1", hmGET, "", "", "/images/logo.gif", "\\images\\",
       "logo.gif", "v=2", kWeb + "images/", 1, 1, true},
      // Decoded once, made canonical and always rooted.
      {"GET /a%20b/c+d.txt HTTP/1.1", hmGET, "", "", "/a b/c d.txt", "\\a b\\", "c d.txt", "",
       kWeb + "a b/", 1, 1, true},
      {"GET //admin//mail/./companies HTTP/1.1", hmGET, "", "", "/admin/mail/companies",
       "\\admin\\mail\\companies\\", "", "", kWeb + "admin/mail/companies/", 1, 1, true},
      {"GET /x/../search HTTP/1.1", hmGET, "", "", "/search", "\\search\\", "", "",
       kWeb + "search/", 1, 1, true},
      {"GET admin/mail/companies?action=10 HTTP/1.1", hmGET, "", "", "/admin/mail/companies",
       "\\admin\\mail\\companies\\", "", "action=10", kWeb + "admin/mail/companies/", 1, 1, true},
      {"GET /a%3Fb HTTP/1.1", hmGET, "", "", "/a?b", "\\a?b\\", "", "", kWeb + "a?b/", 1, 1, true},
      // Versions: exactly eight characters, else 1.1.
      {"GET / HTTP/1.0", hmGET, "", "", "/", "\\", "", "", kWeb, 1, 0, false},
      {"GET / HTTP/2.0", hmGET, "", "", "/", "\\", "", "", kWeb, 2, 0, false},
      {"GET / HTTP/1.10", hmGET, "", "", "/", "\\", "", "", kWeb, 1, 1, true},
      {"GET /", hmGET, "", "", "/", "\\", "", "", kWeb, 1, 1, true},
      {"GET / HTTP/x.y", hmGET, "", "", "/", "\\", "", "", kWeb, 1, 1, true},
      // Unknown methods keep the reset method.
      {"BREW / HTTP/1.1", hmGET, "", "", "/", "\\", "", "", kWeb, 1, 1, true},
      {"options * HTTP/1.1", hmOPTIONS, "", "", "/*", "\\*\\", "", "", kWeb + "*/", 1, 1, true},
      {"DELETE /x HTTP/1.1", hmDELETE, "", "", "/x", "\\x\\", "", "", kWeb + "x/", 1, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const TRequestLine parts = ParseRequestLineParts(c.line, kWeb);
    EXPECT_EQ(parts.MethodCode, c.method);
    EXPECT_EQ(parts.Host, c.host);
    EXPECT_EQ(parts.DottedPrefix, c.prefix);
    EXPECT_EQ(parts.RequestPath, c.requestPath);
    EXPECT_EQ(parts.DirectoryPath, c.directory);
    EXPECT_EQ(parts.FileName, c.file);
    EXPECT_EQ(parts.QueryText, c.query);
    EXPECT_EQ(parts.WebDirectory, c.webDirectory);
    EXPECT_EQ(parts.MajorVersion, c.major);
    EXPECT_EQ(parts.MinorVersion, c.minor);
    EXPECT_EQ(parts.KeepAlive, c.keepAlive);
  }
}

TEST(RequestLine, FieldsAsReceived) {
  const TRequestLine parts =
      ParseRequestLineParts("Get /a%20b?x=%26 HTTP/1.1\r\n", kWeb);
  EXPECT_EQ(parts.Line, "Get /a%20b?x=%26 HTTP/1.1\r\n");
  EXPECT_EQ(parts.MethodText, "Get");
  EXPECT_EQ(parts.URI, "/a%20b?x=%26");
  EXPECT_EQ(parts.VersionText, "HTTP/1.1");
  EXPECT_EQ(parts.QueryText, "x=%26");

  const TRequestLine empty = ParseRequestLineParts("GET", kWeb);
  EXPECT_EQ(empty.URI, "");
  EXPECT_EQ(empty.RequestPath, "");
  EXPECT_EQ(empty.WebDirectory, "");
}

TEST(RequestLine, PathsLeavingTheWebFolderAreRefused) {
  for (const char* uri : {
           "/a/../../../../etc/passwd", "/../etc/passwd", "/..", "..", "../x", "/a/b/../../..",
           "/%2E%2E/etc/passwd", "/%2e%2e%2fetc%2fpasswd", "/a/%2E%2E/%2E%2E/x",
           "/www.x.com/../../etc/passwd", "/a/b/../c.d/../../../x", "/x%00.html",
           "/a\\..\\..\\x", "/a%5C..%5Cx", "http://host/../../etc/passwd"}) {
    SCOPED_TRACE(uri);
    EXPECT_THROW(ParseRequestLineParts(std::string("GET ") + uri + " HTTP/1.1", kWeb),
                 ERequestRefused);
  }
}

TEST(RequestLine, BrokenEscapesInThePathFail) {
  for (const char* uri : {"/a%", "/a%2", "/%zz.html", "/x%4?y=1"}) {
    EXPECT_THROW(ParseRequestLineParts(std::string("GET ") + uri + " HTTP/1.1", kWeb),
                 EURLDecodeError)
        << uri;
  }
  // The query is decoded later, part by part, and never fails.
  EXPECT_EQ(ParseRequestLineParts("GET /s?text=100% HTTP/1.1", kWeb).QueryText, "text=100%");
}

TEST(CanonicalPath, Table) {
  struct Case {
    std::string path;
    bool ok;
    std::string expected;
  } cases[] = {
      {"/", true, "/"},          {"", true, ""},          {"/a/b", true, "/a/b"},
      {"/a/b/", true, "/a/b/"},  {"/a/./b", true, "/a/b"}, {"/a/.", true, "/a/"},
      {"/a/b/..", true, "/a/"},  {"/a/..", true, "/"},    {"a//b", true, "a/b"},
      {"/a/../..", false, ""},   {"..", false, ""},       {"/...", true, "/..."},
      {"/..a/b..", true, "/..a/b.."},
  };
  for (const auto& c : cases) {
    std::string result;
    EXPECT_EQ(CanonicalPath(c.path, result), c.ok) << c.path;
    if (c.ok) {
      EXPECT_EQ(result, c.expected) << c.path;
    }
  }
}

// Python's posixpath.normpath of the path taken as relative to the web folder is the oracle:
// it climbs out exactly when its result starts with "..".
const char* const kNormpathScript = R"(
import posixpath, sys
for line in sys.stdin.read().split('\n')[:-1]:
    result = posixpath.normpath(line.lstrip('/') or '.')
    if result == '..' or result.startswith('../'):
        print('REFUSED')
    else:
        print('/' + ('' if result == '.' else result))
)";

TEST(RequestLine, TraversalAgainstPythonNormpath) {
  std::mt19937 rng(5);
  const char* const segments[] = {"a", "b", "..", ".", "", "%2E%2E", "%2e", "c%2F..", "d"};
  std::vector<std::string> paths = {"/a/../../../../etc/passwd", "/a/b/../../c", "/./../a"};
  for (int i = 0; i < 400; ++i) {
    std::string path = rng() % 4 == 0 ? "" : "/";
    const int count = static_cast<int>(rng() % 7);
    for (int j = 0; j < count; ++j) {
      if (j > 0) path += '/';
      path += segments[rng() % std::size(segments)];
    }
    if (!path.empty()) paths.push_back(path);  // an empty URI is no request path at all
  }
  std::string input;
  for (const auto& path : paths) {
    std::string decoded = path;  // the oracle sees the path as the server decodes it
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"%2E", "."},
                                   {"%2e", "."}, {"%2F", "/"}}) {
      for (size_t pos = decoded.find(from); pos != std::string::npos; pos = decoded.find(from)) {
        decoded.replace(pos, from.size(), to);
      }
    }
    input += decoded + "\n";
  }
  const std::string output = testing::RunPython(kNormpathScript, input);
  size_t pos = 0;
  for (const auto& path : paths) {
    const size_t end = output.find('\n', pos);
    ASSERT_NE(end, std::string::npos);
    const std::string expected = output.substr(pos, end - pos);
    pos = end + 1;
    SCOPED_TRACE(path);
    if (expected == "REFUSED") {
      EXPECT_THROW(ParseRequestLineParts("GET " + path + " HTTP/1.1", kWeb), ERequestRefused);
      continue;
    }
    const TRequestLine parts = ParseRequestLineParts("GET " + path + " HTTP/1.1", kWeb);
    std::string requestPath = parts.RequestPath;
    if (requestPath.size() > 1 && requestPath.back() == '/') requestPath.pop_back();
    EXPECT_EQ(requestPath, expected);
    EXPECT_EQ(parts.WebDirectory.rfind(kWeb, 0), 0u);
  }
}

TEST(HTTPSession, ParsesIntoTheWebFolderAndResets) {
  THTTPSession session;
  EXPECT_EQ(session.StatusIndex, kStatusOK);
  EXPECT_EQ(session.MethodCode, hmGET);

  session.ParseRequestLine("POST /admin/mail/companies?action=12&key=3 HTTP/1.0\r\n");
  EXPECT_EQ(session.MethodCode, hmPOST);
  EXPECT_EQ(session.RequestPath, "/admin/mail/companies");
  EXPECT_EQ(session.WebDirectory, core::SystemParameters().WebFolder() + "admin/mail/companies/");
  EXPECT_FALSE(session.KeepAlive);
  EXPECT_TRUE(session.HasQuery());

  EXPECT_EQ(session.GetQueryValue("action"), "");  // no query object yet
  session.Query().SetText(session.QueryText);
  session.PostContent().SetText("Name=Acme+%26+Sons&Perform=OK");
  EXPECT_EQ(session.GetQueryValue("action"), "12");
  EXPECT_EQ(session.GetQueryValue("key"), "3");
  EXPECT_EQ(session.GetPostValue("Name"), "Acme & Sons");
  session.StatusIndex = kStatusNotFound;
  session.RedirectURL = "http://x/";
  session.Response.SetContentText("x");

  session.Reset();
  EXPECT_EQ(session.StatusIndex, kStatusOK);
  EXPECT_EQ(session.RedirectURL, "");
  EXPECT_EQ(session.MethodCode, hmGET);
  EXPECT_EQ(session.RequestPath, "");
  EXPECT_EQ(session.QueryText, "");
  EXPECT_FALSE(session.HasQuery());
  EXPECT_FALSE(session.Response.HasBody());
  // Parameters of the last request do not leak into the next one on the same connection.
  EXPECT_EQ(session.GetQueryValue("action"), "");
  EXPECT_EQ(session.GetPostValue("Name"), "");

  EXPECT_THROW(session.ParseRequestLine("GET /a/../../x HTTP/1.1"), ERequestRefused);
  EXPECT_EQ(session.FileName, "");
  EXPECT_EQ(session.WebDirectory, "");
}

}  // namespace
}  // namespace tovenmarsh::web
