// Table resources: numbering, reset, transaction helpers and the cascade step.
#include "resources/database_resource.h"

#include <atomic>

#include "core/log.h"
#include "platform/format.h"

namespace tovenmarsh::resources {

int NextResourceNumber() {
  static std::atomic<int> counter{0};
  return ++counter;
}

TDatabaseResource::TDatabaseResource(const TAppTableDef& table, const TTableOpener& opener,
                                     TResourcePool* pool)
    : definition_(table), pool_(pool), number_(NextResourceNumber()) {
  table_ = opener(table, number_);
  if (!table_) {
    throw EVDatabase(platform::Format("Table %.*s could not be opened",
                                      static_cast<int>(table.fileName.size()),
                                      table.fileName.data()));
  }
}

TDatabaseResource::~TDatabaseResource() = default;

std::string TDatabaseResource::SessionName() const {
  return "RunTimeSession" + std::to_string(number_);
}

std::string TDatabaseResource::DatabaseName() const {
  return "RunTimeDatabase" + std::to_string(number_);
}

void TDatabaseResource::Reset() {
  TTableAccess& table = Table();
  // The previous borrower failed half-way: its work must not be posted or committed by the
  // next one.
  if (table.State() != TTableState::Browse) {
    core::LogErrorText(platform::Format("Pending change on %s cancelled by reset of %s",
                                        table.TableName().c_str(), SessionName().c_str()));
    table.Cancel();
  }
  if (table.InTransaction()) {
    core::LogErrorText(platform::Format("Open transaction on %s rolled back by reset of %s",
                                        table.TableName().c_str(), SessionName().c_str()));
    table.Rollback();
  }
  table.CancelRange();
  table.SetIndex("");
  table.Refresh();
}

void TDatabaseResource::BeginWork() {
  if (table_->InTransaction()) table_->Commit();
  table_->StartTransaction();
}

void TDatabaseResource::CommitWork() {
  if (table_->InTransaction()) table_->Commit();
}

void TDatabaseResource::RollbackWork() {
  if (table_->State() != TTableState::Browse) table_->Cancel();
  if (table_->InTransaction()) table_->Rollback();
}

void TDatabaseResource::Insert() { table_->Insert(); }

void TDatabaseResource::Edit() { table_->Edit(); }

void TDatabaseResource::Post() { table_->Post(); }

void TDatabaseResource::Delete() { table_->Delete(); }

void TDatabaseResource::CascadeDelete(int childPool, const std::string& childIndex,
                                      const TKeyValues& key) {
  if (pool_ == nullptr) throw EVDatabase("No pool to delete child rows through");
  TResourceLease<> child(*pool_, childPool);
  child->BeginWork();
  try {
    TTableAccess& rows = child->Table();
    rows.SetIndex(childIndex);
    rows.SetRange(key);
    rows.First();
    while (!rows.Eof()) child->Delete();
    child->CommitWork();
  } catch (...) {
    child->RollbackWork();
    throw;
  }
}

}  // namespace tovenmarsh::resources
