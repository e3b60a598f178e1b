// The list pages of the mail administration: at most 12 rows of an entity from the offset
// "ls", the first column linked to the next step with the row's key, and "Prev" / "Next"
// links to the neighbouring pages of the same list.
// Implements MailListPage of web/app/web_pages_mail.h.
#include <algorithm>

#include "core/str_utils.h"
#include "resources/database_resource.h"
#include "web/html/html_list.h"
#include "web/app/web_app.h"
#include "web/app/web_pages_mail_entities.h"
#include "web/app/web_table.h"

namespace tovenmarsh::web {

using namespace mailpages;
namespace r = tovenmarsh::resources;

namespace {

void SelectRows(const TEntityDef& def, r::TTableAccess& table, const std::string& keyText) {
  table.CancelRange();
  table.SetIndex(def.range == TListRange::All || def.range == TListRange::NameAndCompany
                     ? std::string()
                     : std::string(def.listIndex));
  const int number = core::TextToInt(GetListItem(keyText, 1));
  switch (def.range) {
    case TListRange::All:
      break;
    case TListRange::FirstNumber:
      table.SetRange({number});
      break;
    case TListRange::FirstNumberIfSet:
      if (number > 0) table.SetRange({number});
      break;
    case TListRange::NameAndCompany:
      table.SetRange({GetListItem(keyText, 1), core::TextToInt(GetListItem(keyText, 2))});
      break;
  }
  table.First();
}

struct TListRow {
  std::vector<std::string> texts;
  std::string link;
};

}  // namespace

void MailListPage(TMailEntity entity, THTTPSession& session) {
  const TEntityDef& def = EntityDef(entity);
  const r::TAppTableDef& tableDef = TableOf(def);
  const std::string keyText = session.GetQueryValue("key");
  const int offset = std::max(0, core::TextToInt(session.GetQueryValue("ls")));

  std::vector<TListRow> rows;
  bool more = false;
  {
    r::TResourceLease<> lease(AppPool(), def.pool);
    r::TTableAccess& table = lease->Table();
    SelectRows(def, table, keyText);
    for (int skipped = 0; skipped < offset && !table.Eof(); ++skipped) table.Next();
    while (!table.Eof() && static_cast<int>(rows.size()) < kListPageRows) {
      TListRow row;
      for (const TListColumn& column : def.columns) {
        row.texts.push_back(FieldText(tableDef, table, column.position, false));
      }
      std::vector<std::string> names{"key"};
      std::vector<std::string> values{KeyText(def, table)};
      if (def.tag != nullptr) {
        names.emplace_back(def.tag);
        values.push_back(core::IntToText(table.GetInt(def.tagPosition)));
      }
      row.link = NewURLLink(session, names, values, false);
      rows.push_back(std::move(row));
      table.Next();
    }
    more = !table.Eof();
  }

  TWebTable page;
  page.Attributes = &OverviewAttributes();
  page.SetSize(static_cast<int>(def.columns.size()), static_cast<int>(rows.size()));
  for (size_t c = 0; c < def.columns.size(); ++c) {
    page.Column(static_cast<int>(c)).Caption = def.columns[c].caption;
  }
  for (size_t i = 0; i < rows.size(); ++i) {
    for (size_t c = 0; c < def.columns.size(); ++c) {
      TWebCell& cell = page.Cell(static_cast<int>(c), static_cast<int>(i));
      cell.Text = rows[i].texts[c];
      if (c == 0) cell.Link = rows[i].link;
    }
  }
  if (offset > 0) {
    page.AddLink("Prev", "Prev",
                 SameURLLink(session, {"ls"},
                             {core::IntToText(std::max(0, offset - kListPageRows))}, false));
  }
  if (more) {
    page.AddLink("Next", "Next",
                 SameURLLink(session, {"ls"}, {core::IntToText(offset + kListPageRows)}, false));
  }
  ReplaceInBody(session, "#content", page.GetHTML());
}

}  // namespace tovenmarsh::web
