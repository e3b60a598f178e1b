// The system pages: golden configuration, pool and statistics pages, the configuration update
// (SecurityOn as Yes/No, line breaks kept out of the file, the file saved), the pool update's
// clamping (a table of submitted sizes), and the log viewer's paging, newest first, with
// hostile log lines shown as text.
#include <fstream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

#include "support/web_app_harness.h"
#include "support/web_test_support.h"
#include "web/app/web_app.h"

namespace tovenmarsh::web {
namespace {

class SystemPagesTest : public testing::WebAppTest {};

TEST_F(SystemPagesTest, GoldenForms) {
  parameters->SetString("WebServer", "mail.example");
  parameters->SetString("SecurityOn", "Yes");
  parameters->SetString("ExtMailboxPoolMin", "3");
  parameters->SetString("ExtMailboxPoolMax", "33");
  Request("GET /admin/system/config?action=101&steps=102");
  ExpectGolden("config_form.html", Body());
  Request("GET /admin/system/database?action=111&steps=112");
  ExpectGolden("pool_form.html", Body());
  EXPECT_NE(Body().find("Popmailbox Pool Min</td><td width=\"85%\" class=\"FormCellEvenStyle\" "
                        "valign=\"top\"><input type=\"text\" name=\"Popmailbox Pool Min\" "
                        "value=\"3\""),
            std::string::npos);
}

TEST_F(SystemPagesTest, GoldenStatistics) {
  parameters->CountThread(true);
  parameters->CountThread(true);
  parameters->CountThread(false);
  parameters->CountConnection(true, core::ckSMTP);
  parameters->CountConnection(true, core::ckRelay);
  Request("GET /admin/system/statistics/server?action=120");
  ExpectGolden("statistics.html", Body());
}

TEST_F(SystemPagesTest, ConfigurationUpdate) {
  Request("POST /admin/system/config?action=102",
          "Web+server=web.example&Relay+server=relay%0D%0ASecurityOn%3DNo&Security+on=ON&"
          "User+level=0&Admin+level=9&Perform=OK");
  EXPECT_EQ(exceptionText, "");
  EXPECT_EQ(parameters->GetString("SecurityOn"), "Yes");
  EXPECT_EQ(parameters->GetString("WebServer"), "web.example");
  EXPECT_EQ(parameters->GetString("RelayServer"), "relaySecurityOn=No");
  EXPECT_EQ(parameters->GetString("AdminLevel"), "9");
  std::ifstream file(parameters->ConfigPath());
  std::stringstream text;
  text << file.rdbuf();
  // One line per key: the injected line break did not make a second SecurityOn line.
  std::vector<std::string> security;
  std::string line;
  while (std::getline(text, line)) {
    if (line.rfind("SecurityOn=", 0) == 0) security.push_back(line);
  }
  EXPECT_EQ(security, std::vector<std::string>{"SecurityOn=Yes\r"});
  // The areas of the saved settings apply at once.
  ASSERT_EQ(ProtectedAreas()->size(), 2u);
  EXPECT_EQ((*ProtectedAreas())[0].Level, 9);

  SetProtectedAreas({});
  Request("POST /admin/system/config?action=102", "Web+server=other&Perform=Cancel");
  EXPECT_EQ(parameters->GetString("WebServer"), "web.example");
  // Links name the configured web server.
  EXPECT_EQ(system->Session().RedirectURL, "http://web.example/");
}

TEST_F(SystemPagesTest, PoolUpdateClamps) {
  struct Case {
    const char* min;
    const char* max;
    const char* storedMin;
    const char* storedMax;
  } cases[] = {
      {"2", "20", "2", "20"},   {"0", "0", "1", "10"},    {"5", "3", "3", "3"},
      {"-4", "999", "1", "256"}, {"abc", "x", "1", "10"}, {"300", "300", "256", "256"},
  };
  for (const Case& c : cases) {
    parameters->SetString("AccountPoolMin", "1");
    parameters->SetString("AccountPoolMax", "10");
    Request("POST /admin/system/database?action=112",
            std::string("Account+Pool+Min=") + c.min + "&Account+Pool+Max=" + c.max +
                "&Perform=OK");
    EXPECT_EQ(exceptionText, "");
    EXPECT_EQ(parameters->GetString("AccountPoolMin"), c.storedMin) << c.min << " " << c.max;
    EXPECT_EQ(parameters->GetString("AccountPoolMax"), c.storedMax) << c.min << " " << c.max;
  }
  // Every pool pair is written; the popmailbox fields go to the ExtMailbox keys.
  Request("POST /admin/system/database?action=112",
          "Popmailbox+Pool+Min=4&Popmailbox+Pool+Max=8&Perform=OK");
  EXPECT_EQ(parameters->GetString("ExtMailboxPoolMin"), "4");
  EXPECT_EQ(parameters->GetString("ExtMailboxPoolMax"), "8");
  EXPECT_EQ(parameters->GetString("DocumentPoolMax"), "10");
}

TEST_F(SystemPagesTest, LogViewerPages) {
  for (int i = 1; i <= 30; ++i) logLines.push_back("line " + std::to_string(i));
  struct Case {
    const char* ls;
    int first, last;
    bool prev, next;
  } cases[] = {
      {"", 30, 19, false, true},
      {"12", 18, 7, true, true},
      {"24", 6, 1, true, false},
      // Offsets past the end show nothing.
      {"30", 0, 1, true, false},
      {"2147483647", 0, 1, true, false},
  };
  for (const Case& c : cases) {
    Request(std::string("GET /admin/system/statistics/logfile?action=130&ls=") + c.ls);
    const std::string body = Body();
    std::string expected;
    for (int i = c.first; i >= c.last; --i) {
      expected += "<font SIZE=\"-1\">line " + std::to_string(i) + "</font>";
    }
    std::string shown;
    for (size_t at = body.find("<font"); at != std::string::npos; at = body.find("<font", at)) {
      const size_t end = body.find("</font>", at) + 7;
      shown += body.substr(at, end - at);
      at = end;
    }
    EXPECT_EQ(shown, expected) << c.ls;
    EXPECT_EQ(body.find(">Prev<") != std::string::npos, c.prev) << c.ls;
    EXPECT_EQ(body.find(">Next<") != std::string::npos, c.next) << c.ls;
  }
  // The largest offset against a short log must not overflow the page arithmetic.
  logLines = {"a", "b"};
  Request("GET /admin/system/statistics/logfile?action=130&ls=2147483647");
  EXPECT_EQ(Body().find("<font"), std::string::npos);
  EXPECT_EQ(Body().find(">Next<"), std::string::npos);
  EXPECT_NE(Body().find(">Prev<"), std::string::npos);
  logLines = {"x"};
  Request("GET /admin/system/statistics/logfile?action=130");
  const std::string benign = testing::MarkupSkeleton(Body());
  logLines = {testing::kHostileValue};
  Request("GET /admin/system/statistics/logfile?action=130");
  EXPECT_EQ(testing::MarkupSkeleton(Body()), benign);
  EXPECT_EQ(Body().find("<script"), std::string::npos);
}

}  // namespace
}  // namespace tovenmarsh::web
