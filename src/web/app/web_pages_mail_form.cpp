// The form pages of the mail administration: the row that "key" names (or the new-row
// defaults when it names none) in a form that posts to the next step; and the page an update
// asked for by GET shows instead of changing anything.
// Implements MailFormPage of web/app/web_pages_mail.h.
#include "core/str_utils.h"
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

namespace mailpages {

std::string MailFormHTML(const TEntityDef& def, THTTPSession& session,
                         const std::string& actionURL, TFormValues values, bool plain) {
  const r::TAppTableDef& tableDef = TableOf(def);
  TWebForm form;
  form.ActionURL = actionURL;
  {
    r::TResourceLease<> lease(AppPool(), def.pool);
    r::TTableAccess& table = lease->Table();
    const bool found = FindRow(def, table, session.GetQueryValue("key"));
    for (const TFormField& field : def.form) {
      std::string value;
      if (values == TFormValues::Submitted && field.kind != TFormKind::Plain) {
        value = FormValue(session, field.caption);
        // A box that was not ticked is not sent; shown again it must stay unticked.
        if (field.kind == TFormKind::Checkbox) value = core::TextToBool(value) ? "True" : "False";
      } else {
        value = found ? FieldText(tableDef, table, field.position, true)
                      : std::string(field.newValue);
      }
      form.AddField(field.caption, value, plain ? wkText : CellKind(field.kind),
                    FieldWidth(tableDef, field.position));
    }
  }
  form.AddButton("Perform", "OK", "");
  form.AddButton("Perform", "Cancel", "");
  return form.GetHTML();
}

}  // namespace mailpages

void MailFormPage(TMailEntity entity, THTTPSession& session) {
  const TEntityDef& def = EntityDef(entity);
  const std::string keyText = session.GetQueryValue("key");
  ReplaceInBody(session, "#content",
                MailFormHTML(def, session, NewURLLink(session, {"key"}, {keyText}, true),
                             TFormValues::Stored, false));
}

void MailConfirmPage(TMailEntity entity, THTTPSession& session) {
  const TEntityDef& def = EntityDef(entity);
  // The form posts to this very update, with its key, steps, "do" and tags.
  const std::string here = SameURLLink(session, {}, {}, true);
  const bool remove = session.GetQueryValue("do") == "R";
  if (remove) {
    SetPageDescription(session, "Press OK to remove this entry, or Cancel to keep it.");
  } else {
    const int code = core::TextToInt(session.GetQueryValue("action"));
    SetPageDescription(session, GetActionDescription(code - 1));
  }
  ReplaceInBody(session, "#content", MailFormHTML(def, session, here, TFormValues::Stored, remove));
}

}  // namespace tovenmarsh::web
