// One 4096-byte B+-tree page of an index, unpacked in memory.
//
// A TPage holds its entries unpacked (key, reference, record count) whatever their packing on
// disk: nodes (types 0 and 1) hold the first key of each child, the child's offset and the
// number of records beneath it; leaves (types 2 and 3) hold keys and record numbers, packed on
// disk plainly or with leading, trailing or both compressions. Pack and Unpack convert between
// the two forms; Unpack validates every count, length and offset of the stored bytes and refuses
// a damaged page instead of reading past it. The page knows nothing of files: the index file's
// page cache owns the pages and the B+-tree algorithms move entries between them.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <vector>

#include "engine/format/index_file_format.h"
#include "engine/base/records_bitmap.h"

namespace tovenmarsh::engine {

// What of an index shapes its pages.
struct TIndexShape {
  uint16_t KeySize = 0;       // K, including a non-unique index's 4-byte record-id suffix
  bool Unique = true;         // false: keys end in the record-id suffix
  uint8_t Compression = 0;    // leaf packing 0..3
  uint8_t IndexNumber = 0;    // slot number
  bool Descending = false;
};

// Key comparison of an index: negative, 0 or positive over `length` bytes.
using TKeyCompareFn = int (*)(const void* context, const uint8_t* a, const uint8_t* b, uint32_t length);

// Bytewise unsigned comparison (indexes of tables without a language).
int CompareKeyBytesPlain(const void* context, const uint8_t* a, const uint8_t* b, uint32_t length);

// Bytewise unsigned comparison done inline, eight (then four) bytes at a time: the same sign as
// memcmp.
inline int CompareKeyBytesInline(const uint8_t* a, const uint8_t* b, uint32_t length) {
  uint32_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t x, y;
    std::memcpy(&x, a + i, 8);
    std::memcpy(&y, b + i, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap64(x);
        y = __builtin_bswap64(y);
      }
      return x < y ? -1 : 1;
    }
  }
  if (i + 4 <= length) {  // the 5- and 9-byte keys of integer fields end here
    uint32_t x, y;
    std::memcpy(&x, a + i, 4);
    std::memcpy(&y, b + i, 4);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        x = __builtin_bswap32(x);
        y = __builtin_bswap32(y);
      }
      return x < y ? -1 : 1;
    }
    i += 4;
  }
  for (; i < length; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

struct TKeyOrder {
  TKeyCompareFn Compare = &CompareKeyBytesPlain;
  const void* Context = nullptr;
  // 1 or -1 when Compare is known to be plain bytewise order (ascending or reversed): the
  // searches then compare inline instead of calling it. 0: always call Compare.
  int8_t Bytewise = 0;
  int operator()(const uint8_t* a, const uint8_t* b, uint32_t length) const {
    if (Bytewise != 0) {
      const int c = CompareKeyBytesInline(a, b, length);
      return Bytewise > 0 ? c : -c;
    }
    return Compare(Context, a, b, length);
  }
};

class TPage {
 public:
  TPage() = default;
  TPage(const TPage&) = default;             // a cursor keeps a private copy of its leaf
  TPage& operator=(const TPage&) = default;

  // Takes the index's shape and clears the page (no entries, leaf type, no links).
  void Setup(const TIndexShape& shape);
  void Clear();
  // Back to a new page's state (shape, header, cache state), keeping the memory of the entry
  // buffers for the page's next use.
  void Recycle();
  const TIndexShape& Shape() const { return shape_; }

  // Page header fields.
  uint8_t Type = index_format::kRootLeaf;
  uint32_t Prev = 0;
  uint32_t Next = 0;
  bool Free = false;  // read with entry count 0: on a free list

  // Cache state, kept by the page's owner.
  uint32_t Offset = 0;
  uint32_t Parent = 0;  // set while descending
  bool Dirty = false;
  bool Detached = false;  // dropped from the cache while pinned; freed at its last release
  int Pins = 0;
  TPage* Newer = nullptr;
  TPage* Older = nullptr;

  // Positions of the searches (1-based, 0 = before the first entry).
  int PosA = 0;
  int PosB = 0;

  bool IsLeaf() const { return Type == index_format::kLeaf || Type == index_format::kRootLeaf; }
  bool IsRoot() const { return Type == index_format::kRootNode || Type == index_format::kRootLeaf; }
  bool IsCompressedLeaf() const { return IsLeaf() && shape_.Compression != index_format::kPackPlain; }

  int Count() const { return static_cast<int>(refs_.size()); }
  uint32_t KeySize() const { return shape_.KeySize; }
  const uint8_t* Key(int i) const { return keys_.data() + static_cast<size_t>(i - 1) * shape_.KeySize; }
  const uint8_t* FirstKey() const { return Key(1); }
  uint32_t Reference(int i) const { return refs_[i - 1]; }
  // Records beneath a node entry (0 for a leaf's).
  int32_t EntryCount(int i) const { return counts_.empty() ? 0 : counts_[i - 1]; }
  void SetKey(int i, const uint8_t* key) {
    std::memcpy(keys_.data() + static_cast<size_t>(i - 1) * shape_.KeySize, key, shape_.KeySize);
  }
  void SetReference(int i, uint32_t ref) { refs_[i - 1] = ref; }
  void SetEntryCount(int i, int32_t count);

  // Inserts so that the new entry becomes entry `at` (1..Count()+1).
  void InsertEntry(int at, const uint8_t* key, uint32_t ref, int32_t count);
  void DeleteEntry(int at);
  // Moves entries [from, Count()] to the front of `to` (in order).
  void MoveTailTo(int from, TPage& to);
  // Moves this page's entries [1, n] to the end of `to`.
  void MoveHeadTo(int n, TPage& to);
  // Gives back the entry buffers' room beyond the entries: the first half of a split page, which
  // keys added in order (the usual way) never reach again, would hold it for nothing.
  void FitEntries();

  // Records beneath the page: a leaf's entry count, a node's sum of counts.
  int64_t RecordCount() const;

  // Entries an uncompressed page of this type holds.
  uint32_t Capacity() const;
  // Bytes the entries take when packed.
  uint32_t PackedSize() const;
  // Packed size of each entry in page order, and of entry i when it is a page's first.
  void EntryPackedSizes(std::vector<uint32_t>& sizes) const;
  uint32_t PackedSizeAsFirst(int i) const;
  // More entries than fit (capacity, or packed size above the entry area).
  bool Overflows() const;

  // Searches over entries 1..Count() (the page must have entries).
  // Last entry not greater than the key (0 when the key is below all).
  int LastNotGreater(const uint8_t* key, const TKeyOrder& order) const;
  // First entry not below the key (Count()+1 when none).
  int FirstNotBelow(const uint8_t* key, const TKeyOrder& order) const;

  // Position B at the first entry not below the key (above it with `after`); a node takes the
  // entry whose child holds it. Adds to `sequence` the records left of position B (a leaf:
  // PosB - 1; a node: the counts of the entries left of it).
  void SearchNearest(const uint8_t* key, bool after, const TKeyOrder& order, int64_t& sequence);
  // Filters: moves position B one or more entries (direction 1 forward, -1 backward) to the
  // next entry whose record number is in `visible`; with a bound key, an entry beyond it
  // (forward: above it, backward: below it) ends the walk. False when the page or the bound
  // ends first (PosB then lies just outside the entries walked).
  bool StepB(int direction, const TRecordsBitmap& visible, const uint8_t* bound, const TKeyOrder& order);
  // Sets the record numbers of entries [from, to] in the bitmap (numbers beyond its size are
  // left out).
  void MarkRecords(int from, int to, TRecordsBitmap& bitmap) const;
  // Runs of consecutive record numbers among entries [from, to].
  int CountRuns(int from, int to) const;

  // Writes the page in its stored form (4096 bytes). False when the entries do not fit.
  bool Pack(uint8_t* out) const;
  // Reads a stored page of this index; false when the bytes are damaged (the page is then
  // left empty). The page's Offset is not touched.
  bool Unpack(const uint8_t* in);

 private:
  uint32_t PrefixAgainstPrevious(int i) const;
  uint32_t TrailingZeros(int i, uint32_t from) const;
  uint32_t EntryPackedSize(int i, uint32_t* prefix, uint32_t* trailing) const;

  // Gives every entry its count (zero) in counts_ when it holds none yet.
  void HoldCounts();

  TIndexShape shape_;
  std::vector<uint8_t> keys_;
  std::vector<uint32_t> refs_;
  // One per entry, or none while every entry's count is 0 (a leaf's always are): leaves, most
  // of an index's pages, keep no room for them.
  std::vector<int32_t> counts_;
};

}  // namespace tovenmarsh::engine
