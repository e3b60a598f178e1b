// A small tagged value: what a field's Value, a parameter and a lookup result hold.
//
// Contract: a value is null or one of Boolean, Integer (64-bit), Float, String and DateTime.
// The As* conversions follow the class library's variant rules (numbers and texts convert
// both ways, null gives 0, "" or false); a value that cannot convert raises EConvertError.
#pragma once

#include <cstdint>
#include <string>
#include <variant>

#include "platform/date_time.h"

namespace tovenmarsh::dataset {

class TVariant {
 public:
  enum class Kind { Null, Boolean, Integer, Float, String, DateTime };

  TVariant() = default;
  TVariant(bool v) : value_(v) {}
  TVariant(int v) : value_(static_cast<int64_t>(v)) {}
  TVariant(int64_t v) : value_(v) {}
  TVariant(double v) : value_(v) {}
  TVariant(std::string v) : value_(std::move(v)) {}
  TVariant(const char* v) : value_(std::string(v)) {}
  static TVariant FromDateTime(platform::TDateTime t) {
    TVariant v;
    v.value_ = DateTimeBox{t};
    return v;
  }

  Kind GetKind() const { return static_cast<Kind>(value_.index()); }
  bool IsNull() const { return value_.index() == 0; }

  bool AsBoolean() const;
  int64_t AsInteger() const;
  double AsFloat() const;
  std::string AsString() const;
  platform::TDateTime AsDateTime() const;

  friend bool operator==(const TVariant& a, const TVariant& b) { return a.value_ == b.value_; }

 private:
  struct DateTimeBox {
    platform::TDateTime value;
    friend bool operator==(const DateTimeBox&, const DateTimeBox&) = default;
  };
  std::variant<std::monostate, bool, int64_t, double, std::string, DateTimeBox> value_;
};

}  // namespace tovenmarsh::dataset
