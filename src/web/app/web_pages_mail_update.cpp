// The update pages of the mail administration: "do" U writes the submitted form into the row
// that "key" names (inserting it when it is missing), "do" R removes that row with its
// cascades. A form that cannot be written (a field missing, a number that is none, a key
// another row has) comes back with a message before anything is touched. The work runs
// between BeginWork and CommitWork; any failure rolls it back and travels on to the exception
// page. Afterwards the browser is sent to the site root.
// Implements MailUpdatePage of web/app/web_pages_mail.h.
#include "core/log.h"
#include "core/str_utils.h"
#include "resources/database_resource.h"
#include "web/html/html_list.h"
#include "web/html/html_text.h"
#include "web/app/web_app.h"
#include "web/app/web_pages_mail_entities.h"

namespace tovenmarsh::web {

using namespace mailpages;
namespace r = tovenmarsh::resources;

namespace {

// Writes the form (and the key and tags) into the row being edited or inserted.
void WriteFields(TMailEntity entity, THTTPSession& session, r::TTableAccess& t, bool found) {
  const std::string keyText = session.GetQueryValue("key");
  auto text = [&](const char* name) { return r::TFieldValue(FormValue(session, name)); };
  auto number = [&](const char* name) {
    return r::TFieldValue(core::TextToInt(FormValue(session, name)));
  };
  auto flag = [&](const char* name) {
    return r::TFieldValue(core::TextToBool(FormValue(session, name)));
  };
  auto keyNumber = [&](int n) { return core::TextToInt(GetListItem(keyText, n)); };
  switch (entity) {
    case TMailEntity::Company:
      t.SetField(r::company::name, text("Name"));
      t.SetField(r::company::postmaster, flag("Postmaster"));
      t.SetField(r::company::bounce, flag("Bounce"));
      break;
    case TMailEntity::Domain:
      t.SetField(r::domain::companyno, keyNumber(1));
      t.SetField(r::domain::name, text("Name"));
      break;
    case TMailEntity::Account:
      t.SetField(r::account::no, number("No"));
      t.SetField(r::account::fullname, text("Name"));
      t.SetField(r::account::pass, text("Password"));
      t.SetField(r::account::description, text("Description"));
      t.SetField(r::account::level, number("Level"));
      t.SetField(r::account::active, flag("Active"));
      break;
    case TMailEntity::Alias: {
      t.SetField(r::alias::name, text("Name"));
      int companyNo = keyNumber(2);
      if (companyNo == 0) companyNo = core::TextToInt(session.GetQueryValue("comtag"));
      t.SetField(r::alias::companyno, companyNo);
      const int accountTag = core::TextToInt(session.GetQueryValue("acctag"));
      if (accountTag != 0) {
        t.SetField(r::alias::accountno, accountTag);
      } else if (!found) {
        t.SetField(r::alias::accountno, 0);
      }  // else the row keeps its account
      t.SetField(r::alias::description, text("Description"));
      t.SetField(r::alias::active, flag("Active"));
      t.SetField(r::alias::maillist, flag("Maillist"));
      t.SetField(r::alias::expandable, flag("Expandable"));
      break;
    }
    case TMailEntity::Popmail: {
      t.SetField(r::extaccount::mailserver, text("Mailserver"));
      t.SetField(r::extaccount::mailusr, text("User"));
      t.SetField(r::extaccount::mailpass, text("Password"));
      // A new popmail arrives with the account's number as its whole key; the account it
      // belongs to then travels in "acctag".
      int accountNo = keyNumber(3);
      if (accountNo == 0) accountNo = core::TextToInt(session.GetQueryValue("acctag"));
      t.SetField(r::extaccount::accountno, accountNo);
      t.SetField(r::extaccount::leavecopy, flag("Leave copy"));
      t.SetField(r::extaccount::remafter, number("Remove after"));
      t.SetField(r::extaccount::interval, number("Interval"));
      t.SetField(r::extaccount::active, flag("Active"));
      break;
    }
    case TMailEntity::Maillist:
      t.SetField(r::maillist::name, GetListItem(keyText, 1));
      t.SetField(r::maillist::companyno, keyNumber(2));
      t.SetField(r::maillist::forwardusr, text("Forward User"));
      t.SetField(r::maillist::forwarddomain, text("Forward Domain"));
      t.SetField(r::maillist::fullname, text("Name"));
      t.SetField(r::maillist::description, text("Description"));
      break;
  }
}

// Key fields travel joined by ";" in "key": a value holding one could never be found again
// (neither edited nor removed through these pages), so it is refused.
void CheckKeyFields(const TEntityDef& def, r::TTableAccess& t) {
  for (const TKeyField& field : def.key) {
    if (field.integer) continue;
    if (t.GetString(field.position).find(';') != std::string::npos) {
      const std::string_view name = TableOf(def).fields[static_cast<size_t>(field.position)].name;
      throw EWebInputError("The field " + std::string(name) + " must not contain \";\"");
    }
  }
}

// A key item of the row the form writes: its text, and the caption of the form field it comes
// from (nullptr for an item that comes with the page's key or tags).
struct TKeyItem {
  std::string text;
  const char* caption;
};

// The key the row will have once WriteFields has run, item by item (as WriteFields sets it).
std::vector<TKeyItem> NewKey(TMailEntity entity, THTTPSession& session) {
  const std::string keyText = session.GetQueryValue("key");
  auto form = [&](const char* caption) { return TKeyItem{FormValue(session, caption), caption}; };
  auto item = [&](int n) { return TKeyItem{GetListItem(keyText, n), nullptr}; };
  auto numberOr = [&](int n, const char* tag) {
    int number = core::TextToInt(GetListItem(keyText, n));
    if (number == 0) number = core::TextToInt(session.GetQueryValue(tag));
    return TKeyItem{number == 0 ? std::string() : core::IntToText(number), nullptr};
  };
  switch (entity) {
    case TMailEntity::Company:
      break;  // numbered by the table
    case TMailEntity::Domain:
      return {item(1), form("Name")};
    case TMailEntity::Account:
      return {form("No")};
    case TMailEntity::Alias:
      return {form("Name"), numberOr(2, "comtag")};
    case TMailEntity::Popmail:
      return {form("Mailserver"), form("User"), numberOr(3, "acctag")};
    case TMailEntity::Maillist:
      return {item(1), item(2), form("Forward User"), form("Forward Domain")};
  }
  return {};
}

// A whole number of at most nine digits (so it fits the table's integers).
bool WholeNumber(const std::string& text) {
  return !text.empty() && text.size() <= 9 &&
         text.find_first_not_of("0123456789") == std::string::npos;
}

std::string Quoted(const char* caption) { return std::string("\"") + caption + "\""; }

// The first thing wrong with the submitted form, or "" when it can be written. Leaves the
// table's cursor anywhere.
std::string CheckForm(const TEntityDef& def, THTTPSession& session, r::TTableAccess& table,
                      bool found, const std::string& foundKey) {
  const r::TAppTableDef& tableDef = TableOf(def);
  const std::vector<TKeyItem> key = NewKey(def.entity, session);
  for (size_t i = 0; i < key.size(); ++i) {
    const TKeyItem& item = key[i];
    const bool integer = def.key[i].integer;
    if (item.caption == nullptr) {
      if (item.text.empty() || (integer && core::TextToInt(item.text) <= 0)) {
        return "This form lacks the entry it belongs to: open it again from its list.";
      }
      continue;
    }
    if (item.text.empty()) return "Enter " + Quoted(item.caption) + ".";
    if (integer && (!WholeNumber(item.text) || core::TextToInt(item.text) <= 0)) {
      return "Enter " + Quoted(item.caption) + " as a whole number above 0.";
    }
    if (item.text.find(';') != std::string::npos) {
      return Quoted(item.caption) + " must not contain \";\".";
    }
  }
  for (const TFormField& field : def.form) {
    if (field.kind != TFormKind::Text && field.kind != TFormKind::Password) continue;
    const r::TAppFieldDef& column = tableDef.fields[static_cast<size_t>(field.position)];
    const std::string value = FormValue(session, field.caption);
    if (column.type == r::TAppFieldType::Integer) {
      if (!value.empty() && !WholeNumber(value)) {
        return "Enter " + Quoted(field.caption) + " as a whole number.";
      }
    } else if (column.type == r::TAppFieldType::String) {
      if (column.required && value.empty()) return "Enter " + Quoted(field.caption) + ".";
      if (column.size > 0 && value.size() > static_cast<size_t>(column.size)) {
        return Quoted(field.caption) + " takes at most " + core::IntToText(column.size) +
               " characters.";
      }
    }
  }
  if (key.empty()) return "";
  // The primary index is unique: a row that already has the new key, other than the one
  // being edited, would make the write fail.
  std::vector<std::string> items;
  for (const TKeyItem& item : key) items.push_back(item.text);
  const r::TKeyValues values = KeyFromText(def, JoinValues(items));
  table.CancelRange();
  table.SetIndex("");
  const r::TKeyValues lookup(values.begin() + static_cast<std::ptrdiff_t>(def.lookupFirst),
                             values.end());
  if (table.FindKey(lookup) && (!found || KeyText(def, table) != foundKey)) {
    return "Another entry has this key already (" + JoinValues(items) +
           "): change it, or edit that entry instead.";
  }
  return "";
}

// Shows the form again with the values sent and what to correct; nothing was written.
void ShowFormAgain(const TEntityDef& def, THTTPSession& session, const std::string& message) {
  const int code = core::TextToInt(session.GetQueryValue("action"));
  SetPageDescription(session, GetActionDescription(code - 1));
  const std::string html =
      "<p class=\"ErrorTextStyle\">" + TextToHTML(message) + "</p>" +
      MailFormHTML(def, session, SameURLLink(session, {}, {}, true), TFormValues::Submitted,
                   false);
  ReplaceInBody(session, "#content", html);
}

}  // namespace

void MailUpdatePage(TMailEntity entity, THTTPSession& session) {
  if (FormValue(session, "Perform") == "Cancel") {
    session.RedirectURL = SiteRootURL(session);
    return;
  }
  const TEntityDef& def = EntityDef(entity);
  const std::string doCode = session.GetQueryValue("do");
  if (doCode == "U") {
    std::string problem;
    {
      r::TResourceLease<> lease(AppPool(), def.pool);
      r::TTableAccess& table = lease->Table();
      const bool found = FindRow(def, table, session.GetQueryValue("key"));
      problem = CheckForm(def, session, table, found, found ? KeyText(def, table) : "");
    }
    if (!problem.empty()) {
      ShowFormAgain(def, session, problem);
      return;
    }
  }
  {
    r::TResourceLease<> lease(AppPool(), def.pool);
    r::TDatabaseResource& resource = *lease;
    const bool found = FindRow(def, resource.Table(), session.GetQueryValue("key"));
    resource.BeginWork();
    try {
      if (doCode == "U") {
        if (found) {
          resource.Edit();
        } else {
          resource.Insert();
        }
        WriteFields(entity, session, resource.Table(), found);
        CheckKeyFields(def, resource.Table());
        resource.Post();
      } else if (doCode == "R") {
        if (found) resource.Delete();
      }
      resource.CommitWork();
    } catch (...) {
      // The failure is what the user must see; a failing rollback is only logged.
      try {
        resource.RollbackWork();
      } catch (const std::exception& e) {
        core::LogErrorText(std::string("Rollback of a web update failed: ") + e.what());
      }
      throw;
    }
  }
  session.RedirectURL = SiteRootURL(session);
}

}  // namespace tovenmarsh::web
