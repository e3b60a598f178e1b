// The engine's handle on one table file (see file_handler.h).
#include "engine/io/file_handler.h"

#include "engine/base/engine_error.h"
#include "engine/io/file_list.h"

namespace tovenmarsh::engine {

TFileHandler::TFileHandler(std::string fileName, bool memory, TFileList* list)
    : list_(list), memory_(memory), fileName_(std::move(fileName)) {}

TFileHandler::~TFileHandler() {
  if (file_ != nullptr && handle_ > 0) {
    if (TFileList* list = list_ != nullptr ? list_ : EngineFileList())
      list->Close(file_, memory_, handle_);
  }
}

TFileList& TFileHandler::List() const {
  TFileList* list = list_ != nullptr ? list_ : EngineFileList();
  if (list == nullptr) RaiseEngineError(kErrEngineNotInitialized);
  return *list;
}

void TFileHandler::Raise(int32_t code) const { Raise(code, fileName_); }

void TFileHandler::Raise(int32_t code, const std::string& name) const {
  RaiseEngineError(static_cast<uint16_t>(code), name);
}

void TFileHandler::Adopt(TAbstractFile* file, int32_t handle, bool openedReadOnly) {
  file_ = file;
  handle_ = handle;
  openedReadOnly_ = openedReadOnly;
  open_ = true;
}

void TFileHandler::Open() {
  if (open_) return;
  TFileList& list = List();
  if (!list.Exists(fileName_, memory_)) Raise(kErrInvalidPath);
  bool readOnly = false;
  TAbstractFile* file = nullptr;
  const int32_t result = list.Open(fileName_, memory_, sequential_, writeThrough_, temporary_,
                                   exclusive_, readOnly, file);
  if (result < 0) Raise(-result);
  Adopt(file, result, readOnly);
}

void TFileHandler::Close() {
  if (handle_ > 0 && file_ != nullptr) List().Close(file_, memory_, handle_);
  file_ = nullptr;
  handle_ = 0;
  open_ = false;
}

void TFileHandler::CreateFile() {
  Close();
  TAbstractFile* file = nullptr;
  const int32_t result =
      List().CreateFile(fileName_, memory_, temporary_, file, writeThrough_, sequential_);
  if (result < 0) Raise(-result);
  Adopt(file, result, false);
}

void TFileHandler::DeleteFile() {
  const int32_t result = List().Delete(fileName_, memory_);
  if (result < 0) Raise(-result);
}

void TFileHandler::RenameFile(const std::string& newName) {
  const int32_t result = List().Rename(fileName_, memory_, newName);
  if (result < 0) Raise(-result);
  fileName_ = newName;
}

void TFileHandler::CopyToFile(const std::string& name) {
  if (!open_) Raise(kErrInvalidFileHandle);
  const int32_t result = List().CopyTo(file_, handle_, name, memory_);
  if (result < 0) Raise(-result, result == -kErrWriteError ? name : fileName_);
}

void TFileHandler::CopyFromFile(const std::string& name) {
  if (!open_) return;
  const int32_t result = List().CopyFrom(file_, handle_, name, memory_);
  if (result < 0) Raise(-result, result == -kErrWriteError ? fileName_ : name);
}

bool TFileHandler::FileExists() const { return List().Exists(fileName_, memory_); }

int64_t TFileHandler::Read(void* buffer, int64_t count, bool partialAllowed) {
  if (!open_) Raise(kErrInvalidFileHandle);
  const int64_t got = file_->Read(handle_, buffer, count);
  if (got < 0 || (got < count && !partialAllowed)) Raise(kErrReadError);
  return got;
}

int64_t TFileHandler::ReadAt(int64_t offset, void* buffer, int64_t count, bool partialAllowed, bool keep) {
  if (!open_) Raise(kErrInvalidFileHandle);
  if (offset < 0) Raise(kErrUnknownOsError);
  const int64_t got = file_->ReadAt(handle_, offset, buffer, count, keep);
  if (got < 0 || (got < count && !partialAllowed)) Raise(kErrReadError);
  return got;
}

int64_t TFileHandler::Write(const void* buffer, int64_t count) {
  if (!open_) Raise(kErrInvalidFileHandle);
  const int64_t put = file_->Write(handle_, buffer, count);
  if (put < 0 || put < count) Raise(kErrWriteError);
  return put;
}

int64_t TFileHandler::Seek(int64_t offset, int origin) {
  if (!open_) Raise(kErrInvalidFileHandle);
  const int64_t position = file_->Seek(handle_, offset, origin);
  // A seek before the start of the file, as the system's seek reports it.
  if (position < 0) Raise(kErrUnknownOsError);
  return position;
}

int64_t TFileHandler::Position() const {
  if (!open_) return 0;
  const int64_t position = file_->Position(handle_);
  return position < 0 ? 0 : position;
}

int64_t TFileHandler::GetSize() {
  if (!open_) Raise(kErrInvalidFileHandle);
  const int64_t size = file_->Size();
  if (size < 0) Raise(static_cast<int32_t>(-size));
  return size;
}

void TFileHandler::Flush() {
  if (!open_ || memory_) return;
  const int32_t result = file_->Flush();
  // Data the device did not take is a failed write, whatever the system called it.
  if (result < 0) Raise(result == -kErrInvalidFileHandle ? kErrInvalidFileHandle : kErrWriteError);
}

bool TFileHandler::LockRange(int64_t offset, int64_t length, bool lock) {
  if (file_ == nullptr) return false;
  return lock ? file_->LockRange(offset, length) : file_->UnlockRange(offset, length);
}

void TFileHandler::BeginAccess() {
  if (accessDepth_ == 0) accessFile_ = file_;
  if (accessFile_ != nullptr) accessFile_->Enter();
  ++accessDepth_;
}

void TFileHandler::EndAccess() {
  if (accessDepth_ == 0) return;
  if (accessFile_ != nullptr) accessFile_->Leave();
  if (--accessDepth_ == 0) accessFile_ = nullptr;
}

}  // namespace tovenmarsh::engine
