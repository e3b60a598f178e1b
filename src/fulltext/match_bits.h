// Match-bit records and TtaBits, the bit set of one word's documents.
//
// A match-bit record starts with a 4-byte cache stamp that is never stored, then either
//   raw form    (count >= 0): count, size = B + 12, the B bitmap bytes;
//   packed form (count < 0):  -count, size (>= 24), first set bit F, last set bit L, method 1..5,
//                             then the method's data (see Pack).
// An empty set packs to count 0, size 24, F = L = 0, method 1; IsPackedRecord tells it apart
// from a raw record (whose bitmap is all zero when its count is 0).
//
// Unpacking checks every header field, the size against the method and against the bytes at
// hand, and the data against the header, before and while it fills the set: a damaged record
// raises ETextIndex (30470 when its bits lie beyond Max, 30477 for a malformed header or size,
// 30465 for data that disagrees with its header) and leaves the set empty.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fulltext/cl_bits.h"

namespace tovenmarsh::fulltext {

// Record layout (offsets in bytes, little-endian int32 fields).
constexpr size_t kRecStampAt = 0;
constexpr size_t kRecCountAt = 4;
constexpr size_t kRecSizeAt = 8;
constexpr size_t kRawBitsAt = 12;
constexpr size_t kPackFirstAt = 12;
constexpr size_t kPackLastAt = 16;
constexpr size_t kPackMethodAt = 20;
constexpr size_t kPackDataAt = 24;
constexpr size_t kRawHeaderSize = kRawBitsAt;
constexpr size_t kPackedHeaderSize = kPackDataAt;
static_assert(kPackedHeaderSize == kRawHeaderSize + 12);

enum TPackMethod : int32_t {
  pmFewBits = 1,   // up to three bits: F, L and the middle one
  pmBitList = 2,   // the bits between F and L as int32
  pmGapList = 3,   // the gaps between successive bits as uint16
  pmByteRange = 4, // the bitmap bytes from F div 8 to L div 8
  pmRunLength = 5, // the same bytes run-length packed
};

// Inline: the build reads and writes record fields for every word of every document. The
// fields are little-endian; on such a host one 4-byte copy is the same bytes, and spares the
// processor rebuilding the bytes one by one (which it stalls on when reading them back).
inline int32_t GetRecordInt(const uint8_t* record, size_t at) {
  if constexpr (std::endian::native == std::endian::little) {
    int32_t value;
    std::memcpy(&value, record + at, sizeof value);
    return value;
  }
  return static_cast<int32_t>(static_cast<uint32_t>(record[at]) | static_cast<uint32_t>(record[at + 1]) << 8 |
                              static_cast<uint32_t>(record[at + 2]) << 16 |
                              static_cast<uint32_t>(record[at + 3]) << 24);
}
inline void PutRecordInt(uint8_t* record, size_t at, int32_t value) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(record + at, &value, sizeof value);
    return;
  }
  const auto bits = static_cast<uint32_t>(value);
  for (size_t k = 0; k < 4; ++k) record[at + k] = static_cast<uint8_t>(bits >> (8 * k));
}
// Whether a record (of at least 24 readable bytes, or a raw one of at least 12) is in packed form.
bool IsPackedRecord(const uint8_t* record, size_t available);

class TtaBits : public TClBits {
 public:
  static const TClClass kClass;

  explicit TtaBits(int32_t maxBit);
  ~TtaBits() override;

  const TClClass& ClassType() const override { return kClass; }

  int64_t RawSize() const { return ByteCount() + static_cast<int64_t>(kRawHeaderSize); }
  int64_t MaxPackedSize() const { return ByteCount() + static_cast<int64_t>(kPackedHeaderSize); }

  // Works on the bitmap of a raw record (RawSize bytes) until Restore; its count is taken as
  // it stands (the caller fills or checks the bitmap next).
  void Borrow(uint8_t* rawRecord);
  void Restore();
  bool IsBorrowed() const { return Borrowed(); }

  // Writes the raw form of the set (capacity >= RawSize) and returns its size.
  int32_t ToRaw(uint8_t* record) const;
  // Packs the set into target (capacity >= MaxPackedSize) and returns the packed size; the
  // stamp is left alone.
  int32_t Pack(uint8_t* target) const;
  // Packs the set of the count ascending bits in list, giving the same bytes as Pack of a set
  // holding exactly them. The set must be empty (30480 otherwise) and is left empty; a bit
  // beyond Max raises 30470, a list out of order 30480.
  int32_t PackList(const int32_t* list, int32_t count, uint8_t* target);
  // Loads a packed record of which available bytes are readable.
  void Unpack(const uint8_t* record, size_t available);
  // Loads a raw record: a record of exactly RawSize is borrowed (no copy), any other size is
  // copied (cut or zero-filled). With exact set, another size raises 30477.
  void LoadRaw(uint8_t* record, size_t available, bool exact = false);
  // Packed or raw, whichever the record is, into the storage the set uses now (raw records
  // are copied, never borrowed).
  void Load(const uint8_t* record, size_t available);
  // Overwrites n bytes from byte position at (cut at the end of the bitmap); the count follows.
  void PlaceBytes(int64_t at, const uint8_t* bytes, int64_t n);

 private:
  void UnpackChecked(const uint8_t* record, size_t available);
  // Pack with the first and last set bits known (both 0 for an empty set).
  int32_t PackWithin(uint8_t* target, int32_t first, int32_t last) const;
  bool GapsFit(int32_t first, int32_t last) const;
  int32_t WriteBitList(uint8_t* target, int32_t count, int32_t first, int32_t last) const;
  int32_t WriteGapList(uint8_t* target, int32_t count, int32_t first, int32_t last) const;
  int32_t WriteByteRange(uint8_t* target, int32_t first, int32_t last) const;
  void SetBitUnchecked(int64_t n) { bits_[n / 8] |= static_cast<uint8_t>(1u << (n % 8)); }
};

}  // namespace tovenmarsh::fulltext
