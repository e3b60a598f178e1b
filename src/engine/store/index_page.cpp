// Index pages: entry editing, capacities, searches, and the stored form with its four leaf
// packings. Unpack trusts nothing it reads: every length is checked against the bytes that are
// left before it is used.
#include "engine/store/index_page.h"

#include <algorithm>

namespace tovenmarsh::engine {

using namespace index_format;

namespace {

// Copies a key of k bytes (k >= 1) in fixed-size moves, overlapping at the end: a memcpy of a
// length known only at run time becomes "rep movs" here, whose start-up cost per key was most of
// the time spent unpacking a leaf.
inline void CopyKeyBytes(uint8_t* to, const uint8_t* from, uint32_t k) {
  if (k >= 16) {
    uint32_t i = 0;
    for (; i + 16 <= k; i += 16) std::memcpy(to + i, from + i, 16);
    if (i < k) std::memcpy(to + k - 16, from + k - 16, 16);
  } else if (k >= 8) {
    std::memcpy(to, from, 8);
    std::memcpy(to + k - 8, from + k - 8, 8);
  } else if (k >= 4) {
    std::memcpy(to, from, 4);
    std::memcpy(to + k - 4, from + k - 4, 4);
  } else {
    for (uint32_t i = 0; i < k; ++i) to[i] = from[i];
  }
}

}  // namespace

int CompareKeyBytesPlain(const void*, const uint8_t* a, const uint8_t* b, uint32_t length) {
  const int c = std::memcmp(a, b, length);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void TPage::Setup(const TIndexShape& shape) {
  shape_ = shape;
  Clear();
}

void TPage::Clear() {
  keys_.clear();
  refs_.clear();
  counts_.clear();
  Type = kRootLeaf;
  Prev = Next = 0;
  Free = false;
  Parent = 0;
  PosA = PosB = 0;
}

void TPage::Recycle() {
  shape_ = TIndexShape();
  Clear();
  Offset = 0;
  Dirty = Detached = false;
  Pins = 0;
  Newer = Older = nullptr;
}

void TPage::InsertEntry(int at, const uint8_t* key, uint32_t ref, int32_t count) {
  const size_t k = shape_.KeySize;
  if (refs_.size() == refs_.capacity()) {
    // A page changed in a transaction stays in memory until the commit: its buffers grow by half
    // up to the page's capacity (one entry more splits it), not by doubling, which would leave a
    // page filled to two thirds (keys added at random) with room for a whole one. A compressed
    // leaf may hold more; beyond the capacity the buffers double.
    const size_t size = refs_.size(), capacity = Capacity() + 1;
    const size_t room = size < capacity ? std::min(capacity, std::max<size_t>(size + size / 2, 16)) : size * 2;
    keys_.reserve(room * k);
    refs_.reserve(room);
    if (!counts_.empty()) counts_.reserve(room);
  }
  const bool withCount = count != 0 || !counts_.empty();
  if (withCount) HoldCounts();
  keys_.insert(keys_.begin() + static_cast<ptrdiff_t>((at - 1) * k), key, key + k);
  refs_.insert(refs_.begin() + (at - 1), ref);
  if (withCount) counts_.insert(counts_.begin() + (at - 1), count);
}

void TPage::HoldCounts() {
  if (counts_.empty()) {
    counts_.reserve(refs_.capacity());
    counts_.assign(refs_.size(), 0);
  }
}

void TPage::SetEntryCount(int i, int32_t count) {
  if (count == 0 && counts_.empty()) return;
  HoldCounts();
  counts_[i - 1] = count;
}

void TPage::DeleteEntry(int at) {
  const size_t k = shape_.KeySize;
  keys_.erase(keys_.begin() + static_cast<ptrdiff_t>((at - 1) * k),
              keys_.begin() + static_cast<ptrdiff_t>(at * k));
  refs_.erase(refs_.begin() + (at - 1));
  if (!counts_.empty()) counts_.erase(counts_.begin() + (at - 1));
}

void TPage::MoveTailTo(int from, TPage& to) {
  const size_t k = shape_.KeySize;
  if (!counts_.empty() || !to.counts_.empty()) {
    HoldCounts();
    to.HoldCounts();
  }
  const auto keyStart = keys_.begin() + static_cast<ptrdiff_t>((from - 1) * k);
  to.keys_.insert(to.keys_.begin(), keyStart, keys_.end());
  to.refs_.insert(to.refs_.begin(), refs_.begin() + (from - 1), refs_.end());
  if (!counts_.empty()) to.counts_.insert(to.counts_.begin(), counts_.begin() + (from - 1), counts_.end());
  keys_.erase(keyStart, keys_.end());
  refs_.erase(refs_.begin() + (from - 1), refs_.end());
  if (!counts_.empty()) counts_.erase(counts_.begin() + (from - 1), counts_.end());
}

void TPage::MoveHeadTo(int n, TPage& to) {
  const size_t k = shape_.KeySize;
  if (!counts_.empty() || !to.counts_.empty()) {
    HoldCounts();
    to.HoldCounts();
  }
  const auto keyEnd = keys_.begin() + static_cast<ptrdiff_t>(n * k);
  to.keys_.insert(to.keys_.end(), keys_.begin(), keyEnd);
  to.refs_.insert(to.refs_.end(), refs_.begin(), refs_.begin() + n);
  if (!counts_.empty()) to.counts_.insert(to.counts_.end(), counts_.begin(), counts_.begin() + n);
  keys_.erase(keys_.begin(), keyEnd);
  refs_.erase(refs_.begin(), refs_.begin() + n);
  if (!counts_.empty()) counts_.erase(counts_.begin(), counts_.begin() + n);
}

void TPage::FitEntries() {
  keys_.shrink_to_fit();
  refs_.shrink_to_fit();
  counts_.shrink_to_fit();
}

int64_t TPage::RecordCount() const {
  if (IsLeaf()) return Count();
  int64_t sum = 0;
  for (int32_t c : counts_) sum += c;
  return sum;
}

uint32_t TPage::Capacity() const {
  return IsLeaf() ? LeafCapacity(shape_.KeySize) : NodeCapacity(shape_.KeySize);
}

uint32_t TPage::PrefixAgainstPrevious(int i) const {
  if (i <= 1) return 0;
  const uint32_t k = shape_.KeySize;
  const uint8_t* b = keys_.data() + static_cast<size_t>(i - 1) * k;
  const uint8_t* a = b - k;
  uint32_t n = 0;
  while (n < k && a[n] == b[n]) ++n;
  return n;
}

// Zero bytes at the end of key i's bytes [from, end of the compressible part).
uint32_t TPage::TrailingZeros(int i, uint32_t from) const {
  const uint32_t end = shape_.Unique ? shape_.KeySize : shape_.KeySize - kRecordIdSuffix;
  const uint8_t* key = keys_.data() + static_cast<size_t>(i - 1) * shape_.KeySize;
  uint32_t last = end;
  while (last > from && key[last - 1] == 0) --last;
  return end - last;
}

uint32_t TPage::EntryPackedSize(int i, uint32_t* prefix, uint32_t* trailing) const {
  const uint32_t k = shape_.KeySize;
  const uint32_t suffix = shape_.Unique ? 0 : kRecordIdSuffix;
  const uint32_t end = k - suffix;
  uint32_t p = 0, t = 0, size = 0;
  switch (shape_.Compression) {
    case kPackLeading:
      p = PrefixAgainstPrevious(i);
      size = 2 + (k - p) + 4;
      break;
    case kPackTrailing:
      t = TrailingZeros(i, 0);
      size = 2 + (end - t) + suffix + 4;
      break;
    case kPackBoth:
      p = std::min<uint32_t>(PrefixAgainstPrevious(i), 255);
      p = std::min(p, end);
      t = (!shape_.Unique && k - p < 5) ? 0 : std::min<uint32_t>(TrailingZeros(i, p), 255);
      size = 2 + (end - p - t) + suffix + 4;
      break;
    default:
      size = k + 4;
      break;
  }
  if (prefix) *prefix = p;
  if (trailing) *trailing = t;
  return size;
}

uint32_t TPage::PackedSize() const {
  if (!IsLeaf()) return static_cast<uint32_t>(Count()) * (shape_.KeySize + 8u);
  if (shape_.Compression == kPackPlain) return static_cast<uint32_t>(Count()) * (shape_.KeySize + 4u);
  uint32_t total = 0;
  for (int i = 1; i <= Count(); ++i) total += EntryPackedSize(i, nullptr, nullptr);
  return total;
}

void TPage::EntryPackedSizes(std::vector<uint32_t>& sizes) const {
  sizes.resize(static_cast<size_t>(Count()));
  for (int i = 1; i <= Count(); ++i) sizes[i - 1] = EntryPackedSize(i, nullptr, nullptr);
}

uint32_t TPage::PackedSizeAsFirst(int i) const {
  if (!IsCompressedLeaf() || shape_.Compression == kPackTrailing) return EntryPackedSize(i, nullptr, nullptr);
  // No prefix: the size with P = 0.
  const uint32_t k = shape_.KeySize;
  const uint32_t suffix = shape_.Unique ? 0 : kRecordIdSuffix;
  if (shape_.Compression == kPackLeading) return 2 + k + 4;
  const uint32_t end = k - suffix;
  const uint32_t t = (!shape_.Unique && k < 5) ? 0 : std::min<uint32_t>(TrailingZeros(i, 0), 255);
  return 2 + (end - t) + suffix + 4;
}

bool TPage::Overflows() const {
  if (IsCompressedLeaf()) return PackedSize() > kEntryArea;
  return static_cast<uint32_t>(Count()) > Capacity();
}

int TPage::LastNotGreater(const uint8_t* key, const TKeyOrder& order) const {
  int lo = 1, hi = Count();  // answer in [0, Count()]
  int ans = 0;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    if (order(Key(mid), key, shape_.KeySize) <= 0) {
      ans = mid;
      lo = mid + 1;
    } else {
      hi = mid - 1;
    }
  }
  return ans;
}

int TPage::FirstNotBelow(const uint8_t* key, const TKeyOrder& order) const {
  int lo = 1, hi = Count();
  int ans = Count() + 1;
  while (lo <= hi) {
    const int mid = lo + (hi - lo) / 2;
    if (order(Key(mid), key, shape_.KeySize) >= 0) {
      ans = mid;
      hi = mid - 1;
    } else {
      lo = mid + 1;
    }
  }
  return ans;
}

void TPage::SearchNearest(const uint8_t* key, bool after, const TKeyOrder& order, int64_t& sequence) {
  const int wanted = after ? LastNotGreater(key, order) + 1 : FirstNotBelow(key, order);
  if (IsLeaf()) {
    PosB = wanted;
    sequence += wanted - 1;
    return;
  }
  PosB = std::max(1, wanted - 1);
  for (int i = 1; i < PosB; ++i) sequence += EntryCount(i);
}

bool TPage::StepB(int direction, const TRecordsBitmap& visible, const uint8_t* bound, const TKeyOrder& order) {
  for (;;) {
    PosB += direction > 0 ? 1 : -1;
    if (PosB < 1 || PosB > Count()) return false;
    if (bound) {
      const int c = order(Key(PosB), bound, shape_.KeySize);
      if (direction > 0 ? c > 0 : c < 0) return false;
    }
    const uint32_t n = Reference(PosB);
    if (n >= 1 && n <= visible.Size() && visible.IsSet(n)) return true;
  }
}

void TPage::MarkRecords(int from, int to, TRecordsBitmap& bitmap) const {
  for (int i = std::max(1, from); i <= std::min(to, Count()); ++i) {
    const uint32_t n = Reference(i);
    if (n >= 1 && n <= bitmap.Size()) bitmap.SetBit(n);
  }
}

int TPage::CountRuns(int from, int to) const {
  int runs = 0;
  for (int i = std::max(1, from); i <= std::min(to, Count()); ++i)
    if (i == std::max(1, from) || Reference(i) != Reference(i - 1) + 1) ++runs;
  return runs;
}

bool TPage::Pack(uint8_t* out) const {
  std::memset(out, 0, kPageSize);
  PutU8(out, kPageType, Type);
  PutU32(out, kPagePrev, Free ? 0 : Prev);
  PutU32(out, kPageNext, Next);
  if (Free) return true;
  if (Count() > 0xFFFF) return false;
  PutU16(out, kPageCount, static_cast<uint16_t>(Count()));
  const uint32_t k = shape_.KeySize;
  const uint32_t suffix = shape_.Unique ? 0 : kRecordIdSuffix;
  const uint32_t end = k - suffix;
  uint8_t* area = out + kPageEntries.Offset;
  uint32_t at = 0;
  if (!IsLeaf()) {
    if (PackedSize() > kEntryArea) return false;
    for (int i = 1; i <= Count(); ++i) {
      CopyKeyBytes(area + at, Key(i), k);
      PutU32(area, at + k, Reference(i));
      PutI32(area, at + k + 4, EntryCount(i));
      at += k + 8;
    }
    return true;
  }
  if (shape_.Compression == kPackPlain) {
    if (PackedSize() > kEntryArea) return false;
    for (int i = 1; i <= Count(); ++i) {
      CopyKeyBytes(area + at, Key(i), k);
      PutU32(area, at + k, Reference(i));
      at += k + 4;
    }
    return true;
  }
  for (int i = 1; i <= Count(); ++i) {
    uint32_t p = 0, t = 0;
    const uint32_t size = EntryPackedSize(i, &p, &t);
    if (at + size > kEntryArea) return false;
    const uint8_t* key = Key(i);
    switch (shape_.Compression) {
      case kPackLeading:
        PutU16(area, at, static_cast<uint16_t>(p));
        std::memcpy(area + at + 2, key + p, k - p);
        break;
      case kPackTrailing:
        PutU16(area, at, static_cast<uint16_t>(t));
        std::memcpy(area + at + 2, key, end - t);
        std::memcpy(area + at + 2 + (end - t), key + end, suffix);
        break;
      default:  // both
        area[at] = static_cast<uint8_t>(p);
        area[at + 1] = static_cast<uint8_t>(t);
        std::memcpy(area + at + 2, key + p, end - p - t);
        std::memcpy(area + at + 2 + (end - p - t), key + end, suffix);
        break;
    }
    PutU32(area, at + size - 4, Reference(i));
    at += size;
  }
  PutU16(out, kPagePacked, static_cast<uint16_t>(at));
  return true;
}

bool TPage::Unpack(const uint8_t* in) {
  Clear();
  const uint32_t k = shape_.KeySize;
  const uint32_t suffix = shape_.Unique ? 0 : kRecordIdSuffix;
  auto fail = [this] {
    Clear();
    return false;
  };
  if (k == 0 || k > kMaxKeySize || k < suffix) return fail();
  const uint8_t type = GetU8(in, kPageType);
  const uint32_t count = GetU16(in, kPageCount);
  const uint32_t prev = GetU32(in, kPagePrev);
  const uint32_t next = GetU32(in, kPageNext);
  if (type > kRootLeaf || prev % kPageSize != 0 || next % kPageSize != 0) return fail();
  Type = type;
  Prev = prev;
  Next = next;
  if (count == 0) {
    Free = true;
    Prev = 0;
    return true;
  }
  const uint8_t* area = in + kPageEntries.Offset;
  const uint32_t end = k - suffix;
  keys_.resize(static_cast<size_t>(count) * k);
  refs_.resize(count);
  counts_.clear();
  if (!IsLeaf()) {
    counts_.resize(count);
    if (count > NodeCapacity(k)) return fail();
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = area + i * (k + 8);
      const uint32_t child = GetU32(e, k);
      const int32_t n = GetI32(e, k + 4);
      if (child == 0 || child % kPageSize != 0 || n < 0) return fail();
      CopyKeyBytes(keys_.data() + static_cast<size_t>(i) * k, e, k);
      refs_[i] = child;
      counts_[i] = n;
    }
    return true;
  }
  if (shape_.Compression == kPackPlain) {
    if (count > LeafCapacity(k)) return fail();
    for (uint32_t i = 0; i < count; ++i) {
      const uint8_t* e = area + i * (k + 4);
      const uint32_t rec = GetU32(e, k);
      if (rec == 0) return fail();
      CopyKeyBytes(keys_.data() + static_cast<size_t>(i) * k, e, k);
      refs_[i] = rec;
    }
    return true;
  }
  const uint32_t packed = GetU16(in, kPagePacked);
  if (packed > kEntryArea) return fail();
  uint32_t at = 0;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t* key = keys_.data() + static_cast<size_t>(i) * k;
    if (packed - at < 2) return fail();
    uint32_t p = 0, t = 0;
    if (shape_.Compression == kPackLeading) {
      p = GetU16(area, at);
    } else if (shape_.Compression == kPackTrailing) {
      t = GetU16(area, at);
    } else {
      p = area[at];
      t = area[at + 1];
    }
    at += 2;
    if (i == 0 && p != 0) return fail();
    uint32_t stored;  // key bytes present in the entry
    if (shape_.Compression == kPackLeading) {
      if (p > k) return fail();
      stored = k - p;
    } else {
      if (p + t > end) return fail();
      stored = end - p - t + suffix;
    }
    if (packed - at < stored + 4) return fail();
    if (p > 0) std::memcpy(key, key - k, p);
    if (shape_.Compression == kPackLeading) {
      std::memcpy(key + p, area + at, stored);
    } else {
      std::memcpy(key + p, area + at, end - p - t);
      std::memset(key + end - t, 0, t);
      std::memcpy(key + end, area + at + (end - p - t), suffix);
    }
    at += stored;
    const uint32_t rec = GetU32(area, at);
    at += 4;
    if (rec == 0) return fail();
    refs_[i] = rec;
  }
  if (at != packed) return fail();
  return true;
}

}  // namespace tovenmarsh::engine
