// TRecordsBitmap: one bit per record, worked a 32-bit word at a time.
#include "engine/base/records_bitmap.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace tovenmarsh::engine {
namespace {

constexpr int64_t kBitmapStep = 1024;

// Mask of the bits of records 1..k within a word (k 0..32).
uint32_t LowMask(uint32_t k) { return k >= 32 ? 0xFFFFFFFFu : ((1u << k) - 1u); }

}  // namespace

TRecordsBitmap::~TRecordsBitmap() { EngineFree(bits_); }

void TRecordsBitmap::ClearBitsFrom(uint32_t firstRecord) {
  // Clears the bits of records firstRecord.. up to the end of the buffer.
  if (bits_ == nullptr || firstRecord < 1) return;
  uint64_t words = static_cast<uint64_t>(capacity_) / 4;
  uint64_t word = (static_cast<uint64_t>(firstRecord) - 1) / 32;
  if (word >= words) return;
  bits_[word] &= LowMask((firstRecord - 1) % 32);
  // Words from cleanFrom_ on are clear already: a table growing by one record at a time would
  // clear the rest of the buffer for every record otherwise.
  const uint64_t end = std::min<uint64_t>(std::max<uint64_t>(cleanFrom_, word + 1), words);
  std::memset(bits_ + word + 1, 0, static_cast<size_t>((end - word - 1) * 4));
  cleanFrom_ = static_cast<uint32_t>(word + 1);
}

void TRecordsBitmap::SetSize(uint32_t n) {
  if (n == size_) return;
  uint32_t old = size_;
  size_ = n;
  uint64_t rounded = (static_cast<uint64_t>(n) + 31) / 32 * 32;
  wordCount_ = static_cast<uint32_t>(rounded / 32);
  roundedSize_ = static_cast<uint32_t>(rounded);  // wraps only for n above 2^32-32
  const int64_t before = capacity_;
  ResizeInSteps(static_cast<int64_t>(wordCount_) * 4, kBitmapStep, bits_, capacity_);
  // A grown buffer's new bytes are whatever the heap left.
  if (capacity_ != before) cleanFrom_ = static_cast<uint32_t>(capacity_ / 4);
  // Records that come into range start clear, whatever SetAll, Invert or an older size left.
  if (n > old) ClearBitsFrom(old + 1);
  // The words in range may be set from now on.
  cleanFrom_ = std::max(cleanFrom_, wordCount_);
}

uint32_t TRecordsBitmap::CountSet() const {
  if (size_ == 0) return 0;
  uint32_t count = 0;
  uint32_t full = size_ / 32;
  for (uint32_t w = 0; w < full; ++w)
    if (bits_[w] != 0) count += static_cast<uint32_t>(std::popcount(bits_[w]));
  if (size_ % 32 != 0) count += static_cast<uint32_t>(std::popcount(bits_[full] & LowMask(size_ % 32)));
  return count;
}

uint32_t TRecordsBitmap::CountSetBefore(uint32_t n) const {
  if (n < 2) return 0;
  uint32_t limit = n - 1;  // records 1..limit
  if (limit > size_) limit = size_;
  uint32_t count = 0;
  uint32_t full = limit / 32;
  for (uint32_t w = 0; w < full; ++w)
    if (bits_[w] != 0) count += static_cast<uint32_t>(std::popcount(bits_[w]));
  if (limit % 32 != 0) count += static_cast<uint32_t>(std::popcount(bits_[full] & LowMask(limit % 32)));
  return count;
}

bool TRecordsBitmap::FindNext(uint32_t& position, uint32_t k, int32_t& counter) const {
  uint64_t r = static_cast<uint64_t>(position) + 1;
  uint32_t found = 0;
  while (r <= size_) {
    uint32_t word = static_cast<uint32_t>((r - 1) / 32);
    uint32_t bit = static_cast<uint32_t>((r - 1) % 32);
    uint32_t rest = bits_[word] >> bit;
    if (rest == 0) {
      r = static_cast<uint64_t>(word + 1) * 32 + 1;
      continue;
    }
    r += static_cast<uint64_t>(std::countr_zero(rest));
    if (r > size_) break;
    position = static_cast<uint32_t>(r);
    ++counter;
    if (++found >= k) return true;
    ++r;
  }
  return false;
}

bool TRecordsBitmap::FindPrior(uint32_t& position, uint32_t k, int32_t& counter) const {
  if (position < 2) return false;
  uint64_t r = static_cast<uint64_t>(position) - 1;
  if (r > size_) r = size_;
  uint32_t found = 0;
  while (r >= 1) {
    uint32_t word = static_cast<uint32_t>((r - 1) / 32);
    uint32_t bit = static_cast<uint32_t>((r - 1) % 32);
    uint32_t rest = bits_[word] & LowMask(bit + 1);
    if (rest == 0) {
      r = static_cast<uint64_t>(word) * 32;  // last record of the previous word (0 ends)
      continue;
    }
    r = static_cast<uint64_t>(word) * 32 + 32 - static_cast<uint64_t>(std::countl_zero(rest));
    position = static_cast<uint32_t>(r);
    --counter;
    if (++found >= k) return true;
    --r;
  }
  return false;
}

uint32_t TRecordsBitmap::CoveredWord(uint32_t w) const {
  // Records beyond the size count as not set, whatever Invert or SetAll left in the buffer.
  if (w >= wordCount_) return 0;
  if (w + 1 == wordCount_ && size_ % 32 != 0) return bits_[w] & LowMask(size_ % 32);
  return bits_[w];
}

void TRecordsBitmap::AndWith(const TRecordsBitmap& other) {
  // A smaller other (the table grew since it was made) covers fewer records: the rest are not in it.
  for (uint32_t w = 0; w < wordCount_; ++w) bits_[w] &= other.CoveredWord(w);
}

void TRecordsBitmap::OrWith(const TRecordsBitmap& other) {
  for (uint32_t w = 0; w < wordCount_; ++w) bits_[w] |= other.CoveredWord(w);
}

void TRecordsBitmap::Invert() {
  for (uint32_t w = 0; w < wordCount_; ++w) bits_[w] = ~bits_[w];
}

void TRecordsBitmap::ClearAll() {
  if (bits_ != nullptr) std::memset(bits_, 0, static_cast<size_t>(capacity_));
  // Bits in range may be set again without a word of notice.
  cleanFrom_ = wordCount_;
}

void TRecordsBitmap::SetAll() {
  if (bits_ != nullptr) std::memset(bits_, 0xFF, static_cast<size_t>(capacity_));
  cleanFrom_ = static_cast<uint32_t>(capacity_ / 4);
}

void TRecordsBitmap::Assign(const TRecordsBitmap& other) {
  if (&other == this) return;
  if (capacity_ < other.capacity_) ResizeInSteps(other.capacity_, kBitmapStep, bits_, capacity_);
  if (other.capacity_ > 0) std::memcpy(bits_, other.bits_, static_cast<size_t>(other.capacity_));
  if (capacity_ > other.capacity_)
    std::memset(reinterpret_cast<uint8_t*>(bits_) + other.capacity_, 0,
                static_cast<size_t>(capacity_ - other.capacity_));
  size_ = other.size_;
  roundedSize_ = other.roundedSize_;
  wordCount_ = other.wordCount_;
  cleanFrom_ = other.cleanFrom_;
}

void TRecordsBitmap::Reset() {
  ClearAll();
  size_ = 0;
  roundedSize_ = 0;
  wordCount_ = 0;
  cleanFrom_ = 0;
}

}  // namespace tovenmarsh::engine
