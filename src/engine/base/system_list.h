// TSystemList: the growable pointer list of the table engine and the SQL engine.
//
// Contract: a plain array of pointers on the engine heap; it never owns its items (owners free
// them first); indexes are 0-based and unchecked (callers keep them valid); no lock (the owner
// guards it). Growth: +capacity/4 above 64, +16 from 9 to 64, +4 up to 8.
#pragma once

#include <cstdint>

#include "engine/base/engine_heap.h"

namespace tovenmarsh::engine {

// Compare function of two items: negative, 0 or positive.
using TListCompare = int (*)(void* a, void* b);

// Quicksort of items[first..last] with the middle element as pivot (not stable).
void QuickSortPointers(void** items, int32_t first, int32_t last, TListCompare compare);

class TSystemList : public TEngineObject {
 public:
  TSystemList() = default;
  explicit TSystemList(int32_t capacity) { SetCapacity(capacity); }
  TSystemList(const TSystemList&) = delete;
  TSystemList& operator=(const TSystemList&) = delete;
  virtual ~TSystemList();

  int32_t Add(void* item);
  void Insert(int32_t index, void* item);
  void Delete(int32_t index);
  void Exchange(int32_t i, int32_t j);
  void* Get(int32_t i) const { return items_[i]; }
  void Put(int32_t i, void* item) { items_[i] = item; }
  void* operator[](int32_t i) const { return items_[i]; }
  template <class T>
  T* GetAs(int32_t i) const {
    return static_cast<T*>(items_[i]);
  }
  void* First() const { return items_[0]; }
  void* Last() const { return items_[count_ - 1]; }
  int32_t IndexOf(const void* item) const;

  void SetCapacity(int32_t n);
  void SetCount(int32_t n);
  void Clear();
  void Assign(const TSystemList& other);
  void Sort(TListCompare compare);

  int32_t Count() const { return count_; }
  int32_t Capacity() const { return capacity_; }
  void** List() const { return items_; }

 protected:
  virtual void Grow();

 private:
  void** items_ = nullptr;
  int32_t count_ = 0;
  int32_t capacity_ = 0;
};

}  // namespace tovenmarsh::engine
