// The cursor against SQLite: the same random inserts, updates and deletes go to a table of
// ours and to an SQLite table with the same unique constraints, and every index order, count,
// sequence number, range, exact and partial key search and the BOF/EOF cracks must agree.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/format/key_encoding.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "sqlite_oracle_fixture.h"

namespace tovenmarsh::engine {
namespace {

// Fields: 1 Id (primary), 2 Name, 3 Val, 4 Code (unique, case-insensitive).
struct TRow {
  int32_t Id = 0;
  std::string Name;
  int32_t Val = 0;
  std::string Code;
  int64_t Rid = 0;
};

struct TIndexCase {
  const char* Name;     // our index name ("" = primary)
  const char* OrderBy;  // SQLite's order for it
};

const TIndexCase kIndexes[] = {
    {"", "id"},
    {"ByName", "name, rid"},
    {"ByNameCI", "upper(name), rid"},
    {"ByValDesc", "val DESC, rid DESC"},
    {"ByCode", "upper(code)"},
    {"ByValName", "val, name, rid"},
};

IndexDesc Index(const char* name, std::initializer_list<uint16_t> fields, bool unique, bool ci, bool desc) {
  IndexDesc d;
  d.Name = name;
  d.Unique = unique;
  d.CaseInsensitive = ci;
  d.Descending = desc;
  d.FieldCount = static_cast<uint8_t>(fields.size());
  int i = 0;
  for (uint16_t f : fields) {
    d.FieldNumbers[i] = f;
    d.FieldDescending[i] = desc ? 1 : 0;
    ++i;
  }
  return d;
}

TTableDefinition Definition() {
  TTableDefinition d;
  FieldDesc id, name, val, code;
  id.Name = "Id";
  id.FieldType = fldInt32;
  name.Name = "Name";
  name.FieldType = fldZString;
  name.Size = 10;
  val.Name = "Val";
  val.FieldType = fldInt32;
  code.Name = "Code";
  code.FieldType = fldZString;
  code.Size = 6;
  d.Data.Fields = {id, name, val, code};
  d.Indexes = {Index("", {1}, true, false, false),         Index("ByName", {2}, false, false, false),
               Index("ByNameCI", {2}, false, true, false), Index("ByValDesc", {3}, false, false, true),
               Index("ByCode", {4}, true, true, false),    Index("ByValName", {3, 2}, false, false, false)};
  return d;
}

class CursorOracleTest : public testing::SqliteOracleTest {
 protected:
  void SetUp() override {
    StartTables("oracle", Definition(),
                "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, val INTEGER, code TEXT COLLATE NOCASE UNIQUE, "
                "rid INTEGER)");
  }

  bool TryExec(const std::string& sql) { return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK; }
  std::vector<int32_t> Ids(const std::string& sql) {
    std::vector<int32_t> ids;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql;
    while (sqlite3_step(st) == SQLITE_ROW) ids.push_back(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    return ids;
  }

  std::vector<uint8_t> Buffer() const { return std::vector<uint8_t>(cursor_->GetRecordSize()); }
  void Fill(std::vector<uint8_t>& b, const TRow& r) {
    cursor_->SetFieldData(1, b.data(), &r.Id);
    cursor_->SetFieldData(2, b.data(), r.Name.c_str());
    cursor_->SetFieldData(3, b.data(), &r.Val);
    cursor_->SetFieldData(4, b.data(), r.Code.c_str());
  }
  int32_t IdOf(const std::vector<uint8_t>& b) {
    int32_t id = 0;
    cursor_->GetFieldData(1, b.data(), &id);
    return id;
  }
  std::string Quote(const std::string& s) { return "'" + s + "'"; }

  std::string RandomText(size_t maxLength, const char* alphabet) {
    const size_t n = 1 + rng_() % maxLength;
    std::string s;
    for (size_t i = 0; i < n; ++i) s += alphabet[rng_() % std::strlen(alphabet)];
    return s;
  }
  TRow RandomRow() {
    TRow r;
    r.Id = static_cast<int32_t>(rng_() % 400) - 50;
    r.Name = RandomText(4, "aAbBcZz09");
    r.Val = static_cast<int32_t>(rng_() % 40) - 20;
    r.Code = RandomText(3, "xXyY1");
    return r;
  }

  // Our scan of the active index, checking RecNo on the way and the cracks at both ends.
  std::vector<int32_t> Scan(bool backward) { return Scan(*cursor_, backward); }
  std::vector<int32_t> Scan(TDataCursor& c, bool backward) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> b = Buffer();
    const int32_t count = c.GetRecordCount();
    if (backward) c.Last();
    else c.First();
    for (;;) {
      const int rc = backward ? c.GetPriorRecord(b.data()) : c.GetNextRecord(b.data());
      if (rc != 0) {
        EXPECT_EQ(rc, backward ? kErrBeginningOfFile : kErrEndOfFile);
        break;
      }
      ids.push_back(IdOf(b));
      const int32_t expected = backward ? count - static_cast<int32_t>(ids.size()) + 1 : static_cast<int32_t>(ids.size());
      EXPECT_EQ(c.GetRecNo(), expected);
      if (ids.size() > 100000) break;
    }
    // Stepping on past the end stays at the crack.
    const int again = backward ? c.GetPriorRecord(b.data()) : c.GetNextRecord(b.data());
    EXPECT_EQ(again, backward ? kErrBeginningOfFile : kErrEndOfFile);
    if (ids.empty()) {
      EXPECT_EQ(c.GetCurrentRecord(b.data()), kErrNoCurrentRecord);
    } else {
      // Turning round at the crack gives the record at that end.
      const int rc = backward ? c.GetNextRecord(b.data()) : c.GetPriorRecord(b.data());
      EXPECT_EQ(rc, 0);
      EXPECT_EQ(IdOf(b), ids.back());
    }
    return ids;
  }

  bool Insert(const TRow& row) {
    std::vector<uint8_t> b = Buffer();
    cursor_->InitRecord(b.data());
    Fill(b, row);
    bool ours = true;
    try {
      cursor_->InsertRecord(b.data(), true);
    } catch (const EFenEngineError& e) {
      EXPECT_EQ(e.Code(), kErrDuplicateKey);
      ours = false;
    }
    const bool theirs = TryExec("INSERT INTO t VALUES(" + std::to_string(row.Id) + "," + Quote(row.Name) + "," +
                                std::to_string(row.Val) + "," + Quote(row.Code) + "," + std::to_string(nextRid_) + ")");
    EXPECT_EQ(ours, theirs) << row.Id << " " << row.Code;
    if (ours) {
      int32_t rid = static_cast<int32_t>(GetU32(b.data(), 5));
      EXPECT_EQ(rid, nextRid_);
      ++nextRid_;
    }
    return ours;
  }

  // Positions our cursor on the row with this id through the primary index.
  bool Locate(int32_t id, std::vector<uint8_t>& b) {
    cursor_->SwitchToIndex("");
    cursor_->InitRecord(b.data());
    cursor_->SetFieldData(1, b.data(), &id);
    return cursor_->FindKey(b.data(), false, b.data(), 0, false, 1);
  }

  void Update(int32_t id, const TRow& changes) {
    std::vector<uint8_t> b = Buffer();
    ASSERT_TRUE(Locate(id, b));
    ASSERT_EQ(cursor_->GetCurrentRecord(b.data(), true), 0);
    TRow r = changes;
    r.Id = id;  // the primary key may change too, half of the time
    if (rng_() % 2) r.Id = changes.Id;
    Fill(b, r);
    bool ours = true;
    try {
      cursor_->ModifyRecord(b.data(), true, true);
    } catch (const EFenEngineError& e) {
      EXPECT_EQ(e.Code(), kErrDuplicateKey);
      ours = false;
      cursor_->UnlockRecord(0);
    }
    const bool theirs = TryExec("UPDATE t SET id=" + std::to_string(r.Id) + ", name=" + Quote(r.Name) + ", val=" +
                                std::to_string(r.Val) + ", code=" + Quote(r.Code) + " WHERE id=" + std::to_string(id));
    EXPECT_EQ(ours, theirs) << id << "->" << r.Id << " " << r.Code;
  }

  void Delete(int32_t id) {
    std::vector<uint8_t> b = Buffer();
    ASSERT_TRUE(Locate(id, b));
    cursor_->DeleteRecord(b.data(), true);
    Exec("DELETE FROM t WHERE id=" + std::to_string(id));
  }

  void CompareOrders() {
    for (const TIndexCase& ix : kIndexes) {
      cursor_->SwitchToIndex(ix.Name);
      const std::vector<int32_t> expected = Ids(std::string("SELECT id FROM t ORDER BY ") + ix.OrderBy);
      EXPECT_EQ(cursor_->GetRecordCount(), static_cast<int32_t>(expected.size())) << ix.Name;
      EXPECT_EQ(Scan(false), expected) << ix.Name;
      std::vector<int32_t> reversed(expected.rbegin(), expected.rend());
      EXPECT_EQ(Scan(true), reversed) << ix.Name;
    }
    EXPECT_EQ(cursor_->GetPhysicalRecordCount(), static_cast<int32_t>(Ids("SELECT id FROM t").size()));
  }

  // SetRecNo lands on the n-th record of SQLite's order; bookmarks taken there bring the cursor
  // back and compare as their positions do.
  void CompareRecNoAndBookmarks() {
    std::vector<uint8_t> b = Buffer();
    for (const TIndexCase& ix : kIndexes) {
      cursor_->SwitchToIndex(ix.Name);
      const std::vector<int32_t> expected = Ids(std::string("SELECT id FROM t ORDER BY ") + ix.OrderBy);
      if (expected.empty()) continue;
      const uint32_t size = cursor_->GetBookmarkSize();
      std::vector<std::vector<uint8_t>> marks;
      std::vector<int32_t> positions;
      for (int k = 0; k < 5; ++k) {
        const int32_t n = static_cast<int32_t>(1 + rng_() % expected.size());
        cursor_->SetRecNo(n);
        ASSERT_EQ(cursor_->GetCurrentRecord(b.data()), 0);
        EXPECT_EQ(IdOf(b), expected[n - 1]) << ix.Name << " " << n;
        EXPECT_EQ(cursor_->GetRecNo(), n);
        marks.emplace_back(size);
        cursor_->GetBookmark(marks.back().data());
        positions.push_back(n);
      }
      cursor_->Last();
      for (size_t k = 0; k < marks.size(); ++k) {
        EXPECT_TRUE(cursor_->GotoBookmark(marks[k].data(), false)) << ix.Name;
        ASSERT_EQ(cursor_->GetCurrentRecord(b.data()), 0);
        EXPECT_EQ(IdOf(b), expected[positions[k] - 1]) << ix.Name;
        for (size_t j = 0; j < marks.size(); ++j) {
          const int order = cursor_->CompareBookmarks(marks[k].data(), marks[j].data());
          const int want = positions[k] < positions[j] ? -1 : (positions[k] > positions[j] ? 1 : 0);
          EXPECT_EQ(order, want) << ix.Name;
        }
      }
      cursor_->SetRecNo(static_cast<int32_t>(expected.size()) + 1);
      EXPECT_EQ(cursor_->GetCurrentRecord(b.data()), kErrEndOfFile);
      cursor_->SetRecNo(0);
      EXPECT_EQ(cursor_->GetCurrentRecord(b.data()), kErrBeginningOfFile);
    }
  }

  void CompareRanges() {
    std::vector<uint8_t> lo = Buffer(), hi = Buffer();
    for (int round = 0; round < 4; ++round) {
      int32_t a = static_cast<int32_t>(rng_() % 44) - 22, z = static_cast<int32_t>(rng_() % 44) - 22;
      if (round == 3) std::swap(a, z);  // possibly an empty range
      cursor_->InitRecord(lo.data());
      cursor_->InitRecord(hi.data());
      cursor_->SetFieldData(3, lo.data(), &a);
      cursor_->SetFieldData(3, hi.data(), &z);
      // Ascending compound index, one of two fields given.
      cursor_->SwitchToIndex("ByValName");
      cursor_->SetRange(false, lo.data(), 1, hi.data(), 1);
      std::vector<int32_t> expected = Ids("SELECT id FROM t WHERE val BETWEEN " + std::to_string(a) + " AND " +
                                          std::to_string(z) + " ORDER BY val, name, rid");
      EXPECT_EQ(cursor_->GetRecordCount(), static_cast<int32_t>(expected.size()));
      EXPECT_EQ(Scan(false), expected) << a << ".." << z;
      std::vector<int32_t> reversed(expected.rbegin(), expected.rend());
      EXPECT_EQ(Scan(true), reversed);
      cursor_->CancelRange();
      // Descending index: the range runs from the high value down to the low one.
      cursor_->SwitchToIndex("ByValDesc");
      cursor_->SetRange(false, hi.data(), 1, lo.data(), 1);
      expected = Ids("SELECT id FROM t WHERE val BETWEEN " + std::to_string(a) + " AND " + std::to_string(z) +
                     " ORDER BY val DESC, rid DESC");
      EXPECT_EQ(cursor_->GetRecordCount(), static_cast<int32_t>(expected.size()));
      EXPECT_EQ(Scan(false), expected) << a << ".." << z << " desc";
      cursor_->CancelRange();
    }
  }

  void CompareFindKey() {
    std::vector<uint8_t> b = Buffer(), out = Buffer();
    for (int round = 0; round < 10; ++round) {
      // Exact search on the primary index: found, or on the next greater key (EOF: the last).
      const int32_t id = static_cast<int32_t>(rng_() % 420) - 60;
      cursor_->SwitchToIndex("");
      cursor_->InitRecord(b.data());
      cursor_->SetFieldData(1, b.data(), &id);
      const bool found = cursor_->FindKey(b.data(), false, out.data(), 0, true, 0);
      const std::vector<int32_t> exact = Ids("SELECT id FROM t WHERE id=" + std::to_string(id));
      EXPECT_EQ(found, !exact.empty()) << id;
      std::vector<int32_t> at = Ids("SELECT id FROM t WHERE id>=" + std::to_string(id) + " ORDER BY id LIMIT 1");
      if (at.empty()) at = Ids("SELECT id FROM t ORDER BY id DESC LIMIT 1");
      if (!at.empty()) {
        EXPECT_EQ(IdOf(out), at[0]) << id;
        EXPECT_EQ(cursor_->GetRecNo(),
                  static_cast<int32_t>(Ids("SELECT id FROM t WHERE id<" + std::to_string(at[0])).size()) + 1);
      }
      // Partial search on a case-sensitive string index: the first name with the prefix.
      const std::string prefix = RandomText(2, "aAbBcZz09");
      cursor_->SwitchToIndex("ByName");
      cursor_->InitRecord(b.data());
      cursor_->SetFieldData(2, b.data(), prefix.c_str());
      const bool partial = cursor_->FindKey(b.data(), false, out.data(), static_cast<int>(prefix.size()), true, 0);
      const std::vector<int32_t> matches =
          Ids("SELECT id FROM t WHERE substr(name,1," + std::to_string(prefix.size()) + ")=" + Quote(prefix) +
              " ORDER BY name, rid");
      EXPECT_EQ(partial, !matches.empty()) << prefix;
      if (!matches.empty()) {
        EXPECT_EQ(IdOf(out), matches[0]) << prefix;
      }
      // One of two key fields: the first record with that value, whatever its name.
      const int32_t val = static_cast<int32_t>(rng_() % 44) - 22;
      cursor_->SwitchToIndex("ByValName");
      cursor_->InitRecord(b.data());
      cursor_->SetFieldData(3, b.data(), &val);
      const bool first = cursor_->FindKey(b.data(), false, out.data(), 0, true, 1);
      const std::vector<int32_t> vals = Ids("SELECT id FROM t WHERE val=" + std::to_string(val) + " ORDER BY name, rid");
      EXPECT_EQ(first, !vals.empty()) << val;
      if (!vals.empty()) {
        EXPECT_EQ(IdOf(out), vals[0]);
      }
      // Case-insensitive unique index: the same code in other letters is found.
      const std::vector<int32_t> any = Ids("SELECT id FROM t ORDER BY random() LIMIT 1");
      if (!any.empty()) {
        std::vector<uint8_t> row = Buffer();
        ASSERT_TRUE(Locate(any[0], row));
        char code[8] = {};
        cursor_->GetFieldData(4, row.data(), code);
        for (char& c : code) c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
        cursor_->SwitchToIndex("ByCode");
        cursor_->InitRecord(b.data());
        cursor_->SetFieldData(4, b.data(), code);
        EXPECT_TRUE(cursor_->FindKey(b.data(), false, out.data(), 0, false, 0)) << code;
        EXPECT_EQ(IdOf(out), any[0]);
      }
    }
  }

  std::mt19937 rng_{20261210};
  int32_t nextRid_ = 1;
};

TEST_F(CursorOracleTest, EmptyTableCracks) {
  std::vector<uint8_t> b = Buffer();
  for (const TIndexCase& ix : kIndexes) {
    cursor_->SwitchToIndex(ix.Name);
    cursor_->First();
    EXPECT_EQ(cursor_->GetNextRecord(b.data()), kErrEndOfFile);
    EXPECT_EQ(cursor_->GetCurrentRecord(b.data()), kErrNoCurrentRecord);
    EXPECT_EQ(cursor_->GetPriorRecord(b.data()), kErrBeginningOfFile);
    EXPECT_EQ(cursor_->GetRecordCount(), 0);
    EXPECT_EQ(cursor_->GetRecNo(), 0);
  }
}

TEST_F(CursorOracleTest, RandomChangesAgreeWithSqlite) {
  for (int step = 0; step < 1500; ++step) {
    const std::vector<int32_t> ids = Ids("SELECT id FROM t");
    const unsigned op = rng_() % 10;
    if (op < 6 || ids.empty()) {
      Insert(RandomRow());
    } else if (op < 8) {
      Update(ids[rng_() % ids.size()], RandomRow());
    } else {
      Delete(ids[rng_() % ids.size()]);
    }
    if (HasFailure()) return;
    if (step % 250 == 249) {
      CompareOrders();
      CompareRecNoAndBookmarks();
      CompareRanges();
      CompareFindKey();
      if (HasFailure()) return;
    }
  }
}

// A second cursor on the same table, parked in the middle of a secondary index while the first
// one changes the table, follows the changes: it stays on its record (or the nearest one) and
// its scans, counts and sequence numbers agree with SQLite.
TEST_F(CursorOracleTest, SecondCursorFollowsChanges) {
  TDataCursor reader(directory_);
  reader.SetTableName("oracle");
  reader.SetInMemory(true);
  reader.Open();
  std::vector<uint8_t> b = Buffer();
  for (int step = 0; step < 600; ++step) {
    const std::vector<int32_t> ids = Ids("SELECT id FROM t");
    const unsigned op = rng_() % 10;
    if (op < 6 || ids.empty()) Insert(RandomRow());
    else if (op < 8) Update(ids[rng_() % ids.size()], RandomRow());
    else Delete(ids[rng_() % ids.size()]);
    if (HasFailure()) return;
    if (step % 50 == 0) {
      const TIndexCase& ix = kIndexes[rng_() % std::size(kIndexes)];
      reader.SwitchToIndex(ix.Name);
      reader.SetRecNo(static_cast<int32_t>(1 + rng_() % (ids.size() + 1)));
    }
    if (step % 50 == 49) {
      // Still on a live record whose sequence number is its place in SQLite's order.
      const int rc = reader.GetCurrentRecord(b.data());
      if (rc == 0) {
        const int32_t id = IdOf(b);
        EXPECT_EQ(Ids("SELECT id FROM t WHERE id=" + std::to_string(id)).size(), 1u) << id;
      }
      for (const TIndexCase& ix : kIndexes) {
        reader.SwitchToIndex(ix.Name);
        const std::vector<int32_t> expected = Ids(std::string("SELECT id FROM t ORDER BY ") + ix.OrderBy);
        EXPECT_EQ(reader.GetRecordCount(), static_cast<int32_t>(expected.size())) << ix.Name;
        EXPECT_EQ(Scan(reader, false), expected) << ix.Name;
      }
      if (HasFailure()) return;
    }
  }
}

TEST_F(CursorOracleTest, PhysicalOrderFollowsRecordNumbers) {
  for (int i = 0; i < 60; ++i) Insert(RandomRow());
  for (int32_t id : Ids("SELECT id FROM t WHERE rid % 3 = 0")) Delete(id);
  for (int i = 0; i < 10; ++i) Insert(RandomRow());  // reuses the freed record numbers
  cursor_->SetIndexNumber(kPhysicalOrder);
  std::vector<uint8_t> b = Buffer();
  cursor_->First();
  uint32_t last = 0;
  int32_t n = 0;
  while (cursor_->GetNextRecord(b.data()) == 0) {
    const uint32_t number = GetU32(b.data(), 1);
    EXPECT_GT(number, last);
    last = number;
    EXPECT_EQ(cursor_->GetRecNo(), ++n);
  }
  EXPECT_EQ(n, static_cast<int32_t>(Ids("SELECT id FROM t").size()));
  EXPECT_EQ(cursor_->GetRecordCount(), n);
  EXPECT_LE(last, 60u);  // every insert after the deletes took a freed number
}

}  // namespace
}  // namespace tovenmarsh::engine
