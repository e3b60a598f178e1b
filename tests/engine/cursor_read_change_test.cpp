// A reading cursor and another user of the same table (its own session, directory and caches, as
// another process has them): every cache miss of the reader looks for the other user's writes,
// and a step that meets them starts again from the record it stood on, neither skipping nor
// repeating a record; scans reading ahead past their leaf read every record once.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/store/btree.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "file_test_support.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

constexpr int32_t kRecords = 3000;

class CursorReadChangeTest : public testing::TwoUsersTest {
 protected:
  // A new table of kRecords records: key k with value 10 k, in record k.
  void MakeTable(const std::string& name) {
    table_ = name;
    Create(name, testing::KeyValueDefinition());
    TDataCursor& w = Open(1, true);
    for (int32_t k = 1; k <= kRecords; ++k) Insert(w, k, k * 10);
    w.Close();
  }
  // A cursor of user 0 (the reader) or user 1 (the other user).
  TDataCursor& Open(int user, bool exclusive = false) { return OpenAs(user, table_, exclusive); }
  static int32_t Get(TDataCursor& c, const std::vector<uint8_t>& r, uint32_t field) {
    int32_t v = 0;
    c.GetFieldData(field, r.data(), &v);
    return v;
  }
  static void Insert(TDataCursor& c, int32_t key, int32_t value) { testing::InsertKeyValue(c, key, value); }
  static bool Find(TDataCursor& c, int32_t key, std::vector<uint8_t>& r) { return testing::FindKeyValue(c, key, r); }
  // The other user deletes the records of keys [from, to] in one transaction.
  void DeleteKeys(int32_t from, int32_t to) {
    TDataCursor& w = Open(1);
    std::vector<uint8_t> r(w.GetRecordSize());
    directories_[1]->StartTransaction();
    for (int32_t k = from; k <= to; ++k) {
      ASSERT_TRUE(Find(w, k, r)) << k;
      w.DeleteRecord(r.data(), false);
    }
    directories_[1]->Commit(true);
    w.Close();
  }
  // Where the entry of a sequence number lies in its leaf: entries before and after it.
  static std::pair<int, int> LeafPlace(TDataCursor& c, int64_t sequence) {
    TBTree tree(c.Table()->Index().Store(0), TKeyOrder{});
    TTreePosition p;
    EXPECT_EQ(tree.SeekSequence(sequence, &p), TBTree::kDone);
    return {p.Pos - 1, p.Leaf.Count() - p.Pos};
  }

  std::string table_;
};

TEST_F(CursorReadChangeTest, AnotherUsersWritesShowAtTheNextCacheMiss) {
  MakeTable("big");
  TDataCursor& reader = Open(0);
  std::vector<uint8_t> r(reader.GetRecordSize());
  reader.First();
  ASSERT_EQ(reader.GetNextRecord(r.data()), 0);  // the first leaf and records are cached now
  EXPECT_EQ(reader.GetRecordCount(), kRecords);
  DeleteKeys(kRecords - 10, kRecords - 10);
  {
    TDataCursor& w = Open(1);
    Insert(w, 5000, 7);
    ASSERT_TRUE(Find(w, 2500, r));
    const int32_t value = -1;
    w.SetFieldData(2, r.data(), &value);
    w.ModifyRecord(r.data(), false, false);
    w.Close();
  }
  // Leaves the reader never fetched: each miss finds the writes.
  EXPECT_FALSE(Find(reader, kRecords - 10, r));
  ASSERT_TRUE(Find(reader, 5000, r));
  EXPECT_EQ(Get(reader, r, 2), 7);
  ASSERT_TRUE(Find(reader, 2500, r));
  EXPECT_EQ(Get(reader, r, 2), -1);
  EXPECT_EQ(reader.GetRecordCount(), kRecords);
  EXPECT_EQ(reader.GetRecNo(), 2500);
}

// The reader stands on the last (first) entry of a leaf; the other user deletes that record and
// the 50 behind (before) it; the step fetches the next (previous) leaf, finds the change, goes
// back to where the record was and takes the next record that is left; with a filter (that
// hides nothing) as without.
TEST_F(CursorReadChangeTest, AStepThatMeetsAnotherUsersDeletesSkipsNothing) {
  for (bool filtered : {false, true}) {
    for (int direction : {1, -1}) {
      SCOPED_TRACE(std::to_string(direction) + (filtered ? " filtered" : ""));
      MakeTable(std::string(direction > 0 ? "forward" : "backward") + (filtered ? "f" : ""));
      TDataCursor& reader = Open(0);
      if (filtered) reader.ActivateFilter(reader.AddFilter(nullptr, "Value > 0", false, false, false, false));
      std::vector<uint8_t> r(reader.GetRecordSize());
      const auto [before, after] = LeafPlace(reader, 1000);
      const int32_t edge = direction > 0 ? 1000 + after : 1000 - before;
      reader.SetRecNo(edge);
      ASSERT_EQ(reader.GetCurrentRecord(r.data()), 0);
      ASSERT_EQ(Get(reader, r, 1), edge);
      // The neighbouring leaf is not cached (a filtered SetRecNo walks the leaves before it).
      reader.Table()->Index().DropPages();
      if (direction > 0) DeleteKeys(edge, edge + 50);
      else DeleteKeys(edge - 50, edge);
      std::vector<int32_t> seen;
      for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(direction > 0 ? reader.GetNextRecord(r.data()) : reader.GetPriorRecord(r.data()), 0);
        seen.push_back(Get(reader, r, 1));
      }
      const std::vector<int32_t> expected =
          direction > 0 ? std::vector<int32_t>{edge + 51, edge + 52, edge + 53}
                        : std::vector<int32_t>{edge - 51, edge - 52, edge - 53};
      EXPECT_EQ(seen, expected);
      EXPECT_EQ(reader.GetRecordCount(), kRecords - 51);
      EXPECT_EQ(reader.GetRecNo(), direction > 0 ? edge + 2 : edge - 53);
    }
  }
}

// Stepping reads records ahead in blocks that run on past the leaf when the leaf's records lie
// in key order. Whatever the blocks, a scan in either direction, over the whole table or a
// range, must read every record of its order once with its stored values: here after another
// user changed values, deleted records and reused their slots out of key order.
TEST_F(CursorReadChangeTest, ScansReadAheadAcrossLeavesInBothDirections) {
  MakeTable("ahead");
  std::map<int32_t, int32_t> model;
  for (int32_t k = 1; k <= kRecords; ++k) model[k] = k * 10;
  {
    TDataCursor& w = Open(1);
    std::vector<uint8_t> r(w.GetRecordSize());
    for (int32_t k = 1500; k <= 1600; ++k) {
      ASSERT_TRUE(Find(w, k, r));
      const int32_t value = -k;
      w.SetFieldData(2, r.data(), &value);
      w.ModifyRecord(r.data(), false, false);
      model[k] = value;
    }
    w.Close();
  }
  DeleteKeys(2000, 2010);
  for (int32_t k = 2000; k <= 2010; ++k) model.erase(k);
  {
    TDataCursor& w = Open(1);
    for (int32_t k = 6000; k <= 6010; ++k) {  // into the freed slots, last freed first
      Insert(w, k, k);
      model[k] = k;
    }
    Insert(w, 5000, 5);  // appended after the last slot
    model[5000] = 5;
    w.Close();
  }
  for (bool ranged : {false, true}) {
    for (int direction : {1, -1}) {
      SCOPED_TRACE(std::to_string(direction) + (ranged ? " ranged" : ""));
      TDataCursor& reader = Open(0);
      std::vector<uint8_t> r(reader.GetRecordSize());
      int32_t from = 1, to = 1 << 30;
      if (ranged) {
        from = 1000;
        to = 2500;
        std::vector<uint8_t> lo(reader.GetRecordSize()), hi(reader.GetRecordSize());
        reader.InitRecord(lo.data());
        reader.InitRecord(hi.data());
        reader.SetFieldData(1, lo.data(), &from);
        reader.SetFieldData(1, hi.data(), &to);
        reader.SetRange(false, lo.data(), 1, hi.data(), 1);
      }
      std::vector<std::pair<int32_t, int32_t>> seen, expected;
      for (const auto& [k, v] : model)
        if (k >= from && k <= to) expected.emplace_back(k, v);
      if (direction < 0) std::reverse(expected.begin(), expected.end());
      if (direction > 0) reader.First();
      else reader.Last();
      while ((direction > 0 ? reader.GetNextRecord(r.data()) : reader.GetPriorRecord(r.data())) == 0)
        seen.emplace_back(Get(reader, r, 1), Get(reader, r, 2));
      EXPECT_EQ(seen, expected);
      reader.Close();
    }
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
