// The value forms of dates and times that the record source exchanges: a day number counted
// from 1 January of year 1 (day 693594 is 30 December 1899) and milliseconds of the day.
//
// Contract: DateTimeToTimeStamp / TimeStampToDateTime convert between those and a TDateTime
// exactly to the millisecond; the time part of a negative TDateTime counts away from zero, as
// the class library does.
#pragma once

#include <cstdint>

#include "platform/date_time.h"

namespace tovenmarsh::dataset {

inline constexpr int32_t kDateDelta = 693594;  // days from 0001-01-01 (day 1) to 1899-12-30
inline constexpr int32_t kMSecsPerDay = 86400000;

struct TTimeStamp {
  int32_t Time = 0;  // milliseconds since midnight
  int32_t Date = 0;  // day number, day 1 = 0001-01-01
};

TTimeStamp DateTimeToTimeStamp(platform::TDateTime value);
platform::TDateTime TimeStampToDateTime(const TTimeStamp& stamp);
// Milliseconds of the whole stamp (Date * 86400000 + Time), as the timestamp form stores them.
double TimeStampToMSecs(const TTimeStamp& stamp);
TTimeStamp MSecsToTimeStamp(double msecs);

}  // namespace tovenmarsh::dataset
