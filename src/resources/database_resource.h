// A pooled table resource: one open application table on a session and database of its own,
// so that no two threads share a data set, plus the table's rules (insert stamps, cascading
// deletes) and small transaction helpers.
//
// Every resource takes a number from a process-wide counter and names its session
// "RunTimeSession<n>" and its database "RunTimeDatabase<n>", so resources created at the same
// moment never share them.
//
// Reset (on every Acquire) hands the next borrower a clean resource: a change left pending is
// cancelled and a transaction left open is rolled back (both logged), then the range is
// lifted, the primary index made current and the rows re-read.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "resources/resource_pool.h"
#include "resources/table_access.h"
#include "resources/table_defs.h"

namespace tovenmarsh::resources {

// Opens the table of a new resource; number names the resource's own session and database.
using TTableOpener =
    std::function<std::unique_ptr<TTableAccess>(const TAppTableDef& table, int number)>;

// The next number of the process-wide resource counter (1, 2, ...).
int NextResourceNumber();

class TDatabaseResource : public TResourceItem {
 public:
  // Opens the table through opener. pool is where cascading deletes borrow child resources
  // (it may be null for a table without cascades).
  TDatabaseResource(const TAppTableDef& table, const TTableOpener& opener, TResourcePool* pool);
  ~TDatabaseResource() override;

  int Number() const { return number_; }
  std::string SessionName() const;
  std::string DatabaseName() const;
  const TAppTableDef& Definition() const { return definition_; }
  TTableAccess& Table() { return *table_; }

  void Reset() override;

  // Commits a transaction left open, then starts a new one.
  void BeginWork();
  // Commits when a transaction is open.
  void CommitWork();
  // Cancels a pending change, then rolls back when a transaction is open.
  void RollbackWork();

  // The table's rules over the current row. Insert starts a new row and stamps its defaults,
  // Edit starts changing the current row (with its stamps), Post writes it, Delete removes the
  // current row's children in their tables (each child table in a transaction of its own)
  // and then the row itself.
  virtual void Insert();
  virtual void Edit();
  virtual void Post();
  virtual void Delete();

 protected:
  // One cascade step: deletes, through a resource of childPool, every row whose leading
  // fields of childIndex equal key. Commits on its own; on failure rolls back and re-raises.
  void CascadeDelete(int childPool, const std::string& childIndex, const TKeyValues& key);

 private:
  const TAppTableDef& definition_;
  TResourcePool* pool_;
  const int number_;
  std::unique_ptr<TTableAccess> table_;
};

// Borrows one resource for a scope and gives it back to the pool it came from.
// Raises EVDatabase when the pool is shut or hands out an item that is no T.
template <class T = TDatabaseResource>
class TResourceLease {
 public:
  TResourceLease(TResourcePool& pool, int index) : pool_(pool), index_(index) {
    TResourceItem* item = pool.Acquire(index);
    if (item == nullptr) throw EVDatabase("Database resources are shut down");
    resource_ = dynamic_cast<T*>(item);
    if (resource_ == nullptr) {
      pool.Release(index, item);
      throw EVDatabase("Resource pool holds items of another kind");
    }
  }
  TResourceLease(const TResourceLease&) = delete;
  TResourceLease& operator=(const TResourceLease&) = delete;
  ~TResourceLease() { pool_.Release(index_, resource_); }

  T* operator->() const { return resource_; }
  T& operator*() const { return *resource_; }
  T* Get() const { return resource_; }
  int Index() const { return index_; }

 private:
  TResourcePool& pool_;
  const int index_;
  T* resource_ = nullptr;
};

}  // namespace tovenmarsh::resources
