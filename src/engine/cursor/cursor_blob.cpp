// Cursor BLOB calls: values of a record buffer opened whole into buffers, read, written,
// truncated and closed; stored with the record on insert and modify, freed with it on delete.
// Implements the BLOB calls of engine/cursor/cursor.h.
//
// Calls return codes (10753 not a BLOB field, 10030, 9998, 9494, 8711, 8708) for the caller to
// act on; chain damage raises 8963.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "engine/store/blob_buffer.h"
#include "engine/store/blob_file.h"
#include "engine/format/blob_file_format.h"
#include "engine/cursor/cursor.h"
#include "engine/base/engine_error.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

void TDataCursor::FreeBlobs(const uint8_t* record) {
  if (!hasBlobs_ || !table_->Blob()) return;
  TBlobFile& blob = *table_->Blob();
  // The table's own descriptors: a live result's field list may leave BLOB fields out, and
  // their chains go with the record all the same.
  for (const FieldDesc& f : table_->Data().Fields()) {
    if (!f.IsBlob()) continue;
    const uint32_t at = f.Offset + 1u;
    const uint32_t first = GetU32(record, at + blob_format::kFieldFirstBlock.Offset);
    if (first == 0) continue;
    if (!verifyRepair_) {
      blob.FreeChain(first, 0, false);
      continue;
    }
    // A verification/repair cursor reports damage and frees what the chain holds up to it,
    // never blocks of another value.
    const uint32_t owner = GetU32(record, at + blob_format::kFieldOwner.Offset);
    blob.WalkChain(first, owner, GetU32(record, 1), true, true, TBlobFile::kChainRepair,
                   [&](const std::string& text) {
                     if (repairCallback_) repairCallback_(repairOwner_, text);
                   });
  }
}

void TDataCursor::StoreBlobs(uint8_t* stored) {
  if (!blobs_ || blobs_->OpenCount() == 0) return;
  // Every BLOB field of the table (the stored copy holds them all, whatever the cursor's field
  // list holds), each under the cursor's descriptor where it has one: open values are named by
  // the cursor's field numbers.
  std::vector<FieldDesc> fields;
  for (const FieldDesc& t : table_->Data().Fields()) {
    if (!t.IsBlob()) continue;
    const auto own = std::find_if(fields_.begin(), fields_.end(),
                                  [&](const FieldDesc& f) { return f.IsBlob() && f.Offset == t.Offset; });
    fields.push_back(own != fields_.end() ? *own : t);
  }
  // Modified values get fresh owner ids and are written; the stored copy takes their block
  // references while the caller's buffer keeps its handles.
  blobs_->AssignBlobIds(fields, stored);
  blobs_->WriteBlobs();
  blobs_->CopyBlobBuffers(fields, stored);
  for (const FieldDesc& f : fields)
    stored[f.Offset] = GetU32(stored, f.Offset + 1u + blob_format::kFieldFirstBlock.Offset) != 0 ? 1 : 0;
}

int TDataCursor::OpenBlob(uint32_t field, uint8_t* record, int mode) {
  const FieldDesc& f = GetFieldDesc(field);
  if (!blobs_ || !f.IsBlob()) return kErrInvalidBlobField;
  if (mode != TBlobBufferList::kRead) CheckWritable();
  TCursorBracket bracket(*this);
  return blobs_->OpenBlob(f, record, GetU32(record, 1), mode);
}

int TDataCursor::CloseBlob(uint32_t field, uint8_t* record) {
  const FieldDesc& f = GetFieldDesc(field);
  if (!blobs_ || !f.IsBlob()) return kErrInvalidBlobField;
  return blobs_->CloseBlob(f, record);
}

int TDataCursor::ReadBlob(uint32_t field, const uint8_t* record, uint32_t offset, uint32_t length,
                          uint8_t* destination, uint32_t* count) {
  const FieldDesc& f = GetFieldDesc(field);
  if (!blobs_ || !f.IsBlob()) return kErrInvalidBlobField;
  return blobs_->ReadBlob(f, record, count, length, destination, offset);
}

int TDataCursor::WriteBlob(uint32_t field, const uint8_t* record, uint32_t offset, uint32_t length,
                           const uint8_t* source) {
  const FieldDesc& f = GetFieldDesc(field);
  if (!blobs_ || !f.IsBlob()) return kErrInvalidBlobField;
  return blobs_->WriteBlob(f, record, length, source, offset);
}

int TDataCursor::TruncateBlob(uint32_t field, const uint8_t* record, uint32_t size) {
  const FieldDesc& f = GetFieldDesc(field);
  if (!blobs_ || !f.IsBlob()) return kErrInvalidBlobField;
  return blobs_->TruncateBlob(f, record, size);
}

int TDataCursor::GetBlobSize(uint32_t field, const uint8_t* record, uint32_t* size) {
  const FieldDesc& f = GetFieldDesc(field);
  if (!blobs_ || !f.IsBlob()) return kErrInvalidBlobField;
  return blobs_->GetBlobSize(f, record, size);
}

void TDataCursor::CloseAllBlobs() {
  if (blobs_) blobs_->CloseAllBlobs();
}

}  // namespace tovenmarsh::engine
