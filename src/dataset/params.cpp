// Parameter lists.
#include "dataset/params.h"

#include "dataset/database_error.h"
#include "dataset/field_defs.h"

namespace tovenmarsh::dataset {

void TParam::Assign(TVariant value, TFieldType type) {
  if (dataType_ == ftUnknown) dataType_ = type;
  value_ = std::move(value);
  bound_ = true;
}

void TParam::SetValue(const TVariant& value) {
  TFieldType type = ftUnknown;
  switch (value.GetKind()) {
    case TVariant::Kind::Boolean: type = ftBoolean; break;
    case TVariant::Kind::Integer: type = ftInteger; break;
    case TVariant::Kind::Float: type = ftFloat; break;
    case TVariant::Kind::String: type = ftString; break;
    case TVariant::Kind::DateTime: type = ftDateTime; break;
    case TVariant::Kind::Null: break;
  }
  Assign(value, type);
}

void TParam::Clear() {
  value_ = TVariant();
  bound_ = true;
}

void TParam::SetAsString(std::string value) { Assign(TVariant(std::move(value)), ftString); }
void TParam::SetAsInteger(int32_t value) { Assign(TVariant(value), ftInteger); }
void TParam::SetAsFloat(double value) { Assign(TVariant(value), ftFloat); }
void TParam::SetAsBoolean(bool value) { Assign(TVariant(value), ftBoolean); }
void TParam::SetAsDateTime(platform::TDateTime value) {
  Assign(TVariant::FromDateTime(value), ftDateTime);
}

TParam& TParams::CreateParam(TFieldType type, std::string_view name, TParamType paramType) {
  items_.push_back(std::make_unique<TParam>(std::string(name), type, paramType));
  return *items_.back();
}

TParam* TParams::FindParam(std::string_view name) const {
  for (const auto& p : items_)
    if (SameName(p->Name(), name)) return p.get();
  return nullptr;
}

TParam& TParams::ParamByName(std::string_view name) const {
  TParam* p = FindParam(name);
  if (!p) DatabaseErrorFmt(msg::kParameterNotFound, std::string(name).c_str());
  return *p;
}

void TParams::AssignValues(const TParams& other) {
  for (const auto& src : other.items_) {
    TParam* dst = FindParam(src->Name());
    if (!dst) continue;
    if (dst->DataType() == ftUnknown) dst->SetDataType(src->DataType());
    dst->SetBound(src->Bound());
    if (src->Bound()) dst->SetValue(src->Value());
  }
}

}  // namespace tovenmarsh::dataset
