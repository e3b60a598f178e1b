// Byte layout of a table's index file (.IDX): the 4096-byte header with its 33 index slots of
// 120 bytes, and the 4096-byte B+-tree pages with their 13-byte page header.
//
// This is the only place that knows these offsets. Pages are identified by their file offset
// (4096, 8192, ...); 0 means "no page".
#pragma once

#include <cstdint>

#include "engine/format/table_format_bytes.h"

namespace tovenmarsh::engine::index_format {

inline constexpr uint32_t kPageSize = 4096;
inline constexpr uint32_t kHeaderSize = 4096;
inline constexpr uint8_t kVersion = 4;
inline constexpr uint32_t kSlotCount = 33;
inline constexpr uint32_t kSlotSize = 120;
inline constexpr uint32_t kMaxSecondary = 30;
inline constexpr uint32_t kStatusSlot = 31;  // "Sys Deleted"
inline constexpr uint32_t kMaxKeyFields = 16;
inline constexpr uint32_t kMaxKeySum = 524;       // sum of physical size + 1 over key fields
inline constexpr uint32_t kRecordIdSuffix = 4;    // appended to keys of non-unique indexes
inline constexpr uint32_t kMaxKeySize = kMaxKeySum + kRecordIdSuffix;
inline constexpr uint32_t kStatusKeySize = 5;
inline constexpr int64_t kMaxEndOffset = 2000000001;  // appends only below this
inline constexpr const char* kStatusIndexName = "Sys Deleted";

// Header (offset 0).
inline constexpr TFormatField kUpdateCounter{0, 4};
inline constexpr TFormatField kReserved1{4, 4};
inline constexpr TFormatField kFileVersion{8, 1};
inline constexpr TFormatField kEndOffset{9, 4};
inline constexpr TFormatField kSecondaryCount{13, 1};
inline constexpr TFormatField kSlots{14, kSlotCount * kSlotSize};
inline constexpr TFormatField kRecordCount{3974, 4};
inline constexpr TFormatField kNoPrimary{3978, 1};
inline constexpr TFormatField kHeaderModified{3979, 1};
inline constexpr TFormatField kTail{3980, 116};

static_assert(FollowsField(kUpdateCounter, kReserved1) && FollowsField(kReserved1, kFileVersion) &&
              FollowsField(kFileVersion, kEndOffset) && FollowsField(kEndOffset, kSecondaryCount) &&
              FollowsField(kSecondaryCount, kSlots) && FollowsField(kSlots, kRecordCount) &&
              FollowsField(kRecordCount, kNoPrimary) && FollowsField(kNoPrimary, kHeaderModified) &&
              FollowsField(kHeaderModified, kTail));
static_assert(kTail.End() == kHeaderSize, "the index-file header is 4096 bytes");

constexpr uint32_t SlotOffset(uint32_t slot) { return kSlots.Offset + slot * kSlotSize; }
static_assert(SlotOffset(kSlotCount) == kRecordCount.Offset);

// Index slot (relative to the slot's start).
inline constexpr TFormatField kSlotName{0, 31};  // length byte + 30
inline constexpr TFormatField kSlotKeySize{31, 2};
inline constexpr TFormatField kSlotDescending{33, 1};
inline constexpr TFormatField kSlotCaseInsensitive{34, 1};
inline constexpr TFormatField kSlotUnique{35, 1};
inline constexpr TFormatField kSlotCompression{36, 1};
inline constexpr TFormatField kSlotFieldCount{37, 1};
inline constexpr TFormatField kSlotFieldDescending{38, 16};
inline constexpr TFormatField kSlotFieldNumbers{54, 32};  // 16 x uint16
inline constexpr TFormatField kSlotRoot{86, 4};
inline constexpr TFormatField kSlotFreeHead{90, 4};
inline constexpr TFormatField kSlotZero1{94, 1};
inline constexpr TFormatField kSlotUnused{95, 1};
inline constexpr TFormatField kSlotZero2{96, 24};

static_assert(FollowsField(kSlotName, kSlotKeySize) && FollowsField(kSlotKeySize, kSlotDescending) &&
              FollowsField(kSlotDescending, kSlotCaseInsensitive) &&
              FollowsField(kSlotCaseInsensitive, kSlotUnique) && FollowsField(kSlotUnique, kSlotCompression) &&
              FollowsField(kSlotCompression, kSlotFieldCount) &&
              FollowsField(kSlotFieldCount, kSlotFieldDescending) &&
              FollowsField(kSlotFieldDescending, kSlotFieldNumbers) &&
              FollowsField(kSlotFieldNumbers, kSlotRoot) && FollowsField(kSlotRoot, kSlotFreeHead) &&
              FollowsField(kSlotFreeHead, kSlotZero1) && FollowsField(kSlotZero1, kSlotUnused) &&
              FollowsField(kSlotUnused, kSlotZero2));
static_assert(kSlotZero2.End() == kSlotSize, "an index slot is 120 bytes");

// Page header (relative to the page's start).
inline constexpr TFormatField kPageType{0, 1};
inline constexpr TFormatField kPageCount{1, 2};
inline constexpr TFormatField kPagePrev{3, 4};
inline constexpr TFormatField kPageNext{7, 4};
inline constexpr TFormatField kPagePacked{11, 2};
inline constexpr TFormatField kPageEntries{13, 4083};
static_assert(FollowsField(kPageType, kPageCount) && FollowsField(kPageCount, kPagePrev) &&
              FollowsField(kPagePrev, kPageNext) && FollowsField(kPageNext, kPagePacked) &&
              FollowsField(kPagePacked, kPageEntries));
static_assert(kPageEntries.End() == kPageSize, "a page is 4096 bytes");
inline constexpr uint32_t kEntryArea = kPageEntries.Width;  // 4083

// Page types.
inline constexpr uint8_t kRootNode = 0;
inline constexpr uint8_t kInnerNode = 1;
inline constexpr uint8_t kLeaf = 2;
inline constexpr uint8_t kRootLeaf = 3;

// Leaf packings (slot compression mode).
inline constexpr uint8_t kPackPlain = 0;
inline constexpr uint8_t kPackLeading = 1;
inline constexpr uint8_t kPackTrailing = 2;
inline constexpr uint8_t kPackBoth = 3;

// Entries a node or an uncompressed leaf holds (key size K).
constexpr uint32_t NodeCapacity(uint32_t keySize) { return kEntryArea / (keySize + 10); }
constexpr uint32_t LeafCapacity(uint32_t keySize) { return kEntryArea / (keySize + 6); }
static_assert(LeafCapacity(10) == 255);
static_assert(NodeCapacity(kMaxKeySize) >= 3 && LeafCapacity(kMaxKeySize) >= 3);

// Lock ranges of the index and BLOB files.
inline constexpr int64_t kRegionStart = 0x7FFF0000;
inline constexpr int64_t kRegionLength = 0xFFFF;
constexpr int64_t UserByte(uint32_t id) { return 0x7FFFFFFF - static_cast<int64_t>(id); }
static_assert(UserByte(1) >= kRegionStart && UserByte(65534) < kRegionStart + kRegionLength + 1);

// Key pair that scrambles the pages and headers of encrypted tables' index and BLOB files.
inline constexpr uint8_t kIndexKey1 = 0x6B;
inline constexpr uint8_t kIndexKey2 = 0x91;

// A new index file's header: version 4, end offset 4096, "Sys Deleted" in slot 31, modified.
void MakeNewHeader(uint8_t* header /* kHeaderSize bytes */);

}  // namespace tovenmarsh::engine::index_format
