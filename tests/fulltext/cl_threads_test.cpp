// Containers shared between threads: each operation holds the container's lock, and two-set
// operations take the process-wide bit-set lock first, so crossing AndWith/OrWith calls neither
// race nor deadlock.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fulltext/cl_bits.h"
#include "fulltext/cl_dictionary.h"

namespace tovenmarsh::fulltext {
namespace {

TEST(ContainerThreads, SharedBitSetsAndDictionary) {
  TClBits a(4095), b(4095);
  TClDictionary dict(31);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        const int32_t bit = (i * 4 + t) % 4096;
        a.SetBit(bit);
        b.SetBit(bit);
        if (i % 50 == 0) (t % 2 ? a : b).OrWith(t % 2 ? &b : &a);  // crossing lock orders
        if (i % 10 == 0) {
          const std::string name = "w" + std::to_string(t) + "_" + std::to_string(i);
          dict.Add(name, nullptr);
          TClData data;
          EXPECT_TRUE(dict.Exists(name, data));
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  a.Recount();
  EXPECT_EQ(a.Count(), 4096);
  EXPECT_EQ(b.Count(), 4096);
  EXPECT_EQ(dict.Count(), 4 * 200);
}

}  // namespace
}  // namespace tovenmarsh::fulltext
