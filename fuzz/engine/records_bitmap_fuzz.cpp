// Record bitmaps driven by a byte program, checked after every step against a vector<bool>.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "engine/base/records_bitmap.h"

using tovenmarsh::engine::TRecordsBitmap;

namespace {

void Check(const TRecordsBitmap& b, const std::vector<bool>& m, uint32_t probe) {
  uint32_t count = 0;
  for (bool bit : m) count += bit;
  if (b.CountSet() != count) std::abort();
  uint32_t size = static_cast<uint32_t>(m.size());
  uint32_t before = 0;
  for (uint32_t r = 1; r < probe && r <= size; ++r) before += m[r - 1];
  if (b.CountSetBefore(probe) != before) std::abort();
  uint32_t pos = probe;
  int32_t counter = 0;
  bool found = b.FindNext(pos, 1, counter);
  uint32_t expect = 0;
  for (uint32_t r = probe + 1; r <= size && expect == 0; ++r)
    if (m[r - 1]) expect = r;
  if (found != (expect != 0) || (found && pos != expect)) std::abort();
  for (uint32_t r = 1; r <= size; ++r)
    if (b.IsSet(r) != m[r - 1]) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TRecordsBitmap b, other;
  std::vector<bool> m;
  for (size_t i = 0; i + 1 < size; i += 2) {
    uint8_t op = data[i] % 8;
    uint32_t arg = data[i + 1];
    uint32_t n = static_cast<uint32_t>(m.size());
    switch (op) {
      case 0:
        b.SetSize(arg * 3);
        other.SetSize(arg * 3);
        m.resize(arg * 3, false);
        break;
      case 1:
        if (n > 0) {
          b.SetBit(1 + arg % n);
          m[arg % n] = true;
        }
        break;
      case 2:
        if (n > 0) {
          b.ClearBit(1 + arg % n);
          m[arg % n] = false;
        }
        break;
      case 3:
        b.Invert();
        m.flip();
        break;
      case 4:
        if (arg % 2) {
          b.SetAll();
          m.assign(n, true);
        } else {
          b.ClearAll();
          m.assign(n, false);
        }
        break;
      case 5:
        if (n > 0) other.SetBit(1 + arg % n);
        break;
      case 6: {
        std::vector<bool> o(n);
        for (uint32_t r = 1; r <= n; ++r) o[r - 1] = other.IsSet(r);
        if (arg % 2) {
          b.AndWith(other);
          for (uint32_t r = 0; r < n; ++r) m[r] = m[r] && o[r];
        } else {
          b.OrWith(other);
          for (uint32_t r = 0; r < n; ++r) m[r] = m[r] || o[r];
        }
        break;
      }
      default: {
        TRecordsBitmap copy;
        copy.Assign(b);
        b.Assign(copy);
        break;
      }
    }
    Check(b, m, arg);
  }
  return 0;
}
