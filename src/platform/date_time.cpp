// Day-number arithmetic (days since 1899-12-30) and the local clock and zone.
#include "platform/date_time.h"

#include <cmath>
#include <cstdint>
#include <ctime>
#include <mutex>

#include "platform/exception.h"
#include "platform/format.h"

namespace tovenmarsh::platform {
namespace {

constexpr int64_t kMsPerDay = 86400000;
// Day number of 1970-01-01.
constexpr int64_t kUnixEpochDay = 25569;

// Days since 1970-01-01 of a proleptic Gregorian date (y, m 1..12, d 1..31).
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2 ? 1 : 0;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yoe + era * 400 + (month <= 2 ? 1 : 0));
}

// Splits t into its day number and its milliseconds of the day, rounding to the millisecond
// (a time that rounds up to midnight belongs to the next day).
void SplitDateTime(TDateTime t, int64_t& dayNumber, int64_t& ms) {
  // Beyond this no calendar date exists, and the conversions below would be undefined.
  constexpr double kMaxDays = 1e11;
  if (!std::isfinite(t) || std::fabs(t) > kMaxDays)
    throw EConvertError(Format("'%g' is not a valid date and time", t));
  if (t >= 0) {
    const int64_t total = std::llround(t * static_cast<double>(kMsPerDay));
    dayNumber = total / kMsPerDay;
    ms = total % kMsPerDay;
    return;
  }
  // Before 1899-12-30 the fraction still counts forward from midnight.
  const double whole = std::trunc(t);
  dayNumber = static_cast<int64_t>(whole);
  ms = std::llround(std::fabs(t - whole) * static_cast<double>(kMsPerDay));
  if (ms >= kMsPerDay) ms = kMsPerDay - 1;
}

TDateTime FromTm(const std::tm& local, int millisecond) {
  const int64_t days = DaysFromCivil(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday) + kUnixEpochDay;
  const int64_t ms = ((local.tm_hour * 60 + local.tm_min) * 60 + local.tm_sec) * 1000LL + millisecond;
  return static_cast<double>(days) + static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

// The C library guards its zone state with a lock of its own that the thread sanitizer cannot
// see; one lock of ours around every zone query keeps the sanitizer's view and ours the same.
std::mutex& ZoneLock() {
  static std::mutex lock;
  return lock;
}

// Under ZoneLock: has the C library read the zone rules again (the TZ variable, or the zone
// file when TZ is unset) at most once a second. Each reading costs a file status call, all
// threads wait for it under the lock, and a server asks the local time many times a message;
// a changed zone is still seen within the second.
void RefreshZone() {
  static int64_t checked = -1;
  std::timespec clock{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &clock);
  if (clock.tv_sec == checked) return;
  checked = clock.tv_sec;
  tzset();
}

}  // namespace

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12) return 0;
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& result) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month)) {
    return false;
  }
  result = static_cast<double>(DaysFromCivil(year, month, day) + kUnixEpochDay);
  return true;
}

TDateTime EncodeDate(int year, int month, int day) {
  TDateTime result = 0;
  if (!TryEncodeDate(year, month, day, result)) {
    throw EConvertError("Invalid argument to date encode");
  }
  return result;
}

TDateTime EncodeTime(int hour, int minute, int second, int millisecond) {
  if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 59 || millisecond < 0 ||
      millisecond > 999) {
    throw EConvertError("Invalid argument to time encode");
  }
  const int64_t ms = ((hour * 60LL + minute) * 60 + second) * 1000 + millisecond;
  return static_cast<double>(ms) / static_cast<double>(kMsPerDay);
}

void DecodeDate(TDateTime t, int& year, int& month, int& day) {
  int64_t dayNumber = 0;
  int64_t ms = 0;
  SplitDateTime(t, dayNumber, ms);
  CivilFromDays(dayNumber - kUnixEpochDay, year, month, day);
}

void DecodeTime(TDateTime t, int& hour, int& minute, int& second, int& millisecond) {
  int64_t dayNumber = 0;
  int64_t ms = 0;
  SplitDateTime(t, dayNumber, ms);
  millisecond = static_cast<int>(ms % 1000);
  ms /= 1000;
  second = static_cast<int>(ms % 60);
  ms /= 60;
  minute = static_cast<int>(ms % 60);
  hour = static_cast<int>(ms / 60);
}

int DayOfWeek(TDateTime t) {
  int64_t dayNumber = 0;
  int64_t ms = 0;
  SplitDateTime(t, dayNumber, ms);
  // Day 0, 1899-12-30, was a Saturday.
  return static_cast<int>(((dayNumber % 7) + 7 + 6) % 7) + 1;
}

TDateTime Now() {
  std::timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  std::tm local{};
  {
    std::lock_guard<std::mutex> guard(ZoneLock());
    RefreshZone();
    localtime_r(&now.tv_sec, &local);
  }
  return FromTm(local, static_cast<int>(now.tv_nsec / 1000000));
}

TDateTime UnixToLocalDateTime(int64_t seconds) {
  const std::time_t value = static_cast<std::time_t>(seconds);
  std::tm local{};
  {
    std::lock_guard<std::mutex> guard(ZoneLock());
    RefreshZone();
    localtime_r(&value, &local);
  }
  return FromTm(local, 0);
}

int LocalZoneOffsetMinutes(TDateTime localTime) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  DecodeDate(localTime, year, month, day);
  DecodeTime(localTime, hour, minute, second, ms);
  std::tm wanted{};
  wanted.tm_year = year - 1900;
  wanted.tm_mon = month - 1;
  wanted.tm_mday = day;
  wanted.tm_hour = hour;
  wanted.tm_min = minute;
  wanted.tm_sec = second;
  wanted.tm_isdst = -1;  // let the zone rules decide between standard and daylight time
  std::lock_guard<std::mutex> guard(ZoneLock());
  RefreshZone();
  const std::time_t moment = mktime(&wanted);
  if (moment == static_cast<std::time_t>(-1)) return 0;
  std::tm local{};
  if (localtime_r(&moment, &local) == nullptr) return 0;
  return static_cast<int>(local.tm_gmtoff / 60);
}

}  // namespace tovenmarsh::platform
