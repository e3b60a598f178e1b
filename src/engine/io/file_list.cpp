// The process-wide file list (see file_list.h).
#include "engine/io/file_list.h"

#include <vector>

#include "engine/base/engine_error.h"
#include "engine/io/file_memory.h"
#include "engine/io/file_physical.h"
#include "platform/file.h"
#include "platform/file_names.h"
#include "platform/win1252.h"

namespace tovenmarsh::engine {
namespace {

constexpr int32_t kInvalidPath = -kErrInvalidPath;
constexpr int32_t kAccessDenied = -kErrAccessDenied;
constexpr int32_t kAlreadyExists = -kErrUnknownOsError;  // what a refusing rename reports
constexpr int32_t kReadError = -kErrReadError;
constexpr int32_t kWriteError = -kErrWriteError;

// The name without directory and extension, trimmed.
std::string BaseName(const std::string& name) {
  std::string text = platform::TrimFileName(name);
  const size_t separator = text.find_last_of("/\\");
  if (separator != std::string::npos) text.erase(0, separator + 1);
  const size_t dot = text.rfind('.');
  if (dot != std::string::npos) text.erase(dot);
  return platform::TrimFileName(text);
}

std::unique_ptr<TAbstractFile> NewFile(bool memory, TPageCache& cache) {
  if (memory) return std::make_unique<TMemoryFile>();
  return std::make_unique<TPhysicalFile>(&cache);
}

// Copies `source` (from `sourceHandle`'s position) into `target` at `targetHandle`'s position,
// 65535 bytes at a time until a chunk comes back short.
int32_t CopyContent(TAbstractFile* source, int32_t sourceHandle, TAbstractFile* target,
                    int32_t targetHandle) {
  std::vector<char> buffer(static_cast<size_t>(kFileCopyChunk));
  for (;;) {
    const int64_t got = source->Read(sourceHandle, buffer.data(), kFileCopyChunk);
    if (got < 0) return kReadError;
    if (got > 0 && target->Write(targetHandle, buffer.data(), got) != got) return kWriteError;
    if (got < kFileCopyChunk) return 0;
  }
}

std::unique_ptr<TFileList>& GlobalList() {
  // The holder itself is never destroyed: the record-set layer's session list stops the engine
  // from its own static destructor, which may run after this function's statics are gone.
  static auto* list = new std::unique_ptr<TFileList>();
  return *list;
}

}  // namespace

std::string FileKey(const std::string& name, bool memory) {
  if (memory) return platform::Win1252UpperString(platform::TrimFileName(name));
  return platform::CanonicalFilePath(name);
}

TFileList::~TFileList() {
  std::lock_guard<std::mutex> guard(mutex_);
  files_.clear();
}

TAbstractFile* TFileList::Find(const std::string& key, bool memory) const {
  for (const auto& file : files_)
    if (file->IsMemory() == memory && file->Key() == key) return file.get();
  return nullptr;
}

void TFileList::Remove(TAbstractFile* file) {
  for (auto it = files_.begin(); it != files_.end(); ++it) {
    if (it->get() == file) {
      files_.erase(it);
      return;
    }
  }
}

int32_t TFileList::CreateFile(const std::string& name, bool memory, bool temporary,
                              TAbstractFile*& file, bool writeThrough, bool sequential) {
  file = nullptr;
  if (BaseName(name).empty()) return kInvalidPath;
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string key = FileKey(name, memory);
  TAbstractFile* target = Find(key, memory);
  const bool listed = target != nullptr;
  if (listed && target->OpenCount() >= 1) return kAccessDenied;
  if (!listed) {
    files_.push_back(NewFile(memory, cache_));
    target = files_.back().get();
    target->name_ = platform::TrimFileName(name);
    target->key_ = key;
  }
  target->exclusive_ = true;
  target->temporary_ = temporary;
  target->writeThrough_ = writeThrough;
  target->sequential_ = sequential;
  const int32_t result = target->CreateContent();
  if (result < 0) {
    if (!listed || !memory) Remove(target);
    return result;
  }
  file = target;
  return result;
}

int32_t TFileList::Open(const std::string& name, bool memory, bool sequential, bool writeThrough,
                        bool temporary, bool exclusive, bool& openedReadOnly,
                        TAbstractFile*& file) {
  file = nullptr;
  openedReadOnly = false;
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string key = FileKey(name, memory);
  if (key.empty()) return kInvalidPath;
  TAbstractFile* target = Find(key, memory);
  int32_t result;
  if (target != nullptr && target->OpenCount() == 0) {
    target->exclusive_ = exclusive;
    target->temporary_ = temporary;
    target->writeThrough_ = writeThrough;
    target->sequential_ = sequential;
    result = target->OpenHandle();
    // A remembered disk file that can no longer be opened (deleted by another process, say) is
    // forgotten, so the list never claims it exists.
    if (result < 0 && !memory) Remove(target);
  } else if (target != nullptr) {
    if (target->exclusive_ || exclusive) return kAccessDenied;
    result = target->OpenHandle();
  } else if (memory) {
    return kInvalidPath;
  } else {
    files_.push_back(NewFile(false, cache_));
    target = files_.back().get();
    target->name_ = platform::TrimFileName(name);
    target->key_ = key;
    target->exclusive_ = exclusive;
    target->temporary_ = temporary;
    target->writeThrough_ = writeThrough;
    target->sequential_ = sequential;
    result = target->OpenHandle();
    if (result < 0) Remove(target);
  }
  if (result < 0) return result;
  openedReadOnly = target->OpenedReadOnly();
  file = target;
  return result;
}

int32_t TFileList::Close(TAbstractFile* file, bool memory, int32_t handle) {
  std::lock_guard<std::mutex> guard(mutex_);
  bool listed = false;
  for (const auto& entry : files_)
    if (entry.get() == file && entry->IsMemory() == memory) listed = true;
  if (!listed || file->OpenCount() == 0) return kInvalidPath;
  const int32_t result = file->CloseHandle(handle);
  if (result < 0) return result;
  if (file->OpenCount() == 0 && file->Temporary()) {
    if (memory) file->Delete();
    Remove(file);  // a disk file's descriptor closed above, deleting it
  }
  return 0;
}

int32_t TFileList::Rename(const std::string& name, bool memory, const std::string& newName) {
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string key = FileKey(name, memory);
  const std::string newKey = FileKey(newName, memory);
  if (key.empty() || newKey.empty() || BaseName(newName).empty()) return kInvalidPath;
  TAbstractFile* target = Find(key, memory);
  TAbstractFile* other = newKey == key ? nullptr : Find(newKey, memory);
  if (target != nullptr && target->OpenCount() >= 1) return kAccessDenied;
  if (memory) {
    if (target == nullptr) return kInvalidPath;
    // Two memory files under one name would make the name ambiguous.
    if (other != nullptr) return kAlreadyExists;
  } else {
    if (other != nullptr && other->OpenCount() >= 1) return kAlreadyExists;
    const int32_t result = target != nullptr ? target->Rename(newName)
                                             : platform::RenameFileOnDisk(name, newName);
    if (result < 0) return result;
    // A closed entry remembered under the new name described a file that no longer existed.
    if (other != nullptr) Remove(other);
  }
  if (target != nullptr) {
    target->name_ = platform::TrimFileName(newName);
    target->key_ = newKey;
  }
  return 0;
}

int32_t TFileList::Delete(const std::string& name, bool memory) {
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string key = FileKey(name, memory);
  if (key.empty()) return kInvalidPath;
  TAbstractFile* target = Find(key, memory);
  if (target == nullptr) return memory ? kInvalidPath : platform::DeleteFileOnDisk(name);
  if (target->OpenCount() >= 1) return kAccessDenied;
  const int32_t result = target->Delete();
  if (result < 0 && result != kInvalidPath) return result;
  Remove(target);
  return result;
}

bool TFileList::Exists(const std::string& name, bool memory) {
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string key = FileKey(name, memory);
  if (key.empty()) return false;
  TAbstractFile* target = Find(key, memory);
  if (memory) return target != nullptr;
  if (target != nullptr && target->OpenCount() >= 1) return true;
  return platform::FileExistsOnDisk(name);
}

int32_t TFileList::CopyTo(TAbstractFile* file, int32_t handle, const std::string& name,
                          bool memory) {
  TAbstractFile* target = nullptr;
  const int32_t targetHandle = CreateFile(name, memory, false, target);
  if (targetHandle < 0) return targetHandle;
  int32_t result = file->Seek(handle, 0, kSeekFromStart) < 0 ? kReadError : 0;
  if (result == 0) result = CopyContent(file, handle, target, targetHandle);
  const int32_t closed = Close(target, memory, targetHandle);
  return result < 0 ? result : closed;
}

int32_t TFileList::CopyFrom(TAbstractFile* file, int32_t handle, const std::string& name,
                            bool memory) {
  TAbstractFile* source = nullptr;
  bool readOnly = false;
  const int32_t sourceHandle = Open(name, memory, true, false, false, true, readOnly, source);
  if (sourceHandle < 0) return sourceHandle;
  int32_t result = source->Seek(sourceHandle, 0, kSeekFromStart) < 0 ? kReadError : 0;
  if (result == 0) result = CopyContent(source, sourceHandle, file, handle);
  const int32_t closed = Close(source, memory, sourceHandle);
  return result < 0 ? result : closed;
}

int32_t TFileList::ReserveNewFile(const std::string& name, bool memory) {
  std::lock_guard<std::mutex> guard(mutex_);
  const std::string key = FileKey(name, memory);
  if (key.empty() || BaseName(name).empty()) return kInvalidPath;
  if (Find(key, memory) != nullptr) return 1;
  if (!memory) return platform::CreateNewFileOnDisk(name);
  files_.push_back(NewFile(true, cache_));
  files_.back()->name_ = platform::TrimFileName(name);
  files_.back()->key_ = key;
  return 0;
}

size_t TFileList::Count() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return files_.size();
}

void CreateEngineFileList() {
  if (!GlobalList()) GlobalList() = std::make_unique<TFileList>();
}

void FreeEngineFileList() { GlobalList().reset(); }

TFileList* EngineFileList() { return GlobalList().get(); }

void SetEnginePageCacheBudget(int64_t bytes) {
  if (TFileList* list = EngineFileList()) list->PageCache().SetBudget(bytes);
}

bool EngineFileExists(const std::string& name, bool memory) {
  TFileList* list = EngineFileList();
  return list != nullptr && list->Exists(name, memory);
}

std::string GetUniversalName(const std::string& path) {
  (void)path;
  return {};
}

}  // namespace tovenmarsh::engine
