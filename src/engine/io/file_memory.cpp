// A table file in process memory (see file_memory.h).
#include "engine/io/file_memory.h"

#include <cstring>
#include <new>

#include "engine/base/engine_error.h"

namespace tovenmarsh::engine {

int32_t TMemoryFile::CreateContent() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -kErrAccessDenied;
  size_ = 0;
  readOnly_ = false;
  openedReadOnly_ = false;
  return AddHandle();
}

int32_t TMemoryFile::OpenHandle() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return AddHandle();
}

int32_t TMemoryFile::Rename(const std::string& newName) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -kErrAccessDenied;
  (void)newName;  // only the stored name changes, which the file list does
  return 0;
}

int32_t TMemoryFile::Delete() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -kErrAccessDenied;
  std::vector<uint8_t>().swap(content_);
  size_ = 0;
  return 0;
}

int64_t TMemoryFile::Read(int32_t handle, void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -kErrInvalidFileHandle;
  if (count <= 0 || entry->position < 0 || entry->position >= size_) return 0;
  const int64_t available = size_ - entry->position;
  const int64_t n = count < available ? count : available;
  std::memcpy(buffer, content_.data() + entry->position, static_cast<size_t>(n));
  entry->position += n;
  return n;
}

int64_t TMemoryFile::Write(int32_t handle, const void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -kErrInvalidFileHandle;
  if (count < 0) return 0;
  const int64_t position = entry->position;
  if (count == 0) {
    // Setting the end of the file; content beyond it is dropped, the buffer keeps its capacity.
    if (position > kMemoryFileMaxSize) return -kErrInvalidMemoryTableLength;
    if (position > static_cast<int64_t>(content_.size())) {
      const int64_t steps = (position + kMemoryFileStep - 1) / kMemoryFileStep;
      try {
        content_.resize(static_cast<size_t>(steps * kMemoryFileStep), 0);
      } catch (const std::bad_alloc&) {
        return -kErrOutOfMemory;
      }
    }
    // Bytes past the end are kept zero, so a later extension never shows stale content.
    if (position < size_)
      std::memset(content_.data() + position, 0, static_cast<size_t>(size_ - position));
    else if (position > size_)
      std::memset(content_.data() + size_, 0, static_cast<size_t>(position - size_));
    size_ = position;
    return 0;
  }
  if (count > kMemoryFileMaxSize - position) return -kErrInvalidMemoryTableLength;
  const int64_t end = position + count;
  if (end > static_cast<int64_t>(content_.size())) {
    const int64_t steps = (end + kMemoryFileStep - 1) / kMemoryFileStep;
    try {
      content_.resize(static_cast<size_t>(steps * kMemoryFileStep), 0);
    } catch (const std::bad_alloc&) {
      return -kErrOutOfMemory;
    }
  }
  // A write beyond the end leaves zeros in the gap, as a disk file does.
  if (position > size_)
    std::memset(content_.data() + size_, 0, static_cast<size_t>(position - size_));
  std::memcpy(content_.data() + position, buffer, static_cast<size_t>(count));
  if (end > size_) size_ = end;
  entry->position = end;
  return count;
}

bool TMemoryFile::PeekHead(int64_t offset, void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (offset < 0 || count < 0 || offset + count > kFileHeadSize || offset + count > size_) return false;
  std::memcpy(buffer, content_.data() + offset, static_cast<size_t>(count));
  return true;
}

int64_t TMemoryFile::Size() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return size_;
}

int64_t TMemoryFile::Capacity() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return static_cast<int64_t>(content_.size());
}

}  // namespace tovenmarsh::engine
