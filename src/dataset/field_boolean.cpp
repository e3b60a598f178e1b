// Boolean fields: the value form is 16-bit 0 or 1; texts are "True" and "False".
// Implements the boolean field class of dataset/fields.h.
#include <cstdint>

#include "dataset/database_error.h"
#include "dataset/fields.h"
#include "platform/win1252.h"

namespace tovenmarsh::dataset {

namespace {
constexpr const char* kTrueText = "True";
constexpr const char* kFalseText = "False";

// The whole value is a prefix of the text, compared without regard to case.
bool IsPrefixOf(std::string_view value, std::string_view text) {
  if (value.size() > text.size()) return false;
  for (size_t i = 0; i < value.size(); ++i)
    if (platform::Win1252Upper(value[i]) != platform::Win1252Upper(text[i])) return false;
  return true;
}
}  // namespace

bool TBooleanField::AsBoolean() const {
  int16_t v;
  if (!GetData(&v)) return false;
  return v != 0;
}

void TBooleanField::SetAsBoolean(bool value) {
  int16_t v = value ? 1 : 0;
  SetData(&v);
}

std::string TBooleanField::AsString() const {
  if (IsNull()) return {};
  return AsBoolean() ? kTrueText : kFalseText;
}

void TBooleanField::SetAsString(std::string_view value) {
  if (value.empty()) {
    Clear();
    return;
  }
  if (IsPrefixOf(value, kFalseText)) {
    SetAsBoolean(false);
  } else if (IsPrefixOf(value, kTrueText)) {
    SetAsBoolean(true);
  } else {
    DatabaseErrorFmt(msg::kInvalidBoolValue, std::string(value).c_str(), DisplayName().c_str());
  }
}

TVariant TBooleanField::Value() const {
  if (IsNull()) return {};
  return TVariant(AsBoolean());
}

}  // namespace tovenmarsh::dataset
