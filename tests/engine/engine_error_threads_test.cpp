// Two threads raising engine errors at once each get their own code and names, both in the
// exception and in their own last error.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "engine/base/engine_error.h"

namespace tovenmarsh::engine {
namespace {

TEST(EngineErrorThreads, EachThreadKeepsItsOwnError) {
  std::vector<std::thread> threads;
  std::vector<int> failures(8, 0);
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      const uint16_t code = t % 2 == 0 ? kErrRecordNotFound : kErrTableInUse;
      const std::string table = "table" + std::to_string(t);
      for (int i = 0; i < 2000; ++i) {
        try {
          RaiseEngineError(code, table);
        } catch (const EFenEngineError& e) {
          if (e.Code() != code || e.Names().TableName != table) ++failures[static_cast<size_t>(t)];
        }
        if (LastEngineErrorCode() != code || GetEngineErrorInfo(1) != table ||
            EngineErrorMessage(code).find(table) == std::string::npos)
          ++failures[static_cast<size_t>(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace tovenmarsh::engine
