// Running a prepared statement's data definition and data changes: the inner queries (the
// SELECT of an INSERT ... SELECT) first, then the main query, each timed.
//
// Contract: the statement has been prepared on a directory. Kinds 2 to 9 run here; a SELECT
// main query is left to the SELECT execution. Errors pass unchanged.
#pragma once

#include "sql/query_statement.h"

namespace tovenmarsh::sql {

void ExecuteStatement(TQueryStatement& statement);

}  // namespace tovenmarsh::sql
