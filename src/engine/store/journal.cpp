// Table journal: journaling old bytes and new content, committing, marking operations written,
// checkpointing, and repairing the files (after a failure or a crash).
//
// Journal layout (little-endian): the 8-byte magic "TMJNL003", an 8-byte salt and the written
// mark: the end of the finished operations that the files hold (8), the boot identity of the
// system that wrote them there (16), a checksum over the salt and both (4) and 4 zero bytes.
// Then records of kind (1 byte), file (1 byte), offset (8), length (4), a payload and a 4-byte
// checksum over the salt and everything before it in the record (see Checksum). Kinds: 9 begin
// (an operation starts; its offset is its own position), 1 a file's size before the operation
// (in the offset), 2 old bytes, 5 new bytes, 6 commit (the operation stands), 8 cancelled (the
// operation failed after its commit record and is undone). An operation is the records from
// the end of the previous one to its commit or cancel record. A checkpoint writes a new header
// (a new salt, a mark at the header's end) and leaves the file's length: the records behind it
// no longer count, and the next operations write over them.
//
// Journals of the earlier layouts found after a crash are still applied as they were meant to
// be: "TMJNL002" is this layout with FNV-1a checksums; "TMJNL001" held old bytes, and the hashes
// of the new content ending a completed operation, with unsalted checksums. (Their written
// marks do not count: such a journal is always repaired.)
#include "engine/store/journal.h"

#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/format/table_format_bytes.h"
#include "engine/io/file_abstract.h"
#include "engine/io/file_handler.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {

namespace {

constexpr char kMagic[8] = {'T', 'M', 'J', 'N', 'L', '0', '0', '3'};
constexpr char kMagicFnv[8] = {'T', 'M', 'J', 'N', 'L', '0', '0', '2'};
constexpr char kMagicOld[8] = {'T', 'M', 'J', 'N', 'L', '0', '0', '1'};
// Layout 3: magic, salt, then the written mark (see the top); the earlier layouts' header was
// the magic and the salt alone.
constexpr int64_t kHeaderSize = 48;
constexpr int64_t kHeaderSizeFnv = 16;
constexpr size_t kMarkAt = 16, kMarkSize = 32;
constexpr uint8_t kKindSize = 1;
constexpr uint8_t kKindBytes = 2;
constexpr uint8_t kKindOldNew = 3;   // earlier layout: a range's new-content hash
constexpr uint8_t kKindOldDone = 4;  // earlier layout: the operation is complete
constexpr uint8_t kKindNew = 5;
constexpr uint8_t kKindCommit = 6;
constexpr uint8_t kKindWritten = 7;
constexpr uint8_t kKindCancel = 8;
constexpr uint8_t kKindBegin = 9;
constexpr size_t kRecordHead = 1 + 1 + 8 + 4;
constexpr size_t kWrittenPayload = 16 + 8;  // layout 2: boot identity, salt
constexpr size_t kBeginSize = kRecordHead + 4;
constexpr size_t kPendingLimit = 4u << 20;

constexpr uint64_t kPrime1 = 0x9E3779B185EBCA87ull, kPrime2 = 0xC2B2AE3D27D4EB4Full,
                   kPrime3 = 0x165667B19E3779F9ull, kPrime4 = 0x85EBCA77C2B2AE63ull;

inline uint64_t RotateLeft(uint64_t v, int n) { return (v << n) | (v >> (64 - n)); }
// A little-endian word, in one load where the machine is little-endian.
inline uint64_t Word(const uint8_t* p, size_t at) {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t v;
    std::memcpy(&v, p + at, sizeof v);
    return v;
  } else {
    return GetU64(p, at);
  }
}
inline uint64_t Round(uint64_t lane, uint64_t word) { return RotateLeft(lane + word * kPrime2, 31) * kPrime1; }

// A record's checksum over the journal's salt and its bytes: eight bytes at a time in four
// independent lanes, so that a commit's pages cost little to check (a byte-wise hash took
// longer than the sync of a small commit).
uint32_t Checksum(uint64_t salt, const uint8_t* p, size_t n) {
  uint64_t a = salt + kPrime1 + kPrime2, b = salt + kPrime2, c = salt, d = salt - kPrime1;
  size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    a = Round(a, Word(p, i));
    b = Round(b, Word(p, i + 8));
    c = Round(c, Word(p, i + 16));
    d = Round(d, Word(p, i + 24));
  }
  uint64_t h = RotateLeft(a, 1) + RotateLeft(b, 7) + RotateLeft(c, 12) + RotateLeft(d, 18) + n;
  for (; i + 8 <= n; i += 8) h = RotateLeft(h ^ Round(0, Word(p, i)), 27) * kPrime1 + kPrime4;
  for (; i < n; ++i) h = RotateLeft(h ^ (p[i] * kPrime3), 11) * kPrime1;
  h ^= h >> 33;
  h *= kPrime2;
  h ^= h >> 29;
  h *= kPrime3;
  h ^= h >> 32;
  return static_cast<uint32_t>(h) ^ static_cast<uint32_t>(h >> 32);
}

// The checksum of the layout before ("TMJNL002"): FNV-1a over the salt and the bytes.
uint32_t ChecksumFnv(uint64_t salt, const uint8_t* p, size_t n) {
  uint32_t h = 2166136261u;
  for (int i = 0; i < 8; ++i) h = (h ^ static_cast<uint8_t>(salt >> (8 * i))) * 16777619u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

using TChecksum = uint32_t (*)(uint64_t salt, const uint8_t* p, size_t n);

uint32_t ChecksumOld(const uint8_t* p, size_t n) {
  uint32_t h = 2166136261u;
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 16777619u;
  return h;
}

uint64_t HashOld(const uint8_t* p, size_t n) {
  uint64_t h = 14695981039346656037ull;  // FNV-1a, 64 bits
  for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

bool WriteAll(int fd, const uint8_t* p, size_t n, int64_t at) { return platform::WriteAllAt(fd, p, n, at) == 0; }

size_t Payload(uint8_t kind, uint32_t length) {
  if (kind == kKindBytes || kind == kKindNew) return length;
  if (kind == kKindOldNew) return 8;
  if (kind == kKindWritten) return kWrittenPayload;
  return 0;
}

bool NamesFile(uint8_t kind) { return kind == kKindSize || kind == kKindBytes || kind == kKindNew || kind == kKindOldNew; }

uint64_t NewSalt() {
  // Only needs to differ from the salt of the journal an unsynced emptying may leave behind.
  static std::atomic<uint64_t> counter{0};
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()) * 0x9E3779B97F4A7C15ull +
         ++counter;
}

bool ThisBoot(const uint8_t* identity) {
  const auto boot = platform::BootIdentity();
  bool known = false;
  for (uint8_t b : boot) known = known || b != 0;
  return known && std::memcmp(identity, boot.data(), boot.size()) == 0;
}

// The written mark, in the header: the end of the finished operations that the files hold, the
// boot identity, and a checksum over the salt and both.
void PutMark(uint8_t* mark, uint64_t salt, int64_t end) {
  std::memset(mark, 0, kMarkSize);
  PutI64(mark, 0, end);
  const auto boot = platform::BootIdentity();
  std::memcpy(mark + 8, boot.data(), boot.size());
  PutU32(mark, 24, Checksum(salt, mark, 24));
}

void PutHeader(uint8_t* head, uint64_t salt) {
  std::memcpy(head, kMagic, sizeof kMagic);
  PutU64(head, 8, salt);
  PutMark(head + kMarkAt, salt, kHeaderSize);
}

// A begin record of the salt at its own position.
bool IsBegin(const uint8_t* r, uint64_t salt, int64_t at) {
  return r[0] == kKindBegin && GetI64(r, 2) == at && GetU32(r, 10) == 0 &&
         GetU32(r, kBeginSize - 4) == Checksum(salt, r, kBeginSize - 4);
}

void WriteAt(TFileHandler* f, int64_t offset, const uint8_t* bytes, int64_t length) {
  if (!f || !f->IsOpen()) return;
  TFileAccess access(*f);
  f->Seek(offset);
  f->TFileHandler::Write(bytes, length);
}

void CutAt(TFileHandler* f, int64_t size) {
  if (size < 0 || !f || !f->IsOpen()) return;
  TFileAccess access(*f);
  f->Seek(size);
  f->TFileHandler::Write(nullptr, 0);
}

// Applies a journal of the earlier layout: its old bytes are written back unless it is complete
// and the files hold all of its new content.
void ApplyOld(const std::vector<uint8_t>& content, const std::array<TFileHandler*, TTableJournal::kFileCount>& files,
              bool& any) {
  std::vector<const uint8_t*> records;
  bool done = false;
  std::array<int64_t, TTableJournal::kFileCount> sizes;
  sizes.fill(-1);
  size_t at = sizeof kMagicOld;
  while (content.size() - at >= kRecordHead + 4) {
    const uint8_t* r = content.data() + at;
    const uint8_t kind = r[0];
    const uint8_t file = r[1];
    const int64_t offset = GetI64(r, 2);
    const uint32_t length = GetU32(r, 10);
    if (kind < kKindSize || kind > kKindOldDone || file >= TTableJournal::kFileCount || offset < 0) break;
    const size_t size = kRecordHead + Payload(kind, length) + 4;
    if (content.size() - at < size || GetU32(r, size - 4) != ChecksumOld(r, size - 4)) break;
    if (kind == kKindBytes && (sizes[file] < 0 || offset + static_cast<int64_t>(length) > sizes[file])) break;
    if (kind == kKindSize) sizes[file] = offset;
    done = kind == kKindOldDone;
    records.push_back(r);
    at += size;
  }
  any = !records.empty();
  bool stands = done;
  for (const uint8_t* r : records) {
    if (!stands || r[0] != kKindOldNew) continue;
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
    stands = got == static_cast<int64_t>(length) && HashOld(now.data(), length) == GetU64(r, kRecordHead);
  }
  if (stands) return;
  for (const uint8_t* r : records)
    if (r[0] == kKindBytes) WriteAt(files[r[1]], GetI64(r, 2), r + kRecordHead, GetU32(r, 10));
  for (int i = 0; i < TTableJournal::kFileCount; ++i) CutAt(files[static_cast<size_t>(i)], sizes[static_cast<size_t>(i)]);
}

// Applies a journal: finished operations are written again in order, any other (the last, or a
// cancelled one) is undone with its old bytes and sizes.
void Apply(const std::vector<uint8_t>& content, const std::array<TFileHandler*, TTableJournal::kFileCount>& files,
           TChecksum checksum, int64_t headerSize, bool& any) {
  enum class TState { Open, Committed, Cancelled };
  struct TOperation {
    std::vector<const uint8_t*> records;
    std::array<int64_t, TTableJournal::kFileCount> sizes;
    TState state = TState::Open;
  };
  std::vector<TOperation> operations;
  const uint64_t salt = GetU64(content.data(), 8);
  size_t at = static_cast<size_t>(headerSize);
  // The whole records, up to a torn tail (the write it would protect never happened) or the
  // records of an earlier journal that an unsynced emptying left behind.
  while (content.size() - at >= kRecordHead + 4) {
    const uint8_t* r = content.data() + at;
    const uint8_t kind = r[0];
    const uint8_t file = r[1];
    const int64_t offset = GetI64(r, 2);
    const uint32_t length = GetU32(r, 10);
    if (kind < kKindSize || kind > kKindBegin || kind == kKindOldNew || kind == kKindOldDone) break;
    if ((NamesFile(kind) && file >= TTableJournal::kFileCount) || offset < 0) break;
    const size_t size = kRecordHead + Payload(kind, length) + 4;
    if (content.size() - at < size || GetU32(r, size - 4) != checksum(salt, r, size - 4)) break;
    at += size;
    if (NamesFile(kind)) {
      if (operations.empty() || operations.back().state != TState::Open) {
        operations.emplace_back();
        operations.back().sizes.fill(-1);
      }
      TOperation& op = operations.back();
      // Old bytes always lie inside the file's size before the operation, recorded before them.
      if (kind == kKindBytes && (op.sizes[file] < 0 || offset + static_cast<int64_t>(length) > op.sizes[file])) break;
      if (kind == kKindSize) op.sizes[file] = offset;
      op.records.push_back(r);
    } else if (kind == kKindCommit) {
      if (!operations.empty() && operations.back().state == TState::Open) operations.back().state = TState::Committed;
    } else if (kind == kKindCancel) {
      if (!operations.empty()) operations.back().state = TState::Cancelled;
    }
  }
  any = !operations.empty();
  for (const TOperation& op : operations) {
    if (op.state == TState::Committed) {
      for (const uint8_t* r : op.records)
        if (r[0] == kKindNew) WriteAt(files[r[1]], GetI64(r, 2), r + kRecordHead, GetU32(r, 10));
      continue;
    }
    for (const uint8_t* r : op.records)
      if (r[0] == kKindBytes) WriteAt(files[r[1]], GetI64(r, 2), r + kRecordHead, GetU32(r, 10));
    for (int i = 0; i < TTableJournal::kFileCount; ++i) CutAt(files[static_cast<size_t>(i)], op.sizes[static_cast<size_t>(i)]);
  }
}

}  // namespace

TTableJournal::TTableJournal(std::string path)
    : path_(std::move(path)), diskPath_(platform::CanonicalFilePath(path_)) {}

TTableJournal::~TTableJournal() { Close(); }

std::string TTableJournal::FoundPath() const {
  if (!diskPath_.empty() && platform::PathExists(diskPath_)) return diskPath_;
  if (scanned_ && !otherSpelling_) return std::string();
  scanned_ = true;
  bool found = false;
  const std::string path = platform::ResolveFilePath(path_, &found);
  otherSpelling_ = found;
  return found ? path : std::string();
}

TTableJournal::TDiskState TTableJournal::Inspect() const {
  // Asked at every lock: a missing journal costs one look, one whose operations are all written
  // reads its header and the bytes after its mark.
  platform::TFileDescriptor file;
  if (diskPath_.empty() || platform::OpenFile(diskPath_, platform::kOpenRead, file) != 0) {
    const std::string path = FoundPath();
    if (path.empty() || platform::OpenFile(path, platform::kOpenRead, file) != 0) return TDiskState::Missing;
  }
  uint8_t head[kHeaderSize];
  size_t got = 0;
  if (platform::ReadSomeAt(file.Get(), head, sizeof head, 0, got) != 0) return TDiskState::Repair;
  if (got == 0) return TDiskState::Empty;
  // Earlier layouts, torn headers and headers without a valid mark are repaired.
  if (got != sizeof head || std::memcmp(head, kMagic, sizeof kMagic) != 0) return TDiskState::Repair;
  const uint64_t salt = GetU64(head, 8);
  const uint8_t* mark = head + kMarkAt;
  const int64_t end = GetI64(mark, 0);
  if (end < kHeaderSize || GetU32(mark, 24) != Checksum(salt, mark, 24)) return TDiskState::Repair;
  // An operation begun after the mark was never marked written: its writer died (or, for a
  // caller without the writer lock, is at work).
  uint8_t begin[kBeginSize];
  if (platform::ReadSomeAt(file.Get(), begin, sizeof begin, end, got) != 0) return TDiskState::Repair;
  if (got == sizeof begin && IsBegin(begin, salt, end)) return TDiskState::Repair;
  if (end == kHeaderSize) return TDiskState::Empty;
  // Finished operations whose writes are all in the files, in this boot's cache at least.
  return ThisBoot(mark + 8) ? TDiskState::Written : TDiskState::Repair;
}

bool TTableJournal::Exists() const { return Inspect() == TDiskState::Repair; }

bool TTableJournal::HasContent() const {
  const TDiskState state = Inspect();
  return state == TDiskState::Written || state == TDiskState::Repair;
}

void TTableJournal::RaiseWrite() const { RaiseEngineError(kErrWriteError, path_); }

void TTableJournal::Open() {
  if (fd_ >= 0) return;
  // The journal of earlier operations is appended to; its directory entry is on disk already
  // (synced once by this object, in case its maker died before syncing it).
  platform::TFileDescriptor file;
  // Made anew (another user of the table may have removed it since this object synced it):
  // its name must reach the disk again.
  const bool made = platform::OpenFile(diskPath_, platform::kOpenWrite, file) == ENOENT;
  if (made) (void)platform::OpenFile(diskPath_, platform::kOpenCreate, file);
  if (!file.IsOpen()) RaiseWrite();
  uint8_t head[kHeaderSize];
  size_t got = 0;
  pending_.clear();
  const bool read = platform::ReadSomeAt(file.Get(), head, sizeof head, 0, got) == 0;
  if (read && got == sizeof head && std::memcmp(head, kMagic, sizeof kMagic) == 0 &&
      GetI64(head, kMarkAt) >= kHeaderSize &&
      GetU32(head, kMarkAt + 24) == Checksum(GetU64(head, 8), head + kMarkAt, 24)) {
    // Appended after the finished operations the mark counts; whatever lies beyond them (an
    // older journal's records, left there by a checkpoint) is written over.
    salt_ = GetU64(head, 8);
    end_ = GetI64(head, kMarkAt);
  } else {
    // Empty (or of no use: the caller repaired whatever it held). The header goes out with the
    // first records; a journal without it is ignored.
    if ((!read || got > 0) && platform::TruncateFile(file.Get(), 0) != 0) RaiseWrite();
    salt_ = NewSalt();
    pending_.resize(kHeaderSize);
    PutHeader(pending_.data(), salt_);
    end_ = 0;
  }
  fd_ = file.Release();
  opStart_ = end_;
  synced_ = end_;
  earlier_ = end_ > kHeaderSize;
  directoryUnsynced_ = made || !entryDurable_;
  unsynced_ = false;
  completed_ = false;
  holdUndo_ = true;
  undo_.clear();
  sizeKnown_.fill(false);
  for (auto& s : saved_) s.clear();
  Begin();
}

void TTableJournal::Begin() {
  // Tells Inspect that an operation follows the mark, before any of its records.
  Append(kKindBegin, 0, end_ + static_cast<int64_t>(pending_.size()), nullptr, 0);
}

void TTableJournal::Close() {
  platform::CloseDescriptor(fd_);
  fd_ = -1;
  pending_.clear();
  undo_.clear();
  unsynced_ = false;
  completed_ = false;
  earlier_ = false;
}

void TTableJournal::Append(uint8_t kind, uint8_t file, int64_t offset, const uint8_t* bytes, uint32_t length) {
  // The old bytes and sizes wait in memory: an operation that ends with Complete writes the
  // files only after its commit record is synced, so a crash before that finds them untouched,
  // and a failure after it puts them in the journal then (Rollback).
  const bool undo = holdUndo_ && (kind == kKindSize || kind == kKindBytes);
  std::vector<uint8_t>& to = undo ? undo_ : pending_;
  const size_t at = to.size();
  to.resize(at + kRecordHead + Payload(kind, length) + 4);
  uint8_t* record = to.data() + at;
  const size_t size = to.size() - at;
  record[0] = kind;
  record[1] = file;
  PutI64(record, 2, offset);
  PutU32(record, 10, length);
  if (const size_t payload = Payload(kind, length)) std::memcpy(record + kRecordHead, bytes, payload);
  // Held records get their checksums when they go out: most never do.
  if (!undo) PutU32(record, size - 4, Checksum(salt_, record, size - 4));
  if (undo && undo_.size() >= kPendingLimit) SpillUndo();
  // A large operation's old bytes go out as they come (synced later, all at once).
  if (pending_.size() >= kPendingLimit) {
    unsynced_ = true;
    if (!WriteAll(fd_, pending_.data(), pending_.size(), end_)) RaiseWrite();
    end_ += static_cast<int64_t>(pending_.size());
    pending_.clear();
  }
}

void TTableJournal::SpillUndo() {
  // From here on the operation's old bytes go out in order: held ones after spilled ones would
  // lack the sizes recorded before them.
  holdUndo_ = false;
  for (size_t at = 0; at < undo_.size();) {
    uint8_t* record = undo_.data() + at;
    const size_t size = kRecordHead + Payload(record[0], GetU32(record, 10)) + 4;
    PutU32(record, size - 4, Checksum(salt_, record, size - 4));
    at += size;
  }
  pending_.insert(pending_.end(), undo_.begin(), undo_.end());
  undo_.clear();
}

void TTableJournal::Sync() {
  // Writes may follow that Complete does not cover: they need their old bytes on disk first.
  SpillUndo();
  WriteAndSync();
}

void TTableJournal::WriteAndSync() {
  if (fd_ < 0 || (pending_.empty() && !unsynced_)) return;
  // On disk, with the journal's directory entry, before any write it protects may happen. Once
  // written (even in part), the records may reach the disk: a rollback must take them back.
  unsynced_ = true;
  if (!WriteAll(fd_, pending_.data(), pending_.size(), end_) || platform::SyncFileData(fd_) != 0) RaiseWrite();
  end_ += static_cast<int64_t>(pending_.size());
  synced_ = end_;
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
  if (completed_) {
    // Written to after its commit: what follows is an operation of its own, undone alone, whose
    // old bytes are the committed content.
    completed_ = false;
    earlier_ = true;
    undo_.clear();
    holdUndo_ = true;
    Begin();
    sizeKnown_.fill(false);
    for (auto& s : saved_) s.clear();
  }
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
    for (int64_t done = 0; done < r.length;) {
      const uint32_t length = static_cast<uint32_t>(std::min<int64_t>(r.length - done, 1 << 20));
      Append(kKindNew, static_cast<uint8_t>(r.file), r.offset + done, r.bytes + done, length);
      done += length;
    }
  }
  Append(kKindCommit, 0, 0, nullptr, 0);
  // Set before the sync: should the sync of the journal's name fail after its records', the
  // synced commit record must be cancelled by the rollback.
  completed_ = true;
  WriteAndSync();
}

bool TTableJournal::Commit(const std::array<TFileHandler*, kFileCount>& files) {
  if (fd_ < 0) return false;
  if (completed_) {
    // The files hold the operation now (in the system's cache at least). An unwritten mark only
    // makes the next user write the same content again.
    // The mark goes in the header: the journal file is written over from the start after a
    // checkpoint, never cut, so its end says nothing.
    unsynced_ = true;
    if (!WriteAll(fd_, pending_.data(), pending_.size(), end_)) RaiseWrite();  // rolled back by the caller
    end_ += static_cast<int64_t>(pending_.size());
    pending_.clear();
    uint8_t mark[kMarkSize];
    PutMark(mark, salt_, end_);
    if (!WriteAll(fd_, mark, sizeof mark, static_cast<int64_t>(kMarkAt))) RaiseWrite();
    const bool due = end_ >= kCheckpointBytes;
    Close();
    return due;
  }
  // Saved bytes never synced protected no write: they are simply dropped. Otherwise the files
  // are on disk (the caller synced them), and the emptied journal must be too: found again,
  // this operation would be undone.
  bool ok = true;
  if (Written()) {
    for (TFileHandler* f : files)
      if (f && f->IsOpen()) f->Flush();
    ok = platform::TruncateFile(fd_, 0) == 0 && platform::SyncFileData(fd_) == 0;
  }
  Close();
  if (!ok) RaiseWrite();
  return false;
}

void TTableJournal::Checkpoint() {
  if (fd_ >= 0) return;  // never under an operation
  const std::string path = FoundPath();
  platform::TFileDescriptor file;
  if (path.empty() || platform::OpenFile(path, platform::kOpenWrite, file) != 0) return;  // gone already
  // A new salt disowns every record behind the header, and the mark counts none: the next
  // operation writes over them. Cutting the file instead would cost more (its blocks freed,
  // and every later sync writing its growing size too).
  uint8_t head[kHeaderSize];
  PutHeader(head, NewSalt());
  if (!WriteAll(file.Get(), head, sizeof head, 0)) RaiseWrite();
}

void TTableJournal::Remove() {
  Close();
  (void)platform::RemoveFile(platform::ResolveFilePath(path_));  // missing is fine: nothing to undo
  otherSpelling_ = false;
  entryDurable_ = false;
}

bool TTableJournal::Rollback(const std::array<TFileHandler*, kFileCount>& files) {
  if (fd_ >= 0) {
    // This object's operation failed. What it wrote to the journal beyond the last sync goes
    // first (a commit record among it must never reach the disk), with a sync of its own.
    if (unsynced_) {
      if (platform::TruncateFile(fd_, synced_) != 0 || platform::SyncFileData(fd_) != 0) RaiseWrite();
      end_ = synced_;
      pending_.clear();
      unsynced_ = false;
    }
    // When none of it was synced, none of it reached the files either, and the journal holds
    // only what stands.
    if (end_ <= opStart_) {
      Close();
      return false;
    }
    // Its synced commit record is cancelled on disk first, or a crash during the repair would
    // make the failed operation stand. Its old bytes, held until now, go before the cancel
    // record: an operation of their own after the committed one, undone once that is made.
    if (completed_) {
      SpillUndo();
      Append(kKindCancel, 0, 0, nullptr, 0);
      WriteAndSync();
    }
    Close();
  }
  const std::string path = platform::ResolveFilePath(path_);
  std::string text;
  if (platform::ReadWholeFile(path, text) == ENOENT) return false;
  // An unreadable tail counts as torn: what was read is applied, as before.
  const std::vector<uint8_t> content(text.begin(), text.end());
  if (content.empty()) return false;  // emptied by a checkpoint
  bool any = false;
  applying_ = true;
  try {
    if (content.size() >= static_cast<size_t>(kHeaderSize) && std::memcmp(content.data(), kMagic, sizeof kMagic) == 0)
      Apply(content, files, Checksum, kHeaderSize, any);
    else if (content.size() >= static_cast<size_t>(kHeaderSizeFnv) &&
             std::memcmp(content.data(), kMagicFnv, sizeof kMagicFnv) == 0)
      Apply(content, files, ChecksumFnv, kHeaderSizeFnv, any);
    else if (content.size() >= sizeof kMagicOld && std::memcmp(content.data(), kMagicOld, sizeof kMagicOld) == 0)
      ApplyOld(content, files, any);
    if (any) {
      for (TFileHandler* f : files)
        if (f && f->IsOpen()) f->Flush();
    }
  } catch (...) {
    applying_ = false;
    throw;  // the journal stays for the next attempt
  }
  applying_ = false;
  // The files hold what stands and are synced. The removal's sync may fail without harm, so it
  // raises nothing here (where a raise would cut short the caller's cleanup): a journal that
  // comes back after a crash only writes the same bytes again, and the next operation makes its
  // journal anew (entryDurable_ is false) and syncs that name before any write it protects.
  (void)platform::RemoveFile(path);
  (void)platform::SyncFolderOf(path);
  otherSpelling_ = false;
  entryDurable_ = false;
  return true;
}

}  // namespace tovenmarsh::engine
