// Disk files for the table engine: one descriptor per open, reads and writes at explicit offsets
// (pread/pwrite, so every engine handle keeps its own position), set size, flush, delete, rename
// and existence, with names looked up case-insensitively (platform/file_names.h) and sharing
// enforced across processes through the share byte (platform/byte_range_lock.h).
//
// Every operation returns 0 (or a count) on success and a negative engine file error code on
// failure: -kFileErrorNotFound and so on, mapped from errno by FileErrorFromErrno.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/file_stamp.h"

namespace tovenmarsh::platform {

// Engine error codes that file-system failures map to.
inline constexpr int kFileErrorNotFound = 11010;      // invalid path or file name
inline constexpr int kFileErrorTooManyOpen = 11012;   // too many files open
inline constexpr int kFileErrorAccessDenied = 11013;  // access denied, sharing violation
inline constexpr int kFileErrorBadHandle = 11014;     // invalid file handle
inline constexpr int kFileErrorNoMemory = 11016;      // insufficient memory
inline constexpr int kFileErrorNoDevice = 11023;      // no such device
inline constexpr int kFileErrorMoved = 11025;         // not the same device
inline constexpr int kFileErrorUnknown = 11047;       // any other failure

// The engine code (positive) for an errno value.
int FileErrorFromErrno(int error);

struct TOsOpenOptions {
  bool exclusive = false;      // no other opener anywhere while this one is open
  bool writeThrough = false;   // every write reaches the device before it returns
  bool sequential = false;     // read-ahead hint; otherwise random access
  bool deleteOnClose = false;  // unlinked at Close when no other descriptor has it open
};

// One open disk file. Move-only; the destructor closes it.
class TOsFile {
 public:
  TOsFile() = default;
  ~TOsFile();
  TOsFile(TOsFile&& other) noexcept;
  TOsFile& operator=(TOsFile&& other) noexcept;
  TOsFile(const TOsFile&) = delete;
  TOsFile& operator=(const TOsFile&) = delete;

  // Opens an existing file. A file without write permission for anyone (the read-only
  // attribute) is opened for reading only, and ReadOnly() reports it. Refused with
  // -kFileErrorAccessDenied while another opener conflicts (see TakeShareLock).
  int Open(std::string_view name, const TOsOpenOptions& options);

  // Creates the file (mode 0600), or empties an existing one, for reading and writing; the new
  // opening is exclusive. Refused with -kFileErrorAccessDenied while any other descriptor has it open or
  // when the existing file has the read-only attribute.
  int Create(std::string_view name, const TOsOpenOptions& options);

  // Closes the descriptor (deleting the file first when asked to at open and nobody else holds
  // it). Nothing when not open.
  void Close();

  bool IsOpen() const { return fd_ >= 0; }
  bool ReadOnly() const { return readOnly_; }
  int Descriptor() const { return fd_; }
  const std::string& Path() const { return path_; }

  // Reads up to count bytes at offset; fewer only at the end of the file. Bytes or -code.
  int64_t ReadAt(void* buffer, int64_t count, int64_t offset);
  // Writes count bytes at offset. Bytes written or -code.
  int64_t WriteAt(const void* buffer, int64_t count, int64_t offset);
  // Sets the file's size (truncates or extends with zeros). 0 or -code.
  int SetSize(int64_t size);
  // Current size, or -code.
  int64_t Size() const;
  // The open file's stamp. 0 or -code.
  int Stamp(TFileStamp& stamp) const;
  // Data to the device. 0 or -code.
  int Sync();

 private:
  int OpenDescriptor(std::string_view name, const TOsOpenOptions& options, bool create);

  int fd_ = -1;
  bool readOnly_ = false;
  bool deleteOnClose_ = false;
  std::string path_;
};

// Whether the file exists (name looked up without regard to case).
bool FileExistsOnDisk(std::string_view name);

// 1 when the file has the read-only attribute (no write permission for anyone), 0 when not,
// -code when it cannot be examined.
int FileReadOnlyOnDisk(std::string_view name);

// Deletes the file. -kFileErrorAccessDenied while any descriptor, in this or another process,
// has it open. 0 or -code.
int DeleteFileOnDisk(std::string_view name);

// Renames the file; never replaces an existing file (whatever its case): that fails with
// -kFileErrorUnknown, as on systems whose rename refuses. A rename that changes only the case of
// the name succeeds without touching the disk (the on-disk spelling is canonical). Refused with
// -kFileErrorAccessDenied while any descriptor has the file open. 0 or -code.
int RenameFileOnDisk(std::string_view oldName, std::string_view newName);

// Creates a new empty file only when no file of that name (in any case) exists: 0 when created,
// 1 when the name is taken, -code on other failures. Atomic against other creators.
int CreateNewFileOnDisk(std::string_view name);

}  // namespace tovenmarsh::platform
