// Verification and repair of a table's BLOB chains through a cursor.
// Implements the verify and repair calls of engine/cursor/cursor.h.
//
// Every live record's BLOB references are followed along their chains, by physical record
// number. In verification/repair mode damage is reported through the repair-message callback,
// one text per damaged chain; a repair cuts a chain where it breaks and clears a reference whose
// first block is not the value's, and writes what it changed before it returns. Outside that
// mode the first damage raises 8963 and nothing is changed.
#include <cstring>
#include <functional>
#include <vector>

#include "engine/store/blob_file.h"
#include "engine/format/blob_file_format.h"
#include "engine/cursor/cursor.h"
#include "engine/base/engine_error.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

void TDataCursor::SetVerifyRepair(bool flag) {
  CheckClosed();
  verifyRepair_ = flag;
}

int32_t TDataCursor::CheckBlobChains(bool repair) {
  if (!open_) Raise(kErrInvalidFileHandle);
  if (repair) {
    CheckExclusive();
    CheckWritable();
  }
  TCursorBracket bracket(*this);
  TBlobFile* blob = table_->Blob();
  if (!blob) return 0;
  // Other users' writers wait while the chains are walked (nothing for an exclusive table).
  // (The bracket holds the reader lock already under strict change detection.)
  TDataTable* const reader = readLocked_ ? nullptr : table_;
  if (reader) reader->ReadLock();
  struct TReadUnlock {
    TDataTable* Table;
    ~TReadUnlock() {
      try {
        if (Table) Table->ReadUnlock();
      } catch (const EFenEngineError&) {
        // The lock goes with the file handle at close; the walk's result stands.
      }
    }
  } unlock{reader};
  const TBlobFile::TChainMode mode =
      !verifyRepair_ ? TBlobFile::kChainNormal : repair ? TBlobFile::kChainRepair : TBlobFile::kChainVerify;
  int32_t damaged = 0;
  const std::function<void(const std::string&)> report = [&](const std::string& text) {
    ++damaged;
    if (repairCallback_) repairCallback_(repairOwner_, text);
  };
  TDataFile& data = table_->Data();
  // The table's own descriptors: a live result's field list may leave BLOB fields out.
  std::vector<FieldDesc> blobFields;
  for (const FieldDesc& f : data.Fields())
    if (f.IsBlob()) blobFields.push_back(f);
  const uint32_t next = data.NextRecord();
  const uint32_t storedSize = data.RecordSize();
  std::vector<uint8_t> record(storedSize);
  bool changed = false;
  for (uint32_t n = 1; n < next; ++n) {
    TRecord* r = data.GetRecord(n);
    if (!r) Raise(kErrRecordBuffersCorrupt);
    std::memcpy(record.data(), r->Buffer.data(), storedSize);
    data.ReleaseRecord(r);
    if (record[0] != 0) continue;
    for (const FieldDesc& f : blobFields) {
      const uint32_t at = f.Offset + 1u;
      const uint32_t first = GetU32(record.data(), at + blob_format::kFieldFirstBlock.Offset);
      const uint32_t owner = GetU32(record.data(), at + blob_format::kFieldOwner.Offset);
      if (first == 0) continue;
      const int32_t before = damaged;
      const bool headSound = blob->WalkChain(first, owner, n, true, false, mode, report);
      if (mode == TBlobFile::kChainRepair && damaged != before) changed = true;
      if (headSound || mode != TBlobFile::kChainRepair) continue;
      // The reference leads to no block of this value: the field becomes NULL.
      TRecord* w = data.GetRecord(n);
      if (!w) Raise(kErrRecordBuffersCorrupt);
      std::memset(w->Buffer.data() + f.Offset, 0, f.PhysicalSize + 1u);
      w->Changed = true;
      data.ReleaseRecord(w);
    }
  }
  if (changed && !table_->InTransactionNow()) {
    table_->WriteLock();
    try {
      table_->WriteCaches(false, true, false);
      table_->Flush();
    } catch (...) {
      table_->WriteUnlock();
      throw;
    }
    table_->WriteUnlock();
    seen_ = CurrentStamp();
  }
  return damaged;
}

}  // namespace tovenmarsh::engine
