// Text links over stored tables (see tx_text_links.h).
#include "fulltext/tx_text_links.h"

#include <algorithm>
#include <memory>

#include "dataset/data_set.h"
#include "dataset/database_error.h"
#include "dataset/fen_table.h"
#include "dataset/field_defs.h"
#include "dataset/fields.h"
#include "dataset/index_defs.h"
#include "fulltext/cl_errors.h"
#include "fulltext/tx_engine.h"

namespace tovenmarsh::fulltext {

using dataset::TField;
using dataset::TVariant;

namespace {

bool InList(const std::vector<std::string>& list, const std::string& name) {
  return std::any_of(list.begin(), list.end(), [&](const std::string& n) { return dataset::SameName(n, name); });
}

}  // namespace

// ---- TtxTextDataSetLink ----

TtxTextDataSetLink::TtxTextDataSetLink() = default;
TtxTextDataSetLink::~TtxTextDataSetLink() = default;

void TtxTextDataSetLink::SetDataSet(dataset::TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  Unbind();
  dataSet_ = dataSet;
  ForgetRange();
}

bool TtxTextDataSetLink::IsOpen() const { return dataSet_ != nullptr && dataSet_->Active(); }

dataset::TDataSet& TtxTextDataSetLink::CheckOpen() {
  if (dataSet_ == nullptr) RaiseTextIndex(txeInvalidTextDataSet);
  if (!dataSet_->Active()) RaiseTextIndex(txeTextDataSetClosed);
  if (indexField_ == nullptr && fields_.empty()) Bind();
  return *dataSet_;
}

void TtxTextDataSetLink::SetFieldNames(std::vector<std::string> names) {
  fieldNames_ = std::move(names);
  if (IsOpen()) Bind();
}

void TtxTextDataSetLink::SetIndexFieldName(std::string name) {
  if (IsOpen() && !name.empty() && dataSet_->FindField(name) == nullptr) name.clear();
  indexFieldName_ = std::move(name);
  indexField_ = nullptr;
  ForgetRange();
  if (IsOpen()) Bind();
}

void TtxTextDataSetLink::Open() {
  if (dataSet_ == nullptr) RaiseTextIndex(txeInvalidTextDataSet);
  if (!dataSet_->Active()) dataSet_->Open();
  Bind();
}

void TtxTextDataSetLink::Close() {
  if (dataSet_ != nullptr && dataSet_->Active()) dataSet_->Close();
  Unbind();
}

void TtxTextDataSetLink::Unbind() {
  indexField_ = nullptr;
  fields_.clear();
}

void TtxTextDataSetLink::Bind() {
  dataset::TDataSet& ds = *dataSet_;
  std::vector<std::string> kept;
  fields_.clear();
  for (const std::string& name : fieldNames_) {
    TField* field = ds.FindField(name);
    if (field == nullptr) continue;
    kept.push_back(name);
    fields_.push_back(field);
  }
  fieldNames_ = std::move(kept);
  indexField_ = indexFieldName_.empty() ? nullptr : ds.FindField(indexFieldName_);
  if (indexField_ == nullptr) indexFieldName_.clear();
  if (!fieldNames_.empty()) {
    std::vector<std::string> sub;
    for (const std::string& name : subFieldNames_)
      if (InList(fieldNames_, name)) sub.push_back(name);
    subFieldNames_ = std::move(sub);
  }
}

int32_t TtxTextDataSetLink::CurrentIndexValue() {
  if (dataSet_ == nullptr) RaiseTextIndex(txeInvalidTextDataSet);
  if (IsOpen() && indexField_ == nullptr && !indexFieldName_.empty()) Bind();
  if (indexField_ == nullptr) RaiseTextIndex(txeMissingIndexFieldName);
  return indexField_->AsInteger();
}

bool TtxTextDataSetLink::AtEnd() { return CheckOpen().Eof(); }

bool TtxTextDataSetLink::First() {
  if (!IsOpen()) return false;
  dataSet_->First();
  return !dataSet_->Eof();
}

bool TtxTextDataSetLink::Last() {
  if (!IsOpen()) return false;
  dataSet_->Last();
  return !dataSet_->IsEmpty();
}

bool TtxTextDataSetLink::Next() {
  dataset::TDataSet& ds = CheckOpen();
  ds.Next();
  return !ds.Eof();
}

bool TtxTextDataSetLink::Locate(int32_t value) {
  dataset::TDataSet& ds = CheckOpen();
  if (indexField_ == nullptr) RaiseTextIndex(txeMissingIndexFieldName);
  return ds.Locate(indexFieldName_, {TVariant(static_cast<int>(value))}, 0);
}

bool TtxTextDataSetLink::GotoNearest(int32_t /*value*/) { return false; }

void TtxTextDataSetLink::ProcessField(TtxEngine& engine, TField& field) {
  if (field.IsNull()) return;
  switch (field.DataType()) {
    case dataset::ftString:
    case dataset::ftFixedChar:
    case dataset::ftWideString: {
      std::string text = field.AsString();  // parsed in place: no second copy
      engine.ParseText(text.data(), text.size());
      break;
    }
    case dataset::ftSmallint:
    case dataset::ftInteger:
    case dataset::ftWord:
    case dataset::ftAutoInc:
    case dataset::ftBoolean:
    case dataset::ftFloat:
    case dataset::ftCurrency:
    case dataset::ftBCD:
    case dataset::ftDate:
    case dataset::ftTime:
    case dataset::ftDateTime:
      engine.AddWord(field.AsString(), true);
      break;
    case dataset::ftBlob:
    case dataset::ftMemo:
    case dataset::ftFmtMemo:
    case dataset::ftGraphic:
    case dataset::ftTypedBinary: {
      std::unique_ptr<platform::TStream> blob =
          dataSet_->CreateBlobStream(field, dataset::TBlobStreamMode::bmRead);
      const int64_t size = blob->Size();
      if (size <= 0) break;
      SetWorkBufferSize(static_cast<size_t>(size));
      blob->ReadBuffer(WorkBuffer(), static_cast<size_t>(size));
      engine.ParseText(reinterpret_cast<char*>(WorkBuffer()), static_cast<size_t>(size));
      break;
    }
    default:
      break;
  }
}

void TtxTextDataSetLink::ProcessDocument(TtxEngine& engine) {
  CheckOpen();
  engine.SetIndexValue(CurrentIndexValue());
  const bool all = subFieldNames_.empty() ||
                   (engine.State() & (StateOf(esBuilding) | StateOf(esUpdating))) != 0;
  for (size_t i = 0; i < fields_.size(); ++i) {
    StartField(engine);
    TField& field = *fields_[i];
    if (!all && !InList(subFieldNames_, field.FieldName())) continue;
    if (OnProcessField) OnProcessField(*this, engine, field);
    else if (engine.WantsWords()) ProcessField(engine, field);
  }
  ++processed_;
  if (AfterProcess) AfterProcess(*this);
}

void TtxTextDataSetLink::FieldList(std::vector<std::string>& list) {
  list.clear();
  if (dataSet_ == nullptr) RaiseTextIndex(txeInvalidTextDataSet);
  if (dataSet_->Active()) {
    for (int i = 0; i < dataSet_->FieldCount(); ++i) list.push_back(dataSet_->Fields()[i].FieldName());
  } else {
    for (int i = 0; i < dataSet_->FieldDefs().Count(); ++i) list.push_back(dataSet_->FieldDefs()[i].Name());
  }
}

void TtxTextDataSetLink::ScanRange(int32_t& lowest, int32_t& highest) {
  dataset::TDataSet& ds = *dataSet_;
  lowest = highest = 0;
  bool first = true;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    const int32_t v = CurrentIndexValue();
    if (first || v < lowest) lowest = v;
    if (first || v > highest) highest = v;
    first = false;
  }
}

void TtxTextDataSetLink::ReadRange(int32_t& lowest, int32_t& highest) {
  BeginBusy();
  try {
    ScanRange(lowest, highest);
  } catch (...) {
    EndBusy();
    throw;
  }
  EndBusy();
}

int32_t TtxTextDataSetLink::FindLowestIndex() {
  if (OnMinIndex) return OnMinIndex(*this);
  if (indexFieldName_.empty()) return 0;  // until the stored properties name the index field
  if (!IsOpen()) Open();
  int32_t lowest = 0, highest = 0;
  ReadRange(lowest, highest);
  if (highest_ == kUnknownIndex && !OnMaxIndex) highest_ = highest;
  return lowest;
}

int32_t TtxTextDataSetLink::FindHighestIndex() {
  if (OnMaxIndex) return OnMaxIndex(*this);
  if (indexFieldName_.empty()) return 0;  // until the stored properties name the index field
  if (!IsOpen()) Open();
  int32_t lowest = 0, highest = 0;
  ReadRange(lowest, highest);
  if (lowest_ == kUnknownIndex && !OnMinIndex) lowest_ = lowest;
  return highest;
}

void TtxTextDataSetLink::StateEntered(TtxEngine& engine, int bit) {
  switch (bit) {
    case esBuilding:
      if (fieldNames_.empty()) RaiseTextIndex(txeNoFieldNames);
      ForgetRange();
      ansi_ = engine.Ansi();
      Open();
      if (fieldNames_.empty()) RaiseTextIndex(txeNoFieldNames);
      BeginBusy();
      ++busyLevels_;
      break;
    case esUpdating:
      Open();
      break;
    case esSearching:
      if (!IsOpen()) Open();
      else Bind();
      // Without an index field (the stored properties name it later) the range waits.
      if (!indexFieldName_.empty() && (lowest_ == kUnknownIndex || highest_ == kUnknownIndex)) {
        LowestIndex();
        HighestIndex();
      }
      break;
    case esVerifying:
    case esRanking:
    case esState9:
      if (!IsOpen()) Open();
      BeginBusy();
      ++busyLevels_;
      break;
    default:
      break;
  }
}

void TtxTextDataSetLink::StateLeft(TtxEngine& /*engine*/, int bit) {
  if (bit != esBuilding && bit != esVerifying && bit != esRanking && bit != esState9) return;
  if (busyLevels_ == 0) return;
  --busyLevels_;
  EndBusy();
}

// ---- TtxTextBaseTableLink ----

void TtxTextBaseTableLink::Close() {
  saved_.clear();
  busy_ = 0;
  busyLevels_ = 0;
  indexSaved_ = false;
  TtxTextDataSetLink::Close();
}

void TtxTextBaseTableLink::BeginBusy() {
  if (busy_++ > 0) return;
  dataset::TDataSet& ds = CheckOpen();
  ds.DisableControls();
  saved_ = ds.IsEmpty() ? dataset::TBookmark() : ds.GetBookmark();
  indexSaved_ = false;
  if (!indexFieldName_.empty() && !dataset::SameName(CurrentIndexFirstField(), indexFieldName_)) {
    SaveIndex(savedName_, savedFieldNames_);
    indexSaved_ = true;
    try {
      SelectIndexField();
    } catch (...) {
      // No index on the index field: the range is found by scanning, positions by locate.
      RestoreIndex(savedName_, savedFieldNames_);
      indexSaved_ = false;
    }
  }
}

void TtxTextBaseTableLink::EndBusy() {
  if (busy_ == 0 || --busy_ > 0) return;
  if (!IsOpen()) return;
  dataset::TDataSet& ds = *dataSet_;
  struct Enable {
    dataset::TDataSet& ds;
    ~Enable() {
      if (ds.ControlsDisabled()) ds.EnableControls();
    }
  } enable{ds};
  if (indexSaved_) {
    indexSaved_ = false;
    RestoreIndex(savedName_, savedFieldNames_);
  }
  if (!saved_.empty()) {
    try {
      ds.GotoBookmark(saved_);
    } catch (...) {
      // The document went away meanwhile; the position is only a courtesy.
    }
    saved_.clear();
  }
}

void TtxTextBaseTableLink::ReadRange(int32_t& lowest, int32_t& highest) {
  BeginBusy();
  try {
    dataset::TDataSet& ds = *dataSet_;
    if (ds.IsEmpty()) {
      lowest = highest = 0;
    } else if (indexFieldName_.empty() || !dataset::SameName(CurrentIndexFirstField(), indexFieldName_)) {
      ScanRange(lowest, highest);
    } else {
      ds.First();
      const int32_t first = CurrentIndexValue();
      ds.Last();
      const int32_t last = CurrentIndexValue();
      const bool descending = CurrentIndexDescending();
      lowest = descending ? last : first;
      highest = descending ? first : last;
    }
  } catch (...) {
    EndBusy();
    throw;
  }
  EndBusy();
}

// ---- TtxCustomTextFenLink ----

void TtxCustomTextFenLink::SetFenTable(dataset::TFenTable* table) {
  if (table == table_) return;
  saved_.clear();
  busy_ = 0;
  busyLevels_ = 0;
  indexSaved_ = false;
  table_ = table;
  SetDataSet(table);
}

void TtxCustomTextFenLink::SetIndexFieldName(std::string name) {
  if (table_ != nullptr && !table_->Active() && !name.empty() && !table_->TableName().empty()) {
    try {
      table_->FieldDefs().SetUpdated(false);
      table_->InitFieldDefs();
      if (table_->FieldDefs().IndexOf(name) < 0) name.clear();
    } catch (...) {
      // A table that cannot be read yet keeps the name; binding checks it at open.
    }
  }
  TtxTextDataSetLink::SetIndexFieldName(std::move(name));
}

bool TtxCustomTextFenLink::GotoNearest(int32_t value) {
  CheckOpen();
  if (indexField_ == nullptr) RaiseTextIndex(txeMissingIndexFieldName);
  if (!dataset::SameName(CurrentIndexFirstField(), indexFieldName_)) table_->SetIndexFieldNames(indexFieldName_);
  table_->FindNearest({TVariant(static_cast<int>(value))});
  return !table_->Eof();
}

void TtxCustomTextFenLink::FieldList(std::vector<std::string>& list) {
  if (table_ != nullptr && !table_->Active()) {
    table_->FieldDefs().SetUpdated(false);
    table_->InitFieldDefs();
  }
  TtxTextDataSetLink::FieldList(list);
}

void TtxCustomTextFenLink::IndexList(std::vector<std::pair<std::string, int>>& list, bool all) {
  list.clear();
  if (table_ == nullptr) RaiseTextIndex(txeInvalidTextDataSet);
  table_->IndexDefs().SetUpdated(false);
  table_->UpdateIndexDefs();
  if (!table_->Active()) table_->InitFieldDefs();
  const dataset::TIndexDefs& defs = table_->IndexDefs();
  for (int i = 0; i < defs.Count(); ++i) {
    const std::string& fields = defs[i].Fields();
    if (!all) {
      if (fields.find(';') != std::string::npos) continue;
      const int at = table_->FieldDefs().IndexOf(fields);
      if (at < 0) continue;
      const dataset::TFieldType type = table_->FieldDefs()[at].DataType();
      if (type != dataset::ftSmallint && type != dataset::ftInteger && type != dataset::ftWord &&
          type != dataset::ftAutoInc)
        continue;
    }
    list.emplace_back(fields, i);
  }
}

std::string TtxCustomTextFenLink::Parameter(int number) {
  if (table_ == nullptr) RaiseTextIndex(txeInvalidTextDataSet);
  switch (number) {
    case 0: return table_->DatabaseName();
    case 1: return table_->TableName();
    case 2: return table_->IndexName();
    case 3: return table_->IndexFieldNames();
    case 4: return CurrentIndexFirstField();
    case 5: {
      // The current index when it is on the index field, else the first one that is.
      if (!indexFieldName_.empty() && dataset::SameName(CurrentIndexFirstField(), indexFieldName_))
        return CurrentIndexDescending() ? "D" : "A";
      table_->IndexDefs().SetUpdated(false);
      table_->UpdateIndexDefs();
      const dataset::TIndexDefs& defs = table_->IndexDefs();
      for (int i = 0; i < defs.Count(); ++i)
        if (dataset::SameName(defs[i].Fields(), indexFieldName_))
          return defs[i].Has(dataset::ixDescending) ? "D" : "A";
      return "A";
    }
    default: RaiseTextIndex(txeInvalidParameter);
  }
}

void TtxCustomTextFenLink::SetParameter(int number, const std::string& value) {
  if (table_ == nullptr) RaiseTextIndex(txeInvalidTextDataSet);
  switch (number) {
    case 0: table_->SetDatabaseName(value); break;
    case 1: table_->SetTableName(value); break;
    case 2: table_->SetIndexName(value); break;
    case 3: table_->SetIndexFieldNames(value); break;
    default: RaiseTextIndex(txeInvalidParameter);
  }
}

std::string TtxCustomTextFenLink::CurrentIndexFirstField() {
  if (table_ == nullptr || !table_->Active() || table_->IndexFieldCount() == 0) return std::string();
  return table_->IndexFields(0).FieldName();
}

bool TtxCustomTextFenLink::CurrentIndexDescending() {
  if (table_ == nullptr) return false;
  table_->UpdateIndexDefs();
  const dataset::TIndexDefs& defs = table_->IndexDefs();
  const std::string name = table_->IndexName();
  if (!name.empty()) {
    const int at = defs.IndexOf(name);
    return at >= 0 && defs[at].Has(dataset::ixDescending);
  }
  if (!table_->IndexFieldNames().empty()) return false;  // chosen by fields: never descending
  for (int i = 0; i < defs.Count(); ++i)
    if (defs[i].Has(dataset::ixPrimary)) return defs[i].Has(dataset::ixDescending);
  return false;
}

void TtxCustomTextFenLink::SaveIndex(std::string& name, std::string& fieldNames) {
  name = table_->IndexName();
  fieldNames = table_->IndexFieldNames();
}

void TtxCustomTextFenLink::RestoreIndex(const std::string& name, const std::string& fieldNames) {
  if (!fieldNames.empty()) table_->SetIndexFieldNames(fieldNames);
  else table_->SetIndexName(name);
}

void TtxCustomTextFenLink::SelectIndexField() { table_->SetIndexFieldNames(indexFieldName_); }

void TtxCustomTextFenLink::ReadRange(int32_t& lowest, int32_t& highest) {
  // The indexing daemon walks its documents through a range on another index: switching the
  // table's own index would lift that range, and a ranged or filtered table would give the
  // range of what it shows instead of the index's.
  dataset::TFenTable probe;
  try {
    probe.SetSessionName(table_->SessionName());
    probe.SetInMemory(table_->InMemory());
    probe.SetDatabaseName(table_->DatabaseName());
    probe.SetTableName(table_->TableName());
    probe.Open();
  } catch (...) {
    // Not openable beside the caller's table (exclusive, say): read it in a busy level.
    TtxTextBaseTableLink::ReadRange(lowest, highest);
    return;
  }
  lowest = highest = 0;
  dataset::TField* field = probe.FindField(indexFieldName_);
  if (field == nullptr) RaiseTextIndex(txeMissingIndexFieldName);
  bool indexed = true;
  try {
    probe.SetIndexFieldNames(indexFieldName_);
  } catch (const dataset::EDatabaseError&) {
    indexed = false;  // no index on the field: scanned below
  }
  if (probe.IsEmpty()) return;
  if (indexed) {
    probe.First();
    lowest = field->AsInteger();
    probe.Last();
    highest = field->AsInteger();
  } else {
    bool first = true;
    for (probe.First(); !probe.Eof(); probe.Next()) {
      const int32_t v = field->AsInteger();
      if (first || v < lowest) lowest = v;
      if (first || v > highest) highest = v;
      first = false;
    }
  }
  probe.Close();
}

}  // namespace tovenmarsh::fulltext
