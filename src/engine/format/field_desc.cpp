// Byte forms of field and index descriptors, the size rule and the record layout rule.
#include "engine/format/field_desc.h"

#include <algorithm>
#include <cstring>

#include "engine/base/engine_strings.h"
#include "platform/win1252.h"

namespace tovenmarsh::engine {
namespace {

namespace fo = field_desc_offsets;
namespace io = index_desc_offsets;

static_assert(fo::kName + 1 + kMaxNameLength == fo::kDescription);
static_assert(fo::kDescription + 1 + kMaxDescriptionLength == fo::kFieldType);
static_assert(fo::kMinValue + 1 + kMaxValueTextLength == fo::kMaxValue);
static_assert(fo::kMaxValue + 1 + kMaxValueTextLength == fo::kDefaultValue);
static_assert(fo::kDefaultValue + 1 + kMaxValueTextLength == fo::kCalculated);
static_assert(fo::kDescending < kFieldDescSize);
static_assert(io::kName + 1 + kMaxNameLength == io::kKeySize);
static_assert(io::kUnique + 1 == io::kCompression && io::kCompression + 1 == io::kFieldCount);
static_assert(io::kFieldDescending == io::kFieldCount + 1);
static_assert(io::kFieldDescending + kMaxFieldsPerIndex == io::kFieldNumbers);
static_assert(io::kFieldNumbers + 2 * kMaxFieldsPerIndex + 34 == kIndexDescSize);

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void PutShortString(uint8_t* p, const std::string& s, size_t room) {
  size_t n = std::min(s.size(), room);
  p[0] = static_cast<uint8_t>(n);
  std::memcpy(p + 1, s.data(), n);
}

std::string GetShortString(const uint8_t* p, size_t room) {
  size_t n = std::min<size_t>(p[0], room);
  return std::string(reinterpret_cast<const char*>(p + 1), n);
}

}  // namespace

void EncodeFieldDesc(const FieldDesc& d, uint8_t* out) {
  std::memset(out, 0, kFieldDescSize);
  PutU16(out + fo::kFieldNumber, d.FieldNumber);
  PutShortString(out + fo::kName, d.Name, kMaxNameLength);
  PutShortString(out + fo::kDescription, d.Description, kMaxDescriptionLength);
  out[fo::kFieldType] = d.FieldType;
  out[fo::kSubType] = d.SubType;
  out[fo::kSize] = d.Size;
  out[fo::kScale] = d.Scale;
  out[fo::kPhysicalSize] = d.PhysicalSize;
  out[fo::kPhysicalScale] = d.PhysicalScale;
  PutU16(out + fo::kOffset, d.Offset);
  out[fo::kRequired] = d.Required ? 1 : 0;
  out[fo::kCharCase] = d.Case;
  PutShortString(out + fo::kMinValue, d.MinValue, kMaxValueTextLength);
  PutShortString(out + fo::kMaxValue, d.MaxValue, kMaxValueTextLength);
  PutShortString(out + fo::kDefaultValue, d.DefaultValue, kMaxValueTextLength);
  out[fo::kCalculated] = d.Calculated ? 1 : 0;
  out[fo::kHidden] = d.Hidden ? 1 : 0;
  out[fo::kDescending] = d.Descending ? 1 : 0;
}

FieldDesc DecodeFieldDesc(const uint8_t* in) {
  FieldDesc d;
  d.FieldNumber = GetU16(in + fo::kFieldNumber);
  d.Name = GetShortString(in + fo::kName, kMaxNameLength);
  d.Description = GetShortString(in + fo::kDescription, kMaxDescriptionLength);
  d.FieldType = in[fo::kFieldType];
  d.SubType = in[fo::kSubType];
  d.Size = in[fo::kSize];
  d.Scale = in[fo::kScale];
  d.PhysicalSize = in[fo::kPhysicalSize];
  d.PhysicalScale = in[fo::kPhysicalScale];
  d.Offset = GetU16(in + fo::kOffset);
  d.Required = in[fo::kRequired] != 0;
  d.Case = in[fo::kCharCase];
  d.MinValue = GetShortString(in + fo::kMinValue, kMaxValueTextLength);
  d.MaxValue = GetShortString(in + fo::kMaxValue, kMaxValueTextLength);
  d.DefaultValue = GetShortString(in + fo::kDefaultValue, kMaxValueTextLength);
  d.Calculated = in[fo::kCalculated] != 0;
  d.Hidden = in[fo::kHidden] != 0;
  d.Descending = in[fo::kDescending] != 0;
  return d;
}

void EncodeIndexDesc(const IndexDesc& d, uint8_t* out) {
  std::memset(out, 0, kIndexDescSize);
  PutShortString(out + io::kName, d.Name, kMaxNameLength);
  PutU16(out + io::kKeySize, static_cast<uint16_t>(d.KeySize));
  out[io::kDescending] = d.Descending ? 1 : 0;
  out[io::kCaseInsensitive] = d.CaseInsensitive ? 1 : 0;
  out[io::kUnique] = d.Unique ? 1 : 0;
  out[io::kCompression] = d.Compression;
  out[io::kFieldCount] = d.FieldCount;
  for (size_t i = 0; i < d.FieldDescending.size(); ++i) out[io::kFieldDescending + i] = d.FieldDescending[i];
  for (int i = 0; i < kMaxFieldsPerIndex; ++i)
    PutU16(out + io::kFieldNumbers + 2 * i, i < d.FieldCount ? d.FieldNumbers[static_cast<size_t>(i)] : 0);
}

IndexDesc DecodeIndexDesc(const uint8_t* in) {
  IndexDesc d;
  d.Name = GetShortString(in + io::kName, kMaxNameLength);
  d.KeySize = static_cast<int16_t>(GetU16(in + io::kKeySize));
  d.Descending = in[io::kDescending] != 0;
  d.CaseInsensitive = in[io::kCaseInsensitive] != 0;
  d.Unique = in[io::kUnique] != 0;
  d.Compression = in[io::kCompression];
  d.FieldCount = in[io::kFieldCount];
  for (size_t i = 0; i < d.FieldDescending.size(); ++i) d.FieldDescending[i] = in[io::kFieldDescending + i];
  for (int i = 0; i < kMaxFieldsPerIndex; ++i)
    d.FieldNumbers[static_cast<size_t>(i)] = GetU16(in + io::kFieldNumbers + 2 * i);
  return d;
}

int PhysicalFieldSize(uint8_t fieldType, int declaredSize) {
  switch (fieldType) {
    case fldZString: return declaredSize + 1;
    case fldDate: return 4;
    case fldBlob: return 8;
    case fldBool: return 2;
    case fldInt16: return 2;
    case fldInt32: return 4;
    case fldFloat: return 8;
    case fldBCD: return 8;
    case fldTime: return 4;
    case fldTimeStamp: return 8;
    case fldUInt16: return 2;
    case fldUInt32: return 4;
    case fldFloatIEEE: return 10;
    default: return declaredSize;  // bytes, variable bytes, unknown
  }
}

void ApplySizeRule(FieldDesc& desc) {
  desc.PhysicalSize = static_cast<uint8_t>(PhysicalFieldSize(desc.FieldType, desc.Size));
  desc.PhysicalScale = desc.Scale;
}

int LayoutRecordFields(std::vector<FieldDesc>& fields) {
  std::vector<FieldDesc*> order;
  for (FieldDesc& f : fields) order.push_back(&f);
  std::stable_sort(order.begin(), order.end(),
                   [](const FieldDesc* a, const FieldDesc* b) { return a->FieldNumber < b->FieldNumber; });
  int offset = kRecordPrefixSize;
  for (FieldDesc* f : order) {
    ApplySizeRule(*f);
    if (f->Calculated) {
      f->Offset = 0;
      continue;
    }
    if (f->IsAutoInc()) {
      f->Offset = kAutoIncOffset;
      continue;
    }
    f->Offset = static_cast<uint16_t>(offset);
    offset += f->PhysicalSize + 1;
  }
  return offset;
}

bool IsValidDescName(std::string_view name) {
  std::string upper = platform::Win1252UpperString(name);
  return !upper.empty() && upper.size() <= static_cast<size_t>(kMaxNameLength) &&
         IsIdentStartChar(upper[0]);
}

int IndexKeySize(const std::vector<const FieldDesc*>& keyFields, bool unique) {
  int size = 0;
  for (const FieldDesc* f : keyFields) size += f->PhysicalSize + 1;
  return unique ? size : size + 4;
}

}  // namespace tovenmarsh::engine
