// Random SQL texts prepared and run against a small database: two tables of a few rows each
// (one keyed, one not) copied into a fresh folder per input, whose in-memory tables close with
// it. Up to four statements run one after the other, so DDL and changes feed the statements after
// them. Only engine errors may come out; crashes, sanitizer reports and hangs are faults.
//
// Texts with a path separator are refused: INTO and table names may name any path, and the
// fuzzer must not write outside its folder.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/cursor/cursor.h"
#include "engine/start/engine_start.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"
#include "sql/query_statement.h"

namespace {

using namespace tovenmarsh;

constexpr const char* kSetup[] = {
    "CREATE TABLE emp (id INTEGER, name CHAR(12), dept INTEGER, pay FLOAT, hired DATE, PRIMARY KEY (id))",
    "CREATE INDEX bydept ON emp (dept)",
    "CREATE TABLE dept (no INTEGER, title CHAR(10), budget NUMERIC(8,2))",
    "INSERT INTO emp VALUES (1, 'ann', 10, 120.5, '2001-02-03')",
    "INSERT INTO emp VALUES (2, 'bob', 20, 80, NULL)",
    "INSERT INTO emp VALUES (3, 'cy', 10, NULL, '1999-12-31')",
    "INSERT INTO emp VALUES (4, NULL, 30, 55.25, '2010-06-30')",
    "INSERT INTO dept VALUES (10, 'sales', 1000.5)",
    "INSERT INTO dept VALUES (20, 'labs', NULL)",
    "INSERT INTO dept VALUES (40, 'empty', 7)",
};

// Reads every row of a result and every value in it.
void ReadAll(engine::TDataCursor* result) {
  if (result == nullptr) return;
  std::vector<uint8_t> record(result->GetRecordSize() + 8);
  std::vector<uint8_t> value(result->GetRecordSize() + 8);
  result->First();
  for (int rows = 0; rows < 1000 && result->GetNextRecord(record.data()) == 0; ++rows) {
    for (uint32_t i = 1; i <= result->GetFieldCount(); ++i) {
      if (result->GetFieldDesc(i).FieldType == engine::fldBlob) continue;
      result->GetFieldData(i, record.data(), value.data());
    }
  }
}

void Run(engine::TDataDirectory* directory, std::string_view text, size_t& consumed) {
  sql::TQueryStatement statement(directory);
  statement.Prepare(text, consumed);
  statement.SetMaxRowCount(1000);
  ReadAll(statement.Execute());
}

struct Database {
  std::string root;
  std::string tables;  // the two tables as the setup left them, copied for every input
  engine::TDataSession* session = nullptr;
  uint64_t runs = 0;

  Database() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tm_sql_fuzz_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) abort();
    root = pattern;
    engine::EngineStart();
    session = engine::CreateEngineSession();
    session->LockRetryCount = 1;
    session->LockWaitTime = 1;
    session->SetPrivateDir(root);
    tables = root + "/tables";
    std::filesystem::create_directory(tables);
    engine::TDataDirectory* directory = session->OpenDirectory("", tables);
    for (const char* text : kSetup) {
      size_t consumed = 0;
      Run(directory, text, consumed);
    }
    session->CloseDirectory(directory);
  }
  ~Database() {
    engine::FreeEngineSession(session);
    engine::EngineStop();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
};

Database& TheDatabase() {
  static Database database;
  return database;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 2048) return 0;
  const std::string script(reinterpret_cast<const char*>(data), size);
  if (script.find_first_of("/\\") != std::string::npos) return 0;
  Database& db = TheDatabase();
  const std::string folder = db.root + "/" + std::to_string(db.runs++);
  std::filesystem::create_directory(folder);
  std::filesystem::copy(db.tables, folder);
  engine::TDataDirectory* directory = db.session->OpenDirectory("", folder);
  size_t consumed = 0;
  for (int statements = 0; statements < 4 && consumed < script.size(); ++statements) {
    const size_t before = consumed;
    try {
      Run(directory, std::string_view(script).substr(consumed), consumed);
    } catch (const engine::EFenEngineError&) {
      // A refused or failed statement ends the script, as it would end a client's.
      break;
    }
    if (consumed <= before || consumed > script.size()) break;
  }
  db.session->CloseDirectory(directory);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
