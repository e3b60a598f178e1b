// The nine table resources: insert and edit stamps and the cascading deletes of each table.
#include "resources/table_resources.h"

#include <utility>

#include "core/log.h"
#include "core/system_parameters.h"
#include "core/unique_id.h"
#include "platform/date_time.h"
#include "platform/format.h"

namespace tovenmarsh::resources {
namespace {

const TAppTableDef& Def(int pool) { return *TableDefForPool(pool); }

}  // namespace

TAccountTable::TAccountTable(const TTableOpener& opener, TResourcePool* pool)
    : TDatabaseResource(Def(piAccount), opener, pool) {}

void TAccountTable::Insert() {
  TDatabaseResource::Insert();
  Table().SetField(account::created, platform::Now());
}

void TAccountTable::Delete() {
  const int no = Table().GetInt(account::no);
  CascadeDelete(piMailbox, "accountno", {no});
  CascadeDelete(piExtAccount, "accountno", {no});
  TDatabaseResource::Delete();
}

TExtAccountTable::TExtAccountTable(const TTableOpener& opener, TResourcePool* pool)
    : TDatabaseResource(Def(piExtAccount), opener, pool) {}

void TExtAccountTable::Insert() {
  TDatabaseResource::Insert();
  Table().SetField(extaccount::mailboxid, core::MakeUniqueId(0));
  Table().SetField(extaccount::created, platform::Now());
}

void TExtAccountTable::Delete() {
  // An empty key would range over nothing or, on a NULL-tolerant index, over every mailbox's
  // history; a row without a mailbox id has no UIDL rows of its own.
  const std::string mailboxid = Table().GetString(extaccount::mailboxid);
  if (!mailboxid.empty()) CascadeDelete(piExtMailbox, "", {mailboxid});
  TDatabaseResource::Delete();
}

TAliasTable::TAliasTable(const TTableOpener& opener, TResourcePool* pool)
    : TDatabaseResource(Def(piAlias), opener, pool) {}

void TAliasTable::Insert() {
  TDatabaseResource::Insert();
  Table().SetField(alias::created, platform::Now());
}

void TAliasTable::Delete() {
  CascadeDelete(piMaillist, "",
                {Table().GetString(alias::name), Table().GetInt(alias::companyno)});
  TDatabaseResource::Delete();
}

TMailListTable::TMailListTable(const TTableOpener& opener, TResourcePool* pool)
    : TDatabaseResource(Def(piMaillist), opener, pool) {}

void TMailListTable::Insert() {
  TDatabaseResource::Insert();
  Table().SetField(maillist::created, platform::Now());
}

TCompanyTable::TCompanyTable(const TTableOpener& opener, TResourcePool* pool)
    : TDatabaseResource(Def(piCompany), opener, pool) {}

void TCompanyTable::Insert() {
  TDatabaseResource::Insert();
  Table().SetField(company::postmaster, false);
  Table().SetField(company::bounce, true);
  Table().SetField(company::created, platform::Now());
}

void TCompanyTable::Delete() {
  const int no = Table().GetInt(company::no);
  CascadeDelete(piAlias, "companyno", {no});
  CascadeDelete(piDomain, "companyno", {no});
  TDatabaseResource::Delete();
}

TDomainTable::TDomainTable(const TTableOpener& opener, TResourcePool* pool)
    : TDatabaseResource(Def(piDomain), opener, pool) {}

void TDomainTable::Insert() {
  TDatabaseResource::Insert();
  Table().SetField(domain::created, platform::Now());
}

TMailBoxTable::TMailBoxTable(const TTableOpener& opener, TResourcePool* pool)
    : TDatabaseResource(Def(piMailbox), opener, pool) {}

void TMailBoxTable::Insert() {
  TDatabaseResource::Insert();
  Table().SetField(mailbox::created, platform::Now());
}

void TMailBoxTable::Edit() {
  TDatabaseResource::Edit();
  Table().SetField(mailbox::lastretr, platform::Now());
}

TExtMailBoxTable::TExtMailBoxTable(const TTableOpener& opener, TResourcePool* pool)
    : TDatabaseResource(Def(piExtMailbox), opener, pool) {}

void TExtMailBoxTable::Insert() {
  TDatabaseResource::Insert();
  Table().SetField(extmailbox::created, platform::Now());
}

TDocumentTable::TDocumentTable(const TTableOpener& opener, TResourcePool* pool)
    : TDatabaseResource(Def(piDocument), opener, pool) {}

void TDocumentTable::Insert() {
  TDatabaseResource::Insert();
  Table().SetField(document::level, 0);
  Table().SetField(document::created, platform::Now());
  Table().SetField(document::indexed, false);
}

std::unique_ptr<TDatabaseResource> CreateTableResource(int index, const TTableOpener& opener,
                                                       TResourcePool* pool) {
  switch (index) {
    case piAccount: return std::make_unique<TAccountTable>(opener, pool);
    case piExtAccount: return std::make_unique<TExtAccountTable>(opener, pool);
    case piAlias: return std::make_unique<TAliasTable>(opener, pool);
    case piMaillist: return std::make_unique<TMailListTable>(opener, pool);
    case piCompany: return std::make_unique<TCompanyTable>(opener, pool);
    case piDomain: return std::make_unique<TDomainTable>(opener, pool);
    case piMailbox: return std::make_unique<TMailBoxTable>(opener, pool);
    case piExtMailbox: return std::make_unique<TExtMailBoxTable>(opener, pool);
    case piDocument: return std::make_unique<TDocumentTable>(opener, pool);
    default: throw EVDatabase(platform::Format("No table resource for pool %d", index));
  }
}

namespace {

// Registers the nine table pools over opener, each sized by sizes(index) as {min, max}.
template <typename TSizes>
void RegisterPools(TResourcePool& pool, const TTableOpener& opener, TSizes sizes) {
  TResourcePool* owner = &pool;
  for (int index = piAccount; index <= piDocument; ++index) {
    const auto [min, max] = sizes(index);
    pool.Register(
        index,
        [index, opener, owner]() -> std::unique_ptr<TResourceItem> {
          return CreateTableResource(index, opener, owner);
        },
        min, max);
  }
}

}  // namespace

void RegisterTablePools(TResourcePool& pool, const TTableOpener& opener) {
  const core::TSystemParameters& parameters = core::SystemParameters();
  RegisterPools(pool, opener, [&](int index) {
    const TAppTableDef& def = Def(index);
    return std::pair{parameters.GetInt(def.minKey), parameters.GetInt(def.maxKey)};
  });
}

void RegisterTablePools(TResourcePool& pool, const TTableOpener& opener, int min, int max) {
  RegisterPools(pool, opener, [&](int) { return std::pair{min, max}; });
}

}  // namespace tovenmarsh::resources
