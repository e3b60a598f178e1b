// The data file's record cache: lookups through the recency list and a hash index by record
// number, block reads with read-ahead, eviction of clean unused records, writing changed
// records in runs and trimming. Changed records and records in use are never evicted or
// dropped by a trim.
// Implements the record cache calls of TDataFile in engine/store/data_file.h.
#include <algorithm>
#include <cstring>

#include "engine/store/data_file.h"
#include "engine/base/engine_error.h"
#include "engine/format/key_encoding.h"

namespace tovenmarsh::engine {

using namespace data_format;

int64_t TDataFile::RecordPosition(uint32_t number) const { return RecordOffset(FieldCount(), RecordSize(), number); }

TRecord* TDataFile::FindCached(uint32_t number) const { return index_.Find(number); }

void TDataFile::ClearCache() {
  cache_.clear();
  index_.Clear();
  newest_ = oldest_ = parkedNewest_ = parkedOldest_ = nullptr;
}

void TDataFile::Unlink(TRecord* r) {
  TRecord*& newest = r->Parked ? parkedNewest_ : newest_;
  TRecord*& oldest = r->Parked ? parkedOldest_ : oldest_;
  if (r->Newer) r->Newer->Older = r->Older;
  else newest = r->Older;
  if (r->Older) r->Older->Newer = r->Newer;
  else oldest = r->Newer;
  r->Newer = r->Older = nullptr;
  r->Parked = false;
}

void TDataFile::PushFront(TRecord* r) {
  r->Older = newest_;
  r->Newer = nullptr;
  r->Parked = false;
  r->Stamp = ++clock_;
  if (newest_) newest_->Newer = r;
  newest_ = r;
  if (!oldest_) oldest_ = r;
}

void TDataFile::Park(TRecord* r) {
  Unlink(r);
  // Parked records keep their stamps; the parked list is only a bag, order comes from stamps.
  r->Parked = true;
  r->Older = parkedNewest_;
  r->Newer = nullptr;
  if (parkedNewest_) parkedNewest_->Newer = r;
  parkedNewest_ = r;
  if (!parkedOldest_) parkedOldest_ = r;
}

void TDataFile::Unpark(std::vector<TRecord*> records) {
  // Back into the recency list where their stamps place them, so the least recently used
  // record is still the first victim. Parked records are older than most of the list: the
  // merge walks from the oldest end.
  for (TRecord* r : records) Unlink(r);
  auto byStamp = [](const TRecord* a, const TRecord* b) { return a->Stamp < b->Stamp; };
  // A transaction's new records come back in the order they were made: no sort needed.
  if (!std::is_sorted(records.begin(), records.end(), byStamp)) std::sort(records.begin(), records.end(), byStamp);
  TRecord* pos = oldest_;
  for (TRecord* r : records) {
    while (pos && pos->Stamp < r->Stamp) pos = pos->Newer;
    // Insert r just older than pos (or as the newest when pos is null).
    r->Newer = pos;
    r->Older = pos ? pos->Older : newest_;
    if (r->Older) r->Older->Newer = r;
    else oldest_ = r;
    if (pos) pos->Older = r;
    else newest_ = r;
  }
}

void TDataFile::Evict(TRecord* r) {
  Unlink(r);
  index_.Remove(r->Number);
  // Swap the last record into the victim's place: removal in constant time.
  const uint32_t slot = r->Slot;
  std::unique_ptr<TRecord> victim = std::move(cache_[slot]);
  if (slot + 1 != cache_.size()) {
    cache_[slot] = std::move(cache_.back());
    cache_[slot]->Slot = slot;
  }
  cache_.pop_back();
  spares_.push_back(std::move(victim));
}

std::unique_ptr<TRecord> TDataFile::TakeBuffer(uint32_t number, bool clear) {
  std::unique_ptr<TRecord> r;
  if (spares_.empty()) {
    r = std::make_unique<TRecord>();
  } else {
    r = std::move(spares_.back());
    spares_.pop_back();
  }
  // A buffer about to be loaded whole needs no zero-fill.
  if (clear) r->Buffer.assign(RecordSize(), 0);
  else r->Buffer.resize(RecordSize());
  r->Number = number;
  r->Changed = false;
  r->UseCount = 0;
  r->Newer = r->Older = nullptr;
  r->Parked = false;
  if (r->Buffer.size() >= kRecordPrefixSize) PutU32(r->Buffer.data(), kRecLink, number);
  return r;
}

TRecord* TDataFile::OldestEvictable() {
  // Records found changed or in use are parked on the way, so later searches skip them at no
  // cost; a transaction's changed records would otherwise be walked at every insert.
  for (TRecord* r = oldest_; r;) {
    TRecord* newer = r->Newer;
    if (r->Changed || r->UseCount > 0) {
      Park(r);
      r = newer;
      continue;
    }
    return r;
  }
  return nullptr;
}

TRecord* TDataFile::LoadAhead(uint32_t number, const uint8_t* bytes) {
  TRecord* r = nullptr;
  if (cache_.size() < capacity_) {
    r = Insert(TakeBuffer(number, false));
  } else {
    // The victim takes the new number where it stands: no trip through the spares.
    r = OldestEvictable();
    if (!r) return nullptr;  // read-ahead never forces room
    Unlink(r);
    index_.Remove(r->Number);
    r->Number = number;
    r->Changed = false;
    r->UseCount = 0;
    if (r->Buffer.size() != RecordSize()) r->Buffer.resize(RecordSize());
    index_.Add(number, r);
    PushFront(r);
  }
  LoadRecord(*r, bytes);
  return r;
}

std::unique_ptr<TRecord> TDataFile::MakeRoom(uint32_t number, bool mayFail) {
  if (cache_.size() < capacity_) return TakeBuffer(number);
  const bool transaction = owner_ && owner_->InTransaction();
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (TRecord* r = OldestEvictable()) {
      Evict(r);
      return TakeBuffer(number);
    }
    if (mayFail) return nullptr;
    if (attempt == 0 && !transaction && WriteChangedRecords()) continue;
    break;
  }
  if (transaction) {
    // A transaction keeps all its changed records in memory.
    capacity_ += 255;
    return TakeBuffer(number);
  }
  // Last resort: a parked record that became clean and unused without passing through
  // ReleaseRecord or a write.
  for (TRecord* r = parkedOldest_; r; r = r->Newer)
    if (!r->Changed && r->UseCount == 0) {
      Evict(r);
      return TakeBuffer(number);
    }
  RaiseCode(kErrRecordBuffersCorrupt);
}

TRecord* TDataFile::Insert(std::unique_ptr<TRecord> r) {
  TRecord* raw = r.get();
  raw->Slot = static_cast<uint32_t>(cache_.size());
  index_.Add(raw->Number, raw);
  cache_.push_back(std::move(r));
  PushFront(raw);
  return raw;
}

void TDataFile::LoadRecord(TRecord& r, const uint8_t* bytes) const {
  std::memcpy(r.Buffer.data(), bytes, r.Buffer.size());
  if (Encrypted()) DecryptBlock(r.Buffer.data(), static_cast<uint16_t>(r.Buffer.size()), kRecordKey1, kRecordKey2);
  if (r.Buffer[kRecStatus.Offset] == kStatusLive) PutU32(r.Buffer.data(), kRecLink, r.Number);
}

TRecord* TDataFile::GetRecord(uint32_t number, int direction, uint32_t readAhead, bool append) {
  if (number == 0 || RecordSize() < kRecordPrefixSize) RaiseCode(kErrRecordBuffersCorrupt);
  const uint32_t next = NextRecord();
  if (append && number == next) {
    if (static_cast<int64_t>(next) + 1 > kMaxRecordsPerTable ||
        static_cast<int64_t>(next) * RecordSize() > kMaxTableDataBytes)
      RaiseCode(kErrTableFull);
    std::unique_ptr<TRecord> r = MakeRoom(number, false);
    r->UseCount = 1;
    TRecord* raw = Insert(std::move(r));
    SetNextRecord(next + 1);
    return raw;
  }
  if (number >= next) RaiseCode(kErrRecordBuffersCorrupt);
  TRecord* hit = nullptr;
  int looked = 0;
  for (TRecord* r = newest_; r && looked < 4; r = r->Older, ++looked)
    if (r->Number == number) hit = r;
  if (!hit) hit = FindCached(number);
  if (hit) {
    Unlink(hit);
    PushFront(hit);
    ++hit->UseCount;
    return hit;
  }
  if (owner_ && !owner_->StrictChangeDetection() && !owner_->HoldsWriteLock() && owner_->ChangedOnDisk())
    return nullptr;
  // One read of up to n records: forward from the record, or backward ending with it.
  uint32_t n = 1;
  if (readAhead > 1) {
    const uint32_t room = direction >= 0 ? next - number : number;
    n = std::max<uint32_t>(1, std::min({readAhead, readAheadLimit_, room}));
  }
  const uint32_t firstNumber = direction >= 0 ? number : number - n + 1;
  const size_t recordSize = RecordSize();
  // The record's own buffer first, in use at once: making room for it may write changed
  // records, which must reach the file before the block is read (a copy written after the
  // read would be refreshed from the older block); read-ahead never writes or evicts it.
  TRecord* result = Insert(MakeRoom(number, false));
  ++result->UseCount;
  if (readBuffer_.size() < static_cast<size_t>(n) * recordSize) readBuffer_.resize(static_cast<size_t>(n) * recordSize);
  int64_t got = 0;
  try {
    // Records appended by an uncommitted transaction or an in-memory table may be short. One
    // positioned read: no seek, and the file's lock is taken once.
    // Read-ahead may run past the file's end over appended records still only in the cache:
    // only the record asked for must be on disk.
    const bool partial = Memory() || (owner_ && owner_->InTransaction());
    got = ReadAt(RecordPosition(firstNumber), readBuffer_.data(), static_cast<int64_t>(n) * recordSize, partial || n > 1);
    if (!partial && got < static_cast<int64_t>(number - firstNumber + 1) * static_cast<int64_t>(recordSize))
      RaiseCode(kErrReadError);
  } catch (...) {
    Evict(result);
    throw;
  }
  bool loaded = false;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t at = firstNumber + i;
    if (static_cast<int64_t>((i + 1) * recordSize) > got) break;  // not on disk yet
    const uint8_t* bytes = readBuffer_.data() + static_cast<size_t>(i) * recordSize;
    if (at == number) {
      LoadRecord(*result, bytes);
      loaded = true;
      continue;
    }
    if (TRecord* r = FindCached(at)) {
      if (!r->Changed && r->UseCount == 0) LoadRecord(*r, bytes);
      continue;
    }
    LoadAhead(at, bytes);
  }
  if (!loaded) {
    Evict(result);
    RaiseCode(kErrRecordBuffersCorrupt);
  }
  Unlink(result);
  PushFront(result);
  return result;
}

void TDataFile::ReleaseRecord(TRecord* record) {
  if (record && record->UseCount > 0) --record->UseCount;
  if (record && record->Parked && record->UseCount == 0 && !record->Changed) Unpark({record});
}

bool TDataFile::HasChangedRecords() const {
  for (const auto& r : cache_)
    if (r->Changed) return true;
  return false;
}

namespace {

void SortByNumber(std::vector<TRecord*>::iterator from, std::vector<TRecord*>::iterator to) {
  auto byNumber = [](const TRecord* a, const TRecord* b) { return a->Number < b->Number; };
  // Appends arrive in order: a transaction's inserts usually need no sort at all.
  if (!std::is_sorted(from, to, byNumber)) std::sort(from, to, byNumber);
}

}  // namespace

void TDataFile::ChangedRecords(std::vector<TRecord*>& out) const {
  const size_t start = out.size();
  for (const auto& r : cache_)
    if (r->Changed) out.push_back(r.get());
  SortByNumber(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
}

void TDataFile::CachedInOrder(std::vector<TRecord*>& out) const {
  const size_t start = out.size();
  for (const auto& r : cache_) out.push_back(r.get());
  SortByNumber(out.begin() + static_cast<std::ptrdiff_t>(start), out.end());
}

void TDataFile::PendingWriteRanges(std::vector<std::pair<int64_t, int64_t>>& out, bool header,
                                   const std::vector<TRecord*>& changed) const {
  const int64_t recordSize = RecordSize();
  for (const TRecord* r : changed) {
    const int64_t at = RecordPosition(r->Number);
    if (!out.empty() && out.back().first + out.back().second == at) out.back().second += recordSize;
    else out.emplace_back(at, recordSize);
  }
  if (descriptorsChanged_) out.emplace_back(kHeaderSize, static_cast<int64_t>(fields_.size()) * kFieldDescSize);
  if (header || !changed.empty() || HeaderDirty()) out.emplace_back(0, kHeaderSize);
}

bool TDataFile::WriteChangedRecords() {
  std::vector<TRecord*> changed;
  ChangedRecords(changed);
  return WriteChangedRecords(changed);
}

bool TDataFile::WriteChangedRecords(const std::vector<TRecord*>& all) {
  std::vector<TRecord*> changed;
  changed.reserve(all.size());
  for (TRecord* r : all)
    if (r->Changed && r->UseCount == 0) changed.push_back(r);
  if (changed.empty()) return false;
  const size_t recordSize = RecordSize();
  size_t i = 0;
  while (i < changed.size()) {
    size_t j = i + 1;
    while (j < changed.size() && changed[j]->Number == changed[j - 1]->Number + 1 &&
           (j - i + 1) * recordSize <= 65535)
      ++j;
    writeBuffer_.resize((j - i) * recordSize);
    for (size_t k = i; k < j; ++k) {
      uint8_t* out = writeBuffer_.data() + (k - i) * recordSize;
      std::memcpy(out, changed[k]->Buffer.data(), recordSize);
      if (Encrypted()) EncryptBlock(out, static_cast<uint16_t>(recordSize), kRecordKey1, kRecordKey2);
    }
    {
      TFileAccess access(*this);
      Seek(RecordPosition(changed[i]->Number));
      Write(writeBuffer_.data(), static_cast<int64_t>(writeBuffer_.size()));
    }
    for (size_t k = i; k < j; ++k) changed[k]->Changed = false;
    i = j;
  }
  std::vector<TRecord*> clean;
  for (TRecord* r : changed)
    if (r->Parked) clean.push_back(r);
  if (!clean.empty()) Unpark(std::move(clean));
  if (owner_) owner_->MarkFilesWritten();
  return true;
}

void TDataFile::TrimCache() {
  if (cache_.size() > normalCapacity_) {
    // The highest-numbered records that may go (neither changed nor in use).
    std::vector<TRecord*> free;
    for (const auto& r : cache_)
      if (!r->Changed && r->UseCount == 0) free.push_back(r.get());
    const size_t excess = std::min(cache_.size() - normalCapacity_, free.size());
    if (excess > 0) {
      const auto cut = free.end() - static_cast<std::ptrdiff_t>(excess);
      std::nth_element(free.begin(), cut, free.end(),
                       [](const TRecord* a, const TRecord* b) { return a->Number < b->Number; });
      if (excess * 4 < cache_.size()) {
        for (auto it = cut; it != free.end(); ++it) Evict(*it);
      } else {
        // Most of the cache goes (after a large transaction): unlink the victims, then keep
        // the rest and index it afresh instead of removing entries one by one.
        constexpr uint32_t kLeaving = UINT32_MAX;
        for (auto it = cut; it != free.end(); ++it) {
          Unlink(*it);
          (*it)->Slot = kLeaving;
        }
        std::vector<std::unique_ptr<TRecord>> kept;
        kept.reserve(cache_.size() - excess);
        for (auto& r : cache_) {
          if (r->Slot == kLeaving) {
            if (spares_.size() < 16383) spares_.push_back(std::move(r));
            continue;
          }
          r->Slot = static_cast<uint32_t>(kept.size());
          kept.push_back(std::move(r));
        }
        cache_.swap(kept);
        index_.Clear();
        for (auto& r : cache_) index_.Add(r->Number, r.get());
      }
    }
  }
  capacity_ = std::max(normalCapacity_, cache_.size());
  if (spares_.size() > 16383) spares_.resize(16383);
  index_.Fit();
}

void TDataFile::DropRecords() {
  // Records in use stay (their changes forgotten), back in the recency list in number order.
  std::vector<std::unique_ptr<TRecord>> kept;
  for (auto& r : cache_) {
    if (r->UseCount > 0) {
      r->Changed = false;
      kept.push_back(std::move(r));
    } else {
      spares_.push_back(std::move(r));
    }
  }
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a->Number < b->Number; });
  ClearCache();
  for (auto& r : kept) {
    r->Newer = r->Older = nullptr;
    Insert(std::move(r));
  }
  if (spares_.size() > 16383) spares_.resize(16383);
}

}  // namespace tovenmarsh::engine
