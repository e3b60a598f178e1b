// Variant conversions.
#include "dataset/variant.h"

#include <cctype>
#include <cmath>

#include "platform/exception.h"
#include "platform/format.h"
#include "platform/format_settings.h"

namespace tovenmarsh::dataset {

namespace {
[[noreturn]] void CastError(const std::string& text, const char* to) {
  throw platform::EConvertError(platform::Format("Could not convert variant '%s' to type %s",
                                                 text.c_str(), to));
}
}  // namespace

bool TVariant::AsBoolean() const {
  switch (GetKind()) {
    case Kind::Null: return false;
    case Kind::Boolean: return std::get<bool>(value_);
    case Kind::Integer: return std::get<int64_t>(value_) != 0;
    case Kind::Float: return std::get<double>(value_) != 0;
    case Kind::DateTime: return std::get<DateTimeBox>(value_).value != 0;
    case Kind::String: {
      const std::string& s = std::get<std::string>(value_);
      std::string upper;
      for (char c : s) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (upper == "TRUE") return true;
      if (upper == "FALSE") return false;
      double d;
      if (platform::TryTextToFloat(s, d)) return d != 0;
      CastError(s, "Boolean");
    }
  }
  return false;
}

int64_t TVariant::AsInteger() const {
  switch (GetKind()) {
    case Kind::Null: return 0;
    case Kind::Boolean: return std::get<bool>(value_) ? -1 : 0;
    case Kind::Integer: return std::get<int64_t>(value_);
    case Kind::Float: case Kind::DateTime: {
      double d = GetKind() == Kind::Float ? std::get<double>(value_) : std::get<DateTimeBox>(value_).value;
      if (!(std::fabs(d) < 9.2e18)) CastError(platform::FloatToText(d), "Integer");
      return std::llround(d);
    }
    case Kind::String: {
      const std::string& s = std::get<std::string>(value_);
      int64_t v;
      if (platform::TryTextToInt64(s, v)) return v;
      double d;
      if (platform::TryTextToFloat(s, d) && std::fabs(d) < 9.2e18) return std::llround(d);
      CastError(s, "Integer");
    }
  }
  return 0;
}

double TVariant::AsFloat() const {
  switch (GetKind()) {
    case Kind::Null: return 0;
    case Kind::Boolean: return std::get<bool>(value_) ? -1 : 0;
    case Kind::Integer: return static_cast<double>(std::get<int64_t>(value_));
    case Kind::Float: return std::get<double>(value_);
    case Kind::DateTime: return std::get<DateTimeBox>(value_).value;
    case Kind::String: {
      const std::string& s = std::get<std::string>(value_);
      double d;
      if (platform::TryTextToFloat(s, d)) return d;
      CastError(s, "Double");
    }
  }
  return 0;
}

std::string TVariant::AsString() const {
  switch (GetKind()) {
    case Kind::Null: return "";
    case Kind::Boolean: return std::get<bool>(value_) ? "True" : "False";
    case Kind::Integer: return platform::Format("%lld", static_cast<long long>(std::get<int64_t>(value_)));
    case Kind::Float: return platform::FloatToText(std::get<double>(value_));
    case Kind::String: return std::get<std::string>(value_);
    case Kind::DateTime: return platform::DateTimeToText(std::get<DateTimeBox>(value_).value);
  }
  return "";
}

platform::TDateTime TVariant::AsDateTime() const {
  switch (GetKind()) {
    case Kind::DateTime: return std::get<DateTimeBox>(value_).value;
    case Kind::String: {
      const std::string& s = std::get<std::string>(value_);
      platform::TDateTime t;
      if (platform::TryTextToDateTime(s, t)) return t;
      CastError(s, "Date");
    }
    default: return AsFloat();
  }
}

}  // namespace tovenmarsh::dataset
