// The framework's field types and how they map onto the engine's field type and subtype codes.
//
// Contract: EngineTypeOf gives the type, subtype and stored size of a field definition as the
// engine receives it; FieldTypeOfEngine is the reverse, used when a table's field descriptors
// become field definitions (a type the data set cannot show answers ftUnknown and is skipped).
// DataSize is the size of the value form exchanged with the record source for one field.
#pragma once

#include <cstdint>

namespace tovenmarsh::dataset {

enum TFieldType : uint8_t {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
  ftFmtMemo,
  ftParadoxOle,
  ftDBaseOle,
  ftTypedBinary,
  ftCursor,
  ftFixedChar,
  ftWideString,
  ftLargeint,
  ftADT,
  ftArray,
  ftReference,
  ftDataSet,
  ftOraBlob,
  ftOraClob,
  ftVariant,
  ftInterface,
  ftIDispatch,
  ftGuid,
};

// The class library's name of a type ("String", "Integer", ...), used in messages.
const char* FieldTypeName(TFieldType type);

bool IsBlobType(TFieldType type);
bool IsStringType(TFieldType type);  // ftString, ftFixedChar, ftWideString, ftGuid

// Type, subtype and size written into the engine's field descriptor for a definition.
struct TEngineType {
  uint8_t FieldType = 0;
  uint8_t SubType = 0;
  int Size = 0;   // declared size (strings, bytes), decimals (BCD), else 0
  int Scale = 0;
};
TEngineType EngineTypeOf(TFieldType type, int definitionSize);

// Field type of an engine type and subtype; ftUnknown when the data set does not show it.
TFieldType FieldTypeOfEngine(uint8_t engineType, uint8_t subType);
// Whether the definition takes its size from the descriptor (strings, bytes; BCD: decimals).
bool EngineTypeCarriesSize(uint8_t engineType);

// Bytes of the value form of a field of this type and size (strings: size + 1 for the
// terminating zero; variable bytes: a 16-bit length then the bytes; BLOBs: 0).
int DataSizeOf(TFieldType type, int size);

}  // namespace tovenmarsh::dataset
