// A cursor and another user of the same files (its own session, directory and table): fetches
// that answer "retry" resynchronise instead of failing or losing the position, a record lock
// taken while the record moves is released, the table write lock outlives the holder's own
// writes, and random reads against random writes never fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/store/blob_buffer.h"
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

using testing::ErrorCode;
using testing::Field;
using testing::Index;

class CursorTwoUsersTest : public testing::EngineDirectoryTest {
 protected:
  void SetUp() override {
    EngineDirectoryTest::SetUp();
    ShortLockWaits(session_);
  }
  void TearDown() override {
    cursors_.clear();
    if (otherDirectory_) other_->CloseDirectory(otherDirectory_);
    if (other_) FreeEngineSession(other_);
    EngineDirectoryTest::TearDown();
  }

  // A second user of the same files: its own session, directory and shared table.
  TDataDirectory* Other() {
    if (!otherDirectory_) {
      other_ = CreateEngineSession();
      other_->LockRetryCount = 1;
      other_->LockWaitTime = 1;
      other_->TableLockRetries = 3;
      otherDirectory_ = other_->OpenDirectory("db", scratch_.Path());
    }
    return otherDirectory_;
  }
  static std::vector<uint8_t> Buffer(TDataCursor& c) { return std::vector<uint8_t>(c.GetRecordSize()); }
  static int32_t Int(TDataCursor& c, const std::vector<uint8_t>& b, uint32_t field) {
    int32_t v = 0;
    c.GetFieldData(field, b.data(), &v);
    return v;
  }
  static void Insert(TDataCursor& c, std::initializer_list<std::pair<uint32_t, int32_t>> values) {
    std::vector<uint8_t> b = Buffer(c);
    c.InitRecord(b.data());
    for (auto [f, v] : values) c.SetFieldData(f, b.data(), &v);
    c.InsertRecord(b.data(), true);
  }
  bool Find(TDataCursor& c, int32_t key, std::vector<uint8_t>& out) {
    std::vector<uint8_t> probe = Buffer(c);
    c.InitRecord(probe.data());
    c.SetFieldData(1, probe.data(), &key);
    return c.FindKey(probe.data(), false, out.data(), 0, false, 0);
  }

  TDataSession* other_ = nullptr;
  TDataDirectory* otherDirectory_ = nullptr;
};

// Fault: a page fetch answering "retry" (another user changed the table on disk) escapes as
// 8965 from Last, SetRecNo and GetRecNo instead of resynchronising and starting again.
TEST_F(CursorTwoUsersTest, RetryAfterAnotherUsersDeletesNeverEscapes) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  Create("big", d);
  {
    TDataCursor& w = Open("big", true);
    for (int32_t k = 1; k <= 4000; ++k) Insert(w, {{1, k}, {2, k}});
    w.Close();
  }
  int32_t seen = 0;  // the record count as the reader saw it before the deletes
  struct Case {
    const char* Name;
    std::function<void(TDataCursor&)> Prepare;  // positions the reader (fills part of its cache)
    std::function<int32_t(TDataCursor&)> Act;   // answers the record number seen afterwards
  } cases[] = {
      {"Last", [](TDataCursor& a) { a.First(); },
       [](TDataCursor& a) {
         std::vector<uint8_t> r(a.GetRecordSize());
         a.Last();
         EXPECT_EQ(a.GetPriorRecord(r.data()), 0);
         return a.GetRecNo();
       }},
      {"SetRecNo", [&seen](TDataCursor& a) { seen = a.GetRecordCount(); },
       [&seen](TDataCursor& a) {
         a.SetRecNo(seen - 1);  // beyond the end now: EOF
         return a.GetRecNo();
       }},
      {"FilteredGetRecNo",
       [this](TDataCursor& a) {
         TFilter* f = a.AddFilter(nullptr, "B > 0", false, false, false, false);
         a.ActivateFilter(f);
         std::vector<uint8_t> r(a.GetRecordSize());
         ASSERT_TRUE(Find(a, 3000, r));
       },
       [](TDataCursor& a) { return a.GetRecNo(); }},
  };
  int32_t last = 4000;
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.Name);
    TDataCursor reader(directory_);
    reader.SetTableName("big");
    reader.Open();
    cs.Prepare(reader);
    // The other user deletes the last few records.
    {
      TDataCursor writer(Other());
      writer.SetTableName("big");
      writer.Open();
      std::vector<uint8_t> r = Buffer(writer);
      writer.Last();
      for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(writer.GetPriorRecord(r.data()), 0);
        writer.DeleteRecord(r.data(), true);
      }
      last -= 5;
    }
    int32_t recNo = -1;
    EXPECT_EQ(ErrorCode([&] { recNo = cs.Act(reader); }), 0);
    EXPECT_GE(recNo, 1);
    EXPECT_LE(recNo, last);
    EXPECT_EQ(ErrorCode([&] { EXPECT_EQ(reader.GetRecordCount(), last); }), 0);
  }
}

// Fault: GetCurrentRecord with the lock flag locks the current record, but when the lock's change
// check moves the cursor (another user deleted the record) it unlocks the record it moved to and
// keeps the first lock: the slot, reused by the next insert, is then refused to everyone (10258).
TEST_F(CursorTwoUsersTest, ChangedRecordLockIsReleased) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  Create("locks", d);
  TDataCursor& a = Open("locks");
  for (int32_t k = 1; k <= 3; ++k) Insert(a, {{1, k}, {2, 0}});
  TDataCursor& b = Open("locks", false, Other());
  std::vector<uint8_t> ra = Buffer(a), rb = Buffer(b);
  a.First();
  ASSERT_EQ(a.GetNextRecord(ra.data()), 0);  // key 1
  ASSERT_TRUE(Find(b, 1, rb));
  b.DeleteRecord(rb.data(), true);
  EXPECT_EQ(ErrorCode([&] { a.GetCurrentRecord(ra.data(), true); }), kErrRecordChanged);
  // The other user's next insert takes the freed slot and must be able to lock it.
  EXPECT_EQ(ErrorCode([&] { Insert(b, {{1, 9}, {2, 0}}); }), 0);
  EXPECT_EQ(ErrorCode([&] { Insert(b, {{1, 10}, {2, 0}}); }), 0);
}

// A transaction's span of record locks (the lock an UPDATE of many rows takes instead of one per
// row) against another user's record locks: a span over a record the other holds is refused, the
// other cannot lock records of a held span, the span goes with the commit, and a record locked
// inside the span and still held keeps its own lock afterwards.
TEST_F(CursorTwoUsersTest, RecordSpanYieldsToOthersAndEndsWithTheTransaction) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  Create("span", d);
  TDataCursor& a = Open("span");
  for (int32_t k = 1; k <= 10; ++k) Insert(a, {{1, k}, {2, 0}});
  TDataCursor& b = Open("span", false, Other());
  a.SetIndexNumber(kPhysicalOrder);
  // Bookmarks of records 2 and 8 (physical order: record n holds key n).
  std::vector<uint8_t> r = Buffer(a), from(a.GetBookmarkSize()), to(a.GetBookmarkSize());
  a.First();
  for (int n = 1; n <= 8; ++n) {
    ASSERT_EQ(a.GetNextRecord(r.data()), 0);
    if (n == 2) a.GetBookmark(from.data());
    if (n == 8) a.GetBookmark(to.data());
  }
  auto lockB = [&](uint32_t n) { return ErrorCode([&] { b.LockRecord(n); }); };

  b.LockRecord(5);
  directory_->StartTransaction();
  EXPECT_FALSE(a.LockRecordSpan(from.data(), to.data())) << "the other holds record 5";
  EXPECT_EQ(ErrorCode([&] { a.LockRecord(5); }), kErrRecordInUse) << "per record as before";
  b.UnlockRecord(5);
  ASSERT_TRUE(a.LockRecordSpan(from.data(), to.data()));
  EXPECT_FALSE(a.LockRecordSpan(from.data(), to.data())) << "one span at a time";
  for (uint32_t n : {2u, 6u, 8u}) EXPECT_EQ(lockB(n), kErrRecordInUse) << n;
  for (uint32_t n : {1u, 9u}) {
    EXPECT_EQ(lockB(n), 0) << n;
    b.UnlockRecord(n);
  }
  a.LockRecord(3);  // kept past the transaction
  a.LockRecord(4);
  a.UnlockRecord(4);  // released with the transaction
  directory_->Commit(true);
  EXPECT_EQ(lockB(3), kErrRecordInUse) << "a still holds record 3";
  for (uint32_t n : {2u, 4u, 6u, 8u}) {
    EXPECT_EQ(lockB(n), 0) << n;
    b.UnlockRecord(n);
  }
  a.UnlockRecord(3);
  EXPECT_EQ(lockB(3), 0);
  b.UnlockRecord(3);

  // A rollback ends the span as well; outside a transaction there is none.
  directory_->StartTransaction();
  ASSERT_TRUE(a.LockRecordSpan(from.data(), to.data()));
  EXPECT_EQ(lockB(5), kErrRecordInUse);
  directory_->Rollback();
  EXPECT_EQ(lockB(5), 0);
  b.UnlockRecord(5);
  EXPECT_FALSE(a.LockRecordSpan(from.data(), to.data()));
}

// Fault: the table write lock is not counted: the first insert, modify or delete made under
// LockTableForWrite releases it at its end, so another user writes while the holder still
// believes the table is locked for it.
TEST_F(CursorTwoUsersTest, TableWriteLockOutlivesOwnWrites) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  Create("wl", d);
  TDataCursor& a = Open("wl");
  TDataCursor& b = Open("wl", false, Other());
  Insert(a, {{1, 1}, {2, 0}});
  a.LockTableForWrite();
  a.LockTableForWrite();  // counted: two unlocks release it
  EXPECT_EQ(ErrorCode([&] { Insert(b, {{1, 100}, {2, 0}}); }), kErrGeneralLock) << "before a writes";
  std::vector<uint8_t> r = Buffer(a);
  const std::pair<const char*, std::function<void()>> writes[] = {
      {"insert", [&] { Insert(a, {{1, 2}, {2, 0}}); }},
      {"modify",
       [&] {
         ASSERT_TRUE(Find(a, 2, r));
         int32_t v = 7;
         a.SetFieldData(2, r.data(), &v);
         a.ModifyRecord(r.data(), true, true);
       }},
      {"delete",
       [&] {
         ASSERT_TRUE(Find(a, 2, r));
         a.DeleteRecord(r.data(), true);
       }},
      {"flush", [&] { a.FlushBuffers(); }},
  };
  int32_t key = 100;
  for (const auto& [name, write] : writes) {
    write();
    EXPECT_EQ(ErrorCode([&] { Insert(b, {{1, ++key}, {2, 0}}); }), kErrGeneralLock) << "after a's own " << name;
  }
  a.UnlockTableForWrite();
  EXPECT_EQ(ErrorCode([&] { Insert(b, {{1, ++key}, {2, 0}}); }), kErrGeneralLock) << "after the first unlock";
  a.UnlockTableForWrite();
  EXPECT_EQ(ErrorCode([&] { Insert(b, {{1, ++key}, {2, 0}}); }), 0);
}

// Fault: a record read that answers "retry" (another user changed the table on disk) is taken
// for a missing record: switching the index jumps to the first record, and GotoCursor answers
// 8710, instead of resynchronising and reading again.
TEST_F(CursorTwoUsersTest, RecordReadRetryKeepsThePosition) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32)};
  d.Indexes = {Index("", {1}, true), Index("ByB", {2}, false)};
  Create("switch", d);
  {
    TDataCursor& w = Open("switch", true);
    for (int32_t k = 1; k <= 500; ++k) Insert(w, {{1, k}, {2, k}});
    w.Close();
  }
  int32_t added = 1000;
  struct Case {
    const char* Name;
    std::function<void(TDataCursor& a, TDataCursor& other)> Act;  // ends with a on key 250
  } cases[] = {
      {"SwitchToIndex", [](TDataCursor& a, TDataCursor&) { a.SwitchToIndex("ByB"); }},
      {"GotoCursor", [](TDataCursor& a, TDataCursor& other) { EXPECT_EQ(a.GotoCursor(other), 0); }},
  };
  for (const Case& cs : cases) {
    SCOPED_TRACE(cs.Name);
    TDataCursor a(directory_), other(directory_);
    for (TDataCursor* c : {&a, &other}) {
      c->SetTableName("switch");
      c->Open();
    }
    // Both cursors have pages of both indexes cached, but not the record they will need.
    a.SwitchToIndex("ByB");
    a.First();
    a.SwitchToIndex("");
    other.SetRecNo(250);  // positions without reading the record
    a.SetRecNo(250);
    {
      TDataCursor b(Other());
      b.SetTableName("switch");
      b.Open();
      ++added;
      Insert(b, {{1, added}, {2, added}});
    }
    cs.Act(a, other);
    std::vector<uint8_t> r = Buffer(a);
    ASSERT_EQ(a.GetCurrentRecord(r.data()), 0);
    EXPECT_EQ(Int(a, r, 1), 250);
    EXPECT_EQ(a.GetRecNo(), 250);
  }
}

// Random reads of one user against random writes of another (another session on the same
// files): whatever "retry" the reader's page and record fetches meet, no error escapes, positions
// stay inside the counts, and once the reader looks at the files afresh it sees the writer's table.
TEST_F(CursorTwoUsersTest, RandomReadsAgainstAnotherWriterNeverFail) {
  for (bool filtered : {false, true}) {
    SCOPED_TRACE(filtered ? "filtered" : "plain");
    session_->StrictChangeDetection = false;
    TTableDefinition d;
    // Long string keys spread the indexes over more pages than a reader keeps cached.
    d.Data.Fields = {Field("A", fldInt32), Field("B", fldZString, 60)};
    d.Indexes = {Index("", {1}, true), Index("ByB", {2}, false)};
    const std::string table = filtered ? "mixf" : "mixp";
    Create(table, d);
    std::mt19937 rng(filtered ? 7 : 11);
    std::set<int32_t> model;
    auto put = [&](TDataCursor& c, int32_t a) {
      std::vector<uint8_t> b = Buffer(c);
      c.InitRecord(b.data());
      const std::string text = std::string(50, 'k') + std::to_string(1000000 + a);
      c.SetFieldData(1, b.data(), &a);
      c.SetFieldData(2, b.data(), text.c_str());
      c.InsertRecord(b.data(), false);
      model.insert(a);
    };
    {
      TDataCursor& w = Open(table, true);
      for (int32_t a = 1; a <= 2000; ++a) put(w, a * 10);
      w.Close();
    }
    TDataCursor& reader = Open(table);
    TDataCursor& mate = Open(table);  // a second cursor of the reader's, for GotoCursor
    TDataCursor& writer = Open(table, false, Other());
    other_->ForceBufferFlush = true;  // no file syncs: the test is about what the reader sees
    if (filtered) reader.ActivateFilter(reader.AddFilter(nullptr, "A > 15000", false, false, false, false));
    std::vector<uint8_t> r = Buffer(reader);
    bool byB = false, ranged = false;
    for (int step = 0; step < 250; ++step) {
      for (int n = std::uniform_int_distribution<int>(1, 3)(rng); n > 0; --n) {
        if (rng() % 2 == 0 || model.size() < 100) {
          int32_t a;
          do a = std::uniform_int_distribution<int32_t>(1, 40000)(rng);
          while (model.count(a));
          put(writer, a);
        } else {
          auto it = model.begin();
          std::advance(it, static_cast<long>(rng() % model.size()));
          std::vector<uint8_t> w = Buffer(writer);
          ASSERT_TRUE(Find(writer, *it, w));
          writer.DeleteRecord(w.data(), false);
          model.erase(it);
        }
      }
      const int op = static_cast<int>(rng() % 10);
      SCOPED_TRACE(op);
      ASSERT_EQ(ErrorCode([&] {
                  auto anyOf = [](int rc, std::initializer_list<int> codes) {
                    return std::find(codes.begin(), codes.end(), rc) != codes.end();
                  };
                  const int32_t count = reader.GetRecordCount();
                  switch (op) {
                    case 0:
                      reader.First();
                      EXPECT_TRUE(anyOf(reader.GetNextRecord(r.data()), {0, kErrEndOfFile}));
                      break;
                    case 1:
                      reader.Last();
                      EXPECT_TRUE(anyOf(reader.GetPriorRecord(r.data()), {0, kErrBeginningOfFile}));
                      break;
                    case 2:
                      if (count > 0) reader.SetRecNo(std::uniform_int_distribution<int32_t>(1, count)(rng));
                      break;
                    case 3:
                      EXPECT_TRUE(anyOf(reader.GetNextRecord(r.data()), {0, kErrEndOfFile}));
                      break;
                    case 4:
                      EXPECT_TRUE(anyOf(reader.GetPriorRecord(r.data()), {0, kErrBeginningOfFile}));
                      break;
                    case 5:
                      if (!byB) Find(reader, std::uniform_int_distribution<int32_t>(1, 40000)(rng), r);
                      break;
                    case 6:
                      byB = !byB;
                      reader.SwitchToIndex(byB ? "ByB" : "");
                      ranged = false;
                      break;
                    case 7:
                      mate.SetRecNo(std::uniform_int_distribution<int32_t>(1, 2000)(rng));
                      EXPECT_TRUE(anyOf(reader.GotoCursor(mate), {0, kErrRecordNotFound}));
                      break;
                    case 8:
                      if (ranged) {
                        reader.CancelRange();
                      } else if (!byB) {
                        const int32_t low = std::uniform_int_distribution<int32_t>(1, 30000)(rng), high = low + 5000;
                        std::vector<uint8_t> start = Buffer(reader), end = Buffer(reader);
                        reader.InitRecord(start.data());
                        reader.InitRecord(end.data());
                        reader.SetFieldData(1, start.data(), &low);
                        reader.SetFieldData(1, end.data(), &high);
                        reader.SetRange(false, start.data(), 1, end.data(), 1);
                      }
                      ranged = !ranged && !byB;
                      break;
                    default:
                      EXPECT_TRUE(anyOf(reader.GetCurrentRecord(r.data()),
                                        {0, kErrBeginningOfFile, kErrEndOfFile, kErrNoCurrentRecord}));
                      break;
                  }
                  const int32_t recNo = reader.GetRecNo(), after = reader.GetRecordCount();
                  EXPECT_GE(recNo, 0);
                  EXPECT_LE(recNo, after);
                }),
              0);
    }
    // Looking at the files afresh, the reader sees exactly the writer's records.
    session_->StrictChangeDetection = true;
    reader.CancelRange();
    reader.SwitchToIndex("");
    std::vector<int32_t> seen, expected;
    reader.First();
    while (reader.GetNextRecord(r.data()) == 0) seen.push_back(Int(reader, r, 1));
    for (int32_t a : model)
      if (!filtered || a > 15000) expected.push_back(a);
    EXPECT_EQ(seen, expected);
    EXPECT_EQ(reader.GetRecordCount(), static_cast<int32_t>(expected.size()));
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
