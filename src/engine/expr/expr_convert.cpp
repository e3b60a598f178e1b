// Conversion of expression values between field types, and date and time texts.
#include "engine/expr/expr_convert.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine/base/engine_strings.h"
#include "engine/expr/expr_types.h"
#include "engine/base/scaled_decimal.h"
#include "engine/base/value_text.h"
#include "platform/format_settings.h"

namespace tovenmarsh::engine {
namespace {

constexpr uint8_t kString = 1, kDate = 2, kBlob = 3, kBool = 4, kSmallInt = 5, kInteger = 6,
                  kFloat = 7, kBCD = 8, kBytes = 9, kTime = 10, kTimeStamp = 11, kWord = 12;

template <class T>
T Get(const uint8_t* b) {
  T v;
  std::memcpy(&v, b, sizeof v);
  return v;
}
template <class T>
void Put(uint8_t* b, T v) {
  std::memcpy(b, &v, sizeof v);
}

int32_t Bounded(int32_t size) { return std::clamp(size, 0, kConvertBufferSize); }

std::string BufferText(const uint8_t* b, int32_t size) {
  size_t limit = static_cast<size_t>(Bounded(size));
  size_t n = 0;
  while (n < limit && b[n] != 0) ++n;
  return std::string(reinterpret_cast<const char*>(b), n);
}

// A string target: cut to size - 1 characters, zero-terminated.
bool PutText(uint8_t* b, std::string_view s, int32_t targetSize) {
  int32_t room = Bounded(targetSize) - 1;
  if (room < 0) room = 0;
  size_t n = std::min(s.size(), static_cast<size_t>(room));
  std::memcpy(b, s.data(), n);
  std::memset(b + n, 0, static_cast<size_t>(kConvertBufferSize) - n);
  return true;
}

bool Fail(uint8_t* b) {
  std::memset(b, 0, static_cast<size_t>(kConvertBufferSize));
  return false;
}

// Raw bytes: the smaller of the two sizes copied, the rest zero.
bool CopyBytes(uint8_t* b, int32_t sourceSize, int32_t targetSize) {
  int32_t n = std::min(Bounded(sourceSize), Bounded(targetSize));
  std::memset(b + n, 0, static_cast<size_t>(kConvertBufferSize - n));
  return true;
}

int32_t DateTimeToDay(double dt) {
  return static_cast<int32_t>(std::floor(dt)) + kTimeOnlyDay;
}
int32_t DateTimeToMs(double dt) {
  double fraction = dt - std::floor(dt);
  int64_t ms = std::llround(fraction * static_cast<double>(kMillisecondsPerDay));
  return static_cast<int32_t>(std::min<int64_t>(ms, kMillisecondsPerDay - 1));
}
double StampToDateTime(double stamp) {
  double day = std::floor(stamp / static_cast<double>(kMillisecondsPerDay));
  double ms = stamp - day * static_cast<double>(kMillisecondsPerDay);
  return day - kTimeOnlyDay + ms / static_cast<double>(kMillisecondsPerDay);
}

bool IntegerToTarget(int64_t v, uint8_t* b, uint8_t targetType, uint8_t targetScale,
                     int32_t targetSize, bool allowBoolean) {
  switch (targetType) {
    case kString: return PutText(b, std::to_string(v), targetSize);
    // A number outside the narrower type fails: storing its low bits would be another number.
    case kSmallInt:
      if (v < INT16_MIN || v > INT16_MAX) return Fail(b);
      Put(b, static_cast<int16_t>(v));
      return true;
    case kWord:
      if (v < 0 || v > UINT16_MAX) return Fail(b);
      Put(b, static_cast<uint16_t>(v));
      return true;
    case kInteger:
      if (v < INT32_MIN || v > INT32_MAX) return Fail(b);
      Put(b, static_cast<int32_t>(v));
      return true;
    case kFloat: Put(b, static_cast<double>(v)); return true;
    case kBCD: Put(b, RoundCurrency(targetScale, v * kCurrencyScale)); return true;
    case kBool:
      if (!allowBoolean) return Fail(b);
      Put(b, NormalizeBoolean(v));
      return true;
    default: return Fail(b);
  }
}

// Truncation toward zero into an integer type; out of range (or not a number) fails.
bool FloatToInteger(double x, uint8_t* b, uint8_t targetType) {
  if (!std::isfinite(x)) return Fail(b);
  double t = std::trunc(x);
  switch (targetType) {
    case kSmallInt:
      if (t < -32768.0 || t > 32767.0) return Fail(b);
      Put(b, static_cast<int16_t>(t));
      return true;
    case kWord:
      if (t < 0.0 || t > 65535.0) return Fail(b);
      Put(b, static_cast<uint16_t>(t));
      return true;
    case kInteger:
      if (t < -2147483648.0 || t > 2147483647.0) return Fail(b);
      Put(b, static_cast<int32_t>(t));
      return true;
    default: return Fail(b);
  }
}

bool FloatToCurrency(double x, uint8_t scale, int64_t& currency) {
  int64_t scaled = 0;
  int decimals = std::min<int>(scale, 4);
  if (!TryEncodeScaledFloat(decimals, x, scaled)) return false;
  if (!TryDecodeScaledCurrency(scaled, currency)) return false;
  return true;
}

}  // namespace

bool TextToDateTimeValue(std::string_view text, uint8_t type, uint8_t* value) {
  platform::TDateTime dt = 0;
  switch (type) {
    case kDate:
      if (!platform::TryTextToDate(text, dt)) {
        Put<int32_t>(value, 0);
        return false;
      }
      Put<int32_t>(value, DateTimeToDay(dt));
      return true;
    case kTime:
      if (!platform::TryTextToTime(text, dt)) {
        Put<int32_t>(value, 0);
        return false;
      }
      Put<int32_t>(value, DateTimeToMs(dt));
      return true;
    case kTimeStamp:
      if (!platform::TryTextToDateTime(text, dt) && !platform::TryTextToDate(text, dt)) {
        if (!platform::TryTextToTime(text, dt)) {
          Put<double>(value, 0);
          return false;
        }
      }
      Put<double>(value, static_cast<double>(DateTimeToDay(dt)) *
                             static_cast<double>(kMillisecondsPerDay) +
                         DateTimeToMs(dt));
      return true;
    default: return true;
  }
}

bool IsValidFieldText(std::string_view text, uint8_t type) {
  if (text.empty()) return true;
  auto is = [&](const char* word) { return SameText(text, word); };
  switch (type) {
    case kDate: return is("DATE") || IsValidDateText(text);
    case kTime: return is("TIME") || IsValidTimeText(text);
    case kTimeStamp:
      return is("NOW") || is("DATE") || is("TIME") || IsValidDateText(text) ||
             IsValidDateTimeText(text) || IsValidTimeText(text);
    case kBool: return IsValidBooleanText(text);
    case kSmallInt: return IsValidSmallIntText(text);
    case kInteger: return IsValidIntegerText(text);
    case kFloat: return IsValidFloatText(text);
    case kBCD: return IsValidCurrencyText(text);
    case kWord: return IsValidWordText(text);
    default: return true;
  }
}

bool ConvertFieldValue(uint8_t sourceType, int32_t sourceSize, uint8_t sourceScale,
                       uint8_t* b, uint8_t targetScale, int32_t targetSize, uint8_t targetType) {
  (void)sourceScale;
  if (targetType == kBlob) return sourceType == kBlob;
  if (sourceType == targetType) {
    if (sourceType == kString) {
      std::string text = BufferText(b, sourceSize);
      return PutText(b, text, std::min(Bounded(sourceSize), Bounded(targetSize)));
    }
    if (sourceType == kBytes) return CopyBytes(b, sourceSize, targetSize);
    return true;
  }
  if (sourceType == kBytes) {
    if (targetType == kString) {
      // The bytes become the text up to the first zero, cut to the target.
      std::string text = BufferText(b, std::min(Bounded(sourceSize), Bounded(targetSize)));
      return PutText(b, text, targetSize);
    }
    return CopyBytes(b, sourceSize, std::min(targetSize, FixedTypeSize(targetType) > 0
                                                             ? FixedTypeSize(targetType)
                                                             : targetSize));
  }
  if (targetType == kBytes) return CopyBytes(b, sourceSize, targetSize);

  switch (sourceType) {
    case kString: {
      std::string text = BufferText(b, sourceSize);
      switch (targetType) {
        case kDate:
        case kTime:
        case kTimeStamp:
          std::memset(b, 0, static_cast<size_t>(kConvertBufferSize));
          return TextToDateTimeValue(text, targetType, b);
        case kBool:
          if (!IsValidBooleanText(text)) return Fail(b);
          Fail(b);
          Put<int16_t>(b, NormalizeBoolean(TextToBoolean(text) ? 1 : 0));
          return true;
        case kSmallInt:
        case kInteger:
        case kWord: {
          int64_t v = 0;
          if (!platform::TryTextToInt64(text, v)) return Fail(b);
          Fail(b);
          return IntegerToTarget(v, b, targetType, targetScale, targetSize, false);
        }
        case kFloat: {
          double x = 0;
          if (!platform::TryTextToFloat(text, x)) return Fail(b);
          Fail(b);
          Put(b, x);
          return true;
        }
        case kBCD: {
          int64_t c = 0;
          if (!platform::TryTextToCurrency(text, c)) return Fail(b);
          Fail(b);
          Put(b, RoundCurrency(targetScale, c));
          return true;
        }
        default: return Fail(b);
      }
    }
    case kDate: {
      int32_t day = Get<int32_t>(b);
      if (targetType == kString) return PutText(b, platform::DateToText(DayToDateTime(day)), targetSize);
      if (targetType == kTimeStamp) {
        Fail(b);
        Put(b, static_cast<double>(day) * static_cast<double>(kMillisecondsPerDay));
        return true;
      }
      return Fail(b);
    }
    case kBool: {
      int16_t v = NormalizeBoolean(Get<int16_t>(b));
      if (targetType == kString) return PutText(b, BooleanToText(v != 0), targetSize);
      if (targetType == kFloat) return Fail(b);
      Fail(b);
      return IntegerToTarget(v, b, targetType, targetScale, targetSize, false);
    }
    case kSmallInt:
    case kInteger:
    case kWord: {
      int64_t v = sourceType == kSmallInt ? Get<int16_t>(b)
                  : sourceType == kWord   ? Get<uint16_t>(b)
                                          : Get<int32_t>(b);
      if (targetType == kString) return PutText(b, std::to_string(v), targetSize);
      Fail(b);
      return IntegerToTarget(v, b, targetType, targetScale, targetSize, sourceType != kInteger);
    }
    case kFloat: {
      double x = Get<double>(b);
      switch (targetType) {
        case kString: return PutText(b, platform::FloatToText(x), targetSize);
        case kSmallInt:
        case kInteger:
        case kWord: Fail(b); return FloatToInteger(x, b, targetType);
        case kBCD: {
          int64_t c = 0;
          if (!FloatToCurrency(x, targetScale, c)) return Fail(b);
          Fail(b);
          Put(b, c);
          return true;
        }
        default: return Fail(b);
      }
    }
    case kBCD: {
      int64_t c = Get<int64_t>(b);
      switch (targetType) {
        case kString: return PutText(b, platform::CurrencyToText(c), targetSize);
        case kSmallInt:
        case kInteger:
        case kWord: {
          Fail(b);
          return IntegerToTarget(c / kCurrencyScale, b, targetType, 0, targetSize, false);
        }
        case kFloat:
          Fail(b);
          Put(b, static_cast<double>(c) / static_cast<double>(kCurrencyScale));
          return true;
        default: return Fail(b);
      }
    }
    case kTime: {
      int32_t ms = Get<int32_t>(b);
      double dt = static_cast<double>(ms) / static_cast<double>(kMillisecondsPerDay);
      if (targetType == kString) return PutText(b, platform::TimeToText(dt), targetSize);
      if (targetType == kTimeStamp) {
        Fail(b);
        Put(b, static_cast<double>(kTimeOnlyDay) * static_cast<double>(kMillisecondsPerDay) + ms);
        return true;
      }
      return Fail(b);
    }
    case kTimeStamp: {
      double stamp = Get<double>(b);
      if (!std::isfinite(stamp) || std::fabs(stamp) > 1e17) return Fail(b);
      double day = std::floor(stamp / static_cast<double>(kMillisecondsPerDay));
      double ms = stamp - day * static_cast<double>(kMillisecondsPerDay);
      switch (targetType) {
        case kString: return PutText(b, platform::DateTimeToText(StampToDateTime(stamp)), targetSize);
        case kDate: Fail(b); Put(b, static_cast<int32_t>(day)); return true;
        case kTime: Fail(b); Put(b, static_cast<int32_t>(ms)); return true;
        default: return Fail(b);
      }
    }
    default: return Fail(b);
  }
}

}  // namespace tovenmarsh::engine
