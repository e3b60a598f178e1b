// A table's index file (.IDX): the 4096-byte header with its 33 index slots, the page caches
// of all indexes, page allocation with per-index free lists, and the file's lock primitives.
//
// Contract: one TIndexFile per open table, shared by its cursors under the table's in-process
// lock. Pages come pinned from FetchPage/NewPage and go back with ReleasePage; a page stays
// cached (clean or dirty) until evicted, dropped or trimmed, and dirty pages reach the file only
// through FlushPages (never while pinned). Damaged headers give 8961, damaged pages or page
// references 8965, a wrong version 12035, growth past 2,000,000,000 bytes 9479. Every failure
// leaves the cache as it was. Store(slot) is the B+-tree's view of one index.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/base/number_index.h"
#include "engine/store/btree.h"
#include "engine/format/field_desc.h"
#include "engine/io/file_handler.h"
#include "engine/io/file_header.h"
#include "engine/format/index_file_format.h"
#include "engine/store/shared_table_context.h"

namespace tovenmarsh::engine {

// Spare page objects for reuse.
class TPageStack {
 public:
  static constexpr size_t kCapacity = 4095;
  std::unique_ptr<TPage> Take();
  void Give(std::unique_ptr<TPage> page);
  size_t Count() const { return spares_.size(); }

 private:
  std::vector<std::unique_ptr<TPage>> spares_;
};

class TIndexFile;

// The B+-tree's view of one index of the file.
class TIndexPageStore : public TPageStore {
 public:
  TIndexPageStore(TIndexFile& file, uint8_t slot) : file_(file), slot_(slot) {}
  TPage* FetchPage(uint32_t offset) override;
  TPage* FetchPassing(uint32_t offset) override;
  void ReleasePage(TPage* page) override;
  TPage* NewPage() override;
  void FreePage(TPage* page) override;
  void MarkDirty(TPage* page) override { page->Dirty = true; }
  uint32_t RootOffset() override;
  void SetRootOffset(uint32_t offset) override;
  const TIndexShape& Shape() override;
  [[noreturn]] void RaiseCorrupt() override;

 private:
  TIndexFile& file_;
  uint8_t slot_;
  TIndexShape shape_;
};

class TIndexFile : public TFileHandler {
 public:
  static constexpr size_t kSlotCacheCapacity = 15;

  TIndexFile(TTableFilesOwner* owner, std::string fileName, bool memory = false, TFileList* list = nullptr);
  ~TIndexFile() override;

  // Opens the file and reads the header (more than 32 indexes: 8961); Close drops every page.
  void Open() override;
  void Close() override;
  // Every write first lets the owner save what it destroys (the journal).
  int64_t Write(const void* buffer, int64_t count) override {
    if (owner_ && owner_->BeforeWrite(kJournalIndexFile, *this, buffer, count)) {
      Seek(count, kSeekFromCurrent);
      return count;
    }
    return TFileHandler::Write(buffer, count);
  }
  // Creates the file with a new header (version 4, end offset 4096, "Sys Deleted" in slot 31),
  // written at once.
  void CreateFile() override;

  // Header I/O.
  void ReadHeader();
  void WriteHeader(bool force);
  // Re-reads the header; when another user wrote it since we last read or wrote it, adopts it
  // and answers true.
  bool HeaderChanged();
  // Counts a change in memory only (in a transaction the header is written at commit).
  void MarkChanged();
  // Truncates to the header and clears every slot's root and free list.
  void Empty();
  // Checks the header against the table's fields (8961, 12035).
  void Verify(const std::vector<FieldDesc>& fields) const;

  // Header fields.
  const uint8_t* Header() const { return header_.data(); }
  uint32_t UpdateCounter() const { return GetU32(header_.data(), index_format::kUpdateCounter); }
  uint32_t EndOffset() const;
  uint8_t SecondaryCount() const;
  int32_t RecordCount() const { return GetI32(header_.data(), index_format::kRecordCount); }
  void SetRecordCount(int32_t count);
  void IncrementRecordCount() { SetRecordCount(RecordCount() + 1); }
  void DecrementRecordCount() { SetRecordCount(RecordCount() - 1); }
  uint32_t Root(uint8_t slot) const;
  void SetRoot(uint8_t slot, uint32_t offset);
  uint32_t FreeHead(uint8_t slot) const;
  bool NoPrimary() const;
  void SetNoPrimary(bool flag);
  bool HeaderModified() const;
  // Copy of slot i (120 bytes) and its definition.
  std::array<uint8_t, index_format::kSlotSize> SlotBytes(uint8_t slot) const;
  IndexDesc SlotDesc(uint8_t slot) const;
  uint8_t SlotCompression(uint8_t slot) const;
  TIndexShape SlotShape(uint8_t slot) const;

  // Definitions. Field numbers refer to `fields` (1-based). Without an explicit compression the
  // definition's own (desc.Compression) is stored; its per-field descending flags are kept too.
  static constexpr uint8_t kCompressionOfDesc = 0xFF;
  void AddPrimaryIndex(const IndexDesc& desc, const std::vector<FieldDesc>& fields,
                       uint8_t compression = kCompressionOfDesc);
  // The new index's slot number.
  uint8_t AddSecondaryIndex(const IndexDesc& desc, const std::vector<FieldDesc>& fields,
                            uint8_t compression = kCompressionOfDesc);
  void ReplaceSlot(uint8_t slot, const IndexDesc& desc, uint8_t compression = kCompressionOfDesc);
  void RenameSlot(uint8_t slot, const std::string& name, const std::array<uint16_t, 16>& fieldNumbers);
  // Slot 0: the table loses its primary index. Slot i > 0 with move: the slot (with its free
  // list and cached pages) goes behind the other secondary slots, which shift down by one;
  // without move the others shift down just the same and the slot is forgotten with its pages.
  void DropSlot(uint8_t slot, bool move);

  // Pages. FetchPage answers nullptr for "retry" (the table changed on disk). Only NewPage
  // appends: a reference to the end offset is damage like any other bad reference. A page read
  // `passing` (a scan's next leaf) leaves the process's page cache as it was.
  TPage* FetchPage(uint8_t slot, uint32_t offset, bool fresh = false, bool append = false, bool passing = false);
  void ReleasePage(TPage* page);
  TPage* NewPage(uint8_t slot);
  void FreePage(uint8_t slot, TPage* page);
  // Writes every dirty, unpinned page in runs of consecutive offsets.
  void FlushPages();
  // Drops cached pages (dirty ones are lost), of slot 31 too when asked.
  void DropPages(bool withStatusSlot = true);
  void TrimCaches(bool withStatusSlot = true);
  TIndexPageStore& Store(uint8_t slot) { return *stores_[slot]; }
  size_t CachedPages(uint8_t slot) const { return caches_[slot].Pages.size(); }
  bool HasDirtyPages() const;

  // Locks: the region excludes every user byte (own bytes passed in `ownIds` are left out of
  // it, so a table never blocks itself); user bytes are single bytes for readers.
  bool LockRegion(const std::vector<uint16_t>& ownIds = {});
  bool UnlockRegion(const std::vector<uint16_t>& ownIds = {});
  bool LockUserByte(uint16_t* id, const std::vector<uint16_t>& avoid = {});
  bool UnlockUserByte(uint16_t id);
  // Retries of the region and user-byte locks, 3 ms apart (tests shorten the wait).
  void SetLockRetries(int retries) { lockRetries_ = retries; }

  struct TStatistics {
    uint64_t CacheHits = 0, DiskReads = 0, PagesRead = 0, DiskWrites = 0;
  };
  const TStatistics& Statistics() const { return stats_; }

  [[noreturn]] void RaiseCode(uint16_t code) const;

 private:
  struct TSlotCache {
    std::vector<std::unique_ptr<TPage>> Pages;  // sorted by offset
    TNumberIndex<TPage, &TPage::Offset> ByOffset;               // the same pages, found by offset
    TPage* Newest = nullptr;
    TPage* Oldest = nullptr;
    size_t Capacity = kSlotCacheCapacity;
  };

  uint8_t* Slot(uint8_t slot) { return header_.data() + index_format::SlotOffset(slot); }
  const uint8_t* Slot(uint8_t slot) const { return header_.data() + index_format::SlotOffset(slot); }
  void SetModified();
  bool Encrypted() const;
  void SetFreeHead(uint8_t slot, uint32_t offset);
  void WriteSlotDesc(uint8_t slot, const IndexDesc& desc, uint8_t compression, bool unique);
  void CheckIndexFields(const IndexDesc& desc, const std::vector<FieldDesc>& fields, const std::string& name);
  void Unlink(TSlotCache& cache, TPage* page);
  void PushFront(TSlotCache& cache, TPage* page);
  size_t FindCached(const TSlotCache& cache, uint32_t offset) const;  // index or npos
  // A page object to load into: new, or the least recently used clean unpinned page (taken out
  // of the cache).
  std::unique_ptr<TPage> MakeRoom(uint8_t slot);
  TPage* Insert(uint8_t slot, std::unique_ptr<TPage> page);
  void DropSlotPages(uint8_t slot);
  bool IsPageOffset(uint32_t offset) const;
  void ReadPageBytes(uint32_t offset, uint8_t* out, bool passing = false);

  TTableFilesOwner* owner_;
  TFileHeader header_;
  std::array<TSlotCache, index_format::kSlotCount> caches_;
  std::array<std::unique_ptr<TIndexPageStore>, index_format::kSlotCount> stores_;
  TPageStack stack_;
  std::vector<std::unique_ptr<TPage>> detached_;  // dropped while pinned
  int lockRetries_ = 8192;
  std::vector<uint8_t> ioBuffer_;
  TStatistics stats_;
};

}  // namespace tovenmarsh::engine
