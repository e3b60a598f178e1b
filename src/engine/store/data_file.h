// A table's data file (.DAT): the 127-byte header, the field descriptors, the fixed-size
// records with their cache and read-ahead, the free list of deleted records, the auto-increment
// counter and the lock bytes that coordinate users.
//
// Contract: one TDataFile per open table, used under the table's in-process lock. Records come
// from GetRecord with their use count raised and go back with ReleaseRecord; changed records
// stay cached until WriteChangedRecords writes them, and are never evicted or trimmed before
// (inside a transaction the cache grows instead). Damaged headers give 8961, a wrong version
// 12035, an unknown locale 15878, cache inconsistencies 8962, a full table 9479, and a record
// beyond the end of the file 9217. Record sorting for SQL is engine/table/record_sort.h's; it
// rewrites the records through Seek/Write and ends with FinishRewrite.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/format/data_file_format.h"
#include "engine/format/field_desc.h"
#include "engine/io/file_handler.h"
#include "engine/base/number_index.h"
#include "engine/store/shared_table_context.h"

namespace tovenmarsh::engine {

class TDataFile;

// One record buffer of the cache.
class TRecord {
 public:
  uint32_t Number = 0;
  bool Changed = false;
  uint16_t UseCount = 0;
  std::vector<uint8_t> Buffer;  // record size bytes
  TRecord* Newer = nullptr;
  TRecord* Older = nullptr;
  uint64_t Stamp = 0;   // recency: larger is more recent (cache bookkeeping)
  bool Parked = false;  // set aside from the recency list while changed or in use
  uint32_t Slot = 0;    // position in the cache's list of records

  uint8_t Status() const { return Buffer[data_format::kRecStatus.Offset]; }
  uint32_t Link() const { return GetU32(Buffer.data(), data_format::kRecLink); }
  uint32_t RecordId() const { return GetU32(Buffer.data(), data_format::kRecId); }
  void SetStatus(uint8_t s) {
    Buffer[data_format::kRecStatus.Offset] = s;
    Changed = true;
  }
  void SetLink(uint32_t link) {
    PutU32(Buffer.data(), data_format::kRecLink, link);
    Changed = true;
  }
  void SetRecordId(uint32_t id) {
    PutU32(Buffer.data(), data_format::kRecId, id);
    Changed = true;
  }
  // Copies the stored fields (offset 9 on) of another record; marks this one changed.
  void CopyFields(const TRecord& other);
  // All record-size bytes equal (detects records changed by others).
  bool Equals(const uint8_t* buffer) const;
};

// Definitions a new table's data file is made from.
struct TDataFileDefinition {
  std::vector<FieldDesc> Fields;
  uint32_t BlobBlockSize = 0;  // 0 means 512
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  uint16_t UserVersion1 = 0;
  uint16_t UserVersion2 = 0;
  bool Encrypted = false;
  std::string Password;
  std::string Description;
};

class TDataFile : public TFileHandler {
 public:
  static constexpr uint32_t kMaxCacheRecords = 8191;
  static constexpr uint32_t kCacheBytes = 131070;
  static constexpr int kWriteByteRetries = 8193;

  TDataFile(TTableFilesOwner* owner, std::string fileName, bool memory = false, TFileList* list = nullptr);
  ~TDataFile() override;

  // Opens the file, reads header and descriptors (more than 1024 fields: 8961). A failure
  // closes the file again.
  void Open() override;
  // Drops every cached record (changed ones must have been written) and closes.
  void Close() override;
  // Every write first lets the owner save what it destroys (the journal).
  int64_t Write(const void* buffer, int64_t count) override {
    if (owner_ && owner_->BeforeWrite(kJournalDataFile, *this, buffer, count)) {
      Seek(count, kSeekFromCurrent);
      return count;
    }
    return TFileHandler::Write(buffer, count);
  }
  // Builds the header and descriptors (9477 record too big, 9498 too many BLOB fields or a bad
  // block size), creates the file and writes both.
  void CreateTable(const TDataFileDefinition& definition);
  // Checks version, locale, every descriptor, record size and file length (8961, 12035, 15878).
  void VerifyHeader();

  // Header.
  void ReadHeader();
  void WriteHeader(bool force);
  bool HeaderChanged();
  void CountHeaderChange();  // in a transaction: counted in memory, written at commit
  const uint8_t* Header() const { return header_.data(); }
  // The fields every cursor operation reads are inline: they are plain reads of the header.
  uint32_t UpdateCounter() const { return GetU32(header_.data(), data_format::kUpdateCounter); }
  uint32_t BlobBlockSize() const;  // as stored (0 means 512)
  uint32_t FirstFree() const;
  // 1 + the record slots in the file
  uint32_t NextRecord() const { return GetU32(header_.data(), data_format::kNextRecord); }
  uint32_t LastAutoInc() const;
  uint32_t RecordSize() const { return GetU16(header_.data(), data_format::kRecordSize); }
  uint32_t FieldCount() const;
  uint32_t BlobFieldCount() const { return GetU16(header_.data(), data_format::kBlobFieldCount); }
  uint16_t LanguageId() const;
  uint16_t SortId() const;
  bool Encrypted() const { return GetU8(header_.data(), data_format::kEncrypted) != 0; }
  std::string Description() const;
  std::string Password() const;
  bool HeaderDirty() const;
  void SetNextRecord(uint32_t next);

  // Descriptors (1-based).
  const std::vector<FieldDesc>& Fields() const { return fields_; }
  const FieldDesc& Field(uint32_t i) const { return fields_.at(i - 1); }
  const FieldDesc* FieldByNumber(uint16_t number) const;
  const FieldDesc* FieldByName(const std::string& name) const;
  void SetDescriptor(uint32_t i, const FieldDesc& desc);
  void ReadDescriptors();
  void WriteDescriptors();
  bool DescriptorsChanged() const { return descriptorsChanged_; }

  // Records. GetRecord answers nullptr for "retry" (the table changed on disk). `readAhead` is
  // the number of records worth reading in one go from here (1 = no read-ahead), `direction`
  // 1 forward, -1 backward. The next record number makes a new record only with `append`
  // (TakeFreeRecord): a reference to it is damage like any number beyond the file.
  TRecord* GetRecord(uint32_t number, int direction = 1, uint32_t readAhead = 1, bool append = false);
  void ReleaseRecord(TRecord* record);
  // Zero-fills; a new record gets the next auto-increment value as its record id.
  void InitRecord(TRecord& record, bool isNew);
  // The slot an insert takes: the first free record (when reuse is allowed) or the next one.
  uint32_t FreeSlot(bool allowReuse = true) const;
  // Gets the slot an insert takes and unlinks it from the free list when it came from there.
  TRecord* TakeFreeRecord(bool allowReuse = true);
  void DeleteRecord(TRecord& record);
  uint32_t NextAutoInc();
  void SetLastAutoInc(uint32_t value);
  // Header information: the user versions, the description and the password (kept
  // only when the table is encrypted; both strings stored scrambled there). Cut to the header's
  // widths; marks the header changed.
  void SetHeaderInfo(uint16_t userVersion1, uint16_t userVersion2, const std::string& description,
                     const std::string& password);
  uint32_t NextBlobStamp();

  // Cache.
  // Writes changed records not in use, in runs of consecutive numbers. True when any was written.
  bool WriteChangedRecords();
  // The same for records found by ChangedRecords just before (one walk of the cache serves a
  // whole flush).
  bool WriteChangedRecords(const std::vector<TRecord*>& changed);
  // The changed records (in use or not), in number order.
  void ChangedRecords(std::vector<TRecord*>& out) const;
  // Every cached record, in number order.
  void CachedInOrder(std::vector<TRecord*>& out) const;
  // Shrinks the cache to its normal capacity; changed or used records are never dropped.
  void TrimCache();
  // Drops every cached record (changed ones are lost) that is not in use.
  void DropRecords();
  bool HasChangedRecords() const;
  // The file ranges (offset, length) that writing the `changed` records (from ChangedRecords),
  // the descriptors and the header (when it would be written; always with `header`) would
  // overwrite.
  void PendingWriteRanges(std::vector<std::pair<int64_t, int64_t>>& out, bool header,
                          const std::vector<TRecord*>& changed) const;
  size_t CachedRecords() const { return cache_.size(); }
  size_t CacheCapacity() const { return capacity_; }
  uint32_t ReadAheadLimit() const { return readAheadLimit_; }
  // Test hook: a smaller normal cache capacity (forces eviction).
  void SetNormalCapacity(size_t capacity);

  // Truncates after the descriptors and resets the counters.
  void EmptyFile();
  // Ends a rewrite that wrote records 1..count straight to the file (the record sort): drops
  // the cache, truncates after them, empties the free list, sets the next record and tells
  // the owner that the files were written.
  void FinishRewrite(uint32_t count);

  // Lock bytes.
  bool LockRecordByte(uint32_t number);
  bool UnlockRecordByte(uint32_t number);
  // The lock bytes of records first..last as one range.
  bool LockRecordBytes(uint32_t first, uint32_t last);
  bool UnlockRecordBytes(uint32_t first, uint32_t last);
  bool LockWriteByte(int retries = kWriteByteRetries);
  bool UnlockWriteByte();

  [[noreturn]] void RaiseCode(uint16_t code) const;

 private:
  void SetHeaderDirty();
  int64_t RecordPosition(uint32_t number) const;
  TRecord* FindCached(uint32_t number) const;
  // Removes a record from whichever list holds it (recency or parked).
  void Unlink(TRecord* r);
  void PushFront(TRecord* r);
  // Moves a changed or used record from the recency list to the parked list, so that victim
  // searches stop walking over it; it comes back, in its recency place, once clean and unused.
  void Park(TRecord* r);
  void Unpark(std::vector<TRecord*> records);
  // Takes a record out of the cache into the spares.
  void Evict(TRecord* r);
  // A buffer for `number`, zero-filled unless `clear` is false (the caller loads it whole).
  std::unique_ptr<TRecord> TakeBuffer(uint32_t number, bool clear = true);
  // The least recently used record that is neither changed nor in use (nullptr: none).
  TRecord* OldestEvictable();
  // Caches a record read ahead from `bytes`, in a new buffer below capacity, else in the
  // place of the oldest evictable one; nullptr (nothing cached) when none may go.
  TRecord* LoadAhead(uint32_t number, const uint8_t* bytes);
  // A free buffer: new while below capacity, else the least recently used record that is
  // neither changed nor in use. nullptr when there is none and `mayFail`.
  std::unique_ptr<TRecord> MakeRoom(uint32_t number, bool mayFail);
  TRecord* Insert(std::unique_ptr<TRecord> r);
  // Forgets every cached record (nothing written, the buffers freed).
  void ClearCache();
  void LoadRecord(TRecord& r, const uint8_t* bytes) const;
  void SizeCache();

  TTableFilesOwner* owner_;
  std::vector<uint8_t> header_;
  uint32_t diskCounter_ = 0;
  std::vector<FieldDesc> fields_;
  bool descriptorsChanged_ = false;
  // The cached records, in no order (TRecord::Slot is the position); found by number through
  // index_. Whatever needs number order sorts what it collects.
  std::vector<std::unique_ptr<TRecord>> cache_;
  TNumberIndex<TRecord, &TRecord::Number, 3> index_;
  TRecord* newest_ = nullptr;  // recency list of records that may be evicted
  TRecord* oldest_ = nullptr;
  TRecord* parkedNewest_ = nullptr;  // parked list: changed or used when last looked at
  TRecord* parkedOldest_ = nullptr;
  uint64_t clock_ = 0;
  size_t capacity_ = kMaxCacheRecords;
  size_t normalCapacity_ = kMaxCacheRecords;
  uint32_t readAheadLimit_ = 1;
  std::vector<std::unique_ptr<TRecord>> spares_;
  std::vector<uint8_t> readBuffer_;
  std::vector<uint8_t> writeBuffer_;
  bool writeByteHeld_ = false;
};

}  // namespace tovenmarsh::engine
