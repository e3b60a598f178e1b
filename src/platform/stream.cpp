#include "platform/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/file_system.h"

namespace tovenmarsh::platform {
namespace {

int64_t Resolve(int64_t offset, SeekOrigin origin, int64_t current, int64_t size) {
  int64_t base = 0;
  switch (origin) {
    case SeekOrigin::Beginning: base = 0; break;
    case SeekOrigin::Current: base = current; break;
    case SeekOrigin::End: base = size; break;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0)
    throw EStreamError("Invalid stream position");
  return target;
}

}  // namespace

int64_t TStream::Size() {
  const int64_t here = Position();
  const int64_t end = Seek(0, SeekOrigin::End);
  Seek(here, SeekOrigin::Beginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, size_t count) {
  if (count != 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, size_t count) {
  if (count != 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count == 0) {
    source.SetPosition(0);
    count = source.Size();
  }
  if (count < 0) throw EStreamError("Invalid stream position");
  char chunk[64 * 1024];
  int64_t left = count;
  while (left > 0) {
    const size_t n = static_cast<size_t>(std::min<int64_t>(left, sizeof chunk));
    source.ReadBuffer(chunk, n);
    WriteBuffer(chunk, n);
    left -= static_cast<int64_t>(n);
  }
  return count;
}

// ---- TMemoryStream

size_t TMemoryStream::Read(void* buffer, size_t count) {
  const int64_t size = Size();
  if (position_ >= size || count == 0) return 0;
  const size_t n = static_cast<size_t>(std::min<int64_t>(size - position_, static_cast<int64_t>(count)));
  std::memcpy(buffer, data_.data() + position_, n);
  position_ += static_cast<int64_t>(n);
  return n;
}

size_t TMemoryStream::Write(const void* buffer, size_t count) {
  if (count == 0) return 0;
  const size_t end = static_cast<size_t>(position_) + count;
  if (end > data_.size()) data_.resize(end, '\0');
  std::memcpy(data_.data() + position_, buffer, count);
  position_ = static_cast<int64_t>(end);
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, SeekOrigin origin) {
  position_ = Resolve(offset, origin, position_, Size());
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  if (size < 0) throw EStreamError("Invalid stream size");
  data_.resize(static_cast<size_t>(size), '\0');
  if (position_ > size) position_ = size;
}

void TMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  position_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  const int64_t size = source.Size();
  std::string bytes(static_cast<size_t>(size), '\0');
  source.ReadBuffer(bytes.data(), bytes.size());
  data_ = std::move(bytes);
  position_ = 0;
}

void TMemoryStream::SaveToStream(TStream& target) { target.WriteBuffer(data_.data(), data_.size()); }

void TMemoryStream::LoadFromFile(const std::string& path) {
  TFileStream file(path, fmOpenRead);
  LoadFromStream(file);
}

void TMemoryStream::SaveToFile(const std::string& path) {
  TFileStream file(path, fmCreate);
  SaveToStream(file);
}

// ---- TFileStream

TFileStream::TFileStream(const std::string& path, uint32_t mode) : path_(path) {
  int flags = O_CLOEXEC;
  if (mode == fmCreate) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 0x3) {
      case fmOpenWrite: flags |= O_WRONLY; break;
      case fmOpenReadWrite: flags |= O_RDWR; break;
      default: flags |= O_RDONLY; break;
    }
  }
  do {
    fd_ = ::open(path.c_str(), flags, kOwnerFileMode);
  } while (fd_ < 0 && errno == EINTR);
  if (fd_ < 0) {
    const std::string reason = std::strerror(errno);
    if (mode == fmCreate) throw EFCreateError("Cannot create file \"" + path + "\". " + reason);
    throw EFOpenError("Cannot open file \"" + path + "\". " + reason);
  }
}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

size_t TFileStream::Read(void* buffer, size_t count) {
  size_t done = 0;
  auto* out = static_cast<char*>(buffer);
  while (done < count) {
    const ssize_t n = ::read(fd_, out + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

size_t TFileStream::Write(const void* buffer, size_t count) {
  if (count > 0 && TakeFileFault(TFileFault::Write, fd_) != 0) return 0;
  size_t done = 0;
  const auto* in = static_cast<const char*>(buffer);
  while (done < count) {
    const ssize_t n = ::write(fd_, in + done, count - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

int64_t TFileStream::Seek(int64_t offset, SeekOrigin origin) {
  int whence = SEEK_SET;
  if (origin == SeekOrigin::Current) whence = SEEK_CUR;
  if (origin == SeekOrigin::End) whence = SEEK_END;
  const off_t result = ::lseek(fd_, static_cast<off_t>(offset), whence);
  if (result < 0) throw EStreamError("Invalid stream position");
  return static_cast<int64_t>(result);
}

void TFileStream::SetSize(int64_t size) {
  if (size < 0 || ::ftruncate(fd_, static_cast<off_t>(size)) != 0)
    throw EStreamError("Cannot set the size of \"" + path_ + "\"");
  if (Position() > size) Seek(size, SeekOrigin::Beginning);
}

void TFileStream::Sync() {
  if (SyncFileData(fd_) != 0) throw EWriteError("Cannot flush \"" + path_ + "\"");
}

}  // namespace tovenmarsh::platform
