// The byte buffer of one direction of a connection.
//
// TTCPBuffer keeps the bytes of a read or of a pending write, the status code and error text of
// the last socket operation on it, a fixed receive area for single receives, CR LF line taking,
// and four stream transfers. Two transfers apply the SMTP/POP3 end-of-data convention ("." on a
// line of its own) with full dot transparency: sending adds a "." before every line that starts
// with "." (the first line included), receiving removes it again, so Unstuffed(Stuffed(m)) == m
// for every message m. Growth is geometric; the capacity never drops below 1024.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/stream.h"

namespace tovenmarsh::core {

// Socket status codes kept after each read or write.
enum TSocketStatus : uint8_t {
  ssOK = 0,
  ssTimeout = 1,
  ssConnectionReset = 2,
  ssConnectionClosed = 3,
  ssSocketError = 4,
  ssCancelled = 5,
};

class TBuffer {
 public:
  virtual ~TBuffer() = default;
  virtual void SaveToStreamUnstuffed(platform::TStream& stream) = 0;
  virtual int64_t LoadFromStreamStuffed(platform::TStream& stream) = 0;
  virtual int64_t LoadFromStream(platform::TStream& stream) = 0;
  virtual void SaveToStream(platform::TStream& stream) = 0;
};

class TTCPBuffer : public TBuffer {
 public:
  static constexpr size_t kReceiveAreaSize = 8193;
  static constexpr size_t kMinimumCapacity = 1024;
  // TakeLine finds a CR LF only when it starts at an index up to this.
  static constexpr size_t kMaxLineStart = 512;

  // Uses |capacity| when that is at least 1024, else 1024.
  explicit TTCPBuffer(int capacity = 8192);

  // Resizes to n (at least 1024) keeping the first bytes, and empties the buffer.
  void SetCapacity(size_t n);
  size_t Capacity() const { return capacity_; }
  size_t Length() const { return length_; }
  bool HasData() const { return length_ > 0; }
  void Clear() { length_ = 0; }

  void AddText(std::string_view text) { AddBytes(text.data(), text.size()); }
  void AddBytes(const void* bytes, size_t count);
  // Appends the stream's bytes from its position to its end.
  void AddStream(platform::TStream& stream);

  std::string GetText() const { return std::string(data_.data(), length_); }
  std::string_view View() const { return std::string_view(data_.data(), length_); }
  const char* Data() const { return data_.data(); }
  bool EndsWith(std::string_view tail) const;

  // Removes and returns the first line with its CR LF when a CR LF starts at index 0..512;
  // otherwise returns "" and leaves the buffer unchanged.
  std::string TakeLine();

  uint8_t Status() const { return status_; }
  void SetStatus(uint8_t status) { status_ = status; }
  const std::string& ErrorText() const { return errorText_; }
  void SetErrorText(std::string text) { errorText_ = std::move(text); }

  // The target of a single receive.
  char* ReceiveArea() { return receiveArea_.data(); }

  // Writes the data raw.
  void SaveToStream(platform::TStream& stream) override;
  // Appends the rest of the stream raw; returns the bytes still after its position (0).
  int64_t LoadFromStream(platform::TStream& stream) override;
  // Writes a received message: the final "\r\n.\r\n" (or a lone ".\r\n") is dropped and the
  // leading "." of every line that starts with one is removed. Nothing for an empty buffer.
  void SaveToStreamUnstuffed(platform::TStream& stream) override;
  // Appends the rest of the stream for sending: a "." before every line that starts with ".",
  // then "\r\n.\r\n". Returns the bytes read; 0 (and nothing appended) for an empty rest.
  int64_t LoadFromStreamStuffed(platform::TStream& stream) override;

 private:
  void Grow(size_t needed);

  std::vector<char> receiveArea_;
  std::vector<char> data_;  // capacity_ + 1 bytes; data_[capacity_] == 0
  size_t capacity_ = 0;
  size_t length_ = 0;
  uint8_t status_ = ssOK;
  std::string errorText_;
};

}  // namespace tovenmarsh::core
