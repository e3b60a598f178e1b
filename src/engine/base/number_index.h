// Cache lookups by number (record numbers of the data file's record cache, page offsets of the
// index file's page caches): an open-addressing hash table (linear probing, deletion by
// backward shift) from a 32-bit number to an object the cache owns.
//
// Contract: a number is added at most once and removed before its object changes number;
// Find, Add and Remove take constant time on average and allocate only when the table grows
// (load kept at most one half) or is fitted back after a large transaction.
#pragma once

#include <cstdint>
#include <vector>

namespace tovenmarsh::engine {

template <class T>
class TNumberIndex {
 public:
  T* Find(uint32_t number) const {
    if (count_ == 0) return nullptr;
    for (size_t i = Home(number);; i = (i + 1) & mask_) {
      const TEntry& e = slots_[i];
      if (!e.Item) return nullptr;
      if (e.Number == number) return e.Item;
    }
  }
  void Add(uint32_t number, T* item) {
    if ((count_ + 1) * 2 > slots_.size()) Resize(slots_.empty() ? 64 : slots_.size() * 2);
    Place(number, item);
    ++count_;
  }
  void Remove(uint32_t number) {
    if (count_ == 0) return;
    size_t hole = Home(number);
    while (slots_[hole].Item && slots_[hole].Number != number) hole = (hole + 1) & mask_;
    if (!slots_[hole].Item) return;
    // Pull later entries of the probe run back into the hole unless their home lies
    // (cyclically) after it, so every entry stays reachable from its home.
    for (size_t j = (hole + 1) & mask_; slots_[j].Item; j = (j + 1) & mask_) {
      const size_t home = Home(slots_[j].Number);
      if (((j - home) & mask_) >= ((j - hole) & mask_)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = TEntry{};
    --count_;
  }
  void Clear() {
    slots_.clear();
    mask_ = 0;
    shift_ = 64;
    count_ = 0;
  }
  // Shrinks a table left far too large (after a transaction cached many records).
  void Fit() {
    if (slots_.size() > 1024 && count_ * 8 < slots_.size()) {
      size_t size = 64;
      while (size < count_ * 4) size *= 2;
      Resize(size);
    }
  }
  size_t Count() const { return count_; }

 private:
  struct TEntry {
    uint32_t Number = 0;
    T* Item = nullptr;
  };
  size_t Home(uint32_t number) const {
    // Fibonacci hashing: neighbouring numbers spread over the whole table.
    return static_cast<size_t>((static_cast<uint64_t>(number) * 0x9E3779B97F4A7C15ull) >> shift_);
  }
  void Place(uint32_t number, T* item) {
    size_t i = Home(number);
    while (slots_[i].Item) i = (i + 1) & mask_;
    slots_[i] = TEntry{number, item};
  }
  void Resize(size_t size) {  // size: a power of two above twice the count
    std::vector<TEntry> old;
    old.swap(slots_);
    slots_.assign(size, TEntry{});
    mask_ = size - 1;
    shift_ = 64;
    for (size_t s = size; s > 1; s >>= 1) --shift_;
    for (const TEntry& e : old)
      if (e.Item) Place(e.Number, e.Item);
  }

  std::vector<TEntry> slots_;
  size_t mask_ = 0;
  int shift_ = 64;
  size_t count_ = 0;
};

}  // namespace tovenmarsh::engine
