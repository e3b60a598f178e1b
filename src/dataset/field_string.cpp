// Text fields: the value form is the text with a terminating zero in Size + 1 bytes.
// Implements the text field class of dataset/fields.h.
#include <cstring>
#include <vector>

#include "dataset/database_error.h"
#include "dataset/fields.h"
#include "platform/format.h"
#include "platform/format_settings.h"

namespace tovenmarsh::dataset {

std::string TStringField::AsString() const {
  const size_t size = static_cast<size_t>(DataSize());
  std::vector<char> buffer(size + 1, '\0');
  if (!GetData(buffer.data())) return {};
  // A source that filled every byte has no terminating zero: the text ends at the size.
  return std::string(buffer.data(), strnlen(buffer.data(), size));
}

void TStringField::SetAsString(std::string_view value) {
  // Longer texts are cut to the field's size; a zero byte would end the text early anyway.
  std::vector<char> buffer(static_cast<size_t>(DataSize()), '\0');
  size_t n = std::min(value.size(), static_cast<size_t>(Size()));
  std::memcpy(buffer.data(), value.data(), n);
  SetData(buffer.data());
}

int32_t TStringField::AsInteger() const {
  std::string s = AsString();
  int32_t v;
  if (!platform::TryTextToInt32(s, v))
    DatabaseErrorFmt(msg::kInvalidIntegerValue, s.c_str(), DisplayName().c_str());
  return v;
}

void TStringField::SetAsInteger(int32_t value) { SetAsString(platform::Format("%d", value)); }

double TStringField::AsFloat() const {
  std::string s = AsString();
  double v;
  if (!platform::TryTextToFloat(s, v))
    DatabaseErrorFmt(msg::kInvalidFloatValue, s.c_str(), DisplayName().c_str());
  return v;
}

void TStringField::SetAsFloat(double value) { SetAsString(platform::FloatToText(value)); }

bool TStringField::AsBoolean() const {
  std::string s = AsString();
  return !s.empty() && (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y');
}

void TStringField::SetAsBoolean(bool value) { SetAsString(value ? "T" : "F"); }

platform::TDateTime TStringField::AsDateTime() const {
  std::string s = AsString();
  platform::TDateTime t;
  if (!platform::TryTextToDateTime(s, t))
    DatabaseErrorFmt(msg::kInvalidDateTimeValue, s.c_str(), DisplayName().c_str());
  return t;
}

void TStringField::SetAsDateTime(platform::TDateTime value) {
  SetAsString(platform::DateTimeToText(value));
}

TVariant TStringField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsString());
}

}  // namespace tovenmarsh::dataset
