// Non-waiting byte-range locks on table files, within the process and between processes.
//
// Between processes the locks are open-file-description locks (fcntl F_OFD_SETLK): they belong
// to the descriptor, not to the process, so they survive other descriptors of the same file being
// closed and they conflict between two descriptors even inside one process. Within the process
// the engine opens each physical file once and shares that descriptor among all its handlers, so
// the kernel cannot tell two handlers apart; TByteRangeLockTable keeps the process's own list and
// refuses any overlap, whichever handler took the range. Memory files use the table alone.
//
// Exclusive opens are emulated with one share byte beyond every offset the engine reads, writes or
// locks: a shared opener holds a read lock on it, an exclusive opener a write lock, so an
// exclusive opener excludes every other opener and any opener excludes an exclusive one, in any
// process. Deleting, renaming or re-creating a file takes the write lock first, so a file that
// another process holds open is never removed or emptied under it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

namespace tovenmarsh::platform {

// The share byte. Table files never exceed 2 GiB and their lock bytes end at 2^32 - 1.
inline constexpr int64_t kShareLockOffset = int64_t{1} << 40;

// Largest lock end a caller may ask for (everything below the share byte).
inline constexpr int64_t kMaxLockEnd = kShareLockOffset - 1;

// Takes this descriptor's share byte: exclusive = write lock (refused while any other descriptor,
// here or elsewhere, holds the file open), shared = read lock (refused while an exclusive opener
// exists). Also converts a lock already held. A descriptor opened read-only can only take the
// read lock; an exclusive request on it is refused with `EBADF` in `*error`.
// Returns true on success; false with `*error` = EAGAIN when refused by another opener.
bool TakeShareLock(int fd, bool exclusive, int* error = nullptr);

// True when no other descriptor holds the file open (works on read-only descriptors too).
bool NoOtherOpener(int fd);

// The process's byte-range locks on one file (see the module comment). Thread-safe.
class TByteRangeLockTable {
 public:
  TByteRangeLockTable() = default;
  TByteRangeLockTable(const TByteRangeLockTable&) = delete;
  TByteRangeLockTable& operator=(const TByteRangeLockTable&) = delete;

  // Routes locks to a descriptor as well (physical files). Read-only descriptors take read locks,
  // which still exclude writers' write locks. Detach forgets the descriptor and every entry: the
  // caller closes it afterwards, which releases the kernel's locks.
  void Attach(int fd, bool readOnly);
  void Detach();

  // Locks bytes [start, start + length - 1]. Refused (false) when length < 1, start < 0, the end
  // lies beyond kMaxLockEnd, the range overlaps any range this process holds on the file, or
  // another process holds an overlapping lock.
  bool Lock(int64_t start, int64_t length);

  // Releases the first entry with exactly this start and length; false when there is none.
  bool Unlock(int64_t start, int64_t length);

  // Forgets every entry (releases the kernel locks too while attached).
  void Clear();

  size_t Count() const;

 private:
  struct Entry {
    int64_t end;  // start + length - 1, computed in 64 bits
    int64_t length;
  };
  mutable std::mutex mutex_;
  // Keyed by start. The ranges never overlap, so the only candidate for a conflict is the
  // last range starting at or before a request's end: Lock and Unlock are O(log n).
  std::map<int64_t, Entry> entries_;
  int fd_ = -1;
  bool readOnly_ = false;
};

}  // namespace tovenmarsh::platform
