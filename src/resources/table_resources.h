// The nine table resources: each opens its table and adds that table's rules.
//
//   table       stamps on Insert                           Edit stamps   Delete removes first
//   account     created                                                  mailbox, extaccount rows
//   extaccount  mailboxid (new unique id), created                       extmailbox rows
//   alias       created                                                  maillist rows
//   maillist    created
//   company     postmaster false, bounce true, created                   alias, domain rows
//   domain      created
//   mailbox     created                                    lastretr
//   extmailbox  created
//   document    level 0, created, indexed false
#pragma once

#include <memory>

#include "resources/database_resource.h"

namespace tovenmarsh::resources {

class TAccountTable : public TDatabaseResource {
 public:
  TAccountTable(const TTableOpener& opener, TResourcePool* pool);
  void Insert() override;
  void Delete() override;
};

class TExtAccountTable : public TDatabaseResource {
 public:
  TExtAccountTable(const TTableOpener& opener, TResourcePool* pool);
  void Insert() override;
  void Delete() override;
};

class TAliasTable : public TDatabaseResource {
 public:
  TAliasTable(const TTableOpener& opener, TResourcePool* pool);
  void Insert() override;
  void Delete() override;
};

class TMailListTable : public TDatabaseResource {
 public:
  TMailListTable(const TTableOpener& opener, TResourcePool* pool);
  void Insert() override;
};

class TCompanyTable : public TDatabaseResource {
 public:
  TCompanyTable(const TTableOpener& opener, TResourcePool* pool);
  void Insert() override;
  void Delete() override;
};

class TDomainTable : public TDatabaseResource {
 public:
  TDomainTable(const TTableOpener& opener, TResourcePool* pool);
  void Insert() override;
};

class TMailBoxTable : public TDatabaseResource {
 public:
  TMailBoxTable(const TTableOpener& opener, TResourcePool* pool);
  void Insert() override;
  void Edit() override;
};

class TExtMailBoxTable : public TDatabaseResource {
 public:
  TExtMailBoxTable(const TTableOpener& opener, TResourcePool* pool);
  void Insert() override;
};

class TDocumentTable : public TDatabaseResource {
 public:
  TDocumentTable(const TTableOpener& opener, TResourcePool* pool);
  void Insert() override;
};

// A new table resource of the class that serves pool index (1..9) over opener; cascades
// borrow from pool. Raises EVDatabase for any other index.
std::unique_ptr<TDatabaseResource> CreateTableResource(int index, const TTableOpener& opener,
                                                       TResourcePool* pool);

// Registers pools 1..9 in index order, each with its table resource class and the sizes of
// its configuration keys (read through the system parameters).
void RegisterTablePools(TResourcePool& pool, const TTableOpener& opener);
// The same with every pool holding min to max resources, whatever the configuration says.
void RegisterTablePools(TResourcePool& pool, const TTableOpener& opener, int min, int max);

}  // namespace tovenmarsh::resources
