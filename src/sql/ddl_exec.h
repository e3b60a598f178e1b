// Execution of the data definition statements: CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP
// TABLE and DROP INDEX turn their parsed column and index definitions into the engine's field
// and index descriptors and hand them to the engine's table definition calls.
//
// Contract: the query has been parsed as one of kinds 5 to 9. The table is reached through a
// cursor on directory (MEMORY: its in-memory database; a name with a path: a directory of the
// same session opened for the call and closed again). Name faults of the statement (a missing
// column, an AT position out of range, ADD on an existing primary key) are engine error 11949
// with their SQL messages; the engine's own checks (existing table 13060, limits, names,
// passwords) pass unchanged. Cursors and directories opened here are closed on every path.
#pragma once

#include <vector>

#include "engine/format/field_desc.h"
#include "sql/data_query.h"

namespace tovenmarsh::engine {
class TDataDirectory;
}

namespace tovenmarsh::sql {

// Runs a parsed CREATE TABLE, CREATE INDEX, ALTER TABLE, DROP TABLE or DROP INDEX.
void ExecuteDataDefinition(TDataQuery& query, engine::TDataDirectory* directory);

// The field descriptor of one column definition (number as given).
engine::FieldDesc FieldDescOfColumn(const TCreateField& field);
// The index descriptor of an index definition, its columns looked up by name among fields
// (without regard to case; 0 when none).
engine::IndexDesc IndexDescOfDefinition(const TCreateIndex& index,
                                        const std::vector<engine::FieldDesc>& fields);

}  // namespace tovenmarsh::sql
