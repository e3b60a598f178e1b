// A disk file opened once per process (see file_physical.h).
#include "engine/io/file_physical.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "engine/base/engine_error.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {

namespace {
constexpr int64_t kPiece = TPageCache::kPieceSize;
// A miss reads at most this many pieces for the bytes asked for, and at most this many more
// ahead while reads are sequential.
constexpr int64_t kMaxRunPieces = 64;
constexpr int64_t kMaxAheadPieces = 32;
// A read of this many bytes or more is a scan's (records read ahead in a block): it goes to the
// file and leaves the cache as it is. Its pieces are read once; kept, they would push out the
// pieces that lookups come back to, and fill the process with memory used once.
constexpr int64_t kStreamBytes = 8 * kPiece;
}  // namespace

TPhysicalFile::TPhysicalFile(TPageCache* cache) : cache_(cache), cacheId_(cache ? cache->NewFileId() : 0) {}

TPhysicalFile::~TPhysicalFile() {
  DropCache();
  Unmap();
  locks_.Detach();
  os_.Close();
}

void TPhysicalFile::Unmap() {
  mappedHead_.store(nullptr, std::memory_order_release);
  platform::UnmapForReading(head_, static_cast<size_t>(kFileHeadSize));
  head_ = nullptr;
  headTried_ = false;
}

bool TPhysicalFile::MappedHead(const uint8_t*& head) {
  if (!os_.IsOpen()) return false;
  if (head_ == nullptr) {
    if (headTried_) return false;
    // Only a file that already holds a header: a mapped page wholly beyond the end would fault.
    if (os_.Size() < 4) return false;
    headTried_ = true;
    head_ = platform::MapForReading(os_.Descriptor(), static_cast<size_t>(kFileHeadSize));
    if (head_ == nullptr) return false;
    mappedHead_.store(head_, std::memory_order_release);
  }
  head = head_;
  return true;
}

bool TPhysicalFile::PeekHead(int64_t offset, void* buffer, int64_t count) {
  if (offset < 0 || count < 0 || offset + count > kFileHeadSize) return false;
  // Every cursor operation looks at the counters: once mapped, without the lock.
  if (const uint8_t* head = mappedHead_.load(std::memory_order_acquire)) {
    std::memcpy(buffer, head + offset, static_cast<size_t>(count));
    return true;
  }
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!os_.IsOpen()) return false;
  // Bytes beyond a short file's end would read as zeros from the mapped page.
  if (head_ == nullptr && os_.Size() < offset + count) return false;
  const uint8_t* head = nullptr;
  if (!MappedHead(head)) return false;
  std::memcpy(buffer, head + offset, static_cast<size_t>(count));
  return true;
}

// ---- page cache ----

void TPhysicalFile::DropCache() {
  if (cache_ && cacheId_) cache_->DropFile(cacheId_);
  counterKnown_ = false;
  keptOverClose_ = false;
  nextMiss_ = -1;
  readAhead_ = 0;
}

bool TPhysicalFile::CacheValid() {
  if (!cache_ || !cache_->Enabled()) return false;
  const uint8_t* head = nullptr;
  if (!MappedHead(head)) return false;
  uint32_t counter = 0;
  std::memcpy(&counter, head, sizeof counter);
  if (!counterKnown_ || counter != counter_) {
    DropCache();
    counter_ = counter;
    counterKnown_ = true;
  }
  return true;
}

int64_t TPhysicalFile::CachedRead(void* buffer, int64_t count, int64_t offset) {
  // A header is read from its start, and always from the file: it is what tells whether the
  // pieces held are current.
  if (offset == 0 || count <= 0 || count >= kStreamBytes || (offset + count - 1) / kPiece > UINT32_MAX ||
      !CacheValid())
    return os_.ReadAt(buffer, count, offset);
  auto* out = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const int64_t position = offset + done;
    const int64_t piece = position / kPiece;
    const int64_t at = position % kPiece;
    const int64_t want = std::min(count - done, kPiece - at);
    if (cache_->Get(cacheId_, static_cast<uint32_t>(piece), at, out + done, want)) {
      done += want;
      continue;
    }
    if (!keepReads_) {  // the rest from the file, nothing kept
      const int64_t got = os_.ReadAt(out + done, count - done, position);
      if (got < 0) return done > 0 ? done : got;
      return done + got;
    }
    // A miss reads every piece the request still needs in one go, and more ahead while the
    // reads run on from where the last one stopped (a scan).
    readAhead_ = piece == nextMiss_ ? std::min(std::max<int64_t>(readAhead_ * 2, 4), kMaxAheadPieces) : 0;
    const int64_t needed = std::min((offset + count - 1) / kPiece - piece + 1, kMaxRunPieces);
    const int64_t pieces = std::min<int64_t>(needed + readAhead_, UINT32_MAX - piece + 1);
    runBuffer_.resize(static_cast<size_t>(pieces * kPiece));
    const int64_t got = os_.ReadAt(runBuffer_.data(), pieces * kPiece, piece * kPiece);
    if (got < 0) return done > 0 ? done : got;
    for (int64_t i = 0; i < got / kPiece; ++i)
      cache_->Put(cacheId_, static_cast<uint32_t>(piece + i), runBuffer_.data() + i * kPiece);
    nextMiss_ = piece + pieces;
    const int64_t copied = std::min(count - done, got - at);
    if (copied <= 0) return done;
    std::memcpy(out + done, runBuffer_.data() + at, static_cast<size_t>(copied));
    done += copied;
    if (got < pieces * kPiece) return done;  // the end of the file
  }
  return done;
}

void TPhysicalFile::CacheWritten(const void* buffer, int64_t count, int64_t offset) {
  const auto* bytes = static_cast<const uint8_t*>(buffer);
  if (offset < 4) {
    // The counter moves with this process's own header write: the pieces, updated below, stay
    // those of the new value.
    if (offset != 0 || count < 4) {
      DropCache();
      return;
    }
    std::memcpy(&counter_, bytes, sizeof counter_);
  }
  for (int64_t done = 0; done < count;) {
    const int64_t position = offset + done;
    const int64_t piece = position / kPiece;
    const int64_t at = position % kPiece;
    const int64_t n = std::min(count - done, kPiece - at);
    if (piece <= UINT32_MAX) cache_->Update(cacheId_, static_cast<uint32_t>(piece), at, bytes + done, n);
    done += n;
  }
}

platform::TOsOpenOptions TPhysicalFile::Options() const {
  platform::TOsOpenOptions options;
  options.exclusive = exclusive_;
  options.writeThrough = writeThrough_;
  options.sequential = sequential_;
  return options;
}

void TPhysicalFile::AttachLocks() { locks_.Attach(os_.Descriptor(), os_.ReadOnly()); }

int32_t TPhysicalFile::CreateContent() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -kErrAccessDenied;
  // A created file is left in place at its last close unless it is temporary.
  platform::TOsOpenOptions options = Options();
  options.deleteOnClose = temporary_;
  DropCache();
  Unmap();
  const int result = os_.Create(name_, options);
  if (result < 0) return result;
  readOnly_ = false;
  openedReadOnly_ = false;
  AttachLocks();
  return AddHandle();
}

int32_t TPhysicalFile::OpenHandle() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (handles_.empty()) {
    platform::TOsOpenOptions options = Options();
    options.deleteOnClose = temporary_;
    const int result = os_.Open(name_, options);
    if (result < 0) {
      DropCache();
      return result;
    }
    if (keptOverClose_) {
      platform::TFileStamp now;
      if (os_.Stamp(now) != 0 || !(now == closedStamp_)) DropCache();
      keptOverClose_ = false;
    }
    readOnly_ = os_.ReadOnly();
    openedReadOnly_ = readOnly_;
    AttachLocks();
  }
  return AddHandle();
}

int32_t TPhysicalFile::CloseHandle(int32_t handle) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  const int32_t result = TAbstractFile::CloseHandle(handle);
  if (result == 0 && handles_.empty()) {
    // Closed, the file may change under other hands without anyone here looking. The pieces
    // stay for the next opening (a statement after a statement) with the file's stamp now: that
    // opening keeps them only when the stamp is unchanged, and then its first read still
    // compares the update counter, as every read while open does (a write in the same tick as
    // this close leaves the times alone but not the counter).
    nextMiss_ = -1;
    readAhead_ = 0;
    if (!counterKnown_ || os_.Stamp(closedStamp_) != 0) DropCache();
    else keptOverClose_ = true;
    Unmap();
    locks_.Detach();
    os_.Close();
  }
  return result;
}

int32_t TPhysicalFile::Rename(const std::string& newName) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -kErrAccessDenied;
  return platform::RenameFileOnDisk(name_, newName);
}

int32_t TPhysicalFile::Delete() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!handles_.empty()) return -kErrAccessDenied;
  return platform::DeleteFileOnDisk(name_);
}

int64_t TPhysicalFile::Read(int32_t handle, void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -kErrInvalidFileHandle;
  if (count <= 0) return 0;
  const int64_t got = CachedRead(buffer, count, entry->position);
  if (got > 0) entry->position += got;
  return got;
}

int64_t TPhysicalFile::Write(int32_t handle, const void* buffer, int64_t count) {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  THandleEntry* entry = Entry(handle);
  if (entry == nullptr) return -kErrInvalidFileHandle;
  if (count < 0) return 0;
  if (count == 0) {
    if (readOnly_) return -kErrAccessDenied;
    DropCache();
    const int result = os_.SetSize(entry->position);
    return result < 0 ? result : 0;
  }
  if (readOnly_) return -kErrAccessDenied;
  // Pieces of an older counter value go before this write is laid over them.
  const bool cached = CacheValid();
  const int64_t put = os_.WriteAt(buffer, count, entry->position);
  if (put == count && cached) CacheWritten(buffer, put, entry->position);
  else DropCache();
  if (put > 0) entry->position += put;
  return put;
}

int64_t TPhysicalFile::Size() const {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  return os_.Size();
}

int32_t TPhysicalFile::Flush() {
  std::lock_guard<std::recursive_mutex> guard(mutex_);
  if (!os_.IsOpen()) return -kErrInvalidFileHandle;
  return os_.Sync();
}

}  // namespace tovenmarsh::engine
