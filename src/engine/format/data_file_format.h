// Byte layout of a table's data file (.DAT): the 127-byte header, the 768-byte field
// descriptors that follow it, and the fixed-size records with their 9-byte prefix.
//
// This is the only place that knows these offsets; the data file, the record sort and the
// fuzz targets read and write through the accessors here.
#pragma once

#include <cstdint>

#include "engine/format/field_desc.h"
#include "engine/format/table_format_bytes.h"

namespace tovenmarsh::engine::data_format {

inline constexpr uint32_t kHeaderSize = 127;
inline constexpr uint8_t kVersion = 4;
inline constexpr int64_t kEngineVersion = 20600;
// Day number of 1 January 0001 in the 30 December 1899 calendar, subtracted from the stored
// last-update time.
inline constexpr double kLastUpdateBias = 693594.0;

// Header (offset 0).
inline constexpr TFormatField kUpdateCounter{0, 4};
inline constexpr TFormatField kBlobBlockSize{4, 4};
inline constexpr TFormatField kFileVersion{8, 1};
inline constexpr TFormatField kFirstFree{9, 4};
inline constexpr TFormatField kNextRecord{13, 4};
inline constexpr TFormatField kLastAutoInc{17, 4};
inline constexpr TFormatField kRecordSize{21, 2};
inline constexpr TFormatField kFieldCount{23, 2};
inline constexpr TFormatField kBlobFieldCount{25, 2};
inline constexpr TFormatField kLastUpdate{27, 8};
inline constexpr TFormatField kDescription{35, 51};  // length byte + 50
inline constexpr TFormatField kEncrypted{86, 1};
inline constexpr TFormatField kPassword{87, 16};  // length byte + 15
inline constexpr TFormatField kLanguageId{103, 2};
inline constexpr TFormatField kSortId{105, 2};
inline constexpr TFormatField kUserVersion1{107, 2};
inline constexpr TFormatField kUserVersion2{109, 2};
inline constexpr TFormatField kHeaderChanged{111, 1};
inline constexpr TFormatField kLastBlobStamp{112, 4};
inline constexpr TFormatField kEngineVersionField{116, 8};
inline constexpr TFormatField kReserved{124, 3};

static_assert(kUpdateCounter.Offset == 0);
static_assert(FollowsField(kUpdateCounter, kBlobBlockSize) && FollowsField(kBlobBlockSize, kFileVersion) &&
              FollowsField(kFileVersion, kFirstFree) && FollowsField(kFirstFree, kNextRecord) &&
              FollowsField(kNextRecord, kLastAutoInc) && FollowsField(kLastAutoInc, kRecordSize) &&
              FollowsField(kRecordSize, kFieldCount) && FollowsField(kFieldCount, kBlobFieldCount) &&
              FollowsField(kBlobFieldCount, kLastUpdate) && FollowsField(kLastUpdate, kDescription) &&
              FollowsField(kDescription, kEncrypted) && FollowsField(kEncrypted, kPassword) &&
              FollowsField(kPassword, kLanguageId) && FollowsField(kLanguageId, kSortId) &&
              FollowsField(kSortId, kUserVersion1) && FollowsField(kUserVersion1, kUserVersion2) &&
              FollowsField(kUserVersion2, kHeaderChanged) && FollowsField(kHeaderChanged, kLastBlobStamp) &&
              FollowsField(kLastBlobStamp, kEngineVersionField) && FollowsField(kEngineVersionField, kReserved));
static_assert(kReserved.End() == kHeaderSize, "the data-file header is 127 bytes");

// Record prefix.
inline constexpr TFormatField kRecStatus{0, 1};
inline constexpr TFormatField kRecLink{1, 4};  // own number when live, next free when deleted
inline constexpr TFormatField kRecId{5, 4};
static_assert(FollowsField(kRecStatus, kRecLink) && FollowsField(kRecLink, kRecId));
static_assert(kRecId.End() == static_cast<uint32_t>(kRecordPrefixSize));
static_assert(kFieldDescSize == 768 && kMaxRecordSize == 65535);

inline constexpr uint8_t kStatusLive = 0;
inline constexpr uint8_t kStatusDeleted = 1;

// Where the field descriptors start and where record n (from 1) begins.
constexpr int64_t DescriptorOffset(uint32_t field) {  // field from 1
  return kHeaderSize + static_cast<int64_t>(field - 1) * kFieldDescSize;
}
constexpr int64_t RecordsOffset(uint32_t fieldCount) {
  return kHeaderSize + static_cast<int64_t>(fieldCount) * kFieldDescSize;
}
constexpr int64_t RecordOffset(uint32_t fieldCount, uint32_t recordSize, uint32_t recordNumber) {
  return RecordsOffset(fieldCount) + static_cast<int64_t>(recordNumber - 1) * recordSize;
}
static_assert(RecordOffset(3, 38, 1) == 127 + 3 * 768);
static_assert(RecordOffset(3, 38, 2) == 127 + 3 * 768 + 38);

// Lock bytes of the data file (beyond any real file size).
inline constexpr int64_t kTableWriteByte = 2147483647;
constexpr int64_t RecordLockByte(uint32_t recordNumber) { return 2147483646 - static_cast<int64_t>(recordNumber); }

}  // namespace tovenmarsh::engine::data_format
