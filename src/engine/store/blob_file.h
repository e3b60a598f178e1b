// A table's BLOB file (.BLB): the 512-byte header, a cache of fixed-size blocks with
// read-ahead, the free-block list, whole-value reads and writes along block chains, and the
// file's lock primitives.
//
// Contract: one TBlobFile per open table with BLOB fields, shared by its cursors under the
// table's in-process lock. Blocks come pinned from FetchBlock/NewBlock and go back with
// ReleaseBlock; dirty blocks reach the file only through Flush. A value is read by copying each
// block and releasing it at once (so any size can be read outside a transaction); a chain that
// meets a block twice, leaves the file or ends early is damage (8963, 8711), a block of another
// value means the value was rewritten by another user (8708). Block sizes outside 64..65535 are
// refused (9498). Every failure leaves the cache as it was.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/format/blob_file_format.h"
#include "engine/io/file_handler.h"
#include "engine/io/file_header.h"
#include "engine/store/shared_table_context.h"

namespace tovenmarsh::engine {

// One block in memory.
struct TBlock {
  uint32_t Offset = 0;
  bool Dirty = false;
  bool Detached = false;
  int Pins = 0;
  uint32_t Prev = 0;
  uint32_t Next = 0;
  uint16_t Used = 0;
  uint32_t Owner = 0;
  uint32_t Total = 0;
  std::vector<uint8_t> Data;  // block size - 18 bytes
  TBlock* Newer = nullptr;
  TBlock* Older = nullptr;
  uint64_t Stamp = 0;   // recency: larger is more recent
  bool Parked = false;  // set aside from the recency list while dirty or pinned
};

class TBlobFile : public TFileHandler {
 public:
  TBlobFile(TTableFilesOwner* owner, std::string fileName, uint32_t blockSize, bool memory = false,
            TFileList* list = nullptr);
  ~TBlobFile() override;

  uint32_t BlockSize() const { return blockSize_; }
  uint32_t DataPerBlock() const { return blockSize_ - blob_format::kBlockHeaderSize; }

  void Open() override;
  void Close() override;
  // Every write first lets the owner save what it destroys (the journal).
  int64_t Write(const void* buffer, int64_t count) override {
    if (owner_ && owner_->BeforeWrite(kJournalBlobFile, *this, buffer, count)) {
      Seek(count, kSeekFromCurrent);
      return count;
    }
    return TFileHandler::Write(buffer, count);
  }
  void CreateFile() override;

  void ReadHeader();
  void WriteHeader(bool force);
  bool HeaderChanged();
  void MarkChanged();
  void Empty();
  void Verify() const;

  uint32_t UpdateCounter() const;
  uint32_t EndOffset() const;
  uint32_t FreeHead() const;
  bool HeaderModified() const;

  // Blocks. FetchBlock answers nullptr for "retry" (the table changed on disk); `wanted` is
  // the number of blocks the caller will read from here on (read-ahead).
  // Only NewBlock appends (a reference to the end offset is damage).
  TBlock* FetchBlock(uint32_t offset, uint32_t wanted = 1, bool readAhead = false, bool append = false);
  void ReleaseBlock(TBlock* block);
  TBlock* NewBlock();
  void FreeBlock(TBlock* block);
  void FlushBlocks();
  void DropBlocks();
  void Trim();
  size_t CachedBlocks() const { return cache_.size(); }
  size_t CacheCapacity() const { return capacity_; }
  bool HasDirtyBlocks() const;
  // The file ranges (offset, length) that writing the dirty blocks and the header would
  // overwrite.
  void PendingWriteRanges(std::vector<std::pair<int64_t, int64_t>>& out) const;

  // Whole values. ReadValue answers false for "retry" (nothing returned).
  bool ReadValue(uint32_t first, uint32_t owner, std::vector<uint8_t>& out);
  // Stores a value into the chain at `first` (0: a new chain), reusing the old chain's blocks
  // and freeing what is left of it; an empty value frees the whole chain. The chain's first
  // block (0 for an empty value).
  uint32_t WriteValue(uint32_t first, uint32_t owner, const uint8_t* data, uint64_t size);
  // Frees every block of a chain (owner checked when asked); damage raises 8963.
  void FreeChain(uint32_t first, uint32_t owner, bool checkOwner);

  // Table verification and repair walk a record's chain: damage is reported through `report`
  // ("Invalid BLOB offset ...", "Invalid intra-block pointer ...", "Recursive intra-block
  // pointer ..." for the physical record, then "error fixed" when repairing or "error not
  // fixed"); a repair cuts the chain at the damage and, unless the blocks are being freed,
  // lowers the value's total size to what the kept blocks hold. Blocks are freed when
  // `freeBlocks`. False when the first block itself is bad (a repair then clears the field's
  // reference).
  enum TChainMode { kChainNormal, kChainVerify, kChainRepair };
  bool WalkChain(uint32_t first, uint32_t owner, uint32_t recordNumber, bool checkOwner, bool freeBlocks,
                 TChainMode mode, const std::function<void(const std::string&)>& report);

  bool LockRegion(const std::vector<uint16_t>& ownIds = {});
  bool UnlockRegion(const std::vector<uint16_t>& ownIds = {});
  bool LockUserByte(uint16_t* id, const std::vector<uint16_t>& avoid = {});
  bool UnlockUserByte(uint16_t id);
  void SetLockRetries(int retries) { lockRetries_ = retries; }

  struct TStatistics {
    uint64_t CacheHits = 0, DiskReads = 0, BlocksRead = 0, DiskWrites = 0;
  };
  const TStatistics& Statistics() const { return stats_; }

  [[noreturn]] void RaiseCode(uint16_t code) const;

 private:
  void SetModified();
  bool Encrypted() const;
  void SetFreeHead(uint32_t offset);
  bool IsBlockOffset(uint32_t offset) const;
  size_t FindCached(uint32_t offset) const;
  // Removes a block from whichever list holds it (recency or parked).
  void Unlink(TBlock* block);
  void PushFront(TBlock* block);
  // Moves a dirty or pinned block out of the recency list, so that victim searches stop
  // walking over it; it comes back, in its recency place, once clean and unpinned.
  void Park(TBlock* block);
  void Unpark(std::vector<TBlock*> blocks);
  // Takes a clean, unpinned block out of the cache into the spares.
  void Evict(TBlock* block);
  std::unique_ptr<TBlock> TakeBlockObject();
  std::unique_ptr<TBlock> MakeRoom();
  TBlock* Insert(std::unique_ptr<TBlock> block);
  void LoadBlock(TBlock& block, const uint8_t* bytes) const;
  void StoreBlock(const TBlock& block, uint8_t* bytes) const;
  size_t NormalCapacity() const;

  TTableFilesOwner* owner_;
  uint32_t blockSize_;
  TFileHeader header_;
  std::vector<std::unique_ptr<TBlock>> cache_;  // sorted by offset
  TBlock* newest_ = nullptr;
  TBlock* oldest_ = nullptr;
  TBlock* parkedNewest_ = nullptr;  // parked: dirty or pinned when last looked at
  TBlock* parkedOldest_ = nullptr;
  uint64_t clock_ = 0;
  size_t capacity_;
  uint32_t readAheadLimit_;
  std::vector<std::unique_ptr<TBlock>> spares_;
  std::vector<std::unique_ptr<TBlock>> detached_;
  std::vector<uint8_t> readBuffer_;
  std::vector<uint8_t> writeBuffer_;
  int lockRetries_ = 8192;
  TStatistics stats_;
};

}  // namespace tovenmarsh::engine
