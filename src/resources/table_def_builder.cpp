// Application table definitions converted into the record-set layer's definition lists.
#include "resources/table_def_builder.h"

namespace tovenmarsh::resources {

dataset::TFieldType DatasetFieldType(TAppFieldType type) {
  switch (type) {
    case TAppFieldType::String: return dataset::ftString;
    case TAppFieldType::Integer: return dataset::ftInteger;
    case TAppFieldType::AutoInc: return dataset::ftAutoInc;
    case TAppFieldType::Boolean: return dataset::ftBoolean;
    case TAppFieldType::DateTime: return dataset::ftDateTime;
    case TAppFieldType::Memo: return dataset::ftMemo;
  }
  return dataset::ftUnknown;
}

dataset::TIndexOptions DatasetIndexOptions(const TAppIndexDef& index) {
  dataset::TIndexOptions options = 0;
  if (index.primary) options |= dataset::ixPrimary;
  if (index.unique) options |= dataset::ixUnique;
  if (index.caseInsensitive) options |= dataset::ixCaseInsensitive;
  return options;
}

void FillTableDefs(const TAppTableDef& table, dataset::TFieldDefs& fields,
                   dataset::TIndexDefs& indexes) {
  fields.Clear();
  for (const TAppFieldDef& field : table.fields) {
    fields.Add(field.name, DatasetFieldType(field.type), field.size, field.required);
  }
  indexes.Clear();
  for (const TAppIndexDef& index : table.indexes) {
    indexes.Add(index.name, index.fields, DatasetIndexOptions(index));
  }
}

}  // namespace tovenmarsh::resources
