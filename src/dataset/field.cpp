// The field base class, the field list and the factory of field classes by type.
// Implements TField, TFields and the factory of dataset/fields.h.
#include "dataset/data_set.h"
#include "dataset/database_error.h"
#include "dataset/fields.h"

namespace tovenmarsh::dataset {

TField::TField(TFieldType type, int size) : dataType_(type), size_(size) {}

int TField::Index() const { return dataSet_ ? dataSet_->Fields().IndexOf(this) : -1; }

bool TField::CanModify() const {
  return !readOnly_ && fieldKind_ != TFieldKind::fkLookup && dataSet_ && dataSet_->CanModify();
}

bool TField::GetData(void* destination) const {
  if (!dataSet_) return false;
  return dataSet_->GetFieldData(*this, destination);
}

void TField::SetData(const void* source) {
  if (!dataSet_) DatabaseError(msg::kNotEditing);
  dataSet_->SetFieldData(*this, source);
}

bool TField::IsNull() const { return !GetData(nullptr); }

void TField::Validate(const void* /*source*/) {
  if (OnValidate) OnValidate(*this);
}

void TField::AccessError(const char* typeName) const {
  DatabaseErrorFmt(msg::kFieldAccessError, DisplayName().c_str(), typeName);
}

std::string TField::AsString() const { AccessError("String"); }
void TField::SetAsString(std::string_view) { AccessError("String"); }
int32_t TField::AsInteger() const { AccessError("Integer"); }
void TField::SetAsInteger(int32_t) { AccessError("Integer"); }
double TField::AsFloat() const { AccessError("Float"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
bool TField::AsBoolean() const { AccessError("Boolean"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
platform::TDateTime TField::AsDateTime() const { AccessError("DateTime"); }
void TField::SetAsDateTime(platform::TDateTime) { AccessError("DateTime"); }
TVariant TField::Value() const { AccessError("Variant"); }

void TField::SetValue(const TVariant& value) {
  switch (value.GetKind()) {
    case TVariant::Kind::Null: Clear(); break;
    case TVariant::Kind::Boolean: SetAsBoolean(value.AsBoolean()); break;
    case TVariant::Kind::Integer: SetAsString(value.AsString()); break;
    case TVariant::Kind::Float: SetAsFloat(value.AsFloat()); break;
    case TVariant::Kind::String: SetAsString(value.AsString()); break;
    case TVariant::Kind::DateTime: SetAsDateTime(value.AsDateTime()); break;
  }
}

// ---- TFields ----

TField* TFields::FindField(std::string_view name) const {
  for (const auto& field : items_)
    if (SameName(field->FieldName(), name)) return field.get();
  return nullptr;
}

TField& TFields::FieldByName(std::string_view name) const {
  TField* field = FindField(name);
  if (!field) DatabaseErrorFmt(msg::kFieldNotFound, std::string(name).c_str());
  return *field;
}

TField* TFields::FieldByNumber(int fieldNo) const {
  for (const auto& field : items_)
    if (field->FieldNo() == fieldNo) return field.get();
  return nullptr;
}

int TFields::IndexOf(const TField* field) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].get() == field) return static_cast<int>(i);
  return -1;
}

TField& TFields::Add(std::unique_ptr<TField> field) {
  items_.push_back(std::move(field));
  return *items_.back();
}

void TFields::RemoveDefaultFields() {
  std::erase_if(items_, [](const std::unique_ptr<TField>& f) { return f->defaultField_; });
}

// ---- Factory ----

std::unique_ptr<TField> CreateFieldForType(TFieldType type, int size) {
  switch (type) {
    case ftString: case ftFixedChar: case ftWideString: case ftGuid:
      return std::make_unique<TStringField>(size, type);
    case ftSmallint: case ftInteger: case ftWord: case ftAutoInc:
      return std::make_unique<TIntegerField>(type);
    case ftFloat: case ftCurrency: return std::make_unique<TFloatField>(type);
    case ftBCD: return std::make_unique<TBCDField>(size);
    case ftBoolean: return std::make_unique<TBooleanField>();
    case ftDate: case ftTime: case ftDateTime: return std::make_unique<TDateTimeField>(type);
    case ftBytes: case ftVarBytes: return std::make_unique<TBytesField>(size, type);
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftTypedBinary: case ftParadoxOle:
    case ftDBaseOle: case ftOraBlob: case ftOraClob:
      return std::make_unique<TBlobField>(type);
    default:
      return nullptr;
  }
}

}  // namespace tovenmarsh::dataset
