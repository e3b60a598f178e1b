// Cursor editing: defaults, validation, insert, modify and delete with every index key, the
// record-status index and BLOB chains; field access; record and table locks.
// Implements the editing and locking calls of engine/cursor/cursor.h.
//
// Every change runs under the table's write lock and the record's lock; a cursor that is not
// exclusive writes and flushes the table before returning. Record ids are unique among live
// records (they keep non-unique and status keys distinct), whether generated or given.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/store/blob_buffer.h"
#include "engine/store/blob_file.h"
#include "engine/format/blob_file_format.h"
#include "engine/cursor/cursor.h"
#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/expr/expr_convert.h"
#include "engine/store/index_page.h"
#include "engine/format/key_encoding.h"
#include "engine/table/shared_table.h"
#include "platform/date_time.h"

namespace tovenmarsh::engine {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A value text in the field's stored form (false when it is not a value of the type).
bool TextToValue(const FieldDesc& f, const std::string& text, uint8_t* out) {
  uint8_t buffer[kConvertBufferSize + 8] = {};
  const size_t n = std::min<size_t>(text.size(), kConvertBufferSize - 1);
  std::memcpy(buffer, text.data(), n);
  if (!ConvertFieldValue(fldZString, static_cast<int32_t>(n + 1), 0, buffer, f.PhysicalScale,
                         f.PhysicalSize, f.FieldType))
    return false;
  std::memcpy(out, buffer, f.PhysicalSize);
  return true;
}

int CompareValues(const FieldDesc& f, const uint8_t* a, const uint8_t* b, uint16_t language, uint16_t sort) {
  auto sign = [](auto x, auto y) { return x < y ? -1 : (x > y ? 1 : 0); };
  int16_t i16a, i16b;
  int32_t i32a, i32b;
  int64_t i64a, i64b;
  double da, db;
  uint16_t ua, ub;
  switch (f.FieldType) {
    case fldZString:
      return LocaleCompareStr(language, sort, reinterpret_cast<const char*>(a), false, 0,
                              reinterpret_cast<const char*>(b));
    case fldInt16:
      std::memcpy(&i16a, a, 2);
      std::memcpy(&i16b, b, 2);
      return sign(i16a, i16b);
    case fldUInt16:
      std::memcpy(&ua, a, 2);
      std::memcpy(&ub, b, 2);
      return sign(ua, ub);
    case fldInt32:
    case fldDate:
    case fldTime:
      std::memcpy(&i32a, a, 4);
      std::memcpy(&i32b, b, 4);
      return sign(i32a, i32b);
    case fldBCD:
      std::memcpy(&i64a, a, 8);
      std::memcpy(&i64b, b, 8);
      return sign(i64a, i64b);
    case fldFloat:
    case fldTimeStamp:
      std::memcpy(&da, a, 8);
      std::memcpy(&db, b, 8);
      return sign(da, db);
    default:
      return 0;
  }
}

// Generated record ids run up to the largest int32; after it the generator takes the lowest id
// that no live record holds (0: none left). Live status keys are (0, id) in id order, so the
// live ids in 1..x are counted by two ranks, and the first gap is found by bisection.
uint32_t LowestFreeId(const TDataCursor& cursor, TBTree& status) {
  constexpr uint32_t kLargest = 2147483647u;
  auto rank = [&](uint8_t flag, uint32_t id) {
    uint8_t key[5];
    key[0] = flag;
    EncodeIntegerKey(static_cast<int32_t>(id), key + 1);
    int64_t sequence = 0;
    // Under the write lock the index never answers "retry".
    if (status.Rank(key, &sequence) != TBTree::kDone) cursor.Raise(kErrIndexPageCorrupt);
    return sequence;
  };
  const int64_t base = rank(0, 1);
  // Live ids in 1..x; above the largest id the first deleted key bounds the live ones.
  auto live = [&](uint32_t x) { return (x >= kLargest ? rank(1, 0x80000000u) : rank(0, x + 1)) - base; };
  if (live(kLargest) >= static_cast<int64_t>(kLargest)) return 0;
  uint32_t low = 1, high = kLargest;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    if (live(middle) < static_cast<int64_t>(middle)) high = middle;
    else low = middle + 1;
  }
  return low;
}

bool HasLimits(uint8_t type) {
  switch (type) {
    case fldZString: case fldDate: case fldInt16: case fldInt32: case fldFloat:
    case fldBCD: case fldTime: case fldTimeStamp: case fldUInt16:
      return true;
    default:
      return false;
  }
}

}  // namespace

// The whole cursor record: a live result's computed fields behind the stored one included.
void TDataCursor::ClearRecordBuffer(uint8_t* record) const { std::memset(record, 0, GetRecordSize()); }

void TDataCursor::InitRecord(uint8_t* record) {
  std::memset(record, 0, GetRecordSize());
  if (hasDefaults_) ApplyDefaults(record);
  if (hasComputed_) EvaluateComputed(record);
}

void TDataCursor::ApplyDefaults(uint8_t* record) const {
  const double now = platform::Now();
  const int32_t today = static_cast<int32_t>(std::floor(now)) + kTimeOnlyDay;
  const int32_t timeOfDay = static_cast<int32_t>(std::llround((now - std::floor(now)) * kMillisecondsPerDay));
  for (const FieldDesc& f : fields_) {
    if (f.DefaultValue.empty() || f.IsAutoInc() || f.IsBlob() || f.FieldType == fldBytes ||
        f.FieldType == fldVarBytes)
      continue;
    uint8_t* value = record + f.Offset + 1;
    const std::string word = Upper(f.DefaultValue);
    bool ok = true;
    if (f.FieldType == fldZString) {
      const size_t n = std::min<size_t>(f.DefaultValue.size(), f.PhysicalSize > 0 ? f.PhysicalSize - 1u : 0);
      std::memset(value, 0, f.PhysicalSize);
      std::memcpy(value, f.DefaultValue.data(), n);
    } else if (f.FieldType == fldDate && word == "DATE") {
      std::memcpy(value, &today, 4);
    } else if (f.FieldType == fldTime && word == "TIME") {
      std::memcpy(value, &timeOfDay, 4);
    } else if (f.FieldType == fldTimeStamp && (word == "NOW" || word == "DATE" || word == "TIME")) {
      double ms = 0;
      if (word == "NOW") ms = static_cast<double>(today) * kMillisecondsPerDay + timeOfDay;
      else if (word == "DATE") ms = static_cast<double>(today) * kMillisecondsPerDay;
      else ms = static_cast<double>(timeOfDay);
      std::memcpy(value, &ms, 8);
    } else {
      ok = TextToValue(f, f.DefaultValue, value);
    }
    record[f.Offset] = ok ? 1 : 0;
  }
}

void TDataCursor::Validate(const uint8_t* record) const {
  for (const FieldDesc& f : fields_) {
    if (f.IsAutoInc()) continue;
    // An open BLOB value is null by its buffer's contents (see GetFieldData).
    const bool null = f.IsBlob() ? GetFieldData(static_cast<uint32_t>(&f - fields_.data()) + 1u, record, nullptr)
                                 : record[f.Offset] == 0;
    if (f.Required && null) Raise(kErrValueRequired, f.Name);
    if (null || !HasLimits(f.FieldType)) continue;
    const uint8_t* value = record + f.Offset + 1;
    uint8_t limit[kConvertBufferSize + 8];
    if (!f.MinValue.empty()) {
      std::memset(limit, 0, sizeof limit);
      if (TextToValue(f, f.MinValue, limit) && CompareValues(f, value, limit, languageId_, sortId_) < 0)
        Raise(kErrBelowMinimum, f.Name);
    }
    if (!f.MaxValue.empty()) {
      std::memset(limit, 0, sizeof limit);
      if (TextToValue(f, f.MaxValue, limit) && CompareValues(f, value, limit, languageId_, sortId_) > 0)
        Raise(kErrAboveMaximum, f.Name);
    }
  }
}

std::vector<uint8_t> TDataCursor::AllSlots() const {
  std::vector<uint8_t> slots;
  AllSlots(slots);
  return slots;
}

void TDataCursor::AllSlots(std::vector<uint8_t>& slots) const {
  slots.clear();
  TIndexFile& file = table_->Index();
  if (!file.NoPrimary()) slots.push_back(0);
  for (uint8_t s = 1; s <= file.SecondaryCount(); ++s) slots.push_back(s);
}

bool TDataCursor::IdInUse(uint32_t id) {
  TCursorIndex status;
  LoadIndex(kStatusIndex, status);
  uint8_t key[5];
  BuildStatusKey(0, id, key);
  TBTree tree(table_->Index().Store(kStatusIndex), status.Order());
  return tree.Find(key, nullptr, nullptr) == TBTree::kDone;
}

void TDataCursor::CheckDuplicates(const uint8_t* record, uint32_t ownNumber, const std::vector<bool>* changed) {
  const std::vector<uint8_t> slots = AllSlots();
  for (size_t i = 0; i < slots.size(); ++i) {
    if (changed && !(*changed)[i]) continue;
    TCursorIndex ix;
    LoadIndex(slots[i], ix);
    if (!ix.Unique) continue;
    std::vector<uint8_t> key(ix.KeySize);
    BuildIndexKey(ix, record, key.data());
    TBTree tree(table_->Index().Store(ix.Slot), ix.Order());
    uint32_t found = 0;
    // A key comparing equal to the record's own (accents ignored) is no duplicate.
    if (tree.Find(key.data(), &found, nullptr) == TBTree::kDone && found != ownNumber)
      Raise(kErrDuplicateKey, {}, ix.Desc.Name);
  }
}

namespace {

// An index's page store that tells the table which pages a change touches, so that their old
// content is journaled in one go before the change is written.
class TNotingStore : public TPageStore {
 public:
  TNotingStore(TPageStore& store, TDataTable& table) : store_(store), table_(table) {}
  TPage* FetchPage(uint32_t offset) override { return store_.FetchPage(offset); }
  void ReleasePage(TPage* page) override { store_.ReleasePage(page); }
  TPage* NewPage() override {
    TPage* page = store_.NewPage();
    if (page) table_.NotePageChange(page->Offset);
    return page;
  }
  void FreePage(TPage* page) override {
    table_.NotePageChange(page->Offset);
    store_.FreePage(page);
  }
  void MarkDirty(TPage* page) override {
    table_.NotePageChange(page->Offset);
    store_.MarkDirty(page);
  }
  uint32_t RootOffset() override { return store_.RootOffset(); }
  void SetRootOffset(uint32_t offset) override { store_.SetRootOffset(offset); }
  const TIndexShape& Shape() override { return store_.Shape(); }
  [[noreturn]] void RaiseCorrupt() override {
    store_.RaiseCorrupt();
    std::abort();  // never reached: the store raises
  }

 private:
  TPageStore& store_;
  TDataTable& table_;
};

}  // namespace

void TDataCursor::InsertKey(uint8_t slot, const uint8_t* key, uint32_t number) {
  TCursorIndex ix;
  LoadIndex(slot, ix);
  InsertKey(ix, key, number);
}

void TDataCursor::InsertKey(const TCursorIndex& ix, const uint8_t* key, uint32_t number) {
  TNotingStore store(table_->Index().Store(ix.Slot), *table_);
  TBTree tree(store, ix.Order());
  if (tree.Insert(key, number) != TBTree::kDone) Raise(kErrIndexPageCorrupt);
}

void TDataCursor::DeleteKey(uint8_t slot, const uint8_t* key, uint32_t number) {
  TCursorIndex ix;
  LoadIndex(slot, ix);
  TNotingStore store(table_->Index().Store(slot), *table_);
  TBTree tree(store, ix.Order());
  uint32_t found = 0;
  // The key must be this record's: another record's equal key is never removed.
  if (tree.Find(key, &found, nullptr) != TBTree::kDone || found != number) Raise(kErrIndexPageCorrupt);
  if (tree.Delete(key) != TBTree::kDone) Raise(kErrIndexPageCorrupt);
}

void TDataCursor::AfterWrite() {
  table_->Index().MarkChanged();
  if (!exclusive_ && !table_->ReadOnly && !table_->InTransactionNow()) {
    table_->WriteCaches(true, false, true);
    table_->Flush();
  }
}

namespace {

// Releases the record lock and the write lock of one change, whatever happens.
class TWriteScope {
 public:
  TWriteScope(TDataTable& table) : table_(table) { table_.WriteLock(); }
  ~TWriteScope() {
    try {
      if (record_ && table_.HoldsRecordLock(record_)) table_.UnlockRecord(record_);
      table_.WriteUnlock();
    } catch (...) {
      // Closing the files releases the bytes; the change's own result stands.
    }
  }
  // Locks the record unless held already; `release` unlocks it at the end of the change.
  void LockRecord(uint32_t number, bool release) {
    if (!table_.HoldsRecordLock(number)) table_.LockRecord(number);
    if (release) record_ = number;
  }
  TWriteScope(const TWriteScope&) = delete;
  TWriteScope& operator=(const TWriteScope&) = delete;

 private:
  TDataTable& table_;
  uint32_t record_ = 0;
};

}  // namespace

void TDataCursor::InsertRecord(uint8_t* record, bool reposition) {
  CheckWritable();
  // An insert that keeps the position does not need it brought up to date first, nor after.
  const bool defer = !reposition && MayDeferResync();
  TCursorBracket bracket(*this, defer);
  TWriteScope scope(*table_);
  TDataFile& data = table_->Data();
  const uint32_t number = data.FreeSlot();
  // Reuse is decided by where the number came from, never by counting live records.
  const bool reused = number != data.NextRecord();
  // Inside a transaction the transaction lock already keeps every other writer out.
  if (!table_->InTransactionNow()) scope.LockRecord(number, true);
  if (hasChecks_) Validate(record);
  uint32_t id;
  if ((autoIncWritable_ && hasAutoInc_) || restructureWork_) {
    id = GetU32(record, 5);
    if (id == 0 || IdInUse(id)) {
      const FieldDesc* f = nullptr;
      for (const FieldDesc& d : fields_)
        if (d.IsAutoInc()) f = &d;
      Raise(kErrDuplicateKey, f ? f->Name : std::string());
    }
  } else {
    id = data.LastAutoInc() + 1;
    if (data.LastAutoInc() >= 2147483647u) {
      // The generator has wrapped: live ids may lie anywhere, so the lowest free one is taken
      // and the last value stays at the largest id for the next insert to search again.
      TCursorIndex status;
      LoadIndex(kStatusIndex, status);
      TBTree tree(table_->Index().Store(kStatusIndex), status.Order());
      id = LowestFreeId(*this, tree);
      if (id == 0) Raise(kErrTableFull);
    }
  }
  record[0] = 0;
  PutU32(record, 1, number);
  PutU32(record, 5, id);
  // Each index is described and its key built once for the duplicate check and the insert,
  // into the cursor's scratch (handed back whatever happens).
  std::vector<uint8_t> slots;
  std::vector<TCursorIndex> indexes;
  std::vector<std::vector<uint8_t>> keys;
  slots.swap(insertSlots_);
  indexes.swap(insertIndexes_);
  keys.swap(insertKeys_);
  struct TScratchBack {
    TDataCursor& c;
    std::vector<uint8_t>& s;
    std::vector<TCursorIndex>& i;
    std::vector<std::vector<uint8_t>>& k;
    ~TScratchBack() {
      c.insertSlots_.swap(s);
      c.insertIndexes_.swap(i);
      c.insertKeys_.swap(k);
    }
  } scratchBack{*this, slots, indexes, keys};
  AllSlots(slots);
  if (indexes.size() < slots.size()) indexes.resize(slots.size());
  if (keys.size() < slots.size()) keys.resize(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    LoadIndex(slots[i], indexes[i]);
    keys[i].resize(indexes[i].KeySize);
    BuildIndexKey(indexes[i], record, keys[i].data());
  }
  for (size_t i = 0; i < slots.size(); ++i) {
    if (!indexes[i].Unique) continue;
    TBTree tree(table_->Index().Store(slots[i]), indexes[i].Order());
    if (tree.Find(keys[i].data(), nullptr, nullptr) == TBTree::kDone) Raise(kErrDuplicateKey, {}, indexes[i].Desc.Name);
  }
  TCursorIndex statusIndex;
  LoadIndex(kStatusIndex, statusIndex);
  bool mutated = false;
  try {
    TRecord* r = data.TakeFreeRecord();
    if (!r) Raise(kErrRecordBuffersCorrupt);
    mutated = true;
    if (r->Number != number) {
      data.ReleaseRecord(r);
      Raise(kErrRecordBuffersCorrupt);
    }
    const uint32_t oldId = r->RecordId();
    std::memcpy(r->Buffer.data(), record, recordSize_);
    StoreBlobs(r->Buffer.data());
    r->Changed = true;
    data.ReleaseRecord(r);
    for (size_t i = 0; i < slots.size(); ++i) InsertKey(indexes[i], keys[i].data(), number);
    uint8_t status[5];
    if (reused) {
      BuildStatusKey(1, oldId, status);
      DeleteKey(kStatusIndex, status, number);
    }
    BuildStatusKey(0, id, status);
    InsertKey(statusIndex, status, number);
    table_->Index().IncrementRecordCount();
    // A wrapped generator keeps the largest value (see above).
    const uint32_t last = data.LastAutoInc();
    data.SetLastAutoInc((autoIncWritable_ && hasAutoInc_) || restructureWork_ ? std::max(last, id)
                                                                              : (last >= 2147483647u ? last : id));
    AfterWrite();
  } catch (...) {
    if (mutated && !exclusive_ && !table_->InTransactionNow()) table_->DiscardCaches(true, true);
    throw;
  }
  if (defer) {
    // The position is kept: the next operation's bracket brings it up to date, so a run of
    // inserts counts and repositions once instead of after every record. Without filters and in
    // index order that resynchronisation is exactly what is skipped here.
    filteredRecNoValid_ = false;
    resyncPending_ = true;
    return;
  }
  AfterOwnChange(number, true);
  if (reposition) SeekRecordNumber(number);
  else Reposition();
}

void TDataCursor::ModifyRecord(uint8_t* record, bool reposition, bool unlock) {
  CheckWritable();
  TCursorBracket bracket(*this);
  if (bof_ || eof_) Raise(kErrNoCurrentRecord);
  const uint32_t number = currentRecord_;
  TWriteScope scope(*table_);
  scope.LockRecord(number, unlock);
  if (hasChecks_) Validate(record);
  TDataFile& data = table_->Data();
  std::vector<uint8_t> old(GetRecordSize());
  ReadCurrent(old.data());
  const uint32_t oldId = GetU32(old.data(), 5);
  uint32_t id = oldId;
  if (autoIncWritable_ && hasAutoInc_) {
    id = GetU32(record, 5);
    if (id != oldId && (id == 0 || IdInUse(id))) {
      std::string name;
      for (const FieldDesc& d : fields_)
        if (d.IsAutoInc()) name = d.Name;
      Raise(kErrDuplicateKey, name);
    }
  }
  record[0] = 0;
  PutU32(record, 1, number);
  PutU32(record, 5, id);
  const std::vector<uint8_t> slots = AllSlots();
  std::vector<bool> changed(slots.size());
  std::vector<std::vector<uint8_t>> oldKeys(slots.size()), newKeys(slots.size());
  for (size_t i = 0; i < slots.size(); ++i) {
    TCursorIndex ix;
    LoadIndex(slots[i], ix);
    oldKeys[i].resize(ix.KeySize);
    newKeys[i].resize(ix.KeySize);
    BuildIndexKey(ix, old.data(), oldKeys[i].data());
    BuildIndexKey(ix, record, newKeys[i].data());
    changed[i] = oldKeys[i] != newKeys[i];
  }
  CheckDuplicates(record, number, &changed);
  bool mutated = false;
  try {
    for (size_t i = 0; i < slots.size(); ++i) {
      if (!changed[i]) continue;
      mutated = true;
      DeleteKey(slots[i], oldKeys[i].data(), number);
      InsertKey(slots[i], newKeys[i].data(), number);
    }
    if (id != oldId) {
      uint8_t status[5];
      BuildStatusKey(0, oldId, status);
      DeleteKey(kStatusIndex, status, number);
      BuildStatusKey(0, id, status);
      InsertKey(kStatusIndex, status, number);
      data.SetLastAutoInc(std::max(data.LastAutoInc(), id));
    }
    // A BLOB whose chain was replaced gives its old blocks back.
    if (hasBlobs_ && table_->Blob()) {
      for (const FieldDesc& f : fields_) {
        if (!f.IsBlob()) continue;
        const size_t at = f.Offset + 1u + blob_format::kFieldFirstBlock.Offset;
        const uint32_t before = GetU32(old.data(), at), after = GetU32(record, at);
        // An open value (a negative handle) rewrites its own chain when stored.
        if (before != 0 && before != after && static_cast<int32_t>(after) >= 0) {
          mutated = true;
          table_->Blob()->FreeChain(before, 0, false);
        }
      }
    }
    TRecord* r = data.GetRecord(number);
    if (!r) Raise(kErrRecordBuffersCorrupt);
    mutated = true;
    std::memcpy(r->Buffer.data(), record, recordSize_);
    StoreBlobs(r->Buffer.data());
    r->Changed = true;
    data.ReleaseRecord(r);
    AfterWrite();
  } catch (...) {
    if (mutated && !exclusive_ && !table_->InTransactionNow()) table_->DiscardCaches(true, true);
    throw;
  }
  AfterOwnChange(number, true);
  if (reposition) SeekRecordNumber(number);
  else Reposition();
}

void TDataCursor::DeleteRecord(const uint8_t* record, bool reposition) {
  CheckWritable();
  TCursorBracket bracket(*this);
  TWriteScope scope(*table_);
  TDataFile& data = table_->Data();
  uint32_t number = record ? GetU32(record, 1) : 0;
  if (number == 0 || number >= data.NextRecord()) number = currentRecord_;
  if (number == 0) Raise(kErrNoCurrentRecord);
  std::vector<uint8_t> old(recordSize_);
  {
    TRecord* r = data.GetRecord(number);
    if (!r) Raise(kErrRecordBuffersCorrupt);
    std::memcpy(old.data(), r->Buffer.data(), recordSize_);
    const bool same = !record || exclusive_ || r->Equals(record);
    data.ReleaseRecord(r);
    if (old[0] != 0 || !same) Raise(kErrRecordChanged);
  }
  scope.LockRecord(number, true);
  const std::vector<uint8_t> slots = AllSlots();
  bool mutated = false;
  try {
    for (uint8_t slot : slots) {
      TCursorIndex ix;
      LoadIndex(slot, ix);
      std::vector<uint8_t> key(ix.KeySize);
      BuildIndexKey(ix, old.data(), key.data());
      mutated = true;
      DeleteKey(slot, key.data(), number);
    }
    const uint32_t id = GetU32(old.data(), 5);
    uint8_t status[5];
    BuildStatusKey(0, id, status);
    DeleteKey(kStatusIndex, status, number);
    BuildStatusKey(1, id, status);
    InsertKey(kStatusIndex, status, number);
    table_->Index().DecrementRecordCount();
    FreeBlobs(old.data());
    TRecord* r = data.GetRecord(number);
    if (!r) Raise(kErrRecordBuffersCorrupt);
    data.DeleteRecord(*r);
    data.ReleaseRecord(r);
    AfterWrite();
  } catch (...) {
    if (mutated && !exclusive_ && !table_->InTransactionNow()) table_->DiscardCaches(true, true);
    throw;
  }
  (void)reposition;  // the cursor goes to the record after the deleted one either way
  if (verifyRepair_) {
    // A verification/repair cursor has no position to keep (it offers no navigation).
    seen_ = CurrentStamp();
    return;
  }
  AfterOwnChange(number, false);
  Reposition();
}

bool TDataCursor::GetFieldData(uint32_t field, const uint8_t* record, void* value) const {
  const FieldDesc& f = GetFieldDesc(field);
  if (f.IsAutoInc()) {
    if (value) std::memcpy(value, record + 5, 4);
    return false;
  }
  bool null = record[f.Offset] == 0;
  if (f.IsBlob() && blobs_ && static_cast<int32_t>(GetU32(record, f.Offset + 1u)) < 0) {
    // An open value: its buffer, not the indicator byte, tells whether it holds anything.
    uint32_t size = 0;
    if (blobs_->GetBlobSize(f, record, &size) == 0) null = size == 0;
  }
  if (value) {
    // The usual 4- and 8-byte fields as fixed moves: a length known only at run time would be
    // copied with "rep movs", slow to start for so few bytes.
    const uint8_t* from = record + f.Offset + 1;
    const size_t size = f.IsBlob() ? 4u : f.PhysicalSize;
    if (size == 4) std::memcpy(value, from, 4);
    else if (size == 8) std::memcpy(value, from, 8);
    else std::memcpy(value, from, size);
  }
  return null;
}

void TDataCursor::SetFieldData(uint32_t field, uint8_t* record, const void* value, bool force) {
  const FieldDesc& f = GetFieldDesc(field);
  // A computed field follows its expression: only a forced write replaces its value.
  if (f.Calculated && hasComputed_ && !force) return;
  [&] {
    if (f.IsAutoInc()) {
      if (value) std::memcpy(record + 5, value, 4);
      return;
    }
    uint8_t* at = record + f.Offset + 1;
    if (!value) {
      record[f.Offset] = 0;
      std::memset(at, 0, f.PhysicalSize);
      return;
    }
    if (f.FieldType == fldZString) {
      std::string text(static_cast<const char*>(value));
      while (!text.empty() && text.back() == ' ') text.pop_back();
      const size_t room = f.PhysicalSize > 0 ? f.PhysicalSize - 1u : 0;
      if (text.size() > room) text.resize(room);
      if (f.Case == ccUpper) text = LocaleUpperCase(languageId_, sortId_, text);
      else if (f.Case == ccLower) text = LocaleLowerCase(languageId_, sortId_, text);
      std::memset(at, 0, f.PhysicalSize);
      std::memcpy(at, text.data(), std::min(text.size(), room));
      record[f.Offset] = text.empty() ? 0 : 1;
      return;
    }
    if (f.IsBlob()) {
      std::memcpy(at, value, 4);
      record[f.Offset] = GetU32(at, 0) != 0 ? 1 : 0;
      // A handle of an open value has a value when its buffer is not empty.
      uint32_t size = 0;
      if (blobs_ && static_cast<int32_t>(GetU32(at, 0)) < 0 && blobs_->GetBlobSize(f, record, &size) == 0)
        record[f.Offset] = size != 0 ? 1 : 0;
      return;
    }
    if (f.FieldType == fldBool) {
      uint16_t b;
      std::memcpy(&b, value, 2);
      b = b != 0 ? 1 : 0;
      std::memcpy(at, &b, 2);
    } else {
      std::memcpy(at, value, f.PhysicalSize);
    }
    record[f.Offset] = 1;
  }();
  // The computed fields follow every other field's change.
  if (hasComputed_ && !f.Calculated) EvaluateComputed(record);
}

const FieldDesc& TDataCursor::GetFieldDesc(uint32_t n) const {
  if (n < 1 || n > fields_.size()) Raise(kErrInvalidField, std::to_string(n));
  return fields_[n - 1];
}

const FieldDesc& TDataCursor::GetTableFieldDesc(uint32_t n) const {
  if (!table_ || n < 1 || n > table_->Data().Fields().size()) Raise(kErrInvalidField, std::to_string(n));
  return table_->Data().Field(n);
}

int TDataCursor::NewRecord(uint8_t* record) {
  TCursorBracket bracket(*this);
  if (GetCurrentRecord(record) != 0) return kErrNoCurrentRecord;
  const uint32_t source = GetU32(record, 1);
  std::vector<const FieldDesc*> opened;
  for (const FieldDesc& f : fields_) {
    if (!f.IsBlob()) continue;
    // The copy owns its values: each is read whole and put into a new buffer of the copy, which
    // the insert writes into a chain of its own.
    std::vector<uint8_t> value;
    int code = 0;
    if (blobs_ && GetU32(record, f.Offset + 1u) != 0) {
      code = blobs_->OpenBlob(f, record, source, TBlobBufferList::kRead);
      if (code == 0) {
        uint32_t size = 0, count = 0;
        code = blobs_->GetBlobSize(f, record, &size);
        value.resize(size);
        if (code == 0 && size > 0) code = blobs_->ReadBlob(f, record, &count, size, value.data(), 0);
        blobs_->CloseBlob(f, record);
      }
    }
    record[f.Offset] = 0;
    std::memset(record + f.Offset + 1, 0, f.PhysicalSize);
    if (code == 0 && !value.empty()) {
      code = blobs_->OpenBlob(f, record, 0, TBlobBufferList::kReadWrite);
      if (code == 0) {
        opened.push_back(&f);
        code = blobs_->WriteBlob(f, record, static_cast<uint32_t>(value.size()), value.data(), 0);
        record[f.Offset] = 1;
      }
    }
    if (code != 0) {
      for (const FieldDesc* o : opened) blobs_->CloseBlob(*o, record);
      return code;
    }
  }
  if (!(autoIncWritable_ && hasAutoInc_)) PutU32(record, 5, 0);
  record[0] = 0;
  PutU32(record, 1, 0);
  return 0;
}

void TDataCursor::FlushBuffers() {
  TCursorBracket bracket(*this);
  if (readOnly_ || table_->InTransactionNow()) return;
  table_->WriteLock();
  try {
    table_->WriteCaches(false, false, true);
  } catch (...) {
    table_->WriteUnlock();
    throw;
  }
  table_->WriteUnlock();
  seen_ = CurrentStamp();
}

void TDataCursor::FlushFiles() {
  FlushBuffers();
  TCursorBracket bracket(*this);
  table_->Flush();
}

const FieldDesc& TDataCursor::GetFieldDescByNumber(uint16_t number) const {
  for (const FieldDesc& f : fields_)
    if (f.FieldNumber == number) return f;
  Raise(kErrInvalidField, std::to_string(number));
}

void TDataCursor::LockRecord(uint32_t number) {
  TCursorBracket bracket(*this);
  if (number == 0) number = currentRecord_;
  if (number == 0) Raise(kErrRecordInUse);
  if (table_->HoldsRecordLock(number)) return;
  if (table_->LockRecord(number)) Resync();
}

bool TDataCursor::LockRecordSpan(const uint8_t* first, const uint8_t* last) {
  TCursorBracket bracket(*this);
  if (!Physical() || exclusive_) return false;
  return table_->LockRecordSpan(GetU32(first, 0), GetU32(last, 0));
}

void TDataCursor::UnlockRecord(uint32_t number) {
  TCursorBracket bracket(*this);
  if (number == 0) number = currentRecord_;
  if (table_->HoldsRecordLock(number)) table_->UnlockRecord(number);
}

void TDataCursor::LockTableForWrite() {
  TCursorBracket bracket(*this);
  table_->WriteLock();
  if (!(CurrentStamp() == seen_)) Resync();
}

void TDataCursor::UnlockTableForWrite() {
  TCursorBracket bracket(*this);
  table_->WriteUnlock();
}

}  // namespace tovenmarsh::engine
