// The process-wide page cache under the table files: it never holds more than its budget, hands
// back what it was given, and under tables it spares system calls without ever showing a reader
// anything but the last commit of every other writer, whether that writer is another session of
// this process or another process.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "engine/io/file_list.h"
#include "engine/io/page_cache.h"
#include "platform/file_system.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

using TRows = std::map<int32_t, int32_t>;  // key -> value

// ---- the cache alone ----

std::vector<uint8_t> PieceOf(uint32_t file, uint32_t piece, uint32_t version) {
  std::vector<uint8_t> bytes(TPageCache::kPieceSize);
  uint32_t x = file * 2654435761u ^ piece * 40503u ^ version * 977u;
  for (auto& b : bytes) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 24);
  return bytes;
}

TEST(PageCacheAlone, RandomUseStaysWithinTheBudgetAndGivesBackWhatWasPut) {
  std::mt19937 rng(7);
  TPageCache cache(40 * TPageCache::kPieceCharge);
  std::map<std::pair<uint32_t, uint32_t>, std::vector<uint8_t>> model;  // what a hit must give
  uint32_t version = 0;
  std::vector<uint8_t> out(TPageCache::kPieceSize);
  for (int step = 0; step < 20000; ++step) {
    const uint32_t file = 1 + rng() % 4;
    const uint32_t piece = rng() % 30;
    switch (rng() % 10) {
      case 0: case 1: case 2: {
        const auto bytes = PieceOf(file, piece, ++version);
        cache.Put(file, piece, bytes.data());
        model[{file, piece}] = bytes;
        break;
      }
      case 3: {
        const int64_t at = rng() % TPageCache::kPieceSize;
        const int64_t n = 1 + rng() % (TPageCache::kPieceSize - at);
        std::vector<uint8_t> patch(static_cast<size_t>(n), static_cast<uint8_t>(step));
        cache.Update(file, piece, at, patch.data(), n);
        auto it = model.find({file, piece});
        if (it != model.end()) std::memcpy(it->second.data() + at, patch.data(), static_cast<size_t>(n));
        break;
      }
      case 4:
        if (rng() % 20 == 0) {
          cache.DropFile(file);
          for (auto it = model.begin(); it != model.end();) it = it->first.first == file ? model.erase(it) : std::next(it);
        }
        break;
      case 5:
        if (rng() % 50 == 0) cache.SetBudget((rng() % 60) * TPageCache::kPieceCharge);
        break;
      default: {
        const int64_t at = rng() % TPageCache::kPieceSize;
        const int64_t n = 1 + rng() % (TPageCache::kPieceSize - at);
        if (cache.Get(file, piece, at, out.data(), n)) {
          auto it = model.find({file, piece});
          ASSERT_NE(it, model.end()) << "a piece never put (or dropped) came back";
          ASSERT_EQ(0, std::memcmp(out.data(), it->second.data() + at, static_cast<size_t>(n))) << step;
        }
      }
    }
    ASSERT_LE(cache.Bytes(), cache.Budget()) << step;
    ASSERT_EQ(cache.Bytes(), static_cast<int64_t>(cache.Pieces()) * TPageCache::kPieceCharge);
  }
}

// Within its budget the cache loses nothing: every piece put is found until its file is
// dropped, through many pieces, drops of whole files and evictions of the oldest.
TEST(PageCacheAlone, EveryPieceHeldIsFoundAndEveryDroppedOneIsGone) {
  std::mt19937 rng(11);
  constexpr int64_t kHeld = 3000;
  TPageCache cache(kHeld * TPageCache::kPieceCharge);
  std::map<std::pair<uint32_t, uint32_t>, uint8_t> model;  // piece -> its first byte
  std::vector<std::pair<uint32_t, uint32_t>> order;          // puts, oldest first (no gets between)
  std::vector<uint8_t> bytes(TPageCache::kPieceSize), out(1);
  for (int round = 0; round < 6; ++round) {
    for (int i = 0; i < 2500; ++i) {
      const uint32_t file = 1 + rng() % 9;
      const uint32_t piece = rng() % 100000;
      if (model.count({file, piece})) continue;
      bytes[0] = static_cast<uint8_t>(rng());
      cache.Put(file, piece, bytes.data());
      model[{file, piece}] = bytes[0];
      order.emplace_back(file, piece);
    }
    // Beyond the budget the oldest pieces went first.
    while (static_cast<int64_t>(model.size()) > kHeld) {
      model.erase(order.front());
      order.erase(order.begin());
    }
    const uint32_t dropped = 1 + rng() % 9;
    cache.DropFile(dropped);
    for (auto it = model.begin(); it != model.end();) it = it->first.first == dropped ? model.erase(it) : std::next(it);
    std::erase_if(order, [&](const auto& k) { return k.first == dropped; });
    ASSERT_EQ(cache.Pieces(), model.size()) << round;
    for (const auto& [key, first] : model) {
      ASSERT_TRUE(cache.Get(key.first, key.second, 0, out.data(), 1)) << key.first << "/" << key.second;
      ASSERT_EQ(out[0], first);
    }
    for (uint32_t piece = 0; piece < 2000; ++piece)
      ASSERT_FALSE(cache.Get(dropped, piece, 0, out.data(), 1)) << "dropped " << dropped << "/" << piece;
    // The gets above made their pieces the newest, in the model's order.
    order.assign(model.size(), {});
    size_t n = 0;
    for (const auto& entry : model) order[n++] = entry.first;
  }
}

TEST(PageCacheAlone, EvictsTheLeastRecentlyUsedPieceAndNothingWithoutABudget) {
  TPageCache cache(3 * TPageCache::kPieceCharge);
  std::vector<uint8_t> out(8);
  for (uint32_t p = 0; p < 3; ++p) cache.Put(1, p, PieceOf(1, p, 0).data());
  ASSERT_TRUE(cache.Get(1, 0, 0, out.data(), 8));  // piece 1 is now the oldest
  cache.Put(1, 3, PieceOf(1, 3, 0).data());
  EXPECT_FALSE(cache.Get(1, 1, 0, out.data(), 8));
  for (uint32_t p : {0u, 2u, 3u}) EXPECT_TRUE(cache.Get(1, p, 0, out.data(), 8)) << p;
  cache.SetBudget(0);
  EXPECT_EQ(cache.Pieces(), 0u);
  EXPECT_FALSE(cache.Enabled());
  cache.Put(1, 0, PieceOf(1, 0, 0).data());
  EXPECT_EQ(cache.Pieces(), 0u);
  cache.SetBudget(-5);
  EXPECT_EQ(cache.Budget(), 0);
  cache.SetBudget(int64_t{1} << 50);
  EXPECT_EQ(cache.Budget(), TPageCache::kMaxBudget);
}

// ---- under tables ----

TRows ReadAll(TDataCursor& c) {
  TRows rows;
  std::vector<uint8_t> r(c.GetRecordSize());
  c.First();
  while (c.GetNextRecord(r.data()) == 0) {
    int32_t key = 0, value = 0;
    c.GetFieldData(1, r.data(), &key);
    c.GetFieldData(2, r.data(), &value);
    rows[key] = value;
  }
  return rows;
}

// Every key of 1..keys looked up one by one: the rows found.
TRows LookUpAll(TDataCursor& c, int32_t keys) {
  TRows rows;
  std::vector<uint8_t> r(c.GetRecordSize());
  for (int32_t k = 1; k <= keys; ++k) {
    if (!testing::FindKeyValue(c, k, r)) continue;
    int32_t value = 0;
    c.GetFieldData(2, r.data(), &value);
    rows[k] = value;
  }
  return rows;
}

// Sets key to value (inserting or changing the row), or deletes it when value is 0.
void Apply(TDataCursor& c, int32_t key, int32_t value) {
  std::vector<uint8_t> r(c.GetRecordSize());
  const bool found = testing::FindKeyValue(c, key, r);
  if (value == 0) {
    if (found) c.DeleteRecord(r.data(), false);
  } else if (found) {
    c.SetFieldData(2, r.data(), &value);
    c.ModifyRecord(r.data(), false, true);
  } else {
    testing::InsertKeyValue(c, key, value);
  }
}

void ApplyToModel(TRows& rows, int32_t key, int32_t value) {
  if (value == 0) rows.erase(key);
  else rows[key] = value;
}

constexpr int32_t kKeys = 3000;

class TableCacheTest : public testing::TwoUsersTest {
 protected:
  void TearDown() override {
    if (TFileList* list = EngineFileList()) list->PageCache().SetBudget(TPageCache::kDefaultBudget);
    TwoUsersTest::TearDown();
  }
  TPageCache& Cache() { return EngineFileList()->PageCache(); }
  // "t" holding keys 1..rows with value 7 k, written in one transaction by user 0.
  void MakeTable(int32_t rows) {
    Create("t", testing::KeyValueDefinition());
    TDataCursor& c = OpenAs(0, "t");
    directories_[0]->StartTransaction();
    for (int32_t k = 1; k <= rows; ++k) testing::InsertKeyValue(c, k, 7 * k);
    directories_[0]->Commit(true);
  }
  // Another process (TableCacheChild.Run) applies batch `step` to "t" and ends.
  void RunChildBatch(int step) {
    const pid_t pid = fork();
    if (pid == 0) {
      setenv("TM_CACHE_CHILD_DIR", scratch_.Path().c_str(), 1);
      setenv("TM_CACHE_CHILD_STEP", std::to_string(step).c_str(), 1);
      const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
      execl(self.c_str(), self.c_str(), "--gtest_filter=TableCacheChild.Run", static_cast<char*>(nullptr));
      _exit(127);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
};

TEST_F(TableCacheTest, LookupsOfPagesReadBeforeMakeNoReadsAndWithoutACacheDo) {
  MakeTable(20000);
  TDataCursor& c = OpenAs(1, "t");
  std::mt19937 rng(3);
  std::vector<uint8_t> r(c.GetRecordSize());
  auto lookups = [&] {
    const int64_t before = platform::PositionedReadCount();
    for (int i = 0; i < 2000; ++i) {
      const int32_t key = 1 + static_cast<int32_t>(rng() % 20000);
      EXPECT_TRUE(testing::FindKeyValue(c, key, r));
      int32_t value = 0;
      c.GetFieldData(2, r.data(), &value);
      EXPECT_EQ(value, 7 * key);
    }
    return platform::PositionedReadCount() - before;
  };
  EXPECT_EQ(ReadAll(c).size(), 20000u);
  (void)LookUpAll(c, 20000);  // every page once
  EXPECT_EQ(lookups(), 0);
  Cache().SetBudget(0);
  EXPECT_GT(lookups(), 100);
}

TEST_F(TableCacheTest, AScanKeepsTheCacheWithinItsBudget) {
  MakeTable(20000);
  constexpr int64_t kBudget = 48 * TPageCache::kPieceCharge;
  Cache().SetBudget(kBudget);
  TDataCursor& c = OpenAs(1, "t");
  TRows expected;
  for (int32_t k = 1; k <= 20000; ++k) expected[k] = 7 * k;
  EXPECT_EQ(ReadAll(c), expected);
  EXPECT_EQ(LookUpAll(c, 20000), expected);
  EXPECT_LE(Cache().Bytes(), kBudget);
  EXPECT_GT(Cache().Pieces(), 0u);
}

// A scan reads the data file in long blocks and the leaves one after the other straight from the
// file: they are read once, and would push out the pieces lookups come back to. Lookups keep
// what they read.
TEST_F(TableCacheTest, AScanLeavesWhatItReadsOnceOutOfTheCache) {
  MakeTable(20000);
  TDataCursor& c = OpenAs(1, "t");
  Cache().SetBudget(0);  // empty
  Cache().SetBudget(TPageCache::kDefaultBudget);
  TRows expected;
  for (int32_t k = 1; k <= 20000; ++k) expected[k] = 7 * k;
  EXPECT_EQ(ReadAll(c), expected);
  // The root and the first leaf, found by a descent.
  EXPECT_LE(Cache().Pieces(), 4u);
  EXPECT_EQ(LookUpAll(c, 20000), expected);
  // 20,000 records of 17 bytes and their keys: some 80 pieces of the data file and more of the
  // index's leaves.
  EXPECT_GT(Cache().Pieces(), 100u);
  const size_t afterLookups = Cache().Pieces();
  EXPECT_EQ(ReadAll(c), expected);
  EXPECT_EQ(Cache().Pieces(), afterLookups);
}

// User 0 changes random rows (alone or in transactions, some rolled back); after each of its
// commits user 1, whose caches are warm, must see exactly the model, by scan and by key.
class TableCacheSessionsTest : public TableCacheTest, public ::testing::WithParamInterface<int64_t> {};

TEST_P(TableCacheSessionsTest, AnotherSessionsCommitsAreSeenAtOnce) {
  Cache().SetBudget(GetParam());
  MakeTable(kKeys);
  TRows model;
  for (int32_t k = 1; k <= kKeys; ++k) model[k] = 7 * k;
  TDataCursor& writer = OpenAs(0, "t");
  TDataCursor& reader = OpenAs(1, "t");
  std::mt19937 rng(11);
  for (int round = 0; round < 60; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int kind = static_cast<int>(rng() % 3);  // 0 single writes, 1 commit, 2 rollback
    TRows next = model;
    if (kind > 0) directories_[0]->StartTransaction();
    const int changes = 1 + static_cast<int>(rng() % (kind > 0 ? 200 : 20));
    for (int i = 0; i < changes; ++i) {
      const int32_t key = 1 + static_cast<int32_t>(rng() % (kKeys + 500));
      const int32_t value = rng() % 4 == 0 ? 0 : 1 + static_cast<int32_t>(rng() % 1000000);
      Apply(writer, key, value);
      ApplyToModel(next, key, value);
    }
    if (kind == 2) directories_[0]->Rollback();
    else model = next;
    if (kind == 1) directories_[0]->Commit(true);
    ASSERT_EQ(ReadAll(reader), model);
    ASSERT_EQ(LookUpAll(reader, kKeys + 500), model);
    ASSERT_LE(Cache().Bytes(), Cache().Budget());
  }
}

INSTANTIATE_TEST_SUITE_P(Budgets, TableCacheSessionsTest,
                         ::testing::Values(int64_t{0}, 24 * TPageCache::kPieceCharge, TPageCache::kDefaultBudget));

// ---- another process ----

// The changes of one batch: (key, value), value 0 deleting. The same for the child that makes
// them and the model that follows them.
std::vector<std::pair<int32_t, int32_t>> Batch(int step) {
  std::mt19937 rng(static_cast<uint32_t>(1000 + step));
  std::vector<std::pair<int32_t, int32_t>> batch;
  const int n = 1 + static_cast<int>(rng() % 150);
  for (int i = 0; i < n; ++i) {
    const int32_t key = 1 + static_cast<int32_t>(rng() % (kKeys + 500));
    batch.emplace_back(key, rng() % 4 == 0 ? 0 : 1 + static_cast<int32_t>(rng() % 1000000));
  }
  return batch;
}

// The child: applies batch $TM_CACHE_CHILD_STEP to "t" in $TM_CACHE_CHILD_DIR, in one
// transaction when the step is odd, row by row otherwise.
TEST(TableCacheChild, Run) {
  const char* dir = std::getenv("TM_CACHE_CHILD_DIR");
  const char* step = std::getenv("TM_CACHE_CHILD_STEP");
  if (!dir || !step) GTEST_SKIP() << "run by TableCacheProcessTest";
  EngineStart();
  TDataSession* s = CreateEngineSession();
  TDataDirectory* d = s->OpenDirectory("child", dir);
  {
    TDataCursor c(d);
    c.SetTableName("t");
    c.Open();
    const int n = std::atoi(step);
    if (n % 2 == 1) d->StartTransaction();
    for (const auto& [key, value] : Batch(n)) Apply(c, key, value);
    if (n % 2 == 1) d->Commit(true);
    c.Close();
  }
  s->CloseDirectory(d);
  FreeEngineSession(s);
  EngineStop();
}

class TableCacheProcessTest : public TableCacheTest, public ::testing::WithParamInterface<bool> {};

TEST_P(TableCacheProcessTest, AnotherProcesssCommitsAreSeenAtOnce) {
  sessions_[1]->StrictChangeDetection = GetParam();
  MakeTable(kKeys);
  TRows model;
  for (int32_t k = 1; k <= kKeys; ++k) model[k] = 7 * k;
  TDataCursor& reader = OpenAs(1, "t");
  ASSERT_EQ(ReadAll(reader), model);
  for (int step = 0; step < 8; ++step) {
    SCOPED_TRACE("batch " + std::to_string(step));
    ASSERT_NO_FATAL_FAILURE(RunChildBatch(step));
    for (const auto& [key, value] : Batch(step)) ApplyToModel(model, key, value);
    ASSERT_EQ(LookUpAll(reader, kKeys + 500), model);
    ASSERT_EQ(ReadAll(reader), model);
  }
}

INSTANTIATE_TEST_SUITE_P(ChangeDetection, TableCacheProcessTest, ::testing::Values(false, true));

// A statement opens its tables and closes them at its end. The pieces read under one opening
// serve the next (no reads but the headers) as long as nobody wrote; after another process's
// commit between two openings the next sees exactly that commit, by scan and by key.
TEST_F(TableCacheTest, ANextOpeningReusesPiecesOnlyWhileNobodyElseWrote) {
  MakeTable(kKeys);
  cursors_.clear();  // nothing of this process holds the table open between the statements
  TRows model;
  for (int32_t k = 1; k <= kKeys; ++k) model[k] = 7 * k;
  auto statement = [&](const auto& body) {
    TDataCursor c(directories_[1]);
    c.SetTableName("t");
    c.Open();
    body(c);
    c.Close();
  };
  statement([&](TDataCursor& c) { ASSERT_EQ(LookUpAll(c, kKeys + 500), model); });
  // The first half of the keys, whose records lie in whole pieces of the data file (a file's last,
  // partial piece is never held).
  TRows firstHalf(model.begin(), model.upper_bound(kKeys / 2));
  statement([&](TDataCursor& c) {
    const int64_t before = platform::PositionedReadCount();
    ASSERT_EQ(LookUpAll(c, kKeys / 2), firstHalf);
    EXPECT_EQ(platform::PositionedReadCount() - before, 0) << "pieces of the last opening were read again";
  });
  for (int step = 0; step < 6; ++step) {
    SCOPED_TRACE("batch " + std::to_string(step));
    ASSERT_NO_FATAL_FAILURE(RunChildBatch(step));
    for (const auto& [key, value] : Batch(step)) ApplyToModel(model, key, value);
    statement([&](TDataCursor& c) { ASSERT_EQ(LookUpAll(c, kKeys + 500), model); });
    statement([&](TDataCursor& c) { ASSERT_EQ(ReadAll(c), model); });
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
