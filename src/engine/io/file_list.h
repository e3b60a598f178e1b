// The process-wide list of open and remembered table files: exactly one TAbstractFile per name
// and kind (disk or memory), shared by every handler that opens that name. A file is identified
// by its kind and its name compared trimmed and without regard to case (disk names by their
// canonical path, platform/file_names.h).
//
// Contract: every operation runs under the list's lock, then the file's (never the reverse);
// results are a handle number >= 1, 0, or a negative engine error code, never an exception.
// Opening a file that is open exclusively, opening exclusively a file that is open, and creating,
// renaming or deleting a file that is open all give -11013; an unknown memory file gives -11010.
// A temporary file is dropped when its last handle closes: a memory file loses its content, a disk
// file is deleted unless another process still holds it open. Other files stay listed after their
// last close, and a memory file keeps its content for later opens.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/io/file_abstract.h"
#include "engine/io/page_cache.h"

namespace tovenmarsh::engine {

class TFileList {
 public:
  TFileList() = default;
  ~TFileList();  // frees every file, closing disk files that are still open
  TFileList(const TFileList&) = delete;
  TFileList& operator=(const TFileList&) = delete;

  // Creates (or empties) a file; the new opening is exclusive. The handle number, with the file in
  // `file`; -11010 when the name has no base (without directory and extension), -11013 when the
  // file is open, or the operating system's failure.
  int32_t CreateFile(const std::string& name, bool memory, bool temporary, TAbstractFile*& file,
                     bool writeThrough = false, bool sequential = false);

  // Opens a file: the handle number, with the file in `file` and its opened-read-only flag in
  // `openedReadOnly`. A later open of a file that is already open keeps the first opener's flags.
  int32_t Open(const std::string& name, bool memory, bool sequential, bool writeThrough,
               bool temporary, bool exclusive, bool& openedReadOnly, TAbstractFile*& file);

  // Releases one handle of a listed file. 0, or -11010 when the file is not listed with that kind
  // or not open.
  int32_t Close(TAbstractFile* file, bool memory, int32_t handle);

  // Renames a closed file. A disk file is never renamed over an existing one. 0 or -code.
  int32_t Rename(const std::string& name, bool memory, const std::string& newName);

  // Deletes a closed file. 0 or -code.
  int32_t Delete(const std::string& name, bool memory);

  // Listed, or (disk files) present on disk.
  bool Exists(const std::string& name, bool memory);

  // Copies all of `file` (read through `handle`, rewound first) into a new file of that name and
  // kind. 0 or -code (-9217 for a failed read, -9218 for a failed write).
  int32_t CopyTo(TAbstractFile* file, int32_t handle, const std::string& name, bool memory);

  // Copies all of the named file (opened exclusively) into `file` at `handle`'s position.
  // 0 or -code.
  int32_t CopyFrom(TAbstractFile* file, int32_t handle, const std::string& name, bool memory);

  // Reserves a name no file of that kind has: for memory files a closed, empty, listed file.
  // 0 when reserved, 1 when taken, -code when the name cannot be created.
  int32_t ReserveNewFile(const std::string& name, bool memory);

  // Number of listed files (for tests and diagnostics).
  size_t Count() const;

  // The page cache every disk file of this list reads through (its budget is set here).
  TPageCache& PageCache() { return cache_; }

 private:
  TAbstractFile* Find(const std::string& key, bool memory) const;
  void Remove(TAbstractFile* file);

  mutable std::mutex mutex_;
  TPageCache cache_;  // outlives the files, which drop their pieces when freed
  std::vector<std::unique_ptr<TAbstractFile>> files_;
};

// The identity key of a name of that kind (trimmed; disk: canonical path; memory: upper-cased).
std::string FileKey(const std::string& name, bool memory);

// The one file list of the engine, made by library start-up and freed by library shut-down.
// EngineFileList() is nullptr before start-up and after shut-down.
void CreateEngineFileList();
void FreeEngineFileList();
TFileList* EngineFileList();
// The page-cache budget of the engine's file list in bytes (clamped, 0 turns caching off);
// nothing before start-up.
void SetEnginePageCacheBudget(int64_t bytes);

// `TFileList.Exists` on the engine's file list (false before start-up).
bool EngineFileExists(const std::string& name, bool memory);

// The universal (network) name of a path. Linux has no such names: always empty, and callers use
// the path itself.
std::string GetUniversalName(const std::string& path);

// A full name for a new file in `directory`: stem (the thread id, its first 5 digits) + n +
// extension, for the first n = 0, 1, 2 ... that no file of that kind has (on disk in any case, or
// in the file list). The name is reserved atomically (an empty file created exclusively, or a
// listed empty memory file), so two threads never receive the same name; the caller creates it
// over that reservation. When nothing can be created in the directory, the first candidate.
std::string MakeUniqueFileName(const std::string& directory, const std::string& extension,
                               bool memory);
std::string MakeUniqueFileName(TFileList& list, const std::string& directory,
                               const std::string& extension, bool memory);
// The same with an explicit stem in place of the thread's.
std::string MakeUniqueFileNameFromStem(TFileList& list, const std::string& stem,
                                       const std::string& directory,
                                       const std::string& extension, bool memory);

}  // namespace tovenmarsh::engine
