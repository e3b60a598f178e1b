// INSERT, UPDATE and DELETE against real tables: random sequences checked step by step against
// SQLite, rows changed exactly once whatever the change does to the index walked, the
// statement's own and the caller's transactions, progress, NOAUTOINC, parameters and the
// messages of bad targets and values.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dataset/field_types.h"
#include "engine/format/field_desc.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "engine/cursor/cursor.h"
#include "engine/base/engine_error.h"
#include "sql/fen_params.h"
#include "sql/modify_exec.h"
#include "sql/support/sql_database.h"

namespace {

namespace engine = tovenmarsh::engine;
namespace sql = tovenmarsh::sql;
using engine::TDataCursor;

class SqlModify : public sql::testing::SqlDatabaseTest {
 protected:
  void TearDown() override {
    if (db_ != nullptr) sqlite3_close(db_);
    SqlDatabaseTest::TearDown();
  }

  // The rows of a table as "v1|v2|..." sorted, integers and strings shown as text.
  std::vector<std::string> Rows(const std::string& table) {
    auto c = Open(table);
    std::vector<std::string> rows;
    std::vector<uint8_t> r(c->GetRecordSize());
    c->SetIndexNumber(engine::kPhysicalOrder);
    c->First();
    while (c->GetNextRecord(r.data()) == 0) {
      std::string row;
      for (uint32_t n = 1; n <= c->GetFieldCount(); ++n) {
        const engine::FieldDesc& f = c->GetFieldDesc(n);
        if (n > 1) row += "|";
        std::vector<uint8_t> value(256);
        if (c->GetFieldData(n, r.data(), value.data())) {
          row += "null";
        } else if (f.FieldType == engine::fldInt32) {
          int32_t v;
          std::memcpy(&v, value.data(), 4);
          row += std::to_string(v);
        } else if (f.FieldType == engine::fldZString) {
          row += reinterpret_cast<const char*>(value.data());
        } else if (f.FieldType == engine::fldDate) {
          int32_t v;
          std::memcpy(&v, value.data(), 4);
          row += "day" + std::to_string(v);
        } else {
          row += "?";
        }
      }
      rows.push_back(row);
    }
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  void SqliteExec(const std::string& text) {
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, text.c_str(), nullptr, nullptr, &error), SQLITE_OK)
        << (error ? error : "") << text;
  }
  std::vector<std::string> SqliteRows(const std::string& select) {
    std::vector<std::string> rows;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, select.c_str(), -1, &st, nullptr), SQLITE_OK);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i > 0) row += "|";
        const unsigned char* text = sqlite3_column_text(st, i);
        row += text == nullptr ? "null" : reinterpret_cast<const char*>(text);
      }
      rows.push_back(row);
    }
    sqlite3_finalize(st);
    std::sort(rows.begin(), rows.end());
    return rows;
  }

  // Rows 1..n: id, k = id, s = "s<id>".
  void FillKeyTable(int n) {
    Run("CREATE TABLE t (id INTEGER, k INTEGER, s CHAR(12), PRIMARY KEY (id))");
    Run("CREATE INDEX byk ON t (k)");
    for (int i = 1; i <= n; ++i) {
      Run("INSERT INTO t VALUES (" + std::to_string(i) + ", " + std::to_string(i) + ", 's" +
          std::to_string(i) + "')");
    }
  }

  sqlite3* db_ = nullptr;
};

TEST_F(SqlModify, RandomChangesMatchSqlite) {
  ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
  const char* create = "CREATE TABLE t (id INTEGER, k INTEGER, s CHAR(12), PRIMARY KEY (id))";
  Run(create);
  Run("CREATE INDEX byk ON t (k)");
  Run("CREATE INDEX bys ON t (s)");
  SqliteExec(create);
  std::mt19937 random(20261211);
  auto pick = [&](int low, int high) {
    return std::uniform_int_distribution<int>(low, high)(random);
  };
  int nextId = 1;
  for (int step = 0; step < 400; ++step) {
    std::string text;
    switch (pick(0, 9)) {
      case 0:
      case 1:
      case 2: {
        int id = nextId++;
        text = "INSERT INTO t VALUES (" + std::to_string(id) + ", " +
               std::to_string(pick(-20, 40)) + ", 'v" + std::to_string(pick(0, 30)) + "')";
        break;
      }
      case 3:
        text = "UPDATE t SET k = k + " + std::to_string(pick(1, 7)) + " WHERE k > " +
               std::to_string(pick(-10, 30));
        break;
      case 4:
        text = "UPDATE t SET k = k - " + std::to_string(pick(1, 7)) + ", s = 'w" +
               std::to_string(pick(0, 9)) + "' WHERE k BETWEEN " + std::to_string(pick(-10, 10)) +
               " AND " + std::to_string(pick(10, 40));
        break;
      case 5:
        text = "UPDATE t SET s = 'v" + std::to_string(pick(0, 30)) + "' WHERE s > 'v" +
               std::to_string(pick(0, 30)) + "' OR id = " + std::to_string(pick(1, nextId));
        break;
      case 6:
        text = "DELETE FROM t WHERE k < " + std::to_string(pick(-25, 0)) + " OR id = " +
               std::to_string(pick(1, nextId));
        break;
      case 7:
        text = "UPDATE t SET k = k * 2 WHERE NOT (k >= " + std::to_string(pick(-5, 20)) + ")";
        break;
      case 8:
        text = "UPDATE t SET s = 'p" + std::to_string(pick(0, 9)) + "' WHERE s LIKE 'v" +
               std::to_string(pick(1, 3)) + "%' AND k IN (" + std::to_string(pick(-5, 30)) +
               ", " + std::to_string(pick(-5, 30)) + ", " + std::to_string(pick(-5, 30)) + ")";
        break;
      case 9:
        text = "DELETE FROM t WHERE s = 'v" + std::to_string(pick(0, 30)) + "' AND k >= " +
               std::to_string(pick(-5, 30));
        break;
    }
    int32_t rows = Run(text);
    SqliteExec(text);
    ASSERT_EQ(rows, sqlite3_changes(db_)) << text;
    ASSERT_EQ(Rows("t"), SqliteRows("SELECT id, k, s FROM t")) << "step " << step << ": " << text;
  }
}

TEST_F(SqlModify, AnUpdateOfTheIndexedKeyChangesEachRowOnce) {
  FillKeyTable(100);
  // Every row walked on k would meet its own raised key again without the snapshot.
  EXPECT_EQ(Run("UPDATE t SET k = k + 1 WHERE k > 10"), 90);
  std::vector<std::string> rows = Rows("t");
  ASSERT_EQ(rows.size(), 100u);
  int64_t sum = 0;
  for (int i = 1; i <= 100; ++i) sum += i > 10 ? i + 1 : i;
  auto c = Open("t");
  c->SetIndexNumber(1);
  c->First();
  std::vector<uint8_t> r(c->GetRecordSize());
  int64_t got = 0;
  int count = 0;
  while (c->GetNextRecord(r.data()) == 0) {
    int32_t k = 0;
    c->GetFieldData(2, r.data(), &k);
    got += k;
    ++count;
  }
  EXPECT_EQ(count, 100);
  EXPECT_EQ(got, sum);
  // A key moved down past rows still to come, and one moved to the front.
  EXPECT_EQ(Run("UPDATE t SET k = k - 50 WHERE k > 50"), 51);
  EXPECT_EQ(Run("UPDATE t SET id = id + 1000 WHERE id > 0"), 100);
  EXPECT_EQ(Rows("t").front(), "1001|1|s1");
}

TEST_F(SqlModify, AFailingUpdateInItsOwnTransactionLeavesTheTableUnchanged) {
  FillKeyTable(20);
  Run("INSERT INTO t VALUES (100, 100, 'last')");
  std::vector<std::string> before = Rows("t");
  // The tenth row becomes 100, which the last row still holds.
  EXPECT_EQ(CodeOf("UPDATE t SET id = id + 90 WHERE id < 50"), engine::kErrDuplicateKey);
  EXPECT_EQ(Rows("t"), before);
  EXPECT_FALSE(directory_->InTransaction());
}

TEST_F(SqlModify, InsideTheCallersTransactionNothingIsCommitted) {
  FillKeyTable(5);
  std::vector<std::string> before = Rows("t");
  directory_->StartTransaction();
  EXPECT_EQ(Run("UPDATE t SET s = 'changed'"), 5);
  EXPECT_EQ(Run("DELETE FROM t WHERE id > 3"), 2);
  EXPECT_TRUE(directory_->InTransaction());
  directory_->Rollback();
  EXPECT_EQ(Rows("t"), before);
}

TEST_F(SqlModify, ACommitIntervalCommitsAsItGoes) {
  FillKeyTable(30);
  // Rows committed every 10: the failure on row 25 keeps the first 20 changed.
  Run("INSERT INTO t VALUES (1000, 0, 'x')");
  int code = CodeOf("UPDATE t SET id = id + 975 WHERE id < 100 COMMIT INTERVAL 10");
  EXPECT_EQ(code, engine::kErrDuplicateKey);
  std::vector<std::string> rows = Rows("t");
  int moved = 0;
  for (const std::string& row : rows) moved += std::stoi(row) > 975 && std::stoi(row) < 1000;
  EXPECT_EQ(moved, 20);
  EXPECT_EQ(sql::DefaultCommitInterval(100), 2621);
  EXPECT_EQ(sql::DefaultCommitInterval(16), 8191);
}

// Another session's record locks against an UPDATE of many rows (which locks the span of its
// records at once when it can): a locked row stops the statement, a locked row between the
// changed ones only makes it lock row by row, and nothing stays locked after it.
TEST_F(SqlModify, AnUpdateOfManyRowsHonoursAnotherSessionsRecordLocks) {
  FillKeyTable(200);
  engine::TDataSession* otherSession = engine::CreateEngineSession();
  otherSession->LockRetryCount = 1;
  otherSession->LockWaitTime = 1;
  engine::TDataDirectory* otherDirectory = otherSession->OpenDirectory("other", scratch_.Path());
  {
    TDataCursor other(otherDirectory);
    other.SetTableName("t");
    other.Open();
    auto lockOther = [&](uint32_t n) {
      try {
        other.LockRecord(n);
      } catch (const engine::EFenEngineError& e) {
        return static_cast<int>(e.Code());
      }
      return 0;
    };
    const std::vector<std::string> before = Rows("t");
    // Records hold the rows in key order: record n is k = n.
    ASSERT_EQ(lockOther(150), 0);
    EXPECT_EQ(CodeOf("UPDATE t SET s = 'x' WHERE k > 100"), engine::kErrRecordInUse);
    EXPECT_EQ(Rows("t"), before);
    EXPECT_EQ(Run("UPDATE t SET s = 'y' WHERE k > 100 AND k <> 150"), 99);
    EXPECT_EQ(Run("DELETE FROM t WHERE k > 100 AND k < 150"), 49);
    EXPECT_EQ(CodeOf("UPDATE t SET s = 'z' WHERE k = 150"), engine::kErrRecordInUse) << "still the other's";
    other.UnlockRecord(150);
    for (uint32_t n : {101u, 151u, 175u, 200u}) {
      EXPECT_EQ(lockOther(n), 0) << n;
      other.UnlockRecord(n);
    }
    EXPECT_EQ(Run("UPDATE t SET s = 'z' WHERE k >= 150"), 51);
    EXPECT_EQ(Run("UPDATE t SET s = 'z' WHERE k < 150"), 100);  // records 1..100 as one span
    for (uint32_t n : {1u, 50u, 100u, 150u, 151u, 200u}) {
      EXPECT_EQ(lockOther(n), 0) << n;
      other.UnlockRecord(n);
    }
    other.Close();
  }
  otherSession->CloseDirectory(otherDirectory);
  engine::FreeEngineSession(otherSession);
}

TEST_F(SqlModify, AbortingThroughProgressKeepsTheRowsDone) {
  FillKeyTable(10);
  sql::TQueryStatement statement(directory_);
  size_t consumed = 0;
  statement.Prepare("DELETE FROM t WHERE k > 2", consumed);
  struct TSeen {
    std::vector<std::string> Calls;
  } seen;
  statement.SetProgressCallback(&seen, [](void* owner, int32_t step, int32_t percent, bool& abort) {
    static_cast<TSeen*>(owner)->Calls.push_back(std::to_string(step) + ":" + std::to_string(percent));
    abort = step == 4;
  });
  statement.Execute();
  EXPECT_EQ(statement.GetRowsAffected(), 3);
  EXPECT_EQ(seen.Calls, (std::vector<std::string>{"1:13", "2:25", "3:38", "4:50"}));
  EXPECT_EQ(Rows("t").size(), 7u);
}

TEST_F(SqlModify, InsertFillsColumnsInFieldOrderAndConvertsDates) {
  Run("CREATE TABLE t (a INTEGER, b CHAR(10), d DATE)");
  Run("INSERT INTO t VALUES (1, 'a', '2026-12-09')");
  Run("INSERT INTO t (d, a) VALUES ('0001-01-02', 2)");
  EXPECT_EQ(Rows("t"), (std::vector<std::string>{"1|a|day739959", "2|null|day2"}));
  struct {
    const char* Text;
    const char* Error;
  } cases[] = {
      {"INSERT INTO t VALUES (1, 'a')",
       "11949: The number of values must match the number of table columns"},
      {"INSERT INTO t (a, zz) VALUES (1, 2)",
       "11949: Invalid column name 'zz' or table correlation name '' specified in table columns"},
      {"INSERT INTO t x (y.a) VALUES (1)",
       "11949: Invalid column name 'a' or table correlation name 'y' specified in table columns"},
      {"INSERT INTO t (d) VALUES ('someday')",
       "11949: Date, time, or timestamp expression expected, instead found 'someday' in update "
       "values"},
      {"INSERT INTO t (a) VALUES (TRUE)",
       "11949: Type mismatch between column 'a' and constant 'TRUE' in update values"},
      {"UPDATE t SET a = 1 WHERE nosuch = 2",
       "11949: Invalid column name 'nosuch' or table correlation name '' specified in "
       "WHERE or JOIN clause"},
      {"UPDATE t SET a = 1 WHERE a + 1", "11949: WHERE or JOIN clause must be a boolean expression"},
      {"INSERT INTO t x (x.a, b) VALUES (3, 'c')", "no error"},
  };
  for (const auto& c : cases) EXPECT_EQ(ErrorOf(c.Text), c.Error) << c.Text;
}

TEST_F(SqlModify, NoAutoIncStoresTheGivenNumbers) {
  Run("CREATE TABLE t (n AUTOINC, s CHAR(10))");
  Run("INSERT INTO t VALUES (500, 'given') NOAUTOINC");
  Run("INSERT INTO t VALUES (500, 'made')");
  Run("INSERT INTO t (s) VALUES ('made2')");
  std::vector<std::string> rows = Rows("t");
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_NE(std::find(rows.begin(), rows.end(), "500|given"), rows.end());
  EXPECT_EQ(std::count_if(rows.begin(), rows.end(),
                          [](const std::string& r) { return r.rfind("500|", 0) == 0; }),
            1);
}

TEST_F(SqlModify, BoundParametersAreTheValuesWritten) {
  FillKeyTable(10);
  sql::TFenParams params;
  std::string text = sql::ReplaceParamMarkers(
      "UPDATE t SET s = :text, k = :k * 2 WHERE id BETWEEN :low AND :high", &params);
  params.ParamByName("text").SetAsString("bound");
  params.ParamByName("k").SetAsInteger(21);
  params.ParamByName("low").SetAsInteger(3);
  params.ParamByName("high").SetAsInteger(4);
  sql::TQueryStatement statement(directory_);
  size_t consumed = 0;
  statement.Prepare(text, consumed);
  sql::TBoundParams bound = sql::BindParamValues(params);
  statement.SetParams(params.Count(), bound.Descriptors.data(), bound.Buffer.data(),
                      bound.Buffer.size());
  statement.Execute();
  EXPECT_EQ(statement.GetRowsAffected(), 2);
  std::vector<std::string> rows = Rows("t");
  EXPECT_EQ(rows[3], "3|42|bound");
  EXPECT_EQ(rows[4], "4|42|bound");
  EXPECT_EQ(rows[5], "5|5|s5");
}

TEST_F(SqlModify, InsertSelectOverTheTargetReadsItAsItStood) {
  ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
  SqliteExec("CREATE TABLE u (k INTEGER, s CHAR(12))");
  Run("CREATE TABLE u (k INTEGER, s CHAR(12))");
  Run("CREATE INDEX byk ON u (k)");
  for (int i = 1; i <= 6; ++i) {
    const std::string text =
        "INSERT INTO u VALUES (" + std::to_string(i) + ", 'r" + std::to_string(i) + "')";
    Run(text);
    SqliteExec(text);
  }
  // Plain copies (the SELECT may run on the table's own cursor), copies through an index
  // order, computed copies and a filtered one: each reads only the rows that were there.
  const char* steps[] = {
      "INSERT INTO u SELECT * FROM u",
      "INSERT INTO u SELECT k, s FROM u ORDER BY k",
      "INSERT INTO u (k, s) SELECT k + 1, s FROM u WHERE k > 3",
      "INSERT INTO u SELECT * FROM u WHERE s = 'r2'",
      "INSERT INTO u (s) SELECT s FROM u WHERE k = 1",
  };
  for (const char* text : steps) {
    int32_t rows = Run(text);
    SqliteExec(text);
    ASSERT_EQ(rows, sqlite3_changes(db_)) << text;
    ASSERT_EQ(Rows("u"), SqliteRows("SELECT k, s FROM u")) << text;
  }
}

// Rows selected from other tables are written as they are read: copies, computed and filtered
// ones, a join, bounds on an indexed key and a commit interval shorter than the copy; a key
// clash part way keeps the rows committed before it.
TEST_F(SqlModify, InsertSelectFromOtherTablesMatchesSqlite) {
  ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
  FillKeyTable(60);
  SqliteExec("CREATE TABLE t (id INTEGER PRIMARY KEY, k INTEGER, s CHAR(12))");
  for (int i = 1; i <= 60; ++i) {
    SqliteExec("INSERT INTO t VALUES (" + std::to_string(i) + ", " + std::to_string(i) + ", 's" + std::to_string(i) + "')");
  }
  Run("CREATE TABLE g (k INTEGER, n INTEGER)");
  SqliteExec("CREATE TABLE g (k INTEGER, n INTEGER)");
  for (int i = 1; i <= 8; ++i) {
    const std::string text = "INSERT INTO g VALUES (" + std::to_string(i * 3) + ", " + std::to_string(i) + ")";
    Run(text);
    SqliteExec(text);
  }
  Run("CREATE TABLE u (k INTEGER, s CHAR(12))");
  SqliteExec("CREATE TABLE u (k INTEGER, s CHAR(12))");
  const char* steps[] = {
      "INSERT INTO u SELECT k, s FROM t",
      "INSERT INTO u (k, s) SELECT k * 2, s FROM t WHERE k >= 7 AND k < 19",
      "INSERT INTO u (s) SELECT s FROM t WHERE k > 40 AND k <= 44 AND id <> 42",
      "INSERT INTO u SELECT t.k, t.s FROM t, g WHERE t.k = g.k AND g.n > 2",
      "INSERT INTO u SELECT k + 1000, s FROM t WHERE k > 10 COMMIT INTERVAL 7",
  };
  for (const char* text : steps) {
    int32_t rows = Run(text);
    SqliteExec(std::string(text).substr(0, std::string(text).find(" COMMIT")));
    ASSERT_EQ(rows, sqlite3_changes(db_)) << text;
    ASSERT_EQ(Rows("u"), SqliteRows("SELECT k, s FROM u")) << text;
  }
  // The copy writes ids 61, 62 ... and meets 70 (taken already) at its tenth row: the five
  // rows of the first commit stay, the four after it go with the failed statement.
  Run("INSERT INTO t VALUES (70, 0, 'x')");
  const int code = CodeOf("INSERT INTO t SELECT k + 60, k, s FROM u WHERE k >= 1 AND k <= 20 COMMIT INTERVAL 5");
  EXPECT_EQ(code, engine::kErrDuplicateKey);
  std::vector<std::string> rows = Rows("t");
  int copied = 0;
  for (const std::string& row : rows) copied += std::stoi(row) > 60 && std::stoi(row) < 70;
  EXPECT_EQ(copied, 5);
}

TEST_F(SqlModify, ConditionsWithSubSelectsMatchSqlite) {
  ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
  const char* tables[] = {"CREATE TABLE t (id INTEGER, k INTEGER, s CHAR(12))",
                          "CREATE TABLE g (k INTEGER)"};
  for (const char* text : tables) {
    Run(text);
    SqliteExec(text);
  }
  std::vector<std::string> fill;
  for (int i = 1; i <= 30; ++i) {
    fill.push_back("INSERT INTO t VALUES (" + std::to_string(i) + ", " + std::to_string(i % 7) +
                   ", 'x" + std::to_string(i % 4) + "')");
  }
  fill.push_back("INSERT INTO g VALUES (2)");
  fill.push_back("INSERT INTO g VALUES (5)");
  const char* steps[] = {
      "UPDATE t SET s = 'in' WHERE k IN (SELECT k FROM g)",
      "DELETE FROM t WHERE k NOT IN (SELECT k FROM g) AND id > 20",
      "UPDATE t SET k = k + 10 WHERE s = 'in' AND id < 15",
  };
  for (const std::string& text : fill) {
    Run(text);
    SqliteExec(text);
  }
  for (const char* text : steps) {
    int32_t rows = Run(text);
    SqliteExec(text);
    ASSERT_EQ(rows, sqlite3_changes(db_)) << text;
    ASSERT_EQ(Rows("t"), SqliteRows("SELECT id, k, s FROM t")) << text;
  }
}

TEST_F(SqlModify, InsertFromACursorOnTheTargetStopsAtTheRowsThatWereThere) {
  // A live SELECT over the target is the table's own cursor: it would show every row the
  // statement adds and the copy would never end.
  Run("CREATE TABLE u (k INTEGER, s CHAR(12))");
  Run("CREATE INDEX byk ON u (k)");
  for (int i = 1; i <= 6; ++i) Run("INSERT INTO u VALUES (" + std::to_string(i) + ", 'r')");
  for (uint8_t order : {engine::kPhysicalOrder, uint8_t{1}}) {
    sql::TQueryStatement statement(directory_);
    size_t consumed = 0;
    statement.Prepare("INSERT INTO u SELECT * FROM u", consumed);
    auto source = Open("u");
    source->SetIndexNumber(order);
    size_t before = Rows("u").size();
    sql::ExecuteDataChange(*statement.MainQuery(), directory_, nullptr, source.get());
    EXPECT_EQ(statement.GetRowsAffected(), static_cast<int32_t>(before));
    EXPECT_EQ(Rows("u").size(), 2 * before);
  }
}

TEST_F(SqlModify, MemoValuesAreWrittenWholeAndReplaced) {
  Run("CREATE TABLE b (id INTEGER, m BLOB(1,1))");
  const std::string longText(3000, 'z');
  Run("INSERT INTO b VALUES (1, 'first text')");
  Run("INSERT INTO b VALUES (2, '" + longText + "')");
  {
    // Text constants are short strings: a long value comes as a parameter.
    sql::TFenParams params;
    params.Add(tovenmarsh::dataset::TParamType::ptInput, "m", tovenmarsh::dataset::ftUnknown)
        .SetAsMemo(longText);
    sql::TQueryStatement statement(directory_);
    size_t consumed = 0;
    statement.Prepare("INSERT INTO b VALUES (3, ?)", consumed);
    sql::TBoundParams bound = sql::BindParamValues(params);
    statement.SetParams(1, bound.Descriptors.data(), bound.Buffer.data(), bound.Buffer.size());
    statement.Execute();
  }
  EXPECT_EQ(Run("UPDATE b SET m = 'short' WHERE id = 2"), 1);
  EXPECT_EQ(Run("UPDATE b SET m = NULL WHERE id = 1"), 1);
  auto c = Open("b");
  std::vector<uint8_t> r(c->GetRecordSize());
  c->SetIndexNumber(engine::kPhysicalOrder);
  c->First();
  std::vector<std::string> values;
  while (c->GetNextRecord(r.data()) == 0) {
    uint8_t handle[8];
    if (c->GetFieldData(2, r.data(), handle)) {
      values.push_back("null");
      continue;
    }
    ASSERT_EQ(c->OpenBlob(2, r.data(), 1), 0);
    uint32_t size = 0;
    ASSERT_EQ(c->GetBlobSize(2, r.data(), &size), 0);
    std::string text(size, '\0');
    uint32_t count = 0;
    if (size > 0) {
      ASSERT_EQ(c->ReadBlob(2, r.data(), 0, size, reinterpret_cast<uint8_t*>(text.data()), &count), 0);
    }
    c->CloseBlob(2, r.data());
    values.push_back(text);
  }
  EXPECT_EQ(values, (std::vector<std::string>{"null", "short", longText}));
}

TEST_F(SqlModify, StringEqualityIsExact) {
  Run("CREATE TABLE t (s CHAR(10), n INTEGER)");
  Run("CREATE INDEX bys ON t (s)");
  for (const char* value : {"ab", "abc", "a*", "A*"}) {
    Run(std::string("INSERT INTO t VALUES ('") + value + "', 0)");
  }
  // No prefix match for a trailing '*': only the row holding "a*" itself.
  EXPECT_EQ(Run("UPDATE t SET n = 1 WHERE s = 'a*'"), 1);
  EXPECT_EQ(Run("DELETE FROM t WHERE s = 'ab*'"), 0);
  EXPECT_EQ(Rows("t"), (std::vector<std::string>{"A*|0", "a*|1", "abc|0", "ab|0"}));
}

}  // namespace
