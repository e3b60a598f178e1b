// Tree helpers of SQL planning.
#include "sql/query_tree.h"

#include <algorithm>

#include "engine/expr/expr_types.h"
#include "engine/format/field_desc.h"

namespace tovenmarsh::sql {

using engine::TExpToken;
using engine::TExpTree;

void TablesOf(const TExpToken* tree, std::vector<TSourceTable*>& tables) {
  if (tree == nullptr) return;
  if (tree->NodeClass == engine::ncColumn && tree->SourceRef != nullptr) {
    auto* t = static_cast<TSourceTable*>(tree->SourceRef);
    if (std::find(tables.begin(), tables.end(), t) == tables.end()) tables.push_back(t);
  }
  TablesOf(tree->Left, tables);
  TablesOf(tree->Right, tables);
  TablesOf(tree->Third, tables);
}

bool HoldsSubSelect(const TExpToken* tree) {
  if (tree == nullptr) return false;
  if (tree->NodeClass == engine::ncSubSelect) return true;
  return HoldsSubSelect(tree->Left) || HoldsSubSelect(tree->Right) || HoldsSubSelect(tree->Third);
}

bool RefersTo(const TExpToken* tree, const TSourceTable* table) {
  if (tree == nullptr) return false;
  if (tree->NodeClass == engine::ncColumn && tree->SourceRef == table) return true;
  return RefersTo(tree->Left, table) || RefersTo(tree->Right, table) || RefersTo(tree->Third, table);
}

TExpTree IntegerNode(int32_t value) {
  TExpTree node = engine::NewExpTree();
  node->NodeClass = engine::ncConstant;
  node->DataType = engine::fldInt32;
  node->SetDataSize(4);
  node->Put<int32_t>(value);
  return node;
}

TExpTree FloatNode(double value) {
  TExpTree node = engine::NewExpTree();
  node->NodeClass = engine::ncConstant;
  node->DataType = engine::fldFloat;
  node->SetDataSize(8);
  node->Put<double>(value);
  return node;
}

TExpTree BooleanNode(bool value) {
  TExpTree node = engine::NewExpTree();
  node->NodeClass = engine::ncConstant;
  node->DataType = engine::fldBool;
  node->SetDataSize(2);
  node->Put<int16_t>(value ? 1 : 0);
  return node;
}

TExpTree AndTrees(TExpTree left, TExpTree right) {
  if (!left) return right;
  if (!right) return left;
  TExpTree node = engine::NewExpTree();
  node->NodeClass = engine::ncBinary;
  node->Operator = engine::opAnd;
  node->Text = "AND";
  node->DataType = engine::fldBool;
  node->SetDataSize(2);
  node->Left = left.release();
  node->Right = right.release();
  return node;
}

bool KeyBounds(const TExpToken* c, const TExpToken*& column, const TExpToken*& low, const TExpToken*& high) {
  if (c == nullptr) return false;
  if (c->NodeClass == engine::ncBinary && c->Operator == engine::opEqual) {
    column = c->Left;
    low = high = c->Right;
    if (low != nullptr && low->Right != nullptr) return false;
  } else if (c->NodeClass == engine::ncPredicate && c->Operator == engine::opBetween) {
    column = c->Left;
    low = c->Right;
    high = low != nullptr ? low->Right : nullptr;
    if (high != nullptr && high->Right != nullptr) return false;
  } else {
    return false;
  }
  if (column == nullptr || column->NodeClass != engine::ncColumn || column->SourceRef == nullptr ||
      !engine::IsIntegerType(column->DataType)) {
    return false;
  }
  auto constant = [&](const TExpToken* v) {
    return v != nullptr && v->NodeClass == engine::ncConstant && !v->IsParameter && !v->IsNull &&
           v->Left == nullptr && v->DataType == column->DataType;
  };
  return constant(low) && constant(high) && (low == high || low->Right == high);
}

}  // namespace tovenmarsh::sql
