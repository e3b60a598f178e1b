// Mail-style dates: English day and month names whatever the system's language, and the
// numeric local zone ("Wed, 09 Dec 2026 08:15:02 +0100").
#pragma once

#include <string>
#include <string_view>

#include "platform/date_time.h"

namespace tovenmarsh::core {

using platform::TDateTime;

// "Wed, 09 Dec 2026 08:15:02".
std::string DateTimeToMailStr(TDateTime t);
// DateTimeToMailStr plus a blank and the local zone offset at t ("+0100", "-0530").
std::string DateTimeToMailZoneStr(TDateTime t);
// DateTimeToMailStr plus " GMT"; t is formatted as given.
std::string DateTimeToGMTStr(TDateTime t);
// As DateTimeToGMTStr; "" on any failure.
std::string DateTimeToGMTStrSafe(TDateTime t) noexcept;
// A zone offset in minutes as sign and four digits: 60 -> "+0100", -330 -> "-0530".
std::string ZoneOffsetText(int minutes);

// Reads a date such as "6.5.2024", "2024-05-06", "12/25/2024", "010299" or "5.6"; missing
// parts default to today. Raises platform::EConvertError for a date that does not exist.
TDateTime ParseDateStr(std::string_view text);
// The same with an explicit "today" (for callers that fix the clock).
TDateTime ParseDateStr(std::string_view text, TDateTime today);

}  // namespace tovenmarsh::core
