// Handles, positions and byte-range locks common to disk and memory files (see file_abstract.h).
#include "engine/io/file_abstract.h"

#include <limits>

#include "engine/base/engine_error.h"

namespace tovenmarsh::engine {

int32_t TAbstractFile::OpenCount() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return static_cast<int32_t>(handles_.size());
}

int32_t TAbstractFile::FindHandle(int32_t handle) const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  for (size_t i = 0; i < handles_.size(); ++i)
    if (handles_[i].number == handle) return static_cast<int32_t>(i);
  return -1;
}

TAbstractFile::THandleEntry* TAbstractFile::Entry(int32_t handle) {
  const int32_t index = FindHandle(handle);
  return index < 0 ? nullptr : &handles_[static_cast<size_t>(index)];
}

int32_t TAbstractFile::AddHandle() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  // The smallest number above 0 that no open handle carries.
  int32_t number = 1;
  while (FindHandle(number) >= 0) ++number;
  handles_.push_back(THandleEntry{number, 0});
  return number;
}

int32_t TAbstractFile::CloseHandle(int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  const int32_t index = FindHandle(handle);
  if (index < 0) return -kErrInvalidFileHandle;
  handles_.erase(handles_.begin() + index);
  // Locks belong to the open file; none outlives its last handle.
  if (handles_.empty()) locks_.Clear();
  return 0;
}

int64_t TAbstractFile::Seek(int32_t handle, int64_t offset, int origin) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -1;
  int64_t base = 0;
  switch (origin) {
    case kSeekFromStart:
      base = 0;
      break;
    case kSeekFromCurrent:
      base = entry->position;
      break;
    case kSeekFromEnd:
      base = Size();
      if (base < 0) return -1;
      break;
    default:
      return -1;
  }
  if ((offset > 0 && base > std::numeric_limits<int64_t>::max() - offset) || base + offset < 0)
    return -1;
  entry->position = base + offset;
  return entry->position;
}

int64_t TAbstractFile::ReadAt(int32_t handle, int64_t offset, void* buffer, int64_t count, bool keep) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr || offset < 0) return -kErrInvalidFileHandle;
  entry->position = offset;
  struct TKeepAgain {
    bool& keep;
    ~TKeepAgain() { keep = true; }
  } keepAgain{keepReads_};
  keepReads_ = keep;
  return Read(handle, buffer, count);
}

int64_t TAbstractFile::Position(int32_t handle) const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  const int32_t index = FindHandle(handle);
  return index < 0 ? -1 : handles_[static_cast<size_t>(index)].position;
}

bool TAbstractFile::LockRange(int64_t offset, int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (handles_.empty()) return false;
  return locks_.Lock(offset, length);
}

bool TAbstractFile::UnlockRange(int64_t offset, int64_t length) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (handles_.empty()) return false;
  return locks_.Unlock(offset, length);
}

}  // namespace tovenmarsh::engine
