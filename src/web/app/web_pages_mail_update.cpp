// The update pages of the mail administration: "do" U writes the submitted form into the row
// that "key" names (inserting it when it is missing), "do" R removes that row with its
// cascades. The work runs between BeginWork and CommitWork; any failure rolls it back and
// travels on to the exception page. Afterwards the browser is sent to the site root.
// Implements MailUpdatePage of web/app/web_pages_mail.h.
#include "core/log.h"
#include "core/str_utils.h"
#include "resources/database_resource.h"
#include "web/html/html_list.h"
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

}  // namespace

void MailUpdatePage(TMailEntity entity, THTTPSession& session) {
  if (FormValue(session, "Perform") == "Cancel") {
    session.RedirectURL = SiteRootURL();
    return;
  }
  const TEntityDef& def = EntityDef(entity);
  const std::string doCode = session.GetQueryValue("do");
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
  session.RedirectURL = SiteRootURL();
}

}  // namespace tovenmarsh::web
