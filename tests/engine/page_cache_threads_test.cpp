// The page cache shared by threads: readers of several sessions look up rows while a writer of
// its own session rewrites them, commit after commit, through a cache small enough to evict all
// the time. A reader must only ever see values the writer wrote, and for each row never an older
// value after a newer one.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine/io/file_list.h"
#include "engine/io/page_cache.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

constexpr int32_t kRows = 2000;
constexpr int kReaders = 3;
constexpr int32_t kVersions = 12;

class PageCacheThreadsTest : public testing::EngineDirectoryTest {
 protected:
  void TearDown() override {
    EngineFileList()->PageCache().SetBudget(TPageCache::kDefaultBudget);
    EngineDirectoryTest::TearDown();
  }
};

TEST_F(PageCacheThreadsTest, ReadersNeverSeeAValueOlderThanOneTheySaw) {
  EngineFileList()->PageCache().SetBudget(16 * TPageCache::kPieceCharge);
  Create("t", testing::KeyValueDefinition());
  {
    TDataCursor& c = Open("t");
    directory_->StartTransaction();
    for (int32_t k = 1; k <= kRows; ++k) testing::InsertKeyValue(c, k, k);  // version 1
    directory_->Commit(true);
  }
  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::vector<std::thread> readers;
  for (int i = 0; i < kReaders; ++i) {
    readers.emplace_back([&, i] {
      TDataSession* s = CreateEngineSession();
      s->StrictChangeDetection = i % 2 == 1;
      TDataDirectory* d = s->OpenDirectory("db", scratch_.Path());
      {
        TDataCursor c(d);
        c.SetTableName("t");
        c.Open();
        std::mt19937 rng(static_cast<uint32_t>(i));
        std::map<int32_t, int32_t> seen;  // key -> highest version seen
        std::vector<uint8_t> r(c.GetRecordSize());
        while (!done.load()) {
          const int32_t key = 1 + static_cast<int32_t>(rng() % kRows);
          if (!testing::FindKeyValue(c, key, r)) {
            ++failures;
            continue;
          }
          int32_t value = 0;
          c.GetFieldData(2, r.data(), &value);
          const int32_t version = value / key;
          if (value % key != 0 || version < 1 || version > kVersions || version < seen[key]) ++failures;
          seen[key] = std::max(seen[key], version);
        }
        c.Close();
      }
      s->CloseDirectory(d);
      FreeEngineSession(s);
    });
  }
  {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("db", scratch_.Path());
    {
      TDataCursor c(d);
      c.SetTableName("t");
      c.Open();
      std::vector<uint8_t> r(c.GetRecordSize());
      for (int32_t version = 2; version <= kVersions; ++version) {
        d->StartTransaction();
        for (int32_t k = 1; k <= kRows; k += 1 + version % 3) {
          ASSERT_TRUE(testing::FindKeyValue(c, k, r));
          const int32_t value = k * version;
          c.SetFieldData(2, r.data(), &value);
          c.ModifyRecord(r.data(), false, true);
        }
        d->Commit(true);
      }
      c.Close();
    }
    s->CloseDirectory(d);
    FreeEngineSession(s);
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(EngineFileList()->PageCache().Bytes(), 16 * TPageCache::kPieceCharge);
}

}  // namespace
}  // namespace tovenmarsh::engine
