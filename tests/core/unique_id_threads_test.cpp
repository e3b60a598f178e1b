// Unique ids made at the same moment on many threads never collide.
#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/unique_id.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

const std::regex kId("[0-9A-F]{8}_[0-9A-F]{8}_[0-9A-F]{8}_[0-9A-F]{4}_[0-9A-F]{5}");

TEST(UniqueIdThreads, EightThreadsMakeNoDuplicates) {
  constexpr int kThreads = 8;
  constexpr int kEach = 5000;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&made, t] {
      for (int i = 0; i < kEach; ++i) made[static_cast<size_t>(t)].push_back(MakeUniqueId(7));
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<std::string> all;
  for (const auto& ids : made) {
    for (const std::string& id : ids) {
      ASSERT_EQ(id.size(), 37u) << id;
      ASSERT_TRUE(std::regex_match(id, kId)) << id;
      ASSERT_EQ(id.substr(32), "00007");
      all.insert(id);
    }
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
}

TEST(UniqueIdThreads, FilesAreCreatedExclusively) {
  testing::TempFolder folder;
  constexpr int kThreads = 8;
  std::vector<std::vector<std::string>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) made[static_cast<size_t>(t)].push_back(CreateUniqueFile(folder.Path(), t, ".tmp"));
    });
  }
  for (std::thread& t : threads) t.join();
  std::set<std::string> all;
  for (const auto& paths : made) all.insert(paths.begin(), paths.end());
  EXPECT_EQ(all.size(), 800u);
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(folder.Path())) {
    files += entry.path().extension() == ".tmp" ? 1 : 0;
  }
  EXPECT_EQ(files, 800u);
}

}  // namespace
}  // namespace tovenmarsh::core
