// Test pools over in-memory tables.
#include "support/resource_fixture.h"

namespace tovenmarsh::resources::testing {

void RegisterTestTablePools(TResourcePool& pool, const TTableOpener& opener, int max) {
  RegisterTablePools(pool, opener, 1, max);
}

TTestResources::TTestResources(int max, uint32_t waitMs) : pool_(waitMs) {
  RegisterTestTablePools(pool_, database_.Opener(), max);
}

void TTestResources::Insert(int pool, std::initializer_list<TFieldSetting> fields) {
  TResourceLease<> resource(pool_, pool);
  resource->BeginWork();
  try {
    resource->Insert();
    for (const auto& [position, value] : fields) resource->Table().SetField(position, value);
    resource->Post();
    resource->CommitWork();
  } catch (...) {
    resource->RollbackWork();
    throw;
  }
}

std::vector<std::vector<TFieldValue>> TTestResources::Rows(int pool) {
  TResourceLease<> resource(pool_, pool);
  std::vector<std::vector<TFieldValue>> rows;
  TTableAccess& table = resource->Table();
  const int fields = static_cast<int>(resource->Definition().fields.size());
  for (table.First(); !table.Eof(); table.Next()) {
    std::vector<TFieldValue> row;
    for (int i = 0; i < fields; ++i) row.push_back(table.Field(i));
    rows.push_back(std::move(row));
  }
  return rows;
}

std::vector<int> TTestResources::FreeSlots() {
  std::vector<int> slots;
  for (int index = piAccount; index <= piDocument; ++index) slots.push_back(pool_.FreeSlots(index));
  return slots;
}

}  // namespace tovenmarsh::resources::testing
