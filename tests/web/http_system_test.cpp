// The HTTP system: the action registry's order and matching, access control over the session
// cookie and Basic credentials (a table of requests against two protected areas), sessions
// ended on the server, the throttle of failed logins, areas kept to loopback clients, error
// texts without paths, static files from the web folder, redirects and keep-alive, and dates
// that are real GMT (checked by Python's email.utils under a zone 14 hours east of GMT).
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/support/scoped_zone.h"
#include "core/system_parameters.h"
#include "platform/stream.h"
#include "resources/account_control.h"
#include "support/web_test_support.h"
#include "web/http/http_system.h"
#include "web/http/login_session.h"

namespace tovenmarsh::web {
namespace {

const std::string kAdmin = "Basic YWRtaW4xOlNlY3JldA==";      // admin1:Secret, level 5
const std::string kUser = "Basic dXNlcjI6cGxhaW4=";            // user2:plain, level 1
const std::string kWrongPassword = "Basic YWRtaW4xOnNlY3JldHg=";  // admin1:secretx

TAccountLookup FakeAccounts() {
  return [](resources::TAccountRec& rec) {
    const int no = resources::TAccountControl::AccountNoFromName(rec.name);
    if (no != 1 && no != 2) return false;
    rec.no = no;
    rec.pass = no == 1 ? "Secret" : "plain";
    rec.level = no == 1 ? 5 : 1;
    return true;
  };
}

class HTTPSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ClearHTTPRegistries();
    sessions = std::make_shared<TSessionSystem>(FakeAccounts());
    InstallSessionList(sessions);
    // Registered out of order on purpose: the registry sorts.
    Register("/", hmAny, "", 5, "substitute", true);
    Register("/admin/mail/companies", hmPOST, "12", 1, "company update (POST)");
    Register("/search", hmGET, "", 1, "search");
    Register("/", hmAny, "", 4, "default");
    Register("/admin/mail/companies", hmGET, "10", 1, "company list");
    Register("/admin/system/config", hmGET, "101", 1, "config form");
    Register("/admin/mail/companies", hmGET, "12", 1, "company update (GET)");
    Register("/", hmAny, "", 0, "frame");
  }
  void TearDown() override {
    ClearHTTPRegistries();
    InstallSessionList(nullptr);
  }

  void Register(const std::string& path, int method, const std::string& action, int phase,
                const std::string& name, bool stops = false) {
    RegisterAction(path, method, action, phase, [this, name, stops](THTTPSession&, int& stop) {
      ran.push_back(name);
      if (stops) stop = 1;
    });
  }
  void SecurityOn(int userLevel, int adminLevel) {
    RegisterProtectedArea("/", "tovenmarsh", userLevel);
    RegisterProtectedArea("/admin", "tovenmarsh", adminLevel);
  }

  // One request on a fresh session: the request line, then header lines.
  THTTPSession& Request(const std::string& line, const std::string& headers = "") {
    ran.clear();
    THTTPSession& s = system.Session();
    s.Reset();
    s.ParseRequestLine(line + "\r\n");
    s.ClientAddress = client;
    s.Request.SetHeaderText(headers);
    system.Execute();
    return s;
  }

  std::shared_ptr<TSessionSystem> sessions;
  std::string client = "127.0.0.1";
  THTTPSystem system;
  std::vector<std::string> ran;
};

TEST_F(HTTPSystemTest, RegistriesKeepTheirOrder) {
  std::vector<std::string> order;
  for (const TActionEntry& e : *RegisteredActions()) {
    order.push_back(std::to_string(e.Phase) + " " + std::to_string(e.Method) + " " + e.Path + " " + e.Action);
  }
  EXPECT_EQ(order, (std::vector<std::string>{
                       "0 0 / ", "1 1 /admin/mail/companies 10", "1 3 /admin/mail/companies 12",
                       "1 1 /admin/mail/companies 12", "1 1 /admin/system/config 101", "1 1 /search ",
                       "4 0 / ", "5 0 / "}));
  RegisterProtectedArea("/", "r", 1);
  RegisterProtectedArea("/admin/system", "r", 9);
  RegisterProtectedArea("/admin", "r", 5);
  std::vector<std::string> prefixes;
  for (const TProtectedArea& a : *ProtectedAreas()) prefixes.push_back(a.Prefix);
  EXPECT_EQ(prefixes, (std::vector<std::string>{"/admin/system", "/admin", "/"}));
  SetProtectedAreas({{"/", "r", 0}, {"/x", "r", 2}});
  EXPECT_EQ(ProtectedAreas()->front().Prefix, "/x");
}

TEST_F(HTTPSystemTest, DispatchRunsTheMatchingEntriesInPhases) {
  using V = std::vector<std::string>;
  const struct {
    std::string line;
    V expected;
  } kCases[] = {
      {"GET /admin/mail/companies?action=10 HTTP/1.1", V{"frame", "company list", "default", "substitute"}},
      {"POST /admin/mail/companies?action=12 HTTP/1.1",
       V{"frame", "company update (POST)", "default", "substitute"}},
      {"GET /admin/mail/companies?action=12 HTTP/1.1",
       V{"frame", "company update (GET)", "default", "substitute"}},
      {"GET /search HTTP/1.1", V{"frame", "search", "default", "substitute"}},
      // An entry without an action runs only on its exact path.
      {"GET /search/more HTTP/1.1", V{"frame", "default", "substitute"}},
      // An action that matches no entry: only the handlers for any method.
      {"GET /?action=999 HTTP/1.1", V{"frame", "default", "substitute"}},
      // With an action, entries without one do not run even on their path.
      {"GET /search?action=10 HTTP/1.1", V{"frame", "company list", "default", "substitute"}},
      {"HEAD /search HTTP/1.1", V{"frame", "default", "substitute"}},
  };
  for (const auto& c : kCases) {
    THTTPSession& s = Request(c.line);
    EXPECT_EQ(ran, c.expected) << c.line;
    EXPECT_EQ(s.StatusIndex, kStatusOK) << c.line;
    EXPECT_EQ(s.Response.GetHeader(hhContentType), "text/html");
    EXPECT_EQ(s.Response.GetHeader(hhCacheControl), "no-cache");
    EXPECT_EQ(s.Response.SetCookieText(), "") << "security off sets no cookie";
  }
  // A handler that sets the stop flag ends the walk.
  RegisterAction("/", hmAny, "", 3, [this](THTTPSession&, int& stop) {
    ran.push_back("stopper");
    stop = 1;
  });
  Request("GET /search HTTP/1.1");
  EXPECT_EQ(ran, (V{"frame", "search", "stopper"}));
}

TEST_F(HTTPSystemTest, AccessBySessionCookieOrCredentials) {
  SecurityOn(1, 5);
  // A live session for each kind of user, logged in as a browser would have been.
  const std::string adminId = sessions->Login(kAdmin, 5);
  const std::string userId = sessions->Login(kUser, 1);
  ASSERT_FALSE(adminId.empty());
  ASSERT_FALSE(userId.empty());
  const std::string kAdminCookie = "Cookie: tmid=" + adminId;
  const std::string kUserCookie = "Cookie: other=1; tmid=" + userId;
  const struct {
    const char* label;
    std::string line;
    std::string headers;
    int status;
    int cookies;           // Set-Cookie lines carrying a new session id
    bool emptyCookie;      // "tmid=; Path=/" (failed credentials from an Authorization header)
    bool challenge;        // WWW-Authenticate: Basic realm=tovenmarsh, and no cookie at all
    bool runs;
  } kCases[] = {
      {"no credentials", "GET /search HTTP/1.1", "", 17, 0, false, true, false},
      {"unknown cookie, no credentials", "GET /search HTTP/1.1", "Cookie: tmid=abc", 17, 0, false, true, false},
      {"credentials as the cookie", "GET /search HTTP/1.1", "Cookie: tmid=" + kUser, 17, 0, false, true, false},
      {"a guessed id", "GET /search HTTP/1.1", "Cookie: tmid=" + std::string(32, '0'), 17, 0, false, true, false},
      {"user credentials, user area", "GET /search HTTP/1.1", "Authorization: " + kUser, 3, 1, false, false, true},
      {"admin credentials, admin page: one cookie", "GET /admin/mail/companies?action=10 HTTP/1.1",
       "Authorization: " + kAdmin, 3, 1, false, false, true},
      {"user credentials, admin page", "GET /admin/mail/companies?action=10 HTTP/1.1",
       "Authorization: " + kUser, 17, 0, true, false, false},
      {"admin action through the root path", "GET /?action=101 HTTP/1.1", "Authorization: " + kUser, 17, 0, true,
       false, false},
      {"admin action through the root path, user cookie", "GET /?action=101 HTTP/1.1", kUserCookie, 17, 0, false,
       true, false},
      {"admin action through a user page", "GET /search?action=10 HTTP/1.1", "Authorization: " + kUser, 17, 0,
       true, false, false},
      {"admin action through the root path, admin", "GET /?action=101 HTTP/1.1", "Authorization: " + kAdmin, 3, 1,
       false, false, true},
      {"admin session cookie alone", "GET /admin/system/config?action=101 HTTP/1.1", kAdminCookie, 3, 0, false,
       false, true},
      {"user session cookie on an admin page", "GET /admin/mail/companies HTTP/1.1", kUserCookie, 17, 0, false,
       true, false},
      {"wrong password", "GET /search HTTP/1.1", "Authorization: " + kWrongPassword, 17, 0, true, false, false},
      {"malformed credentials", "GET /search HTTP/1.1", "Authorization: Basic @@@@", 17, 0, true, false, false},
      {"static file in a protected area", "GET /nothing.html HTTP/1.1", "", 17, 0, false, true, false},
  };
  for (const auto& c : kCases) {
    THTTPSession& s = Request(c.line, c.headers);
    EXPECT_EQ(s.StatusIndex, c.status) << c.label;
    const std::string& cookies = s.Response.SetCookieText();
    // No credentials ever travel in a cookie.
    EXPECT_EQ(cookies.find("Basic"), std::string::npos) << c.label;
    int count = 0;
    for (size_t at = cookies.find("tmid="); at != std::string::npos; at = cookies.find("tmid=", at + 1)) {
      const std::string id = cookies.substr(at + 5, 32);
      if (id.size() < 32 || id.find_first_not_of("0123456789abcdef") != std::string::npos) continue;
      ++count;
      EXPECT_EQ(id, s.SessionId) << c.label;
      EXPECT_EQ(sessions->FindById(id).Id, id) << c.label << ": the cookie names a live session";
      const std::string line = cookies.substr(at, cookies.find('\r', at) - at);
      EXPECT_EQ(line.substr(37, 17), "; Path=/; Expires") << line;
      EXPECT_EQ(line.substr(line.size() - 27), "; HttpOnly; SameSite=Strict") << line;
    }
    EXPECT_EQ(count, c.cookies) << c.label << ": " << cookies;
    EXPECT_EQ(cookies.find("Set-Cookie: tmid=; Path=/; HttpOnly; SameSite=Strict") != std::string::npos,
              c.emptyCookie)
        << c.label;
    EXPECT_EQ(s.Response.GetHeader(hhWWWAuthenticate), c.challenge ? "Basic realm=tovenmarsh" : "") << c.label;
    if (c.challenge) {
      EXPECT_EQ(cookies, "") << c.label;
    }
    EXPECT_EQ(!ran.empty(), c.runs) << c.label;
    EXPECT_EQ(!s.SessionId.empty(), c.runs) << c.label;
  }
}

TEST_F(HTTPSystemTest, AnEndedSessionAdmitsNobody) {
  SecurityOn(1, 5);
  THTTPSession& first = Request("GET /search HTTP/1.1", "Authorization: " + kUser);
  ASSERT_EQ(first.StatusIndex, kStatusOK);
  const std::string id = first.SessionId;
  EXPECT_EQ(Request("GET /search HTTP/1.1", "Cookie: tmid=" + id).StatusIndex, kStatusOK);
  // Expired on the server: the cookie alone is refused, the credentials log in afresh.
  sessions->Purge(platform::Now() + 1.0);
  ASSERT_EQ(sessions->Count(), 0);
  EXPECT_EQ(Request("GET /search HTTP/1.1", "Cookie: tmid=" + id).StatusIndex, kStatusUnauthorized);
  THTTPSession& again = Request("GET /search HTTP/1.1", "Cookie: tmid=" + id + "\r\nAuthorization: " + kUser);
  EXPECT_EQ(again.StatusIndex, kStatusOK);
  EXPECT_NE(again.SessionId, id);
  EXPECT_EQ(sessions->FindById(again.SessionId).UserLevel, 1);
  // Logged out: the same.
  const std::string second = again.SessionId;
  sessions->Logout(second);
  EXPECT_EQ(Request("GET /search HTTP/1.1", "Cookie: tmid=" + second).StatusIndex, kStatusUnauthorized);
}

TEST_F(HTTPSystemTest, ALoginReplacesTheAnonymousSessionOfTheCookie) {
  SecurityOn(0, 5);
  const std::string anonymous = sessions->StartAnonymous();
  // The anonymous session is enough where no login is needed.
  EXPECT_EQ(Request("GET /search HTTP/1.1", "Cookie: tmid=" + anonymous).SessionId, anonymous);
  THTTPSession& s = Request("GET /admin/x HTTP/1.1", "Cookie: tmid=" + anonymous + "\r\nAuthorization: " + kAdmin);
  ASSERT_EQ(s.StatusIndex, kStatusOK);
  EXPECT_NE(s.SessionId, anonymous);
  EXPECT_FALSE(sessions->IsLive(anonymous));
  EXPECT_TRUE(sessions->IsLive(s.SessionId));
}

TEST_F(HTTPSystemTest, FailedLoginsSlowTheirAddressOnly) {
  SecurityOn(1, 5);
  auto now = std::chrono::steady_clock::now();
  sessions->Throttle().SetClock([&now] { return now; });
  client = "10.1.2.3";
  // A few typing errors cost nothing.
  for (int i = 0; i < TLoginThrottle::kFreeFailures; ++i) {
    THTTPSession& s = Request("GET /search HTTP/1.1", "Authorization: " + kWrongPassword);
    EXPECT_EQ(s.StatusIndex, kStatusUnauthorized);
    EXPECT_EQ(s.ErrorText, "");
  }
  EXPECT_EQ(sessions->Throttle().WaitSeconds(client), 0);
  // Then every failure doubles the wait, and meanwhile even good credentials from that
  // address are not looked at (nor counted).
  int expected = 1;
  for (int round = 0; round < 4; ++round) {
    EXPECT_EQ(Request("GET /search HTTP/1.1", "Authorization: " + kWrongPassword).StatusIndex,
              kStatusUnauthorized);
    EXPECT_EQ(sessions->Throttle().WaitSeconds(client), expected) << round;
    THTTPSession& held = Request("GET /search HTTP/1.1", "Authorization: " + kUser);
    EXPECT_EQ(held.StatusIndex, kStatusUnauthorized);
    EXPECT_EQ(held.ErrorText.find("Too many failed logins from your address: try again in "), 0u)
        << held.ErrorText;
    EXPECT_EQ(held.Response.GetHeader(hhWWWAuthenticate), "Basic realm=tovenmarsh");
    EXPECT_EQ(held.SessionId, "");
    now += std::chrono::seconds(expected);
    expected *= 2;
  }
  // Another address is served at once; a level too low is no failed login.
  client = "10.1.2.4";
  EXPECT_EQ(Request("GET /search HTTP/1.1", "Authorization: " + kUser).StatusIndex, kStatusOK);
  for (int i = 0; i < 10; ++i) Request("GET /admin/x HTTP/1.1", "Authorization: " + kUser);
  EXPECT_EQ(sessions->Throttle().WaitSeconds(client), 0);
  // Once the wait is over the good credentials log in, and the address starts afresh.
  client = "10.1.2.3";
  EXPECT_EQ(Request("GET /search HTTP/1.1", "Authorization: " + kUser).StatusIndex, kStatusOK);
  EXPECT_EQ(Request("GET /search HTTP/1.1", "Authorization: " + kWrongPassword).ErrorText, "");
  EXPECT_EQ(sessions->Throttle().WaitSeconds(client), 0);
}

TEST_F(HTTPSystemTest, LoopbackOnlyAreasRefuseOtherClients) {
  SetProtectedAreas({{"/admin", "tovenmarsh", 0, true}, {"/search", "tovenmarsh", 0, true}});
  const struct {
    const char* address;
    std::string line;
    int status;
  } kCases[] = {
      {"127.0.0.1", "GET /admin/mail/companies?action=10 HTTP/1.1", kStatusOK},
      {"127.200.3.4", "GET /search HTTP/1.1", kStatusOK},
      {"::1", "GET /search HTTP/1.1", kStatusOK},
      {"::ffff:127.0.0.1", "GET /search HTTP/1.1", kStatusOK},
      {"10.0.0.5", "GET /admin/mail/companies?action=10 HTTP/1.1", kStatusForbidden},
      {"10.0.0.5", "GET /search HTTP/1.1", kStatusForbidden},
      // An admin action reached through another path is still the admin area.
      {"10.0.0.5", "GET /?action=12 HTTP/1.1", kStatusForbidden},
      {"10.0.0.5", "POST /admin/mail/companies?action=12 HTTP/1.1", kStatusForbidden},
      {"", "GET /search HTTP/1.1", kStatusForbidden},
      {"128.0.0.1", "GET /search HTTP/1.1", kStatusForbidden},
      {"1270.0.0.1", "GET /search HTTP/1.1", kStatusForbidden},
      {"127.0.0.1.5", "GET /search HTTP/1.1", kStatusForbidden},
      {"127.0.0", "GET /search HTTP/1.1", kStatusForbidden},
      // Outside the areas everyone is served.
      {"10.0.0.5", "GET / HTTP/1.1", kStatusOK},
      {"10.0.0.5", "GET /?action=999 HTTP/1.1", kStatusOK},
  };
  for (const auto& c : kCases) {
    client = c.address;
    THTTPSession& s = Request(c.line);
    EXPECT_EQ(s.StatusIndex, c.status) << c.address << " " << c.line;
    EXPECT_EQ(ran.empty(), c.status != kStatusOK) << c.address << " " << c.line;
    if (c.status == kStatusForbidden) {
      EXPECT_NE(s.ErrorText.find("SecurityOn=Yes"), std::string::npos) << s.ErrorText;
    }
    EXPECT_EQ(s.Response.SetCookieText(), "");
  }
}

TEST(HTTPErrorText, PublicMessagesNameNoFilePaths) {
  const struct {
    std::string text;
    std::string shown;
  } kCases[] = {
      {"Fen Engine Error # 11010 \"/srv/tm/run/db/account.DAT\" not found",
       "Fen Engine Error # 11010 \"account.DAT\" not found"},
      {"cannot read /home/u/run/webroot/x.html, giving up", "cannot read x.html, giving up"},
      {"(/tmp/q/a) failed", "(a) failed"},
      {"Key violation", "Key violation"},
      {"1/2 of /x done", "1/2 of /x done"},
  };
  for (const auto& c : kCases) EXPECT_EQ(PublicMessage(platform::Exception(c.text)), c.shown);
  const std::string open =
      PublicMessage(platform::EFOpenError("Cannot open file \"/work/run/webroot/template.html\""));
  EXPECT_EQ(open.find('/'), std::string::npos) << open;
  EXPECT_EQ(open.find("template"), std::string::npos) << open;
}

TEST_F(HTTPSystemTest, LevelZeroAndNoAreasAdmitEveryone) {
  THTTPSession& open = Request("GET /admin/system/config?action=101 HTTP/1.1");
  EXPECT_EQ(open.StatusIndex, kStatusOK);
  EXPECT_EQ(ran.size(), 4u);
  RegisterProtectedArea("/", "tovenmarsh", 0);
  THTTPSession& s = Request("GET /search HTTP/1.1");
  EXPECT_EQ(s.StatusIndex, kStatusOK);
  EXPECT_EQ(s.SessionId, sessions->DefaultEntry().Id);
  EXPECT_EQ(s.Response.SetCookieText(), "");
  // Without a session list no login can succeed, but level 0 still admits.
  InstallSessionList(nullptr);
  EXPECT_EQ(Request("GET /search HTTP/1.1").StatusIndex, kStatusOK);
  RegisterProtectedArea("/admin", "tovenmarsh", 5);
  EXPECT_EQ(Request("GET /admin/x HTTP/1.1", "Authorization: " + kAdmin).StatusIndex, kStatusUnauthorized);
}

TEST_F(HTTPSystemTest, EveryAreaThatAppliesMustAdmit) {
  // An outer area that asks for more than the inner one still applies to the inner pages.
  RegisterProtectedArea("/", "tovenmarsh", 5);
  RegisterProtectedArea("/admin", "tovenmarsh", 1);
  ASSERT_FALSE(sessions->Login(kUser, 1).empty());
  EXPECT_EQ(Request("GET /admin/x HTTP/1.1", "Cookie: tmid=" + kUser).StatusIndex, kStatusUnauthorized);
  EXPECT_EQ(Request("GET /admin/x HTTP/1.1", "Authorization: " + kUser).StatusIndex, kStatusUnauthorized);
  EXPECT_EQ(Request("GET /admin/x HTTP/1.1", "Authorization: " + kAdmin).StatusIndex, kStatusOK);
}

TEST_F(HTTPSystemTest, ALoginDoesNotCarryOverToTheNextRequest) {
  RegisterProtectedArea("/admin", "tovenmarsh", 5);
  THTTPSession& admin = Request("GET /admin/x HTTP/1.1", "Authorization: " + kAdmin);
  ASSERT_EQ(admin.StatusIndex, kStatusOK);
  ASSERT_FALSE(admin.SessionId.empty());
  // The same connection, a request that no area covers and that proves nothing.
  EXPECT_EQ(Request("GET /search HTTP/1.1").SessionId, "");
}

TEST_F(HTTPSystemTest, RedirectAndConnection) {
  RegisterAction("/go", hmGET, "", 1, [](THTTPSession& s, int&) { s.RedirectURL = "/done\r\nX-Injected: 1"; });
  THTTPSession& s = Request("GET /go HTTP/1.1");
  EXPECT_EQ(s.StatusIndex, kStatusSeeOther);
  EXPECT_EQ(s.Response.GetHeaderText().find("\r\nX-Injected"), std::string::npos);
  EXPECT_TRUE(s.KeepAlive);
  EXPECT_EQ(s.Response.GetHeader(hhConnection), "");
  const struct {
    std::string line, headers;
    bool keep;
  } kCases[] = {
      {"GET /search HTTP/1.1", "", true},
      {"GET /search HTTP/1.0", "", false},
      {"GET /search HTTP/1.1", "Connection: close", false},
      {"GET /search HTTP/1.1", "Connection: keep-alive", true},
  };
  for (const auto& c : kCases) {
    THTTPSession& r = Request(c.line, c.headers);
    EXPECT_EQ(r.KeepAlive, c.keep) << c.line << c.headers;
    EXPECT_EQ(r.Response.GetHeader(hhConnection), c.keep ? "" : "close") << c.line << c.headers;
  }
}

TEST_F(HTTPSystemTest, ExceptionPageHook) {
  const std::runtime_error error("boom");
  EXPECT_FALSE(system.HandleException(error));
  SetExceptionPageHook([](THTTPSession& s, const std::exception& e) {
    s.Response.SetContentText(std::string("page: ") + e.what());
  });
  EXPECT_TRUE(HasExceptionPageHook());
  EXPECT_TRUE(system.HandleException(error));
  EXPECT_EQ(system.Session().Response.GetContentText(), "page: boom");
}

// Files in a folder of this process inside the web folder.
class StaticFileTest : public HTTPSystemTest {
 protected:
  void SetUp() override {
    HTTPSystemTest::SetUp();
    folder = "t" + std::to_string(getpid());
    root = core::SystemParameters().WebFolder();
    mkdir(root.c_str(), 0755);
    mkdir((root + folder).c_str(), 0755);
    mkdir((root + folder + "/sub.d").c_str(), 0755);
    Write("page.html", "<p>hello</p>");
    Write("logo.GIF", std::string("GIF89a\0\x01\x02", 9));
    Write("data.unknownext", "raw");
    Write("site.CSS", "p{}");
    Write("menu.js", "f()");
  }
  void TearDown() override {
    for (const char* name : {"page.html", "logo.GIF", "data.unknownext", "site.CSS", "menu.js"}) {
      unlink((root + folder + "/" + name).c_str());
    }
    rmdir((root + folder + "/sub.d").c_str());
    rmdir((root + folder).c_str());
    HTTPSystemTest::TearDown();
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(root + folder + "/" + name, std::ios::binary) << bytes;
  }
  std::string folder, root;
};

TEST_F(StaticFileTest, ServesFilesOfTheWebFolder) {
  const struct {
    std::string name;
    int status;
    std::string type, body;
  } kCases[] = {
      {"page.html", kStatusOK, "text/html", "<p>hello</p>"},
      {"logo.GIF", kStatusOK, "image/gif", std::string("GIF89a\0\x01\x02", 9)},
      {"data.unknownext", kStatusOK, "", "raw"},
      {"site.CSS", kStatusOK, "text/css", "p{}"},
      {"menu.js", kStatusOK, "text/javascript", "f()"},
      {"missing.html", kStatusNotFound, "", ""},
      {"sub.d", kStatusNotFound, "", ""},
  };
  for (const auto& c : kCases) {
    THTTPSession& s = Request("GET /" + folder + "/" + c.name + " HTTP/1.1");
    EXPECT_EQ(s.StatusIndex, c.status) << c.name;
    EXPECT_EQ(s.Response.GetHeader(hhContentType), c.type) << c.name;
    EXPECT_EQ(s.Response.GetContentText(), c.body) << c.name;
    if (c.status == kStatusOK) {
      EXPECT_EQ(s.Response.GetIntHeader(hiContentLength), static_cast<int>(c.body.size())) << c.name;
      EXPECT_NE(s.Response.GetHeaderByName("Expires"), "") << c.name;
    }
    EXPECT_TRUE(ran.empty()) << "no action runs for a file";
  }
}

TEST_F(StaticFileTest, DatesAreRealGMT) {
  // 14 hours east of GMT: local time labelled GMT would be off by 50400 seconds.
  core::testing::ScopedZone zone("XYZ-14");
  SecurityOn(1, 5);
  THTTPSession& dynamic = Request("GET /search HTTP/1.1", "Authorization: " + kUser);
  ASSERT_EQ(dynamic.StatusIndex, kStatusOK);
  std::string cookie = dynamic.Response.SetCookieText();
  cookie = cookie.substr(cookie.find("Expires=") + 8);
  cookie = cookie.substr(0, cookie.find(';'));
  std::string input = dynamic.Response.GetHeaderByName("Date") + "\n" +
                      dynamic.Response.GetHeaderByName("Expires") + "\n" + cookie + "\n";
  THTTPSession& file = Request("GET /" + folder + "/page.html HTTP/1.1", "Authorization: " + kUser);
  ASSERT_EQ(file.StatusIndex, kStatusOK);
  input += file.Response.GetHeaderByName("Date") + "\n" + file.Response.GetHeaderByName("Expires") +
           "\n" + file.Response.GetHeaderByName("Last-Modified") + "\n";
  // Offsets from the clock in whole minutes: a date within a minute of now reads 0.
  const std::string out = testing::RunPython(
      "import sys, time, email.utils\n"
      "now = time.time()\n"
      "for line in sys.stdin.read().splitlines():\n"
      "    t = email.utils.parsedate_to_datetime(line).timestamp()\n"
      "    print(round((t - now) / 60))\n",
      input);
  EXPECT_EQ(out, "0\n0\n1440\n0\n2\n0\n") << input;
}

}  // namespace
}  // namespace tovenmarsh::web
