// Number, date and currency text conversions under explicit format settings.
//
// Contract: TFormatSettings is a plain value; every conversion takes one explicitly, or uses the
// calling thread's current settings (ThreadFormatSettings, which start as the language-0
// settings). Nothing here changes state that another thread reads, so no lock is needed.
// Number texts never depend on the C library's locale.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/date_time.h"

namespace tovenmarsh::platform {

struct TFormatSettings {
  std::string CurrencyString;
  uint8_t CurrencyFormat = 0;       // 0 "$1", 1 "1$", 2 "$ 1", 3 "1 $"
  uint8_t NegCurrFormat = 0;        // 0 "($1)", 1 "-$1", 2 "$-1", 3 "$1-", 5 "-1$", 8 "-1 $"...
  char ThousandSeparator = ',';
  char DecimalSeparator = '.';
  uint8_t CurrencyDecimals = 2;
  char DateSeparator = '-';
  std::string ShortDateFormat = "yyyy-mm-dd";
  std::string LongDateFormat = "dddd, mmmm dd, yyyy";
  char TimeSeparator = ':';
  std::string TimeAMString = "AM";
  std::string TimePMString = "PM";
  std::string ShortTimeFormat = "hh:mm";
  std::string LongTimeFormat = "hh:mm:ss";
  std::array<std::string, 12> ShortMonthNames{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::array<std::string, 12> LongMonthNames{"January", "February", "March",     "April",
                                             "May",     "June",     "July",      "August",
                                             "September", "October", "November", "December"};
  std::array<std::string, 7> ShortDayNames{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  std::array<std::string, 7> LongDayNames{"Sunday",   "Monday", "Tuesday", "Wednesday",
                                          "Thursday", "Friday", "Saturday"};

  friend bool operator==(const TFormatSettings&, const TFormatSettings&) = default;
};

// The settings of language 0 (the default-constructed value).
const TFormatSettings& NeutralFormatSettings();

// The locale's settings from our own table (best effort; languages without data get the US
// defaults "$", '/', "M/d/yyyy", 12-hour clock). False for an invalid locale.
bool GetLocaleFormatSettings(uint32_t lcid, TFormatSettings& settings);

// The calling thread's current settings, and a scope that switches them and restores the
// previous ones when it ends (also on an exception).
const TFormatSettings& ThreadFormatSettings();
void SetThreadFormatSettings(const TFormatSettings& settings);
class TThreadFormatScope {
 public:
  explicit TThreadFormatScope(const TFormatSettings& settings);
  ~TThreadFormatScope();
  TThreadFormatScope(const TThreadFormatScope&) = delete;
  TThreadFormatScope& operator=(const TThreadFormatScope&) = delete;

 private:
  const TFormatSettings* previous_;
  std::optional<TFormatSettings> savedOwn_;
  TFormatSettings current_;
};

// Integers: optional blanks around, optional sign, decimal digits (or '$' + hex); range checked.
bool TryTextToInt64(std::string_view text, int64_t& value);
bool TryTextToInt32(std::string_view text, int32_t& value);

// Floats: blanks, sign, digits with at most one DecimalSeparator, optional exponent. No thousand
// separators. Finite results only.
bool TryTextToFloat(std::string_view text, double& value, const TFormatSettings& fs);
bool TryTextToFloat(std::string_view text, double& value);  // thread settings
// General format, 15 significant digits, DecimalSeparator; exponent form ("1.5E20", "1E-7")
// when the exponent is 15 or more or below -5.
std::string FloatToText(double value, const TFormatSettings& fs);
std::string FloatToText(double value);

// Currency (scale 10000): parsed exactly, more than 4 decimals rounded half away from zero;
// range checked. Text: general form without trailing zeros ("12.5", "-3", "0.0001").
bool TryTextToCurrency(std::string_view text, int64_t& currency, const TFormatSettings& fs);
bool TryTextToCurrency(std::string_view text, int64_t& currency);
std::string CurrencyToText(int64_t currency, const TFormatSettings& fs);
std::string CurrencyToText(int64_t currency);

// Dates and times (TDateTime day numbers). Dates follow the order of ShortDateFormat (day,
// month, year) with DateSeparator; two-digit years pick the century within 50 years of today;
// a missing year is this year. Times are h[:m[:s]] with TimeSeparator and an optional AM/PM.
bool TryTextToDate(std::string_view text, TDateTime& value, const TFormatSettings& fs);
bool TryTextToTime(std::string_view text, TDateTime& value, const TFormatSettings& fs);
bool TryTextToDateTime(std::string_view text, TDateTime& value, const TFormatSettings& fs);
bool TryTextToDate(std::string_view text, TDateTime& value);
bool TryTextToTime(std::string_view text, TDateTime& value);
bool TryTextToDateTime(std::string_view text, TDateTime& value);

// Format tokens (case-insensitive): d dd ddd dddd ddddd(short date) dddddd(long date), m mm mmm
// mmmm (minutes right after an hour), yy yyyy, h hh, n nn, s ss, z zzz, t(short time)
// tt(long time), am/pm a/p ampm, / (DateSeparator), : (TimeSeparator), "quoted" and 'quoted'
// text; anything else is copied. A value without a calendar date (NaN, infinite, or beyond
// 1e11 days either way) raises EConvertError "'<value>' is not a valid date and time"; so do the
// three texts below, which format through it.
std::string FormatDateTime(std::string_view format, TDateTime value, const TFormatSettings& fs);
// Short date; long time; short date + " " + long time (time left out at midnight).
std::string DateToText(TDateTime value, const TFormatSettings& fs);
std::string TimeToText(TDateTime value, const TFormatSettings& fs);
std::string DateTimeToText(TDateTime value, const TFormatSettings& fs);
std::string DateToText(TDateTime value);
std::string TimeToText(TDateTime value);
std::string DateTimeToText(TDateTime value);

}  // namespace tovenmarsh::platform
