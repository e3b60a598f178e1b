#include "core/date_utils.h"

#include <gtest/gtest.h>

#include "platform/exception.h"
#include "support/scoped_zone.h"

namespace tovenmarsh::core {
namespace {

using platform::EncodeDate;
using platform::EncodeTime;
using testing::ScopedZone;

TEST(MailDates, EnglishNamesTwoDigitDayAndFourDigitYear) {
  struct Case { int y, m, d, h, mi, s; const char* text; };
  const Case cases[] = {
      {2026, 12, 9, 8, 15, 2, "Wed, 09 Dec 2026 08:15:02"},
      {2024, 2, 29, 23, 59, 59, "Thu, 29 Feb 2024 23:59:59"},
      {1999, 1, 3, 0, 0, 0, "Sun, 03 Jan 1999 00:00:00"},
      {2000, 7, 15, 12, 30, 0, "Sat, 15 Jul 2000 12:30:00"},
      {1899, 12, 31, 1, 2, 3, "Sun, 31 Dec 1899 01:02:03"},
  };
  for (const Case& c : cases) {
    const TDateTime t = EncodeDate(c.y, c.m, c.d) + EncodeTime(c.h, c.mi, c.s, 0);
    EXPECT_EQ(DateTimeToMailStr(t), c.text);
    EXPECT_EQ(DateTimeToGMTStr(t), std::string(c.text) + " GMT");
    EXPECT_EQ(DateTimeToGMTStrSafe(t), std::string(c.text) + " GMT");
  }
}

TEST(MailDates, ZoneSuffixFollowsTheLocalZoneAtThatTime) {
  struct Case { const char* zone; int month; const char* suffix; };
  const Case cases[] = {
      {"UTC0", 12, " +0000"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 12, " +0100"},
      {"CET-1CEST,M3.5.0,M10.5.0/3", 6, " +0200"},
      {"<-0530>5:30", 12, " -0530"},  // five and a half hours behind UTC
      {"<+0545>-5:45", 12, " +0545"},
      {"<-10>10", 12, " -1000"},
  };
  for (const Case& c : cases) {
    ScopedZone zone(c.zone);
    const TDateTime t = EncodeDate(2026, c.month, 9) + EncodeTime(8, 15, 2, 0);
    EXPECT_EQ(DateTimeToMailZoneStr(t), DateTimeToMailStr(t) + c.suffix) << c.zone;
  }
  EXPECT_EQ(ZoneOffsetText(0), "+0000");
  EXPECT_EQ(ZoneOffsetText(-1), "-0001");
  EXPECT_EQ(ZoneOffsetText(765), "+1245");
}

TEST(ParseDate, ReordersAndDefaultsLikeThePeopleWhoTypeDates) {
  const TDateTime today = EncodeDate(2026, 12, 9) + 0.5;
  struct Case { const char* text; int y, m, d; };
  const Case cases[] = {
      {"010299", 1999, 2, 1},     {"5.6", 2026, 6, 5},         {"1.1.49", 2049, 1, 1},
      {"1.1.50", 1950, 1, 1},     {"2024-05-06", 2024, 5, 6},  {"12/25/2024", 2024, 12, 25},
      {"25/12/2024", 2024, 12, 25}, {"6 5 2024", 2024, 5, 6},  {"31.12.99", 1999, 12, 31},
      {"", 2026, 12, 9},          {"x", 2026, 12, 9},          {"15", 2026, 12, 15},
      {"0.0.2020", 2020, 12, 9},  {"1.1.100", 100, 1, 1},      {"2024.12.31", 2024, 12, 31},
      {"1,2;2003", 2003, 2, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseDateStr(c.text, today), EncodeDate(c.y, c.m, c.d)) << '"' << c.text << '"';
  }
  EXPECT_THROW(ParseDateStr("30.2.2024", today), platform::EConvertError);
  EXPECT_THROW(ParseDateStr("31.4.2024", today), platform::EConvertError);
  // Without an explicit today the clock's date fills in.
  int y = 0, m = 0, d = 0;
  platform::DecodeDate(platform::Now(), y, m, d);
  EXPECT_EQ(ParseDateStr("1.1"), EncodeDate(y, 1, 1));
}

}  // namespace
}  // namespace tovenmarsh::core
