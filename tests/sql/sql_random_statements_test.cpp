// Random SELECT statements over the same random tables in our engine and in SQLite: joins (inner,
// left outer, a self-join), conditions mixing AND, OR and NOT over indexed and unindexed columns,
// IN sub-selects, grouping with COUNT, SUM, MIN and MAX, DISTINCT and ORDER BY on several columns
// and directions. Rows are compared as multisets, as sequences where ORDER BY fixes the order.
// TM_SQL_SEED picks another seed; the failure message names the seed in use.
//
// Where our rules differ from SQLite's, the SQLite text is written so that both mean the same:
//   ours                          SQLite's text                      why
//   a = b, a <> b                 a IS b, a IS NOT b                 two NULLs compare equal here
//   a < b (and >, <=, >=)         coalesce(a < b, 0)                 conditions are two-valued
//                                                                    here, so NOT composes alike
//   x IN (SELECT c ...)           coalesce(x IN (SELECT c ... AND    the sub-select's NULLs never
//                                 c IS NOT NULL), 0)                 match, not even a NULL x
//   ORDER BY c [DESC]             the same                           NULLs sort lowest on both
//                                                                    sides (checked by the test)
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/format/field_desc.h"
#include "sql/support/result_text.h"
#include "sql/support/sql_database.h"

namespace tovenmarsh::sql {
namespace {

// A condition or expression in our form and in SQLite's.
struct TPair {
  std::string Ours;
  std::string Theirs;
};

class RandomStatementsTest : public testing::SqlDatabaseTest {
 protected:
  void SetUp() override {
    SqlDatabaseTest::SetUp();
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    const char* seed = std::getenv("TM_SQL_SEED");
    seed_ = seed != nullptr && *seed != 0 ? static_cast<uint32_t>(std::strtoul(seed, nullptr, 10)) : 20261211u;
    random_.seed(seed_);
  }
  void TearDown() override {
    sqlite3_close(db_);
    SqlDatabaseTest::TearDown();
  }

  void Both(const std::string& sql) {
    Run(sql);
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
  }

  size_t Pick(size_t n) { return static_cast<size_t>(random_() % n); }
  std::string Maybe(const std::string& v) { return Pick(7) == 0 ? std::string("NULL") : v; }

  // t1 keyed on id with an index on k; t2 keyed on id with indexes on k and s. Small value
  // ranges so that joins and groups meet many rows, NULLs in every column but the ids.
  void MakeTables() {
    Both("CREATE TABLE t1 (id INTEGER, k INTEGER, n SMALLINT, s CHAR(6), f FLOAT, PRIMARY KEY (id))");
    Both("CREATE INDEX t1k ON t1 (k)");
    Both("CREATE TABLE t2 (id INTEGER, k INTEGER, v INTEGER, s CHAR(6), PRIMARY KEY (id))");
    Both("CREATE INDEX t2k ON t2 (k)");
    Both("CREATE INDEX t2s ON t2 (s)");
    const char* const words[] = {"'ab'", "'b'", "'abc'", "'zz'", "'c'", "'q'"};
    for (int i = 1; i <= 60; ++i) {
      Both("INSERT INTO t1 VALUES (" + std::to_string(i) + ", " + Maybe(std::to_string(Pick(10))) + ", " +
           Maybe(std::to_string(static_cast<int>(Pick(9)) - 4)) + ", " + Maybe(words[Pick(6)]) + ", " +
           Maybe(FormatDouble(static_cast<double>(Pick(24)) / 4.0)) + ")");
    }
    for (int i = 1; i <= 45; ++i) {
      Both("INSERT INTO t2 VALUES (" + std::to_string(i) + ", " + Maybe(std::to_string(Pick(12))) + ", " +
           Maybe(std::to_string(static_cast<int>(Pick(60)) - 10)) + ", " + Maybe(words[Pick(6)]) + ")");
    }
  }

  std::vector<std::string> Ours(const std::string& sql) {
    std::vector<std::string> rows;
    try {
      TQueryStatement statement(directory_);
      size_t consumed = 0;
      statement.Prepare(sql, consumed);
      engine::TDataCursor* result = statement.Execute();
      if (result == nullptr) return {"no result"};
      std::vector<uint8_t> record(result->GetRecordSize());
      result->First();
      while (result->GetNextRecord(record.data()) == 0) rows.push_back(ResultRowText(*result, record.data()));
    } catch (const engine::EFenEngineError& e) {
      return {"ERROR " + std::to_string(e.Code()) + ": " + e.Names().ExtraText};
    }
    return rows;
  }

  std::vector<std::string> Theirs(const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql << sqlite3_errmsg(db_);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
      rows.push_back(SqliteRowText(st));
    }
    sqlite3_finalize(st);
    return rows;
  }

  // False (and one failure) when the results differ.
  bool Compare(const TPair& q, bool ordered) {
    std::vector<std::string> a = Ours(q.Ours);
    std::vector<std::string> b = Theirs(q.Theirs);
    if (!ordered) {
      std::sort(a.begin(), a.end());
      std::sort(b.begin(), b.end());
    }
    if (a == b) return true;
    std::vector<std::string> sa = a, sb = b, onlyOurs, onlyTheirs;
    std::sort(sa.begin(), sa.end());
    std::sort(sb.begin(), sb.end());
    std::set_difference(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(onlyOurs));
    std::set_difference(sb.begin(), sb.end(), sa.begin(), sa.end(), std::back_inserter(onlyTheirs));
    ADD_FAILURE() << "seed " << seed_ << "\n ours:   " << q.Ours << "\n SQLite: " << q.Theirs
                  << "\n rows " << a.size() << " vs " << b.size() << (ordered ? " (ordered)" : "")
                  << "\n only ours: " << ::testing::PrintToString(onlyOurs)
                  << "\n only SQLite's: " << ::testing::PrintToString(onlyTheirs);
    return false;
  }

  // One two-valued atom over the columns of the given aliases of t1 ("a", "c") and t2 ("b").
  TPair Atom(const std::vector<std::string>& aliases, bool subSelects) {
    const std::string& alias = aliases[Pick(aliases.size())];
    const bool isT2 = alias == "b";
    const char* const t1Columns[] = {"id", "k", "n", "s", "f"};
    const char* const t2Columns[] = {"id", "k", "v", "s"};
    const std::string column = isT2 ? t2Columns[Pick(4)] : t1Columns[Pick(5)];
    const std::string c = alias + "." + column;
    std::string constant;
    if (column == "s") {
      const char* const words[] = {"'ab'", "'b'", "'abc'", "'zz'", "'c'", "'x'"};
      constant = words[Pick(6)];
    } else if (column == "v") {
      constant = std::to_string(static_cast<int>(Pick(60)) - 10);
    } else if (column == "f") {
      constant = FormatDouble(static_cast<double>(Pick(24)) / 4.0);
    } else if (column == "id") {
      constant = std::to_string(Pick(60));
    } else {
      constant = std::to_string(static_cast<int>(Pick(12)) - 2);
    }
    switch (Pick(9)) {
      case 0:
      case 1: return {c + " = " + constant, c + " IS " + constant};
      case 2: return {c + " <> " + constant, c + " IS NOT " + constant};
      case 3:
      case 4: {
        const char* const ops[] = {" < ", " > ", " <= ", " >= "};
        const std::string op = ops[Pick(4)];
        return {c + op + constant, "coalesce(" + c + op + constant + ", 0)"};
      }
      case 5: return {c + " IS NULL", c + " IS NULL"};
      case 6: return {c + " IS NOT NULL", c + " IS NOT NULL"};
      case 7: {
        if (column == "s" || column == "f" || !subSelects) return {c + " IS NULL", c + " IS NULL"};
        if (Pick(2) == 0) {
          const std::string limit = std::to_string(static_cast<int>(Pick(50)) - 10);
          return {c + " IN (SELECT k FROM t2 WHERE v > " + limit + ")",
                  "coalesce(" + c + " IN (SELECT k FROM t2 WHERE coalesce(v > " + limit + ", 0) AND k IS NOT NULL), 0)"};
        }
        const std::string bound = std::to_string(Pick(6));
        return {c + " IN (SELECT n FROM t1 WHERE f < " + bound + ")",
                "coalesce(" + c + " IN (SELECT n FROM t1 WHERE coalesce(f < " + bound + ", 0) AND n IS NOT NULL), 0)"};
      }
      default: {
        // A comparison between two columns of the statement.
        const std::string& other = aliases[Pick(aliases.size())];
        const std::string d = other + (other == "b" ? ".v" : ".n");
        const std::string e = alias + ".k";
        return {e + " < " + d, "coalesce(" + e + " < " + d + ", 0)"};
      }
    }
  }

  // Sub-selects are refused in an outer join's ON, so "subSelects" is false there.
  TPair Condition(const std::vector<std::string>& aliases, int depth, bool subSelects = true) {
    const size_t choice = depth <= 0 ? 0 : Pick(5);
    if (choice <= 1) return Atom(aliases, subSelects);
    if (choice == 2) {
      TPair inner = Condition(aliases, depth - 1, subSelects);
      return {"NOT (" + inner.Ours + ")", "NOT (" + inner.Theirs + ")"};
    }
    TPair left = Condition(aliases, depth - 1, subSelects);
    TPair right = Condition(aliases, depth - 1, subSelects);
    const char* op = choice == 3 ? " AND " : " OR ";
    return {"(" + left.Ours + op + right.Ours + ")", "(" + left.Theirs + op + right.Theirs + ")"};
  }

  // ORDER BY terms in both forms; the SQLite side places NULLs where ours does.
  TPair OrderTerm(const std::string& column, bool descending) {
    const std::string ours = column + (descending ? " DESC" : "");
    // NULLs lowest, as SQLite sorts them, needs no rewriting; NULLs highest does.
    if (nullsFirst_) return {ours, ours};
    const std::string theirs = descending ? column + " IS NOT NULL, " + column + " DESC" : column + " IS NULL, " + column;
    return {ours, theirs};
  }

  sqlite3* db_ = nullptr;
  uint32_t seed_ = 0;
  std::mt19937 random_;
  bool nullsFirst_ = true;
};

TEST_F(RandomStatementsTest, RandomSelectsMatchSqlite) {
  MakeTables();
  // Where ours sorts NULLs: first in ascending order as SQLite does, checked here once.
  {
    std::vector<std::string> rows = Ours("SELECT k FROM t1 ORDER BY k");
    ASSERT_FALSE(rows.empty());
    nullsFirst_ = rows.front() == "NULL";
    std::vector<std::string> down = Ours("SELECT k FROM t1 ORDER BY k DESC");
    ASSERT_FALSE(down.empty());
    // Descending must put the NULLs at the other end.
    EXPECT_EQ(down.front() == "NULL", !nullsFirst_) << "NULLs sort at the same end both ways";
  }
  int failures = 0;
  constexpr int kStatements = 1000;
  for (int round = 0; round < kStatements && failures < 10; ++round) {
    const size_t shape = Pick(7);
    TPair from;
    std::vector<std::string> aliases;
    TPair where;
    std::vector<std::string> columns;
    std::vector<std::string> keys;  // the unique row keys, so that ORDER BY can fix the order
    switch (shape) {
      case 0:  // one table
        from = {"t1 a", "t1 a"};
        aliases = {"a"};
        columns = {"a.id", "a.k", "a.s", "a.f"};
        keys = {"a.id"};
        break;
      case 1:  // inner join on the indexed key, in the WHERE
        from = {"t1 a, t2 b", "t1 a, t2 b"};
        aliases = {"a", "b"};
        where = {"a.k = b.k", "a.k IS b.k"};
        columns = {"a.id", "b.id", "a.n", "b.v", "b.s"};
        keys = {"a.id", "b.id"};
        break;
      case 2:  // inner join with JOIN ... ON on an unindexed column
        from = {"t1 a JOIN t2 b ON a.s = b.s", "t1 a JOIN t2 b ON a.s IS b.s"};
        aliases = {"a", "b"};
        columns = {"a.id", "b.id", "a.s", "b.k"};
        keys = {"a.id", "b.id"};
        break;
      case 3:
      case 4: {  // left outer join, sometimes with a condition on the inner table in ON
        TPair on = {"a.k = b.k", "a.k IS b.k"};
        if (Pick(2) == 0) {
          TPair extra = Condition({"b"}, 1, false);
          on = {on.Ours + " AND " + extra.Ours, on.Theirs + " AND " + extra.Theirs};
        }
        from = {"t1 a LEFT OUTER JOIN t2 b ON " + on.Ours, "t1 a LEFT OUTER JOIN t2 b ON " + on.Theirs};
        aliases = {"a", "b"};
        columns = {"a.id", "b.id", "a.k", "b.v"};
        keys = {"a.id", "b.id"};
        break;
      }
      case 5:  // self-join: rows of t1 whose k is another row's n
        from = {"t1 a, t1 c", "t1 a, t1 c"};
        aliases = {"a", "c"};
        where = {"a.k = c.n", "a.k IS c.n"};
        columns = {"a.id", "c.id", "a.s", "c.f"};
        keys = {"a.id", "c.id"};
        break;
      default:  // t2 alone, over its two indexes
        from = {"t2 b", "t2 b"};
        aliases = {"b"};
        columns = {"b.id", "b.k", "b.v", "b.s"};
        keys = {"b.id"};
        break;
    }
    if (Pick(4) != 0) {
      TPair c = Condition(aliases, 3);
      if (where.Ours.empty()) {
        where = c;
      } else {
        where = {where.Ours + " AND " + c.Ours, where.Theirs + " AND " + c.Theirs};
      }
    }
    const std::string whereOurs = where.Ours.empty() ? "" : " WHERE " + where.Ours;
    const std::string whereTheirs = where.Theirs.empty() ? "" : " WHERE " + where.Theirs;

    const size_t form = Pick(4);
    if (form == 0) {
      // Grouping over one column with a few aggregates.
      const std::string group = columns[1 + Pick(columns.size() - 1)];
      std::string list = group;
      const char* const functions[] = {"COUNT", "SUM", "MIN", "MAX"};
      for (size_t n = 1 + Pick(3); n > 0; --n) {
        if (Pick(4) == 0) {
          list += ", COUNT(*)";
          continue;
        }
        std::string argument = columns[Pick(columns.size())];
        const std::string fn = functions[Pick(4)];
        if (argument.find(".s") != std::string::npos && fn == "SUM") argument = columns[0];
        list += ", " + fn + "(" + argument + ")";
      }
      const bool ordered = Pick(2) == 0;
      TPair order = OrderTerm(group, Pick(2) == 0);
      if (!Compare({"SELECT " + list + " FROM " + from.Ours + whereOurs + " GROUP BY " + group +
                   (ordered ? " ORDER BY " + order.Ours : ""),
               "SELECT " + list + " FROM " + from.Theirs + whereTheirs + " GROUP BY " + group +
                   (ordered ? " ORDER BY " + order.Theirs : "")},
              ordered)) {
        ++failures;
      }
    } else if (form == 1) {
      // DISTINCT over one or two non-key columns.
      std::string list = columns[1 + Pick(columns.size() - 1)];
      if (Pick(2) == 0) list += ", " + columns[1 + Pick(columns.size() - 1)];
      if (!Compare({"SELECT DISTINCT " + list + " FROM " + from.Ours + whereOurs,
               "SELECT DISTINCT " + list + " FROM " + from.Theirs + whereTheirs},
              false)) {
        ++failures;
      }
    } else {
      // Plain rows, ordered on a few columns (the keys last, so the order is total) or not.
      std::string list;
      for (const std::string& c : columns) list += (list.empty() ? "" : ", ") + c;
      if (form == 2) {
        if (!Compare({"SELECT " + list + " FROM " + from.Ours + whereOurs, "SELECT " + list + " FROM " + from.Theirs + whereTheirs},
                false)) {
          ++failures;
        }
        continue;
      }
      std::string orderOurs, orderTheirs;
      for (size_t n = 1 + Pick(2); n > 0; --n) {
        TPair term = OrderTerm(columns[1 + Pick(columns.size() - 1)], Pick(2) == 0);
        orderOurs += (orderOurs.empty() ? "" : ", ") + term.Ours;
        orderTheirs += (orderTheirs.empty() ? "" : ", ") + term.Theirs;
      }
      for (const std::string& key : keys) {
        TPair term = OrderTerm(key, Pick(2) == 0);
        orderOurs += ", " + term.Ours;
        orderTheirs += ", " + term.Theirs;
      }
      if (!Compare({"SELECT " + list + " FROM " + from.Ours + whereOurs + " ORDER BY " + orderOurs,
               "SELECT " + list + " FROM " + from.Theirs + whereTheirs + " ORDER BY " + orderTheirs},
              true)) {
        ++failures;
      }
    }
  }
}


}  // namespace
}  // namespace tovenmarsh::sql
