// Text links over stored tables: the documents the engines index and re-read, one row per
// document, numbered by an integer index field.
//
//   TtxTextDataSetLink      over any data set: field binding, positioning by index value,
//                           document processing (built-in per field type, or OnProcessField).
//   TtxTextBaseTableLink    busy nesting (index switched to IndexFieldName, position and index
//                           restored at the end) and the lowest / highest index values read at
//                           the ends of that index; the state reactions.
//   TtxCustomTextFenLink    over a TFenTable; TtxTextFenLink and TtxMakeTextFenLink.
//
// Contract:
// - FieldNames are processed in order; names that are not fields of the open table are
//   dropped at open; SubFieldNames not in FieldNames are dropped. IndexFieldName that is not a
//   field of the open table (or, closed, not in its field definitions) is dropped.
// - Built-in field rule: string fields are parsed into words; numeric, Boolean, date and time
//   fields give their display text as one word; BLOB and memo fields are read whole and
//   parsed; null fields and other types give nothing. With SubFieldNames, only those fields are
//   processed during a search (all during a build or update).
// - CurrentIndexValue without an index field raises 30492 "Missing IndexFieldName"; AtEnd and
//   Locate on a closed table 30472 "Text dataset is closed"; no table assigned 30481.
// - LowestIndex and HighestIndex cover every document of the table, whatever range or filter
//   the caller's table shows, and leave that table as it was (the TFenTable link reads them
//   through a table object of its own; where that cannot open, inside a busy level). A table
//   with no index on IndexFieldName is scanned instead. An empty table gives 0 for both.
// - A busy level (build, verifying, ranking) selects the index on IndexFieldName when the
//   current index does not start with it; switching an index lifts a range set on the old one.
// - The link does not own its table; the table must outlive the link or be unset first.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "dataset/bookmarks.h"
#include "fulltext/tx_links.h"

namespace tovenmarsh::dataset {
class TDataSet;
class TField;
class TFenTable;
}  // namespace tovenmarsh::dataset

namespace tovenmarsh::fulltext {

class TtxTextDataSetLink : public TtxDocumentLink {
 public:
  using TProcessFieldEvent = std::function<void(TtxTextDataSetLink&, TtxEngine&, dataset::TField&)>;
  using TIndexEvent = std::function<int32_t(TtxTextDataSetLink&)>;

  TtxTextDataSetLink();
  ~TtxTextDataSetLink() override;

  dataset::TDataSet* DataSet() const { return dataSet_; }

  void SetFieldNames(std::vector<std::string> names) override;
  void SetIndexFieldName(std::string name) override;
  // The bound fields of FieldNames (open table), in order.
  const std::vector<dataset::TField*>& Fields() const { return fields_; }

  TProcessFieldEvent OnProcessField;
  std::function<void(TtxTextDataSetLink&)> AfterProcess;
  TIndexEvent OnMinIndex;
  TIndexEvent OnMaxIndex;

  bool IsOpen() const;
  virtual void Open();
  virtual void Close();
  int32_t Range() { return HighestIndex() - LowestIndex(); }

  int32_t CurrentIndexValue() override;
  bool AtEnd() override;
  bool First() override;
  bool Last() override;
  bool Next() override;
  bool Locate(int32_t value) override;
  bool GotoNearest(int32_t value) override;
  void ProcessDocument(TtxEngine& engine) override;
  // The built-in rule for one field.
  void ProcessField(TtxEngine& engine, dataset::TField& field);

  // Names of all fields (open) or field definitions (closed).
  virtual void FieldList(std::vector<std::string>& list);

  void StateEntered(TtxEngine& engine, int bit) override;
  void StateLeft(TtxEngine& engine, int bit) override;

 protected:
  void SetDataSet(dataset::TDataSet* dataSet);
  dataset::TDataSet& CheckOpen();
  void Bind();
  void Unbind();
  virtual void BeginBusy() {}
  virtual void EndBusy() {}
  int32_t FindLowestIndex() override;
  int32_t FindHighestIndex() override;
  // Both ends by walking the table (no index to read them from).
  void ScanRange(int32_t& lowest, int32_t& highest);
  virtual void ReadRange(int32_t& lowest, int32_t& highest);

  dataset::TDataSet* dataSet_ = nullptr;
  dataset::TField* indexField_ = nullptr;
  std::vector<dataset::TField*> fields_;
  bool ansi_ = true;
  int busyLevels_ = 0;  // levels begun by state reactions
};

class TtxTextBaseTableLink : public TtxTextDataSetLink {
 public:
  void Close() override;
  int BusyDepth() const { return busy_; }

 protected:
  void BeginBusy() override;
  void EndBusy() override;
  void ReadRange(int32_t& lowest, int32_t& highest) override;
  // The table's index: first field of the current one, whether it is descending, and the
  // current selection (by name, or by field names) to save and restore.
  virtual std::string CurrentIndexFirstField() = 0;
  virtual bool CurrentIndexDescending() = 0;
  virtual void SaveIndex(std::string& name, std::string& fieldNames) = 0;
  virtual void RestoreIndex(const std::string& name, const std::string& fieldNames) = 0;
  virtual void SelectIndexField() = 0;

  int busy_ = 0;
  dataset::TBookmark saved_;
  bool indexSaved_ = false;
  std::string savedName_;
  std::string savedFieldNames_;
};

class TtxCustomTextFenLink : public TtxTextBaseTableLink {
 public:
  dataset::TFenTable* FenTable() const { return table_; }
  void SetFenTable(dataset::TFenTable* table);
  bool GotoNearest(int32_t value) override;
  void FieldList(std::vector<std::string>& list) override;
  void SetIndexFieldName(std::string name) override;
  // Field lists of the index definitions with their positions; unless all, only single-field
  // indexes on small integer, integer, word or auto-increment fields.
  void IndexList(std::vector<std::pair<std::string, int>>& list, bool all);
  // 0 database name, 1 table name, 2 index name, 3 index field names, 4 first field of the
  // current index (read only), 5 "D" when the index on IndexFieldName is descending, else "A".
  std::string Parameter(int number);
  void SetParameter(int number, const std::string& value);

 protected:
  std::string CurrentIndexFirstField() override;
  bool CurrentIndexDescending() override;
  void SaveIndex(std::string& name, std::string& fieldNames) override;
  void RestoreIndex(const std::string& name, const std::string& fieldNames) override;
  void SelectIndexField() override;
  // Reads the ends of the index on IndexFieldName through a second table object over the same
  // table, so that the caller's table keeps its index, range, filter and position.
  void ReadRange(int32_t& lowest, int32_t& highest) override;

  dataset::TFenTable* table_ = nullptr;
};

class TtxTextFenLink : public TtxCustomTextFenLink {};
class TtxMakeTextFenLink : public TtxCustomTextFenLink {};

}  // namespace tovenmarsh::fulltext
