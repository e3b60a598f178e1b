// Header blocks of the index and BLOB files (see file_header.h). The modified flag is written as
// the copy holds it and ignored when read.
#include "engine/io/file_header.h"

#include "engine/io/file_handler.h"
#include "engine/format/key_encoding.h"

namespace tovenmarsh::engine {

TFileHeader::TFileHeader(TFileHandler& file, uint32_t size, TFormatField modified, uint8_t key1, uint8_t key2)
    : file_(file), bytes_(size, 0), modified_(modified), key1_(key1), key2_(key2) {}

void TFileHeader::ReadBlock(std::vector<uint8_t>& out, bool encrypted) {
  out.resize(bytes_.size());
  file_.ReadAt(0, out.data(), static_cast<int64_t>(out.size()));
  if (encrypted) DecryptBlock(out.data(), static_cast<uint16_t>(out.size()), key1_, key2_);
}

void TFileHeader::Take(const std::vector<uint8_t>& bytes) {
  bytes_ = bytes;
  PutU8(bytes_.data(), modified_, 0);
  diskCounter_ = Counter();
}

void TFileHeader::Read(bool encrypted) {
  std::vector<uint8_t> bytes;
  ReadBlock(bytes, encrypted);
  Take(bytes);
}

bool TFileHeader::Write(bool force, bool encrypted) {
  if (!force && !Modified()) return false;
  std::vector<uint8_t> bytes = bytes_;
  PutU32(bytes.data(), kUpdateCounter, Counter() + 1);
  std::vector<uint8_t> stored = bytes;
  if (encrypted) EncryptBlock(stored.data(), static_cast<uint16_t>(stored.size()), key1_, key2_);
  {
    TFileAccess access(file_);
    file_.Seek(0);
    file_.Write(stored.data(), static_cast<int64_t>(stored.size()));
  }
  Take(bytes);
  return true;
}

void TFileHeader::WriteAsIs(bool encrypted) {
  std::vector<uint8_t> stored = bytes_;
  if (encrypted) EncryptBlock(stored.data(), static_cast<uint16_t>(stored.size()), key1_, key2_);
  {
    TFileAccess access(file_);
    file_.Seek(0);
    file_.Write(stored.data(), static_cast<int64_t>(stored.size()));
  }
  diskCounter_ = Counter();
}

bool TFileHeader::Changed(bool encrypted) {
  // The counter alone first: unchanged means nobody wrote the header.
  uint8_t counter[kUpdateCounter.Width];
  if (file_.PeekHead(kUpdateCounter.Offset, counter, kUpdateCounter.Width)) {
    if (encrypted) DecryptBlock(counter, kUpdateCounter.Width, key1_, key2_);
    if (GetU32(counter, 0) == diskCounter_) return false;
  }
  std::vector<uint8_t> bytes;
  ReadBlock(bytes, encrypted);
  if (GetU32(bytes.data(), kUpdateCounter) == diskCounter_) return false;
  Take(bytes);
  return true;
}

void TFileHeader::CountChange() {
  PutU32(bytes_.data(), kUpdateCounter, Counter() + 1);
  SetModified();
}

}  // namespace tovenmarsh::engine
