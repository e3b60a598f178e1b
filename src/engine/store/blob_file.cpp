// BLOB file: header, block cache with read-ahead and recency, free-block list, flushing in
// runs, chain reads and writes, and the region and user-byte locks.
#include "engine/store/blob_file.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "engine/base/engine_error.h"
#include "engine/format/index_file_format.h"
#include "engine/format/key_encoding.h"
#include "engine/store/shared_table_locks.h"

namespace tovenmarsh::engine {

using namespace blob_format;

namespace {
constexpr size_t kNotCached = static_cast<size_t>(-1);
}  // namespace

TBlobFile::TBlobFile(TTableFilesOwner* owner, std::string fileName, uint32_t blockSize, bool memory, TFileList* list)
    : TFileHandler(std::move(fileName), memory, list),
      owner_(owner),
      blockSize_(EffectiveBlockSize(blockSize)),
      header_(*this, kHeaderSize, kHeaderModified, index_format::kIndexKey1, index_format::kIndexKey2) {
  MakeNewHeader(header_.data());
  capacity_ = NormalCapacity();
  readAheadLimit_ = ValidBlockSize(blockSize_) ? std::max<uint32_t>(1, 65535 / blockSize_) : 1;
}

TBlobFile::~TBlobFile() { DropBlocks(); }

size_t TBlobFile::NormalCapacity() const {
  return ValidBlockSize(blockSize_) ? std::max<size_t>(1, std::min<size_t>(131070 / blockSize_, 32767)) : 1;
}

void TBlobFile::RaiseCode(uint16_t code) const { RaiseEngineError(code, FileName()); }

void TBlobFile::Open() {
  if (IsOpen()) return;
  if (!ValidBlockSize(blockSize_)) RaiseCode(kErrBlobFieldsOrBlockSize);
  TFileHandler::Open();
  try {
    ReadHeader();
  } catch (...) {
    TFileHandler::Close();
    throw;
  }
  capacity_ = NormalCapacity();
  stats_ = {};
}

void TBlobFile::Close() {
  DropBlocks();
  stats_ = {};
  TFileHandler::Close();
}

void TBlobFile::CreateFile() {
  if (!ValidBlockSize(blockSize_)) RaiseCode(kErrBlobFieldsOrBlockSize);
  DropBlocks();
  TFileHandler::CreateFile();
  MakeNewHeader(header_.data());
  header_.WriteAsIs(Encrypted());
}

bool TBlobFile::Encrypted() const { return owner_ && owner_->Encrypted(); }

void TBlobFile::ReadHeader() { header_.Read(Encrypted()); }

void TBlobFile::WriteHeader(bool force) {
  if (header_.Write(force, Encrypted()) && owner_) owner_->MarkFilesWritten();
}

bool TBlobFile::HeaderChanged() { return header_.Changed(Encrypted()); }

void TBlobFile::MarkChanged() {
  header_.CountChange();
  if (owner_) owner_->MarkFilesWritten();
}

void TBlobFile::Empty() {
  DropBlocks();
  {
    TFileAccess access(*this);
    Seek(kHeaderSize);
    Write(nullptr, 0);
  }
  PutU8(header_.data(), kFileVersion, kVersion);
  PutU32(header_.data(), kEndOffset, kHeaderSize);
  PutU32(header_.data(), kFreeHead, 0);
  SetModified();
}

void TBlobFile::Verify() const {
  if (GetU8(header_.data(), kFileVersion) != kVersion) RaiseCode(kErrWrongVersion);
  const uint32_t end = EndOffset();
  const uint32_t head = FreeHead();
  if (end < kHeaderSize || (end - kHeaderSize) % blockSize_ != 0) RaiseCode(kErrHeaderCorrupt);
  if (head != 0 && (end == kHeaderSize || !IsBlockOffset(head))) RaiseCode(kErrHeaderCorrupt);
}

uint32_t TBlobFile::UpdateCounter() const { return GetU32(header_.data(), kUpdateCounter); }
uint32_t TBlobFile::EndOffset() const { return GetU32(header_.data(), kEndOffset); }
uint32_t TBlobFile::FreeHead() const { return GetU32(header_.data(), kFreeHead); }
bool TBlobFile::HeaderModified() const { return GetU8(header_.data(), kHeaderModified) != 0; }
void TBlobFile::SetModified() { PutU8(header_.data(), kHeaderModified, 1); }
void TBlobFile::SetFreeHead(uint32_t offset) {
  PutU32(header_.data(), kFreeHead, offset);
  SetModified();
}

bool TBlobFile::IsBlockOffset(uint32_t offset) const {
  const uint64_t o = offset;
  return o >= kHeaderSize && (o - kHeaderSize) % blockSize_ == 0 && o + blockSize_ <= EndOffset();
}

// ---- cache ----

size_t TBlobFile::FindCached(uint32_t offset) const {
  auto it = std::lower_bound(cache_.begin(), cache_.end(), offset,
                             [](const std::unique_ptr<TBlock>& b, uint32_t o) { return b->Offset < o; });
  if (it == cache_.end() || (*it)->Offset != offset) return kNotCached;
  return static_cast<size_t>(it - cache_.begin());
}

void TBlobFile::Unlink(TBlock* b) {
  TBlock*& newest = b->Parked ? parkedNewest_ : newest_;
  TBlock*& oldest = b->Parked ? parkedOldest_ : oldest_;
  if (b->Newer) b->Newer->Older = b->Older;
  else newest = b->Older;
  if (b->Older) b->Older->Newer = b->Newer;
  else oldest = b->Newer;
  b->Newer = b->Older = nullptr;
  b->Parked = false;
}

void TBlobFile::PushFront(TBlock* b) {
  b->Older = newest_;
  b->Newer = nullptr;
  b->Parked = false;
  b->Stamp = ++clock_;
  if (newest_) newest_->Newer = b;
  newest_ = b;
  if (!oldest_) oldest_ = b;
}

void TBlobFile::Park(TBlock* b) {
  Unlink(b);
  // Parked blocks keep their stamps: the parked list is only a bag, order comes from stamps.
  b->Parked = true;
  b->Older = parkedNewest_;
  b->Newer = nullptr;
  if (parkedNewest_) parkedNewest_->Newer = b;
  parkedNewest_ = b;
  if (!parkedOldest_) parkedOldest_ = b;
}

void TBlobFile::Unpark(std::vector<TBlock*> blocks) {
  // Back into the recency list where their stamps place them, so the least recently used
  // block is still the first victim; parked blocks are older than most of the list, so the
  // merge walks from the oldest end.
  for (TBlock* b : blocks) Unlink(b);
  std::sort(blocks.begin(), blocks.end(), [](const TBlock* a, const TBlock* b) { return a->Stamp < b->Stamp; });
  TBlock* pos = oldest_;
  for (TBlock* b : blocks) {
    while (pos && pos->Stamp < b->Stamp) pos = pos->Newer;
    b->Newer = pos;
    b->Older = pos ? pos->Older : newest_;
    if (b->Older) b->Older->Newer = b;
    else oldest_ = b;
    if (pos) pos->Older = b;
    else newest_ = b;
  }
}

void TBlobFile::Evict(TBlock* b) {
  Unlink(b);
  const size_t at = FindCached(b->Offset);
  spares_.push_back(std::move(cache_[at]));
  cache_.erase(cache_.begin() + static_cast<ptrdiff_t>(at));
}

std::unique_ptr<TBlock> TBlobFile::TakeBlockObject() {
  std::unique_ptr<TBlock> b;
  if (spares_.empty()) {
    b = std::make_unique<TBlock>();
  } else {
    b = std::move(spares_.back());
    spares_.pop_back();
  }
  std::vector<uint8_t> data = std::move(b->Data);
  *b = TBlock();
  b->Data = std::move(data);
  b->Data.assign(DataPerBlock(), 0);
  return b;
}

std::unique_ptr<TBlock> TBlobFile::MakeRoom() {
  if (cache_.size() < capacity_) return TakeBlockObject();
  const bool transaction = owner_ && owner_->InTransaction();
  for (int attempt = 0; attempt < 2; ++attempt) {
    // Blocks found dirty or pinned are parked on the way, so later searches skip them at no
    // cost; a transaction's dirty blocks would otherwise be walked at every new block.
    for (TBlock* b = oldest_; b;) {
      TBlock* newer = b->Newer;
      if (b->Dirty || b->Pins > 0) {
        Park(b);
        b = newer;
        continue;
      }
      Evict(b);
      return TakeBlockObject();
    }
    if (attempt == 0 && !transaction) FlushBlocks();
    else break;
  }
  // A parked block that became clean and unpinned without passing through a release or a
  // flush (a transaction's parked blocks stay dirty until its commit).
  if (!transaction)
    for (TBlock* b = parkedOldest_; b; b = b->Newer)
      if (!b->Dirty && b->Pins == 0) {
        Evict(b);
        return TakeBlockObject();
      }
  // Dirty blocks of a transaction stay in memory until commit.
  capacity_ += 255;
  return TakeBlockObject();
}

TBlock* TBlobFile::Insert(std::unique_ptr<TBlock> block) {
  TBlock* raw = block.get();
  auto it = std::lower_bound(cache_.begin(), cache_.end(), raw->Offset,
                             [](const std::unique_ptr<TBlock>& b, uint32_t o) { return b->Offset < o; });
  cache_.insert(it, std::move(block));
  PushFront(raw);
  return raw;
}

void TBlobFile::LoadBlock(TBlock& b, const uint8_t* bytes) const {
  uint8_t head[kBlockHeaderSize];
  std::memcpy(head, bytes, kBlockHeaderSize);
  b.Data.assign(bytes + kBlockHeaderSize, bytes + blockSize_);
  if (owner_ && owner_->Encrypted()) {
    DecryptBlock(head, kBlockHeaderSize, index_format::kIndexKey1, index_format::kIndexKey2);
    DecryptBlock(b.Data.data(), static_cast<uint16_t>(b.Data.size()), index_format::kIndexKey1,
                 index_format::kIndexKey2);
  }
  b.Prev = GetU32(head, kBlockPrev);
  b.Next = GetU32(head, kBlockNext);
  b.Used = GetU16(head, kBlockUsed);
  b.Owner = GetU32(head, kBlockOwner);
  b.Total = GetU32(head, kBlockTotal);
}

void TBlobFile::StoreBlock(const TBlock& b, uint8_t* bytes) const {
  PutU32(bytes, kBlockPrev, b.Prev);
  PutU32(bytes, kBlockNext, b.Next);
  PutU16(bytes, kBlockUsed, b.Used);
  PutU32(bytes, kBlockOwner, b.Owner);
  PutU32(bytes, kBlockTotal, b.Total);
  std::memcpy(bytes + kBlockHeaderSize, b.Data.data(), DataPerBlock());
  if (owner_ && owner_->Encrypted()) {
    EncryptBlock(bytes, kBlockHeaderSize, index_format::kIndexKey1, index_format::kIndexKey2);
    EncryptBlock(bytes + kBlockHeaderSize, static_cast<uint16_t>(DataPerBlock()), index_format::kIndexKey1,
                 index_format::kIndexKey2);
  }
}

TBlock* TBlobFile::FetchBlock(uint32_t offset, uint32_t wanted, bool readAhead, bool append) {
  if (offset == 0) RaiseCode(kErrBlobBuffersCorrupt);
  if (append && offset == EndOffset()) {
    if (static_cast<int64_t>(EndOffset()) >= kMaxEndOffset) RaiseCode(kErrTableFull);
    if (FindCached(offset) != kNotCached) RaiseCode(kErrBlobBuffersCorrupt);
    std::unique_ptr<TBlock> b = MakeRoom();
    b->Offset = offset;
    b->Dirty = true;
    b->Pins = 1;
    PutU32(header_.data(), kEndOffset, static_cast<uint32_t>(static_cast<uint64_t>(EndOffset()) + blockSize_));
    SetModified();
    return Insert(std::move(b));
  }
  if (!IsBlockOffset(offset)) RaiseCode(kErrBlobBuffersCorrupt);
  TBlock* hit = nullptr;
  int looked = 0;
  for (TBlock* b = newest_; b && looked < 4; b = b->Older, ++looked)
    if (b->Offset == offset) hit = b;
  if (!hit)
    if (const size_t at = FindCached(offset); at != kNotCached) hit = cache_[at].get();
  if (hit) {
    Unlink(hit);
    PushFront(hit);
    ++hit->Pins;
    ++stats_.CacheHits;
    return hit;
  }
  if (owner_ && !owner_->StrictChangeDetection() && !owner_->HoldsWriteLock() && owner_->ChangedOnDisk())
    return nullptr;
  uint64_t n = 1;
  if (readAhead) {
    n = std::min<uint64_t>({readAheadLimit_, std::max<uint32_t>(wanted, 1),
                            (static_cast<uint64_t>(EndOffset()) - offset) / blockSize_});
    n = std::max<uint64_t>(n, 1);
  }
  readBuffer_.resize(n * blockSize_);
  {
    TFileAccess access(*this);
    Seek(offset);
    Read(readBuffer_.data(), static_cast<int64_t>(readBuffer_.size()));
  }
  ++stats_.DiskReads;
  stats_.BlocksRead += n;
  // The first block is the one asked for; blocks behind it enter the cache unless a cached
  // copy is dirty or pinned.
  std::unique_ptr<TBlock> first = MakeRoom();
  first->Offset = offset;
  LoadBlock(*first, readBuffer_.data());
  first->Pins = 1;
  TBlock* result = Insert(std::move(first));
  for (uint64_t i = 1; i < n; ++i) {
    const uint32_t at = static_cast<uint32_t>(offset + i * blockSize_);
    const size_t cached = FindCached(at);
    if (cached != kNotCached) {
      TBlock* b = cache_[cached].get();
      if (!b->Dirty && b->Pins == 0) LoadBlock(*b, readBuffer_.data() + i * blockSize_);
      continue;
    }
    if (cache_.size() >= capacity_) break;  // read-ahead never evicts
    std::unique_ptr<TBlock> b = TakeBlockObject();
    b->Offset = at;
    LoadBlock(*b, readBuffer_.data() + i * blockSize_);
    TBlock* raw = Insert(std::move(b));
    // Read ahead blocks are the least recent: behind the block asked for.
    Unlink(raw);
    raw->Stamp = 0;
    raw->Newer = oldest_;
    raw->Older = nullptr;
    if (oldest_) oldest_->Older = raw;
    oldest_ = raw;
    if (!newest_) newest_ = raw;
  }
  return result;
}

void TBlobFile::ReleaseBlock(TBlock* block) {
  if (block->Pins > 0) --block->Pins;
  if (block->Parked && block->Pins == 0 && !block->Dirty) Unpark({block});
  if (block->Detached && block->Pins == 0) {
    auto it = std::find_if(detached_.begin(), detached_.end(),
                           [block](const std::unique_ptr<TBlock>& b) { return b.get() == block; });
    if (it != detached_.end()) {
      spares_.push_back(std::move(*it));
      detached_.erase(it);
    }
  }
}

TBlock* TBlobFile::NewBlock() {
  const uint32_t head = FreeHead();
  TBlock* b = FetchBlock(head != 0 ? head : EndOffset(), 1, false, head == 0);
  if (!b) RaiseCode(kErrBlobBuffersCorrupt);  // no retry under the writer lock
  if (head != 0) {
    if (b->Next != 0 && !IsBlockOffset(b->Next)) {
      ReleaseBlock(b);
      RaiseCode(kErrBlobBuffersCorrupt);
    }
    SetFreeHead(b->Next);
  }
  b->Prev = b->Next = 0;
  b->Used = 0;
  b->Owner = b->Total = 0;
  std::fill(b->Data.begin(), b->Data.end(), 0);
  b->Dirty = true;
  return b;
}

void TBlobFile::FreeBlock(TBlock* block) {
  block->Next = FreeHead();
  block->Prev = 0;
  block->Used = 0;
  block->Owner = 0;  // a stale reference to a freed block reads as another user's change
  block->Total = 0;
  block->Dirty = true;
  SetFreeHead(block->Offset);
}

bool TBlobFile::HasDirtyBlocks() const {
  for (const auto& b : cache_)
    if (b->Dirty) return true;
  return false;
}

void TBlobFile::PendingWriteRanges(std::vector<std::pair<int64_t, int64_t>>& out) const {
  bool blocks = false;
  for (const auto& b : cache_) {
    if (!b->Dirty) continue;
    blocks = true;
    if (!out.empty() && out.back().first + out.back().second == b->Offset) out.back().second += blockSize_;
    else out.emplace_back(b->Offset, blockSize_);
  }
  if (blocks || HeaderModified()) out.emplace_back(0, kHeaderSize);
}

void TBlobFile::FlushBlocks() {
  std::vector<TBlock*> dirty;
  for (const auto& b : cache_)
    if (b->Dirty && b->Pins == 0) dirty.push_back(b.get());
  if (dirty.empty()) return;
  size_t i = 0;
  while (i < dirty.size()) {
    // Writes that go out at once (not held by the owner for its commit) take up to 1 MiB of
    // neighbouring blocks: on a write-through file every write waits for the device.
    const size_t most = owner_ && owner_->HoldsWrites() ? 65535 : size_t{1} << 20;
    size_t j = i + 1;
    while (j < dirty.size() && dirty[j]->Offset == dirty[j - 1]->Offset + blockSize_ &&
           (j - i + 1) * blockSize_ <= most)
      ++j;
    writeBuffer_.assign((j - i) * blockSize_, 0);
    for (size_t k = i; k < j; ++k) StoreBlock(*dirty[k], writeBuffer_.data() + (k - i) * blockSize_);
    {
      TFileAccess access(*this);
      Seek(dirty[i]->Offset);
      Write(writeBuffer_.data(), static_cast<int64_t>(writeBuffer_.size()));
    }
    for (size_t k = i; k < j; ++k) dirty[k]->Dirty = false;
    ++stats_.DiskWrites;
    i = j;
  }
  // A long run's buffer is not kept: every open table with BLOBs would hold one.
  if (writeBuffer_.capacity() > 65536) std::vector<uint8_t>().swap(writeBuffer_);
  std::vector<TBlock*> clean;
  for (TBlock* b : dirty)
    if (b->Parked) clean.push_back(b);
  if (!clean.empty()) Unpark(std::move(clean));
  if (owner_) owner_->MarkFilesWritten();
}

void TBlobFile::DropBlocks() {
  for (auto& b : cache_) {
    b->Newer = b->Older = nullptr;
    b->Parked = false;
    if (b->Pins > 0) {
      b->Detached = true;
      detached_.push_back(std::move(b));
    } else {
      spares_.push_back(std::move(b));
    }
  }
  cache_.clear();
  newest_ = oldest_ = parkedNewest_ = parkedOldest_ = nullptr;
  if (spares_.size() > 4095) spares_.resize(4095);
}

void TBlobFile::Trim() {
  const size_t normal = NormalCapacity();
  for (size_t i = cache_.size(); i > 0 && cache_.size() > normal; --i) {
    TBlock* b = cache_[i - 1].get();
    if (b->Dirty || b->Pins > 0) continue;  // changed blocks are never dropped
    Unlink(b);
    spares_.push_back(std::move(cache_[i - 1]));
    cache_.erase(cache_.begin() + static_cast<ptrdiff_t>(i - 1));
  }
  capacity_ = std::max(normal, cache_.size());
  if (spares_.size() > 4095) spares_.resize(4095);
}

// ---- values ----

bool TBlobFile::ReadValue(uint32_t first, uint32_t owner, std::vector<uint8_t>& out) {
  out.clear();
  if (first == 0) return true;
  const uint32_t per = DataPerBlock();
  TBlock* b = FetchBlock(first, 1, true);
  if (!b) return false;
  if (b->Owner != owner) {
    ReleaseBlock(b);
    RaiseCode(kErrRecordChanged);
  }
  const uint64_t total = b->Total;
  // A size the file cannot hold is damage, not an allocation.
  const uint64_t blocksInFile = (static_cast<uint64_t>(EndOffset()) - kHeaderSize) / blockSize_;
  if (total > blocksInFile * per) {
    ReleaseBlock(b);
    RaiseCode(kErrBlobBuffersCorrupt);
  }
  // Grow as blocks arrive: a damaged total never allocates more than the chain really holds.
  out.reserve(static_cast<size_t>(std::min<uint64_t>(total, uint64_t{1} << 20)));
  std::unordered_set<uint32_t> seen;
  uint64_t copied = 0;
  for (;;) {
    // Copy and release at once; a block met twice is a loop.
    if (!seen.insert(b->Offset).second) {
      ReleaseBlock(b);
      out.clear();
      RaiseCode(kErrBlobBuffersCorrupt);
    }
    const uint64_t n = std::min<uint64_t>(per, total - copied);
    out.insert(out.end(), b->Data.begin(), b->Data.begin() + static_cast<ptrdiff_t>(n));
    copied += n;
    const uint32_t next = b->Next;
    ReleaseBlock(b);
    if (copied == total) return true;
    if (next == 0) {
      out.clear();
      RaiseCode(kErrEndOfBlob);
    }
    if (!IsBlockOffset(next)) {
      out.clear();
      RaiseCode(kErrBlobBuffersCorrupt);
    }
    const uint64_t remaining = (total - copied + per - 1) / per;
    b = FetchBlock(next, static_cast<uint32_t>(std::min<uint64_t>(remaining, 0xFFFFFFFF)), true);
    if (!b) {
      out.clear();
      return false;
    }
    if (b->Owner != owner) {
      ReleaseBlock(b);
      out.clear();
      RaiseCode(kErrRecordChanged);
    }
  }
}

uint32_t TBlobFile::WriteValue(uint32_t first, uint32_t owner, const uint8_t* data, uint64_t size) {
  if (size == 0) {
    if (first != 0) FreeChain(first, owner, false);
    return 0;
  }
  if (size > 0xFFFFFFFFull) RaiseEngineError(kErrInvalidBlobLength, FileName());
  const uint32_t per = DataPerBlock();
  TBlock* b = nullptr;
  if (first != 0) {
    b = FetchBlock(first, static_cast<uint32_t>((size + per - 1) / per), true);
    if (!b) RaiseCode(kErrBlobBuffersCorrupt);
  } else {
    b = NewBlock();
    first = b->Offset;
  }
  std::unordered_set<uint32_t> seen{b->Offset};
  b->Prev = 0;
  b->Owner = owner;
  b->Total = static_cast<uint32_t>(size);
  uint64_t written = 0;
  for (;;) {
    const uint64_t n = std::min<uint64_t>(per, size - written);
    std::memcpy(b->Data.data(), data + written, n);
    if (n < per) std::fill(b->Data.begin() + static_cast<ptrdiff_t>(n), b->Data.end(), 0);
    b->Used = static_cast<uint16_t>(n);
    b->Dirty = true;
    written += n;
    if (written == size) break;
    // The old chain's next block, or a new one at its end.
    TBlock* nb = nullptr;
    const uint32_t oldNext = b->Next;
    if (oldNext != 0 && IsBlockOffset(oldNext) && seen.insert(oldNext).second) {
      nb = FetchBlock(oldNext, static_cast<uint32_t>((size - written + per - 1) / per), true);
      if (!nb) {
        ReleaseBlock(b);
        RaiseCode(kErrBlobBuffersCorrupt);
      }
    } else {
      if (oldNext != 0) {  // damaged old chain: leave the rest where it is
        ReleaseBlock(b);
        RaiseCode(kErrBlobBuffersCorrupt);
      }
      nb = NewBlock();
      seen.insert(nb->Offset);
    }
    b->Next = nb->Offset;
    nb->Prev = b->Offset;
    nb->Owner = owner;
    nb->Total = 0;
    nb->Dirty = true;
    ReleaseBlock(b);
    b = nb;
  }
  const uint32_t rest = b->Next;
  b->Next = 0;
  ReleaseBlock(b);
  if (rest != 0) {
    if (!IsBlockOffset(rest) || seen.count(rest)) RaiseCode(kErrBlobBuffersCorrupt);
    FreeChain(rest, 0, false);
  }
  return first;
}

void TBlobFile::FreeChain(uint32_t first, uint32_t owner, bool checkOwner) {
  // The whole chain is checked before the first block is freed: damage frees nothing.
  WalkChain(first, owner, 0, checkOwner, false, kChainNormal, nullptr);
  WalkChain(first, owner, 0, checkOwner, true, kChainNormal, nullptr);
}

bool TBlobFile::WalkChain(uint32_t first, uint32_t owner, uint32_t recordNumber, bool checkOwner, bool freeBlocks,
                          TChainMode mode, const std::function<void(const std::string&)>& report) {
  auto damage = [&](const char* what) {
    if (mode == kChainNormal) RaiseCode(kErrBlobBuffersCorrupt);
    if (report)
      report(std::string(what) + " in BLOB file for physical record # " + std::to_string(recordNumber) + ", " +
             (mode == kChainRepair ? "error fixed" : "error not fixed"));
  };
  if (first == 0) return true;
  if (!IsBlockOffset(first)) {
    damage("Invalid BLOB offset");
    return false;
  }
  std::unordered_set<uint32_t> seen;
  TBlock* b = FetchBlock(first, 1, false);
  if (!b) RaiseCode(kErrBlobBuffersCorrupt);
  if (checkOwner && b->Owner != owner) {
    ReleaseBlock(b);
    damage("Invalid BLOB offset");
    return false;
  }
  const uint32_t per = DataPerBlock();
  // The blocks the value should still have after the current one: the read-ahead of each fetch.
  const uint64_t chainBlocks = (static_cast<uint64_t>(b->Total) + per - 1) / per;
  uint64_t kept = 1;
  bool cut = false;
  seen.insert(first);
  for (;;) {
    const uint32_t next = b->Next;
    const char* problem = nullptr;
    TBlock* nb = nullptr;
    if (next != 0) {
      if (!IsBlockOffset(next)) {
        problem = "Invalid intra-block pointer";
      } else if (seen.count(next)) {
        problem = "Recursive intra-block pointer";
      } else {
        const uint64_t remaining = chainBlocks > kept ? chainBlocks - kept : 1;
        nb = FetchBlock(next, static_cast<uint32_t>(std::min<uint64_t>(remaining, 0xFFFFFFFF)), remaining > 1);
        if (!nb) {
          ReleaseBlock(b);
          RaiseCode(kErrBlobBuffersCorrupt);
        }
        if (checkOwner && nb->Owner != owner) {
          problem = "Invalid intra-block pointer";
          ReleaseBlock(nb);
          nb = nullptr;
        }
      }
    }
    if (problem) {
      try {
        damage(problem);
      } catch (...) {
        ReleaseBlock(b);
        throw;
      }
      if (mode == kChainRepair) {
        b->Next = 0;
        b->Dirty = true;
        SetModified();
        cut = true;
      }
    }
    if (freeBlocks) FreeBlock(b);
    ReleaseBlock(b);
    if (!nb) break;
    seen.insert(nb->Offset);
    ++kept;
    b = nb;
  }
  // A value cut short keeps the bytes its remaining blocks hold, so that it reads back whole.
  if (cut && !freeBlocks) {
    TBlock* head = FetchBlock(first, 1, false);
    if (!head) RaiseCode(kErrBlobBuffersCorrupt);
    const uint64_t room = kept * per;
    if (head->Total > room) {
      head->Total = static_cast<uint32_t>(room);
      head->Dirty = true;
      SetModified();
    }
    ReleaseBlock(head);
  }
  return true;
}

bool TBlobFile::LockRegion(const std::vector<uint16_t>& ownIds) { return LockFileRegion(*this, ownIds, lockRetries_); }
bool TBlobFile::UnlockRegion(const std::vector<uint16_t>& ownIds) { return UnlockFileRegion(*this, ownIds); }
bool TBlobFile::LockUserByte(uint16_t* id, const std::vector<uint16_t>& avoid) {
  return LockFileUserByte(*this, id, lockRetries_, avoid);
}
bool TBlobFile::UnlockUserByte(uint16_t id) { return UnlockFileUserByte(*this, id); }

}  // namespace tovenmarsh::engine
