// Number, date and currency texts under explicit format settings, and our own table of locale
// format data (in place of the system's locale information).
#include "platform/format_settings.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/collation.h"
#include "platform/exception.h"
#include "platform/win1252.h"

namespace tovenmarsh::platform {
namespace {

thread_local const TFormatSettings* tSettings = nullptr;  // nullptr: the neutral settings

// The object SetThreadFormatSettings fills, one per thread, kept for the thread's life.
TFormatSettings& ThreadOwn() {
  thread_local TFormatSettings own;
  return own;
}

const TFormatSettings& Neutral() {
  static const TFormatSettings settings;
  return settings;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool SameTextPrefix(std::string_view text, size_t pos, std::string_view word) {
  if (word.empty() || text.size() - pos < word.size()) return false;
  for (size_t i = 0; i < word.size(); ++i)
    if (Win1252Upper(text[pos + i]) != Win1252Upper(word[i])) return false;
  return true;
}

// --- locale data ------------------------------------------------------------------------------

struct LocaleData {
  uint16_t Primary;      // primary language
  uint16_t Sublanguage;  // 0: every sublanguage without its own entry
  const char* Currency;
  uint8_t CurrencyFormat;
  uint8_t NegCurrFormat;
  char Thousand;
  char Decimal;
  char DateSep;
  const char* ShortDate;
  const char* LongDate;
  bool TwelveHour;
  bool HourLeadingZero;
};

// Best-effort format data for the languages people are likely to use; the rest take the US
// defaults. \x80 is the euro sign, \xA3 the pound sign, \xA0 a no-break space in Windows-1252.
constexpr LocaleData kLocaleData[] = {
    {9, 1, "$", 0, 0, ',', '.', '/', "M/d/yyyy", "dddd, MMMM dd, yyyy", true, false},
    {9, 2, "\xA3", 0, 1, ',', '.', '/', "dd/MM/yyyy", "dd MMMM yyyy", false, true},
    {9, 3, "$", 0, 1, ',', '.', '/', "d/MM/yyyy", "dddd, d MMMM yyyy", true, false},
    {9, 4, "$", 0, 1, ',', '.', '/', "dd/MM/yyyy", "MMMM d, yyyy", true, false},
    {9, 0, "$", 0, 0, ',', '.', '/', "M/d/yyyy", "dddd, MMMM dd, yyyy", true, false},
    {7, 2, "SFr.", 2, 2, '\'', '.', '.', "dd.MM.yyyy", "dddd, d. MMMM yyyy", false, true},
    {7, 0, "\x80", 3, 8, '.', ',', '.', "dd.MM.yyyy", "dddd, d. MMMM yyyy", false, true},
    {12, 4, "SFr.", 2, 2, '\'', '.', '.', "dd.MM.yyyy", "dddd, d. MMMM yyyy", false, true},
    {12, 3, "$", 3, 15, '\xA0', ',', '-', "yyyy-MM-dd", "d MMMM, yyyy", false, true},
    {12, 0, "\x80", 3, 8, '\xA0', ',', '/', "dd/MM/yyyy", "dddd d MMMM yyyy", false, true},
    {19, 2, "\x80", 3, 8, '.', ',', '/', "d/MM/yyyy", "dddd d MMMM yyyy", false, false},
    {19, 0, "\x80", 2, 12, '.', ',', '-', "d-M-yyyy", "dddd d MMMM yyyy", false, false},
    {16, 0, "\x80", 2, 9, '.', ',', '/', "dd/MM/yyyy", "dddd d MMMM yyyy", false, false},
    {10, 0, "\x80", 3, 8, '.', ',', '/', "dd/MM/yyyy", "dddd, dd' de 'MMMM' de 'yyyy", false, false},
    {22, 1, "R$", 2, 9, '.', ',', '/', "dd/MM/yyyy", "dddd, d' de 'MMMM' de 'yyyy", false, true},
    {22, 0, "\x80", 3, 8, '.', ',', '-', "dd-MM-yyyy", "dddd, d' de 'MMMM' de 'yyyy", false, true},
    {6, 0, "kr", 2, 12, '.', ',', '-', "dd-MM-yyyy", "d. MMMM yyyy", false, true},
    {11, 0, "\x80", 3, 8, '\xA0', ',', '.', "d.M.yyyy", "d. MMMM'ta 'yyyy", false, false},
    {20, 0, "kr", 2, 12, '\xA0', ',', '.', "dd.MM.yyyy", "d. MMMM yyyy", false, true},
    {29, 0, "kr", 3, 8, '.', ',', '-', "yyyy-MM-dd", "'den 'd MMMM yyyy", false, true},
    {21, 0, "z\xB3", 3, 8, '\xA0', ',', '-', "yyyy-MM-dd", "d MMMM yyyy", false, true},
    {5, 0, "K\x9F", 3, 8, '\xA0', ',', '.', "d.M.yyyy", "d. MMMM yyyy", false, false},
    {14, 0, "Ft", 3, 8, '\xA0', ',', '.', "yyyy.MM.dd.", "yyyy. MMMM d.", false, false},
    {25, 0, "\x80", 3, 8, '\xA0', ',', '.', "dd.MM.yyyy", "d MMMM yyyy", false, false},
};

const std::array<std::string, 12> kGermanLongMonths{"Januar", "Februar", "M\xE4rz",    "April",
                                                    "Mai",    "Juni",    "Juli",       "August",
                                                    "September", "Oktober", "November", "Dezember"};
const std::array<std::string, 12> kGermanShortMonths{"Jan", "Feb", "M\xE4r", "Apr", "Mai", "Jun",
                                                     "Jul", "Aug", "Sep", "Okt", "Nov", "Dez"};
const std::array<std::string, 7> kGermanLongDays{"Sonntag",    "Montag",  "Dienstag", "Mittwoch",
                                                 "Donnerstag", "Freitag", "Samstag"};
const std::array<std::string, 7> kGermanShortDays{"So", "Mo", "Di", "Mi", "Do", "Fr", "Sa"};

// --- numbers -------------------------------------------------------------------------------------

// Parses [sign] digits [sep digits] [E [sign] digits] into a C-form text for from_chars.
bool NormaliseFloat(std::string_view text, char decimalSeparator, std::string& out) {
  text = Trim(text);
  out.clear();
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    if (text[i] == '-') out += '-';
    ++i;
  }
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') out += text[i++], ++digits;
  if (i < text.size() && text[i] == decimalSeparator) {
    out += '.';
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') out += text[i++], ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'E' || text[i] == 'e')) {
    out += 'e';
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) out += text[i++];
    size_t expDigits = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') out += text[i++], ++expDigits;
    if (expDigits == 0) return false;
  }
  return i == text.size();
}

std::string ReplaceDecimalPoint(std::string s, char decimalSeparator) {
  for (char& c : s)
    if (c == '.') c = decimalSeparator;
  return s;
}

// --- dates ---------------------------------------------------------------------------------------

enum class DateOrder { MDY, DMY, YMD };

DateOrder OrderOf(std::string_view format) {
  for (char c : format) {
    char u = Win1252Upper(c);
    if (u == 'D') return DateOrder::DMY;
    if (u == 'M') return DateOrder::MDY;
    if (u == 'Y') return DateOrder::YMD;
  }
  return DateOrder::MDY;
}

bool ScanNumber(std::string_view s, size_t& pos, int& value, int& digits) {
  value = 0;
  digits = 0;
  while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9' && digits < 9) {
    value = value * 10 + (s[pos++] - '0');
    ++digits;
  }
  return digits > 0;
}

void SkipBlanks(std::string_view s, size_t& pos) {
  while (pos < s.size() && IsBlank(s[pos])) ++pos;
}

int CurrentYear() {
  int y = 0, m = 0, d = 0;
  DecodeDate(Now(), y, m, d);
  return y;
}

// A date at pos; pos moves past it.
bool ScanDate(std::string_view s, size_t& pos, TDateTime& value, const TFormatSettings& fs) {
  SkipBlanks(s, pos);
  int n[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  int count = 0;
  while (count < 3) {
    if (!ScanNumber(s, pos, n[count], digits[count])) return false;
    ++count;
    if (pos < s.size() && s[pos] == fs.DateSeparator && count < 3) {
      ++pos;
      continue;
    }
    break;
  }
  // A trailing separator (as in "yyyy.MM.dd.") is allowed.
  if (pos < s.size() && s[pos] == fs.DateSeparator) ++pos;
  if (count < 2) return false;
  int year, month, day, yearDigits = 4;
  DateOrder order = OrderOf(fs.ShortDateFormat);
  if (count == 2) {
    year = CurrentYear();
    if (order == DateOrder::DMY) {
      day = n[0];
      month = n[1];
    } else {
      month = n[0];
      day = n[1];
    }
  } else {
    switch (order) {
      case DateOrder::MDY: month = n[0], day = n[1], year = n[2], yearDigits = digits[2]; break;
      case DateOrder::DMY: day = n[0], month = n[1], year = n[2], yearDigits = digits[2]; break;
      default: year = n[0], month = n[1], day = n[2], yearDigits = digits[0]; break;
    }
    if (yearDigits <= 2) {
      // The century that puts the year within 50 years of this one.
      int start = CurrentYear() - 50;
      int candidate = start / 100 * 100 + year;
      if (candidate < start) candidate += 100;
      year = candidate;
    }
  }
  return TryEncodeDate(year, month, day, value);
}

// AM or PM at pos: 0 none, 1 AM, 2 PM.
int ScanAmPm(std::string_view s, size_t& pos, const TFormatSettings& fs) {
  SkipBlanks(s, pos);
  const std::string_view am[] = {fs.TimeAMString, "AM"};
  const std::string_view pm[] = {fs.TimePMString, "PM"};
  for (std::string_view word : am)
    if (SameTextPrefix(s, pos, word)) return pos += word.size(), 1;
  for (std::string_view word : pm)
    if (SameTextPrefix(s, pos, word)) return pos += word.size(), 2;
  return 0;
}

bool ScanTime(std::string_view s, size_t& pos, TDateTime& value, const TFormatSettings& fs) {
  int ampm = ScanAmPm(s, pos, fs);
  SkipBlanks(s, pos);
  int part[3] = {0, 0, 0};
  int digits = 0;
  int count = 0;
  int ms = 0;
  while (count < 3) {
    if (!ScanNumber(s, pos, part[count], digits) || digits > 2) return false;
    ++count;
    if (pos < s.size() && s[pos] == fs.TimeSeparator && count < 3) {
      ++pos;
      continue;
    }
    break;
  }
  if (count == 3 && pos < s.size() && s[pos] == fs.DecimalSeparator) {
    ++pos;
    int msDigits = 0;
    if (!ScanNumber(s, pos, ms, msDigits) || msDigits > 3) return false;
    while (msDigits++ < 3) ms *= 10;
  }
  if (ampm == 0) ampm = ScanAmPm(s, pos, fs);
  int hour = part[0];
  if (ampm != 0) {
    if (hour < 1 || hour > 12) return false;
    if (ampm == 1 && hour == 12) hour = 0;
    if (ampm == 2 && hour < 12) hour += 12;
  }
  if (hour > 23 || part[1] > 59 || part[2] > 59) return false;
  value = static_cast<double>(((hour * 60 + part[1]) * 60 + part[2]) * 1000 + ms) / 86400000.0;
  return true;
}

// Day numbers beyond this magnitude (some 270 million years) have no date the calendar
// arithmetic can compute without overflowing; NaN and infinities have none at all.
constexpr double kMaxDayMagnitude = 1e11;

void CheckCalendarDate(TDateTime value) {
  if (!std::isfinite(value) || std::fabs(value) > kMaxDayMagnitude)
    throw EConvertError("'" + FloatToText(value, Neutral()) + "' is not a valid date and time");
}

std::string Two(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d", v);
  return buf;
}

}  // namespace

const TFormatSettings& NeutralFormatSettings() { return Neutral(); }

bool GetLocaleFormatSettings(uint32_t lcid, TFormatSettings& fs) {
  if (!IsValidLocale(lcid)) return false;
  uint16_t language = LanguageOfLcid(lcid);
  if (language == 0) {
    fs = Neutral();
    return true;
  }
  uint16_t primary = language & 0x3FF;
  uint16_t sub = language >> 10;
  // The defaults of a locale without data of its own.
  LocaleData data{0, 0, "$", 0, 0, ',', '.', '/', "M/d/yyyy", "dddd, MMMM dd, yyyy", true, false};
  for (const LocaleData& entry : kLocaleData) {
    if (entry.Primary == primary && (entry.Sublanguage == sub || entry.Sublanguage == 0)) {
      data = entry;
      break;
    }
  }
  fs = TFormatSettings();
  fs.CurrencyString = data.Currency;
  fs.CurrencyFormat = data.CurrencyFormat;
  fs.NegCurrFormat = data.NegCurrFormat;
  fs.ThousandSeparator = data.Thousand;
  fs.DecimalSeparator = data.Decimal;
  fs.CurrencyDecimals = 2;
  fs.DateSeparator = data.DateSep;
  fs.ShortDateFormat = data.ShortDate;
  fs.LongDateFormat = data.LongDate;
  fs.TimeSeparator = ':';
  fs.TimeAMString = "AM";
  fs.TimePMString = "PM";
  std::string hour = data.HourLeadingZero ? "hh" : "h";
  std::string suffix = data.TwelveHour ? " AMPM" : "";
  fs.ShortTimeFormat = hour + ":mm" + suffix;
  fs.LongTimeFormat = hour + ":mm:ss" + suffix;
  if (primary == 7) {
    fs.LongMonthNames = kGermanLongMonths;
    fs.ShortMonthNames = kGermanShortMonths;
    fs.LongDayNames = kGermanLongDays;
    fs.ShortDayNames = kGermanShortDays;
  }
  return true;
}

const TFormatSettings& ThreadFormatSettings() { return tSettings != nullptr ? *tSettings : Neutral(); }

void SetThreadFormatSettings(const TFormatSettings& settings) {
  TFormatSettings& own = ThreadOwn();
  own = settings;
  tSettings = &own;
}

// A scope points the thread at its own copy and back at what was current before, which is
// nullptr or an outer scope's copy (left alone by anything inside) unless it is the object that
// SetThreadFormatSettings fills: only then is that object's value saved, to be put back.
TThreadFormatScope::TThreadFormatScope(const TFormatSettings& settings) : previous_(tSettings), current_(settings) {
  if (previous_ == &ThreadOwn()) savedOwn_ = ThreadOwn();
  tSettings = &current_;
}

TThreadFormatScope::~TThreadFormatScope() {
  if (savedOwn_) ThreadOwn() = *savedOwn_;
  tSettings = previous_;
}

bool TryTextToInt64(std::string_view text, int64_t& value) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (!text.empty() && text.front() == '$') {
    base = 16;
    text.remove_prefix(1);
  } else if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty()) return false;
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (negative) {
    if (magnitude > static_cast<uint64_t>(INT64_MAX) + 1) return false;
    value = static_cast<int64_t>(0 - magnitude);
  } else {
    if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    value = static_cast<int64_t>(magnitude);
  }
  return true;
}

bool TryTextToInt32(std::string_view text, int32_t& value) {
  int64_t wide = 0;
  if (!TryTextToInt64(text, wide) || wide < INT32_MIN || wide > INT32_MAX) return false;
  value = static_cast<int32_t>(wide);
  return true;
}

bool TryTextToFloat(std::string_view text, double& value, const TFormatSettings& fs) {
  std::string normal;
  if (!NormaliseFloat(text, fs.DecimalSeparator, normal)) return false;
  double parsed = 0;
  auto [end, ec] = std::from_chars(normal.data(), normal.data() + normal.size(), parsed);
  if (ec != std::errc() || end != normal.data() + normal.size() || !std::isfinite(parsed))
    return false;
  value = parsed;
  return true;
}

bool TryTextToFloat(std::string_view text, double& value) {
  return TryTextToFloat(text, value, ThreadFormatSettings());
}

std::string FloatToText(double value, const TFormatSettings& fs) {
  if (std::isnan(value)) return "NAN";
  if (std::isinf(value)) return value > 0 ? "INF" : "-INF";
  if (value == 0) return "0";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.14e", value);  // 15 significant digits
  const char* e = std::strchr(buf, 'e');
  int exponent = std::atoi(e + 1);
  std::string out;
  if (exponent >= -5 && exponent < 15) {
    int decimals = 14 - exponent;
    std::snprintf(buf, sizeof buf, "%.*f", decimals, value);
    out = buf;
    if (out.find('.') != std::string::npos) {
      while (out.back() == '0') out.pop_back();
      if (out.back() == '.') out.pop_back();
    }
  } else {
    std::string mantissa(buf, static_cast<size_t>(e - buf));
    while (mantissa.back() == '0') mantissa.pop_back();
    if (mantissa.back() == '.') mantissa.pop_back();
    out = mantissa + "E" + std::to_string(exponent);
  }
  return ReplaceDecimalPoint(out, fs.DecimalSeparator);
}

std::string FloatToText(double value) { return FloatToText(value, ThreadFormatSettings()); }

bool TryTextToCurrency(std::string_view text, int64_t& currency, const TFormatSettings& fs) {
  text = Trim(text);
  bool negative = false;
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  // Integer digits, then up to 4 decimals kept exactly and the 5th deciding the rounding.
  unsigned __int128 magnitude = 0;
  size_t digits = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    magnitude = magnitude * 10 + static_cast<unsigned>(text[i++] - '0');
    if (magnitude > static_cast<unsigned __int128>(INT64_MAX)) return false;
    ++digits;
  }
  int decimals = 0;
  bool roundUp = false;
  if (i < text.size() && text[i] == fs.DecimalSeparator) {
    ++i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      if (decimals < 4) {
        magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - '0');
        ++decimals;
      } else if (decimals == 4) {
        roundUp = text[i] >= '5';
        decimals = 5;
      }
      ++i;
      ++digits;
    }
  }
  if (digits == 0 || i != text.size()) return false;
  for (int d = decimals < 4 ? decimals : 4; d < 4; ++d) magnitude *= 10;
  if (roundUp) magnitude += 1;
  unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + (negative ? 1 : 0);
  if (magnitude > limit) return false;
  currency = negative ? static_cast<int64_t>(0 - static_cast<uint64_t>(magnitude))
                      : static_cast<int64_t>(magnitude);
  return true;
}

bool TryTextToCurrency(std::string_view text, int64_t& currency) {
  return TryTextToCurrency(text, currency, ThreadFormatSettings());
}

std::string CurrencyToText(int64_t currency, const TFormatSettings& fs) {
  uint64_t magnitude = currency < 0 ? 0 - static_cast<uint64_t>(currency) : static_cast<uint64_t>(currency);
  std::string out = currency < 0 ? "-" : "";
  out += std::to_string(magnitude / 10000);
  uint64_t fraction = magnitude % 10000;
  if (fraction != 0) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "%04u", static_cast<unsigned>(fraction));
    std::string f = buf;
    while (f.back() == '0') f.pop_back();
    out += fs.DecimalSeparator;
    out += f;
  }
  return out;
}

std::string CurrencyToText(int64_t currency) { return CurrencyToText(currency, ThreadFormatSettings()); }

bool TryTextToDate(std::string_view text, TDateTime& value, const TFormatSettings& fs) {
  size_t pos = 0;
  TDateTime v = 0;
  if (!ScanDate(text, pos, v, fs)) return false;
  SkipBlanks(text, pos);
  if (pos != text.size()) return false;
  value = v;
  return true;
}

bool TryTextToTime(std::string_view text, TDateTime& value, const TFormatSettings& fs) {
  size_t pos = 0;
  TDateTime v = 0;
  if (!ScanTime(text, pos, v, fs)) return false;
  SkipBlanks(text, pos);
  if (pos != text.size()) return false;
  value = v;
  return true;
}

bool TryTextToDateTime(std::string_view text, TDateTime& value, const TFormatSettings& fs) {
  size_t pos = 0;
  TDateTime date = 0;
  if (ScanDate(text, pos, date, fs)) {
    SkipBlanks(text, pos);
    if (pos == text.size()) {
      value = date;
      return true;
    }
    TDateTime time = 0;
    if (!ScanTime(text, pos, time, fs)) return false;
    SkipBlanks(text, pos);
    if (pos != text.size()) return false;
    value = date < 0 ? date - time : date + time;
    return true;
  }
  return TryTextToTime(text, value, fs);
}

bool TryTextToDate(std::string_view text, TDateTime& value) {
  return TryTextToDate(text, value, ThreadFormatSettings());
}
bool TryTextToTime(std::string_view text, TDateTime& value) {
  return TryTextToTime(text, value, ThreadFormatSettings());
}
bool TryTextToDateTime(std::string_view text, TDateTime& value) {
  return TryTextToDateTime(text, value, ThreadFormatSettings());
}

std::string FormatDateTime(std::string_view format, TDateTime value, const TFormatSettings& fs) {
  CheckCalendarDate(value);
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, ms);
  // Whether the hour clock is 12-hour: any am/pm token in the format.
  bool twelve = false;
  for (size_t i = 0; i < format.size(); ++i)
    if (SameTextPrefix(format, i, "AM/PM") || SameTextPrefix(format, i, "A/P") ||
        SameTextPrefix(format, i, "AMPM"))
      twelve = true;
  std::string out;
  bool lastWasHour = false;
  size_t i = 0;
  auto run = [&](char c) {
    size_t n = 0;
    while (i + n < format.size() && Win1252Upper(format[i + n]) == c) ++n;
    return n;
  };
  while (i < format.size()) {
    char c = format[i];
    char u = Win1252Upper(c);
    if (c == '"' || c == '\'') {
      size_t close = format.find(c, i + 1);
      if (close == std::string_view::npos) close = format.size();
      out.append(format.substr(i + 1, close - i - 1));
      i = close + 1;
      continue;
    }
    if (SameTextPrefix(format, i, "AM/PM")) {
      out += hour < 12 ? (c == 'a' ? "am" : "AM") : (c == 'a' ? "pm" : "PM");
      i += 5;
      continue;
    }
    if (SameTextPrefix(format, i, "A/P")) {
      out += hour < 12 ? (c == 'a' ? "a" : "A") : (c == 'a' ? "p" : "P");
      i += 3;
      continue;
    }
    if (SameTextPrefix(format, i, "AMPM")) {
      out += hour < 12 ? fs.TimeAMString : fs.TimePMString;
      i += 4;
      continue;
    }
    size_t n;
    switch (u) {
      case 'D':
        n = run('D');
        if (n == 1) out += std::to_string(day);
        else if (n == 2) out += Two(day);
        else if (n == 3) out += fs.ShortDayNames[static_cast<size_t>(DayOfWeek(value) - 1)];
        else if (n == 4) out += fs.LongDayNames[static_cast<size_t>(DayOfWeek(value) - 1)];
        else if (n == 5) out += FormatDateTime(fs.ShortDateFormat, value, fs);
        else out += FormatDateTime(fs.LongDateFormat, value, fs);
        i += n;
        lastWasHour = false;
        continue;
      case 'M':
        n = run('M');
        if (lastWasHour && n <= 2) {
          out += n == 1 ? std::to_string(minute) : Two(minute);
        } else if (n == 1) {
          out += std::to_string(month);
        } else if (n == 2) {
          out += Two(month);
        } else if (n == 3) {
          out += fs.ShortMonthNames[static_cast<size_t>(month - 1)];
        } else {
          out += fs.LongMonthNames[static_cast<size_t>(month - 1)];
        }
        i += n;
        lastWasHour = false;
        continue;
      case 'Y': {
        n = run('Y');
        char buf[16];
        if (n <= 2) std::snprintf(buf, sizeof buf, "%02d", year % 100);
        else std::snprintf(buf, sizeof buf, "%04d", year);
        out += buf;
        i += n;
        lastWasHour = false;
        continue;
      }
      case 'H': {
        n = run('H');
        int h = hour;
        if (twelve) {
          h %= 12;
          if (h == 0) h = 12;
        }
        out += n == 1 ? std::to_string(h) : Two(h);
        i += n;
        lastWasHour = true;
        continue;
      }
      case 'N':
        n = run('N');
        out += n == 1 ? std::to_string(minute) : Two(minute);
        i += n;
        lastWasHour = false;
        continue;
      case 'S':
        n = run('S');
        out += n == 1 ? std::to_string(second) : Two(second);
        i += n;
        lastWasHour = false;
        continue;
      case 'Z': {
        n = run('Z');
        char buf[16];
        if (n >= 3) std::snprintf(buf, sizeof buf, "%03d", ms);
        else std::snprintf(buf, sizeof buf, "%d", ms);
        out += buf;
        i += n;
        continue;
      }
      case 'T':
        n = run('T');
        out += FormatDateTime(n == 1 ? fs.ShortTimeFormat : fs.LongTimeFormat, value, fs);
        i += n;
        continue;
      case '/':
        out += fs.DateSeparator;
        ++i;
        continue;
      case ':':
        out += fs.TimeSeparator;
        ++i;
        continue;
      default:
        out += c;
        ++i;
        continue;
    }
  }
  return out;
}

std::string DateToText(TDateTime value, const TFormatSettings& fs) {
  return FormatDateTime(fs.ShortDateFormat, value, fs);
}

std::string TimeToText(TDateTime value, const TFormatSettings& fs) {
  return FormatDateTime(fs.LongTimeFormat, value, fs);
}

std::string DateTimeToText(TDateTime value, const TFormatSettings& fs) {
  CheckCalendarDate(value);
  std::string out = DateToText(value, fs);
  int hour = 0, minute = 0, second = 0, ms = 0;
  DecodeTime(value, hour, minute, second, ms);
  if (hour != 0 || minute != 0 || second != 0) out += " " + TimeToText(value, fs);
  return out;
}

std::string DateToText(TDateTime value) { return DateToText(value, ThreadFormatSettings()); }
std::string TimeToText(TDateTime value) { return TimeToText(value, ThreadFormatSettings()); }
std::string DateTimeToText(TDateTime value) { return DateTimeToText(value, ThreadFormatSettings()); }

}  // namespace tovenmarsh::platform
