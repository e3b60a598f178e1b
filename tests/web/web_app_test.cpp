// The application frame: descriptions, the navigation texts that replace "#newurl" and
// "#sameurl" (a table of requests; hostile values stay data), the frame and its menu, the
// default content, the exception page, the registration's dispatch and the protected areas,
// which are swapped as a whole.
#include <algorithm>

#include <gtest/gtest.h>

#include "support/web_app_harness.h"
#include "support/web_test_support.h"
#include "platform/stream.h"
#include "web/app/web_app.h"
#include "web/app/web_default_files.h"
#include "web/app/web_pages_system.h"
#include "web/html/url_codec.h"
#include "web/http/web_params.h"

namespace tovenmarsh::web {
namespace {

using testing::WebAppTest;

TEST(WebAppDescription, CodesOfTheTableAndOthers) {
  EXPECT_EQ(GetActionDescription(10), "Choose a company from the list.");
  EXPECT_EQ(GetActionDescription(22), "Domain updated");
  EXPECT_EQ(GetActionDescription(130), "View logged activities.");
  EXPECT_EQ(GetActionDescription(0), "");
  EXPECT_EQ(GetActionDescription(13), "");
}

class WebAppFrameTest : public WebAppTest {};

TEST_F(WebAppFrameTest, NavigationTexts) {
  struct Case {
    const char* query;
    const char* next;
    const char* same;
  } cases[] = {
      {"", "", ""},
      {"action=20&steps=21;22&do=U", "action=21&steps=22&do=U", "action=20&steps=21;22&do=U"},
      {"action=10&steps=12&do=R&key=3", "action=12&do=R", "key=3&action=10&steps=12&do=R"},
      {"action=30&steps=51;52&do=U&acctag=5&comtag=2&ls=12",
       "action=51&steps=52&do=U&acctag=5&comtag=2",
       "action=30&steps=51;52&do=U&acctag=5&comtag=2"},
      {"text=a%26b%3Dc%23d&sortorder=1", "", "text=a%26b%3Dc%23d&sortorder=1"},
      {"key=x%20y;2&action=41", "", "key=x%20y;2&action=41"},
      {"do=U%26action%3D999", "do=U%26action%3D999", "do=U%26action%3D999"},
  };
  for (const Case& c : cases) {
    THTTPSession& s = system->Session();
    s.Reset();
    s.Query().SetText(c.query);
    EXPECT_EQ(NextStepText(s), c.next) << c.query;
    EXPECT_EQ(SameStateText(s), c.same) << c.query;
  }
}

TEST_F(WebAppFrameTest, PageLinksBecomeTheNextStep) {
  tables->Insert(resources::piCompany, {{resources::company::name, std::string("Acme")}});
  Request("GET /admin/mail/domains?action=20&steps=21;22&do=U&key=1");
  // The description of 20, the keep-alive off and no placeholder left.
  EXPECT_NE(Body().find("<h1>Choose a domain from the list.</h1>"), std::string::npos);
  EXPECT_FALSE(system->Session().KeepAlive);
  EXPECT_EQ(Body().find("#newurl"), std::string::npos);
  tables->Insert(resources::piDomain, {{resources::domain::companyno, 1},
                                       {resources::domain::name, std::string("acme.example")}});
  Request("GET /admin/mail/domains?action=20&steps=21;22&do=U&key=1");
  EXPECT_NE(Body().find("http://mail.example/admin/mail/domains?key=1;acme.example&action=21&"
                        "steps=22&do=U\""),
            std::string::npos)
      << Body();
}

TEST_F(WebAppFrameTest, HostileNavigationValuesStayData) {
  tables->Insert(resources::piCompany, {{resources::company::name, std::string("Acme")}});
  Request("GET /admin/mail/companies?action=10&steps=x&do=x&acctag=x");
  const std::string benign = testing::MarkupSkeleton(Body());
  const std::string hostile = URLEncode(testing::kHostileValue);
  Request("GET /admin/mail/companies?action=10&steps=" + hostile + "&do=" + hostile +
          "&acctag=" + hostile);
  const std::string body = Body();
  EXPECT_EQ(body.find("<script"), std::string::npos);
  EXPECT_EQ(body.find("<img"), std::string::npos);
  EXPECT_EQ(testing::MarkupSkeleton(body), benign);
  // The link holds the values percent-encoded; decoding the query gives them back.
  const size_t href = body.find("href=\"http://");
  ASSERT_NE(href, std::string::npos);
  const size_t end = body.find('"', href + 6);
  const std::string url = body.substr(href + 6, end - href - 6);
  TWebQuery query;
  query.SetText(url.substr(url.find('?') + 1));
  EXPECT_EQ(query.GetValue("do"), testing::kHostileValue);
  EXPECT_EQ(query.GetValue("acctag"), testing::kHostileValue);
  EXPECT_EQ(query.GetValue("comtag"), "1");  // the row's own tag comes first
}

TEST_F(WebAppFrameTest, FrameWithMenuAndVersion) {
  pageTemplate = "<title>#version</title><script>#menu</script><h1>#description</h1>";
  Request("GET /admin/system/statistics/server?action=120");
  ExpectGolden("frame_menu.html", Body());
  // Unknown code: description emptied; no action: placeholder stays.
  Request("GET /admin?action=77");
  EXPECT_NE(Body().find("<h1></h1>"), std::string::npos);
  Request("GET /admin");
  EXPECT_NE(Body().find("<h1>#description</h1>"), std::string::npos);
}

TEST_F(WebAppFrameTest, RootWithoutSearchPageLeavesNoPlaceholder) {
  Request("GET /");
  EXPECT_EQ(Body(), "<h1>#description</h1>\r\n<div></div>");
}

TEST_F(WebAppFrameTest, SearchPagesPlugIn) {
  FreeWebApplication();
  ClearHTTPRegistries();
  TWebAppContext context;
  context.Pool = [this]() -> resources::TResourcePool& { return tables->Pool(); };
  context.LoadTemplate = [this] { return pageTemplate; };
  int searches = 0;
  context.SearchForm = [&searches](THTTPSession& session, int&) {
    ++searches;
    ReplaceInBody(session, "#content", "<form>search</form>");
  };
  context.SearchResults = [](THTTPSession& session, int&) {
    ReplaceInBody(session, "#content", "results");
  };
  RegisterWebApplication(std::move(context));
  Request("GET /");
  EXPECT_EQ(Body(), "<h1>#description</h1>\r\n<div><form>search</form></div>");
  Request("GET /search");  // the page itself; the default content then finds no placeholder
  EXPECT_EQ(searches, 2);
  Request("GET /searchfor?text=x");
  EXPECT_EQ(Content(), "results");
  EXPECT_EQ(searches, 2);
  Request("GET /viewdocument");  // not given: only the default content
  EXPECT_EQ(searches, 3);
}

TEST_F(WebAppFrameTest, ExceptionPageEscapesTheMessage) {
  pageTemplate = "<p><#VERSION></p><#CONTENT><a href=\"x?#sameurl\">";
  THTTPSession& s = system->Session();
  s.Reset();
  s.ParseRequestLine("GET /x?action=10&key=%3Cb%3E HTTP/1.1\r\n");
  s.Query().SetText(s.QueryText);
  ExceptionPage(s, platform::Exception("bad <b>\"row\"</b> #content\r\nnext"));
  EXPECT_EQ(s.Response.GetContentText(),
            "<p>1.0.7</p><p>bad &lt;b&gt;&quot;row&quot;&lt;/b&gt; &#35;content<br>next</p>"
            "<a href=\"x?key=%3Cb%3E&action=10\">");
  EXPECT_FALSE(s.KeepAlive);
}

TEST_F(WebAppFrameTest, ExceptionPageWithoutTemplate) {
  // The frame itself fails (no template); the exception page still answers, escaped.
  FreeWebApplication();
  ClearHTTPRegistries();
  TWebAppContext context;
  context.Pool = [this]() -> resources::TResourcePool& { return tables->Pool(); };
  context.LoadTemplate = []() -> std::string {
    throw platform::Exception("Cannot open <template.html>");
  };
  RegisterWebApplication(std::move(context));
  Request("GET /admin/mail/companies?action=10");
  EXPECT_EQ(exceptionText, "Cannot open <template.html>");
  EXPECT_EQ(Body(), "<html><body><p>Cannot open &lt;template.html&gt;</p></body></html>");
  EXPECT_FALSE(system->Session().KeepAlive);
}

TEST_F(WebAppFrameTest, AFailingPageReachesTheExceptionPage) {
  tables->Store(resources::piCompany).failPostAfter = 0;
  pageTemplate = "<div>#content</div><#CONTENT>";
  Request("POST /admin/mail/companies?action=12&do=U", "Name=Acme&Perform=OK");
  EXPECT_EQ(exceptionText, "Injected write failure");
  EXPECT_NE(Body().find("<p>Injected write failure</p>"), std::string::npos);
  EXPECT_EQ(tables->Count(resources::piCompany), 0);
}

TEST_F(WebAppFrameTest, LinksNameTheHostTheBrowserAskedFor) {
  // Without WebServer the harness's process-wide configuration names mail.example; the
  // request's Host header (port included) goes before it, WebServer before both.
  core::SystemParameters().SetString("WebServer", "");
  tables->Insert(resources::piCompany, {{resources::company::name, std::string("Acme")}});
  pageTemplate = "<script>#menu</script><div>#content</div>";
  const struct {
    const char* webServer;
    const char* host;
    std::string expected;  // the host of every link and of the redirect
  } kCases[] = {
      {"", "Host: mailhost:8080", "mailhost:8080"},
      {"", "Host: 192.168.4.2:10080", "192.168.4.2:10080"},
      {"", "Host: [::1]:8080", "[::1]:8080"},
      {"web.example", "Host: mailhost:8080", "web.example"},
      // A Host that is no host name is not written into the page.
      {"", "Host: evil\"><script>", core::SystemParameters().ShortHostName()},
      {"", "Host: a/b", core::SystemParameters().ShortHostName()},
      {"", "", core::SystemParameters().ShortHostName()},
  };
  for (const auto& c : kCases) {
    parameters->SetString("WebServer", c.webServer);
    const std::string prefix = "http://" + c.expected + "/";
    Request("GET /admin/mail/companies?action=10&steps=11;12&do=U", "", c.host);
    const std::string body = Body();
    int links = 0;
    for (size_t at = body.find("http://"); at != std::string::npos; at = body.find("http://", at + 1)) {
      EXPECT_EQ(body.substr(at, prefix.size()), prefix) << c.host << "\n" << body.substr(at, 60);
      ++links;
    }
    EXPECT_GT(links, 30) << "menu and list links";
    Request("POST /admin/mail/companies?action=12&do=U&key=1", "Name=Acme&Perform=OK", c.host);
    EXPECT_EQ(system->Session().RedirectURL, prefix) << c.host;
    EXPECT_EQ(system->Session().Response.GetHeader(hhLocation), prefix) << c.host;
  }
  core::SystemParameters().SetString("WebServer", "mail.example");
}

TEST_F(WebAppFrameTest, ErrorPagesShowNoFilePaths) {
  // A template written with the frame's placeholders only: the message takes the content's
  // place and no placeholder of either kind is left.
  pageTemplate = "<title>#version</title><script>#menu</script><h1>#description</h1><div>#content</div>";
  THTTPSession& s = system->Session();
  s.Reset();
  s.ParseRequestLine("GET /admin/mail/companies?action=10 HTTP/1.1\r\n");
  ExceptionPage(s, platform::EFOpenError("Cannot open file \"/srv/run/webroot/template.html\""));
  const std::string body = Body();
  EXPECT_EQ(body.find("/srv"), std::string::npos) << body;
  EXPECT_EQ(body.find("template.html"), std::string::npos) << body;
  EXPECT_NE(body.find("<div><p>The server cannot open one of its files"), std::string::npos) << body;
  EXPECT_NE(body.find("HM_Array1"), std::string::npos);
  for (const char* tag : {"#version", "#menu", "#description", "#content", "<#CONTENT>", "<#VERSION>"}) {
    EXPECT_EQ(body.find(tag), std::string::npos) << tag;
  }
  ExceptionPage(s, platform::Exception("Engine error 11010 (/srv/run/db/company.DAT)"));
  EXPECT_NE(Body().find("<p>Engine error 11010 (company.DAT)</p>"), std::string::npos) << Body();
}

TEST_F(WebAppFrameTest, TheShippedTemplateLeavesNoPlaceholder) {
  for (const TDefaultWebFile& file : DefaultWebFiles()) {
    if (file.name == "template.html") pageTemplate = std::string(file.bytes);
  }
  ASSERT_NE(pageTemplate, testing::kPlainTemplate);
  // Its style sheet defines every class that the pages write.
  std::string css;
  for (const TDefaultWebFile& file : DefaultWebFiles()) {
    if (file.name == "tovenmarsh.css") css = std::string(file.bytes);
  }
  for (const char* uri : {"/", "/admin/mail/companies?action=10", "/admin/mail/companies?action=11&steps=12&do=U",
                          "/admin/system/config?action=101&steps=102", "/admin"}) {
    Request(std::string("GET ") + uri);
    const std::string body = Body();
    for (const char* tag : {"#version", "#menu", "#content", "#newurl", "#sameurl", "#token", "<#"}) {
      EXPECT_EQ(body.find(tag), std::string::npos) << uri << " " << tag;
    }
    EXPECT_NE(body.find("DrawMenu(\"menu\")"), std::string::npos);
    for (size_t at = body.find("class=\""); at != std::string::npos; at = body.find("class=\"", at + 1)) {
      const std::string name = body.substr(at + 7, body.find('"', at + 7) - at - 7);
      EXPECT_NE(css.find("." + name + " "), std::string::npos) << name;
    }
  }
}

TEST_F(WebAppFrameTest, DispatchRunsThePageOfTheMethod) {
  // Config update is registered for POST only: a GET of 102 changes nothing.
  Request("GET /admin/system/config?action=102&Web%20server=evil");
  EXPECT_EQ(parameters->GetString("WebServer"), "");
  EXPECT_EQ(system->Session().RedirectURL, "");
  Request("POST /admin/system/config?action=102", "Web+server=good&Perform=OK");
  EXPECT_EQ(parameters->GetString("WebServer"), "good");
  // The site root is where the configuration now says the server is.
  EXPECT_EQ(system->Session().RedirectURL, "http://good/");
  EXPECT_EQ(system->Session().StatusIndex, kStatusSeeOther);
}

// With security off only the loopback areas exist: no login, but no other machine either.
void ExpectLoopbackAreasOnly(const std::vector<TProtectedArea>& areas) {
  std::vector<std::string> prefixes;
  for (const TProtectedArea& area : areas) {
    EXPECT_TRUE(area.LoopbackOnly) << area.Prefix;
    prefixes.push_back(area.Prefix);
  }
  EXPECT_EQ(prefixes, (std::vector<std::string>{"/viewdocument", "/search", "/admin"}));
}

TEST_F(WebAppFrameTest, ProtectedAreasFollowTheConfiguration) {
  ExpectLoopbackAreasOnly(*ProtectedAreas());
  parameters->SetString("SecurityOn", "Yes");
  parameters->SetString("UserLevel", "2");
  parameters->SetString("AdminLevel", "7");
  auto before = ProtectedAreas();
  RegisterProtectedAreas();
  auto areas = ProtectedAreas();
  ASSERT_EQ(areas->size(), 2u);
  EXPECT_EQ((*areas)[0].Prefix, "/admin");
  EXPECT_EQ((*areas)[0].Level, 7);
  EXPECT_EQ((*areas)[0].Realm, "tovenmarsh");
  EXPECT_EQ((*areas)[1].Prefix, "/");
  EXPECT_EQ((*areas)[1].Level, 2);
  ExpectLoopbackAreasOnly(*before);  // a reader's snapshot is never changed under it
  // Registering again replaces, never appends.
  RegisterProtectedAreas();
  EXPECT_EQ(ProtectedAreas()->size(), 2u);
  // Through the configuration page (now behind the areas): security off removes them.
  Request("POST /admin/system/config?action=102", "Perform=OK&User+level=2&Admin+level=7");
  EXPECT_EQ(system->Session().StatusIndex, kStatusUnauthorized);
  THTTPSession& s = system->Session();
  s.Reset();
  s.ParseRequestLine("POST /admin/system/config?action=102 HTTP/1.1\r\n");
  s.PostContent().SetText("Perform=OK&User+level=2&Admin+level=7");
  ConfigUpdatePage(s);
  ExpectLoopbackAreasOnly(*ProtectedAreas());
  EXPECT_EQ(parameters->GetString("SecurityOn"), "No");
}

TEST_F(WebAppFrameTest, RegistrationCoversEveryAction) {
  std::vector<std::string> seen;
  for (const TActionEntry& e : *RegisteredActions()) {
    seen.push_back(std::to_string(e.Phase) + " " + e.Path + " " + std::to_string(e.Method) +
                   " " + e.Action);
  }
  // 30 pages, logout by GET and POST, and 3 phase handlers; search pages left out.
  EXPECT_EQ(seen.size(), 35u);
  EXPECT_EQ(seen.front(), "0 / 0 ");
  EXPECT_EQ(seen.back(), "5 / 0 ");
  EXPECT_NE(std::find(seen.begin(), seen.end(), "1 /admin/mail/maillist 1 62"), seen.end());
  EXPECT_NE(std::find(seen.begin(), seen.end(), "1 /admin/mail/maillist 3 62"), seen.end());
  EXPECT_TRUE(HasExceptionPageHook());
}

}  // namespace
}  // namespace tovenmarsh::web
