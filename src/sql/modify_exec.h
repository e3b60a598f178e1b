// Execution of INSERT, UPDATE and DELETE on their one target table.
//
// Contract: the query has been parsed as kind 2, 3 or 4. Target columns are resolved against
// the target table and the values type-checked first (SQL messages, engine error 11949). Rows
// an UPDATE or DELETE changes are those its WHERE condition selects in the table as it stood
// when the statement began: each is changed or deleted exactly once, whatever the change does
// to the order the table is walked in. An INSERT ... SELECT reads the SELECT's rows as they
// stood before its first insert, so a SELECT over the target itself does not meet the rows it
// adds; a plain SELECT over other tables, left unexecuted by the statement (Deferred), is run
// here with each row written as it is made. Work on many rows runs in a transaction of the target's database (its own, committed
// every CommitInterval rows, or the caller's); a failure rolls its own transaction back and
// passes the error on. RowsAffected counts the rows written.
#pragma once

#include "engine/expr/expr_parser.h"
#include "sql/data_query.h"

namespace tovenmarsh::engine {
class TDataCursor;
class TDataDirectory;
}  // namespace tovenmarsh::engine

namespace tovenmarsh::sql {

// hook: answers IN (SELECT ...) operands of WHERE and values (the statement).
// selectResult: for INSERT ... SELECT, the executed SELECT's result cursor (open).
void ExecuteDataChange(TDataQuery& query, engine::TDataDirectory* directory,
                       engine::TSubSelectHook* hook, engine::TDataCursor* selectResult);

// The interval of an own transaction when none was written: 262140 bytes' worth of records,
// at most 8191.
int32_t DefaultCommitInterval(uint32_t recordSize);

}  // namespace tovenmarsh::sql
