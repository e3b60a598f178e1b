// Expression preparation, evaluation and pruning.
#include "engine/expr/expr_eval.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>

#include "engine/base/engine_locale.h"
#include "engine/base/engine_strings.h"
#include "engine/expr/expr_convert.h"
#include "engine/expr/expr_types.h"
#include "engine/base/like_match.h"
#include "engine/base/scaled_decimal.h"

namespace tovenmarsh::engine {
namespace {

constexpr uint8_t kString = 1, kDate = 2, kBlob = 3, kBool = 4, kSmallInt = 5, kInteger = 6,
                  kFloat = 7, kBCD = 8, kTime = 10, kTimeStamp = 11, kWord = 12;
constexpr double kDayMs = 86400000.0;

int32_t Wrap32(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(v)); }
int16_t Wrap16(int64_t v) { return static_cast<int16_t>(static_cast<uint16_t>(v)); }

// A numeric value: exact integer, currency (ten-thousandths) or float.
struct Number {
  enum Kind { Int, Cur, Flt } kind = Int;
  int64_t i = 0;
  double f = 0;
  double AsDouble() const {
    return kind == Flt ? f : kind == Cur ? static_cast<double>(i) / 10000.0 : static_cast<double>(i);
  }
  __int128 AsCurrency() const { return kind == Cur ? __int128{i} : __int128{i} * 10000; }
};

Number NumberOf(const TExpToken& n) {
  Number v;
  switch (n.DataType) {
    case kSmallInt: v.i = n.Get<int16_t>(); break;
    case kWord: v.i = n.Get<uint16_t>(); break;
    case kInteger:
    case kDate:
    case kTime: v.i = n.Get<int32_t>(); break;
    case kBool: v.i = n.Get<int16_t>() != 0; break;
    case kBCD:
      v.kind = Number::Cur;
      v.i = n.Get<int64_t>();
      break;
    case kFloat:
    case kTimeStamp:
      v.kind = Number::Flt;
      v.f = n.Get<double>();
      break;
    default: break;
  }
  return v;
}

int Sign(double a, double b) { return a < b ? -1 : (a > b ? 1 : 0); }
template <class T>
int SignOf(T a, T b) {
  return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareNumbers(const Number& a, const Number& b) {
  if (a.kind == Number::Flt || b.kind == Number::Flt) return Sign(a.AsDouble(), b.AsDouble());
  if (a.kind == Number::Cur || b.kind == Number::Cur) return SignOf(a.AsCurrency(), b.AsCurrency());
  return SignOf(a.i, b.i);
}

bool IsText(const TExpToken& n) { return n.DataType == kString || n.DataType == kBlob; }

// Compares two non-NULL values; nothing when the types cannot meet.
std::optional<int> CompareValues(const TExpToken& a, const TExpToken& b,
                                 const TEvalContext& context) {
  if (IsText(a) && IsText(b)) {
    return LocaleCompareStr(context.LanguageId, context.SortId, a.StringValue(), false, 0,
                            b.StringValue());
  }
  if (IsText(a) || IsText(b)) return std::nullopt;
  bool aDateLike = a.DataType == kDate || a.DataType == kTimeStamp;
  bool bDateLike = b.DataType == kDate || b.DataType == kTimeStamp;
  if (aDateLike || bDateLike) {
    if (!aDateLike || !bDateLike) return std::nullopt;
    auto ms = [](const TExpToken& n) {
      return n.DataType == kDate ? static_cast<double>(n.Get<int32_t>()) * kDayMs : n.Get<double>();
    };
    return Sign(ms(a), ms(b));
  }
  if (a.DataType == kTime || b.DataType == kTime) {
    if (a.DataType != b.DataType) return std::nullopt;
    return SignOf(a.Get<int32_t>(), b.Get<int32_t>());
  }
  if (a.DataType == kBool || b.DataType == kBool) {
    if (a.DataType != b.DataType) return std::nullopt;
    return SignOf(a.Get<int16_t>() != 0, b.Get<int16_t>() != 0);
  }
  if (IsNumericType(a.DataType) && IsNumericType(b.DataType)) {
    return CompareNumbers(NumberOf(a), NumberOf(b));
  }
  return std::nullopt;
}

bool EqualByRule(const TExpToken& a, const TExpToken& b, const TEvalContext& context) {
  if (a.IsNull || b.IsNull) return a.IsNull && b.IsNull;
  auto c = CompareValues(a, b, context);
  return c.has_value() && *c == 0;
}

void SetBoolean(TExpToken& r, bool v) {
  r.DataType = kBool;
  r.SubType = 0;
  r.Scale = 0;
  r.IsNull = false;
  r.SetDataSize(2);
  r.ClearValue();
  r.Put<int16_t>(v ? 1 : 0);
}

void SetNull(TExpToken& r) {
  r.IsNull = true;
  r.ClearValue();
}

void SetText(TExpToken& r, std::string_view text, bool emptyIsNull) {
  r.ClearValue();
  r.SetStringValue(text);
  r.IsNull = emptyIsNull && text.empty();
}

bool IsTrue(const TExpToken& n) {
  switch (n.DataType) {
    case kBool:
    case kSmallInt:
    case kWord: return n.Get<int16_t>() != 0;
    default: return n.Get<int32_t>() != 0;
  }
}

// A result node for node: its fields, no children, class 5 (4 for a sub-select).
TExpTree NewResult(const TExpToken& node) {
  TExpTree r = NewExpTree();
  r->Assign(node);
  r->Left = r->Right = r->Third = nullptr;
  r->Parent = nullptr;
  r->NodeClass = node.NodeClass == ncSubSelect ? ncColumn : ncConstant;
  return r;
}

class TEvaluator {
 public:
  TEvaluator(const void* record, const TEvalContext& context)
      : record_(record), context_(context) {}

  TExpTree Eval(const TExpToken* node);

 private:
  TExpTree Unary(const TExpToken& node);
  TExpTree Binary(const TExpToken& node);
  TExpTree Arithmetic(const TExpToken& node, const TExpToken& a, const TExpToken& b);
  TExpTree Option(const TExpToken& node);
  TExpTree Predicate(const TExpToken& node);
  TExpTree Function(const TExpToken& node);
  TExpTree Cast(const TExpToken& node);
  TExpTree Extract(const TExpToken& node);

  const void* record_;
  const TEvalContext& context_;
};

TExpTree TEvaluator::Eval(const TExpToken* node) {
  if (node == nullptr) {
    TExpTree r = NewExpTree();
    r->NodeClass = ncConstant;
    r->IsNull = true;
    return r;
  }
  switch (node->NodeClass) {
    case ncColumn: {
      TExpTree r = NewResult(*node);
      r->IsNull = false;
      r->ClearValue();
      if (node->FieldName == "*" || !context_.Reader) {
        r->IsNull = true;
        return r;
      }
      if (!context_.Reader(record_, *r)) {
        context_.ReadFailed = true;
        SetNull(*r);
      }
      return r;
    }
    case ncConstant: return NewResult(*node);
    case ncSubSelect: return NewResult(*node);
    case ncUnary: return Unary(*node);
    case ncBinary: return Binary(*node);
    case ncOption: return Option(*node);
    case ncPredicate: return Predicate(*node);
    case ncFunction: return Function(*node);
    default: {
      TExpTree r = NewResult(*node);
      r->ClearValue();
      return r;
    }
  }
}

TExpTree TEvaluator::Unary(const TExpToken& node) {
  TExpTree operand = Eval(node.Left);
  TExpTree r = NewResult(node);
  r->ClearValue();
  r->IsNull = false;
  switch (node.Operator & 0x7F) {
    case opNot: SetBoolean(*r, !IsTrue(*operand)); break;
    case opIsNull: SetBoolean(*r, operand->IsNull); break;
    case opIsNotNull: SetBoolean(*r, !operand->IsNull); break;
    case opNegate:
    case opPositive: {
      bool negate = (node.Operator & 0x7F) == opNegate;
      r->DataType = operand->DataType;
      r->SubType = operand->SubType;
      r->Scale = operand->Scale;
      r->SetDataSize(std::max(operand->DataSize, FixedTypeSize(operand->DataType)));
      if (operand->IsNull) {
        SetNull(*r);
        break;
      }
      switch (operand->DataType) {
        case kSmallInt: {
          int32_t v = operand->Get<int16_t>();
          r->Put<int16_t>(Wrap16(negate ? -int64_t{v} : v));
          break;
        }
        case kInteger:
        case kDate:
        case kTime: {
          int32_t v = operand->Get<int32_t>();
          r->Put<int32_t>(negate ? NegateInteger(v) : v);
          break;
        }
        case kFloat:
        case kTimeStamp: {
          double v = operand->Get<double>();
          r->Put<double>(negate ? -v : v);
          break;
        }
        case kBCD: {
          int64_t v = operand->Get<int64_t>();
          r->Put<int64_t>(negate ? static_cast<int64_t>(0 - static_cast<uint64_t>(v)) : v);
          break;
        }
        case kWord: {
          uint16_t v = operand->Get<uint16_t>();
          r->Put<uint16_t>(negate ? static_cast<uint16_t>(0u - v) : v);
          break;
        }
        default: break;
      }
      break;
    }
    default: break;
  }
  return r;
}

TExpTree TEvaluator::Binary(const TExpToken& node) {
  uint8_t op = node.Operator & 0x7F;
  if (op == opAnd || op == opOr) {
    // The right side first: it decides alone when it is false (AND) or true (OR).
    TExpTree right = Eval(node.Right);
    bool rv = IsTrue(*right);
    TExpTree r = NewResult(node);
    if ((op == opAnd && !rv) || (op == opOr && rv)) {
      SetBoolean(*r, rv);
      return r;
    }
    TExpTree left = Eval(node.Left);
    bool lv = IsTrue(*left);
    SetBoolean(*r, op == opAnd ? (lv && rv) : (lv || rv));
    return r;
  }
  TExpTree a = Eval(node.Left);
  TExpTree b = Eval(node.Right);
  TExpTree r = NewResult(node);
  switch (op) {
    case opEqual:
    case opNotEqual: {
      bool equal = EqualByRule(*a, *b, context_);
      SetBoolean(*r, op == opEqual ? equal : !equal);
      return r;
    }
    case opGreater:
    case opLess:
    case opGreaterEqual:
    case opLessEqual: {
      // A NULL on either side makes every ordered comparison false, as an index range would.
      if (a->IsNull || b->IsNull) {
        SetBoolean(*r, false);
        return r;
      }
      auto c = CompareValues(*a, *b, context_);
      bool v = false;
      if (c.has_value()) {
        v = op == opGreater ? *c > 0 : op == opLess ? *c < 0 : op == opGreaterEqual ? *c >= 0 : *c <= 0;
      }
      SetBoolean(*r, v);
      return r;
    }
    default: return Arithmetic(node, *a, *b);
  }
}

TExpTree TEvaluator::Arithmetic(const TExpToken& node, const TExpToken& a, const TExpToken& b) {
  uint8_t op = node.Operator & 0x7F;
  TExpTree r = NewResult(node);
  r->ClearValue();
  r->IsNull = false;
  if (op == opAdd && IsText(a) && IsText(b)) {
    std::string text(a.IsNull ? std::string_view() : a.StringValue());
    if (!b.IsNull) text += b.StringValue();
    SetText(*r, text, true);
    return r;
  }
  if (FixedTypeSize(r->DataType) > 0) r->SetDataSize(FixedTypeSize(r->DataType));
  if (a.IsNull || b.IsNull) {
    SetNull(*r);
    return r;
  }
  Number x = NumberOf(a), y = NumberOf(b);
  uint8_t rt = r->DataType;
  // Date and time arithmetic.
  if (IsDateTimeType(a.DataType) || IsDateTimeType(b.DataType)) {
    if (a.DataType == kTimeStamp) {
      double stamp = a.Get<double>();
      double day = std::floor(stamp / kDayMs);
      bool integral = b.DataType == kDate || b.DataType == kTime;
      if (integral && (!std::isfinite(stamp) || std::fabs(stamp) > 1e17)) {
        // No day of the calendar: a count of days or milliseconds cannot be formed.
        SetNull(*r);
        return r;
      }
      if (b.DataType == kDate) {
        r->Put<int32_t>(Wrap32(static_cast<int64_t>(day) - b.Get<int32_t>()));
      } else if (b.DataType == kTime) {
        r->Put<int32_t>(Wrap32(static_cast<int64_t>(stamp - day * kDayMs) - b.Get<int32_t>()));
      } else if (b.DataType == kTimeStamp) {
        r->Put<double>(stamp - b.Get<double>());
      } else {
        double days = static_cast<double>(y.i) * kDayMs;
        r->Put<double>(op == opAdd ? stamp + days : stamp - days);
      }
      return r;
    }
    if (b.DataType == kTimeStamp) {  // integer + timestamp
      r->Put<double>(b.Get<double>() + static_cast<double>(x.i) * kDayMs);
      return r;
    }
    // date/time with date/time/integers: plain 32-bit counts (days or milliseconds).
    int64_t v = op == opAdd ? x.i + y.i : x.i - y.i;
    r->Put<int32_t>(Wrap32(v));
    return r;
  }
  switch (rt) {
    case kInteger: {
      int64_t v = op == opAdd ? x.i + y.i : op == opSubtract ? x.i - y.i : x.i * y.i;
      r->Put<int32_t>(Wrap32(v));
      return r;
    }
    case kWord: {
      int64_t v = op == opAdd ? x.i + y.i : op == opSubtract ? x.i - y.i : x.i * y.i;
      r->Put<uint16_t>(static_cast<uint16_t>(v));
      return r;
    }
    case kSmallInt: {
      int64_t v = op == opAdd ? x.i + y.i : op == opSubtract ? x.i - y.i : x.i * y.i;
      r->Put<int16_t>(Wrap16(v));
      return r;
    }
    case kFloat: {
      double p = x.AsDouble(), q = y.AsDouble();
      if (op == opDivide && q == 0) {
        SetNull(*r);
        return r;
      }
      double v = op == opAdd ? p + q : op == opSubtract ? p - q : op == opMultiply ? p * q : p / q;
      r->Put<double>(v);
      return r;
    }
    case kBCD: {
      __int128 p = x.AsCurrency(), q = y.AsCurrency();
      __int128 v = 0;
      if (op == opAdd) {
        v = p + q;
      } else if (op == opSubtract) {
        v = p - q;
      } else {
        // Products and quotients on 128 bits, rounded half away from zero to ten-thousandths.
        __int128 num = op == opMultiply ? p * q : p * 10000;
        __int128 den = op == opMultiply ? 10000 : q;
        if (den == 0) {
          SetNull(*r);
          return r;
        }
        bool negative = (num < 0) != (den < 0);
        __int128 n = num < 0 ? -num : num, d = den < 0 ? -den : den;
        __int128 quotient = n / d;
        if ((n % d) * 2 >= d) ++quotient;
        v = negative ? -quotient : quotient;
      }
      if (v > INT64_MAX || v < INT64_MIN) {
        SetNull(*r);
        return r;
      }
      r->Put<int64_t>(RoundCurrency(r->Scale, static_cast<int64_t>(v)));
      return r;
    }
    default: SetNull(*r); return r;
  }
}

TExpTree TEvaluator::Option(const TExpToken& node) {
  TExpTree a = Eval(node.Left);
  TExpTree b = Eval(node.Right);
  TExpTree r = NewResult(node);
  bool equal = false;
  if (a->IsNull || b->IsNull) {
    equal = a->IsNull && b->IsNull;
  } else {
    equal = LocaleCompareStr(context_.LanguageId, context_.SortId, a->StringValue(),
                             node.CaseInsensitive, static_cast<size_t>(node.PartialLength),
                             b->StringValue()) == 0;
  }
  SetBoolean(*r, (node.Operator & 0x7F) == opNotEqual ? !equal : equal);
  return r;
}

TExpTree TEvaluator::Predicate(const TExpToken& node) {
  TExpTree value = Eval(node.Left);
  TExpTree r = NewResult(node);
  bool v = false;
  switch (node.Operator) {
    case opLike:
    case opNotLike: {
      TExpTree pattern = Eval(node.Right);
      if (!value->IsNull && !pattern->IsNull) {
        v = LikeMatch(context_.LanguageId, context_.SortId, value->StringValue(),
                      pattern->StringValue());
      }
      if (node.Operator == opNotLike) v = !v;
      break;
    }
    case opIn:
    case opNotIn:
      for (const TExpToken* item = node.Right; item != nullptr && !v; item = item->Right) {
        // The list link is not part of the value.
        TExpTree candidate;
        if (item->NodeClass == ncConstant) {
          candidate = NewResult(*item);
        } else {
          candidate = Eval(item);
        }
        v = EqualByRule(*value, *candidate, context_);
      }
      if (node.Operator == opNotIn) v = !v;
      break;
    case opBetween:
    case opNotBetween: {
      const TExpToken* lowNode = node.Right;
      const TExpToken* highNode = lowNode != nullptr ? lowNode->Right : nullptr;
      TExpTree low = lowNode != nullptr && lowNode->NodeClass == ncConstant ? NewResult(*lowNode)
                                                                           : Eval(lowNode);
      if (!value->IsNull && !low->IsNull) {
        auto c = CompareValues(*value, *low, context_);
        if (c.has_value() && *c >= 0) {
          TExpTree high = highNode != nullptr && highNode->NodeClass == ncConstant
                              ? NewResult(*highNode)
                              : Eval(highNode);
          if (!high->IsNull) {
            auto d = CompareValues(*value, *high, context_);
            v = d.has_value() && *d <= 0;
          }
        }
      }
      if (node.Operator == opNotBetween) v = !v;
      break;
    }
    case opInSelect:
    case opNotInSelect: {
      if (context_.SubSelectHook != nullptr && node.Right != nullptr) {
        TExpTree comparison = NewExpTree();
        comparison->NodeClass = ncBinary;
        comparison->Operator = opEqual;
        comparison->Text = "=";
        comparison->DataType = kBool;
        comparison->Left = value.release();
        comparison->Right = Eval(node.Right).release();
        v = context_.SubSelectHook->FilterSubSelect(node.Right->SubQuery, *comparison) != 0;
      }
      if (node.Operator == opNotInSelect) v = !v;
      break;
    }
    default: break;
  }
  SetBoolean(*r, v);
  return r;
}

TExpTree TEvaluator::Cast(const TExpToken& node) {
  TExpTree source = Eval(node.Left);
  TExpTree r = NewResult(node);
  r->ClearValue();
  r->IsNull = false;
  if (source->IsNull) {
    SetNull(*r);
    return r;
  }
  uint8_t target = node.DataType;
  uint8_t from = source->DataType;
  if (target == kBool && (from == kInteger || from == kSmallInt || from == kWord || from == kBCD)) {
    // Any non-zero number is TRUE.
    int64_t v = from == kBCD ? source->Get<int64_t>() : NumberOf(*source).i;
    SetBoolean(*r, v != 0);
    return r;
  }
  if (from == kBlob) {
    // A memo (or other BLOB) is copied byte for byte.
    r->SetDataSize(source->DataSize);
    std::memcpy(r->Data, source->Data, static_cast<size_t>(std::max(0, source->DataSize)));
    return r;
  }
  int32_t size = std::max(node.DataSize, 1);
  r->SetDataSize(std::max(size, kConvertBufferSize));
  r->ClearValue();
  int32_t sourceSize = std::min(std::max(source->DataSize, 0), kConvertBufferSize);
  std::memcpy(r->Data, source->Data, static_cast<size_t>(sourceSize));
  bool ok = ConvertFieldValue(from, sourceSize, source->Scale, r->Data, node.Scale, size, target);
  r->SetDataSize(size);
  r->DataSize = size;
  if (!ok) {
    SetNull(*r);
    return r;
  }
  if (target == kString) {
    r->Data[size - 1] = 0;
    if (r->StringValue().empty()) r->IsNull = true;
  }
  if (target == kBool) r->Put<int16_t>(NormalizeBoolean(r->Get<int16_t>()));
  return r;
}

TExpTree TEvaluator::Extract(const TExpToken& node) {
  TExpTree source = Eval(node.Left);
  TExpTree r = NewResult(node);
  r->ClearValue();
  r->IsNull = false;
  r->DataType = kInteger;
  r->SetDataSize(4);
  if (source->IsNull) {
    SetNull(*r);
    return r;
  }
  bool hasDate = false, hasTime = false;
  int32_t day = 0;
  int64_t ms = 0;
  switch (source->DataType) {
    case kDate:
      hasDate = true;
      day = source->Get<int32_t>();
      break;
    case kTime:
      hasTime = true;
      ms = source->Get<int32_t>();
      break;
    case kTimeStamp: {
      double stamp = source->Get<double>();
      if (!std::isfinite(stamp) || std::fabs(stamp) > 1e17) {
        SetNull(*r);
        return r;
      }
      double d = std::floor(stamp / kDayMs);
      hasDate = hasTime = true;
      day = static_cast<int32_t>(d);
      ms = static_cast<int64_t>(stamp - d * kDayMs);
      break;
    }
    default: break;
  }
  int year = 0, month = 0, dayOfMonth = 0;
  if (hasDate) DayToCivil(day, year, month, dayOfMonth);
  int32_t v = 0;
  switch (node.Operator) {
    case opExtractYear: v = hasDate ? year : 0; break;
    case opExtractMonth: v = hasDate ? month : 0; break;
    case opExtractDay: v = hasDate ? dayOfMonth : 0; break;
    case opExtractDayOfWeek: v = hasDate ? static_cast<int32_t>(((day % 7) + 7) % 7 + 1) : 0; break;
    case opExtractHour: v = hasTime ? static_cast<int32_t>(ms / 3600000) : 0; break;
    case opExtractMinute: v = hasTime ? static_cast<int32_t>(ms / 60000 % 60) : 0; break;
    case opExtractSecond: v = hasTime ? static_cast<int32_t>(ms / 1000 % 60) : 0; break;
    default: break;
  }
  r->Put<int32_t>(v);
  return r;
}

TExpTree TEvaluator::Function(const TExpToken& node) {
  switch (node.Operator) {
    case opCast: return Cast(node);
    case opExtractYear:
    case opExtractMonth:
    case opExtractDay:
    case opExtractDayOfWeek:
    case opExtractHour:
    case opExtractMinute:
    case opExtractSecond: return Extract(node);
    case opIf: {
      TExpTree condition = Eval(node.Left);
      bool chosen = !condition->IsNull && IsTrue(*condition);
      TExpTree branch = Eval(chosen ? node.Right : node.Third);
      TExpTree r = NewResult(node);
      r->Assign(*branch);
      r->NodeClass = ncConstant;
      r->Text = node.Text;
      r->Operator = node.Operator;
      r->Left = r->Right = r->Third = r->Parent = nullptr;
      return r;
    }
    default: break;
  }
  TExpTree arg = Eval(node.Left);
  TExpTree r = NewResult(node);
  r->ClearValue();
  r->IsNull = false;
  switch (node.Operator) {
    case opSum:
    case opCount:
    case opMin:
    case opMax:
    case opAvg: {
      // The SQL layer accumulates; here an aggregate is its argument's value.
      uint8_t type = r->DataType;
      r->Assign(*arg);
      r->NodeClass = ncConstant;
      r->Operator = node.Operator;
      r->Text = node.Text;
      if (node.Operator == opCount) {
        r->DataType = type;
        r->SetDataSize(4);
      }
      return r;
    }
    case opUpper:
    case opLower: {
      if (arg->IsNull) {
        SetNull(*r);
        return r;
      }
      std::string text = node.Operator == opUpper
                             ? LocaleUpperCase(context_.LanguageId, context_.SortId, arg->StringValue())
                             : LocaleLowerCase(context_.LanguageId, context_.SortId, arg->StringValue());
      SetText(*r, text, true);
      return r;
    }
    case opSubstring: {
      const TExpToken* fromNode = node.Right;
      const TExpToken* forNode = fromNode != nullptr ? fromNode->Right : nullptr;
      int64_t from = fromNode != nullptr ? NumberOf(*fromNode).i : 1;
      std::string_view text = arg->IsNull ? std::string_view() : arg->StringValue();
      std::string_view part;
      if (from >= 1 && static_cast<uint64_t>(from - 1) < text.size()) {
        part = text.substr(static_cast<size_t>(from - 1));
        if (forNode != nullptr) {
          int64_t count = NumberOf(*forNode).i;
          part = part.substr(0, static_cast<size_t>(std::max<int64_t>(count, 0)));
        }
      }
      // Sized from the value (at least the terminator), never from the declared guess.
      SetText(*r, part, true);
      return r;
    }
    case opReplace: {
      const TExpToken* search = node.Right;
      const TExpToken* with = search != nullptr ? search->Right : nullptr;
      std::string_view text = arg->IsNull ? std::string_view() : arg->StringValue();
      std::string_view s = search == nullptr || search->IsNull ? std::string_view() : search->StringValue();
      std::string_view w = with == nullptr || with->IsNull ? std::string_view() : with->StringValue();
      // An empty search text ('' is NULL) replaces nothing.
      std::string out = s.empty() ? std::string(text) : ReplaceAll(s, w, text);
      SetText(*r, out, true);
      return r;
    }
    case opPos:
    case opOccurs: {
      const TExpToken* search = node.Right;
      std::string_view text = arg->IsNull ? std::string_view() : arg->StringValue();
      std::string_view s = search == nullptr || search->IsNull ? std::string_view() : search->StringValue();
      size_t v = 0;
      if (!s.empty()) v = node.Operator == opPos ? PosInText(s, text) : CountOccurrences(s, text);
      r->DataType = kInteger;
      r->SetDataSize(4);
      r->Put<int32_t>(static_cast<int32_t>(std::min<size_t>(v, INT32_MAX)));
      return r;
    }
    case opTrimLeading:
    case opTrimTrailing:
    case opTrimBoth: {
      std::string_view text = arg->IsNull ? std::string_view() : arg->StringValue();
      std::string_view c = node.Right == nullptr || node.Right->IsNull ? std::string_view()
                                                                       : node.Right->StringValue();
      std::string out(text);
      if (!c.empty()) {
        out = node.Operator == opTrimLeading    ? TrimLeftChar(text, c[0])
              : node.Operator == opTrimTrailing ? TrimRightChar(text, c[0])
                                                : TrimChar(text, c[0]);
      }
      SetText(*r, out, true);
      return r;
    }
    case opAbs: {
      r->DataType = kInteger;
      r->SetDataSize(4);
      if (arg->IsNull) {
        SetNull(*r);
        return r;
      }
      Number n = NumberOf(*arg);
      if (n.kind == Number::Int) {
        int32_t v = Wrap32(n.i);
        r->Put<int32_t>(v < 0 ? NegateInteger(v) : v);
        return r;
      }
      double t = n.kind == Number::Flt ? std::trunc(n.f) : static_cast<double>(n.i / 10000);
      t = std::fabs(t);
      if (!std::isfinite(t) || t > 2147483647.0) {
        SetNull(*r);
        return r;
      }
      r->Put<int32_t>(static_cast<int32_t>(t));
      return r;
    }
    case opRound: {
      r->DataType = kFloat;
      r->SetDataSize(8);
      if (arg->IsNull) {
        SetNull(*r);
        return r;
      }
      int places = node.Right != nullptr ? static_cast<int>(NumberOf(*node.Right).i) : 0;
      if (arg->DataType == kBCD) {
        int64_t c = RoundCurrency(places, arg->Get<int64_t>());
        r->Put<double>(static_cast<double>(c) / 10000.0);
      } else {
        r->Put<double>(RoundFloat(places, arg->Get<double>()));
      }
      return r;
    }
    default: return r;
  }
}

bool IsConstantOperand(const TExpToken* n) {
  if (n == nullptr) return false;
  if (n->NodeClass == ncConstant) return !n->IsParameter;
  return n->NodeClass == ncUnary && (n->Operator == opNegate || n->Operator == opPositive) &&
         n->Left != nullptr && n->Left->NodeClass == ncConstant && !n->Left->IsParameter;
}

TExpTree PrepareNode(const TExpToken* node, const TEvalContext& context, bool noPartial,
                     bool caseInsensitive);

// Copies a list chained through Right links, each value converted to the tested value's type.
TExpToken* PrepareList(const TExpToken* target, const TExpToken* first, const TEvalContext& context) {
  TExpTree head;
  TExpToken* tail = nullptr;
  for (const TExpToken* value = first; value != nullptr; value = value->Right) {
    TExpTree copy;
    if (target != nullptr && IsConstantOperand(value)) {
      TExpTree plain = NewExpTree();
      plain->Assign(*value);
      plain->Right = nullptr;
      plain->Left = CopyExpressionTree(value->Left);
      plain->Third = nullptr;
      copy = EvaluateAs(*target, plain.get(), context);
    } else {
      copy = NewExpTree();
      copy->Assign(*value);
      copy->Right = nullptr;
      copy->Left = CopyExpressionTree(value->Left);
      copy->Third = CopyExpressionTree(value->Third);
    }
    TExpToken* raw = copy.get();
    if (tail == nullptr) {
      head = std::move(copy);
    } else {
      tail->Right = copy.release();
    }
    tail = raw;
  }
  return head.release();
}

TExpTree PrepareNode(const TExpToken* node, const TEvalContext& context, bool noPartial,
                     bool caseInsensitive) {
  if (node == nullptr) return nullptr;
  TExpTree copy = NewExpTree();
  copy->Assign(*node);
  copy->Left = copy->Right = copy->Third = nullptr;
  uint8_t op = node->Operator;

  if (node->NodeClass == ncBinary && op >= opEqual && op <= opLessEqual &&
      IsConstantOperand(node->Right)) {
    copy->Left = PrepareNode(node->Left, context, noPartial, caseInsensitive).release();
    const TExpToken* right = node->Right;
    if ((op == opEqual || op == opNotEqual) && right->NodeClass == ncConstant &&
        right->DataType == kString && !right->IsNull) {
      std::string_view text = right->StringValue();
      bool star = !text.empty() && text.back() == '*';
      if (star || caseInsensitive) {
        copy->NodeClass = ncOption;
        copy->CaseInsensitive = caseInsensitive;
        copy->PartialLength =
            star && !noPartial ? static_cast<int32_t>(text.size()) - 1 : 0;
        TExpTree constant = NewExpTree();
        constant->Assign(*right);
        constant->Left = constant->Right = constant->Third = nullptr;
        if (copy->PartialLength > 0) {
          std::string shorter(text.substr(0, text.size() - 1));
          constant->SetStringValue(shorter);
        }
        copy->Right = constant.release();
        return copy;
      }
    }
    TExpTree plain = NewExpTree();
    plain->Assign(*right);
    plain->Left = CopyExpressionTree(right->Left);
    plain->Right = plain->Third = nullptr;
    copy->Right = EvaluateAs(*node->Left, plain.get(), context).release();
    return copy;
  }
  if (node->NodeClass == ncPredicate && (op == opLike || op == opNotLike) && node->Right != nullptr &&
      node->Right->NodeClass == ncConstant && node->Right->DataType == kString &&
      !node->Right->IsNull) {
    std::string_view pattern = node->Right->StringValue();
    if (pattern.size() >= 2 && std::count(pattern.begin(), pattern.end(), '%') == 1 &&
        pattern.back() == '%' && pattern.find('_') == std::string_view::npos) {
      copy->NodeClass = ncOption;
      copy->Operator = op == opLike ? opEqual : opNotEqual;
      copy->PartialLength = static_cast<int32_t>(pattern.size()) - 1;
      copy->CaseInsensitive = false;
      copy->Left = PrepareNode(node->Left, context, noPartial, caseInsensitive).release();
      TExpTree constant = NewExpTree();
      constant->Assign(*node->Right);
      constant->Left = constant->Right = constant->Third = nullptr;
      constant->SetStringValue(pattern.substr(0, pattern.size() - 1));
      copy->Right = constant.release();
      return copy;
    }
  }
  if (node->NodeClass == ncPredicate &&
      (op == opIn || op == opNotIn || op == opBetween || op == opNotBetween)) {
    copy->Left = PrepareNode(node->Left, context, noPartial, caseInsensitive).release();
    copy->Right = PrepareList(node->Left, node->Right, context);
    return copy;
  }
  if (node->NodeClass == ncFunction && op == opIf) {
    copy->Left = CopyExpressionTree(node->Left);
    copy->Right = CopyExpressionTree(node->Right);
    copy->Third = CopyExpressionTree(node->Third);
    return copy;
  }
  bool chainedRight = node->NodeClass == ncFunction &&
                      (op == opSubstring || op == opReplace || op == opCast);
  copy->Left = PrepareNode(node->Left, context, noPartial, caseInsensitive).release();
  copy->Right = chainedRight ? CopyExpressionTree(node->Right)
                             : PrepareNode(node->Right, context, noPartial, caseInsensitive).release();
  copy->Third = PrepareNode(node->Third, context, noPartial, caseInsensitive).release();
  return copy;
}

// The value converted exactly to the target's type; false when it is not representable.
bool ConvertExactly(const TExpToken& value, uint8_t targetType, uint8_t targetScale, TExpToken& out) {
  Number n = NumberOf(value);
  switch (targetType) {
    case kSmallInt:
    case kInteger:
    case kWord: {
      if (!IsNumericType(value.DataType)) return false;
      int64_t v = 0;
      if (n.kind == Number::Flt) {
        if (!std::isfinite(n.f) || std::trunc(n.f) != n.f || std::fabs(n.f) > 4e9) return false;
        v = static_cast<int64_t>(n.f);
      } else if (n.kind == Number::Cur) {
        if (n.i % 10000 != 0) return false;
        v = n.i / 10000;
      } else {
        v = n.i;
      }
      int64_t low = targetType == kSmallInt ? -32768 : targetType == kWord ? 0 : INT32_MIN;
      int64_t high = targetType == kSmallInt ? 32767 : targetType == kWord ? 65535 : INT32_MAX;
      if (v < low || v > high) return false;
      out.SetDataSize(FixedTypeSize(targetType));
      out.ClearValue();
      if (targetType == kInteger) {
        out.Put<int32_t>(static_cast<int32_t>(v));
      } else if (targetType == kSmallInt) {
        out.Put<int16_t>(static_cast<int16_t>(v));
      } else {
        out.Put<uint16_t>(static_cast<uint16_t>(v));
      }
      return true;
    }
    case kFloat: {
      if (!IsNumericType(value.DataType)) return false;
      double d = n.AsDouble();
      if (n.kind == Number::Cur && static_cast<double>(static_cast<int64_t>(d * 10000.0)) != d * 10000.0) {
        return false;
      }
      out.SetDataSize(8);
      out.ClearValue();
      out.Put<double>(d);
      return true;
    }
    case kBCD: {
      if (!IsNumericType(value.DataType)) return false;
      int64_t c = 0;
      if (n.kind == Number::Flt) {
        int64_t scaled = 0;
        if (!TryEncodeScaledFloat(4, n.f, scaled) || !TryDecodeScaledCurrency(scaled, c)) return false;
        if (static_cast<double>(c) / 10000.0 != n.f) return false;
      } else {
        __int128 wide = n.AsCurrency();
        if (wide > INT64_MAX || wide < INT64_MIN) return false;
        c = static_cast<int64_t>(wide);
      }
      if (RoundCurrency(targetScale, c) != c) return false;
      out.SetDataSize(8);
      out.ClearValue();
      out.Put<int64_t>(c);
      return true;
    }
    case kDate: {
      if (value.DataType != kTimeStamp) return false;
      double stamp = value.Get<double>();
      double day = std::floor(stamp / kDayMs);
      if (!std::isfinite(stamp) || day * kDayMs != stamp || std::fabs(day) > 2e9) return false;
      out.SetDataSize(4);
      out.ClearValue();
      out.Put<int32_t>(static_cast<int32_t>(day));
      return true;
    }
    case kTimeStamp: {
      if (value.DataType != kDate) return false;
      out.SetDataSize(8);
      out.ClearValue();
      out.Put<double>(static_cast<double>(value.Get<int32_t>()) * kDayMs);
      return true;
    }
    default: return false;
  }
}

}  // namespace

void DayToCivil(int32_t day, int& year, int& month, int& dayOfMonth) {
  // Days since 1970-01-01, then the civil calendar by eras of 400 years.
  int64_t z = int64_t{day} - 719163 + 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  int64_t d = doy - (153 * mp + 2) / 5 + 1;
  int64_t m = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int>(y + (m <= 2 ? 1 : 0));
  month = static_cast<int>(m);
  dayOfMonth = static_cast<int>(d);
}

int32_t CivilToDay(int year, int month, int dayOfMonth) {
  int64_t y = int64_t{year} - (month <= 2 ? 1 : 0);
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + dayOfMonth - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<int32_t>(era * 146097 + doe - 719468 + 719163);
}

TExpTree PrepareExpressionTree(const TExpToken* tree, const TEvalContext& context,
                               bool noPartial, bool caseInsensitive) {
  return PrepareNode(tree, context, noPartial, caseInsensitive);
}

TExpTree EvaluateAs(const TExpToken& target, const TExpToken* constantTree,
                    const TEvalContext& context) {
  TEvalContext noRecord;
  noRecord.LanguageId = context.LanguageId;
  noRecord.SortId = context.SortId;
  TExpTree r = TEvaluator(nullptr, noRecord).Eval(constantTree);
  if (r->IsNull || r->DataType == kString || r->DataType == target.DataType) return r;
  TExpTree converted = NewExpTree();
  converted->Assign(*r);
  if (!ConvertExactly(*r, target.DataType, target.Scale, *converted)) {
    // Not representable in the column's type: the constant keeps its own type and compares
    // exactly (IntCol = 2.7 matches nothing, SmallIntCol = 70000 matches nothing).
    return r;
  }
  converted->DataType = target.DataType;
  converted->SubType = target.SubType;
  converted->Scale = target.Scale;
  return converted;
}

TExpTree EvaluateExpression(const TExpToken* tree, const void* record,
                            const TEvalContext& context) {
  return TEvaluator(record, context).Eval(tree);
}

bool ExpressionResultTrue(const TExpToken& result) {
  return !result.IsNull && IsTrue(result);
}

bool PruneExpressionTree(TExpToken*& node) {
  if (node == nullptr) return false;
  auto isNullConstant = [](const TExpToken* n) {
    return n != nullptr && n->NodeClass == ncConstant && n->IsNull && !n->IsParameter;
  };
  if ((node->NodeClass == ncBinary || node->NodeClass == ncOption) &&
      (node->Operator == opEqual || node->Operator == opNotEqual) &&
      (isNullConstant(node->Left) || isNullConstant(node->Right))) {
    FreeExpressionTree(node);
    return true;
  }
  if (node->NodeClass == ncBinary && node->Operator == opAnd) {
    bool leftGone = PruneExpressionTree(node->Left);
    bool rightGone = PruneExpressionTree(node->Right);
    if (leftGone && rightGone) {
      FreeExpressionTree(node);
      return true;
    }
    if (leftGone || rightGone) {
      TExpToken* survivor = leftGone ? node->Right : node->Left;
      TExpToken* parent = node->Parent;
      node->Assign(*survivor);
      node->Parent = parent;
      for (TExpToken* child : {node->Left, node->Right, node->Third}) {
        if (child != nullptr) child->Parent = node;
      }
      ReleaseExpToken(survivor);
    }
  }
  return false;
}

}  // namespace tovenmarsh::engine
