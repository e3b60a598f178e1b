// A list shared between threads, with its own lock.
//
// Single operations (Add, Remove, Count, ...) lock for their own duration. For a sequence of
// operations (a sweep, a search-then-change) take LockList(): the returned guard holds the lock
// for its lifetime and gives access to the items. The lock is re-entrant, so single operations
// may also be called while a guard is held on the same thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <mutex>
#include <vector>

#include "platform/sync.h"

namespace tovenmarsh::platform {

template <class T>
class TThreadList {
 public:
  class Locked {
   public:
    explicit Locked(TThreadList& list) : list_(list), guard_(list.lock_) {}
    std::vector<T>& Items() { return list_.items_; }
    std::vector<T>* operator->() { return &list_.items_; }

   private:
    TThreadList& list_;
    std::lock_guard<TCriticalSection> guard_;
  };

  TThreadList() = default;
  TThreadList(const TThreadList&) = delete;
  TThreadList& operator=(const TThreadList&) = delete;

  Locked LockList() { return Locked(*this); }

  void Add(T item) {
    std::lock_guard<TCriticalSection> guard(lock_);
    items_.push_back(std::move(item));
  }
  // Removes the first item equal to value; false when there was none.
  template <class V>
  bool Remove(const V& value) {
    std::lock_guard<TCriticalSection> guard(lock_);
    auto it = std::find(items_.begin(), items_.end(), value);
    if (it == items_.end()) return false;
    items_.erase(it);
    return true;
  }
  template <class V>
  bool Contains(const V& value) {
    std::lock_guard<TCriticalSection> guard(lock_);
    return std::find(items_.begin(), items_.end(), value) != items_.end();
  }
  size_t Count() {
    std::lock_guard<TCriticalSection> guard(lock_);
    return items_.size();
  }
  void Clear() {
    std::lock_guard<TCriticalSection> guard(lock_);
    items_.clear();
  }

 private:
  TCriticalSection lock_;
  std::vector<T> items_;
};

}  // namespace tovenmarsh::platform
