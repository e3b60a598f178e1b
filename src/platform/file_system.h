// Files and folders for the engine, the mail store and the core: opening, writing and reading
// whole, syncing files and folders, exclusive lock files, listing, atomic replacement, removal,
// renaming, folder creation and the few facts about a path the callers need.
//
// Contract, the same for every function here:
// - A function that can fail returns 0 on success or the errno value of the failure, and is
//   [[nodiscard]]: a failed write, sync, rename or removal is an error its caller sees and must
//   decide about. Nothing here throws; FileSystemReason turns a result into a text for messages.
// - Interrupted calls (EINTR) are retried; a short write is continued until every byte is out.
// - A sync that fails counts as failed, also for folders: after an I/O error the data or the
//   name may not be on the device, so success must not be claimed.
// - New files are created with mode 0600 and new folders with 0700 (owner only); descriptors are
//   close-on-exec.
// - Test builds can make the next writes or syncs fail (InjectFileFault); the table engine's
//   files (TOsFile) and TFileStream honour the same switch.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tovenmarsh::platform {

inline constexpr unsigned kOwnerFileMode = 0600;
inline constexpr unsigned kOwnerFolderMode = 0700;

// How OpenFile opens (combine with |).
enum TOpenFlags : unsigned {
  kOpenRead = 0,          // reading only
  kOpenWrite = 1u << 0,   // reading and writing
  kOpenCreate = 1u << 1,  // created when missing (implies kOpenWrite unless kOpenAppend)
  kOpenNew = 1u << 2,     // created, and EEXIST when the name exists (implies kOpenCreate)
  kOpenTruncate = 1u << 3,
  kOpenAppend = 1u << 4,  // every write goes to the end; writing only
};

// An open descriptor, closed by the destructor. Move-only.
class TFileDescriptor {
 public:
  TFileDescriptor() = default;
  explicit TFileDescriptor(int fd) : fd_(fd) {}
  ~TFileDescriptor() { Close(); }
  TFileDescriptor(TFileDescriptor&& other) noexcept : fd_(other.Release()) {}
  TFileDescriptor& operator=(TFileDescriptor&& other) noexcept;
  TFileDescriptor(const TFileDescriptor&) = delete;
  TFileDescriptor& operator=(const TFileDescriptor&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Get() const { return fd_; }
  // Hands the descriptor over; this object no longer closes it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes it; 0 or errno (a close can report a write the device refused).
  int Close();

 private:
  int fd_ = -1;
};

// The system's text for a result of these functions ("" for 0).
std::string FileSystemReason(int error);

// ---- Descriptors

[[nodiscard]] int OpenFile(const std::string& path, unsigned flags, TFileDescriptor& file);
// Closes a descriptor kept as a plain number (-1: nothing).
void CloseDescriptor(int fd);

// Writes every byte, at the current position (or the end with kOpenAppend).
[[nodiscard]] int WriteAll(int fd, std::string_view bytes);
// Writes every byte at offset, leaving the position alone.
[[nodiscard]] int WriteAllAt(int fd, const void* bytes, size_t count, int64_t offset);
// Reads from the current position to the end of the file, appending to text.
[[nodiscard]] int ReadAll(int fd, std::string& text);
// Reads up to count bytes (fewer only at the end); got tells how many.
[[nodiscard]] int ReadSome(int fd, void* buffer, size_t count, size_t& got);
// As ReadSome, at offset, leaving the position alone.
[[nodiscard]] int ReadSomeAt(int fd, void* buffer, size_t count, int64_t offset, size_t& got);
// The size of the open file.
[[nodiscard]] int DescriptorSize(int fd, int64_t& size);
// The file's data, and what is needed to read it back, to the device (fdatasync).
[[nodiscard]] int SyncFileData(int fd);
// The file's data and all its attributes to the device (fsync).
[[nodiscard]] int SyncFile(int fd);
[[nodiscard]] int TruncateFile(int fd, int64_t size);
// Takes the exclusive lock on the whole file (flock: it belongs to the open file, so it also
// keeps two openers inside one process apart); EWOULDBLOCK when another holds it and wait is false.
[[nodiscard]] int LockFileExclusive(int fd, bool wait);
// Whether the descriptor is the file path names now (nobody removed or replaced it meanwhile).
bool DescriptorAtPath(int fd, const std::string& path);

// ---- Paths

// Opens path with flags and takes its exclusive lock (see LockFileExclusive). When the name was
// removed or replaced while this waited (lock files are removed by their holder when done), it
// opens and locks again, so the lock held is always on the file the name denotes.
[[nodiscard]] int OpenLockFile(const std::string& path, unsigned flags, bool wait, TFileDescriptor& file);

// The whole file into text (replacing what it held).
[[nodiscard]] int ReadWholeFile(const std::string& path, std::string& text);
// Opens path and syncs its data and attributes.
[[nodiscard]] int SyncPath(const std::string& path);
// The folder's entries (names made, renamed or removed in it) to the device.
[[nodiscard]] int SyncFolder(const std::string& folder);
// SyncFolder of the folder a file lies in ("." when the path has none).
[[nodiscard]] int SyncFolderOf(const std::string& path);

// Replaces (or creates) path with bytes so that a reader or a crash finds either the old file
// or the new one whole: written to a temporary file beside it, synced, renamed over path, and
// the folder synced. The temporary file is gone afterwards, also on failure.
[[nodiscard]] int ReplaceFileAtomically(const std::string& path, std::string_view bytes);

[[nodiscard]] int RemoveFile(const std::string& path);
// Renames from to to, replacing an existing to.
[[nodiscard]] int RenamePath(const std::string& from, const std::string& to);
// Gives the file at from the further name to; EEXIST when to exists (never replaces it).
[[nodiscard]] int LinkNewName(const std::string& from, const std::string& to);
// Creates one folder (its parent must exist); EEXIST when the name exists.
[[nodiscard]] int MakeFolder(const std::string& folder);
// Creates folder and any missing parents; 0 when it exists already.
[[nodiscard]] int MakeFolders(const std::string& folder);

// Names of the regular files in folder ("." and ".." passed over, order as the system gives
// them). followLinks: a symbolic link to a regular file counts as one.
[[nodiscard]] int ListRegularFiles(const std::string& folder, bool followLinks, std::vector<std::string>& names);

// Whether anything (file, folder, ...) carries the name.
bool PathExists(const std::string& path);
// Whether path is a regular file (links followed unless followLinks is false).
bool IsRegularFile(const std::string& path, bool followLinks = true);
[[nodiscard]] int FileSize(const std::string& path, int64_t& size);
// 16 bytes that name the running boot of the system (all zero when the system does not tell):
// what a file written in this boot may hold in the system's cache only.
std::array<uint8_t, 16> BootIdentity();
// Test-only: BootIdentity names another boot from now on, as after a restart of the system.
void SimulateNewBoot();

// The absolute path with links resolved; "" when it cannot be resolved.
std::string RealPath(const std::string& path);
// The process's current folder (no trailing delimiter); "" when it cannot be read.
std::string CurrentFolder();
// The calling thread's system id.
long CurrentThreadSystemId();

// ---- Read-only mapping of a file's first bytes

// Maps the first length bytes of the open file for reading; nullptr when that fails.
const uint8_t* MapForReading(int fd, size_t length);
void UnmapForReading(const uint8_t* start, size_t length);

// ---- Fault injection for tests

enum class TFileFault {
  Write,       // a write of file bytes
  FileSync,    // a sync of a file's data
  FolderSync,  // a sync of a folder's entries
};

// Test-only: after `skip` more operations of the kind succeed, the next `count` fail with
// `error` (nothing is written or synced). With a folder given, only operations on files or
// folders inside it count (the rest, say the log, go on as usual). InjectFileFault(kind, 0)
// switches it off. Counts are process-wide and atomic.
void InjectFileFault(TFileFault kind, int count, int skip = 0, const std::string& folder = std::string(),
                     int error = 5 /* EIO */);
// How many operations of the kind were made to fail since the process started.
int64_t InjectedFileFaults(TFileFault kind);

// How many operations of the kind (writes, file syncs, folder syncs) were asked of the platform
// since the process started, failed ones included: tests count the syncs of an operation.
int64_t FileOperationCount(TFileFault kind);
// How many positioned reads (TOsFile::ReadAt system calls) were made since the process started.
int64_t PositionedReadCount();
void CountPositionedRead();

// Used by the platform's own file classes: 0, or the error an injected fault asks for the
// operation on the open descriptor fd, or on path.
int TakeFileFault(TFileFault kind, int fd);
int TakeFileFault(TFileFault kind, const std::string& path);

}  // namespace tovenmarsh::platform
