// One table file shared by every handler of the process that opens it: on disk
// (TPhysicalFile) or in process memory (TMemoryFile). The file list (file_list.h) keeps exactly
// one object per name and kind and calls into it under its own lock; handlers reach the file
// through the handle number the open gave them.
//
// Contract: every open holds a handle entry with its own position, so two handlers never move
// each other's position; reads and writes go to the handle's position and advance it; a write of
// 0 bytes sets the end of the file at that position. Byte-range locks of one process conflict
// with each other whichever handler took them (platform/byte_range_lock.h). Results are counts
// or handle numbers, or negative engine error codes; nothing here raises.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/byte_range_lock.h"

namespace tovenmarsh::engine {

class TFileList;

// Seek origins.
inline constexpr int kSeekFromStart = 0;
inline constexpr int kSeekFromCurrent = 1;
inline constexpr int kSeekFromEnd = 2;

// Copies move data in chunks of this many bytes.
inline constexpr int64_t kFileCopyChunk = 65535;

// The leading bytes of a file that PeekHead can look at (they hold every table file's header
// update counter).
inline constexpr int64_t kFileHeadSize = 4096;

class TAbstractFile {
 public:
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;
  virtual ~TAbstractFile() = default;

  virtual bool IsMemory() const = 0;

  // Name as the first creator or opener spelled it (trimmed); Key() is its identity in the list.
  const std::string& Name() const { return name_; }
  const std::string& Key() const { return key_; }

  bool Exclusive() const { return exclusive_; }
  bool ReadOnly() const { return readOnly_; }
  bool OpenedReadOnly() const { return openedReadOnly_; }
  bool Temporary() const { return temporary_; }
  bool WriteThrough() const { return writeThrough_; }
  bool Sequential() const { return sequential_; }
  int32_t OpenCount() const;

  // The file's critical section (recursive): a handler's BeginAccess and EndAccess, so that a
  // seek and the read or write after it are not interleaved with another thread's.
  void Enter() { mutex_.lock(); }
  void Leave() { mutex_.unlock(); }

  // Index of the handle entry with this number, or -1.
  int32_t FindHandle(int32_t handle) const;

  // New, empty content with one handle: the handle number, or -code.
  virtual int32_t CreateContent() = 0;
  // One more handle (the first one opens the file): the handle number, or -code.
  virtual int32_t OpenHandle() = 0;
  // Removes the handle; the last one closes the file. 0 or -code.
  virtual int32_t CloseHandle(int32_t handle);
  // Renames or deletes the closed file. 0 or -code.
  virtual int32_t Rename(const std::string& newName) = 0;
  virtual int32_t Delete() = 0;

  // At the handle's position, which advances. Bytes, or -code.
  virtual int64_t Read(int32_t handle, void* buffer, int64_t count) = 0;
  virtual int64_t Write(int32_t handle, const void* buffer, int64_t count) = 0;
  // A seek to offset and a read under one lock (the handle's position ends after the bytes).
  // Without `keep` a disk file adds nothing to the page cache for this read.
  int64_t ReadAt(int32_t handle, int64_t offset, void* buffer, int64_t count, bool keep = true);
  // Copies count bytes at offset, all within the first kFileHeadSize bytes and the file, as every
  // opener of the file sees them now, without a system call where the file allows it: the check
  // for other users' changes looks at a header counter on every cache miss. False when there is
  // no such cheap look (the caller reads instead); the handle's position is not touched.
  virtual bool PeekHead(int64_t offset, void* buffer, int64_t count) {
    (void)offset;
    (void)buffer;
    (void)count;
    return false;
  }
  // origin kSeekFromStart, kSeekFromCurrent or kSeekFromEnd. The new position, or -1 (position
  // unchanged) for an unknown handle or origin, or a position below 0.
  int64_t Seek(int32_t handle, int64_t offset, int origin);
  // The handle's position, or -1 for an unknown handle.
  int64_t Position(int32_t handle) const;
  // Current size in bytes, or -code.
  virtual int64_t Size() const = 0;
  // File buffers to the device (disk files). 0 or -code.
  virtual int32_t Flush() { return 0; }

  // Non-waiting byte-range locks: true on success.
  bool LockRange(int64_t offset, int64_t length);
  bool UnlockRange(int64_t offset, int64_t length);
  size_t LockCount() const { return locks_.Count(); }

 protected:
  TAbstractFile() = default;

  struct THandleEntry {
    int32_t number;
    int64_t position;
  };

  // Appends a handle entry at position 0 with a number unique among the open handles.
  int32_t AddHandle();
  // Under mutex_: the entry of a handle, or nullptr.
  THandleEntry* Entry(int32_t handle);

  mutable std::recursive_mutex mutex_;
  std::string name_;
  std::string key_;
  bool exclusive_ = false;
  bool readOnly_ = false;
  bool openedReadOnly_ = false;
  bool temporary_ = false;
  bool writeThrough_ = false;
  bool sequential_ = false;
  std::vector<THandleEntry> handles_;
  platform::TByteRangeLockTable locks_;
  // False while a read under ReadAt must leave the page cache as it is (set under mutex_).
  bool keepReads_ = true;

  friend class TFileList;
};

}  // namespace tovenmarsh::engine
