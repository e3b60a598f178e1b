// Numbered pools of reusable items that threads borrow for one operation and give back.
//
// Each registered pool (1..10) has a counting semaphore of Max slots and a locked list of
// items that only grows. Acquire waits for a slot, takes the first free item (creating one
// through the pool's factory when none is free), resets it and marks it in use; Release clears
// the mark and returns the slot. Choosing, creating, resetting and marking happen under the
// list lock, so one item is never handed to two threads.
//
// Healing rules: a slot is always returned when Acquire fails after taking it; an item whose
// creation or Reset fails is never handed out again (it is destroyed); releasing an item that
// is not in use, or that belongs to another pool, changes nothing.
//
// Register every pool before the object is shared between threads; destroy it only after
// every borrower has given its items back.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/sync.h"
#include "resources/resource_errors.h"

namespace tovenmarsh::resources {

class TResourcePool;

// Base of every pooled item.
class TResourceItem {
 public:
  TResourceItem() = default;
  TResourceItem(const TResourceItem&) = delete;
  TResourceItem& operator=(const TResourceItem&) = delete;
  virtual ~TResourceItem() = default;

  // Brings the item back to a clean state for its next borrower; runs on every Acquire.
  virtual void Reset() {}

 private:
  friend class TResourcePool;
  bool inUse_ = false;  // guarded by the owning pool's list lock
};

using TItemFactory = std::function<std::unique_ptr<TResourceItem>()>;

class TResourcePool {
 public:
  static constexpr uint32_t kDefaultWaitMs = 60000;
  static constexpr int kMaxItems = 256;

  // waitMs: how long Acquire waits for a free slot before it gives up.
  explicit TResourcePool(uint32_t waitMs = kDefaultWaitMs);
  TResourcePool(const TResourcePool&) = delete;
  TResourcePool& operator=(const TResourcePool&) = delete;
  // Shuts the pool and frees every item.
  ~TResourcePool();

  // Ignored when the pool is shut, the index is outside 1..10 or already registered. Max is
  // clamped to 1..256 and Min to 1..Max; Min items are created at once (not in use).
  void Register(int index, TItemFactory factory, int min, int max);

  // A reset item marked in use; nullptr when the pool is shut. Raises EVPoolExhausted
  // ("Database connections exhausted") when no slot frees up in time, EVResAllocError when the
  // item cannot be created or reset, EVDatabase for an index that is not registered.
  TResourceItem* Acquire(int index);
  // Gives an item back to the pool it came from; nothing when shut, item is null, the index is
  // not registered, or the item is not in use there.
  void Release(int index, TResourceItem* item);

  // From now on Acquire answers nullptr and Release does nothing.
  void Shut() { open_.store(false); }
  bool IsOpen() const { return open_.load(); }

  bool IsRegistered(int index) const;
  int ItemCount(int index);  // items created so far
  int FreeSlots(int index);  // slots not held by a borrower
  int Maximum(int index) const;

 private:
  struct TSlot {
    TSlot(TItemFactory itemFactory, int max) : factory(std::move(itemFactory)), semaphore(max, max) {}
    TItemFactory factory;
    platform::TSemaphore semaphore;
    platform::TCriticalSection lock;
    std::vector<std::unique_ptr<TResourceItem>> items;
  };

  TSlot* SlotFor(int index) const;
  static void Discard(TSlot& slot, TResourceItem* item);

  const uint32_t waitMs_;
  std::atomic<bool> open_{true};
  std::array<std::unique_ptr<TSlot>, 11> slots_;  // [1..10]
};

// Clamped pool sizes: Max to 1..256, then Min to 1..Max.
int ClampPoolMax(int max);
int ClampPoolMin(int min, int max);

// The process's pool, installed by the start sequence and removed by the stop sequence.
// DatabasePool raises EVDatabase while none is installed.
TResourcePool& DatabasePool();
bool HasDatabasePool();
// Installs a pool (nullptr removes it), freeing the one installed before.
void SetDatabasePool(std::unique_ptr<TResourcePool> pool);

}  // namespace tovenmarsh::resources
