// The table view of the resources over a TFenTable in a session and database of its own, and
// the creation of the missing application tables.
#include "resources/fen_table_access.h"

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "core/log.h"
#include "dataset/fen_database.h"
#include "dataset/fen_session.h"
#include "dataset/fen_table.h"
#include "dataset/fields.h"
#include "dataset/variant.h"
#include "platform/file_system.h"
#include "platform/paths.h"
#include "resources/table_def_builder.h"

namespace tovenmarsh::resources {
namespace {

std::vector<dataset::TVariant> ToVariants(const TKeyValues& key) {
  std::vector<dataset::TVariant> values;
  values.reserve(key.size());
  for (const TFieldValue& value : key) {
    if (const int* n = std::get_if<int>(&value)) {
      values.emplace_back(*n);
    } else if (const bool* b = std::get_if<bool>(&value)) {
      values.emplace_back(*b);
    } else if (const double* d = std::get_if<double>(&value)) {
      values.push_back(dataset::TVariant::FromDateTime(*d));
    } else if (const std::string* s = std::get_if<std::string>(&value)) {
      values.emplace_back(*s);
    } else {
      values.emplace_back();
    }
  }
  return values;
}

class TFenTableAccess final : public TTableAccess {
 public:
  TFenTableAccess(const TAppTableDef& definition, const std::string& folder, int number)
      : definition_(definition), name_(definition.fileName) {
    const std::string suffix = std::to_string(number);
    session_ = std::make_unique<dataset::TFenSession>();
    session_->SetSessionName("RunTimeSession" + suffix);
    session_->SetForceBufferFlush(true);
    // Every resource has a database of its own, so other resources' writes to its table come
    // from other engine directories: only the header re-read notices them (the counter
    // comparison left a long-lived resource blind to rows the others added).
    session_->SetStrictChangeDetection(true);
    session_->OpenSession();
    session_->AddPassword("");

    database_ = std::make_unique<dataset::TFenDatabase>(session_.get());
    database_->SetDatabaseName("RunTimeDatabase" + suffix);
    database_->SetSessionName(session_->SessionName());
    database_->SetDirectory(platform::IncludeTrailingPathDelimiter(folder));
    database_->Open();

    table_ = std::make_unique<dataset::TFenTable>();
    table_->SetSessionName(session_->SessionName());
    table_->SetDatabaseName(database_->DatabaseName());
    table_->SetTableName(name_);
    table_->SetIndexName("");
    table_->SetReadOnly(false);
    table_->Open();
  }

  ~TFenTableAccess() override {
    // Destruction order matters: the table leaves its database, the database its session.
    try {
      if (table_->Active()) table_->Close();
    } catch (...) {
      // A destructor cannot raise, but a table that failed to close may have lost its last
      // change: the log keeps it.
      core::LogCurrentException("closing table " + name_);
    }
    table_.reset();
    try {
      database_->Close();
    } catch (...) {
      // As above; the session below goes away all the same.
      core::LogCurrentException("closing the database of table " + name_);
    }
    database_.reset();
    session_.reset();
  }

  const std::string& TableName() const override { return name_; }

  void SetIndex(const std::string& indexName) override {
    if (table_->IndexName() != indexName || !table_->IndexFieldNames().empty()) {
      table_->SetIndexName(indexName);
    }
  }
  void SetRange(const TKeyValues& key) override {
    const std::vector<dataset::TVariant> values = ToVariants(key);
    table_->SetRange(values, values);
    table_->First();
  }
  void CancelRange() override { table_->CancelRange(); }
  bool FindKey(const TKeyValues& key) override { return table_->FindKey(ToVariants(key)); }
  void First() override { table_->First(); }
  void Next() override { table_->Next(); }
  bool Eof() override { return table_->Eof(); }
  int RecordCount() override { return table_->RecordCount(); }
  void Refresh() override { table_->Refresh(); }

  TFieldValue Field(int position) override {
    dataset::TField& field = FieldAt(position);
    const TAppFieldType type = definition_.fields[static_cast<size_t>(position)].type;
    if (type != TAppFieldType::Memo && field.IsNull()) return std::monostate{};
    switch (type) {
      case TAppFieldType::Integer:
      case TAppFieldType::AutoInc: return static_cast<int>(field.AsInteger());
      case TAppFieldType::Boolean: return field.AsBoolean();
      case TAppFieldType::DateTime: return static_cast<double>(field.AsDateTime());
      case TAppFieldType::String:
      case TAppFieldType::Memo: return field.AsString();
    }
    return std::monostate{};
  }

  void SetField(int position, const TFieldValue& value) override {
    dataset::TField& field = FieldAt(position);
    const TAppFieldType type = definition_.fields[static_cast<size_t>(position)].type;
    if (std::holds_alternative<std::monostate>(value)) {
      if (type == TAppFieldType::Memo) {
        field.SetAsString("");
      } else {
        field.Clear();
      }
    } else if (const int* n = std::get_if<int>(&value)) {
      field.SetAsInteger(*n);
    } else if (const bool* b = std::get_if<bool>(&value)) {
      field.SetAsBoolean(*b);
    } else if (const double* d = std::get_if<double>(&value)) {
      if (type == TAppFieldType::DateTime) {
        field.SetAsDateTime(*d);
      } else {
        field.SetAsFloat(*d);
      }
    } else if (const std::string* s = std::get_if<std::string>(&value)) {
      field.SetAsString(*s);
    }
  }

  TTableState State() const override {
    switch (table_->State()) {
      case dataset::TDataSetState::dsEdit: return TTableState::Edit;
      case dataset::TDataSetState::dsInsert: return TTableState::Insert;
      default: return TTableState::Browse;
    }
  }
  void Insert() override { table_->Insert(); }
  void Edit() override { table_->Edit(); }
  void Post() override { table_->Post(); }
  void Cancel() override { table_->Cancel(); }
  void Delete() override { table_->Delete(); }

  bool InTransaction() const override { return database_->InTransaction(); }
  void StartTransaction() override { database_->StartTransaction(); }
  void Commit() override { database_->Commit(); }
  void Rollback() override { database_->Rollback(); }

 private:
  dataset::TField& FieldAt(int position) {
    if (position < 0 || position >= table_->FieldCount()) {
      throw EVDatabase("Field position " + std::to_string(position) + " is not in " + name_);
    }
    return table_->Fields()[position];
  }

  const TAppTableDef& definition_;
  const std::string name_;
  std::unique_ptr<dataset::TFenSession> session_;
  std::unique_ptr<dataset::TFenDatabase> database_;
  std::unique_ptr<dataset::TFenTable> table_;
};

}  // namespace

std::unique_ptr<TTableAccess> OpenFenTable(const TAppTableDef& table, const std::string& folder,
                                           int number) {
  return std::make_unique<TFenTableAccess>(table, folder, number);
}

TTableOpener FenTableOpener(const std::string& folder) {
  return [folder](const TAppTableDef& table, int number) { return OpenFenTable(table, folder, number); };
}

std::string TableFilePath(const std::string& folder, const TAppTableDef& table) {
  return platform::IncludeTrailingPathDelimiter(folder) + std::string(table.fileName);
}

bool TableFileExists(const std::string& folder, const TAppTableDef& table) {
  if (platform::FileExists(TableFilePath(folder, table))) return true;
  // The engine compares file names without regard to case; so does this test.
  std::vector<std::string> names;
  (void)platform::ListRegularFiles(folder, true, names);  // a folder that cannot be read holds none
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& name) { return dataset::SameFenName(name, table.fileName); });
}

void CreateDatabaseTables(const std::string& folder) {
  const std::string directory = platform::IncludeTrailingPathDelimiter(folder);
  for (const TAppTableDef* definition : TableCreationOrder()) {
    if (TableFileExists(directory, *definition)) continue;
    dataset::TFenTable table;
    table.SetDatabaseName(directory);
    table.SetTableName(std::string(definition->fileName));
    table.SetExclusive(true);
    FillTableDefs(*definition, table.FieldDefs(), table.IndexDefs());
    if (!table.Exists()) table.CreateTable();
  }
}

}  // namespace tovenmarsh::resources
