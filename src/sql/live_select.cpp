// Live SELECT results: the single source table's own cursor, in the order of an index that
// serves ORDER BY, filtered by WHERE and showing the result columns, so that edits through the
// result change the table.
#include <algorithm>
#include <functional>

#include "engine/base/engine_strings.h"
#include "engine/cursor/cursor.h"
#include "sql/data_query.h"
#include "sql/select_exec.h"
#include "sql/sql_messages.h"

namespace tovenmarsh::sql {

using engine::TExpToken;
using M = TSqlMessage;

void TDataQuery::FindOrderIndex() {
  OrderIndexFound = false;
  OrderIndex = engine::kPhysicalOrder;
  if (OrderBy.empty() || Distinct || SourceTables.size() != 1 || !GroupBy.empty() || Having || HasInto) return;
  TSourceTable& table = *SourceTables.front();
  engine::IndexDesc wanted;
  bool anyString = false;
  bool allDescending = true;
  for (const auto& item : OrderBy) {
    int32_t number = item->ColumnNo;
    if (!item->ColumnName.empty()) {
      if (!FindResultColumn(true, item->ColumnName, number, item->Correlation)) {
        RaiseSqlError(M::OrderByColumnName, {item->ColumnName, item->Correlation});
      }
    } else if (number < 1 || number > static_cast<int32_t>(ResultColumns.size())) {
      RaiseSqlError(M::OrderByColumnNumber, {std::to_string(number)});
    }
    const TResultField& c = *ResultColumns[static_cast<size_t>(number - 1)];
    if (c.Calculated || c.Aggregate != agNone) {
      OrderNotIndexable = true;
      return;
    }
    if (wanted.FieldCount >= engine::kMaxFieldsPerIndex) return;
    wanted.FieldDescending[wanted.FieldCount] = item->Descending ? 1 : 0;
    wanted.FieldNumbers[wanted.FieldCount++] = static_cast<uint16_t>(c.FieldNo);
    allDescending = allDescending && item->Descending;
    anyString = anyString || table.Cursor->GetFieldDescByNumber(static_cast<uint16_t>(c.FieldNo)).FieldType ==
                                 engine::fldZString;
  }
  const int indexes = table.Cursor->GetIndexCount();
  const engine::TTableInfo info = table.Cursor->GetTableInfo();
  for (int n = info.NoPrimaryIndex ? 1 : 0; n <= info.SecondaryIndexCount && n <= indexes; ++n) {
    const engine::IndexDesc d = table.Cursor->GetIndexDesc(static_cast<uint8_t>(n));
    if (d.FieldCount < wanted.FieldCount || d.Descending != allDescending) continue;
    if (anyString && d.CaseInsensitive != OrderNoCase) continue;
    bool same = true;
    for (int i = 0; i < wanted.FieldCount; ++i) {
      const size_t at = static_cast<size_t>(i);
      if (d.FieldNumbers[at] != wanted.FieldNumbers[at] ||
          (d.FieldDescending[at] != 0) != (wanted.FieldDescending[at] != 0)) {
        same = false;
      }
    }
    if (!same) continue;
    OrderIndexFound = true;
    OrderIndex = static_cast<uint8_t>(n);
    return;
  }
}

bool TDataQuery::CanBeLive() const {
  if (!RequestLive || HasInto || Distinct || SourceTables.size() != 1 || !GroupBy.empty() || AggregateOnly ||
      Having || (!OrderBy.empty() && !OrderIndexFound)) {
    return false;
  }
  // Sub-selects are answered through a result table of their own.
  if (IsSubSelect || Statement->QueryCount() > 1) return false;
  // The cursor shows the result columns under their own names: every column must be a plain
  // column under its table name, and WHERE may name only those.
  for (const auto& c : ResultColumns) {
    if (c->Calculated || c->Aggregate != agNone || !engine::SameText(c->ResultName, c->ColumnName)) return false;
  }
  bool named = true;
  std::function<void(const TExpToken*)> walk = [&](const TExpToken* node) {
    if (node == nullptr) return;
    if (node->NodeClass == engine::ncColumn) {
      named = named && std::any_of(ResultColumns.begin(), ResultColumns.end(), [&](const auto& c) {
                return engine::SameText(c->ColumnName, node->FieldName);
              });
    }
    walk(node->Left);
    walk(node->Right);
    walk(node->Third);
  };
  walk(Condition.get());
  return named;
}

void TDataQuery::InstallLiveFields() {
  engine::TDataCursor& cursor = *DrivingTable->Cursor;
  std::vector<engine::FieldDesc> fields;
  for (const auto& c : ResultColumns) {
    engine::FieldDesc f = cursor.GetFieldDescByNumber(static_cast<uint16_t>(c->FieldNo));
    f.FieldNumber = static_cast<uint16_t>(c->ResultNo);
    f.Name = c->ResultName;
    fields.push_back(f);
  }
  cursor.CheckFieldDefs(std::move(fields));
  // The source fields are now numbered as result columns.
  for (const auto& c : ResultColumns) {
    c->FieldNo = c->ResultNo;
    c->Correlation = DrivingTable->Correlation;
  }
}

void TDataQuery::ExecuteLiveSelect() {
  PlanConditions();
  engine::TDataCursor& cursor = *DrivingTable->Cursor;
  cursor.SetIndexNumber(OrderIndex);
  cursor.First();
  RowsAffected = cursor.GetRecordCount();
}

}  // namespace tovenmarsh::sql
