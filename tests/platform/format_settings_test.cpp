// Number, currency, date and time texts under explicit format settings, and per-thread
// settings that never leak into another thread.
#include "platform/format_settings.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <thread>

#include "platform/collation.h"
#include "platform/exception.h"

namespace tovenmarsh::platform {
namespace {

TFormatSettings German() {
  TFormatSettings fs;
  EXPECT_TRUE(GetLocaleFormatSettings(MakeLcid(1031, 0), fs));
  return fs;
}

TFormatSettings Us() {
  TFormatSettings fs;
  EXPECT_TRUE(GetLocaleFormatSettings(MakeLcid(1033, 0), fs));
  return fs;
}

TEST(FormatSettings, FloatTexts) {
  const TFormatSettings& n = NeutralFormatSettings();
  struct Case {
    double Value;
    const char* Text;
  } cases[] = {{0, "0"},         {1.5, "1.5"},         {-2, "-2"},
               {0.1, "0.1"},     {1e20, "1E20"},       {1.5e-7, "1.5E-7"},
               {0.00001, "0.00001"}, {123456789012345.0, "123456789012345"},
               {1e15, "1E15"},   {1.0 / 3, "0.333333333333333"}};
  for (const Case& c : cases) EXPECT_EQ(FloatToText(c.Value, n), c.Text);
  EXPECT_EQ(FloatToText(2.5, German()), "2,5");

  double v = 0;
  EXPECT_TRUE(TryTextToFloat(" -12.5e2 ", v, n));
  EXPECT_EQ(v, -1250);
  EXPECT_TRUE(TryTextToFloat("2,5", v, German()));
  EXPECT_EQ(v, 2.5);
  for (const char* bad : {"", "-", "1.2.3", "1,5", "1e", "abc", "1e999", "1 2"})
    EXPECT_FALSE(TryTextToFloat(bad, v, n)) << bad;
  // Texts of doubles read back exactly to 15 digits.
  std::mt19937_64 rng(3);
  for (int i = 0; i < 2000; ++i) {
    double x = std::ldexp(static_cast<double>(rng() % 1000000007) - 5e8, static_cast<int>(rng() % 80) - 40);
    ASSERT_TRUE(TryTextToFloat(FloatToText(x, n), v, n));
    ASSERT_NEAR(v, x, std::fabs(x) * 1e-14);
  }
}

TEST(FormatSettings, CurrencyTexts) {
  const TFormatSettings& n = NeutralFormatSettings();
  struct Case {
    const char* Text;
    int64_t Value;
  } cases[] = {{"12.5", 125000}, {"-3", -30000}, {"0.0001", 1}, {"1.23456", 12346},
               {"-1.23455", -12346}, {"922337203685477.5807", INT64_MAX},
               {"-922337203685477.5808", INT64_MIN}};
  for (const Case& c : cases) {
    int64_t v = 0;
    EXPECT_TRUE(TryTextToCurrency(c.Text, v, n)) << c.Text;
    EXPECT_EQ(v, c.Value) << c.Text;
  }
  int64_t v = 0;
  for (const char* bad : {"", "922337203685477.5808", "1.2.3", "x", "-"})
    EXPECT_FALSE(TryTextToCurrency(bad, v, n)) << bad;
  EXPECT_EQ(CurrencyToText(125000, n), "12.5");
  EXPECT_EQ(CurrencyToText(-30000, n), "-3");
  EXPECT_EQ(CurrencyToText(1, German()), "0,0001");
  EXPECT_EQ(CurrencyToText(INT64_MIN, n), "-922337203685477.5808");
  // Round trips are exact.
  std::mt19937_64 rng(11);
  for (int i = 0; i < 5000; ++i) {
    int64_t c = static_cast<int64_t>(rng());
    ASSERT_TRUE(TryTextToCurrency(CurrencyToText(c, n), v, n));
    ASSERT_EQ(v, c);
  }
}

TEST(FormatSettings, DateTexts) {
  TDateTime d = 0;
  ASSERT_TRUE(TryTextToDate("2026-12-09", d, NeutralFormatSettings()));
  EXPECT_EQ(d, EncodeDate(2026, 12, 9));
  ASSERT_TRUE(TryTextToDate("12/9/2026", d, Us()));
  EXPECT_EQ(d, EncodeDate(2026, 12, 9));
  ASSERT_TRUE(TryTextToDate("09.12.2026", d, German()));
  EXPECT_EQ(d, EncodeDate(2026, 12, 9));
  EXPECT_FALSE(TryTextToDate("31.02.2026", d, German()));
  EXPECT_FALSE(TryTextToDate("12", d, Us()));
  EXPECT_FALSE(TryTextToDate("12/9/2026x", d, Us()));
  // Two-digit years fall within 50 years of this one.
  int year = 0, month = 0, day = 0;
  DecodeDate(Now(), year, month, day);
  ASSERT_TRUE(TryTextToDate("1/2/" + std::to_string((year + 10) % 100), d, Us()));
  DecodeDate(d, year, month, day);
  EXPECT_GT(year, 2000);
  EXPECT_EQ(DateToText(EncodeDate(2026, 3, 4), Us()), "3/4/2026");
  EXPECT_EQ(DateToText(EncodeDate(2026, 3, 4), German()), "04.03.2026");
  EXPECT_EQ(DateToText(EncodeDate(2026, 3, 4), NeutralFormatSettings()), "2026-03-04");
}

TEST(FormatSettings, TimeTexts) {
  TDateTime t = 0;
  ASSERT_TRUE(TryTextToTime("13:05:09", t, NeutralFormatSettings()));
  EXPECT_NEAR(t, EncodeTime(13, 5, 9, 0), 1e-12);
  ASSERT_TRUE(TryTextToTime("1:05 PM", t, Us()));
  EXPECT_NEAR(t, EncodeTime(13, 5, 0, 0), 1e-12);
  ASSERT_TRUE(TryTextToTime("12:00 AM", t, Us()));
  EXPECT_NEAR(t, 0, 1e-12);
  EXPECT_FALSE(TryTextToTime("25:00", t, NeutralFormatSettings()));
  EXPECT_FALSE(TryTextToTime("13:00 PM", t, Us()));
  EXPECT_FALSE(TryTextToTime("", t, Us()));
  TDateTime dt = 0;
  ASSERT_TRUE(TryTextToDateTime("2026-12-09 08:15:02", dt, NeutralFormatSettings()));
  EXPECT_NEAR(dt, EncodeDate(2026, 12, 9) + EncodeTime(8, 15, 2, 0), 1e-9);
  ASSERT_TRUE(TryTextToDateTime("08:15", dt, NeutralFormatSettings()));
  EXPECT_EQ(TimeToText(EncodeTime(13, 5, 9, 0), Us()), "1:05:09 PM");
  EXPECT_EQ(TimeToText(EncodeTime(8, 5, 9, 0), German()), "08:05:09");
  EXPECT_EQ(DateTimeToText(EncodeDate(2026, 12, 9) + EncodeTime(8, 15, 2, 0), NeutralFormatSettings()),
            "2026-12-09 08:15:02");
  EXPECT_EQ(DateTimeToText(EncodeDate(2026, 12, 9), NeutralFormatSettings()), "2026-12-09");
}

TEST(FormatSettings, FormatTokens) {
  TDateTime v = EncodeDate(2026, 12, 9) + EncodeTime(8, 7, 6, 5);
  const TFormatSettings& n = NeutralFormatSettings();
  struct Case {
    const char* Format;
    const char* Text;
  } cases[] = {{"d/m/yy", "9-12-26"},        {"dd mm yyyy", "09 12 2026"},
               {"ddd, mmm", "Wed, Dec"},    {"dddd mmmm", "Wednesday December"},
               {"hh:mm:ss.zzz", "08:07:06.005"}, {"h:n:s", "8:7:6"},
               {"hh:nn am/pm", "08:07 am"}, {"\"day\" d 'of' m", "day 9 of 12"},
               {"ddddd", "2026-12-09"},     {"t", "08:07"}};
  for (const Case& c : cases) EXPECT_EQ(FormatDateTime(c.Format, v, n), c.Text) << c.Format;
  EXPECT_EQ(FormatDateTime("dddd, d. mmmm yyyy", v, German()), "Mittwoch, 9. Dezember 2026");
}

// A timestamp read from a damaged table can hold any double: values without a calendar date are
// refused with a conversion error instead of reaching undefined integer conversions.
TEST(FormatSettings, DateTimesWithoutACalendarDateAreRefused) {
  const TFormatSettings& n = NeutralFormatSettings();
  const double inf = std::numeric_limits<double>::infinity();
  for (double t : {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1e300, -1e300, -1e19, 2e11}) {
    EXPECT_THROW(DateTimeToText(t, n), EConvertError) << t;
    EXPECT_THROW(DateToText(t, n), EConvertError) << t;
    EXPECT_THROW(TimeToText(t, n), EConvertError) << t;
    EXPECT_THROW(FormatDateTime("dddd yyyy", t, n), EConvertError) << t;
  }
  try {
    DateTimeToText(-1e300, n);
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "'-1E300' is not a valid date and time");
  }
  // Far but computable dates still render.
  EXPECT_EQ(DateToText(EncodeDate(1, 1, 1), n), "0001-01-01");
  EXPECT_EQ(DateTimeToText(-693593.5, n), "0001-01-01 12:00:00");
  EXPECT_NO_THROW(DateTimeToText(-1e10, n));
  EXPECT_NO_THROW(DateTimeToText(1e10, n));
}

TEST(FormatSettings, ThreadSettingsAreThreadLocal) {
  EXPECT_EQ(ThreadFormatSettings(), NeutralFormatSettings());
  {
    TThreadFormatScope scope(German());
    EXPECT_EQ(ThreadFormatSettings().DecimalSeparator, ',');
    double v = 0;
    EXPECT_TRUE(TryTextToFloat("1,5", v));
    char other = 0;
    std::thread([&] { other = ThreadFormatSettings().DecimalSeparator; }).join();
    EXPECT_EQ(other, '.');
  }
  EXPECT_EQ(ThreadFormatSettings().DecimalSeparator, '.');
}

// Scopes nest, and settings set outright inside a scope last only as long as it: each scope's
// end brings back exactly what was current at its start.
TEST(FormatSettings, ScopesRestoreWhatWasCurrentAtTheirStart) {
  TFormatSettings comma;
  comma.DecimalSeparator = ',';
  TFormatSettings semicolon;
  semicolon.DecimalSeparator = ';';
  TFormatSettings colon;
  colon.DecimalSeparator = ':';
  auto current = [] { return ThreadFormatSettings().DecimalSeparator; };
  std::thread([&] {
    {
      TThreadFormatScope outer(comma);
      SetThreadFormatSettings(semicolon);  // inside the scope: undone at its end
      EXPECT_EQ(current(), ';');
      {
        TThreadFormatScope inner(colon);
        EXPECT_EQ(current(), ':');
        SetThreadFormatSettings(comma);
        EXPECT_EQ(current(), ',');
      }
      EXPECT_EQ(current(), ';');
    }
    EXPECT_EQ(current(), '.');
    SetThreadFormatSettings(semicolon);
    {
      TThreadFormatScope scope(colon);
      EXPECT_EQ(current(), ':');
      SetThreadFormatSettings(comma);
      EXPECT_EQ(current(), ',');
      {
        TThreadFormatScope inner(colon);
        EXPECT_EQ(current(), ':');
      }
      EXPECT_EQ(current(), ',');
    }
    EXPECT_EQ(current(), ';');
  }).join();
}

TEST(FormatSettings, IntegerTexts) {
  int64_t v = 0;
  EXPECT_TRUE(TryTextToInt64(" -9223372036854775808 ", v));
  EXPECT_EQ(v, INT64_MIN);
  EXPECT_FALSE(TryTextToInt64("9223372036854775808", v));
  EXPECT_TRUE(TryTextToInt64("$FF", v));
  EXPECT_EQ(v, 255);
  int32_t w = 0;
  EXPECT_FALSE(TryTextToInt32("2147483648", w));
  EXPECT_TRUE(TryTextToInt32("-2147483648", w));
  EXPECT_FALSE(TryTextToInt32("1.0", w));
  EXPECT_FALSE(TryTextToInt32("", w));
}

}  // namespace
}  // namespace tovenmarsh::platform
