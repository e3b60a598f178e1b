// Readers of the configuration and the counters race with writers on other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "core/system_parameters.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core {
namespace {

TEST(SystemParametersThreads, ReadersSeeWholeValuesWhileTheSettingsAreSaved) {
  testing::TempFolder folder;
  TSystemParameters p(folder.Path() + "tovenmarsh");
  std::atomic<bool> stop{false};
  std::atomic<int> bad{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      while (!stop) {
        const std::string server = p.GetString("RelayServer");
        if (!server.empty() && server != "relay-a.example.org" && server != "relay-b.example.org") ++bad;
        if (p.GetInt("RelayRetries") != 5) ++bad;
        p.GetBool("SecurityOn");
      }
    });
  }
  for (int i = 0; i < 300; ++i) {
    p.SetString("RelayServer", i % 2 ? "relay-a.example.org" : "relay-b.example.org");
    p.SetBool("SecurityOn", i % 2 == 0);
    if (i % 50 == 0) p.Save();
    if (i % 70 == 0) p.Load();
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_EQ(bad.load(), 0);
}

TEST(SystemParametersThreads, CountersBalanceAcrossThreads) {
  TSystemParameters p("/x/tovenmarsh");
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&p, t] {
      for (int i = 0; i < 2000; ++i) {
        p.CountConnection(true, 1 + t % 5);
        p.CountThread(true);
        p.CountConnection(false, 1 + t % 5);
        p.CountThread(false);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  for (int kind = 1; kind <= 5; ++kind) {
    EXPECT_EQ(p.ConnectionCount(kind), 0);
    EXPECT_GE(p.ConnectionPeak(kind), 1);
    EXPECT_LE(p.ConnectionPeak(kind), 2);
  }
  EXPECT_EQ(p.ThreadCount(), 0);
  EXPECT_GE(p.ThreadPeak(), 1);
  EXPECT_LE(p.ThreadPeak(), 8);
}

}  // namespace
}  // namespace tovenmarsh::core
