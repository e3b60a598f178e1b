// Cursor filters: compilation, optimisation levels, result building from index ranges and record
// scans, the visible set and its per-record upkeep. See filter.h for the contract.
#include "engine/expr/filter.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/expr_typecheck.h"
#include "engine/expr/expr_types.h"
#include "engine/base/object_pool.h"
#include "platform/win1252.h"

namespace tovenmarsh::engine {

namespace {

constexpr uint16_t kErrUnknownFilter = kErrInvalidFilterHandle;
constexpr uint16_t kErrFilterExpression = kErrFilterError;
constexpr uint8_t kTypeString = 1;
constexpr uint8_t kTypeBoolean = 4;
constexpr uint8_t kTypeSmallInt = 5;
constexpr uint8_t kTypeInteger = 6;
constexpr uint8_t kTypeFloat = 7;
constexpr uint8_t kTypeBCD = 8;
constexpr uint8_t kTypeWord = 12;
constexpr uint8_t kTypeUInt32 = 13;

// A pooled bitmap that goes back to the pool on scope exit.
class TPooledBitmap {
 public:
  explicit TPooledBitmap(uint32_t size) : bitmap_(NewRecordsBitmap()) { bitmap_->SetSize(size); }
  ~TPooledBitmap() { ReleaseRecordsBitmap(bitmap_); }
  TPooledBitmap(const TPooledBitmap&) = delete;
  TPooledBitmap& operator=(const TPooledBitmap&) = delete;
  TRecordsBitmap& operator*() { return *bitmap_; }
  TRecordsBitmap* operator->() { return bitmap_; }

 private:
  TRecordsBitmap* bitmap_;
};

bool IsComparison(uint8_t op) { return op >= opEqual && op <= opLessEqual; }

bool IsColumnIntegerType(uint8_t type) {
  return type == kTypeSmallInt || type == kTypeInteger || type == kTypeWord ||
         type == kTypeUInt32;
}

void IntegerTypeLimits(uint8_t type, int64_t& low, int64_t& high) {
  switch (type) {
    case kTypeSmallInt: low = INT16_MIN; high = INT16_MAX; break;
    case kTypeWord: low = 0; high = UINT16_MAX; break;
    case kTypeUInt32: low = 0; high = UINT32_MAX; break;
    default: low = INT32_MIN; high = INT32_MAX; break;
  }
}

// The floor and ceiling of a numeric constant as 64-bit integers (saturated); false for a value
// that is not a number.
bool ConstantFloorCeil(const TExpToken& c, int64_t& floorV, int64_t& ceilV) {
  switch (c.DataType) {
    case kTypeSmallInt: floorV = ceilV = c.Get<int16_t>(); return true;
    case kTypeBoolean: return false;
    case kTypeWord: floorV = ceilV = c.Get<uint16_t>(); return true;
    case kTypeInteger: floorV = ceilV = c.Get<int32_t>(); return true;
    case kTypeUInt32: floorV = ceilV = c.Get<uint32_t>(); return true;
    case kTypeBCD: {
      int64_t v = c.Get<int64_t>();
      int64_t q = v / 10000;
      int64_t r = v % 10000;
      floorV = r < 0 ? q - 1 : q;
      ceilV = r > 0 ? q + 1 : q;
      return true;
    }
    case kTypeFloat: {
      double v = c.Get<double>();
      if (std::isnan(v)) return false;
      auto saturate = [](double d) -> int64_t {
        if (d >= 9.0e18) return INT64_MAX / 2;
        if (d <= -9.0e18) return INT64_MIN / 2;
        return static_cast<int64_t>(d);
      };
      floorV = saturate(std::floor(v));
      ceilV = saturate(std::ceil(v));
      return true;
    }
    default: return false;
  }
}

TExpTree IntegerConstant(uint8_t type, int64_t v) {
  TExpTree node = NewExpTree();
  node->NodeClass = ncConstant;
  node->DataType = type;
  node->DataSize = FixedTypeSize(type);
  switch (type) {
    case kTypeSmallInt: node->Put<int16_t>(static_cast<int16_t>(v)); break;
    case kTypeWord: node->Put<uint16_t>(static_cast<uint16_t>(v)); break;
    case kTypeUInt32: node->Put<uint32_t>(static_cast<uint32_t>(v)); break;
    default: node->Put<int32_t>(static_cast<int32_t>(v)); break;
  }
  return node;
}

// The key range that answers "column op constant" with the NULL rules of evaluation: NULL keys
// only for "= NULL" and the inverse ranges; a constant that is not exactly representable in an
// integer column becomes the nearest integer bound, or an empty or full range. The range may
// point into holder. False when the combination cannot be answered by an index.
bool ComparisonRange(uint8_t columnType, int32_t fieldChars, uint8_t op, const TExpToken& constant,
                     TIndexRange& range, std::vector<TExpTree>& holder) {
  range = TIndexRange{};
  if (constant.IsNull || constant.DataType == kNullType) {
    switch (op) {
      case opEqual: range.IncludeNull = true; range.IncludeValues = false; return true;
      case opNotEqual: return true;  // every non-NULL key
      default: range.IncludeValues = false; return true;  // ordered with NULL: nothing
    }
  }
  const TExpToken* bound = &constant;
  bool strictLow = op == opGreater;
  bool strictHigh = op == opLess;
  if (columnType == kTypeString && constant.DataType == kTypeString && fieldChars > 0 &&
      constant.StringValue().size() > static_cast<size_t>(fieldChars)) {
    // No stored value is that long, and a key would hold only the constant's first characters:
    // v < c exactly when v <= c's head, v > c exactly when v > c's head.
    if (op == opEqual || op == opNotEqual) {
      range.IncludeValues = false;
      return true;
    }
    TExpTree head = NewExpTree();
    head->Assign(constant);
    head->Left = head->Right = head->Third = nullptr;
    head->SetStringValue(constant.StringValue().substr(0, static_cast<size_t>(fieldChars)));
    holder.push_back(std::move(head));
    bound = holder.back().get();
    strictHigh = false;
    strictLow = true;
  }
  if (constant.DataType != columnType) {
    if (!IsColumnIntegerType(columnType)) return false;
    int64_t floorV = 0;
    int64_t ceilV = 0;
    if (!ConstantFloorCeil(constant, floorV, ceilV)) return false;
    int64_t minT = 0;
    int64_t maxT = 0;
    IntegerTypeLimits(columnType, minT, maxT);
    int64_t v = 0;
    switch (op) {
      case opEqual:
      case opNotEqual:
        if (floorV != ceilV || floorV < minT || floorV > maxT) {
          range.IncludeValues = false;  // matches nothing; "<>" inverts it
          return true;
        }
        v = floorV;
        break;
      case opGreater:
      case opGreaterEqual:
        v = op == opGreater ? floorV + 1 : ceilV;
        if (v > maxT) {
          range.IncludeValues = false;
          return true;
        }
        if (v < minT) return true;  // every non-NULL key
        strictLow = false;
        break;
      default:
        v = op == opLess ? ceilV - 1 : floorV;
        if (v < minT) {
          range.IncludeValues = false;
          return true;
        }
        if (v > maxT) return true;
        strictHigh = false;
        break;
    }
    holder.push_back(IntegerConstant(columnType, v));
    bound = holder.back().get();
  }
  switch (op) {
    case opEqual:
    case opNotEqual: range.Low = range.High = bound; break;
    case opGreater:
    case opGreaterEqual:
      range.Low = bound;
      range.LowInclusive = !strictLow;
      break;
    default:
      range.High = bound;
      range.HighInclusive = !strictHigh;
      break;
  }
  return true;
}

bool IsUpperText(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return platform::Win1252Upper(c) == c; });
}

// Level 2 on node and everything below it.
void MarkUnoptimised(TExpToken* node) {
  if (node == nullptr) return;
  node->OptLevel = kOptNone;
  MarkUnoptimised(node->Left);
  MarkUnoptimised(node->Right);
  MarkUnoptimised(node->Third);
}

// Turns a constant-first comparison round when it is the root or stands under NOTs only.
void TurnConstantFirst(TExpToken* node) {
  while (node != nullptr && node->NodeClass == ncUnary && node->Operator == opNot) {
    node = node->Left;
  }
  if (node == nullptr || node->NodeClass != ncBinary || !IsComparison(node->Operator)) return;
  if (node->Left == nullptr || node->Right == nullptr) return;
  if (node->Left->NodeClass != ncConstant || node->Right->NodeClass == ncConstant) return;
  std::swap(node->Left, node->Right);
  switch (node->Operator) {
    case opGreater: node->Operator = opLess; break;
    case opLess: node->Operator = opGreater; break;
    case opGreaterEqual: node->Operator = opLessEqual; break;
    case opLessEqual: node->Operator = opGreaterEqual; break;
    default: break;
  }
}

}  // namespace

TFilter::~TFilter() {
  if (OwnsExpression) FreeExpressionTree(Expression);
  ReleaseRecordsBitmap(Result);
}

// Walks a filter's tree and narrows candidate bitmaps to the matches.
class TFilterBuilder {
 public:
  TFilterBuilder(TFilterList& list, TFilter& filter) : list_(list), host_(list.host_), filter_(filter) {}

  // Which index answers a comparison on this left operand, or -1.
  int IndexFor(const TExpToken* left, bool caseInsensitive, bool nullTest) {
    if (left == nullptr) return -1;
    if (left->NodeClass == ncColumn && left->FieldNo > 0) {
      int index = host_.FindIndex(left->FieldNo, caseInsensitive);
      if (index < 0 && nullTest) index = host_.FindIndex(left->FieldNo, !caseInsensitive);
      return index;
    }
    if (IsUpperOfColumn(left) && left->Left->FieldNo > 0 && !nullTest) {
      return host_.FindIndex(left->Left->FieldNo, true);
    }
    return -1;
  }

  // The index and ranges that answer a leaf node; false when it cannot be answered.
  struct TLeaf {
    int Index = -1;
    bool Invert = false;
    bool Union = false;  // IN lists: the ranges are ORed
    std::vector<TIndexRange> Ranges;
    std::vector<TExpTree> Holder;
  };

  bool Leaf(const TExpToken* node, TLeaf& leaf) {
    const TExpToken* left = node->Left;
    if (left == nullptr) return false;
    bool upper = IsUpperOfColumn(left);
    if (!upper && left->NodeClass != ncColumn) return false;
    const TExpToken* column = upper ? left->Left : left;
    uint8_t columnType = column->DataType;
    // Characters a string field holds (its node size counts the terminator).
    int32_t fieldChars = columnType == kTypeString ? column->DataSize - 1 : 0;
    uint8_t op = node->Operator;
    if (node->NodeClass == ncUnary && (op == opIsNull || op == opIsNotNull)) {
      if (upper) return false;
      leaf.Index = IndexFor(left, false, true);
      TIndexRange r;
      r.IncludeNull = op == opIsNull;
      r.IncludeValues = op == opIsNotNull;
      leaf.Ranges.push_back(r);
      return leaf.Index >= 0;
    }
    if ((node->NodeClass == ncBinary || node->NodeClass == ncOption) && IsComparison(op)) {
      const TExpToken* c = node->Right;
      if (c == nullptr || c->NodeClass != ncConstant || c->IsParameter) return false;
      bool option = node->NodeClass == ncOption;
      bool ci = option && node->CaseInsensitive;
      int32_t partial = option ? node->PartialLength : 0;
      if (option && op != opEqual && op != opNotEqual) return false;
      if (partial > 0 && columnType != kTypeString) return false;
      if (partial > 0 && fieldChars > 0 && partial > fieldChars) {
        // A prefix longer than the field matches nothing ("<>" matches everything).
        leaf.Index = IndexFor(left, upper || ci, false);
        TIndexRange none;
        none.IncludeValues = false;
        leaf.Invert = op == opNotEqual;
        leaf.Ranges.push_back(none);
        return leaf.Index >= 0;
      }
      if (upper && op != opEqual && op != opNotEqual) return false;
      if (!option && columnType == kTypeString && c->DataType == kTypeString && !c->IsNull &&
          op != opEqual && op != opNotEqual && !host_.PlainByteOrder()) {
        return false;
      }
      leaf.Index = IndexFor(left, upper || ci, false);
      if (leaf.Index < 0) return false;
      TIndexRange r;
      if (!ComparisonRange(columnType, fieldChars, op, *c, r, leaf.Holder)) return false;
      // Compared as written: an UPPER result never equals a constant with lower-case letters.
      if (upper && !ci && !c->IsNull && c->DataType == kTypeString && !IsUpperText(c->StringValue())) {
        r.IncludeValues = false;
      }
      r.PartialLength = partial;
      leaf.Invert = op == opNotEqual && !(c->IsNull || c->DataType == kNullType);
      leaf.Ranges.push_back(r);
      return true;
    }
    if (node->NodeClass == ncPredicate && (op == opIn || op == opNotIn)) {
      if (upper) return false;
      leaf.Index = IndexFor(left, false, false);
      if (leaf.Index < 0) return false;
      leaf.Union = true;
      leaf.Invert = op == opNotIn;
      for (const TExpToken* item = node->Right; item != nullptr; item = item->Right) {
        if (item->NodeClass != ncConstant || item->IsParameter) return false;
        TIndexRange r;
        if (!ComparisonRange(columnType, fieldChars, opEqual, *item, r, leaf.Holder)) return false;
        leaf.Ranges.push_back(r);
      }
      return true;
    }
    if (node->NodeClass == ncPredicate && (op == opBetween || op == opNotBetween)) {
      if (upper) return false;
      const TExpToken* low = node->Right;
      const TExpToken* high = low != nullptr ? low->Right : nullptr;
      if (low == nullptr || high == nullptr || low->NodeClass != ncConstant ||
          high->NodeClass != ncConstant || low->IsParameter || high->IsParameter) {
        return false;
      }
      if (columnType == kTypeString && !host_.PlainByteOrder()) return false;
      leaf.Index = IndexFor(left, false, false);
      if (leaf.Index < 0) return false;
      TIndexRange a;
      TIndexRange b;
      if (!ComparisonRange(columnType, fieldChars, opGreaterEqual, *low, a, leaf.Holder) ||
          !ComparisonRange(columnType, fieldChars, opLessEqual, *high, b, leaf.Holder)) {
        return false;
      }
      TIndexRange r;
      r.IncludeValues = a.IncludeValues && b.IncludeValues;
      r.Low = a.Low;
      r.LowInclusive = a.LowInclusive;
      r.High = b.High;
      r.HighInclusive = b.HighInclusive;
      leaf.Invert = op == opNotBetween;
      leaf.Ranges.push_back(r);
      return true;
    }
    return false;
  }

  uint8_t Level(TExpToken* node, uint8_t parentOp, bool checkSelectivity) {
    if (node == nullptr) return kOptNone;
    uint8_t level = kOptNone;
    uint8_t op = node->Operator;
    if (node->NodeClass == ncUnary && (op == opNot || op == opNegate || op == opPositive)) {
      level = Level(node->Left, op, checkSelectivity);
    } else if (node->NodeClass == ncBinary && op == opAnd) {
      uint8_t l = Level(node->Left, op, checkSelectivity);
      uint8_t r = Level(node->Right, op, checkSelectivity);
      if (l == kOptFull && r == kOptFull) {
        level = kOptFull;
      } else if (l == kOptNone && r == kOptNone) {
        level = kOptNone;
      } else {
        level = kOptPartial;
        if (r < l) std::swap(node->Left, node->Right);  // the better side is answered first
      }
    } else if (node->NodeClass == ncBinary && op == opOr) {
      uint8_t l = Level(node->Left, op, checkSelectivity);
      uint8_t r = Level(node->Right, op, checkSelectivity);
      level = l == kOptFull && r == kOptFull ? kOptFull : kOptNone;
    } else {
      TLeaf leaf;
      if (Leaf(node, leaf)) {
        level = kOptFull;
        if (checkSelectivity && parentOp != opNone && !leaf.Invert && leaf.Ranges.size() == 1) {
          int64_t keys = host_.CountRange(leaf.Index, leaf.Ranges[0]);
          if (keys > static_cast<int64_t>(host_.RecordCount() * 9ull / 10)) level = kOptNone;
        }
      }
    }
    if (level == kOptNone) MarkUnoptimised(node);
    node->OptLevel = level;
    return level;
  }

  // Narrows bits (the candidates) to the records matching node. False when a record could not
  // be read.
  bool Node(TExpToken* node, TRecordsBitmap& bits) {
    uint8_t op = node->Operator;
    if (node->OptLevel == kOptNone) return Scan(node, bits);
    if (node->NodeClass == ncUnary && op == opNot) {
      TPooledBitmap operand(bits.Size());
      operand->Assign(bits);
      if (!Node(node->Left, *operand)) return false;
      operand->Invert();
      bits.AndWith(*operand);  // the inverse stays within the candidates
      return true;
    }
    if (node->NodeClass == ncUnary && (op == opNegate || op == opPositive)) {
      return Node(node->Left, bits);
    }
    if (node->NodeClass == ncBinary && op == opAnd) {
      return Node(node->Left, bits) && Node(node->Right, bits);
    }
    if (node->NodeClass == ncBinary && op == opOr) {
      TPooledBitmap right(bits.Size());
      right->Assign(bits);
      if (!Node(node->Left, bits) || !Node(node->Right, *right)) return false;
      bits.OrWith(*right);
      return true;
    }
    TLeaf leaf;
    if (!Leaf(node, leaf)) return Scan(node, bits);
    TPooledBitmap found(bits.Size());
    found->ClearAll();
    if (leaf.Union) {
      for (const TIndexRange& r : leaf.Ranges) host_.CollectRange(leaf.Index, r, *found);
    } else {
      Collect(leaf.Index, leaf.Ranges[0], *found);
    }
    if (leaf.Invert) found->Invert();
    bits.AndWith(*found);  // index keys of deleted or out-of-range records never get through
    return true;
  }

  // One range, through its complement when that is the smaller collection.
  void Collect(int index, const TIndexRange& r, TRecordsBitmap& found) {
    if (filter_.AllowComplement && !list_.Tuning.DisableComplement && host_.PlainByteOrder() &&
        r.PartialLength == 0) {
      int64_t inside = host_.CountRange(index, r);
      int64_t total = host_.KeyCount(index);
      if (total - inside < inside) {
        TIndexRange nulls;
        nulls.IncludeNull = !r.IncludeNull;
        nulls.IncludeValues = !r.IncludeValues;
        host_.CollectRange(index, nulls, found);
        if (r.IncludeValues && r.Low != nullptr) {
          TIndexRange below;
          below.High = r.Low;
          below.HighInclusive = !r.LowInclusive;
          host_.CollectRange(index, below, found);
        }
        if (r.IncludeValues && r.High != nullptr) {
          TIndexRange above;
          above.Low = r.High;
          above.LowInclusive = !r.HighInclusive;
          host_.CollectRange(index, above, found);
        }
        found.Invert();
        return;
      }
    }
    host_.CollectRange(index, r, found);
  }

  // Reads the candidates and keeps those the node (or the callback) accepts.
  bool Scan(const TExpToken* node, TRecordsBitmap& bits) {
    uint32_t position = 0;
    int32_t counter = 0;
    // A run of candidates is read from the file at once: its first read asks for the whole
    // run, the others find their records cached. Each record is counted into one run only.
    const uint32_t limit = std::max<uint32_t>(1, host_.ReadAheadLimit());
    uint32_t runEnd = 0;
    while (bits.FindNext(position, 1, counter)) {
      const void* record = nullptr;
      bool deleted = false;
      uint32_t ahead = 1;
      if (position > runEnd) {
        while (ahead < limit && position + ahead <= bits.Size() && bits.IsSet(position + ahead)) ++ahead;
        runEnd = position + ahead - 1;
      }
      if (!host_.ReadRecord(position, record, deleted, ahead)) return false;
      bool ok = true;
      bool accept = !deleted && Accepts(node, position, record, ok);
      if (!ok) return false;
      if (!accept) bits.ClearBit(position);
    }
    return true;
  }

  bool Accepts(const TExpToken* node, uint32_t n, const void* record, bool& ok) {
    if (filter_.IsCallback) return filter_.Callback(filter_.DataSet, record, n);
    list_.context_.ReadFailed = false;
    TExpTree result = EvaluateExpression(node, record, list_.context_);
    if (list_.context_.ReadFailed) {
      ok = false;
      return false;
    }
    return ExpressionResultTrue(*result);
  }

 private:
  TFilterList& list_;
  TFilterHost& host_;
  TFilter& filter_;
};

TFilterList::TFilterList(TFilterHost& host)
    : host_(host), visible_(NewRecordsBitmap()), range_(NewRecordsBitmap()), live_(NewRecordsBitmap()) {
  context_.LanguageId = host.LanguageId();
  context_.SortId = host.SortId();
  context_.Reader = MakeFieldReader(host.RecordSource());
}

TFilterList::~TFilterList() {
  filters_.clear();
  ReleaseRecordsBitmap(visible_);
  ReleaseRecordsBitmap(range_);
  ReleaseRecordsBitmap(live_);
}

std::vector<std::unique_ptr<TFilter>>::iterator TFilterList::Find(TFilter* filter) {
  auto it = std::find_if(filters_.begin(), filters_.end(),
                         [filter](const std::unique_ptr<TFilter>& f) { return f.get() == filter; });
  if (it == filters_.end()) RaiseEngineError(kErrUnknownFilter, host_.TableName());
  return it;
}

TExpTree TFilterList::CompileText(std::string_view text, bool noPartial, bool caseInsensitive) {
  // Dates and numbers in the text are read with the table's language settings.
  return WithTableLocale(host_.LanguageId(), host_.SortId(), [&] {
    return CompileInLocale(text, noPartial, caseInsensitive);
  });
}

TExpTree TFilterList::CompileInLocale(std::string_view text, bool noPartial, bool caseInsensitive) {
  std::string table = host_.TableName();
  TExpressionParser parser;
  parser.ErrorCode = kErrFilterExpression;
  parser.ErrorName = table;
  parser.Context = "filter expression";
  parser.SetExpression(text);
  parser.NextToken();
  // Text after the first complete expression is not examined.
  TExpTree tree = parser.ParseExpression(pfFilter);
  TTypeCheckSettings settings;
  settings.ErrorCode = kErrFilterExpression;
  settings.Context = "filter expression";
  settings.Resolver = MakeColumnResolver(host_.RecordSource());
  CheckExpressionTypes(settings, true, nullptr, tree.get());
  if (tree->DataType != kTypeBoolean) {
    RaiseEngineError(kErrFilterExpression, table, {},
                     "filter expression must be a boolean expression");
  }
  TurnConstantFirst(tree.get());
  return PrepareExpressionTree(tree.get(), context_, noPartial, caseInsensitive);
}

uint8_t TFilterList::CanOptimizeFilter(TExpToken* node, uint8_t parentOp, bool checkSelectivity) {
  if (node == nullptr) return kOptNone;
  if (Tuning.ForceScan || host_.QueryResultOnly()) {
    MarkUnoptimised(node);
    return kOptNone;
  }
  TFilter probe;
  probe.Cursor = this;
  TFilterBuilder builder(*this, probe);
  return builder.Level(node, parentOp, checkSelectivity);
}

void TFilterList::ComputeLevel(TFilter& filter) {
  filter.OptLevel = filter.IsCallback ? kOptNone : CanOptimizeFilter(filter.Expression, opNone, false);
}

TFilter* TFilterList::AddFilter(void* dataSet, std::string_view expressionText, bool noPartial,
                                bool caseInsensitive, bool allowComplement, bool narrowByEarlier,
                                TFilterCallback callback, bool ownsTree, TExpToken* tree) {
  if (filters_.size() >= static_cast<size_t>(kMaxFilters)) {
    RaiseEngineError(kErrTooManyFilters, host_.TableName());
  }
  auto filter = std::make_unique<TFilter>();
  filter->Cursor = this;
  filter->DataSet = dataSet;
  filter->AllowComplement = allowComplement;
  filter->NarrowByEarlier = narrowByEarlier;
  if (expressionText.data() != nullptr) {
    filter->Expression = CompileText(expressionText, noPartial, caseInsensitive).release();
    filter->OwnsExpression = true;
  } else if (tree != nullptr) {
    filter->Expression = tree;
    filter->OwnsExpression = ownsTree;
  } else if (callback) {
    filter->Callback = std::move(callback);
    filter->IsCallback = true;
  } else {
    return nullptr;
  }
  filter->Result = NewRecordsBitmap();
  ComputeLevel(*filter);
  filters_.push_back(std::move(filter));
  return filters_.back().get();
}

void TFilterList::DropFilter(TFilter* filter) {
  if (filter == nullptr) {
    filters_.clear();
  } else {
    auto it = Find(filter);
    size_t index = static_cast<size_t>(it - filters_.begin());
    filters_.erase(it);
    UpdateFiltered();
    RebuildFrom(index);
  }
  UpdateFiltered();
  Recombine();
}

void TFilterList::ActivateFilter(TFilter* filter) {
  if (filter == nullptr) {
    for (auto& f : filters_) f->Active = true;
    UpdateFiltered();
    FullRebuild();
    return;
  }
  auto it = Find(filter);
  filter->Active = true;
  bool wasFiltered = filtered_;
  UpdateFiltered();
  if (!wasFiltered || live_->Size() != host_.RecordCount()) {
    FullRebuild();
    return;
  }
  if (!BuildFilter(*filter)) {
    FullRebuild();
    return;
  }
  RebuildFrom(static_cast<size_t>(it - filters_.begin()) + 1);
  Recombine();
}

void TFilterList::SetFilterExpression(TExpToken* tree, TFilter* filter) {
  if (tree == nullptr) return;
  auto it = Find(filter);
  if (!filter->Active) RaiseEngineError(kErrUnknownFilter, host_.TableName());
  if (filter->OwnsExpression) FreeExpressionTree(filter->Expression);
  filter->Expression = tree;
  filter->OwnsExpression = true;
  filter->IsCallback = false;
  ComputeLevel(*filter);
  if (!filtered_ || !BuildFilter(*filter)) {
    FullRebuild();
    return;
  }
  RebuildFrom(static_cast<size_t>(it - filters_.begin()) + 1);
  Recombine();
}

void TFilterList::DeactivateFilter(TFilter* filter) {
  if (filter == nullptr) {
    for (auto& f : filters_) f->Active = false;
    UpdateFiltered();
    Recombine();
    return;
  }
  auto it = Find(filter);
  filter->Active = false;
  UpdateFiltered();
  RebuildFrom(static_cast<size_t>(it - filters_.begin()) + 1);
  Recombine();
}

void TFilterList::UpdateFiltered() {
  bool any = std::any_of(filters_.begin(), filters_.end(),
                         [](const std::unique_ptr<TFilter>& f) { return f->Active; });
  filtered_ = any || host_.PhysicalOrder();
  if (!filtered_) {
    visible_->SetSize(0);
    range_->SetSize(0);
    live_->SetSize(0);
    visibleCount_ = 0;
  }
}

void TFilterList::SizeBitmaps(uint32_t n) {
  visible_->SetSize(n);
  range_->SetSize(n);
  live_->SetSize(n);
  for (auto& f : filters_) f->Result->SetSize(n);
}

bool TFilterList::BuildFilter(TFilter& filter) {
  TRecordsBitmap& bits = *filter.Result;
  bits.SetSize(live_->Size());
  bits.Assign(*live_);
  if (host_.RangeActive()) bits.AndWith(*range_);
  if (filter.OptLevel != kOptFull && filter.NarrowByEarlier) {
    for (auto& earlier : filters_) {
      if (earlier.get() == &filter) break;
      if (earlier->Active) bits.AndWith(*earlier->Result);
    }
  }
  TFilterBuilder builder(*this, filter);
  if (filter.IsCallback) return builder.Scan(nullptr, bits);
  return builder.Node(filter.Expression, bits);
}

bool TFilterList::BuildAll() {
  uint32_t count = host_.RecordCount();
  SizeBitmaps(count);
  if (count == 0) return true;
  range_->ClearAll();
  if (host_.RangeActive()) {
    host_.CollectKeyRange(*range_);
  } else {
    range_->SetAll();
  }
  live_->ClearAll();
  host_.CollectLive(*live_);
  for (auto& f : filters_) {
    if (f->Active && !BuildFilter(*f)) return false;
  }
  return true;
}

void TFilterList::FullRebuild() {
  if (!filtered_ || rebuilding_ || NoRebuild) return;
  struct TRebuilding {
    bool& Flag;
    explicit TRebuilding(bool& flag) : Flag(flag) { Flag = true; }
    ~TRebuilding() { Flag = false; }
  } rebuilding(rebuilding_);
  // A table change under the rebuild starts it again; nothing partial is shown.
  while (!BuildAll()) {
  }
  Recombine();
}

void TFilterList::RebuildFrom(size_t index) {
  if (!filtered_) return;
  for (size_t i = index; i < filters_.size(); ++i) {
    TFilter& f = *filters_[i];
    if (f.Active && f.NarrowByEarlier && f.OptLevel != kOptFull && !BuildFilter(f)) {
      FullRebuild();
      return;
    }
  }
}

void TFilterList::Recombine() {
  if (!filtered_) return;
  visible_->SetSize(live_->Size());
  visible_->Assign(*live_);
  if (host_.RangeActive()) visible_->AndWith(*range_);
  for (auto& f : filters_) {
    if (f->Active) visible_->AndWith(*f->Result);
  }
  visibleCount_ = visible_->CountSet();
}

bool TFilterList::EvaluateRecord(TFilter& filter, uint32_t n, const void* record, bool& ok) {
  TFilterBuilder builder(*this, filter);
  return builder.Accepts(filter.Expression, n, record, ok);
}

void TFilterList::RecordWritten(uint32_t n, const void* record) {
  if (!filtered_ || n == 0) return;
  uint32_t count = std::max(host_.RecordCount(), n);
  if (count != live_->Size()) SizeBitmaps(count);
  bool visible = true;
  if (host_.RecordInKeyRange(n, record)) {
    range_->SetBit(n);
  } else {
    range_->ClearBit(n);
    if (host_.RangeActive()) visible = false;
  }
  live_->SetBit(n);
  for (auto& f : filters_) {
    if (!f->Active) continue;
    bool ok = true;
    // Each filter holds the bit of n exactly when n passes it alone; the visible set ANDs them.
    if (EvaluateRecord(*f, n, record, ok) && ok) {
      f->Result->SetBit(n);
    } else {
      f->Result->ClearBit(n);
      visible = false;
    }
  }
  if (visible && !visible_->IsSet(n)) {
    visible_->SetBit(n);
    ++visibleCount_;
  } else if (!visible && visible_->IsSet(n)) {
    visible_->ClearBit(n);
    --visibleCount_;
  }
}

void TFilterList::RecordDeleted(uint32_t n) {
  if (!filtered_ || n == 0 || n > live_->Size()) return;
  range_->ClearBit(n);
  live_->ClearBit(n);
  for (auto& f : filters_) {
    if (f->Active) f->Result->ClearBit(n);
  }
  // Only a record that was visible leaves the count.
  if (visible_->IsSet(n)) {
    visible_->ClearBit(n);
    --visibleCount_;
  }
}

}  // namespace tovenmarsh::engine
