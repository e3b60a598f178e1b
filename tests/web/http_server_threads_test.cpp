// The web server on a real listener (port 0) with Python's http.client as the browser:
// keep-alive exchanges, HEAD, a form post, static files, the Basic challenge, login and the
// session cookie, and a refused path. Also the session list under concurrent logins, lookups
// and purges, and the purge daemon woken on its thread.
#include <unistd.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/manager_thread.h"
#include "core/sockets.h"
#include "core/support/temp_folder.h"
#include "core/system_parameters.h"
#include "resources/account_control.h"
#include "support/web_test_support.h"
#include "web/http/http_server.h"
#include "web/http/login_session.h"
#include "web/http/session_daemon.h"

namespace tovenmarsh::web {
namespace {

TAccountLookup FakeAccounts() {
  return [](resources::TAccountRec& rec) {
    const int no = resources::TAccountControl::AccountNoFromName(rec.name);
    if (no < 1 || no > 9) return false;
    rec.no = no;
    rec.pass = "pw" + std::to_string(no);
    rec.level = no;
    return true;
  };
}

std::string Credentials(int no) {
  // "u<no>:pw<no>" in base64, built by Python in the test below when needed; here by table.
  static const char* const kTable[] = {"", "Basic dTE6cHcx", "Basic dTI6cHcy", "Basic dTM6cHcz",
                                       "Basic dTQ6cHc0", "Basic dTU6cHc1"};
  return kTable[no];
}

class WebServerThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(core::OpenLog(temp.Path() + "web.log"));
    core::StartSockets();
  }
  void TearDown() override {
    core::StopSockets();
    InstallSessionList(nullptr);
    ClearHTTPRegistries();
    core::CloseLog();
  }
  core::testing::TempFolder temp;
};

TEST_F(WebServerThreads, PythonClientTalksToTheListener) {
  const std::string folder = "w" + std::to_string(getpid());
  const std::string root = core::SystemParameters().WebFolder();
  mkdir(root.c_str(), 0755);
  mkdir((root + folder).c_str(), 0755);
  std::ofstream(root + folder + "/page.html", std::ios::binary) << "<p>static</p>";

  InstallSessionList(std::make_shared<TSessionSystem>(FakeAccounts()));
  const int port = StartHTTPServer([] {
    RegisterAction("/echo", hmAny, "", 1, [](THTTPSession& s, int& stop) {
      s.Response.SetContentText("echo " + s.MethodText + " q=" + s.GetQueryValue("x") + " p=" + s.GetPostValue("x"));
      stop = 1;
    });
    RegisterProtectedArea("/admin", "tovenmarsh", 5);
  }, 0);
  ASSERT_GT(port, 0);

  const std::string out = testing::RunPython(
      "import sys, http.client, base64, re\n"
      "port = int(sys.stdin.read())\n"
      "c = http.client.HTTPConnection('127.0.0.1', port, timeout=20)\n"
      "def ask(method, path, body=None, headers={}):\n"
      "    c.request(method, path, body=body, headers=headers)\n"
      "    r = c.getresponse()\n"
      "    data = r.read().decode('latin-1')\n"
      "    print(method, path, r.status, r.getheader('Content-Type'), r.getheader('WWW-Authenticate'),\n"
      "          re.sub('[0-9a-f]{32}', '<id>', r.getheader('Set-Cookie', '').split(';')[0]), repr(data[:40]))\n"
      "    return r\n"
      "ask('GET', '/" + folder + "/page.html')\n"
      "ask('HEAD', '/" + folder + "/page.html')\n"
      "ask('GET', '/echo?x=1')\n"
      "ask('POST', '/echo', body='x=a%26b', headers={'Content-Type': 'application/x-www-form-urlencoded'})\n"
      "ask('GET', '/admin/x')\n"
      "auth = 'Basic ' + base64.b64encode(b'u5:PW5').decode()\n"
      "cookie = ask('GET', '/admin/x', headers={'Authorization': auth}).getheader('Set-Cookie')\n"
      "print(re.sub('[0-9a-f]{32}', '<id>', re.sub('Expires=[^;]*', 'Expires=<date>', cookie)))\n"
      "ask('GET', '/admin/x', headers={'Cookie': cookie.split(';')[0]})\n"
      "ask('GET', '/admin/x', headers={'Cookie': 'tmid=' + auth})\n"
      "ask('GET', '/admin/x', headers={'Authorization': 'Basic ' + base64.b64encode(b'u4:pw4').decode()})\n"
      "c.close()\n"
      "c = http.client.HTTPConnection('127.0.0.1', port, timeout=20)\n"
      "ask('GET', '/a/../../etc/passwd')\n",
      std::to_string(port));
  EXPECT_EQ(out,
            "GET /" + folder + "/page.html 200 text/html None  '<p>static</p>'\n"
            "HEAD /" + folder + "/page.html 200 text/html None  ''\n"
            "GET /echo?x=1 200 text/html None  'echo GET q=1 p='\n"
            "POST /echo 200 text/html None  'echo POST q= p=a&b'\n"
            "GET /admin/x 401 text/html Basic realm=tovenmarsh  '<HTML><HEAD><TITLE>HTTP401 Unauthorized '\n"
            "GET /admin/x 200 text/html None tmid=<id> ''\n"
            "tmid=<id>; Path=/; Expires=<date>; HttpOnly; SameSite=Strict\n"
            "GET /admin/x 200 text/html None  ''\n"
            // The credentials themselves are no cookie.
            "GET /admin/x 401 text/html Basic realm=tovenmarsh  '<HTML><HEAD><TITLE>HTTP401 Unauthorized '\n"
            "GET /admin/x 401 text/html None tmid= '<HTML><HEAD><TITLE>HTTP401 Unauthorized '\n"
            "GET /a/../../etc/passwd 403 text/html None  '<HTML><HEAD><TITLE>HTTP403 Forbidden</TI'\n");
  unlink((root + folder + "/page.html").c_str());
  rmdir((root + folder).c_str());
}

TEST_F(WebServerThreads, SessionListUnderConcurrentUse) {
  TSessionSystem list(FakeAccounts());
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 300; ++i) {
        const int no = 1 + (i + t) % 5;
        const std::string id = list.Login(Credentials(no), no);
        if (id.empty()) failed = true;
        const TSessionEntry entry = list.FindById(id);
        // Found, or purged meanwhile (the default entry); never another user's entry.
        if (entry.Id == id && entry.UserLevel != no) failed = true;
        if (entry.Id != id && entry.UserLevel != 0) failed = true;
        list.FindByAuthorization(Credentials(no));
        if (i % 50 == t) list.Purge(platform::Now() + 1.0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(failed);
  EXPECT_LE(list.Count(), 5);
}

TEST_F(WebServerThreads, AnonymousSessionsAndTheThrottleUnderConcurrentUse) {
  TSessionSystem list(FakeAccounts());
  std::atomic<bool> failed{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      const std::string address = "10.0.0." + std::to_string(t);
      for (int i = 0; i < 400; ++i) {
        const std::string id = list.StartAnonymous();
        const std::string token = list.FindById(id).Token;
        // Purged at once by another thread: the default entry, whose token is none.
        if (token.empty()) {
          if (list.CheckToken(id, token) || list.IsLive(id)) failed = true;
          continue;
        }
        if (i % 2 == 0) list.Logout(id);
        // Only the session's own token is taken, and none once the session has ended.
        if (list.CheckToken(id, (token[0] == '0' ? "1" : "0") + token.substr(1))) failed = true;
        if (i % 2 == 0 && list.CheckToken(id, token)) failed = true;
        list.Throttle().Failed(address);
        list.Throttle().WaitSeconds(address);
        if (i % 100 == t) {
          list.Purge(platform::Now() + 1.0);
          list.Throttle().Succeeded(address);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(failed);
  EXPECT_LE(list.Count(), TSessionSystem::kMaxAnonymous);
}

TEST_F(WebServerThreads, DaemonPurgesTheGlobalList) {
  core::TDaemon& daemon = StartSessionDaemon();
  ASSERT_NE(SessionList(), nullptr);
  auto list = std::make_shared<TSessionSystem>(FakeAccounts());
  ASSERT_FALSE(list->Login(Credentials(1), 1, platform::Now() - 1.0).empty());
  ASSERT_FALSE(list->Login(Credentials(2), 1).empty());
  InstallSessionList(list);
  daemon.Wake();
  for (int i = 0; i < 500 && list->Count() != 1; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(list->Count(), 1);
  StopSessionDaemon();
  EXPECT_EQ(SessionList(), nullptr);
}

}  // namespace
}  // namespace tovenmarsh::web
