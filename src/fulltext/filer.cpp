// Filer encoding of tagged values; every read is bounded by what the stream holds.
#include "fulltext/filer.h"

namespace tovenmarsh::fulltext {

using platform::EReadError;

void TFilerWriter::WriteInteger(int32_t value) {
  uint8_t buffer[5];
  size_t width;
  if (value >= -128 && value <= 127) {
    buffer[0] = vaInt8;
    width = 1;
  } else if (value >= -32768 && value <= 32767) {
    buffer[0] = vaInt16;
    width = 2;
  } else {
    buffer[0] = vaInt32;
    width = 4;
  }
  const auto bits = static_cast<uint32_t>(value);
  for (size_t k = 0; k < width; ++k) buffer[1 + k] = static_cast<uint8_t>(bits >> (8 * k));
  stream_.WriteBuffer(buffer, 1 + width);
}

void TFilerWriter::WriteString(std::string_view text) {
  if (text.size() > 0xFFFFFFFFu) throw platform::EWriteError("String too long for the stream");
  uint8_t header[5];
  size_t width;
  if (text.size() <= 255) {
    header[0] = vaString;
    header[1] = static_cast<uint8_t>(text.size());
    width = 2;
  } else {
    header[0] = vaLString;
    const auto n = static_cast<uint32_t>(text.size());
    for (size_t k = 0; k < 4; ++k) header[1 + k] = static_cast<uint8_t>(n >> (8 * k));
    width = 5;
  }
  stream_.WriteBuffer(header, width);
  stream_.WriteBuffer(text.data(), text.size());
}

void TFilerWriter::WriteBoolean(bool value) {
  const uint8_t tag = value ? vaTrue : vaFalse;
  stream_.WriteBuffer(&tag, 1);
}

void TFilerWriter::WriteListBegin() {
  const uint8_t tag = vaList;
  stream_.WriteBuffer(&tag, 1);
}

void TFilerWriter::WriteListEnd() {
  const uint8_t tag = vaNull;
  stream_.WriteBuffer(&tag, 1);
}

void TFilerWriter::Write(const void* buffer, size_t count) { stream_.WriteBuffer(buffer, count); }

void TFilerReader::Invalid() { throw EReadError("Invalid stream format"); }

int64_t TFilerReader::Remaining() {
  const int64_t left = stream_.Size() - stream_.Position();
  return left > 0 ? left : 0;
}

uint8_t TFilerReader::ReadByte() {
  uint8_t b;
  Read(&b, 1);
  return b;
}

void TFilerReader::Read(void* buffer, size_t count) {
  if (static_cast<uint64_t>(Remaining()) < count) throw EReadError("Stream read error");
  stream_.ReadBuffer(buffer, count);
}

TValueType TFilerReader::NextValue() {
  const uint8_t tag = ReadByte();
  stream_.Seek(-1, platform::SeekOrigin::Current);
  return static_cast<TValueType>(tag);
}

int32_t TFilerReader::ReadInteger() {
  size_t width;
  switch (ReadByte()) {
    case vaInt8: width = 1; break;
    case vaInt16: width = 2; break;
    case vaInt32: width = 4; break;
    default: Invalid();
  }
  uint8_t bytes[4] = {};
  Read(bytes, width);
  uint32_t bits = 0;
  for (size_t k = 0; k < width; ++k) bits |= static_cast<uint32_t>(bytes[k]) << (8 * k);
  if (width == 1) return static_cast<int8_t>(bits);
  if (width == 2) return static_cast<int16_t>(bits);
  return static_cast<int32_t>(bits);
}

std::string TFilerReader::ReadString() {
  uint64_t length;
  switch (ReadByte()) {
    case vaString:
      length = ReadByte();
      break;
    case vaLString: {
      uint8_t bytes[4];
      Read(bytes, 4);
      length = static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
               static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
      break;
    }
    default:
      Invalid();
  }
  if (length > static_cast<uint64_t>(Remaining())) throw EReadError("Stream read error");
  std::string text(static_cast<size_t>(length), '\0');
  Read(text.data(), text.size());
  return text;
}

bool TFilerReader::ReadBoolean() {
  switch (ReadByte()) {
    case vaFalse: return false;
    case vaTrue: return true;
    default: Invalid();
  }
}

void TFilerReader::ReadListBegin() {
  if (ReadByte() != vaList) Invalid();
}

void TFilerReader::ReadListEnd() {
  if (ReadByte() != vaNull) Invalid();
}

bool TFilerReader::EndOfList() { return NextValue() == vaNull; }

}  // namespace tovenmarsh::fulltext
