// The form pages of the mail administration: the row that "key" names (or the new-row
// defaults when it names none) in a form that posts to the next step.
// Implements MailFormPage of web/app/web_pages_mail.h.
#include "resources/database_resource.h"
#include "web/app/web_app.h"
#include "web/app/web_form.h"
#include "web/app/web_pages_mail_entities.h"

namespace tovenmarsh::web {

using namespace mailpages;
namespace r = tovenmarsh::resources;

namespace {

int CellKind(TFormKind kind) {
  switch (kind) {
    case TFormKind::Text:
      return wkTextInput;
    case TFormKind::Password:
      return wkPassword;
    case TFormKind::Checkbox:
      return wkCheckbox;
    case TFormKind::Plain:
      break;
  }
  return wkText;
}

}  // namespace

void MailFormPage(TMailEntity entity, THTTPSession& session) {
  const TEntityDef& def = EntityDef(entity);
  const r::TAppTableDef& tableDef = TableOf(def);
  const std::string keyText = session.GetQueryValue("key");

  TWebForm form;
  form.ActionURL = NewURLLink(session, {"key"}, {keyText}, true);
  {
    r::TResourceLease<> lease(AppPool(), def.pool);
    r::TTableAccess& table = lease->Table();
    const bool found = FindRow(def, table, keyText);
    for (const TFormField& field : def.form) {
      const std::string value =
          found ? FieldText(tableDef, table, field.position, true) : std::string(field.newValue);
      form.AddField(field.caption, value, CellKind(field.kind),
                    FieldWidth(tableDef, field.position));
    }
  }
  form.AddButton("Perform", "OK", "");
  form.AddButton("Perform", "Cancel", "");
  ReplaceInBody(session, "#content", form.GetHTML());
}

}  // namespace tovenmarsh::web
