// What SELECT preparation and execution share: the format-settings scope of type checks, the
// column resolver and row reader over a query's source tables, value helpers for result
// records, and the conditions one execution planned (TSelectRun).
//
// Contract: column nodes resolved here carry their TSourceTable in SourceRef and the field
// number in FieldNo; a node without SourceRef is a column of the query's result record. Trees
// handed to engine filters hold only columns of the filtered table.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/engine_locale.h"
#include "engine/cursor/cursor.h"
#include "engine/expr/expr_eval.h"
#include "engine/expr/expr_token.h"
#include "engine/expr/expr_typecheck.h"
#include "platform/format_settings.h"
#include "sql/data_query.h"
#include "sql/query_parts.h"
#include "sql/query_tree.h"
#include "sql/select_run.h"

namespace tovenmarsh::sql {

// The process-wide format-settings lock with the session's formats applied, for type checks.
class TQueryLocale {
 public:
  TQueryLocale(uint16_t languageId, uint16_t sortId);
  ~TQueryLocale();
  TQueryLocale(const TQueryLocale&) = delete;
  TQueryLocale& operator=(const TQueryLocale&) = delete;

 private:
  struct TLock {
    TLock() { engine::EnterLocaleLock(); }
    ~TLock() { engine::LeaveLocaleLock(); }
  };
  static engine::TLanguageSettings Load(uint16_t languageId, uint16_t sortId);
  TLock lock_;
  engine::TLanguageSettings settings_;
  platform::TThreadFormatScope scope_;
};

// Type-checks tree over the query's source tables (error 11949 with context).
void CheckQueryTree(TDataQuery& query, engine::TExpToken* tree, bool booleanContext,
                    const std::string& context);
// Evaluation over the current rows of the source tables; columns without SourceRef are read
// from the record handed to the evaluation through resultCursor.
engine::TEvalContext RowContext(const TDataQuery& query, engine::TDataCursor* resultCursor);
// A node typed like field (the expression value form) holding its value in record.
engine::TExpTree ReadValue(engine::TDataCursor& cursor, uint32_t field, const uint8_t* record);
// Puts an evaluated value into a field of record, converted to the field's type; NULL when it
// does not convert.
void StoreValue(const engine::FieldDesc& field, const engine::TExpToken& value, uint8_t* record);
}  // namespace tovenmarsh::sql
