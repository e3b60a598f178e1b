// External accounts and their fetched UIDLs over borrowed extaccount and extmailbox resources.
#include "resources/pop_mail_control.h"

namespace tovenmarsh::resources {

TPOPMailControl::TPOPMailControl() : TPOPMailControl(DatabasePool()) {}

TPOPMailControl::TPOPMailControl(TResourcePool& pool) : extAccount_(pool, piExtAccount) {}

int TPOPMailControl::ListAccounts(TExtAccRecs& list) {
  TDatabaseResource& resource = *extAccount_;
  TTableAccess& rows = resource.Table();
  rows.CancelRange();
  rows.First();
  if (rows.Eof()) return 0;
  int count = 0;
  resource.BeginWork();
  try {
    for (rows.First(); !rows.Eof(); rows.Next()) {
      TExtAccRec rec;
      rec.mailserver = rows.GetString(extaccount::mailserver);
      rec.mailusr = rows.GetString(extaccount::mailusr);
      rec.mailpass = rows.GetString(extaccount::mailpass);
      rec.accountno = rows.GetInt(extaccount::accountno);
      rec.leavecopy = rows.GetBool(extaccount::leavecopy);
      rec.remafter = rows.GetInt(extaccount::remafter);
      rec.interval = rows.GetInt(extaccount::interval);
      rec.tag = rows.GetString(extaccount::tag);
      rec.active = rows.GetBool(extaccount::active);
      rec.mailboxid = rows.GetString(extaccount::mailboxid);
      list.push_back(std::move(rec));
      ++count;
    }
    resource.CommitWork();
  } catch (...) {
    resource.RollbackWork();
    throw;
  }
  return count;
}

TPOPMailBoxControl::TPOPMailBoxControl() : TPOPMailBoxControl(DatabasePool()) {}

TPOPMailBoxControl::TPOPMailBoxControl(TResourcePool& pool) : extMailbox_(pool, piExtMailbox) {}

int TPOPMailBoxControl::ListUIDLs(const std::string& mailboxId, TExtMailDropRecs& list) {
  TDatabaseResource& resource = *extMailbox_;
  TTableAccess& rows = resource.Table();
  rows.SetRange({mailboxId});
  rows.First();
  if (rows.Eof()) return 0;
  int count = 0;
  resource.BeginWork();
  try {
    for (rows.First(); !rows.Eof(); rows.Next()) {
      TExtMailDropRec rec;
      rec.id = mailboxId;
      rec.uidl = rows.GetString(extmailbox::uidl);
      rec.created = rows.GetDate(extmailbox::created);
      list.push_back(std::move(rec));
      ++count;
    }
    resource.CommitWork();
  } catch (...) {
    resource.RollbackWork();
    throw;
  }
  return count;
}

bool TPOPMailBoxControl::ReplaceUIDLs(const std::string& mailboxId, const TExtMailDropRecs& list) {
  TDatabaseResource& resource = *extMailbox_;
  TTableAccess& rows = resource.Table();
  // One transaction for the removal and the new rows: a failure in between must not lose the
  // history, or every message left on the server would be fetched again.
  resource.BeginWork();
  try {
    rows.SetRange({mailboxId});
    rows.First();
    while (!rows.Eof()) resource.Delete();
    int no = 0;
    for (const TExtMailDropRec& item : list) {
      resource.Insert();
      rows.SetField(extmailbox::id, mailboxId);
      rows.SetField(extmailbox::no, no++);
      rows.SetField(extmailbox::uidl, item.uidl);
      rows.SetField(extmailbox::created, item.created);
      resource.Post();
    }
    resource.CommitWork();
  } catch (...) {
    resource.RollbackWork();
    throw;
  }
  return true;
}

}  // namespace tovenmarsh::resources
