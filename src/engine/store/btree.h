// B+-tree algorithms of one index over a page store.
//
// Node entries carry the number of records beneath them, so a key's sequence number and the
// size of the index follow from one descent. Insert splits full pages (the new page takes the
// last n/2 entries and is linked after the old one); Delete merges an underfull page into a
// sibling when both fit in one page and otherwise shares their entries; compressed leaves are
// only removed when empty. The tree touches pages only through TPageStore, which the index
// file's page cache implements (and a plain in-memory store in the tests).
//
// Contract: keys are KeySize bytes and compared with the index's TKeyOrder. Mutations run
// under the table's writer or transaction lock, where the store never answers "retry"; a
// read-only descent may answer kRetry, after which the caller resynchronises and starts again.
// Damage met on the way (a page of the wrong type or level, an empty page in the tree, a loop)
// is reported through the store's RaiseCorrupt and never followed.
#pragma once

#include <cstdint>
#include <new>
#include <string>
#include <vector>

#include "engine/store/index_page.h"

namespace tovenmarsh::engine {

// Pages of one index, as the tree sees them.
class TPageStore {
 public:
  virtual ~TPageStore() = default;
  // Pinned page at a page offset, or nullptr for "retry" (the table changed on disk). A bad
  // offset or a damaged page raises the corruption error.
  virtual TPage* FetchPage(uint32_t offset) = 0;
  // The same for a leaf that a walk along the leaves passes once (a scan): the store may keep
  // it out of caches that pages come back to.
  virtual TPage* FetchPassing(uint32_t offset) { return FetchPage(offset); }
  virtual void ReleasePage(TPage* page) = 0;
  // A pinned, empty page shaped for the index (from its free list or appended).
  virtual TPage* NewPage() = 0;
  // Puts a pinned page on the index's free list (the caller still releases its pin).
  virtual void FreePage(TPage* page) = 0;
  virtual void MarkDirty(TPage* page) = 0;
  virtual uint32_t RootOffset() = 0;
  virtual void SetRootOffset(uint32_t offset) = 0;
  virtual const TIndexShape& Shape() = 0;
  // Raises "Index page buffers corrupt" for the table; never returns.
  [[noreturn]] virtual void RaiseCorrupt() = 0;
};

// A pin held on a page; released when the holder goes out of scope.
class TPageRef {
 public:
  TPageRef() = default;
  TPageRef(TPageStore* store, TPage* page) : store_(store), page_(page) {}
  TPageRef(TPageRef&& other) noexcept : store_(other.store_), page_(other.page_) { other.page_ = nullptr; }
  TPageRef& operator=(TPageRef&& other) noexcept {
    if (this != &other) {
      Reset();
      store_ = other.store_;
      page_ = other.page_;
      other.page_ = nullptr;
    }
    return *this;
  }
  TPageRef(const TPageRef&) = delete;
  TPageRef& operator=(const TPageRef&) = delete;
  ~TPageRef() { Reset(); }

  void Reset() {
    if (page_) store_->ReleasePage(page_);
    page_ = nullptr;
  }
  TPage* get() const { return page_; }
  TPage* operator->() const { return page_; }
  TPage& operator*() const { return *page_; }
  explicit operator bool() const { return page_ != nullptr; }

 private:
  TPageStore* store_ = nullptr;
  TPage* page_ = nullptr;
};

// A position in an index for a cursor: a private copy of the leaf, the entry in it (1-based)
// and the entry's sequence number. At the end (past the last entry) Pos is Leaf.Count() + 1.
struct TTreePosition {
  TPage Leaf;
  int Pos = 0;
  int64_t Sequence = 0;
  bool AtEnd() const { return Leaf.Count() == 0 || Pos > Leaf.Count(); }
  const uint8_t* Key() const { return Leaf.Key(Pos); }
  uint32_t RecordNumber() const { return Leaf.Reference(Pos); }
};

class TBTree {
 public:
  enum TResult { kDone, kNotFound, kRetry };
  // Deeper trees than this are damage (a loop among pages).
  static constexpr int kMaxDepth = 64;

  TBTree(TPageStore& store, TKeyOrder order) : store_(store), order_(order) {}

  // Inserts the key with its record number after any equal keys.
  TResult Insert(const uint8_t* key, uint32_t recordNumber);
  // Removes the entry with exactly this key.
  TResult Delete(const uint8_t* key);
  // Exact search: the record number and 1-based sequence number of the key.
  TResult Find(const uint8_t* key, uint32_t* recordNumber, int64_t* sequence);
  // Sequence number (1-based) of the first key not below `key` (above it with `after`); count + 1
  // when none. Seek's sequence without the copy of the leaf.
  TResult Rank(const uint8_t* key, int64_t* sequence, bool after = false);
  // Record number at a 1-based sequence number (kNotFound beyond the ends).
  TResult AtSequence(int64_t sequence, uint32_t* recordNumber, std::vector<uint8_t>* key);
  // Records in the index (sum of the root's counts).
  TResult RecordCount(int64_t* count);

  // Cursor positioning: the first entry not below the key (above it with `after`), the entry
  // at a sequence number, and single steps along the leaves' sibling links. An empty index, or
  // a key above all, positions at the end; stepping past either end answers kNotFound and
  // leaves the position where it was.
  TResult Seek(const uint8_t* key, bool after, TTreePosition* position);
  TResult SeekSequence(int64_t sequence, TTreePosition* position);
  TResult Next(TTreePosition* position);
  TResult Prior(TTreePosition* position);

  // Walks the whole tree and checks every structural rule: page types and levels, key order
  // inside and across pages, node keys equal to their child's first key, counts equal to the
  // records beneath, sibling links agreeing both ways on every level. Returns the first fault
  // found (empty when sound); fills the page offsets reached and the number of records.
  std::string Verify(std::vector<uint32_t>* pages, int64_t* records);

 private:
  struct TStep {
    TPageRef Page;
    int Pos = 0;  // entry of the child taken (nodes) or of the key (leaf)
  };
  // The steps of one descent, kept inline: an insert or delete allocates nothing for its path,
  // and only the steps pushed are ever constructed or destroyed.
  class TPath {
   public:
    TPath() = default;
    TPath(const TPath&) = delete;
    TPath& operator=(const TPath&) = delete;
    ~TPath() { clear(); }
    // Descend refuses a tree deeper than kMaxDepth before pushing.
    void push_back(TStep&& step) {
      new (&steps_[size_ * sizeof(TStep)]) TStep(std::move(step));
      ++size_;
    }
    void clear() {
      for (size_t i = 0; i < size_; ++i) (*this)[i].~TStep();
      size_ = 0;
    }
    size_t size() const { return size_; }
    TStep& operator[](size_t i) { return *std::launder(reinterpret_cast<TStep*>(&steps_[i * sizeof(TStep)])); }

   private:
    alignas(TStep) unsigned char steps_[kMaxDepth * sizeof(TStep)];
    size_t size_ = 0;
  };

  TPageRef Fetch(uint32_t offset);         // nullptr = retry
  TPageRef FetchOrCorrupt(uint32_t offset);  // during mutations
  // Descends to the leaf for `key`; false on retry. Each node step records its descent
  // position.
  bool Descend(const uint8_t* key, TPath& path);
  void FixFirstKeyUpward(TPath& path, size_t level);
  void SplitUpward(TPath& path, size_t level);
  void Rebalance(TPath& path, size_t level);
  void RemoveFromParent(TPath& path, size_t level);
  void UnlinkAndFree(TPage& page);
  void CheckPageKind(const TPage& page, bool expectLeaf);

  TPageStore& store_;
  TKeyOrder order_;
};

}  // namespace tovenmarsh::engine
