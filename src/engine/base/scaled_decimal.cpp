// Scaled decimal encodings (value digits followed by the decimal count) with exact 64-bit
// arithmetic, and rounding half away from zero.
#include "engine/base/scaled_decimal.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

#include "platform/exception.h"

namespace tovenmarsh::engine {
namespace {

constexpr uint64_t kPow10[] = {1ull,
                               10ull,
                               100ull,
                               1000ull,
                               10000ull,
                               100000ull,
                               1000000ull,
                               10000000ull,
                               100000000ull,
                               1000000000ull,
                               10000000000ull,
                               100000000000ull,
                               1000000000000ull,
                               10000000000000ull,
                               100000000000000ull,
                               1000000000000000ull,
                               10000000000000000ull,
                               100000000000000000ull,
                               1000000000000000000ull};

uint64_t Magnitude(int64_t v) { return v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v); }

// sign x magnitude as int64; false when it does not fit.
bool Signed(bool negative, uint64_t magnitude, int64_t& out) {
  if (negative) {
    if (magnitude > static_cast<uint64_t>(INT64_MAX) + 1) return false;
    out = static_cast<int64_t>(0 - magnitude);
  } else {
    if (magnitude > static_cast<uint64_t>(INT64_MAX)) return false;
    out = static_cast<int64_t>(magnitude);
  }
  return true;
}

// magnitude x 10 + digit as a scaled value; false on overflow.
bool Append(bool negative, uint64_t magnitude, int digit, int64_t& out) {
  if (magnitude > (static_cast<uint64_t>(INT64_MAX) - static_cast<uint64_t>(digit)) / 10) return false;
  return Signed(negative && (magnitude != 0 || digit != 0), magnitude * 10 + static_cast<uint64_t>(digit), out);
}

// The integer digits of |x| x 10^decimals rounded half away from zero, decided on the exact
// binary value of x (its decimal expansion is exact well past the 40 digits looked at: a double
// below 2^53 can lie no closer than that to a tie). False for values without a finite form.
bool RoundedDigits(int decimals, double x, bool& negative, std::string& digits) {
  if (!std::isfinite(x)) return false;
  negative = std::signbit(x) && x != 0;
  double a = std::fabs(x);
  if (a >= 1e300) return false;
  char text[512];
  int n = std::snprintf(text, sizeof text, "%.*f", decimals + 40, a);
  if (n <= 0 || n >= static_cast<int>(sizeof text)) return false;
  std::string s(text, static_cast<size_t>(n));
  size_t dot = s.find('.');
  std::string whole = s.substr(0, dot) + s.substr(dot + 1, static_cast<size_t>(decimals));
  bool up = s[dot + 1 + static_cast<size_t>(decimals)] >= '5';
  if (up) {
    size_t i = whole.size();
    while (i > 0 && whole[i - 1] == '9') whole[--i] = '0';
    if (i == 0) whole.insert(0, "1");
    else ++whole[i - 1];
  }
  size_t first = whole.find_first_not_of('0');
  digits = first == std::string::npos ? "0" : whole.substr(first);
  if (digits == "0") negative = false;
  return true;
}

[[noreturn]] void OutOfRange(const char* what) {
  throw platform::EConvertError(std::string(what) + " is out of the range of a scaled decimal");
}

}  // namespace

double PowerOf(int n, double x) {
  if (n == 0) return 1;
  if (x == 0 || n == 1) return x;
  double r = x;
  for (int i = 1; i < n; ++i) r *= x;
  return r;
}

double RoundFloat(int decimals, double x) {
  if (x == 0 || !std::isfinite(x)) return x;
  if (decimals < 0) decimals = 0;
  if (decimals > 20) return x;  // finer than a double's digits reach for any useful value
  bool negative = false;
  std::string digits;
  if (!RoundedDigits(decimals, x, negative, digits)) return x;
  std::string text = negative ? "-" : "";
  text += digits;
  text += "e-" + std::to_string(decimals);
  double out = 0;
  std::from_chars(text.data(), text.data() + text.size(), out);
  return out;
}

int64_t RoundCurrency(int decimals, int64_t currency) {
  if (decimals < 0) decimals = 0;
  if (decimals >= 4) return currency;
  uint64_t unit = kPow10[4 - decimals];
  uint64_t m = Magnitude(currency);
  uint64_t q = m / unit;
  if ((m % unit) * 2 >= unit) ++q;
  unsigned __int128 rounded = static_cast<unsigned __int128>(q) * unit;
  unsigned __int128 limit = static_cast<unsigned __int128>(INT64_MAX) + (currency < 0 ? 1 : 0);
  if (rounded > limit) rounded -= unit;  // the nearest representable multiple, toward zero
  int64_t out = 0;
  Signed(currency < 0, static_cast<uint64_t>(rounded), out);
  return out;
}

bool TryEncodeScaledFloat(int decimals, double x, int64_t& result) {
  if (decimals < 0 || decimals > 9 || !std::isfinite(x)) return false;
  // |x| x 10^(d+1) must stay below 2^63: refuse early what cannot fit.
  if (std::fabs(x) * static_cast<double>(kPow10[decimals]) >= 9.3e17) return false;
  bool negative = false;
  std::string digits;
  if (!RoundedDigits(decimals, x, negative, digits)) return false;
  uint64_t magnitude = 0;
  for (char c : digits) {
    if (magnitude > (UINT64_MAX - 9) / 10) return false;
    magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
  }
  return Append(negative, magnitude, decimals, result);
}

int64_t EncodeScaledFloat(int decimals, double x) {
  int64_t result = 0;
  if (!TryEncodeScaledFloat(decimals, x, result)) OutOfRange("Floating point value");
  return result;
}

double DecodeScaledFloat(int64_t value) {
  uint64_t m = Magnitude(value);
  int d = static_cast<int>(m % 10);
  std::string digits = std::to_string(m / 10);
  if (digits.size() < static_cast<size_t>(d)) digits.insert(0, static_cast<size_t>(d) - digits.size(), '0');
  std::string text = value < 0 ? "-" : "";
  size_t integerDigits = digits.size() - static_cast<size_t>(d);
  text += integerDigits == 0 ? "0" : digits.substr(0, integerDigits);
  if (d > 0) text += "." + digits.substr(integerDigits);
  double out = 0;
  std::from_chars(text.data(), text.data() + text.size(), out);
  return out;
}

bool TryEncodeScaledCurrency(int decimals, int64_t currency, int64_t& result) {
  if (decimals < 0) decimals = 0;
  if (decimals > 4) decimals = 4;
  int64_t rounded = RoundCurrency(decimals, currency);
  uint64_t m = Magnitude(rounded) / kPow10[4 - decimals];
  return Append(rounded < 0, m, decimals, result);
}

int64_t EncodeScaledCurrency(int decimals, int64_t currency) {
  int64_t result = 0;
  if (!TryEncodeScaledCurrency(decimals, currency, result)) OutOfRange("Currency value");
  return result;
}

bool TryDecodeScaledCurrency(int64_t value, int64_t& currency) {
  uint64_t m = Magnitude(value);
  int d = static_cast<int>(m % 10);
  uint64_t digits = m / 10;
  uint64_t c;
  if (d <= 4) {
    uint64_t unit = kPow10[4 - d];
    if (digits > UINT64_MAX / unit) return false;
    c = digits * unit;
  } else {
    uint64_t unit = kPow10[d - 4];
    c = digits / unit;
    if ((digits % unit) * 2 >= unit) ++c;
  }
  return Signed(value < 0 && c != 0, c, currency);
}

int64_t DecodeScaledCurrency(int64_t value) {
  int64_t currency = 0;
  if (!TryDecodeScaledCurrency(value, currency)) OutOfRange("Scaled value");
  return currency;
}

}  // namespace tovenmarsh::engine
