// The page frame, the navigation placeholders and the exception page of the web application.
// Every dynamic page is built in phases on one response body: the frame (phase 0), the page of
// the action (phase 1), the default content (phase 4) and the substitution of "#newurl" and
// "#sameurl" (phase 5), which also closes the connection after the page.
#include "web/app/web_app.h"

#include "core/log.h"
#include "core/str_utils.h"
#include "resources/resource_errors.h"
#include "web/html/html_link.h"
#include "web/html/html_list.h"
#include "web/html/html_text.h"
#include "web/html/url_codec.h"
#include "web/http/login_session.h"
#include "web/app/web_template.h"

namespace tovenmarsh::web {

namespace detail {
// Installed by RegisterWebApplication, freed by FreeWebApplication (web_app_register.cpp).
std::unique_ptr<TWebAppContext>& AppContext() {
  static std::unique_ptr<TWebAppContext> context;
  return context;
}
}  // namespace detail

namespace {

const TWebAppContext* Context() { return detail::AppContext().get(); }

struct TDescription {
  int code;
  const char* text;
};

constexpr TDescription kDescriptions[] = {
    {10, "Choose a company from the list."},
    {11, "Enter the company info in the form."},
    {12, "Company updated."},
    {20, "Choose a domain from the list."},
    {21, "Enter the domain info in the form."},
    {22, "Domain updated"},
    {30, "Choose an account from the list."},
    {31, "Enter the account info in the form."},
    {32, "Account updated"},
    {40, "Choose an alias from the list."},
    {41, "Enter the alias info in the form."},
    {42, "Alias updated"},
    {50, "Choose a popmail from the list."},
    {51, "Enter the popmail in the form."},
    {52, "Popmail updated"},
    {60, "Choose a maillist entry from the list."},
    {61, "Enter the maillist entry info in the form."},
    {62, "Maillist entry updated"},
    {101, "Edit the system settings in the form."},
    {102, "System settings updated"},
    {111, "Edit the database settings in the form."},
    {112, "Database settings updated"},
    {120, "View threads and connection statistics."},
    {130, "View logged activities."},
};

std::string ReplaceAll(std::string text, const std::string& tag, const std::string& value) {
  if (tag.empty()) return text;
  std::string out;
  size_t from = 0;
  for (size_t at = text.find(tag); at != std::string::npos; at = text.find(tag, from)) {
    out.append(text, from, at - from);
    out += value;
    from = at + tag.size();
  }
  out.append(text, from, std::string::npos);
  return out;
}

// "name=value" with both percent-encoded, appended with "&" when text is not empty.
void AppendPair(std::string& text, const std::string& name, const std::string& value) {
  if (value.empty()) return;
  if (!text.empty()) text += '&';
  text += URLEncode(name);
  text += '=';
  text += URLEncode(value);
}

void AppendTags(const THTTPSession& session, std::string& text) {
  for (const char* tag : {"acctag", "comtag"}) AppendPair(text, tag, session.GetQueryValue(tag));
}

// Where the frame put the action's description: the last phase writes it, unless a page has
// put a description of its own there first. No data can hold it (data escapes "#").
const std::string kDescriptionMark = "#\x01" "description\x01";

// A Host header value that can name this server in a link: a name or address, optionally a
// port, and nothing else.
bool PlausibleHost(std::string_view host) {
  if (host.empty() || host.size() > 255) return false;
  for (const char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    if (!ok) return false;
  }
  return true;
}

constexpr const char* kFormRefusedText =
    "The form was not sent from this server's own page, or it has expired (after 10 minutes "
    "without use): nothing was changed. Open the page again and send the form from there.";

}  // namespace

resources::TResourcePool& AppPool() {
  const TWebAppContext* context = Context();
  if (context != nullptr && context->Pool) return context->Pool();
  return resources::DatabasePool();
}

core::TSystemParameters& AppParameters() {
  const TWebAppContext* context = Context();
  if (context != nullptr && context->Parameters != nullptr) return *context->Parameters;
  return core::SystemParameters();
}

std::string AppTemplate() {
  const TWebAppContext* context = Context();
  if (context != nullptr && context->LoadTemplate) return context->LoadTemplate();
  TWebTemplate page;
  page.LoadFromFile("template.html");
  return page.Text();
}

void AppReadLog(platform::TStringList& list) {
  const TWebAppContext* context = Context();
  if (context != nullptr && context->ReadLog) {
    context->ReadLog(list);
    return;
  }
  core::ReadLogFile(list);
}

std::string GetActionDescription(int code) {
  for (const TDescription& d : kDescriptions) {
    if (d.code == code) return d.text;
  }
  return "";
}

std::string LinkHost(const THTTPSession& session) {
  const std::string server = AppParameters().GetString("WebServer");
  if (!server.empty()) return server;
  const std::string host = session.Request.GetHeader(hhHost);
  return PlausibleHost(host) ? host : std::string();
}

std::string NewURLLink(const THTTPSession& session, const std::vector<std::string>& names,
                       const std::vector<std::string>& values, bool withHttp) {
  return BuildURL(LinkHost(session), session.RequestPath, names, values, "#newurl", withHttp);
}

std::string SameURLLink(const THTTPSession& session, const std::vector<std::string>& names,
                        const std::vector<std::string>& values, bool withHttp) {
  return BuildURL(LinkHost(session), session.RequestPath, names, values, "#sameurl", withHttp);
}

std::string SiteRootURL(const THTTPSession& session) {
  return BuildURL(LinkHost(session), "/", {}, {}, "", true);
}

void SetPageDescription(THTTPSession& session, const std::string& text) {
  ReplaceInBody(session, kDescriptionMark, TextToHTML(text));
  ReplaceInBody(session, "#description", TextToHTML(text));
}

std::string FormToken(THTTPSession& session) {
  const std::shared_ptr<TSessionSystem> sessions = SessionList();
  if (!sessions) return "";
  std::string id;
  if (!session.SessionId.empty() && sessions->IsLive(session.SessionId)) {
    id = session.SessionId;
  } else if (const std::string cookie = session.Request.GetCookie(kSessionCookie);
             !cookie.empty() && sessions->IsLive(cookie)) {
    id = cookie;
  } else {
    id = sessions->StartAnonymous();
    AddSessionCookie(session, id, -1);
    session.SessionId = id;
  }
  return sessions->FindById(id).Token;
}

bool FormTokenValid(const THTTPSession& session) {
  const std::shared_ptr<TSessionSystem> sessions = SessionList();
  return sessions && sessions->CheckToken(session.Request.GetCookie(kSessionCookie),
                                          session.GetPostValue("token"));
}

void RefuseForm(THTTPSession& session) {
  session.StatusIndex = kStatusForbidden;
  session.ErrorText = kFormRefusedText;
  session.RedirectURL.clear();
}

void SearchFormPage(THTTPSession& session, int& /*stop*/) {
  TWebTemplate form;
  form.LoadFromFile("searchform.html");
  ReplaceInBody(session, "#content", form.Text());
  ReplaceInBody(session, "#description", "Search for information in mail database.");
}

void LogoutPage(THTTPSession& session) {
  if (const std::shared_ptr<TSessionSystem> sessions = SessionList()) {
    sessions->Logout(session.Request.GetCookie(kSessionCookie));
  }
  session.SessionId.clear();
  session.Response.AddSetCookie(kSessionCookie, "", false, "", 0, "/", "HttpOnly; SameSite=Strict");
  session.RedirectURL = SiteRootURL(session);
}

void ReplaceInBody(THTTPSession& session, const std::string& tag, const std::string& value) {
  session.Response.SetContentText(ReplaceAll(session.Response.GetContentText(), tag, value));
}

bool BodyContains(const THTTPSession& session, const std::string& tag) {
  return session.Response.GetContentText().find(tag) != std::string::npos;
}

std::string FormValue(THTTPSession& session, const std::string& name) {
  if (session.MethodCode == hmPOST) return session.GetPostValue(name);
  return session.GetQueryValue(name);
}

std::string NextStepText(const THTTPSession& session) {
  const std::string steps = session.GetQueryValue("steps");
  std::string text;
  AppendPair(text, "action", GetListItem(steps, 1));
  AppendPair(text, "steps", GetListRest(steps, 1));
  AppendPair(text, "do", session.GetQueryValue("do"));
  AppendTags(session, text);
  return text;
}

std::string SameStateText(const THTTPSession& session) {
  std::string text;
  for (const char* name :
       {"key", "action", "steps", "do", "text", "fromdate", "todate", "sortorder"}) {
    AppendPair(text, name, session.GetQueryValue(name));
  }
  AppendTags(session, text);
  return text;
}

void PageFrameHandler(THTTPSession& session, int& /*stop*/) {
  TWebTemplate page;
  page.SetText(AppTemplate());
  page.ReplaceTag("#version", TextToHTML(core::SystemParameters().VersionText()));
  page.ReplaceTag("#menu", WebMenu().GetScript(LinkHost(session)));
  const int action = core::TextToInt(session.GetQueryValue("action"));
  if (action != 0) page.ReplaceTag("#description", kDescriptionMark);
  session.Response.SetContentText(page.Text());
}

void DefaultContentHandler(THTTPSession& session, int& stop) {
  if (!BodyContains(session, "#content")) return;
  const TWebAppContext* context = Context();
  if (context != nullptr && context->SearchForm) {
    context->SearchForm(session, stop);
    return;
  }
  // Without a search page nothing may be left of the placeholder.
  ReplaceInBody(session, "#content", "");
}

void URLSubstitutionHandler(THTTPSession& session, int& stop) {
  session.KeepAlive = false;
  std::string body = session.Response.GetContentText();
  if (body.find(kDescriptionMark) != std::string::npos) {
    const int action = core::TextToInt(session.GetQueryValue("action"));
    body = ReplaceAll(std::move(body), kDescriptionMark, TextToHTML(GetActionDescription(action)));
  }
  body = ReplaceAll(std::move(body), "#newurl", NextStepText(session));
  body = ReplaceAll(std::move(body), "#sameurl", SameStateText(session));
  // Only a page with a form that posts asks for a token (and so for a session).
  if (body.find("#token") != std::string::npos) {
    body = ReplaceAll(std::move(body), "#token", FormToken(session));
  }
  session.Response.SetContentText(body);
  stop = 1;
}

void ExceptionPage(THTTPSession& session, const std::exception& e) {
  TWebTemplate page;
  try {
    page.SetText(AppTemplate());
  } catch (const std::exception&) {
    // Without a template the message still gets a page of its own.
    page.SetText("<html><body><#CONTENT></body></html>");
  }
  const std::string version = TextToHTML(core::SystemParameters().VersionText());
  const std::string message = "<p>" + TextToHTML(PublicMessage(e)) + "</p>";
  // A template written only with the frame's placeholders shows the message where pages show
  // their content; no placeholder of either kind is left on the page.
  const bool hasContent = page.Text().find("<#CONTENT>") != std::string::npos;
  page.ReplaceVersion(version);
  page.ReplaceContent(message);
  page.ReplaceTag("#version", version);
  page.ReplaceTag("#menu", WebMenu().GetScript(LinkHost(session)));
  page.ReplaceTag("#description", "");
  page.ReplaceTag("#content", hasContent ? std::string() : message);
  session.Response.SetContentText(page.Text());
  int stop = 0;
  URLSubstitutionHandler(session, stop);
}

}  // namespace tovenmarsh::web
