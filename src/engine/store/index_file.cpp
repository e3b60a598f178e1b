// Index file: header and slots, per-index page caches with pinning and recency, page
// allocation through per-index free lists, flushing in runs, and the region and user-byte locks.
#include "engine/store/index_file.h"

#include <algorithm>
#include <cstring>

#include "engine/base/engine_error.h"
#include "engine/base/engine_strings.h"
#include "engine/format/key_encoding.h"
#include "engine/store/shared_table_locks.h"

namespace tovenmarsh::engine {

using namespace index_format;

namespace {

constexpr size_t kNotCached = static_cast<size_t>(-1);

std::string Trim(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

}  // namespace

std::unique_ptr<TPage> TPageStack::Take() {
  if (spares_.empty()) return std::make_unique<TPage>();
  std::unique_ptr<TPage> page = std::move(spares_.back());
  spares_.pop_back();
  return page;
}

void TPageStack::Give(std::unique_ptr<TPage> page) {
  if (spares_.size() >= kCapacity) return;
  page->Recycle();
  spares_.push_back(std::move(page));
}

// ---- the tree's view of one index ----

TPage* TIndexPageStore::FetchPage(uint32_t offset) { return file_.FetchPage(slot_, offset); }
TPage* TIndexPageStore::FetchPassing(uint32_t offset) { return file_.FetchPage(slot_, offset, false, false, true); }
void TIndexPageStore::ReleasePage(TPage* page) { file_.ReleasePage(page); }
TPage* TIndexPageStore::NewPage() { return file_.NewPage(slot_); }
void TIndexPageStore::FreePage(TPage* page) { file_.FreePage(slot_, page); }
uint32_t TIndexPageStore::RootOffset() { return file_.Root(slot_); }
void TIndexPageStore::SetRootOffset(uint32_t offset) { file_.SetRoot(slot_, offset); }
const TIndexShape& TIndexPageStore::Shape() {
  shape_ = file_.SlotShape(slot_);
  return shape_;
}
void TIndexPageStore::RaiseCorrupt() { file_.RaiseCode(kErrIndexPageCorrupt); }

// ---- the file ----

TIndexFile::TIndexFile(TTableFilesOwner* owner, std::string fileName, bool memory, TFileList* list)
    : TFileHandler(std::move(fileName), memory, list),
      owner_(owner),
      header_(*this, kHeaderSize, kHeaderModified, kIndexKey1, kIndexKey2) {
  for (uint8_t s = 0; s < kSlotCount; ++s) stores_[s] = std::make_unique<TIndexPageStore>(*this, s);
  MakeNewHeader(header_.data());
}

TIndexFile::~TIndexFile() {
  for (uint8_t s = 0; s < kSlotCount; ++s) DropSlotPages(s);
}

void TIndexFile::RaiseCode(uint16_t code) const { RaiseEngineError(code, FileName()); }

void TIndexFile::Open() {
  if (IsOpen()) return;
  TFileHandler::Open();
  try {
    ReadHeader();
    if (SecondaryCount() > kMaxSecondary) RaiseCode(kErrHeaderCorrupt);
  } catch (...) {
    TFileHandler::Close();
    throw;
  }
  stats_ = {};
}

void TIndexFile::Close() {
  for (uint8_t s = 0; s < kSlotCount; ++s) DropSlotPages(s);
  stats_ = {};
  TFileHandler::Close();
}

void TIndexFile::CreateFile() {
  for (uint8_t s = 0; s < kSlotCount; ++s) DropSlotPages(s);
  TFileHandler::CreateFile();
  MakeNewHeader(header_.data());
  header_.WriteAsIs(Encrypted());
}

bool TIndexFile::Encrypted() const { return owner_ && owner_->Encrypted(); }

void TIndexFile::ReadHeader() { header_.Read(Encrypted()); }

void TIndexFile::WriteHeader(bool force) {
  if (header_.Write(force, Encrypted()) && owner_) owner_->MarkFilesWritten();
}

bool TIndexFile::HeaderChanged() { return header_.Changed(Encrypted()); }

void TIndexFile::MarkChanged() {
  header_.CountChange();
  if (owner_) owner_->MarkFilesWritten();
}

void TIndexFile::Empty() {
  for (uint8_t s = 0; s < kSlotCount; ++s) DropSlotPages(s);
  {
    TFileAccess access(*this);
    Seek(kHeaderSize);
    Write(nullptr, 0);
  }
  PutU8(header_.data(), kFileVersion, kVersion);
  PutU32(header_.data(), kEndOffset, kHeaderSize);
  SetRecordCount(0);
  // Every slot, used or not: a dropped index's free list would otherwise point past the end.
  for (uint8_t s = 0; s < kSlotCount; ++s) {
    PutU32(Slot(s), kSlotRoot, 0);
    PutU32(Slot(s), kSlotFreeHead, 0);
  }
  SetModified();
}

// ---- header fields ----

uint32_t TIndexFile::EndOffset() const { return GetU32(header_.data(), kEndOffset); }
uint8_t TIndexFile::SecondaryCount() const { return GetU8(header_.data(), kSecondaryCount); }
void TIndexFile::SetRecordCount(int32_t count) {
  PutI32(header_.data(), kRecordCount, count);
  SetModified();
}
uint32_t TIndexFile::Root(uint8_t slot) const { return GetU32(Slot(slot), kSlotRoot); }
void TIndexFile::SetRoot(uint8_t slot, uint32_t offset) {
  PutU32(Slot(slot), kSlotRoot, offset);
  SetModified();
}
uint32_t TIndexFile::FreeHead(uint8_t slot) const { return GetU32(Slot(slot), kSlotFreeHead); }
void TIndexFile::SetFreeHead(uint8_t slot, uint32_t offset) {
  PutU32(Slot(slot), kSlotFreeHead, offset);
  SetModified();
}
bool TIndexFile::NoPrimary() const { return GetU8(header_.data(), kNoPrimary) != 0; }
void TIndexFile::SetNoPrimary(bool flag) {
  PutU8(header_.data(), kNoPrimary, flag ? 1 : 0);
  SetModified();
}
bool TIndexFile::HeaderModified() const { return GetU8(header_.data(), kHeaderModified) != 0; }
void TIndexFile::SetModified() { PutU8(header_.data(), kHeaderModified, 1); }

std::array<uint8_t, kSlotSize> TIndexFile::SlotBytes(uint8_t slot) const {
  std::array<uint8_t, kSlotSize> bytes;
  std::memcpy(bytes.data(), Slot(slot), kSlotSize);
  return bytes;
}

IndexDesc TIndexFile::SlotDesc(uint8_t slot) const {
  const uint8_t* s = Slot(slot);
  IndexDesc d;
  d.Name = GetShortString(s, kSlotName);
  d.KeySize = GetI16(s, kSlotKeySize);
  d.Descending = GetU8(s, kSlotDescending) != 0;
  d.CaseInsensitive = GetU8(s, kSlotCaseInsensitive) != 0;
  d.Unique = GetU8(s, kSlotUnique) != 0;
  d.Compression = GetU8(s, kSlotCompression);
  d.FieldCount = GetU8(s, kSlotFieldCount);
  for (uint32_t i = 0; i < kMaxKeyFields; ++i) {
    d.FieldDescending[i] = GetU8(s, kSlotFieldDescending.Offset + i);
    d.FieldNumbers[i] = GetU16(s, kSlotFieldNumbers.Offset + 2 * i);
  }
  return d;
}

uint8_t TIndexFile::SlotCompression(uint8_t slot) const { return GetU8(Slot(slot), kSlotCompression); }

TIndexShape TIndexFile::SlotShape(uint8_t slot) const {
  const uint8_t* s = Slot(slot);
  TIndexShape shape;
  shape.KeySize = GetU16(s, kSlotKeySize);
  shape.IndexNumber = slot;
  shape.Descending = GetU8(s, kSlotDescending) != 0;
  if (slot == kStatusSlot || slot == 0) {
    shape.Unique = true;
    shape.Compression = slot == kStatusSlot ? kPackPlain : GetU8(s, kSlotCompression);
  } else {
    shape.Unique = GetU8(s, kSlotUnique) != 0;
    shape.Compression = GetU8(s, kSlotCompression);
  }
  return shape;
}

// ---- definitions ----

void TIndexFile::WriteSlotDesc(uint8_t slot, const IndexDesc& desc, uint8_t compression, bool unique) {
  uint8_t* s = Slot(slot);
  const uint32_t freeHead = GetU32(s, kSlotFreeHead);
  std::memset(s, 0, kSlotSize);
  PutShortString(s, kSlotName, desc.Name);
  PutI16(s, kSlotKeySize, desc.KeySize);
  PutU8(s, kSlotDescending, desc.Descending ? 1 : 0);
  PutU8(s, kSlotCaseInsensitive, desc.CaseInsensitive ? 1 : 0);
  PutU8(s, kSlotUnique, unique ? 1 : 0);
  PutU8(s, kSlotCompression, compression);
  PutU8(s, kSlotFieldCount, desc.FieldCount);
  for (uint32_t i = 0; i < kMaxKeyFields; ++i) {
    PutU8(s, kSlotFieldDescending.Offset + i, desc.FieldDescending[i]);
    PutU16(s, kSlotFieldNumbers.Offset + 2 * i, desc.FieldNumbers[i]);
  }
  PutU32(s, kSlotFreeHead, freeHead);
  SetModified();
}

void TIndexFile::CheckIndexFields(const IndexDesc& desc, const std::vector<FieldDesc>& fields,
                                  const std::string& name) {
  int sum = 0;
  for (int i = 0; i < desc.FieldCount; ++i) {
    const uint16_t f = desc.FieldNumbers[i];
    if (f == 0 || f > fields.size())
      RaiseEngineError(kErrInvalidIndexFieldNumber, FileName(), std::to_string(f), {}, name);
    if (fields[f - 1].IsBlob()) RaiseEngineError(kErrInvalidIndexFieldType, FileName(), {}, {}, name);
    sum += fields[f - 1].PhysicalSize + 1;
  }
  if (sum > static_cast<int>(kMaxKeySum)) RaiseEngineError(kErrInvalidKeySize, FileName(), {}, {}, name);
}

void TIndexFile::AddPrimaryIndex(const IndexDesc& desc, const std::vector<FieldDesc>& fields, uint8_t compression) {
  if (compression == kCompressionOfDesc) compression = desc.Compression;
  if (GetI16(Slot(0), kSlotKeySize) != 0) RaiseCode(kErrPrimaryIndexExists);
  if (desc.FieldCount > kMaxKeyFields) RaiseCode(kErrIndexLimits);
  if (compression > kPackBoth) RaiseCode(kErrHeaderCorrupt);
  if (desc.FieldCount == 0) {
    const uint32_t freeHead = FreeHead(0);
    std::memset(Slot(0), 0, kSlotSize);
    PutU32(Slot(0), kSlotFreeHead, freeHead);
    SetNoPrimary(true);
    return;
  }
  CheckIndexFields(desc, fields, "Primary");
  IndexDesc d = desc;
  d.Name.clear();
  d.Unique = true;
  std::vector<const FieldDesc*> keyFields;
  for (int i = 0; i < d.FieldCount; ++i) keyFields.push_back(&fields[d.FieldNumbers[i] - 1]);
  d.KeySize = static_cast<int16_t>(IndexKeySize(keyFields, true));
  WriteSlotDesc(0, d, compression, true);
  PutU32(Slot(0), kSlotRoot, 0);
  SetNoPrimary(false);
}

uint8_t TIndexFile::AddSecondaryIndex(const IndexDesc& desc, const std::vector<FieldDesc>& fields,
                                      uint8_t compression) {
  if (compression == kCompressionOfDesc) compression = desc.Compression;
  const uint8_t count = SecondaryCount();
  if (count >= kMaxSecondary || desc.FieldCount > kMaxKeyFields || desc.FieldCount == 0) RaiseCode(kErrIndexLimits);
  const std::string name = Trim(desc.Name);
  if (name.empty()) RaiseCode(kErrSecondaryIndexNameMissing);
  if (!IsIdentStartChar(name[0]) || name.size() > 30)
    RaiseEngineError(kErrInvalidSecondaryIndexName, FileName(), {}, {}, desc.Name);
  for (uint8_t s = 1; s <= count; ++s)
    if (SameEngineName(GetShortString(Slot(s), kSlotName), name))
      RaiseEngineError(kErrSecondaryIndexExists, FileName(), {}, {}, desc.Name);
  if (compression > kPackBoth) RaiseCode(kErrHeaderCorrupt);
  CheckIndexFields(desc, fields, name);
  IndexDesc d = desc;
  d.Name = name;
  std::vector<const FieldDesc*> keyFields;
  for (int i = 0; i < d.FieldCount; ++i) keyFields.push_back(&fields[d.FieldNumbers[i] - 1]);
  d.KeySize = static_cast<int16_t>(IndexKeySize(keyFields, d.Unique));
  const uint8_t slot = count + 1;
  WriteSlotDesc(slot, d, compression, d.Unique);  // keeps a free list left by a dropped index
  PutU32(Slot(slot), kSlotRoot, 0);
  PutU8(header_.data(), kSecondaryCount, slot);
  return slot;
}

void TIndexFile::ReplaceSlot(uint8_t slot, const IndexDesc& desc, uint8_t compression) {
  if (compression == kCompressionOfDesc) compression = desc.Compression;
  if (compression > kPackBoth) RaiseCode(kErrHeaderCorrupt);
  WriteSlotDesc(slot, desc, compression, slot == 0 ? true : desc.Unique);
  PutU32(Slot(slot), kSlotRoot, 0);
}

void TIndexFile::RenameSlot(uint8_t slot, const std::string& name, const std::array<uint16_t, 16>& fieldNumbers) {
  PutShortString(Slot(slot), kSlotName, name);
  for (uint32_t i = 0; i < kMaxKeyFields; ++i) PutU16(Slot(slot), kSlotFieldNumbers.Offset + 2 * i, fieldNumbers[i]);
  SetModified();
}

void TIndexFile::DropSlot(uint8_t slot, bool move) {
  if (slot == 0) {
    const uint32_t freeHead = FreeHead(0);
    std::memset(Slot(0), 0, kSlotSize);
    PutU32(Slot(0), kSlotFreeHead, freeHead);
    SetNoPrimary(true);
    return;
  }
  const uint8_t count = SecondaryCount();
  if (slot > count) return;
  if (!move) {
    // The slot goes without its pages: they stay unreferenced in the file, and the slots behind
    // shift down as with a move, since the secondary slots must stay contiguous.
    DropSlotPages(slot);
    for (uint8_t s = slot; s < count; ++s) std::memcpy(Slot(s), Slot(s + 1), kSlotSize);
    std::memset(Slot(count), 0, kSlotSize);
    std::rotate(caches_.begin() + slot, caches_.begin() + slot + 1, caches_.begin() + count + 1);
    PutU8(header_.data(), kSecondaryCount, count - 1);
    SetModified();
    return;
  }
  // The slot moves with its free list, and its cached pages (dirty ones among them: the freed
  // pages of the dropped index) move with it so that they are still written.
  std::array<uint8_t, kSlotSize> saved = SlotBytes(slot);
  for (uint8_t s = slot; s < count; ++s) std::memcpy(Slot(s), Slot(s + 1), kSlotSize);
  std::memcpy(Slot(count), saved.data(), kSlotSize);
  std::rotate(caches_.begin() + slot, caches_.begin() + slot + 1, caches_.begin() + count + 1);
  PutU8(header_.data(), kSecondaryCount, count - 1);
  SetModified();
}

void TIndexFile::Verify(const std::vector<FieldDesc>& fields) const {
  if (GetU8(header_.data(), kFileVersion) != kVersion) RaiseCode(kErrWrongVersion);
  const uint8_t count = SecondaryCount();
  const uint32_t end = EndOffset();
  if (count > kMaxSecondary || end < kHeaderSize || end % kPageSize != 0) RaiseCode(kErrHeaderCorrupt);
  const bool noPrimary = NoPrimary();
  std::vector<uint8_t> slots{0};
  for (uint8_t s = 1; s <= count; ++s) slots.push_back(s);
  slots.push_back(static_cast<uint8_t>(kStatusSlot));
  for (uint8_t s : slots) {
    const uint8_t* p = Slot(s);
    const std::string name = GetShortString(p, kSlotName);
    const bool absentPrimary = s == 0 && noPrimary;
    if (s == 0 && (!name.empty() || (!noPrimary && GetU8(p, kSlotUnique) == 0))) RaiseCode(kErrHeaderCorrupt);
    if (s >= 1 && s <= count) {
      if (name.empty() || !IsIdentStartChar(name[0])) RaiseCode(kErrHeaderCorrupt);
      for (uint8_t t = 1; t < s; ++t)
        if (SameEngineName(GetShortString(Slot(t), kSlotName), name)) RaiseCode(kErrHeaderCorrupt);
    }
    const uint8_t fieldCount = GetU8(p, kSlotFieldCount);
    if (fieldCount > kMaxKeyFields || GetU8(p, kSlotCompression) > kPackBoth) RaiseCode(kErrHeaderCorrupt);
    int sum = 0;
    for (uint8_t i = 0; i < fieldCount; ++i) {
      const uint16_t f = GetU16(p, kSlotFieldNumbers.Offset + 2 * i);
      if (f == 0 || f > fields.size() || fields[f - 1].IsBlob()) RaiseCode(kErrHeaderCorrupt);
      sum += fields[f - 1].PhysicalSize + 1;
    }
    const int keySize = GetI16(p, kSlotKeySize);
    if (sum > static_cast<int>(kMaxKeySum)) RaiseCode(kErrHeaderCorrupt);
    if (!absentPrimary) {
      if (keySize <= 0 || keySize > static_cast<int>(index_format::kMaxKeySize)) RaiseCode(kErrHeaderCorrupt);
      if (s == kStatusSlot ? keySize != static_cast<int>(kStatusKeySize)
                           : keySize != sum + ((s == 0 || GetU8(p, kSlotUnique)) ? 0 : 4))
        RaiseCode(kErrHeaderCorrupt);
      if (s != kStatusSlot && fieldCount == 0) RaiseCode(kErrHeaderCorrupt);
    }
    for (uint32_t ref : {GetU32(p, kSlotRoot), GetU32(p, kSlotFreeHead)}) {
      if (ref == 0) continue;
      if (end == kHeaderSize || ref < kHeaderSize || ref > end - kPageSize || ref % kPageSize != 0)
        RaiseCode(kErrHeaderCorrupt);
    }
  }
}

// ---- page cache ----

bool TIndexFile::IsPageOffset(uint32_t offset) const {
  return offset >= kHeaderSize && offset % kPageSize == 0 && offset < EndOffset();
}

void TIndexFile::Unlink(TSlotCache& cache, TPage* page) {
  if (page->Newer) page->Newer->Older = page->Older;
  else cache.Newest = page->Older;
  if (page->Older) page->Older->Newer = page->Newer;
  else cache.Oldest = page->Newer;
  page->Newer = page->Older = nullptr;
}

void TIndexFile::PushFront(TSlotCache& cache, TPage* page) {
  page->Older = cache.Newest;
  page->Newer = nullptr;
  if (cache.Newest) cache.Newest->Newer = page;
  cache.Newest = page;
  if (!cache.Oldest) cache.Oldest = page;
}

size_t TIndexFile::FindCached(const TSlotCache& cache, uint32_t offset) const {
  auto it = std::lower_bound(cache.Pages.begin(), cache.Pages.end(), offset,
                             [](const std::unique_ptr<TPage>& p, uint32_t o) { return p->Offset < o; });
  if (it == cache.Pages.end() || (*it)->Offset != offset) return kNotCached;
  return static_cast<size_t>(it - cache.Pages.begin());
}

TPage* TIndexFile::Insert(uint8_t slot, std::unique_ptr<TPage> page) {
  TSlotCache& cache = caches_[slot];
  TPage* raw = page.get();
  auto it = std::lower_bound(cache.Pages.begin(), cache.Pages.end(), raw->Offset,
                             [](const std::unique_ptr<TPage>& p, uint32_t o) { return p->Offset < o; });
  cache.Pages.insert(it, std::move(page));
  cache.ByOffset.Add(raw->Offset, raw);
  PushFront(cache, raw);
  return raw;
}

std::unique_ptr<TPage> TIndexFile::MakeRoom(uint8_t slot) {
  TSlotCache& cache = caches_[slot];
  if (cache.Pages.size() < cache.Capacity) return stack_.Take();
  for (int attempt = 0; attempt < 2; ++attempt) {
    for (TPage* p = cache.Oldest; p; p = p->Newer) {
      if (p->Dirty || p->Pins > 0) continue;
      Unlink(cache, p);
      const size_t at = FindCached(cache, p->Offset);
      std::unique_ptr<TPage> taken = std::move(cache.Pages[at]);
      cache.Pages.erase(cache.Pages.begin() + static_cast<ptrdiff_t>(at));
      cache.ByOffset.Remove(p->Offset);
      taken->Recycle();
      return taken;
    }
    if (attempt == 0 && !(owner_ && owner_->InTransaction())) FlushPages();
    else break;
  }
  // Everything is dirty inside a transaction, or pinned by the operation in progress: grow, by
  // half at least, so that a large transaction walks its ever longer list of dirty pages only
  // a few times instead of once every 64 new pages.
  cache.Capacity += std::max<size_t>(64, cache.Pages.size() / 2);
  return stack_.Take();
}

void TIndexFile::ReadPageBytes(uint32_t offset, uint8_t* out, bool passing) {
  ReadAt(offset, out, kPageSize, false, !passing);
  if (Encrypted()) DecryptBlock(out, kPageSize, kIndexKey1, kIndexKey2);
  ++stats_.DiskReads;
  ++stats_.PagesRead;
}

TPage* TIndexFile::FetchPage(uint8_t slot, uint32_t offset, bool fresh, bool append, bool passing) {
  if (slot >= kSlotCount || offset == 0) RaiseCode(kErrIndexPageCorrupt);
  const TIndexShape shape = SlotShape(slot);
  if (shape.KeySize == 0 || shape.KeySize > index_format::kMaxKeySize || shape.Compression > kPackBoth ||
      (!shape.Unique && shape.KeySize <= kRecordIdSuffix))
    RaiseCode(kErrIndexPageCorrupt);
  TSlotCache& cache = caches_[slot];
  if (append && offset == EndOffset()) {
    if (static_cast<int64_t>(EndOffset()) >= kMaxEndOffset) RaiseCode(kErrTableFull);
    if (FindCached(cache, offset) != kNotCached) RaiseCode(kErrIndexPageCorrupt);
    std::unique_ptr<TPage> page = MakeRoom(slot);
    page->Setup(shape);
    page->Offset = offset;
    page->Dirty = true;
    page->Pins = 1;
    PutU32(header_.data(), kEndOffset, EndOffset() + kPageSize);
    SetModified();
    return Insert(slot, std::move(page));
  }
  if (!IsPageOffset(offset)) RaiseCode(kErrIndexPageCorrupt);
  TPage* hit = nullptr;
  if (cache.Newest && cache.Newest->Offset == offset) hit = cache.Newest;
  else if (cache.Newest && cache.Newest->Older && cache.Newest->Older->Offset == offset) hit = cache.Newest->Older;
  else hit = cache.ByOffset.Find(offset);
  if (hit) {
    if (hit != cache.Newest) {
      Unlink(cache, hit);
      PushFront(cache, hit);
    }
    ++hit->Pins;
    ++stats_.CacheHits;
    return hit;
  }
  if (owner_ && !owner_->StrictChangeDetection() && !owner_->HoldsWriteLock() && owner_->ChangedOnDisk())
    return nullptr;
  // Room first: making room may flush, which uses the I/O buffer.
  std::unique_ptr<TPage> page = MakeRoom(slot);
  ioBuffer_.resize(kPageSize);
  ReadPageBytes(offset, ioBuffer_.data(), passing);
  page->Setup(shape);
  if (!fresh && !page->Unpack(ioBuffer_.data())) {
    stack_.Give(std::move(page));
    RaiseCode(kErrIndexPageCorrupt);
  }
  page->Offset = offset;
  page->Pins = 1;
  return Insert(slot, std::move(page));
}

void TIndexFile::ReleasePage(TPage* page) {
  if (page->Pins > 0) --page->Pins;
  if (page->Detached && page->Pins == 0) {
    // Dropped while pinned: it belongs to nobody now.
    auto it = std::find_if(detached_.begin(), detached_.end(),
                           [page](const std::unique_ptr<TPage>& p) { return p.get() == page; });
    if (it != detached_.end()) {
      stack_.Give(std::move(*it));
      detached_.erase(it);
    }
  }
}

TPage* TIndexFile::NewPage(uint8_t slot) {
  const uint32_t head = FreeHead(slot);
  TPage* page = FetchPage(slot, head != 0 ? head : EndOffset(), false, head == 0);
  if (!page) RaiseCode(kErrIndexPageCorrupt);  // no retry under the writer lock
  if (head != 0) {
    if (!page->Free || (page->Next != 0 && !IsPageOffset(page->Next))) {
      ReleasePage(page);
      RaiseCode(kErrIndexPageCorrupt);
    }
    SetFreeHead(slot, page->Next);
  }
  page->Setup(SlotShape(slot));
  page->Dirty = true;
  return page;
}

void TIndexFile::FreePage(uint8_t slot, TPage* page) {
  page->Setup(SlotShape(slot));
  page->Free = true;
  page->Next = FreeHead(slot);
  page->Dirty = true;
  SetFreeHead(slot, page->Offset);
}

bool TIndexFile::HasDirtyPages() const {
  for (const TSlotCache& cache : caches_)
    for (const auto& p : cache.Pages)
      if (p->Dirty) return true;
  return false;
}

void TIndexFile::FlushPages() {
  // Every slot, not only the used ones: a dropped index's freed pages must still be written.
  std::vector<TPage*> dirty;
  for (const TSlotCache& cache : caches_)
    for (const auto& p : cache.Pages)
      if (p->Dirty && p->Pins == 0) dirty.push_back(p.get());
  if (dirty.empty()) return;
  std::sort(dirty.begin(), dirty.end(), [](const TPage* a, const TPage* b) { return a->Offset < b->Offset; });
  const bool encrypted = owner_ && owner_->Encrypted();
  size_t i = 0;
  while (i < dirty.size()) {
    size_t j = i + 1;
    while (j < dirty.size() && dirty[j]->Offset == dirty[j - 1]->Offset + kPageSize && j - i < 16) ++j;
    ioBuffer_.assign((j - i) * kPageSize, 0);
    for (size_t k = i; k < j; ++k) {
      uint8_t* out = ioBuffer_.data() + (k - i) * kPageSize;
      if (!dirty[k]->Pack(out)) RaiseCode(kErrIndexPageCorrupt);
      if (encrypted) EncryptBlock(out, kPageSize, kIndexKey1, kIndexKey2);
    }
    {
      TFileAccess access(*this);
      Seek(dirty[i]->Offset);
      Write(ioBuffer_.data(), static_cast<int64_t>(ioBuffer_.size()));
    }
    for (size_t k = i; k < j; ++k) dirty[k]->Dirty = false;
    ++stats_.DiskWrites;
    i = j;
  }
  if (owner_) owner_->MarkFilesWritten();
}

void TIndexFile::DropSlotPages(uint8_t slot) {
  TSlotCache& cache = caches_[slot];
  for (auto& p : cache.Pages) {
    p->Newer = p->Older = nullptr;
    if (p->Pins > 0) {
      p->Detached = true;
      detached_.push_back(std::move(p));
    } else {
      stack_.Give(std::move(p));
    }
  }
  cache.Pages.clear();
  cache.ByOffset.Clear();
  cache.Newest = cache.Oldest = nullptr;
}

void TIndexFile::DropPages(bool withStatusSlot) {
  for (uint8_t s = 0; s < kSlotCount; ++s)
    if (withStatusSlot || s != kStatusSlot) DropSlotPages(s);
}

void TIndexFile::TrimCaches(bool withStatusSlot) {
  for (uint8_t s = 0; s < kSlotCount; ++s) {
    if (!withStatusSlot && s == kStatusSlot) continue;
    TSlotCache& cache = caches_[s];
    // Highest offsets first; changed or pinned pages are never dropped.
    for (size_t i = cache.Pages.size(); i > 0 && cache.Pages.size() > kSlotCacheCapacity; --i) {
      TPage* p = cache.Pages[i - 1].get();
      if (p->Dirty || p->Pins > 0) continue;
      Unlink(cache, p);
      cache.ByOffset.Remove(p->Offset);
      stack_.Give(std::move(cache.Pages[i - 1]));
      cache.Pages.erase(cache.Pages.begin() + static_cast<ptrdiff_t>(i - 1));
    }
    cache.Capacity = std::max(kSlotCacheCapacity, cache.Pages.size());
    cache.ByOffset.Fit();
  }
}

// ---- locks ----

bool TIndexFile::LockRegion(const std::vector<uint16_t>& ownIds) { return LockFileRegion(*this, ownIds, lockRetries_); }
bool TIndexFile::UnlockRegion(const std::vector<uint16_t>& ownIds) { return UnlockFileRegion(*this, ownIds); }
bool TIndexFile::LockUserByte(uint16_t* id, const std::vector<uint16_t>& avoid) {
  return LockFileUserByte(*this, id, lockRetries_, avoid);
}
bool TIndexFile::UnlockUserByte(uint16_t id) { return UnlockFileUserByte(*this, id); }

}  // namespace tovenmarsh::engine
