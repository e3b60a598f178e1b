// Open BLOB values of a cursor: handles in the record buffer, reads, writes, truncation, and
// writing modified values back at post.
#include "engine/store/blob_buffer.h"

#include <algorithm>
#include <cstring>

#include "engine/store/blob_file.h"
#include "engine/store/data_file.h"
#include "engine/base/engine_error.h"

namespace tovenmarsh::engine {

namespace {

// Where the field's block reference and owner id lie in a record.
uint32_t ReferenceAt(const FieldDesc& f) { return f.Offset + 1u + blob_format::kFieldFirstBlock.Offset; }
uint32_t OwnerAt(const FieldDesc& f) { return f.Offset + 1u + blob_format::kFieldOwner.Offset; }

}  // namespace

int TBlobBufferList::OpenCount() const {
  return static_cast<int>(std::count_if(open_.begin(), open_.end(), [](const auto& b) { return b != nullptr; }));
}

TBlobBuffer* TBlobBufferList::Buffer(const FieldDesc& field, const uint8_t* record, int* code) {
  if (!field.IsBlob()) {
    *code = kErrInvalidBlobField;
    return nullptr;
  }
  const int32_t ref = GetI32(record, ReferenceAt(field));
  if (ref < 0 && ref >= -kMaxOpen && open_[-ref - 1] && open_[-ref - 1]->FieldNumber == field.FieldNumber) {
    *code = 0;
    return open_[-ref - 1].get();
  }
  *code = kErrInvalidBlobHandle;
  return nullptr;
}

int TBlobBufferList::OpenBlob(const FieldDesc& field, uint8_t* record, uint32_t recordNumber, int mode) {
  if (!field.IsBlob()) return kErrInvalidBlobField;
  const int32_t ref = GetI32(record, ReferenceAt(field));
  if (ref < 0) {
    int code = 0;
    return Buffer(field, record, &code) ? 0 : kErrInvalidBlobOffset;
  }
  int slot = -1;
  for (int i = 0; i < kMaxOpen && slot < 0; ++i)
    if (!open_[i]) slot = i;
  if (slot < 0) return kErrTooManyBlobs;
  auto buffer = std::make_unique<TBlobBuffer>();
  buffer->FieldNumber = field.FieldNumber;
  buffer->FirstBlock = static_cast<uint32_t>(ref);
  buffer->Owner = GetU32(record, OwnerAt(field));
  buffer->RecordNumber = recordNumber;
  buffer->Mode = mode;
  if (buffer->FirstBlock != 0) {
    try {
      bool read = false;
      for (int attempt = 0; attempt < 3 && !read; ++attempt) read = blobs_.ReadValue(buffer->FirstBlock, buffer->Owner, buffer->Data);
      if (!read) return kErrRecordChanged;  // changed under us again and again
    } catch (const EFenEngineError& e) {
      if (e.Code() == kErrRecordChanged || e.Code() == kErrEndOfBlob) return e.Code();
      throw;
    }
  }
  open_[slot] = std::move(buffer);
  PutI32(record, ReferenceAt(field), -(slot + 1));
  return 0;
}

int TBlobBufferList::CloseBlob(const FieldDesc& field, uint8_t* record) {
  int code = 0;
  TBlobBuffer* b = Buffer(field, record, &code);
  if (!b) return code;
  PutU32(record, ReferenceAt(field), b->FirstBlock);
  for (auto& slot : open_)
    if (slot.get() == b) slot.reset();
  return 0;
}

int TBlobBufferList::ReadBlob(const FieldDesc& field, const uint8_t* record, uint32_t* count, uint32_t length,
                              uint8_t* destination, uint32_t offset) {
  int code = 0;
  TBlobBuffer* b = Buffer(field, record, &code);
  if (!b) return code;
  const uint64_t size = b->Data.size();
  if (static_cast<uint64_t>(offset) + length <= size) {
    std::memcpy(destination, b->Data.data() + offset, length);
    if (count) *count = length;
    return 0;
  }
  const uint32_t rest = offset >= size ? 0 : static_cast<uint32_t>(size - offset);
  if (rest > 0) std::memcpy(destination, b->Data.data() + offset, rest);
  if (count) *count = rest;
  return kErrEndOfBlob;
}

int TBlobBufferList::WriteBlob(const FieldDesc& field, const uint8_t* record, uint32_t length, const uint8_t* source,
                               uint32_t offset) {
  int code = 0;
  TBlobBuffer* b = Buffer(field, record, &code);
  if (!b) return code;
  const uint64_t end = static_cast<uint64_t>(offset) + length;
  if (end > 0xFFFFFFFFull) return kErrInvalidBlobLength;
  if (end > b->Data.size()) b->Data.resize(static_cast<size_t>(end));
  if (length > 0) std::memcpy(b->Data.data() + offset, source, length);
  b->Modified = true;
  return 0;
}

int TBlobBufferList::TruncateBlob(const FieldDesc& field, const uint8_t* record, uint32_t size) {
  int code = 0;
  TBlobBuffer* b = Buffer(field, record, &code);
  if (!b) return code;
  if (size != b->Data.size()) b->Modified = true;
  if (size == 0) std::vector<uint8_t>().swap(b->Data);
  else b->Data.resize(size);
  return 0;
}

int TBlobBufferList::GetBlobSize(const FieldDesc& field, const uint8_t* record, uint32_t* size) {
  int code = 0;
  TBlobBuffer* b = Buffer(field, record, &code);
  *size = b ? static_cast<uint32_t>(b->Data.size()) : 0;
  return b ? 0 : code;
}

void TBlobBufferList::EmptyBlobs(const std::vector<FieldDesc>& fields, uint8_t* record, uint32_t recordNumber) {
  for (const FieldDesc& f : fields) {
    if (!f.IsBlob()) continue;
    int code = OpenBlob(f, record, recordNumber, kReadWrite);
    if (code == 0) code = TruncateBlob(f, record, 0);
    if (code != 0) RaiseEngineError(code, data_.FileName(), f.Name);
  }
}

void TBlobBufferList::CopyBlobBuffers(const std::vector<FieldDesc>& fields, uint8_t* record) {
  for (const FieldDesc& f : fields) {
    if (!f.IsBlob()) continue;
    int code = 0;
    if (TBlobBuffer* b = Buffer(f, record, &code)) PutU32(record, ReferenceAt(f), b->FirstBlock);
  }
}

void TBlobBufferList::AssignBlobIds(const std::vector<FieldDesc>& fields, uint8_t* record) {
  for (const FieldDesc& f : fields) {
    if (!f.IsBlob()) continue;
    int code = 0;
    if (TBlobBuffer* b = Buffer(f, record, &code); b && b->Modified) {
      b->Owner = data_.NextBlobStamp();
      PutU32(record, OwnerAt(f), b->Owner);
    }
  }
}

void TBlobBufferList::WriteBlobs() {
  uint32_t recordNumber = 0;
  bool first = true;
  for (auto& b : open_) {
    if (!b || !b->Modified) continue;
    if (!first && b->RecordNumber != recordNumber) RaiseEngineError(kErrBlobBuffersCorrupt, blobs_.FileName());
    recordNumber = b->RecordNumber;
    first = false;
  }
  for (auto& b : open_) {
    if (!b || !b->Modified) continue;
    b->FirstBlock = blobs_.WriteValue(b->FirstBlock, b->Owner, b->Data.data(), b->Data.size());
    b->Modified = false;
  }
}

void TBlobBufferList::CloseAllBlobs() {
  for (auto& b : open_) b.reset();
}

}  // namespace tovenmarsh::engine
