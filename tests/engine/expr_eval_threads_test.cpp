// Several threads parse, check, prepare and evaluate filters at once over the shared node pool.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "expr_test_fixture.h"

namespace tovenmarsh::engine {
namespace {

TEST(ExpressionThreads, ConcurrentFiltersShareTheNodePool) {
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t, &wrong] {
      testing::TFixtureSource source;
      testing::TRow row = testing::NullRow(source);
      row[static_cast<size_t>(source.FieldNumber("A") - 1)] = testing::TValue::Int(t);
      row[static_cast<size_t>(source.FieldNumber("Name") - 1)] = testing::TValue::Str("Smith");
      for (int i = 0; i < 200; ++i) {
        testing::TFilterRunner runner(
            source, "A IN (0, 2) AND UPPER(Name) LIKE 'SM%' OR A + 1 = 2 AND Name <> 'x'");
        bool expected = t == 0 || t == 2 || t == 1;
        if (!runner.Error.empty() || runner.Accepts(row) != expected) ++wrong;
        testing::TParsed bad = testing::ParseAndCheck(source, "A IN (1, 2");
        if (bad.ErrorCode != 10051) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace tovenmarsh::engine
