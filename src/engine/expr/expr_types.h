// Operator type rules of expressions: which operand types each operator accepts, the type and
// subtype of its result, and which CASTs are allowed. Type codes are the field types (0 = the
// untyped NULL constant); a memo is a BLOB (3) of subtype 22.
//
// Contract: pure functions of their arguments; operator codes are read through their low seven
// bits. Every combination not accepted here is refused by the type checker, so the evaluator
// meets only these.
#pragma once

#include <cstdint>

namespace tovenmarsh::engine {

inline constexpr uint8_t kNullType = 0;

bool IsNumericType(uint8_t type);       // 5, 6, 7, 8, 12
bool IsIntegerType(uint8_t type);       // 5, 6, 12
bool IsDateTimeType(uint8_t type);      // 2, 10, 11
bool IsStringOrMemo(uint8_t type, uint8_t subType);

bool OperatorTypesCompatible(uint8_t op, uint8_t leftType, uint8_t leftSubType,
                             uint8_t rightSubType, uint8_t rightType);
bool UnaryTypeAllowed(uint8_t op, uint8_t type);
uint8_t BinaryResultType(uint8_t op, uint8_t leftType, uint8_t rightType);
uint8_t BinaryResultSubType(uint8_t op, uint8_t leftType, uint8_t leftSubType,
                            uint8_t rightSubType, uint8_t rightType);
uint8_t UnaryResultType(uint8_t op, uint8_t type);
uint8_t UnaryResultSubType(uint8_t op, uint8_t subType);
bool CastAllowed(uint8_t targetType, uint8_t sourceType);
// The fixed value size of a non-string type (boolean 2, date 4, float 8, ...); 0 for types
// whose size comes from the value (string, bytes, BLOB) and for the NULL type.
int32_t FixedTypeSize(uint8_t type);

inline int16_t NormalizeBoolean(int64_t v) { return v == 0 ? 0 : 1; }

}  // namespace tovenmarsh::engine
