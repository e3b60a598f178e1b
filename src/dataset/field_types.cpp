// Field types: names, the engine mapping in both directions and value-form sizes.
#include "dataset/field_types.h"

#include "engine/format/field_desc.h"

namespace tovenmarsh::dataset {

namespace e = tovenmarsh::engine;

const char* FieldTypeName(TFieldType type) {
  static const char* const kNames[] = {
      "Unknown",   "String",     "SmallInt",   "Integer",   "Word",     "Boolean",  "Float",
      "Currency",  "BCD",        "Date",       "Time",      "DateTime", "Bytes",    "VarBytes",
      "AutoInc",   "Blob",       "Memo",       "Graphic",   "FmtMemo",  "ParadoxOle", "DBaseOle",
      "TypedBinary", "Cursor",   "FixedChar",  "WideString", "Largeint", "ADT",     "Array",
      "Reference", "DataSet",    "OraBlob",    "OraClob",   "Variant",  "Interface", "IDispatch",
      "Guid"};
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == ftGuid + 1);
  return type <= ftGuid ? kNames[type] : "Unknown";
}

bool IsBlobType(TFieldType type) {
  switch (type) {
    case ftBlob: case ftMemo: case ftGraphic: case ftFmtMemo: case ftParadoxOle: case ftDBaseOle:
    case ftTypedBinary: case ftOraBlob: case ftOraClob:
      return true;
    default:
      return false;
  }
}

bool IsStringType(TFieldType type) {
  return type == ftString || type == ftFixedChar || type == ftWideString || type == ftGuid;
}

TEngineType EngineTypeOf(TFieldType type, int size) {
  switch (type) {
    case ftString: return {e::fldZString, e::fldstNone, size, 0};
    case ftFixedChar: return {e::fldZString, e::fldstFixed, size, 0};
    case ftWideString: return {e::fldZString, e::fldstUnicode, size, 0};
    case ftGuid: return {e::fldZString, e::fldstNone, size, 0};
    case ftSmallint: return {e::fldInt16, 0, 0, 0};
    case ftInteger: return {e::fldInt32, 0, 0, 0};
    case ftAutoInc: return {e::fldInt32, e::fldstAutoInc, 0, 0};
    case ftWord: return {e::fldUInt16, 0, 0, 0};
    case ftBoolean: return {e::fldBool, 0, 0, 0};
    case ftFloat: return {e::fldFloat, 0, 0, 0};
    case ftCurrency: return {e::fldFloat, e::fldstMoney, 0, 0};
    case ftBCD: return {e::fldBCD, 0, 0, size};
    case ftDate: return {e::fldDate, 0, 0, 0};
    case ftTime: return {e::fldTime, 0, 0, 0};
    case ftDateTime: return {e::fldTimeStamp, 0, 0, 0};
    case ftBytes: return {e::fldBytes, 0, size, 0};
    case ftVarBytes: return {e::fldVarBytes, 0, size, 0};
    case ftBlob: case ftOraBlob: case ftOraClob: case ftParadoxOle: case ftDBaseOle:
      return {e::fldBlob, 0, 0, 0};
    case ftMemo: return {e::fldBlob, e::fldstMemo, 0, 0};
    case ftGraphic: return {e::fldBlob, e::fldstGraphic, 0, 0};
    case ftFmtMemo: return {e::fldBlob, e::fldstFmtMemo, 0, 0};
    case ftTypedBinary: return {e::fldBlob, e::fldstTypedBinary, 0, 0};
    case ftCursor: return {17, 0, 0, 0};
    case ftLargeint: return {18, 0, 0, 0};
    case ftADT: return {20, 0, 0, 0};
    case ftArray: return {21, 0, 0, 0};
    case ftReference: return {22, 0, 0, 0};
    case ftDataSet: return {23, 0, 0, 0};
    default: return {0, 0, 0, 0};  // unknown, variant, interface, IDispatch
  }
}

TFieldType FieldTypeOfEngine(uint8_t engineType, uint8_t subType) {
  switch (engineType) {
    case e::fldZString: return ftString;
    case e::fldDate: return ftDate;
    case e::fldBlob:
      switch (subType) {
        case e::fldstMemo: return ftMemo;
        case e::fldstFmtMemo: return ftFmtMemo;
        case e::fldstGraphic: return ftGraphic;
        case e::fldstTypedBinary: return ftTypedBinary;
        default: return ftBlob;
      }
    case e::fldBool: return ftBoolean;
    case e::fldInt16: return ftSmallint;
    case e::fldInt32: return subType == e::fldstAutoInc ? ftAutoInc : ftInteger;
    case e::fldFloat: return subType == e::fldstMoney ? ftCurrency : ftFloat;
    case e::fldBCD: return ftBCD;
    case e::fldBytes: return ftBytes;
    case e::fldTime: return ftTime;
    case e::fldTimeStamp: return ftDateTime;
    case e::fldUInt16: return ftWord;
    case e::fldUInt32: return ftInteger;
    case e::fldVarBytes: return ftVarBytes;
    case 18: case 19: return ftLargeint;
    case 20: return ftADT;
    case 21: return ftArray;
    case 22: return ftReference;
    case 23: return ftDataSet;
    default: return ftUnknown;  // 0, 14, 16, 17 and anything else
  }
}

bool EngineTypeCarriesSize(uint8_t engineType) {
  return engineType == e::fldZString || engineType == e::fldBytes || engineType == e::fldVarBytes ||
         engineType == e::fldBCD;
}

int DataSizeOf(TFieldType type, int size) {
  switch (type) {
    case ftString: case ftFixedChar: case ftWideString: case ftGuid: return size + 1;
    case ftSmallint: case ftWord: case ftBoolean: return 2;
    case ftInteger: case ftAutoInc: case ftDate: case ftTime: return 4;
    case ftFloat: case ftCurrency: case ftDateTime: case ftLargeint: return 8;
    case ftBCD: return 8;  // the currency value (scale 10000)
    case ftBytes: return size;
    case ftVarBytes: return size + 2;
    default: return 0;
  }
}

}  // namespace tovenmarsh::dataset
