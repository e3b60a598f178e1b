// The registration of the web application: the exception page, every action with its page,
// the menu and the protected areas.
// Implements the registration calls of web/app/web_app.h.
#include <utility>

#include "web/app/web_app.h"
#include "web/app/web_pages_mail.h"
#include "web/app/web_pages_system.h"

namespace tovenmarsh::web {

namespace detail {
std::unique_ptr<TWebAppContext>& AppContext();  // web_app.cpp
}  // namespace detail

namespace {

std::unique_ptr<TJavaScriptMenu>& Menu() {
  static std::unique_ptr<TJavaScriptMenu> menu;
  return menu;
}

using TPage = void (*)(THTTPSession&);

TActionHandler Page(TPage page) {
  return [page](THTTPSession& session, int&) { page(session); };
}

TActionHandler MailPage(void (*page)(TMailEntity, THTTPSession&), TMailEntity entity) {
  return [page, entity](THTTPSession& session, int&) { page(entity, session); };
}

// An update runs only for a form that carries the session's token; any other request
// changes nothing and is refused.
TActionHandler Update(TActionHandler update) {
  return [update = std::move(update)](THTTPSession& session, int& stop) {
    if (session.MethodCode != hmPOST || !FormTokenValid(session)) {
      RefuseForm(session);
      return;
    }
    update(session, stop);
  };
}

void RegisterMailPages(const char* path, int firstCode, TMailEntity entity) {
  const std::string list = std::to_string(firstCode);
  const std::string form = std::to_string(firstCode + 1);
  const std::string update = std::to_string(firstCode + 2);
  RegisterAction(path, hmGET, list, 1, MailPage(MailListPage, entity));
  RegisterAction(path, hmGET, form, 1, MailPage(MailFormPage, entity));
  RegisterAction(path, hmPOST, update, 1, Update(MailPage(MailUpdatePage, entity)));
  // A link (a menu's "Remove ..." walk ends in one) shows what the update would do, with a
  // form that posts it.
  RegisterAction(path, hmGET, update, 1, MailPage(MailConfirmPage, entity));
}

struct TSubEntry {
  const char* caption;
  const char* doCode;
  const char* action;
  const char* steps;
};

void AddSubEntries(TWebMenu& menu, TWebMenuEntry& entry, std::initializer_list<TSubEntry> subs) {
  for (const TSubEntry& s : subs) menu.AddSubEntry(entry, s.caption, s.doCode, s.steps, s.action);
}

}  // namespace

const TWebMenu& WebMenu() {
  static const TJavaScriptMenu empty;
  return Menu() ? *Menu() : empty;
}

std::unique_ptr<TJavaScriptMenu> BuildWebMenu() {
  auto menu = std::make_unique<TJavaScriptMenu>();
  TWebMenu& m = *menu;
  m.AddEntry("/admin", "Admin", "", "", "Administration");
  m.AddEntry("/admin/mail", "Mail", "", "", "Mail Setup");
  AddSubEntries(m, m.AddEntry("/admin/mail/companies", "Companies", "", "", "Maintain Companies"),
                {{"Make new company", "U", "11", "12"},
                 {"Edit company info", "U", "10", "11;12"},
                 {"Remove company", "R", "10", "12"}});
  AddSubEntries(m, m.AddEntry("/admin/mail/domains", "Domains", "", "", "Maintain Domains"),
                {{"Make new domain", "U", "10", "21;22"},
                 {"Edit domain info", "U", "10", "20;21;22"},
                 {"Remove domain", "R", "10", "20;22"}});
  AddSubEntries(m, m.AddEntry("/admin/mail/accounts", "Accounts", "", "", "Maintain Accounts"),
                {{"Make new account", "U", "31", "32"},
                 {"Edit account info", "U", "30", "31;32"},
                 {"Remove account", "R", "30", "32"}});
  AddSubEntries(m, m.AddEntry("/admin/mail/aliases", "Aliases", "", "", "Maintain Aliases"),
                {{"Make new alias", "U", "10", "30;41;42"},
                 {"Edit alias info", "U", "10", "40;41;42"},
                 {"Remove alias", "R", "10", "40;42"}});
  AddSubEntries(m, m.AddEntry("/admin/mail/popmails", "Popmails", "", "", "Maintain Popmails"),
                {{"Make new popmail", "U", "30", "51;52"},
                 {"Edit popmail info", "U", "30", "50;51;52"},
                 {"Remove popmail", "R", "30", "50;52"}});
  AddSubEntries(m,
                m.AddEntry("/admin/mail/maillist", "Maillist Entries", "", "",
                           "Maintain Maillist Entries"),
                {{"Make new maillist", "U", "10", "40;61;62"},
                 {"Edit maillist info", "U", "10", "40;60;61;62"},
                 {"Remove maillist", "R", "10", "40;60;62"}});
  m.AddEntry("/admin/system", "System", "", "", " System Setup");
  m.AddEntry("/admin/system/config", "Config", "102", "101", "Configure System Parameters");
  m.AddEntry("/admin/system/database", "Database", "112", "111",
             "Configure Database Parameters");
  m.AddEntry("/admin/system/statistics", "Statistics", "", "", "System Statistics");
  m.AddEntry("/admin/system/statistics/server", "Server", "", "120",
             "View connection statistics");
  m.AddEntry("/admin/system/statistics/logfile", "Logfile", "", "130", "View logfile");
  m.AddEntry("/search", "Search", "", "", "Search in Documents");
  m.Sort();
  return menu;
}

std::vector<TProtectedArea> ProtectedAreasFor(const core::TSystemParameters& parameters) {
  std::vector<TProtectedArea> areas;
  if (!parameters.GetBool("SecurityOn")) {
    // Without logins anyone who reaches the port could change the configuration or read the
    // archived mail: those areas stay on this host until security is switched on.
    for (const char* prefix : {"/admin", "/search", "/viewdocument"}) {
      areas.push_back({prefix, "tovenmarsh", 0, true});
    }
    return areas;
  }
  areas.push_back({"/admin", "tovenmarsh", parameters.GetInt("AdminLevel")});
  areas.push_back({"/", "tovenmarsh", parameters.GetInt("UserLevel")});
  return areas;
}

void RegisterProtectedAreas() { SetProtectedAreas(ProtectedAreasFor(AppParameters())); }

void RegisterWebApplication(TWebAppContext context) {
  detail::AppContext() = std::make_unique<TWebAppContext>(std::move(context));
  const TWebAppContext& installed = *detail::AppContext();

  SetExceptionPageHook(ExceptionPage);

  RegisterMailPages("/admin/mail/companies", 10, TMailEntity::Company);
  RegisterMailPages("/admin/mail/domains", 20, TMailEntity::Domain);
  RegisterMailPages("/admin/mail/accounts", 30, TMailEntity::Account);
  RegisterMailPages("/admin/mail/aliases", 40, TMailEntity::Alias);
  RegisterMailPages("/admin/mail/popmails", 50, TMailEntity::Popmail);
  RegisterMailPages("/admin/mail/maillist", 60, TMailEntity::Maillist);
  RegisterAction("/admin/system/config", hmGET, "101", 1, Page(ConfigFormPage));
  RegisterAction("/admin/system/config", hmPOST, "102", 1, Update(Page(ConfigUpdatePage)));
  RegisterAction("/admin/system/database", hmGET, "111", 1, Page(PoolFormPage));
  RegisterAction("/admin/system/database", hmPOST, "112", 1, Update(Page(PoolUpdatePage)));
  RegisterAction("/admin/system/statistics/server", hmGET, "120", 1, Page(StatisticsPage));
  RegisterAction("/admin/system/statistics/logfile", hmGET, "130", 1, Page(LogFilePage));
  if (installed.SearchForm) RegisterAction("/search", hmGET, "", 1, installed.SearchForm);
  if (installed.SearchResults) {
    RegisterAction("/searchfor", hmGET, "", 1, installed.SearchResults);
  }
  if (installed.ViewDocument) {
    RegisterAction("/viewdocument", hmGET, "", 1, installed.ViewDocument);
  }
  RegisterAction("/logout", hmGET, "", 1, Page(LogoutPage));
  RegisterAction("/logout", hmPOST, "", 1, Page(LogoutPage));
  RegisterAction("/", hmAny, "", 0, PageFrameHandler);
  RegisterAction("/", hmAny, "", 4, DefaultContentHandler);
  RegisterAction("/", hmAny, "", 5, URLSubstitutionHandler);

  Menu() = BuildWebMenu();
  RegisterProtectedAreas();
}

void FreeWebApplication() {
  Menu().reset();
  detail::AppContext().reset();
}

}  // namespace tovenmarsh::web
