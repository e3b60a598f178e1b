// Reads document signatures from a pair-signature file (see phrase_file_format.h) through
// positioned reads and a bounded page cache (at most kMaxPages pages of kPageSize bytes).
//
// Promises: whatever the bytes, no read leaves the file or a buffer; a damaged header, a
// directory or slot pointing outside the file, or a record whose value, size or checksum does
// not match answers "no signature", never a wrong one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tovenmarsh::fulltext {

// Where the reader's bytes come from (a file, or memory for tests and fuzzing).
class TPhraseSource {
 public:
  virtual ~TPhraseSource() = default;
  // Up to count bytes at offset (fewer only at the end); bytes read, or negative on failure.
  virtual int64_t ReadAt(void* buffer, int64_t count, int64_t offset) = 0;
  // The size now, or negative on failure.
  virtual int64_t Size() = 0;
  // False once the file's name denotes another file (removed and made anew by a build).
  virtual bool Current() { return true; }
};

class TMemoryPhraseSource : public TPhraseSource {
 public:
  explicit TMemoryPhraseSource(std::string bytes) : bytes_(std::move(bytes)) {}
  int64_t ReadAt(void* buffer, int64_t count, int64_t offset) override;
  int64_t Size() override { return static_cast<int64_t>(bytes_.size()); }

 private:
  std::string bytes_;
};

class TtxPhraseReader {
 public:
  static constexpr int64_t kPageSize = 65536;
  static constexpr size_t kMaxPages = 512;

  explicit TtxPhraseReader(std::unique_ptr<TPhraseSource> source);
  ~TtxPhraseReader();
  // The file's reader; nullptr when it cannot be opened (missing, say) or is read-only.
  static std::unique_ptr<TtxPhraseReader> OpenFile(const std::string& path);

  // Reads the header and directory again when the file changed (the cache is dropped then);
  // false when the file is not a finished one of these settings.
  bool Validate(uint64_t fingerprint);
  bool Current() { return source_->Current(); }
  // The document's signature; false when it has none that can be trusted. The view form points
  // into the cache (valid until the next call); a record's checksum is checked once per cache.
  bool Get(int32_t value, const uint8_t*& bits, size_t& size);
  bool Get(int32_t value, std::vector<uint8_t>& signature);
  // Hints that Get(value) comes soon, so that memory fetches overlap: first its slot, later
  // (once the slot has arrived) its record's first lines. Only cached pages are looked at.
  void PrefetchSlot(int32_t value) const;
  void PrefetchRecord(int32_t value) const;

 private:
  struct TPage {
    int64_t number = -1;
    int64_t length = 0;
    std::unique_ptr<uint8_t[]> bytes;  // kPageSize, not zeroed first: the read fills it
  };
  // count bytes at offset through the cache; false when any lies past the file's end.
  bool Read(void* out, int64_t count, int64_t offset);
  // count bytes at offset: in the cached page when they lie in one, else copied to scratch_;
  // nullptr when any lies past the file's end.
  const uint8_t* View(int64_t count, int64_t offset);
  const TPage* LoadPage(int64_t number);
  // count bytes at offset when a cached page holds them all, else nullptr (nothing is read).
  const uint8_t* Cached(int64_t count, int64_t offset) const;
  // Where value's slot lies in the file; -1 when it has none.
  int64_t SlotOffset(int32_t value) const;
  void DropCache();

  std::unique_ptr<TPhraseSource> source_;
  std::vector<TPage> pages_;
  std::vector<uint64_t> directory_;
  std::vector<uint64_t> checked_;  // per slot: its record's checksum was found right
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> header_;
  int64_t size_ = -1;
  int32_t base_ = 0;
  uint64_t fingerprint_ = 0;
  bool valid_ = false;
};

}  // namespace tovenmarsh::fulltext
