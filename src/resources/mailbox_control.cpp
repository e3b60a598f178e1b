// Mailbox rows over a borrowed mailbox resource.
#include "resources/mailbox_control.h"

#include "core/log.h"
#include "platform/format.h"

namespace tovenmarsh::resources {

TMailBoxControl::TMailBoxControl() : TMailBoxControl(DatabasePool()) {}

TMailBoxControl::TMailBoxControl(TResourcePool& pool) : mailbox_(pool, piMailbox) {}

int TMailBoxControl::ListMessages(int accountNo, TMailDropRecs& list) {
  TDatabaseResource& resource = *mailbox_;
  TTableAccess& rows = resource.Table();
  resource.Reset();
  rows.SetIndex("accountno");
  rows.SetRange({accountNo});
  rows.First();
  if (rows.Eof()) return 0;
  int total = 0;
  resource.BeginWork();
  try {
    for (rows.First(); !rows.Eof(); rows.Next()) {
      TMailDropRec rec;
      rec.id = rows.GetString(mailbox::id);
      rec.size = rows.GetInt(mailbox::size);
      rec.hash = rows.GetInt(mailbox::hash);
      resource.Edit();  // stamps lastretr
      resource.Post();
      total += rec.size;
      list.push_back(std::move(rec));
    }
    resource.CommitWork();
  } catch (...) {
    resource.RollbackWork();
    throw;
  }
  return total;
}

bool TMailBoxControl::DeleteMarked(const TMailDropRecs& list) {
  TDatabaseResource& resource = *mailbox_;
  TTableAccess& rows = resource.Table();
  resource.Reset();
  resource.BeginWork();
  try {
    for (const TMailDropRec& rec : list) {
      if (rec.deleted && rows.FindKey({rec.id})) resource.Delete();
    }
    resource.CommitWork();
  } catch (...) {
    resource.RollbackWork();
    throw;
  }
  return true;
}

bool TMailBoxControl::HasMessage(const std::string& id) {
  TDatabaseResource& resource = *mailbox_;
  resource.Reset();
  return resource.Table().FindKey({id});
}

int TMailBoxControl::AddMessage(int accountNo, const TMailDropRec& rec) {
  TDatabaseResource& resource = *mailbox_;
  TTableAccess& rows = resource.Table();
  try {
    resource.Reset();
    resource.BeginWork();
  } catch (const std::exception&) {
    core::LogMessage(platform::Format("Failed to write to mailbox on account[%d] and mailid[%s]",
                                      accountNo, rec.id.c_str()));
  }
  try {
    resource.Insert();
    rows.SetField(mailbox::id, rec.id);
    rows.SetField(mailbox::accountno, accountNo);
    rows.SetField(mailbox::size, rec.size);
    rows.SetField(mailbox::hash, rec.hash);
    resource.Post();
    resource.CommitWork();
  } catch (...) {
    resource.RollbackWork();
    throw;
  }
  return 1;
}

}  // namespace tovenmarsh::resources
