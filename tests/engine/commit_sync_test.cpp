// The syncs a durable change costs: a single-row insert outside a transaction, and a one-row
// transaction, each reach the disk with at least one sync and with no more than the journal
// protocol needs. The platform layer counts the syncs asked of it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

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
// written): the journal (old bytes and the hashes of the new content) before any write, then
// the two files. The emptied journal needs none: found after a crash, it finds the files
// holding the new content and is dropped.
constexpr int64_t kMostSyncsPerCommit = 3;

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

}  // namespace
}  // namespace tovenmarsh::engine
