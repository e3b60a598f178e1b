// Value texts under three languages' settings: the validity tests and conversions never fail
// unsafely, and dates and times written under the settings read back to the same value.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/base/engine_locale.h"
#include "engine/base/value_text.h"
#include "platform/exception.h"
#include "platform/format_settings.h"

using namespace tovenmarsh;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4 || size > 256) return 0;
  static const uint16_t kLanguages[] = {0, 1033, 1031, 1036};
  engine::TLanguageSettings settings;
  engine::LoadLanguageSettings(kLanguages[data[0] % 4], 0, settings);
  platform::TThreadFormatScope scope(settings);
  // A date from 1900 to 2099 and a time to the second, from the next three bytes.
  const int year = 1900 + data[1] % 200, month = 1 + data[2] % 12, day = 1 + data[3] % 28;
  const platform::TDateTime date = platform::EncodeDate(year, month, day);
  platform::TDateTime back = 0;
  if (!platform::TryTextToDate(platform::DateToText(date), back) || back != date) std::abort();
  const platform::TDateTime time = (data[1] * 3600.0 + data[2] * 60 + data[3] % 60) / 86400.0;
  if (time < 1) {
    if (!platform::TryTextToTime(platform::TimeToText(time), back) || std::fabs(back - time) > 1e-9)
      std::abort();
  }
  std::string text(reinterpret_cast<const char*>(data + 4), size - 4);
  engine::IsValidWordText(text);
  engine::IsValidIntegerText(text);
  engine::IsValidSmallIntText(text);
  engine::IsValidFloatText(text);
  engine::IsValidCurrencyText(text);
  engine::IsValidDateText(text);
  engine::IsValidTimeText(text);
  engine::IsValidDateTimeText(text);
  try {
    engine::TextToBoolean(text);
  } catch (const platform::EConvertError&) {
  }
  platform::FormatDateTime(text, date + time, settings);
  return 0;
}
