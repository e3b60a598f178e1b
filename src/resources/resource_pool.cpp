// Numbered pools of borrowed items; see resource_pool.h for the contract and healing rules.
#include "resources/resource_pool.h"

#include <algorithm>
#include <mutex>

#include "core/log.h"
#include "platform/format.h"
#include "resources/table_defs.h"

namespace tovenmarsh::resources {

int ClampPoolMax(int max) { return std::clamp(max, 1, TResourcePool::kMaxItems); }

int ClampPoolMin(int min, int max) { return std::clamp(min, 1, ClampPoolMax(max)); }

TResourcePool::TResourcePool(uint32_t waitMs) : waitMs_(waitMs) {}

TResourcePool::~TResourcePool() {
  Shut();
  for (auto& slot : slots_) {
    if (!slot) continue;
    std::lock_guard<platform::TCriticalSection> guard(slot->lock);
    slot->items.clear();
  }
}

TResourcePool::TSlot* TResourcePool::SlotFor(int index) const {
  if (index < kFirstPool || index > kLastPool) return nullptr;
  return slots_[index].get();
}

bool TResourcePool::IsRegistered(int index) const { return SlotFor(index) != nullptr; }

void TResourcePool::Register(int index, TItemFactory factory, int min, int max) {
  if (!IsOpen() || index < kFirstPool || index > kLastPool || slots_[index]) return;
  max = ClampPoolMax(max);
  min = ClampPoolMin(min, max);
  auto slot = std::make_unique<TSlot>(std::move(factory), max);
  {
    std::lock_guard<platform::TCriticalSection> guard(slot->lock);
    for (int i = 0; i < min; ++i) {
      std::unique_ptr<TResourceItem> item = slot->factory();
      if (!item) throw EVDatabase("The item factory made no item");
      slot->items.push_back(std::move(item));
    }
  }
  slots_[index] = std::move(slot);
}

void TResourcePool::Discard(TSlot& slot, TResourceItem* item) {
  std::lock_guard<platform::TCriticalSection> guard(slot.lock);
  auto it = std::find_if(slot.items.begin(), slot.items.end(),
                         [item](const std::unique_ptr<TResourceItem>& p) { return p.get() == item; });
  if (it != slot.items.end()) slot.items.erase(it);
}

TResourceItem* TResourcePool::Acquire(int index) {
  if (!IsOpen()) return nullptr;
  TSlot* slot = SlotFor(index);
  if (slot == nullptr) {
    throw EVDatabase(platform::Format("Resource pool %d is not registered", index));
  }
  if (!slot->semaphore.Acquire(waitMs_)) throw EVPoolExhausted("Database connections exhausted");
  if (!IsOpen()) {
    slot->semaphore.Release(1);
    return nullptr;
  }

  TResourceItem* chosen = nullptr;
  size_t count = 0;
  std::string className;
  std::string message;
  try {
    std::lock_guard<platform::TCriticalSection> guard(slot->lock);
    count = slot->items.size();
    for (auto& item : slot->items) {
      if (!item->inUse_) {
        chosen = item.get();
        break;
      }
    }
    if (chosen == nullptr) {
      std::unique_ptr<TResourceItem> created = slot->factory();
      if (!created) throw EVDatabase("The item factory made no item");
      chosen = created.get();
      slot->items.push_back(std::move(created));
    }
    chosen->Reset();
    chosen->inUse_ = true;
    return chosen;
  } catch (const std::exception& e) {
    className = core::ExceptionClassName(e);
    message = e.what();
  } catch (...) {
    className = "Exception";
    message = "unknown failure";
  }
  // A broken item would be the first free one again on every later Acquire: drop it. The slot
  // taken above goes back either way.
  if (chosen != nullptr) Discard(*slot, chosen);
  slot->semaphore.Release(1);
  throw EVResAllocError(platform::Format("Resource pool allocation error (%s: %s) with count[%d]",
                                         className.c_str(), message.c_str(),
                                         static_cast<int>(count)));
}

void TResourcePool::Release(int index, TResourceItem* item) {
  if (!IsOpen() || item == nullptr) return;
  TSlot* slot = SlotFor(index);
  if (slot == nullptr) return;
  {
    std::lock_guard<platform::TCriticalSection> guard(slot->lock);
    auto it = std::find_if(slot->items.begin(), slot->items.end(),
                           [item](const std::unique_ptr<TResourceItem>& p) { return p.get() == item; });
    // Not ours or not in use: a second release must not hand out a slot nobody gave back.
    if (it == slot->items.end() || !item->inUse_) return;
    item->inUse_ = false;
  }
  slot->semaphore.Release(1);
}

int TResourcePool::ItemCount(int index) {
  TSlot* slot = SlotFor(index);
  if (slot == nullptr) return 0;
  std::lock_guard<platform::TCriticalSection> guard(slot->lock);
  return static_cast<int>(slot->items.size());
}

int TResourcePool::FreeSlots(int index) {
  TSlot* slot = SlotFor(index);
  return slot == nullptr ? 0 : slot->semaphore.Available();
}

int TResourcePool::Maximum(int index) const {
  TSlot* slot = SlotFor(index);
  return slot == nullptr ? 0 : slot->semaphore.Maximum();
}

namespace {
std::mutex gDatabasePoolLock;
std::unique_ptr<TResourcePool> gDatabasePool;
}  // namespace

TResourcePool& DatabasePool() {
  std::lock_guard<std::mutex> guard(gDatabasePoolLock);
  if (!gDatabasePool) throw EVDatabase("Database resources are not started");
  return *gDatabasePool;
}

bool HasDatabasePool() {
  std::lock_guard<std::mutex> guard(gDatabasePoolLock);
  return gDatabasePool != nullptr;
}

void SetDatabasePool(std::unique_ptr<TResourcePool> pool) {
  std::unique_ptr<TResourcePool> old;
  {
    std::lock_guard<std::mutex> guard(gDatabasePoolLock);
    old = std::move(gDatabasePool);
    gDatabasePool = std::move(pool);
  }
}

}  // namespace tovenmarsh::resources
