// The process-wide page cache (see page_cache.h).
#include "engine/io/page_cache.h"

#include <algorithm>
#include <cstring>

namespace tovenmarsh::engine {

// ---- the table of pieces ----

size_t TPageCache::TTable::SlotOf(uint64_t key) const {
  size_t i = Home(key);
  while (slots_[i].key != 0 && slots_[i].key != key) i = (i + 1) & mask_;
  return i;
}

TPageCache::TPiece* TPageCache::TTable::Find(uint64_t key) const {
  if (count_ == 0) return nullptr;
  const TSlot& slot = slots_[SlotOf(key)];
  return slot.key == key ? slot.piece.get() : nullptr;
}

void TPageCache::TTable::Grow() {
  std::vector<TSlot> old = std::move(slots_);
  const size_t size = old.empty() ? 64 : 2 * old.size();
  slots_ = std::vector<TSlot>(size);
  mask_ = size - 1;
  shift_ = 64;
  for (size_t s = size; s > 1; s >>= 1) --shift_;
  for (TSlot& slot : old) {
    if (slot.key == 0) continue;
    TSlot& to = slots_[SlotOf(slot.key)];
    to.key = slot.key;
    to.piece = std::move(slot.piece);
  }
}

void TPageCache::TTable::Insert(uint64_t key, std::unique_ptr<TPiece> piece) {
  if (2 * (count_ + 1) > slots_.size()) Grow();
  TSlot& slot = slots_[SlotOf(key)];
  slot.key = key;
  slot.piece = std::move(piece);
  ++count_;
}

std::unique_ptr<TPageCache::TPiece> TPageCache::TTable::Take(uint64_t key) {
  size_t i = SlotOf(key);
  std::unique_ptr<TPiece> piece = std::move(slots_[i].piece);
  slots_[i].key = 0;
  --count_;
  // Later keys of the run move back into the hole when their home lies at or before it, so
  // that every lookup still finds its key before a free slot.
  for (size_t j = (i + 1) & mask_; slots_[j].key != 0; j = (j + 1) & mask_) {
    const size_t home = Home(slots_[j].key);
    if (((j - home) & mask_) < ((j - i) & mask_)) continue;  // its home lies after the hole
    slots_[i].key = slots_[j].key;
    slots_[i].piece = std::move(slots_[j].piece);
    slots_[j].key = 0;
    i = j;
  }
  return piece;
}

// ---- the cache ----

TPageCache::TPageCache(int64_t budget) : budget_(std::clamp<int64_t>(budget, 0, kMaxBudget)) {}

TPageCache::~TPageCache() = default;

void TPageCache::SetBudget(int64_t bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  budget_ = std::clamp<int64_t>(bytes, 0, kMaxBudget);
  EvictTo(budget_);
  if (budget_ < kPieceCharge) spare_.reset();
}

int64_t TPageCache::Budget() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return budget_;
}

bool TPageCache::Enabled() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return budget_ >= kPieceCharge;
}

int64_t TPageCache::Bytes() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<int64_t>(pieces_.Size()) * kPieceCharge;
}

size_t TPageCache::Pieces() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return pieces_.Size();
}

uint32_t TPageCache::NewFileId() {
  std::lock_guard<std::mutex> guard(mutex_);
  // 0 is never handed out; a wrap (four billion opened files) would only share identities with
  // files long gone, whose pieces were dropped at their close.
  if (nextFileId_ == 0) nextFileId_ = 1;
  return nextFileId_++;
}

TPageCache::TStats TPageCache::Stats() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return stats_;
}

void TPageCache::Unlink(TPiece* p) {
  if (p->newer) p->newer->older = p->older;
  else newest_ = p->older;
  if (p->older) p->older->newer = p->newer;
  else oldest_ = p->newer;
  p->newer = p->older = nullptr;
}

void TPageCache::PushFront(TPiece* p) {
  p->older = newest_;
  p->newer = nullptr;
  if (newest_) newest_->newer = p;
  newest_ = p;
  if (!oldest_) oldest_ = p;
}

void TPageCache::Remove(TPiece* p) {
  Unlink(p);
  if (p->prevOfFile) {
    p->prevOfFile->nextOfFile = p->nextOfFile;
  } else if (p->nextOfFile) {
    perFile_[p->file] = p->nextOfFile;
  } else {
    perFile_.erase(p->file);
  }
  if (p->nextOfFile) p->nextOfFile->prevOfFile = p->prevOfFile;
  std::unique_ptr<TPiece> owned = pieces_.Take(Key(p->file, p->number));
  // The last evicted piece is kept for the next Put: a full cache that keeps reading evicts one
  // piece per new one, and freeing and allocating 4 KiB each time showed in every long scan.
  if (!spare_) spare_ = std::move(owned);
}

void TPageCache::EvictTo(int64_t budget) {
  while (oldest_ && static_cast<int64_t>(pieces_.Size()) * kPieceCharge > budget) {
    Remove(oldest_);
    ++stats_.evictions;
  }
}

bool TPageCache::Get(uint32_t file, uint32_t piece, int64_t at, void* out, int64_t count) {
  std::lock_guard<std::mutex> guard(mutex_);
  TPiece* p = pieces_.Find(Key(file, piece));
  if (!p) {
    ++stats_.misses;
    return false;
  }
  std::memcpy(out, p->bytes + at, static_cast<size_t>(count));
  if (newest_ != p) {
    Unlink(p);
    PushFront(p);
  }
  ++stats_.hits;
  return true;
}

void TPageCache::Put(uint32_t file, uint32_t piece, const void* bytes) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (budget_ < kPieceCharge) return;
  if (TPiece* p = pieces_.Find(Key(file, piece))) {
    std::memcpy(p->bytes, bytes, kPieceSize);
    Unlink(p);
    PushFront(p);
    return;
  }
  EvictTo(budget_ - kPieceCharge);
  std::unique_ptr<TPiece> owned = spare_ ? std::move(spare_) : std::make_unique_for_overwrite<TPiece>();
  TPiece* p = owned.get();
  p->newer = p->older = p->nextOfFile = p->prevOfFile = nullptr;  // its bytes are copied in below
  p->file = file;
  p->number = piece;
  std::memcpy(p->bytes, bytes, kPieceSize);
  pieces_.Insert(Key(file, piece), std::move(owned));
  PushFront(p);
  TPiece*& first = perFile_[file];
  p->nextOfFile = first;
  if (first) first->prevOfFile = p;
  first = p;
}

void TPageCache::Update(uint32_t file, uint32_t piece, int64_t at, const void* bytes, int64_t count) {
  std::lock_guard<std::mutex> guard(mutex_);
  TPiece* p = pieces_.Find(Key(file, piece));
  if (!p) return;
  std::memcpy(p->bytes + at, bytes, static_cast<size_t>(count));
}

void TPageCache::DropFile(uint32_t file) {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = perFile_.find(file);
  if (it == perFile_.end()) return;
  TPiece* p = it->second;
  perFile_.erase(it);
  while (p) {
    TPiece* next = p->nextOfFile;
    Unlink(p);
    (void)pieces_.Take(Key(p->file, p->number));
    p = next;
  }
}

}  // namespace tovenmarsh::engine
