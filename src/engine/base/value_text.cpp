// Validity tests of value texts under the thread's format settings, and the boolean texts.
#include "engine/base/value_text.h"

#include "engine/base/engine_strings.h"
#include "platform/exception.h"
#include "platform/format_settings.h"

namespace tovenmarsh::engine {
namespace {

bool RangeText(std::string_view text, int64_t low, int64_t high) {
  int64_t v = 0;
  return platform::TryTextToInt64(text, v) && v >= low && v <= high;
}

}  // namespace

bool IsValidWordText(std::string_view text) { return RangeText(text, 0, 65535); }
bool IsValidIntegerText(std::string_view text) { return RangeText(text, INT32_MIN, INT32_MAX); }
bool IsValidSmallIntText(std::string_view text) { return RangeText(text, -32768, 32767); }
bool IsValidBooleanText(std::string_view text) {
  return SameText(text, "TRUE") || SameText(text, "FALSE");
}

bool IsValidFloatText(std::string_view text) {
  double v = 0;
  return platform::TryTextToFloat(text, v);
}

bool IsValidCurrencyText(std::string_view text) {
  int64_t v = 0;
  return platform::TryTextToCurrency(text, v);
}

bool IsValidDateText(std::string_view text) {
  platform::TDateTime v = 0;
  return platform::TryTextToDate(text, v);
}

bool IsValidDateTimeText(std::string_view text) {
  platform::TDateTime v = 0;
  return platform::TryTextToDateTime(text, v);
}

bool IsValidTimeText(std::string_view text) {
  platform::TDateTime v = 0;
  return platform::TryTextToTime(text, v);
}

std::string BooleanToText(bool value) { return value ? "True" : "False"; }

bool TextToBoolean(std::string_view text) {
  if (SameText(text, "TRUE")) return true;
  if (SameText(text, "FALSE")) return false;
  throw platform::EConvertError("'" + std::string(text) + "' is not a valid boolean value");
}

}  // namespace tovenmarsh::engine
