// The engine cursor: one user's handle on one table, the only door through which the
// record-set layer and SQL reach stored records.
//
// Contract: a cursor is used by one thread at a time. Every reading or moving operation runs
// inside the bracket (the table's in-process lock, the change check, resynchronisation on a
// change, release whatever happens); a page fetch answering "retry" restarts the operation from
// the root and never escapes. Navigation returns 0, 8705, 8706, 8709 or 8710; every other
// failure raises an engine error naming the table. Writes of a cursor that is not exclusive
// reach the disk before the call returns. Record ids are unique among live records: they keep
// the keys of non-unique indexes and of the record-status index distinct.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/store/btree.h"
#include "engine/expr/expr_source.h"
#include "engine/format/field_desc.h"
#include "engine/expr/filter.h"
#include "engine/table/record_sort.h"
#include "engine/base/records_bitmap.h"

namespace tovenmarsh::engine {

class TBlobBufferList;
class TDataDirectory;
class TDataTable;
class TRecord;
class TDataCursor;
struct TCursorIndex;

// The cursor as its filters see it: record slots, reads that leave the cursor where it stands,
// and key ranges answered from the table's indexes without reading records.
class TCursorFilterHost : public TFilterHost {
 public:
  explicit TCursorFilterHost(TDataCursor& cursor) : cursor_(cursor) {}
  TExpressionRecordSource& RecordSource() override;
  std::string TableName() override;
  uint16_t LanguageId() override;
  uint16_t SortId() override;
  uint32_t RecordCount() override;
  bool ReadRecord(uint32_t n, const void*& record, bool& deleted, uint32_t ahead) override;
  uint32_t ReadAheadLimit() override;
  int FindIndex(int fieldNo, bool caseInsensitive) override;
  void CollectRange(int index, const TIndexRange& range, TRecordsBitmap& out) override;
  int64_t CountRange(int index, const TIndexRange& range) override;
  int64_t KeyCount(int index) override;
  void CollectLive(TRecordsBitmap& out) override;
  bool RangeActive() override;
  void CollectKeyRange(TRecordsBitmap& out) override;
  bool RecordInKeyRange(uint32_t n, const void* record) override;
  bool PhysicalOrder() override;
  bool QueryResultOnly() override;

  int64_t RecordReads = 0;  // records read for filters (diagnostics and tests)

 private:
  // Record numbers of the keys of ix from start (nil: the first key) that take accepts (1);
  // take answers 0 to skip a key and -1 to stop.
  std::vector<uint32_t> WalkIndex(const TCursorIndex& ix, const std::vector<uint8_t>* start,
                                  const std::function<int(const uint8_t*)>& take);
  std::vector<uint32_t> RangeRecords(int index, const TIndexRange& range);
  // Classifies the first-field key segment of slot against range.
  bool InRange(const TCursorIndex& ix, const uint8_t* key, const TIndexRange& range,
               const std::vector<uint8_t>& low, const std::vector<uint8_t>& high);
  // Answers whether the value is exactly a value of the field; otherwise the key is rounded
  // into the range (up for a low bound, down for a high one).
  bool BoundKey(const TCursorIndex& ix, const TExpToken& value, std::vector<uint8_t>& key, bool roundUp);

  TDataCursor& cursor_;
  std::vector<uint8_t> buffer_;
};

// Index numbers across the engine interface.
inline constexpr uint8_t kPrimaryIndex = 0;
inline constexpr uint8_t kStatusIndex = 31;
inline constexpr uint8_t kPhysicalOrder = 255;
inline constexpr size_t kRangeKeySize = 524;

// The active index as the key routines see it (also the key order's context).
struct TCursorIndex {
  uint8_t Slot = 0;
  IndexDesc Desc;
  uint16_t KeySize = 0;
  bool Unique = true;
  bool Descending = false;
  bool CaseInsensitive = false;
  std::vector<FieldDesc> Fields;  // key fields in key order
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  TKeyOrder Order() const;
};

// Table attributes of CreateTable and AlterTable.
struct TTableAttributes {
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  uint32_t BlobBlockSize = 512;
  std::string Description;
  std::string Password;
  bool Encrypted = false;
  uint16_t UserMajor = 0;
  uint16_t UserMinor = 0;
  int64_t LastAutoInc = -1;  // -1: keep
};

// What a table's headers tell, open or closed.
struct TTableInfo {
  uint32_t BlobBlockSize = 0;
  uint32_t BlobDataPerBlock = 0;  // block size - 18
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  uint16_t UserMajor = 0;
  uint16_t UserMinor = 0;
  uint32_t LastAutoInc = 0;
  bool Encrypted = false;
  std::string Description;
  std::string Password;  // empty when not encrypted
  uint32_t FieldCount = 0;
  uint32_t RecordSize = 0;
  int32_t PhysicalRecordCount = 0;
  uint8_t SecondaryIndexCount = 0;
  bool NoPrimaryIndex = false;
};

// Restructure events: 0 other failure, 1 duplicate key, 2 validity check, 3 field dropped,
// 4 value not convertible.
using TRestructureEvent = void (*)(void* owner, int kind, const std::string& text, bool& quiet, bool& proceed);

class TDataCursor : public TExpressionRecordSource {
 public:
  explicit TDataCursor(TDataDirectory* directory);
  ~TDataCursor() override;
  TDataCursor(const TDataCursor&) = delete;
  TDataCursor& operator=(const TDataCursor&) = delete;

  // Options (10031 while open).
  void SetExclusive(bool flag);
  void SetShareExclusive(bool flag);
  void SetReadOnly(bool flag);
  void SetInMemory(bool flag);
  void SetTableName(const std::string& name);
  void SetQueryResult(bool flag) { queryResult_ = flag; }
  void SetPhysicalOrder(bool flag);
  void SetTemporary(bool flag);
  void SetSequentialScan(bool flag);
  void SetAutoIncWritable(bool flag) { autoIncWritable_ = flag; }
  bool Exclusive() const { return exclusive_; }
  bool ReadOnly() const { return readOnly_; }
  const std::string& TableName() const { return tableName_; }

  using TPasswordCallback = bool (*)(void* owner, int reason);
  void SetPasswordCallback(void* owner, TPasswordCallback routine) {
    passwordOwner_ = owner;
    passwordCallback_ = routine;
  }

  using TProgressCallback = void (*)(void* owner, int32_t done, int32_t percent);
  void SetProgressCallback(void* owner, TProgressCallback routine) {
    progressOwner_ = owner;
    progressCallback_ = routine;
  }

  // Verification/repair mode (cursor_verify.cpp; 10031 while open): the cursor opens without
  // header checks, position, filters or index work, so a damaged table can be examined; it
  // offers no navigation. BLOB chain damage is then reported through the repair-message
  // callback instead of raised.
  void SetVerifyRepair(bool flag);
  bool VerifyRepair() const { return verifyRepair_; }
  using TRepairCallback = void (*)(void* owner, const std::string& text);
  void SetRepairCallback(void* owner, TRepairCallback routine) {
    repairOwner_ = owner;
    repairCallback_ = routine;
  }
  // Walks the BLOB chains of every live record, one report per damaged chain. Verifying only
  // reports; repairing (exclusive and writable) also cuts a chain at its damage (keeping the
  // value's size consistent with what is left) and clears a reference whose first block is not
  // the value's. Outside verification/repair mode the first damage raises 8963. Answers the
  // number of damaged chains.
  int32_t CheckBlobChains(bool repair);

  // Open and close.
  void Open();
  void Close(bool closeFiles = true);
  bool IsOpen() const { return open_; }
  void Refresh();
  void CheckExclusive() const;
  void CheckWritable() const;
  void CheckClosed() const;
  TDataTable* Table() const { return table_; }

  // Table information: of the open table, or read from the files of a closed one.
  TTableInfo GetTableInfo();
  uint32_t GetFieldCount() const { return static_cast<uint32_t>(fields_.size()); }
  // Stored record plus the room of computed fields behind it (live query results).
  uint32_t GetRecordSize() const { return recordSize_ + computedSize_; }
  uint32_t LastAutoInc() const;

  // Navigation.
  void First();
  void Last();
  int GetNextRecord(uint8_t* record);
  int GetPriorRecord(uint8_t* record);
  int GetCurrentRecord(uint8_t* record, bool lock = false);
  int32_t GetRecNo();
  void SetRecNo(int32_t n);
  int32_t GetRecordCount();
  int32_t GetPhysicalRecordCount();
  // The position as the next operation sees it (inserts that left it pending are settled).
  bool Bof() {
    SettlePendingResync();
    return bof_;
  }
  bool Eof() {
    SettlePendingResync();
    return eof_;
  }

  // Keys.
  void BuildKey(const uint8_t* record, uint8_t* key) const;
  int CompareKeys(const uint8_t* a, const uint8_t* b, uint32_t length) const;
  uint16_t KeySize() const { return index_.KeySize; }
  bool FindKey(const uint8_t* keyOrRecord, bool rawKey, uint8_t* record, int partialLength, bool nearest,
               int fieldCount);
  void SetRange(bool rawKey, const uint8_t* start, int startFields, const uint8_t* end, int endFields);
  void CancelRange();
  bool RangeActive() const { return rangeActive_; }

  // Indexes.
  void SwitchToIndex(const std::string& name);
  void SetIndexNumber(uint8_t n);
  uint8_t IndexNumber() const { return indexNumber_; }
  int GetIndexCount() const;
  IndexDesc GetIndexDesc(uint8_t n) const;
  IndexDesc GetIndexDescByName(const std::string& name) const;

  // Bookmarks.
  uint32_t GetBookmarkSize() const { return Physical() ? 4 : index_.KeySize; }
  void GetBookmark(uint8_t* out);
  bool GotoBookmark(const uint8_t* bookmark, bool nearest);
  int CompareBookmarks(const uint8_t* a, const uint8_t* b) const;
  int GotoCursor(TDataCursor& other);
  // A new open cursor on the same table, index, range and record.
  std::unique_ptr<TDataCursor> Clone();

  // Editing.
  void InitRecord(uint8_t* record);
  // A new record buffer holding the current record's values (BLOB values copied into new open
  // buffers of the copy, written to chains of its own by the insert; the record id kept only
  // while ids are writable). 8709 when there is no current record, else 0 or a BLOB call's code.
  int NewRecord(uint8_t* record);
  void ClearRecordBuffer(uint8_t* record) const;
  void InsertRecord(uint8_t* record, bool reposition);
  void ModifyRecord(uint8_t* record, bool reposition, bool unlock);
  void DeleteRecord(const uint8_t* record, bool reposition);

  // Field data (field position 1..field count).
  bool GetFieldData(uint32_t field, const uint8_t* record, void* value) const;  // true = null
  // nullptr = null. On a live result the computed fields are evaluated again after any other
  // field changes; a computed field itself is written only when forced.
  void SetFieldData(uint32_t field, uint8_t* record, const void* value, bool force = false);
  const FieldDesc& GetFieldDesc(uint32_t n) const;
  const FieldDesc& GetFieldDescByNumber(uint16_t number) const;
  const FieldDesc& GetTableFieldDesc(uint32_t n) const;

  // Writes the table's changed caches and headers; FlushFiles also asks the system to put the
  // files on disk.
  void FlushBuffers();
  void FlushFiles();

  // BLOB values of a record buffer (field position 1..field count): opened whole into a buffer
  // whose handle replaces the field's reference until closed; inserts and modifications write
  // modified values. Return 0 or a code: 10753, 10030, 9998, 9494, 8711, 8708.
  int OpenBlob(uint32_t field, uint8_t* record, int mode);
  int CloseBlob(uint32_t field, uint8_t* record);
  int ReadBlob(uint32_t field, const uint8_t* record, uint32_t offset, uint32_t length, uint8_t* destination,
               uint32_t* count);
  int WriteBlob(uint32_t field, const uint8_t* record, uint32_t offset, uint32_t length, const uint8_t* source);
  int TruncateBlob(uint32_t field, const uint8_t* record, uint32_t size);
  int GetBlobSize(uint32_t field, const uint8_t* record, uint32_t* size);
  void CloseAllBlobs();

  // The record source of filter expressions: columns by name or number, one field of a record
  // buffer in its expression value form (memo BLOBs as their text).
  const FieldDesc* FindField(std::string_view tableName, std::string_view name) override;
  const FieldDesc* FieldByNumber(int fieldNo) override;
  bool ReadField(const void* record, const FieldDesc& field, TExpToken& node) override;

  // Filters (see TFilterList): forwarded inside the bracket; the cursor repositions after.
  TFilter* AddFilter(void* dataSet, std::string_view expressionText, bool noPartial, bool caseInsensitive,
                     bool allowComplement, bool narrowByEarlier, TFilterCallback callback = nullptr,
                     bool ownsTree = false, TExpToken* tree = nullptr);
  void DropFilter(TFilter* filter);
  void ActivateFilter(TFilter* filter);
  void SetFilterExpression(TExpToken* tree, TFilter* filter);
  void DeactivateFilter(TFilter* filter);
  TFilterList& Filters();
  // Records read to answer filters.
  int64_t FilterRecordReads() const { return filterHost_ ? filterHost_->RecordReads : 0; }

  // Locks.
  void LockRecord(uint32_t number = 0);
  void UnlockRecord(uint32_t number = 0);
  // Inside a transaction, in physical order: locks the records from the one at bookmark first to
  // the one at bookmark last in one lock (TDataTable::LockRecordSpan); false when not taken.
  bool LockRecordSpan(const uint8_t* first, const uint8_t* last);
  void LockTableForWrite();
  void UnlockTableForWrite();
  uint32_t CurrentRecordNumber() {
    SettlePendingResync();
    return currentRecord_;
  }

  // Table definition (table_define.cpp, restructure.cpp). `indexes[0]` is the primary index
  // (no fields: none); the others are secondary.
  void CreateTable(const TTableAttributes& attributes, bool overwrite, std::vector<IndexDesc> indexes,
                   std::vector<FieldDesc> fields);
  void DeleteTable();
  void RenameTable(const std::string& newName);
  void RenameToBackup();
  void EmptyTable();
  void AddPrimaryIndex(IndexDesc desc);
  void AddIndex(IndexDesc desc);
  void DeleteIndex(const std::string& name, bool move);
  // SQL: sorts the records of an index-less table in place (renumbered from 1 in key order),
  // on an exclusive cursor; sort runs go to the table's own directory.
  void AddIndexExclusive(const TSortOptions& options);
  // Restructures a closed table; leaves the cursor closed. Without an event callback a failing
  // record stops the restructure with its error.
  void AlterTable(const TTableAttributes& attributes, std::vector<IndexDesc> indexes, std::vector<FieldDesc> fields,
                  bool keepBackup);
  // Test hook: a full restructure stops dead (as if killed) after this many renames (-1: never).
  void SetSwapStepLimit(int steps) { swapStepLimit_ = steps; }
  void SetRestructureCallback(void* owner, TRestructureEvent routine) {
    restructureOwner_ = owner;
    restructureEvent_ = routine;
  }
  // Rewrites the header information of an exclusively opened, writable table: the password
  // (kept only when the table is encrypted; 10015 when not valid there), the description (cut
  // to 50 characters), the user versions and the last autoinc value (-1 keeps it).
  void WriteHeaderInfo(const std::string& password, const std::string& description, uint16_t userMajor,
                       uint16_t userMinor, int64_t lastAutoInc);
  // SQL live results (cursor_computed.cpp): validates and installs the open cursor's field
  // list. Stored fields keep their record offsets (each must be one of the table's fields);
  // computed fields, and fields beyond the table's field count, get room behind the stored
  // record, which GetRecordSize includes.
  void CheckFieldDefs(std::vector<FieldDesc> definitions);
  // The expression a computed field (position 1..field count) is evaluated from: a
  // type-checked tree over this cursor's fields; the cursor owns it from here on.
  void SetComputedExpression(uint32_t field, TExpTree tree);
  // Evaluates every computed field of a record buffer (after a record read or a field change);
  // a NULL result, or one that does not convert to the field's type, stores NULL.
  void EvaluateComputed(uint8_t* record);
  bool HasComputedFields() const { return hasComputed_; }
  // "table.field" (table file name without extension; at most 100 characters).
  std::string QualifiedFieldName(uint32_t field) const;
  // Validates and normalises a definition (raises the first fault in the order of checks).
  void ValidateDefinition(const TTableAttributes& attributes, std::vector<IndexDesc>& indexes,
                          std::vector<FieldDesc>& fields) const;

  [[noreturn]] void Raise(uint16_t code, const std::string& field = {}, const std::string& index = {}) const;

 private:
  friend class TCursorBracket;
  friend class TCursorFilterHost;
  struct TStamp {
    uint32_t IndexCounter = 0, DataCounter = 0;
    int32_t Records = 0;
    bool operator==(const TStamp&) const = default;
  };

  bool Physical() const { return indexNumber_ == kPhysicalOrder || (indexNumber_ == 0 && noPrimary_); }
  TStamp CurrentStamp() const;
  // `deferResync`: an operation that needs no position (an insert keeping it) leaves a due
  // resynchronisation to the next bracket instead of doing it now.
  void Enter(bool deferResync = false);
  // Brings the position up to date now when inserts left that to the next operation, for the
  // accessors that read it without a bracket of their own.
  void SettlePendingResync();
  void Leave();
  // Whether an insert may leave its position to the next bracket: index order, no filters.
  bool MayDeferResync() const { return depth_ == 0 && !filters_ && !Physical() && !verifyRepair_; }
  void Resync();      // recount and go back to the record
  void Reposition();  // go back to the record (nearest) with the counts as they are
  void AfterOwnChange(uint32_t number, bool live);
  void LoadIndex(uint8_t slot, TCursorIndex& out) const;
  void ActivateIndex(uint8_t n);
  void BuildIndexKey(const TCursorIndex& index, const uint8_t* record, uint8_t* key) const;
  void PadKey(uint8_t* key, uint32_t from, bool high) const;
  uint32_t FieldsKeyLength(int fields) const;
  void BuildStatusKey(uint8_t status, uint32_t id, uint8_t* key) const;

  // Filtered navigation: the visible set and whether record n is hidden by a filter in index order.
  bool FilteredIndex() const { return filters_ && filters_->Filtered() && !Physical(); }
  bool Hidden(uint32_t n) const {
    const TRecordsBitmap& v = filters_->Visible();
    return n == 0 || n > v.Size() || !v.IsSet(n);
  }
  void RebuildFilters();
  void AfterFilterChange();
  // Steps in index order to the next visible entry (direction 1 or -1) within the range.
  bool StepVisible(int direction);

  // Positioning helpers (inside the bracket; they handle "retry").
  void ComputeRange();
  void ComputeIndexRange();
  void SetNone();
  bool PositionFirst();
  bool PositionLast();
  void SeekKey(const uint8_t* key, bool keepCracks);
  void SeekRecordNumber(uint32_t number);
  void TakeCurrent();
  void ReadCurrent(uint8_t* record, int direction = 0);
  // Records in a row from the current one with consecutive numbers (at most n) in a direction.
  uint32_t ReadAheadCount(uint32_t n, int direction) const;
  int64_t TreeCount(uint8_t slot);

  // Editing helpers (under the write lock).
  void ApplyDefaults(uint8_t* record) const;
  void Validate(const uint8_t* record) const;
  bool IdInUse(uint32_t id);
  void CheckDuplicates(const uint8_t* record, uint32_t ownNumber, const std::vector<bool>* changed);
  void InsertKey(uint8_t slot, const uint8_t* key, uint32_t number);
  void InsertKey(const TCursorIndex& ix, const uint8_t* key, uint32_t number);
  void DeleteKey(uint8_t slot, const uint8_t* key, uint32_t number);
  std::vector<uint8_t> AllSlots() const;
  void AllSlots(std::vector<uint8_t>& out) const;
  void AfterWrite();
  void FreeBlobs(const uint8_t* record);
  void StoreBlobs(uint8_t* stored);
  void RemoveRecord(uint32_t number, const std::vector<uint8_t>& old, const std::vector<uint8_t>& skipSlots);
  void RecoverRestructure();
  void RebuildTable(const TTableAttributes& attributes, const std::vector<IndexDesc>& indexes,
                    const std::vector<FieldDesc>& fields, bool keepBackup);
  void ChangeIndexes(const TTableAttributes& attributes, const std::vector<IndexDesc>& indexes);
  // Puts description, password, user versions and last autoinc into the data-file header.
  void ApplyHeaderInfo(const TTableAttributes& attributes);
  // Field checks of a definition, in the order of checks (names, numbers, types and sizes,
  // value texts), normalising each field; the computed flag stays only when asked.
  void CheckFieldList(std::vector<FieldDesc>& fields, bool keepComputed) const;
  void ChangeDescriptors(const TTableAttributes& attributes, const std::vector<IndexDesc>& indexes,
                         const std::vector<FieldDesc>& fields);
  void SwapFiles(const std::string& workName, bool keepBackup);
  void FillIndex(uint8_t slot, bool reportDeletions);
  void FreeIndexPages(uint8_t slot);
  bool Event(int kind, const std::string& text);

  TDataDirectory* directory_;
  TDataTable* table_ = nullptr;
  std::string tableName_;
  bool exclusive_ = false, shareExclusive_ = false, readOnly_ = false, inMemory_ = false;
  bool queryResult_ = false, temporary_ = false, sequential_ = false, physicalOrder_ = false;
  bool autoIncWritable_ = false;
  void* passwordOwner_ = nullptr;
  TPasswordCallback passwordCallback_ = nullptr;
  void* progressOwner_ = nullptr;
  TProgressCallback progressCallback_ = nullptr;
  void* restructureOwner_ = nullptr;
  TRestructureEvent restructureEvent_ = nullptr;
  bool eventsQuiet_ = false;
  bool restructureWork_ = false;  // keeps given record ids (the work cursor of a restructure)
  bool verifyRepair_ = false;
  void* repairOwner_ = nullptr;
  TRepairCallback repairCallback_ = nullptr;
  // Live query results: computed fields and their trees (by position - 1).
  bool hasComputed_ = false;
  uint32_t computedSize_ = 0;
  std::vector<TExpTree> computedTrees_;
  int swapStepLimit_ = -1;

  bool open_ = false;
  uint16_t languageId_ = 0, sortId_ = 0;
  uint32_t recordSize_ = 0;
  std::vector<FieldDesc> fields_;
  bool hasAutoInc_ = false, hasChecks_ = false, hasDefaults_ = false, hasBlobs_ = false;
  bool noPrimary_ = false;
  TStamp seen_;

  // Position.
  uint8_t indexNumber_ = 0;
  TCursorIndex index_;
  TTreePosition pos_;
  uint32_t currentRecord_ = 0;
  std::vector<uint8_t> currentKey_;
  // Scratch of InsertRecord (described indexes, their keys, the slots), kept between inserts
  // so that a run of inserts allocates nothing for them; taken out while in use.
  std::vector<TCursorIndex> insertIndexes_;
  std::vector<std::vector<uint8_t>> insertKeys_;
  std::vector<uint8_t> insertSlots_;
  int64_t sequence_ = 0;
  // In physical order after a seek by record number: sequence_ is to be counted from the bitmap
  // (steps keep it stale).
  bool sequenceStale_ = false;
  bool bof_ = true, eof_ = true;
  std::vector<uint8_t> rangeStart_, rangeEnd_;
  bool rangeActive_ = false;
  int64_t rangeFirst_ = 0, rangeLast_ = 0;
  std::unique_ptr<TRecordsBitmap> visible_;
  std::unique_ptr<TBlobBufferList> blobs_;
  std::unique_ptr<TCursorFilterHost> filterHost_;
  std::unique_ptr<TFilterList> filters_;
  // Visible position in a filtered index order, kept while stepping (counted again otherwise).
  int32_t filteredRecNo_ = 0;
  bool filteredRecNoValid_ = false;
  // Set by an insert that kept the position: the next bracket resynchronises (once for a whole
  // run of inserts), as it would for a change of another user.
  bool resyncPending_ = false;
  bool resyncMoved_ = false;  // the bracket's resync left the deleted current record for the next
  // Entries [aheadFrom_, aheadTo_] of the leaf copy at aheadLeaf_ held consecutive record
  // numbers when last measured: a read-ahead hint, so that stepping does not measure again.
  mutable uint32_t aheadLeaf_ = 0;
  mutable int aheadFrom_ = 0, aheadTo_ = 0;
  // Records [physicalFrom_, physicalTo_] were visible in a row when last measured: the same
  // hint for a walk in record order.
  mutable uint32_t physicalFrom_ = 0, physicalTo_ = 0;

  // Bracket.
  int depth_ = 0;
  std::unique_lock<std::recursive_mutex> guard_;
  bool readLocked_ = false;
};

// The bracket of one cursor operation.
class TCursorBracket {
 public:
  explicit TCursorBracket(TDataCursor& cursor, bool deferResync = false) : cursor_(cursor) {
    cursor_.Enter(deferResync);
  }
  ~TCursorBracket() { cursor_.Leave(); }
  TCursorBracket(const TCursorBracket&) = delete;
  TCursorBracket& operator=(const TCursorBracket&) = delete;

 private:
  TDataCursor& cursor_;
};

}  // namespace tovenmarsh::engine
