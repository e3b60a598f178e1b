// Disk files for the table engine over POSIX descriptors (see file.h).
#include "platform/file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <utility>

#include "platform/byte_range_lock.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace tovenmarsh::platform {
namespace {

// Opening can race with another process deleting or replacing the file between the lookup and
// the share lock; the open is retried this many times before the file counts as missing.
constexpr int kOpenAttempts = 8;

bool HasNoWritePermission(const struct stat& st) { return (st.st_mode & 0222) == 0; }

bool SameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The descriptor still names the file at `path` (nobody unlinked or replaced it meanwhile).
bool StillAtPath(int fd, const std::string& path) {
  struct stat byDescriptor;
  struct stat byPath;
  if (fstat(fd, &byDescriptor) != 0 || lstat(path.c_str(), &byPath) != 0) return false;
  return SameInode(byDescriptor, byPath);
}

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  for (;;) {
    int fd = open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

// A descriptor on an existing file that holds its share byte exclusively, so the file can be
// removed or renamed under it: >= 0, or -code (-kFileErrorAccessDenied while anyone has it open).
int OpenForRemoval(const std::string& path) {
  int fd = OpenRetrying(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
  bool readOnly = false;
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    fd = OpenRetrying(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    readOnly = true;
  }
  if (fd < 0) return -FileErrorFromErrno(errno);
  const bool alone = readOnly ? NoOtherOpener(fd) : TakeShareLock(fd, true);
  if (!alone) {
    close(fd);
    return -kFileErrorAccessDenied;
  }
  if (!StillAtPath(fd, path)) {
    close(fd);
    return -kFileErrorNotFound;
  }
  return fd;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without RENAME_NOREPLACE: link() refuses an existing target just as atomically.
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  if (unlink(from.c_str()) != 0) {
    const int error = errno;
    unlink(to.c_str());
    return error;
  }
  return 0;
}

}  // namespace

int FileErrorFromErrno(int error) {
  switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP:
      return kFileErrorNotFound;
    case EMFILE:
    case ENFILE:
      return kFileErrorTooManyOpen;
    case EACCES:
    case EPERM:
    case EROFS:
    case EAGAIN:
    case ETXTBSY:
    case EISDIR:
    case EBUSY:
      return kFileErrorAccessDenied;
    case EBADF:
      return kFileErrorBadHandle;
    case ENOMEM:
      return kFileErrorNoMemory;
    case ENODEV:
    case ENXIO:
      return kFileErrorNoDevice;
    case EXDEV:
      return kFileErrorMoved;
    default:
      return kFileErrorUnknown;
  }
}

TOsFile::~TOsFile() { Close(); }

TOsFile::TOsFile(TOsFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      readOnly_(other.readOnly_),
      deleteOnClose_(other.deleteOnClose_),
      path_(std::move(other.path_)) {}

TOsFile& TOsFile::operator=(TOsFile&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    readOnly_ = other.readOnly_;
    deleteOnClose_ = other.deleteOnClose_;
    path_ = std::move(other.path_);
  }
  return *this;
}

int TOsFile::Open(std::string_view name, const TOsOpenOptions& options) {
  return OpenDescriptor(name, options, false);
}

int TOsFile::Create(std::string_view name, const TOsOpenOptions& options) {
  return OpenDescriptor(name, options, true);
}

int TOsFile::OpenDescriptor(std::string_view name, const TOsOpenOptions& options, bool create) {
  Close();
  if (CanonicalFilePath(name).empty()) return -kFileErrorNotFound;
  for (int attempt = 0; attempt < kOpenAttempts; ++attempt) {
    bool found = false;
    const std::string path = ResolveFilePath(name, &found);
    bool readOnly = false;
    if (!create || found) {
      struct stat st;
      if (stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT && create) continue;  // deleted meanwhile: create it afresh
        return -FileErrorFromErrno(errno);
      }
      if (S_ISDIR(st.st_mode)) return -kFileErrorAccessDenied;
      readOnly = HasNoWritePermission(st);
      // Re-creating a file with the read-only attribute is refused, as emptying it would be.
      if (create && readOnly) return -kFileErrorAccessDenied;
    }
    int flags = O_CLOEXEC | (readOnly ? O_RDONLY : O_RDWR);
    if (options.writeThrough) flags |= O_DSYNC;
    if (create) flags |= O_CREAT;
    const int fd = OpenRetrying(path.c_str(), flags, kOwnerFileMode);
    if (fd < 0) {
      if (errno == ENOENT && !create && attempt + 1 < kOpenAttempts) continue;  // raced a delete
      return -FileErrorFromErrno(errno);
    }
    // A read-only descriptor cannot hold the write lock; such a file cannot be changed by any
    // opener, so its exclusive opening shares with other readers.
    const bool exclusive = (options.exclusive || create) && !readOnly;
    if (!TakeShareLock(fd, exclusive)) {
      close(fd);
      return -kFileErrorAccessDenied;
    }
    if (!StillAtPath(fd, path)) {
      close(fd);
      continue;
    }
    if (create && ftruncate(fd, 0) != 0) {
      const int error = errno;
      close(fd);
      return -FileErrorFromErrno(error);
    }
    posix_fadvise(fd, 0, 0, options.sequential ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);
    fd_ = fd;
    readOnly_ = readOnly;
    deleteOnClose_ = options.deleteOnClose;
    path_ = path;
    return 0;
  }
  return -kFileErrorNotFound;
}

void TOsFile::Close() {
  if (fd_ < 0) return;
  if (deleteOnClose_) {
    const bool alone = readOnly_ ? NoOtherOpener(fd_) : TakeShareLock(fd_, true);
    if (alone && StillAtPath(fd_, path_)) unlink(path_.c_str());
  }
  close(fd_);
  fd_ = -1;
  readOnly_ = false;
  deleteOnClose_ = false;
  path_.clear();
}

int64_t TOsFile::ReadAt(void* buffer, int64_t count, int64_t offset) {
  if (fd_ < 0) return -kFileErrorBadHandle;
  if (count < 0 || offset < 0) return -kFileErrorUnknown;
  auto* bytes = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    CountPositionedRead();
    const ssize_t got = pread(fd_, bytes + done, static_cast<size_t>(count - done), offset + done);
    if (got < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -FileErrorFromErrno(errno);
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

int64_t TOsFile::WriteAt(const void* buffer, int64_t count, int64_t offset) {
  if (fd_ < 0) return -kFileErrorBadHandle;
  if (count < 0 || offset < 0) return -kFileErrorUnknown;
  if (count > 0) {
    if (const int fault = TakeFileFault(TFileFault::Write, fd_)) return -FileErrorFromErrno(fault);
  }
  const auto* bytes = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t put =
        pwrite(fd_, bytes + done, static_cast<size_t>(count - done), offset + done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return done > 0 ? done : -FileErrorFromErrno(errno);
    }
    if (put == 0) break;
    done += put;
  }
  return done;
}

int TOsFile::SetSize(int64_t size) {
  if (fd_ < 0) return -kFileErrorBadHandle;
  if (size < 0) return -kFileErrorUnknown;
  for (;;) {
    if (ftruncate(fd_, static_cast<off_t>(size)) == 0) return 0;
    if (errno != EINTR) return -FileErrorFromErrno(errno);
  }
}

int64_t TOsFile::Size() const {
  if (fd_ < 0) return -kFileErrorBadHandle;
  struct stat st;
  if (fstat(fd_, &st) != 0) return -FileErrorFromErrno(errno);
  return static_cast<int64_t>(st.st_size);
}

int TOsFile::Stamp(TFileStamp& stamp) const {
  if (fd_ < 0) return -kFileErrorBadHandle;
  struct stat st;
  if (fstat(fd_, &st) != 0) return -FileErrorFromErrno(errno);
  stamp = StampOfStat(st);
  return 0;
}


int TOsFile::Sync() {
  if (fd_ < 0) return -kFileErrorBadHandle;
  if (const int fault = TakeFileFault(TFileFault::FileSync, fd_)) return -FileErrorFromErrno(fault);
  if (fdatasync(fd_) != 0) return -FileErrorFromErrno(errno);
  return 0;
}

bool FileExistsOnDisk(std::string_view name) {
  bool found = false;
  const std::string path = ResolveFilePath(name, &found);
  if (!found) return false;
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

int FileReadOnlyOnDisk(std::string_view name) {
  const std::string path = ResolveFilePath(name);
  if (path.empty()) return -kFileErrorNotFound;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -FileErrorFromErrno(errno);
  return HasNoWritePermission(st) ? 1 : 0;
}

int DeleteFileOnDisk(std::string_view name) {
  bool found = false;
  const std::string path = ResolveFilePath(name, &found);
  if (!found) return -kFileErrorNotFound;
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return -FileErrorFromErrno(errno);
  if (S_ISDIR(st.st_mode)) return -kFileErrorAccessDenied;
  // A read-only file is not deleted, as on systems where the attribute protects it.
  if (HasNoWritePermission(st)) return -kFileErrorAccessDenied;
  const int fd = OpenForRemoval(path);
  if (fd < 0) return fd;
  const int result = unlink(path.c_str()) == 0 ? 0 : -FileErrorFromErrno(errno);
  close(fd);
  return result;
}

int RenameFileOnDisk(std::string_view oldName, std::string_view newName) {
  bool oldFound = false;
  const std::string from = ResolveFilePath(oldName, &oldFound);
  if (!oldFound) return -kFileErrorNotFound;
  const std::string canonicalTarget = CanonicalFilePath(newName);
  if (canonicalTarget.empty() || canonicalTarget.back() == '/') return -kFileErrorNotFound;
  bool targetFound = false;
  const std::string target = ResolveFilePath(newName, &targetFound);
  if (targetFound) {
    struct stat a;
    struct stat b;
    const bool same = lstat(from.c_str(), &a) == 0 && lstat(target.c_str(), &b) == 0 &&
                      SameInode(a, b) && DirectoryOfPath(from) == DirectoryOfPath(target);
    // Another file already carries the name: a rename never replaces it.
    if (!same) return -kFileErrorUnknown;
    // Only the case differs and the file already has the canonical spelling.
    if (from == canonicalTarget) return 0;
  }
  const int fd = OpenForRemoval(from);
  if (fd < 0) return fd;
  const int error = RenameNoReplace(from, canonicalTarget);
  close(fd);
  if (error == 0) return 0;
  if (error == EEXIST) return -kFileErrorUnknown;
  return -FileErrorFromErrno(error);
}

int CreateNewFileOnDisk(std::string_view name) {
  bool found = false;
  ResolveFilePath(name, &found);
  if (found) return 1;
  const std::string path = CanonicalFilePath(name);
  if (path.empty() || path.back() == '/') return -kFileErrorNotFound;
  const int fd = OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, kOwnerFileMode);
  if (fd < 0) return errno == EEXIST ? 1 : -FileErrorFromErrno(errno);
  close(fd);
  return 0;
}

}  // namespace tovenmarsh::platform
