// New-file headers of the index and BLOB files and the block layout of a BLOB chain.
// Implements the calls of engine/format/index_file_format.h and blob_file_format.h.
#include <cstring>

#include "engine/format/blob_file_format.h"
#include "engine/format/index_file_format.h"

namespace tovenmarsh::engine {

void index_format::MakeNewHeader(uint8_t* header) {
  std::memset(header, 0, kHeaderSize);
  PutU8(header, kFileVersion, kVersion);
  PutU32(header, kEndOffset, kHeaderSize);
  uint8_t* slot = header + SlotOffset(kStatusSlot);
  PutShortString(slot, kSlotName, kStatusIndexName);
  PutU16(slot, kSlotKeySize, kStatusKeySize);
  PutU8(header, kHeaderModified, 1);
}

void blob_format::MakeNewHeader(uint8_t* header) {
  std::memset(header, 0, kHeaderSize);
  PutU8(header, kFileVersion, kVersion);
  PutU32(header, kEndOffset, kHeaderSize);
  PutU8(header, kHeaderModified, 1);
}

std::vector<uint32_t> blob_format::ChainLayout(uint64_t size, uint32_t blockSize) {
  std::vector<uint32_t> used;
  const uint32_t per = DataPerBlock(blockSize);
  while (size > 0) {
    const uint32_t n = size < per ? static_cast<uint32_t>(size) : per;
    used.push_back(n);
    size -= n;
  }
  return used;
}

}  // namespace tovenmarsh::engine
