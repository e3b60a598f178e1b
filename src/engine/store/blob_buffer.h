// The BLOB values a cursor has open: each held whole in memory from OpenBlob to CloseBlob, and
// written back to the BLOB file when the record is posted.
//
// Contract: while a value is open, the block reference of its field in the cursor's record
// buffer holds a negative handle (-1 .. -64) naming the buffer; non-negative values are always
// block offsets. Calls return 0 or an engine error code for the caller to raise: 10753 not a
// BLOB field, 10030 no handle of this list, 9998 a negative value that is no handle, 9494 a
// 65th open value, 8711 a read past the end, 8708 a value rewritten by another user; chain
// damage raises 8963. Every write marks the value modified (an overwrite of the same size is
// saved too).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "engine/format/field_desc.h"

namespace tovenmarsh::engine {

class TBlobFile;
class TDataFile;

struct TBlobBuffer {
  bool Modified = false;
  uint32_t Owner = 0;
  uint32_t RecordNumber = 0;
  uint16_t FieldNumber = 0;
  uint32_t FirstBlock = 0;
  std::vector<uint8_t> Data;
  int Mode = 1;  // 1 read, 2 read-write
};

class TBlobBufferList {
 public:
  static constexpr int kMaxOpen = 64;
  static constexpr int kRead = 1;
  static constexpr int kReadWrite = 2;

  TBlobBufferList(TBlobFile& blobs, TDataFile& data) : blobs_(blobs), data_(data) {}

  int OpenBlob(const FieldDesc& field, uint8_t* record, uint32_t recordNumber, int mode);
  int CloseBlob(const FieldDesc& field, uint8_t* record);
  int ReadBlob(const FieldDesc& field, const uint8_t* record, uint32_t* count, uint32_t length, uint8_t* destination,
               uint32_t offset);
  int WriteBlob(const FieldDesc& field, const uint8_t* record, uint32_t length, const uint8_t* source, uint32_t offset);
  int TruncateBlob(const FieldDesc& field, const uint8_t* record, uint32_t size);
  int GetBlobSize(const FieldDesc& field, const uint8_t* record, uint32_t* size);

  // Opens every BLOB field of the record read-write and empties it; failures are raised.
  void EmptyBlobs(const std::vector<FieldDesc>& fields, uint8_t* record, uint32_t recordNumber);
  // Writes every open buffer's first block into its field of the record (a copy of the
  // cursor's record that is about to be stored; the cursor's own keeps the handles).
  void CopyBlobBuffers(const std::vector<FieldDesc>& fields, uint8_t* record);
  // Gives every modified buffer a fresh owner id and writes it into its field.
  void AssignBlobIds(const std::vector<FieldDesc>& fields, uint8_t* record);
  // Writes every modified buffer into its chain (all must come from one record: else 8963).
  void WriteBlobs();
  void CloseAllBlobs();
  int OpenCount() const;

 private:
  // The buffer named by the field's reference, or nullptr; `code` tells why not.
  TBlobBuffer* Buffer(const FieldDesc& field, const uint8_t* record, int* code);

  TBlobFile& blobs_;
  TDataFile& data_;
  std::array<std::unique_ptr<TBlobBuffer>, kMaxOpen> open_;
};

}  // namespace tovenmarsh::engine
