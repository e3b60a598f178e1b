// Cursor navigation: the orders (an index, or physical record order through a bitmap of the
// visible records), the BOF and EOF cracks, stepping, sequence numbers, key search, FindKey,
// ranges and bookmarks.
// Implements the navigation calls of engine/cursor/cursor.h.
//
// In an index the cursor keeps a private copy of its leaf and steps along the sibling links;
// the copy is trusted only while the table's counters equal those the cursor last saw (the
// bracket repositions by key otherwise). A fetch answering "retry" repositions and restarts.
#include <algorithm>
#include <cstring>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

namespace {
constexpr int kMaxRetries = 64;
}  // namespace

int64_t TDataCursor::TreeCount(uint8_t slot) {
  TCursorIndex ix;
  const TCursorIndex* use = &index_;
  if (slot != index_.Slot) {
    LoadIndex(slot, ix);
    use = &ix;
  }
  for (int i = 0; i < kMaxRetries; ++i) {
    TBTree tree(table_->Index().Store(slot), use->Order());
    int64_t count = 0;
    const TBTree::TResult r = tree.RecordCount(&count);
    if (r != TBTree::kRetry) return count;
  }
  Raise(kErrIndexPageCorrupt);
}

void TDataCursor::ComputeRange() {
  seen_ = CurrentStamp();
  filteredRecNoValid_ = false;
  if (Physical()) {
    // Physical order steps through the visible set: live records ANDed with active filters.
    RebuildFilters();
    const uint32_t count = filters_->VisibleCount();
    rangeFirst_ = count ? 1 : 0;
    rangeLast_ = count;
    return;
  }
  ComputeIndexRange();
  if (filters_) RebuildFilters();
}

void TDataCursor::ComputeIndexRange() {
  int64_t count = TreeCount(index_.Slot);
  if (!rangeActive_) {
    rangeFirst_ = count ? 1 : 0;
    rangeLast_ = count;
    return;
  }
  rangeFirst_ = rangeLast_ = 0;
  if (count == 0 || CompareKeys(rangeStart_.data(), rangeEnd_.data(), index_.KeySize) > 0) return;
  for (int i = 0; i < kMaxRetries; ++i) {
    TBTree tree(table_->Index().Store(index_.Slot), index_.Order());
    int64_t first = 0, end = 0;
    // "Retry": another user changed the table; the count is taken again with the bounds.
    if (i > 0) count = TreeCount(index_.Slot);
    if (tree.Rank(rangeStart_.data(), &first) == TBTree::kRetry) continue;
    if (tree.Rank(rangeEnd_.data(), &end, true) == TBTree::kRetry) continue;
    const int64_t last = end - 1;
    if (first <= count && last >= first) {
      rangeFirst_ = first;
      rangeLast_ = last;
    }
    return;
  }
  Raise(kErrIndexPageCorrupt);
}

void TDataCursor::SetNone() {
  filteredRecNoValid_ = false;
  bof_ = eof_ = true;
  currentRecord_ = 0;
  sequence_ = 0;
  sequenceStale_ = false;
  std::fill(currentKey_.begin(), currentKey_.end(), 0);
  pos_.Leaf.Clear();
  pos_.Pos = 0;
}

void TDataCursor::TakeCurrent() {
  filteredRecNoValid_ = false;
  currentRecord_ = pos_.RecordNumber();
  std::memcpy(currentKey_.data(), pos_.Key(), index_.KeySize);
  sequence_ = pos_.Sequence;
  sequenceStale_ = false;
}

// Positions on the record at a sequence number of the current index (inside the range). A
// fetch answering "retry" means another user changed the table: `fresh` counts again and
// answers the sequence number to seek now (0: nothing left, answered false), and the search
// starts again from the root. A number the index does not hold is damage.
template <typename Fresh>
static bool SeekSequenceRetry(const TDataCursor& c, TBTree& tree, int64_t seq, TTreePosition* pos, Fresh&& fresh) {
  for (int retries = 0;; ++retries) {
    if (seq <= 0) return false;
    const TBTree::TResult r = tree.SeekSequence(seq, pos);
    if (r == TBTree::kDone) return true;
    if (r == TBTree::kNotFound || retries >= kMaxRetries) c.Raise(kErrIndexPageCorrupt);
    seq = fresh();
  }
}

bool TDataCursor::PositionFirst() {
  bof_ = eof_ = false;
  if (rangeFirst_ == 0) {
    SetNone();
    return false;
  }
  if (Physical()) {
    uint32_t p = 0;
    int32_t counter = 0;
    if (!filters_->Visible().FindNext(p, 1, counter)) {
      SetNone();
      return false;
    }
    currentRecord_ = p;
    sequence_ = 1;
    sequenceStale_ = false;
    return true;
  }
  TBTree tree(table_->Index().Store(index_.Slot), index_.Order());
  auto fresh = [this] {
    ComputeRange();
    return rangeFirst_;
  };
  if (!SeekSequenceRetry(*this, tree, rangeFirst_, &pos_, fresh)) {
    SetNone();
    return false;
  }
  TakeCurrent();
  if (FilteredIndex() && Hidden(currentRecord_) && !StepVisible(1)) {
    SetNone();
    return false;
  }
  filteredRecNo_ = 1;
  filteredRecNoValid_ = true;
  return true;
}

bool TDataCursor::PositionLast() {
  bof_ = eof_ = false;
  if (rangeFirst_ == 0) {
    SetNone();
    return false;
  }
  if (Physical()) {
    uint32_t p = filters_->Visible().Size() + 1;
    int32_t counter = 0;
    if (!filters_->Visible().FindPrior(p, 1, counter)) {
      SetNone();
      return false;
    }
    currentRecord_ = p;
    sequence_ = rangeLast_;
    sequenceStale_ = false;
    return true;
  }
  TBTree tree(table_->Index().Store(index_.Slot), index_.Order());
  auto fresh = [this] {
    ComputeRange();
    return rangeFirst_ == 0 ? 0 : rangeLast_;
  };
  if (!SeekSequenceRetry(*this, tree, rangeLast_, &pos_, fresh)) {
    SetNone();
    return false;
  }
  TakeCurrent();
  if (FilteredIndex() && Hidden(currentRecord_) && !StepVisible(-1)) {
    SetNone();
    return false;
  }
  if (FilteredIndex()) {
    filteredRecNo_ = static_cast<int32_t>(filters_->VisibleCount());
    filteredRecNoValid_ = true;
  }
  return true;
}

void TDataCursor::SeekRecordNumber(uint32_t number) {
  if (Physical()) {
    if (rangeFirst_ == 0) {
      SetNone();
      return;
    }
    bof_ = eof_ = false;
    if (number >= 1 && number <= filters_->Visible().Size() && filters_->Visible().IsSet(number)) {
      currentRecord_ = number;
    } else {
      uint32_t p = std::min<uint32_t>(number, filters_->Visible().Size() + 1);
      int32_t counter = 0;
      if (!filters_->Visible().FindNext(p, 1, counter)) {
        p = std::min<uint32_t>(number, filters_->Visible().Size() + 1);
        if (!filters_->Visible().FindPrior(p, 1, counter)) {
          SetNone();
          return;
        }
      }
      currentRecord_ = p;
    }
    // The visible position is counted when asked for (GetRecNo): counting it here made every
    // seek by record number (an UPDATE's walk over its rows) cost a pass over the bitmap.
    sequenceStale_ = true;
    return;
  }
  // A read answering "retry" (another user changed the table): count again and read again.
  TRecord* r = nullptr;
  for (int i = 0; !r; ++i) {
    if (i >= kMaxRetries) Raise(kErrRecordBuffersCorrupt);
    r = table_->Data().GetRecord(number);
    if (!r) ComputeRange();
  }
  std::vector<uint8_t> key(index_.KeySize);
  BuildKey(r->Buffer.data(), key.data());
  table_->Data().ReleaseRecord(r);
  SeekKey(key.data(), false);
}

void TDataCursor::SeekKey(const uint8_t* key, bool keepCracks) {
  const bool wasBof = bof_, wasEof = eof_;
  if (rangeFirst_ == 0) {
    SetNone();
    return;
  }
  if (rangeActive_ && CompareKeys(key, rangeStart_.data(), index_.KeySize) < 0) {
    PositionFirst();
  } else if (rangeActive_ && CompareKeys(key, rangeEnd_.data(), index_.KeySize) > 0) {
    PositionLast();
  } else {
    bool done = false;
    for (int i = 0; i < kMaxRetries && !done; ++i) {
      TBTree tree(table_->Index().Store(index_.Slot), index_.Order());
      const TBTree::TResult r = tree.Seek(key, false, &pos_);
      if (r == TBTree::kRetry) {
        ComputeRange();
        continue;
      }
      done = true;
    }
    if (!done) Raise(kErrIndexPageCorrupt);
    bof_ = eof_ = false;
    if (pos_.AtEnd() || pos_.Sequence > rangeLast_) {
      PositionLast();
      eof_ = true;
    } else {
      TakeCurrent();
      // No visible record forward: the nearest one backward becomes the current record (no
      // crack; with none at all, no current record).
      if (FilteredIndex() && Hidden(currentRecord_) && !StepVisible(1)) PositionLast();
    }
  }
  if (keepCracks) {
    if (wasBof && sequence_ == rangeFirst_) bof_ = true;
    if (wasEof && sequence_ == rangeLast_) eof_ = true;
  }
}

void TDataCursor::Resync() {
  ComputeRange();
  Reposition();
  resyncPending_ = false;
}

void TDataCursor::AfterOwnChange(uint32_t number, bool live) {
  filteredRecNoValid_ = false;
  // Only the changed record's bits move: no rebuild of the visible set.
  if (filters_ && filters_->Filtered()) {
    if (live) {
      TDataFile& data = table_->Data();
      TRecord* r = nullptr;
      for (int i = 0; i < kMaxRetries && !r; ++i) r = data.GetRecord(number);
      if (!r) Raise(kErrRecordBuffersCorrupt);
      // Filters may test computed fields: they see the record as a read does.
      std::vector<uint8_t> stored(GetRecordSize(), 0);
      std::memcpy(stored.data(), r->Buffer.data(), recordSize_);
      data.ReleaseRecord(r);
      if (hasComputed_) EvaluateComputed(stored.data());
      filters_->RecordWritten(number, stored.data());
    } else {
      filters_->RecordDeleted(number);
    }
  }
  if (!Physical()) {
    seen_ = CurrentStamp();
    ComputeIndexRange();
    return;
  }
  if (!filters_) RebuildFilters();
  const uint32_t count = filters_->VisibleCount();
  rangeFirst_ = count ? 1 : 0;
  rangeLast_ = count;
  seen_ = CurrentStamp();
}

bool TDataCursor::StepVisible(int direction) {
  auto outOfRange = [&]() { return direction > 0 ? sequence_ >= rangeLast_ : sequence_ <= rangeFirst_; };
  if (outOfRange()) return false;
  if (!FilteredIndex()) {
    // A step inside the leaf copy needs no tree (the first case of TBTree::Next and Prior):
    // most steps of a walk in key order are these.
    const int count = pos_.Leaf.Count();
    if (count > 0 && (direction > 0 ? pos_.Pos < count : pos_.Pos > 1)) {
      if (direction > 0) {
        ++pos_.Pos;
        ++pos_.Sequence;
      } else {
        pos_.Pos = std::min(pos_.Pos - 1, count);
        --pos_.Sequence;
      }
      TakeCurrent();
      return true;
    }
    // One step, which leaves the position alone when it fails: nothing to save and restore.
    const uint32_t record = currentRecord_;
    for (int i = 0;; ++i) {
      TBTree tree(table_->Index().Store(index_.Slot), index_.Order());
      const TBTree::TResult r = direction > 0 ? tree.Next(&pos_) : tree.Prior(&pos_);
      if (r == TBTree::kDone) break;
      if (r == TBTree::kNotFound) return false;
      if (i >= kMaxRetries) Raise(kErrIndexPageCorrupt);
      // Another user changed the table: back to the record by its key (nearest), then step.
      Resync();
      if (bof_ || eof_) return false;
      // The record is gone (or moved): the nearest one after its key is already the next.
      if (direction > 0 && currentRecord_ != record) return true;
      if (outOfRange()) return false;
    }
    TakeCurrent();
    return true;
  }
  const TTreePosition savedPos = pos_;
  const uint32_t savedRecord = currentRecord_;
  const std::vector<uint8_t> savedKey = currentKey_;
  const int64_t savedSequence = sequence_;
  const bool savedValid = filteredRecNoValid_;
  const int32_t savedRecNo = filteredRecNo_;
  auto restore = [&]() {
    pos_ = savedPos;
    currentRecord_ = savedRecord;
    currentKey_ = savedKey;
    sequence_ = savedSequence;
    sequenceStale_ = false;
    filteredRecNoValid_ = savedValid;
    filteredRecNo_ = savedRecNo;
    return false;
  };
  bool resynced = false;
  do {
    if (outOfRange()) return restore();
    for (int i = 0;; ++i) {
      TBTree tree(table_->Index().Store(index_.Slot), index_.Order());
      const TBTree::TResult r = direction > 0 ? tree.Next(&pos_) : tree.Prior(&pos_);
      if (r == TBTree::kDone) break;
      if (r == TBTree::kNotFound) return restore();
      if (i >= kMaxRetries) Raise(kErrIndexPageCorrupt);
      Resync();
      resynced = true;
      if (bof_ || eof_) return false;
      // As above: a record that is gone leaves the cursor on the next visible one already.
      if (direction > 0 && currentRecord_ != savedRecord) return true;
      if (outOfRange()) return false;
    }
    TakeCurrent();
  } while (FilteredIndex() && Hidden(currentRecord_));
  // One visible step moves the visible position by one.
  if (savedValid && !resynced) {
    filteredRecNo_ = savedRecNo + direction;
    filteredRecNoValid_ = true;
  }
  return true;
}

void TDataCursor::Reposition() {
  const bool wasBof = bof_, wasEof = eof_;
  const uint32_t record = currentRecord_;
  std::vector<uint8_t> key = currentKey_;
  if (wasBof && wasEof) {
    PositionFirst();
    if (!(bof_ && eof_)) bof_ = true;
  } else if (wasBof) {
    PositionFirst();
    bof_ = true;
  } else if (wasEof) {
    PositionLast();
    eof_ = true;
  } else if (Physical()) {
    SeekRecordNumber(record);
  } else {
    SeekKey(key.data(), false);
  }
}

uint32_t TDataCursor::ReadAheadCount(uint32_t n, int direction) const {
  uint32_t count = 1;
  if (Physical()) {
    const uint32_t at = currentRecord_;
    // Inside the run measured last: what is left of it (only a hint, as below). Measuring
    // again for every record read would test up to n bits each time.
    if (physicalFrom_ != 0 && at >= physicalFrom_ && at <= physicalTo_) {
      return std::min(n, direction > 0 ? physicalTo_ - at + 1 : at - physicalFrom_ + 1);
    }
    const TRecordsBitmap& visible = filters_->Visible();
    uint32_t next = at;
    while (count < n) {
      next = direction > 0 ? next + 1 : next - 1;
      if (next == 0 || next > visible.Size() || !visible.IsSet(next)) break;
      ++count;
    }
    physicalFrom_ = direction > 0 ? at : at - count + 1;
    physicalTo_ = direction > 0 ? at + count - 1 : at;
    return count;
  }
  if (pos_.AtEnd()) return 1;
  const int at = pos_.Pos;
  // A run of consecutive records that reaches the end of the leaf copy (in the direction of
  // travel) most likely goes on in the next leaf (records stored in key order): read on as far
  // as the range reaches, instead of stopping at every leaf. A lone entry is no run.
  auto onward = [&](uint32_t count) {
    const bool toEdge = direction > 0 ? aheadTo_ == pos_.Leaf.Count() : aheadFrom_ == 1;
    if (!toEdge || aheadTo_ == aheadFrom_ || count >= n) return count;
    const int64_t inRange = direction > 0 ? rangeLast_ - sequence_ + 1 : sequence_ - rangeFirst_ + 1;
    return std::max(count, static_cast<uint32_t>(std::clamp<int64_t>(inRange, 1, n)));
  };
  // Inside the run measured last: what is left of it (a lower bound when that run was cut at
  // n, and only ever a hint: any count reads correct records).
  if (pos_.Leaf.Offset == aheadLeaf_ && at >= aheadFrom_ && at <= aheadTo_) {
    const int left = direction > 0 ? aheadTo_ - at + 1 : at - aheadFrom_ + 1;
    return onward(std::min<uint32_t>(n, static_cast<uint32_t>(left)));
  }
  int end = at;
  uint32_t expected = pos_.Leaf.Reference(at);
  while (count < n) {
    const int following = end + (direction > 0 ? 1 : -1);
    if (following < 1 || following > pos_.Leaf.Count()) break;
    expected = direction > 0 ? expected + 1 : expected - 1;
    if (pos_.Leaf.Reference(following) != expected) break;
    end = following;
    ++count;
  }
  aheadLeaf_ = pos_.Leaf.Offset;
  aheadFrom_ = std::min(at, end);
  aheadTo_ = std::max(at, end);
  return onward(count);
}

void TDataCursor::ReadCurrent(uint8_t* record, int direction) {
  if (!record) return;
  TDataFile& data = table_->Data();
  // Read-ahead only while stepping: a single read (a key search) wants its one record.
  const uint32_t ahead =
      direction != 0 && data.ReadAheadLimit() > 1 ? ReadAheadCount(data.ReadAheadLimit(), direction) : 1;
  for (int i = 0; i < kMaxRetries; ++i) {
    TRecord* r = data.GetRecord(currentRecord_, direction < 0 ? -1 : 1, ahead);
    if (r) {
      std::memcpy(record, r->Buffer.data(), recordSize_);
      table_->Data().ReleaseRecord(r);
      // A live result's computed fields (behind the stored record: the buffer holds
      // GetRecordSize() bytes) follow the record read.
      if (hasComputed_) EvaluateComputed(record);
      return;
    }
    Resync();
  }
  Raise(kErrRecordBuffersCorrupt);
}

void TDataCursor::First() {
  TCursorBracket bracket(*this);
  if (PositionFirst()) bof_ = true;
}

void TDataCursor::Last() {
  TCursorBracket bracket(*this);
  if (PositionLast()) eof_ = true;
}

int TDataCursor::GetNextRecord(uint8_t* record) {
  TCursorBracket bracket(*this);
  auto atEnd = [&]() {
    if (record) std::memset(record, 0, GetRecordSize());
    if (!(bof_ && eof_)) eof_ = true;
    return static_cast<int>(kErrEndOfFile);
  };
  if (bof_ && eof_) return atEnd();
  if (bof_) {
    bof_ = false;
    ReadCurrent(record);
    return 0;
  }
  // As when a step itself resyncs: a current record that another user deleted left the cursor on
  // the next one already.
  const bool moved = resyncMoved_ && currentRecord_ != 0 && !eof_;
  resyncMoved_ = false;
  if (Physical()) {
    uint32_t p = currentRecord_;
    int32_t counter = 0;
    if (!moved) {
      if (!filters_->Visible().FindNext(p, 1, counter)) return atEnd();
      currentRecord_ = p;
      ++sequence_;
    }
  } else if (!moved || (FilteredIndex() && Hidden(currentRecord_))) {
    if (!StepVisible(1)) return atEnd();
  }
  eof_ = false;
  ReadCurrent(record, 1);
  return 0;
}

int TDataCursor::GetPriorRecord(uint8_t* record) {
  TCursorBracket bracket(*this);
  auto atStart = [&]() {
    if (record) std::memset(record, 0, GetRecordSize());
    if (!(bof_ && eof_)) bof_ = true;
    return static_cast<int>(kErrBeginningOfFile);
  };
  if (bof_ && eof_) return atStart();
  if (eof_) {
    eof_ = false;
    ReadCurrent(record);
    return 0;
  }
  if (Physical()) {
    uint32_t p = currentRecord_;
    int32_t counter = 0;
    if (!filters_->Visible().FindPrior(p, 1, counter)) return atStart();
    currentRecord_ = p;
    --sequence_;
  } else {
    if (!StepVisible(-1)) return atStart();
  }
  bof_ = false;
  ReadCurrent(record, -1);
  return 0;
}

int TDataCursor::GetCurrentRecord(uint8_t* record, bool lock) {
  TCursorBracket bracket(*this);
  if (lock && !(bof_ || eof_)) {
    const uint32_t locked = currentRecord_;
    LockRecord(locked);
    // The lock's change check may have moved the cursor (the record is gone): the record that
    // is compared and, on a difference, unlocked is always the one locked.
    bool same = currentRecord_ == locked && !(bof_ || eof_);
    if (same && !exclusive_ && record) {
      std::vector<uint8_t> stored(GetRecordSize());
      ReadCurrent(stored.data());
      same = currentRecord_ == locked && std::memcmp(stored.data(), record, recordSize_) == 0;
    }
    if (!same) {
      UnlockRecord(locked);
      Raise(kErrRecordChanged);
    }
  }
  if (bof_ && eof_) return kErrNoCurrentRecord;
  if (bof_ || eof_) {
    if (record) std::memset(record, 0, GetRecordSize());
    return bof_ ? kErrBeginningOfFile : kErrEndOfFile;
  }
  ReadCurrent(record);
  return 0;
}

int32_t TDataCursor::GetRecNo() {
  TCursorBracket bracket(*this);
  if (bof_ && eof_) return 0;
  if (Physical()) {
    if (sequenceStale_) {
      sequence_ = filters_->Visible().CountSetBefore(currentRecord_) + 1;
      sequenceStale_ = false;
    }
    return static_cast<int32_t>(sequence_);
  }
  for (int attempt = 0;; ++attempt) {
    if (bof_ && eof_) return 0;
    if (rangeFirst_ == 0) return 0;
    if (!FilteredIndex()) return static_cast<int32_t>(sequence_ - rangeFirst_ + 1);
    if (filteredRecNoValid_) return filteredRecNo_;
    if (attempt > kMaxRetries) Raise(kErrIndexPageCorrupt);
    // The visible entries of the range up to the current one. A fetch answering "retry" (another
    // user changed the table) resynchronises the cursor and counts again from the root.
    TBTree tree(table_->Index().Store(index_.Slot), index_.Order());
    TTreePosition p;
    auto stop = [] { return int64_t(0); };
    bool counted = SeekSequenceRetry(*this, tree, rangeFirst_, &p, stop);
    int32_t n = 0;
    while (counted && !p.AtEnd() && p.Sequence <= sequence_) {
      if (!Hidden(p.RecordNumber())) ++n;
      const TBTree::TResult r = tree.Next(&p);
      if (r == TBTree::kNotFound) break;
      if (r == TBTree::kRetry) counted = false;
    }
    if (!counted) {
      Resync();
      continue;
    }
    filteredRecNo_ = n;
    filteredRecNoValid_ = true;
    return n;
  }
}

void TDataCursor::SetRecNo(int32_t n) {
  TCursorBracket bracket(*this);
  // A fetch answering "retry" (another user changed the table) counts again and starts over
  // with the fresh range numbers.
  for (int attempt = 0;; ++attempt) {
    if (rangeFirst_ == 0) {
      SetNone();
      return;
    }
    if (n < 1) {
      if (PositionFirst()) bof_ = true;
      return;
    }
    if (FilteredIndex()) {
      if (!PositionFirst()) return;
      for (int32_t k = 1; k < n; ++k) {
        if (!StepVisible(1)) {
          eof_ = true;
          return;
        }
      }
      return;
    }
    const int64_t target = rangeFirst_ + n - 1;
    if (target > rangeLast_) {
      if (PositionLast()) eof_ = true;
      return;
    }
    bof_ = eof_ = false;
    if (Physical()) {
      uint32_t p = 0;
      int32_t counter = 0;
      filters_->Visible().FindNext(p, static_cast<uint32_t>(n), counter);
      currentRecord_ = p;
      sequence_ = n;
      sequenceStale_ = false;
      return;
    }
    TBTree tree(table_->Index().Store(index_.Slot), index_.Order());
    auto stop = [] { return int64_t(0); };
    if (SeekSequenceRetry(*this, tree, target, &pos_, stop)) {
      TakeCurrent();
      return;
    }
    if (attempt >= kMaxRetries) Raise(kErrIndexPageCorrupt);
    ComputeRange();
  }
}

int32_t TDataCursor::GetRecordCount() {
  TCursorBracket bracket(*this);
  if (rangeFirst_ == 0) return 0;
  if (FilteredIndex()) return static_cast<int32_t>(filters_->VisibleCount());
  return static_cast<int32_t>(rangeLast_ - rangeFirst_ + 1);
}

int32_t TDataCursor::GetPhysicalRecordCount() {
  TCursorBracket bracket(*this);
  return table_->Index().RecordCount();
}

bool TDataCursor::FindKey(const uint8_t* keyOrRecord, bool rawKey, uint8_t* record, int partialLength, bool nearest,
                          int fieldCount) {
  TCursorBracket bracket(*this);
  if (Physical()) return false;
  const uint32_t size = index_.KeySize;
  std::vector<uint8_t> key(size);
  if (rawKey) std::memcpy(key.data(), keyOrRecord, size);
  else BuildKey(keyOrRecord, key.data());
  const int keyFields = static_cast<int>(index_.Fields.size());
  const bool partial = (fieldCount >= 1 && fieldCount < keyFields) || !index_.Unique ||
                       (fieldCount == 0 && partialLength > 0);
  bool found;
  if (partial) {
    int given = fieldCount;
    if (given == 0 && partialLength <= 0) given = keyFields;
    if (given > keyFields) given = keyFields;
    uint32_t length = FieldsKeyLength(given);
    if (partialLength > 0 && given < keyFields) {
      length += std::min<uint32_t>(static_cast<uint32_t>(partialLength) + 1, index_.Fields[given].PhysicalSize + 1u);
    }
    length = std::min(length, size);
    PadKey(key.data(), length, index_.Descending);
    SeekKey(key.data(), false);
    found = !(bof_ && eof_) && !eof_ && CompareKeys(currentKey_.data(), key.data(), length) == 0;
  } else {
    SeekKey(key.data(), false);
    found = !(bof_ && eof_) && !eof_ && CompareKeys(currentKey_.data(), key.data(), size) == 0;
    (void)nearest;
  }
  if (bof_ && eof_) return false;
  bof_ = eof_ = false;  // a search ending at EOF stands on the last record
  ReadCurrent(record);
  return found;
}

void TDataCursor::SetRange(bool rawKey, const uint8_t* start, int startFields, const uint8_t* end, int endFields) {
  TCursorBracket bracket(*this);
  if (Physical()) return;
  const uint32_t size = index_.KeySize;
  const int keyFields = static_cast<int>(index_.Fields.size());
  auto build = [&](const uint8_t* source, int fields, bool high, std::vector<uint8_t>& out) {
    std::fill(out.begin(), out.end(), high ? 0xFF : 0x00);
    if (!source) return;
    std::vector<uint8_t> key(size);
    if (rawKey) std::memcpy(key.data(), source, size);
    else BuildKey(source, key.data());
    std::memcpy(out.data(), key.data(), size);
    const int given = (fields <= 0 || fields > keyFields) ? keyFields : fields;
    PadKey(out.data(), FieldsKeyLength(given), high != index_.Descending);
    if (size < out.size()) std::memset(out.data() + size, high ? 0xFF : 0x00, out.size() - size);
  };
  build(start, startFields, false, rangeStart_);
  build(end, endFields, true, rangeEnd_);
  rangeActive_ = true;
  const std::vector<uint8_t> key = currentKey_;
  const bool none = bof_ && eof_;
  ComputeRange();
  if (none) PositionFirst();
  else SeekKey(key.data(), false);
}

void TDataCursor::CancelRange() {
  TCursorBracket bracket(*this);
  std::fill(rangeStart_.begin(), rangeStart_.end(), 0x00);
  std::fill(rangeEnd_.begin(), rangeEnd_.end(), 0xFF);
  rangeActive_ = false;
  const std::vector<uint8_t> key = currentKey_;
  const bool none = bof_ && eof_;
  ComputeRange();
  if (Physical()) return;
  if (none) PositionFirst();
  else SeekKey(key.data(), false);
}

void TDataCursor::GetBookmark(uint8_t* out) {
  TCursorBracket bracket(*this);
  if (Physical()) {
    PutU32(out, 0, (bof_ && eof_) ? 0 : currentRecord_);
    return;
  }
  std::memcpy(out, currentKey_.data(), index_.KeySize);
}

bool TDataCursor::GotoBookmark(const uint8_t* bookmark, bool nearest) {
  TCursorBracket bracket(*this);
  if (Physical()) {
    const uint32_t n = GetU32(bookmark, 0);
    SeekRecordNumber(n);
    return nearest || (!(bof_ && eof_) && currentRecord_ == n);
  }
  SeekKey(bookmark, false);
  if (bof_ && eof_) return nearest;
  eof_ = bof_ = false;
  return nearest || CompareKeys(currentKey_.data(), bookmark, index_.KeySize) == 0;
}

int TDataCursor::CompareBookmarks(const uint8_t* a, const uint8_t* b) const {
  if (Physical()) {
    const uint32_t x = GetU32(a, 0), y = GetU32(b, 0);
    return x < y ? -1 : (x > y ? 1 : 0);
  }
  return CompareKeys(a, b, index_.KeySize);
}

int TDataCursor::GotoCursor(TDataCursor& other) {
  // The other cursor's position after its own inserts: its bracket brings it up to date (taken
  // and left before this cursor's, so that the two tables' locks are never held together).
  other.SettlePendingResync();
  TCursorBracket bracket(*this);
  const uint32_t target = other.currentRecord_;
  if (target == 0 || (other.bof_ && other.eof_)) return kErrRecordNotFound;
  if (Physical()) {
    SeekRecordNumber(target);
    return (!(bof_ && eof_) && currentRecord_ == target) ? 0 : static_cast<int>(kErrRecordNotFound);
  }
  std::vector<uint8_t> record(recordSize_);
  // A read answering "retry" (another user changed the table): count again and read again.
  TRecord* r = nullptr;
  for (int i = 0; !r; ++i) {
    if (i >= kMaxRetries) Raise(kErrRecordBuffersCorrupt);
    r = table_->Data().GetRecord(target);
    if (!r) ComputeRange();
  }
  std::memcpy(record.data(), r->Buffer.data(), recordSize_);
  table_->Data().ReleaseRecord(r);
  std::vector<uint8_t> key(index_.KeySize);
  BuildKey(record.data(), key.data());
  SeekKey(key.data(), false);
  if (bof_ && eof_) return kErrRecordNotFound;
  bof_ = eof_ = false;
  return CompareKeys(currentKey_.data(), key.data(), index_.KeySize) == 0 ? 0 : static_cast<int>(kErrRecordNotFound);
}

std::unique_ptr<TDataCursor> TDataCursor::Clone() {
  if (!table_) Raise(kErrInvalidFileHandle);
  auto clone = std::make_unique<TDataCursor>(directory_);
  TDataSession* session = directory_->Session();
  std::string password;
  {
    TTableGuard guard(*table_);
    if (table_->Data().Encrypted()) password = table_->Data().Password();
  }
  const bool lend = !password.empty() && session && !session->HasPassword(password);
  if (lend) session->AddPassword(password);
  try {
    clone->tableName_ = tableName_;
    clone->exclusive_ = exclusive_;
    clone->shareExclusive_ = true;  // joins the table however this cursor holds it
    clone->readOnly_ = readOnly_;
    clone->inMemory_ = inMemory_;
    clone->autoIncWritable_ = autoIncWritable_;
    // Opened before this cursor's bracket: Open takes the directory's lock and then the table's,
    // and taking them the other way round would deadlock against another thread's Open.
    clone->Open();
    TCursorBracket bracket(*this);
    clone->SetIndexNumber(indexNumber_);
    if (rangeActive_ && !Physical()) {
      clone->SetRange(true, rangeStart_.data(), 0, rangeEnd_.data(), 0);
    }
    // The same filters, each with its own copy of the tree, options and active state.
    for (int i = 0; filters_ && i < filters_->Count(); ++i) {
      const TFilter& f = *filters_->Item(i);
      TExpToken* tree = f.IsCallback ? nullptr : CopyExpressionTree(f.Expression);
      // The clone holds fewer filters than this cursor: adding cannot fail before it owns the tree.
      TFilter* copy = clone->AddFilter(f.DataSet, {}, false, false, f.AllowComplement, f.NarrowByEarlier,
                                       f.IsCallback ? f.Callback : TFilterCallback(), tree != nullptr, tree);
      if (copy && f.Active) clone->ActivateFilter(copy);
    }
    if (!(bof_ && eof_)) clone->GotoCursor(*this);
    clone->bof_ = bof_;
    clone->eof_ = eof_;
  } catch (...) {
    if (lend) session->RemovePassword(password);
    throw;
  }
  if (lend) session->RemovePassword(password);
  return clone;
}

}  // namespace tovenmarsh::engine
