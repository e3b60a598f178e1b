#include "support/web_app_harness.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "web/app/web_app.h"

namespace tovenmarsh::web::testing {

const char* const kPlainTemplate = "<h1>#description</h1>\r\n<div>#content</div>";

void WebAppTest::SetUp() {
  ClearHTTPRegistries();
  core::SystemParameters().SetString("WebServer", "mail.example");
  core::SystemParameters().SetVersion("1.0.7", 107);
  folder = std::filesystem::temp_directory_path() /
           ("webapp_test_" + std::to_string(getpid()) + "/");
  std::filesystem::create_directories(folder);
  parameters = std::make_unique<core::TSystemParameters>(folder + "tovenmarsh");
  tables = std::make_unique<TWebTestTables>();
  pageTemplate = kPlainTemplate;
  TWebAppContext context;
  context.Pool = [this]() -> resources::TResourcePool& { return tables->Pool(); };
  context.Parameters = parameters.get();
  context.LoadTemplate = [this] { return pageTemplate; };
  context.ReadLog = [this](platform::TStringList& list) {
    list.Clear();
    for (const std::string& line : logLines) list.Add(line);
  };
  sessions = std::make_shared<TSessionSystem>([](resources::TAccountRec&) { return false; });
  InstallSessionList(sessions);
  RegisterWebApplication(std::move(context));
  system = std::make_unique<THTTPSystem>();
}

std::string WebAppTest::Token() {
  if (cookie.empty() || !sessions->IsLive(cookie)) cookie = sessions->StartAnonymous();
  return sessions->FindById(cookie).Token;
}

void WebAppTest::TearDown() {
  system.reset();
  FreeWebApplication();
  ClearHTTPRegistries();
  tables.reset();
  InstallSessionList(nullptr);
  std::filesystem::remove_all(folder);
}

THTTPSession& WebAppTest::Request(const std::string& methodAndURI, const std::string& body,
                                  const std::string& headers) {
  THTTPSession& s = system->Session();
  s.Reset();
  exceptionText.clear();
  s.ParseRequestLine(methodAndURI + " HTTP/1.1\r\n");
  s.ClientAddress = "127.0.0.1";
  std::string sent = body;
  if (sendToken && s.MethodCode == hmPOST && sent.find("token=") == std::string::npos) {
    sent += (sent.empty() ? "token=" : "&token=") + Token();
  }
  std::string allHeaders = headers;
  if (!cookie.empty() && headers.find("Cookie:") == std::string::npos) {
    allHeaders += (allHeaders.empty() ? "" : "\r\n") + std::string("Cookie: tmid=") + cookie;
  }
  s.Request.SetHeaderText(allHeaders);
  if (!sent.empty()) s.Request.AppendBody(sent.data(), sent.size());
  try {
    system->Execute();
  } catch (const std::exception& e) {
    exceptionText = e.what();
    s.Response.Clear();
    system->HandleException(e);
  }
  // The browser keeps the cookie it is given (an empty one ends it).
  const std::string& setCookies = s.Response.SetCookieText();
  const size_t at = setCookies.rfind("Set-Cookie: tmid=");
  if (at != std::string::npos) {
    const size_t from = at + 17;
    cookie = setCookies.substr(from, setCookies.find_first_of(";\r", from) - from);
  }
  return s;
}

std::string WebAppTest::Content() {
  const std::string body = Body();
  const size_t from = body.find("<div>");
  const size_t to = body.rfind("</div>");
  if (from == std::string::npos || to == std::string::npos || to < from) return body;
  return body.substr(from + 5, to - from - 5);
}

void WebAppTest::ExpectGolden(const std::string& name, const std::string& page) {
  // The form token is random: the golden holds a stand-in, and the page its session's token.
  std::string text = page;
  const std::string field = "name=\"token\" value=\"";
  for (size_t at = text.find(field); at != std::string::npos; at = text.find(field, at + 1)) {
    const std::string token = text.substr(at + field.size(), 32);
    EXPECT_EQ(token, sessions->FindById(cookie).Token) << name;
    text.replace(at + field.size(), 32, "(the session's form token, 32 hex digits)");
  }
  const std::string path = std::string(TM_SOURCE_DIR) + "/tests/web/support/golden/" + name;
  const char* update = std::getenv("TM_UPDATE_GOLDEN");
  if (update != nullptr && std::string(update) == "1") {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
    return;
  }
  std::ifstream in(path, std::ios::binary);
  ASSERT_TRUE(in) << "missing golden " << path;
  std::stringstream golden;
  golden << in.rdbuf();
  EXPECT_EQ(text, golden.str()) << "golden " << name;
}

}  // namespace tovenmarsh::web::testing
