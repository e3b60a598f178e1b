// TSystemList over engine-heap arrays.
#include "engine/base/system_list.h"

#include <cstring>

namespace tovenmarsh::engine {

void QuickSortPointers(void** items, int32_t first, int32_t last, TListCompare compare) {
  while (first < last) {
    int32_t i = first, j = last;
    void* pivot = items[first + (last - first) / 2];
    do {
      while (compare(items[i], pivot) < 0) ++i;
      while (compare(items[j], pivot) > 0) --j;
      if (i <= j) {
        void* t = items[i];
        items[i] = items[j];
        items[j] = t;
        ++i;
        --j;
      }
    } while (i <= j);
    // Recurse into the smaller half, loop over the larger: bounded stack depth.
    if (j - first < last - i) {
      if (first < j) QuickSortPointers(items, first, j, compare);
      first = i;
    } else {
      if (i < last) QuickSortPointers(items, i, last, compare);
      last = j;
    }
  }
}

TSystemList::~TSystemList() { Clear(); }

void TSystemList::Grow() {
  int32_t delta = capacity_ > 64 ? capacity_ / 4 : (capacity_ > 8 ? 16 : 4);
  SetCapacity(capacity_ + delta);
}

int32_t TSystemList::Add(void* item) {
  if (count_ == capacity_) Grow();
  items_[count_] = item;
  return count_++;
}

void TSystemList::Insert(int32_t index, void* item) {
  if (count_ == capacity_) Grow();
  if (index < count_)
    std::memmove(items_ + index + 1, items_ + index,
                 static_cast<size_t>(count_ - index) * sizeof(void*));
  items_[index] = item;
  ++count_;
}

void TSystemList::Delete(int32_t index) {
  --count_;
  if (index < count_)
    std::memmove(items_ + index, items_ + index + 1,
                 static_cast<size_t>(count_ - index) * sizeof(void*));
}

void TSystemList::Exchange(int32_t i, int32_t j) {
  void* t = items_[i];
  items_[i] = items_[j];
  items_[j] = t;
}

int32_t TSystemList::IndexOf(const void* item) const {
  for (int32_t i = 0; i < count_; ++i)
    if (items_[i] == item) return i;
  return -1;
}

void TSystemList::SetCapacity(int32_t n) {
  if (n == capacity_) return;
  if (n <= 0) {
    EngineFree(items_);
    capacity_ = 0;
    if (count_ > 0) count_ = 0;
    return;
  }
  size_t bytes = static_cast<size_t>(n) * sizeof(void*);
  items_ = static_cast<void**>(items_ == nullptr ? EngineAlloc(bytes) : EngineRealloc(items_, bytes));
  capacity_ = n;
  if (count_ > capacity_) count_ = capacity_;
}

void TSystemList::SetCount(int32_t n) {
  if (n < 0) n = 0;
  if (n > capacity_) SetCapacity(n);
  if (n > count_)
    std::memset(items_ + count_, 0, static_cast<size_t>(n - count_) * sizeof(void*));
  count_ = n;
}

void TSystemList::Clear() {
  count_ = 0;
  SetCapacity(0);
}

void TSystemList::Assign(const TSystemList& other) {
  if (&other == this) return;
  if (capacity_ < other.capacity_) SetCapacity(other.capacity_);
  if (other.count_ > 0)
    std::memcpy(items_, other.items_, static_cast<size_t>(other.count_) * sizeof(void*));
  count_ = other.count_;
}

void TSystemList::Sort(TListCompare compare) {
  if (count_ > 1) QuickSortPointers(items_, 0, count_ - 1, compare);
}

}  // namespace tovenmarsh::engine
