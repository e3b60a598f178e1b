// Tagged-value writer and reader in the class library's filer encoding, used by the container
// streams and by the stored properties of the full-text index.
//
// An integer is a type byte 2, 3 or 4 and 1, 2 or 4 little-endian bytes (the shortest that
// holds it); a string is 6 and a one-byte length, or 12 and a 4-byte length when longer than
// 255, then its bytes; a Boolean is 8 (false) or 9 (true); a list is 1 ... 0. The reader checks
// every type byte and every length against what the stream still holds, so damaged input ends
// in EReadError and never in an oversized allocation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/stream.h"

namespace tovenmarsh::fulltext {

enum TValueType : uint8_t {
  vaNull = 0,  // end of a list
  vaList = 1,
  vaInt8 = 2,
  vaInt16 = 3,
  vaInt32 = 4,
  vaString = 6,
  vaFalse = 8,
  vaTrue = 9,
  vaLString = 12,
};

class TFilerWriter {
 public:
  explicit TFilerWriter(platform::TStream& stream) : stream_(stream) {}

  void WriteInteger(int32_t value);
  void WriteString(std::string_view text);
  void WriteBoolean(bool value);
  void WriteListBegin();
  void WriteListEnd();
  void Write(const void* buffer, size_t count);  // raw bytes

 private:
  platform::TStream& stream_;
};

class TFilerReader {
 public:
  explicit TFilerReader(platform::TStream& stream) : stream_(stream) {}

  int32_t ReadInteger();
  std::string ReadString();
  bool ReadBoolean();
  void ReadListBegin();
  void ReadListEnd();
  // True when the next value is the end of a list (nothing is consumed).
  bool EndOfList();
  // The type of the next value without consuming it.
  TValueType NextValue();
  void Read(void* buffer, size_t count);  // raw bytes
  // Bytes left between the position and the end of the stream.
  int64_t Remaining();
  bool AtEnd() { return Remaining() <= 0; }

 private:
  uint8_t ReadByte();
  [[noreturn]] void Invalid();

  platform::TStream& stream_;
};

}  // namespace tovenmarsh::fulltext
