// A small in-memory stand-in for the application tables, for the web page tests: one store per
// table holds the rows every cursor opened on it sees; each cursor has its own index, range
// and pending edit; a transaction snapshots the store and a rollback restores it. It keeps the
// rules the pages meet: index order (case-insensitive strings where the index says so), exact
// ranges on leading fields, unique primary keys, required fields, auto-increment numbers. A
// Post can be made to fail after a number of successful ones.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "resources/database_resource.h"
#include "resources/resource_pool.h"
#include "resources/table_access.h"
#include "resources/table_defs.h"

namespace tovenmarsh::web::testing {

TM_DECLARE_EXCEPTION(EWebMemoryTableError, platform::Exception);

using TRow = std::vector<resources::TFieldValue>;

struct TWebMemoryStore {
  explicit TWebMemoryStore(const resources::TAppTableDef& table) : def(table) {}
  const resources::TAppTableDef& def;
  std::map<int64_t, TRow> rows;  // insertion number -> fields
  int64_t nextSeq = 1;
  int nextAutoInc = 1;
  int failPostAfter = -1;  // >= 0: that many Posts succeed, the next raises
  int posts = 0;
};

class TWebMemoryTable : public resources::TTableAccess {
 public:
  explicit TWebMemoryTable(TWebMemoryStore& store);

  const std::string& TableName() const override { return name_; }
  void SetIndex(const std::string& indexName) override;
  void SetRange(const resources::TKeyValues& key) override;
  void CancelRange() override;
  bool FindKey(const resources::TKeyValues& key) override;
  void First() override;
  void Next() override;
  bool Eof() override;
  int RecordCount() override;
  void Refresh() override {}
  resources::TFieldValue Field(int position) override;
  void SetField(int position, const resources::TFieldValue& value) override;
  resources::TTableState State() const override { return state_; }
  void Insert() override;
  void Edit() override;
  void Post() override;
  void Cancel() override;
  void Delete() override;
  bool InTransaction() const override { return snapshot_.has_value(); }
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;

 private:
  struct TIndexField {
    int position;
    bool caseInsensitive;
  };
  std::vector<int64_t> View() const;
  int Compare(const TRow& a, const TRow& b, const std::vector<TIndexField>& fields) const;
  bool Matches(const TRow& row, const resources::TKeyValues& key) const;

  TWebMemoryStore& store_;
  std::string name_;
  std::vector<TIndexField> index_;
  std::vector<TIndexField> primary_;
  std::optional<resources::TKeyValues> range_;
  int64_t current_ = -1;
  resources::TTableState state_ = resources::TTableState::Browse;
  TRow buffer_;
  struct TSnapshot {
    std::map<int64_t, TRow> rows;
    int64_t nextSeq;
    int nextAutoInc;
  };
  std::optional<TSnapshot> snapshot_;
};

// The nine stores and a process pool of table resources over them (each pool up to 4).
class TWebTestTables {
 public:
  TWebTestTables();
  ~TWebTestTables();

  resources::TResourcePool& Pool() { return *pool_; }
  TWebMemoryStore& Store(int pool);
  // Inserts a row through the table's resource (its stamps apply), committed.
  void Insert(int pool, const std::vector<std::pair<int, resources::TFieldValue>>& fields);
  int Count(int pool) { return static_cast<int>(Store(pool).rows.size()); }
  // Every row of a table as text ("f1|f2|..." per row, in insertion order), dates left out.
  std::vector<std::string> Dump(int pool);
  // Free slots of every pool, to check that pages give their resources back.
  std::vector<int> FreeSlots();

 private:
  std::map<int, std::unique_ptr<TWebMemoryStore>> stores_;
  std::unique_ptr<resources::TResourcePool> pool_;
};

}  // namespace tovenmarsh::web::testing
