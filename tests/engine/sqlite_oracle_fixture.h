// A table in an in-memory database with an open cursor on it, beside an SQLite table "t" that
// receives the same rows: the fixture of the tests that take SQLite for their oracle.
#pragma once

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <set>
#include <string>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine::testing {

class SqliteOracleTest : public ::testing::Test {
 protected:
  // Starts the engine, creates `table` from `definition` in an in-memory database (the same
  // table code without a disk sync per change), opens cursor_ on it, and runs `createSql` in a
  // fresh SQLite database.
  void StartTables(const std::string& table, const TTableDefinition& definition, const std::string& createSql) {
    table_ = table;
    EngineStart();
    session_ = CreateEngineSession();
    session_->LockRetryCount = 1;
    session_->LockWaitTime = 1;
    directory_ = session_->OpenDirectory("MEMORY", "");
    TDataTable* t = nullptr;
    ASSERT_EQ(directory_->CreateTable(table, true, false, definition, &t), 0);
    ASSERT_EQ(directory_->CloseTable(t), 0);
    cursor_ = OpenCursor();
    ASSERT_EQ(sqlite3_open(":memory:", &db_), SQLITE_OK);
    Exec(createSql);
  }
  void TearDown() override {
    cursor_.reset();
    sqlite3_close(db_);
    if (session_ != nullptr) {
      session_->CloseDirectory(directory_);
      FreeEngineSession(session_);
      EngineStop();
    }
  }

  std::unique_ptr<TDataCursor> OpenCursor() {
    auto c = std::make_unique<TDataCursor>(directory_);
    c->SetTableName(table_);
    c->SetInMemory(true);
    c->Open();
    return c;
  }

  void Exec(const std::string& sql) {
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "") << sql;
  }
  // The ids of SQLite's rows that satisfy `where`.
  std::set<int32_t> SqlIds(const std::string& where) {
    std::set<int32_t> ids;
    sqlite3_stmt* st = nullptr;
    const std::string sql = "SELECT id FROM t WHERE " + where;
    EXPECT_EQ(sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr), SQLITE_OK) << sql << sqlite3_errmsg(db_);
    while (st != nullptr && sqlite3_step(st) == SQLITE_ROW) ids.insert(sqlite3_column_int(st, 0));
    sqlite3_finalize(st);
    return ids;
  }

  std::string table_;
  TDataSession* session_ = nullptr;
  TDataDirectory* directory_ = nullptr;
  std::unique_ptr<TDataCursor> cursor_;
  sqlite3* db_ = nullptr;
};

}  // namespace tovenmarsh::engine::testing
