// Scaled decimal encodings of BCD values, and rounding.
//
// A scaled decimal is the value's digits with exactly d decimals, followed by one more digit d:
// 12.5 with 2 decimals is 12502, -12.5 is -12502. Contract: exact 64-bit integer arithmetic
// throughout; a value that does not fit (or is not finite) is refused: the Try forms answer
// false, the plain forms raise platform::EConvertError. Never a silent 0.
// Currency values are 64-bit fixed point with scale 10000.
#pragma once

#include <cstdint>

namespace tovenmarsh::engine {

inline constexpr int64_t kCurrencyScale = 10000;

// decimals 0..9 (more is refused). x is first rounded half away from zero.
bool TryEncodeScaledFloat(int decimals, double x, int64_t& result);
int64_t EncodeScaledFloat(int decimals, double x);
// The inverse; the text is converted to the nearest double.
double DecodeScaledFloat(int64_t value);

// The same over currency; decimals are capped at 4.
bool TryEncodeScaledCurrency(int decimals, int64_t currency, int64_t& result);
int64_t EncodeScaledCurrency(int decimals, int64_t currency);
// A scaled value with more than 4 decimals is rounded half away from zero to 4.
bool TryDecodeScaledCurrency(int64_t value, int64_t& currency);
int64_t DecodeScaledCurrency(int64_t value);

// Half away from zero at decimals places (0 stays 0).
double RoundFloat(int decimals, double x);
// Half away from zero at decimals places (capped at 4), on the scaled integer.
int64_t RoundCurrency(int decimals, int64_t currency);
// 1 when n = 0, x when x = 0 or n = 1, else x multiplied n times.
double PowerOf(int n, double x);

}  // namespace tovenmarsh::engine
