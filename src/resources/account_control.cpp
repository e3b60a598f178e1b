// Account lookups over a borrowed account resource.
#include "resources/account_control.h"

#include <climits>

namespace tovenmarsh::resources {

TAccountControl::TAccountControl() : TAccountControl(DatabasePool()) {}

TAccountControl::TAccountControl(TResourcePool& pool) : account_(pool, piAccount) {}

int TAccountControl::AccountNoFromName(const std::string& name) {
  size_t i = 0;
  while (i < name.size() && (name[i] < '0' || name[i] > '9')) ++i;
  long long value = 0;
  bool any = false;
  for (; i < name.size() && name[i] >= '0' && name[i] <= '9'; ++i) {
    any = true;
    value = value * 10 + (name[i] - '0');
    if (value > INT_MAX) return 0;
  }
  return any ? static_cast<int>(value) : 0;
}

bool TAccountControl::GetAccount(TAccountRec& rec) {
  if (rec.no == 0) rec.no = AccountNoFromName(rec.name);
  if (rec.no == 0) return false;
  TTableAccess& table = account_->Table();
  if (!table.FindKey({rec.no})) return false;
  rec.no = table.GetInt(account::no);
  rec.fullname = table.GetString(account::fullname);
  rec.pass = table.GetString(account::pass);
  rec.description = table.GetString(account::description);
  rec.permission = table.GetInt(account::permission);
  rec.level = table.GetInt(account::level);
  rec.active = table.GetBool(account::active);
  rec.remafter = table.GetInt(account::remafter);
  return true;
}

}  // namespace tovenmarsh::resources
