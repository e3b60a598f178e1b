// The rollback journal of a disk table: a sidecar file "<table>.JNL" that makes every write
// operation on the table's three files atomic across a crash, without changing their formats.
//
// Before a byte of a table file that existed when the operation began is overwritten, its old
// content is appended to the journal and the journal synced; the first write to a file also
// records the file's original size. When the operation ends the files are synced and the
// journal deleted (Commit). A failed operation, or a journal found after a crash, is rolled
// back (Rollback): the old bytes are written back, the files cut to their original sizes, and
// the journal deleted. Records carry a checksum; a torn last record (a crash while journaling)
// was never followed by the write it protects and is ignored.
//
// Contract: only the holder of the table's writer lock (or of an exclusive table) writes or
// rolls back the journal; memory and temporary tables have none. Journal failures raise 9218
// (write) or 9217 (read) with the journal's name.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>

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
  bool Exists() const;

  // Saves what a write of `count` bytes at the handler's position (0: a truncation) would
  // destroy. The handler's position is kept.
  void BeforeWrite(int file, TFileHandler& handler, int64_t count);
  // Syncs the files and deletes the journal (nothing when no journal is open).
  void Commit(const std::array<TFileHandler*, kFileCount>& files);
  // Writes the saved bytes back, cuts the files to their original sizes, syncs them and deletes
  // the journal. Works from the journal on disk, so it also repairs another process's crash.
  // True when a journal was applied.
  bool Rollback(const std::array<TFileHandler*, kFileCount>& files);
  // Deletes the journal without applying it (the table's files are being deleted).
  void Remove();

 private:
  void Open();
  void Append(uint8_t kind, uint8_t file, int64_t offset, const uint8_t* bytes, uint32_t length);
  void Close();
  void RaiseWrite() const;

  std::string path_;      // engine spelling
  std::string diskPath_;  // canonical on-disk path
  int fd_ = -1;
  int64_t end_ = 0;
  bool applying_ = false;
  std::array<int64_t, kFileCount> originalSize_{};
  std::array<bool, kFileCount> sizeKnown_{};
  std::array<std::map<int64_t, int64_t>, kFileCount> saved_;  // journaled ranges [start, end)
  // Exists runs at every lock: it looks for the canonical spelling (one stat) each time, and
  // for another spelling (a directory scan) only once, since the engine never makes one.
  mutable bool scanned_ = false;
  mutable bool otherSpelling_ = false;
};

}  // namespace tovenmarsh::engine
