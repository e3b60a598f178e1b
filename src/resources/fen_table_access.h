// The application tables over the record-set layer: the table view of the resources
// (TTableAccess) on a TFenTable, the opener that gives each table resource a session and a
// database of its own in the database folder, and the creation of missing tables at start.
//
// Contract:
// - OpenFenTable(table, folder, n) opens session "RunTimeSession<n>" (empty password, buffers
//   flushed on every write, strict change detection so that other resources' writes are seen)
//   and database "RunTimeDatabase<n>" on folder, and the table on it
//   with its primary index, not read-only. The view owns all three and closes them (table,
//   database, session) when destroyed.
// - CreateDatabaseTables(folder) creates, in the fixed creation order, every application table
//   whose data file is missing, from its definition; tables that exist are not opened. Engine
//   failures travel out.
#pragma once

#include <memory>
#include <string>

#include "resources/database_resource.h"
#include "resources/table_access.h"
#include "resources/table_defs.h"

namespace tovenmarsh::resources {

std::unique_ptr<TTableAccess> OpenFenTable(const TAppTableDef& table, const std::string& folder,
                                           int number);
// The opener of the table resources over the tables in folder.
TTableOpener FenTableOpener(const std::string& folder);

// The path of a table's data file in folder (as the engine names it when it creates it).
std::string TableFilePath(const std::string& folder, const TAppTableDef& table);
// True when the table's data file lies in folder (any letter case).
bool TableFileExists(const std::string& folder, const TAppTableDef& table);

void CreateDatabaseTables(const std::string& folder);

}  // namespace tovenmarsh::resources
