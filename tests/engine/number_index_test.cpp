// The caches' number index against std::map: random adds, removes and lookups in the number
// patterns the caches meet (appends, scattered reads, a fixed stride, page offsets), with the
// table growing, shrinking back after a large batch, and cleared; with neighbouring numbers
// spread one by one and in runs.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <vector>

#include "engine/base/number_index.h"

namespace tovenmarsh::engine {
namespace {

struct TItem {
  uint32_t Number = 0;
};

template <class TIndex>
void RunAgainstMap(uint32_t seed, uint32_t (*pattern)(std::mt19937&, uint32_t)) {
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  std::mt19937 random(seed);
  TIndex index;
  std::map<uint32_t, std::unique_ptr<TItem>> model;
  uint32_t step = 0;
  auto check = [&](uint32_t n) {
    auto it = model.find(n);
    ASSERT_EQ(index.Find(n), it == model.end() ? nullptr : it->second.get()) << "number " << n;
  };
  for (int round = 0; round < 6; ++round) {
    // Grow to a batch of a few thousand, then take most of it away again.
    const size_t high = 500 + random() % 5000;
    while (model.size() < high) {
      const uint32_t n = pattern(random, step++);
      if (n == 0 || model.count(n)) continue;
      auto item = std::make_unique<TItem>();
      item->Number = n;
      index.Add(n, item.get());
      model.emplace(n, std::move(item));
    }
    ASSERT_EQ(index.Count(), model.size());
    for (int i = 0; i < 2000; ++i) check(pattern(random, static_cast<uint32_t>(random() % (step + 1))));
    const size_t low = random() % 100;
    std::vector<uint32_t> present;
    for (const auto& [n, item] : model) present.push_back(n);
    while (model.size() > low) {
      const size_t at = random() % present.size();
      const uint32_t gone = present[at];
      present[at] = present.back();
      present.pop_back();
      index.Remove(gone);
      model.erase(gone);
      check(gone);
      if (random() % 512 == 0) {
        // Every survivor stays reachable after the backward shifts.
        for (const auto& [n, item] : model) ASSERT_EQ(index.Find(n), item.get()) << "number " << n;
      }
    }
    index.Remove(0xFFFFFFF0u);  // absent: no change
    index.Fit();
    ASSERT_EQ(index.Count(), model.size());
    for (const auto& [n, item] : model) ASSERT_EQ(index.Find(n), item.get()) << "number " << n;
    if (round == 3) {
      index.Clear();
      model.clear();
      check(1);
    }
  }
}

TEST(NumberIndex, AgreesWithAMapForEveryNumberPattern) {
  const std::pair<const char*, uint32_t (*)(std::mt19937&, uint32_t)> patterns[] = {
      {"appends", [](std::mt19937&, uint32_t step) { return step + 1; }},
      {"scattered", [](std::mt19937& r, uint32_t) { return 1 + static_cast<uint32_t>(r() % 200000); }},
      {"stride", [](std::mt19937& r, uint32_t step) { return 1 + step * 10000u + static_cast<uint32_t>(r() % 3); }},
      {"page offsets", [](std::mt19937& r, uint32_t) { return 4096u * (1 + static_cast<uint32_t>(r() % 30000)); }},
  };
  for (const auto& [name, pattern] : patterns)
    for (uint32_t seed = 1; seed <= 3; ++seed) {
      SCOPED_TRACE(name);
      RunAgainstMap<TNumberIndex<TItem>>(seed, pattern);
      if (testing::Test::HasFatalFailure()) return;
      // Runs of eight neighbouring numbers in neighbouring slots, as the record cache keeps them.
      SCOPED_TRACE("runs of eight");
      RunAgainstMap<TNumberIndex<TItem, &TItem::Number, 3>>(seed, pattern);
      if (testing::Test::HasFatalFailure()) return;
    }
}

}  // namespace
}  // namespace tovenmarsh::engine
