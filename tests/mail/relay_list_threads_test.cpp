// The relay list under concurrent relay tasks and the queue daemon's updates: whatever order
// the threads run in, every entry leaves the list exactly once (released or bounced), and an
// entry is never in two batches at once.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mail/relay/relay_list.h"

namespace tovenmarsh::mail {
namespace {

TEST(RelayListThreads, EveryEntryLeavesExactlyOnce) {
  constexpr int kEntries = 300;
  constexpr int kWorkers = 4;
  constexpr platform::TDateTime kNow = 46000.5;
  std::vector<std::unique_ptr<TDataRec>> files;
  for (int i = 0; i < 30; ++i) files.push_back(std::make_unique<TDataRec>(TDataRec{"file" + std::to_string(i)}));
  TRelayList list;
  for (int i = 0; i < kEntries; ++i) {
    auto entry = std::make_unique<TQueueRec>();
    entry->user = "u" + std::to_string(i);
    entry->domain = "d" + std::to_string(i % 7) + ".test";
    entry->queueFile = files[static_cast<size_t>(i % 30)].get();
    list.Add(std::move(entry));
  }
  std::atomic<int> left{kEntries};
  std::mutex inFlightLock;
  std::map<uint64_t, int> inFlight;  // entry id -> batches holding it
  std::atomic<bool> overlap{false};
  std::vector<std::thread> workers;
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      std::mt19937 random(static_cast<unsigned>(w + 1));
      TRelayBatch batch;
      for (int round = 0; round < 200000 && left.load() > 0; ++round) {
        if (!list.TakeRelayBatch("", batch, kNow, 2)) {
          std::this_thread::yield();
          continue;
        }
        {
          std::lock_guard<std::mutex> guard(inFlightLock);
          for (const TRelayBatchItem& item : batch) {
            if (inFlight[item.id]++ != 0) overlap = true;
          }
        }
        for (const TRelayBatchItem& item : batch) {
          {
            std::lock_guard<std::mutex> guard(inFlightLock);
            --inFlight[item.id];
          }
          const uint8_t states[] = {rsDelivered, rsTemporaryFailure, rsPermanentFailure};
          list.Report(item, states[random() % 3]);
        }
      }
    });
  }
  std::map<std::string, int> out;
  for (int round = 0; round < 2000000 && left.load() > 0; ++round) {
    TQueueRecs released, bounced;
    list.Update(kNow, 0, released, bounced);
    for (const auto& entry : released) ++out[entry->user];
    for (const auto& entry : bounced) ++out[entry->user];
    left -= static_cast<int>(released.size() + bounced.size());
    if (released.empty() && bounced.empty()) std::this_thread::yield();
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_FALSE(overlap.load());
  EXPECT_EQ(left.load(), 0);
  EXPECT_EQ(static_cast<int>(out.size()), kEntries);
  for (const auto& [user, count] : out) EXPECT_EQ(count, 1) << user;
  EXPECT_EQ(list.Count(), 0);
}

}  // namespace
}  // namespace tovenmarsh::mail
