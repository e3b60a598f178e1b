// Time stamp conversions.
#include "dataset/time_stamp.h"

#include <cmath>

namespace tovenmarsh::dataset {

TTimeStamp DateTimeToTimeStamp(platform::TDateTime value) {
  double days = std::trunc(value);
  int64_t ms = std::llround(std::fabs(value - days) * kMSecsPerDay);
  int64_t day = static_cast<int64_t>(days) + kDateDelta;
  if (ms >= kMSecsPerDay) {  // rounding reached the next day
    ms -= kMSecsPerDay;
    day += value < 0 ? -1 : 1;
  }
  return {static_cast<int32_t>(ms), static_cast<int32_t>(day)};
}

platform::TDateTime TimeStampToDateTime(const TTimeStamp& stamp) {
  double days = static_cast<double>(stamp.Date) - kDateDelta;
  double frac = static_cast<double>(stamp.Time) / kMSecsPerDay;
  return days < 0 ? days - frac : days + frac;
}

double TimeStampToMSecs(const TTimeStamp& stamp) {
  return static_cast<double>(stamp.Date) * kMSecsPerDay + stamp.Time;
}

TTimeStamp MSecsToTimeStamp(double msecs) {
  double day = std::floor(msecs / kMSecsPerDay);
  return {static_cast<int32_t>(msecs - day * kMSecsPerDay), static_cast<int32_t>(day)};
}

}  // namespace tovenmarsh::dataset
