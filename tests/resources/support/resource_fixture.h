// A pool of the nine table resources over in-memory tables, and helpers to put rows in and
// read them back, for the resource and control tests.
#pragma once

#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "resources/resource_pool.h"
#include "resources/table_resources.h"
#include "support/memory_table.h"

namespace tovenmarsh::resources::testing {

using TFieldSetting = std::pair<int, TFieldValue>;

// Registers the nine table pools over opener, each holding 1 to max resources.
void RegisterTestTablePools(TResourcePool& pool, const TTableOpener& opener, int max);

class TTestResources {
 public:
  // Every pool holds up to max resources; Acquire gives up after waitMs.
  explicit TTestResources(int max = 4, uint32_t waitMs = 2000);

  TResourcePool& Pool() { return pool_; }
  TMemoryDatabase& Database() { return database_; }
  TMemoryStore& Store(int pool) { return database_.Store(pool); }

  // Inserts a row through the table's resource (so its stamps apply), committed.
  void Insert(int pool, std::initializer_list<TFieldSetting> fields);
  // Rows of a table in primary-key order, each as its field values.
  std::vector<std::vector<TFieldValue>> Rows(int pool);
  int Count(int pool) { return static_cast<int>(Store(pool).rows.size()); }
  // Free slots of every pool, to compare before and after an operation.
  std::vector<int> FreeSlots();

 private:
  TMemoryDatabase database_;
  TResourcePool pool_;
};

}  // namespace tovenmarsh::resources::testing
