// Alias, mailing-list and company lookups for mail delivery. Holds an alias (pool 3), domain
// (6), company (5) and maillist (4) resource, borrowed in that order and given back in that
// order; belongs to the thread that created it.
#pragma once

#include <memory>

#include "resources/database_resource.h"
#include "resources/record_types.h"

namespace tovenmarsh::resources {

class TAliasControl {
 public:
  TAliasControl();
  explicit TAliasControl(TResourcePool& pool);
  ~TAliasControl();

  // Resolves rec.name (within rec.companyno, or within rec.domain's company when companyno
  // is 0) and answers 0 (none), 1 (one; rec filled) or -1 (several; rec unchanged).
  // A domain (any letter case) that is in the domain table sets companyno and the domain as
  // stored; a non-empty domain that is not there is no local domain: 0, companyno stays 0.
  // Only with an empty domain and companyno 0 is the name looked for in every company.
  int FindAlias(TAliasRec& rec);
  // Appends the members of the list rec.name in company rec.companyno, in key order; answers
  // how many were appended.
  int GetListMembers(const TAliasRec& rec, TMaillistRecs& list);
  // Looks up company rec.no; fills name, postmaster and bounce.
  bool GetCompany(TCompanyRec& rec);

 private:
  void Borrow(TResourcePool& pool);

  std::unique_ptr<TResourceLease<>> alias_;
  std::unique_ptr<TResourceLease<>> domain_;
  std::unique_ptr<TResourceLease<>> company_;
  std::unique_ptr<TResourceLease<>> maillist_;
};

}  // namespace tovenmarsh::resources
