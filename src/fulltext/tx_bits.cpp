// TtxBits: sizing by engine state, packing, single-bit changes and segment unpacking.
#include "fulltext/tx_bits.h"

#include "fulltext/cl_errors.h"

namespace tovenmarsh::fulltext {
namespace {

int32_t ClampedRange(int64_t range) {
  if (range < 1) return 1;
  return range > INT32_MAX ? INT32_MAX : static_cast<int32_t>(range);
}

}  // namespace

TtxBits::TtxBits() = default;
TtxBits::~TtxBits() = default;

void TtxBits::SetSize(int32_t n) {
  whole_.Restore();
  if (n > 0 && n != whole_.Max() + 1) whole_.Resize(n - 1);
}

void TtxBits::Clear() {
  whole_.Restore();
  whole_.ClearAll();
}

int32_t TtxBits::ToRaw(uint8_t* record, size_t capacity) {
  if (static_cast<int64_t>(capacity) < whole_.RawSize()) RaiseTextIndex(txeInvalidBlockSize);
  return whole_.ToRaw(record);
}

int32_t TtxBits::Pack(uint8_t* source, size_t sourceAvailable, uint8_t* target, size_t targetCapacity) {
  if (static_cast<int64_t>(targetCapacity) < whole_.MaxPackedSize()) RaiseTextIndex(txeInvalidBlockSize);
  if (source == nullptr) return whole_.Pack(target);
  if (sourceAvailable < kRawHeaderSize) RaiseTextIndex(txeInvalidBlockSize);
  const int32_t stamp = GetRecordInt(source, kRecStampAt);
  int32_t size;
  if (IsPackedRecord(source, sourceAvailable)) {
    whole_.Restore();
    whole_.Unpack(source, sourceAvailable);
    size = whole_.Pack(target);
  } else {
    // A raw record is packed from where it lies; the set lets go of it afterwards, since the
    // caller usually releases the record next.
    whole_.LoadRaw(source, sourceAvailable);
    size = whole_.Pack(target);
    whole_.Restore();
  }
  PutRecordInt(target, kRecStampAt, stamp);
  return size;
}

int32_t TtxBits::PackList(const int32_t* list, int32_t count, uint8_t* target, size_t targetCapacity) {
  if (static_cast<int64_t>(targetCapacity) < whole_.MaxPackedSize()) RaiseTextIndex(txeInvalidBlockSize);
  const int32_t max = whole_.Max();
  if (!list_) {
    list_ = std::make_unique<TtaBits>(max);
  } else if (list_->Max() != max) {
    list_->Resize(max);
  }
  const int32_t size = list_->PackList(list, count, target);
  PutRecordInt(target, kRecStampAt, 0);
  return size;
}

void TtxBits::ChangeBit(uint8_t* record, size_t recordAvailable, uint8_t* raw, size_t rawCapacity,
                        bool set, int32_t i) {
  if (raw == nullptr) {
    whole_.Restore();
    if (record == nullptr) whole_.ClearAll(); else whole_.Load(record, recordAvailable);
  } else {
    if (static_cast<int64_t>(rawCapacity) < whole_.RawSize()) RaiseTextIndex(txeInvalidBlockSize);
    if (record == raw && IsPackedRecord(record, recordAvailable)) {
      // Unpack into the own storage first: the raw form would overwrite the packed data.
      whole_.Restore();
      whole_.Unpack(record, recordAvailable);
      whole_.ToRaw(raw);
      whole_.Borrow(raw);
    } else if (record == raw) {
      PutRecordInt(raw, kRecSizeAt, static_cast<int32_t>(whole_.RawSize()));
      const int32_t count = GetRecordInt(raw, kRecCountAt);
      if (count >= 0 && count <= whole_.Max() + 1) {
        // A record changed in place carries the count written by its last change: recounting
        // the whole bitmap for every document of a word made a build quadratic.
        whole_.Borrow(raw);
      } else {
        whole_.LoadRaw(raw, rawCapacity, true);  // borrowed and recounted
      }
    } else {
      whole_.Borrow(raw);
      if (record == nullptr) whole_.ClearAll(); else whole_.Load(record, recordAvailable);
      PutRecordInt(raw, kRecSizeAt, static_cast<int32_t>(whole_.RawSize()));
    }
  }
  whole_.ControlBit(i, set);
  if (raw != nullptr) PutRecordInt(raw, kRecCountAt, whole_.Count());
}

void TtxBits::Unpack(const uint8_t* record, size_t available, int32_t segment, int32_t segmentSize) {
  whole_.Restore();
  if (segmentSize < 1) {
    whole_.Unpack(record, available);
    return;
  }
  if (segment < 0 || segmentSize % 8 != 0) RaiseTextIndex(txeInvalidParameter);
  const int64_t start = int64_t{segment} * segmentSize;
  if (start > whole_.Max()) RaiseTextIndex(txeInvalidParameter);
  if (!segment_) {
    segment_ = std::make_unique<TtaBits>(segmentSize - 1);
  } else if (segment_->Max() != segmentSize - 1) {
    segment_->Restore();
    segment_->Resize(segmentSize - 1);
  }
  segment_->Unpack(record, available);
  // Copy the segment's bytes into place (cut at the end of the whole set, whose count follows
  // the bytes that actually changed).
  const int64_t at = start / 8;
  const int64_t room = whole_.ByteCount() - at;
  const int64_t n = segment_->ByteCount() < room ? segment_->ByteCount() : room;
  if (start + segmentSize - 1 > whole_.Max()) {
    const int32_t lastSet = segment_->FindLastSet();
    if (lastSet >= 0 && start + lastSet > whole_.Max()) RaiseTextIndex(txeDecompressBufferTooSmall);
  }
  whole_.PlaceBytes(at, segment_->Bytes(), n);
}

void TtxBits::LoadRaw(uint8_t* record, size_t available) {
  whole_.Restore();
  whole_.LoadRaw(record, available);
}

void TtxBits::EnterState(int bit, TtxTextLink* link, int32_t segmentSize) {
  if (link == nullptr) return;
  if (bit == esBuilding || bit == esUpdating) {
    const int64_t range = int64_t{link->HighestIndex()} - link->LowestIndex() + 1;
    SetSize(ClampedRange(range < segmentSize ? range : segmentSize));
  } else if (bit == esSearching) {
    SetSize(ClampedRange(int64_t{link->HighestIndex()} - link->LowestIndex() + 1));
  }
}

void TtxBits::LeaveState(int bit, TtxTextLink* link) {
  if (bit == esBuilding && link != nullptr) {
    whole_.Restore();
    whole_.Resize(0);
  }
}

}  // namespace tovenmarsh::fulltext
