// The table component: one table of a database opened through an engine cursor, with the
// active index chosen by name, and table creation and deletion from field and index
// definitions.
//
// Contract: an empty TableName raises "Missing table name." (opening, creating, deleting). A
// TableName holding a folder ("/data/db/account", "C:\db\account") sets DatabaseName to the
// folder (with its trailing delimiter) and TableName to the file part, unless InMemory.
// InMemory forces DatabaseName "Memory". Exclusive, ReadOnly, InMemory and TableName change
// only while closed; after opening ReadOnly holds what the engine granted. CreateTable makes
// an ixPrimary definition the primary index (moved first); without one the table has no
// primary index and every definition is secondary. Every operation that attaches to the
// database for its duration detaches again, also when it fails. With a MasterSource and
// MasterFields the table shows only the records whose leading index fields equal the master's
// fields (a range, following every move of the master), and a new record takes the master's
// values. A Locate that the active index does not serve seeks through a second cursor of the
// table (same options and filter) on an index that does, made once per key-field list and case
// rule and dropped when the range or the filters change; without one it runs through an engine
// filter.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/data_link.h"
#include "dataset/fen_data_set.h"
#include "dataset/index_defs.h"

namespace tovenmarsh::dataset {

inline constexpr const char* kMissingTableName = "Missing table name.";

class TFenTable : public TFenDBDataSet {
 public:
  explicit TFenTable(TFenComponentOwner* owner = nullptr);
  ~TFenTable() override;

  const std::string& TableName() const { return tableName_; }
  void SetTableName(std::string name);
  // The active index by name (empty: the primary index) or by its ";"-separated field names;
  // each reads empty when the other chose the index.
  std::string IndexName() const { return byFieldNames_ ? std::string() : indexName_; }
  void SetIndexName(std::string name) { SetIndex(std::move(name), false); }
  std::string IndexFieldNames() const { return byFieldNames_ ? indexName_ : std::string(); }
  void SetIndexFieldNames(std::string names) { SetIndex(names, !names.empty()); }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  bool InMemory() const { return inMemory_; }
  void SetInMemory(bool value);
  void SetDatabaseName(std::string name) override;
  std::string EngineVersion() const { return "2.06"; }
  bool CanModify() const override { return TFenDataSet::CanModify() && !readOnly_; }

  TIndexDefs& IndexDefs() { return indexDefs_; }
  // Reads the table's index definitions unless they are up to date.
  void UpdateIndexDefs();
  // Reads the table's field definitions (from the open cursor or a short-lived one).
  void InitFieldDefs();

  // Key search on the active index: SetKey/EditKey start editing the search key (cleared /
  // kept), GotoKey seeks it exactly, GotoNearest the first key at or after it. FindKey puts the
  // values into the leading index fields and seeks them.
  void SetKey() { SetKeyBuffer(kKeySearch, true); }
  void EditKey() { SetKeyBuffer(kKeySearch, false); }
  bool GotoKey();
  void GotoNearest();
  bool FindKey(const std::vector<TVariant>& values);
  void FindNearest(const std::vector<TVariant>& values);
  // Ranges over the active index: only records whose leading key fields lie between the
  // bounds (inclusive) are visible; an empty range reads as Eof.
  void SetRangeStart() { SetKeyBuffer(kKeyRangeStart, true); }
  void SetRangeEnd() { SetKeyBuffer(kKeyRangeEnd, true); }
  void EditRangeStart() { SetKeyBuffer(kKeyRangeStart, false); }
  void EditRangeEnd() { SetKeyBuffer(kKeyRangeEnd, false); }
  void ApplyRange();
  void SetRange(const std::vector<TVariant>& startValues, const std::vector<TVariant>& endValues);
  void CancelRange();

  // True when open; false without a TableName; else whether the engine finds the table.
  bool Exists();
  // Adds an index (ixPrimary: the primary index) through the open table or, when closed, an
  // exclusive cursor of its own; the engine needs the table exclusively.
  void AddIndex(const std::string& name, const std::string& fields, TIndexOptions options);
  // Progress of AddIndex: the engine's two values (records done, percent).
  std::function<void(TFenTable&, int, int)> OnIndexProgress;
  void CreateTable();
  void DeleteTable();

  // Master/detail link ("Circular datalinks are not allowed" for a source leading back here).
  TDataSource* MasterSource() const { return masterLink_.DataSource(); }
  void SetMasterSource(TDataSource* source);
  const std::string& MasterFields() const { return masterLink_.FieldNames(); }
  void SetMasterFields(std::string names) { masterLink_.SetFieldNames(std::move(names)); }
  TDataSource* GetDataSource() const override { return masterLink_.DataSource(); }

  // The lookup cursor Locate and Lookup use now (none: no index served the last key list).
  engine::TDataCursor* LookupCursor() const { return lookupCursor_.get(); }

 protected:
  std::unique_ptr<engine::TDataCursor> CreateHandle() override;
  engine::TDataCursor* GetLookupCursor(const std::string& keyFields, bool caseInsensitive) override;
  void DestroyLookupCursor() override;
  void PrepareCursor() override;
  void PrepareNewRecord(uint8_t* buffer) override;

 private:
  // A cursor on the database's engine directory with this table's options (not opened).
  std::unique_ptr<engine::TDataCursor> NewCursor(bool exclusive);
  // Opens a cursor under the engine lock.
  void OpenUnderLock(engine::TDataCursor& cursor);
  // The open cursor, or a shared one opened for the call (kept in `own`).
  engine::TDataCursor& DefinitionCursor(std::unique_ptr<engine::TDataCursor>& own);
  void SetIndex(std::string text, bool fieldNames);
  // The engine's name of the index that the text chooses.
  std::string ResolveIndex(const std::string& text, bool fieldNames);
  bool SeekKey(bool nearest);
  void CheckTableName() const;
  // Follows the master's record / lets go of it.
  void MasterChanged();
  void MasterDisabled();
  bool MasterLinked() const { return masterLink_.Active() && !masterLink_.Fields().empty(); }

  std::string tableName_;
  std::string indexName_;
  bool byFieldNames_ = false;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool inMemory_ = false;
  TIndexDefs indexDefs_;
  TFenPasswordRequest passwordRequest_;
  TMasterDataLink masterLink_;
  std::unique_ptr<engine::TDataCursor> lookupCursor_;
  std::string lookupFields_;
  bool lookupCaseInsensitive_ = false;
  bool lookupKnown_ = false;  // lookupFields_ and the case rule were asked for already
};

}  // namespace tovenmarsh::dataset
