// The expression type checker.
#include "engine/expr/expr_typecheck.h"

#include <algorithm>

#include "engine/base/engine_error.h"
#include "engine/expr/expr_convert.h"
#include "engine/expr/expr_messages.h"
#include "engine/expr/expr_types.h"
#include "engine/format/field_desc.h"

namespace tovenmarsh::engine {
namespace {

using M = TExpMessage;

class TChecker {
 public:
  explicit TChecker(const TTypeCheckSettings& settings) : s_(settings) {}

  void Check(bool booleanContext, TExpToken* parent, TExpToken* node);
  void Size(TExpToken& node);

 private:
  [[noreturn]] void Fail(M id, std::initializer_list<std::string_view> args = {}) {
    RaiseEngineError(s_.ErrorCode, s_.ErrorName, {}, ExpressionMessage(id, s_.Context, args));
  }
  static const char* Kind(const TExpToken& n) {
    switch (n.NodeClass) {
      case ncColumn: return "column";
      case ncConstant: return "constant";
      case ncFunction: return "function";
      default: return "expression";
    }
  }
  static bool IsIntegerConstant(const TExpToken* n) {
    return n != nullptr && n->NodeClass == ncConstant && !n->IsNull && !n->IsParameter &&
           IsIntegerType(n->DataType);
  }
  static int64_t IntegerValue(const TExpToken& n) {
    switch (n.DataType) {
      case 5: return n.Get<int16_t>();
      case 12: return n.Get<uint16_t>();
      default: return n.Get<int32_t>();
    }
  }
  static bool IsStringConstant(const TExpToken* n) {
    return n != nullptr && n->NodeClass == ncConstant && !n->IsParameter &&
           (n->DataType == 1 || n->IsNull);
  }
  // A constant, or a sign applied to a constant.
  static bool IsConstantLeaf(const TExpToken* n) {
    if (n->NodeClass == ncConstant) return true;
    return n->NodeClass == ncUnary && (n->Operator == opNegate || n->Operator == opPositive) &&
           n->Left != nullptr && n->Left->NodeClass == ncConstant;
  }
  bool Resolve(TExpToken& node) { return s_.Resolver && s_.Resolver(node); }
  void TryStringAsColumn(TExpToken& node);
  static void RevertToString(TExpToken& node);
  void ConvertDateTimeText(TExpToken& text, const TExpToken& other);
  void CheckCompatible(uint8_t op, TExpToken& left, TExpToken& right);
  void RewriteAsTrueComparison(TExpToken* parent, TExpToken& node, bool booleanContext);
  void CheckBinary(bool booleanContext, TExpToken& node);
  void CheckFunction(bool booleanContext, TExpToken* parent, TExpToken& node);
  void CheckPredicate(TExpToken& node);
  void CheckListValue(TExpToken& left, TExpToken& value, const char* word);

  const TTypeCheckSettings& s_;
};

void TChecker::TryStringAsColumn(TExpToken& node) {
  if (node.NodeClass != ncConstant || node.DataType != 1 || node.IsParameter || node.IsNull) return;
  if (node.Text.empty() || node.Text == "*") return;
  uint8_t type = node.DataType, subType = node.SubType, scale = node.Scale;
  int32_t size = node.DataSize;
  node.FieldName = node.Text;
  node.TableName.clear();
  if (!Resolve(node)) {
    node.FieldName.clear();
    node.DataType = type;
    node.SubType = subType;
    node.Scale = scale;
    node.DataSize = size;
    node.FieldNo = 0;
    return;
  }
  node.NodeClass = ncColumn;
  node.WasString = true;
  node.SavedType = type;
  node.SavedSubType = subType;
  node.SavedSize = size;
  node.SavedScale = scale;
}

void TChecker::RevertToString(TExpToken& node) {
  if (!node.WasString) return;
  node.NodeClass = ncConstant;
  node.WasString = false;
  node.DataType = node.SavedType;
  node.SubType = node.SavedSubType;
  node.DataSize = node.SavedSize;
  node.Scale = node.SavedScale;
  node.FieldNo = 0;
  node.FieldName.clear();
}

void TChecker::ConvertDateTimeText(TExpToken& text, const TExpToken& other) {
  std::string value(text.StringValue());
  uint8_t buffer[8] = {};
  if (!TextToDateTimeValue(value, other.DataType, buffer)) Fail(M::DateTimeExpected, {value});
  text.DataType = other.DataType;
  text.SubType = other.SubType;
  text.SetDataSize(FixedTypeSize(other.DataType));
  text.ClearValue();
  std::memcpy(text.Data, buffer, sizeof buffer);
  text.Scale = other.Scale;
}

void TChecker::CheckCompatible(uint8_t op, TExpToken& left, TExpToken& right) {
  bool leftString = left.DataType == 1, rightString = right.DataType == 1;
  if (left.NodeClass == ncConstant || right.NodeClass == ncConstant ||
      (right.NodeClass == ncUnary && right.Left != nullptr &&
       right.Left->NodeClass == ncConstant)) {
    if (IsDateTimeType(left.DataType) && rightString && right.NodeClass == ncConstant) {
      ConvertDateTimeText(right, left);
    } else if (IsDateTimeType(right.DataType) && leftString && left.NodeClass == ncConstant) {
      ConvertDateTimeText(left, right);
    }
  }
  if (!OperatorTypesCompatible(op, left.DataType, left.SubType, right.SubType, right.DataType)) {
    Fail(M::TypeMismatch, {Kind(left), left.Text, Kind(right), right.Text});
  }
}

void TChecker::RewriteAsTrueComparison(TExpToken* parent, TExpToken& node, bool booleanContext) {
  if (!booleanContext || node.DataType != 4) return;
  if (parent != nullptr && !(parent->NodeClass == ncUnary && parent->Operator == opNot) &&
      !(parent->NodeClass == ncBinary &&
        (parent->Operator == opAnd || parent->Operator == opOr))) {
    return;
  }
  TExpTree copy = NewExpTree();
  copy->Assign(node);
  TExpTree truth = NewExpTree();
  truth->NodeClass = ncConstant;
  truth->Text = "True";
  truth->DataType = 4;
  truth->SetDataSize(2);
  truth->Put<int16_t>(1);
  std::string keptText;
  node.NodeClass = ncBinary;
  node.Operator = opEqual;
  node.Text = "=";
  node.FieldName.clear();
  node.TableName.clear();
  node.FieldNo = 0;
  node.WasString = false;
  node.SubType = 0;
  node.Scale = 0;
  node.SetDataSize(2);
  node.Third = nullptr;
  node.Left = copy.release();
  node.Right = truth.release();
  node.Left->Parent = &node;
  node.Right->Parent = &node;
  if (node.Left->Left != nullptr) node.Left->Left->Parent = node.Left;
  if (node.Left->Right != nullptr) node.Left->Right->Parent = node.Left;
  if (node.Left->Third != nullptr) node.Left->Third->Parent = node.Left;
}

void TChecker::Check(bool booleanContext, TExpToken* parent, TExpToken* node) {
  if (node == nullptr) return;
  node->Parent = parent;
  switch (node->NodeClass) {
    case ncConstant:
      TryStringAsColumn(*node);
      if (node->NodeClass == ncColumn) RewriteAsTrueComparison(parent, *node, booleanContext);
      return;
    case ncColumn:
      if (node->FieldName == "*") return;
      if (!Resolve(*node)) Fail(M::InvalidColumn, {node->FieldName, node->TableName});
      RewriteAsTrueComparison(parent, *node, booleanContext);
      return;
    case ncUnary: {
      bool passOn = node->Operator == opNot && booleanContext;
      Check(passOn, node, node->Left);
      TExpToken& operand = *node->Left;
      if (!UnaryTypeAllowed(node->Operator, operand.DataType)) {
        Fail(M::UnaryTypeMismatch, {node->Text, operand.Text});
      }
      node->DataType = UnaryResultType(node->Operator, operand.DataType);
      node->SubType = UnaryResultSubType(node->Operator, operand.SubType);
      node->SetDataSize(node->DataType == 4 ? 2 : operand.DataSize);
      node->Scale = operand.Scale;
      return;
    }
    case ncBinary: CheckBinary(booleanContext, *node); return;
    case ncOption:
      Check(false, node, node->Left);
      Check(false, node, node->Right);
      node->DataType = 4;
      node->SetDataSize(2);
      return;
    case ncSubSelect: {
      if (s_.SubSelectHook == nullptr || node->SubQuery == nullptr) {
        Fail(M::InvalidColumn, {node->FieldName, node->TableName});
      }
      if (s_.SubSelectHook->ResultColumnCount(node->SubQuery) > 1) Fail(M::SubSelectColumns);
      if (!s_.SubSelectHook->BindSubSelectColumn(node->SubQuery, *node)) {
        Fail(M::InvalidColumn, {node->FieldName, node->TableName});
      }
      return;
    }
    case ncFunction: CheckFunction(booleanContext, parent, *node); return;
    case ncPredicate: CheckPredicate(*node); return;
    default: return;
  }
}

void TChecker::CheckBinary(bool booleanContext, TExpToken& node) {
  bool logical = node.Operator == opAnd || node.Operator == opOr;
  Check(logical && booleanContext, &node, node.Left);
  Check(logical && booleanContext, &node, node.Right);
  TExpToken& left = *node.Left;
  TExpToken& right = *node.Right;
  if (left.NodeClass == ncColumn && right.NodeClass == ncColumn) {
    if (right.WasString) {
      RevertToString(right);
    } else if (left.WasString) {
      RevertToString(left);
    }
  }
  CheckCompatible(node.Operator, left, right);
  node.DataType = BinaryResultType(node.Operator, left.DataType, right.DataType);
  node.SubType = BinaryResultSubType(node.Operator, left.DataType, left.SubType, right.SubType,
                                     right.DataType);
  if (node.Operator == opAdd && IsStringOrMemo(left.DataType, left.SubType)) {
    // Bounded: the evaluator sizes the value itself; this is only the declared guess.
    int64_t size = int64_t{left.DataSize} + right.DataSize - 1;
    node.SetDataSize(static_cast<int32_t>(std::clamp<int64_t>(size, 1, kMaxRecordSize)));
    node.Scale = 0;
  } else {
    // The result type's own size (not the larger operand's: a boolean of two strings is 2).
    node.SetDataSize(FixedTypeSize(node.DataType));
    node.Scale = node.DataType == 8 ? std::max(left.Scale, right.Scale) : 0;
  }
}

void TChecker::CheckListValue(TExpToken& left, TExpToken& value, const char* word) {
  if (!IsConstantLeaf(&value)) Fail(M::ConstantExpected, {word, value.Text});
  TExpToken* saveRight = value.Right;
  value.Right = nullptr;  // the list link is not an operand
  Check(false, left.Parent, &value);
  value.Right = saveRight;
  RevertToString(value);
  CheckCompatible(opEqual, left, value);
}

void TChecker::CheckPredicate(TExpToken& node) {
  node.DataType = 4;
  node.SubType = 0;
  node.Scale = 0;
  switch (node.Operator) {
    case opLike:
    case opNotLike: {
      const char* word = node.Operator == opLike ? "LIKE" : "NOT LIKE";
      Check(false, &node, node.Left);
      Check(false, &node, node.Right);
      RevertToString(*node.Right);
      if (!IsStringOrMemo(node.Left->DataType, node.Left->SubType)) {
        Fail(M::PredicateMismatch, {word, node.Left->Text});
      }
      if (!IsStringConstant(node.Right)) Fail(M::ConstantExpected, {word, node.Right->Text});
      break;
    }
    case opIn:
    case opNotIn:
    case opBetween:
    case opNotBetween: {
      const char* word = node.Operator == opIn      ? "IN"
                         : node.Operator == opNotIn ? "NOT IN"
                         : node.Operator == opBetween ? "BETWEEN"
                                                      : "NOT BETWEEN";
      Check(false, &node, node.Left);
      for (TExpToken* value = node.Right; value != nullptr; value = value->Right) {
        CheckListValue(*node.Left, *value, word);
        value->Parent = &node;
      }
      break;
    }
    case opInSelect:
    case opNotInSelect:
      Check(false, &node, node.Left);
      Check(false, &node, node.Right);
      CheckCompatible(opEqual, *node.Left, *node.Right);
      break;
    default: break;
  }
  node.SetDataSize(2);
}

void TChecker::CheckFunction(bool booleanContext, TExpToken* parent, TExpToken& node) {
  TExpToken* arg = node.Left;
  switch (node.Operator) {
    case opSum:
    case opMin:
    case opMax:
    case opAvg:
      Check(false, &node, arg);
      if (!IsNumericType(arg->DataType) && !IsDateTimeType(arg->DataType)) {
        Fail(M::AggregateArgument, {node.Text});
      }
      node.DataType = arg->DataType;
      node.SubType = arg->SubType;
      node.SetDataSize(arg->DataSize);
      node.Scale = arg->Scale;
      return;
    case opCount:
      Check(false, &node, arg);
      node.DataType = 6;
      node.SetDataSize(4);
      return;
    case opUpper:
    case opLower:
      Check(false, &node, arg);
      if (!IsStringOrMemo(arg->DataType, arg->SubType)) {
        Fail(M::CaseFunctionArgument, {node.Operator == opUpper ? "UPPER" : "LOWER"});
      }
      node.DataType = arg->DataType;
      node.SubType = arg->SubType;
      node.SetDataSize(arg->DataSize);
      node.Scale = 0;
      return;
    case opSubstring: {
      Check(false, &node, arg);
      if (!IsStringOrMemo(arg->DataType, arg->SubType)) Fail(M::SubstringArgument);
      TExpToken* from = node.Right;
      if (!IsIntegerConstant(from)) Fail(M::SubstringFromConstant);
      if (IntegerValue(*from) <= 0) Fail(M::SubstringFromPositive);
      from->Parent = &node;
      TExpToken* count = from->Right;
      int64_t size = 0;
      if (count != nullptr) {
        if (!IsIntegerConstant(count)) Fail(M::SubstringForConstant);
        if (IntegerValue(*count) <= 0) Fail(M::SubstringForPositive);
        count->Parent = &node;
        size = IntegerValue(*count) + 1;
      } else {
        size = int64_t{arg->DataSize} - IntegerValue(*from) + 1;
      }
      node.DataType = 1;
      node.SubType = 0;
      // Never below one byte: the evaluator sizes the result from the value anyway.
      node.SetDataSize(static_cast<int32_t>(std::clamp<int64_t>(size, 1, 65536)));
      return;
    }
    case opReplace: {
      Check(false, &node, arg);
      if (!IsStringOrMemo(arg->DataType, arg->SubType)) Fail(M::ReplaceInArgument);
      TExpToken* search = node.Right;
      TExpToken* with = search->Right;
      if (search->NodeClass != ncConstant || search->IsParameter ||
          (search->DataType != 1 && !search->IsNull)) {
        Fail(M::ReplaceSearchArgument);
      }
      if (with == nullptr || with->NodeClass != ncConstant || with->IsParameter ||
          (with->DataType != 1 && !with->IsNull)) {
        Fail(M::ReplaceWithArgument);
      }
      search->Parent = with->Parent = &node;
      node.DataType = 1;
      node.SubType = 0;
      node.SetDataSize(std::max(1, arg->DataSize));
      return;
    }
    case opPos:
    case opOccurs: {
      bool pos = node.Operator == opPos;
      Check(false, &node, arg);
      if (!IsStringOrMemo(arg->DataType, arg->SubType)) {
        Fail(pos ? M::PosInArgument : M::OccursInArgument);
      }
      TExpToken* search = node.Right;
      Check(false, &node, search);
      RevertToString(*search);
      if (!IsStringConstant(search)) Fail(pos ? M::PosSearchArgument : M::OccursSearchArgument);
      node.DataType = 6;
      node.SetDataSize(4);
      return;
    }
    case opTrimLeading:
    case opTrimTrailing:
    case opTrimBoth: {
      Check(false, &node, arg);
      if (!IsStringOrMemo(arg->DataType, arg->SubType)) Fail(M::TrimFromArgument);
      TExpToken* character = node.Right;
      Check(false, &node, character);
      RevertToString(*character);
      if (character->NodeClass != ncConstant || character->DataType != 1 ||
          character->StringValue().size() != 1) {
        Fail(M::TrimCharacterArgument);
      }
      node.DataType = 1;
      node.SubType = 0;
      node.SetDataSize(std::max(1, arg->DataSize));
      return;
    }
    case opCast: {
      Check(false, &node, arg);
      if (!CastAllowed(node.DataType, arg->DataType)) {
        Fail(M::CastMismatch, {Kind(*arg), arg->Text});
      }
      Size(node);
      RewriteAsTrueComparison(parent, node, booleanContext);
      return;
    }
    case opExtractYear:
    case opExtractMonth:
    case opExtractDay:
    case opExtractDayOfWeek:
    case opExtractHour:
    case opExtractMinute:
    case opExtractSecond:
      Check(false, &node, arg);
      if (!IsDateTimeType(arg->DataType)) Fail(M::ExtractArgument);
      node.DataType = 6;
      node.SetDataSize(4);
      return;
    case opIf: {
      Check(true, &node, arg);
      if (arg->DataType != 4) Fail(M::IfCondition);
      Check(false, &node, node.Right);
      Check(false, &node, node.Third);
      TExpToken& a = *node.Right;
      TExpToken& b = *node.Third;
      if (a.DataType != b.DataType || a.SubType != b.SubType) Fail(M::IfBranches);
      node.DataType = a.DataType;
      node.SubType = a.SubType;
      node.SetDataSize(std::max(a.DataSize, b.DataSize));
      node.Scale = std::max(a.Scale, b.Scale);
      RewriteAsTrueComparison(parent, node, booleanContext);
      return;
    }
    case opAbs:
      Check(false, &node, arg);
      if (!IsNumericType(arg->DataType)) Fail(M::AbsArgument);
      node.DataType = 6;
      node.SetDataSize(4);
      return;
    case opRound:
      Check(false, &node, arg);
      if (arg->DataType != 7 && arg->DataType != 8) Fail(M::RoundArgument);
      if (node.Right != nullptr) {
        if (!IsIntegerConstant(node.Right)) Fail(M::RoundPlacesConstant);
        int64_t places = IntegerValue(*node.Right);
        if (places < 0 || places > 32) Fail(M::RoundPlacesRange);
        node.Right->Parent = &node;
      }
      node.DataType = 7;
      node.SubType = 0;
      node.SetDataSize(8);
      return;
    default: return;
  }
}

void TChecker::Size(TExpToken& node) {
  TExpToken* first = node.Right;
  TExpToken* second = first != nullptr ? first->Right : nullptr;
  const TExpToken* source = node.Left;
  auto lengthOf = [&]() -> int32_t {
    if (first != nullptr) {
      if (!IsIntegerConstant(first)) Fail(M::LengthInteger);
      int64_t length = IntegerValue(*first);
      if (length < 1 || length > 250) Fail(M::LengthRange);
      return static_cast<int32_t>(length);
    }
    return -1;
  };
  node.Scale = 0;
  switch (node.DataType) {
    case 1: {
      int32_t length = lengthOf();
      if (length < 0) {
        node.SetDataSize(source != nullptr && source->DataType == 1 && source->DataSize > 0
                             ? source->DataSize
                             : 10);
      } else {
        node.SetDataSize(length + 1);
      }
      return;
    }
    case 9: {
      int32_t length = lengthOf();
      if (length < 0) {
        length = source != nullptr && source->DataSize > 0 ? source->DataSize : 10;
        if (length > 250) Fail(M::LengthRange);
      }
      node.SetDataSize(length);
      return;
    }
    case 7:
    case 8:
    case 11:
      node.SetDataSize(8);
      if (second != nullptr) {
        if (!IsIntegerConstant(second)) Fail(M::ScaleInteger);
        int64_t scale = IntegerValue(*second);
        if (node.DataType == 8 && (scale < 0 || scale > 4)) Fail(M::ScaleBcd);
        if (scale < 0 || scale > 255) Fail(M::ScaleInteger);
        node.Scale = static_cast<uint8_t>(scale);
      }
      return;
    case 3: {
      if (!IsIntegerConstant(first) || IntegerValue(*first) != 1) Fail(M::BlobFirstArgument);
      if (!IsIntegerConstant(second)) Fail(M::BlobTypeArgument);
      int64_t kind = IntegerValue(*second);
      if (kind < 1 || kind > 7) Fail(M::BlobTypeRange);
      node.SubType = static_cast<uint8_t>(21 + kind);
      node.SetDataSize(source != nullptr ? std::max(0, source->DataSize) : 0);
      return;
    }
    default: node.SetDataSize(FixedTypeSize(node.DataType)); return;
  }
}

}  // namespace

void CheckExpressionTypes(const TTypeCheckSettings& settings, bool booleanContext,
                          TExpToken* parent, TExpToken* node) {
  TChecker(settings).Check(booleanContext, parent, node);
}

void SizeExpressionResult(const TTypeCheckSettings& settings, TExpToken& node) {
  TChecker(settings).Size(node);
}

bool HasTopLevelOr(const TExpToken* tree) {
  bool flipped = false;
  while (tree != nullptr && tree->NodeClass == ncUnary && tree->Operator == opNot) {
    flipped = !flipped;
    tree = tree->Left;
  }
  bool isOr = tree != nullptr && tree->NodeClass == ncBinary && tree->Operator == opOr;
  return isOr != flipped;
}

bool IsNegatedExpression(const TExpToken* node) {
  for (const TExpToken* p = node != nullptr ? node->Parent : nullptr; p != nullptr; p = p->Parent) {
    if (p->NodeClass == ncUnary && p->Operator == opNot) return true;
    if (p->NodeClass != ncBinary && p->NodeClass != ncUnary) return false;
  }
  return false;
}

bool ReferencesColumns(const TExpToken* tree) {
  if (tree == nullptr) return false;
  if (tree->NodeClass == ncColumn) return true;
  if (tree->NodeClass == ncUnary) return ReferencesColumns(tree->Left);
  if (tree->NodeClass == ncBinary) return ReferencesColumns(tree->Left) || ReferencesColumns(tree->Right);
  if (tree->NodeClass == ncFunction && tree->Operator == opIf) {
    return ReferencesColumns(tree->Left) || ReferencesColumns(tree->Right) ||
           ReferencesColumns(tree->Third);
  }
  if (tree->NodeClass == ncFunction || tree->NodeClass == ncPredicate) {
    return ReferencesColumns(tree->Left);
  }
  return false;
}

bool ContainsAggregate(const TExpToken* tree) {
  if (tree == nullptr) return false;
  if (tree->NodeClass == ncFunction && tree->Operator >= opSum && tree->Operator <= opAvg) {
    return true;
  }
  switch (tree->NodeClass) {
    case ncUnary: return ContainsAggregate(tree->Left);
    case ncBinary:
    case ncPredicate: return ContainsAggregate(tree->Left) || ContainsAggregate(tree->Right);
    case ncFunction:
      if (tree->Operator == opIf) {
        return ContainsAggregate(tree->Left) || ContainsAggregate(tree->Right) ||
               ContainsAggregate(tree->Third);
      }
      return false;
    default: return false;
  }
}

}  // namespace tovenmarsh::engine
