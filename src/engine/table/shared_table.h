// One physical table opened in one database directory, shared by every cursor of that
// directory that opens it: its data, index and BLOB files, the multi-user lock protocol on the
// files' lock bytes, detection of other users' changes, and the table's transaction.
//
// Contract: every operation on the table and its files runs under the table's in-process lock
// (Mutex(), re-entrant; TTableGuard takes it). Between processes, and between sessions of one
// process, tables coordinate only through the lock bytes: a reader holds a user byte of the
// index (and BLOB) file, a writer the data file's write byte and the index (and BLOB) region, a
// transaction the data file's write byte from start to end. Changes of a transaction stay in
// the caches until Commit, which writes them under the writer lock in this order: BLOB blocks
// and header, records and data header, index pages and index header (so a reference never
// reaches the disk before what it refers to). A failed write discards the caches and rereads
// the headers, so nothing half-done is written later. Lock failures: 10249 (table, reader,
// writer, transaction lock), 10258 (record lock), 10242 (unlock).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "engine/store/blob_file.h"
#include "engine/store/data_file.h"
#include "engine/store/index_file.h"
#include "engine/store/journal.h"
#include "engine/store/shared_table_context.h"
#include "engine/table/session_settings.h"

namespace tovenmarsh::engine {

// A new table's definition.
struct TTableDefinition {
  TDataFileDefinition Data;
  // An index with an empty name first is the primary index; the others are secondary.
  std::vector<IndexDesc> Indexes;
  std::vector<uint8_t> Compression;  // per index (missing: the index's own Compression)
};

class TDataTable : public TTableFilesOwner {
 public:
  // `name` is the table name with ".DAT" forced on (a full path or relative to `folder`, the
  // path of its directory); `settings` are the directory's session's (none: the defaults).
  TDataTable(std::string folder, const TSessionSettings* settings, std::string name, bool memory);
  ~TDataTable() override;
  TDataTable(const TDataTable&) = delete;
  TDataTable& operator=(const TDataTable&) = delete;

  const std::string& Name() const { return name_; }
  bool Memory() const { return memory_; }
  std::recursive_mutex& Mutex() { return mutex_; }

  // Open options (set while closed).
  bool Exclusive = false;
  bool ReadOnly = false;
  bool Temporary = false;
  bool Sequential = false;
  int References = 0;

  bool IsOpen() const { return open_; }
  bool IndexRebuildNeeded() const { return rebuildNeeded_; }
  // The index file was missing and made anew: its definitions are lost, the table reads in
  // physical order until the indexes are defined again.
  bool IndexDefinitionsLost() const { return definitionsLost_; }
  bool InTransactionNow() const { return inTransaction_; }

  TDataFile& Data() { return *data_; }
  TIndexFile& Index() { return *index_; }
  TBlobFile* Blob() { return blob_.get(); }
  bool HasBlobs() const { return data_->BlobFieldCount() > 0; }

  // Full file names.
  std::string FileName(const std::string& extension) const;

  void Open();
  void Close(bool dropTemporary = false);
  void CreateFiles(const TTableDefinition& definition);
  void DeleteFiles();
  void RenameFiles(const std::string& newName, bool backup);
  void BackupIndex();
  void RestoreIndex(bool skipRestore, bool deleteBackup);
  void EmptyTable();

  // Locks.
  // True when the check for changes (through the reader lock) found changes.
  bool LockRecord(uint32_t number);
  void UnlockRecord(uint32_t number);
  void UnlockAllRecords(bool deferredOnly);
  bool HoldsRecordLock(uint32_t number) const { return locked_.count(number) != 0; }
  // Inside a transaction: the lock bytes of records first..last in one lock, so that locking
  // many records of the span costs no lock of its own each. Refused (false) when another user,
  // or this one, holds a record lock in the span. Other users cannot lock any record of the
  // span until the transaction commits (an intermediate commit too) or rolls back.
  bool LockRecordSpan(uint32_t first, uint32_t last);
  void ReadLock();
  void ReadUnlock();
  void LockTable();
  void UnlockTable();
  // The writer lock is counted: it is released by the WriteUnlock matching the first WriteLock.
  void WriteLock();
  void WriteUnlock();
  bool CheckForChanges();
  // Retries of the lock loops (tests shorten the waits).
  void SetLockRetries(int retries);

  // Transactions.
  void StartTransaction();
  void Rollback();
  void Commit(bool end);
  void Flush();
  void WriteCaches(bool trim, bool header, bool index);
  void DiscardCaches(bool trim, bool reread);

  // The cursor layer's change check for cache misses (nullptr: no check).
  void SetChangeCheck(std::function<bool()> check) { changeCheck_ = std::move(check); }

  // An index page (by offset) that the change in progress modifies, frees or takes: its old
  // content is journaled with everything else before the first write, under one sync. Pages not
  // noted are journaled when written, each with a sync of its own.
  void NotePageChange(uint32_t offset);

  // TTableFilesOwner.
  bool InTransaction() const override { return inTransaction_; }
  bool HoldsWriteLock() const override { return writerLock_ || transactionLock_; }
  bool StrictChangeDetection() const override;
  bool Encrypted() const override;
  void MarkFilesWritten() override { changesWritten_ = true; }
  bool ChangedOnDisk() override;
  bool BeforeWrite(int file, TFileHandler& handler, const void* bytes, int64_t count) override;
  bool HoldsWrites() const override { return deferring_; }

  // The rollback journal (nullptr for memory and temporary tables).
  TTableJournal* Journal() { return journal_.get(); }

  bool ChangesWritten() const { return changesWritten_; }

 private:
  [[noreturn]] void Raise(uint16_t code) const;
  void ConfigureFiles();
  void WriteEverything(bool trim, bool forceHeader);
  // Journals, with one sync, the old content of everything WriteEverything is about to
  // overwrite that it can name (the rest is journaled as it is written).
  void PrepareJournal(bool forceHeader, const std::vector<TRecord*>& changedRecords, bool sync);
  // WriteEverything's writes, in the order that keeps references valid.
  void WriteFiles(bool forceHeader, std::vector<TRecord*>& changed);
  // Flushes the files written since their last flush.
  void FlushWritten();
  void ReleaseTransactionLock();
  std::array<TFileHandler*, TTableJournal::kFileCount> Files();
  void CommitJournal();
  // Syncs every file and empties the journal of finished operations.
  void CheckpointJournal();
  // Syncs the files of a table that is not open.
  void SyncFilesByName();
  // Repairs the files from the journal: undoes the writes of an unfinished operation (ours, or
  // a crashed process's) and makes those of finished ones again. True when a journal was
  // applied; the headers are then read again.
  bool RollbackJournal();
  void RecoverAtOpen();
  std::vector<uint16_t> OwnIndexIds() const;
  std::vector<uint16_t> OwnBlobIds() const;

  std::string folder_;
  const TSessionSettings* settings_;
  std::string name_;
  bool memory_;
  std::recursive_mutex mutex_;
  std::unique_ptr<TDataFile> data_;
  std::unique_ptr<TIndexFile> index_;
  std::unique_ptr<TBlobFile> blob_;
  std::unique_ptr<TTableJournal> journal_;
  bool journalOn_ = true;  // off while the files are created
  bool open_ = false;
  bool openedReadOnly_ = false;
  bool rebuildNeeded_ = false;
  bool definitionsLost_ = false;
  // Set while CreateFiles writes the index and BLOB headers, before the data file tells.
  bool creatingEncrypted_ = false;
  bool inTransaction_ = false;
  bool changesWritten_ = false;
  bool changesSeen_ = false;  // by the last reader-lock check
  std::set<uint32_t> locked_;
  // The span of LockRecordSpan, while held (spanFirst_ 0 otherwise).
  uint32_t spanFirst_ = 0, spanLast_ = 0;
  bool InSpan(uint32_t number) const { return spanFirst_ != 0 && number >= spanFirst_ && number <= spanLast_; }
  void ReleaseRecordSpan();
  std::set<uint32_t> deferred_;
  bool readerLock_ = false;
  bool tableLock_ = false;
  bool writerLock_ = false;
  int writerDepth_ = 0;  // WriteLock calls not yet matched by WriteUnlock while writerLock_
  bool transactionLock_ = false;
  uint16_t readerIndexId_ = 0, readerBlobId_ = 0;
  uint16_t tableIndexId_ = 0, tableBlobId_ = 0;
  int lockRetries_ = 8192;
  std::function<bool()> changeCheck_;
  std::array<bool, TTableJournal::kFileCount> unflushed_{};  // written since the last flush
  // While WriteEverything writes a change that starts a journal, its writes are held here (per
  // file, by offset, later bytes over earlier ones) and reach the files after the journal.
  bool deferring_ = false;
  std::array<std::map<int64_t, std::vector<uint8_t>>, TTableJournal::kFileCount> held_;
  void Hold(int file, int64_t offset, const uint8_t* bytes, int64_t count);
  // Makes the held writes after journaling them: with `complete` their new content's hashes
  // end the journal (which the caller then commits without more writes), otherwise the
  // journal is only synced and the operation goes on as usual.
  void WriteHeld(bool complete);
  // Held writes beyond this go out at once (the journal synced first, as without holding): a
  // large commit gains nothing from one sync fewer and would pay for the copies.
  static constexpr int64_t kMostHeld = int64_t{1} << 20;
  int64_t heldBytes_ = 0;
  std::vector<uint32_t> changedPages_;  // noted index pages (may repeat)
  size_t changedPagesSorted_ = 0;       // size after the last removal of repeats
  uint32_t noteLimit_ = 0;              // the index file's end when the noting began
  bool noteLimitSet_ = false;
};

// Finishes an interrupted renaming of a disk table's files (`base`: the old name's full path
// without extension): before its commit point the files already moved go back to the old name.
// Run before the old name's files are opened, made or renamed; waits while that rename is still
// running (in this or another process). Move failures raise.
void RecoverTableRename(const std::string& base);

// The table's in-process lock for a scope.
class TTableGuard {
 public:
  explicit TTableGuard(TDataTable& table) : lock_(table.Mutex()) {}

 private:
  std::lock_guard<std::recursive_mutex> lock_;
};

}  // namespace tovenmarsh::engine
