// Scaled decimals and currency texts: round trips are exact, out-of-range values are refused
// (never a silent 0), and nothing is undefined behaviour.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/base/scaled_decimal.h"
#include "platform/format_settings.h"

using namespace tovenmarsh;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 9) return 0;
  int64_t v;
  std::memcpy(&v, data, 8);
  const int decimals = data[8] % 12;
  // Currency: encode/decode at 4 decimals is exact whenever it is accepted.
  int64_t scaled = 0, back = 0;
  if (engine::TryEncodeScaledCurrency(4, v, scaled)) {
    if (!engine::TryDecodeScaledCurrency(scaled, back) || back != v) std::abort();
  } else if (v > INT64_MIN / 10 && v < INT64_MAX / 10) {
    std::abort();  // a value that fits must be accepted
  }
  int64_t rounded = engine::RoundCurrency(decimals, v);
  if (decimals < 4) {
    const int64_t unit = decimals == 0 ? 10000 : decimals == 1 ? 1000 : decimals == 2 ? 100 : 10;
    if (rounded % unit != 0) std::abort();
  }
  engine::TryDecodeScaledCurrency(v, back);
  // Floats: a decoded scaled value of at most 15 digits encodes back to itself.
  double x = engine::DecodeScaledFloat(v);
  uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  if (magnitude < 1000000000000000ull) {
    int d = static_cast<int>(magnitude % 10);
    int64_t again = 0;
    if (!engine::TryEncodeScaledFloat(d, x, again) || again != (magnitude / 10 == 0 ? d : v)) std::abort();
  }
  double y;
  std::memcpy(&y, data, 8);
  int64_t out = 0;
  if (engine::TryEncodeScaledFloat(decimals, y, out) && std::isfinite(y) && std::fabs(y) > 1e18) std::abort();
  engine::RoundFloat(decimals, y);
  // Currency texts.
  std::string text = platform::CurrencyToText(v, platform::NeutralFormatSettings());
  if (!platform::TryTextToCurrency(text, back, platform::NeutralFormatSettings()) || back != v) std::abort();
  std::string raw(reinterpret_cast<const char*>(data + 9), size - 9);
  platform::TryTextToCurrency(raw, back, platform::NeutralFormatSettings());
  double f = 0;
  platform::TryTextToFloat(raw, f, platform::NeutralFormatSettings());
  return 0;
}
