// Filters on a real cursor: random filter expressions answered from the indexes agree with the
// same filters answered by reading every record; navigation over a filtered cursor (every
// order, both directions, RecNo, counts) agrees with the unfiltered order restricted to the rows
// SQLite selects; an index-answered filter reads no record; inserts, updates and deletes through
// a filtered cursor keep its visible set right.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "sqlite_oracle_fixture.h"

namespace tovenmarsh::engine {
namespace {

// Fields: 1 Id (primary), 2 Name, 3 A, 4 B.
struct TRow {
  int32_t Id = 0;
  std::string Name;  // empty: NULL
  std::optional<int32_t> A;
  std::optional<int32_t> B;
};

const char* const kOrders[] = {"", "ByA", "ByName", "ByNameCI", "ByADesc"};

IndexDesc Index(const char* name, uint16_t field, bool unique, bool ci, bool desc) {
  IndexDesc d;
  d.Name = name;
  d.Unique = unique;
  d.CaseInsensitive = ci;
  d.Descending = desc;
  d.FieldCount = 1;
  d.FieldNumbers[0] = field;
  d.FieldDescending[0] = desc ? 1 : 0;
  return d;
}

TTableDefinition Definition() {
  TTableDefinition d;
  FieldDesc id, name, a, b;
  id.Name = "Id";
  id.FieldType = fldInt32;
  name.Name = "Name";
  name.FieldType = fldZString;
  name.Size = 8;
  a.Name = "A";
  a.FieldType = fldInt32;
  b.Name = "B";
  b.FieldType = fldInt32;
  d.Data.Fields = {id, name, a, b};
  d.Indexes = {Index("", 1, true, false, false), Index("ByA", 3, false, false, false),
               Index("ByName", 2, false, false, false), Index("ByNameCI", 2, false, true, false),
               Index("ByADesc", 3, false, false, true)};
  return d;
}

// Expressions whose meaning SQLite shares (no NOT or <> over NULLs, no LIKE: SQLite's is
// case-insensitive).
const char* const kSqlCompatible[] = {
    "A = 5", "A > 3", "A <= -1", "5 < A", "A BETWEEN 0 AND 4", "A IN (1, 3, 7)", "A IS NULL", "A IS NOT NULL",
    "B = 2", "B >= 3 AND A < 2", "A = 5 OR B = 1", "Name = 'ab'", "Name > 'b'", "Name <= 'B'", "Name IS NULL",
    "A > 2 AND Name >= 'a'", "(A < 0 OR A > 6) AND B IS NOT NULL", "UPPER(Name) = 'AB'"};

// Atoms of the random expressions (the forced-scan filter is their oracle).
const char* const kAtoms[] = {
    "A = 5", "A <> 5", "A > 3", "A >= 3", "A < 0", "A <= 0", "2 < A", "A BETWEEN 1 AND 4", "A NOT BETWEEN 1 AND 4",
    "A IN (0, 2, 8)", "A NOT IN (0, 2, 8)", "A IS NULL", "A IS NOT NULL", "A = NULL", "A <> NULL", "B = 1",
    "B < 2", "B IS NULL", "Name = 'ab'", "Name <> 'ab'", "Name > 'a'", "Name < 'B'", "Name = 'a*'",
    "Name LIKE '%x%'", "Name NOT LIKE 'a%'", "UPPER(Name) = 'AB'", "Name IS NULL", "A + B = 4", "A = 2.5",
    "A < 2.5", "Name IN ('a', 'Ab', 'x0')"};

class CursorFilterTest : public testing::SqliteOracleTest {
 protected:
  void SetUp() override {
    StartTables("filtered", Definition(), "CREATE TABLE t(id INTEGER PRIMARY KEY, name TEXT, a INTEGER, b INTEGER)");
  }
  static std::string Sql(const TRow& r) {
    auto num = [](const std::optional<int32_t>& v) { return v ? std::to_string(*v) : std::string("NULL"); };
    return std::to_string(r.Id) + "," + (r.Name.empty() ? std::string("NULL") : "'" + r.Name + "'") + "," +
           num(r.A) + "," + num(r.B);
  }

  void Fill(TDataCursor& c, std::vector<uint8_t>& b, const TRow& r) {
    c.SetFieldData(1, b.data(), &r.Id);
    c.SetFieldData(2, b.data(), r.Name.empty() ? nullptr : r.Name.c_str());
    c.SetFieldData(3, b.data(), r.A ? &*r.A : nullptr);
    c.SetFieldData(4, b.data(), r.B ? &*r.B : nullptr);
  }
  static int32_t IdOf(TDataCursor& c, const std::vector<uint8_t>& b) {
    int32_t id = 0;
    c.GetFieldData(1, b.data(), &id);
    return id;
  }

  TRow RandomRow() {
    TRow r;
    r.Id = nextId_++;
    const char* alphabet = "abABx0";
    const size_t n = rng_() % 4;
    for (size_t i = 0; i < n; ++i) r.Name += alphabet[rng_() % 6];
    if (rng_() % 8) r.A = static_cast<int32_t>(rng_() % 12) - 3;
    if (rng_() % 6) r.B = static_cast<int32_t>(rng_() % 5);
    return r;
  }

  void Insert(TDataCursor& c, const TRow& r) {
    std::vector<uint8_t> b(c.GetRecordSize());
    c.InitRecord(b.data());
    Fill(c, b, r);
    c.InsertRecord(b.data(), true);
    Exec("INSERT INTO t VALUES(" + Sql(r) + ")");
  }

  void Populate(int rows) {
    for (int i = 0; i < rows; ++i) Insert(*cursor_, RandomRow());
    // Some deleted slots in the middle.
    std::vector<uint8_t> b(cursor_->GetRecordSize());
    for (int32_t id = 1; id < nextId_; id += 7) {
      cursor_->InitRecord(b.data());
      cursor_->SetFieldData(1, b.data(), &id);
      ASSERT_TRUE(cursor_->FindKey(b.data(), false, b.data(), 0, false, 1));
      cursor_->DeleteRecord(b.data(), true);
      Exec("DELETE FROM t WHERE id=" + std::to_string(id));
    }
  }

  // Forward and backward scans of the current order, checking RecNo and count on the way.
  std::vector<int32_t> Scan(TDataCursor& c) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> b(c.GetRecordSize());
    const int32_t count = c.GetRecordCount();
    c.First();
    while (c.GetNextRecord(b.data()) == 0) {
      ids.push_back(IdOf(c, b));
      EXPECT_EQ(c.GetRecNo(), static_cast<int32_t>(ids.size()));
      if (ids.size() > 10000) break;
    }
    EXPECT_EQ(count, static_cast<int32_t>(ids.size()));
    EXPECT_NE(c.GetNextRecord(b.data()), 0);  // stays at the end
    std::vector<int32_t> back;
    c.Last();
    while (c.GetPriorRecord(b.data()) == 0) {
      back.push_back(IdOf(c, b));
      EXPECT_EQ(c.GetRecNo(), count - static_cast<int32_t>(back.size()) + 1);
      if (back.size() > 10000) break;
    }
    std::reverse(back.begin(), back.end());
    EXPECT_EQ(back, ids);
    return ids;
  }

  // SetRecNo lands on the n-th visible record.
  void CheckRecNo(TDataCursor& c, const std::vector<int32_t>& ids) {
    std::vector<uint8_t> b(c.GetRecordSize());
    for (size_t k = 0; k < ids.size(); k += 1 + ids.size() / 5) {
      c.SetRecNo(static_cast<int32_t>(k + 1));
      ASSERT_EQ(c.GetCurrentRecord(b.data()), 0);
      EXPECT_EQ(IdOf(c, b), ids[k]);
      EXPECT_EQ(c.GetRecNo(), static_cast<int32_t>(k + 1));
    }
  }

  static std::vector<int32_t> Restrict(const std::vector<int32_t>& order, const std::set<int32_t>& keep) {
    std::vector<int32_t> out;
    for (int32_t id : order)
      if (keep.count(id)) out.push_back(id);
    return out;
  }

  void SetOrder(TDataCursor& c, const char* name) {
    if (name == nullptr) c.SetIndexNumber(kPhysicalOrder);
    else c.SwitchToIndex(name);
  }

  std::mt19937 rng_{20261210};
  int32_t nextId_ = 1;
};

int ErrorCode(const std::function<void()>& f) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    return e.Code();
  }
  return 0;
}

TEST_F(CursorFilterTest, NavigationAgreesWithSqliteInEveryOrder) {
  Populate(150);
  std::vector<const char*> orders(std::begin(kOrders), std::end(kOrders));
  orders.push_back(nullptr);  // physical order
  for (const char* order : orders) {
    SetOrder(*cursor_, order);
    cursor_->DropFilter(nullptr);
    const std::vector<int32_t> all = Scan(*cursor_);
    for (const char* text : kSqlCompatible) {
      SCOPED_TRACE(std::string(order ? order : "physical") + ": " + text);
      TFilter* f = cursor_->AddFilter(nullptr, text, false, false, false, false);
      cursor_->ActivateFilter(f);
      const std::vector<int32_t> expected = Restrict(all, SqlIds(text));
      EXPECT_EQ(Scan(*cursor_), expected);
      CheckRecNo(*cursor_, expected);
      // A second filter narrows; deactivating it restores the first one's set.
      TFilter* g = cursor_->AddFilter(nullptr, "B IS NOT NULL", false, false, false, false);
      cursor_->ActivateFilter(g);
      EXPECT_EQ(Scan(*cursor_), Restrict(all, SqlIds(std::string("(") + text + ") AND b IS NOT NULL")));
      cursor_->DeactivateFilter(g);
      EXPECT_EQ(cursor_->GetRecordCount(), static_cast<int32_t>(expected.size()));
      cursor_->DropFilter(g);
      cursor_->DropFilter(f);
      EXPECT_EQ(cursor_->GetRecordCount(), static_cast<int32_t>(all.size()));
    }
  }
}

TEST_F(CursorFilterTest, KeyRangeAndFilterCombine) {
  Populate(150);
  cursor_->SwitchToIndex("ByA");
  TFilter* f = cursor_->AddFilter(nullptr, "B < 3 OR Name LIKE '%a%'", false, false, false, false);
  cursor_->ActivateFilter(f);
  std::vector<uint8_t> low(cursor_->GetRecordSize()), high(cursor_->GetRecordSize());
  const int32_t from = 0, to = 5;
  cursor_->InitRecord(low.data());
  cursor_->InitRecord(high.data());
  cursor_->SetFieldData(3, low.data(), &from);
  cursor_->SetFieldData(3, high.data(), &to);
  cursor_->SetRange(false, low.data(), 1, high.data(), 1);
  // instr: SQLite's LIKE ignores case, ours does not.
  std::vector<int32_t> seen = Scan(*cursor_);
  EXPECT_EQ(std::set<int32_t>(seen.begin(), seen.end()), SqlIds("a BETWEEN 0 AND 5 AND (b < 3 OR instr(name, 'a') > 0)"));
  cursor_->CancelRange();
  seen = Scan(*cursor_);
  EXPECT_EQ(std::set<int32_t>(seen.begin(), seen.end()), SqlIds("b < 3 OR instr(name, 'a') > 0"));
}

TEST_F(CursorFilterTest, RandomFiltersAgreeWithAndWithoutOptimisation) {
  Populate(200);
  auto scanned = OpenCursor();
  scanned->Filters().Tuning.ForceScan = true;
  scanned->Filters().Tuning.DisableComplement = true;
  for (int round = 0; round < 120; ++round) {
    std::string text = kAtoms[rng_() % std::size(kAtoms)];
    const int joins = static_cast<int>(rng_() % 3);
    for (int j = 0; j < joins; ++j) {
      const char* op = rng_() % 2 ? " AND " : " OR ";
      std::string right = kAtoms[rng_() % std::size(kAtoms)];
      if (rng_() % 4 == 0) right = "NOT (" + right + ")";
      text = "(" + text + ")" + op + right;
    }
    const bool complement = rng_() % 2;
    const bool caseInsensitive = rng_() % 4 == 0;
    const char* order = kOrders[rng_() % std::size(kOrders)];
    SCOPED_TRACE(text + " order " + order + (complement ? " complement" : "") + (caseInsensitive ? " ci" : ""));
    SetOrder(*cursor_, order);
    SetOrder(*scanned, order);
    cursor_->ActivateFilter(cursor_->AddFilter(nullptr, text, false, caseInsensitive, complement, false));
    scanned->ActivateFilter(scanned->AddFilter(nullptr, text, false, caseInsensitive, false, false));
    EXPECT_EQ(cursor_->GetRecordCount(), scanned->GetRecordCount());
    EXPECT_EQ(Scan(*cursor_), Scan(*scanned));
    cursor_->DropFilter(nullptr);
    scanned->DropFilter(nullptr);
  }
}

TEST_F(CursorFilterTest, IndexAnsweredFiltersReadOnlyWhatTheyMust) {
  Populate(300);
  const size_t withFive = SqlIds("a = 5").size();
  ASSERT_GT(withFive, 5u);
  struct TCase {
    const char* Text;
    size_t Reads;
  };
  const TCase cases[] = {{"A = 5", 0},
                         {"5 = A", 0},
                         {"A BETWEEN 2 AND 4 OR A IS NULL", 0},
                         {"A = 5 AND Name LIKE '%x%'", withFive},
                         {"Name LIKE '%x%' AND A = 5", withFive}};
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    TFilter* f = cursor_->AddFilter(nullptr, c.Text, false, false, false, false);
    const int64_t before = cursor_->FilterRecordReads();
    cursor_->ActivateFilter(f);
    EXPECT_EQ(cursor_->FilterRecordReads() - before, static_cast<int64_t>(c.Reads));
    cursor_->DropFilter(f);
  }
  // A filter that cannot use an index reads every live record.
  TFilter* f = cursor_->AddFilter(nullptr, "A = 5 OR Name LIKE '%x%'", false, false, false, false);
  const int64_t before = cursor_->FilterRecordReads();
  cursor_->ActivateFilter(f);
  EXPECT_GE(cursor_->FilterRecordReads() - before, static_cast<int64_t>(SqlIds("1").size()));
}

TEST_F(CursorFilterTest, EditsThroughAFilteredCursorKeepTheVisibleSet) {
  Populate(80);
  const std::string where = "a >= 2 AND b IS NOT NULL";
  for (const char* order : {"", "ByA", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(order ? order : "physical");
    SetOrder(*cursor_, order);
    cursor_->DropFilter(nullptr);
    TFilter* f = cursor_->AddFilter(nullptr, "A >= 2 AND B IS NOT NULL", false, false, false, false);
    cursor_->ActivateFilter(f);
    std::vector<uint8_t> b(cursor_->GetRecordSize());
    for (int step = 0; step < 60; ++step) {
      const int op = static_cast<int>(rng_() % 3);
      const int32_t count = cursor_->GetRecordCount();
      if (op == 0 || count == 0) {
        Insert(*cursor_, RandomRow());
      } else {
        cursor_->SetRecNo(static_cast<int32_t>(rng_() % static_cast<uint32_t>(count)) + 1);
        ASSERT_EQ(cursor_->GetCurrentRecord(b.data()), 0);
        if (op == 1) {
          ASSERT_EQ(cursor_->GetCurrentRecord(b.data(), true), 0);
        }
        const int32_t id = IdOf(*cursor_, b);
        if (op == 1) {
          TRow r = RandomRow();
          r.Id = id;
          Fill(*cursor_, b, r);
          cursor_->ModifyRecord(b.data(), true, true);
          Exec("UPDATE t SET name=" + (r.Name.empty() ? std::string("NULL") : "'" + r.Name + "'") + ", a=" +
               (r.A ? std::to_string(*r.A) : "NULL") + ", b=" + (r.B ? std::to_string(*r.B) : "NULL") +
               " WHERE id=" + std::to_string(id));
        } else {
          cursor_->DeleteRecord(b.data(), true);
          Exec("DELETE FROM t WHERE id=" + std::to_string(id));
        }
      }
      const std::set<int32_t> expected = SqlIds(where);
      ASSERT_EQ(cursor_->GetRecordCount(), static_cast<int32_t>(expected.size())) << "step " << step;
      const std::vector<int32_t> seen = Scan(*cursor_);
      ASSERT_EQ(std::set<int32_t>(seen.begin(), seen.end()), expected) << "step " << step;
    }
    // A second cursor's changes reach this one through its change check (a full rebuild).
    auto other = OpenCursor();
    Insert(*other, TRow{nextId_++, "zz", 7, 1});
    const std::vector<int32_t> seen = Scan(*cursor_);
    EXPECT_EQ(std::set<int32_t>(seen.begin(), seen.end()), SqlIds(where));
  }
}

TEST_F(CursorFilterTest, CloneCarriesFiltersAndCloseDropsThem) {
  Populate(60);
  cursor_->SwitchToIndex("ByA");
  TFilter* active = cursor_->AddFilter(nullptr, "A > 1", false, false, false, false);
  cursor_->ActivateFilter(active);
  cursor_->AddFilter(nullptr, "B = 0", false, false, false, false);  // stays inactive
  int calls = 0;
  TFilter* callback = cursor_->AddFilter(nullptr, {}, false, false, false, false,
                                         [&calls](void*, const void*, uint32_t n) { return ++calls, n % 2 == 0; });
  ASSERT_NE(callback, nullptr);
  cursor_->ActivateFilter(callback);
  const std::vector<int32_t> expected = Scan(*cursor_);
  ASSERT_FALSE(expected.empty());
  auto clone = cursor_->Clone();
  cursor_.reset();  // the clone owns copies, not the source's trees
  ASSERT_EQ(clone->Filters().Count(), 3);
  EXPECT_FALSE(clone->Filters().Item(1)->Active);
  EXPECT_EQ(Scan(*clone), expected);
  clone->Close();
  clone->Open();
  EXPECT_EQ(clone->Filters().Count(), 0);
  EXPECT_EQ(clone->GetRecordCount(), static_cast<int32_t>(SqlIds("1").size()));
  EXPECT_GT(calls, 0);
}

TEST_F(CursorFilterTest, FilterHandleAndTextErrors) {
  Populate(10);
  TFilter* f = cursor_->AddFilter(nullptr, "A = 1", false, false, false, false);
  auto other = OpenCursor();
  TFilter* foreign = other->AddFilter(nullptr, "A = 1", false, false, false, false);
  TExpToken* spare = CopyExpressionTree(f->Expression);  // refused trees stay the caller's
  const std::tuple<const char*, std::function<void()>, int> cases[] = {
      {"bad text", [&] { cursor_->AddFilter(nullptr, "A = ", false, false, false, false); }, kErrFilterError},
      {"not boolean", [&] { cursor_->AddFilter(nullptr, "A + 1", false, false, false, false); }, kErrFilterError},
      {"foreign activate", [&] { cursor_->ActivateFilter(foreign); }, kErrInvalidFilterHandle},
      {"foreign drop", [&] { cursor_->DropFilter(foreign); }, kErrInvalidFilterHandle},
      {"foreign deactivate", [&] { cursor_->DeactivateFilter(foreign); }, kErrInvalidFilterHandle},
      {"new tree for an inactive filter",
       [&] { cursor_->SetFilterExpression(spare, f); }, kErrInvalidFilterHandle},
  };
  for (const auto& [name, action, code] : cases) EXPECT_EQ(ErrorCode(action), code) << name;
  FreeExpressionTree(spare);
  while (cursor_->Filters().Count() < kMaxFilters) cursor_->AddFilter(nullptr, "A = 1", false, false, false, false);
  EXPECT_EQ(ErrorCode([&] { cursor_->AddFilter(nullptr, "A = 1", false, false, false, false); }), kErrTooManyFilters);
  // The cursor still navigates after the failures.
  cursor_->ActivateFilter(f);
  EXPECT_EQ(cursor_->GetRecordCount(), static_cast<int32_t>(SqlIds("a = 1").size()));
  EXPECT_EQ(Scan(*cursor_).size(), SqlIds("a = 1").size());
}

}  // namespace
}  // namespace tovenmarsh::engine
