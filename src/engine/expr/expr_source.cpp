// Column resolution and field reading over a record source.
#include "engine/expr/expr_source.h"

#include "engine/expr/expr_types.h"

namespace tovenmarsh::engine {

bool ResolveSourceColumn(TExpressionRecordSource& source, TExpToken& node) {
  const FieldDesc* field = source.FindField(node.TableName, node.FieldName);
  if (field == nullptr) return false;
  node.FieldNo = static_cast<int16_t>(field->FieldNumber);
  node.DataType = field->FieldType;
  node.SubType = field->SubType;
  node.Scale = field->FieldType == 8 ? field->Scale : 0;
  int32_t size = FixedTypeSize(field->FieldType);
  if (field->FieldType == 1) size = field->Size + 1;
  if (field->FieldType == 9) size = field->Size;
  node.SetDataSize(size);
  node.TableName.clear();
  return true;
}

TColumnResolver MakeColumnResolver(TExpressionRecordSource& source) {
  return [&source](TExpToken& node) { return ResolveSourceColumn(source, node); };
}

TFieldReader MakeFieldReader(TExpressionRecordSource& source) {
  return [&source](const void* record, TExpToken& node) {
    const FieldDesc* field = source.FieldByNumber(node.FieldNo);
    if (field == nullptr) return false;
    return source.ReadField(record, *field, node);
  };
}

}  // namespace tovenmarsh::engine
