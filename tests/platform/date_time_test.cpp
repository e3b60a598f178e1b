#include "platform/date_time.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <sstream>
#include <string>

#include "platform/exception.h"
#include "platform/format.h"

namespace tovenmarsh::platform {
namespace {

// Sets TZ for the duration of a test and restores it afterwards.
class ScopedZone {
 public:
  explicit ScopedZone(const char* zone) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ScopedZone() {
    if (had_) {
      setenv("TZ", old_.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::string RunPython(const std::string& script) {
  const std::string command = "python3 -c '" + script + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return {};
  std::string out;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  pclose(pipe);
  return out;
}

TEST(DateTime, DayNumbersMatchPythonsCalendar) {
  // Python's date arithmetic is the oracle for day numbers and weekdays over the whole range.
  std::mt19937 random(7);
  std::ostringstream dates;
  std::vector<int> days;
  for (int i = 0; i < 300; ++i) days.push_back(static_cast<int>(random() % 2958465));
  days.push_back(0);
  days.push_back(2958464);  // 9999-12-31
  for (size_t i = 0; i < days.size(); ++i) dates << (i ? "," : "") << days[i];
  const std::string out = RunPython(
      "import datetime as d\n"
      "for n in [" + dates.str() + "]:\n"
      "  x = d.date(1899,12,30) + d.timedelta(days=n)\n"
      "  print(n, x.year, x.month, x.day, x.isoweekday() % 7 + 1)\n");
  std::istringstream lines(out);
  int checked = 0;
  int n = 0, y = 0, m = 0, dd = 0, dow = 0;
  while (lines >> n >> y >> m >> dd >> dow) {
    int year = 0, month = 0, day = 0;
    DecodeDate(n + 0.75, year, month, day);
    EXPECT_EQ(Format("%d-%d-%d", year, month, day), Format("%d-%d-%d", y, m, dd)) << n;
    EXPECT_EQ(EncodeDate(y, m, dd), static_cast<double>(n));
    EXPECT_EQ(DayOfWeek(n + 0.5), dow) << n;
    ++checked;
  }
  EXPECT_EQ(checked, static_cast<int>(days.size()));
}

TEST(DateTime, EncodeRejectsDatesAndTimesThatDoNotExist) {
  struct Case { int y, m, d; bool ok; };
  const Case cases[] = {{2024, 2, 29, true}, {2023, 2, 29, false}, {1900, 2, 29, false}, {2000, 2, 29, true},
                        {2026, 4, 31, false}, {2026, 13, 1, false}, {2026, 0, 1, false}, {0, 1, 1, false},
                        {9999, 12, 31, true}, {10000, 1, 1, false}, {2026, 12, 0, false}};
  for (const Case& c : cases) {
    TDateTime t = 0;
    EXPECT_EQ(TryEncodeDate(c.y, c.m, c.d, t), c.ok) << c.y << "-" << c.m << "-" << c.d;
    if (c.ok) {
      EXPECT_NO_THROW(EncodeDate(c.y, c.m, c.d));
    } else {
      EXPECT_THROW(EncodeDate(c.y, c.m, c.d), EConvertError);
    }
  }
  EXPECT_THROW(EncodeTime(24, 0, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 60, 0, 0), EConvertError);
  EXPECT_THROW(EncodeTime(0, 0, 0, 1000), EConvertError);
}

TEST(DateTime, TimesRoundTripToTheMillisecondAndCarryIntoTheNextDay) {
  for (int ms : {0, 1, 999, 43200000, 86399999}) {
    const int hh = ms / 3600000, mi = ms / 60000 % 60, ss = ms / 1000 % 60, mm = ms % 1000;
    const TDateTime t = EncodeDate(2026, 12, 9) + EncodeTime(hh, mi, ss, mm);
    int h = 0, m = 0, s = 0, x = 0;
    DecodeTime(t, h, m, s, x);
    EXPECT_EQ(Format("%02d:%02d:%02d.%03d", h, m, s, x), Format("%02d:%02d:%02d.%03d", hh, mi, ss, mm));
  }
  // Half a millisecond before midnight rounds to midnight of the next day.
  const TDateTime late = EncodeDate(2026, 12, 31) + (86399999.6 / 86400000.0);
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  DecodeDate(late, y, mo, d);
  DecodeTime(late, h, mi, s, ms);
  EXPECT_EQ(Format("%d-%d-%d %d:%d:%d.%d", y, mo, d, h, mi, s, ms), "2027-1-1 0:0:0.0");
}

TEST(DateTime, ZoneOffsetFollowsTzAndDaylightTime) {
  struct Case { const char* zone; int y, m, d, h; int minutes; };
  const Case cases[] = {
      {"UTC0", 2026, 12, 9, 8, 0},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 2026, 12, 9, 8, 60},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 2026, 7, 1, 12, 120},
      {"<-0530>5:30", 2026, 12, 9, 8, -330},
      {"<+0530>-5:30", 2026, 7, 1, 8, 330},
      {"EST5EDT,M3.2.0,M11.1.0", 2026, 1, 15, 12, -300},
      {"EST5EDT,M3.2.0,M11.1.0", 2026, 8, 15, 12, -240},
  };
  for (const Case& c : cases) {
    ScopedZone zone(c.zone);
    EXPECT_EQ(LocalZoneOffsetMinutes(EncodeDate(c.y, c.m, c.d) + EncodeTime(c.h, 0, 0, 0)), c.minutes) << c.zone;
  }
}

TEST(DateTime, NowIsTheLocalWallClock) {
  ScopedZone zone("<+0300>-3");
  const std::time_t before = std::time(nullptr);
  const TDateTime now = Now();
  // Local time three hours ahead of UTC, as a day number.
  const double expected = static_cast<double>(before + 3 * 3600) / 86400.0 + 25569.0;
  EXPECT_NEAR(now, expected, 5.0 / 86400.0);
  EXPECT_NEAR(UnixToLocalDateTime(before), expected, 1.0 / 86400.0);
}

}  // namespace
}  // namespace tovenmarsh::platform

namespace tovenmarsh::platform {
namespace {

TEST(DateTimeRange, ValuesWithoutACalendarDateRaiseInsteadOfWrapping) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  for (double bad : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e300, 1.5e11}) {
    EXPECT_THROW(DecodeDate(bad, y, mo, d), EConvertError) << bad;
    EXPECT_THROW(DecodeTime(bad, h, mi, s, ms), EConvertError) << bad;
    EXPECT_THROW(DayOfWeek(bad), EConvertError) << bad;
  }
  DecodeDate(2958465.0, y, mo, d);  // 31 December 9999 still decodes
  EXPECT_EQ(y, 9999);
}

}  // namespace
}  // namespace tovenmarsh::platform
