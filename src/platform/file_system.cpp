// Files and folders over POSIX calls (see file_system.h).
#include "platform/file_system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>

namespace tovenmarsh::platform {

namespace {

struct TFaultCounter {
  std::atomic<int> skip{0};
  std::atomic<int> count{0};
  std::atomic<int> error{EIO};
  std::atomic<int64_t> fired{0};
  std::atomic<int64_t> made{0};  // operations of the kind asked for, failed or not
  std::mutex lock;     // guards folder
  std::string folder;  // resolved, with a trailing '/'; empty: everywhere
};

std::array<TFaultCounter, 3>& FaultCounters() {
  static std::array<TFaultCounter, 3> counters;
  return counters;
}

TFaultCounter& Counter(TFileFault kind) { return FaultCounters()[static_cast<size_t>(kind)]; }

int OpenFlags(unsigned flags) {
  int result = O_CLOEXEC;
  if ((flags & kOpenAppend) != 0) {
    result |= O_WRONLY | O_APPEND;
  } else if ((flags & (kOpenWrite | kOpenCreate | kOpenNew)) != 0) {
    result |= O_RDWR;
  } else {
    result |= O_RDONLY;
  }
  if ((flags & (kOpenCreate | kOpenNew)) != 0) result |= O_CREAT;
  if ((flags & kOpenNew) != 0) result |= O_EXCL;
  if ((flags & kOpenTruncate) != 0) result |= O_TRUNC;
  return result;
}

int OpenRaw(const std::string& path, int flags, mode_t mode, int& fd) {
  for (;;) {
    fd = ::open(path.c_str(), flags, mode);
    if (fd >= 0) return 0;
    if (errno != EINTR) return errno;
  }
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

// ---- Fault injection

void InjectFileFault(TFileFault kind, int count, int skip, const std::string& folder, int error) {
  TFaultCounter& counter = Counter(kind);
  counter.count.store(0);
  {
    std::lock_guard<std::mutex> guard(counter.lock);
    counter.folder = folder.empty() ? std::string() : RealPath(folder) + "/";
  }
  counter.error.store(error);
  counter.skip.store(count > 0 ? skip : 0);
  counter.count.store(count > 0 ? count : 0);
}

int64_t InjectedFileFaults(TFileFault kind) { return Counter(kind).fired.load(); }

int64_t FileOperationCount(TFileFault kind) { return Counter(kind).made.load(std::memory_order_relaxed); }

namespace {
std::atomic<int64_t> gPositionedReads{0};
}  // namespace

int64_t PositionedReadCount() { return gPositionedReads.load(std::memory_order_relaxed); }
void CountPositionedRead() { gPositionedReads.fetch_add(1, std::memory_order_relaxed); }

namespace {

// The fault for one operation on a file whose path `where` answers (asked only while a fault
// waits, so the usual case costs one load).
template <class Where>
int TakeFault(TFileFault kind, Where where) {
  TFaultCounter& counter = Counter(kind);
  counter.made.fetch_add(1, std::memory_order_relaxed);
  if (counter.count.load(std::memory_order_relaxed) <= 0) return 0;
  {
    std::lock_guard<std::mutex> guard(counter.lock);
    if (!counter.folder.empty() && where().compare(0, counter.folder.size(), counter.folder) != 0) return 0;
  }
  for (int skip = counter.skip.load(); skip > 0;) {
    if (counter.skip.compare_exchange_weak(skip, skip - 1)) return 0;
  }
  for (int count = counter.count.load(); count > 0;) {
    if (counter.count.compare_exchange_weak(count, count - 1)) {
      counter.fired.fetch_add(1);
      return counter.error.load();
    }
  }
  return 0;
}

}  // namespace

int TakeFileFault(TFileFault kind, int fd) {
  return TakeFault(kind, [fd] {
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
  });
}

int TakeFileFault(TFileFault kind, const std::string& path) {
  return TakeFault(kind, [&path] {
    const std::string real = RealPath(path);
    return real.empty() || real.back() == '/' ? real : real + "/";
  });
}

// ---- Descriptors

TFileDescriptor& TFileDescriptor::operator=(TFileDescriptor&& other) noexcept {
  if (this != &other) {
    Close();
    fd_ = other.Release();
  }
  return *this;
}

int TFileDescriptor::Close() {
  if (fd_ < 0) return 0;
  const int fd = Release();
  // Not retried after EINTR: the descriptor is released either way on Linux.
  return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
}

std::string FileSystemReason(int error) { return error == 0 ? std::string() : std::strerror(error); }

int OpenFile(const std::string& path, unsigned flags, TFileDescriptor& file) {
  file.Close();
  int fd = -1;
  const int error = OpenRaw(path, OpenFlags(flags), kOwnerFileMode, fd);
  if (error == 0) file = TFileDescriptor(fd);
  return error;
}

void CloseDescriptor(int fd) {
  if (fd >= 0) ::close(fd);
}

int WriteAll(int fd, std::string_view bytes) {
  if (const int fault = TakeFileFault(TFileFault::Write, fd)) return fault;
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;  // a regular file never takes nothing: count it as an I/O error
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

int WriteAllAt(int fd, const void* bytes, size_t count, int64_t offset) {
  if (const int fault = TakeFileFault(TFileFault::Write, fd)) return fault;
  const auto* p = static_cast<const char*>(bytes);
  while (count > 0) {
    const ssize_t n = ::pwrite(fd, p, count, static_cast<off_t>(offset));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return EIO;
    p += n;
    count -= static_cast<size_t>(n);
    offset += n;
  }
  return 0;
}

int ReadAll(int fd, std::string& text) {
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return 0;
    text.append(buffer, static_cast<size_t>(n));
  }
}

namespace {

// Reads until count bytes or the end of the file; `read_once(p, n, done)` is one read or pread.
template <typename ReadOnce>
int ReadUntilFullOrEnd(void* buffer, size_t count, size_t& got, ReadOnce read_once) {
  got = 0;
  auto* p = static_cast<char*>(buffer);
  while (got < count) {
    const ssize_t n = read_once(p + got, count - got, got);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return 0;
}

}  // namespace

int ReadSome(int fd, void* buffer, size_t count, size_t& got) {
  return ReadUntilFullOrEnd(buffer, count, got,
                            [fd](char* p, size_t n, size_t) { return ::read(fd, p, n); });
}

int ReadSomeAt(int fd, void* buffer, size_t count, int64_t offset, size_t& got) {
  return ReadUntilFullOrEnd(buffer, count, got, [fd, offset](char* p, size_t n, size_t done) {
    return ::pread(fd, p, n, static_cast<off_t>(offset) + static_cast<off_t>(done));
  });
}

int DescriptorSize(int fd, int64_t& size) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return errno;
  size = static_cast<int64_t>(info.st_size);
  return 0;
}

int SyncFileData(int fd) {
  if (const int fault = TakeFileFault(TFileFault::FileSync, fd)) return fault;
  return ::fdatasync(fd) == 0 ? 0 : errno;
}

int SyncFile(int fd) {
  if (const int fault = TakeFileFault(TFileFault::FileSync, fd)) return fault;
  return ::fsync(fd) == 0 ? 0 : errno;
}

int TruncateFile(int fd, int64_t size) {
  if (size < 0) return EINVAL;
  for (;;) {
    if (::ftruncate(fd, static_cast<off_t>(size)) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

int LockFileExclusive(int fd, bool wait) {
  for (;;) {
    if (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

bool DescriptorAtPath(int fd, const std::string& path) {
  struct stat held {};
  struct stat named {};
  return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_ino == named.st_ino &&
         held.st_dev == named.st_dev;
}

// ---- Paths

int OpenLockFile(const std::string& path, unsigned flags, bool wait, TFileDescriptor& file) {
  for (;;) {
    if (const int error = OpenFile(path, flags, file)) return error;
    if (const int error = LockFileExclusive(file.Get(), wait)) {
      file.Close();
      return error;
    }
    if (DescriptorAtPath(file.Get(), path)) return 0;
    // The holder removed it while this waited: lock whatever carries the name now.
    file.Close();
    if ((flags & (kOpenCreate | kOpenNew)) == 0 && !PathExists(path)) return ENOENT;
  }
}

int ReadWholeFile(const std::string& path, std::string& text) {
  text.clear();
  TFileDescriptor file;
  if (const int error = OpenFile(path, kOpenRead, file)) return error;
  return ReadAll(file.Get(), text);
}

int SyncPath(const std::string& path) {
  TFileDescriptor file;
  if (const int error = OpenFile(path, kOpenRead, file)) return error;
  return SyncFile(file.Get());
}

int SyncFolder(const std::string& folder) {
  const std::string path = folder.empty() ? std::string(".") : folder;
  if (const int fault = TakeFileFault(TFileFault::FolderSync, path)) return fault;
  int fd = -1;
  if (const int error = OpenRaw(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0, fd)) return error;
  const int error = ::fsync(fd) == 0 ? 0 : errno;
  ::close(fd);
  return error;
}

int SyncFolderOf(const std::string& path) { return SyncFolder(FolderOf(path)); }

int ReplaceFileAtomically(const std::string& path, std::string_view bytes) {
  std::random_device random;
  const std::string temporary = path + ".tmp" + std::to_string(random());
  int error = 0;
  {
    TFileDescriptor file;
    error = OpenFile(temporary, kOpenNew, file);
    if (error != 0) return error;
    error = WriteAll(file.Get(), bytes);
    if (error == 0) error = SyncFile(file.Get());
    const int closed = file.Close();
    if (error == 0) error = closed;
  }
  if (error == 0) error = RenamePath(temporary, path);
  if (error != 0) {
    (void)RemoveFile(temporary);
    return error;
  }
  return SyncFolderOf(path);
}

int RemoveFile(const std::string& path) { return ::unlink(path.c_str()) == 0 ? 0 : errno; }

int RenamePath(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int LinkNewName(const std::string& from, const std::string& to) {
  return ::link(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

int MakeFolder(const std::string& folder) { return ::mkdir(folder.c_str(), kOwnerFolderMode) == 0 ? 0 : errno; }

int MakeFolders(const std::string& folder) {
  std::string path = folder;
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.empty()) return 0;
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode) ? 0 : ENOTDIR;
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    if (const int error = MakeFolders(path.substr(0, slash))) return error;
  }
  const int error = MakeFolder(path);
  return error == EEXIST ? 0 : error;  // made by another meanwhile
}

int ListRegularFiles(const std::string& folder, bool followLinks, std::vector<std::string>& names) {
  DIR* dir = ::opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return errno;
  const std::string base = folder.empty() || folder.back() == '/' ? folder : folder + "/";
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) break;
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (IsRegularFile(base + name, followLinks)) names.push_back(name);
  }
  const int error = errno;
  ::closedir(dir);
  return error;
}

bool PathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool IsRegularFile(const std::string& path, bool followLinks) {
  struct stat info {};
  const int result = followLinks ? ::stat(path.c_str(), &info) : ::lstat(path.c_str(), &info);
  return result == 0 && S_ISREG(info.st_mode);
}

int FileSize(const std::string& path, int64_t& size) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return errno;
  size = static_cast<int64_t>(info.st_size);
  return 0;
}

namespace {

std::atomic<uint64_t> simulatedBoots{0};

}  // namespace

std::array<uint8_t, 16> BootIdentity() {
  // Read once: the boot does not change while the process runs.
  static const std::array<uint8_t, 16> identity = [] {
    std::array<uint8_t, 16> id{};
    std::string text;
    if (ReadWholeFile("/proc/sys/kernel/random/boot_id", text) != 0) return id;
    size_t n = 0;
    for (size_t i = 0; i < text.size() && n < 2 * id.size(); ++i) {
      const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(text[i])));
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) continue;  // the dashes
      id[n / 2] = static_cast<uint8_t>(id[n / 2] | (n % 2 ? digit : digit << 4));
      ++n;
    }
    return id;
  }();
  std::array<uint8_t, 16> id = identity;
  const uint64_t boots = simulatedBoots.load();
  for (size_t i = 0; i < 8; ++i) id[i] = static_cast<uint8_t>(id[i] ^ (boots >> (8 * i)));
  return id;
}

void SimulateNewBoot() { ++simulatedBoots; }

std::string RealPath(const std::string& path) {
  char* resolved = ::realpath(path.c_str(), nullptr);
  if (resolved == nullptr) return {};
  std::string result(resolved);
  std::free(resolved);
  return result;
}

std::string CurrentFolder() {
  char buffer[PATH_MAX];
  const char* folder = ::getcwd(buffer, sizeof buffer);
  return folder != nullptr ? std::string(folder) : std::string();
}

long CurrentThreadSystemId() { return static_cast<long>(::gettid()); }

// ---- Mapping

const uint8_t* MapForReading(int fd, size_t length) {
  void* map = ::mmap(nullptr, length, PROT_READ, MAP_SHARED, fd, 0);
  return map == MAP_FAILED ? nullptr : static_cast<const uint8_t*>(map);
}

void UnmapForReading(const uint8_t* start, size_t length) {
  if (start != nullptr) ::munmap(const_cast<uint8_t*>(start), length);
}

}  // namespace tovenmarsh::platform
