// The pool under concurrent borrowers: no item is ever held by two threads, the semaphore caps
// the holders, a waiting Acquire proceeds on a Release, and resource numbers stay distinct.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "resources/database_resource.h"
#include "resources/resource_pool.h"

namespace tovenmarsh::resources {
namespace {

struct THeld : TResourceItem {
  std::atomic<int> holders{0};
  int uses = 0;  // written only by the current holder
};

TEST(ResourcePoolThreads, SixteenThreadsNeverReceiveTheSameItem) {
  constexpr int kThreads = 16;
  constexpr int kRounds = 300;
  constexpr int kMax = 5;
  TResourcePool pool(60000);
  pool.Register(1, [] { return std::make_unique<THeld>(); }, 1, kMax);

  std::atomic<int> concurrent{0};
  std::atomic<int> peak{0};
  std::atomic<int> sharedItems{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int round = 0; round < kRounds; ++round) {
        auto* item = static_cast<THeld*>(pool.Acquire(1));
        int now = ++concurrent;
        int seen = peak.load();
        while (now > seen && !peak.compare_exchange_weak(seen, now)) {
        }
        if (item->holders.fetch_add(1) != 0) ++sharedItems;
        ++item->uses;  // a data race here if two threads held it (ThreadSanitizer)
        std::this_thread::yield();
        item->holders.fetch_sub(1);
        --concurrent;
        pool.Release(1, item);
      }
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(sharedItems.load(), 0);
  EXPECT_LE(peak.load(), kMax);
  EXPECT_LE(pool.ItemCount(1), kMax);
  EXPECT_EQ(pool.FreeSlots(1), kMax);
  pool.Shut();
}

TEST(ResourcePoolThreads, AWaitingAcquireProceedsWithTheReleasedItem) {
  TResourcePool pool(60000);
  pool.Register(2, [] { return std::make_unique<THeld>(); }, 2, 2);
  TResourceItem* a = pool.Acquire(2);
  TResourceItem* b = pool.Acquire(2);
  std::atomic<TResourceItem*> got{nullptr};
  std::thread waiter([&] { got = pool.Acquire(2); });
  pool.Release(2, b);
  waiter.join();
  EXPECT_EQ(got.load(), b);
  pool.Release(2, a);
  pool.Release(2, got.load());
  EXPECT_EQ(pool.FreeSlots(2), 2);
}

TEST(ResourcePoolThreads, ResourceNumbersAreDistinctAcrossThreads) {
  constexpr int kThreads = 16;
  constexpr int kEach = 200;
  std::vector<std::vector<int>> numbers(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&numbers, t] {
      for (int i = 0; i < kEach; ++i) numbers[static_cast<size_t>(t)].push_back(NextResourceNumber());
    });
  }
  for (auto& thread : threads) thread.join();
  std::set<int> all;
  for (const auto& list : numbers) all.insert(list.begin(), list.end());
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

}  // namespace
}  // namespace tovenmarsh::resources
