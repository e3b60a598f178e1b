// The file layer under concurrent use: unique names from threads whose stems agree, and handlers
// of many threads opening, locking, writing and closing one shared file.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "engine/io/file_handler.h"
#include "engine/io/file_list.h"
#include "file_test_support.h"

namespace tovenmarsh::engine {
namespace {

using testing::ScratchDir;

constexpr int kThreads = 8;
constexpr int kNamesPerThread = 20;

TEST(FileThreadsTest, UniqueNamesNeverRepeatWhenStemsCollide) {
  ScratchDir dir;
  TFileList list;
  for (bool memory : {false, true}) {
    std::vector<std::vector<std::string>> names(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        // Every thread uses the same stem, as threads whose ids share their first five digits do.
        for (int i = 0; i < kNamesPerThread; ++i)
          names[t].push_back(
              MakeUniqueFileNameFromStem(list, "12345", dir.Path(), ".TMP", memory));
      });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::string> all;
    for (const auto& list_of_thread : names) all.insert(list_of_thread.begin(), list_of_thread.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kNamesPerThread)) << memory;
  }
}

TEST(FileThreadsTest, HandlersOfManyThreadsShareOneFile) {
  ScratchDir dir;
  TFileList list;
  for (bool memory : {false, true}) {
    const std::string name = memory ? "shared.dat" : dir / "shared.dat";
    TFileHandler creator(name, memory, &list);
    creator.CreateFile();
    creator.Close();
    std::atomic<int> holders{0};
    std::atomic<int> overlaps{0};
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int round = 0; round < 50; ++round) {
          TFileHandler handler(name, memory, &list);
          handler.Open();
          // The table write byte: one holder at a time across all handlers.
          if (handler.LockRange(2147483647, 1, true)) {
            if (holders.fetch_add(1) != 0) overlaps.fetch_add(1);
            holders.fetch_sub(1);
            if (!handler.LockRange(2147483647, 1, false)) failures.fetch_add(1);
          }
          // Each thread's own record byte is always free for it.
          if (!handler.LockRange(2147483646 - (t + 1), 1, true)) failures.fetch_add(1);
          const char byte = static_cast<char>('a' + t);
          {
            TFileAccess access(handler);
            handler.Seek(t * 64 + round % 64);
            handler.Write(&byte, 1);
          }
          if (!handler.LockRange(2147483646 - (t + 1), 1, false)) failures.fetch_add(1);
          handler.Close();
        }
      });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    TFileHandler reader(name, memory, &list);
    reader.Open();
    std::string content(kThreads * 64, '\0');
    reader.Read(content.data(), static_cast<int64_t>(content.size()), true);
    for (int t = 0; t < kThreads; ++t)
      EXPECT_EQ(content.substr(t * 64, 50), std::string(50, static_cast<char>('a' + t)));
    reader.Close();
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
