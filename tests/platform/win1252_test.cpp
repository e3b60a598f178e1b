#include "platform/win1252.h"

#include <gtest/gtest.h>

namespace tovenmarsh::platform {
namespace {

TEST(Win1252, CasePairsAreExactAndSymmetric) {
  struct Case { int small, capital; } const pairs[] = {
      {'a', 'A'}, {'z', 'Z'}, {0xE0, 0xC0}, {0xFE, 0xDE}, {0x9A, 0x8A}, {0x9C, 0x8C},
      {0x9E, 0x8E}, {0xFF, 0x9F}};
  for (const auto& p : pairs) {
    EXPECT_EQ(Win1252Upper(static_cast<uint8_t>(p.small)), p.capital) << p.small;
    EXPECT_EQ(Win1252Lower(static_cast<uint8_t>(p.capital)), p.small) << p.capital;
  }
}

TEST(Win1252, LettersWithoutCaseStayPut) {
  for (int c : {0xF7, 0xD7, 0xB5, 0xDF, int{'0'}, int{'@'}, int{'['}, 0x80, 0x00})
    EXPECT_EQ(Win1252Upper(static_cast<uint8_t>(c)), c) << c;
  for (int c : {0xF7, 0xD7, 0xB5, 0xDF})
    EXPECT_EQ(Win1252Lower(static_cast<uint8_t>(c)), c) << c;
}

TEST(Win1252, UpperThenLowerIsIdentityOnLowerCase) {
  for (int c = 0; c < 256; ++c) {
    const uint8_t u = Win1252Upper(static_cast<uint8_t>(c));
    if (u != c) {
      EXPECT_EQ(Win1252Lower(u), c) << c;
    }
  }
  EXPECT_EQ(Win1252UpperString("stra\xDF" "e \xE9t\xE9"), "STRA\xDF" "E \xC9T\xC9");
}

}  // namespace
}  // namespace tovenmarsh::platform
