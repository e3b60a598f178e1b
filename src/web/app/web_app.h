// The administration and search application's frame: the navigation scheme (action, steps,
// do, key, ls), the page frame built from template.html, the default content, the substitution
// of the navigation placeholders, the exception page, the menu and the registration of every
// action and of the protected areas.
//
// Contract:
// - Every data value that reaches a page goes through the building blocks (web_table.h,
//   web_form.h), which escape it; the placeholders "#newurl" and "#sameurl" become query
//   texts whose names and values are percent-encoded, so a value can neither add parameters
//   nor markup. The exception page shows the message as escaped text.
// - The protected areas are replaced as a whole (SetProtectedAreas), so a request on another
//   thread sees the old set or the new one, never none in between.
// - The application's surroundings (pool, configuration, template, log, search page) come
//   from a TWebAppContext, so the pages can run over any tables and files.
// - Links, form actions and redirects name the configured WebServer, else the host (and port)
//   the request's Host header names, else the short host name.
// - Data changes only by POST with the form token of the browser's session: every POST form
//   carries it (the "#token" placeholder that the last phase fills, starting an anonymous
//   session for a browser that has none), a POST to an update without it is refused with 403,
//   and an update asked for by GET shows what it would do with a form that posts it.
// - While SecurityOn is off the administration and search areas answer only clients on the
//   loopback address.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/system_parameters.h"
#include "platform/string_list.h"
#include "resources/resource_pool.h"
#include "web/http/http_system.h"
#include "web/app/web_menu.h"

namespace tovenmarsh::web {

// Rows per list page.
constexpr int kListPageRows = 12;

struct TWebAppContext {
  // The pool the pages borrow table resources from; the process pool when empty.
  std::function<resources::TResourcePool&()> Pool;
  // The configuration the system pages read and save; the process object when null.
  core::TSystemParameters* Parameters = nullptr;
  // The text of template.html; read from the web folder when empty.
  std::function<std::string()> LoadTemplate;
  // The log file's lines; core::ReadLogFile when empty.
  std::function<void(platform::TStringList&)> ReadLog;
  // The search pages (registered only when given): the form that also serves as the default
  // content, the results and the document view.
  TActionHandler SearchForm;
  TActionHandler SearchResults;
  TActionHandler ViewDocument;
};

// The installed context with its defaults filled in (valid between RegisterWebApplication and
// FreeWebApplication).
resources::TResourcePool& AppPool();
core::TSystemParameters& AppParameters();
std::string AppTemplate();
void AppReadLog(platform::TStringList& list);

// The text of an action code; "" for a code without one.
std::string GetActionDescription(int code);

// The host that the request's links name: WebServer when configured, else the request's Host
// header when it is a plausible host (and port), else "" (BuildURL's short host name).
std::string LinkHost(const THTTPSession& session);

// BuildURL for the request path with the given pairs and the trailing placeholder "#newurl"
// (the next step) or "#sameurl" (this page again).
std::string NewURLLink(const THTTPSession& session, const std::vector<std::string>& names,
                       const std::vector<std::string>& values, bool withHttp);
std::string SameURLLink(const THTTPSession& session, const std::vector<std::string>& names,
                        const std::vector<std::string>& values, bool withHttp);
// "http://" and the web server's name and "/": where an update or a cancel leads.
std::string SiteRootURL(const THTTPSession& session);

// Replaces the page's description (the action's, or the "#description" placeholder) by text.
void SetPageDescription(THTTPSession& session, const std::string& text);

// The form token of the browser's session, starting an anonymous session (and setting its
// cookie) when the request names no live one; "" without a session list.
std::string FormToken(THTTPSession& session);
// Whether the posted "token" is that of the session the request's cookie names.
bool FormTokenValid(const THTTPSession& session);
// Answers the request with 403: a form without a valid token changes nothing.
void RefuseForm(THTTPSession& session);

// "/search": the form of searchform.html from the web folder as the page's content, with the
// description "Search for information in mail database.".
void SearchFormPage(THTTPSession& session, int& stop);

// "/logout": ends the session the cookie names, clears the cookie and leads to the site root.
void LogoutPage(THTTPSession& session);

// Replaces every occurrence of tag in the response body by value (Content-Length follows).
void ReplaceInBody(THTTPSession& session, const std::string& tag, const std::string& value);
bool BodyContains(const THTTPSession& session, const std::string& tag);

// A parameter of the submitted form: the post body of a POST, the query otherwise.
std::string FormValue(THTTPSession& session, const std::string& name);

// The texts that replace "#newurl" and "#sameurl" in the request's page.
std::string NextStepText(const THTTPSession& session);
std::string SameStateText(const THTTPSession& session);

// Phase handlers.
void PageFrameHandler(THTTPSession& session, int& stop);
void DefaultContentHandler(THTTPSession& session, int& stop);
void URLSubstitutionHandler(THTTPSession& session, int& stop);
// The exception-page hook.
void ExceptionPage(THTTPSession& session, const std::exception& e);

// The application's menu (empty before registration).
const TWebMenu& WebMenu();
std::unique_ptr<TJavaScriptMenu> BuildWebMenu();

// The protected areas of the given configuration: when SecurityOn is off the administration
// and search areas ("/admin", "/search", "/viewdocument") for loopback clients only, else "/"
// at UserLevel and "/admin" at AdminLevel, realm "tovenmarsh".
std::vector<TProtectedArea> ProtectedAreasFor(const core::TSystemParameters& parameters);
// Replaces the protected areas by those of the application's configuration.
void RegisterProtectedAreas();

// Installs the context, the exception page, every action, the menu and the protected areas.
void RegisterWebApplication(TWebAppContext context = {});
// Frees the menu and the context (StopHTTPServer's clean-up).
void FreeWebApplication();

}  // namespace tovenmarsh::web
