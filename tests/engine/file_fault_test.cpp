// Writes and syncs the device refuses, under table operations: the platform layer makes the n-th
// write, file sync or directory sync fail, for every n an operation reaches. Each failure must
// reach the caller as the engine's write error; the table must keep the state it had before the
// operation (in this session and when opened afresh), its structures must verify, and it must
// take the next operation as usual.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/file_system.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

using platform::TFileFault;
using TRows = std::map<int32_t, int32_t>;  // key -> value

constexpr int32_t kBaseRows = 12;

class FileFaultTest : public testing::EngineDirectoryTest {
 protected:
  void TearDown() override {
    for (TFileFault kind : {TFileFault::Write, TFileFault::FileSync, TFileFault::FolderSync})
      platform::InjectFileFault(kind, 0);
    EngineDirectoryTest::TearDown();
  }

  static void Insert(TDataCursor& c, int32_t key, int32_t value) { testing::InsertKeyValue(c, key, value); }
  static bool Find(TDataCursor& c, int32_t key, std::vector<uint8_t>& r) { return testing::FindKeyValue(c, key, r); }
  static TRows Rows(TDataCursor& c) {
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
  // The rows a new user finds, after checking the table's structures.
  TRows RowsOnReopen(const std::string& table) {
    TDataSession* s = CreateEngineSession();
    TDataDirectory* d = s->OpenDirectory("other", scratch_.Path());
    TRows rows;
    {
      TDataCursor c(d);
      c.SetTableName(table);
      c.Open();
      c.Table()->Data().VerifyHeader();
      c.Table()->Index().Verify(c.Table()->Data().Fields());
      rows = Rows(c);
      EXPECT_EQ(c.GetRecordCount(), static_cast<int32_t>(rows.size()));
      c.Close();
    }
    s->CloseDirectory(d);
    FreeEngineSession(s);
    return rows;
  }
  // A new table holding keys 1..kBaseRows with values 10 k.
  TRows MakeTable(const std::string& table) {
    Create(table, testing::KeyValueDefinition());
    TDataCursor& c = Open(table);
    directory_->StartTransaction();
    for (int32_t k = 1; k <= kBaseRows; ++k) Insert(c, k, 10 * k);
    directory_->Commit(true);
    TRows rows = Rows(c);
    c.Close();
    return rows;
  }

  // Runs `operation` on a fresh table with the n-th operation of `kind` failing, for n = 0, 1,
  // ... until the operation gets through without meeting the fault. `after` is the model of the
  // operation's effect. A failed sync of a file may leave the operation done if it struck after
  // the commit point (the journal already emptied); never anything between.
  void EveryFaultPoint(TFileFault kind, const std::function<void(TDataCursor&)>& operation,
                       const std::function<void(TRows&)>& after) {
    for (int n = 0;; ++n) {
      SCOPED_TRACE("fault at operation " + std::to_string(n));
      const std::string table = "f" + std::to_string(n);
      const TRows before = MakeTable(table);
      TRows done = before;
      after(done);
      TDataCursor& c = Open(table);
      const int64_t fired = platform::InjectedFileFaults(kind);
      platform::InjectFileFault(kind, 1, n, scratch_.Path());
      const uint16_t code = testing::ErrorCode([&] { operation(c); });
      platform::InjectFileFault(kind, 0);
      if (platform::InjectedFileFaults(kind) == fired) {
        ASSERT_EQ(code, 0);
        EXPECT_EQ(Rows(c), done);
        EXPECT_EQ(RowsOnReopen(table), done);
        ASSERT_GT(n, 0) << "the operation met no fault of this kind at all";
        return;
      }
      ASSERT_EQ(code, kErrWriteError) << "a refused write or sync passed as success or as another error";
      const TRows seen = Rows(c);
      if (kind == TFileFault::FileSync && seen == done) {
        EXPECT_EQ(RowsOnReopen(table), done);
      } else {
        EXPECT_EQ(seen, before);
        EXPECT_EQ(RowsOnReopen(table), before);
      }
      // The table is not left locked or half-changed: the next operation goes through.
      Insert(c, 1000, 1);
      TRows next = seen;
      next[1000] = 1;
      EXPECT_EQ(Rows(c), next);
      EXPECT_EQ(RowsOnReopen(table), next);
      c.Close();
      if (::testing::Test::HasFatalFailure()) return;
    }
  }

  // One insert outside a transaction (written and committed at once).
  static void InsertOne(TDataCursor& c) { Insert(c, 500, 5); }
  static void InsertOneModel(TRows& rows) { rows[500] = 5; }

  // A transaction: values changed, rows inserted (enough to split index pages) and one deleted.
  void Transaction(TDataCursor& c) {
    std::vector<uint8_t> r(c.GetRecordSize());
    directory_->StartTransaction();
    for (int32_t k = 2; k <= 6; k += 2) {
      ASSERT_TRUE(Find(c, k, r));
      const int32_t value = -k;
      c.SetFieldData(2, r.data(), &value);
      c.ModifyRecord(r.data(), false, true);
    }
    ASSERT_TRUE(Find(c, 3, r));
    c.DeleteRecord(r.data(), false);
    for (int32_t k = 100; k < 400; ++k) Insert(c, k, k);
    directory_->Commit(true);
  }
  static void TransactionModel(TRows& rows) {
    for (int32_t k = 2; k <= 6; k += 2) rows[k] = -k;
    rows.erase(3);
    for (int32_t k = 100; k < 400; ++k) rows[k] = k;
  }
};

TEST_F(FileFaultTest, AFailedWriteUnderAnInsertLeavesTheTableAsBefore) {
  EveryFaultPoint(TFileFault::Write, InsertOne, InsertOneModel);
}

TEST_F(FileFaultTest, AFailedFileSyncUnderAnInsertIsReported) {
  EveryFaultPoint(TFileFault::FileSync, InsertOne, InsertOneModel);
}

TEST_F(FileFaultTest, AFailedDirectorySyncUnderAnInsertLeavesTheTableAsBefore) {
  EveryFaultPoint(TFileFault::FolderSync, InsertOne, InsertOneModel);
}

TEST_F(FileFaultTest, AFailedWriteUnderACommitLeavesTheTableAsBefore) {
  EveryFaultPoint(TFileFault::Write, [this](TDataCursor& c) { Transaction(c); }, TransactionModel);
}

TEST_F(FileFaultTest, AFailedFileSyncUnderACommitIsReported) {
  EveryFaultPoint(TFileFault::FileSync, [this](TDataCursor& c) { Transaction(c); }, TransactionModel);
}

// Creating a table syncs its directory: a refusal there is the creator's error, not a table
// whose name may vanish after a power loss.
TEST_F(FileFaultTest, AFailedDirectorySyncFailsTheTableCreation) {
  platform::InjectFileFault(TFileFault::FolderSync, 1, 0, scratch_.Path());
  TDataTable* t = nullptr;
  const uint16_t code = testing::ErrorCode([&] {
    const int rc = directory_->CreateTable("made", false, false, testing::KeyValueDefinition(), &t);
    if (rc < 0) RaiseEngineError(static_cast<uint16_t>(-rc));
  });
  EXPECT_EQ(code, kErrWriteError);
  EXPECT_GT(platform::InjectedFileFaults(TFileFault::FolderSync), 0);
}

}  // namespace
}  // namespace tovenmarsh::engine
