// printf-style formatting into a std::string (g++ 12 has no std::format).
#pragma once

#include <cstdarg>
#include <string>

namespace tovenmarsh::platform {

// Formats like snprintf; the result has exactly the length the format produced.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string FormatV(const char* format, va_list args);

}  // namespace tovenmarsh::platform
