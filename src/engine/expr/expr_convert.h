// The engine's value converter: field values in their expression value forms (strings
// zero-terminated; date a 32-bit day number with day 1 = 1 January of year 1; time 32-bit
// milliseconds of the day; timestamp a 64-bit float of day x 86400000 + milliseconds; boolean,
// small integer and word 16-bit; integer 32-bit; float 64-bit; BCD a 64-bit count of
// ten-thousandths) converted between field types, and texts read as date, time or timestamp.
//
// Contract: conversions never raise; a combination that is not supported, a text that is not
// a valid value, or a number outside the target's range makes them answer false and leave a zero
// value. Texts use the calling thread's format settings (engine_locale.h switches them to a
// table's language).
#pragma once

#include <cstdint>
#include <string_view>

namespace tovenmarsh::engine {

// The day number of 30 December 1899 (the time-of-day values' date for text conversion).
inline constexpr int32_t kTimeOnlyDay = 693594;
inline constexpr int64_t kMillisecondsPerDay = 86400000;
// Buffers handed to ConvertFieldValue hold at least this many bytes.
inline constexpr int32_t kConvertBufferSize = 251;

// Converts the value in buffer in place.
bool ConvertFieldValue(uint8_t sourceType, int32_t sourceSize, uint8_t sourceScale,
                       uint8_t* buffer, uint8_t targetScale, int32_t targetSize,
                       uint8_t targetType);

// Text to a date (2), time (10) or timestamp (11) value written to value (4 or 8 bytes); false
// leaves a zero value. Any other type: true, nothing written.
bool TextToDateTimeValue(std::string_view text, uint8_t type, uint8_t* value);

bool IsValidFieldText(std::string_view text, uint8_t type);

// Day numbers and the class library's date-time numbers (day 0 = 30 December 1899).
inline double DayToDateTime(int32_t day) { return static_cast<double>(day) - kTimeOnlyDay; }

}  // namespace tovenmarsh::engine
