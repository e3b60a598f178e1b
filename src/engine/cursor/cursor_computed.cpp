// The field list of a live query result: installing it on an open cursor, and the computed
// fields it may hold, evaluated into the record buffer from their expression trees.
// Implements the field-list calls of engine/cursor/cursor.h.
//
// Contract: stored fields of the list keep their record offsets and must each be one of the
// table's fields (same offset, type and size), so that no field reads outside the stored
// record; computed fields, and fields beyond the table's field count, live behind the stored
// record (never written to the file) and cannot be BLOB or autoinc fields. A failing check
// leaves the cursor's field list as it was.
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/store/data_file.h"
#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/expr/expr_convert.h"
#include "engine/expr/expr_eval.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

namespace {

constexpr size_t kMaxQualifiedName = 100;

// Puts an evaluation result into a field of a record buffer (NULL when it does not convert).
void StoreResult(const FieldDesc& f, const TExpToken& result, uint8_t* record) {
  uint8_t* at = record + f.Offset;
  std::memset(at, 0, f.PhysicalSize + 1u);
  if (result.IsNull) return;
  std::vector<uint8_t> value(kConvertBufferSize + 16, 0);
  int32_t size = 0;
  uint8_t scale = 0;
  if (result.DataType == fldZString) {
    const std::string_view text = result.StringValue();
    const size_t n = std::min<size_t>(text.size(), kMaxStringSize);
    std::memcpy(value.data(), text.data(), n);
    size = static_cast<int32_t>(n + 1);
  } else {
    std::memcpy(value.data(), result.Data, 8);  // every other value form fits in 8 bytes
    size = result.DataSize;
    if (result.DataType == fldBCD) scale = 4;  // expressions count ten-thousandths
  }
  const int32_t targetSize = f.FieldType == fldZString ? f.PhysicalSize : f.Size;
  if (!ConvertFieldValue(result.DataType, size, scale, value.data(), f.PhysicalScale, targetSize, f.FieldType))
    return;
  std::memcpy(at + 1, value.data(), f.PhysicalSize);
  if (f.FieldType == fldZString) {
    at[f.PhysicalSize] = 0;
    if (at[1] == 0) return;  // an empty string is NULL
  }
  at[0] = 1;
}

}  // namespace

void TDataCursor::CheckFieldDefs(std::vector<FieldDesc> definitions) {
  if (!open_) Raise(kErrInvalidFileHandle);
  if (definitions.empty() || definitions.size() > static_cast<size_t>(kMaxFieldsPerTable)) Raise(kErrFieldLimits);
  for (size_t i = 0; i < definitions.size(); ++i)
    if (definitions[i].FieldNumber == 0) definitions[i].FieldNumber = static_cast<uint16_t>(i + 1);
  WithTableLocale(languageId_, sortId_, [&] {
    CheckFieldList(definitions, true);
    return 0;
  });
  const std::vector<FieldDesc>& stored = table_->Data().Fields();
  uint32_t end = recordSize_;
  bool computed = false;
  for (size_t i = 0; i < definitions.size(); ++i) {
    FieldDesc& f = definitions[i];
    ApplySizeRule(f);
    if (f.Calculated || i >= stored.size()) {
      if (f.IsBlob() || f.IsAutoInc()) Raise(kErrInvalidFieldDefinition, f.Name);
      computed = computed || f.Calculated;
      f.Offset = static_cast<uint16_t>(end);
      end += f.PhysicalSize + 1u;
      if (end > static_cast<uint32_t>(kMaxRecordSize)) Raise(kErrMaxRecordSize);
      continue;
    }
    const auto same = [&](const FieldDesc& t) {
      return t.Offset == f.Offset && t.FieldType == f.FieldType && t.PhysicalSize == f.PhysicalSize;
    };
    if (std::none_of(stored.begin(), stored.end(), same)) Raise(kErrInvalidFieldDefinition, f.Name);
  }
  fields_ = std::move(definitions);
  computedTrees_.clear();
  computedTrees_.resize(fields_.size());
  computedSize_ = end - recordSize_;
  hasComputed_ = computed;
  for (const FieldDesc& f : fields_) {
    if (f.Required || !f.MinValue.empty() || !f.MaxValue.empty()) hasChecks_ = true;
    if (!f.DefaultValue.empty()) hasDefaults_ = true;
  }
}

void TDataCursor::SetComputedExpression(uint32_t field, TExpTree tree) {
  if (field == 0 || field > fields_.size() || !fields_[field - 1].Calculated || computedTrees_.size() != fields_.size())
    Raise(kErrInvalidField, std::to_string(field));
  computedTrees_[field - 1] = std::move(tree);
}

void TDataCursor::EvaluateComputed(uint8_t* record) {
  if (!hasComputed_) return;
  TEvalContext context;
  context.LanguageId = languageId_;
  context.SortId = sortId_;
  context.Reader = MakeFieldReader(*this);
  // In field order: a computed field sees the computed fields before it already evaluated.
  for (size_t i = 0; i < fields_.size() && i < computedTrees_.size(); ++i) {
    const FieldDesc& f = fields_[i];
    if (!f.Calculated || !computedTrees_[i]) continue;
    const TExpTree result = EvaluateExpression(computedTrees_[i].get(), record, context);
    StoreResult(f, *result, record);
  }
}

std::string TDataCursor::QualifiedFieldName(uint32_t field) const {
  if (field == 0 || field > fields_.size()) Raise(kErrInvalidField, std::to_string(field));
  const std::string table = tableName_.size() >= 4 ? tableName_.substr(0, tableName_.size() - 4) : tableName_;
  std::string name = table + "." + fields_[field - 1].Name;
  if (name.size() > kMaxQualifiedName) name.resize(kMaxQualifiedName);
  return name;
}

}  // namespace tovenmarsh::engine
