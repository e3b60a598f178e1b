// A table file on disk, opened once per process: every handle of the process shares the one
// descriptor (platform/file.h) and keeps its own position. The first open takes the descriptor
// with the sharing of its opener (exclusive or shared, enforced across processes); the last close
// releases it, and deletes a temporary file when no other process holds it open.
//
// The file's first page is also mapped (shared, read-only) while it is open, so that PeekHead
// reads the header counters from the system's page cache, the same bytes a read would return,
// without a system call. The mapping never reaches past the first page, which every table file
// fills in part from its creation on (a header is never cut off), so it cannot fault; where the
// system refuses the mapping, PeekHead answers false and the caller reads.
//
// Reads beyond the first page go through the process's page cache (page_cache.h), except long
// ones (a scan's blocks of records, read once) and reads that ask not to be kept (a scan's next
// leaf), which take what is held but add nothing; writes update the pieces it holds. Every
// table file begins with its header's update counter, which every writer moves when it changes
// the file: the pieces held are those of one counter value, and a read that finds another value
// on the mapped page drops them all first, so a piece read from the cache is what the disk held
// for the counter the reader saw. (This process's own writes update the pieces, and move the
// held value with the counter they write.) A read from offset 0, a header, always goes to the
// file.
#pragma once

#include <atomic>
#include <vector>

#include "engine/io/file_abstract.h"
#include "engine/io/page_cache.h"
#include "platform/file.h"

namespace tovenmarsh::engine {

class TPhysicalFile final : public TAbstractFile {
 public:
  // `cache` may be nullptr (no caching).
  explicit TPhysicalFile(TPageCache* cache = nullptr);
  ~TPhysicalFile() override;

  bool IsMemory() const override { return false; }

  int32_t CreateContent() override;
  int32_t OpenHandle() override;
  int32_t CloseHandle(int32_t handle) override;
  int32_t Rename(const std::string& newName) override;
  int32_t Delete() override;
  int64_t Read(int32_t handle, void* buffer, int64_t count) override;
  int64_t Write(int32_t handle, const void* buffer, int64_t count) override;
  int64_t Size() const override;
  int32_t Flush() override;
  bool PeekHead(int64_t offset, void* buffer, int64_t count) override;

  // The operating-system file (open while OpenCount() > 0).
  const platform::TOsFile& OsFile() const { return os_; }

 private:
  platform::TOsOpenOptions Options() const;
  void AttachLocks();
  void Unmap();
  bool MappedHead(const uint8_t*& head);
  // Drops the held pieces unless they belong to the counter the file shows now; false when the
  // counter cannot be seen without a system call (the cache is then not used).
  bool CacheValid();
  void DropCache();
  int64_t CachedRead(void* buffer, int64_t count, int64_t offset);
  void CacheWritten(const void* buffer, int64_t count, int64_t offset);

  platform::TOsFile os_;
  const uint8_t* head_ = nullptr;  // the mapped first page
  // head_ for PeekHead without the file's lock: set once mapped, cleared before the unmapping,
  // which only comes when no handle (so no handler that could peek) is left.
  std::atomic<const uint8_t*> mappedHead_{nullptr};
  bool headTried_ = false;        // mapping attempted for this opening
  TPageCache* cache_;
  uint32_t cacheId_ = 0;
  bool counterKnown_ = false;  // the held pieces belong to counter_
  uint32_t counter_ = 0;
  // Pieces kept over a close, with the file's stamp at that close: the next opening keeps them
  // only when it finds the file in that same state.
  bool keptOverClose_ = false;
  platform::TFileStamp closedStamp_;
  int64_t nextMiss_ = -1;  // the piece after the last read from the file (sequential reads)
  int64_t readAhead_ = 0;  // pieces read beyond a miss, grown while reads are sequential
  std::vector<uint8_t> runBuffer_;
};

}  // namespace tovenmarsh::engine
