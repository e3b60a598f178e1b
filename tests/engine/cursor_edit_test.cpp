// Cursor opening, options, editing and locks: defaults, required and limit checks, duplicate
// keys leaving nothing behind, record ids (generated, given, unique), BLOB chains freed on
// delete, BLOB values copied by NewRecord and their null state while open, record numbers
// reused with their status keys, field values, inserts that keep the position, calls on a
// closed cursor, and two users of one table seeing each other's changes and locks.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/store/blob_buffer.h"
#include "engine/store/blob_file.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/expr/expr_convert.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "file_test_support.h"
#include "table_test_support.h"
#include "platform/date_time.h"

namespace tovenmarsh::engine {
namespace {

using testing::ErrorCode;
using testing::Field;
using testing::Index;

class CursorEditTest : public testing::EngineDirectoryTest {
 protected:
  void SetUp() override {
    EngineDirectoryTest::SetUp();
    ShortLockWaits(session_);
  }
  static std::vector<uint8_t> Buffer(TDataCursor& c) { return std::vector<uint8_t>(c.GetRecordSize()); }
  static int32_t Int(TDataCursor& c, const std::vector<uint8_t>& b, uint32_t field) {
    int32_t v = 0;
    c.GetFieldData(field, b.data(), &v);
    return v;
  }
  static std::string Text(TDataCursor& c, const std::vector<uint8_t>& b, uint32_t field) {
    char v[256] = {};
    c.GetFieldData(field, b.data(), v);
    return v;
  }
  static std::vector<int32_t> Column(TDataCursor& c, uint32_t field) {
    std::vector<int32_t> out;
    std::vector<uint8_t> b = Buffer(c);
    c.First();
    while (c.GetNextRecord(b.data()) == 0) out.push_back(Int(c, b, field));
    return out;
  }
  static void Insert(TDataCursor& c, std::initializer_list<std::pair<uint32_t, int32_t>> values) {
    std::vector<uint8_t> b = Buffer(c);
    c.InitRecord(b.data());
    for (auto [f, v] : values) c.SetFieldData(f, b.data(), &v);
    c.InsertRecord(b.data(), true);
  }
  static bool Find(TDataCursor& c, int32_t key, std::vector<uint8_t>& out) {
    std::vector<uint8_t> probe = Buffer(c);
    c.InitRecord(probe.data());
    c.SetFieldData(1, probe.data(), &key);
    return c.FindKey(probe.data(), false, out.data(), 0, false, 0);
  }
};

TEST_F(CursorEditTest, DefaultsFillNewRecords) {
  TTableDefinition d;
  FieldDesc date = Field("D", fldDate), time = Field("T", fldTime), stamp = Field("S", fldTimeStamp),
            text = Field("Txt", fldZString, 8), number = Field("N", fldInt32),
            none = Field("None", fldInt32);
  date.DefaultValue = "date";
  time.DefaultValue = "TIME";
  stamp.DefaultValue = "Now";
  text.DefaultValue = "hello";
  number.DefaultValue = "42";
  d.Data.Fields = {date, time, stamp, text, number, none};
  d.Indexes = {Index("", {5}, true)};
  Create("defaults", d);
  TDataCursor& c = Open("defaults");
  const double before = platform::Now();
  std::vector<uint8_t> b = Buffer(c);
  c.InitRecord(b.data());
  const double after = platform::Now();
  const int32_t today = static_cast<int32_t>(std::floor(before)) + kTimeOnlyDay;
  EXPECT_EQ(Int(c, b, 1), today);
  const double ms0 = (before - std::floor(before)) * kMillisecondsPerDay - 1;
  const double ms1 = (after - std::floor(after)) * kMillisecondsPerDay + 1;
  EXPECT_GE(Int(c, b, 2), ms0);
  EXPECT_LE(Int(c, b, 2), ms1);
  double s = 0;
  c.GetFieldData(3, b.data(), &s);
  EXPECT_GE(s, today * static_cast<double>(kMillisecondsPerDay) + ms0);
  EXPECT_LE(s, today * static_cast<double>(kMillisecondsPerDay) + ms1);
  EXPECT_EQ(Text(c, b, 4), "hello");
  EXPECT_EQ(Int(c, b, 5), 42);
  EXPECT_TRUE(c.GetFieldData(6, b.data(), nullptr));
}

TEST_F(CursorEditTest, RequiredMinimumAndMaximum) {
  TTableDefinition d;
  FieldDesc key = Field("Key", fldInt32), req = Field("Req", fldInt32), lim = Field("Lim", fldInt32),
            name = Field("Name", fldZString, 6);
  req.Required = true;
  lim.MinValue = "10";
  lim.MaxValue = "20";
  name.MinValue = "b";
  d.Data.Fields = {key, req, lim, name};
  d.Indexes = {Index("", {1}, true)};
  Create("checks", d);
  TDataCursor& c = Open("checks");
  struct Case {
    bool HasReq;
    int32_t Lim;
    const char* Name;
    uint16_t Code;
    const char* Field;
  } cases[] = {
      {false, 15, "c", kErrValueRequired, "Req"}, {true, 9, "c", kErrBelowMinimum, "Lim"},
      {true, 21, "c", kErrAboveMaximum, "Lim"},   {true, 15, "a", kErrBelowMinimum, "Name"},
      {true, 10, "b", 0, ""},                     {true, 20, "zz", 0, ""},
  };
  int32_t k = 0;
  for (const Case& cs : cases) {
    std::vector<uint8_t> b = Buffer(c);
    c.InitRecord(b.data());
    ++k;
    int32_t one = 1;
    c.SetFieldData(1, b.data(), &k);
    if (cs.HasReq) c.SetFieldData(2, b.data(), &one);
    c.SetFieldData(3, b.data(), &cs.Lim);
    c.SetFieldData(4, b.data(), cs.Name);
    std::string field;
    EXPECT_EQ(ErrorCode([&] { c.InsertRecord(b.data(), true); }, &field), cs.Code) << k;
    EXPECT_EQ(field, cs.Field) << k;
  }
  EXPECT_EQ(c.GetRecordCount(), 2);
}

TEST_F(CursorEditTest, DuplicateKeyLeavesNoKeyBehind) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32), Field("C", fldInt32)};
  d.Indexes = {Index("", {1}, true), Index("ByB", {2}, false), Index("UniqueC", {3}, true)};
  Create("dups", d);
  TDataCursor& c = Open("dups");
  Insert(c, {{1, 1}, {2, 5}, {3, 7}});
  std::string index;
  EXPECT_EQ(ErrorCode([&] { Insert(c, {{1, 2}, {2, 6}, {3, 7}}); }, nullptr, &index), kErrDuplicateKey);
  EXPECT_EQ(index, "UniqueC");
  EXPECT_EQ(ErrorCode([&] { Insert(c, {{1, 1}, {2, 6}, {3, 8}}); }), kErrDuplicateKey);
  for (const char* name : {"", "ByB", "UniqueC"}) {
    c.SwitchToIndex(name);
    EXPECT_EQ(c.GetRecordCount(), 1) << name;
    EXPECT_EQ(Column(c, 1), std::vector<int32_t>{1}) << name;
  }
  EXPECT_EQ(c.GetPhysicalRecordCount(), 1);
  // A modification onto another record's unique key fails and leaves both records as they were.
  Insert(c, {{1, 2}, {2, 6}, {3, 8}});
  c.SwitchToIndex("");
  std::vector<uint8_t> b = Buffer(c);
  int32_t two = 2, seven = 7;
  c.InitRecord(b.data());
  c.SetFieldData(1, b.data(), &two);
  ASSERT_TRUE(c.FindKey(b.data(), false, b.data(), 0, false, 0));
  ASSERT_EQ(c.GetCurrentRecord(b.data(), true), 0);
  c.SetFieldData(3, b.data(), &seven);
  EXPECT_EQ(ErrorCode([&] { c.ModifyRecord(b.data(), true, true); }), kErrDuplicateKey);
  c.UnlockRecord(0);
  c.SwitchToIndex("UniqueC");
  EXPECT_EQ(Column(c, 3), (std::vector<int32_t>{7, 8}));
}

TEST_F(CursorEditTest, RecordIdsGeneratedGivenAndUnique) {
  TTableDefinition d;
  d.Data.Fields = {Field("Id", fldInt32, 0, fldstAutoInc), Field("V", fldInt32)};
  d.Indexes = {Index("", {1}, true), Index("ByV", {2}, false)};
  Create("ids", d);
  TDataCursor& c = Open("ids");
  for (int i = 0; i < 3; ++i) Insert(c, {{2, 9}});
  c.SwitchToIndex("");
  EXPECT_EQ(Column(c, 1), (std::vector<int32_t>{1, 2, 3}));
  c.SetAutoIncWritable(true);
  Insert(c, {{1, 100}, {2, 9}});
  // An id already present is refused: it would make two records' keys equal.
  EXPECT_EQ(ErrorCode([&] { Insert(c, {{1, 2}, {2, 9}}); }), kErrDuplicateKey);
  c.SetAutoIncWritable(false);
  Insert(c, {{2, 9}});
  EXPECT_EQ(Column(c, 1), (std::vector<int32_t>{1, 2, 3, 100, 101}));
  c.SwitchToIndex("ByV");
  EXPECT_EQ(Column(c, 1), (std::vector<int32_t>{1, 2, 3, 100, 101}));  // equal keys in id order
  // Every record can still be found and deleted by its keys.
  std::vector<uint8_t> b = Buffer(c);
  c.First();
  while (c.GetNextRecord(b.data()) == 0) {
    c.DeleteRecord(b.data(), true);
    c.First();
  }
  EXPECT_EQ(c.GetRecordCount(), 0);
  EXPECT_EQ(c.GetPhysicalRecordCount(), 0);
}

TEST_F(CursorEditTest, DeletedLastRecordIsReusedWithAFreshStatusKey) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  Create("reuse", d);
  TDataCursor& c = Open("reuse");
  for (int32_t v : {10, 20, 30}) Insert(c, {{1, v}});
  std::vector<uint8_t> b = Buffer(c);
  c.Last();
  ASSERT_EQ(c.GetPriorRecord(b.data()), 0);
  const uint32_t number = GetU32(b.data(), 1);
  c.DeleteRecord(b.data(), true);
  Insert(c, {{1, 40}});
  c.Last();
  ASSERT_EQ(c.GetPriorRecord(b.data()), 0);
  EXPECT_EQ(GetU32(b.data(), 1), number);
  // The reused record's status key is its own: deleting it again finds it.
  c.DeleteRecord(b.data(), true);
  Insert(c, {{1, 50}});
  EXPECT_EQ(Column(c, 1), (std::vector<int32_t>{10, 20, 50}));
  c.SetIndexNumber(kPhysicalOrder);
  EXPECT_EQ(c.GetRecordCount(), 3);
  // One status key per physical record: no stale key of the former occupant.
  c.SetIndexNumber(kStatusIndex);
  EXPECT_EQ(c.GetRecordCount(), 3);
}

TEST_F(CursorEditTest, BlobChainsFreedOnDelete) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("Memo", fldBlob, 0, fldstMemo)};
  d.Indexes = {Index("", {1}, true)};
  Create("blobs", d);
  TDataCursor& c = Open("blobs");
  TBlobFile& blobs = *c.Table()->Blob();
  const std::string text(3000, 'x');
  std::vector<uint8_t> b = Buffer(c);
  c.InitRecord(b.data());
  int32_t one = 1;
  c.SetFieldData(1, b.data(), &one);
  uint32_t first = 0;
  {
    TTableGuard guard(*c.Table());
    first = blobs.WriteValue(0, 1, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  c.SetFieldData(2, b.data(), &first);
  c.InsertRecord(b.data(), true);
  const uint32_t end = blobs.EndOffset();
  ASSERT_EQ(c.GetCurrentRecord(b.data(), true), 0);
  EXPECT_EQ(blobs.FreeHead(), 0u);
  // Replacing the value by a new chain frees the old one, which the next chain reuses.
  uint32_t second = 0;
  {
    TTableGuard guard(*c.Table());
    second = blobs.WriteValue(0, 3, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  const uint32_t grown = blobs.EndOffset();
  EXPECT_GT(grown, end);
  c.SetFieldData(2, b.data(), &second);
  c.ModifyRecord(b.data(), true, true);
  EXPECT_NE(blobs.FreeHead(), 0u);
  {
    TTableGuard guard(*c.Table());
    first = blobs.WriteValue(0, 4, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  EXPECT_EQ(blobs.EndOffset(), grown);
  EXPECT_EQ(blobs.FreeHead(), 0u);
  ASSERT_EQ(c.GetCurrentRecord(b.data()), 0);
  c.DeleteRecord(b.data(), true);
  EXPECT_NE(blobs.FreeHead(), 0u);
  // The freed blocks take the next value: the file does not grow.
  {
    TTableGuard guard(*c.Table());
    blobs.WriteValue(0, 2, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  EXPECT_EQ(blobs.EndOffset(), grown);
}

TEST_F(CursorEditTest, BlobValuesThroughTheCursor) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("Memo", fldBlob, 0, fldstMemo)};
  d.Indexes = {Index("", {1}, true)};
  Create("memos", d);
  TDataCursor& c = Open("memos");
  std::vector<uint8_t> b = Buffer(c);
  c.InitRecord(b.data());
  int32_t one = 1;
  c.SetFieldData(1, b.data(), &one);
  EXPECT_EQ(c.OpenBlob(1, b.data(), 2), kErrInvalidBlobField);
  ASSERT_EQ(c.OpenBlob(2, b.data(), 2), 0);
  const std::string text(2000, 'm');
  ASSERT_EQ(c.WriteBlob(2, b.data(), 0, static_cast<uint32_t>(text.size()), reinterpret_cast<const uint8_t*>(text.data())), 0);
  EXPECT_FALSE(c.GetFieldData(2, b.data(), nullptr));  // the open value has contents
  c.InsertRecord(b.data(), true);
  EXPECT_EQ(c.CloseBlob(2, b.data()), 0);
  c.CloseAllBlobs();
  // Read back from the stored record.
  std::vector<uint8_t> r = Buffer(c);
  ASSERT_EQ(c.GetCurrentRecord(r.data()), 0);
  ASSERT_EQ(c.GetCurrentRecord(r.data(), true), 0);  // locking checks the copy just read
  ASSERT_EQ(c.OpenBlob(2, r.data(), 2), 0);
  uint32_t size = 0;
  ASSERT_EQ(c.GetBlobSize(2, r.data(), &size), 0);
  EXPECT_EQ(size, text.size());
  std::string back(size, '\0');
  uint32_t count = 0;
  ASSERT_EQ(c.ReadBlob(2, r.data(), 0, size, reinterpret_cast<uint8_t*>(back.data()), &count), 0);
  EXPECT_EQ(back, text);
  EXPECT_EQ(c.ReadBlob(2, r.data(), size, 10, reinterpret_cast<uint8_t*>(back.data()), &count), kErrEndOfBlob);
  // A shorter value rewrites the chain in place.
  ASSERT_EQ(c.TruncateBlob(2, r.data(), 5), 0);
  c.ModifyRecord(r.data(), true, true);
  c.CloseAllBlobs();
  ASSERT_EQ(c.GetCurrentRecord(r.data()), 0);
  ASSERT_EQ(c.OpenBlob(2, r.data(), 1), 0);
  ASSERT_EQ(c.GetBlobSize(2, r.data(), &size), 0);
  EXPECT_EQ(size, 5u);
  c.CloseAllBlobs();
  ASSERT_EQ(c.GetCurrentRecord(r.data()), 0);
  c.DeleteRecord(r.data(), true);
  EXPECT_NE(c.Table()->Blob()->FreeHead(), 0u);
}

TEST_F(CursorEditTest, FieldValues) {
  TTableDefinition d;
  FieldDesc upper = Field("Up", fldZString, 5);
  upper.Case = ccUpper;
  d.Data.Fields = {Field("S", fldZString, 5), upper, Field("B", fldBool)};
  d.Indexes = {Index("", {1}, true)};
  Create("values", d);
  TDataCursor& c = Open("values");
  std::vector<uint8_t> b = Buffer(c);
  c.InitRecord(b.data());
  c.SetFieldData(1, b.data(), "");
  EXPECT_TRUE(c.GetFieldData(1, b.data(), nullptr));
  c.SetFieldData(1, b.data(), "abc   ");
  EXPECT_EQ(Text(c, b, 1), "abc");
  c.SetFieldData(1, b.data(), "abcdefgh");
  EXPECT_EQ(Text(c, b, 1), "abcde");
  c.SetFieldData(2, b.data(), "mIx");
  EXPECT_EQ(Text(c, b, 2), "MIX");
  const uint16_t seven = 7;
  c.SetFieldData(3, b.data(), &seven);
  uint16_t flag = 0;
  c.GetFieldData(3, b.data(), &flag);
  EXPECT_EQ(flag, 1);
  EXPECT_EQ(ErrorCode([&] { c.GetFieldDesc(4); }), kErrInvalidField);
}

TEST_F(CursorEditTest, RecordSourceOfExpressions) {
  TTableDefinition d;
  d.Data.Fields = {Field("Id", fldInt32, 0, fldstAutoInc), Field("Name", fldZString, 8), Field("Memo", fldBlob, 0, fldstMemo)};
  d.Indexes = {Index("", {1}, true)};
  Create("source", d);
  TDataCursor& c = Open("source");
  std::vector<uint8_t> b = Buffer(c);
  c.InitRecord(b.data());
  c.SetFieldData(2, b.data(), "abc");
  uint32_t first = 0;
  {
    TTableGuard guard(*c.Table());
    first = c.Table()->Blob()->WriteValue(0, 0, reinterpret_cast<const uint8_t*>("memo text"), 9);
  }
  c.SetFieldData(3, b.data(), &first);
  c.InsertRecord(b.data(), true);
  ASSERT_EQ(c.GetCurrentRecord(b.data()), 0);
  TColumnResolver resolve = MakeColumnResolver(c);
  TFieldReader read = MakeFieldReader(c);
  for (const char* name : {"id", "NAME", "memo"}) {
    TExpToken node;
    node.FieldName = name;
    ASSERT_TRUE(resolve(node)) << name;
    ASSERT_TRUE(read(b.data(), node)) << name;
    EXPECT_FALSE(node.IsNull) << name;
  }
  TExpToken unknown;
  unknown.FieldName = "nothing";
  EXPECT_FALSE(resolve(unknown));
  TExpToken memo;
  memo.FieldName = "Memo";
  ASSERT_TRUE(resolve(memo));
  ASSERT_TRUE(read(b.data(), memo));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(memo.Data)), "memo text");
  TExpToken id;
  id.FieldName = "Id";
  ASSERT_TRUE(resolve(id));
  ASSERT_TRUE(read(b.data(), id));
  EXPECT_EQ(id.Get<int32_t>(), 1);
}

TEST_F(CursorEditTest, AccentEqualKeyChangeIsNoDuplicate) {
  TTableDefinition d;
  d.Data.Fields = {Field("Id", fldInt32), Field("Word", fldZString, 10)};
  d.Data.LanguageId = 1033;
  d.Indexes = {Index("", {1}, true), Index("ByWord", {2}, true)};
  Create("accents", d);
  TDataCursor& c = Open("accents");
  std::vector<uint8_t> b = Buffer(c);
  c.InitRecord(b.data());
  int32_t one = 1;
  c.SetFieldData(1, b.data(), &one);
  c.SetFieldData(2, b.data(), "resume");
  c.InsertRecord(b.data(), true);
  ASSERT_EQ(c.GetCurrentRecord(b.data(), true), 0);
  c.SetFieldData(2, b.data(), "r\xE9sum\xE9");
  EXPECT_EQ(ErrorCode([&] { c.ModifyRecord(b.data(), true, true); }), 0);
  ASSERT_EQ(c.GetCurrentRecord(b.data()), 0);
  EXPECT_EQ(Text(c, b, 2), "r\xE9sum\xE9");
  // Another record with the accent-equal word is a duplicate.
  int32_t two = 2;
  c.SetFieldData(1, b.data(), &two);
  c.SetFieldData(2, b.data(), "resume");
  EXPECT_EQ(ErrorCode([&] { c.InsertRecord(b.data(), true); }), kErrDuplicateKey);
}

// Inserts that keep the position leave it to the next operation to bring up to date: what
// that operation sees must be what it would have seen with the position kept after each insert
// (the cracks move to the new first or last record, sequence numbers count the new records, a
// second cursor going to this one finds the right record).
TEST_F(CursorEditTest, InsertsKeepingThePositionAreSeenByTheNextOperation) {
  enum TStart { kAtStart, kAtEnd, kOnThirty, kEmpty, kOnThirtyInRange };
  struct TCase {
    const char* Name;
    TStart Start;
    std::vector<int32_t> Inserted;
    int32_t GotoKey;    // the record a second cursor finds going to this one (0: none)
    int32_t RecNo;      // then: the sequence number (a crack's is its record's)
    int32_t Count;      // the records in the cursor's range
    int32_t StepKey;    // the record the next step (forward, backward at the end) reads
  };
  const std::vector<TCase> cases = {
      {"start", kAtStart, {5, 60}, 5, 1, 7, 5},
      {"end", kAtEnd, {5, 60}, 60, 7, 7, 60},
      {"middle", kOnThirty, {15, 25, 35}, 30, 5, 8, 35},
      {"empty", kEmpty, {7}, 0, 1, 1, 7},
      {"range", kOnThirtyInRange, {25, 45, 5}, 30, 3, 4, 40},
  };
  int tableNo = 0;
  for (const TCase& k : cases) {
    SCOPED_TRACE(k.Name);
    TTableDefinition d;
    d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32)};
    d.Indexes = {Index("", {1}, true), Index("ByB", {2}, false)};
    const std::string name = "keep" + std::to_string(++tableNo);
    Create(name, d);
    TDataCursor& c = Open(name);
    TDataCursor& other = Open(name);
    std::vector<uint8_t> b = Buffer(c);
    if (k.Start != kEmpty)
      for (int32_t a = 10; a <= 50; a += 10) Insert(c, {{1, a}, {2, a}});
    if (k.Start == kOnThirtyInRange) {
      std::vector<uint8_t> lo = Buffer(c), hi = Buffer(c);
      int32_t from = 20, to = 40;
      c.InitRecord(lo.data());
      c.InitRecord(hi.data());
      c.SetFieldData(1, lo.data(), &from);
      c.SetFieldData(1, hi.data(), &to);
      c.SetRange(false, lo.data(), 1, hi.data(), 1);
    }
    if (k.Start == kAtEnd) c.Last();
    else c.First();
    if (k.Start == kOnThirty || k.Start == kOnThirtyInRange)
      while (c.GetNextRecord(b.data()) == 0 && Int(c, b, 1) != 30) {
      }
    for (int32_t a : k.Inserted) {
      c.InitRecord(b.data());
      c.SetFieldData(1, b.data(), &a);
      c.SetFieldData(2, b.data(), &a);
      c.InsertRecord(b.data(), false);
    }
    std::vector<uint8_t> ob = Buffer(other);
    if (k.GotoKey != 0) {
      ASSERT_EQ(other.GotoCursor(c), 0);
      ASSERT_EQ(other.GetCurrentRecord(ob.data()), 0);
      EXPECT_EQ(Int(other, ob, 1), k.GotoKey);
    }
    EXPECT_EQ(c.GetRecNo(), k.RecNo);
    EXPECT_EQ(c.GetRecordCount(), k.Count);
    ASSERT_EQ(k.Start == kAtEnd ? c.GetPriorRecord(b.data()) : c.GetNextRecord(b.data()), 0);
    EXPECT_EQ(Int(c, b, 1), k.StepKey);
  }
}

TEST_F(CursorEditTest, CloneKeepsIndexRangeAndRecord) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32)};
  d.Indexes = {Index("", {1}, true), Index("ByB", {2}, false)};
  Create("clone", d);
  TDataCursor& c = Open("clone", true);
  for (int32_t i = 1; i <= 10; ++i) Insert(c, {{1, i}, {2, 10 - i}});
  c.SwitchToIndex("ByB");
  std::vector<uint8_t> lo = Buffer(c), hi = Buffer(c), b = Buffer(c);
  int32_t three = 3, six = 6;
  c.InitRecord(lo.data());
  c.InitRecord(hi.data());
  c.SetFieldData(2, lo.data(), &three);
  c.SetFieldData(2, hi.data(), &six);
  c.SetRange(false, lo.data(), 1, hi.data(), 1);
  c.First();
  ASSERT_EQ(c.GetNextRecord(b.data()), 0);
  ASSERT_EQ(c.GetNextRecord(b.data()), 0);
  std::unique_ptr<TDataCursor> clone = c.Clone();
  EXPECT_EQ(clone->GetRecordCount(), 4);
  EXPECT_EQ(clone->GetRecNo(), 2);
  std::vector<uint8_t> cb = Buffer(c);
  ASSERT_EQ(clone->GetCurrentRecord(cb.data()), 0);
  EXPECT_EQ(cb, b);
  EXPECT_EQ(Column(*clone, 1), (std::vector<int32_t>{7, 6, 5, 4}));
  // A new record from the current one: the values without the record's identity.
  ASSERT_EQ(c.NewRecord(b.data()), 0);
  EXPECT_EQ(Int(c, b, 2), 4);
  EXPECT_EQ(GetU32(b.data(), 1), 0u);
  int32_t eleven = 11;
  c.SetFieldData(1, b.data(), &eleven);
  c.InsertRecord(b.data(), true);
  EXPECT_EQ(c.GetRecordCount(), 5);
}

TEST_F(CursorEditTest, OptionsAndOpeningRules) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  Create("rules", d);
  TDataCursor& c = Open("rules", true);
  for (const std::function<void()>& set : std::vector<std::function<void()>>{
           [&] { c.SetExclusive(false); }, [&] { c.SetReadOnly(true); }, [&] { c.SetTableName("x"); },
           [&] { c.SetInMemory(true); }, [&] { c.SetShareExclusive(true); }, [&] { c.SetPhysicalOrder(true); }})
    EXPECT_EQ(ErrorCode(set), kErrTableInUse);
  EXPECT_EQ(ErrorCode([&] { c.SetQueryResult(true); }), 0);
  EXPECT_EQ(ErrorCode([&] { c.SetPhysicalOrder(false); }), 0);  // unchanged value
  TDataCursor other(directory_);
  other.SetTableName("rules");
  EXPECT_EQ(ErrorCode([&] { other.Open(); }), kErrAccessDenied);
  other.SetShareExclusive(true);
  EXPECT_EQ(ErrorCode([&] { other.Open(); }), 0);
  other.Close();
  // A table name never leaves the database directory.
  TDataCursor outside(directory_);
  for (const char* name : {"../escape", "/tmp/abs", "sub/table", "..\\x"})
    EXPECT_EQ(ErrorCode([&] { outside.SetTableName(name); }), kErrInvalidPath) << name;
  outside.SetTableName(" Rules.dat ");
  EXPECT_EQ(outside.TableName(), "Rules.dat");
  outside.SetTableName("rules.txt");
  EXPECT_EQ(outside.TableName(), "rules.DAT");
}

TEST_F(CursorEditTest, TwoSessionsSeeChangesAndLocks) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  Create("shared", d);
  session_->StrictChangeDetection = true;
  TDataSession* other = CreateEngineSession();
  other->StrictChangeDetection = true;
  other->LockRetryCount = 1;
  other->LockWaitTime = 1;
  other->TableLockRetries = 3;
  TDataDirectory* second = other->OpenDirectory("db", scratch_.Path());
  {
    TDataCursor& a = Open("shared");
    TDataCursor b(second);
    b.SetTableName("shared");
    b.Open();
    Insert(a, {{1, 1}, {2, 0}});
    Insert(a, {{1, 2}, {2, 0}});
    EXPECT_EQ(Column(b, 1), (std::vector<int32_t>{1, 2}));
    Insert(b, {{1, 3}, {2, 0}});
    EXPECT_EQ(Column(a, 1), (std::vector<int32_t>{1, 2, 3}));
    // A record locked by one user is refused to the other.
    std::vector<uint8_t> ra = Buffer(a), rb = Buffer(b);
    a.First();
    ASSERT_EQ(a.GetNextRecord(ra.data()), 0);
    ASSERT_EQ(a.GetCurrentRecord(ra.data(), true), 0);
    b.First();
    ASSERT_EQ(b.GetNextRecord(rb.data()), 0);
    EXPECT_EQ(ErrorCode([&] { b.GetCurrentRecord(rb.data(), true); }), kErrRecordInUse);
    int32_t nine = 9;
    a.SetFieldData(2, ra.data(), &nine);
    a.ModifyRecord(ra.data(), true, true);
    // b's copy is stale now: locking it reports the change, deleting it is refused.
    EXPECT_EQ(ErrorCode([&] { b.GetCurrentRecord(rb.data(), true); }), kErrRecordChanged);
    EXPECT_EQ(ErrorCode([&] { b.DeleteRecord(rb.data(), true); }), kErrRecordChanged);
    ASSERT_EQ(b.GetCurrentRecord(rb.data()), 0);
    EXPECT_EQ(Int(b, rb, 2), 9);
    b.Close();
  }
  other->CloseDirectory(second);
  FreeEngineSession(other);
}

// Fault: NewRecord clears the BLOB fields of the copy instead of copying their contents into new
// BLOB buffers, so a record copied with NewRecord loses its memo.
TEST_F(CursorEditTest, NewRecordCopiesBlobContents) {
  TTableDefinition d;
  FieldDesc memo = Field("Memo", fldBlob, 0, fldstMemo);
  memo.Required = true;  // an open value counts by its contents, not by the indicator byte
  d.Data.Fields = {Field("A", fldInt32), memo};
  d.Indexes = {Index("", {1}, true)};
  Create("memos", d);
  TDataCursor& c = Open("memos");
  const std::string text = "the memo of record one";
  std::vector<uint8_t> b = Buffer(c);
  c.InitRecord(b.data());
  int32_t one = 1, two = 2;
  c.SetFieldData(1, b.data(), &one);
  ASSERT_EQ(c.OpenBlob(2, b.data(), TBlobBufferList::kReadWrite), 0);
  EXPECT_EQ(ErrorCode([&] { c.InsertRecord(b.data(), true); }), kErrValueRequired) << "empty open value";
  ASSERT_EQ(c.WriteBlob(2, b.data(), 0, static_cast<uint32_t>(text.size()),
                        reinterpret_cast<const uint8_t*>(text.data())),
            0);
  c.InsertRecord(b.data(), true);
  c.CloseAllBlobs();

  std::vector<uint8_t> copy = Buffer(c);
  ASSERT_EQ(c.NewRecord(copy.data()), 0);
  c.SetFieldData(1, copy.data(), &two);
  c.InsertRecord(copy.data(), true);
  c.CloseAllBlobs();

  std::vector<uint8_t> r = Buffer(c);
  ASSERT_TRUE(Find(c, 2, r));
  ASSERT_FALSE(c.GetFieldData(2, r.data(), nullptr)) << "the copy's memo is null";
  ASSERT_EQ(c.OpenBlob(2, r.data(), TBlobBufferList::kRead), 0);
  uint32_t size = 0, count = 0;
  ASSERT_EQ(c.GetBlobSize(2, r.data(), &size), 0);
  std::string back(size, '\0');
  if (size > 0) {
    ASSERT_EQ(c.ReadBlob(2, r.data(), 0, size, reinterpret_cast<uint8_t*>(back.data()), &count), 0);
  }
  EXPECT_EQ(back, text);
  c.CloseAllBlobs();
  // The two records own separate chains: deleting the original leaves the copy readable.
  ASSERT_TRUE(Find(c, 1, r));
  c.DeleteRecord(r.data(), true);
  ASSERT_TRUE(Find(c, 2, r));
  ASSERT_EQ(c.OpenBlob(2, r.data(), TBlobBufferList::kRead), 0);
  ASSERT_EQ(c.GetBlobSize(2, r.data(), &size), 0);
  EXPECT_EQ(size, text.size());
  c.CloseAllBlobs();
}

// Fault: while a BLOB field holds the handle of an open buffer, GetFieldData answers from the
// stale null-indicator byte instead of from whether the open buffer is empty.
TEST_F(CursorEditTest, OpenBlobNullFollowsItsBuffer) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("Memo", fldBlob, 0, fldstMemo)};
  d.Indexes = {Index("", {1}, true)};
  Create("memos", d);
  TDataCursor& c = Open("memos");
  std::vector<uint8_t> b = Buffer(c);
  c.InitRecord(b.data());
  int32_t one = 1;
  c.SetFieldData(1, b.data(), &one);
  ASSERT_EQ(c.OpenBlob(2, b.data(), TBlobBufferList::kReadWrite), 0);
  EXPECT_TRUE(c.GetFieldData(2, b.data(), nullptr)) << "empty open value";
  const uint8_t abc[] = {'a', 'b', 'c'};
  ASSERT_EQ(c.WriteBlob(2, b.data(), 0, 3, abc), 0);
  EXPECT_FALSE(c.GetFieldData(2, b.data(), nullptr)) << "open value holding 3 bytes";
  // Storing the handle again sets the indicator from the buffer's contents.
  int32_t handle = 0;
  std::memcpy(&handle, b.data() + c.GetFieldDesc(2).Offset + 1, 4);
  c.SetFieldData(2, b.data(), &handle);
  EXPECT_FALSE(c.GetFieldData(2, b.data(), nullptr));
  c.InsertRecord(b.data(), true);
  c.CloseAllBlobs();
  // A stored value truncated to nothing reads as null while open.
  std::vector<uint8_t> r = Buffer(c);
  ASSERT_EQ(c.GetCurrentRecord(r.data()), 0);
  EXPECT_FALSE(c.GetFieldData(2, r.data(), nullptr));
  ASSERT_EQ(c.OpenBlob(2, r.data(), TBlobBufferList::kReadWrite), 0);
  ASSERT_EQ(c.TruncateBlob(2, r.data(), 0), 0);
  EXPECT_TRUE(c.GetFieldData(2, r.data(), nullptr)) << "open value truncated to 0";
  c.CloseAllBlobs();
}

// Fault: after the largest id 2147483647 a generated record id wraps to 1, which a live record
// already holds; the duplicated id makes status keys equal and a later delete finds the other
// record's key (8965).
TEST_F(CursorEditTest, GeneratedIdNeverRepeatsALiveId) {
  TTableDefinition d;
  d.Data.Fields = {Field("Id", fldInt32, 0, fldstAutoInc), Field("V", fldInt32)};
  d.Indexes = {Index("", {2}, true), Index("ById", {1}, false)};
  Create("ids", d);
  TDataCursor& c = Open("ids");
  Insert(c, {{2, 1}});  // id 1
  c.SetAutoIncWritable(true);
  Insert(c, {{1, 3}, {2, 3}});
  Insert(c, {{1, 5}, {2, 5}});
  Insert(c, {{1, 2147483647}, {2, 2}});
  c.SetAutoIncWritable(false);
  // Past the largest id each generated id is the lowest one free: 2, 4, 6.
  for (int32_t v : {10, 11, 12}) EXPECT_EQ(ErrorCode([&] { Insert(c, {{2, v}}); }), 0);
  std::vector<uint8_t> b = Buffer(c);
  std::multiset<int32_t> ids;
  c.First();
  while (c.GetNextRecord(b.data()) == 0) ids.insert(Int(c, b, 1));
  EXPECT_EQ(ids, (std::multiset<int32_t>{1, 2, 3, 4, 5, 6, 2147483647}));
  // Every record can be deleted through its own keys.
  c.First();
  while (c.GetNextRecord(b.data()) == 0) {
    ASSERT_EQ(ErrorCode([&] { c.DeleteRecord(b.data(), true); }), 0) << "V " << Int(c, b, 2);
    c.First();
  }
  EXPECT_EQ(c.GetPhysicalRecordCount(), 0);
}

// A cursor that was never opened (or is closed again) raises on every call that needs its
// table, instead of reaching through a null table.
TEST_F(CursorEditTest, ClosedCursorRaisesInsteadOfCrashing) {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  Create("shut", d);
  TDataCursor never(directory_);
  never.SetTableName("shut");
  TDataCursor& closed = Open("shut");
  closed.Close();
  std::vector<uint8_t> r(64), key(64);
  const std::vector<std::pair<const char*, std::function<void(TDataCursor&)>>> calls = {
      {"First", [](TDataCursor& c) { c.First(); }},
      {"Last", [](TDataCursor& c) { c.Last(); }},
      {"GetNextRecord", [&](TDataCursor& c) { c.GetNextRecord(r.data()); }},
      {"GetPriorRecord", [&](TDataCursor& c) { c.GetPriorRecord(r.data()); }},
      {"GetCurrentRecord", [&](TDataCursor& c) { c.GetCurrentRecord(r.data(), true); }},
      {"GetRecNo", [](TDataCursor& c) { c.GetRecNo(); }},
      {"SetRecNo", [](TDataCursor& c) { c.SetRecNo(1); }},
      {"GetRecordCount", [](TDataCursor& c) { c.GetRecordCount(); }},
      {"GetPhysicalRecordCount", [](TDataCursor& c) { c.GetPhysicalRecordCount(); }},
      {"FindKey", [&](TDataCursor& c) { c.FindKey(key.data(), true, r.data(), 0, true, 0); }},
      {"SetRange", [&](TDataCursor& c) { c.SetRange(true, key.data(), 0, key.data(), 0); }},
      {"CancelRange", [](TDataCursor& c) { c.CancelRange(); }},
      {"SwitchToIndex", [](TDataCursor& c) { c.SwitchToIndex("other"); }},
      {"SetIndexNumber", [](TDataCursor& c) { c.SetIndexNumber(1); }},
      {"GetIndexCount", [](TDataCursor& c) { c.GetIndexCount(); }},
      {"GetIndexDesc", [](TDataCursor& c) { c.GetIndexDesc(0); }},
      {"GetIndexDescByName", [](TDataCursor& c) { c.GetIndexDescByName(""); }},
      {"GetBookmark", [&](TDataCursor& c) { c.GetBookmark(key.data()); }},
      {"GotoBookmark", [&](TDataCursor& c) { c.GotoBookmark(key.data(), true); }},
      {"Clone", [](TDataCursor& c) { c.Clone(); }},
      {"LockRecord", [](TDataCursor& c) { c.LockRecord(1); }},
      {"UnlockRecord", [](TDataCursor& c) { c.UnlockRecord(1); }},
      {"LockTableForWrite", [](TDataCursor& c) { c.LockTableForWrite(); }},
      {"InsertRecord", [&](TDataCursor& c) { c.InsertRecord(r.data(), true); }},
      {"DeleteRecord", [&](TDataCursor& c) { c.DeleteRecord(r.data(), true); }},
      {"NewRecord", [&](TDataCursor& c) { c.NewRecord(r.data()); }},
      {"FlushBuffers", [](TDataCursor& c) { c.FlushBuffers(); }},
  };
  for (TDataCursor* c : {&never, &closed}) {
    for (const auto& call : calls) {
      SCOPED_TRACE(call.first);
      EXPECT_EQ(ErrorCode([&] { call.second(*c); }), kErrInvalidFileHandle);
    }
    TDataCursor& other = Open("shut");
    EXPECT_EQ(ErrorCode([&] { c->GotoCursor(other); }), kErrInvalidFileHandle);
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
