// Percent-decoding and percent-encoding of URLs.
//
// URLDecode is the strict decoder of a request's path: "%%" is a percent sign, "%" and two
// hexadecimal digits the byte they spell, "+" a space; any other "%" is an error.
// URLDecodeParameter decodes one name or value of a query string or form post exactly once and
// never fails: a "%" without two hexadecimal digits stays as it is. URLEncode is its inverse
// for the links this server writes.
#pragma once

#include <string>
#include <string_view>

#include "platform/exception.h"

namespace tovenmarsh::web {

// A "%" in a request path that is not followed by two hexadecimal digits.
using platform::EConvertError;
TM_DECLARE_EXCEPTION(EURLDecodeError, EConvertError);

std::string URLDecode(std::string_view text);

std::string URLDecodeParameter(std::string_view text);

// Every byte except letters, digits and "-._~;:@,/" becomes "%" and two upper-case hexadecimal
// digits, so the result is safe inside a query string and inside a quoted HTML attribute, and
// holds no "&", "=", "#", "+" or quote that could be taken for markup or structure.
std::string URLEncode(std::string_view text);

}  // namespace tovenmarsh::web
