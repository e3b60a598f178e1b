#include "platform/win1252.h"

#include <array>

namespace tovenmarsh::platform {
namespace {

struct CaseTables {
  std::array<uint8_t, 256> upper{};
  std::array<uint8_t, 256> lower{};

  constexpr CaseTables() {
    for (int c = 0; c < 256; ++c) {
      upper[c] = static_cast<uint8_t>(c);
      lower[c] = static_cast<uint8_t>(c);
    }
    auto pair = [this](int small, int capital) {
      upper[small] = static_cast<uint8_t>(capital);
      lower[capital] = static_cast<uint8_t>(small);
    };
    for (int c = 'a'; c <= 'z'; ++c) pair(c, c - 0x20);
    for (int c = 0xE0; c <= 0xFE; ++c)
      if (c != 0xF7) pair(c, c - 0x20);
    pair(0x9A, 0x8A);  // s caron
    pair(0x9C, 0x8C);  // oe ligature
    pair(0x9E, 0x8E);  // z caron
    pair(0xFF, 0x9F);  // y diaeresis
  }
};

constexpr CaseTables kTables;

}  // namespace

uint8_t Win1252Upper(uint8_t c) { return kTables.upper[c]; }
uint8_t Win1252Lower(uint8_t c) { return kTables.lower[c]; }

std::string Win1252UpperString(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Win1252Upper(c);
  return out;
}

std::string Win1252LowerString(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Win1252Lower(c);
  return out;
}

}  // namespace tovenmarsh::platform
