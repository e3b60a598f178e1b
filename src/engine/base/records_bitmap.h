// TRecordsBitmap: a set of record numbers (from 1) of one table, one bit per record.
//
// Contract: record n is bit (n-1) mod 32 of 32-bit word (n-1)/32. The buffer grows in steps of
// 1024 bytes and never shrinks while the bitmap lives. SetSize keeps the bits of records that
// stay covered and clears every bit beyond the new size, so growing never brings back stale
// records. IsSet/SetBit/ClearBit are unchecked: callers set the size first. Counts and searches
// never look past the size. Not thread-safe; bitmaps come from the pool (object_pool.h).
#pragma once

#include <cstdint>

#include "engine/base/engine_heap.h"

namespace tovenmarsh::engine {

class TRecordsBitmap : public TEngineObject {
 public:
  TRecordsBitmap() = default;
  TRecordsBitmap(const TRecordsBitmap&) = delete;
  TRecordsBitmap& operator=(const TRecordsBitmap&) = delete;
  ~TRecordsBitmap();

  void SetSize(uint32_t n);
  uint32_t Size() const { return size_; }
  uint32_t RoundedSize() const { return roundedSize_; }
  uint32_t WordCount() const { return wordCount_; }
  int64_t CapacityBytes() const { return capacity_; }

  bool IsSet(uint32_t n) const { return (bits_[(n - 1) >> 5] >> ((n - 1) & 31)) & 1u; }
  void SetBit(uint32_t n) { bits_[(n - 1) >> 5] |= 1u << ((n - 1) & 31); }
  void ClearBit(uint32_t n) { bits_[(n - 1) >> 5] &= ~(1u << ((n - 1) & 31)); }

  uint32_t CountSet() const;
  // Set bits among records 1..n-1.
  uint32_t CountSetBefore(uint32_t n) const;
  // From record position+1 forward (position-1 backward), counts set bits into counter (+1 /
  // -1 each) and stops with true at the k-th, leaving position on it; false past the end.
  bool FindNext(uint32_t& position, uint32_t k, int32_t& counter) const;
  bool FindPrior(uint32_t& position, uint32_t k, int32_t& counter) const;

  // Word-wise over this bitmap's words. Records the other does not cover (beyond its size) count
  // as not set in it, so a smaller other is safe.
  void AndWith(const TRecordsBitmap& other);
  void OrWith(const TRecordsBitmap& other);
  void Invert();
  void ClearAll();
  void SetAll();
  void Assign(const TRecordsBitmap& other);
  // Back to size 0 with every bit clear (the pool's "cleared"); the buffer is kept.
  void Reset();

  const uint32_t* Words() const { return bits_; }

 private:
  void ClearBitsFrom(uint32_t firstRecord);
  // Word w with the bits of records beyond the size cleared (0 beyond the last word).
  uint32_t CoveredWord(uint32_t w) const;

  uint32_t* bits_ = nullptr;
  int64_t capacity_ = 0;
  uint32_t size_ = 0;
  uint32_t roundedSize_ = 0;
  uint32_t wordCount_ = 0;
  // Every word of the buffer from this one on is clear (never below wordCount_ while bits in
  // range may be set).
  uint32_t cleanFrom_ = 0;
};

}  // namespace tovenmarsh::engine
