// The word cache: match-bit records of recently used words kept in memory under a budget.
//
// TtaDictionary maps a word to its record (no record marks an omit word) with the ELF hash,
// ordinal equality, move-to-front lookup and growth to twice its size when it holds more than
// three entries per bucket (up to MaxHashSize).
//
// TtxCache promises: every record it hands out is a block of its own of at least the size in
// the record's size field; a record's first 4 bytes hold its stamp (the lookup sequence of its
// last use, negative while it is dirty, i.e. changed and not yet written); a dirty record stays
// dirty until a writer stores it; every block is freed when the cache is destroyed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "fulltext/cl_dictionary.h"
#include "fulltext/tx_base.h"

namespace tovenmarsh::fulltext {

class TtxEngine;
class TtxCache;

class TtaDictionary : public TClDictionary {
 public:
  explicit TtaDictionary(int32_t hashSize);
  static uint32_t ElfHash(std::string_view name, uint32_t hashSize);
  // Adds a new word (54 when it exists) and grows the buckets when they are crowded.
  void Insert(std::string_view name, TClData data);
  // Exists for the cache: the same node and move to the front, but through the ELF hash and
  // ordinal equality directly (while Hash and Equal are this dictionary's own and no OnEqual
  // is set) and without the lock (a cache serves one thread). The build looks up every word of
  // every document here. The word's node, or nullptr.
  TClDictNode* Find(std::string_view name);
  // The node at the front of name's bucket (nullptr when the bucket is empty).
  const TClDictNode* Front(std::string_view name) const { return buckets_[BucketFor(name)].get(); }
  int32_t MaxHashSize = 16380;

 private:
  // ElfHash(name, HashSize()), with the remainder taken by a multiply: the build divides for
  // every lookup and every look-ahead otherwise, and a division waits tens of cycles.
  size_t BucketFor(std::string_view name) const;
  mutable uint64_t reciprocal_ = 0;  // for divisor_; recomputed when the bucket count changes
  mutable uint32_t divisor_ = 0;
};

// A writer handed to Flush: stores or drops one entry. It may release the record (it then sets
// record to nullptr and remove to true); returns false to stop the flush.
using TtxCacheWriter =
    std::function<bool(TtxEngine& engine, TtxCache& cache, const std::string& word, uint8_t*& record, bool& remove)>;

class TtxCache : public TtxBaseCache {
 public:
  static constexpr int64_t kNoStampLimit = INT64_MAX;

  TtxCache();
  ~TtxCache() override;

  // Budget: set in KB (values above 1048575 are bytes), read in KB.
  int64_t MemoryLimit() const { return memoryLimit_ / 1024; }
  void SetMemoryLimit(int64_t value) { memoryLimit_ = value > 1048575 ? value : value * 1024; }
  int64_t MemoryLimitBytes() const { return memoryLimit_; }
  bool AltMemMgr() const { return altMemMgr_; }
  void SetAltMemMgr(bool on);

  // Looks a word up. found is the entry's record as it was (the same as record when that is
  // changed in place; otherwise an older record the caller unpacks and then releases).
  bool GetRecord(const std::string& word, uint8_t*& found, bool create, int64_t stampLimit, uint8_t*& record);
  // The build's lookup: adds bit to the word's document list (a new word gets a list), unless
  // the word is an omit word or was used after stampLimit. A list record keeps the bits of a
  // word in ascending order with their gaps in a few bytes each, so a word costs memory by its
  // documents rather than by the range, and adding a document costs the same at any range.
  // Answers apNotList when the word holds another record or bit is not above the list's last
  // bit; the caller then goes through GetRecord, which turns a list into a raw record.
  enum TAppendResult { apAdded, apSkipped, apNotList };
  // A hint that word is looked up soon: starts loading its bucket's first entry, or (record)
  // the record of that entry when it is the word's. Changes nothing.
  void Prefetch(std::string_view word, bool record) const;
  TAppendResult AppendBit(const std::string& word, int64_t stampLimit, int32_t bit);
  // List records: stamp, count (> 0), minus the bytes in use, last bit, capacity, then the
  // gaps as 7-bit groups (the first gap counted from -1).
  static bool IsListRecord(const uint8_t* record);
  // The list's bits, ascending, into bits (cleared first).
  static void ListBits(const uint8_t* record, std::vector<int32_t>& bits);
  void AddEntry(const std::string& word, int32_t* stamp);
  void Remove(const std::string& word);
  // A zero-filled block whose size field is size.
  uint8_t* Allocate(size_t size);
  void Release(uint8_t* record);
  // Bytes that may be read from a record (the absolute value of its size field).
  static size_t RecordBytes(const uint8_t* record);
  static bool IsDirty(const uint8_t* record);
  static void MarkDirty(uint8_t* record, bool dirty);

  void Flush(bool freeAll, bool reset, const TtxCacheWriter& writer, TtxEngine& engine);
  // The memory rule; update and search engines (writeOld) write and drop old records, a build
  // raises its budget instead.
  void Trim(TtxEngine& engine, bool writeOld);
  int32_t Count() const;
  int32_t DirtyCount();
  void ReleaseFree();

  int64_t Sequence() const { return sequence_; }
  int64_t BytesInUse() const { return inUse_; }
  int64_t BytesFree() const { return free_; }
  int64_t Peak() const { return peak_; }
  size_t RecordSize() const { return recordSize_; }
  void SetRecordSize(size_t size) { recordSize_ = size; }
  int32_t HashSize() const { return dictionary_.HashSize(); }

  void StateEntered(TtxEngine& engine, int bit) override;
  void StateLeft(TtxEngine& engine, int bit) override;

 private:
  int32_t NextStamp(const uint8_t* previous);
  // Replaces a list record by a raw record of RecordSize with the same bits and stamp.
  uint8_t* ListToRaw(const std::string& word, uint8_t* list);
  void ClearAll();

  TtaDictionary dictionary_{1000};
  int64_t memoryLimit_ = 1000 * 1024;
  bool altMemMgr_ = true;
  int64_t sequence_ = 0;
  int64_t oldMark_ = 0;
  int64_t flushMark_ = 0;
  int64_t inUse_ = 0;
  int64_t free_ = 0;
  int64_t peak_ = 0;
  size_t recordSize_ = 0;
  struct TBlock {
    size_t size;
    std::unique_ptr<uint8_t[]> memory;
  };
  std::unordered_map<uint8_t*, TBlock> live_;
  std::map<size_t, std::vector<std::unique_ptr<uint8_t[]>>> freeLists_;
};

// The engines' writers (the words link must be a row link; 30490 otherwise).
bool CacheWriteNew(TtxEngine& engine, TtxCache& cache, const std::string& word, uint8_t*& record, bool& remove);
bool CacheWriteDirty(TtxEngine& engine, TtxCache& cache, const std::string& word, uint8_t*& record, bool& remove);
bool CacheWriteDirtyRelease(TtxEngine& engine, TtxCache& cache, const std::string& word, uint8_t*& record,
                            bool& remove);

}  // namespace tovenmarsh::fulltext
