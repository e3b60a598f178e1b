// Whole-tree operations on expression trees: release, copy, comparison, height and a readable
// dump.
// Implements the tree calls declared in engine/expr/expr_token.h.
#include <cstdio>
#include <vector>

#include "engine/base/engine_strings.h"
#include "engine/expr/expr_token.h"
#include "platform/format.h"

namespace tovenmarsh::engine {

void FreeExpressionTree(TExpToken*& root) {
  if (root == nullptr) return;
  // A lone node (most evaluation results) needs no walk.
  if (root->Left == nullptr && root->Right == nullptr && root->Third == nullptr) {
    ReleaseExpToken(root);
    return;
  }
  // Iterative, so that a tall partly built tree (a long chain of + or OR) never deepens the
  // stack. Children go before their parent, as a depth-first release would.
  std::vector<TExpToken*> pending{root};
  std::vector<TExpToken*> order;
  while (!pending.empty()) {
    TExpToken* node = pending.back();
    pending.pop_back();
    order.push_back(node);
    if (node->Left != nullptr) pending.push_back(node->Left);
    if (node->Right != nullptr) pending.push_back(node->Right);
    if (node->Third != nullptr) pending.push_back(node->Third);
  }
  for (auto it = order.rbegin(); it != order.rend(); ++it) {
    TExpToken* node = *it;
    ReleaseExpToken(node);
  }
  root = nullptr;
}

TExpToken* CopyExpressionTree(const TExpToken* root) {
  if (root == nullptr) return nullptr;
  TExpTree copy = NewExpTree();
  copy->Assign(*root);
  copy->Left = copy->Right = copy->Third = nullptr;
  copy->Left = CopyExpressionTree(root->Left);
  copy->Right = CopyExpressionTree(root->Right);
  copy->Third = CopyExpressionTree(root->Third);
  return copy.release();
}

bool SameExpToken(const TExpToken& a, const TExpToken& b) {
  if (a.NodeClass != b.NodeClass || a.Operator != b.Operator) return false;
  if (!SameText(a.FieldName, b.FieldName) || !SameText(a.TableName, b.TableName)) return false;
  if (a.IsParameter != b.IsParameter || a.PartialLength != b.PartialLength ||
      a.CaseInsensitive != b.CaseInsensitive || a.DataType != b.DataType ||
      a.SubType != b.SubType || a.DataSize != b.DataSize || a.Scale != b.Scale) {
    return false;
  }
  if (a.NodeClass == ncConstant) {
    if (a.IsNull != b.IsNull) return false;
    size_t n = a.DataSize > 0 ? static_cast<size_t>(a.DataSize) : 0;
    if (n > static_cast<size_t>(a.Capacity) || n > static_cast<size_t>(b.Capacity)) return false;
    if (std::memcmp(a.Data, b.Data, n) != 0) return false;
  }
  return true;
}

bool SameExpressionTree(const TExpToken* a, const TExpToken* b) {
  if (a == nullptr && b == nullptr) return true;
  if (a == nullptr || b == nullptr) return false;
  return SameExpressionTree(a->Left, b->Left) && SameExpressionTree(a->Right, b->Right) &&
         SameExpressionTree(a->Third, b->Third) && SameExpToken(*a, *b);
}

uint8_t AggregateCode(std::string_view name) {
  if (SameText(name, "SUM")) return opSum;
  if (SameText(name, "AVG")) return opAvg;
  if (SameText(name, "MIN")) return opMin;
  if (SameText(name, "MAX")) return opMax;
  if (SameText(name, "COUNT")) return opCount;
  return 0;
}

bool IsUpperOfColumn(const TExpToken* node) {
  return node != nullptr && node->NodeClass == ncFunction && node->Operator == opUpper &&
         node->Left != nullptr && node->Left->NodeClass == ncColumn;
}

namespace {

std::string FunctionLabel(const TExpToken& node) {
  switch (node.Operator) {
    case opTrimLeading: return "TRIM LEADING";
    case opTrimTrailing: return "TRIM TRAILING";
    case opTrimBoth: return "TRIM BOTH";
    case opExtractYear: return "EXTRACT YEAR";
    case opExtractMonth: return "EXTRACT MONTH";
    case opExtractDay: return "EXTRACT DAY";
    case opExtractDayOfWeek: return "EXTRACT DAYOFWEEK";
    case opExtractHour: return "EXTRACT HOUR";
    case opExtractMinute: return "EXTRACT MINUTE";
    case opExtractSecond: return "EXTRACT SECOND";
    case opCast: return platform::Format("CAST:%d", node.DataType);
    default: return node.Text;
  }
}

std::string ConstantLabel(const TExpToken& node) {
  if (node.IsParameter) return "?";
  if (node.IsNull) return "NULL";
  switch (node.DataType) {
    case 1: {
      std::string out = "'";
      for (char c : node.StringValue()) {
        out += c;
        if (c == '\'') out += c;
      }
      return out + "'";
    }
    case 4: return node.Get<int16_t>() != 0 ? "TRUE" : "FALSE";
    case 5: return std::to_string(node.Get<int16_t>());
    case 12: return std::to_string(node.Get<uint16_t>());
    case 6: return std::to_string(node.Get<int32_t>());
    case 7: {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "%.17gf", node.Get<double>());
      return buffer;
    }
    case 8: return "bcd:" + std::to_string(node.Get<int64_t>());
    case 2: return "date:" + std::to_string(node.Get<int32_t>());
    case 10: return "time:" + std::to_string(node.Get<int32_t>());
    case 11: {
      char buffer[40];
      std::snprintf(buffer, sizeof buffer, "ts:%.17g", node.Get<double>());
      return buffer;
    }
    default: return platform::Format("type%d", node.DataType);
  }
}

void Dump(const TExpToken* node, bool chained, std::string& out);

// The Right child of predicates and multi-argument functions is a list linked through the
// values' own Right links: show it flat.
void DumpChain(const TExpToken* first, std::string& out) {
  for (const TExpToken* value = first; value != nullptr; value = value->Right) {
    out += ' ';
    Dump(value, true, out);
  }
}

void Dump(const TExpToken* node, bool chained, std::string& out) {
  std::string label;
  switch (node->NodeClass) {
    case ncColumn:
      label = node->TableName.empty() ? node->FieldName : node->TableName + "." + node->FieldName;
      break;
    case ncConstant: label = ConstantLabel(*node); break;
    case ncFunction: label = FunctionLabel(*node); break;
    case ncSubSelect: label = "SUBSELECT"; break;
    case ncOption:
      label = platform::Format("%s[%d%s]", node->Text.c_str(), node->PartialLength,
                               node->CaseInsensitive ? "i" : "");
      break;
    default: label = node->Text; break;
  }
  const TExpToken* right = chained ? nullptr : node->Right;
  if (node->Left == nullptr && right == nullptr && node->Third == nullptr) {
    out += label;
    return;
  }
  out += '(';
  out += label;
  if (node->Left != nullptr) {
    out += ' ';
    Dump(node->Left, false, out);
  }
  bool listRight = node->Operator == opIn || node->Operator == opNotIn ||
                   node->Operator == opBetween || node->Operator == opNotBetween ||
                   node->Operator == opSubstring || node->Operator == opReplace ||
                   node->Operator == opCast;
  if (right != nullptr) {
    if (listRight) {
      DumpChain(right, out);
    } else {
      out += ' ';
      Dump(right, false, out);
    }
  }
  if (node->Third != nullptr) {
    out += ' ';
    Dump(node->Third, false, out);
  }
  out += ')';
}

}  // namespace

std::string DumpExpressionTree(const TExpToken* root) {
  if (root == nullptr) return "nil";
  std::string out;
  Dump(root, false, out);
  return out;
}

}  // namespace tovenmarsh::engine
