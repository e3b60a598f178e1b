// TClBits: bitmap operations with masked tail, checked bit numbers and byte-skipping scans.
#include "fulltext/cl_bits.h"

#include <bit>
#include <cstring>
#include <mutex>

namespace tovenmarsh::fulltext {

const TClClass TClBits::kClass{"TClBits", &TClContainer::kClass};

namespace {

// One lock for every operation that involves two bit sets.
std::recursive_mutex& SharedBitsLock() {
  static std::recursive_mutex lock;
  return lock;
}

int64_t BytesFor(int32_t max) { return static_cast<int64_t>(max) / 8 + 1; }

}  // namespace

// Holds the shared bit-set lock, then both sets' locks. The two set locks are taken in address
// order: the shared lock already rules out a deadlock, and a fixed order keeps lock-order
// checkers quiet as well.
class TClBits::TwoSetGuard {
 public:
  TwoSetGuard(const TClBits& self, const TClBits* other)
      : shared_(SharedBitsLock()),
        first_(other == nullptr || &self <= other ? self.lock_ : other->lock_),
        second_(other == nullptr || other == &self ? nullptr : (&self < other ? &other->lock_ : &self.lock_)) {
    if (second_ != nullptr) second_->lock();
  }
  ~TwoSetGuard() {
    if (second_ != nullptr) second_->unlock();
  }
  TwoSetGuard(const TwoSetGuard&) = delete;
  TwoSetGuard& operator=(const TwoSetGuard&) = delete;

 private:
  std::lock_guard<std::recursive_mutex> shared_;
  std::lock_guard<std::recursive_mutex> first_;
  std::recursive_mutex* second_;
};

TClBits::TClBits(int32_t maxBit) {
  if (maxBit < 0 || maxBit > kLargestMax) RaiseContainerError(kClBadSize);
  max_ = maxBit;
  own_.assign(static_cast<size_t>(BytesFor(maxBit)), 0);
  bits_ = own_.data();
  count_ = 0;
}

int32_t TClBits::Max() const {
  Guard guard(lock_);
  return max_;
}

int64_t TClBits::ByteCount() const {
  Guard guard(lock_);
  return BytesFor(max_);
}

void TClBits::CheckBit(int32_t n) const {
  if (n < 0 || n > max_) RaiseTextIndex(txeInvalidParameter);
}

void TClBits::MaskTail() {
  const int used = max_ % 8 + 1;  // bits of the last byte that belong to the set
  if (used < 8) bits_[BytesFor(max_) - 1] &= static_cast<uint8_t>((1u << used) - 1);
}

void TClBits::RecountUnlocked() {
  MaskTail();
  const size_t n = static_cast<size_t>(BytesFor(max_));
  int64_t total = 0;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, bits_ + i, 8);
    total += std::popcount(word);
  }
  for (; i < n; ++i) total += std::popcount(static_cast<unsigned>(bits_[i]));
  count_ = static_cast<int32_t>(total);
}

void TClBits::ClearAll() {
  Guard guard(lock_);
  std::memset(bits_, 0, static_cast<size_t>(BytesFor(max_)));
  count_ = 0;
}

void TClBits::SetAll() {
  Guard guard(lock_);
  std::memset(bits_, 0xFF, static_cast<size_t>(BytesFor(max_)));
  MaskTail();
  count_ = max_ + 1;
}

void TClBits::SetBit(int32_t n) {
  Guard guard(lock_);
  CheckBit(n);
  uint8_t& byte = bits_[n / 8];
  const auto mask = static_cast<uint8_t>(1u << (n % 8));
  if ((byte & mask) == 0) {
    byte |= mask;
    ++count_;
  }
}

void TClBits::ClearBit(int32_t n) {
  Guard guard(lock_);
  CheckBit(n);
  uint8_t& byte = bits_[n / 8];
  const auto mask = static_cast<uint8_t>(1u << (n % 8));
  if ((byte & mask) != 0) {
    byte &= static_cast<uint8_t>(~mask);
    --count_;
  }
}

void TClBits::ControlBit(int32_t n, bool value) {
  if (value) SetBit(n); else ClearBit(n);
}

bool TClBits::TestBit(int32_t n) const {
  Guard guard(lock_);
  CheckBit(n);
  return (bits_[n / 8] >> (n % 8)) & 1;
}

void TClBits::Invert() {
  Guard guard(lock_);
  const size_t n = static_cast<size_t>(BytesFor(max_));
  for (size_t i = 0; i < n; ++i) bits_[i] = static_cast<uint8_t>(~bits_[i]);
  MaskTail();
  count_ = max_ - count_ + 1;
}

void TClBits::AndWith(const TClBits* other) {
  TwoSetGuard guard(*this, other);
  if (other == nullptr) RaiseContainerError(kClBadClass);
  if (other->max_ != max_) RaiseContainerError(kClBadClass);
  const size_t n = static_cast<size_t>(BytesFor(max_));
  for (size_t i = 0; i < n; ++i) bits_[i] &= other->bits_[i];
  RecountUnlocked();
}

void TClBits::OrWith(const TClBits* other) {
  TwoSetGuard guard(*this, other);
  if (other == nullptr) RaiseContainerError(kClBadClass);
  if (other->max_ != max_) RaiseContainerError(kClBadClass);
  const size_t n = static_cast<size_t>(BytesFor(max_));
  for (size_t i = 0; i < n; ++i) bits_[i] |= other->bits_[i];
  RecountUnlocked();
}

void TClBits::CopyFrom(const TClBits* other) {
  TwoSetGuard guard(*this, other);
  if (other == nullptr) RaiseContainerError(kClBadClass);
  if (other->max_ != max_) RaiseContainerError(kClBadClass);
  if (other != this) std::memmove(bits_, other->bits_, static_cast<size_t>(BytesFor(max_)));
  count_ = other->count_;
}

void TClBits::Recount() {
  Guard guard(lock_);
  RecountUnlocked();
}

void TClBits::Resize(int32_t n) {
  Guard guard(lock_);
  ResizeUnlocked(n);
}

void TClBits::ResizeUnlocked(int32_t n) {
  if (n < 0 || n > kLargestMax) RaiseContainerError(kClBadSize);
  RestoreStorage();
  const int32_t old = max_;
  const size_t bytes = static_cast<size_t>(BytesFor(n));
  if (bytes != own_.size()) own_.resize(bytes, 0);  // keeps the old state when it throws
  bits_ = own_.data();
  max_ = n;
  // Bits past a smaller Max are cut off, so the count must follow them; new bits are clear.
  if (n < old) RecountUnlocked();
}

void TClBits::BorrowStorage(uint8_t* bitmap, int32_t count) {
  if (!Borrowed()) ownCount_ = count_;
  bits_ = bitmap;
  count_ = count;
}

void TClBits::RestoreStorage() {
  if (!Borrowed()) return;
  bits_ = own_.data();
  count_ = ownCount_;
}

int32_t TClBits::Scan(bool value, int64_t start, bool upward) const {
  // 64 bits at a time: sparse sets of many documents are scanned on every pack and search.
  const int64_t last = max_;
  const int64_t bytes = BytesFor(max_);
  const int64_t lastGroup = last / 64;
  // Group g holds bits 64g..64g+63, those in the searched state set, those beyond Max clear.
  auto group = [&](int64_t g) {
    const int64_t from = g * 8;
    const int64_t n = bytes - from < 8 ? bytes - from : 8;
    uint64_t x = 0;
    if (n == 8 && std::endian::native == std::endian::little) {
      std::memcpy(&x, bits_ + from, 8);
    } else {
      for (int64_t k = 0; k < n; ++k) x |= static_cast<uint64_t>(bits_[from + k]) << (8 * k);
    }
    if (!value) x = ~x;
    if (g == lastGroup && last % 64 != 63) x &= (uint64_t{1} << (last % 64 + 1)) - 1;
    return x;
  };
  if (upward) {
    const int64_t s = start < 0 ? 0 : start;
    if (s > last) return -1;
    int64_t g = s / 64;
    uint64_t x = group(g) & (~uint64_t{0} << (s % 64));
    while (x == 0) {
      if (++g > lastGroup) return -1;
      x = group(g);
    }
    return static_cast<int32_t>(g * 64 + std::countr_zero(x));
  }
  const int64_t s = start > last ? last : start;
  if (s < 0) return -1;
  int64_t g = s / 64;
  uint64_t x = group(g);
  if (s % 64 != 63) x &= (uint64_t{1} << (s % 64 + 1)) - 1;
  while (x == 0) {
    if (--g < 0) return -1;
    x = group(g);
  }
  return static_cast<int32_t>(g * 64 + 63 - std::countl_zero(x));
}

int32_t TClBits::FindFirstSet() const { Guard g(lock_); return Scan(true, 0, true); }
int32_t TClBits::FindLastSet() const { Guard g(lock_); return Scan(true, max_, false); }
int32_t TClBits::FindFirstClear() const { Guard g(lock_); return Scan(false, 0, true); }
int32_t TClBits::FindLastClear() const { Guard g(lock_); return Scan(false, max_, false); }
int32_t TClBits::FindNextSet(int32_t n) const { Guard g(lock_); return Scan(true, int64_t{n} + 1, true); }
int32_t TClBits::FindNextClear(int32_t n) const { Guard g(lock_); return Scan(false, int64_t{n} + 1, true); }
int32_t TClBits::FindPriorSet(int32_t n) const { Guard g(lock_); return Scan(true, int64_t{n} - 1, false); }
int32_t TClBits::FindPriorClear(int32_t n) const { Guard g(lock_); return Scan(false, int64_t{n} - 1, false); }

int32_t TClBits::Iterate(const TIterateAction& action, bool value, int32_t start, void* data,
                         bool upward) {
  Guard guard(lock_);
  for (int64_t bit = upward ? (start < 0 ? 0 : start) : (start > max_ ? max_ : start);;) {
    const int32_t found = Scan(value, bit, upward);
    if (found < 0) return -1;
    if (!action(*this, found, data)) return found;
    bit = upward ? int64_t{found} + 1 : int64_t{found} - 1;
  }
}

void TClBits::StoreToStream(platform::TStream& stream) {
  Guard guard(lock_);
  TFilerWriter writer(stream);
  writer.WriteString(ClassType().name);
  writer.WriteInteger(max_);
  writer.WriteInteger(count_);
  writer.Write(bits_, static_cast<size_t>(BytesFor(max_)));
}

void TClBits::LoadFromStream(platform::TStream& stream) {
  Guard guard(lock_);
  ClearAll();
  TFilerReader reader(stream);
  const TClClass& cls = ReadRegisteredClass(reader, kClContainerClassUnregistered);
  if (!InheritsFrom(&ClassType(), &cls) || !InheritsFrom(&cls, &kClass))
    RaiseContainerError(kClClassNameDiffers);
  const int32_t max = reader.ReadInteger();
  reader.ReadInteger();  // the stored count; recounted from the bytes below
  if (max < 0 || max > kLargestMax) RaiseContainerError(kClBadSize);
  // The bitmap must be there before anything is allocated for it.
  if (reader.Remaining() < BytesFor(max)) throw platform::EReadError("Stream read error");
  ResizeUnlocked(max);
  reader.Read(bits_, static_cast<size_t>(BytesFor(max)));
  RecountUnlocked();
}

}  // namespace tovenmarsh::fulltext
