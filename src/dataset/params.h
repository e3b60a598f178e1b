// Parameters of a statement: named values with a field type and a direction.
//
// Contract: names compare without regard to case; ParamByName of an unknown name raises
// "Parameter '%s' not found". Assigning through AsString/AsInteger/... sets the value and,
// while the type is ftUnknown, the matching type. A parameter is bound once a value was
// assigned (Clear keeps it bound with a null value). AssignValues copies the values of the
// parameters of the same name from another list.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/field_types.h"
#include "dataset/variant.h"

namespace tovenmarsh::dataset {

enum class TParamType : uint8_t { ptUnknown, ptInput, ptOutput, ptInputOutput, ptResult };

class TParam {
 public:
  TParam(std::string name, TFieldType type, TParamType paramType)
      : name_(std::move(name)), dataType_(type), paramType_(paramType) {}

  const std::string& Name() const { return name_; }
  TFieldType DataType() const { return dataType_; }
  void SetDataType(TFieldType type) { dataType_ = type; }
  TParamType ParamType() const { return paramType_; }
  void SetParamType(TParamType type) { paramType_ = type; }
  bool Bound() const { return bound_; }
  void SetBound(bool bound) { bound_ = bound; }

  const TVariant& Value() const { return value_; }
  void SetValue(const TVariant& value);
  bool IsNull() const { return value_.IsNull(); }
  void Clear();

  std::string AsString() const { return value_.AsString(); }
  void SetAsString(std::string value);
  int32_t AsInteger() const { return static_cast<int32_t>(value_.AsInteger()); }
  void SetAsInteger(int32_t value);
  double AsFloat() const { return value_.AsFloat(); }
  void SetAsFloat(double value);
  bool AsBoolean() const { return value_.AsBoolean(); }
  void SetAsBoolean(bool value);
  platform::TDateTime AsDateTime() const { return value_.AsDateTime(); }
  void SetAsDateTime(platform::TDateTime value);

 private:
  void Assign(TVariant value, TFieldType type);
  std::string name_;
  TFieldType dataType_;
  TParamType paramType_;
  TVariant value_;
  bool bound_ = false;
};

class TParams {
 public:
  TParam& CreateParam(TFieldType type, std::string_view name, TParamType paramType);
  int Count() const { return static_cast<int>(items_.size()); }
  TParam& operator[](int i) const { return *items_.at(static_cast<size_t>(i)); }
  TParam* FindParam(std::string_view name) const;
  TParam& ParamByName(std::string_view name) const;
  void Clear() { items_.clear(); }
  void AssignValues(const TParams& other);

 private:
  std::vector<std::unique_ptr<TParam>> items_;
};

}  // namespace tovenmarsh::dataset
