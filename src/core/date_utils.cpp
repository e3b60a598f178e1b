// Mail-style date texts with English names and the local zone; date parsing.
#include "core/date_utils.h"

#include <utility>

#include "core/str_utils.h"
#include "platform/exception.h"
#include "platform/format.h"

namespace tovenmarsh::core {
namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

}  // namespace

std::string DateTimeToMailStr(TDateTime t) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  platform::DecodeDate(t, year, month, day);
  platform::DecodeTime(t, hour, minute, second, ms);
  return platform::Format("%s, %02d %s %04d %02d:%02d:%02d", kDayNames[platform::DayOfWeek(t) - 1], day,
                          kMonthNames[month - 1], year, hour, minute, second);
}

std::string ZoneOffsetText(int minutes) {
  const char sign = minutes < 0 ? '-' : '+';
  const int magnitude = minutes < 0 ? -minutes : minutes;
  return platform::Format("%c%02d%02d", sign, magnitude / 60, magnitude % 60);
}

std::string DateTimeToMailZoneStr(TDateTime t) {
  return DateTimeToMailStr(t) + " " + ZoneOffsetText(platform::LocalZoneOffsetMinutes(t));
}

std::string DateTimeToGMTStr(TDateTime t) { return DateTimeToMailStr(t) + " GMT"; }

std::string DateTimeToGMTStrSafe(TDateTime t) noexcept {
  try {
    return DateTimeToGMTStr(t);
  } catch (...) {
    // The safe form's promise: a date that cannot be written (out of range) gives "".
    return {};
  }
}

TDateTime ParseDateStr(std::string_view text) { return ParseDateStr(text, platform::Now()); }

TDateTime ParseDateStr(std::string_view text, TDateTime today) {
  int thisYear = 0, thisMonth = 0, thisDay = 0;
  platform::DecodeDate(today, thisYear, thisMonth, thisDay);

  constexpr std::string_view kSeparators = " ./-,:;";
  std::string field1 = GetField(text, 1, kSeparators);
  std::string field2 = GetField(text, 2, kSeparators);
  std::string field3 = GetField(text, 3, kSeparators);
  if (field2.empty() && !field1.empty()) {
    // Packed as ddmmyyyy.
    const std::string packed = field1;
    field1 = packed.substr(0, 2);
    field2 = packed.size() > 2 ? packed.substr(2, 2) : std::string();
    field3 = packed.size() > 4 ? packed.substr(4, 4) : std::string();
  }
  int d = TextToInt(field1);
  int m = TextToInt(field2);
  int y = field3.empty() ? thisYear : TextToInt(field3);

  // A value of 32 or more is a year; a month above 12 with a day below 13 is the other order.
  for (bool again = true; again;) {
    again = false;
    if (d >= 32 && d > y) {
      std::swap(d, y);
      again = true;
    } else if (m >= 32 && m > y) {
      std::swap(m, y);
      again = true;
    }
  }
  if (m > 12 && d < 13) std::swap(d, m);

  const int day = d >= 1 && d <= 31 ? d : thisDay;
  const int month = m >= 1 && m <= 12 ? m : thisMonth;
  const int year = y >= 100 ? y : y < 50 ? 2000 + y : 1900 + y;
  return platform::EncodeDate(year, month, day);
}

}  // namespace tovenmarsh::core
