// The journal of a disk table: a sidecar file "<table>.JNL" that makes every write operation on
// the table's three files atomic and durable across a crash, without changing their formats.
//
// Most operations know all their writes before making any (a commit, a single-row change):
// they journal their new content, end with a commit record, sync the journal once (the commit
// point) and then write the files without syncing them. The old bytes they overwrite stay in
// memory: a crash before the commit point finds the files untouched, and an operation that
// fails after it journals them then, to be undone with them. A mark after those writes (in the
// journal's header) tells other users that the files hold every finished operation. The
// journal keeps the operations of several commits, one after another, until it has grown past
// kCheckpointBytes or the table's last user closes it: the files are then synced and the
// journal emptied (a checkpoint: a new header, the next operations written over the old ones,
// whose length the file keeps). A journal that lacks the mark (its writer died while writing
// the files), or whose mark was made in an earlier boot of the system (whose cache may have
// lost writes that were never synced), is repaired before the files are read or written: the
// finished operations are written again in order, an unfinished last one is undone with its old
// bytes, the files are synced and the journal deleted.
//
// An operation that cannot hold its writes (too large, or writing as it goes) saves the old
// bytes of each write first, synced before it (BeforeWrite, or Save then Sync); when it ends the
// files are synced and the journal emptied with a sync of its own, finished operations before it
// included.
//
// Each journal starts with a random salt that every record's checksum includes: an emptying
// that was never synced may leave the records of older operations behind new ones, and those
// no longer count. A torn last record (a crash while journaling) was never followed by the
// write it protects and is ignored.
//
// Contract: only the holder of the table's writer lock (or of an exclusive table) writes,
// checkpoints or repairs the journal; memory and temporary tables have none. Journal failures
// raise 9218 (write) or 9217 (read) with the journal's name.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tovenmarsh::engine {

class TFileHandler;

class TTableJournal {
 public:
  static constexpr int kFileCount = 3;  // data, index, BLOB
  // Finished operations kept before their files are synced and the journal emptied.
  static constexpr int64_t kCheckpointBytes = int64_t{4} << 20;

  // `path` is the journal's engine file name (its on-disk spelling is derived from it).
  explicit TTableJournal(std::string path);
  ~TTableJournal();
  TTableJournal(const TTableJournal&) = delete;
  TTableJournal& operator=(const TTableJournal&) = delete;

  const std::string& Path() const { return path_; }
  // An operation of this object is being journaled.
  bool Active() const { return fd_ >= 0; }
  // The journal on disk must be repaired (Rollback) before the files are used: its last
  // operation may be only partly written to the files, or the files may have lost finished
  // operations in a crash of the system. A journal of finished operations written in this boot
  // does not count.
  bool Exists() const;
  // Anything is journaled on disk (finished operations too).
  bool HasContent() const;

  // Saves what a write of `count` bytes at the handler's position (0: a truncation) would
  // destroy, synced before it returns. The handler's position is kept.
  void BeforeWrite(int file, TFileHandler& handler, int64_t count);
  // Saves what a later write of `count` bytes (above 0) at `offset` would destroy, without
  // syncing: nothing may be written to the table files before the next Sync. The handler's
  // position is kept; the caller holds the handler's file access.
  void Save(int file, TFileHandler& handler, int64_t offset, int64_t count);
  // Puts everything saved so far on disk (the journal, and its directory entry once).
  void Sync();
  // A range an operation is about to write, with its new content.
  struct TNewRange {
    int file;
    int64_t offset;
    int64_t length;
    const uint8_t* bytes;
  };
  // Ends the journal of an operation whose writes are all known before any is made: their new
  // content and a commit record go after the old bytes, under the one sync this makes. From
  // then on the operation stands: found after a crash, its writes are made again.
  void Complete(const std::vector<TNewRange>& ranges);
  // The active operation ended with Complete.
  bool Completed() const { return completed_; }
  // The active operation has put records on disk (so its files may have been written).
  bool Written() const { return end_ > opStart_ || unsynced_; }
  // The journal held finished operations before the active one: their files may not be synced.
  bool HoldsEarlier() const { return earlier_; }
  // Ends the active operation (nothing when none). A completed one is marked as written to the
  // files; true when the journal has grown enough for a checkpoint. Any other that wrote has
  // its files synced (those given here, or by the caller before; all of them with
  // HoldsEarlier), then the journal is emptied and synced.
  bool Commit(const std::array<TFileHandler*, kFileCount>& files);
  // Empties a journal of finished operations whose files the caller has synced. Needs no sync:
  // should the emptying be lost, the operations found again are written again, as they are.
  void Checkpoint();
  // Repairs the files from the journal on disk (see above) and deletes the journal; the files
  // are synced. An active operation of this object is undone: it failed. True when a journal
  // was applied.
  bool Rollback(const std::array<TFileHandler*, kFileCount>& files);
  // Deletes the journal file without applying it (the table's files are being deleted,
  // renamed, or closed by their only user after a sync).
  void Remove();

 private:
  // What the journal on disk holds: nothing (or missing), finished operations all written (in
  // this boot), or something to repair.
  enum class TDiskState { Missing, Empty, Written, Repair };
  TDiskState Inspect() const;
  void Open();
  // Starts an operation's records.
  void Begin();
  // Adds a record to the pending bytes, which Sync writes in one go; old bytes and sizes to
  // the held ones while they are held.
  void Append(uint8_t kind, uint8_t file, int64_t offset, const uint8_t* bytes, uint32_t length);
  // Moves the held old bytes to the pending ones, and stops holding them for this operation.
  void SpillUndo();
  // Writes the pending records and syncs them (and a new journal's name).
  void WriteAndSync();
  void Close();
  void RaiseWrite() const;
  // The journal's on-disk path: the canonical spelling, or another one found once.
  std::string FoundPath() const;

  std::string path_;      // engine spelling
  std::string diskPath_;  // canonical on-disk path
  int fd_ = -1;
  uint64_t salt_ = 0;
  int64_t end_ = 0;                // bytes on disk
  int64_t opStart_ = 0;            // end_ when the active operation began
  int64_t synced_ = 0;             // bytes on disk and synced
  std::vector<uint8_t> pending_;   // records not yet written
  // The active operation's old bytes and sizes, formatted: kept in memory while only Complete
  // may follow (which needs none on disk), put before the pending records by Sync.
  std::vector<uint8_t> undo_;
  bool holdUndo_ = true;
  bool directoryUnsynced_ = false;  // a new journal's entry is not yet on disk
  bool unsynced_ = false;           // records (perhaps) written but not yet synced
  bool entryDurable_ = false;       // the file's directory entry was synced by this object
  bool applying_ = false;
  bool completed_ = false;  // Complete ended the active operation
  bool earlier_ = false;    // finished operations lie before the active one
  std::array<int64_t, kFileCount> originalSize_{};
  std::array<bool, kFileCount> sizeKnown_{};
  std::array<std::map<int64_t, int64_t>, kFileCount> saved_;  // journaled ranges [start, end)
  // Exists runs at every lock: it looks for the canonical spelling each time, and for another
  // spelling (a directory scan) only once, since the engine never makes one.
  mutable bool scanned_ = false;
  mutable bool otherSpelling_ = false;
};

}  // namespace tovenmarsh::engine
