// Many threads log at once while the log is closed and reopened: every line arrives whole.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

TEST(LogThreads, ConcurrentLinesNeverInterleave) {
  testing::TempFolder folder;
  const std::string path = folder.Path() + "tovenmarsh.log";
  ASSERT_TRUE(OpenLog(path));
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      const std::string padding(100 + t * 37, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) LogMessage("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + padding);
    });
  }
  // A reader of the whole file meanwhile, as the web log page is.
  platform::TStringList seen;
  for (int i = 0; i < 20; ++i) ReadLogFile(seen);
  for (std::thread& thread : threads) thread.join();
  CloseLog();

  const std::string log = folder.Read("tovenmarsh.log");
  const std::regex line(R"(Message on [^\r\n]* \+?-?\d{4} : thread (\d) line (\d+) ([a-h]+)\r\n)");
  std::map<int, int> next;
  size_t consumed = 0;
  for (std::sregex_iterator it(log.begin(), log.end(), line), end; it != end; ++it) {
    ASSERT_EQ(static_cast<size_t>(it->position()), consumed) << "garbage before a line";
    consumed += static_cast<size_t>(it->length());
    const int t = std::stoi((*it)[1]);
    EXPECT_EQ(std::stoi((*it)[2]), next[t]++) << "thread " << t;  // each thread's lines in order
    EXPECT_EQ((*it)[3].length(), static_cast<size_t>(100 + t * 37));
  }
  EXPECT_EQ(consumed, log.size());
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], kLines);
}

}  // namespace
}  // namespace tovenmarsh::core
