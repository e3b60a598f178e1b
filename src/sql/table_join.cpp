// Join links and the nested-loop walk over the joined rows.
#include "sql/table_join.h"

#include <algorithm>
#include <cstring>

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

// Splits tree at its AND nodes into conjuncts (pointers into tree).
void Conjuncts(const TExpToken* tree, std::vector<const TExpToken*>& out) {
  if (tree == nullptr) return;
  if (tree->NodeClass == engine::ncBinary && tree->Operator == engine::opAnd) {
    Conjuncts(tree->Left, out);
    Conjuncts(tree->Right, out);
    return;
  }
  out.push_back(tree);
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
  if (MayRange && !IsConstant(folded.get()) && AimRange(folded.get(), context)) return;
  if (Ranged || Target->KeyRange || (MayRange && Target->Cursor->IndexNumber() != engine::kPhysicalOrder)) {
    // Back from a key range (or from the index the table was opened on) to the filtered walk in
    // physical order.
    Ranged = false;
    Rest.reset();
    Target->UsePhysicalOrder();
  }
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

bool TTableJoin::AimRange(const TExpToken* folded, const engine::TEvalContext& context) {
  std::vector<const TExpToken*> parts;
  Conjuncts(folded, parts);
  for (size_t i = 0; i < parts.size(); ++i) {
    const TExpToken* column = nullptr;
    const TExpToken* low = nullptr;
    const TExpToken* high = nullptr;
    if (!KeyBounds(parts[i], column, low, high) || column->SourceRef != Target) continue;
    // The filter rests first: while active it would be rebuilt over the whole table for the
    // range.
    if (Filter != nullptr && Filter->Active) Target->Cursor->DeactivateFilter(Filter);
    if (!Target->SetKeyRange(static_cast<uint16_t>(column->FieldNo), low->Data, high->Data)) continue;
    // The other conjuncts are tested on the rows of the range.
    TExpTree rest;
    for (size_t j = 0; j < parts.size(); ++j) {
      if (j != i) rest = AndTrees(std::move(rest), TExpTree(engine::CopyExpressionTree(parts[j])));
    }
    Rest = rest ? engine::PrepareExpressionTree(rest.get(), context, true, false) : TExpTree();
    Ranged = true;
    return true;
  }
  return false;
}

TJoinWalk::TJoinWalk(std::vector<TSourceTable*> tables, const engine::TEvalContext& context)
    : tables_(std::move(tables)), context_(context), ranges_(tables_.size()) {}

void TJoinWalk::Start(size_t depth) {
  TSourceTable& t = *tables_[depth];
  if (t.Incoming != nullptr) t.Incoming->AimFilter(context_);
  t.Cursor->First();
  t.Matched = false;
  t.Padded = false;
  if (t.Incoming != nullptr && t.Incoming->Ranged) CollectRange(depth);
}

void TJoinWalk::CollectRange(size_t depth) {
  TSourceTable& t = *tables_[depth];
  TRangeRows& range = ranges_[depth];
  range.Rows.clear();
  range.Bytes.clear();
  range.Next = 0;
  const engine::TExpToken* rest = t.Incoming->Rest.get();
  while (t.Cursor->GetNextRecord(t.RecordBuffer.data()) == 0) {
    if (rest != nullptr) {
      TExpTree value = engine::EvaluateExpression(rest, nullptr, context_);
      if (!engine::ExpressionResultTrue(*value)) continue;
    }
    range.Rows.push_back({t.Cursor->CurrentRecordNumber(), range.Bytes.size()});
    range.Bytes.insert(range.Bytes.end(), t.RecordBuffer.begin(), t.RecordBuffer.end());
  }
  std::sort(range.Rows.begin(), range.Rows.end(),
            [](const TRangeRow& a, const TRangeRow& b) { return a.Number < b.Number; });
}

bool TJoinWalk::Advance(size_t depth) {
  TSourceTable& t = *tables_[depth];
  if (t.Padded) return false;
  const bool blocked = t.Incoming != nullptr && t.Incoming->Blocked;
  if (!blocked && t.Incoming != nullptr && t.Incoming->Ranged) {
    TRangeRows& range = ranges_[depth];
    if (range.Next < range.Rows.size()) {
      const TRangeRow& row = range.Rows[range.Next++];
      std::memcpy(t.RecordBuffer.data(), range.Bytes.data() + row.At, t.RecordBuffer.size());
      t.Matched = true;
      return true;
    }
  } else if (!blocked && t.Cursor->GetNextRecord(t.RecordBuffer.data()) == 0) {
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
