// What expressions need of the rows they run over: a record source finds columns by name (for
// type checking) and reads one field of a record into a node (for evaluation). A cursor
// implements it for its table; tests implement it over rows in memory.
//
// Contract: FindField answers the descriptor of the column or nullptr; ReadField fills the
// node's Data and IsNull in the expression value form of the field's type (memo texts with
// DataSize = length + 1) and answers false when the record cannot be read.
#pragma once

#include <functional>
#include <string_view>

#include "engine/expr/expr_token.h"
#include "engine/format/field_desc.h"

namespace tovenmarsh::engine {

class TExpressionRecordSource {
 public:
  virtual ~TExpressionRecordSource() = default;
  // tableName is the correlation name written before the column ("" when none).
  virtual const FieldDesc* FindField(std::string_view tableName, std::string_view name) = 0;
  virtual const FieldDesc* FieldByNumber(int fieldNo) = 0;
  virtual bool ReadField(const void* record, const FieldDesc& field, TExpToken& node) = 0;
};

// Resolves a column node: sets FieldNo, DataType, SubType, DataSize (strings: size + 1;
// BLOBs 0; others the type's fixed size) and Scale, and empties TableName. False when unknown.
using TColumnResolver = std::function<bool(TExpToken& node)>;
bool ResolveSourceColumn(TExpressionRecordSource& source, TExpToken& node);
TColumnResolver MakeColumnResolver(TExpressionRecordSource& source);

// Reads a column node's field of record; false when it cannot.
using TFieldReader = std::function<bool(const void* record, TExpToken& node)>;
TFieldReader MakeFieldReader(TExpressionRecordSource& source);

}  // namespace tovenmarsh::engine
