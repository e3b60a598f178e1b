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
std::string FormatDouble(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

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

  void CreateTable(const std::string& name, std::vector<FieldDesc> fields) {
    engine::TTableDefinition d;
    d.Data.Fields = fields;
    d.Indexes = {};
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
        case engine::fldInt32: {
          int32_t x = std::stoi(v);
          std::memcpy(data, &x, 4);
          break;
        }
        case engine::fldFloat: {
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

  // The rows of our SELECT, or "ERROR code: message".
  std::vector<std::string> Ours(const std::string& sql, int32_t maxRows = -1) {
    std::vector<std::string> rows;
    try {
      TQueryStatement statement(directory_);
      size_t consumed = 0;
      statement.SetMaxRowCount(maxRows);
      statement.Prepare(sql, consumed);
      engine::TDataCursor* result = statement.Execute();
      if (result == nullptr) return {"no result"};
      std::vector<uint8_t> record(result->GetRecordSize());
      result->First();
      while (result->GetNextRecord(record.data()) == 0) {
        std::string row;
        for (uint32_t i = 1; i <= result->GetFieldCount(); ++i) {
          const FieldDesc& f = result->GetFieldDesc(i);
          if (f.Hidden) continue;
          if (!row.empty()) row += "|";
          uint8_t data[260] = {};
          if (result->GetFieldData(i, record.data(), data)) {
            row += "NULL";
            continue;
          }
          switch (f.FieldType) {
            case engine::fldInt16:
            case engine::fldBool: {
              int16_t x;
              std::memcpy(&x, data, 2);
              row += std::to_string(x);
              break;
            }
            case engine::fldInt32: {
              int32_t x;
              std::memcpy(&x, data, 4);
              row += std::to_string(x);
              break;
            }
            case engine::fldFloat: {
              double x;
              std::memcpy(&x, data, 8);
              row += FormatDouble(x);
              break;
            }
            default: row += reinterpret_cast<const char*>(data);
          }
        }
        rows.push_back(row);
      }
      EXPECT_EQ(static_cast<int32_t>(rows.size()), statement.GetRowsAffected()) << sql;
    } catch (const engine::EFenEngineError& e) {
      return {"ERROR " + std::to_string(e.Code()) + ": " + e.Names().ExtraText + (e.Names().ExtraText.empty() ? e.Names().TableName : std::string())};
    }
    return rows;
  }

  std::vector<std::string> Theirs(const std::string& sql) {
    std::vector<std::string> rows;
    sqlite3_stmt* st = nullptr;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql << sqlite3_errmsg(db_);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) {
      std::string row;
      for (int i = 0; i < sqlite3_column_count(st); ++i) {
        if (i > 0) row += "|";
        switch (sqlite3_column_type(st, i)) {
          case SQLITE_NULL: row += "NULL"; break;
          case SQLITE_INTEGER: row += std::to_string(sqlite3_column_int64(st, i)); break;
          case SQLITE_FLOAT: row += FormatDouble(sqlite3_column_double(st, i)); break;
          default: row += reinterpret_cast<const char*>(sqlite3_column_text(st, i));
        }
      }
      rows.push_back(row);
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
    EXPECT_EQ(a, b) << ours;
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
};

TEST_F(SelectOracleTest, ResultsMatchSqlite) {
  for (const TOracleCase& c : kCases) Compare(c.Ours, c.Theirs != nullptr ? c.Theirs : c.Ours, c.Ordered);
}

}  // namespace
}  // namespace tovenmarsh::sql
