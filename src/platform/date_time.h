// Dates and times as the class library keeps them: a double counting days since 1899-12-30,
// the fraction being the time of day. Calendar conversions are proleptic Gregorian; the local
// zone comes from the C library, so the TZ environment variable is honoured.
#pragma once

#include <cstdint>

namespace tovenmarsh::platform {

using TDateTime = double;

// The local date and time, to the millisecond.
TDateTime Now();

// Raise EConvertError for a date or time that does not exist (30 February, hour 24).
TDateTime EncodeDate(int year, int month, int day);
TDateTime EncodeTime(int hour, int minute, int second, int millisecond);
// As EncodeDate, answering false instead of raising.
bool TryEncodeDate(int year, int month, int day, TDateTime& result);
bool IsLeapYear(int year);
int DaysInMonth(int year, int month);

// Splits the day number / the fraction. Times round to the nearest millisecond. A value with no
// calendar date (not finite, or beyond 1e11 days either way) raises EConvertError.
void DecodeDate(TDateTime t, int& year, int& month, int& day);
void DecodeTime(TDateTime t, int& hour, int& minute, int& second, int& millisecond);

// 1 = Sunday .. 7 = Saturday.
int DayOfWeek(TDateTime t);

// Minutes east of UTC that the local zone has at the given local time (standard or daylight
// time as the zone rules say for that moment); 0 when the system knows no zone.
int LocalZoneOffsetMinutes(TDateTime localTime);

// Conversions between TDateTime (local wall clock) and seconds since the Unix epoch.
TDateTime UnixToLocalDateTime(int64_t seconds);

}  // namespace tovenmarsh::platform
