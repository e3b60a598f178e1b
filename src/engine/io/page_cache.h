// The process-wide cache of table-file pages: fixed 4096-byte pieces of disk files (data, index
// and BLOB files alike), shared by every file of the process within one memory budget, evicting
// the least recently used piece first. A read that finds its pieces here makes no system call.
//
// Contract: the cache only stores and hands out bytes; whether a file's pieces still match the
// disk is the file's concern (file_physical.h drops them when the file's header counter moved).
// Only whole pieces are kept. Every call is thread-safe; a file calls in under its own lock, and
// the cache never calls back into a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace tovenmarsh::engine {

class TPageCache {
 public:
  static constexpr int64_t kPieceSize = 4096;
  static constexpr int64_t kDefaultBudget = int64_t{64} << 20;
  // Budgets are clamped to [0, kMaxBudget]; 0 turns the cache off.
  static constexpr int64_t kMaxBudget = int64_t{16} << 30;

  explicit TPageCache(int64_t budget = kDefaultBudget);
  ~TPageCache();
  TPageCache(const TPageCache&) = delete;
  TPageCache& operator=(const TPageCache&) = delete;

  // Memory held by pieces (with their bookkeeping) never exceeds the budget.
  void SetBudget(int64_t bytes);
  int64_t Budget() const;
  bool Enabled() const;
  // Bytes charged for what is held now.
  int64_t Bytes() const;
  size_t Pieces() const;

  // An identity for a new file's pieces.
  uint32_t NewFileId();

  // Copies count bytes at `at` of piece `piece` of the file into `out`: false when not held.
  bool Get(uint32_t file, uint32_t piece, int64_t at, void* out, int64_t count);
  // Keeps a whole piece (kPieceSize bytes), replacing what was held.
  void Put(uint32_t file, uint32_t piece, const void* bytes);
  // Overwrites count bytes at `at` of a held piece (nothing when not held).
  void Update(uint32_t file, uint32_t piece, int64_t at, const void* bytes, int64_t count);
  void DropFile(uint32_t file);

  struct TStats {
    int64_t hits = 0;
    int64_t misses = 0;
    int64_t evictions = 0;
  };
  TStats Stats() const;

  // Charged per piece: its bytes and its bookkeeping.
  static constexpr int64_t kPieceCharge = kPieceSize + 64;

 private:
  struct TPiece {
    uint32_t file = 0;
    uint32_t number = 0;
    TPiece* newer = nullptr;  // recency list
    TPiece* older = nullptr;
    TPiece* nextOfFile = nullptr;  // the file's pieces
    TPiece* prevOfFile = nullptr;
    uint8_t bytes[kPieceSize];
  };
  static uint64_t Key(uint32_t file, uint32_t piece) { return (uint64_t{file} << 32) | piece; }
  // The pieces by key: open addressing in one array (a lookup touches one slot, not a bucket
  // and a node), at most half full. Key 0 marks a free slot (file identities start at 1).
  class TTable {
   public:
    TPiece* Find(uint64_t key) const;
    // `key` must not be held.
    void Insert(uint64_t key, std::unique_ptr<TPiece> piece);
    // The piece held under `key` (which must be held), taken out.
    std::unique_ptr<TPiece> Take(uint64_t key);
    size_t Size() const { return count_; }

   private:
    struct TSlot {
      uint64_t key = 0;
      std::unique_ptr<TPiece> piece;
    };
    size_t Home(uint64_t key) const { return static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> shift_) & mask_; }
    size_t SlotOf(uint64_t key) const;  // the key's slot, or the free slot that ends its run
    void Grow();

    std::vector<TSlot> slots_;
    size_t mask_ = 0;
    int shift_ = 64;
    size_t count_ = 0;
  };
  void Unlink(TPiece* p);
  void PushFront(TPiece* p);
  void Remove(TPiece* p);
  void EvictTo(int64_t budget);

  mutable std::mutex mutex_;
  int64_t budget_;
  TTable pieces_;
  std::unordered_map<uint32_t, TPiece*> perFile_;  // first piece of each file with any
  std::unique_ptr<TPiece> spare_;  // an evicted piece, reused by the next Put
  TPiece* newest_ = nullptr;
  TPiece* oldest_ = nullptr;
  uint32_t nextFileId_ = 1;
  TStats stats_;
};

}  // namespace tovenmarsh::engine
