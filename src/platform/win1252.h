// Frozen Windows-1252 case tables.
//
// Stored keys (index pages, the words table) depend on these tables, so they never change and
// never consult the C library's locale: a-z, the accented letters E0..FE except the division
// sign F7, and the pairs 9A/8A, 9C/8C, 9E/8E, FF/9F. Micro sign B5 and sharp s DF have no case.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovenmarsh::platform {

uint8_t Win1252Upper(uint8_t c);
uint8_t Win1252Lower(uint8_t c);

inline char Win1252Upper(char c) {
  return static_cast<char>(Win1252Upper(static_cast<uint8_t>(c)));
}
inline char Win1252Lower(char c) {
  return static_cast<char>(Win1252Lower(static_cast<uint8_t>(c)));
}

std::string Win1252UpperString(std::string_view text);
std::string Win1252LowerString(std::string_view text);

}  // namespace tovenmarsh::platform
