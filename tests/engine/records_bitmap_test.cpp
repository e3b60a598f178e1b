// Record bitmaps: the fixed cases, growth that never brings back stale bits, and random
// operation sequences checked against a std::vector<bool> model.
#include "engine/base/records_bitmap.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "engine/start/engine_library.h"
#include "engine/base/object_pool.h"

namespace tovenmarsh::engine {
namespace {

TEST(RecordsBitmap, Cases) {
  TRecordsBitmap b;
  b.SetSize(32);
  EXPECT_EQ(b.WordCount(), 1u);
  EXPECT_EQ(b.RoundedSize(), 32u);
  b.SetSize(33);
  EXPECT_EQ(b.WordCount(), 2u);
  EXPECT_EQ(b.RoundedSize(), 64u);
  EXPECT_EQ(b.CapacityBytes(), 1024);
  b.SetBit(1);
  b.SetBit(33);
  EXPECT_EQ(b.CountSet(), 2u);
  EXPECT_EQ(b.CountSetBefore(33), 1u);
  EXPECT_EQ(b.CountSetBefore(1), 0u);
  EXPECT_EQ(b.Words()[0], 1u);
  EXPECT_EQ(b.Words()[1], 1u);

  TRecordsBitmap f;
  f.SetSize(50);
  for (uint32_t n : {5u, 9u, 40u}) f.SetBit(n);
  uint32_t pos = 0;
  int32_t counter = 0;
  EXPECT_TRUE(f.FindNext(pos, 2, counter));
  EXPECT_EQ(pos, 9u);
  EXPECT_EQ(counter, 2);
  pos = 0;
  counter = 0;
  EXPECT_FALSE(f.FindNext(pos, 4, counter));
  EXPECT_EQ(counter, 3);
  pos = 50;
  counter = 3;
  EXPECT_TRUE(f.FindPrior(pos, 3, counter));
  EXPECT_EQ(pos, 5u);
  EXPECT_EQ(counter, 0);

  TRecordsBitmap e;
  e.SetSize(10);
  e.Invert();
  EXPECT_EQ(e.CountSet(), 10u);
}

TEST(RecordsBitmap, GrowthClearsNewRecords) {
  TRecordsBitmap b;
  b.SetSize(10);
  b.SetAll();  // sets every bit of the buffer, far past record 10
  EXPECT_EQ(b.CountSet(), 10u);
  b.SetSize(100);
  EXPECT_EQ(b.CountSet(), 10u);
  for (uint32_t n = 11; n <= 100; ++n) EXPECT_FALSE(b.IsSet(n)) << n;
  b.Invert();  // flips bits past 100 in the last word too
  b.SetSize(5000);
  EXPECT_EQ(b.CountSet(), 90u);
  // Shrinking then growing again: the records that come back start clear.
  b.SetSize(50);
  b.SetSize(100);
  EXPECT_EQ(b.CountSet(), 40u);
}

// A filter bitmap made before the table grew is smaller than the cursor's: the records it does not
// cover are not in it, whatever its buffer holds past its size, and nothing is read past it.
TEST(RecordsBitmap, CombiningWithASmallerBitmapCountsOnlyItsRecords) {
  TRecordsBitmap small;
  small.SetSize(10);
  small.Invert();  // records 1..10, and stale bits past 10 in its one word
  TRecordsBitmap big;
  big.SetSize(20000);  // more words than the small one's whole buffer holds
  big.OrWith(small);
  EXPECT_EQ(big.CountSet(), 10u);
  for (uint32_t n = 11; n <= 40; ++n) EXPECT_FALSE(big.IsSet(n)) << n;
  big.SetBit(5);
  big.SetBit(11);
  big.SetBit(19999);
  big.AndWith(small);
  EXPECT_EQ(big.CountSet(), 10u);
  EXPECT_FALSE(big.IsSet(11));
  EXPECT_FALSE(big.IsSet(19999));
  big.ClearAll();
  big.SetBit(3);
  big.SetBit(12);
  big.AndWith(small);
  EXPECT_EQ(big.CountSet(), 1u);
  EXPECT_TRUE(big.IsSet(3));
}

struct Model {
  std::vector<bool> bits;  // bits[n-1]
  uint32_t Count(uint32_t upTo) const {
    uint32_t c = 0;
    for (uint32_t n = 1; n <= upTo && n <= bits.size(); ++n) c += bits[n - 1];
    return c;
  }
};

TEST(RecordsBitmap, RandomOperationsMatchAModel) {
  std::mt19937_64 rng(31337);
  for (int round = 0; round < 40; ++round) {
    TRecordsBitmap a, other;
    Model ma, mo;
    for (int step = 0; step < 400; ++step) {
      uint32_t size = static_cast<uint32_t>(ma.bits.size());
      switch (rng() % 12) {
        case 0: {
          uint32_t n = static_cast<uint32_t>(rng() % 300);
          a.SetSize(n);
          ma.bits.resize(n, false);
          other.SetSize(n);
          mo.bits.resize(n, false);
          break;
        }
        case 1: case 2: case 3:
          if (size > 0) {
            uint32_t n = 1 + static_cast<uint32_t>(rng() % size);
            a.SetBit(n);
            ma.bits[n - 1] = true;
            other.SetBit(1 + static_cast<uint32_t>(rng() % size));
          }
          break;
        case 4:
          if (size > 0) {
            uint32_t n = 1 + static_cast<uint32_t>(rng() % size);
            a.ClearBit(n);
            ma.bits[n - 1] = false;
          }
          break;
        case 5:
          a.Invert();
          ma.bits.flip();
          break;
        case 6:
          if (rng() % 2) {
            a.SetAll();
            ma.bits.assign(size, true);
          } else {
            a.ClearAll();
            ma.bits.assign(size, false);
          }
          break;
        case 7: {
          for (uint32_t n = 1; n <= size; ++n) mo.bits[n - 1] = other.IsSet(n);
          if (rng() % 2) {
            a.AndWith(other);
            for (uint32_t n = 0; n < size; ++n) ma.bits[n] = ma.bits[n] && mo.bits[n];
          } else {
            a.OrWith(other);
            for (uint32_t n = 0; n < size; ++n) ma.bits[n] = ma.bits[n] || mo.bits[n];
          }
          break;
        }
        case 8: {
          TRecordsBitmap copy;
          copy.Assign(a);
          a.ClearAll();
          a.Assign(copy);
          break;
        }
        default: {
          ASSERT_EQ(a.CountSet(), ma.Count(size));
          uint32_t n = static_cast<uint32_t>(rng() % (size + 2));
          ASSERT_EQ(a.CountSetBefore(n), n < 2 ? 0 : ma.Count(n - 1));
          uint32_t k = 1 + static_cast<uint32_t>(rng() % 4);
          // FindNext from n against the model.
          uint32_t pos = n;
          int32_t counter = 0;
          uint32_t expectPos = n, found = 0;
          for (uint32_t r = n + 1; r <= size && found < k; ++r)
            if (ma.bits[r - 1]) expectPos = r, ++found;
          ASSERT_EQ(a.FindNext(pos, k, counter), found == k);
          ASSERT_EQ(counter, static_cast<int32_t>(found));
          ASSERT_EQ(pos, expectPos);
          pos = n;
          counter = 0;
          expectPos = n;
          found = 0;
          for (uint32_t r = (n > size + 1 ? size + 1 : n); r > 1 && found < k; --r)
            if (r - 1 <= size && ma.bits[r - 2]) expectPos = r - 1, ++found;
          ASSERT_EQ(a.FindPrior(pos, k, counter), found == k);
          ASSERT_EQ(counter, -static_cast<int32_t>(found));
          ASSERT_EQ(pos, expectPos);
          for (uint32_t r = 1; r <= size; ++r) ASSERT_EQ(a.IsSet(r), ma.bits[r - 1]) << r;
        }
      }
    }
  }
}

// A table that grows a record at a time, with its bitmaps set, inverted, copied, shrunk and
// grown again in between, across several buffer steps: records coming into range are clear.
TEST(RecordsBitmap, GrowingRecordByRecordNeverShowsStaleBits) {
  std::mt19937_64 rng(4242);
  TRecordsBitmap a;
  std::vector<bool> model;
  auto check = [&] {
    uint32_t count = 0;
    for (bool bit : model) count += bit ? 1 : 0;
    ASSERT_EQ(a.CountSet(), count) << "size " << model.size();
  };
  for (int step = 0; step < 60000; ++step) {
    const uint32_t size = static_cast<uint32_t>(model.size());
    const uint64_t pick = rng() % 1000;
    if (pick < 900) {
      a.SetSize(size + 1);  // one record more, as an insert does
      model.push_back(false);
      if (rng() % 3 == 0) {
        a.SetBit(size + 1);
        model.back() = true;
      }
    } else if (pick < 920) {
      a.SetAll();
      model.assign(size, true);
    } else if (pick < 940) {
      a.Invert();
      model.flip();
    } else if (pick < 950) {
      a.ClearAll();
      model.assign(size, false);
    } else if (pick < 970 && size > 0) {
      const uint32_t n = size - std::min<uint32_t>(size, static_cast<uint32_t>(rng() % 40));  // shrink a little
      a.SetSize(n);
      model.resize(n);
    } else if (pick < 980) {
      TRecordsBitmap copy;
      copy.Assign(a);
      a.Reset();
      a.Assign(copy);
    } else if (size > 0) {
      const uint32_t n = 1 + static_cast<uint32_t>(rng() % size);
      a.SetBit(n);
      model[n - 1] = true;
    }
    if (step % 97 == 0) check();
  }
  check();
  EXPECT_GT(a.CapacityBytes(), 2048);  // crossed buffer steps
}

TEST(RecordsBitmap, PoolReturnsClearedBitmaps) {
  InitializeEngineLibrary();
  TRecordsBitmap* b = NewRecordsBitmap();
  b->SetSize(100);
  b->SetAll();
  TRecordsBitmap* first = b;
  ReleaseRecordsBitmap(b);
  EXPECT_EQ(b, nullptr);
  ReleaseRecordsBitmap(b);  // nil does nothing
  TRecordsBitmap* again = NewRecordsBitmap();
  EXPECT_EQ(again, first);
  EXPECT_EQ(again->Size(), 0u);
  again->SetSize(100);
  EXPECT_EQ(again->CountSet(), 0u);
  ReleaseRecordsBitmap(again);
  FinalizeEngineLibrary();
}

}  // namespace
}  // namespace tovenmarsh::engine
