// The cursor's filters: the filter host over the open table (record reads that leave the cursor
// where it stands, key ranges collected from index keys alone, live records from the record
// status index) and the cursor's filter operations.
// Implements the filter calls of engine/cursor/cursor.h.
//
// Contract: every host call runs inside the cursor's bracket; ReadRecord answers false when the
// table changed under it, and the filter list then rebuilds from the top. Key ranges compare only
// the first field's key bytes in value order (descending indexes compare reversed); a NULL or
// empty string value is a NULL key.
#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "engine/cursor/cursor.h"
#include "engine/store/data_file.h"
#include "engine/base/engine_error.h"
#include "engine/store/index_file.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

namespace {
constexpr int kMaxRetries = 64;
}  // namespace

TExpressionRecordSource& TCursorFilterHost::RecordSource() { return cursor_; }
std::string TCursorFilterHost::TableName() { return cursor_.tableName_; }
uint16_t TCursorFilterHost::LanguageId() { return cursor_.languageId_; }
uint16_t TCursorFilterHost::SortId() { return cursor_.sortId_; }

uint32_t TCursorFilterHost::RecordCount() {
  const uint32_t next = cursor_.table_->Data().NextRecord();
  return next > 0 ? next - 1 : 0;
}

uint32_t TCursorFilterHost::ReadAheadLimit() { return cursor_.table_->Data().ReadAheadLimit(); }

bool TCursorFilterHost::ReadRecord(uint32_t n, const void*& record, bool& deleted, uint32_t ahead) {
  TDataFile& data = cursor_.table_->Data();
  TRecord* r = data.GetRecord(n, 1, ahead);
  if (!r) return false;
  ++RecordReads;
  // The whole cursor record: a filter may test a live result's computed fields, which live
  // behind the stored record and are evaluated as for any read.
  const uint32_t stored = cursor_.recordSize_, size = cursor_.GetRecordSize();
  buffer_.resize(size);
  std::memcpy(buffer_.data(), r->Buffer.data(), stored);
  if (size > stored) std::memset(buffer_.data() + stored, 0, size - stored);
  deleted = r->Status() != 0;
  data.ReleaseRecord(r);
  if (cursor_.hasComputed_ && !deleted) cursor_.EvaluateComputed(buffer_.data());
  record = buffer_.data();
  return true;
}

int TCursorFilterHost::FindIndex(int fieldNo, bool caseInsensitive) {
  // Columns are the cursor's fields: a live result's list may compute them or number them its
  // own way, so the table field a column stands for is the one at its place in the record.
  const FieldDesc* column = cursor_.FieldByNumber(fieldNo);
  if (!column || column->Calculated || column->Offset >= cursor_.recordSize_) return -1;
  const FieldDesc* own = nullptr;
  for (const FieldDesc& t : cursor_.table_->Data().Fields())
    if (t.Offset == column->Offset && t.FieldType == column->FieldType) own = &t;
  if (!own) return -1;
  fieldNo = own->FieldNumber;
  TIndexFile& file = cursor_.table_->Index();
  const int count = file.SecondaryCount();
  auto fits = [&](int slot) {
    if (slot > count || (slot == 0 && cursor_.noPrimary_)) return false;
    const IndexDesc desc = file.SlotDesc(static_cast<uint8_t>(slot));
    if (desc.FieldCount == 0 || desc.FieldNumbers[0] != fieldNo) return false;
    const FieldDesc* f = cursor_.table_->Data().FieldByNumber(desc.FieldNumbers[0]);
    return f && (f->FieldType != fldZString || desc.CaseInsensitive == caseInsensitive);
  };
  // The cursor's own index first: its pages are the ones in use.
  if (!cursor_.Physical() && cursor_.indexNumber_ != kStatusIndex && fits(cursor_.indexNumber_)) {
    return cursor_.indexNumber_;
  }
  for (int slot = 0; slot <= count; ++slot) {
    if (fits(slot)) return slot;
  }
  return -1;
}

std::vector<uint32_t> TCursorFilterHost::WalkIndex(const TCursorIndex& ix, const std::vector<uint8_t>* start,
                                                 const std::function<int(const uint8_t*)>& take) {
  std::vector<uint32_t> hits;
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    hits.clear();  // a walk cut short by a change starts again from its first key
    TBTree tree(cursor_.table_->Index().Store(ix.Slot), ix.Order());
    TTreePosition pos;
    TBTree::TResult r = start ? tree.Seek(start->data(), false, &pos) : tree.SeekSequence(1, &pos);
    if (r == TBTree::kNotFound) return hits;
    while (r == TBTree::kDone && !pos.AtEnd()) {
      const int verdict = take(pos.Key());
      if (verdict < 0) return hits;
      if (verdict > 0) hits.push_back(pos.RecordNumber());
      r = tree.Next(&pos);
    }
    if (r != TBTree::kRetry) return hits;
  }
  cursor_.Raise(kErrIndexPageCorrupt);
}

std::vector<uint32_t> TCursorFilterHost::RangeRecords(int index, const TIndexRange& range) {
  TCursorIndex ix;
  cursor_.LoadIndex(static_cast<uint8_t>(index), ix);
  if (ix.Fields.empty()) return {};
  std::vector<uint8_t> low, high;
  // A bound between two values the field can hold (a money constant with more decimals than
  // the field keeps) becomes the nearest value inside the range, included.
  TIndexRange exactRange = range;
  if (range.Low && !BoundKey(ix, *range.Low, low, true)) exactRange.LowInclusive = true;
  if (range.High && !BoundKey(ix, *range.High, high, false)) exactRange.HighInclusive = true;
  // In a plain ascending index a range of values starts at its low key and ends at the first
  // key above its high one; anything else (NULLs, prefixes, descending orders) walks it all.
  bool plain = !ix.Descending;
  for (int i = 0; i < ix.Desc.FieldCount && i < kMaxFieldsPerIndex; ++i) plain = plain && ix.Desc.FieldDescending[i] == 0;
  const bool bounded = plain && exactRange.Low && exactRange.IncludeValues && !exactRange.IncludeNull && exactRange.PartialLength == 0;
  const uint32_t width = ix.Fields[0].PhysicalSize + 1u;
  std::vector<uint8_t> start;
  if (bounded) {
    start = low;
    std::fill(start.begin() + std::min<size_t>(width, start.size()), start.end(), 0x00);
  }
  const TKeyOrder order = ix.Order();
  return WalkIndex(ix, bounded ? &start : nullptr, [&](const uint8_t* key) {
    if (bounded && exactRange.High && key[0] != 0 && order(key, high.data(), width) > 0) return -1;
    return InRange(ix, key, exactRange, low, high) ? 1 : 0;
  });
}

bool TCursorFilterHost::BoundKey(const TCursorIndex& ix, const TExpToken& value, std::vector<uint8_t>& key,
                                 bool roundUp) {
  const FieldDesc& f = ix.Fields[0];
  std::vector<uint8_t> record(cursor_.recordSize_, 0);
  bool exact = true;
  if (f.FieldType == fldBCD && !f.IsAutoInc()) {
    // Expressions count ten-thousandths; the field stores its own scale.
    int64_t units = 0;
    std::memcpy(&units, value.Data, 8);
    int scale = f.PhysicalScale;
    constexpr int64_t kLargest = std::numeric_limits<int64_t>::max();
    for (; scale > 4; --scale) {
      // Saturates: a bound beyond every storable value still orders beyond them all.
      if (units > kLargest / 10) units = kLargest;
      else if (units < -(kLargest / 10)) units = -kLargest;
      else units *= 10;
    }
    for (; scale < 4; ++scale) {
      int64_t quotient = units / 10;
      const int64_t remainder = units % 10;
      if (remainder != 0) {
        exact = false;
        if (roundUp && remainder > 0) ++quotient;
        if (!roundUp && remainder < 0) --quotient;
      }
      units = quotient;
    }
    std::memcpy(record.data() + f.Offset + 1, &units, 8);
    record[f.Offset] = 1;
  } else if (f.IsAutoInc()) {
    std::memcpy(record.data() + 5, value.Data, 4);
  } else if (f.FieldType == fldZString) {
    const std::string_view text = value.StringValue();
    const size_t room = f.PhysicalSize > 0 ? f.PhysicalSize - 1u : 0;
    std::memcpy(record.data() + f.Offset + 1, text.data(), std::min(text.size(), room));
    record[f.Offset] = text.empty() ? 0 : 1;
  } else {
    std::memcpy(record.data() + f.Offset + 1, value.Data,
                std::min<size_t>(f.PhysicalSize, static_cast<size_t>(std::max(value.Capacity, 8))));
    record[f.Offset] = 1;
  }
  key.assign(ix.KeySize, 0);
  cursor_.BuildIndexKey(ix, record.data(), key.data());
  return exact;
}

bool TCursorFilterHost::InRange(const TCursorIndex& ix, const uint8_t* key, const TIndexRange& range,
                                const std::vector<uint8_t>& low, const std::vector<uint8_t>& high) {
  const FieldDesc& f = ix.Fields[0];
  const bool reversed = ix.Descending || ix.Desc.FieldDescending[0] != 0;
  // The null byte of a NULL key is 0 (complemented on a field-descending index of language 0).
  const bool fieldComplemented = !ix.Descending && ix.Desc.FieldDescending[0] != 0;
  const uint8_t nullByte = fieldComplemented && ix.LanguageId == 0 ? 0xFF : 0x00;
  if (key[0] == nullByte) return range.IncludeNull;
  if (!range.IncludeValues) return false;
  uint32_t length = f.PhysicalSize + 1u;
  if (range.PartialLength > 0 && f.FieldType == fldZString) {
    length = std::min<uint32_t>(length, static_cast<uint32_t>(range.PartialLength) + 1u);
  }
  const TKeyOrder order = ix.Order();
  auto compare = [&](const std::vector<uint8_t>& bound) {
    const int c = order(key, bound.data(), length);
    return reversed ? -c : c;
  };
  if (range.Low) {
    const int c = compare(low);
    if (c < 0 || (c == 0 && !range.LowInclusive)) return false;
  }
  if (range.High) {
    const int c = compare(high);
    if (c > 0 || (c == 0 && !range.HighInclusive)) return false;
  }
  return true;
}

void TCursorFilterHost::CollectRange(int index, const TIndexRange& range, TRecordsBitmap& out) {
  for (uint32_t n : RangeRecords(index, range)) {
    if (n >= 1 && n <= out.Size()) out.SetBit(n);
  }
}

int64_t TCursorFilterHost::CountRange(int index, const TIndexRange& range) {
  return static_cast<int64_t>(RangeRecords(index, range).size());
}

int64_t TCursorFilterHost::KeyCount(int index) { return cursor_.TreeCount(static_cast<uint8_t>(index)); }

void TCursorFilterHost::CollectLive(TRecordsBitmap& out) {
  if (cursor_.TreeCount(kStatusIndex) == 0 && out.Size() > 0) {
    // A status index made anew (its file was lost) lists nothing yet: ask the record headers.
    TDataFile& data = cursor_.table_->Data();
    for (uint32_t n = 1; n <= out.Size(); ++n) {
      TRecord* r = nullptr;
      for (int i = 0; i < kMaxRetries && !r; ++i) r = data.GetRecord(n, 1, std::min<uint32_t>(out.Size() - n + 1, 64));
      if (!r) cursor_.Raise(kErrRecordBuffersCorrupt);
      if (r->Status() == 0) out.SetBit(n);
      data.ReleaseRecord(r);
    }
    return;
  }
  TCursorIndex status;
  cursor_.LoadIndex(kStatusIndex, status);
  // Status 0 (live) keys come first: the walk stops at the first deleted one.
  for (uint32_t n : WalkIndex(status, nullptr, [](const uint8_t* key) { return key[0] == 0 ? 1 : -1; })) {
    if (n >= 1 && n <= out.Size()) out.SetBit(n);
  }
}

bool TCursorFilterHost::RangeActive() { return cursor_.rangeActive_ && !cursor_.Physical(); }

void TCursorFilterHost::CollectKeyRange(TRecordsBitmap& out) {
  TDataCursor& c = cursor_;
  if (c.rangeFirst_ == 0) return;
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    TBTree tree(c.table_->Index().Store(c.index_.Slot), c.index_.Order());
    TTreePosition pos;
    TBTree::TResult r = tree.SeekSequence(c.rangeFirst_, &pos);
    if (r == TBTree::kNotFound) return;
    while (r == TBTree::kDone && !pos.AtEnd() && pos.Sequence <= c.rangeLast_) {
      const uint32_t n = pos.RecordNumber();
      if (n >= 1 && n <= out.Size()) out.SetBit(n);
      r = tree.Next(&pos);
    }
    if (r != TBTree::kRetry) return;
  }
  c.Raise(kErrIndexPageCorrupt);
}

bool TCursorFilterHost::RecordInKeyRange(uint32_t, const void* record) {
  TDataCursor& c = cursor_;
  if (!c.rangeActive_ || c.Physical()) return true;
  std::vector<uint8_t> key(c.index_.KeySize);
  c.BuildKey(static_cast<const uint8_t*>(record), key.data());
  return c.CompareKeys(key.data(), c.rangeStart_.data(), c.index_.KeySize) >= 0 &&
         c.CompareKeys(key.data(), c.rangeEnd_.data(), c.index_.KeySize) <= 0;
}

bool TCursorFilterHost::PhysicalOrder() { return cursor_.Physical(); }
bool TCursorFilterHost::QueryResultOnly() { return cursor_.queryResult_ && !cursor_.physicalOrder_; }

TFilterList& TDataCursor::Filters() {
  if (!filters_) {
    filterHost_ = std::make_unique<TCursorFilterHost>(*this);
    filters_ = std::make_unique<TFilterList>(*filterHost_);
  }
  return *filters_;
}

void TDataCursor::RebuildFilters() {
  TFilterList& list = Filters();
  list.UpdateFiltered();
  list.FullRebuild();
}

void TDataCursor::AfterFilterChange() {
  if (Physical()) {
    rangeLast_ = filters_->VisibleCount();
    rangeFirst_ = rangeLast_ ? 1 : 0;
  }
  Reposition();
}

TFilter* TDataCursor::AddFilter(void* dataSet, std::string_view expressionText, bool noPartial, bool caseInsensitive,
                                bool allowComplement, bool narrowByEarlier, TFilterCallback callback, bool ownsTree,
                                TExpToken* tree) {
  TCursorBracket bracket(*this);
  return Filters().AddFilter(dataSet, expressionText, noPartial, caseInsensitive, allowComplement, narrowByEarlier,
                             std::move(callback), ownsTree, tree);
}

void TDataCursor::DropFilter(TFilter* filter) {
  TCursorBracket bracket(*this);
  Filters().DropFilter(filter);
  AfterFilterChange();
}

void TDataCursor::ActivateFilter(TFilter* filter) {
  TCursorBracket bracket(*this);
  Filters().ActivateFilter(filter);
  AfterFilterChange();
}

void TDataCursor::SetFilterExpression(TExpToken* tree, TFilter* filter) {
  TCursorBracket bracket(*this);
  Filters().SetFilterExpression(tree, filter);
  AfterFilterChange();
}

void TDataCursor::DeactivateFilter(TFilter* filter) {
  TCursorBracket bracket(*this);
  Filters().DeactivateFilter(filter);
  AfterFilterChange();
}

}  // namespace tovenmarsh::engine
