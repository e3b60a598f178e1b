// TtxBits: the bit-set object of an engine. It owns one TtaBits over the whole index range and,
// on first need, one of segment size for unpacking segment rows.
//
// Promises: every record it is given comes with the number of bytes that may be read (and, for
// records it writes, the capacity), and both are checked before any byte moves; the whole set
// points at a caller's raw record only after ChangeBit (until the next operation that loads,
// clears or sizes it).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "fulltext/match_bits.h"
#include "fulltext/tx_base.h"

namespace tovenmarsh::fulltext {

class TtxBits : public TtxBaseBits {
 public:
  TtxBits();
  ~TtxBits() override;

  TtaBits& Set() { return whole_; }
  const TtaBits& Set() const { return whole_; }

  int32_t Size() const { return whole_.Max() + 1; }
  int32_t Count() const { return whole_.Count(); }
  // Returns to its own storage; n > 0 and different resizes to n bits.
  void SetSize(int32_t n);
  bool TestBit(int32_t i) const { return whole_.TestBit(i); }
  int64_t MaxPackedSize() const override { return whole_.MaxPackedSize(); }
  int64_t RawSize() const override { return whole_.RawSize(); }
  void Clear() override;

  // Writes the raw form of the set; capacity below RawSize raises 30477.
  int32_t ToRaw(uint8_t* record, size_t capacity);
  // Packs source (raw or packed; nullptr: the set itself) into target and returns the packed
  // size; the stamp is copied from the source. Capacity below MaxPackedSize raises 30477.
  int32_t Pack(uint8_t* source, size_t sourceAvailable, uint8_t* target, size_t targetCapacity);
  // Packs the ascending bit numbers in list as Pack packs a set holding exactly them, without
  // touching the whole set; stamp 0. Capacity below MaxPackedSize raises 30477.
  int32_t PackList(const int32_t* list, int32_t count, uint8_t* target, size_t targetCapacity);
  // One document's bit: loads record (nullptr: empty set; raw or packed) into raw (RawSize
  // bytes at least, or nullptr to work on the own storage), sets or clears bit i and updates
  // raw's count field.
  void ChangeBit(uint8_t* record, size_t recordAvailable, uint8_t* raw, size_t rawCapacity,
                 bool set, int32_t i);
  // Unpacks a packed record into the whole set (segmentSize < 1), or into segment number
  // segment of segmentSize bits (30480 when that lies beyond the set).
  void Unpack(const uint8_t* record, size_t available, int32_t segment, int32_t segmentSize);
  void LoadRaw(uint8_t* record, size_t available);

  // The engine's state changes (the engine calls these for its own bit set, with its text link
  // and segment size): entering building or updating sizes the set to a segment of the index
  // range, entering searching to the whole range; leaving building frees it. Nothing happens
  // without a text link.
  void EnterState(int bit, TtxTextLink* link, int32_t segmentSize);
  void LeaveState(int bit, TtxTextLink* link);

 private:
  TtaBits whole_{0};
  std::unique_ptr<TtaBits> segment_;
  // Empty between calls of PackList, which sets and clears only the bits of its list.
  std::unique_ptr<TtaBits> list_;
};

}  // namespace tovenmarsh::fulltext
