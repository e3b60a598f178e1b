// Engine heap, TSystemList and library start-up: zero-filled blocks, compaction every 1020
// reallocations-or-frees, the growth table of lists, and the pools' take and release.
#include "engine/base/engine_heap.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/start/engine_library.h"
#include "engine/base/object_pool.h"
#include "engine/base/system_list.h"

namespace tovenmarsh::engine {
namespace {

TEST(EngineHeap, BlocksStartZeroAndGrowZeroFilled) {
  auto* p = static_cast<uint8_t*>(EngineAlloc(100));
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0);
  std::memset(p, 0xAB, 100);
  p = static_cast<uint8_t*>(EngineRealloc(p, 5000));
  EXPECT_EQ(EngineBlockSize(p), 5000u);
  for (int i = 0; i < 100; ++i) ASSERT_EQ(p[i], 0xAB);
  for (int i = 100; i < 5000; ++i) ASSERT_EQ(p[i], 0) << i;
  p = static_cast<uint8_t*>(EngineRealloc(p, 10));
  p = static_cast<uint8_t*>(EngineRealloc(p, 20));
  for (int i = 10; i < 20; ++i) ASSERT_EQ(p[i], 0);  // shrunk bytes come back zero
  EngineFree(p);
  EXPECT_EQ(p, nullptr);
}

TEST(EngineHeap, RefusedRequestRaises11016) {
  try {
    EngineAlloc(SIZE_MAX - 8);
    FAIL();
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.Code(), kErrOutOfMemory);
    EXPECT_EQ(e.Text(), "There is insufficient operating system memory available for the current operation");
  }
  void* p = EngineAlloc(8);
  EXPECT_THROW(EngineRealloc(p, SIZE_MAX / 2), EFenEngineError);
  EngineFree(p);
}

TEST(EngineHeap, CompactsEvery1020ReallocationsOrFrees) {
  ResetEngineHeapCounter();
  uint64_t before = EngineHeapCompactionCount();
  void* nothing = nullptr;
  EngineFree(nothing);  // a nil free does not count
  EXPECT_EQ(EngineHeapOperationCount(), 0u);
  std::vector<void*> blocks;
  for (int i = 0; i < 1019; ++i) blocks.push_back(EngineAlloc(16));  // allocations do not count
  EXPECT_EQ(EngineHeapOperationCount(), 0u);
  for (int i = 0; i < 1019; ++i) EngineFree(blocks[static_cast<size_t>(i)]);
  EXPECT_EQ(EngineHeapOperationCount(), 1019u);
  EXPECT_EQ(EngineHeapCompactionCount(), before);
  void* p = EngineRealloc(EngineAlloc(1), 64);  // the 1020th
  EXPECT_EQ(EngineHeapCompactionCount(), before + 1);
  EXPECT_EQ(EngineHeapOperationCount(), 0u);
  EngineFree(p);
  EXPECT_EQ(EngineHeapOperationCount(), 1u);
}

TEST(EngineHeap, ResizeInSteps) {
  void* buffer = nullptr;
  int64_t capacity = 0;
  ResizeInSteps(1, 510, buffer, capacity);
  EXPECT_EQ(capacity, 510);
  ResizeInSteps(511, 510, buffer, capacity);
  EXPECT_EQ(capacity, 1020);
  void* same = buffer;
  ResizeInSteps(100, 510, buffer, capacity);  // never shrinks
  EXPECT_EQ(capacity, 1020);
  EXPECT_EQ(buffer, same);
  ResizeInSteps(0, 510, buffer, capacity);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(capacity, 0);

  // Sizes and steps no heap can give are refused with 11016, not rounded past the int64 range.
  for (auto [size, step] : {std::pair<int64_t, int64_t>{INT64_MAX, 1024}, {INT64_MAX - 100, 510},
                            {1, INT64_MAX}, {int64_t{1} << 62, int64_t{3} << 61}}) {
    EXPECT_THROW(ResizeInSteps(size, step, buffer, capacity), EFenEngineError) << size << " " << step;
    EXPECT_EQ(buffer, nullptr);
    EXPECT_EQ(capacity, 0);
  }
}

TEST(SystemList, GrowthTable) {
  struct Case {
    int32_t From, To;
  } cases[] = {{0, 4}, {8, 12}, {9, 25}, {64, 80}, {65, 81}, {100, 125}};
  for (const Case& c : cases) {
    TSystemList list(c.From);
    list.SetCount(c.From);
    list.Add(nullptr);
    EXPECT_EQ(list.Capacity(), c.To) << c.From;
  }
}

int CompareInts(void* a, void* b) {
  auto x = reinterpret_cast<intptr_t>(a), y = reinterpret_cast<intptr_t>(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

void* P(intptr_t v) { return reinterpret_cast<void*>(v); }

TEST(SystemList, Operations) {
  TSystemList list;
  for (intptr_t i = 1; i <= 5; ++i) EXPECT_EQ(list.Add(P(i * 10)), i - 1);
  list.Insert(0, P(5));
  list.Insert(6, P(60));
  list.Delete(3);  // removes 30
  EXPECT_EQ(list.Count(), 6);
  EXPECT_EQ(list.First(), P(5));
  EXPECT_EQ(list.Last(), P(60));
  EXPECT_EQ(list.IndexOf(P(40)), 3);
  EXPECT_EQ(list.IndexOf(P(30)), -1);
  list.Exchange(0, 5);
  list.Sort(CompareInts);
  std::vector<intptr_t> got;
  for (int32_t i = 0; i < list.Count(); ++i) got.push_back(reinterpret_cast<intptr_t>(list.Get(i)));
  EXPECT_EQ(got, (std::vector<intptr_t>{5, 10, 20, 40, 50, 60}));

  list.SetCount(9);  // new slots are nil
  for (int32_t i = 6; i < 9; ++i) EXPECT_EQ(list.Get(i), nullptr);

  TSystemList copy;
  copy.Assign(list);
  EXPECT_EQ(copy.Count(), 9);
  EXPECT_GE(copy.Capacity(), list.Capacity());
  EXPECT_EQ(copy.Get(5), P(60));
  copy.Clear();
  EXPECT_EQ(copy.Count(), 0);
  EXPECT_EQ(copy.Capacity(), 0);
}

TEST(SystemList, SortsLargeRandomLists) {
  TSystemList list;
  uint32_t x = 1;
  for (int i = 0; i < 5000; ++i) {
    x = x * 1103515245u + 12345u;
    list.Add(P(static_cast<intptr_t>(x % 1000)));  // many duplicates
  }
  list.Sort(CompareInts);
  for (int32_t i = 1; i < list.Count(); ++i) ASSERT_LE(CompareInts(list.Get(i - 1), list.Get(i)), 0);
}

TEST(EngineLibrary, StartAndStop) {
  EXPECT_FALSE(EngineLibraryInitialized());
  EXPECT_THROW(NewRecordsBitmap(), EFenEngineError);
  InitializeEngineLibrary();
  EXPECT_TRUE(EngineLibraryInitialized());
  FinalizeEngineLibrary();
  EXPECT_FALSE(EngineLibraryInitialized());
}

}  // namespace
}  // namespace tovenmarsh::engine
