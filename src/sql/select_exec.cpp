// SELECT execution: the conditions split into table filters, join links and per-row tests,
// the row loop into the result table, aggregation, DISTINCT, GROUP BY, HAVING and ORDER BY by
// the engine's record sort, and the sub-select test.
#include "sql/select_exec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/base/engine_error.h"
#include "engine/base/languages.h"
#include "engine/expr/expr_convert.h"
#include "engine/expr/expr_types.h"
#include "engine/table/directory.h"
#include "engine/table/record_sort.h"
#include "engine/table/session.h"
#include "platform/tick.h"
#include "sql/ddl_exec.h"
#include "sql/modify_exec.h"
#include "sql/sql_messages.h"
#include "sql/table_join.h"

namespace tovenmarsh::sql {

using engine::FieldDesc;
using engine::TExpToken;
using engine::TExpTree;
using M = TSqlMessage;

// ---------------------------------------------------------------------------------------------
// Shared helpers.

engine::TLanguageSettings TQueryLocale::Load(uint16_t languageId, uint16_t sortId) {
  engine::TLanguageSettings settings;
  engine::LoadLanguageSettings(languageId, sortId, settings);
  return settings;
}

TQueryLocale::TQueryLocale(uint16_t languageId, uint16_t sortId)
    : settings_(Load(languageId, sortId)), scope_(settings_) {}

TQueryLocale::~TQueryLocale() = default;

void CheckQueryTree(TDataQuery& query, TExpToken* tree, bool booleanContext, const std::string& context) {
  engine::TTypeCheckSettings settings;
  settings.ErrorCode = engine::kErrSql;
  settings.Context = context;
  settings.SubSelectHook = query.Statement->Parser().SubSelectHook;
  settings.Resolver = [&query](TExpToken& node) {
    int16_t fieldNo = 0;
    const std::string correlation = node.TableName;
    TSourceTable* t = query.FindSourceColumn(correlation, node.FieldName, fieldNo);
    if (t == nullptr || fieldNo == 0) return false;
    node.TableName.clear();
    if (!engine::ResolveSourceColumn(*t->Cursor, node)) return false;
    node.SourceRef = t;
    node.TableName = correlation;
    return true;
  };
  engine::CheckExpressionTypes(settings, booleanContext, nullptr, tree);
}

engine::TEvalContext RowContext(const TDataQuery& query, engine::TDataCursor* resultCursor) {
  engine::TEvalContext context;
  context.LanguageId = query.Statement->LanguageId();
  context.SortId = query.Statement->SortId();
  context.SubSelectHook = query.Statement->Parser().SubSelectHook;
  context.Reader = [resultCursor](const void* record, TExpToken& node) {
    auto* table = static_cast<TSourceTable*>(node.SourceRef);
    engine::TDataCursor* cursor = table != nullptr ? table->Cursor.get() : resultCursor;
    const void* from = table != nullptr ? table->RecordBuffer.data() : record;
    if (cursor == nullptr || from == nullptr) return false;
    if (table != nullptr && table->Padded) {
      node.ClearValue();
      node.IsNull = true;
      return true;
    }
    const FieldDesc* field = cursor->FieldByNumber(node.FieldNo);
    return field != nullptr && cursor->ReadField(from, *field, node);
  };
  return context;
}

TExpTree ReadValue(engine::TDataCursor& cursor, uint32_t field, const uint8_t* record) {
  const FieldDesc& f = cursor.GetFieldDesc(field);
  TExpTree node = engine::NewExpTree();
  node->NodeClass = engine::ncConstant;
  node->DataType = f.FieldType;
  node->SubType = f.SubType;
  node->Scale = f.FieldType == engine::fldBCD ? f.Scale : 0;
  int32_t size = engine::FixedTypeSize(f.FieldType);
  if (f.FieldType == engine::fldZString) size = f.Size + 1;
  if (f.FieldType == engine::fldBytes) size = f.Size;
  if (f.IsAutoInc()) node->SubType = 0;
  node->SetDataSize(size);
  node->IsNull = true;
  if (record != nullptr && !cursor.ReadField(record, f, *node)) node->IsNull = true;
  return node;
}

void StoreValue(const FieldDesc& f, const TExpToken& result, uint8_t* record) {
  uint8_t* at = record + f.Offset;
  std::memset(at, 0, f.PhysicalSize + 1u);
  if (result.IsNull) return;
  std::vector<uint8_t> value(engine::kConvertBufferSize + 16, 0);
  int32_t size = 0;
  uint8_t scale = 0;
  if (result.DataType == engine::fldZString) {
    const std::string_view text = result.StringValue();
    const size_t n = std::min<size_t>(text.size(), engine::kMaxStringSize);
    std::memcpy(value.data(), text.data(), n);
    size = static_cast<int32_t>(n + 1);
  } else {
    std::memcpy(value.data(), result.Data, 8);
    size = result.DataSize;
    if (result.DataType == engine::fldBCD) scale = 4;  // expressions count ten-thousandths
  }
  const int32_t targetSize = f.FieldType == engine::fldZString ? f.PhysicalSize : f.Size;
  if (!engine::ConvertFieldValue(result.DataType, size, scale, value.data(), f.PhysicalScale, targetSize,
                                 f.FieldType)) {
    return;
  }
  std::memcpy(at + 1, value.data(), f.PhysicalSize);
  if (f.FieldType == engine::fldZString) {
    at[f.PhysicalSize] = 0;
    if (at[1] == 0) return;  // an empty string is NULL
  }
  at[0] = 1;
}

namespace {

// Splits tree (a copy is made of every conjunct) at its AND nodes; the ON conditions of outer
// joins are handed to their tables instead.
void SplitConjuncts(const TDataQuery& query, const TExpToken* tree, std::vector<TExpTree>& out) {
  if (tree == nullptr) return;
  for (const auto& t : query.SourceTables) {
    if (t->OuterOn == tree) return;
  }
  if (tree->NodeClass == engine::ncBinary && tree->Operator == engine::opAnd) {
    SplitConjuncts(query, tree->Left, out);
    SplitConjuncts(query, tree->Right, out);
    return;
  }
  out.emplace_back(engine::CopyExpressionTree(tree));
}

// "column op constant" bounding an integer column from below (>, >=) or above (<, <=) by a
// constant of the column's own type.
bool IntegerBound(const TExpToken* c, bool& lower) {
  if (c == nullptr || c->NodeClass != engine::ncBinary) return false;
  const uint8_t op = c->Operator;
  lower = op == engine::opGreater || op == engine::opGreaterEqual;
  if (!lower && op != engine::opLess && op != engine::opLessEqual) return false;
  const TExpToken* column = c->Left;
  const TExpToken* value = c->Right;
  return column != nullptr && value != nullptr && column->NodeClass == engine::ncColumn &&
         column->SourceRef != nullptr && value->NodeClass == engine::ncConstant && !value->IsParameter &&
         !value->IsNull && value->Left == nullptr && value->Right == nullptr &&
         engine::IsIntegerType(column->DataType) && value->DataType == column->DataType;
}

// A lower and an upper bound of one column become "column BETWEEN low AND high" for the table's
// filter, which the index answers as one key range; two filters would each walk an open-ended
// range. The bounds themselves, strict or not, stay exact as per-row tests on the few rows left.
void MergeIntegerRanges(TDataQuery& query, std::vector<TExpTree>& conjuncts, TSelectRun& run,
                        const engine::TEvalContext& context) {
  for (size_t i = 0; i < conjuncts.size(); ++i) {
    bool lower = false;
    if (!IntegerBound(conjuncts[i].get(), lower) || !lower) continue;
    const TExpToken* column = conjuncts[i]->Left;
    const auto* table = static_cast<const TSourceTable*>(column->SourceRef);
    if (table->OuterOn != nullptr) continue;
    for (size_t j = 0; j < conjuncts.size(); ++j) {
      bool upperIsLower = true;
      if (j == i || !IntegerBound(conjuncts[j].get(), upperIsLower) || upperIsLower) continue;
      const TExpToken* other = conjuncts[j]->Left;
      if (other->SourceRef != column->SourceRef || other->FieldNo != column->FieldNo) continue;
      TExpTree between = engine::NewExpTree();
      between->NodeClass = engine::ncPredicate;
      between->Operator = engine::opBetween;
      between->Text = "BETWEEN";
      between->DataType = engine::fldBool;
      between->Left = engine::CopyExpressionTree(column);
      between->Left->Parent = between.get();
      TExpToken* low = engine::CopyExpressionTree(conjuncts[i]->Right);
      TExpToken* high = engine::CopyExpressionTree(conjuncts[j]->Right);
      low->Right = high;
      high->Parent = low;
      between->Right = low;
      low->Parent = between.get();
      CheckQueryTree(query, between.get(), true, "WHERE or JOIN clause");
      run.Residual.push_back(engine::PrepareExpressionTree(conjuncts[i].get(), context, true, false));
      run.Residual.push_back(engine::PrepareExpressionTree(conjuncts[j].get(), context, true, false));
      run.AllPushed = false;
      conjuncts[i] = std::move(between);
      conjuncts.erase(conjuncts.begin() + static_cast<std::ptrdiff_t>(j));
      if (j < i) --i;
      break;
    }
  }
}

// Sets the cursor of table to the key range of an index that one conjunct bounds; false when
// none does (the table is then walked whole).
bool UseKeyRange(TSourceTable& table, const std::vector<TExpTree>& conjuncts) {
  for (const TExpTree& c : conjuncts) {
    const TExpToken* column = nullptr;
    const TExpToken* low = nullptr;
    const TExpToken* high = nullptr;
    if (!KeyBounds(c.get(), column, low, high) || column->SourceRef != &table) continue;
    if (table.SetKeyRange(static_cast<uint16_t>(column->FieldNo), low->Data, high->Data)) return true;
  }
  return false;
}

int PositionIn(const std::vector<TSourceTable*>& order, const TSourceTable* t) {
  return static_cast<int>(std::find(order.begin(), order.end(), t) - order.begin());
}

// Merging of rows into group records, kept beside the record the sort holds: wide integer
// sums, float sums and counts of averages, the best value of MIN and MAX.
class TAggregator {
 public:
  TAggregator(TDataQuery& query, engine::TDataCursor& result) : query_(query), result_(result) {
    states_.resize(query.ResultColumns.size());
    // MIN and MAX order strings by the collation of the table the column comes from.
    for (size_t i = 0; i < query.ResultColumns.size(); ++i) {
      const TResultField& c = *query.ResultColumns[i];
      TState& s = states_[i];
      s.Context.LanguageId = query.Statement->LanguageId();
      s.Context.SortId = query.Statement->SortId();
      if ((c.Aggregate == agMin || c.Aggregate == agMax) && !c.Calculated && c.SourceTable != nullptr) {
        const engine::TTableInfo info = c.SourceTable->Cursor->GetTableInfo();
        s.Context.LanguageId = info.LanguageId;
        s.Context.SortId = info.SortId;
      }
    }
  }

  void Start(uint8_t* record, uint8_t* output) {
    if (record != output) std::memcpy(output, record, result_.GetRecordSize());
    for (TState& s : states_) {
      s.Any = false;
      s.Count = s.IntSum = 0;
      s.FloatSum = 0;
      s.Best.reset();
    }
    Accumulate(record);
  }

  void Add(uint8_t* record, uint8_t* output) {
    for (size_t i = 0; i < query_.ResultColumns.size(); ++i) {
      const TResultField& c = *query_.ResultColumns[i];
      if (c.Aggregate != agNone) continue;
      // The group shows the last non-null value of a column it is not grouped by.
      const FieldDesc& f = result_.GetFieldDesc(static_cast<uint32_t>(c.ResultNo));
      if (record[f.Offset] != 0) std::memcpy(output + f.Offset, record + f.Offset, f.PhysicalSize + 1u);
    }
    Accumulate(record);
  }

  void Finish(uint8_t* output) {
    for (size_t i = 0; i < query_.ResultColumns.size(); ++i) {
      const TResultField& c = *query_.ResultColumns[i];
      if (c.Aggregate == agNone) continue;
      const TState& s = states_[i];
      const FieldDesc& f = result_.GetFieldDesc(static_cast<uint32_t>(c.ResultNo));
      TExpTree value;
      switch (c.Aggregate) {
        case agCount: value = IntegerNode(static_cast<int32_t>(s.Count)); break;
        case agSum:
          if (!s.Any) break;
          if (f.FieldType == engine::fldInt32) {
            if (s.IntSum > std::numeric_limits<int32_t>::max() || s.IntSum < std::numeric_limits<int32_t>::min()) {
              RaiseSqlError(M::SumOverflow, {c.ResultName});
            }
            value = IntegerNode(static_cast<int32_t>(s.IntSum));
          } else if (f.FieldType == engine::fldBCD) {
            value = engine::NewExpTree();
            value->NodeClass = engine::ncConstant;
            value->DataType = engine::fldBCD;
            value->Scale = 4;
            value->SetDataSize(8);
            value->Put<int64_t>(s.IntSum);
          } else {
            value = FloatNode(s.FloatSum);
          }
          break;
        case agAvg: {
          if (s.Count > 0) value = FloatNode(s.FloatSum / static_cast<double>(s.Count));
          if (c.CountFieldNo > 0) {
            TExpTree count = IntegerNode(static_cast<int32_t>(s.Count));
            StoreValue(result_.GetFieldDesc(static_cast<uint32_t>(c.CountFieldNo)), *count, output);
          }
          break;
        }
        default:
          if (s.Best) value = engine::TExpTree(engine::CopyExpressionTree(s.Best.get()));
          break;
      }
      if (value) {
        StoreValue(f, *value, output);
      } else {
        std::memset(output + f.Offset, 0, f.PhysicalSize + 1u);
      }
    }
  }

 private:
  struct TState {
    bool Any = false;
    int64_t Count = 0;
    int64_t IntSum = 0;
    double FloatSum = 0;
    TExpTree Best;
    TExpTree Value;  // the row being added
    engine::TEvalContext Context;
  };

  // True when a orders before b (strings by the table's collation, false before true).
  static bool Less(const TExpToken& a, const TExpToken& b, const engine::TEvalContext& context) {
    TExpTree compare = engine::NewExpTree();
    compare->NodeClass = engine::ncBinary;
    compare->Operator = engine::opLess;
    compare->Text = "<";
    compare->DataType = engine::fldBool;
    compare->SetDataSize(2);
    compare->Left = engine::CopyExpressionTree(&a);
    compare->Right = engine::CopyExpressionTree(&b);
    TExpTree result = engine::EvaluateExpression(compare.get(), nullptr, context);
    return engine::ExpressionResultTrue(*result);
  }

  // Integer values order by their numbers alone: no comparison tree to build and evaluate.
  static bool IntegerLess(const TExpToken& a, const TExpToken& b, bool& less) {
    if (a.DataType != b.DataType || a.IsNull || b.IsNull) return false;
    switch (a.DataType) {
      case engine::fldInt32: less = a.Get<int32_t>() < b.Get<int32_t>(); return true;
      case engine::fldInt16: less = a.Get<int16_t>() < b.Get<int16_t>(); return true;
      default: return false;
    }
  }

  static bool Before(const TExpToken& a, const TExpToken& b, const engine::TEvalContext& context) {
    bool less = false;
    return IntegerLess(a, b, less) ? less : Less(a, b, context);
  }

  void Accumulate(const uint8_t* record) {
    for (size_t i = 0; i < query_.ResultColumns.size(); ++i) {
      const TResultField& c = *query_.ResultColumns[i];
      if (c.Aggregate == agNone) continue;
      TState& s = states_[i];
      // The value node is made once per column and read into for every row.
      if (!s.Value) s.Value = ReadValue(result_, static_cast<uint32_t>(c.ResultNo), nullptr);
      TExpTree& v = s.Value;
      const FieldDesc& f = result_.GetFieldDesc(static_cast<uint32_t>(c.ResultNo));
      if (!result_.ReadField(record, f, *v)) v->IsNull = true;
      if (c.Aggregate == agCount) {
        if (!v->IsNull) s.Count += v->Get<int32_t>();
        continue;
      }
      if (v->IsNull) continue;
      switch (c.Aggregate) {
        case agSum:
          s.Any = true;
          if (v->DataType == engine::fldInt32) {
            s.IntSum += v->Get<int32_t>();
          } else if (v->DataType == engine::fldBCD) {
            s.IntSum += v->Get<int64_t>();
          } else {
            s.FloatSum += v->Get<double>();
          }
          break;
        case agAvg:
          s.FloatSum += v->Get<double>();
          ++s.Count;
          break;
        case agMin:
          if (!s.Best || Before(*v, *s.Best, s.Context)) std::swap(s.Best, v);
          break;
        case agMax:
          if (!s.Best || Before(*s.Best, *v, s.Context)) std::swap(s.Best, v);
          break;
        default: break;
      }
    }
  }

  TDataQuery& query_;
  engine::TDataCursor& result_;
  std::vector<TState> states_;
};

// The position in the cursor's field list of the field numbered number.
uint32_t FieldPosition(engine::TDataCursor& cursor, int16_t number) {
  for (uint32_t i = 1; i <= cursor.GetFieldCount(); ++i) {
    if (cursor.GetFieldDesc(i).FieldNumber == number) return i;
  }
  return 1;
}

// Copies a BLOB value whole from the current row of table into the result row.
void CopyBlob(TSourceTable& table, uint32_t position, engine::TDataCursor& result, uint32_t field, uint8_t* row) {
  engine::TDataCursor& source = *table.Cursor;
  if (table.Padded || source.GetFieldData(position, table.RecordBuffer.data(), nullptr)) return;
  auto fail = [&] { engine::RaiseEngineError(engine::kErrBlobBuffersCorrupt, source.TableName()); };
  if (source.OpenBlob(position, table.RecordBuffer.data(), 1) != 0) fail();
  std::vector<uint8_t> bytes;
  uint32_t size = 0;
  uint32_t count = 0;
  int rc = source.GetBlobSize(position, table.RecordBuffer.data(), &size);
  if (rc == 0) {
    bytes.resize(size);
    rc = size > 0 ? source.ReadBlob(position, table.RecordBuffer.data(), 0, size, bytes.data(), &count) : 0;
  }
  source.CloseBlob(position, table.RecordBuffer.data());
  if (rc != 0 || count != size) fail();
  if (size == 0) return;
  if (result.OpenBlob(field, row, 2) != 0 || result.WriteBlob(field, row, 0, size, bytes.data()) != 0) {
    engine::RaiseEngineError(engine::kErrBlobBuffersCorrupt, result.TableName());
  }
}

// Runs the progress callback for one more driving-table row; true when the caller asked to stop.
bool ReportProgress(TDataQuery& query, int32_t step, int32_t total) {
  if (query.ProgressCallback == nullptr) return false;
  bool abort = false;
  const int32_t percent = total > 0 ? static_cast<int32_t>(std::lround(100.0 * step / total)) : 100;
  query.ProgressCallback(query.ProgressOwner, step, std::min(percent, 100), abort);
  return abort;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The query's execution.

void TDataQuery::ReleaseExecution() {
  Run.reset();
  if (ResultCursor != nullptr) {
    try {
      if (ResultCursor->IsOpen()) ResultCursor->Close();
    } catch (...) {
      // Closing a result that is being thrown away: its failure changes nothing.
    }
  }
  ResultCursor.reset();
  SubSelectFilter = nullptr;
  if (ResultDirectory != nullptr && ResultDirectory->Session() != nullptr) {
    ResultDirectory->Session()->CloseDirectory(ResultDirectory);
  }
  ResultDirectory = nullptr;
  AggregateOnly = CountStarShortcut = Live = OrderSatisfied = OrderIndexFound = OrderNotIndexable = false;
  OrderIndex = 255;
  HasBlobColumns = false;
  DrivingTable = nullptr;
}

engine::TDataCursor* TDataQuery::Execute() {
  const uint64_t start = platform::GetTickCount64();
  engine::TDataCursor* result = nullptr;
  if (Statement->Directory() != nullptr) {
    switch (Kind) {
      case skSelect:
        if (Live) {
          ExecuteLiveSelect();
          result = DrivingTable->Cursor.get();
        } else {
          ExecuteSelect();
          result = ResultCursor.get();
        }
        break;
      case skInsert:
      case skUpdate:
      case skDelete: {
        // The SELECT of an INSERT has run already (inner queries first).
        engine::TDataCursor* selected = nullptr;
        if (InsertSelect && InsertQuery != nullptr) {
          selected = InsertQuery->Live && InsertQuery->DrivingTable != nullptr
                         ? InsertQuery->DrivingTable->Cursor.get()
                         : InsertQuery->ResultCursor.get();
        }
        ExecuteDataChange(*this, Statement->Directory(), Statement->Parser().SubSelectHook,
                          selected);
        break;
      }
      case skCreateTable:
      case skCreateIndex:
      case skAlterTable:
      case skDropTable:
      case skDropIndex: ExecuteDataDefinition(*this, Statement->Directory()); break;
      default: break;
    }
  }
  const uint64_t end = platform::GetTickCount64();
  ElapsedSeconds = end > start ? static_cast<double>(end - start) / 1000.0 : 0;
  return result;
}

void TDataQuery::PlanConditions() {
  Run = std::make_unique<TSelectRun>();
  TSelectRun& run = *Run;
  bool outerJoins = false;
  for (const auto& t : SourceTables) {
    t->DropFilters();
    run.Order.push_back(t.get());
    outerJoins = outerJoins || t->OuterOn != nullptr;
  }
  const engine::TEvalContext context = RowContext(*this, nullptr);
  std::vector<TExpTree> conjuncts;
  SplitConjuncts(*this, Condition.get(), conjuncts);
  std::vector<TExpTree> ons(run.Order.size());
  {
    TQueryLocale locale(Statement->LanguageId(), Statement->SortId());
    for (TExpTree& c : conjuncts) {
      CheckQueryTree(*this, c.get(), true, "WHERE or JOIN clause");
      if (c->DataType != engine::fldBool) RaiseSqlError(M::WhereNotBoolean);
    }
    for (size_t i = 0; i < run.Order.size(); ++i) {
      if (run.Order[i]->OuterOn == nullptr) continue;
      ons[i] = TExpTree(engine::CopyExpressionTree(run.Order[i]->OuterOn));
      CheckQueryTree(*this, ons[i].get(), true, "WHERE or JOIN clause");
      if (ons[i]->DataType != engine::fldBool) RaiseSqlError(M::WhereNotBoolean);
    }
    // A live result has no per-row tests to keep the bounds exact.
    if (!Live) MergeIntegerRanges(*this, conjuncts, run, context);
  }
  // A lone table bounded on the first field of an index reads that key range and tests its
  // conditions on the rows of the range: no filter, which would collect the table's live
  // records first. Its rows are put back into record order before they are written (FillResult),
  // hence no row limit, progress or BLOB copies, which follow the walk.
  TSourceTable* ranged = nullptr;
  if (!Live && SourceTables.size() == 1 && SourceTables.front()->OrderDeferred && MaxRowCount < 0 &&
      ProgressCallback == nullptr && !HasBlobColumns && UseKeyRange(*SourceTables.front(), conjuncts)) {
    ranged = SourceTables.front().get();
  }
  // Physical order collects the live records of the whole table. A joined table without
  // filters of its own waits until its link is known: one that is read through key ranges of an
  // index never needs it (TTableJoin::AimFilter changes to physical order when it does).
  std::vector<TSourceTable*> waiting;
  const bool mayWait = !Live && !HasBlobColumns && SourceTables.size() > 1;
  for (const auto& t : SourceTables) {
    if (t.get() == ranged || !t->OrderDeferred) continue;
    const bool filtered = std::any_of(conjuncts.begin(), conjuncts.end(), [&](const TExpTree& c) {
      std::vector<TSourceTable*> tables;
      TablesOf(c.get(), tables);
      return tables.size() == 1 && tables[0] == t.get();
    });
    if (mayWait && !filtered) waiting.push_back(t.get());
    else t->UsePhysicalOrder();
  }
  // Conjuncts on one table become its filters, except on the optional table of an outer join:
  // those are tested after the join has made its null row, so that they mean what WHERE says.
  std::vector<TExpTree> joining;
  for (TExpTree& c : conjuncts) {
    std::vector<TSourceTable*> tables;
    TablesOf(c.get(), tables);
    if (ranged != nullptr && tables.size() == 1 && tables[0] == ranged) {
      run.Residual.push_back(engine::PrepareExpressionTree(c.get(), context, true, false));
      run.AllPushed = false;
      continue;
    }
    // A live result has no per-row test: a condition without columns filters its one table.
    if (tables.empty() && Live) tables.push_back(run.Order.front());
    if (tables.size() == 1 && !HoldsSubSelect(c.get()) && tables[0]->OuterOn == nullptr) {
      TSourceTable* target = tables[0];
      TExpTree prepared = engine::PrepareExpressionTree(c.get(), context, true, false);
      engine::TFilter* filter = target->Cursor->AddFilter(nullptr, std::string_view(), true, false, false, false,
                                                          nullptr, true, prepared.get());
      prepared.release();
      target->Cursor->ActivateFilter(filter);
      target->WhereFilters.push_back(filter);
      continue;
    }
    run.AllPushed = false;
    joining.push_back(std::move(c));
  }
  // Join order: the smallest table joined to another by a condition drives the walk when it
  // is smaller than the first (outer joins keep the written order).
  if (!NoJoinOptimize && !outerJoins && run.Order.size() > 1) {
    std::vector<int32_t> counts;
    for (TSourceTable* t : run.Order) counts.push_back(t->Cursor->GetRecordCount());
    size_t best = 0;
    for (size_t i = 1; i < run.Order.size(); ++i) {
      const bool joined = std::any_of(joining.begin(), joining.end(), [&](const TExpTree& c) {
        std::vector<TSourceTable*> tables;
        TablesOf(c.get(), tables);
        return tables.size() > 1 && !HoldsSubSelect(c.get()) &&
               std::find(tables.begin(), tables.end(), run.Order[i]) != tables.end();
      });
      if (joined && counts[i] < counts[best]) best = i;
    }
    if (best != 0) std::swap(run.Order[0], run.Order[best]);
  }
  for (size_t i = 0; i < run.Order.size(); ++i) run.Order[i]->JoinPosition = static_cast<int16_t>(i + 1);
  DrivingTable = run.Order.empty() ? nullptr : run.Order.front();
  // Links: an outer join's ON condition restricts its optional table; every other table is
  // paired with all rows before it until conditions restrict it.
  for (size_t i = 1; i < run.Order.size(); ++i) {
    TSourceTable* t = run.Order[i];
    TSourceTable* source = run.Order[i - 1];
    auto link = std::make_unique<TTableJoin>(source, t, jkCross);
    link->MayRange = !Live && !HasBlobColumns && t->OrderDeferred && t->WhereFilters.empty();
    const auto written = std::find_if(SourceTables.begin(), SourceTables.end(),
                                      [&](const auto& s) { return s.get() == t; });
    TExpTree& on = ons[static_cast<size_t>(written - SourceTables.begin())];
    if (on) {
      std::vector<TSourceTable*> tables;
      TablesOf(on.get(), tables);
      for (TSourceTable* named : tables) {
        if (PositionIn(run.Order, named) > static_cast<int>(i)) RaiseSqlError(M::JoinInternalCorrelation);
      }
      link->Kind = jkLeft;
      link->Conditions.push_back(std::move(on));
    }
    t->Incoming = link.get();
    run.Links.push_back(link.get());
    source->Joins.push_back(std::move(link));
  }
  for (TExpTree& c : joining) {
    std::vector<TSourceTable*> tables;
    TablesOf(c.get(), tables);
    int latest = -1;
    for (TSourceTable* t : tables) latest = std::max(latest, PositionIn(run.Order, t));
    TSourceTable* target = latest >= 0 ? run.Order[static_cast<size_t>(latest)] : nullptr;
    if (target == nullptr || latest == 0 || HoldsSubSelect(c.get()) || target->OuterOn != nullptr) {
      run.Residual.push_back(engine::PrepareExpressionTree(c.get(), context, true, false));
      continue;
    }
    TTableJoin* link = target->Incoming;
    if (link->Kind == jkCross) link->Kind = jkInner;
    link->Conditions.push_back(std::move(c));
  }
  for (TSourceTable* t : waiting) {
    const TTableJoin* link = t->Incoming;
    if (link != nullptr && link->MayRange && link->Kind != jkCross && !link->Conditions.empty()) continue;
    t->UsePhysicalOrder();
  }
}

void TDataQuery::ExecuteSelect() {
  if (ResultCursor == nullptr) return;
  if (ResultCursor->Filters().Count() > 0) ResultCursor->DropFilter(nullptr);
  SubSelectFilter = nullptr;
  ResultCursor->EmptyTable();
  std::vector<std::unique_ptr<engine::TCursorBracket>> locks;
  if (WithLocks) {
    for (const auto& t : SourceTables) locks.push_back(std::make_unique<engine::TCursorBracket>(*t->Cursor));
  }
  PlanConditions();
  if (AggregateOnly) FillAggregateOnly();
  else FillResult();
  locks.clear();
  SortResult();
  ResultCursor->First();
  ResultCursor->Refresh();
  RowsAffected = ResultCursor->GetRecordCount();
  if (!IsSubSelect) Executed = true;
}

bool TDataQuery::CanStream() const {
  return Kind == skSelect && !Live && ResultCursor != nullptr && !Grouped && !Distinct && OrderBy.empty() &&
         !Having && !HasInto && !HasBlobColumns && MaxRowCount < 0 && ProgressCallback == nullptr;
}

void TDataQuery::StreamSelect(const std::function<void(const uint8_t*)>& sink) {
  if (ResultCursor == nullptr) return;
  std::vector<std::unique_ptr<engine::TCursorBracket>> locks;
  if (WithLocks) {
    for (const auto& t : SourceTables) locks.push_back(std::make_unique<engine::TCursorBracket>(*t->Cursor));
  }
  PlanConditions();
  struct TSinkScope {
    const std::function<void(const uint8_t*)>*& Sink;
    ~TSinkScope() { Sink = nullptr; }
  } scope{sink_};
  sink_ = &sink;
  FillResult();
}

void TDataQuery::FillResult() {
  engine::TDataCursor& result = *ResultCursor;
  std::vector<uint8_t> row(result.GetRecordSize());
  const engine::TEvalContext context = RowContext(*this, &result);
  TJoinWalk walk(Run->Order, context);
  const int32_t total = DrivingTable != nullptr ? DrivingTable->Cursor->GetRecordCount() : 0;
  int32_t step = 0;
  uint32_t lastDriving = 0;
  int32_t inserted = 0;
  // Where each plain column sits in its source cursor, and one buffer for copying values.
  std::vector<uint32_t> positions(ResultColumns.size(), 0);
  size_t widest = 8;
  for (size_t i = 0; i < ResultColumns.size(); ++i) {
    const TResultField& c = *ResultColumns[i];
    if (c.Aggregate != agNone || c.Calculated) continue;
    positions[i] = FieldPosition(*c.SourceTable->Cursor, c.FieldNo);
    widest = std::max<size_t>(widest, result.GetFieldDesc(static_cast<uint32_t>(c.ResultNo)).PhysicalSize);
  }
  std::vector<uint8_t> value(widest + 8, 0);
  const bool keyOrder = DrivingTable != nullptr && DrivingTable->KeyRange;
  auto emit = [&](uint8_t* bytes) {
    if (sink_ != nullptr) (*sink_)(bytes);
    else result.InsertRecord(bytes, false);
  };
  std::vector<std::pair<uint32_t, std::vector<uint8_t>>> held;
  while (walk.Next()) {
    const uint32_t driving = DrivingTable->Cursor->CurrentRecordNumber();
    if (step == 0 || driving != lastDriving) {
      lastDriving = driving;
      ++step;
      if (ReportProgress(*this, step, total)) break;
    }
    bool pass = true;
    for (const TExpTree& test : Run->Residual) {
      TExpTree value = engine::EvaluateExpression(test.get(), nullptr, context);
      if (!engine::ExpressionResultTrue(*value)) {
        pass = false;
        break;
      }
    }
    if (!pass) continue;
    if (MaxRowCount >= 0 && inserted >= MaxRowCount) break;
    result.InitRecord(row.data());
    for (size_t i = 0; i < ResultColumns.size(); ++i) {
      const auto& c = ResultColumns[i];
      const FieldDesc& f = result.GetFieldDesc(static_cast<uint32_t>(c->ResultNo));
      if (c->Aggregate == agNone && !c->Calculated) {
        TSourceTable& t = *c->SourceTable;
        const uint32_t position = positions[i];
        if (f.IsBlob()) {
          CopyBlob(t, position, result, static_cast<uint32_t>(c->ResultNo), row.data());
          continue;
        }
        std::fill(value.begin(), value.begin() + static_cast<std::ptrdiff_t>(std::max<size_t>(f.PhysicalSize, 8) + 8), 0);
        const bool null = t.Padded || t.Cursor->GetFieldData(position, t.RecordBuffer.data(), value.data());
        result.SetFieldData(static_cast<uint32_t>(c->ResultNo), row.data(), null ? nullptr : value.data());
        continue;
      }
      if (c->Aggregate == agCount) {
        bool counted = c->CountAll;
        if (!counted) {
          TExpTree value = engine::EvaluateExpression(c->Expression->Left, nullptr, context);
          counted = !value->IsNull;
        }
        TExpTree one = IntegerNode(counted ? 1 : 0);
        StoreValue(f, *one, row.data());
        continue;
      }
      const TExpToken* expression = c->Aggregate != agNone ? c->Expression->Left : c->Expression.get();
      TExpTree value = engine::EvaluateExpression(expression, nullptr, context);
      StoreValue(f, *value, row.data());
      if (c->Aggregate == agAvg && c->CountFieldNo > 0) {
        TExpTree count = IntegerNode(value->IsNull ? 0 : 1);
        StoreValue(result.GetFieldDesc(static_cast<uint32_t>(c->CountFieldNo)), *count, row.data());
      }
    }
    if (keyOrder) {
      held.emplace_back(DrivingTable->Cursor->CurrentRecordNumber(), row);
      continue;
    }
    emit(row.data());
    ++inserted;
    if (HasBlobColumns) result.CloseAllBlobs();
  }
  // Rows read through a key range come in key order: written in record order, they are what
  // a walk of the whole table gives.
  std::stable_sort(held.begin(), held.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  for (auto& [number, bytes] : held) emit(bytes.data());
}

void TDataQuery::FillAggregateOnly() {
  engine::TDataCursor& result = *ResultCursor;
  std::vector<uint8_t> accumulator(result.GetRecordSize());
  result.InitRecord(accumulator.data());
  TAggregator aggregator(*this, result);
  if (CountStarShortcut && Run->AllPushed) {
    const int32_t count = DrivingTable->Cursor->GetRecordCount();
    ReportProgress(*this, count, count);
    TExpTree value = IntegerNode(count);
    StoreValue(result.GetFieldDesc(1), *value, accumulator.data());
    if (MaxRowCount != 0) result.InsertRecord(accumulator.data(), false);
    return;
  }
  // The rows go through a scratch table of one row at a time: the same record layout.
  const int32_t saved = MaxRowCount;
  MaxRowCount = -1;
  FillResult();
  MaxRowCount = saved;
  bool first = true;
  std::vector<uint8_t> row(result.GetRecordSize());
  result.First();
  while (result.GetNextRecord(row.data()) == 0) {
    if (first) aggregator.Start(row.data(), accumulator.data());
    else aggregator.Add(row.data(), accumulator.data());
    first = false;
  }
  if (first) {
    result.InitRecord(accumulator.data());
  }
  aggregator.Finish(accumulator.data());
  result.EmptyTable();
  if (MaxRowCount != 0) result.InsertRecord(accumulator.data(), false);
}

void TDataQuery::SortResult() {
  engine::TDataCursor& result = *ResultCursor;
  auto fieldOf = [&](int32_t resultNo, bool descending) {
    FieldDesc f = result.GetFieldDesc(static_cast<uint32_t>(resultNo));
    f.Descending = descending;
    return f;
  };
  if (Grouped && !AggregateOnly && !GroupBy.empty()) {
    TAggregator aggregator(*this, result);
    engine::TSortOptions options;
    for (const auto& g : GroupBy) options.Fields.push_back(fieldOf(g->ColumnNo, false));
    options.Group = [&](int mode, uint8_t* record, uint8_t* output) {
      if (mode == 1) aggregator.Start(record, output);
      else aggregator.Add(record, output);
    };
    options.Finish = [&](uint8_t* output) { aggregator.Finish(output); };
    engine::TEvalContext context = RowContext(*this, &result);
    if (Having) {
      options.Filter = [&](uint8_t* output) {
        TExpTree value = engine::EvaluateExpression(Having.get(), output, context);
        return engine::ExpressionResultTrue(*value);
      };
    }
    result.AddIndexExclusive(options);
  }
  if (Distinct) {
    engine::TSortOptions options;
    for (const auto& c : ResultColumns) options.Fields.push_back(fieldOf(c->ResultNo, false));
    options.Distinct = true;
    result.AddIndexExclusive(options);
  }
  if (!OrderBy.empty() && !OrderSatisfied) {
    engine::TSortOptions options;
    for (const auto& o : OrderBy) options.Fields.push_back(fieldOf(o->ColumnNo, o->Descending));
    options.CaseInsensitive = OrderNoCase;
    result.AddIndexExclusive(options);
  }
}

// ---------------------------------------------------------------------------------------------
// Sub-selects.

bool TDataQuery::BindSubSelectColumn(TExpToken& node) {
  if (ResultCursor == nullptr || !ResultCursor->IsOpen() || ResultColumns.empty()) return false;
  const TResultField& c = *ResultColumns.front();
  TExpTree typed = ReadValue(*ResultCursor, static_cast<uint32_t>(c.ResultNo), nullptr);
  node.FieldName = c.ResultName;
  node.TableName = c.Correlation;
  node.FieldNo = c.ResultNo;
  node.SourceRef = nullptr;
  node.DataType = typed->DataType;
  node.SubType = typed->SubType;
  node.Scale = typed->Scale;
  node.SetDataSize(typed->DataSize);
  return true;
}

int64_t TDataQuery::FilterSubSelect(const TExpToken& comparison) {
  if (ResultCursor == nullptr || !ResultCursor->IsOpen()) return 0;
  // A NULL is in no set.
  if (comparison.Left == nullptr || comparison.Left->IsNull) return 0;
  TExpTree copy(engine::CopyExpressionTree(&comparison));
  copy->Right->NodeClass = engine::ncColumn;
  copy->Right->SourceRef = nullptr;
  engine::TEvalContext context = RowContext(*this, ResultCursor.get());
  TExpTree prepared = engine::PrepareExpressionTree(copy.get(), context, true, false);
  if (SubSelectFilter == nullptr) {
    SubSelectFilter = ResultCursor->AddFilter(nullptr, std::string_view(), true, false, false, false, nullptr, true,
                                              prepared.get());
    prepared.release();
    ResultCursor->ActivateFilter(SubSelectFilter);
  } else {
    ResultCursor->SetFilterExpression(prepared.get(), SubSelectFilter);
    prepared.release();
  }
  return ResultCursor->GetRecordCount();
}

}  // namespace tovenmarsh::sql
