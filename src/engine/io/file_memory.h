// A table file that lives only in process memory (the "MEMORY" database). Its content survives
// the closing of all handles and lives until the file is deleted, or, when temporary, until its
// last handle closes. The buffer grows in steps of kMemoryFileStep bytes and never shrinks while
// the file lives.
#pragma once

#include <vector>

#include "engine/io/file_abstract.h"

namespace tovenmarsh::engine {

inline constexpr int64_t kMemoryFileStep = 65535;
// Sizes are 32-bit in the table formats; a memory file never grows beyond this.
inline constexpr int64_t kMemoryFileMaxSize = 0x7FFFFFFF;

class TMemoryFile final : public TAbstractFile {
 public:
  TMemoryFile() = default;

  bool IsMemory() const override { return true; }

  int32_t CreateContent() override;
  int32_t OpenHandle() override;
  int32_t Rename(const std::string& newName) override;
  int32_t Delete() override;
  int64_t Read(int32_t handle, void* buffer, int64_t count) override;
  int64_t Write(int32_t handle, const void* buffer, int64_t count) override;
  int64_t Size() const override;
  bool PeekHead(int64_t offset, void* buffer, int64_t count) override;

  int64_t Capacity() const;

 private:
  std::vector<uint8_t> content_;  // its size() is the capacity
  int64_t size_ = 0;
};

}  // namespace tovenmarsh::engine
