// An in-memory stand-in for the application tables, for tests of the table resources and
// lookup controls: one TMemoryStore per table holds the rows that every TMemoryTable opened
// on it sees (like one table file shared by many cursors); each TMemoryTable is one cursor
// with its own index, range, pending edit and transaction (an undo log).
//
// It keeps the rules the real tables keep: index order with case-insensitive strings where
// the index says so, unique keys, required fields, auto-increment numbers, the row after a
// deleted one becoming current. Faults can be injected: a Post that fails after a number of
// successful ones, a StartTransaction or a Delete that fails.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/exception.h"
#include "resources/database_resource.h"
#include "resources/table_access.h"
#include "resources/table_defs.h"

namespace tovenmarsh::resources::testing {

TM_DECLARE_EXCEPTION(EMemoryTableError, platform::Exception);

struct TMemoryStore {
  explicit TMemoryStore(const TAppTableDef& table) : def(table) {}
  const TAppTableDef& def;
  std::map<int64_t, std::vector<TFieldValue>> rows;  // record number -> field values
  int64_t nextRecNo = 1;
  int nextAutoInc = 1;
  int postsBeforeFailure = -1;  // >= 0: that many Posts succeed, the next one raises
  bool failStartTransaction = false;
  bool failDelete = false;
  int posts = 0;
};

// The nine stores, created on first use, and an opener that the resources use.
class TMemoryDatabase {
 public:
  TMemoryStore& Store(const TAppTableDef& table);
  TMemoryStore& Store(int pool) { return Store(*TableDefForPool(pool)); }
  TTableOpener Opener();
  // Numbers of the resources opened so far, in opening order.
  const std::vector<int>& OpenedNumbers() const { return opened_; }

 private:
  std::map<std::string, std::unique_ptr<TMemoryStore>> stores_;
  std::vector<int> opened_;
};

class TMemoryTable : public TTableAccess {
 public:
  explicit TMemoryTable(TMemoryStore& store);

  const std::string& TableName() const override { return name_; }
  void SetIndex(const std::string& indexName) override;
  void SetRange(const TKeyValues& key) override;
  void CancelRange() override;
  bool FindKey(const TKeyValues& key) override;
  void First() override;
  void Next() override;
  bool Eof() override;
  int RecordCount() override;
  void Refresh() override;
  TFieldValue Field(int position) override;
  void SetField(int position, const TFieldValue& value) override;
  TTableState State() const override { return state_; }
  void Insert() override;
  void Edit() override;
  void Post() override;
  void Cancel() override;
  void Delete() override;
  bool InTransaction() const override { return inTransaction_; }
  void StartTransaction() override;
  void Commit() override;
  void Rollback() override;

 private:
  struct TUndo {
    int64_t recNo;
    std::optional<std::vector<TFieldValue>> before;  // none: the row did not exist
  };

  void Rebuild();
  int Compare(const std::vector<TFieldValue>& row, const std::vector<int>& fields,
              const TKeyValues& key, bool caseInsensitive) const;
  bool Matches(const std::vector<TFieldValue>& row, const TKeyValues& key) const;
  void CheckPost(const std::vector<TFieldValue>& row, int64_t self) const;
  void Remember(int64_t recNo);
  const std::vector<TFieldValue>& Current() const;

  TMemoryStore& store_;
  std::string name_;
  const TAppIndexDef* index_ = nullptr;
  std::vector<int> indexFields_;
  std::optional<TKeyValues> range_;
  std::vector<int64_t> order_;
  size_t position_ = 0;
  TTableState state_ = TTableState::Browse;
  std::vector<TFieldValue> buffer_;
  int64_t editing_ = 0;
  bool inTransaction_ = false;
  std::vector<TUndo> undo_;
};

// Field positions of an index's ";"-list.
std::vector<int> IndexFieldPositions(const TAppTableDef& table, const TAppIndexDef& index);

}  // namespace tovenmarsh::resources::testing
