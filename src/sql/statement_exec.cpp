// Timing and dispatch of the statements that change tables or their definitions.
#include "sql/statement_exec.h"

#include <chrono>

#include "sql/ddl_exec.h"
#include "sql/modify_exec.h"

namespace tovenmarsh::sql {

namespace {

void ExecuteTimed(TDataQuery& query, TQueryStatement& statement) {
  engine::TDataDirectory* directory = statement.Directory();
  const auto start = std::chrono::steady_clock::now();
  switch (query.Kind) {
    case skCreateTable:
    case skCreateIndex:
    case skAlterTable:
    case skDropTable:
    case skDropIndex:
      ExecuteDataDefinition(query, directory);
      break;
    case skInsert:
    case skUpdate:
    case skDelete:
      ExecuteDataChange(query, directory, &statement, nullptr);
      break;
    default:
      break;
  }
  const auto end = std::chrono::steady_clock::now();
  query.ElapsedSeconds = end > start ? std::chrono::duration<double>(end - start).count() : 0;
}

}  // namespace

void ExecuteStatement(TQueryStatement& statement) {
  ExecuteTimed(*statement.MainQuery(), statement);
}

}  // namespace tovenmarsh::sql
