// Rollback journal: appending old bytes before they are overwritten, committing, and rolling
// back (after a failure or a crash).
//
// Journal layout (little-endian): the 8-byte magic "TMJNL001", then records of
//   kind (1 byte: 1 original size, 2 old bytes, 3 a range's new content, 4 complete), file (1
//   byte), offset (8), length (4), the bytes (kind 2) or the 8-byte hash of the new content
//   (kind 3), and a 4-byte checksum over everything before it in the record.
#include "engine/store/journal.h"

#include <cerrno>
#include <cstring>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/io/file_abstract.h"
#include "engine/io/file_handler.h"
#include "engine/format/table_format_bytes.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {

namespace {

constexpr char kMagic[8] = {'T', 'M', 'J', 'N', 'L', '0', '0', '1'};
constexpr uint8_t kKindSize = 1;
constexpr uint8_t kKindBytes = 2;
constexpr uint8_t kKindNew = 3;
constexpr uint8_t kKindDone = 4;
constexpr size_t kRecordHead = 1 + 1 + 8 + 4;
constexpr size_t kPendingLimit = 4u << 20;

uint32_t Checksum(const uint8_t* p, size_t n) {
  uint32_t h = 2166136261u;  // FNV-1a
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

bool WriteAll(int fd, const uint8_t* p, size_t n, int64_t at) { return platform::WriteAllAt(fd, p, n, at) == 0; }

bool DiskSize(const std::string& path, int64_t& size) { return platform::FileSize(path, size) == 0; }

size_t Payload(uint8_t kind, uint32_t length) {
  if (kind == kKindBytes) return length;
  if (kind == kKindNew) return 8;
  return 0;
}

}  // namespace

uint64_t TTableJournal::HashBytes(const uint8_t* p, size_t n) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a, 64 bits
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

TTableJournal::TTableJournal(std::string path)
    : path_(std::move(path)), diskPath_(platform::CanonicalFilePath(path_)) {}

TTableJournal::~TTableJournal() { Close(); }

bool TTableJournal::Exists() const {
  // An empty journal is the one a finished operation leaves for the next: nothing to undo.
  int64_t size = 0;
  if (!diskPath_.empty() && DiskSize(diskPath_, size)) return size > 0;
  if (!scanned_) {
    scanned_ = true;
    bool found = false;
    const std::string path = platform::ResolveFilePath(path_, &found);
    otherSpelling_ = found && DiskSize(path, size) && size > 0;
  }
  return otherSpelling_;
}

void TTableJournal::RaiseWrite() const { RaiseEngineError(kErrWriteError, path_); }

void TTableJournal::Open() {
  if (fd_ >= 0) return;
  // The empty journal of the last operation is reused: its directory entry is on disk already
  // (synced once by this object, in case its maker died before syncing it).
  platform::TFileDescriptor file;
  // Made anew (another user of the table may have removed it since this object synced it):
  // its name must reach the disk again.
  using platform::kOpenTruncate;
  const bool made = platform::OpenFile(diskPath_, platform::kOpenWrite | kOpenTruncate, file) == ENOENT;
  if (made) (void)platform::OpenFile(diskPath_, platform::kOpenCreate | kOpenTruncate, file);
  if (!file.IsOpen()) RaiseWrite();
  fd_ = file.Release();
  // The magic goes out with the first records; a journal without it is ignored.
  pending_.assign(kMagic, kMagic + sizeof kMagic);
  directoryUnsynced_ = made || !entryDurable_;
  unsynced_ = false;
  completed_ = false;
  end_ = 0;
  sizeKnown_.fill(false);
  for (auto& s : saved_) s.clear();
}

void TTableJournal::Close() {
  platform::CloseDescriptor(fd_);
  fd_ = -1;
  pending_.clear();
  unsynced_ = false;
  completed_ = false;
}

void TTableJournal::Append(uint8_t kind, uint8_t file, int64_t offset, const uint8_t* bytes, uint32_t length) {
  // Anything journaled after the end leaves the operation open again.
  if (kind != kKindDone) completed_ = false;
  const size_t at = pending_.size();
  pending_.resize(at + kRecordHead + Payload(kind, length) + 4);
  uint8_t* record = pending_.data() + at;
  const size_t size = pending_.size() - at;
  record[0] = kind;
  record[1] = file;
  PutI64(record, 2, offset);
  PutU32(record, 10, length);
  if (kind == kKindBytes) std::memcpy(record + kRecordHead, bytes, length);
  if (kind == kKindNew) std::memcpy(record + kRecordHead, bytes, 8);
  PutU32(record, size - 4, Checksum(record, size - 4));
  // A large operation's old bytes go out as they come (synced later, all at once).
  if (pending_.size() >= kPendingLimit) {
    if (!WriteAll(fd_, pending_.data(), pending_.size(), end_)) RaiseWrite();
    end_ += static_cast<int64_t>(pending_.size());
    pending_.clear();
    unsynced_ = true;
  }
}

void TTableJournal::Sync() {
  if (fd_ < 0 || (pending_.empty() && !unsynced_)) return;
  // On disk, with the journal's directory entry, before any write it protects may happen.
  if (!WriteAll(fd_, pending_.data(), pending_.size(), end_) || platform::SyncFileData(fd_) != 0) RaiseWrite();
  end_ += static_cast<int64_t>(pending_.size());
  pending_.clear();
  unsynced_ = false;
  if (directoryUnsynced_) {
    if (platform::SyncFolderOf(diskPath_) != 0) RaiseWrite();
    directoryUnsynced_ = false;
    entryDurable_ = true;
  }
}

void TTableJournal::BeforeWrite(int file, TFileHandler& handler, int64_t count) {
  if (applying_ || file < 0 || file >= kFileCount) return;
  const int64_t position = handler.Seek(0, kSeekFromCurrent);
  Save(file, handler, position, count);
  Sync();
}

void TTableJournal::Save(int file, TFileHandler& handler, int64_t at, int64_t count) {
  if (applying_ || file < 0 || file >= kFileCount) return;
  Open();
  const int64_t position = handler.Seek(0, kSeekFromCurrent);
  if (!sizeKnown_[file]) {
    originalSize_[file] = handler.GetSize();
    sizeKnown_[file] = true;
    Append(kKindSize, static_cast<uint8_t>(file), originalSize_[file], nullptr, 0);
  }
  // Bytes beyond the original end go with the truncation; a truncation itself destroys
  // everything behind the position.
  const int64_t end = count == 0 ? originalSize_[file] : std::min(at + count, originalSize_[file]);
  auto& saved = saved_[file];
  std::vector<uint8_t> old;
  while (at < end) {
    // Skip ranges already saved.
    auto it = saved.upper_bound(at);
    if (it != saved.begin()) {
      auto prev = std::prev(it);
      if (prev->second > at) {
        at = prev->second;
        continue;
      }
    }
    const int64_t stop = it != saved.end() ? std::min(end, it->first) : end;
    const uint32_t length = static_cast<uint32_t>(std::min<int64_t>(stop - at, 1 << 20));
    old.resize(length);
    handler.Seek(at);
    const int64_t got = handler.Read(old.data(), length, true);
    handler.Seek(position);
    if (got != length) RaiseEngineError(kErrReadError, handler.FileName());
    Append(kKindBytes, static_cast<uint8_t>(file), at, old.data(), length);
    saved[at] = at + length;
    at += length;
  }
  handler.Seek(position);
}

void TTableJournal::Complete(const std::vector<TNewRange>& ranges) {
  Open();
  for (const TNewRange& r : ranges) {
    uint8_t hash[8];
    PutU64(hash, 0, r.hash);
    Append(kKindNew, static_cast<uint8_t>(r.file), r.offset, hash, static_cast<uint32_t>(r.length));
  }
  Append(kKindDone, 0, 0, nullptr, 0);
  Sync();
  completed_ = true;
}

void TTableJournal::Commit(const std::array<TFileHandler*, kFileCount>& files) {
  if (fd_ < 0) return;
  // Saved bytes never synced protected no write: they are simply dropped with the journal.
  for (TFileHandler* f : files)
    if (f && f->IsOpen()) f->Flush();
  // Emptied rather than deleted: one sync of the journal ends the operation for good, where a
  // deletion would need the directory synced (and the next operation would sync it again). A
  // completed journal that outlives a crash finds the synced files holding its new content and
  // is dropped then: its emptying needs no sync of its own.
  bool ok = platform::TruncateFile(fd_, 0) == 0;
  if (ok && !completed_) ok = platform::SyncFileData(fd_) == 0;
  Close();
  if (!ok) RaiseWrite();
}

void TTableJournal::Remove() {
  Close();
  (void)platform::RemoveFile(platform::ResolveFilePath(path_));  // missing is fine: nothing to undo
  otherSpelling_ = false;
  entryDurable_ = false;
}

bool TTableJournal::Rollback(const std::array<TFileHandler*, kFileCount>& files, bool keepDone) {
  Close();
  const std::string path = platform::ResolveFilePath(path_);
  std::string text;
  if (platform::ReadWholeFile(path, text) == ENOENT) return false;
  // An unreadable tail counts as torn: what was read is applied, as before.
  const std::vector<uint8_t> content(text.begin(), text.end());
  if (content.empty()) return false;  // the empty journal of a finished operation
  // The whole records, up to a torn tail (the write it would protect never happened).
  std::vector<const uint8_t*> records;
  bool done = false;
  if (content.size() >= sizeof kMagic && std::memcmp(content.data(), kMagic, sizeof kMagic) == 0) {
    std::array<int64_t, kFileCount> sizes;
    sizes.fill(-1);
    size_t at = sizeof kMagic;
    while (content.size() - at >= kRecordHead + 4) {
      const uint8_t* r = content.data() + at;
      const uint8_t kind = r[0];
      const uint8_t file = r[1];
      const int64_t offset = GetI64(r, 2);
      const uint32_t length = GetU32(r, 10);
      if (kind < kKindSize || kind > kKindDone || file >= kFileCount || offset < 0) break;
      const size_t size = kRecordHead + Payload(kind, length) + 4;
      if (content.size() - at < size || GetU32(r, size - 4) != Checksum(r, size - 4)) break;
      // Old bytes always lie inside the file's original size, recorded before them.
      if (kind == kKindBytes && (sizes[file] < 0 || offset + static_cast<int64_t>(length) > sizes[file])) break;
      if (kind == kKindSize) sizes[file] = offset;
      done = kind == kKindDone;  // the last record ends the operation, or it is open
      records.push_back(r);
      at += size;
    }
  }
  applying_ = true;
  try {
    // A completed operation whose every new range the files hold happened in full: it stands.
    bool stands = keepDone && done;
    for (const uint8_t* r : records) {
      if (!stands || r[0] != kKindNew) continue;
      TFileHandler* f = files[r[1]];
      const uint32_t length = GetU32(r, 10);
      std::vector<uint8_t> now(length);
      if (!f || !f->IsOpen()) {
        stands = false;
        break;
      }
      TFileAccess access(*f);
      f->Seek(GetI64(r, 2));
      const int64_t got = f->TFileHandler::Read(now.data(), length, true);
      stands = got == static_cast<int64_t>(length) && HashBytes(now.data(), length) == GetU64(r, kRecordHead);
    }
    if (!stands) {
      std::array<int64_t, kFileCount> sizes;
      sizes.fill(-1);
      for (const uint8_t* r : records) {
        TFileHandler* f = files[r[1]];
        if (r[0] == kKindSize) {
          sizes[r[1]] = GetI64(r, 2);
        } else if (r[0] == kKindBytes && f && f->IsOpen()) {
          TFileAccess access(*f);
          f->Seek(GetI64(r, 2));
          f->TFileHandler::Write(r + kRecordHead, GetU32(r, 10));
        }
      }
      for (int i = 0; i < kFileCount; ++i) {
        TFileHandler* f = files[i];
        if (sizes[i] < 0 || !f || !f->IsOpen()) continue;
        TFileAccess access(*f);
        f->Seek(sizes[i]);
        f->TFileHandler::Write(nullptr, 0);
      }
    }
    if (!records.empty()) {
      for (TFileHandler* f : files)
        if (f && f->IsOpen()) f->Flush();
    }
  } catch (...) {
    applying_ = false;
    throw;  // the journal stays for the next attempt
  }
  applying_ = false;
  // The old bytes are back (or the new ones stand) and flushed. The removal's sync may fail
  // without harm, so it raises nothing here (where a raise would cut short the caller's
  // cleanup): a journal that comes back after a crash only writes the same old bytes again (or
  // finds the same new ones), and the next operation makes its journal anew (entryDurable_ is
  // false) and syncs that name before any write it protects.
  (void)platform::RemoveFile(path);
  (void)platform::SyncFolderOf(path);
  otherSpelling_ = false;
  entryDurable_ = false;
  sizeKnown_.fill(false);
  for (auto& s : saved_) s.clear();
  return true;
}

}  // namespace tovenmarsh::engine
