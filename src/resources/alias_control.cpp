// Alias, list-member and company lookups over borrowed alias, domain, company and maillist
// resources.
#include "resources/alias_control.h"

namespace tovenmarsh::resources {

TAliasControl::TAliasControl() { Borrow(DatabasePool()); }

TAliasControl::TAliasControl(TResourcePool& pool) { Borrow(pool); }

void TAliasControl::Borrow(TResourcePool& pool) {
  // A failure part-way gives back what was taken (the members release on unwinding).
  alias_ = std::make_unique<TResourceLease<>>(pool, piAlias);
  domain_ = std::make_unique<TResourceLease<>>(pool, piDomain);
  company_ = std::make_unique<TResourceLease<>>(pool, piCompany);
  maillist_ = std::make_unique<TResourceLease<>>(pool, piMaillist);
}

TAliasControl::~TAliasControl() {
  // Given back in the order borrowed.
  alias_.reset();
  domain_.reset();
  company_.reset();
  maillist_.reset();
}

int TAliasControl::FindAlias(TAliasRec& rec) {
  if (rec.companyno == 0 && !rec.domain.empty()) {
    TTableAccess& domains = (*domain_)->Table();
    domains.SetRange({rec.domain});
    domains.First();
    // A domain that is not ours is not local, whatever aliases other companies have.
    if (domains.Eof()) return 0;
    rec.companyno = domains.GetInt(domain::companyno);
    rec.domain = domains.GetString(domain::name);
  }

  TTableAccess& aliases = (*alias_)->Table();
  if (rec.companyno != 0) {
    aliases.SetRange({rec.name, rec.companyno});
  } else {
    aliases.SetRange({rec.name});
  }
  const int count = aliases.RecordCount();
  if (count == 0) return 0;
  if (count > 1) return -1;
  aliases.First();
  rec.name = aliases.GetString(alias::name);
  if (rec.companyno == 0) rec.companyno = aliases.GetInt(alias::companyno);
  rec.accountno = aliases.GetInt(alias::accountno);
  rec.description = aliases.GetString(alias::description);
  rec.active = aliases.GetBool(alias::active);
  rec.maillist = aliases.GetBool(alias::maillist);
  rec.expandable = aliases.GetBool(alias::expandable);
  return 1;
}

int TAliasControl::GetListMembers(const TAliasRec& rec, TMaillistRecs& list) {
  TTableAccess& members = (*maillist_)->Table();
  members.SetRange({rec.name, rec.companyno});
  int appended = 0;
  for (members.First(); !members.Eof(); members.Next()) {
    TMaillistRec member;
    member.forwardusr = members.GetString(maillist::forwardusr);
    member.forwarddomain = members.GetString(maillist::forwarddomain);
    member.fullname = members.GetString(maillist::fullname);
    member.description = members.GetString(maillist::description);
    list.push_back(std::move(member));
    ++appended;
  }
  return appended;
}

bool TAliasControl::GetCompany(TCompanyRec& rec) {
  TTableAccess& companies = (*company_)->Table();
  if (!companies.FindKey({rec.no})) return false;
  rec.name = companies.GetString(company::name);
  rec.postmaster = companies.GetBool(company::postmaster);
  rec.bounce = companies.GetBool(company::bounce);
  return true;
}

}  // namespace tovenmarsh::resources
