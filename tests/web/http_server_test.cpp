// The HTTP connection object as tables of raw requests and the responses it writes: framing
// independent of how the bytes are split, pipelined and keep-alive requests, HEAD, the error
// and exception pages, malformed request lines, areas kept to loopback peers, and the bounds on
// request line, header block and body. Responses are
// read back by Python's http.client as an independent parser.
#include <chrono>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/manager_thread.h"
#include "core/sockets.h"
#include "core/support/temp_folder.h"
#include "support/web_test_support.h"
#include "web/html/html_text.h"
#include "web/http/http_server.h"
#include "web/http/login_session.h"
#include "web/http/web_params.h"

namespace tovenmarsh::web {
namespace {

// Feeds each chunk as one read round; answers everything written.
std::string Feed(THTTPServer& server, const std::vector<std::string>& chunks) {
  std::string out;
  for (const std::string& chunk : chunks) {
    if (server.CloseRequested()) break;
    server.Input().Clear();
    server.Input().AddText(chunk);
    server.Run();
    out += server.Output().GetText();
    server.Output().Clear();
  }
  return out;
}

std::string Hex(const std::string& bytes) {
  static const char* const kDigits = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Python's http.client reads each output's responses one after another (methods say which were
// HEAD) and prints per response: status, reason, Content-Type, Connection, WWW-Authenticate and
// the body; then "rest" and the number of bytes after the last response. One run parses a
// whole batch of outputs.
std::vector<std::string> ParseResponsesBatch(const std::vector<std::pair<std::string, std::string>>& outputs) {
  std::string input;
  for (const auto& [output, methods] : outputs) input += methods + " " + Hex(output) + "\n";
  const std::string parsed = testing::RunPython(
      "import sys, io, http.client\n"
      "class Raw(io.BytesIO):\n"
      "    def close(self): pass\n"
      "class Sock:\n"
      "    def __init__(self, raw): self.raw = raw\n"
      "    def makefile(self, mode): return self.raw\n"
      "for line in sys.stdin.read().splitlines():\n"
      "    methods, data = (line.split(' ') + [''])[:2]\n"
      "    raw = Raw(bytes.fromhex(data))\n"
      "    for m in methods.split(','):\n"
      "        r = http.client.HTTPResponse(Sock(raw), method=m)\n"
      "        r.begin()\n"
      "        body = r.read().decode('latin-1')\n"
      "        print(r.status, r.reason, '|', r.getheader('Content-Type'), '|', r.getheader('Connection'),\n"
      "              '|', r.getheader('WWW-Authenticate'), '|', body)\n"
      "    print('rest', len(raw.read()))\n"
      "    print('==')\n",
      input);
  std::vector<std::string> result;
  std::istringstream lines(parsed);
  std::string line, current;
  while (std::getline(lines, line)) {
    if (line == "==") {
      result.push_back(current);
      current.clear();
    } else {
      current += line + "\n";
    }
  }
  return result;
}

std::string ParseResponses(const std::string& output, const std::string& methods) {
  const std::vector<std::string> parsed = ParseResponsesBatch({{output, methods}});
  return parsed.empty() ? std::string() : parsed[0];
}

class HTTPServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(core::OpenLog(temp.Path() + "web.log"));
    core::StartSockets();
    ClearHTTPRegistries();
    InstallSessionList(nullptr);
    RegisterAction("/echo", hmGET, "", 1, Echo);
    RegisterAction("/echo", hmPOST, "", 1, Echo);
    RegisterAction("/echo", hmHEAD, "", 1, Echo);
    RegisterAction("/boom", hmGET, "", 1, [](THTTPSession&, int&) {
      throw std::runtime_error("<b>boom</b> & more");
    });
  }
  void TearDown() override {
    ClearHTTPRegistries();
    core::StopSockets();
    core::CloseLog();
  }
  core::testing::TempFolder temp;

  static void Echo(THTTPSession& s, int& stop) {
    s.Response.SetContentText("echo " + s.MethodText + " q=" + s.GetQueryValue("x") +
                              " p=" + s.GetPostValue("x"));
    stop = 1;
  }
};

const std::string kConversation =
    "\r\n\r\n"  // blank lines before a request line are skipped
    "GET /echo?x=1 HTTP/1.1\r\nHost: a\r\n\r\n"
    "POST /echo HTTP/1.1\r\nContent-Length: 10\r\nContent-Type: application/x-www-form-urlencoded\r\n\r\n"
    "x=abc%26de"
    "GET /nobody HTTP/1.1\r\n\r\n"  // a page that nothing fills: an empty body of length 0
    "HEAD /echo?x=h HTTP/1.1\r\n\r\n"
    "GET /nothing.here HTTP/1.1\r\n\r\n"
    "GET /echo?x=3 HTTP/1.0\r\n\r\n"
    "GET /echo?x=never HTTP/1.1\r\n\r\n";  // after a closing response: ignored

const std::string kConversationParsed =
    "200 OK | text/html | None | None | echo GET q=1 p=\n"
    "200 OK | text/html | None | None | echo POST q= p=abc&de\n"
    "200 OK | text/html | None | None | \n"
    "200 OK | text/html | None | None | \n"
    "404 Not Found | text/html | None | None | <HTML><HEAD><TITLE>HTTP404 Not Found</TITLE></HEAD>"
    "<BODY><H1>Not Found</H1><BR><H3></H3></BODY></HTML>\n"
    "200 OK | text/html | close | None | echo GET q=3 p=\n"
    "rest 0\n";

TEST_F(HTTPServerTest, FramingDoesNotDependOnHowBytesArrive) {
  std::vector<std::vector<std::string>> splits;
  splits.push_back({kConversation});
  std::vector<std::string> bytes;
  for (char c : kConversation) bytes.emplace_back(1, c);
  splits.push_back(bytes);
  std::mt19937 random(11);
  for (int n = 0; n < 20; ++n) {
    std::vector<std::string> chunks;
    for (size_t at = 0; at < kConversation.size();) {
      const size_t take = 1 + random() % 40;
      chunks.push_back(kConversation.substr(at, take));
      at += take;
    }
    splits.push_back(chunks);
  }
  std::vector<std::pair<std::string, std::string>> outputs;
  for (const auto& chunks : splits) {
    THTTPServer server;
    outputs.emplace_back(Feed(server, chunks), "GET,POST,GET,HEAD,GET,GET");
    EXPECT_TRUE(server.CloseRequested());
  }
  const std::vector<std::string> parsed = ParseResponsesBatch(outputs);
  ASSERT_EQ(parsed.size(), splits.size());
  for (size_t i = 0; i < splits.size(); ++i) {
    EXPECT_EQ(parsed[i], kConversationParsed) << splits[i].size() << " chunks";
  }
}

TEST_F(HTTPServerTest, AnswersAsSoonAsARequestIsComplete) {
  THTTPServer server;
  const std::string first = Feed(server, {"GET /echo HTTP/1.1\r\n\r\n"});
  EXPECT_EQ(first.substr(0, 17), "HTTP/1.1 200 OK\r\n");
  EXPECT_NE(first.find("\r\nServer: tovenmarsh/"), std::string::npos);
  EXPECT_NE(first.find("GMT\r\n"), std::string::npos);
  EXPECT_FALSE(server.CloseRequested());
  // A body of 10 bytes in chunks of 4 and 6 is answered after the second.
  EXPECT_EQ(Feed(server, {"POST /echo HTTP/1.1\r\nContent-Length: 10\r\n\r\nx=ab"}), "");
  EXPECT_EQ(server.State(), 2);
  const std::string second = Feed(server, {"cdefgh"});
  EXPECT_NE(second.find("echo POST q= p=abcdefgh"), std::string::npos) << second;
  EXPECT_EQ(server.State(), 0);
}

TEST_F(HTTPServerTest, ExceptionsBecomeTheExceptionPage) {
  THTTPServer server;
  const std::string out = Feed(server, {"GET /echo HTTP/1.1\r\n\r\nGET /boom HTTP/1.1\r\n\r\n"});
  // The page follows the answer already written in the round, goes out as 200 and closes.
  EXPECT_EQ(ParseResponses(out, "GET,GET"),
            "200 OK | text/html | None | None | echo GET q= p=\n"
            "200 OK | text/html | close | None | <HTML><HEAD><TITLE>HTTP500 Internal Server Error</TITLE>"
            "</HEAD><BODY><H1>Internal Server Error</H1><BR><H3>&lt;b&gt;boom&lt;/b&gt; &amp; more</H3>"
            "</BODY></HTML>\nrest 0\n");
  EXPECT_TRUE(server.CloseRequested());

  SetExceptionPageHook([](THTTPSession& s, const std::exception& e) {
    s.Response.SetContentText(std::string("<p>") + HTMLEscape(e.what()) + "</p>");
  });
  THTTPServer hooked;
  EXPECT_EQ(ParseResponses(Feed(hooked, {"GET /boom HTTP/1.1\r\n\r\n"}), "GET"),
            "200 OK | text/html | close | None | <p>&lt;b&gt;boom&lt;/b&gt; &amp; more</p>\nrest 0\n");
  // A bad escape in the path is an exception too.
  THTTPServer escape;
  EXPECT_EQ(ParseResponses(Feed(escape, {"GET /a%zz HTTP/1.1\r\n\r\n"}), "GET").substr(0, 24),
            "200 OK | text/html | clo");
  EXPECT_TRUE(escape.CloseRequested());
}

TEST_F(HTTPServerTest, RequestsPastTheirBoundsAreRefused) {
  THTTPLimits small;
  small.requestLine = 64;
  small.headerBlock = 256;
  small.body = 1000;
  const std::string longLine = "GET /" + std::string(100, 'a') + " HTTP/1.1\r\n\r\n";
  const std::string manyHeaders = "GET / HTTP/1.1\r\n" + std::string(300, 'h') + ": v\r\n\r\n";
  const struct {
    const char* label;
    std::string request;
    std::string status;
  } kCases[] = {
      {"request line", longLine, "414 Request-URI Too Large"},
      {"request line without an end", "GET /" + std::string(5000, 'a'), "414 Request-URI Too Large"},
      {"header block", manyHeaders, "400 Bad Request"},
      {"header block without an end", "GET / HTTP/1.1\r\n" + std::string(5000, 'h'), "400 Bad Request"},
      {"body", "POST /echo HTTP/1.1\r\nContent-Length: 1001\r\n\r\n", "413 Request Entity Too Large"},
      {"huge length", "POST /echo HTTP/1.1\r\nContent-Length: 99999999999999999999\r\n\r\n", "400 Bad Request"},
      {"negative length", "POST /echo HTTP/1.1\r\nContent-Length: -5\r\n\r\nGET /x HTTP/1.1\r\n\r\n",
       "400 Bad Request"},
      {"two different lengths", "POST /echo HTTP/1.1\r\nContent-Length: 3\r\ncontent-length: 4\r\n\r\nabcd",
       "400 Bad Request"},
      {"length not a number", "POST /echo HTTP/1.1\r\nContent-Length: 5x\r\n\r\nabcde", "400 Bad Request"},
      {"chunked body", "POST /echo HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nabcde\r\n0\r\n\r\n",
       "501 Not Implemented"},
      {"path leaving the web folder", "GET /a/../../etc/passwd HTTP/1.1\r\n\r\n", "403 Forbidden"},
      {"path with a backslash", "GET /a%5c..%5cb.txt HTTP/1.1\r\n\r\n", "403 Forbidden"},
      // Request lines that are none: answered 400, never run as a GET of something.
      {"binary garbage", std::string("\x00\xff\xfe garbage \x01\r\n\r\n", 17), "400 Bad Request"},
      {"method only", "GET\r\n\r\n", "400 Bad Request"},
      {"two blanks", "GET  /echo HTTP/1.1\r\n\r\n", "400 Bad Request"},
      {"blank inside the target", "GET /ec ho HTTP/1.1\r\n\r\n", "400 Bad Request"},
      {"control byte in the target", "GET /echo\x07 HTTP/1.1\r\n\r\n", "400 Bad Request"},
      {"eight-bit byte in the target", "GET /\xe9" "cho HTTP/1.1\r\n\r\n", "400 Bad Request"},
      {"method that is no token", "G(T /echo HTTP/1.1\r\n\r\n", "400 Bad Request"},
      {"version that is none", "GET /echo FTP/1.1\r\n\r\n", "400 Bad Request"},
      {"version with letters", "GET /echo HTTP/x.y\r\n\r\n", "400 Bad Request"},
      {"a fourth field", "GET /echo HTTP/1.1 more\r\n\r\n", "400 Bad Request"},
  };
  std::vector<std::pair<std::string, std::string>> outputs;
  for (const auto& c : kCases) {
    THTTPServer server(small);
    // The refusal is the only response, whatever follows it.
    outputs.emplace_back(Feed(server, {c.request, "GET /echo HTTP/1.1\r\n\r\n"}), "GET");
    EXPECT_TRUE(server.CloseRequested()) << c.label;
  }
  const std::vector<std::string> parsed = ParseResponsesBatch(outputs);
  ASSERT_EQ(parsed.size(), std::size(kCases));
  for (size_t i = 0; i < parsed.size(); ++i) {
    const auto& c = kCases[i];
    EXPECT_EQ(parsed[i].substr(0, c.status.size()), c.status) << c.label << "\n" << parsed[i];
    EXPECT_NE(parsed[i].find("| close |"), std::string::npos) << c.label;
    EXPECT_NE(parsed[i].find("rest 0"), std::string::npos) << c.label;
  }

  // Defaults: a flood of header bytes is cut at 64 KiB; nothing is answered before that.
  THTTPServer server;
  std::string out = Feed(server, {"GET / HTTP/1.1\r\n"});
  const std::string chunk = "X-Fill: " + std::string(8000, 'f') + "\r\n";
  int rounds = 0;
  while (!server.CloseRequested() && rounds < 100) {
    out += Feed(server, {chunk});
    ++rounds;
  }
  EXPECT_EQ(rounds, 9);
  EXPECT_EQ(out.substr(0, 24), "HTTP/1.1 400 Bad Request");
}

// The status codes of the responses in out, blank-separated.
std::string StatusCodes(const std::string& out) {
  std::string codes;
  for (size_t at = out.find("HTTP/1.1 "); at != std::string::npos; at = out.find("HTTP/1.1 ", at + 1)) {
    if (!codes.empty()) codes += ' ';
    codes += out.substr(at + 9, 3);
  }
  return codes;
}

// A client that trickles its request holds a worker only for the request time, counted on an
// injected clock from the request's first byte (blank lines included) to its last.
TEST_F(HTTPServerTest, ARequestMustArriveWithinItsTime) {
  std::string blankLines;
  for (int i = 0; i < 40; ++i) blankLines += "\r\n";
  const std::string get = "GET /echo HTTP/1.1\r\n\r\n";                // 22 bytes
  const std::string exact = "GET /echo HTTP/1.1\r\nX: 1234\r\n\r\n";  // 31 bytes
  const std::string over = "GET /echo HTTP/1.1\r\nX: 12345\r\n\r\n";  // 32 bytes
  const struct {
    const char* label;
    std::string bytes;  // one byte per read round
    int step;           // seconds between rounds
    size_t rounds;      // rounds read until the last byte or the close
    std::string statuses;
  } kCases[] = {
      {"last byte at 84 s", get, 4, 22, "200"},
      {"last byte at exactly 120 s", exact, 4, 31, "200"},
      {"last byte at 124 s", over, 4, 32, "408"},
      {"blank lines for ever", blankLines, 4, 32, "408"},
      {"a slow body", "POST /echo HTTP/1.1\r\nContent-Length: 40\r\n\r\n" + std::string(40, 'b'), 2, 62, "408"},
      // The time starts again with each request of a keep-alive connection.
      {"two requests of 84 s each", get + get, 4, 44, "200 200"},
      {"all at once, late", over, 0, 32, "200"},
  };
  for (const auto& c : kCases) {
    std::chrono::steady_clock::time_point now{};
    THTTPLimits limits;
    limits.headTime = limits.requestTime;  // the head's own shorter time: the next test
    limits.clock = [&now] { return now; };
    THTTPServer server(limits);
    std::string out;
    size_t rounds = 0;
    while (rounds < c.bytes.size() && !server.CloseRequested()) {
      out += Feed(server, {c.bytes.substr(rounds, 1)});
      ++rounds;
      now += std::chrono::seconds(c.step);
    }
    EXPECT_EQ(rounds, c.rounds) << c.label;
    EXPECT_EQ(StatusCodes(out), c.statuses) << c.label << "\n" << out;
    const bool timedOut = c.statuses == "408";
    EXPECT_EQ(server.CloseRequested(), timedOut) << c.label;
    if (timedOut) {
      EXPECT_NE(out.find("\r\nConnection: close\r\n"), std::string::npos) << c.label;
    }
  }
  // Time passing without bytes is the read's own time-out; a connection that is between
  // requests when bytes come again starts a fresh request time.
  std::chrono::steady_clock::time_point now{};
  THTTPLimits limits;
  limits.clock = [&now] { return now; };
  THTTPServer server(limits);
  EXPECT_EQ(StatusCodes(Feed(server, {get})), "200");
  now += std::chrono::hours(1);
  EXPECT_EQ(StatusCodes(Feed(server, {get})), "200");
}

// The request line and headers must arrive within the head time (10 s) of the first byte, the
// body within the request time; while the head is incomplete the next read waits no longer
// than what is left of the head time (at least 1 s), so a trickling client is cut in seconds.
TEST_F(HTTPServerTest, ARequestHeadMustArriveWithinSeconds) {
  const std::string get = "GET /echo HTTP/1.1\r\n\r\n";  // 22 bytes
  const std::string post = "POST /echo HTTP/1.1\r\nContent-Length: 30\r\n\r\n";
  const struct {
    const char* label;
    std::string head;  // one byte per millisecond step
    int stepMs;
    std::string body;  // one byte per second after the head
    std::string statuses;
  } kCases[] = {
      {"head at 10 s", get, 476, "", "200"},  // last byte at 21 * 476 ms = 9.996 s
      {"head at 10.5 s", get, 500, "", "408"},
      {"blank lines for 11 s", "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n", 476, "", "408"},
      {"slow body after a quick head", post, 10, std::string(30, 'b'), "200"},
  };
  for (const auto& c : kCases) {
    std::chrono::steady_clock::time_point now{};
    THTTPLimits limits;
    limits.clock = [&now] { return now; };
    THTTPServer server(limits);
    std::string out;
    for (size_t i = 0; i < c.head.size() && !server.CloseRequested(); ++i) {
      if (i > 0) now += std::chrono::milliseconds(c.stepMs);
      out += Feed(server, {c.head.substr(i, 1)});
    }
    for (size_t i = 0; i < c.body.size() && !server.CloseRequested(); ++i) {
      now += std::chrono::seconds(1);
      out += Feed(server, {c.body.substr(i, 1)});
    }
    EXPECT_EQ(StatusCodes(out), c.statuses) << c.label << "\n" << out;
    EXPECT_EQ(server.CloseRequested(), c.statuses == "408") << c.label;
  }
  // The read wait follows what is left of the head time.
  std::chrono::steady_clock::time_point now{};
  THTTPLimits limits;
  limits.clock = [&now] { return now; };
  THTTPServer server(limits);
  EXPECT_EQ(server.Timeouts().firstReadWait, kHTTPReadWait);
  Feed(server, {"GET /ec"});
  EXPECT_EQ(server.Timeouts().firstReadWait, kHTTPReadWait) << "10 s left";
  now += std::chrono::milliseconds(7500);
  Feed(server, {"h"});
  EXPECT_EQ(server.Timeouts().firstReadWait, 3) << "2.5 s left";
  now += std::chrono::milliseconds(2400);
  Feed(server, {"o"});
  EXPECT_EQ(server.Timeouts().firstReadWait, 1) << "0.1 s left";
  Feed(server, {" HTTP/1.1\r\n\r\n"});
  EXPECT_FALSE(server.CloseRequested());
  EXPECT_EQ(server.Timeouts().firstReadWait, kHTTPReadWait) << "between requests";
}

// A form or query of more parameters than the cap is answered 413 and runs no handler; the
// connection reads on, since the request was framed whole.
TEST_F(HTTPServerTest, TooManyParametersAreRefused) {
  auto parts = [](int n) {
    std::string text = "x=1";
    for (int i = 1; i < n; ++i) text += "&a";
    return text;
  };
  auto post = [](const std::string& body) {
    return "POST /echo HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  const struct {
    const char* label;
    std::string request;
    std::string status;
    bool runs;
  } kCases[] = {
      {"form at the cap", post(parts(kMaxWebParameters)), "200", true},
      {"form past the cap", post(parts(kMaxWebParameters + 1)), "413", false},
      {"query at the cap", "GET /echo?" + parts(kMaxWebParameters) + " HTTP/1.1\r\n\r\n", "200", true},
      {"query past the cap", "GET /echo?" + parts(kMaxWebParameters + 1) + " HTTP/1.1\r\n\r\n", "413", false},
  };
  THTTPLimits limits;
  limits.requestLine = 64 * 1024;
  for (const auto& c : kCases) {
    THTTPServer server(limits);
    const std::string out = Feed(server, {c.request});
    EXPECT_EQ(StatusCodes(out), c.status) << c.label;
    EXPECT_EQ(out.find("echo ") != std::string::npos, c.runs) << c.label;
    EXPECT_FALSE(server.CloseRequested()) << c.label;
  }
}

TEST_F(HTTPServerTest, StatusLineAndErrorPageTexts) {
  EXPECT_EQ(StatusLineText(3, true, ""), "HTTP/1.1 200 OK\r\n");
  EXPECT_EQ(StatusLineText(17, true, ""), "HTTP/1.1 401 Unauthorized Access\r\n");
  EXPECT_EQ(StatusLineText(20, false, "x\r\ny"), "HTTP/1.1 404 x  y\r\n");
  EXPECT_EQ(StatusLineText(0, false, "detail"), "detail\r\n");
  EXPECT_EQ(ErrorPage(20, ""),
            "<HTML><HEAD><TITLE>HTTP404 Not Found</TITLE></HEAD><BODY><H1>Not Found</H1><BR><H3></H3>"
            "</BODY></HTML>");
}

TEST_F(HTTPServerTest, WellFormedRequestLinesAreServed) {
  // What clients send is answered (the version-less form of old clients too).
  const struct {
    const char* request;
    const char* body;
  } kCases[] = {
      {"GET /echo HTTP/1.1\r\n\r\n", "echo GET q= p="},
      {"GET /echo?x=%41+b HTTP/1.0\r\n\r\n", "echo GET q=A b p="},
      {"GET /echo HTTP/1.10\r\n\r\n", "echo GET q= p="},
      {"GET /echo\r\n\r\n", "echo GET q= p="},
      {"get /echo HTTP/1.1\r\n\r\n", "echo get q= p="},
  };
  for (const auto& c : kCases) {
    THTTPServer server;
    const std::string out = Feed(server, {c.request});
    EXPECT_EQ(out.substr(0, 15), "HTTP/1.1 200 OK") << c.request;
    EXPECT_NE(out.find(c.body), std::string::npos) << c.request << out;
  }
}

TEST_F(HTTPServerTest, TheConnectionsPeerDecidesLoopbackOnlyAreas) {
  SetProtectedAreas({{"/echo", "tovenmarsh", 0, true}});
  const struct {
    const char* peer;
    const char* status;
  } kCases[] = {{"127.0.0.1", "200 OK"}, {"192.168.1.20", "403 Forbidden"}, {"", "403 Forbidden"}};
  for (const auto& c : kCases) {
    THTTPServer server;
    server.ConnectionInfo().peerAddress = c.peer;
    const std::string parsed = ParseResponses(Feed(server, {"GET /echo HTTP/1.1\r\n\r\n"}), "GET");
    EXPECT_EQ(parsed.substr(0, std::string(c.status).size()), c.status) << c.peer << parsed;
    if (std::string(c.status) != "200 OK") {
      EXPECT_NE(parsed.find("Security is off: this page answers only on the server itself."), std::string::npos)
          << parsed;
    }
  }
}

TEST_F(HTTPServerTest, UnauthorizedRequestGetsTheChallengeAndItsPage) {
  RegisterProtectedArea("/", "tovenmarsh", 1);
  THTTPServer server;
  EXPECT_EQ(ParseResponses(Feed(server, {"GET /echo HTTP/1.1\r\n\r\n"}), "GET"),
            "401 Unauthorized Access | text/html | None | Basic realm=tovenmarsh | <HTML><HEAD><TITLE>HTTP401 "
            "Unauthorized Access</TITLE></HEAD><BODY><H1>Unauthorized Access</H1><BR><H3></H3></BODY></HTML>\n"
            "rest 0\n");
  EXPECT_FALSE(server.CloseRequested());
}

// Two connection objects of one process, each with an environment of its own: each serves the
// files of its own web folder, names its own server and logs in against its own session list,
// whatever list the process has installed.
TEST_F(HTTPServerTest, EachServerAnswersFromItsOwnEnvironment) {
  core::testing::TempFolder firstFolder, secondFolder;
  firstFolder.Write("page.html", "first page");
  secondFolder.Write("page.html", "second page");
  RegisterAction("/private", hmGET, "", 1, Echo);
  RegisterProtectedArea("/private", "own", 1);
  const TAccountLookup user2 = [](resources::TAccountRec& rec) {
    if (rec.name != "user2") return false;
    rec.no = 2;
    rec.pass = "plain";
    rec.level = 1;
    return true;
  };
  auto sessions = std::make_shared<TSessionSystem>(user2);
  const std::string login = "GET /private HTTP/1.1\r\nAuthorization: Basic dXNlcjI6cGxhaW4=\r\n\r\n";  // user2:plain

  THTTPServer first(THTTPEnvironment{firstFolder.Path(), "first/1", [sessions] { return sessions; }});
  const std::string firstOut = Feed(first, {"GET /page.html HTTP/1.1\r\n\r\n" + login});
  EXPECT_EQ(ParseResponses(firstOut, "GET,GET"),
            "200 OK | text/html | None | None | first page\n"
            "200 OK | text/html | None | None | echo GET q= p=\nrest 0\n");
  EXPECT_NE(firstOut.find("\r\nServer: first/1\r\n"), std::string::npos) << firstOut;
  EXPECT_EQ(sessions->Count(), 1);

  // The process's list would admit the login; the server without a list of its own still does not.
  InstallSessionList(std::make_shared<TSessionSystem>(user2));
  THTTPServer second(THTTPEnvironment{secondFolder.Path(), "second/2", {}});
  const std::string secondOut = Feed(second, {"GET /page.html HTTP/1.1\r\n\r\n" + login});
  EXPECT_EQ(ParseResponses(secondOut, "GET,GET"),
            "200 OK | text/html | None | None | second page\n"
            "401 Unauthorized Access | text/html | None | None | <HTML><HEAD><TITLE>HTTP401 Unauthorized "
            "Access</TITLE></HEAD><BODY><H1>Unauthorized Access</H1><BR><H3></H3></BODY></HTML>\nrest 0\n");
  EXPECT_NE(secondOut.find("\r\nServer: second/2\r\n"), std::string::npos) << secondOut;
  EXPECT_EQ(sessions->Count(), 1);
  InstallSessionList(nullptr);
}

}  // namespace
}  // namespace tovenmarsh::web
