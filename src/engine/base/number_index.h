// Cache lookups by number (record numbers of the data file's record cache, page offsets of the
// index file's page caches): an open-addressing hash table (linear probing, deletion by
// backward shift) from a 32-bit number to an object the cache owns.
//
// Contract: a number is added at most once, with the object whose Key member holds it, and
// removed before that member changes; Find, Add and Remove take constant time on average and
// allocate only when the table grows (load kept at most one half) or is fitted back after a
// large transaction. A slot holds the object's address alone (its number is read from the
// object): half the memory of a slot with both, which a transaction caching every record it
// writes fills by the hundred thousand.
#pragma once

#include <cstdint>
#include <vector>

namespace tovenmarsh::engine {

// RunBits > 0: runs of 2^RunBits neighbouring numbers take neighbouring slots (the runs spread
// by the hash), so that numbers added in order, as a transaction's new records are, touch a new
// cache line of the table once per run instead of at every add.
template <class T, uint32_t T::*Key = &T::Number, unsigned RunBits = 0>
class TNumberIndex {
 public:
  T* Find(uint32_t number) const {
    if (count_ == 0) return nullptr;
    for (size_t i = Home(number);; i = (i + 1) & mask_) {
      T* e = slots_[i];
      if (!e) return nullptr;
      if (e->*Key == number) return e;
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
    while (slots_[hole] && slots_[hole]->*Key != number) hole = (hole + 1) & mask_;
    if (!slots_[hole]) return;
    // Pull later entries of the probe run back into the hole unless their home lies
    // (cyclically) after it, so every entry stays reachable from its home.
    for (size_t j = (hole + 1) & mask_; slots_[j]; j = (j + 1) & mask_) {
      const size_t home = Home(slots_[j]->*Key);
      if (((j - home) & mask_) >= ((j - hole) & mask_)) {
        slots_[hole] = slots_[j];
        hole = j;
      }
    }
    slots_[hole] = nullptr;
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
  size_t Home(uint32_t number) const {
    // Fibonacci hashing: neighbouring numbers (or runs of them) spread over the whole table,
    // which has at least 64 slots once anything is in it.
    static_assert(RunBits < 6);
    const uint64_t run = static_cast<uint64_t>(number >> RunBits) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(((run >> (shift_ + RunBits)) << RunBits) | (number & ((1u << RunBits) - 1)));
  }
  void Place(uint32_t number, T* item) {
    size_t i = Home(number);
    while (slots_[i]) i = (i + 1) & mask_;
    slots_[i] = item;
  }
  void Resize(size_t size) {  // size: a power of two above twice the count
    std::vector<T*> old;
    old.swap(slots_);
    slots_.assign(size, nullptr);
    mask_ = size - 1;
    shift_ = 64;
    for (size_t s = size; s > 1; s >>= 1) --shift_;
    for (T* e : old)
      if (e) Place(e->*Key, e);
  }

  std::vector<T*> slots_;
  size_t mask_ = 0;
  int shift_ = 64;
  size_t count_ = 0;
};

}  // namespace tovenmarsh::engine
