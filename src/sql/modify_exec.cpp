// INSERT, UPDATE and DELETE: target resolution, value checks, the row loops and their
// transactions.
#include "sql/modify_exec.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/base/engine_strings.h"
#include "engine/cursor/cursor.h"
#include "engine/expr/expr_convert.h"
#include "engine/expr/expr_eval.h"
#include "engine/expr/expr_typecheck.h"
#include "engine/expr/expr_types.h"
#include "engine/store/blob_buffer.h"
#include "engine/table/directory.h"
#include "platform/format_settings.h"
#include "sql/query_tree.h"
#include "sql/sql_messages.h"
#include "sql/table_target.h"

namespace tovenmarsh::sql {

using engine::TExpToken;
using engine::TExpTree;
using M = TSqlMessage;

// Rows of an UPDATE or DELETE from which on their records are locked as one span.
constexpr size_t kSpanRows = 64;

int32_t DefaultCommitInterval(uint32_t recordSize) {
  if (recordSize == 0) return 8191;
  return static_cast<int32_t>(std::min<uint32_t>(262140u / recordSize, 8191u));
}

namespace {

// Type checks read the thread's formats: the session's language, under the process-wide lock.
class TFormatScope {
 public:
  explicit TFormatScope(const TDataQuery& query) {
    engine::EnterLocaleLock();
    try {
      engine::TLanguageSettings settings;
      engine::LoadLanguageSettings(query.Statement->LanguageId(), query.Statement->SortId(),
                                   settings);
      scope_ = std::make_unique<platform::TThreadFormatScope>(settings);
    } catch (...) {
      engine::LeaveLocaleLock();
      throw;
    }
  }
  ~TFormatScope() {
    scope_.reset();
    engine::LeaveLocaleLock();
  }
  TFormatScope(const TFormatScope&) = delete;
  TFormatScope& operator=(const TFormatScope&) = delete;

 private:
  std::unique_ptr<platform::TThreadFormatScope> scope_;
};

// The statement's own transaction on the target's database, or the caller's.
class TChangeTransaction {
 public:
  TChangeTransaction(TDataQuery& query, engine::TDataDirectory* directory,
                     engine::TDataCursor& cursor)
      : query_(query), directory_(directory), cursor_(cursor) {
    own_ = !directory->InTransaction();
    if (!own_) return;
    if (!query.CommitIntervalGiven) {
      query.CommitInterval = DefaultCommitInterval(cursor.GetRecordSize());
    }
    directory->StartTransaction();
  }
  ~TChangeTransaction() {
    if (!own_ || done_) return;
    try {
      directory_->Rollback();
    } catch (...) {
      // The failure that ended the statement is the one reported.
    }
  }
  TChangeTransaction(const TChangeTransaction&) = delete;
  TChangeTransaction& operator=(const TChangeTransaction&) = delete;

  // After each row written; true when it committed the rows so far.
  bool RowWritten() {
    if (!own_ && !query_.CommitIntervalGiven) return false;
    if (query_.CommitInterval <= 0 || query_.RowsAffected % query_.CommitInterval != 0) return false;
    directory_->Commit(false);
    cursor_.Refresh();
    return true;
  }
  void Finish() {
    if (own_) directory_->Commit(true);
    done_ = true;
  }

 private:
  TDataQuery& query_;
  engine::TDataDirectory* directory_;
  engine::TDataCursor& cursor_;
  bool own_ = false;
  bool done_ = false;
};

// Reports progress; answers whether the loop goes on.
bool Progress(TDataQuery& q, int32_t step, int64_t rows) {
  if (q.ProgressCallback == nullptr) return true;
  int32_t percent = rows > 0 ? static_cast<int32_t>(std::lround(100.0 * step / static_cast<double>(rows))) : 100;
  bool abort = false;
  q.ProgressCallback(q.ProgressOwner, step, percent, abort);
  return !abort;
}

class TDataChange {
 public:
  TDataChange(TDataQuery& q, engine::TDataDirectory* directory, engine::TSubSelectHook* hook)
      : q_(q), hook_(hook) {
    if (q.SourceTables.empty()) RaiseSqlError(M::None);
    source_ = q.SourceTables.front().get();
    const bool pathGiven = !source_->InMemory && !source_->Path.empty() &&
                           !engine::SameText(source_->Path, q.Statement->DatabasePath());
    target_ = std::make_unique<TTableTarget>(
        q, directory, pathGiven ? source_->Path + source_->TableName : source_->TableName,
        source_->InMemory);
    cursor_ = target_->NewCursor(false);
    cursor_->SetReadOnly(false);
    cursor_->Open();
    closer_ = std::make_unique<TCloseCursor>(*cursor_);
    context_.LanguageId = q.Statement->LanguageId();
    context_.SortId = q.Statement->SortId();
    context_.Reader = engine::MakeFieldReader(*cursor_);
    context_.SubSelectHook = hook;
    record_.assign(cursor_->GetRecordSize(), 0);
  }
  ~TDataChange() {
    if (cursor_) {
      try {
        cursor_->CloseAllBlobs();
      } catch (...) {
      }
    }
    closer_.reset();
  }
  TDataChange(const TDataChange&) = delete;
  TDataChange& operator=(const TDataChange&) = delete;

  void Insert(engine::TDataCursor* selectResult) {
    ResolveTargets(true);
    if (q_.InsertSelect) {
      if (selectResult == nullptr) RaiseSqlError(M::None);
      SelectValues(*selectResult);
    }
    if (values_.size() != targets_.size()) RaiseSqlError(M::ValueCountMismatch);
    CheckValues(false);
    cursor_->SetAutoIncWritable(q_.NoAutoInc);
    q_.RowsAffected = 0;
    if (!q_.InsertSelect) {
      cursor_->InitRecord(record_.data());
      WriteValues(nullptr, false);
      cursor_->InsertRecord(record_.data(), false);
      q_.RowsAffected = 1;
      return;
    }
    InsertSelected(*selectResult);
  }

  void Update() {
    ResolveTargets(false);
    if (values_.size() != targets_.size()) RaiseSqlError(M::ValueCountMismatch);
    CheckValues(true);
    PrepareCondition();
    cursor_->SetAutoIncWritable(q_.NoAutoInc);
    q_.RowsAffected = 0;
    ChangeRows(true);
  }

  void Delete() {
    PrepareCondition();
    q_.RowsAffected = 0;
    ChangeRows(false);
  }

 private:
  struct TTarget {
    uint32_t Position = 0;
    uint8_t DataType = 0, SubType = 0, Scale = 0;
    int32_t DataSize = 0;
    std::string DisplayName;
  };

  engine::TColumnResolver Resolver() {
    return [this](TExpToken& node) {
      if (!node.TableName.empty() && !engine::SameText(node.TableName, source_->Correlation)) {
        return false;
      }
      return engine::ResolveSourceColumn(*cursor_, node);
    };
  }

  void AddTarget(const engine::FieldDesc& f, TUpdateField& field) {
    field.FieldNo = static_cast<int16_t>(f.FieldNumber);
    field.DataType = f.FieldType;
    field.SubType = f.SubType;
    field.Scale = f.FieldType == engine::fldBCD ? f.Scale : 0;
    int32_t size = engine::FixedTypeSize(f.FieldType);
    if (f.FieldType == engine::fldZString) size = f.Size + 1;
    if (f.FieldType == engine::fldBytes || f.FieldType == engine::fldVarBytes) size = f.Size;
    field.DataSize = static_cast<uint8_t>(std::min(size, 255));
    field.DisplayName = f.Name;
    field.Correlation = source_->Correlation;
    field.SourceTable = source_;
    TTarget t;
    t.Position = f.FieldNumber;
    t.DataType = f.FieldType;
    t.SubType = f.SubType;
    t.Scale = field.Scale;
    t.DataSize = size;
    t.DisplayName = f.Name;
    if (f.IsBlob()) hasBlobs_ = true;
    targets_.push_back(std::move(t));
  }

  void ResolveTargets(bool allowAll) {
    std::vector<std::unique_ptr<TUpdateField>> resolved;
    for (auto& field : q_.UpdateFields) {
      if (allowAll && field->ColumnName == "*") {
        for (uint32_t n = 1; n <= cursor_->GetFieldCount(); ++n) {
          auto all = std::make_unique<TUpdateField>(&q_);
          all->ColumnName = cursor_->GetFieldDesc(n).Name;
          AddTarget(cursor_->GetFieldDesc(n), *all);
          resolved.push_back(std::move(all));
        }
        continue;
      }
      const engine::FieldDesc* f =
          field->Correlation.empty() || engine::SameText(field->Correlation, source_->Correlation)
              ? cursor_->FindField({}, field->ColumnName)
              : nullptr;
      if (f == nullptr) RaiseSqlError(M::InvalidTargetColumn, {field->ColumnName, field->Correlation});
      AddTarget(*f, *field);
      resolved.push_back(std::move(field));
    }
    q_.UpdateFields = std::move(resolved);
    for (const auto& value : q_.UpdateValues) values_.push_back(value->Expression.get());
  }

  // One column node per result column of the SELECT, naming its field by position.
  void SelectValues(engine::TDataCursor& result) {
    for (uint32_t n = 1; n <= result.GetFieldCount(); ++n) {
      const engine::FieldDesc& f = result.GetFieldDesc(n);
      TExpTree node = engine::NewExpTree();
      node->NodeClass = engine::ncColumn;
      node->FieldName = f.Name;
      node->Text = f.Name;
      node->FieldNo = static_cast<int16_t>(f.FieldNumber);
      node->DataType = f.FieldType;
      node->SubType = f.SubType;
      node->Scale = f.FieldType == engine::fldBCD ? f.Scale : 0;
      int32_t size = engine::FixedTypeSize(f.FieldType);
      if (f.FieldType == engine::fldZString) size = f.Size + 1;
      if (f.FieldType == engine::fldBytes || f.FieldType == engine::fldVarBytes) size = f.Size;
      node->SetDataSize(size);
      auto value = std::make_unique<TUpdateValue>(&q_);
      value->Text = f.Name;
      value->Expression = std::move(node);
      values_.push_back(value->Expression.get());
      selectValues_.push_back(std::move(value));
    }
  }

  void CheckValues(bool rowValues) {
    TFormatScope formats(q_);
    for (size_t i = 0; i < values_.size(); ++i) {
      TExpToken& v = *values_[i];
      const TTarget& t = targets_[i];
      if (!q_.InsertSelect) {
        engine::TTypeCheckSettings settings;
        settings.ErrorCode = engine::kErrSql;
        settings.Context = "update values";
        if (rowValues) settings.Resolver = Resolver();
        settings.SubSelectHook = hook_;
        engine::CheckExpressionTypes(settings, false, nullptr, &v);
      }
      if (v.NodeClass != engine::ncConstant || v.IsNull || v.DataType == 0 ||
          v.DataType == t.DataType) {
        continue;
      }
      const std::string text = i < q_.UpdateValues.size() ? q_.UpdateValues[i]->Text : v.Text;
      if (v.DataType == engine::fldZString && engine::IsDateTimeType(t.DataType)) {
        uint8_t value[8] = {};
        if (!engine::TextToDateTimeValue(v.StringValue(), t.DataType, value)) {
          RaiseSqlError(M::DateTimeExpectedInValues, {v.StringValue()});
        }
        v.DataType = t.DataType;
        v.SubType = t.SubType;
        v.Scale = t.Scale;
        v.SetDataSize(engine::FixedTypeSize(t.DataType));
        v.ClearValue();
        std::memcpy(v.Data, value, static_cast<size_t>(engine::FixedTypeSize(t.DataType)));
      } else if (!engine::OperatorTypesCompatible(engine::opEqual, t.DataType, t.SubType,
                                                  v.SubType, v.DataType)) {
        RaiseSqlError(M::TypeMismatchInValues, {t.DisplayName, text});
      }
    }
    for (TExpToken* v : values_) {
      prepared_.push_back(engine::PrepareExpressionTree(v, context_, true, false));
    }
  }

  void PrepareCondition() {
    if (!q_.Condition) return;
    TFormatScope formats(q_);
    engine::TTypeCheckSettings settings;
    settings.ErrorCode = engine::kErrSql;
    settings.Context = "WHERE or JOIN clause";
    settings.Resolver = Resolver();
    settings.SubSelectHook = hook_;
    engine::CheckExpressionTypes(settings, true, nullptr, q_.Condition.get());
    if (q_.Condition->DataType != engine::fldBool) RaiseSqlError(M::WhereNotBoolean);
    condition_ = engine::PrepareExpressionTree(q_.Condition.get(), context_, true, false);
  }

  // Writes the values evaluated against source (null: no row) into record_.
  void WriteValues(const void* source, bool update) {
    const engine::TEvalContext& context = fromSelect_ ? selectContext_ : context_;
    for (size_t i = 0; i < prepared_.size(); ++i) {
      const TTarget& t = targets_[i];
      TExpTree r = engine::EvaluateExpression(prepared_[i].get(), source, context);
      if (r->IsNull || r->DataType == 0) {
        if (t.DataType == engine::fldBlob) {
          OpenBlob(t);
          Check(cursor_->TruncateBlob(t.Position, record_.data(), 0));
        } else {
          cursor_->SetFieldData(t.Position, record_.data(), nullptr);
        }
        continue;
      }
      if (t.DataType == engine::fldBlob) {
        OpenBlob(t);
        if (update) Check(cursor_->TruncateBlob(t.Position, record_.data(), 0));
        size_t length = r->DataType == engine::fldZString ? r->StringValue().size()
                                                          : static_cast<size_t>(std::max(r->DataSize, 0));
        if (length > 0) {
          Check(cursor_->WriteBlob(t.Position, record_.data(), 0, static_cast<uint32_t>(length),
                                   r->Data));
        }
        continue;
      }
      const size_t size = static_cast<size_t>(std::max(r->DataSize, 0));
      std::vector<uint8_t> buffer(std::max<size_t>(size, engine::kConvertBufferSize) + 16, 0);
      if (r->DataType == engine::fldZString) {
        std::memcpy(buffer.data(), r->StringValue().data(), r->StringValue().size());
      } else {
        std::memcpy(buffer.data(), r->Data, size);
      }
      if (r->DataType != t.DataType &&
          !engine::ConvertFieldValue(r->DataType, r->DataSize, r->Scale, buffer.data(), t.Scale,
                                     t.DataSize, t.DataType)) {
        const std::string text =
            i < q_.UpdateValues.size() ? q_.UpdateValues[i]->Text : selectValues_[i]->Text;
        RaiseSqlError(update ? M::TypeMismatchUpdate : M::TypeMismatchInsert, {t.DisplayName, text});
      }
      cursor_->SetFieldData(t.Position, record_.data(), buffer.data());
    }
  }

  void OpenBlob(const TTarget& t) {
    Check(cursor_->OpenBlob(t.Position, record_.data(), engine::TBlobBufferList::kReadWrite));
  }
  void Check(int code) {
    if (code != 0) engine::RaiseEngineError(static_cast<uint16_t>(code), cursor_->TableName());
  }

  bool Selected(const uint8_t* record) {
    if (!condition_) return true;
    TExpTree r = engine::EvaluateExpression(condition_.get(), record, context_);
    return engine::ExpressionResultTrue(*r);
  }

  // The rows the condition selects, as they stand now, by their physical bookmarks: changing
  // a row moves it in no index walk, and a row is never met twice. A condition without
  // sub-selects becomes an engine filter for the walk, which indexes can answer.
  std::vector<std::vector<uint8_t>> SelectedRows() {
    std::vector<std::vector<uint8_t>> rows;
    cursor_->SetIndexNumber(engine::kPhysicalOrder);
    struct TDropFilter {
      engine::TDataCursor& Cursor;
      engine::TFilter* Filter = nullptr;
      ~TDropFilter() {
        if (Filter == nullptr) return;
        try {
          Cursor.DropFilter(Filter);
        } catch (...) {
          // The filter goes with the cursor at the latest.
        }
      }
    } drop{*cursor_};
    if (condition_ && !HoldsSubSelect(condition_.get())) {
      TExpTree copy(engine::CopyExpressionTree(condition_.get()));
      drop.Filter = cursor_->AddFilter(nullptr, std::string_view(), true, false, false, false,
                                       nullptr, true, copy.get());
      copy.release();
      cursor_->ActivateFilter(drop.Filter);
    }
    cursor_->First();
    std::vector<uint8_t> bookmark(cursor_->GetBookmarkSize());
    while (cursor_->GetNextRecord(record_.data()) == 0) {
      if (drop.Filter == nullptr && !Selected(record_.data())) continue;
      cursor_->GetBookmark(bookmark.data());
      rows.push_back(bookmark);
    }
    if (drop.Filter != nullptr) {
      engine::TFilter* filter = drop.Filter;
      drop.Filter = nullptr;
      cursor_->DropFilter(filter);
    }
    return rows;
  }

  void ChangeRows(bool update) {
    TChangeTransaction transaction(q_, target_->Directory(), *cursor_);
    std::vector<std::vector<uint8_t>> rows = SelectedRows();
    int32_t step = 0;
    // Many rows still to change lock their span of records at once (until the next commit):
    // a lock per row would cost the kernel a walk over all the locks held, for every row.
    bool spanTried = false;
    for (size_t i = 0; i < rows.size(); ++i) {
      const std::vector<uint8_t>& bookmark = rows[i];
      if (!spanTried && rows.size() - i >= kSpanRows) {
        spanTried = true;
        cursor_->LockRecordSpan(bookmark.data(), rows.back().data());
      }
      if (!Progress(q_, ++step, static_cast<int64_t>(rows.size()))) break;
      if (!cursor_->GotoBookmark(bookmark.data(), false)) continue;
      if (cursor_->GetCurrentRecord(record_.data()) != 0) continue;
      if (update) {
        cursor_->LockRecord();
        struct TUnlock {
          engine::TDataCursor& Cursor;
          ~TUnlock() {
            try {
              Cursor.UnlockRecord();
            } catch (...) {
            }
          }
        } unlock{*cursor_};
        WriteValues(record_.data(), true);
        cursor_->ModifyRecord(record_.data(), false, false);
      } else {
        cursor_->DeleteRecord(record_.data(), false);
      }
      ++q_.RowsAffected;
      if (transaction.RowWritten()) spanTried = false;
      if (hasBlobs_) cursor_->CloseAllBlobs();
    }
    transaction.Finish();
  }

  // The SELECT's rows are taken by bookmark before the first insert: a SELECT over the target
  // itself then reads the table as it stood, not the rows this statement adds.
  // One row of the SELECT becomes a row of the target, inside the statement's transaction.
  void InsertSelectedRow(const uint8_t* row, TChangeTransaction& transaction) {
    cursor_->InitRecord(record_.data());
    WriteValues(row, false);
    cursor_->InsertRecord(record_.data(), false);
    ++q_.RowsAffected;
    transaction.RowWritten();
    if (hasBlobs_) cursor_->CloseAllBlobs();
  }

  void InsertSelected(engine::TDataCursor& result) {
    selectContext_ = context_;
    selectContext_.Reader = engine::MakeFieldReader(result);
    TDataQuery* select = q_.InsertQuery;
    if (select != nullptr && select->Deferred) {
      select->Deferred = false;
      bool readsTarget = false;
      for (const auto& t : select->SourceTables) {
        readsTarget = readsTarget || (t->Cursor != nullptr && t->Cursor->Table() == cursor_->Table());
      }
      if (!readsTarget) {
        // The SELECT reads other tables only: its rows are written as it makes them.
        fromSelect_ = true;
        TChangeTransaction transaction(q_, target_->Directory(), *cursor_);
        select->StreamSelect([&](const uint8_t* row) { InsertSelectedRow(row, transaction); });
        transaction.Finish();
        return;
      }
      // Over the target the SELECT's result table is the snapshot of the rows that were there.
      select->Execute();
    }
    std::vector<std::vector<uint8_t>> rows;
    std::vector<uint8_t> selectRecord(result.GetRecordSize());
    if (result.Table() != cursor_->Table()) {
      // Rows read from another table (the SELECT's own result) do not move under the inserts:
      // one pass reads and writes them.
      fromSelect_ = true;
      TChangeTransaction transaction(q_, target_->Directory(), *cursor_);
      const int64_t total = result.GetRecordCount();
      int32_t step = 0;
      result.First();
      while (result.GetNextRecord(selectRecord.data()) == 0) {
        if (!Progress(q_, ++step, total)) break;
        InsertSelectedRow(selectRecord.data(), transaction);
      }
      transaction.Finish();
      return;
    }
    std::vector<uint8_t> bookmark(result.GetBookmarkSize());
    result.First();
    while (result.GetNextRecord(selectRecord.data()) == 0) {
      result.GetBookmark(bookmark.data());
      rows.push_back(bookmark);
    }
    fromSelect_ = true;
    TChangeTransaction transaction(q_, target_->Directory(), *cursor_);
    int32_t step = 0;
    for (const auto& row : rows) {
      if (!Progress(q_, ++step, static_cast<int64_t>(rows.size()))) break;
      if (!result.GotoBookmark(row.data(), false)) continue;
      if (result.GetCurrentRecord(selectRecord.data()) != 0) continue;
      InsertSelectedRow(selectRecord.data(), transaction);
    }
    transaction.Finish();
  }

  TDataQuery& q_;
  engine::TSubSelectHook* hook_;
  TSourceTable* source_ = nullptr;
  std::unique_ptr<TTableTarget> target_;
  std::unique_ptr<engine::TDataCursor> cursor_;
  std::unique_ptr<TCloseCursor> closer_;
  engine::TEvalContext context_;
  engine::TEvalContext selectContext_;
  std::vector<uint8_t> record_;
  std::vector<TTarget> targets_;
  std::vector<TExpToken*> values_;
  std::vector<std::unique_ptr<TUpdateValue>> selectValues_;
  std::vector<TExpTree> prepared_;
  TExpTree condition_;
  bool hasBlobs_ = false;
  bool fromSelect_ = false;
};

}  // namespace

void ExecuteDataChange(TDataQuery& query, engine::TDataDirectory* directory,
                       engine::TSubSelectHook* hook, engine::TDataCursor* selectResult) {
  TDataChange change(query, directory, hook);
  switch (query.Kind) {
    case skInsert: change.Insert(selectResult); break;
    case skUpdate: change.Update(); break;
    case skDelete: change.Delete(); break;
    default: break;
  }
}

}  // namespace tovenmarsh::sql
