// Source tables: opening through the session, the record buffer of the join walk, and the
// filters a query installs on them.
#include <algorithm>

#include "engine/base/engine_strings.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "sql/data_query.h"
#include "sql/query_parts.h"
#include "sql/table_join.h"

namespace tovenmarsh::sql {

TSourceTable::TSourceTable(TDataQuery* query) : Query(query) {}

TSourceTable::~TSourceTable() {
  Joins.clear();
  Cursor.reset();
  if (Directory != nullptr && Directory->Session() != nullptr) {
    Directory->Session()->CloseDirectory(Directory);
  }
}

void TSourceTable::Open(void* passwordOwner, bool (*passwordCallback)(void*, int), bool writable,
                        bool deferOrder) {
  engine::TDataDirectory* database = Query->Statement->Directory();
  if (Directory == nullptr) {
    engine::TDataSession* session = database->Session();
    if (session == nullptr) {
      Directory = database;
    } else {
      Directory = InMemory ? session->OpenDirectory("MEMORY", "") : session->OpenDirectory("", Path);
    }
  }
  Cursor = std::make_unique<engine::TDataCursor>(Directory);
  Cursor->SetTableName(TableName);
  Cursor->SetReadOnly(!writable);
  Cursor->SetExclusive(false);
  Cursor->SetInMemory(InMemory);
  Cursor->SetPhysicalOrder(!deferOrder);
  OrderDeferred = deferOrder;
  KeyRange = false;
  Cursor->SetSequentialScan(false);
  Cursor->SetPasswordCallback(passwordOwner, passwordCallback);
  try {
    Cursor->Open();
  } catch (...) {
    Cursor->SetPasswordCallback(nullptr, nullptr);
    throw;
  }
  Cursor->SetPasswordCallback(nullptr, nullptr);
}

void TSourceTable::UsePhysicalOrder() {
  KeyRange = false;
  if (Cursor == nullptr || !Cursor->IsOpen()) return;
  if (Cursor->IndexNumber() != engine::kPhysicalOrder) Cursor->SetIndexNumber(engine::kPhysicalOrder);
  else if (Cursor->RangeActive()) Cursor->CancelRange();
}

void TSourceTable::AllocateRecordBuffer() {
  RecordBuffer.assign(Cursor != nullptr ? Cursor->GetRecordSize() : 0, 0);
}

int16_t TSourceTable::FieldNumberOf(const std::string& name) const {
  if (Cursor == nullptr) return 0;
  for (uint32_t i = 1; i <= Cursor->GetFieldCount(); ++i) {
    const engine::FieldDesc& f = Cursor->GetFieldDesc(i);
    if (engine::SameText(f.Name, name)) return static_cast<int16_t>(f.FieldNumber);
  }
  return 0;
}

void TSourceTable::DropFilters() {
  for (auto& join : Joins) join->Filter = nullptr;
  Joins.clear();
  Incoming = nullptr;
  if (Cursor != nullptr && Cursor->IsOpen()) {
    if (Cursor->Filters().Count() > 0) Cursor->DropFilter(nullptr);
  }
  WhereFilters.clear();
  Matched = Padded = false;
}

}  // namespace tovenmarsh::sql
