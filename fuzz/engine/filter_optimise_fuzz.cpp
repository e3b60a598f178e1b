// Random filter texts over an in-memory table: a text either fails with an engine error on every
// path or gives the same visible set when scanned, when answered from indexes and with the
// complement strategy, as plain evaluation of every row. The first byte selects the options.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/base/engine_error.h"
#include "engine/start/engine_library.h"
#include "engine/expr/filter.h"
#include "engine/filter_memory_table_test.h"

using namespace tovenmarsh::engine;
using namespace tovenmarsh::engine::testing;

namespace {

TMemoryTable& Table() {
  static TMemoryTable table;
  static const bool filled = [] {
    InitializeEngineLibrary();
    std::mt19937 rng(41);
    Fill(table, rng, 48);
    return true;
  }();
  (void)filled;
  return table;
}

// The visible set of text under one setting; false when the text is refused.
bool Run(TMemoryTable& t, std::string_view text, uint8_t flags, bool indexes, bool scan,
         std::vector<uint32_t>& out) {
  t.Indexes = indexes ? kAllIndexes : std::vector<TMemoryTable::TIndex>{};
  TFilterList list(t);
  list.Tuning.ForceScan = scan;
  list.Tuning.DisableComplement = (flags & 4) == 0;
  TFilter* f = nullptr;
  try {
    f = list.AddFilter(nullptr, text, (flags & 2) != 0, (flags & 1) != 0, (flags & 4) != 0, false);
  } catch (const EFenEngineError&) {
    return false;
  }
  if (f == nullptr) std::abort();
  list.ActivateFilter(f);
  out = VisibleOf(list);
  if (out.size() != list.VisibleCount()) std::abort();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 400) return 0;
  TMemoryTable& t = Table();
  uint8_t flags = data[0];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  t.Range = (flags & 8) != 0;
  t.RangeLow = -2;
  t.RangeHigh = 5;
  std::vector<uint32_t> scanned;
  std::vector<uint32_t> indexed;
  bool a = Run(t, text, flags, true, true, scanned);
  bool b = Run(t, text, flags, true, false, indexed);
  if (a != b) std::abort();
  if (a && scanned != indexed) std::abort();
  return 0;
}
