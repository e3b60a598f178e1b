// The search results and the document view.
#include "web/app/web_pages_search.h"

#include <algorithm>
#include <string>
#include <vector>

#include "core/str_utils.h"
#include "web/app/web_app.h"
#include "web/app/web_form.h"
#include "web/app/web_pages_mail_entities.h"
#include "web/app/web_styles.h"
#include "web/app/web_table.h"
#include "web/html/html_link.h"
#include "web/http/login_session.h"

namespace tovenmarsh::web {

namespace doc = resources::document;

namespace {

// The level of the login session that the request carries; 0 for none.
int SessionLevel(const THTTPSession& session) {
  const std::shared_ptr<TSessionSystem> sessions = SessionList();
  if (!sessions || session.SessionId.empty()) return 0;
  return sessions->FindById(session.SessionId).UserLevel;
}

std::string CreatedText(resources::TDatabaseResource& documents) {
  return mailpages::FieldText(documents.Definition(), documents.Table(), doc::created, true);
}

}  // namespace

TActionHandler SearchResultsPage(std::function<TTextIndexEnvironment()> environment) {
  return [environment = std::move(environment)](THTTPSession& session, int&) {
    const std::string text = session.GetQueryValue("text");
    const int offset = std::max(0, core::TextToInt(session.GetQueryValue("ls")));
    const bool securityOn = AppParameters().GetBool("SecurityOn");
    resources::TResourceLease<> lease(AppPool(), resources::piDocument);
    resources::TDatabaseResource& documents = *lease;
    const std::vector<int> hits =
        SearchDocuments(environment(), text, session.GetQueryValue("sortorder"), session.GetQueryValue("fromdate"),
                        documents, securityOn, securityOn ? SessionLevel(session) : 0,
                        session.GetQueryValue("todate"));

    TWebTable page;
    page.Attributes = &OverviewAttributes();
    const int shown = std::clamp(static_cast<int>(hits.size()) - offset, 0, kListPageRows);
    page.SetSize(5, shown);
    const char* const headers[] = {"No", "Description", "To", "From", "Recieved"};
    for (int c = 0; c < 5; ++c) page.Column(c).Caption = headers[c];
    page.Caption = "Searched for \"" + text + "\" and found " + core::IntToText(static_cast<long long>(hits.size())) +
                   " entries.";
    resources::TTableAccess& table = documents.Table();
    int row = 0;
    for (int i = offset; i < offset + shown; ++i) {
      const int number = hits[static_cast<size_t>(i)];
      if (!table.FindKey({number})) continue;
      const std::string key = core::IntToText(number);
      page.Cell(0, row).Text = key;
      // The view leads back to this page of these results.
      page.Cell(0, row).Link = BuildURL(LinkHost(session), "/viewdocument", {"key", "text", "ls"},
                                        {key, text, core::IntToText(offset)}, "", false);
      page.Cell(1, row).Text = table.GetString(doc::description);
      page.Cell(2, row).Text = table.GetString(doc::to);
      page.Cell(3, row).Text = table.GetString(doc::from);
      page.Cell(4, row).Text = CreatedText(documents);
      ++row;
    }
    if (offset > 0) {
      page.AddLink("Prev", "Prev",
                   SameURLLink(session, {"ls"}, {core::IntToText(std::max(0, offset - kListPageRows))}, false));
    }
    if (offset + kListPageRows < static_cast<int>(hits.size())) {
      page.AddLink("Next", "Next", SameURLLink(session, {"ls"}, {core::IntToText(offset + kListPageRows)}, false));
    }
    ReplaceInBody(session, "#content", page.GetHTML());
    ReplaceInBody(session, "#description", "View search results.");
  };
}

void ViewDocumentPage(THTTPSession& session, int&) {
  resources::TResourceLease<> lease(AppPool(), resources::piDocument);
  resources::TDatabaseResource& documents = *lease;
  resources::TTableAccess& table = documents.Table();
  documents.Reset();
  const int number = core::TextToInt(session.GetQueryValue("key"));
  TWebForm form;
  form.GetMethod = true;
  const bool securityOn = AppParameters().GetBool("SecurityOn");
  // A document above the user's level is not shown, whoever names its number.
  if (table.FindKey({number}) && (!securityOn || table.GetInt(doc::level) <= SessionLevel(session))) {
    const resources::TAppTableDef& def = documents.Definition();
    form.AddField("No", core::IntToText(number), wkText, 10);
    form.AddField("Description", table.GetString(doc::description), wkText, mailpages::FieldWidth(def, doc::description));
    form.AddField("To", table.GetString(doc::to), wkText, mailpages::FieldWidth(def, doc::to));
    form.AddField("From", table.GetString(doc::from), wkText, mailpages::FieldWidth(def, doc::from));
    form.AddField("Recieved", CreatedText(documents), wkText, 20);
    // The form shows line breaks of a plain field itself.
    form.AddField("Content", table.GetString(doc::content), wkText, 80);
  }
  const std::string text = session.GetQueryValue("text");
  const std::string ls = session.GetQueryValue("ls");
  std::vector<std::string> names{"text"};
  std::vector<std::string> values{text};
  if (!ls.empty()) {
    names.emplace_back("ls");
    values.push_back(ls);
  }
  form.AddButton("Back", "Back", BuildURL(LinkHost(session), "/searchfor", names, values, "", false));
  ReplaceInBody(session, "#content", form.GetHTML());
  ReplaceInBody(session, "#description", "View document.");
}

}  // namespace tovenmarsh::web
