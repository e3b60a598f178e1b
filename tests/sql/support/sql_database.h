// Test fixture of the statements that run against tables: a started engine, a session and its
// database "db" on a scratch folder, a runner for SQL texts and plain engine cursors to look at
// what the statements left behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/cursor/cursor.h"
#include "engine/file_test_support.h"
#include "engine/start/engine_start.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "sql/query_statement.h"

namespace tovenmarsh::sql::testing {

class SqlDatabaseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine::EngineStart();
    session_ = engine::CreateEngineSession();
    session_->LockRetryCount = 1;
    session_->LockWaitTime = 1;
    directory_ = session_->OpenDirectory("db", scratch_.Path());
  }
  void TearDown() override {
    session_->CloseDirectory(directory_);
    engine::FreeEngineSession(session_);
    engine::EngineStop();
  }

  // Prepares and runs one statement; answers the rows it affected.
  int32_t Run(const std::string& text) {
    TQueryStatement statement(directory_);
    size_t consumed = 0;
    statement.Prepare(text, consumed);
    statement.Execute();
    return statement.GetRowsAffected();
  }

  // "no error", or "<code>: <extra text>" of the engine error the statement raised.
  std::string ErrorOf(const std::string& text) {
    try {
      Run(text);
    } catch (const engine::EFenEngineError& e) {
      return std::to_string(e.Code()) + ": " + e.Names().ExtraText;
    }
    return "no error";
  }

  // The engine error code only (SQL messages are 11949, engine checks their own codes).
  uint16_t CodeOf(const std::string& text) {
    try {
      Run(text);
    } catch (const engine::EFenEngineError& e) {
      return e.Code();
    }
    return 0;
  }

  std::unique_ptr<engine::TDataCursor> Open(const std::string& table, bool memory = false) {
    auto cursor = std::make_unique<engine::TDataCursor>(directory_);
    cursor->SetTableName(table);
    cursor->SetInMemory(memory);
    cursor->Open();
    return cursor;
  }

  engine::testing::ScratchDir scratch_;
  engine::TDataSession* session_ = nullptr;
  engine::TDataDirectory* directory_ = nullptr;
};

}  // namespace tovenmarsh::sql::testing
