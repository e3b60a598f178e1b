// SELECT execution against SQLite: the same random tables (NULLs included) in both, a table of
// queries over joins, conditions across tables, sub-selects, DISTINCT, grouping with every
// aggregate, HAVING and ORDER BY, compared as multisets of rows (as sequences where ORDER BY
// fixes the order). Plus the statement's messages for names and clauses it cannot resolve.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/cursor/cursor.h"
#include "engine/start/engine_start.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "sql/query_statement.h"
#include "sql/support/result_text.h"

namespace tovenmarsh::sql {
namespace {

using engine::FieldDesc;

FieldDesc Field(const char* name, uint8_t type, uint8_t size = 0) {
  FieldDesc f;
  f.Name = name;
  f.FieldType = type;
  f.Size = size;
  return f;
}

// One value as both sides print it.
class SelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "/sql_select_XXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    engine::EngineStart();
    session_ = engine::CreateEngineSession();
    session_->LockRetryCount = 1;
    session_->LockWaitTime = 1;
    session_->SetPrivateDir(dir_);
    directory_ = session_->OpenDirectory("", dir_);
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
  }
  void TearDown() override {
    sqlite3_close(db_);
    session_->CloseDirectory(directory_);
    engine::FreeEngineSession(session_);
    engine::EngineStop();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  void Sqlite(const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
  }

  void CreateTable(const std::string& name, std::vector<FieldDesc> fields,
                   std::vector<engine::IndexDesc> indexes = {}, uint16_t languageId = 0) {
    engine::TTableDefinition d;
    d.Data.LanguageId = languageId;
    d.Data.Fields = fields;
    d.Indexes = indexes;
    engine::TDataTable* t = nullptr;
    ASSERT_EQ(directory_->CreateTable(name, false, false, d, &t), 0);
    ASSERT_EQ(directory_->CloseTable(t), 0);
    std::string sql = "CREATE TABLE " + name + "(";
    for (size_t i = 0; i < fields.size(); ++i) sql += (i ? ", " : "") + fields[i].Name;
    Sqlite(sql + ")");
  }

  // Values as SQL literals ("NULL" for none); the engine gets them through its cursor.
  void Insert(const std::string& name, const std::vector<std::string>& values) {
    engine::TDataCursor cursor(directory_);
    cursor.SetTableName(name);
    cursor.Open();
    std::vector<uint8_t> record(cursor.GetRecordSize());
    cursor.InitRecord(record.data());
    for (size_t i = 0; i < values.size(); ++i) {
      const FieldDesc& f = cursor.GetFieldDesc(static_cast<uint32_t>(i + 1));
      const std::string& v = values[i];
      if (v == "NULL") {
        cursor.SetFieldData(static_cast<uint32_t>(i + 1), record.data(), nullptr);
        continue;
      }
      uint8_t data[260] = {};
      switch (f.FieldType) {
        case engine::fldInt16:
        case engine::fldBool: {
          int16_t x = static_cast<int16_t>(std::stoi(v));
          std::memcpy(data, &x, 2);
          break;
        }
        case engine::fldInt32:
        case engine::fldDate: {
          int32_t x = std::stoi(v);
          std::memcpy(data, &x, 4);
          break;
        }
        case engine::fldFloat:
        case engine::fldTimeStamp: {
          double x = std::stod(v);
          std::memcpy(data, &x, 8);
          break;
        }
        default: {
          std::string text = v.substr(1, v.size() - 2);
          std::memcpy(data, text.data(), text.size());
        }
      }
      cursor.SetFieldData(static_cast<uint32_t>(i + 1), record.data(), data);
    }
    cursor.InsertRecord(record.data(), false);
    cursor.Close();
    std::string sql = "INSERT INTO " + name + " VALUES(";
    for (size_t i = 0; i < values.size(); ++i) sql += (i ? ", " : "") + values[i];
    Sqlite(sql + ")");
  }

  // The result column names of a SELECT (hidden ones too when asked), joined by ",".
  std::string Names(const std::string& sql, bool hidden = false) {
    try {
      TQueryStatement statement(directory_);
      size_t consumed = 0;
      statement.Prepare(sql, consumed);
      engine::TDataCursor* result = statement.Execute();
      std::string names;
      for (uint32_t i = 1; i <= result->GetFieldCount(); ++i) {
        if (result->GetFieldDesc(i).Hidden && !hidden) continue;
        names += (names.empty() ? "" : ",") + result->GetFieldDesc(i).Name;
      }
      return names;
    } catch (const engine::EFenEngineError& e) {
      return "ERROR " + std::to_string(e.Code()) + ": " + e.Names().ExtraText;
    }
  }

  // The rows of our SELECT, or "ERROR code: message".
  std::vector<std::string> Ours(const std::string& sql, int32_t maxRows = -1,
                                TProgressCallback progress = nullptr, void* progressOwner = nullptr) {
    std::vector<std::string> rows;
    try {
      TQueryStatement statement(directory_);
      size_t consumed = 0;
      statement.SetMaxRowCount(maxRows);
      statement.SetProgressCallback(progressOwner, progress);
      statement.Prepare(sql, consumed);
      engine::TDataCursor* result = statement.Execute();
      rows = ReadRows(result);
      EXPECT_EQ(static_cast<int32_t>(rows.size()), statement.GetRowsAffected()) << sql;
    } catch (const engine::EFenEngineError& e) {
      return {"ERROR " + std::to_string(e.Code()) + ": " + e.Names().ExtraText + (e.Names().ExtraText.empty() ? e.Names().TableName : std::string())};
    }
    return rows;
  }

  static std::vector<std::string> ReadRows(engine::TDataCursor* result) {
    std::vector<std::string> rows;
    {
      if (result == nullptr) return {"no result"};
      std::vector<uint8_t> record(result->GetRecordSize());
      result->First();
      while (result->GetNextRecord(record.data()) == 0) rows.push_back(ResultRowText(*result, record.data()));
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

  std::string dir_;
  engine::TDataSession* session_ = nullptr;
  engine::TDataDirectory* directory_ = nullptr;
  sqlite3* db_ = nullptr;
};

// Two tables of random rows; NULLs in every column but the ids.
class SelectOracleTest : public SelectTest {
 protected:
  void SetUp() override {
    SelectTest::SetUp();
    CreateTable("ta", {Field("id", engine::fldInt32), Field("k", engine::fldInt32), Field("n", engine::fldInt16),
                       Field("s", engine::fldZString, 6), Field("f", engine::fldFloat), Field("g", engine::fldBool)});
    CreateTable("tb", {Field("id", engine::fldInt32), Field("k", engine::fldInt32), Field("v", engine::fldInt32),
                       Field("s", engine::fldZString, 6)});
    std::mt19937 random(20261211);
    auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
    auto maybe = [&](std::string v) { return pick(6) == 0 ? std::string("NULL") : v; };
    const char* const words[] = {"'ab'", "'b'", "'Ab'", "'abc'", "'zz'", "'c'"};
    for (int i = 1; i <= 40; ++i) {
      Insert("ta", {std::to_string(i), maybe(std::to_string(pick(8))), maybe(std::to_string(pick(7) - 3)),
                    maybe(words[pick(6)]), maybe(FormatDouble(pick(20) / 4.0)), maybe(std::to_string(pick(2)))});
    }
    CreateTable("tc", {Field("id", engine::fldInt32), Field("v", engine::fldInt32), Field("w", engine::fldZString, 4)});
    for (int i = 1; i <= 12; ++i) {
      Insert("tc", {std::to_string(i), maybe(std::to_string(pick(50) - 10)), maybe(words[pick(6)])});
    }
    for (int i = 1; i <= 25; ++i) {
      Insert("tb", {std::to_string(i), maybe(std::to_string(pick(10))), maybe(std::to_string(pick(50) - 10)),
                    maybe(words[pick(6)])});
    }
  }

  void Compare(const std::string& ours, const std::string& theirs, bool ordered) {
    std::vector<std::string> a = Ours(ours);
    std::vector<std::string> b = Theirs(theirs);
    if (!ordered) {
      std::sort(a.begin(), a.end());
      std::sort(b.begin(), b.end());
    }
    if (a != b) {
      std::vector<std::string> onlyOurs, onlyTheirs;
      std::vector<std::string> sa = a, sb = b;
      std::sort(sa.begin(), sa.end());
      std::sort(sb.begin(), sb.end());
      std::set_difference(sa.begin(), sa.end(), sb.begin(), sb.end(), std::back_inserter(onlyOurs));
      std::set_difference(sb.begin(), sb.end(), sa.begin(), sa.end(), std::back_inserter(onlyTheirs));
      ADD_FAILURE() << ours << "\n only ours: " << ::testing::PrintToString(onlyOurs)
                    << "\n only SQLite's: " << ::testing::PrintToString(onlyTheirs);
    }
  }
};

struct TOracleCase {
  const char* Ours;
  const char* Theirs;  // nullptr: the same text
  bool Ordered;
};

// The engine compares with "=" and "<>" treating NULL as a value (two NULLs are equal): SQLite's
// side writes IS and IS NOT where a NULL can meet a NULL.
const TOracleCase kCases[] = {
    {"SELECT id, k, n, s FROM ta", nullptr, false},
    {"SELECT * FROM ta WHERE k > 3 AND n < 1", nullptr, false},
    {"SELECT id FROM ta WHERE NOT (k > 3 OR n < 0)", "SELECT id FROM ta WHERE NOT (coalesce(k > 3, 0) OR coalesce(n < 0, 0))", false},
    {"SELECT ta.id, tb.id FROM ta, tb WHERE ta.k = tb.k", "SELECT ta.id, tb.id FROM ta, tb WHERE ta.k IS tb.k", false},
    {"SELECT ta.id, tb.id FROM ta JOIN tb ON ta.k = tb.k AND tb.v > 5",
     "SELECT ta.id, tb.id FROM ta JOIN tb ON ta.k IS tb.k AND tb.v > 5", false},
    {"SELECT ta.id, tb.id, tb.v FROM ta LEFT OUTER JOIN tb ON ta.k = tb.k AND tb.v > 5",
     "SELECT ta.id, tb.id, tb.v FROM ta LEFT OUTER JOIN tb ON ta.k IS tb.k AND tb.v > 5", false},
    {"SELECT ta.id, tb.id FROM ta LEFT JOIN tb ON ta.k = tb.k AND ta.n > 0",
     "SELECT ta.id, tb.id FROM ta LEFT JOIN tb ON ta.k IS tb.k AND ta.n > 0", false},
    {"SELECT ta.id, tb.id FROM ta LEFT JOIN tb ON ta.k = tb.k WHERE tb.id IS NULL",
     "SELECT ta.id, tb.id FROM ta LEFT JOIN tb ON ta.k IS tb.k WHERE tb.id IS NULL", false},
    {"SELECT ta.id, tb.id FROM tb RIGHT OUTER JOIN ta ON ta.k = tb.k AND tb.v < 20",
     "SELECT ta.id, tb.id FROM ta LEFT JOIN tb ON ta.k IS tb.k AND tb.v < 20", false},
    {"SELECT ta.id, tb.id FROM ta, tb WHERE NOT (ta.n = 1 OR tb.v > 10) AND ta.k = tb.k",
     "SELECT ta.id, tb.id FROM ta, tb WHERE NOT (ta.n IS 1 OR coalesce(tb.v > 10, 0)) AND ta.k IS tb.k", false},
    {"SELECT ta.id, tb.id FROM ta, tb WHERE ta.k = tb.k AND (ta.n > 1 OR tb.v < 0)",
     "SELECT ta.id, tb.id FROM ta, tb WHERE ta.k IS tb.k AND (coalesce(ta.n > 1, 0) OR coalesce(tb.v < 0, 0))", false},
    {"SELECT ta.id, tb.id FROM ta, tb WHERE tb.v > ta.k * 3 AND ta.id < 10", nullptr, false},
    {"SELECT ta.id, tb.id FROM ta, tb WHERE tb.k = ta.f AND ta.id < 30", "SELECT ta.id, tb.id FROM ta, tb WHERE tb.k IS ta.f AND ta.id < 30", false},
    {"SELECT id FROM ta WHERE k IN (SELECT k FROM tb WHERE v > 10)",
     "SELECT id FROM ta WHERE coalesce(k IN (SELECT k FROM tb WHERE v > 10 AND k IS NOT NULL), 0)", false},
    {"SELECT id FROM ta WHERE k NOT IN (SELECT k FROM tb)",
     "SELECT id FROM ta WHERE NOT coalesce(k IN (SELECT k FROM tb WHERE k IS NOT NULL), 0)", false},
    {"SELECT DISTINCT k FROM ta", nullptr, false},
    {"SELECT DISTINCT s, g FROM ta", nullptr, false},
    {"SELECT k, COUNT(*), COUNT(n), SUM(n), MIN(n), MAX(n) FROM ta GROUP BY k", nullptr, false},
    {"SELECT k, AVG(f), SUM(f), MIN(s), MAX(s) FROM ta GROUP BY k",
     "SELECT k, AVG(f), SUM(f), MIN(s), MAX(s) FROM ta GROUP BY k", false},
    {"SELECT g, COUNT(*), MIN(g), MAX(g) FROM ta GROUP BY g", nullptr, false},
    {"SELECT DISTINCT k, COUNT(*) FROM ta GROUP BY k", nullptr, false},
    {"SELECT k, SUM(n) FROM ta GROUP BY k HAVING SUM(n) > 0", nullptr, false},
    {"SELECT k, COUNT(n) FROM ta GROUP BY k HAVING COUNT(n) >= 5", nullptr, false},
    {"SELECT k, MIN(s), MAX(f) FROM ta GROUP BY k HAVING MAX(f) > 3 AND k > 1",
     "SELECT k, MIN(s), MAX(f) FROM ta GROUP BY k HAVING coalesce(MAX(f) > 3, 0) AND k > 1", false},
    {"SELECT COUNT(*), COUNT(k), SUM(k), AVG(k), MIN(s), MAX(f) FROM ta", nullptr, false},
    {"SELECT COUNT(*), COUNT(k), SUM(k), AVG(k), MIN(k) FROM ta WHERE id > 1000", nullptr, false},
    {"SELECT COUNT(*) FROM ta", nullptr, false},
    {"SELECT COUNT(*) FROM ta WHERE k > 2", nullptr, false},
    {"SELECT id, k FROM ta ORDER BY k DESC, id", "SELECT id, k FROM ta ORDER BY k IS NULL, k DESC, id", true},
    {"SELECT tb.k, COUNT(*), SUM(ta.n) FROM ta, tb WHERE ta.k = tb.k GROUP BY tb.k ORDER BY 1",
     "SELECT tb.k, COUNT(*), SUM(ta.n) FROM ta, tb WHERE ta.k IS tb.k GROUP BY tb.k ORDER BY 1", true},
    {"SELECT id, k + n FROM ta WHERE k + n > 4", nullptr, false},
    {"SELECT ta.id, tb.id, tc.id FROM ta, tb, tc WHERE ta.k = tb.k AND tb.v = tc.v",
     "SELECT ta.id, tb.id, tc.id FROM ta, tb, tc WHERE ta.k IS tb.k AND tb.v IS tc.v", false},
    {"SELECT ta.id, tb.id, tc.id FROM ta, tb, tc WHERE ta.k = tb.k AND tc.w = ta.s AND tc.v > tb.v",
     "SELECT ta.id, tb.id, tc.id FROM ta, tb, tc WHERE ta.k IS tb.k AND tc.w IS ta.s AND tc.v > tb.v", false},
    {"SELECT ta.id, tb.id, tc.id FROM ta LEFT JOIN tb ON ta.k = tb.k LEFT JOIN tc ON tc.v = tb.v",
     "SELECT ta.id, tb.id, tc.id FROM ta LEFT JOIN tb ON ta.k IS tb.k LEFT JOIN tc ON tc.v IS tb.v", false},
    {"SELECT ta.id, tc.id FROM ta LEFT JOIN tc ON tc.w = ta.s AND tc.v < ta.k * 4 WHERE ta.id < 20",
     "SELECT ta.id, tc.id FROM ta LEFT JOIN tc ON tc.w IS ta.s AND tc.v < ta.k * 4 WHERE ta.id < 20", false},
    {"SELECT ta.id, tb.id FROM ta LEFT JOIN tb ON ta.k = tb.k WHERE tb.v > 5 OR ta.n = 2",
     "SELECT ta.id, tb.id FROM ta LEFT JOIN tb ON ta.k IS tb.k WHERE coalesce(tb.v > 5, 0) OR ta.n IS 2", false},
    {"SELECT ta.k, COUNT(tb.id), COUNT(*) FROM ta LEFT JOIN tb ON ta.k = tb.k AND tb.v > 0 GROUP BY ta.k",
     "SELECT ta.k, COUNT(tb.id), COUNT(*) FROM ta LEFT JOIN tb ON ta.k IS tb.k AND tb.v > 0 GROUP BY ta.k", false},
    {"SELECT tc.id FROM tc WHERE tc.v IN (SELECT v FROM tb WHERE s = 'b') OR tc.w = 'c'",
     "SELECT tc.id FROM tc WHERE coalesce(tc.v IN (SELECT v FROM tb WHERE s = 'b' AND v IS NOT NULL), 0) OR tc.w IS 'c'", false},
    {"SELECT id, s FROM ta WHERE s IS NOT NULL ORDER BY s DESC, id", nullptr, true},
    {"SELECT id FROM ta WHERE k IN (SELECT k FROM tb WHERE v IN (SELECT v FROM tc WHERE w <> 'c'))",
     "SELECT id FROM ta WHERE coalesce(k IN (SELECT k FROM tb WHERE k IS NOT NULL AND "
     "coalesce(v IN (SELECT v FROM tc WHERE w IS NOT 'c' AND v IS NOT NULL), 0)), 0)", false},
    {"SELECT id, s FROM ta WHERE s IS NOT NULL ORDER BY s, id DESC", nullptr, true},
    {"SELECT DISTINCT s FROM ta WHERE s IS NOT NULL ORDER BY s NOCASE",
     "SELECT DISTINCT s FROM ta WHERE s IS NOT NULL ORDER BY lower(s), s", false},
    {"SELECT ta.s, SUM(tb.v), MAX(tb.v) FROM ta, tb WHERE ta.k = tb.k GROUP BY ta.s HAVING MAX(tb.v) > 20 ORDER BY 2 DESC",
     "SELECT ta.s, SUM(tb.v), MAX(tb.v) FROM ta, tb WHERE ta.k IS tb.k GROUP BY ta.s HAVING MAX(tb.v) > 20 ORDER BY 2 DESC",
     false},
};

TEST_F(SelectOracleTest, ResultsMatchSqlite) {
  for (const TOracleCase& c : kCases) Compare(c.Ours, c.Theirs != nullptr ? c.Theirs : c.Ours, c.Ordered);
}


// Random conditions over two tables, AND, OR and NOT mixed, in WHERE and in an outer join's ON:
// however they are split into filters, links and per-row tests, the rows must be SQLite's.
TEST_F(SelectOracleTest, RandomConditionsAcrossTablesMatchSqlite) {
  // Each atom in our form and in SQLite's, made two-valued so that NOT composes alike.
  const std::pair<const char*, const char*> atoms[] = {
      {"ta.k = tb.k", "ta.k IS tb.k"},
      {"ta.n > 0", "coalesce(ta.n > 0, 0)"},
      {"tb.v < 10", "coalesce(tb.v < 10, 0)"},
      {"ta.s = 'ab'", "ta.s IS 'ab'"},
      {"tb.s <> ta.s", "tb.s IS NOT ta.s"},
      {"ta.k IS NULL", "ta.k IS NULL"},
      {"tb.v BETWEEN 0 AND 20", "coalesce(tb.v BETWEEN 0 AND 20, 0)"},
      {"ta.k IN (1, 3, 5)", "coalesce(ta.k IN (1, 3, 5), 0)"},
      {"tb.v > ta.k * 2", "coalesce(tb.v > ta.k * 2, 0)"},
      {"ta.f < tb.k", "coalesce(ta.f < tb.k, 0)"},
      {"ta.k IN (1, 3, 5)", "coalesce(ta.k IN (1, 3, 5), 0)"},
      {"ta.k IN (1, 3, 5) AND tb.k = 3", "coalesce(ta.k IN (1, 3, 5), 0) AND tb.k IS 3"},
      {"NOT (ta.k IN (1, 3, 5)) OR tb.k = 3", "NOT coalesce(ta.k IN (1, 3, 5), 0) OR tb.k IS 3"},
      {"ta.k + 0 IN (1, 3, 5) OR tb.k = 3", "coalesce(ta.k IN (1, 3, 5), 0) OR tb.k IS 3"},
      {"tb.k = 3", "tb.k IS 3"},
  };
  std::mt19937 random(7);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  std::function<std::pair<std::string, std::string>(int)> make = [&](int depth) -> std::pair<std::string, std::string> {
    const size_t choice = depth <= 0 ? 0 : pick(4);
    if (choice == 0) {
      const auto& a = atoms[pick(std::size(atoms))];
      return {a.first, a.second};
    }
    if (choice == 1) {
      auto inner = make(depth - 1);
      return {"NOT (" + inner.first + ")", "NOT (" + inner.second + ")"};
    }
    auto left = make(depth - 1);
    auto right = make(depth - 1);
    const char* op = choice == 2 ? " AND " : " OR ";
    return {"(" + left.first + op + right.first + ")", "(" + left.second + op + right.second + ")"};
  };
  for (int round = 0; round < 60; ++round) {
    const auto where = make(3);
    Compare("SELECT ta.id, tb.id FROM ta, tb WHERE " + where.first,
            "SELECT ta.id, tb.id FROM ta, tb WHERE " + where.second, false);
    const auto on = make(2);
    const auto after = make(1);
    Compare("SELECT ta.id, tb.id FROM ta LEFT JOIN tb ON ta.k = tb.k AND " + on.first + " WHERE " + after.first,
            "SELECT ta.id, tb.id FROM ta LEFT JOIN tb ON ta.k IS tb.k AND " + on.second + " WHERE " + after.second,
            false);
  }
}

// Random groupings: a grouping column, a few aggregates, a condition, sometimes HAVING over one
// of the aggregates and DISTINCT, over one table and over a join; compared with SQLite.
TEST_F(SelectOracleTest, RandomGroupingsMatchSqlite) {
  const char* const groups[] = {"ta.k", "ta.n", "ta.s", "ta.g", "tb.s"};
  const char* const aggregates[] = {"COUNT(*)", "COUNT(ta.n)", "SUM(ta.n)", "MIN(ta.n)", "MAX(ta.f)", "AVG(ta.k)",
                                    "SUM(tb.v)", "MIN(ta.s)", "MAX(tb.s)", "AVG(tb.v)", "COUNT(tb.v)", "SUM(ta.f)"};
  const std::pair<const char*, const char*> conditions[] = {
      {"ta.n > -2", "ta.n > -2"}, {"tb.v < 30", "tb.v < 30"}, {"ta.s <> 'c'", "ta.s IS NOT 'c'"}, {"ta.id > 0", "ta.id > 0"}};
  std::mt19937 random(99);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  for (int round = 0; round < 40; ++round) {
    const std::string group = groups[pick(std::size(groups))];
    const bool join = group.rfind("tb.", 0) == 0 || pick(2) == 0;
    std::vector<std::string> chosen;
    for (size_t n = 1 + pick(3); chosen.size() < n;) {
      std::string a = aggregates[pick(std::size(aggregates))];
      if (!join && a.find("tb.") != std::string::npos) continue;
      chosen.push_back(a);
    }
    std::string columns = group;
    for (const std::string& a : chosen) columns += ", " + a;
    const auto& condition = conditions[pick(std::size(conditions))];
    std::string from = join ? " FROM ta, tb WHERE " : " FROM ta WHERE ";
    std::string ours = from + condition.first;
    std::string theirs = from + condition.second;
    if (join) {
      ours += " AND ta.k = tb.k";
      theirs += " AND ta.k IS tb.k";
    } else if (condition.first[0] == 't' && condition.first[1] == 'b') {
      continue;
    }
    ours += " GROUP BY " + group;
    theirs += " GROUP BY " + group;
    if (pick(2) == 0) {
      // HAVING only over numeric aggregates of the select list (the grammar takes no "*" there).
      const std::string& a = chosen[pick(chosen.size())];
      if (a.find(".s)") == std::string::npos && a != "COUNT(*)") {
        ours += " HAVING " + a + " > 2";
        theirs += " HAVING coalesce(" + a + " > 2, 0)";
      }
    }
    const std::string distinct = pick(3) == 0 ? "DISTINCT " : "";
    Compare("SELECT " + distinct + columns + ours, "SELECT " + distinct + columns + theirs, false);
  }
}

// A column bounded from below and above (strict or not, crossing or not, written either way
// round), on an indexed and on plain integer columns, alone, beside other conditions, in a join
// and under aggregates: whatever filter answers the bounds, the rows must be SQLite's.
TEST_F(SelectOracleTest, RandomBoundsOnOneColumnMatchSqlite) {
  for (const char* text : {"CREATE INDEX tak ON ta (k)", "CREATE INDEX tbv ON tb (v)"}) {
    TQueryStatement statement(directory_);
    size_t consumed = 0;
    statement.Prepare(text, consumed);
    EXPECT_EQ(statement.Execute(), nullptr) << text;
  }
  const char* const columns[] = {"ta.k", "ta.n", "ta.id", "tb.v", "tb.k"};
  const char* const lows[] = {" > ", " >= "};
  const char* const highs[] = {" < ", " <= "};
  const std::pair<const char*, const char*> others[] = {
      {"", ""}, {" AND ta.n > -2", " AND ta.n > -2"}, {" AND ta.s <> 'c'", " AND ta.s IS NOT 'c'"},
      {" AND ta.k < 6", " AND ta.k < 6"}, {" AND tb.v >= 0", " AND tb.v >= 0"}};
  const char* const selects[] = {"SELECT ta.id, tb.id", "SELECT COUNT(*)", "SELECT COUNT(*), MIN(tb.v), MAX(ta.k), SUM(ta.k)"};
  std::mt19937 random(4242);
  auto pick = [&](size_t n) { return static_cast<size_t>(random() % n); };
  for (int round = 0; round < 80; ++round) {
    const std::string column = columns[pick(std::size(columns))];
    const bool join = column.rfind("tb.", 0) == 0 || pick(2) == 0;
    const int low = static_cast<int>(pick(16)) - 4;
    const int high = low + static_cast<int>(pick(12)) - 2;
    std::string lower = column + lows[pick(2)] + std::to_string(low);
    std::string upper = column + highs[pick(2)] + std::to_string(high);
    if (pick(4) == 0) upper = std::to_string(high) + (upper.find("<=") != std::string::npos ? " >= " : " > ") + column;
    const bool lowerFirst = pick(2) == 0;
    const auto& other = others[pick(std::size(others))];
    if (!join && std::string(other.first).find("tb.") != std::string::npos) continue;
    const std::string bounds = lowerFirst ? lower + " AND " + upper : upper + " AND " + lower;
    std::string select = join ? selects[pick(std::size(selects))] : "SELECT ta.id, ta.k, ta.n";
    if (!join && pick(3) == 0) select = "SELECT COUNT(*), MIN(ta.k), MAX(ta.n)";
    const std::string from = join ? " FROM ta, tb WHERE " : " FROM ta WHERE ";
    const std::string link = join ? " AND ta.k = tb.k" : "";
    const std::string theirsLink = join ? " AND ta.k IS tb.k" : "";
    Compare(select + from + bounds + other.first + link, select + from + bounds + other.second + theirsLink, false);
  }
  // Rows found through a key of an index keep the order of a walk over the whole table.
  for (int k = -1; k <= 8; ++k) {
    const std::string value = std::to_string(k);
    Compare("SELECT id, k, s FROM ta WHERE k = " + value, "SELECT id, k, s FROM ta WHERE k = " + value + " ORDER BY id", true);
    Compare("SELECT id FROM ta WHERE k >= " + value + " AND k < " + std::to_string(k + 4) + " AND n <> 0",
            "SELECT id FROM ta WHERE k >= " + value + " AND k < " + std::to_string(k + 4) + " AND n IS NOT 0 ORDER BY id", true);
    Compare("SELECT k, COUNT(*), MIN(id), MAX(n) FROM ta WHERE k BETWEEN " + value + " AND 5 GROUP BY k",
            "SELECT k, COUNT(*), MIN(id), MAX(n) FROM ta WHERE k BETWEEN " + value + " AND 5 GROUP BY k", true);
    Compare("SELECT id FROM tb WHERE v = " + std::to_string(k * 4) + " OR v = 3", "SELECT id FROM tb WHERE v = " + std::to_string(k * 4) + " OR v = 3 ORDER BY id", true);
  }
  // Several bounds on one column: a pair may merge, every bound still holds.
  Compare("SELECT id FROM ta WHERE k >= 2 AND k < 5 AND k <= 4 AND k > 2", "SELECT id FROM ta WHERE k >= 2 AND k < 5 AND k <= 4 AND k > 2", false);
}

// MIN and MAX order strings by the table's collation (byte order without a language) and
// booleans false before true.
TEST_F(SelectTest, MinAndMaxFollowTheTablesCollation) {
  CreateTable("en", {Field("s", engine::fldZString, 4), Field("g", engine::fldBool)}, {}, 1033);
  CreateTable("plain", {Field("s", engine::fldZString, 4)});
  for (const char* v : {"'b'", "'C'", "NULL"}) {
    Insert("en", {v, std::string(v) == "'b'" ? "1" : "0"});
    Insert("plain", {v});
  }
  EXPECT_EQ(Ours("SELECT MIN(s), MAX(s), MIN(g), MAX(g) FROM en"), std::vector<std::string>{"b|C|0|1"});
  EXPECT_EQ(Ours("SELECT MIN(s), MAX(s) FROM plain"), std::vector<std::string>{"C|b"});
}

// A small fixed table for the cases whose answers are written out.
class SelectFixedTest : public SelectTest {
 protected:
  void SetUp() override {
    SelectTest::SetUp();
    CreateTable("t", {Field("id", engine::fldInt32), Field("a", engine::fldZString, 8), Field("n", engine::fldInt16),
                      Field("i", engine::fldInt32), Field("x", engine::fldInt32), Field("f", engine::fldFloat)});
    Insert("t", {"1", "'a'", "30000", "2000000000", "NULL", "1.5"});
    Insert("t", {"2", "'a'", "30000", "2000000000", "NULL", "NULL"});
    Insert("t", {"3", "'b'", "30000", "1", "NULL", "2"});
    Insert("t", {"4", "'b'", "-5", "1", "NULL", "NULL"});
  }
};

TEST_F(SelectFixedTest, AggregatesAccumulateWideAndTreatNullsAsSql) {
  struct {
    const char* Sql;
    std::vector<std::string> Rows;
  } const cases[] = {
      // Small-integer sums do not wrap at 65,536.
      {"SELECT SUM(n) FROM t", {"89995"}},
      {"SELECT a, SUM(n) FROM t GROUP BY a", {"a|60000", "b|29995"}},
      // AVG over no values is NULL, COUNT of no values 0.
      {"SELECT AVG(x), COUNT(x), SUM(x), MIN(x), MAX(x) FROM t", {"NULL|0|NULL|NULL|NULL"}},
      {"SELECT a, AVG(x), COUNT(x), COUNT(*) FROM t GROUP BY a", {"a|NULL|0|2", "b|NULL|0|2"}},
      {"SELECT AVG(f), COUNT(f), COUNT(*) FROM t WHERE id > 100", {"NULL|0|0"}},
      {"SELECT a, AVG(f), COUNT(f) FROM t GROUP BY a", {"a|1.5|1", "b|2|1"}},
      {"SELECT MAX(n), MIN(n) FROM t WHERE n < 0 OR id = 1", {"30000|-5"}},
      {"SELECT MIN(a), MAX(a) FROM t", {"a|b"}},
      // Integer sums beyond 32 bits are refused, not wrapped.
      {"SELECT SUM(i) FROM t",
       {"ERROR 11949: Sum of column 'Sum Of i' exceeds the range of its result type"}},
      {"SELECT a, SUM(i) FROM t GROUP BY a",
       {"ERROR 11949: Sum of column 'Sum Of i' exceeds the range of its result type"}},
      {"SELECT SUM(i) FROM t WHERE a = 'b'", {"2"}},
      // DISTINCT and GROUP BY together.
      {"SELECT DISTINCT a FROM t", {"a", "b"}},
      {"SELECT DISTINCT a, COUNT(*) FROM t GROUP BY a ORDER BY 1 DESC", {"b|2", "a|2"}},
      {"SELECT a, COUNT(*), SUM(n) FROM t GROUP BY a HAVING SUM(n) < 60000", {"b|2|29995"}},
      {"SELECT a, COUNT(*), SUM(n), MAX(n) FROM t GROUP BY a HAVING MAX(n) < 60000 AND a = 'a'", {"a|2|60000|30000"}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> rows = Ours(c.Sql);
    if (std::string(c.Sql).find("ORDER BY") == std::string::npos) std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, c.Rows) << c.Sql;
  }
}

TEST_F(SelectFixedTest, ResultColumnsGetUniqueNames) {
  struct {
    const char* Sql;
    const char* Names;
  } const cases[] = {
      {"SELECT a, a FROM t", "a,a_1"},
      {"SELECT SUM(n), SUM(n) FROM t", "Sum Of n,Sum Of n_1"},
      {"SELECT n + 1, i * 2 FROM t", "Expression,Expression_1"},
      {"SELECT COUNT(*) FROM t", "Count Of *"},
      {"SELECT COUNT(*) AS c FROM t", "c"},
      {"SELECT AVG(n), AVG(f) FROM t", "Average Of n,Average Of f"},
      {"SELECT a AS abcdefghijklmnopqrstuvwxyz123456789 FROM t", "fghijklmnopqrstuvwxyz123456789"},
      {"SELECT * FROM t", "id,a,n,i,x,f"},
      {"SELECT t.*, id FROM t", "id,a,n,i,x,f,id_1"},
      {"SELECT (a) FROM t", "a"},
  };
  for (const auto& c : cases) EXPECT_EQ(Names(c.Sql), c.Names) << c.Sql;
  // Each average counts its values in a hidden column named after that column's own number.
  EXPECT_EQ(Names("SELECT a, AVG(n), AVG(f) FROM t GROUP BY a", true),
            "a,Average Of n,Average Of f,Sys__Avg__Count4,Sys__Avg__Count5");
}

TEST_F(SelectFixedTest, UnresolvableClausesRaiseTheirMessages) {
  CreateTable("u", {Field("id", engine::fldInt32), Field("k", engine::fldInt32)});
  struct {
    const char* Sql;
    const char* Error;
  } const cases[] = {
      {"SELECT nosuch FROM t", "Invalid column name 'nosuch' or table correlation name '' specified in source columns"},
      {"SELECT q.id FROM t", "Invalid column name 'id' or table correlation name 'q' specified in source columns"},
      {"SELECT q.* FROM t", "Invalid column name '*' or table correlation name 'q' specified in source columns"},
      {"SELECT a, COUNT(*) FROM t", "Invalid use of aggregate function(s), the necessary GROUP BY clause is missing"},
      {"SELECT a FROM t HAVING a = 'x'", "A GROUP BY clause must exist in order to use the HAVING clause"},
      {"SELECT a FROM t ORDER BY 2", "Invalid column number '2' specified in ORDER BY clause"},
      {"SELECT a FROM t ORDER BY zz", "Invalid column name 'zz' or table correlation name '' specified in ORDER BY clause"},
      {"SELECT a, COUNT(*) FROM t GROUP BY 3", "Invalid column number '3' specified in GROUP BY clause"},
      {"SELECT a, COUNT(*) FROM t GROUP BY zz",
       "Invalid column name 'zz' or table correlation name '' specified in GROUP BY clause"},
      {"SELECT a, SUM(n) FROM t GROUP BY a HAVING AVG(n) > 1", "Expression in HAVING clause not found in source columns"},
      {"SELECT id FROM t WHERE id IN (SELECT id, k FROM u)", "More than 1 column for sub-select  specified in WHERE or JOIN clause"},
      {"SELECT id FROM t WHERE zz = 1",
       "Invalid column name 'zz' or table correlation name '' specified in WHERE or JOIN clause"},
      {"SELECT t.id FROM t LEFT JOIN u ON t.id = w.k",
       "Invalid column name 'k' or table correlation name 'w' specified in WHERE or JOIN clause"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Ours(c.Sql), std::vector<std::string>{"ERROR 11949: " + std::string(c.Error)}) << c.Sql;
  }
  EXPECT_EQ(Ours("SELECT id FROM nosuch").front().rfind("ERROR 11010", 0), 0u);
}

// A join compares a column with the other table's value in the wider of the two types: 1.5
// matches no integer, and a timestamp within a day no date.
TEST_F(SelectTest, JoinValuesAreNotTruncatedToTheColumnType) {
  CreateTable("p", {Field("id", engine::fldInt32), Field("f", engine::fldFloat), Field("ts", engine::fldTimeStamp)});
  CreateTable("q", {Field("id", engine::fldInt32), Field("i", engine::fldInt32), Field("d", engine::fldDate)});
  const double day = 739000.0 * 86400000.0;
  auto exact = [](double v) { return std::to_string(static_cast<int64_t>(v)); };
  Insert("p", {"1", "1.5", exact(day + 3600000.0)});
  Insert("p", {"2", "2", exact(day)});
  Insert("q", {"10", "1", "739000"});
  Insert("q", {"20", "2", "739001"});
  EXPECT_EQ(Ours("SELECT p.id, q.id FROM p, q WHERE q.i = p.f"), std::vector<std::string>{"2|20"});
  EXPECT_EQ(Ours("SELECT p.id, q.id FROM p JOIN q ON q.i > p.f"), std::vector<std::string>{"1|20"});
  EXPECT_EQ(Ours("SELECT p.id, q.id FROM p, q WHERE q.d = p.ts"), std::vector<std::string>{"2|10"});
}

TEST_F(SelectFixedTest, RowLimitProgressAndAbort) {
  EXPECT_EQ(Ours("SELECT id FROM t", 2).size(), 2u);
  EXPECT_TRUE(Ours("SELECT id FROM t", 0).empty());
  EXPECT_EQ(Ours("SELECT id FROM t", -1).size(), 4u);
  EXPECT_TRUE(Ours("SELECT COUNT(*) FROM t", 0).empty());
  EXPECT_TRUE(Ours("SELECT SUM(n) FROM t", 0).empty());
  EXPECT_EQ(Ours("SELECT COUNT(*) FROM t", 1), std::vector<std::string>{"4"});
  // The limit counts rows as they are made, before DISTINCT and ordering.
  EXPECT_EQ(Ours("SELECT DISTINCT a FROM t ORDER BY a DESC", 2), std::vector<std::string>{"a"});
  struct TSteps {
    std::vector<std::pair<int32_t, int32_t>> Seen;
    int32_t AbortAt = 0;
  } steps;
  steps.AbortAt = 3;
  auto progress = [](void* owner, int32_t step, int32_t percent, bool& abort) {
    auto* s = static_cast<TSteps*>(owner);
    s->Seen.emplace_back(step, percent);
    abort = step == s->AbortAt;
  };
  EXPECT_EQ(Ours("SELECT id FROM t ORDER BY id DESC", -1, progress, &steps), (std::vector<std::string>{"2", "1"}));
  EXPECT_EQ(steps.Seen, (std::vector<std::pair<int32_t, int32_t>>{{1, 25}, {2, 50}, {3, 75}}));
}

TEST_F(SelectFixedTest, ParametersBoundAfterPrepareAndReexecution) {
  TQueryStatement statement(directory_);
  size_t consumed = 0;
  statement.Prepare("SELECT id FROM t WHERE n = ? ORDER BY id", consumed);
  engine::FieldDesc desc;
  desc.FieldType = engine::fldInt16;
  desc.PhysicalSize = 2;
  uint8_t buffer[3] = {1, 0, 0};
  int16_t value = -5;
  std::memcpy(buffer + 1, &value, 2);
  statement.SetParams(1, &desc, buffer, sizeof buffer);
  EXPECT_EQ(ReadRows(statement.Execute()), std::vector<std::string>{"4"});
  value = 30000;
  std::memcpy(buffer + 1, &value, 2);
  statement.SetParams(1, &desc, buffer, sizeof buffer);
  EXPECT_EQ(ReadRows(statement.Execute()), (std::vector<std::string>{"1", "2", "3"}));
  EXPECT_EQ(statement.GetRowsAffected(), 3);
  EXPECT_GE(statement.GetExecutionTime(), 0.0);
}

TEST_F(SelectFixedTest, IntoKeepsTheResultTableAndOtherResultsGo) {
  auto files = [&] {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) n += e.is_regular_file() ? 1 : 0;
    return n;
  };
  const size_t before = files();
  EXPECT_EQ(Ours("SELECT id, a FROM t WHERE id < 3").size(), 2u);
  EXPECT_EQ(files(), before);
  EXPECT_EQ(Ours("SELECT id, a INTO kept FROM t WHERE id < 3").size(), 2u);
  EXPECT_GT(files(), before);
  EXPECT_EQ(Ours("SELECT id FROM kept ORDER BY id"), (std::vector<std::string>{"1", "2"}));
}

TEST_F(SelectFixedTest, EncryptedResultIsReadable) {
  EXPECT_EQ(Ours("SELECT id, a FROM t WHERE id > 2 ORDER BY id ENCRYPTED WITH 'secret'"),
            (std::vector<std::string>{"3|b", "4|b"}));
  EXPECT_FALSE(session_->HasPassword("secret"));
}

TEST_F(SelectFixedTest, WithLocksReadsTheSameRows) {
  EXPECT_EQ(Ours("SELECT id FROM t WHERE n > 0 ORDER BY id WITH LOCKS"), (std::vector<std::string>{"1", "2", "3"}));
}

// The smaller of two joined tables drives the walk unless NOJOINOPTIMIZE is written; the
// result table, read without ORDER BY, shows the order the rows were made in.
TEST_F(SelectFixedTest, SmallerJoinedTableDrivesTheWalk) {
  CreateTable("s", {Field("k", engine::fldZString, 8)});
  Insert("s", {"'b'"});
  Insert("s", {"'a'"});
  EXPECT_EQ(Ours("SELECT t.id, s.k FROM t, s WHERE t.a = s.k"),
            (std::vector<std::string>{"3|b", "4|b", "1|a", "2|a"}));
  EXPECT_EQ(Ours("SELECT t.id, s.k FROM t, s WHERE t.a = s.k NOJOINOPTIMIZE"),
            (std::vector<std::string>{"1|a", "2|a", "3|b", "4|b"}));
}

engine::IndexDesc Index(const char* name, uint16_t field, bool unique) {
  engine::IndexDesc d;
  d.Name = name;
  d.Unique = unique;
  d.FieldCount = 1;
  d.FieldNumbers[0] = field;
  return d;
}

// A live result is the table's own cursor: ordered by an index that serves ORDER BY, filtered
// by WHERE, and edits through it change the table.
TEST_F(SelectTest, LiveResultIsTheTablesOwnCursor) {
  CreateTable("lv", {Field("id", engine::fldInt32), Field("k", engine::fldInt32), Field("s", engine::fldZString, 8)},
              {Index("", 1, true), Index("ByK", 2, false)});
  Insert("lv", {"1", "5", "'e'"});
  Insert("lv", {"2", "3", "'c'"});
  Insert("lv", {"3", "9", "'i'"});
  Insert("lv", {"4", "1", "'a'"});
  {
    TQueryStatement statement(directory_);
    size_t consumed = 0;
    statement.SetRequestLive(true);
    statement.Prepare("SELECT * FROM lv WHERE k > 1 ORDER BY k", consumed);
    engine::TDataCursor* result = statement.Execute();
    ASSERT_TRUE(statement.MainQuery()->Live);
    EXPECT_EQ(result, statement.MainQuery()->SourceTables.front()->Cursor.get());
    EXPECT_EQ(ReadRows(result), (std::vector<std::string>{"2|3|c", "1|5|e", "3|9|i"}));
    EXPECT_EQ(statement.GetRowsAffected(), 3);
    std::vector<uint8_t> record(result->GetRecordSize());
    result->First();
    ASSERT_EQ(result->GetNextRecord(record.data()), 0);
    ASSERT_EQ(result->GetCurrentRecord(record.data(), true), 0);
    const char text[] = "changed";
    result->SetFieldData(3, record.data(), text);
    result->ModifyRecord(record.data(), false, true);
  }
  EXPECT_EQ(Ours("SELECT s FROM lv WHERE id = 2"), std::vector<std::string>{"changed"});
  struct {
    const char* Sql;
    bool Live;
  } const cases[] = {
      {"SELECT * FROM lv", true},
      {"SELECT id, k FROM lv ORDER BY k", true},
      {"SELECT * FROM lv ORDER BY k DESC", false},
      {"SELECT * FROM lv ORDER BY s", false},
      {"SELECT id, k + 1 FROM lv ORDER BY 2", false},
      {"SELECT id, k + 1 FROM lv", false},
      {"SELECT id AS x FROM lv", false},
      {"SELECT DISTINCT k FROM lv", false},
      {"SELECT * INTO other FROM lv", false},
      {"SELECT * FROM lv WHERE k IN (SELECT id FROM lv)", false},
  };
  for (const auto& c : cases) {
    TQueryStatement statement(directory_);
    size_t consumed = 0;
    statement.SetRequestLive(true);
    statement.Prepare(c.Sql, consumed);
    const std::vector<std::string> rows = ReadRows(statement.Execute());
    EXPECT_EQ(statement.MainQuery()->Live, c.Live) << c.Sql;
    EXPECT_EQ(static_cast<int32_t>(rows.size()), statement.GetRowsAffected()) << c.Sql;
  }
}

// BLOB values are copied whole (zero bytes included) into the result; they can be neither
// grouped, made distinct nor ordered.
TEST_F(SelectTest, BlobColumnsAreCopiedWhole) {
  FieldDesc blob = Field("b", engine::fldBlob);
  CreateTable("bl", {Field("id", engine::fldInt32), blob});
  const std::string bytes = std::string("ab\0cd\0\0e", 8) + std::string(3000, 'x');
  {
    engine::TDataCursor cursor(directory_);
    cursor.SetTableName("bl");
    cursor.Open();
    std::vector<uint8_t> record(cursor.GetRecordSize());
    for (int32_t id = 1; id <= 3; ++id) {
      cursor.InitRecord(record.data());
      cursor.SetFieldData(1, record.data(), &id);
      if (id != 2) {
        ASSERT_EQ(cursor.OpenBlob(2, record.data(), 2), 0);
        const std::string value = bytes + std::to_string(id);
        ASSERT_EQ(cursor.WriteBlob(2, record.data(), 0, static_cast<uint32_t>(value.size()),
                                   reinterpret_cast<const uint8_t*>(value.data())), 0);
      }
      cursor.InsertRecord(record.data(), false);
      cursor.CloseAllBlobs();
    }
  }
  TQueryStatement statement(directory_);
  size_t consumed = 0;
  statement.Prepare("SELECT b, id FROM bl WHERE id > 1 ORDER BY 2", consumed);
  engine::TDataCursor* result = statement.Execute();
  ASSERT_NE(result, nullptr);
  std::vector<uint8_t> record(result->GetRecordSize());
  std::vector<std::string> values;
  result->First();
  while (result->GetNextRecord(record.data()) == 0) {
    if (result->GetFieldData(1, record.data(), nullptr)) {
      values.push_back("NULL");
      continue;
    }
    ASSERT_EQ(result->OpenBlob(1, record.data(), 1), 0);
    uint32_t size = 0, count = 0;
    ASSERT_EQ(result->GetBlobSize(1, record.data(), &size), 0);
    std::string value(size, '\0');
    ASSERT_EQ(result->ReadBlob(1, record.data(), 0, size, reinterpret_cast<uint8_t*>(value.data()), &count), 0);
    result->CloseBlob(1, record.data());
    values.push_back(value);
  }
  EXPECT_EQ(values, (std::vector<std::string>{"NULL", bytes + "3"}));
  EXPECT_EQ(Ours("SELECT DISTINCT b FROM bl"),
            std::vector<std::string>{"ERROR 11949: Invalid BLOB column 'b' specified in DISTINCT clause"});
  EXPECT_EQ(Ours("SELECT b, COUNT(*) FROM bl GROUP BY b"),
            std::vector<std::string>{"ERROR 11949: Invalid BLOB column 'b' specified in GROUP BY clause"});
  EXPECT_EQ(Ours("SELECT b FROM bl ORDER BY 1"),
            std::vector<std::string>{"ERROR 11949: Invalid column number '1' specified in ORDER BY clause"});
}

// Parts of a condition decided by the outer row alone (IN lists, NOT, OR) are settled per row
// before the inner table is filtered.
TEST_F(SelectOracleTest, ConditionsDecidedByTheOuterRowMatchSqlite) {
  const std::pair<const char*, const char*> probes[] = {
      {"ta.k IN (1, 3, 5) OR tb.k = 3", "coalesce(ta.k IN (1, 3, 5), 0) OR tb.k IS 3"},
      {"(ta.k IS NULL AND ta.s = 'ab') OR tb.k = 3", "(ta.k IS NULL AND ta.s IS 'ab') OR tb.k IS 3"},
      {"ta.n > 0 OR tb.k = 3", "coalesce(ta.n > 0, 0) OR tb.k IS 3"},
      {"ta.s = 'ab' OR tb.k = 3", "ta.s IS 'ab' OR tb.k IS 3"},
      {"ta.k IS NULL OR tb.k = 3", "ta.k IS NULL OR tb.k IS 3"},
      {"ta.f < tb.k", "coalesce(ta.f < tb.k, 0)"},
      {"ta.k IN (1, 3, 5)", "coalesce(ta.k IN (1, 3, 5), 0)"},
      {"ta.k IN (1, 3, 5) AND tb.k = 3", "coalesce(ta.k IN (1, 3, 5), 0) AND tb.k IS 3"},
      {"NOT (ta.k IN (1, 3, 5)) OR tb.k = 3", "NOT coalesce(ta.k IN (1, 3, 5), 0) OR tb.k IS 3"},
      {"ta.k + 0 IN (1, 3, 5) OR tb.k = 3", "coalesce(ta.k IN (1, 3, 5), 0) OR tb.k IS 3"},
      {"tb.s <> ta.s", "tb.s IS NOT ta.s"},
  };
  for (const auto& p : probes) {
    Compare(std::string("SELECT ta.id, tb.id FROM ta, tb WHERE ") + p.first,
            std::string("SELECT ta.id, tb.id FROM ta, tb WHERE ") + p.second, false);
  }
}

}  // namespace
}  // namespace tovenmarsh::sql
