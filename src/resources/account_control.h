// Account lookups for mail and sessions. Holds one account resource (pool 1) from
// construction to destruction; belongs to the thread that created it.
#pragma once

#include <string>

#include "resources/database_resource.h"
#include "resources/record_types.h"

namespace tovenmarsh::resources {

class TAccountControl {
 public:
  // Borrows from the process's pool (DatabasePool) or from the given one; raises
  // EVPoolExhausted / EVResAllocError / EVDatabase when that fails.
  TAccountControl();
  explicit TAccountControl(TResourcePool& pool);

  // The first run of decimal digits in name as a number ("abc12" 12, "a1b2" 1); 0 when there
  // is none or it does not convert.
  static int AccountNoFromName(const std::string& name);

  // When rec.no is 0 it is taken from AccountNoFromName(rec.name) first; still 0 gives false
  // without touching the table. Fills no, fullname, pass, description, permission, level,
  // active and remafter of the account found; never changes rec.name.
  bool GetAccount(TAccountRec& rec);

 private:
  TResourceLease<> account_;
};

}  // namespace tovenmarsh::resources
