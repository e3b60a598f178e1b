// Parameters of the query data set: TFenParam (one named value with a data type, a null flag
// and a bound flag), TFenParams (the ordered list), the ":name" markers of an SQL text, the
// descriptor-and-buffer form in which values are bound to a statement, and the stored form of
// a list.
//
// Contract: names of ParamByName compare without regard to case ("Parameter '%s' not found");
// carrying values over between lists (AssignValues) compares names exactly. Writing a value
// through an As... setter sets the matching DataType, Bound true and IsNull false. Misuse is
// EDatabaseError with the record-set framework's texts. BLOB and memo values are held as byte
// strings; the bytes a bound BLOB slot points at are kept with the bound form until the
// statement's SetParams call has copied them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/field_types.h"
#include "dataset/params.h"
#include "dataset/variant.h"
#include "engine/format/field_desc.h"
#include "platform/date_time.h"

namespace tovenmarsh::dataset {
class TField;
}

namespace tovenmarsh::sql {

using dataset::TFieldType;
using dataset::TParamType;

class TFenParams;

class TFenParam {
 public:
  explicit TFenParam(TFenParams* owner = nullptr) : owner_(owner) {}

  TFenParams* Owner() const { return owner_; }
  std::string Name;
  TFieldType DataType = dataset::ftUnknown;
  TParamType ParamType = TParamType::ptUnknown;
  bool Bound = false;
  bool IsNull = true;
  // The value: numbers, booleans, texts and date-times as such; BLOB and memo bytes as a string.
  dataset::TVariant Value;

  std::string AsString() const;
  void SetAsString(std::string value);
  std::string AsMemo() const { return AsString(); }
  void SetAsMemo(std::string value);
  std::string AsBlob() const { return AsString(); }
  void SetAsBlob(std::string value);
  int32_t AsInteger() const;
  void SetAsInteger(int32_t value);
  int16_t AsSmallInt() const { return static_cast<int16_t>(AsInteger()); }
  void SetAsSmallInt(int16_t value);
  uint16_t AsWord() const { return static_cast<uint16_t>(AsInteger()); }
  void SetAsWord(uint16_t value);
  bool AsBoolean() const;
  void SetAsBoolean(bool value);
  double AsFloat() const;
  void SetAsFloat(double value);
  double AsCurrency() const { return AsFloat(); }
  void SetAsCurrency(double value);
  // BCD values as the class library's currency: a count of ten-thousandths.
  int64_t AsBCD() const;
  void SetAsBCD(int64_t currency);
  platform::TDateTime AsDate() const { return AsDateTime(); }
  void SetAsDate(platform::TDateTime value);
  platform::TDateTime AsTime() const { return AsDateTime(); }
  void SetAsTime(platform::TDateTime value);
  // 0 for a null parameter.
  platform::TDateTime AsDateTime() const;
  void SetAsDateTime(platform::TDateTime value);

  // IsNull true, value 0 (type and bound flag kept).
  void Clear();
  // Copies type, null state or value, bound flag and name; the parameter type only while this
  // one's is unknown.
  void Assign(const TFenParam& other);
  // From a field: a memo above 255 characters gives ftString, any other field its own type; a
  // null field clears the parameter. Bound true; the name becomes the field's.
  void AssignField(const dataset::TField& field);
  void AssignTo(dataset::TField& field) const;

 private:
  void Set(dataset::TVariant value, TFieldType type);
  TFenParams* owner_;
};

class TFenParams {
 public:
  TFenParams() = default;
  TFenParams(const TFenParams&) = delete;
  TFenParams& operator=(const TFenParams&) = delete;

  TFenParam& Add(TParamType paramType, std::string name, TFieldType dataType);
  int Count() const { return static_cast<int>(items_.size()); }
  TFenParam& Items(int i) const { return *items_.at(static_cast<size_t>(i)); }
  TFenParam& operator[](int i) const { return Items(i); }
  TFenParam* FindParam(std::string_view name) const;
  TFenParam& ParamByName(std::string_view name) const;
  void Clear() { items_.clear(); }
  // Values of same-named parameters of other (names compared exactly).
  void AssignValues(const TFenParams& other);
  // Same count and, pairwise, equal values, names, types, null and bound flags and directions.
  bool IsEqual(const TFenParams& other) const;
  // A copy of other's parameters.
  void Assign(const TFenParams& other);

  // The stored form ("Data"): version 2 is written; versions 1 and 2 are read. Writing refuses
  // a parameter whose data is longer than 2048 bytes; reading a version above 2 raises "Unable
  // to load bind parameters" and a truncated block the same.
  std::vector<uint8_t> WriteData() const;
  void ReadData(const std::vector<uint8_t>& data);

 private:
  std::vector<std::unique_ptr<TFenParam>> items_;
};

// Replaces the parameter markers of an SQL text (":name" outside quotes becomes "?", "::"
// becomes ":") and, when list is given, appends one parameter per marker (ptUnknown,
// ftUnknown) in text order.
std::string ReplaceParamMarkers(std::string_view text, TFenParams* list);

// The bound form of a list: one field descriptor per parameter (field number, name, engine
// type and subtype, data size, BCD scale, the slot's offset) and the value buffer (per
// parameter a has-value byte, then the value in the parameter encoding). A parameter without
// a type raises "No value for parameter '%s'"; types without an encoding "Field '%s' is of
// unknown type" or "Field '%s' is of an unsupported type".
struct TBoundParams {
  std::vector<engine::FieldDesc> Descriptors;
  std::vector<uint8_t> Buffer;
  std::vector<std::unique_ptr<std::string>> Blobs;  // the bytes BLOB slots point at
};
TBoundParams BindParamValues(const TFenParams& params);

}  // namespace tovenmarsh::sql
