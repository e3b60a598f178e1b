// Integer, float and BCD fields.
// Implements the numeric field classes of dataset/fields.h.
#include <cmath>
#include <cstring>
#include <limits>

#include "dataset/database_error.h"
#include "dataset/fields.h"
#include "platform/format.h"
#include "platform/format_settings.h"

namespace tovenmarsh::dataset {

namespace {

// Integer texts: blanks around and a sign are accepted, nothing else.
bool ParseInteger(std::string_view text, int64_t& value) { return platform::TryTextToInt64(text, value); }

std::string Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

// ---- TIntegerField ----

TIntegerField::TIntegerField(TFieldType type) : TField(type, 0) {
  switch (type) {
    case ftSmallint: minRange_ = -32768; maxRange_ = 32767; break;
    case ftWord: minRange_ = 0; maxRange_ = 65535; break;
    default: minRange_ = std::numeric_limits<int32_t>::min(); maxRange_ = std::numeric_limits<int32_t>::max();
  }
}

void TIntegerField::CheckRange(int64_t value) const {
  int64_t lo = minRange_, hi = maxRange_;
  if (MinValue != 0 || MaxValue != 0) {
    lo = std::max(lo, MinValue);
    hi = std::min(hi, MaxValue);
  }
  if (value < lo || value > hi)
    DatabaseErrorFmt(msg::kFieldRangeError, platform::Format("%lld", static_cast<long long>(value)).c_str(),
                     DisplayName().c_str(), platform::Format("%lld", static_cast<long long>(lo)).c_str(),
                     platform::Format("%lld", static_cast<long long>(hi)).c_str());
}

int32_t TIntegerField::AsInteger() const {
  if (DataSize() == 2) {
    uint8_t raw[2];
    if (!GetData(raw)) return 0;
    if (DataType() == ftWord) {
      uint16_t w;
      std::memcpy(&w, raw, 2);
      return w;
    }
    int16_t s;
    std::memcpy(&s, raw, 2);
    return s;
  }
  int32_t v;
  if (!GetData(&v)) return 0;
  return v;
}

void TIntegerField::SetAsInteger(int32_t value) {
  CheckRange(value);
  if (DataSize() == 2) {
    if (DataType() == ftWord) {
      uint16_t w = static_cast<uint16_t>(value);
      SetData(&w);
    } else {
      int16_t s = static_cast<int16_t>(value);
      SetData(&s);
    }
    return;
  }
  SetData(&value);
}

std::string TIntegerField::AsString() const {
  if (IsNull()) return {};
  return platform::Format("%d", AsInteger());
}

void TIntegerField::SetAsString(std::string_view value) {
  std::string text = Trimmed(value);
  if (text.empty()) {
    Clear();
    return;
  }
  int64_t v;
  if (!ParseInteger(text, v))
    DatabaseErrorFmt(msg::kInvalidIntegerValue, text.c_str(), DisplayName().c_str());
  CheckRange(v);
  SetAsInteger(static_cast<int32_t>(v));
}

double TIntegerField::AsFloat() const { return AsInteger(); }

void TIntegerField::SetAsFloat(double value) {
  if (!std::isfinite(value) || std::fabs(value) > 9.2e18)
    DatabaseErrorFmt(msg::kFieldRangeError, platform::FloatToText(value).c_str(), DisplayName().c_str(),
                     platform::Format("%lld", static_cast<long long>(minRange_)).c_str(),
                     platform::Format("%lld", static_cast<long long>(maxRange_)).c_str());
  int64_t v = std::llround(value);
  CheckRange(v);
  SetAsInteger(static_cast<int32_t>(v));
}

TVariant TIntegerField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsInteger());
}

void TIntegerField::SetValue(const TVariant& value) {
  switch (value.GetKind()) {
    case TVariant::Kind::Null: Clear(); break;
    case TVariant::Kind::Integer: case TVariant::Kind::Boolean: {
      int64_t v = value.AsInteger();
      CheckRange(v);
      SetAsInteger(static_cast<int32_t>(v));
      break;
    }
    case TVariant::Kind::String: SetAsString(value.AsString()); break;
    default: SetAsFloat(value.AsFloat()); break;
  }
}

// ---- TFloatField ----

void TFloatField::CheckRange(double value) const {
  if (!std::isfinite(value) || ((MinValue != 0 || MaxValue != 0) && (value < MinValue || value > MaxValue)))
    DatabaseErrorFmt(msg::kFieldRangeError, platform::FloatToText(value).c_str(), DisplayName().c_str(),
                     platform::FloatToText(MinValue).c_str(), platform::FloatToText(MaxValue).c_str());
}

double TFloatField::AsFloat() const {
  double v;
  if (!GetData(&v)) return 0;
  return v;
}

void TFloatField::SetAsFloat(double value) {
  CheckRange(value);
  SetData(&value);
}

std::string TFloatField::AsString() const {
  if (IsNull()) return {};
  return platform::FloatToText(AsFloat());
}

void TFloatField::SetAsString(std::string_view value) {
  std::string text = Trimmed(value);
  if (text.empty()) {
    Clear();
    return;
  }
  double v;
  if (!platform::TryTextToFloat(text, v))
    DatabaseErrorFmt(msg::kInvalidFloatValue, text.c_str(), DisplayName().c_str());
  SetAsFloat(v);
}

int32_t TFloatField::AsInteger() const {
  double v = AsFloat();
  if (!(std::fabs(v) <= 2147483647.0))
    DatabaseErrorFmt(msg::kInvalidIntegerValue, platform::FloatToText(v).c_str(), DisplayName().c_str());
  return static_cast<int32_t>(std::lround(v));
}

void TFloatField::SetAsInteger(int32_t value) { SetAsFloat(value); }

TVariant TFloatField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsFloat());
}

// ---- TBCDField ----

int64_t TBCDField::AsCurrency() const {
  int64_t v;
  if (!GetData(&v)) return 0;
  return v;
}

void TBCDField::SetAsCurrency(int64_t currency) { SetData(&currency); }

std::string TBCDField::AsString() const {
  if (IsNull()) return {};
  return platform::CurrencyToText(AsCurrency());
}

void TBCDField::SetAsString(std::string_view value) {
  std::string text = Trimmed(value);
  if (text.empty()) {
    Clear();
    return;
  }
  int64_t c;
  if (!platform::TryTextToCurrency(text, c))
    DatabaseErrorFmt(msg::kInvalidFloatValue, text.c_str(), DisplayName().c_str());
  SetAsCurrency(c);
}

double TBCDField::AsFloat() const { return static_cast<double>(AsCurrency()) / 10000.0; }

void TBCDField::SetAsFloat(double value) {
  double scaled = value * 10000.0;
  if (!std::isfinite(scaled) || std::fabs(scaled) >= 9.2e18)
    DatabaseErrorFmt(msg::kInvalidFloatValue, platform::FloatToText(value).c_str(), DisplayName().c_str());
  SetAsCurrency(std::llround(scaled));
}

int32_t TBCDField::AsInteger() const {
  int64_t c = AsCurrency();
  int64_t v = (c >= 0 ? c + 5000 : c - 5000) / 10000;
  if (v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    DatabaseErrorFmt(msg::kInvalidIntegerValue, AsString().c_str(), DisplayName().c_str());
  return static_cast<int32_t>(v);
}

void TBCDField::SetAsInteger(int32_t value) { SetAsCurrency(static_cast<int64_t>(value) * 10000); }

TVariant TBCDField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsFloat());
}

}  // namespace tovenmarsh::dataset
