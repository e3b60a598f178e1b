// Join links and the nested-loop walk over the joined rows.
#include "sql/table_join.h"

#include "engine/cursor/cursor.h"
#include "sql/query_tree.h"

namespace tovenmarsh::sql {

using engine::TExpToken;
using engine::TExpTree;

namespace {

bool IsConstant(const TExpToken* node) { return node != nullptr && node->NodeClass == engine::ncConstant; }

bool ConstantTrue(const TExpToken* node) { return engine::ExpressionResultTrue(*node); }

// Nodes whose Right is a list of values linked through the values' own Right links.
bool ListRight(const TExpToken& node) {
  switch (node.Operator) {
    case engine::opIn:
    case engine::opNotIn:
    case engine::opBetween:
    case engine::opNotBetween:
      return node.NodeClass == engine::ncPredicate;
    case engine::opSubstring:
    case engine::opReplace:
    case engine::opCast:
      return node.NodeClass == engine::ncFunction;
    default: return false;
  }
}

// Folds every value of a list on its own and links the results again.
TExpTree FoldList(const TExpToken* first, const TSourceTable* target, const engine::TEvalContext& context) {
  TExpTree head;
  TExpToken* tail = nullptr;
  for (const TExpToken* item = first; item != nullptr; item = item->Right) {
    TExpTree alone(engine::CopyExpressionTree(item));
    engine::FreeExpressionTree(alone->Right);
    TExpTree folded = JoinFilterCondition(alone.get(), target, context);
    TExpToken* node = folded.get();
    if (tail == nullptr) head = std::move(folded);
    else tail->Right = folded.release();
    tail = node;
  }
  return head;
}

}  // namespace

TExpTree JoinFilterCondition(const TExpToken* tree, const TSourceTable* target,
                             const engine::TEvalContext& context) {
  if (tree == nullptr) return {};
  if (!RefersTo(tree, target) && !HoldsSubSelect(tree)) {
    TExpTree prepared = engine::PrepareExpressionTree(tree, context, true, false);
    TExpTree value = engine::EvaluateExpression(prepared.get(), nullptr, context);
    value->NodeClass = engine::ncConstant;
    value->IsParameter = false;
    value->SourceRef = nullptr;
    return value;
  }
  const bool logical = tree->NodeClass == engine::ncBinary &&
                       (tree->Operator == engine::opAnd || tree->Operator == engine::opOr);
  const bool negation = tree->NodeClass == engine::ncUnary && tree->Operator == engine::opNot;
  TExpTree left = JoinFilterCondition(tree->Left, target, context);
  TExpTree right = ListRight(*tree) ? FoldList(tree->Right, target, context)
                                    : JoinFilterCondition(tree->Right, target, context);
  if (logical) {
    // A decided operand decides the node or leaves the other operand.
    const bool isAnd = tree->Operator == engine::opAnd;
    for (int side = 0; side < 2; ++side) {
      TExpTree& known = side == 0 ? left : right;
      TExpTree& other = side == 0 ? right : left;
      if (!IsConstant(known.get())) continue;
      const bool value = ConstantTrue(known.get());
      if (value == isAnd) return std::move(other);
      return BooleanNode(value);
    }
  }
  if (negation && IsConstant(left.get())) return BooleanNode(!ConstantTrue(left.get()));
  TExpTree copy = engine::NewExpTree();
  copy->Assign(*tree);
  copy->Parent = nullptr;
  copy->Left = left.release();
  copy->Right = right.release();
  copy->Third = nullptr;
  copy->Third = JoinFilterCondition(tree->Third, target, context).release();
  return copy;
}

TTableJoin::TTableJoin(TSourceTable* source, TSourceTable* target, uint8_t kind)
    : Source(source), Target(target), Kind(kind) {}

TTableJoin::~TTableJoin() = default;

void TTableJoin::DropFilter() {
  if (Filter != nullptr && Target->Cursor != nullptr && Target->Cursor->IsOpen()) {
    Target->Cursor->DropFilter(Filter);
  }
  Filter = nullptr;
}

void TTableJoin::AimFilter(const engine::TEvalContext& context) {
  Blocked = false;
  if (Kind == jkCross || Conditions.empty()) return;
  TExpTree combined;
  for (const TExpTree& condition : Conditions) {
    combined = AndTrees(std::move(combined), JoinFilterCondition(condition.get(), Target, context));
  }
  // Constants standing in an AND are settled here: the filter sees only the target's tests.
  TExpTree folded = JoinFilterCondition(combined.get(), Target, context);
  if (IsConstant(folded.get())) {
    // Decided for every row: the filter rests until a row needs it again.
    if (Filter != nullptr && Filter->Active) Target->Cursor->DeactivateFilter(Filter);
    Blocked = !ConstantTrue(folded.get());
    return;
  }
  TExpTree prepared = engine::PrepareExpressionTree(folded.get(), context, true, false);
  if (Filter != nullptr && !Filter->Active) Target->Cursor->ActivateFilter(Filter);
  if (Filter == nullptr) {
    Filter = Target->Cursor->AddFilter(nullptr, std::string_view(), true, false, false, false, nullptr, true,
                                       prepared.get());
    prepared.release();
    Target->Cursor->ActivateFilter(Filter);
  } else {
    Target->Cursor->SetFilterExpression(prepared.get(), Filter);
    prepared.release();
  }
}

TJoinWalk::TJoinWalk(std::vector<TSourceTable*> tables, const engine::TEvalContext& context)
    : tables_(std::move(tables)), context_(context) {}

void TJoinWalk::Start(size_t depth) {
  TSourceTable& t = *tables_[depth];
  if (t.Incoming != nullptr) t.Incoming->AimFilter(context_);
  t.Cursor->First();
  t.Matched = false;
  t.Padded = false;
}

bool TJoinWalk::Advance(size_t depth) {
  TSourceTable& t = *tables_[depth];
  if (t.Padded) return false;
  const bool blocked = t.Incoming != nullptr && t.Incoming->Blocked;
  if (!blocked && t.Cursor->GetNextRecord(t.RecordBuffer.data()) == 0) {
    t.Matched = true;
    return true;
  }
  if (t.Incoming != nullptr && t.Incoming->Kind == jkLeft && !t.Matched) {
    t.Cursor->ClearRecordBuffer(t.RecordBuffer.data());
    t.Padded = true;
    t.Matched = true;
    return true;
  }
  return false;
}

bool TJoinWalk::Next() {
  if (tables_.empty()) return false;
  size_t depth = tables_.size() - 1;
  if (!started_) {
    started_ = true;
    depth = 0;
    Start(0);
  }
  while (true) {
    if (Advance(depth)) {
      if (depth + 1 == tables_.size()) return true;
      ++depth;
      Start(depth);
      continue;
    }
    if (depth == 0) return false;
    --depth;
  }
}

}  // namespace tovenmarsh::sql
