// Packing, unpacking and raw loading of match-bit records.
#include "fulltext/match_bits.h"

#include <bit>
#include <cstring>

#include "fulltext/run_packer.h"

namespace tovenmarsh::fulltext {

const TClClass TtaBits::kClass{"TtaBits", &TClBits::kClass};

namespace {

[[noreturn]] void BadHeader() { RaiseTextIndex(txeInvalidBlockSize); }
[[noreturn]] void BadData() { RaiseTextIndex(txeInconsistentBlobSize); }

uint16_t GetRecordWord(const uint8_t* record, size_t at) {
  return static_cast<uint16_t>(record[at] | record[at + 1] << 8);
}

void PutRecordWord(uint8_t* record, size_t at, uint32_t value) {
  record[at] = static_cast<uint8_t>(value);
  record[at + 1] = static_cast<uint8_t>(value >> 8);
}

}  // namespace

bool IsPackedRecord(const uint8_t* record, size_t available) {
  if (available < kRawHeaderSize) return false;
  const int32_t count = GetRecordInt(record, kRecCountAt);
  if (count < 0) return true;
  // The empty packed record: count 0, size 24, method 1 (a raw empty bitmap has zeros there).
  return count == 0 && available >= kPackedHeaderSize &&
         GetRecordInt(record, kRecSizeAt) == static_cast<int32_t>(kPackedHeaderSize) &&
         GetRecordInt(record, kPackMethodAt) == pmFewBits;
}

TtaBits::TtaBits(int32_t maxBit) : TClBits(maxBit) {}

TtaBits::~TtaBits() { RestoreStorage(); }

void TtaBits::Borrow(uint8_t* rawRecord) {
  Guard guard(lock_);
  const int32_t count = GetRecordInt(rawRecord, kRecCountAt);
  BorrowStorage(rawRecord + kRawBitsAt, count < 0 ? 0 : count);
}

void TtaBits::Restore() {
  Guard guard(lock_);
  RestoreStorage();
}

int32_t TtaBits::ToRaw(uint8_t* record) const {
  Guard guard(lock_);
  const size_t bytes = static_cast<size_t>(max_) / 8 + 1;
  if (record + kRawBitsAt != bits_) std::memmove(record + kRawBitsAt, bits_, bytes);
  PutRecordInt(record, kRecCountAt, count_);
  PutRecordInt(record, kRecSizeAt, static_cast<int32_t>(bytes + kRawHeaderSize));
  return static_cast<int32_t>(bytes + kRawHeaderSize);
}

bool TtaBits::GapsFit(int32_t first, int32_t last) const {
  int32_t previous = first;
  for (int32_t bit = Scan(true, int64_t{first} + 1, true); bit >= 0 && bit <= last;
       bit = Scan(true, int64_t{bit} + 1, true)) {
    if (bit - previous > 65535) return false;
    previous = bit;
  }
  return true;
}

int32_t TtaBits::WriteGapList(uint8_t* target, int32_t count, int32_t first, int32_t last) const {
  size_t at = kPackDataAt;
  int32_t previous = first;
  for (int32_t bit = Scan(true, int64_t{first} + 1, true); bit >= 0 && bit <= last;
       bit = Scan(true, int64_t{bit} + 1, true)) {
    PutRecordWord(target, at, static_cast<uint32_t>(bit - previous));
    at += 2;
    previous = bit;
  }
  PutRecordInt(target, kPackMethodAt, pmGapList);
  return 2 * count + 22;
}

int32_t TtaBits::WriteBitList(uint8_t* target, int32_t count, int32_t first, int32_t last) const {
  // Small sets whose gaps all fit 16 bits are written as gaps instead (half the size).
  const int64_t bytes = static_cast<int64_t>(max_) / 8 + 1;
  if (int64_t{count - 1} * 6 < bytes && GapsFit(first, last))
    return WriteGapList(target, count, first, last);
  size_t at = kPackDataAt;
  for (int32_t bit = Scan(true, int64_t{first} + 1, true); bit >= 0 && bit < last;
       bit = Scan(true, int64_t{bit} + 1, true)) {
    PutRecordInt(target, at, bit);
    at += 4;
  }
  PutRecordInt(target, kPackMethodAt, pmBitList);
  return 4 * count + 16;
}

int32_t TtaBits::WriteByteRange(uint8_t* target, int32_t first, int32_t last) const {
  const int32_t n = last / 8 - first / 8 + 1;
  std::memcpy(target + kPackDataAt, bits_ + first / 8, static_cast<size_t>(n));
  PutRecordInt(target, kPackMethodAt, pmByteRange);
  return n + 24;
}

int32_t TtaBits::Pack(uint8_t* target) const {
  Guard guard(lock_);
  const int32_t first = count_ == 0 ? 0 : Scan(true, 0, true);
  const int32_t last = count_ >= 2 ? Scan(true, max_, false) : first;
  return PackWithin(target, first, last);
}

int32_t TtaBits::PackList(const int32_t* list, int32_t count, uint8_t* target) {
  Guard guard(lock_);
  if (count_ != 0 || count < 0) RaiseTextIndex(txeInvalidParameter);
  if (count == 0) return PackWithin(target, 0, 0);
  const int32_t first = list[0], last = list[count - 1];
  if (first < 0 || last > max_) RaiseTextIndex(txeDecompressBufferTooSmall);
  for (int32_t k = 1; k < count; ++k)
    if (list[k] <= list[k - 1]) RaiseTextIndex(txeInvalidParameter);
  for (int32_t k = 0; k < count; ++k) SetBitUnchecked(list[k]);
  count_ = count;
  const int32_t size = PackWithin(target, first, last);
  // Only the bytes between the first and the last bit were touched: the set is empty again
  // without a pass over the whole bitmap.
  std::memset(bits_ + first / 8, 0, static_cast<size_t>(last / 8 - first / 8 + 1));
  count_ = 0;
  return size;
}

int32_t TtaBits::PackWithin(uint8_t* target, int32_t first, int32_t last) const {
  const int32_t count = count_;
  const int64_t bytes = static_cast<int64_t>(max_) / 8 + 1;
  int32_t size = 24;
  PutRecordInt(target, kRecCountAt, -count);
  PutRecordInt(target, kPackMethodAt, pmFewBits);
  if (count == 3) {
    if (bytes < 4) {
      size = WriteByteRange(target, first, last);
    } else {
      PutRecordInt(target, kPackDataAt, Scan(true, int64_t{first} + 1, true));
      size = 28;
    }
  } else if (count >= 4) {
    const int32_t n = last / 8 - first / 8 + 1;
    int32_t method = pmByteRange;
    int64_t best = int64_t{n} + 24;
    int64_t gapSize = 0, listSize = 0;  // 0: not computed
    if (count <= 256) {
      if (int64_t{last} - first - count < 65535 && GapsFit(first, last)) {
        gapSize = 2 * int64_t{count} + 22;
        if (gapSize <= bytes + 12 && gapSize < best) method = pmGapList, best = gapSize;
      } else {
        listSize = 4 * int64_t{count} + 16;
        if (listSize < best) method = pmBitList, best = listSize;
      }
    }
    int64_t estimate = ((int64_t{last} - first) / 4) / 127 + 24;
    if (count < n) {
      estimate += count;
    } else if (int64_t{count} > 7 * int64_t{n}) {
      estimate += 8 * int64_t{n} - count;
    }
    if (estimate < best) method = pmRunLength;

    switch (method) {
      case pmGapList:
        size = WriteGapList(target, count, first, last);
        break;
      case pmBitList:
        size = WriteBitList(target, count, first, last);
        break;
      case pmByteRange:
        size = WriteByteRange(target, first, last);
        break;
      default: {
        const int64_t packed = PackRuns(bits_ + first / 8, static_cast<size_t>(n), target + kPackDataAt);
        if (packed < 0) {
          size = WriteByteRange(target, first, last);
          break;
        }
        size = static_cast<int32_t>(packed + 24);
        PutRecordInt(target, kPackMethodAt, pmRunLength);
        if (gapSize != 0 && gapSize < size) {
          size = WriteGapList(target, count, first, last);
        } else if (listSize != 0 && listSize < size) {
          size = WriteBitList(target, count, first, last);
        } else if (count < 256 && 2 * int64_t{count} - 2 < size - 24 &&
                   size + 2 * int64_t{count} - 2 < bytes + 24 && GapsFit(first, last)) {
          size = WriteGapList(target, count, first, last);
        }
      }
    }
  }
  PutRecordInt(target, kRecSizeAt, size);
  PutRecordInt(target, kPackFirstAt, first);
  PutRecordInt(target, kPackLastAt, last);
  return size;
}

void TtaBits::Unpack(const uint8_t* record, size_t available) {
  Guard guard(lock_);
  try {
    UnpackChecked(record, available);
  } catch (...) {
    std::memset(bits_, 0, static_cast<size_t>(max_) / 8 + 1);
    count_ = 0;
    throw;
  }
}

void TtaBits::UnpackChecked(const uint8_t* record, size_t available) {
  if (available < kPackedHeaderSize) BadHeader();
  const int64_t size = GetRecordInt(record, kRecSizeAt);
  const int64_t stored = GetRecordInt(record, kRecCountAt);
  const int64_t first = GetRecordInt(record, kPackFirstAt);
  const int64_t last = GetRecordInt(record, kPackLastAt);
  const int32_t method = GetRecordInt(record, kPackMethodAt);
  if (size < static_cast<int64_t>(kPackedHeaderSize) || static_cast<uint64_t>(size) > available)
    BadHeader();
  if (stored > 0 || method < pmFewBits || method > pmRunLength || first < 0 || last < first)
    BadHeader();
  if (last > max_) RaiseTextIndex(txeDecompressBufferTooSmall);
  const int64_t count = -stored;
  if (count > last - first + 1) BadHeader();
  if (count == 0 && (first != 0 || last != 0 || method != pmFewBits)) BadHeader();
  if (method <= pmGapList && ((count == 1 && first != last) || (count >= 2 && first == last)))
    BadHeader();
  const int64_t bytes = static_cast<int64_t>(max_) / 8 + 1;
  const uint8_t* data = record + kPackDataAt;
  const int64_t dataSize = size - static_cast<int64_t>(kPackedHeaderSize);

  if (method == pmByteRange || method == pmRunLength) {
    const int64_t from = first / 8, to = last / 8, n = to - from + 1;
    if (method == pmByteRange && dataSize != n) BadHeader();
    std::memset(bits_, 0, static_cast<size_t>(from));
    std::memset(bits_ + to + 1, 0, static_cast<size_t>(bytes - to - 1));
    if (method == pmByteRange) {
      std::memcpy(bits_ + from, data, static_cast<size_t>(n));
    } else if (UnpackRuns(data, static_cast<size_t>(dataSize), bits_ + from, static_cast<size_t>(n)) != n) {
      BadData();
    }
    // The bytes must hold exactly the bits the header names.
    RecountUnlocked();
    if (count_ != count) BadData();
    if (count > 0 && (Scan(true, first, true) != first || Scan(true, last, false) != last)) BadData();
    return;
  }

  std::memset(bits_, 0, static_cast<size_t>(bytes));
  count_ = 0;
  int64_t expected = 24;
  if (method == pmFewBits) {
    if (count > 3) BadHeader();
    expected = count == 3 ? 28 : 24;
  } else if (method == pmBitList) {
    if (count < 2) BadHeader();
    expected = 24 + 4 * (count - 2);
  } else {
    if (count < 1) BadHeader();
    expected = 24 + 2 * (count - 1);
  }
  if (size != expected) BadHeader();
  if (count >= 1) SetBitUnchecked(first);
  if (count >= 2) SetBitUnchecked(last);
  if (method == pmFewBits && count == 3) {
    const int64_t middle = GetRecordInt(data, 0);
    if (middle <= first || middle >= last) BadData();
    SetBitUnchecked(middle);
  } else if (method == pmBitList) {
    int64_t previous = first;
    for (int64_t k = 0; k < count - 2; ++k) {
      const int64_t bit = GetRecordInt(data, static_cast<size_t>(4 * k));
      if (bit <= previous || bit >= last) BadData();
      SetBitUnchecked(bit);
      previous = bit;
    }
  } else if (method == pmGapList) {
    int64_t bit = first;
    for (int64_t k = 0; k < count - 1; ++k) {
      const uint16_t gap = GetRecordWord(data, static_cast<size_t>(2 * k));
      if (gap == 0) BadData();
      bit += gap;
      if (bit > last) BadData();
      SetBitUnchecked(bit);
    }
    if (bit != last) BadData();
  }
  count_ = static_cast<int32_t>(count);
}

void TtaBits::LoadRaw(uint8_t* record, size_t available, bool exact) {
  Guard guard(lock_);
  if (available < kRawHeaderSize) RaiseTextIndex(txeInvalidBlockSize);
  const int64_t size = GetRecordInt(record, kRecSizeAt);
  const int64_t bytes = static_cast<int64_t>(max_) / 8 + 1;
  if (size < static_cast<int64_t>(kRawHeaderSize) || static_cast<uint64_t>(size) > available ||
      GetRecordInt(record, kRecCountAt) < 0)
    RaiseTextIndex(txeInvalidBlockSize);
  if (size == bytes + static_cast<int64_t>(kRawHeaderSize)) {
    BorrowStorage(record + kRawBitsAt, 0);
  } else {
    if (exact) RaiseTextIndex(txeInvalidBlockSize);
    RestoreStorage();
    const int64_t copy = size - static_cast<int64_t>(kRawHeaderSize) < bytes
                             ? size - static_cast<int64_t>(kRawHeaderSize) : bytes;
    std::memcpy(bits_, record + kRawBitsAt, static_cast<size_t>(copy));
    std::memset(bits_ + copy, 0, static_cast<size_t>(bytes - copy));
  }
  // The stored count is not trusted: the bitmap decides.
  RecountUnlocked();
  if (Borrowed()) PutRecordInt(record, kRecCountAt, count_);
}

void TtaBits::Load(const uint8_t* record, size_t available) {
  if (IsPackedRecord(record, available)) {
    Unpack(record, available);
    return;
  }
  Guard guard(lock_);
  if (available < kRawHeaderSize) RaiseTextIndex(txeInvalidBlockSize);
  const int64_t size = GetRecordInt(record, kRecSizeAt);
  const int64_t bytes = static_cast<int64_t>(max_) / 8 + 1;
  if (size < static_cast<int64_t>(kRawHeaderSize) || static_cast<uint64_t>(size) > available ||
      GetRecordInt(record, kRecCountAt) < 0)
    RaiseTextIndex(txeInvalidBlockSize);
  const int64_t have = size - static_cast<int64_t>(kRawHeaderSize);
  const int64_t n = have < bytes ? have : bytes;
  std::memcpy(bits_, record + kRawBitsAt, static_cast<size_t>(n));
  std::memset(bits_ + n, 0, static_cast<size_t>(bytes - n));
  RecountUnlocked();
}

void TtaBits::PlaceBytes(int64_t at, const uint8_t* bytes, int64_t n) {
  Guard guard(lock_);
  const int64_t total = static_cast<int64_t>(max_) / 8 + 1;
  if (at < 0 || at > total) RaiseTextIndex(txeInvalidParameter);
  if (n > total - at) n = total - at;
  if (n <= 0) return;
  auto popcount = [](const uint8_t* p, int64_t k) {
    int64_t c = 0;
    for (int64_t i = 0; i < k; ++i) c += std::popcount(static_cast<unsigned>(p[i]));
    return c;
  };
  const int64_t before = popcount(bits_ + at, n);
  std::memcpy(bits_ + at, bytes, static_cast<size_t>(n));
  if (at + n == total) MaskTail();
  count_ = static_cast<int32_t>(count_ - before + popcount(bits_ + at, n));
}

}  // namespace tovenmarsh::fulltext
