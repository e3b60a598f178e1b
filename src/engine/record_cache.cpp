// The data file's record cache: lookups through the recency list and the sorted list, block
// reads with read-ahead, eviction of clean unused records, writing changed records in runs and
// trimming. Changed records and records in use are never evicted or dropped by a trim.
#include <algorithm>
#include <cstring>

#include "engine/data_file.h"
#include "engine/engine_error.h"
#include "engine/key_encoding.h"

namespace tovenmarsh::engine {

using namespace data_format;

int64_t TDataFile::RecordPosition(uint32_t number) const { return RecordOffset(FieldCount(), RecordSize(), number); }

TRecord* TDataFile::FindCached(uint32_t number) const {
  auto it = cache_.find(number);
  return it == cache_.end() ? nullptr : it->get();
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
  std::sort(records.begin(), records.end(), [](const TRecord* a, const TRecord* b) { return a->Stamp < b->Stamp; });
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
  auto it = cache_.find(r->Number);
  spares_.push_back(std::move(cache_.extract(it).value()));
}

std::unique_ptr<TRecord> TDataFile::TakeBuffer(uint32_t number) {
  std::unique_ptr<TRecord> r;
  if (spares_.empty()) {
    r = std::make_unique<TRecord>();
  } else {
    r = std::move(spares_.back());
    spares_.pop_back();
  }
  r->Buffer.assign(RecordSize(), 0);
  r->Number = number;
  r->Changed = false;
  r->UseCount = 0;
  r->Run = 0;
  r->Newer = r->Older = nullptr;
  r->Parked = false;
  if (r->Buffer.size() >= kRecordPrefixSize) PutU32(r->Buffer.data(), kRecLink, number);
  return r;
}

std::unique_ptr<TRecord> TDataFile::MakeRoom(uint32_t number, bool mayFail) {
  if (cache_.size() < capacity_) return TakeBuffer(number);
  const bool transaction = owner_ && owner_->InTransaction();
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Records found changed or in use are parked on the way, so later searches skip them at
    // no cost; a transaction's changed records would otherwise be walked at every insert.
    for (TRecord* r = oldest_; r;) {
      TRecord* newer = r->Newer;
      if (r->Changed || r->UseCount > 0) {
        Park(r);
        r = newer;
        continue;
      }
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
  // Appends (the common case) land at the end: the hint makes them constant time.
  cache_.emplace_hint(cache_.end(), std::move(r));
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
  readBuffer_.assign(static_cast<size_t>(n) * recordSize, 0);
  int64_t got = 0;
  {
    TFileAccess access(*this);
    Seek(RecordPosition(firstNumber));
    // Records appended by an uncommitted transaction or an in-memory table may be short.
    const bool partial = Memory() || (owner_ && owner_->InTransaction());
    got = Read(readBuffer_.data(), static_cast<int64_t>(readBuffer_.size()), partial);
  }
  TRecord* result = nullptr;
  for (uint32_t i = 0; i < n; ++i) {
    const uint32_t at = firstNumber + i;
    if (static_cast<int64_t>((i + 1) * recordSize) > got) break;  // not on disk yet
    const uint8_t* bytes = readBuffer_.data() + static_cast<size_t>(i) * recordSize;
    if (TRecord* r = FindCached(at)) {
      if (!r->Changed && r->UseCount == 0) LoadRecord(*r, bytes);
      if (at == number) {
        result = r;
        ++result->UseCount;  // in use at once: read-ahead must not evict it
      }
      continue;
    }
    std::unique_ptr<TRecord> r = MakeRoom(at, at != number);
    if (!r) continue;  // read-ahead never forces room
    LoadRecord(*r, bytes);
    TRecord* raw = Insert(std::move(r));
    if (at == number) {
      result = raw;
      ++result->UseCount;
    }
  }
  if (!result) RaiseCode(kErrRecordBuffersCorrupt);
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

void TDataFile::ChangedRecords(std::vector<TRecord*>& out) const {
  for (const auto& r : cache_)
    if (r->Changed) out.push_back(r.get());
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
  // Highest numbers first.
  auto it = cache_.end();
  while (cache_.size() > normalCapacity_ && it != cache_.begin()) {
    --it;
    TRecord* r = it->get();
    if (r->Changed || r->UseCount > 0) continue;
    ++it;  // stays valid: the victim is the element before it
    Evict(r);
  }
  capacity_ = std::max(normalCapacity_, cache_.size());
  if (spares_.size() > 16383) spares_.resize(16383);
}

void TDataFile::DropRecords() {
  for (auto it = cache_.begin(); it != cache_.end();) {
    TRecord* r = it->get();
    if (r->UseCount > 0) {
      r->Changed = false;
      ++it;
    } else {
      auto victim = it++;
      spares_.push_back(std::move(cache_.extract(victim).value()));
    }
  }
  newest_ = oldest_ = parkedNewest_ = parkedOldest_ = nullptr;
  for (auto& r : cache_) {
    r->Newer = r->Older = nullptr;
    PushFront(r.get());
  }
  if (spares_.size() > 16383) spares_.resize(16383);
}

}  // namespace tovenmarsh::engine
