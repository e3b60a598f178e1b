// Byte-range locks over open-file-description locks, with the process's own table on top
// (see byte_range_lock.h).
#include "platform/byte_range_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iterator>

namespace tovenmarsh::platform {
namespace {

// One non-waiting OFD lock request; 0 or errno.
int OfdLock(int fd, short type, int64_t start, int64_t length) {
  struct flock request {};
  request.l_type = type;
  request.l_whence = SEEK_SET;
  request.l_start = static_cast<off_t>(start);
  request.l_len = static_cast<off_t>(length);
  request.l_pid = 0;  // required for OFD locks
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &request) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

}  // namespace

bool TakeShareLock(int fd, bool exclusive, int* error) {
  const int result = OfdLock(fd, exclusive ? F_WRLCK : F_RDLCK, kShareLockOffset, 1);
  if (error != nullptr) *error = result == EACCES ? EAGAIN : result;
  return result == 0;
}

bool NoOtherOpener(int fd) {
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = static_cast<off_t>(kShareLockOffset);
  probe.l_len = 1;
  probe.l_pid = 0;
  // F_OFD_GETLK ignores this descriptor's own locks and needs no write access.
  if (fcntl(fd, F_OFD_GETLK, &probe) != 0) return false;
  return probe.l_type == F_UNLCK;
}

void TByteRangeLockTable::Attach(int fd, bool readOnly) {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.clear();
  fd_ = fd;
  readOnly_ = readOnly;
}

void TByteRangeLockTable::Detach() {
  std::lock_guard<std::mutex> guard(mutex_);
  entries_.clear();
  fd_ = -1;
  readOnly_ = false;
}

bool TByteRangeLockTable::Lock(int64_t start, int64_t length) {
  if (start < 0 || length < 1 || start > kMaxLockEnd || length > kMaxLockEnd - start + 1)
    return false;
  const int64_t end = start + length - 1;
  std::lock_guard<std::mutex> guard(mutex_);
  auto after = entries_.upper_bound(end);
  if (after != entries_.begin() && std::prev(after)->second.end >= start) return false;
  if (fd_ >= 0 && OfdLock(fd_, readOnly_ ? F_RDLCK : F_WRLCK, start, length) != 0) return false;
  entries_.emplace_hint(after, start, Entry{end, length});
  return true;
}

bool TByteRangeLockTable::Unlock(int64_t start, int64_t length) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = entries_.find(start);
  if (it == entries_.end() || it->second.length != length) return false;
  // The process's ranges never overlap, so releasing this one leaves the others intact.
  if (fd_ >= 0 && OfdLock(fd_, F_UNLCK, start, length) != 0) return false;
  entries_.erase(it);
  return true;
}

void TByteRangeLockTable::Clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (fd_ >= 0)
    for (const auto& [start, entry] : entries_) OfdLock(fd_, F_UNLCK, start, entry.length);
  entries_.clear();
}

size_t TByteRangeLockTable::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return entries_.size();
}

}  // namespace tovenmarsh::platform
