// The rollback journal of a disk table: a sidecar file "<table>.JNL" that makes every write
// operation on the table's three files atomic across a crash, without changing their formats.
//
// Before a byte of a table file that existed when the operation began is overwritten, its old
// content is appended to the journal and the journal synced; the first write to a file also
// records the file's original size. An operation that knows what it will overwrite saves all
// of it first (Save) and syncs once (Sync), so that its writes find their old bytes saved and
// need no sync of their own. When the operation ends the files are synced and the journal
// emptied and synced (Commit); the empty file stays for the next operation (an empty journal
// holds nothing to undo, and Exists answers false for it). An operation that knows all its
// writes before making any ends its journal with their ranges and the hashes of their new
// content (Complete, under the same one sync): its emptying then needs no sync, since a
// completed journal found after a crash stands when the files hold all of that content. A failed operation, or a journal
// found after a crash, is rolled back (Rollback): the old bytes are written back, the files cut
// to their original sizes, and the journal deleted. Records carry a checksum; a torn last
// record (a crash while journaling) was never followed by the write it protects and is ignored.
//
// Contract: only the holder of the table's writer lock (or of an exclusive table) writes or
// rolls back the journal; memory and temporary tables have none. Journal failures raise 9218
// (write) or 9217 (read) with the journal's name.
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

  // `path` is the journal's engine file name (its on-disk spelling is derived from it).
  explicit TTableJournal(std::string path);
  ~TTableJournal();
  TTableJournal(const TTableJournal&) = delete;
  TTableJournal& operator=(const TTableJournal&) = delete;

  const std::string& Path() const { return path_; }
  bool Active() const { return fd_ >= 0; }
  // A journal with something to undo is on disk (an empty one does not count).
  bool Exists() const;

  // Saves what a write of `count` bytes at the handler's position (0: a truncation) would
  // destroy, synced before it returns. The handler's position is kept.
  void BeforeWrite(int file, TFileHandler& handler, int64_t count);
  // Saves what a later write of `count` bytes (above 0) at `offset` would destroy, without
  // syncing: nothing may be written to the table files before the next Sync. The handler's
  // position is kept; the caller holds the handler's file access.
  void Save(int file, TFileHandler& handler, int64_t offset, int64_t count);
  // Puts everything saved so far on disk (the journal, and its directory entry once).
  void Sync();
  // A range an operation is about to write, with a hash of its new content.
  struct TNewRange {
    int file;
    int64_t offset;
    int64_t length;
    uint64_t hash;
  };
  static uint64_t HashBytes(const uint8_t* p, size_t n);
  // Ends the journal of an operation whose writes are all known before any is made: their
  // ranges and new content's hashes go with the old bytes, under the one sync this makes. A
  // journal so ended needs no sync when emptied: found after a crash, it is undone only when
  // the files do not hold every range's new content (once they do, the files are synced and
  // the operation stands).
  void Complete(const std::vector<TNewRange>& ranges);
  // Syncs the files and empties the journal (nothing when no journal is open); the emptying is
  // synced too unless the journal was completed.
  void Commit(const std::array<TFileHandler*, kFileCount>& files);
  // Writes the saved bytes back, cuts the files to their original sizes, syncs them and deletes
  // the journal. Works from the journal on disk, so it also repairs another process's crash:
  // with `keepDone`, a completed journal whose new content the files all hold is only deleted
  // (after the files are synced). True when a journal was applied or deleted so.
  bool Rollback(const std::array<TFileHandler*, kFileCount>& files, bool keepDone = false);
  // Deletes the journal file without applying it (the table's files are being deleted,
  // renamed, or closed by their only user).
  void Remove();

 private:
  void Open();
  // Adds a record to the pending bytes, which Sync writes in one go.
  void Append(uint8_t kind, uint8_t file, int64_t offset, const uint8_t* bytes, uint32_t length);
  void Close();
  void RaiseWrite() const;

  std::string path_;      // engine spelling
  std::string diskPath_;  // canonical on-disk path
  int fd_ = -1;
  int64_t end_ = 0;                // bytes on disk
  std::vector<uint8_t> pending_;   // records not yet written
  bool directoryUnsynced_ = false;  // a new journal's entry is not yet on disk
  bool unsynced_ = false;           // records written but not yet synced
  bool entryDurable_ = false;       // the file's directory entry was synced by this object
  bool applying_ = false;
  bool completed_ = false;  // Complete ended the open journal
  std::array<int64_t, kFileCount> originalSize_{};
  std::array<bool, kFileCount> sizeKnown_{};
  std::array<std::map<int64_t, int64_t>, kFileCount> saved_;  // journaled ranges [start, end)
  // Exists runs at every lock: it looks for the canonical spelling (one stat) each time, and
  // for another spelling (a directory scan) only once, since the engine never makes one.
  mutable bool scanned_ = false;
  mutable bool otherSpelling_ = false;
};

}  // namespace tovenmarsh::engine
