// Field and index descriptors: how table definitions travel between the record-set layer, SQL
// and the engine, and how they are stored (field descriptors after the data-file header, index
// descriptors in the index-file header).
//
// Contract: FieldDesc and IndexDesc are plain values; EncodeFieldDesc/EncodeIndexDesc write the
// byte-exact 768- and 120-byte forms (little-endian integers, length-prefixed strings, reserved
// bytes zero) and the Decode functions read them back. Every offset is defined once below.
// The size rule, the record layout rule and the name rule live here too.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tovenmarsh::engine {

// Field types.
enum FieldType : uint8_t {
  fldUnknown = 0,
  fldZString = 1,
  fldDate = 2,
  fldBlob = 3,
  fldBool = 4,
  fldInt16 = 5,
  fldInt32 = 6,
  fldFloat = 7,
  fldBCD = 8,
  fldBytes = 9,
  fldTime = 10,
  fldTimeStamp = 11,
  fldUInt16 = 12,
  fldUInt32 = 13,
  fldFloatIEEE = 14,
  fldVarBytes = 15,
};

// Subtypes.
enum FieldSubType : uint8_t {
  fldstNone = 0,
  fldstMoney = 21,
  fldstMemo = 22,
  fldstFmtMemo = 24,
  fldstGraphic = 26,
  fldstTypedBinary = 28,
  fldstAutoInc = 29,
  fldstFixed = 31,
  fldstUnicode = 32,
};

// Structural limits.
inline constexpr int kMaxFieldsPerTable = 1024;
inline constexpr int kMaxIndexesPerTable = 32;
inline constexpr int kMaxFieldsPerIndex = 16;
inline constexpr int kMaxKeySize = 524;
inline constexpr int kMaxBlobFieldsPerTable = 64;
inline constexpr int kMinBlobBlockSize = 64;
inline constexpr int kDefaultBlobBlockSize = 512;
inline constexpr int kMaxRecordSize = 65535;
inline constexpr int kMaxStringSize = 250;
inline constexpr int kMaxNameLength = 30;
inline constexpr int kMaxDescriptionLength = 50;
inline constexpr int kMaxValueTextLength = 50;
inline constexpr int kMaxPasswordLength = 15;
inline constexpr int64_t kMaxRecordsPerTable = 100000000;
inline constexpr int64_t kMaxTableDataBytes = 2000000000;  // records x record size must stay below +1
// Stored fields start after the 9-byte record prefix; an auto-increment field lies on the
// record id at offset 5.
inline constexpr int kRecordPrefixSize = 9;
inline constexpr int kAutoIncOffset = 5;

inline constexpr size_t kFieldDescSize = 768;
inline constexpr size_t kIndexDescSize = 120;

// Byte offsets of the stored field descriptor.
namespace field_desc_offsets {
inline constexpr size_t kFieldNumber = 0;    // u16
inline constexpr size_t kName = 2;           // 1 + 30
inline constexpr size_t kDescription = 33;   // 1 + 50
inline constexpr size_t kFieldType = 84;
inline constexpr size_t kSubType = 85;
inline constexpr size_t kSize = 86;
inline constexpr size_t kScale = 87;
inline constexpr size_t kPhysicalSize = 88;
inline constexpr size_t kPhysicalScale = 89;
inline constexpr size_t kOffset = 90;        // u16
inline constexpr size_t kRequired = 92;
inline constexpr size_t kCharCase = 93;
inline constexpr size_t kMinValue = 94;      // 1 + 50
inline constexpr size_t kMaxValue = 145;     // 1 + 50
inline constexpr size_t kDefaultValue = 196; // 1 + 50
inline constexpr size_t kCalculated = 247;
inline constexpr size_t kHidden = 252;
inline constexpr size_t kDescending = 253;
}  // namespace field_desc_offsets

// Byte offsets of the stored index descriptor.
namespace index_desc_offsets {
inline constexpr size_t kName = 0;           // 1 + 30
inline constexpr size_t kKeySize = 31;       // i16
inline constexpr size_t kDescending = 33;
inline constexpr size_t kCaseInsensitive = 34;
inline constexpr size_t kUnique = 35;
inline constexpr size_t kCompression = 36;     // leaf packing 0..3 (index file slot)
inline constexpr size_t kFieldCount = 37;
inline constexpr size_t kFieldDescending = 38; // 16 x u8, one per key field
inline constexpr size_t kFieldNumbers = 54;    // 16 x u16
}  // namespace index_desc_offsets

enum CharCase : uint8_t { ccNormal = 0, ccLower = 1, ccUpper = 2 };

struct FieldDesc {
  uint16_t FieldNumber = 0;  // 1-based position in the table
  std::string Name;          // up to 30 characters
  std::string Description;   // up to 50 characters
  uint8_t FieldType = 0;
  uint8_t SubType = 0;
  uint8_t Size = 0;          // declared size (types 1, 9, 15), else 0
  uint8_t Scale = 0;         // decimals of BCD, else 0
  uint8_t PhysicalSize = 0;
  uint8_t PhysicalScale = 0;
  uint16_t Offset = 0;       // the field's null byte in the record
  bool Required = false;
  uint8_t Case = ccNormal;
  std::string MinValue;      // texts, up to 50 characters, empty = none
  std::string MaxValue;
  std::string DefaultValue;
  bool Calculated = false;
  bool Hidden = false;
  bool Descending = false;

  bool IsAutoInc() const { return FieldType == fldInt32 && SubType == fldstAutoInc; }
  bool IsBlob() const { return FieldType == fldBlob; }
  friend bool operator==(const FieldDesc&, const FieldDesc&) = default;
};

struct IndexDesc {
  std::string Name;          // empty for the primary index
  int16_t KeySize = 0;       // sum of (physical size + 1), plus 4 when not unique
  bool Descending = false;
  bool CaseInsensitive = false;
  bool Unique = false;
  uint8_t FieldCount = 0;    // 1..16
  std::array<uint16_t, kMaxFieldsPerIndex> FieldNumbers{};
  // Leaf packing of the index (0 none, 1 leading, 2 trailing, 3 both), as the index file keeps it.
  uint8_t Compression = 0;
  // Each key field's own descending flag (1 = descending), in key order; kept as given for all 16
  // positions, since a descending definition sets every flag.
  std::array<uint8_t, kMaxFieldsPerIndex> FieldDescending{};

  friend bool operator==(const IndexDesc&, const IndexDesc&) = default;
};

// Byte forms. Texts longer than their room are cut (names 30, description and values 50).
void EncodeFieldDesc(const FieldDesc& desc, uint8_t* out);  // kFieldDescSize bytes
FieldDesc DecodeFieldDesc(const uint8_t* in);
void EncodeIndexDesc(const IndexDesc& desc, uint8_t* out);  // kIndexDescSize bytes
IndexDesc DecodeIndexDesc(const uint8_t* in);

// The size rule: physical size in bytes of a field of this type and declared size.
int PhysicalFieldSize(uint8_t fieldType, int declaredSize);
// Sets PhysicalSize and PhysicalScale from type, declared size and scale.
void ApplySizeRule(FieldDesc& desc);

// Lays out stored fields in field-number order from offset 9, each taking physical size + 1;
// auto-increment fields get offset 5, calculated fields no space. Applies the size rule first.
// Returns the record size.
int LayoutRecordFields(std::vector<FieldDesc>& fields);

// A field or index name: upper-cased not empty, begins with a letter, '_' or a byte 129..254,
// and at most 30 characters.
bool IsValidDescName(std::string_view name);

// Key size of an index over these fields: sum of physical size + 1, plus 4 when not unique.
int IndexKeySize(const std::vector<const FieldDesc*>& keyFields, bool unique);

}  // namespace tovenmarsh::engine
