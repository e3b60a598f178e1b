// Validated, cached reads of the pair-signature file.
#include "fulltext/phrase_reader.h"

#include <algorithm>
#include <cstring>

#include "fulltext/pair_signature.h"
#include "fulltext/phrase_file_format.h"
#include "platform/file.h"
#include "platform/file_system.h"

namespace tovenmarsh::fulltext {

namespace pf = phrase_format;

namespace {

class TFilePhraseSource : public TPhraseSource {
 public:
  TFilePhraseSource(platform::TOsFile file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
  int64_t ReadAt(void* buffer, int64_t count, int64_t offset) override { return file_.ReadAt(buffer, count, offset); }
  int64_t Size() override { return file_.Size(); }
  bool Current() override { return platform::DescriptorAtPath(file_.Descriptor(), path_); }

 private:
  platform::TOsFile file_;
  std::string path_;
};

}  // namespace

int64_t TMemoryPhraseSource::ReadAt(void* buffer, int64_t count, int64_t offset) {
  const auto size = static_cast<int64_t>(bytes_.size());
  if (offset < 0 || count < 0) return -1;
  if (offset >= size) return 0;
  const int64_t n = std::min(count, size - offset);
  std::memcpy(buffer, bytes_.data() + offset, static_cast<size_t>(n));
  return n;
}

TtxPhraseReader::TtxPhraseReader(std::unique_ptr<TPhraseSource> source) : source_(std::move(source)) {}

TtxPhraseReader::~TtxPhraseReader() = default;

std::unique_ptr<TtxPhraseReader> TtxPhraseReader::OpenFile(const std::string& path) {
  if (path.empty()) return nullptr;
  platform::TOsFile file;
  platform::TOsOpenOptions options;
  // A file that the update engine could not write would keep old documents' signatures.
  if (file.Open(path, options) < 0 || file.ReadOnly()) return nullptr;
  return std::make_unique<TtxPhraseReader>(std::make_unique<TFilePhraseSource>(std::move(file), path));
}

void TtxPhraseReader::DropCache() {
  for (TPage& page : pages_) page.number = -1;
  checked_.clear();
}

bool TtxPhraseReader::Validate(uint64_t fingerprint) {
  const int64_t size = source_->Size();
  std::vector<uint8_t> header(static_cast<size_t>(pf::kHeaderSize));
  const bool readable = size >= pf::kDataOffset &&
                        source_->ReadAt(header.data(), pf::kHeaderSize, 0) == pf::kHeaderSize;
  if (readable && valid_ && size == size_ && header == header_ && fingerprint == fingerprint_) return true;
  // Changed (or first use): nothing cached may be trusted any more.
  DropCache();
  valid_ = false;
  size_ = size;
  header_ = header;
  fingerprint_ = fingerprint;
  if (!readable) return false;
  const uint8_t* h = header.data();
  if (std::memcmp(h, pf::kMagic, sizeof pf::kMagic) != 0 || pf::Load32(h + pf::kVersionAt) != pf::kVersion ||
      (pf::Load32(h + pf::kFlagsAt) & pf::kFlagFinished) == 0 || pf::Load64(h + pf::kFingerprintAt) != fingerprint ||
      pf::Load64(h + pf::kChecksumAt) != pf::Checksum(h, pf::kHeaderChecked, pf::kHeaderSeed))
    return false;
  base_ = static_cast<int32_t>(pf::Load32(h + pf::kBaseAt));
  std::vector<uint8_t> directory(static_cast<size_t>(pf::kDirectoryEntries * 8));
  if (source_->ReadAt(directory.data(), static_cast<int64_t>(directory.size()), pf::kDirectoryOffset) !=
      static_cast<int64_t>(directory.size()))
    return false;
  directory_.resize(static_cast<size_t>(pf::kDirectoryEntries));
  for (size_t i = 0; i < directory_.size(); ++i) directory_[i] = pf::Load64(directory.data() + i * 8);
  valid_ = true;
  return true;
}

const TtxPhraseReader::TPage* TtxPhraseReader::LoadPage(int64_t number) {
  if (pages_.empty()) pages_.resize(kMaxPages);
  TPage& page = pages_[static_cast<size_t>(number % static_cast<int64_t>(kMaxPages))];
  if (page.number != number) {
    if (!page.bytes) page.bytes = std::make_unique_for_overwrite<uint8_t[]>(static_cast<size_t>(kPageSize));
    const int64_t got = source_->ReadAt(page.bytes.get(), kPageSize, number * kPageSize);
    if (got < 0) {
      page.number = -1;
      return nullptr;
    }
    page.number = number;
    page.length = got;
  }
  return &page;
}

const uint8_t* TtxPhraseReader::View(int64_t count, int64_t offset) {
  if (offset < 0 || count < 0 || offset > size_ || count > size_ - offset) return nullptr;
  const int64_t number = offset / kPageSize;
  const int64_t within = offset - number * kPageSize;
  if (within + count <= kPageSize) {
    const TPage* page = LoadPage(number);
    return page != nullptr && within + count <= page->length ? page->bytes.get() + within : nullptr;
  }
  scratch_.resize(static_cast<size_t>(count));
  return Read(scratch_.data(), count, offset) ? scratch_.data() : nullptr;
}

bool TtxPhraseReader::Read(void* out, int64_t count, int64_t offset) {
  if (offset < 0 || count < 0 || offset > size_ || count > size_ - offset) return false;
  auto* target = static_cast<uint8_t*>(out);
  while (count > 0) {
    const int64_t number = offset / kPageSize;
    const TPage* page = LoadPage(number);
    if (page == nullptr) return false;
    const int64_t within = offset - number * kPageSize;
    const int64_t n = std::min(count, page->length - within);
    if (n <= 0) return false;  // the file shrank under us
    std::memcpy(target, page->bytes.get() + within, static_cast<size_t>(n));
    target += n;
    offset += n;
    count -= n;
  }
  return true;
}

const uint8_t* TtxPhraseReader::Cached(int64_t count, int64_t offset) const {
  if (pages_.empty() || offset < 0 || count < 0) return nullptr;
  const int64_t number = offset / kPageSize;
  const TPage& page = pages_[static_cast<size_t>(number % static_cast<int64_t>(kMaxPages))];
  const int64_t within = offset - number * kPageSize;
  return page.number == number && within + count <= page.length ? page.bytes.get() + within : nullptr;
}

int64_t TtxPhraseReader::SlotOffset(int32_t value) const {
  if (!valid_) return -1;
  const int64_t slot = int64_t{value} - base_;
  if (slot < 0 || slot >= pf::kMaxSlots) return -1;
  const uint64_t chunk = directory_[static_cast<size_t>(slot / pf::kSlotsPerChunk)];
  if (chunk == 0 || chunk % 8 != 0 || chunk > static_cast<uint64_t>(size_)) return -1;
  return static_cast<int64_t>(chunk) + (slot % pf::kSlotsPerChunk) * 4;
}

void TtxPhraseReader::PrefetchSlot(int32_t value) const {
  if (const uint8_t* entry = Cached(4, SlotOffset(value))) __builtin_prefetch(entry);
}

void TtxPhraseReader::PrefetchRecord(int32_t value) const {
  const uint8_t* entry = Cached(4, SlotOffset(value));
  if (entry == nullptr) return;
  const int64_t record = int64_t{pf::Load32(entry)} * 8;
  // The header and the lines after it: most signatures are a few lines long.
  for (int64_t line = 0; line < 256; line += 64)
    if (const uint8_t* at = Cached(1, record + line)) __builtin_prefetch(at);
}

bool TtxPhraseReader::Get(int32_t value, const uint8_t*& bits, size_t& size) {
  const int64_t slotAt = SlotOffset(value);
  if (slotAt < 0) return false;
  const int64_t slot = int64_t{value} - base_;
  const uint8_t* entry = View(4, slotAt);
  if (entry == nullptr) return false;
  const int64_t record = int64_t{pf::Load32(entry)} * 8;
  const uint8_t* view = record == 0 ? nullptr : View(pf::kRecordHeaderSize, record);
  if (view == nullptr) return false;
  uint8_t head[pf::kRecordHeaderSize];
  std::memcpy(head, view, sizeof head);
  const uint32_t length = pf::Load32(head + 4);
  if (static_cast<int32_t>(pf::Load32(head)) != value || length == 0 || length % 8 != 0 ||
      length > TPairSignature::kMaxBytes)
    return false;
  const uint8_t* signature = View(length, record + pf::kRecordHeaderSize);
  if (signature == nullptr) return false;
  const auto at = static_cast<size_t>(slot);
  if (at / 64 >= checked_.size() || (checked_[at / 64] & (uint64_t{1} << (at % 64))) == 0) {
    if (pf::Load64(head + 8) != pf::RecordChecksum(head, signature, length)) return false;
    if (at / 64 >= checked_.size()) checked_.resize(at / 64 + 1, 0);
    checked_[at / 64] |= uint64_t{1} << (at % 64);
  }
  bits = signature;
  size = length;
  return true;
}

bool TtxPhraseReader::Get(int32_t value, std::vector<uint8_t>& signature) {
  const uint8_t* bits = nullptr;
  size_t size = 0;
  if (!Get(value, bits, size)) return false;
  signature.assign(bits, bits + size);
  return true;
}

}  // namespace tovenmarsh::fulltext
