// Start and stop of the process pool of table resources.
#include "resources/database_resources.h"

#include <memory>

#include "core/log.h"
#include "resources/table_resources.h"

namespace tovenmarsh::resources {

void InitDatabaseResources(const std::function<void()>& createTables, const TTableOpener& opener) {
  SetDatabasePool(std::make_unique<TResourcePool>());
  createTables();
  try {
    RegisterTablePools(DatabasePool(), opener);
  } catch (const std::exception& e) {
    core::LogPanic(core::ExceptionClassName(e) + ": " + e.what());
  }
}

void DoneDatabaseResources() { SetDatabasePool(nullptr); }

}  // namespace tovenmarsh::resources
