// SELECT preparation: opening the source tables, resolving and naming the result columns,
// HAVING's aggregates as result columns, and the ORDER BY, GROUP BY and DISTINCT checks.
#include <algorithm>

#include "engine/base/engine_strings.h"
#include "engine/cursor/cursor.h"
#include "engine/expr/expr_typecheck.h"
#include "engine/expr/expr_types.h"
#include "sql/data_query.h"
#include "sql/select_exec.h"
#include "sql/sql_messages.h"
#include "sql/table_join.h"

namespace tovenmarsh::sql {

using engine::TExpToken;
using engine::TExpTree;
using M = TSqlMessage;

namespace {

constexpr size_t kMaxColumns = 1024;
constexpr size_t kMaxResultName = 30;

std::string Last(const std::string& s, size_t n) { return s.size() <= n ? s : s.substr(s.size() - n); }

uint8_t AggregateOfOperator(uint8_t op) {
  switch (op) {
    case engine::opSum: return agSum;
    case engine::opCount: return agCount;
    case engine::opMin: return agMin;
    case engine::opMax: return agMax;
    case engine::opAvg: return agAvg;
    default: return agNone;
  }
}

}  // namespace

void TDataQuery::Prepare() {
  // An executed query keeps its result until the statement is freed.
  if (Statement->Directory() == nullptr || Executed) return;
  switch (Kind) {
    case skSelect: PrepareSelect(); break;
    default: break;
  }
}

TSourceTable* TDataQuery::FindSourceColumn(const std::string& correlation, const std::string& column,
                                           int16_t& fieldNo) const {
  fieldNo = 0;
  for (const auto& t : SourceTables) {
    if (!correlation.empty() && !engine::SameText(t->Correlation, correlation)) continue;
    if (column.empty() || column == "*") return t.get();
    fieldNo = t->FieldNumberOf(column);
    if (fieldNo != 0) return t.get();
    if (!correlation.empty()) return nullptr;
  }
  return nullptr;
}

bool TDataQuery::FindResultColumn(bool allowAggregates, const std::string& column, int32_t& number,
                                  const std::string& correlation) const {
  for (const auto& c : ResultColumns) {
    const bool aggregateOk = allowAggregates || c->Aggregate == agNone;
    if (!correlation.empty()) {
      if (aggregateOk && engine::SameText(c->Correlation, correlation) && engine::SameText(c->ColumnName, column)) {
        number = c->ResultNo;
        return true;
      }
      continue;
    }
    if ((aggregateOk && !c->Calculated && engine::SameText(c->ColumnName, column)) ||
        engine::SameText(c->ResultName, column)) {
      number = c->ResultNo;
      return true;
    }
  }
  return false;
}

std::string TDataQuery::MakeResultName(const std::string& column, const std::string& alias,
                                       const TResultField* self, uint8_t aggregate) const {
  static const char* const kPrefix[] = {"", "Sum Of ", "Min Of ", "Max Of ", "Average Of ", "Count Of "};
  static const char* const kExpr[] = {"Expression", "Sum Of Expr", "Min Of Expr", "Max Of Expr", "Average Of Expr",
                                      "Count Of Expr"};
  std::string base;
  if (!alias.empty()) {
    base = Last(alias, kMaxResultName);
  } else if (!column.empty()) {
    base = Last(std::string(kPrefix[aggregate]) + column, kMaxResultName);
  } else {
    base = kExpr[aggregate];
  }
  std::string name = base;
  int n = 0;
  for (bool clash = true; clash;) {
    clash = false;
    for (const auto& c : ResultColumns) {
      if (c.get() == self || c->ResultName.empty() || !engine::SameText(c->ResultName, name)) continue;
      ++n;
      const std::string suffix = "_" + std::to_string(n);
      name = Last(base, kMaxResultName - suffix.size()) + suffix;
      clash = true;
      break;
    }
  }
  return name;
}

void TDataQuery::OpenSourceTables() {
  int16_t position = 0;
  for (const auto& t : SourceTables) {
    // A canned result may read a key range instead of the whole table: the order of the
    // walk is chosen when the conditions are planned.
    if (t->Cursor == nullptr || !t->Cursor->IsOpen()) t->Open(PasswordOwner, PasswordCallback, Writable, !RequestLive);
    t->JoinPosition = ++position;
    t->AllocateRecordBuffer();
  }
}

void TDataQuery::ResolveSelectColumns() {
  std::vector<std::unique_ptr<TResultField>> columns;
  columns.swap(ResultColumns);
  int16_t resultNo = 0;
  size_t aggregates = 0, plain = 0;
  for (auto& column : columns) {
    if (column->Aggregate != agNone) ++aggregates;
    else ++plain;
    if (column->CountAll) {
      int16_t fieldNo = 0;
      TSourceTable* table = FindSourceColumn(column->Correlation, "*", fieldNo);
      if (table == nullptr || table->Cursor->GetFieldCount() == 0) {
        RaiseSqlError(M::InvalidSourceColumn, {column->ColumnName, column->Correlation});
      }
      column->SourceTable = table;
      column->Correlation = table->Correlation;
      column->FieldNo = 1;
      column->ResultNo = ++resultNo;
      ResultColumns.push_back(std::move(column));
      ResultColumns.back()->ResultName =
          MakeResultName("*", ResultColumns.back()->NoAlias ? "" : ResultColumns.back()->Alias, ResultColumns.back().get(),
                         agCount);
      continue;
    }
    if (column->ColumnName == "*") {
      if (!column->NoAlias) RaiseSqlError(M::AllColumnsAlias, {column->Alias, column->ColumnName});
      std::vector<TSourceTable*> tables;
      if (column->Correlation.empty()) {
        for (const auto& t : SourceTables) tables.push_back(t.get());
        std::sort(tables.begin(), tables.end(),
                  [](const TSourceTable* a, const TSourceTable* b) { return a->TextOrder < b->TextOrder; });
      } else {
        int16_t fieldNo = 0;
        TSourceTable* table = FindSourceColumn(column->Correlation, "*", fieldNo);
        if (table == nullptr) RaiseSqlError(M::InvalidSourceColumn, {column->ColumnName, column->Correlation});
        tables.push_back(table);
      }
      for (TSourceTable* t : tables) {
        for (uint32_t i = 1; i <= t->Cursor->GetFieldCount(); ++i) {
          const engine::FieldDesc& f = t->Cursor->GetFieldDesc(i);
          auto expanded = std::make_unique<TResultField>(this);
          expanded->SourceTable = t;
          expanded->Correlation = t->Correlation;
          expanded->ColumnName = f.Name;
          expanded->FieldNo = static_cast<int16_t>(f.FieldNumber);
          expanded->ResultNo = ++resultNo;
          expanded->Expression = engine::NewExpTree();
          expanded->Expression->NodeClass = engine::ncColumn;
          expanded->Expression->FieldName = f.Name;
          expanded->Expression->TableName = t->Correlation;
          expanded->Expression->Text = f.Name;
          ResultColumns.push_back(std::move(expanded));
          ResultColumns.back()->ResultName = MakeResultName(f.Name, "", ResultColumns.back().get(), agNone);
        }
      }
      continue;
    }
    if (!column->Calculated) {
      int16_t fieldNo = 0;
      TSourceTable* table = FindSourceColumn(column->Correlation, column->ColumnName, fieldNo);
      if (table == nullptr || fieldNo == 0) {
        RaiseSqlError(M::InvalidSourceColumn, {column->ColumnName, column->Correlation});
      }
      column->SourceTable = table;
      column->Correlation = table->Correlation;
      column->FieldNo = fieldNo;
    }
    column->ResultNo = ++resultNo;
    ResultColumns.push_back(std::move(column));
    TResultField& c = *ResultColumns.back();
    c.ResultName = MakeResultName(c.Calculated ? "" : c.ColumnName, c.NoAlias ? "" : c.Alias, &c, c.Aggregate);
  }
  if (ResultColumns.size() > kMaxColumns) RaiseSqlError(M::MaxResultColumns, {std::to_string(kMaxColumns)});
  if (aggregates > 0 && plain > 0 && GroupBy.empty()) RaiseSqlError(M::AggregateWithoutGroupBy);
  TypeCheckResultColumns();
}

void TDataQuery::TypeCheckResultColumns() {
  TQueryLocale locale(Statement->LanguageId(), Statement->SortId());
  for (auto& column : ResultColumns) {
    TResultField& c = *column;
    if (c.CountAll) {
      c.DataType = engine::fldInt32;
      c.DataSize = 4;
      continue;
    }
    TExpToken* value = c.Aggregate != agNone ? c.Expression->Left : c.Expression.get();
    CheckQueryTree(*this, value, false, "source columns");
    if (c.Aggregate == agNone && c.Calculated && value->NodeClass == engine::ncColumn) {
      // A parenthesised column is a plain column.
      c.Calculated = false;
      c.SourceTable = static_cast<TSourceTable*>(value->SourceRef);
      c.FieldNo = value->FieldNo;
      c.Correlation = c.SourceTable->Correlation;
      c.ColumnName = value->FieldName;
      if (c.NoAlias) {
        c.ResultName.clear();
        c.ResultName = MakeResultName(c.ColumnName, "", &c, agNone);
      }
    }
    c.DataType = value->DataType;
    c.SubType = value->SubType;
    c.DataSize = value->DataSize;
    c.Scale = value->Scale;
    switch (c.Aggregate) {
      case agCount:
        c.DataType = engine::fldInt32;
        c.SubType = 0;
        c.DataSize = 4;
        break;
      case agAvg:
        c.DataType = engine::fldFloat;
        c.SubType = 0;
        c.DataSize = 8;
        break;
      case agSum:
        // Integer sums are accumulated wide and kept in a 32-bit integer.
        if (engine::IsIntegerType(c.DataType)) {
          c.DataType = engine::fldInt32;
          c.SubType = 0;
          c.DataSize = 4;
        }
        break;
      default: break;
    }
    if (c.DataType == engine::fldZString && c.DataSize > engine::kMaxStringSize + 1) {
      RaiseSqlError(M::ColumnTooLarge, {c.Text});
    }
    if (c.DataType == engine::fldBlob) HasBlobColumns = true;
  }
}

void TDataQuery::RewriteHaving() {
  {
    TQueryLocale locale(Statement->LanguageId(), Statement->SortId());
    engine::TTypeCheckSettings settings;
    settings.ErrorCode = engine::kErrSql;
    settings.Context = "HAVING clause";
    settings.Resolver = [this](TExpToken& node) {
      int16_t fieldNo = 0;
      std::string correlation = node.TableName;
      TSourceTable* t = FindSourceColumn(correlation, node.FieldName, fieldNo);
      if (t == nullptr || (fieldNo == 0 && node.FieldName != "*")) return false;
      if (node.FieldName == "*") {
        node.SourceRef = t;
        node.DataType = engine::fldInt32;
        node.SetDataSize(4);
        return true;
      }
      node.TableName.clear();
      if (!engine::ResolveSourceColumn(*t->Cursor, node)) return false;
      node.SourceRef = t;
      node.TableName = correlation;
      return true;
    };
    engine::CheckExpressionTypes(settings, true, nullptr, Having.get());
    if (Having->DataType != engine::fldBool) RaiseSqlError(M::HavingNotBoolean);
  }
  // Every aggregate and column becomes a reference to the result column that holds it.
  std::function<void(TExpToken*)> rewrite = [&](TExpToken* node) {
    if (node == nullptr) return;
    const uint8_t aggregate = node->NodeClass == engine::ncFunction ? AggregateOfOperator(node->Operator) : uint8_t{agNone};
    const TResultField* found = nullptr;
    if (aggregate != agNone) {
      for (const auto& c : ResultColumns) {
        if (c->Aggregate != aggregate) continue;
        const bool countAll = node->Left != nullptr && node->Left->FieldName == "*";
        if ((countAll && c->CountAll) ||
            (!countAll && !c->CountAll && engine::SameExpressionTree(c->Expression->Left, node->Left))) {
          found = c.get();
          break;
        }
      }
      if (found == nullptr) RaiseSqlError(M::HavingNotFound);
    } else if (node->NodeClass == engine::ncColumn) {
      for (const auto& c : ResultColumns) {
        if (c->Aggregate == agNone && !c->Calculated && c->SourceTable == node->SourceRef &&
            c->FieldNo == node->FieldNo) {
          found = c.get();
          break;
        }
      }
      if (found == nullptr) RaiseSqlError(M::HavingNotFound);
    } else {
      rewrite(node->Left);
      rewrite(node->Right);
      rewrite(node->Third);
      return;
    }
    engine::FreeExpressionTree(node->Left);
    engine::FreeExpressionTree(node->Right);
    engine::FreeExpressionTree(node->Third);
    node->NodeClass = engine::ncColumn;
    node->Operator = engine::opNone;
    node->SourceRef = nullptr;
    node->FieldName = found->ResultName;
    node->FieldNo = static_cast<int16_t>(found->ResultNo);
    TExpTree typed = ReadValue(*ResultCursor, found->ResultNo, nullptr);
    node->DataType = typed->DataType;
    node->SubType = typed->SubType;
    node->Scale = typed->Scale;
    node->SetDataSize(typed->DataSize);
  };
  rewrite(Having.get());
}

void TDataQuery::ResolveOrderBy() {
  if (OrderBy.size() > kMaxColumns) RaiseSqlError(M::OrderByMaxColumns, {std::to_string(kMaxColumns)});
  for (auto& item : OrderBy) {
    if (item->ColumnName.empty()) {
      if (item->ColumnNo < 1 || item->ColumnNo > static_cast<int32_t>(ResultColumns.size()) ||
          ResultColumns[static_cast<size_t>(item->ColumnNo - 1)]->DataType == engine::fldBlob) {
        RaiseSqlError(M::OrderByColumnNumber, {std::to_string(item->ColumnNo)});
      }
      continue;
    }
    int32_t number = 0;
    if (!FindResultColumn(false, item->ColumnName, number, item->Correlation)) {
      RaiseSqlError(M::OrderByColumnName, {item->ColumnName, item->Correlation});
    }
    item->ColumnNo = number;
  }
}

void TDataQuery::ResolveGroupBy() {
  if (GroupBy.size() > kMaxColumns) RaiseSqlError(M::GroupByMaxColumns, {std::to_string(kMaxColumns)});
  for (auto& item : GroupBy) {
    if (item->ColumnName.empty()) {
      if (item->ColumnNo < 1 || item->ColumnNo > static_cast<int32_t>(ResultColumns.size())) {
        RaiseSqlError(M::GroupByColumnNumber, {std::to_string(item->ColumnNo)});
      }
    } else {
      int32_t number = 0;
      if (!FindResultColumn(false, item->ColumnName, number, item->Correlation)) {
        RaiseSqlError(M::GroupByColumnName, {item->ColumnName, item->Correlation});
      }
      item->ColumnNo = number;
    }
    const TResultField& c = *ResultColumns[static_cast<size_t>(item->ColumnNo - 1)];
    if (c.DataType == engine::fldBlob) RaiseSqlError(M::GroupByBlob, {c.ResultName});
  }
}

void TDataQuery::CheckDistinct() {
  if (ResultColumns.size() > kMaxColumns) RaiseSqlError(M::DistinctMaxColumns, {std::to_string(kMaxColumns)});
  for (const auto& c : ResultColumns) {
    if (c->DataType == engine::fldBlob) RaiseSqlError(M::DistinctBlob, {c->ResultName});
  }
}

void TDataQuery::PrepareSelect() {
  ReleaseExecution();
  // Sub-selects open their sources as the statement does: a table opened read-only cannot also be
  // opened for writing in the same session, and INSERT ... SELECT may read its own target.
  Writable = RequestLive && !HasInto;
  OpenSourceTables();
  ResolveSelectColumns();
  if (GroupBy.empty()) {
    if (Having) RaiseSqlError(M::HavingWithoutGroupBy);
    const bool allAggregates = std::all_of(ResultColumns.begin(), ResultColumns.end(),
                                           [](const auto& c) { return c->Aggregate != agNone; });
    if (allAggregates) AggregateOnly = Grouped = true;
    CountStarShortcut = SourceTables.size() == 1 && ResultColumns.size() == 1 && ResultColumns[0]->CountAll;
  } else {
    Grouped = true;
  }
  DrivingTable = SourceTables.empty() ? nullptr : SourceTables.front().get();
  if (RequestLive) FindOrderIndex();
  if (CanBeLive()) {
    Live = true;
    DrivingTable->Cursor->SetQueryResult(true);
    InstallLiveFields();
    return;
  }
  ResolveOrderBy();
  if (Grouped && !AggregateOnly) ResolveGroupBy();
  if (Distinct) CheckDistinct();
  CreateResultCursor();
  CreateResultTable();
  if (Having) RewriteHaving();
}

}  // namespace tovenmarsh::sql
