// TClBits: a bit set over the bits 0..Max, one bit per number (bit i is bit i mod 8 of byte
// i div 8), with the count of set bits kept current.
//
// Promises: bits above Max in the last byte are always clear, so Count equals the number of set
// bits after every operation; a bit number outside 0..Max raises ETextIndex "Invalid parameter"
// instead of touching memory. Operations on two sets take the process-wide bit-set lock first,
// then the two sets' own locks.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <vector>

#include "fulltext/cl_container.h"

namespace tovenmarsh::fulltext {

class TClBits : public TClContainer {
 public:
  static const TClClass kClass;
  // Offered each bit of the searched state; answering false stops the walk at that bit.
  using TIterateAction = std::function<bool(TClBits&, int32_t bit, void* data)>;

  // The largest Max: one below the int32 limit, so that Count (Max + 1 at most) always fits.
  static constexpr int32_t kLargestMax = INT32_MAX - 1;

  explicit TClBits(int32_t maxBit);  // maxBit outside 0..kLargestMax: error 53
  ~TClBits() override = default;

  const TClClass& ClassType() const override { return kClass; }
  const TClClass& NodeClass() const override { return TClNode::kClass; }

  int32_t Max() const;
  // B = Max div 8 + 1.
  int64_t ByteCount() const;
  // The bitmap (borrowed or own); valid until the next Resize.
  const uint8_t* Bytes() const { return bits_; }

  void Clear() override { ClearAll(); }
  void ClearAll();
  void SetAll();
  void SetBit(int32_t n);
  void ClearBit(int32_t n);
  void ControlBit(int32_t n, bool value);
  bool TestBit(int32_t n) const;
  void Invert();
  void AndWith(const TClBits* other);  // missing or of another Max: error 52
  void OrWith(const TClBits* other);
  void CopyFrom(const TClBits* other);
  void Recount();
  // Changes Max (n < 0: error 53); common bytes are kept, new bits are clear.
  void Resize(int32_t n);

  int32_t FindFirstSet() const;
  int32_t FindLastSet() const;
  int32_t FindFirstClear() const;
  int32_t FindLastClear() const;
  int32_t FindNextSet(int32_t n) const;
  int32_t FindNextClear(int32_t n) const;
  int32_t FindPriorSet(int32_t n) const;
  int32_t FindPriorClear(int32_t n) const;
  // Walks the bits in the given state upward from max(start, 0) or downward from
  // min(start, Max); returns the first bit the action refuses, or -1.
  int32_t Iterate(const TIterateAction& action, bool value, int32_t start, void* data, bool upward);

  // Stream form: class name, Max, Count, the B bitmap bytes.
  void LoadFromStream(platform::TStream& stream) override;
  void StoreToStream(platform::TStream& stream) override;

 protected:
  // Lets the set work on a bitmap owned by someone else (B bytes) until RestoreStorage.
  void BorrowStorage(uint8_t* bitmap, int32_t count);
  void RestoreStorage();
  bool Borrowed() const { return bits_ != own_.data(); }
  uint8_t* MutableBytes() { return bits_; }
  void SetCountUnlocked(int32_t count) { count_ = count; }
  void CheckBit(int32_t n) const;
  void MaskTail();
  void RecountUnlocked();
  void ResizeUnlocked(int32_t n);
  // The first bit in the given state from start in the direction, or -1 (no locking).
  int32_t Scan(bool value, int64_t start, bool upward) const;

  class TwoSetGuard;

  int32_t max_ = 0;
  std::vector<uint8_t> own_;
  uint8_t* bits_ = nullptr;
  int32_t ownCount_ = 0;  // own count kept aside while borrowing
};

}  // namespace tovenmarsh::fulltext
