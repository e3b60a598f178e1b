// The engine's handle on one table file (data, index and BLOB files derive from it). A handler
// never touches the operating system: it opens its name through the file list (file_list.h),
// which shares one TAbstractFile among all handlers of the process, and keeps its own handle
// number and position there.
//
// Contract: every failure raises the engine error with the handler's file name as the table name
// (a negative result -n of the file list raises n); short reads raise 9217 unless partial reads
// are allowed, short writes 9218. Destroying an open handler closes it.
#pragma once

#include <cstdint>
#include <string>

#include "engine/io/file_abstract.h"

namespace tovenmarsh::engine {

class TFileList;

class TFileHandler {
 public:
  // `list` is the file list to use; nullptr means the engine's (EngineFileList()).
  explicit TFileHandler(std::string fileName = {}, bool memory = false, TFileList* list = nullptr);
  virtual ~TFileHandler();
  TFileHandler(const TFileHandler&) = delete;
  TFileHandler& operator=(const TFileHandler&) = delete;

  // Settings, changed while closed.
  const std::string& FileName() const { return fileName_; }
  void SetFileName(std::string name) { fileName_ = std::move(name); }
  bool Memory() const { return memory_; }
  void SetMemory(bool memory) { memory_ = memory; }
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool exclusive) { exclusive_ = exclusive; }
  bool Temporary() const { return temporary_; }
  void SetTemporary(bool temporary) { temporary_ = temporary; }
  bool WriteThrough() const { return writeThrough_; }
  void SetWriteThrough(bool writeThrough) { writeThrough_ = writeThrough; }
  bool Sequential() const { return sequential_; }
  void SetSequential(bool sequential) { sequential_ = sequential; }

  // State.
  bool IsOpen() const { return open_; }
  bool OpenedReadOnly() const { return openedReadOnly_; }
  int32_t HandleNumber() const { return handle_; }
  TAbstractFile* SharedFile() const { return file_; }

  // Opens the named file: 11010 when it does not exist, 11013 when it is open exclusively or this
  // open is exclusive and it is open. Nothing when already open.
  virtual void Open();
  // Releases the handle. Nothing when closed.
  virtual void Close();
  // Creates (or empties) the file and leaves the handler open on it, exclusively.
  virtual void CreateFile();
  // Deletes or renames the (closed) file; after a rename the handler carries the new name.
  virtual void DeleteFile();
  virtual void RenameFile(const std::string& newName);
  // Copies this file's content (from its start) into a new file of that name and kind.
  virtual void CopyToFile(const std::string& name);
  // Copies the named file of the same kind into this file at this handle's position. Nothing when
  // this handler is not open.
  void CopyFromFile(const std::string& name);
  bool FileExists() const;

  // At this handle's position, which advances. Read raises 9217 when fewer than count bytes come
  // back and partial reads are not allowed; Write raises 9218 when fewer are written. A write of 0
  // bytes truncates the file at the position.
  virtual int64_t Read(void* buffer, int64_t count, bool partialAllowed = false);
  virtual int64_t Write(const void* buffer, int64_t count);
  // A seek to offset and a read at once (one lock of the shared file); as Read.
  // Without `keep` the bytes come from the process's page cache when held, but the read adds
  // nothing to it (a page a scan passes once).
  int64_t ReadAt(int64_t offset, void* buffer, int64_t count, bool partialAllowed = false, bool keep = true);
  // The bytes at offset as the file holds them now, read cheaply where the file allows it
  // (TAbstractFile::PeekHead): false when the caller must read them. Only within the first
  // kFileHeadSize bytes; the position is not touched.
  bool PeekHead(int64_t offset, void* buffer, int64_t count) const {
    return open_ && file_ != nullptr && file_->PeekHead(offset, buffer, count);
  }
  // origin 0 from the start, 1 from the position, 2 from the end. The new position; a target
  // below 0 raises 11047 and leaves the position.
  int64_t Seek(int64_t offset, int origin = kSeekFromStart);
  // This handle's position (0 when closed).
  int64_t Position() const;
  int64_t GetSize();
  // File buffers to the device (disk files only).
  virtual void Flush();
  // Locks (lock = true) or unlocks a byte range without waiting: true on success, false when
  // refused or when no file is held.
  bool LockRange(int64_t offset, int64_t length, bool lock);

  // The shared file's critical section around a seek and the read or write after it. Calls nest.
  // Never create, open, close, copy, rename or delete files inside it: the file list's lock comes
  // before a file's.
  void BeginAccess();
  void EndAccess();

 protected:
  // The list in use; raises 10758 when the engine's list does not exist.
  TFileList& List() const;
  [[noreturn]] void Raise(int32_t code) const;
  [[noreturn]] void Raise(int32_t code, const std::string& name) const;

 private:
  void Adopt(TAbstractFile* file, int32_t handle, bool openedReadOnly);

  TFileList* list_;
  bool memory_;
  TAbstractFile* file_ = nullptr;
  std::string fileName_;
  int32_t handle_ = 0;
  bool exclusive_ = false;
  bool openedReadOnly_ = false;
  bool open_ = false;
  bool temporary_ = false;
  bool writeThrough_ = false;
  bool sequential_ = false;
  TAbstractFile* accessFile_ = nullptr;  // the file BeginAccess entered
  int accessDepth_ = 0;
};

// BeginAccess for the guard's lifetime.
class TFileAccess {
 public:
  explicit TFileAccess(TFileHandler& handler) : handler_(handler) { handler_.BeginAccess(); }
  ~TFileAccess() { handler_.EndAccess(); }
  TFileAccess(const TFileAccess&) = delete;
  TFileAccess& operator=(const TFileAccess&) = delete;

 private:
  TFileHandler& handler_;
};

}  // namespace tovenmarsh::engine
