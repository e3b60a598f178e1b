// Shared tables: opening (with a missing index file made anew), creating, renaming, deleting
// and emptying the files; record, reader, table and writer locks; change detection; and the
// table's transaction with its ordered commit.
#include "engine/table/shared_table.h"

#include <algorithm>
#include <cstring>
#include <chrono>
#include <future>
#include <system_error>
#include <thread>

#include "engine/base/engine_error.h"
#include "engine/base/engine_strings.h"
#include "engine/io/file_list.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {

namespace {

bool HasDirectoryPart(const std::string& name) {
  return name.find_first_of("\\/:") != std::string::npos;
}

// Puts the directory entries beside a file (names just made or renamed) on disk; a failure is
// the caller's write error.
void SyncDirectoryOf(const std::string& file) {
  if (platform::SyncFolderOf(platform::CanonicalFilePath(file)) != 0) RaiseEngineError(kErrWriteError, file);
}

// The intent of a rename: pairs of lines (a file's name, its new name) in the order of renaming;
// on disk, with its own name, before the first rename, and locked (an exclusive lock on the open
// file, which tells other users of this or another process that the rename is running, so that
// they do not take it for one cut short) until the rename has ended.
void WriteRenameIntent(const std::string& intent, const std::vector<std::pair<std::string, std::string>>& moves,
                       platform::TFileDescriptor& held) {
  std::string text;
  for (const auto& [from, to] : moves) text += from + "\n" + to + "\n";
  const std::string path = platform::CanonicalFilePath(intent);
  if (platform::OpenLockFile(path, platform::kOpenCreate, true, held) != 0) RaiseEngineError(kErrWriteError, intent);
  if (platform::TruncateFile(held.Get(), 0) != 0) RaiseEngineError(kErrWriteError, intent);
  if (platform::WriteAll(held.Get(), text) != 0 || platform::SyncFile(held.Get()) != 0) {
    (void)platform::RemoveFile(path);  // half written: no rename has begun, so nothing needs it
    RaiseEngineError(kErrWriteError, intent);
  }
  SyncDirectoryOf(intent);
}

}  // namespace

void RecoverTableRename(const std::string& base) {
  // Written under its canonical spelling only: one look, no search of the directory.
  const std::string intent = platform::CanonicalFilePath(base + ".RNM");
  if (intent.empty() || !platform::PathExists(intent)) return;
  // A rename still running holds the lock: wait for its end, after which its intent is gone.
  platform::TFileDescriptor held;
  if (platform::OpenLockFile(intent, platform::kOpenRead, true, held) != 0) return;
  std::string text;
  (void)platform::ReadAll(held.Get(), text);  // a line cut short by a read error counts as torn
  // With the data file still under the old name the rename never reached its commit point: each
  // file already moved goes back. Otherwise the new name is whole and nothing is left to do. An
  // unfinished line is one the crash cut: no rename followed it.
  if (EngineFileExists(base + ".DAT", false)) {
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
      lines.push_back(text.substr(at, end - at));
    bool moved = false;
    for (size_t i = 0; i + 1 < lines.size(); i += 2) {
      TFileHandler from(lines[i]), to(lines[i + 1]);
      if (from.FileExists() || !to.FileExists()) continue;
      to.RenameFile(lines[i]);
      moved = true;
    }
    if (moved) SyncDirectoryOf(base + ".DAT");
  }
  // One that cannot go (a read-only directory) is followed again next time, which finds nothing
  // left to move back.
  (void)platform::RemoveFile(intent);
  SyncDirectoryOf(intent);
}

TDataTable::TDataTable(std::string folder, const TSessionSettings* settings, std::string name, bool memory)
    : folder_(std::move(folder)), settings_(settings), name_(ForceFileExt(name, ".DAT")), memory_(memory) {
  if (settings_) lockRetries_ = settings_->TableLockRetries;
  ConfigureFiles();
}

std::array<TFileHandler*, TTableJournal::kFileCount> TDataTable::Files() {
  return {data_.get(), index_.get(), blob_.get()};
}

bool TDataTable::BeforeWrite(int file, TFileHandler& handler, const void* bytes, int64_t count) {
  if (file < 0 || file >= TTableJournal::kFileCount) return false;
  unflushed_[file] = true;
  if (!journal_ || !journalOn_) return false;
  if (deferring_ && count > 0 && count <= kMostHeld - heldBytes_) {
    const int64_t position = handler.Position();
    journal_->Save(file, handler, position, count);
    Hold(file, position, static_cast<const uint8_t*>(bytes), count);
    return true;
  }
  // A truncation, or more than is held in memory: what is held goes out first, journaled as
  // every write used to be.
  if (deferring_) WriteHeld(false);
  journal_->BeforeWrite(file, handler, count);
  return false;
}

void TDataTable::Hold(int file, int64_t offset, const uint8_t* bytes, int64_t count) {
  auto& held = held_[static_cast<size_t>(file)];
  int64_t start = offset, end = offset + count;
  // Overlapping writes become one range holding the later bytes.
  auto it = held.upper_bound(start);
  if (it != held.begin() && std::prev(it)->first + static_cast<int64_t>(std::prev(it)->second.size()) > start)
    it = std::prev(it);
  if (it == held.end() || it->first >= end) {  // the usual case: nothing to merge with
    held.emplace(offset, std::vector<uint8_t>(bytes, bytes + count));
    heldBytes_ += count;
    return;
  }
  std::vector<std::pair<int64_t, std::vector<uint8_t>>> absorbed;
  while (it != held.end() && it->first < end) {
    start = std::min(start, it->first);
    end = std::max(end, it->first + static_cast<int64_t>(it->second.size()));
    heldBytes_ -= static_cast<int64_t>(it->second.size());
    absorbed.emplace_back(it->first, std::move(it->second));
    it = held.erase(it);
  }
  std::vector<uint8_t> merged(static_cast<size_t>(end - start));
  for (const auto& [at, b] : absorbed) std::memcpy(merged.data() + (at - start), b.data(), b.size());
  std::memcpy(merged.data() + (offset - start), bytes, static_cast<size_t>(count));
  heldBytes_ += end - start;
  held.emplace(start, std::move(merged));
}

void TDataTable::WriteHeld(bool complete) {
  deferring_ = false;
  struct TRelease {
    TDataTable& t;
    ~TRelease() {
      for (auto& h : t.held_) h.clear();
      t.heldBytes_ = 0;
    }
  } release{*this};
  bool any = false;
  for (const auto& h : held_) any = any || !h.empty();
  if (!any) return;
  // The new content goes with the old bytes under the journal's one sync, the commit point; the
  // files are written after it.
  if (complete) {
    std::vector<TTableJournal::TNewRange> ranges;
    for (int f = 0; f < TTableJournal::kFileCount; ++f)
      for (const auto& [at, b] : held_[static_cast<size_t>(f)])
        ranges.push_back({f, at, static_cast<int64_t>(b.size()), b.data()});
    journal_->Complete(ranges);
  } else {
    journal_->Sync();
  }
  std::array<TFileHandler*, TTableJournal::kFileCount> files = Files();
  std::vector<uint8_t> run;
  for (int f = 0; f < TTableJournal::kFileCount; ++f) {
    auto& held = held_[static_cast<size_t>(f)];
    if (held.empty()) continue;
    TFileHandler& file = *files[static_cast<size_t>(f)];
    TFileAccess access(file);
    // Ranges that meet go out as one write.
    for (auto it = held.begin(); it != held.end();) {
      const int64_t start = it->first;
      auto next = std::next(it);
      file.Seek(start);
      if (next == held.end() || next->first != start + static_cast<int64_t>(it->second.size())) {
        file.TFileHandler::Write(it->second.data(), static_cast<int64_t>(it->second.size()));
        it = next;
        continue;
      }
      run.clear();
      int64_t end = start;
      for (auto n = it; n != held.end() && n->first == end; ++n) end += static_cast<int64_t>(n->second.size());
      run.reserve(static_cast<size_t>(end - start));
      end = start;
      while (it != held.end() && it->first == end) {
        run.insert(run.end(), it->second.begin(), it->second.end());
        end += static_cast<int64_t>(it->second.size());
        ++it;
      }
      file.TFileHandler::Write(run.data(), static_cast<int64_t>(run.size()));
    }
  }
}

void TDataTable::CommitJournal() {
  if (!journal_ || !journal_->Active()) return;
  if (journal_->Completed()) {
    // The journal holds the operation's new content: the files are synced at a checkpoint.
    unflushed_.fill(false);
    if (journal_->Commit({})) CheckpointJournal();
    return;
  }
  // The files written under the journal reach the disk before it goes, and so do those of the
  // finished operations it held before.
  if (journal_->Written()) {
    if (journal_->HoldsEarlier()) unflushed_.fill(true);
    FlushWritten();
  }
  unflushed_.fill(false);
  journal_->Commit({});
}

void TDataTable::CheckpointJournal() {
  if (!journal_) return;
  // Other users' operations may be in the journal too: every file is synced.
  unflushed_.fill(true);
  FlushWritten();
  journal_->Checkpoint();
}

void TDataTable::SyncFilesByName() {
  for (const char* extension : {".DAT", ".IDX", ".BLB"}) {
    bool found = false;
    const std::string path = platform::ResolveFilePath(FileName(extension), &found);
    if (found && platform::SyncPath(path) != 0) RaiseEngineError(kErrWriteError, FileName(extension));
  }
}

void TDataTable::NotePageChange(uint32_t offset) {
  if (!journal_ || !journalOn_) return;
  // Pages beyond the end the file had when the change began hold nothing to save. (Should
  // another user have grown the file since the header was read, pages between are not noted
  // and are journaled when written.)
  if (!noteLimitSet_) {
    noteLimit_ = index_->EndOffset();
    noteLimitSet_ = true;
  }
  if (offset >= noteLimit_) return;
  if (!changedPages_.empty() && changedPages_.back() == offset) return;
  changedPages_.push_back(offset);
  // A long transaction touches the same pages again and again: keep each once.
  if (changedPages_.size() >= 4096 && changedPages_.size() >= 2 * changedPagesSorted_) {
    std::sort(changedPages_.begin(), changedPages_.end());
    changedPages_.erase(std::unique(changedPages_.begin(), changedPages_.end()), changedPages_.end());
    changedPagesSorted_ = changedPages_.size();
  }
}

void TDataTable::PrepareJournal(bool forceHeader, const std::vector<TRecord*>& changedRecords, bool sync) {
  if (!journal_ || !journalOn_) return;
  std::vector<std::pair<int64_t, int64_t>> ranges;
  auto save = [&](int file, TFileHandler& handler) {
    if (ranges.empty()) return;
    std::sort(ranges.begin(), ranges.end());
    TFileAccess access(handler);
    int64_t start = ranges[0].first, end = ranges[0].first + ranges[0].second;
    for (size_t i = 1; i <= ranges.size(); ++i) {
      if (i < ranges.size() && ranges[i].first <= end) {
        end = std::max(end, ranges[i].first + ranges[i].second);
        continue;
      }
      journal_->Save(file, handler, start, end - start);
      if (i < ranges.size()) {
        start = ranges[i].first;
        end = start + ranges[i].second;
      }
    }
    ranges.clear();
  };
  if (blob_ && blob_->IsOpen()) {
    blob_->PendingWriteRanges(ranges);
    save(kJournalBlobFile, *blob_);
  }
  if (data_->IsOpen()) {
    data_->PendingWriteRanges(ranges, forceHeader, changedRecords);
    save(kJournalDataFile, *data_);
  }
  if (index_->IsOpen() && (index_->HeaderModified() || index_->HasDirtyPages())) {
    for (uint32_t offset : changedPages_) ranges.emplace_back(offset, index_format::kPageSize);
    ranges.emplace_back(0, index_format::kHeaderSize);
    save(kJournalIndexFile, *index_);
  }
  if (sync) journal_->Sync();
}

void TDataTable::FlushWritten() {
  std::array<TFileHandler*, TTableJournal::kFileCount> files = Files();
  std::vector<TFileHandler*> written;
  for (int i = 0; i < TTableJournal::kFileCount; ++i) {
    if (unflushed_[i] && files[i] && files[i]->IsOpen()) written.push_back(files[i]);
    unflushed_[i] = false;
  }
  // The files' syncs wait for the device side by side: a commit waits for one, not for each.
  // A failure is raised here, in the caller's thread, with the file's name.
  auto flush = [](TFileHandler* f) -> uint16_t {
    try {
      f->Flush();
    } catch (const EFenEngineError& e) {
      return e.Code() ? e.Code() : static_cast<uint16_t>(kErrWriteError);
    }
    return 0;
  };
  std::vector<std::pair<TFileHandler*, std::future<uint16_t>>> others;
  for (size_t i = 1; i < written.size(); ++i) {
    try {
      others.emplace_back(written[i], std::async(std::launch::async, flush, written[i]));
    } catch (const std::system_error&) {
      others.emplace_back(written[i], std::async(std::launch::deferred, flush, written[i]));
    }
  }
  uint16_t failed = 0;
  std::string failedName;
  if (!written.empty()) {
    failed = flush(written[0]);
    if (failed) failedName = written[0]->FileName();
  }
  for (auto& [file, done] : others) {
    const uint16_t code = done.get();
    if (code && !failed) {
      failed = code;
      failedName = file->FileName();
    }
  }
  if (failed) RaiseEngineError(failed, failedName);
}

bool TDataTable::RollbackJournal() {
  if (!journal_ || !journal_->Rollback(Files())) return false;
  data_->DropRecords();
  index_->DropPages();
  if (blob_) blob_->DropBlocks();
  if (data_->IsOpen()) {
    data_->ReadHeader();
    data_->ReadDescriptors();
  }
  if (index_->IsOpen()) index_->ReadHeader();
  if (blob_ && blob_->IsOpen()) blob_->ReadHeader();
  return true;
}

void TDataTable::RecoverAtOpen() {
  if (!journal_ || !journal_->Exists() || ReadOnly) return;
  if (Exclusive) {
    RollbackJournal();
    return;
  }
  // Another process may be writing: the journal is only touched under the writer lock, which
  // rolls it back when its writer is gone.
  const int retries = lockRetries_;
  SetLockRetries(10);  // a live writer is not waited for at open
  try {
    WriteLock();
    WriteUnlock();
  } catch (const EFenEngineError&) {
    // Still in use by a live writer, who finishes it.
  }
  SetLockRetries(retries);
}

TDataTable::~TDataTable() {
  try {
    if (open_) {
      References = 1;
      inTransaction_ = false;
      Close(true);
    }
  } catch (...) {
    // Destruction never throws; the files close with their handlers.
  }
}

void TDataTable::Raise(uint16_t code) const { RaiseEngineError(code, FileName(".DAT")); }

bool TDataTable::StrictChangeDetection() const { return settings_ && settings_->StrictChangeDetection; }

bool TDataTable::Encrypted() const { return creatingEncrypted_ || (data_ && data_->Encrypted()); }

std::string TDataTable::FileName(const std::string& extension) const {
  const std::string base = StripFileExt(name_) + extension;
  if (memory_ || HasDirectoryPart(name_)) return base;
  return folder_ + base;
}

void TDataTable::SetLockRetries(int retries) {
  lockRetries_ = retries;
  index_->SetLockRetries(retries);
  if (blob_) blob_->SetLockRetries(retries);
}

void TDataTable::ConfigureFiles() {
  const bool writeThrough = settings_ && settings_->ForceBufferFlush;
  auto setup = [&](TFileHandler& f) {
    f.SetExclusive(Exclusive);
    f.SetTemporary(Temporary);
    f.SetSequential(Sequential);
    f.SetWriteThrough(writeThrough);
  };
  if (!data_) data_ = std::make_unique<TDataFile>(this, FileName(".DAT"), memory_);
  if (!index_) index_ = std::make_unique<TIndexFile>(this, FileName(".IDX"), memory_);
  data_->SetFileName(FileName(".DAT"));
  index_->SetFileName(FileName(".IDX"));
  setup(*data_);
  setup(*index_);
  index_->SetLockRetries(lockRetries_);
  if (!memory_ && !Temporary) {
    const std::string journalName = StripFileExt(FileName(".DAT")) + ".JNL";
    if (!journal_ || journal_->Path() != journalName) journal_ = std::make_unique<TTableJournal>(journalName);
  } else {
    journal_.reset();
  }
  if (blob_) {
    blob_->SetFileName(FileName(".BLB"));
    setup(*blob_);
    blob_->SetLockRetries(lockRetries_);
  }
}

void TDataTable::Open() {
  TTableGuard guard(*this);
  References = 1;
  if (open_) return;
  ConfigureFiles();
  try {
    data_->Open();
    try {
      index_->Open();
    } catch (const EFenEngineError& e) {
      if (e.Code() != kErrInvalidPath) throw;
      // The journal is applied first: the new index file's writes would start a journal over
      // it, and its finished operations must not reach the new file later. What it holds for
      // the lost index file goes with that file.
      if (journal_ && !ReadOnly && journal_->HasContent()) {
        if (HasBlobs()) {
          blob_ = std::make_unique<TBlobFile>(this, FileName(".BLB"), data_->BlobBlockSize(), memory_);
          ConfigureFiles();
          blob_->Open();
        }
        RollbackJournal();
      }
      // The index file is missing: make a new one in physical order; the cursor layer rebuilds
      // the record-status index, and the lost definitions are reported.
      index_->CreateFile();
      index_->AddPrimaryIndex(IndexDesc{}, data_->Fields());
      index_->WriteHeader(true);
      CommitJournal();
      index_->Close();
      index_->Open();
      rebuildNeeded_ = true;
      definitionsLost_ = true;
    }
    if (HasBlobs() && !(blob_ && blob_->IsOpen())) {
      blob_ = std::make_unique<TBlobFile>(this, FileName(".BLB"), data_->BlobBlockSize(), memory_);
      ConfigureFiles();
      blob_->Open();
    }
  } catch (...) {
    if (blob_) blob_->Close();
    index_->Close();
    data_->Close();
    throw;
  }
  openedReadOnly_ = data_->OpenedReadOnly() || index_->OpenedReadOnly() || (blob_ && blob_->OpenedReadOnly());
  if (openedReadOnly_) ReadOnly = true;
  open_ = true;
  try {
    RecoverAtOpen();
  } catch (...) {
    open_ = false;
    if (blob_) blob_->Close();
    index_->Close();
    data_->Close();
    throw;
  }
}

void TDataTable::Close(bool dropTemporary) {
  TTableGuard guard(*this);
  if (!open_) return;
  if (References > 0) --References;
  if (References > 0 || inTransaction_) return;
  if (Exclusive && !ReadOnly) {
    if (Temporary && dropTemporary) DiscardCaches(false, false);
    else WriteCaches(true, false, true);
  }
  if (journal_ && journal_->Active()) RollbackJournal();  // an operation that never finished
  try {
    UnlockAllRecords(false);
    if (tableLock_) UnlockTable();
    if (readerLock_) ReadUnlock();
    writerDepth_ = std::min(writerDepth_, 1);  // closing releases the lock however often taken
    if (writerLock_) WriteUnlock();
  } catch (const EFenEngineError&) {
    // The files close below whatever the locks answered; closing releases them too.
  }
  // The journal of finished operations goes with the last user, once their files are synced;
  // the table write byte shows that no writer (of any process) is using it now.
  if (journal_ && !ReadOnly && data_->IsOpen() && !journal_->Exists()) {
    auto checkpoint = [this] {
      if (journal_->HasContent()) {
        unflushed_.fill(true);
        FlushWritten();
      }
      journal_->Remove();
    };
    try {
      if (Exclusive) {
        checkpoint();
      } else if (data_->LockWriteByte(1)) {
        // Asked again under the byte: a writer may have come and died since the first look,
        // and its journal is what repairs its half-done change.
        try {
          if (!journal_->Exists()) checkpoint();
        } catch (...) {
          data_->UnlockWriteByte();
          throw;
        }
        data_->UnlockWriteByte();
      }
    } catch (const EFenEngineError&) {
      // A journal left behind is harmless: the next user applies it again.
    }
  }
  index_->Close();
  if (blob_) blob_->Close();
  data_->Close();
  open_ = false;
  rebuildNeeded_ = false;
  definitionsLost_ = false;
}

void TDataTable::CreateFiles(const TTableDefinition& definition) {
  TTableGuard guard(*this);
  References = 1;
  ConfigureFiles();
  if (!memory_) RecoverTableRename(StripFileExt(FileName(".DAT")));  // no stale intent of the name
  if (journal_) journal_->Remove();  // a journal left by an earlier table of this name
  journalOn_ = false;  // a table being made has nothing to keep
  struct TJournalBack {
    bool& on;
    ~TJournalBack() { on = true; }
  } back{journalOn_};
  // The data file, which records the encryption, is made last: scramble the others meanwhile.
  creatingEncrypted_ = definition.Data.Encrypted;
  struct TEncryptedBack {
    bool& on;
    ~TEncryptedBack() { on = false; }
  } encryptedBack{creatingEncrypted_};
  std::vector<FieldDesc> fields = definition.Data.Fields;
  for (size_t i = 0; i < fields.size(); ++i) fields[i].FieldNumber = static_cast<uint16_t>(i + 1);
  LayoutRecordFields(fields);
  bool blobs = false;
  for (const FieldDesc& f : fields) blobs = blobs || f.IsBlob();
  // The data file last: a table exists only once its other files do.
  if (blobs) {
    blob_ = std::make_unique<TBlobFile>(this, FileName(".BLB"), definition.Data.BlobBlockSize, memory_);
    ConfigureFiles();
    blob_->CreateFile();
    if (creatingEncrypted_) blob_->WriteHeader(true);
  }
  index_->CreateFile();
  size_t first = 0;
  auto compression = [&](size_t i) {
    return i < definition.Compression.size() ? definition.Compression[i] : definition.Indexes[i].Compression;
  };
  if (!definition.Indexes.empty() && definition.Indexes[0].Name.empty()) {
    index_->AddPrimaryIndex(definition.Indexes[0], fields, compression(0));
    first = 1;
  } else {
    index_->AddPrimaryIndex(IndexDesc{}, fields);
  }
  for (size_t i = first; i < definition.Indexes.size(); ++i)
    index_->AddSecondaryIndex(definition.Indexes[i], fields, compression(i));
  index_->WriteHeader(true);
  data_->CreateTable(definition.Data);
  // The new files, and their names, are on disk before anything is committed into them.
  if (!memory_ && !Temporary) {
    if (blobs && blob_ && blob_->IsOpen()) blob_->Flush();
    index_->Flush();
    data_->Flush();
    SyncDirectoryOf(FileName(".DAT"));
  }
  open_ = true;
}

void TDataTable::DeleteFiles() {
  TTableGuard guard(*this);
  ConfigureFiles();
  data_->DeleteFile();
  if (index_->FileExists()) index_->DeleteFile();
  TFileHandler blob(FileName(".BLB"), memory_);
  if (blob.FileExists()) blob.DeleteFile();
  if (journal_) journal_->Remove();
}

void TDataTable::RenameFiles(const std::string& newName, bool backup) {
  TTableGuard guard(*this);
  std::string base = StripFileExt(newName);
  if (!memory_ && !HasDirectoryPart(newName)) base = folder_ + base;
  // A journal belongs to its files' names: files with an unfinished operation are not moved
  // (opening them repairs them first), and a stale journal of the new name must not be applied
  // to these files.
  if (!memory_) RecoverTableRename(StripFileExt(FileName(".DAT")));
  if (journal_ && journal_->Exists()) Raise(kErrAccessDenied);
  if (journal_ && journal_->HasContent()) SyncFilesByName();  // its finished operations stand
  if (journal_) journal_->Remove();  // it stays with neither name
  if (!memory_) TTableJournal(base + ".JNL").Remove();
  // The data file goes last: its rename is the commit point. Before it, a crash leaves the old
  // name with its data file and an intent record naming where the other files went, which the
  // next use of the old name follows back (RecoverTableRename); after it the new name is whole.
  const char* extensions[3][2] = {{".IDX", ".IBK"}, {".BLB", ".BBK"}, {".DAT", ".DBK"}};
  std::vector<std::pair<std::string, std::string>> moves;
  for (const auto& ext : extensions) {
    if (!TFileHandler(FileName(ext[0]), memory_).FileExists()) continue;
    moves.emplace_back(FileName(ext[0]), base + ext[backup ? 1 : 0]);
    if (backup) {
      TFileHandler old(moves.back().second, memory_);
      if (old.FileExists()) old.DeleteFile();
    }
  }
  const std::string intent = StripFileExt(FileName(".DAT")) + ".RNM";
  platform::TFileDescriptor held;
  if (!memory_) WriteRenameIntent(intent, moves, held);
  for (const auto& [from, to] : moves) TFileHandler(from, memory_).RenameFile(to);
  if (!memory_) {
    SyncDirectoryOf(FileName(".DAT"));
    if (!platform::SameFilePath(platform::DirectoryOfPath(platform::CanonicalFilePath(FileName(".DAT"))),
                                platform::DirectoryOfPath(platform::CanonicalFilePath(base + ".DAT"))))
      SyncDirectoryOf(base + ".DAT");
    // Left behind, it is dropped unused by the next look (the data file has its new name).
    (void)platform::RemoveFile(platform::CanonicalFilePath(intent));
  }
  if (!backup) {
    name_ = memory_ || HasDirectoryPart(newName) ? ForceFileExt(newName, ".DAT") : ForceFileExt(StripFileExt(newName), ".DAT");
    ConfigureFiles();
  }
}

void TDataTable::BackupIndex() {
  TTableGuard guard(*this);
  WriteCaches(false, false, true);
  const std::string target = StripFileExt(FileName(".DAT")) + ".IBK";
  index_->CopyToFile(target);
}

void TDataTable::RestoreIndex(bool skipRestore, bool deleteBackup) {
  TTableGuard guard(*this);
  const std::string backup = StripFileExt(FileName(".DAT")) + ".IBK";
  if (!skipRestore) {
    index_->DropPages();
    // The copy is not journaled: finished operations made again after a crash must not
    // overwrite it.
    if (journal_ && !journal_->Active() && journal_->HasContent()) CheckpointJournal();
    index_->Seek(0);
    index_->CopyFromFile(backup);
    unflushed_[kJournalIndexFile] = true;
    index_->Write(nullptr, 0);
    index_->ReadHeader();
  }
  if (deleteBackup) {
    TFileHandler file(backup, memory_);
    if (file.FileExists()) file.DeleteFile();
  }
}

void TDataTable::EmptyTable() {
  TTableGuard guard(*this);
  data_->EmptyFile();
  index_->Empty();
  if (blob_) blob_->Empty();
  data_->DropRecords();
  data_->TrimCache();
  index_->TrimCaches();
  if (blob_) blob_->Trim();
  if (!inTransaction_) WriteCaches(true, true, true);
}

// ---- locks ----

std::vector<uint16_t> TDataTable::OwnIndexIds() const {
  std::vector<uint16_t> ids;
  if (readerLock_) ids.push_back(readerIndexId_);
  if (tableLock_) ids.push_back(tableIndexId_);
  return ids;
}

std::vector<uint16_t> TDataTable::OwnBlobIds() const {
  std::vector<uint16_t> ids;
  if (readerLock_ && readerBlobId_) ids.push_back(readerBlobId_);
  if (tableLock_ && tableBlobId_) ids.push_back(tableBlobId_);
  return ids;
}

bool TDataTable::LockRecord(uint32_t number) {
  TTableGuard guard(*this);
  if (ReadOnly || (Exclusive && !inTransaction_)) return false;
  if (inTransaction_ && locked_.count(number)) return false;
  if (number == 0) Raise(kErrRecordInUse);
  bool changes = false;
  bool tookReader = false;
  if (!Exclusive && !StrictChangeDetection()) {
    tookReader = !(readerLock_ || tableLock_ || writerLock_ || transactionLock_);
    if (tookReader) {
      ReadLock();
      changes = changesSeen_;
    } else {
      changes = CheckForChanges();
    }
  }
  const int retries = settings_ ? settings_->LockRetryCount : 15;
  const int wait = settings_ ? settings_->LockWaitTime : 100;
  // A record of the held span is locked already.
  bool ok = InSpan(number) || data_->LockRecordByte(number);
  for (int i = 0; !ok && i < retries; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    ok = data_->LockRecordByte(number);
  }
  if (tookReader) ReadUnlock();
  if (!ok) Raise(kErrRecordInUse);
  locked_.insert(number);
  deferred_.erase(number);
  return changes;
}

void TDataTable::UnlockRecord(uint32_t number) {
  TTableGuard guard(*this);
  if (ReadOnly || (Exclusive && !inTransaction_)) return;
  if (number == 0 || !locked_.count(number)) Raise(kErrCannotUnlock);
  if (inTransaction_) {
    deferred_.insert(number);
    return;
  }
  if (!InSpan(number) && !data_->UnlockRecordByte(number)) Raise(kErrCannotUnlock);
  locked_.erase(number);
}

void TDataTable::UnlockAllRecords(bool deferredOnly) {
  TTableGuard guard(*this);
  std::vector<uint32_t> which;
  for (uint32_t n : locked_)
    if (!deferredOnly || deferred_.count(n)) which.push_back(n);
  bool ok = true;
  // Highest record first: its lock byte is the lowest (the bytes run down from the write byte),
  // and the kernel finds the lowest of an owner's locks at once but walks them all for any other.
  for (auto it = which.rbegin(); it != which.rend(); ++it) {
    const uint32_t n = *it;
    // A record of the span goes with the span.
    if (!InSpan(n)) ok = data_->UnlockRecordByte(n) && ok;
    locked_.erase(n);
    deferred_.erase(n);
  }
  if (!deferredOnly) deferred_.clear();
  if (!ok) Raise(kErrCannotUnlock);
}

bool TDataTable::LockRecordSpan(uint32_t first, uint32_t last) {
  TTableGuard guard(*this);
  if (ReadOnly || Exclusive || !inTransaction_ || !transactionLock_ || spanFirst_ != 0) return false;
  if (first == 0 || last < first) return false;
  // One attempt, no waiting: a span someone holds a record of is simply not taken.
  if (!data_->LockRecordBytes(first, last)) return false;
  spanFirst_ = first;
  spanLast_ = last;
  return true;
}

void TDataTable::ReleaseRecordSpan() {
  if (spanFirst_ == 0) return;
  const uint32_t first = spanFirst_, last = spanLast_;
  spanFirst_ = spanLast_ = 0;
  bool ok = data_->UnlockRecordBytes(first, last);
  // Records of the span still held (locked in the transaction and not unlocked) keep a lock of
  // their own.
  for (auto it = locked_.lower_bound(first); it != locked_.end() && *it <= last;) {
    if (data_->LockRecordByte(*it)) {
      ++it;
    } else {
      deferred_.erase(*it);
      it = locked_.erase(it);
      ok = false;
    }
  }
  if (!ok) Raise(kErrCannotUnlock);
}

void TDataTable::ReadLock() {
  TTableGuard guard(*this);
  if (ReadOnly || Exclusive) return;
  if (readerLock_ || tableLock_ || writerLock_ || transactionLock_) return;
  auto take = [this] {
    if (!index_->LockUserByte(&readerIndexId_)) Raise(kErrGeneralLock);
    readerBlobId_ = 0;
    if (HasBlobs() && blob_ && blob_->IsOpen() && !blob_->LockUserByte(&readerBlobId_)) {
      index_->UnlockUserByte(readerIndexId_);
      Raise(kErrGeneralLock);
    }
    readerLock_ = true;
  };
  take();
  // While a reader byte is held no writer is at work, so a journal that needs repair now was left
  // by a writer that died (or before a restart of the system): the files are repaired (under the
  // writer lock) before anything is read.
  if (journal_ && journal_->Exists()) {
    ReadUnlock();
    try {
      WriteLock();
      WriteUnlock();
    } catch (const EFenEngineError&) {
      // Another writer came first; it repairs the files, and the reader byte waits for it.
    }
    take();
  }
  changesSeen_ = CheckForChanges();
}

void TDataTable::ReadUnlock() {
  TTableGuard guard(*this);
  if (!readerLock_) return;
  bool ok = true;
  if (readerBlobId_) ok = blob_->UnlockUserByte(readerBlobId_);
  ok = index_->UnlockUserByte(readerIndexId_) && ok;
  readerLock_ = false;
  readerIndexId_ = readerBlobId_ = 0;
  if (!ok) Raise(kErrCannotUnlock);
}

void TDataTable::LockTable() {
  TTableGuard guard(*this);
  if (ReadOnly || Exclusive || tableLock_) return;
  // Never the reader's own byte: both locks would share it, and either unlock would free it.
  if (!index_->LockUserByte(&tableIndexId_, OwnIndexIds())) Raise(kErrGeneralLock);
  tableBlobId_ = 0;
  if (HasBlobs() && blob_ && blob_->IsOpen() && !blob_->LockUserByte(&tableBlobId_, OwnBlobIds())) {
    index_->UnlockUserByte(tableIndexId_);
    Raise(kErrGeneralLock);
  }
  tableLock_ = true;
}

void TDataTable::UnlockTable() {
  TTableGuard guard(*this);
  if (!tableLock_) return;
  bool ok = true;
  if (tableBlobId_) ok = blob_->UnlockUserByte(tableBlobId_);
  ok = index_->UnlockUserByte(tableIndexId_) && ok;
  tableLock_ = false;
  tableIndexId_ = tableBlobId_ = 0;
  if (!ok) Raise(kErrCannotUnlock);
}

void TDataTable::WriteLock() {
  TTableGuard guard(*this);
  if (ReadOnly || Exclusive) return;
  // Nested (a cursor's LockTableForWrite around its own changes): only counted.
  if (writerLock_) {
    ++writerDepth_;
    return;
  }
  // Inside a transaction the transaction lock already keeps every other writer out, and nothing
  // reaches the files before the commit, which takes the writer lock itself: a change inside
  // the transaction needs no lock of its own (readers go on reading the unchanged files).
  if (inTransaction_ && transactionLock_) return;
  const bool byte = !transactionLock_;
  if (byte && !data_->LockWriteByte(lockRetries_ + 1)) Raise(kErrGeneralLock);
  // The region leaves out this table's own reader bytes: a table never blocks itself.
  if (!index_->LockRegion(OwnIndexIds())) {
    if (byte) data_->UnlockWriteByte();
    Raise(kErrGeneralLock);
  }
  if (HasBlobs() && blob_ && blob_->IsOpen() && !blob_->LockRegion(OwnBlobIds())) {
    index_->UnlockRegion(OwnIndexIds());
    if (byte) data_->UnlockWriteByte();
    Raise(kErrGeneralLock);
  }
  writerLock_ = true;
  writerDepth_ = 1;
  // A journal nobody writes that needs repair belongs to a writer that died (or to the time
  // before a restart of the system): repair the files.
  if (journal_ && !journal_->Active() && journal_->Exists()) RollbackJournal();
  if (!inTransaction_) CheckForChanges();
}

void TDataTable::WriteUnlock() {
  TTableGuard guard(*this);
  if (!writerLock_) return;
  if (--writerDepth_ > 0) return;
  writerDepth_ = 0;
  bool ok = true;
  if (HasBlobs() && blob_ && blob_->IsOpen()) ok = blob_->UnlockRegion(OwnBlobIds());
  ok = index_->UnlockRegion(OwnIndexIds()) && ok;
  if (!transactionLock_) ok = data_->UnlockWriteByte() && ok;
  writerLock_ = false;
  if (!ok) Raise(kErrGeneralLock);
}

bool TDataTable::CheckForChanges() {
  TTableGuard guard(*this);
  bool changed = false;
  if (index_->HeaderChanged()) {
    index_->DropPages();
    data_->ReadHeader();
    data_->DropRecords();
    changed = true;
  } else if (data_->HeaderChanged()) {
    data_->DropRecords();
    changed = true;
  }
  if (HasBlobs() && blob_ && blob_->IsOpen() && blob_->HeaderChanged()) {
    blob_->DropBlocks();
    changed = true;
  }
  return changed;
}

bool TDataTable::ChangedOnDisk() {
  if (HoldsWriteLock()) return false;
  return changeCheck_ ? changeCheck_() : false;
}

// ---- transactions ----

void TDataTable::StartTransaction() {
  TTableGuard guard(*this);
  if (ReadOnly || inTransaction_) return;
  if (Exclusive) WriteCaches(false, false, true);
  if (!data_->LockWriteByte(lockRetries_ + 1)) Raise(kErrGeneralLock);
  transactionLock_ = true;
  // A journal nobody writes that needs repair belongs to a writer that died: repair it now,
  // before the transaction reads the files; left for the commit's writer lock, its rollback
  // would throw away the transaction's own changes.
  try {
    if (journal_ && !journal_->Active() && journal_->Exists()) RollbackJournal();
  } catch (...) {
    ReleaseTransactionLock();
    throw;
  }
  inTransaction_ = true;
  changesWritten_ = false;
  if (!Exclusive) {
    try {
      CheckForChanges();
    } catch (...) {
      inTransaction_ = false;
      ReleaseTransactionLock();
      throw;
    }
  }
}

void TDataTable::ReleaseTransactionLock() {
  if (!transactionLock_) return;
  const bool ok = data_->UnlockWriteByte();
  transactionLock_ = false;
  if (!Exclusive) {
    UnlockAllRecords(true);
    ReleaseRecordSpan();
  }
  if (!ok) Raise(kErrGeneralLock);
}

void TDataTable::Rollback() {
  TTableGuard guard(*this);
  if (!inTransaction_) return;
  inTransaction_ = false;
  DiscardCaches(true, true);
  ReleaseTransactionLock();
}

void TDataTable::WriteEverything(bool trim, bool forceHeader) {
  // One walk of the record cache serves the journal, the record writes and the header.
  std::vector<TRecord*> changed;
  data_->ChangedRecords(changed);
  // A change that starts its journal here holds its writes until they are all known: the
  // journal then takes the old bytes and the new content's hashes under one sync, and the
  // files need syncing only once before the journal is emptied (no sync for that).
  const bool defer = journal_ && journalOn_ && !journal_->Active();
  PrepareJournal(forceHeader, changed, !defer);
  deferring_ = defer;
  try {
    WriteFiles(forceHeader, changed);
    if (deferring_) WriteHeld(true);
  } catch (...) {
    deferring_ = false;
    for (auto& h : held_) h.clear();
    heldBytes_ = 0;
    throw;
  }
  if (trim) {
    data_->TrimCache();
    index_->TrimCaches();
    if (blob_) blob_->Trim();
  }
}

void TDataTable::WriteFiles(bool forceHeader, std::vector<TRecord*>& changed) {
  // Referenced data first: BLOB blocks before the records that name them, records before the
  // index entries and the header that count them, pages before the index header. A header is
  // written (its counter moving) whenever its file changed, so other users see every change.
  if (blob_ && blob_->IsOpen()) {
    const bool blocks = blob_->HasDirtyBlocks();
    blob_->FlushBlocks();
    blob_->WriteHeader(blocks);
  }
  const bool records = !changed.empty();
  data_->WriteChangedRecords(changed);
  data_->WriteDescriptors();
  data_->WriteHeader(forceHeader || records);
  const bool pages = index_->HasDirtyPages();
  index_->FlushPages();
  index_->WriteHeader(pages);
  changedPages_.clear();
  changedPagesSorted_ = 0;
  noteLimitSet_ = false;
}

void TDataTable::Commit(bool end) {
  TTableGuard guard(*this);
  if (!inTransaction_) return;
  inTransaction_ = false;  // written while marked outside the transaction
  bool discarded = false;
  try {
    WriteLock();
    try {
      WriteEverything(end, false);
      // A journaled change reaches the disk through its journal.
      if (!journal_ || !journal_->Active()) Flush();
      CommitJournal();
    } catch (...) {
      discarded = true;
      DiscardCaches(true, true);
      WriteUnlock();
      throw;
    }
    if (!end) {
      UnlockAllRecords(true);
      ReleaseRecordSpan();
    }
    WriteUnlock();
  } catch (...) {
    if (end) {
      // A commit reported as failed rolls back: left in the caches (say, its writer lock was
      // refused), the changes would reach the files with the next write outside a transaction.
      if (!discarded) {
        try {
          DiscardCaches(true, true);
        } catch (...) {
          // The write byte is released below whatever the headers answered.
        }
      }
      ReleaseTransactionLock();
    } else {
      inTransaction_ = true;
    }
    throw;
  }
  if (end) ReleaseTransactionLock();
  else inTransaction_ = true;
}

void TDataTable::Flush() {
  if (ReadOnly || (settings_ && settings_->ForceBufferFlush)) return;
  // Files not written since their last flush (by this table) have nothing to put on disk.
  FlushWritten();
}

void TDataTable::WriteCaches(bool trim, bool header, bool index) {
  TTableGuard guard(*this);
  (void)index;
  if (inTransaction_) {
    data_->CountHeaderChange();
    index_->MarkChanged();
    if (blob_ && blob_->IsOpen()) blob_->MarkChanged();
    return;
  }
  try {
    WriteEverything(trim, header);
    CommitJournal();
  } catch (...) {
    // Nothing half-done may be written by a later flush: forget it and reread the headers.
    DiscardCaches(true, true);
    throw;
  }
}

void TDataTable::DiscardCaches(bool trim, bool reread) {
  TTableGuard guard(*this);
  // Writes already made by the discarded operation are undone too.
  if (journal_ && journal_->Active() && RollbackJournal()) reread = false;
  changedPages_.clear();
  changedPagesSorted_ = 0;
  noteLimitSet_ = false;
  data_->DropRecords();
  index_->DropPages();
  if (blob_) blob_->DropBlocks();
  if (trim) {
    data_->TrimCache();
    index_->TrimCaches();
    if (blob_) blob_->Trim();
  }
  if (reread) {
    if (data_->IsOpen()) data_->ReadHeader();
    if (index_->IsOpen()) index_->ReadHeader();
    if (blob_ && blob_->IsOpen()) blob_->ReadHeader();
  }
}

}  // namespace tovenmarsh::engine
