// Byte streams in the manner of the class library: a position, a size, reads and writes that
// move the position, and Buffer variants that raise when a transfer is short.
//
// TMemoryStream keeps its bytes in one std::string (Memory() is contiguous); positions may lie
// beyond the end, and a write there fills the gap with zeros. TFileStream is a file descriptor
// with the file's own position. Positions are never negative.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/exception.h"

namespace tovenmarsh::platform {

TM_DECLARE_EXCEPTION(EStreamError, Exception);
TM_DECLARE_EXCEPTION(EReadError, EStreamError);
TM_DECLARE_EXCEPTION(EWriteError, EStreamError);
TM_DECLARE_EXCEPTION(EFCreateError, EStreamError);
TM_DECLARE_EXCEPTION(EFOpenError, EStreamError);

enum class SeekOrigin { Beginning, Current, End };

class TStream {
 public:
  virtual ~TStream() = default;

  // Transfers up to count bytes and returns how many moved.
  virtual size_t Read(void* buffer, size_t count) = 0;
  virtual size_t Write(const void* buffer, size_t count) = 0;
  // Returns the new position; raises EStreamError for a negative one.
  virtual int64_t Seek(int64_t offset, SeekOrigin origin) = 0;
  virtual void SetSize(int64_t size) = 0;
  virtual int64_t Size();

  int64_t Position() { return Seek(0, SeekOrigin::Current); }
  void SetPosition(int64_t position) { Seek(position, SeekOrigin::Beginning); }

  // Exactly count bytes or EReadError / EWriteError.
  void ReadBuffer(void* buffer, size_t count);
  void WriteBuffer(const void* buffer, size_t count);
  void WriteString(std::string_view text) { WriteBuffer(text.data(), text.size()); }

  // Copies count bytes from source's position; count 0 copies all of source from its start.
  // Returns the bytes copied; a short source raises EReadError.
  int64_t CopyFrom(TStream& source, int64_t count);
};

class TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t size) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  char* Memory() { return data_.data(); }
  const char* Memory() const { return data_.data(); }
  // The whole content, whatever the position.
  const std::string& Bytes() const { return data_; }

  void Clear();
  void LoadFromStream(TStream& source);  // replaces the content with all of source
  void SaveToStream(TStream& target);    // writes the whole content
  void LoadFromFile(const std::string& path);
  void SaveToFile(const std::string& path);

 protected:
  std::string data_;
  int64_t position_ = 0;
};

class TStringStream : public TMemoryStream {
 public:
  explicit TStringStream(std::string_view text = {}) { data_.assign(text); }
  const std::string& DataString() const { return data_; }
};

// Open modes of TFileStream.
enum : uint32_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmCreate = 0xFFFF,  // create or truncate, read and write
};

class TFileStream : public TStream {
 public:
  // Raises EFCreateError (fmCreate) or EFOpenError naming the file and the system's reason.
  TFileStream(const std::string& path, uint32_t mode);
  ~TFileStream() override;
  TFileStream(const TFileStream&) = delete;
  TFileStream& operator=(const TFileStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, SeekOrigin origin) override;
  void SetSize(int64_t size) override;

  int Handle() const { return fd_; }
  const std::string& FileName() const { return path_; }
  // Flushes the file's data to the disk; raises EWriteError on failure.
  void Sync();

 private:
  std::string path_;
  int fd_ = -1;
};

}  // namespace tovenmarsh::platform
