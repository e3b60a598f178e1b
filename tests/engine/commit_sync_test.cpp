// The syncs a durable change costs: a single-row insert outside a transaction, and a one-row
// transaction, each reach the disk with at least one sync and with no more than the journal
// protocol needs; many changes sync the files now and then and keep the journal bounded. The
// platform layer counts the syncs asked of it.
#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <vector>

#include "platform/file_names.h"
#include "platform/file_system.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

using platform::TFileFault;

int64_t Syncs() {
  return platform::FileOperationCount(TFileFault::FileSync) + platform::FileOperationCount(TFileFault::FolderSync);
}

class CommitSyncTest : public testing::TwoUsersTest {
 protected:
  // The syncs of each of `times` runs of `change` (after one run that makes the journal).
  std::vector<int64_t> SyncsOf(const std::function<void(int32_t)>& change, int times) {
    change(1);
    std::vector<int64_t> counts;
    for (int32_t i = 0; i < times; ++i) {
      const int64_t before = Syncs();
      change(2 + i);
      counts.push_back(Syncs() - before);
    }
    return counts;
  }
};

// Upper bound per durable change, for a table with a primary index (data and index file
// written): the journal (old bytes and the new content) before any write. The files are synced
// at a checkpoint, once the journal holds enough (not within these few changes).
constexpr int64_t kMostSyncsPerCommit = 1;

TEST_F(CommitSyncTest, ASingleRowInsertSyncsOnlyWhatTheJournalNeeds) {
  Create("t", testing::KeyValueDefinition());
  TDataCursor& c = OpenAs(0, "t");
  for (int64_t n : SyncsOf([&](int32_t key) { testing::InsertKeyValue(c, key, key); }, 20)) {
    EXPECT_GE(n, 1) << "a change reported done before anything reached the disk";
    EXPECT_LE(n, kMostSyncsPerCommit);
  }
}

TEST_F(CommitSyncTest, AOneRowTransactionSyncsOnlyWhatTheJournalNeeds) {
  Create("t", testing::KeyValueDefinition());
  TDataCursor& c = OpenAs(0, "t");
  auto change = [&](int32_t key) {
    directories_[0]->StartTransaction();
    testing::InsertKeyValue(c, key, key);
    directories_[0]->Commit(true);
  };
  for (int64_t n : SyncsOf(change, 20)) {
    EXPECT_GE(n, 1);
    EXPECT_LE(n, kMostSyncsPerCommit);
  }
}

// Enough inserts to fill the journal several times: the files are synced and the journal emptied
// on the way, every insert still stands, and the syncs stay well below two per insert.
TEST_F(CommitSyncTest, ManyChangesCheckpointTheJournal) {
  Create("t", testing::KeyValueDefinition());
  TDataCursor& c = OpenAs(0, "t");
  TTableJournal* journal = c.Table()->Journal();
  ASSERT_NE(journal, nullptr);
  const std::string path = platform::ResolveFilePath(journal->Path());
  testing::InsertKeyValue(c, 0, 0);
  const int64_t before = Syncs();
  std::uintmax_t largest = 0;
  int emptied = 0;
  std::uintmax_t last = std::filesystem::file_size(path);
  constexpr int32_t kInserts = 1200;
  for (int32_t k = 1; k <= kInserts; ++k) {
    testing::InsertKeyValue(c, k, k);
    const std::uintmax_t size = std::filesystem::file_size(path);
    largest = std::max(largest, size);
    // Emptied: cut, or written over from the start (the file keeping its length).
    if (size < last || !journal->HasContent()) ++emptied;
    last = size;
  }
  const int64_t syncs = Syncs() - before;
  EXPECT_GE(emptied, 1);
  EXPECT_LE(largest, static_cast<std::uintmax_t>(2 * TTableJournal::kCheckpointBytes));
  EXPECT_GE(syncs, kInserts);
  EXPECT_LT(syncs, kInserts + kInserts / 4);
  EXPECT_EQ(c.GetRecordCount(), kInserts + 1);
}

}  // namespace
}  // namespace tovenmarsh::engine
