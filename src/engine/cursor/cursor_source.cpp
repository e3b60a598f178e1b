// The cursor as the record source of filter expressions: columns by name or number, and one
// field of a record buffer in its expression value form (memo BLOBs as their text).
// Implements the expression-source calls of engine/cursor/cursor.h.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "engine/store/blob_file.h"
#include "engine/format/blob_file_format.h"
#include "engine/cursor/cursor.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

const FieldDesc* TDataCursor::FindField(std::string_view tableName, std::string_view name) {
  (void)tableName;  // one table: any correlation name means it
  const std::string wanted = Upper(std::string(name));
  for (const FieldDesc& f : fields_)
    if (Upper(f.Name) == wanted) return &f;
  return nullptr;
}

const FieldDesc* TDataCursor::FieldByNumber(int fieldNo) {
  for (const FieldDesc& f : fields_)
    if (f.FieldNumber == fieldNo) return &f;
  return nullptr;
}

bool TDataCursor::ReadField(const void* source, const FieldDesc& f, TExpToken& node) {
  const uint8_t* record = static_cast<const uint8_t*>(source);
  node.ClearValue();
  if (f.IsAutoInc()) {
    node.IsNull = false;
    node.Put<int32_t>(static_cast<int32_t>(GetU32(record, 5)));
    return true;
  }
  node.IsNull = record[f.Offset] == 0;
  if (node.IsNull) return true;
  const uint8_t* value = record + f.Offset + 1;
  int16_t i16;
  int32_t i32;
  int64_t i64;
  double d;
  switch (f.FieldType) {
    case fldZString: {
      const char* text = reinterpret_cast<const char*>(value);
      node.SetStringValue(std::string_view(text, strnlen(text, f.PhysicalSize)));
      node.SetDataSize(f.Size + 1);
      node.IsNull = text[0] == 0;
      return true;
    }
    case fldBlob: {
      if (!table_ || !table_->Blob()) return false;
      const uint32_t first = GetU32(value, blob_format::kFieldFirstBlock.Offset);
      const uint32_t owner = GetU32(value, blob_format::kFieldOwner.Offset);
      std::vector<uint8_t> contents;
      {
        TTableGuard guard(*table_);
        if (first != 0 && !table_->Blob()->ReadValue(first, owner, contents)) return false;
      }
      node.SetStringValue(std::string_view(reinterpret_cast<const char*>(contents.data()), contents.size()));
      node.IsNull = contents.empty();
      return true;
    }
    case fldBool:
    case fldInt16:
    case fldUInt16:
      std::memcpy(&i16, value, 2);
      node.Put<int16_t>(i16);
      return true;
    case fldDate:
    case fldInt32:
    case fldTime:
      std::memcpy(&i32, value, 4);
      node.Put<int32_t>(i32);
      return true;
    case fldBCD: {
      // Stored scaled by the field's scale; expressions count ten-thousandths.
      std::memcpy(&i64, value, 8);
      int scale = f.PhysicalScale;
      for (; scale < 4; ++scale) i64 *= 10;
      for (; scale > 4; --scale) i64 /= 10;
      node.Put<int64_t>(i64);
      return true;
    }
    case fldFloat:
    case fldTimeStamp:
      std::memcpy(&d, value, 8);
      node.Put<double>(d);
      return true;
    case fldBytes:
      std::memcpy(node.Data, value, std::min<size_t>(f.PhysicalSize, 4));
      return true;
    default:
      return false;
  }
}

}  // namespace tovenmarsh::engine
