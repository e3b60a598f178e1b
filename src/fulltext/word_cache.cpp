// Word cache: dictionary, stamps, budget with aging, free-list allocator and the writers.
#include "fulltext/word_cache.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

#include "fulltext/cl_errors.h"
#include "fulltext/match_bits.h"
#include "fulltext/message_pump.h"
#include "fulltext/tx_bits.h"
#include "fulltext/tx_engine.h"
#include "fulltext/tx_links.h"
#include "fulltext/tx_utils.h"

namespace tovenmarsh::fulltext {
namespace {

// The list record's fields after the stamp, count and size.
constexpr size_t kListLastAt = 12;
constexpr size_t kListCapacityAt = 16;
constexpr size_t kListDataAt = 20;
constexpr size_t kListFirstCapacity = 32;

size_t Rounded(size_t size) { return static_cast<size_t>(RoundUp16(static_cast<int64_t>(size == 0 ? 1 : size))); }

TtxWordsRowLink& RowLinkOf(TtxEngine& engine) {
  auto* link = dynamic_cast<TtxWordsRowLink*>(engine.WordsLink());
  if (link == nullptr) RaiseTextIndex(txeWordsLinkNotAssigned);
  return *link;
}

// Packs a record (raw ones through the bits object) into the engine's work buffer; returns the
// packed size.
int32_t PackIntoWork(TtxEngine& engine, uint8_t* record) {
  const size_t need = static_cast<size_t>(engine.Bits().MaxPackedSize());
  const size_t have = TtxCache::RecordBytes(record);
  if (TtxCache::IsListRecord(record)) {
    std::vector<int32_t> bits;
    TtxCache::ListBits(record, bits);
    if (engine.WorkBufferSize() < need) engine.SetWorkBufferSize(need);
    const int32_t size = engine.Bits().PackList(bits.data(), static_cast<int32_t>(bits.size()), engine.WorkBuffer(),
                                                engine.WorkBufferSize());
    PutRecordInt(engine.WorkBuffer(), kRecStampAt, GetRecordInt(record, kRecStampAt));
    return size;
  }
  if (IsPackedRecord(record, have)) {
    if (engine.WorkBufferSize() < have) engine.SetWorkBufferSize(have);
    std::memcpy(engine.WorkBuffer(), record, have);
    return static_cast<int32_t>(have);
  }
  if (engine.WorkBufferSize() < need) engine.SetWorkBufferSize(need);
  return engine.Bits().Pack(record, have, engine.WorkBuffer(), engine.WorkBufferSize());
}

// Stores the packed work buffer in the word's row (locating it first when asked).
void WriteRow(TtxEngine& engine, const std::string& word, int32_t size, bool locate) {
  TtxWordsRowLink& link = RowLinkOf(engine);
  if (locate && link.Locate(word, engine.CurrentSegment(), false)) {
    link.Edit();
  } else {
    link.Insert();
    link.SetLike(LikeKey(word));
    link.SetSegment(engine.CurrentSegment());
    link.SetWord(word);
  }
  link.WriteBits(engine.WorkBuffer(), static_cast<size_t>(size));
  link.Post();
}

// The ELF hash of a name, before it is reduced to a bucket.
uint32_t ElfHashValue(std::string_view name) {
  uint32_t h = 0;
  for (unsigned char c : name) {
    h = (h << 4) + c;
    const uint32_t g = h & 0xF0000000u;
    if (g != 0) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

}  // namespace

TtaDictionary::TtaDictionary(int32_t hashSize) : TClDictionary(hashSize) {
  Hash = [](std::string_view name, uint32_t size) { return ElfHash(name, size); };
  Equal = [](std::string_view a, std::string_view b) { return a == b ? 0 : (a < b ? -1 : 1); };
}

uint32_t TtaDictionary::ElfHash(std::string_view name, uint32_t hashSize) {
  const uint32_t h = ElfHashValue(name);
  return hashSize == 0 ? 0 : h % hashSize;
}

TClDictNode* TtaDictionary::Find(std::string_view name) {
  if (OnEqual) {
    Found found = Lookup(name);
    if (found.link == nullptr) return nullptr;
    MoveToFront(found);
    return found.link->get();
  }
  std::unique_ptr<TClDictNode>& front = buckets_[BucketFor(name)];
  for (std::unique_ptr<TClDictNode>* link = &front; *link; link = &(*link)->Next) {
    if ((*link)->Name != name) continue;
    if (link != &front) {
      std::unique_ptr<TClDictNode> node = std::move(*link);
      *link = std::move(node->Next);
      node->Next = std::move(front);
      front = std::move(node);
    }
    return front.get();
  }
  return nullptr;
}

size_t TtaDictionary::BucketFor(std::string_view name) const {
  const uint32_t h = ElfHashValue(name);
  const auto size = static_cast<uint32_t>(buckets_.size());
  if (size != divisor_) {
    divisor_ = size;
    reciprocal_ = UINT64_MAX / size + 1;
  }
  // The exact remainder of a 32-bit value by a 32-bit divisor (Lemire's fastmod).
  const uint64_t low = reciprocal_ * h;
  return static_cast<size_t>((static_cast<unsigned __int128>(low) * size) >> 64);
}

void TtaDictionary::Insert(std::string_view name, TClData data) {
  Add(name, data);
  const int64_t size = HashSize();
  if (Count() > 3 * size && size < MaxHashSize) {
    const int64_t grown = size * 2 > MaxHashSize ? MaxHashSize : size * 2;
    SetHashSize(static_cast<int32_t>(grown));
  }
}

TtxCache::TtxCache() {
  stateMask_ |= StateOf(esCollecting);
  dictionary_.DisposeData = [this](TClData data) {
    if (data != nullptr) Release(static_cast<uint8_t*>(data));
  };
}

TtxCache::~TtxCache() { ClearAll(); }

void TtxCache::ClearAll() {
  dictionary_.Clear();
  live_.clear();
  freeLists_.clear();
  inUse_ = free_ = 0;
}

void TtxCache::SetAltMemMgr(bool on) {
  if (!on && altMemMgr_) ReleaseFree();
  altMemMgr_ = on;
}

size_t TtxCache::RecordBytes(const uint8_t* record) {
  const int64_t size = GetRecordInt(record, kRecSizeAt);
  return static_cast<size_t>(size < 0 ? -size : size);
}

bool TtxCache::IsDirty(const uint8_t* record) { return GetRecordInt(record, kRecStampAt) < 0; }

void TtxCache::MarkDirty(uint8_t* record, bool dirty) {
  const int32_t stamp = GetRecordInt(record, kRecStampAt);
  const int32_t positive = stamp < 0 ? -stamp : stamp;
  PutRecordInt(record, kRecStampAt, dirty ? -positive : positive);
}

int32_t TtxCache::NextStamp(const uint8_t* previous) {
  ++sequence_;
  if (sequence_ > INT32_MAX) sequence_ = INT32_MAX;  // stamps are 32-bit; aging stops there
  const auto stamp = static_cast<int32_t>(sequence_);
  // A dirty record stays dirty when it is used again: only a writer may clean it.
  return previous != nullptr && IsDirty(previous) ? -stamp : stamp;
}

uint8_t* TtxCache::Allocate(size_t size) {
  const size_t rounded = Rounded(size);
  std::unique_ptr<uint8_t[]> block;
  if (altMemMgr_) {
    auto it = freeLists_.find(rounded);
    if (it != freeLists_.end() && !it->second.empty()) {
      block = std::move(it->second.back());
      it->second.pop_back();
      free_ -= static_cast<int64_t>(rounded);
      std::memset(block.get(), 0, rounded);
    }
  }
  if (!block) block = std::make_unique<uint8_t[]>(rounded);
  uint8_t* record = block.get();
  live_.emplace(record, TBlock{rounded, std::move(block)});
  inUse_ += static_cast<int64_t>(rounded);
  if (inUse_ + free_ > peak_) peak_ = inUse_ + free_;
  PutRecordInt(record, kRecSizeAt, static_cast<int32_t>(size));
  return record;
}

void TtxCache::Release(uint8_t* record) {
  auto it = live_.find(record);
  if (it == live_.end()) return;  // not ours: never free a foreign block
  // The block's real size is what was allocated, whatever its size field says now.
  const size_t rounded = it->second.size;
  std::unique_ptr<uint8_t[]> block = std::move(it->second.memory);
  live_.erase(it);
  const auto allocated = static_cast<int64_t>(rounded);
  inUse_ -= allocated;
  if (altMemMgr_) {
    freeLists_[rounded].push_back(std::move(block));
    free_ += allocated;
  }
}

void TtxCache::ReleaseFree() {
  for (auto& [size, list] : freeLists_) {
    list.clear();
    ProcessMessages();
  }
  freeLists_.clear();
  free_ = 0;
}

bool TtxCache::GetRecord(const std::string& word, uint8_t*& found, bool create, int64_t stampLimit,
                         uint8_t*& record) {
  found = nullptr;
  record = nullptr;
  if (TClDictNode* node = dictionary_.Find(word)) {
    ++Found;
    auto* current = static_cast<uint8_t*>(node->Data);
    if (current == nullptr) {  // omit word
      ++sequence_;
      return true;
    }
    const int64_t stamp = std::abs(int64_t{GetRecordInt(current, kRecStampAt)});
    if (stamp > stampLimit) {
      ++sequence_;
      return true;
    }
    if (IsListRecord(current)) current = ListToRaw(word, current);
    const size_t bytes = RecordBytes(current);
    if (!IsPackedRecord(current, bytes) && bytes == recordSize_) {
      found = record = current;  // changed in place
    } else {
      found = current;
      record = Allocate(recordSize_);
      dictionary_.Update(word, record);
    }
    PutRecordInt(record, kRecStampAt, NextStamp(current));
    return true;
  }
  if (create) {
    record = Allocate(recordSize_);
    dictionary_.Insert(word, record);
    ++Inserted;
    PutRecordInt(record, kRecStampAt, NextStamp(nullptr));
  } else {
    ++sequence_;
  }
  return false;
}

TtxCache::TAppendResult TtxCache::AppendBit(const std::string& word, int64_t stampLimit, int32_t bit) {
  uint8_t* record = nullptr;
  int32_t stamp = 0;
  if (TClDictNode* node = dictionary_.Find(word)) {
    auto* current = static_cast<uint8_t*>(node->Data);
    if (current != nullptr && std::abs(int64_t{GetRecordInt(current, kRecStampAt)}) <= stampLimit &&
        (!IsListRecord(current) || bit <= GetRecordInt(current, kListLastAt)))
      return apNotList;  // GetRecord counts this lookup
    ++Found;
    if (current == nullptr || std::abs(int64_t{GetRecordInt(current, kRecStampAt)}) > stampLimit) {
      ++sequence_;
      return apSkipped;
    }
    stamp = NextStamp(current);
    record = current;
    const auto used = static_cast<size_t>(-int64_t{GetRecordInt(current, kRecSizeAt)});
    const auto capacity = static_cast<size_t>(GetRecordInt(current, kListCapacityAt));
    if (used + 5 > capacity) {
      const size_t grown = capacity * 2;
      record = Allocate(grown);
      std::memcpy(record, current, used);
      PutRecordInt(record, kListCapacityAt, static_cast<int32_t>(grown));
      node->Data = record;
      Release(current);
    }
  } else {
    record = Allocate(kListFirstCapacity);
    dictionary_.Insert(word, record);
    ++Inserted;
    stamp = NextStamp(nullptr);
    PutRecordInt(record, kRecCountAt, 0);
    PutRecordInt(record, kRecSizeAt, -static_cast<int32_t>(kListDataAt));
    PutRecordInt(record, kListLastAt, -1);
    PutRecordInt(record, kListCapacityAt, static_cast<int32_t>(kListFirstCapacity));
  }
  auto at = static_cast<size_t>(-int64_t{GetRecordInt(record, kRecSizeAt)});
  auto gap = static_cast<uint32_t>(int64_t{bit} - GetRecordInt(record, kListLastAt));
  while (gap >= 0x80) {
    record[at++] = static_cast<uint8_t>(gap | 0x80);
    gap >>= 7;
  }
  record[at++] = static_cast<uint8_t>(gap);
  PutRecordInt(record, kRecCountAt, GetRecordInt(record, kRecCountAt) + 1);
  PutRecordInt(record, kRecSizeAt, -static_cast<int32_t>(at));
  PutRecordInt(record, kListLastAt, bit);
  PutRecordInt(record, kRecStampAt, stamp);
  return apAdded;
}

void TtxCache::Prefetch(std::string_view word, bool record) const {
  const TClDictNode* node = dictionary_.Front(word);
  if (node == nullptr) return;
  if (!record) {
    __builtin_prefetch(node);
    return;
  }
  // Another word's record at worst: a wasted load, never a wrong answer.
  if (node->Data != nullptr) __builtin_prefetch(node->Data);
}

bool TtxCache::IsListRecord(const uint8_t* record) {
  return GetRecordInt(record, kRecCountAt) > 0 && GetRecordInt(record, kRecSizeAt) < 0;
}

void TtxCache::ListBits(const uint8_t* record, std::vector<int32_t>& bits) {
  bits.clear();
  const auto used = static_cast<size_t>(-int64_t{GetRecordInt(record, kRecSizeAt)});
  bits.reserve(static_cast<size_t>(GetRecordInt(record, kRecCountAt)));
  int64_t bit = -1;
  for (size_t at = kListDataAt; at < used;) {
    uint32_t gap = 0;
    for (int shift = 0; at < used; shift += 7) {
      const uint8_t byte = record[at++];
      gap |= static_cast<uint32_t>(byte & 0x7F) << shift;
      if ((byte & 0x80) == 0) break;
    }
    bit += gap;
    bits.push_back(static_cast<int32_t>(bit));
  }
}

uint8_t* TtxCache::ListToRaw(const std::string& word, uint8_t* list) {
  std::vector<int32_t> bits;
  ListBits(list, bits);
  const int64_t room = (static_cast<int64_t>(recordSize_) - static_cast<int64_t>(kRawBitsAt)) * 8;
  if (!bits.empty() && int64_t{bits.back()} >= room) RaiseTextIndex(txeDecompressBufferTooSmall);
  uint8_t* raw = Allocate(recordSize_);
  for (const int32_t bit : bits) raw[kRawBitsAt + static_cast<size_t>(bit) / 8] |= static_cast<uint8_t>(1u << (bit % 8));
  PutRecordInt(raw, kRecCountAt, static_cast<int32_t>(bits.size()));
  PutRecordInt(raw, kRecStampAt, GetRecordInt(list, kRecStampAt));
  dictionary_.Update(word, raw);
  Release(list);
  return raw;
}

void TtxCache::AddEntry(const std::string& word, int32_t* stamp) {
  dictionary_.Insert(word, nullptr);
  if (stamp != nullptr) *stamp = NextStamp(nullptr);
}

void TtxCache::Remove(const std::string& word) {
  TClData data = nullptr;
  if (!dictionary_.Exists(word, data)) return;
  dictionary_.Delete(word);  // releases the record
  ++Removed;
}

int32_t TtxCache::Count() const { return const_cast<TtaDictionary&>(dictionary_).Count(); }

int32_t TtxCache::DirtyCount() {
  int32_t dirty = 0;
  dictionary_.Iterate(
      [&dirty](TClDictionary&, TClDictNode& node, void*) {
        if (node.Data != nullptr && IsDirty(static_cast<uint8_t*>(node.Data))) ++dirty;
        return true;
      },
      nullptr);
  return dirty;
}

void TtxCache::Flush(bool freeAll, bool reset, const TtxCacheWriter& writer, TtxEngine& engine) {
  std::vector<std::string> removed;
  auto finish = [&]() {
    for (const std::string& word : removed) {
      TClData data = nullptr;
      if (dictionary_.Exists(word, data)) dictionary_.Delete(word);
    }
  };
  try {
    dictionary_.Iterate(
        [&](TClDictionary&, TClDictNode& node, void*) {
          auto* record = static_cast<uint8_t*>(node.Data);
          bool remove = false;
          const bool go = writer ? writer(engine, *this, node.Name, record, remove) : true;
          node.Data = record;
          if (remove) removed.push_back(node.Name);
          return go;
        },
        nullptr);
  } catch (...) {
    finish();
    throw;
  }
  finish();
  if (freeAll && !reset) {
    // A released record's entry goes too: an entry without a record would read as an omit word.
    std::vector<std::string> words;
    dictionary_.Iterate(
        [&words](TClDictionary&, TClDictNode& node, void*) {
          if (node.Data != nullptr) words.push_back(node.Name);
          return true;
        },
        nullptr);
    for (const std::string& word : words) dictionary_.Delete(word);  // releases the record
  }
  if (reset) {
    dictionary_.Clear();
    ReleaseFree();
    sequence_ = oldMark_ = flushMark_ = 0;
  }
}

void TtxCache::Trim(TtxEngine& engine, bool writeOld) {
  if (memoryLimit_ <= 0 || inUse_ <= memoryLimit_) return;
  oldMark_ += (sequence_ - oldMark_) / 2;
  const int64_t before = inUse_;
  const int64_t mark = oldMark_;
  const bool collecting = (engine.State() & StateOf(esCollecting)) != 0;
  dictionary_.Iterate(
      [&](TClDictionary&, TClDictNode& node, void*) {
        auto* record = static_cast<uint8_t*>(node.Data);
        if (record == nullptr) return true;
        const size_t bytes = RecordBytes(record);
        if (IsPackedRecord(record, bytes) || std::abs(int64_t{GetRecordInt(record, kRecStampAt)}) > mark) return true;
        // A build's lists stay: they grow with their documents only, and packing them would
        // bring back the unpacking on the word's next document.
        if (collecting && IsListRecord(record)) return true;
        const int32_t packed = PackIntoWork(engine, record);
        uint8_t* smaller = Allocate(static_cast<size_t>(packed));
        std::memcpy(smaller, engine.WorkBuffer(), static_cast<size_t>(packed));
        PutRecordInt(smaller, kRecStampAt, GetRecordInt(record, kRecStampAt));
        Release(record);
        node.Data = smaller;
        return true;
      },
      nullptr);
  if (collecting) {
    if (before - inUse_ < 1000000) memoryLimit_ += 1000000;
    return;
  }
  const int64_t c = flushMark_;
  if (writeOld && static_cast<double>(oldMark_ - c) > static_cast<double>(sequence_ - c) * 0.75) {
    flushMark_ = std::llround(0.25 * static_cast<double>(sequence_ - c) + static_cast<double>(c));
    const int64_t flushMark = flushMark_;
    Flush(false, false,
          [flushMark](TtxEngine& e, TtxCache& cache, const std::string& word, uint8_t*& record, bool& remove) {
            if (record == nullptr) return true;
            if (std::abs(int64_t{GetRecordInt(record, kRecStampAt)}) > flushMark) return true;
            CacheWriteDirty(e, cache, word, record, remove);
            cache.Release(record);
            record = nullptr;
            remove = true;
            return true;
          },
          engine);
  }
}

void TtxCache::StateEntered(TtxEngine& engine, int bit) {
  if (bit == esBuilding) {
    dictionary_.MaxHashSize = 50000;
    dictionary_.SetHashSize(10000);
  } else if (bit == esUpdating) {
    dictionary_.MaxHashSize = 50000;
    if (dictionary_.Count() == 0) dictionary_.SetHashSize(5000);
  }
  if (bit == esBuilding || bit == esUpdating || bit == esSearching)
    recordSize_ = static_cast<size_t>(engine.Bits().RawSize());
}

void TtxCache::StateLeft(TtxEngine& /*engine*/, int bit) {
  if (bit == esCollecting) ReleaseFree();
}

bool CacheWriteNew(TtxEngine& engine, TtxCache& cache, const std::string& word, uint8_t*& record, bool& remove) {
  if (record == nullptr) return true;  // omit word
  const bool skip = (engine.State() & StateOf(esWriting)) != 0 && engine.Aborted();
  if (!skip) {
    const int32_t size = PackIntoWork(engine, record);
    WriteRow(engine, word, size, false);
  }
  if ((engine.State() & StateOf(esBuilding)) != 0) {
    cache.Release(record);
    record = nullptr;
    remove = true;
  }
  return true;
}

bool CacheWriteDirty(TtxEngine& engine, TtxCache& /*cache*/, const std::string& word, uint8_t*& record,
                     bool& /*remove*/) {
  if (record == nullptr || !TtxCache::IsDirty(record)) return true;
  const int32_t size = PackIntoWork(engine, record);
  WriteRow(engine, word, size, true);
  TtxCache::MarkDirty(record, false);
  return true;
}

bool CacheWriteDirtyRelease(TtxEngine& engine, TtxCache& cache, const std::string& word, uint8_t*& record,
                            bool& remove) {
  CacheWriteDirty(engine, cache, word, record, remove);
  if (record != nullptr) {
    cache.Release(record);
    record = nullptr;
    remove = true;
  }
  return true;
}

}  // namespace tovenmarsh::fulltext
