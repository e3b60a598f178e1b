// Byte layout of a table's BLOB file (.BLB): the 512-byte header and the chained blocks of the
// table's BLOB block size, each with an 18-byte block header; and the 8-byte BLOB field of a
// record (first block, owner id).
//
// This is the only place that knows these offsets. Blocks are identified by their file offset;
// 0 means "no block".
#pragma once

#include <cstdint>
#include <vector>

#include "engine/format/table_format_bytes.h"

namespace tovenmarsh::engine::blob_format {

inline constexpr uint32_t kHeaderSize = 512;
inline constexpr uint8_t kVersion = 4;
inline constexpr uint32_t kDefaultBlockSize = 512;  // a stored block size of 0 means this
inline constexpr uint32_t kMinBlockSize = 64;
// Bytes-used is 16-bit, so a block may not hold more than 65535 bytes.
inline constexpr uint32_t kMaxBlockSize = 65535;
inline constexpr int64_t kMaxEndOffset = 2000000001;  // appends only below this

// Header (offset 0).
inline constexpr TFormatField kUpdateCounter{0, 4};
inline constexpr TFormatField kReserved1{4, 4};
inline constexpr TFormatField kFileVersion{8, 1};
inline constexpr TFormatField kFreeHead{9, 4};
inline constexpr TFormatField kEndOffset{13, 4};
inline constexpr TFormatField kHeaderModified{17, 1};
inline constexpr TFormatField kTail{18, 494};
static_assert(FollowsField(kUpdateCounter, kReserved1) && FollowsField(kReserved1, kFileVersion) &&
              FollowsField(kFileVersion, kFreeHead) && FollowsField(kFreeHead, kEndOffset) &&
              FollowsField(kEndOffset, kHeaderModified) && FollowsField(kHeaderModified, kTail));
static_assert(kTail.End() == kHeaderSize, "the BLOB-file header is 512 bytes");

// Block header (relative to the block's start).
inline constexpr TFormatField kBlockPrev{0, 4};
inline constexpr TFormatField kBlockNext{4, 4};
inline constexpr TFormatField kBlockUsed{8, 2};
inline constexpr TFormatField kBlockOwner{10, 4};
inline constexpr TFormatField kBlockTotal{14, 4};
inline constexpr uint32_t kBlockHeaderSize = 18;
static_assert(FollowsField(kBlockPrev, kBlockNext) && FollowsField(kBlockNext, kBlockUsed) &&
              FollowsField(kBlockUsed, kBlockOwner) && FollowsField(kBlockOwner, kBlockTotal));
static_assert(kBlockTotal.End() == kBlockHeaderSize);

// The BLOB field's stored value (behind its null byte): first block, owner id.
inline constexpr TFormatField kFieldFirstBlock{0, 4};
inline constexpr TFormatField kFieldOwner{4, 4};
inline constexpr uint32_t kFieldSize = 8;
static_assert(kFieldOwner.End() == kFieldSize);

constexpr uint32_t DataPerBlock(uint32_t blockSize) { return blockSize - kBlockHeaderSize; }
static_assert(DataPerBlock(512) == 494);

// The block size in force for a stored value (0 means 512).
constexpr uint32_t EffectiveBlockSize(uint32_t stored) { return stored == 0 ? kDefaultBlockSize : stored; }
constexpr bool ValidBlockSize(uint32_t blockSize) {
  return blockSize >= kMinBlockSize && blockSize <= kMaxBlockSize;
}

// Bytes used in each block of a chain holding a value of `size` bytes (empty for size 0).
std::vector<uint32_t> ChainLayout(uint64_t size, uint32_t blockSize);

// A new BLOB file's header: version 4, end offset 512, empty free list, modified.
void MakeNewHeader(uint8_t* header /* kHeaderSize bytes */);

}  // namespace tovenmarsh::engine::blob_format
