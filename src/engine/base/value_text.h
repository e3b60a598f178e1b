// Validity tests of value texts and the boolean text rule.
//
// Contract: the IsValid tests answer true or false and never raise; number, date and time tests
// use the calling thread's format settings. TextToBoolean raises platform::EConvertError with
// "'<text>' is not a valid boolean value".
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::engine {

bool IsValidWordText(std::string_view text);      // 0..65535
bool IsValidIntegerText(std::string_view text);   // 32-bit
bool IsValidSmallIntText(std::string_view text);  // -32768..32767
bool IsValidBooleanText(std::string_view text);   // TRUE / FALSE in any case
bool IsValidFloatText(std::string_view text);
bool IsValidCurrencyText(std::string_view text);
bool IsValidDateText(std::string_view text);
bool IsValidDateTimeText(std::string_view text);
bool IsValidTimeText(std::string_view text);

std::string BooleanToText(bool value);  // "True" / "False"
bool TextToBoolean(std::string_view text);

}  // namespace tovenmarsh::engine
