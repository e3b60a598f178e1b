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
#pragma once

#include "engine/io/file_abstract.h"
#include "platform/file.h"

namespace tovenmarsh::engine {

class TPhysicalFile final : public TAbstractFile {
 public:
  TPhysicalFile() = default;
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

  platform::TOsFile os_;
  const uint8_t* head_ = nullptr;  // the mapped first page
  bool headTried_ = false;        // mapping attempted for this opening
};

}  // namespace tovenmarsh::engine
