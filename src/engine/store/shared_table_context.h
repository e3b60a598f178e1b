// What a table's data, index and BLOB files ask of the table that owns them.
//
// The files cache records, pages and blocks; whether a cache miss may first look for other
// users' changes, whether a full cache may be written out, and whether it must grow instead
// depend on the table's lock and transaction state, which the owning table reports here.
#pragma once

#include <cstdint>

namespace tovenmarsh::engine {

class TFileHandler;

// The table files, as the owner's journal numbers them.
inline constexpr int kJournalDataFile = 0;
inline constexpr int kJournalIndexFile = 1;
inline constexpr int kJournalBlobFile = 2;

class TTableFilesOwner {
 public:
  virtual ~TTableFilesOwner() = default;
  // Changes stay in the caches until commit; caches grow instead of being written.
  virtual bool InTransaction() const = 0;
  // The writer or the transaction lock is held: nobody else can change the files, so a cache
  // miss never needs to look for other users' changes.
  virtual bool HoldsWriteLock() const = 0;
  virtual bool StrictChangeDetection() const = 0;
  virtual bool Encrypted() const = 0;
  // A file wrote changes (the table's "changes written" flag).
  virtual void MarkFilesWritten() = 0;
  // The change check of a cache miss: true when other users changed the table, in which case
  // the caches were resynchronised and the caller restarts its operation.
  virtual bool ChangedOnDisk() = 0;
  // Called before a write of `count` bytes (0: a truncation) at the handler's position, so
  // that the owner can save what the write destroys. True when the owner takes the bytes to
  // write them later itself: the file then only moves its position past them.
  virtual bool BeforeWrite(int file, TFileHandler& handler, const void* bytes, int64_t count) {
    (void)file;
    (void)handler;
    (void)bytes;
    (void)count;
    return false;
  }
  // Writes are being held by the owner (BeforeWrite takes them) rather than going out at once.
  virtual bool HoldsWrites() const { return false; }
};

}  // namespace tovenmarsh::engine
