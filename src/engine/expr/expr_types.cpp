// The operand, result and CAST tables of expression operators.
#include "engine/expr/expr_types.h"

namespace tovenmarsh::engine {
namespace {

constexpr uint8_t kString = 1, kDate = 2, kBlob = 3, kBool = 4, kSmallInt = 5, kInteger = 6,
                  kFloat = 7, kBCD = 8, kBytes = 9, kTime = 10, kTimeStamp = 11, kWord = 12;
constexpr uint8_t kMoney = 21, kMemo = 22;

bool IsDateOrStamp(uint8_t t) { return t == kDate || t == kTimeStamp; }

}  // namespace

bool IsNumericType(uint8_t t) {
  return t == kSmallInt || t == kInteger || t == kFloat || t == kBCD || t == kWord;
}
bool IsIntegerType(uint8_t t) { return t == kSmallInt || t == kInteger || t == kWord; }
bool IsDateTimeType(uint8_t t) { return t == kDate || t == kTime || t == kTimeStamp; }
bool IsStringOrMemo(uint8_t t, uint8_t sub) { return t == kString || (t == kBlob && sub == kMemo); }

bool OperatorTypesCompatible(uint8_t op, uint8_t lt, uint8_t ls, uint8_t rs, uint8_t rt) {
  op &= 0x7F;
  switch (op) {
    case 3:
    case 4:
      if (rt == kNullType) return lt != kNullType && lt != kBytes;
      if (IsDateOrStamp(lt)) return IsDateOrStamp(rt);
      if (lt == kString || (lt == kBlob && ls == kMemo)) return IsStringOrMemo(rt, rs);
      if (lt == kBool) return rt == kBool;
      if (IsNumericType(lt)) return IsNumericType(rt);
      if (lt == kTime) return rt == kTime;
      return false;
    case 5:
    case 6:
    case 7:
    case 8:
      if (IsDateOrStamp(lt)) return IsDateOrStamp(rt);
      if (IsStringOrMemo(lt, ls)) return IsStringOrMemo(rt, rs);
      if (IsNumericType(lt)) return IsNumericType(rt);
      if (lt == kTime) return rt == kTime;
      return false;
    case 10:
    case 11: return lt == kBool && rt == kBool;
    case 17:
      if (IsDateTimeType(lt)) return IsIntegerType(rt);
      if (IsStringOrMemo(lt, ls)) return IsStringOrMemo(rt, rs);
      if (IsIntegerType(lt)) return IsNumericType(rt) || IsDateTimeType(rt);
      if (lt == kFloat || lt == kBCD) return IsNumericType(rt);
      return false;
    case 18:
      if (lt == kDate) return rt == kDate || IsIntegerType(rt);
      if (IsNumericType(lt)) return IsNumericType(rt);
      if (lt == kTime) return rt == kTime || IsIntegerType(rt);
      if (lt == kTimeStamp) return IsDateTimeType(rt) || IsIntegerType(rt);
      return false;
    case 19:
    case 20: return IsNumericType(lt) && IsNumericType(rt);
    default: return false;
  }
}

bool UnaryTypeAllowed(uint8_t op, uint8_t type) {
  op &= 0x7F;
  switch (op) {
    case 1:
    case 2:
    case 9: return type == kBool;
    case 15: return IsDateTimeType(type) || (IsNumericType(type) && type != kWord);
    case 16: return IsDateTimeType(type) || IsNumericType(type);
    default: return false;
  }
}

uint8_t BinaryResultType(uint8_t op, uint8_t lt, uint8_t rt) {
  op &= 0x7F;
  if ((op >= 3 && op <= 8) || op == 10 || op == 11) return kBool;
  auto bcdLeft = [&]() -> uint8_t {
    if (rt == kFloat) return kFloat;
    if (IsIntegerType(rt) || rt == kBCD) return kBCD;
    return 0;
  };
  switch (op) {
    case 17:
      if (lt == kString) return rt == kString ? kString : (rt == kBlob ? kBlob : 0);
      if (lt == kBlob) return kBlob;
      if (lt == kDate && IsIntegerType(rt)) return kDate;
      if (IsIntegerType(lt)) {
        if (rt == kDate) return kDate;
        if (IsIntegerType(rt)) return kInteger;
        if (rt == kFloat || rt == kBCD || rt == kTime || rt == kTimeStamp) return rt;
        return 0;
      }
      if (lt == kFloat) return IsNumericType(rt) ? kFloat : 0;
      if (lt == kBCD) return bcdLeft();
      if ((lt == kTime || lt == kTimeStamp) && IsIntegerType(rt)) return lt;
      return 0;
    case 18:
      if (lt == kDate) return rt == kDate ? kInteger : (IsIntegerType(rt) ? kDate : 0);
      if (lt == kSmallInt || lt == kInteger || lt == kWord) {
        if (IsIntegerType(rt)) return lt == kWord ? kWord : kInteger;
        if (rt == kFloat || rt == kBCD) return rt;
        return 0;
      }
      if (lt == kFloat) return IsNumericType(rt) ? kFloat : 0;
      if (lt == kBCD) return bcdLeft();
      if (lt == kTime) return rt == kTime ? kInteger : (IsIntegerType(rt) ? kTime : 0);
      if (lt == kTimeStamp) {
        if (rt == kDate || rt == kTime) return kInteger;
        if (IsIntegerType(rt)) return kTimeStamp;
        if (rt == kTimeStamp) return kFloat;
      }
      return 0;
    case 19:
      if (IsIntegerType(lt)) {
        if (IsIntegerType(rt)) return kInteger;
        if (rt == kFloat || rt == kBCD) return rt;
        return 0;
      }
      if (lt == kFloat) return IsNumericType(rt) ? kFloat : 0;
      if (lt == kBCD) return bcdLeft();
      return 0;
    case 20:
      if (IsIntegerType(lt)) {
        if (IsIntegerType(rt) || rt == kFloat) return kFloat;
        if (rt == kBCD) return kBCD;
        return 0;
      }
      if (lt == kFloat) return IsNumericType(rt) ? kFloat : 0;
      if (lt == kBCD) return bcdLeft();
      return 0;
    default: return 0;
  }
}

uint8_t BinaryResultSubType(uint8_t op, uint8_t lt, uint8_t ls, uint8_t rs, uint8_t rt) {
  op &= 0x7F;
  if (op == 17 && ((lt == kString && rt == kBlob && rs == kMemo) || (lt == kBlob && ls == kMemo))) {
    return kMemo;
  }
  if ((op == 17 || op == 19) && ls == 0 && rs == kMoney) return kMoney;
  if (op >= 17 && op <= 20 && ls == kMoney && IsNumericType(rt)) return kMoney;
  return 0;
}

uint8_t UnaryResultType(uint8_t op, uint8_t type) {
  op &= 0x7F;
  if (op == 1 || op == 2 || op == 9) return kBool;
  if (op == 15 || op == 16) return type;
  return 0;
}

uint8_t UnaryResultSubType(uint8_t op, uint8_t subType) {
  op &= 0x7F;
  if (op == 15 || op == 16) return subType;
  return 0;
}

bool CastAllowed(uint8_t target, uint8_t source) {
  switch (target) {
    case kString:
    case kBytes: return source != kBlob && source != kNullType;
    case kDate: return source == kString || source == kDate || source == kBytes ||
                       source == kTimeStamp;
    case kBlob: return source == kBlob;
    case kBool:
      return source == kString || source == kBool || source == kSmallInt || source == kInteger ||
             source == kBCD || source == kBytes || source == kWord;
    case kSmallInt:
    case kWord: return source == kString || source == kBool || IsNumericType(source) ||
                       source == kBytes;
    case kInteger:
    case kFloat:
    case kBCD: return source == kString || IsNumericType(source) || source == kBytes;
    case kTime: return source == kString || source == kBytes || source == kTime ||
                       source == kTimeStamp;
    case kTimeStamp:
      return source == kString || source == kDate || source == kBytes || source == kTime ||
             source == kTimeStamp;
    default: return false;
  }
}

int32_t FixedTypeSize(uint8_t type) {
  switch (type) {
    case kBool:
    case kSmallInt:
    case kWord: return 2;
    case kDate:
    case kInteger:
    case kTime: return 4;
    case kFloat:
    case kBCD:
    case kTimeStamp: return 8;
    default: return 0;
  }
}

}  // namespace tovenmarsh::engine
