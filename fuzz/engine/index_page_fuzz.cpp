// Index pages from arbitrary bytes: the first two bytes choose key size, uniqueness and leaf
// packing, the rest is the page (zero-padded to 4096 bytes). Unpack must refuse damage without
// reading past the page; an accepted page must pack again and read back to the same entries.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/store/index_page.h"

using namespace tovenmarsh::engine;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TIndexShape shape;
  shape.KeySize = static_cast<uint16_t>(1 + data[0] % index_format::kMaxKeySize);
  shape.Unique = (data[1] & 4) == 0;
  shape.Compression = data[1] & 3;
  if (!shape.Unique && shape.KeySize < 5) shape.KeySize = 5;
  std::vector<uint8_t> page(index_format::kPageSize, 0);
  std::memcpy(page.data(), data + 2, std::min<size_t>(size - 2, page.size()));
  TPage a;
  a.Setup(shape);
  if (!a.Unpack(page.data())) return 0;
  if (a.Count() > 0) {
    const TKeyOrder order;
    (void)a.LastNotGreater(a.Key(1), order);
    (void)a.FirstNotBelow(a.Key(a.Count()), order);
    (void)a.RecordCount();
  }
  std::vector<uint8_t> again(index_format::kPageSize);
  if (!a.Pack(again.data())) std::abort();  // what was read must fit again
  TPage b;
  b.Setup(shape);
  if (!b.Unpack(again.data())) std::abort();
  if (b.Count() != a.Count() || b.Type != a.Type || b.Next != a.Next) std::abort();
  for (int i = 1; i <= a.Count(); ++i) {
    if (std::memcmp(a.Key(i), b.Key(i), shape.KeySize) != 0 || a.Reference(i) != b.Reference(i)) std::abort();
  }
  return 0;
}
