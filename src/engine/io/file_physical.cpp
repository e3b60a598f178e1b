// A disk file opened once per process (see file_physical.h).
#include "engine/io/file_physical.h"

#include <cstring>

#include "engine/base/engine_error.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {

TPhysicalFile::~TPhysicalFile() {
  Unmap();
  locks_.Detach();
  os_.Close();
}

void TPhysicalFile::Unmap() {
  platform::UnmapForReading(head_, static_cast<size_t>(kFileHeadSize));
  head_ = nullptr;
  headTried_ = false;
}

bool TPhysicalFile::PeekHead(int64_t offset, void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (offset < 0 || count < 0 || offset + count > kFileHeadSize || !os_.IsOpen()) return false;
  if (head_ == nullptr) {
    if (headTried_) return false;
    // Only a file that already holds a header: a mapped page wholly beyond the end would fault.
    if (os_.Size() < offset + count) return false;
    headTried_ = true;
    head_ = platform::MapForReading(os_.Descriptor(), static_cast<size_t>(kFileHeadSize));
    if (head_ == nullptr) return false;
  }
  std::memcpy(buffer, head_ + offset, static_cast<size_t>(count));
  return true;
}

platform::TOsOpenOptions TPhysicalFile::Options() const {
  platform::TOsOpenOptions options;
  options.exclusive = exclusive_;
  options.writeThrough = writeThrough_;
  options.sequential = sequential_;
  return options;
}

void TPhysicalFile::AttachLocks() { locks_.Attach(os_.Descriptor(), os_.ReadOnly()); }

int32_t TPhysicalFile::CreateContent() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -kErrAccessDenied;
  // A created file is left in place at its last close unless it is temporary.
  platform::TOsOpenOptions options = Options();
  options.deleteOnClose = temporary_;
  Unmap();
  const int result = os_.Create(name_, options);
  if (result < 0) return result;
  readOnly_ = false;
  openedReadOnly_ = false;
  AttachLocks();
  return AddHandle();
}

int32_t TPhysicalFile::OpenHandle() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (handles_.empty()) {
    platform::TOsOpenOptions options = Options();
    options.deleteOnClose = temporary_;
    const int result = os_.Open(name_, options);
    if (result < 0) return result;
    readOnly_ = os_.ReadOnly();
    openedReadOnly_ = readOnly_;
    AttachLocks();
  }
  return AddHandle();
}

int32_t TPhysicalFile::CloseHandle(int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  const int32_t result = TAbstractFile::CloseHandle(handle);
  if (result == 0 && handles_.empty()) {
    Unmap();
    locks_.Detach();
    os_.Close();
  }
  return result;
}

int32_t TPhysicalFile::Rename(const std::string& newName) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -kErrAccessDenied;
  return platform::RenameFileOnDisk(name_, newName);
}

int32_t TPhysicalFile::Delete() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -kErrAccessDenied;
  return platform::DeleteFileOnDisk(name_);
}

int64_t TPhysicalFile::Read(int32_t handle, void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -kErrInvalidFileHandle;
  if (count <= 0) return 0;
  const int64_t got = os_.ReadAt(buffer, count, entry->position);
  if (got > 0) entry->position += got;
  return got;
}

int64_t TPhysicalFile::Write(int32_t handle, const void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -kErrInvalidFileHandle;
  if (count < 0) return 0;
  if (count == 0) {
    if (readOnly_) return -kErrAccessDenied;
    const int result = os_.SetSize(entry->position);
    return result < 0 ? result : 0;
  }
  if (readOnly_) return -kErrAccessDenied;
  const int64_t put = os_.WriteAt(buffer, count, entry->position);
  if (put > 0) entry->position += put;
  return put;
}

int64_t TPhysicalFile::Size() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return os_.Size();
}

int32_t TPhysicalFile::Flush() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!os_.IsOpen()) return -kErrInvalidFileHandle;
  return os_.Sync();
}

}  // namespace tovenmarsh::engine
