// Start and stop of the database resources: the process pool with its nine table pools.
//
// InitDatabaseResources installs a new process pool, creates the missing tables (a failure
// there travels out to the caller) and registers pools 1..9 with their table resources and
// configured sizes; a failure while registering is fatal (Panic: logged, shown, program ends).
// DoneDatabaseResources shuts the pool and frees every resource; run it only after every
// borrowing thread has stopped.
#pragma once

#include <functional>

#include "resources/database_resource.h"

namespace tovenmarsh::resources {

void InitDatabaseResources(const std::function<void()>& createTables, const TTableOpener& opener);
void DoneDatabaseResources();

}  // namespace tovenmarsh::resources
