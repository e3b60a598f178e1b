// Source tables: opening through the session, the record buffer of the join walk, and the
// filters a query installs on them.
#include <algorithm>
#include <cstring>

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

bool TSourceTable::SetKeyRange(uint16_t field, const void* low, const void* high) {
  engine::TDataCursor& cursor = *Cursor;
  const engine::FieldDesc& f = cursor.GetFieldDescByNumber(field);
  if (f.IsAutoInc() || f.Calculated || f.PhysicalSize > 8) return false;
  // The index found last serves again (a join aims the same range for every outer row).
  if (!KeyRange || rangeField_ != field) {
    rangeIndex_ = engine::kPhysicalOrder;
    const engine::TTableInfo info = cursor.GetTableInfo();
    const int indexes = cursor.GetIndexCount();
    for (int n = info.NoPrimaryIndex ? 1 : 0; n <= info.SecondaryIndexCount && n <= indexes; ++n) {
      const engine::IndexDesc d = cursor.GetIndexDesc(static_cast<uint8_t>(n));
      if (d.FieldCount < 1 || d.FieldNumbers[0] != f.FieldNumber || d.Descending || d.FieldDescending[0] != 0) continue;
      rangeIndex_ = static_cast<uint8_t>(n);
      break;
    }
    rangeField_ = field;
  }
  if (rangeIndex_ == engine::kPhysicalOrder) return false;
  // Records holding only the bounding field: the key is built from them as for a row.
  rangeFrom_.assign(cursor.GetRecordSize(), 0);
  rangeTo_.assign(cursor.GetRecordSize(), 0);
  rangeFrom_[f.Offset] = rangeTo_[f.Offset] = 1;
  std::memcpy(rangeFrom_.data() + f.Offset + 1, low, f.PhysicalSize);
  std::memcpy(rangeTo_.data() + f.Offset + 1, high, f.PhysicalSize);
  cursor.SetIndexNumber(rangeIndex_);
  cursor.SetRange(false, rangeFrom_.data(), 1, rangeTo_.data(), 1);
  KeyRange = true;
  return true;
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
