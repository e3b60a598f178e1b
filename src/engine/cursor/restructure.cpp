// Restructuring a table to new field and index definitions while keeping its records.
// Implements the restructure calls of engine/cursor/cursor.h.
//
// Three kinds: descriptors only (names and header information: the descriptors and the header
// are rewritten in place and no record byte changes), indexes only (run in a table transaction,
// so a stop or a failure leaves the table as it was, header information included), and a full
// rebuild. A full rebuild copies the records into a work table in the table's own directory
// (values that do not fit their new type are events, never wrapped numbers), then swaps the
// files: the old ones become the backups .IBK, .BBK and .DBK (the data file last), the new index
// and BLOB files take the table's names, and the new data file's rename is the commit point;
// the directory is synced after each phase. Opening a table first finishes or undoes a swap
// that was interrupted; a lock file keeps that recovery and a running swap apart.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>

#include "engine/store/blob_file.h"
#include "engine/format/blob_file_format.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/expr/expr_convert.h"
#include "engine/io/file_handler.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {

namespace {

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

std::string Stem(const std::string& tableName) {
  return tableName.size() >= 4 ? tableName.substr(0, tableName.size() - 4) : tableName;
}

std::string WorkName(const std::string& tableName) { return "__rst_" + Stem(tableName) + ".DAT"; }

bool Exists(const std::string& path) { return TFileHandler(path).FileExists(); }
bool OwnFileExists(const std::string& path) {
  const std::string canonical = platform::CanonicalFilePath(path);
  return !canonical.empty() && platform::PathExists(canonical);
}
void Remove(const std::string& path) {
  TFileHandler file(path);
  if (file.FileExists()) file.DeleteFile();
}
void Move(const std::string& from, const std::string& to) { TFileHandler(from).RenameFile(to); }

// A failed sync is a write error: the swap's phases rely on each being on disk before the next.
void SyncDirectory(const std::string& path) {
  std::string native = path;
  std::replace(native.begin(), native.end(), '\\', '/');
  if (platform::SyncFolder(native) != 0) RaiseEngineError(kErrWriteError, path);
}

bool SameField(const FieldDesc& a, const FieldDesc& b) {
  return a.FieldNumber == b.FieldNumber && a.FieldType == b.FieldType && a.SubType == b.SubType &&
         a.PhysicalSize == b.PhysicalSize && a.PhysicalScale == b.PhysicalScale && a.Required == b.Required &&
         a.Case == b.Case && Upper(a.DefaultValue) == Upper(b.DefaultValue) && Upper(a.MinValue) == Upper(b.MinValue) &&
         Upper(a.MaxValue) == Upper(b.MaxValue);
}

bool SameIndex(const IndexDesc& a, const IndexDesc& b) {
  if (a.KeySize != b.KeySize || a.FieldCount != b.FieldCount || a.Descending != b.Descending ||
      a.CaseInsensitive != b.CaseInsensitive || a.Unique != b.Unique || a.Compression != b.Compression)
    return false;
  for (int i = 0; i < a.FieldCount; ++i)
    if (a.FieldNumbers[i] != b.FieldNumbers[i]) return false;
  return true;
}

// Keeps a restructure's file swap and the recovery that other users' opens run (in this or
// another process) apart: an exclusive lock file, "<table>.RLK" beside the table, made for the
// purpose and removed by the holder. A waiter that finds the name moved to another file (its
// holder removed it) locks again. Without a lock file (a read-only directory) nothing is locked:
// nothing could be swapped or recovered there either.
class TSwapLock {
 public:
  explicit TSwapLock(const std::string& base) : path_(platform::CanonicalFilePath(base + ".RLK")) {
    if (platform::OpenLockFile(path_, platform::kOpenCreate, true, file_) != 0) file_.Close();
  }
  ~TSwapLock() {
    if (file_.IsOpen()) (void)platform::RemoveFile(path_);  // a lock file left behind locks nothing
  }
  TSwapLock(const TSwapLock&) = delete;
  TSwapLock& operator=(const TSwapLock&) = delete;

 private:
  std::string path_;
  platform::TFileDescriptor file_;
};

// A restructure that stops before its end (a failing record, or the caller said stop).
struct TStopped {
  uint16_t Code;
  std::string Name;
};

}  // namespace

void TDataCursor::RecoverRestructure() {
  const std::string base = directory_->Path() + Stem(tableName_);
  const std::string work = directory_->Path() + Stem(WorkName(tableName_));
  RecoverTableRename(base);  // a rename of this table's files cut short
  // Only a work table marks a restructure, running or cut short; what it left is judged while
  // no swap runs. Asked at every open: the work table is only ever made here, under its canonical
  // spelling, so one look each and no search of the directory for other spellings.
  if (!OwnFileExists(work + ".DAT") && !OwnFileExists(work + ".IDX")) return;
  TSwapLock lock(base);
  bool swapping = false;
  // Backups without a data file are also what RenameToBackup (or a kept backup and a deletion)
  // leaves on purpose: only the restructure's work table, renamed last, marks an unfinished swap.
  if (Exists(base + ".DBK") && !Exists(base + ".DAT") && Exists(work + ".DAT")) {
    // Interrupted between the backups and the commit: every old file is a backup and whatever
    // carries the table's names is new (a table without BLOBs has no .BBK: its .BLB is new).
    // Remove the new files, then put the old data file back first: from there on the state is
    // the one of an interrupted backup phase (the work table is still there), which the next
    // branch completes, so that a recovery interrupted in its turn never takes an old file for
    // a new one.
    if (Exists(base + ".IBK")) Remove(base + ".IDX");
    Remove(base + ".BLB");
    SyncDirectory(directory_->Path());
    Move(base + ".DBK", base + ".DAT");
    swapping = true;
  }
  if (Exists(base + ".DAT") && !Exists(base + ".DBK") && (swapping || Exists(work + ".DAT"))) {
    // Interrupted while the old files were being turned into backups.
    if (!Exists(base + ".IDX") && Exists(base + ".IBK")) Move(base + ".IBK", base + ".IDX");
    if (!Exists(base + ".BLB") && Exists(base + ".BBK")) Move(base + ".BBK", base + ".BLB");
    swapping = true;
  }
  if (swapping || Exists(work + ".DAT") || Exists(work + ".IDX")) {
    try {
      for (const char* ext : {".DAT", ".IDX", ".BLB", ".JNL"}) Remove(work + ext);
    } catch (const EFenEngineError&) {
      // In use: a restructure of another user is running; it cleans up itself.
    }
  }
  if (swapping) SyncDirectory(directory_->Path());
}

void TDataCursor::SwapFiles(const std::string& workName, bool keepBackup) {
  const std::string base = directory_->Path() + Stem(tableName_);
  const std::string work = directory_->Path() + Stem(workName);
  int steps = 0;
  auto step = [&]() {
    if (swapStepLimit_ >= 0 && steps++ >= swapStepLimit_) throw TStopped{kErrWriteError, "swap"};
  };
  for (const char* ext : {".DBK", ".IBK", ".BBK"}) Remove(base + ext);
  SyncDirectory(directory_->Path());
  // Old files become backups, the data file last.
  step();
  Move(base + ".IDX", base + ".IBK");
  if (Exists(base + ".BLB")) {
    step();
    Move(base + ".BLB", base + ".BBK");
  }
  step();
  Move(base + ".DAT", base + ".DBK");
  SyncDirectory(directory_->Path());
  // New files take the table's names; the data file's rename commits.
  step();
  Move(work + ".IDX", base + ".IDX");
  if (Exists(work + ".BLB")) {
    step();
    Move(work + ".BLB", base + ".BLB");
  }
  step();
  Move(work + ".DAT", base + ".DAT");
  SyncDirectory(directory_->Path());
  Remove(work + ".JNL");
  if (!keepBackup) {
    for (const char* ext : {".DBK", ".IBK", ".BBK"}) Remove(base + ext);
    SyncDirectory(directory_->Path());
  }
}

void TDataCursor::AlterTable(const TTableAttributes& attributes, std::vector<IndexDesc> indexes,
                             std::vector<FieldDesc> fields, bool keepBackup) {
  CheckClosed();
  CheckExclusive();
  CheckWritable();
  eventsQuiet_ = false;
  Open();
  try {
    TDataFile& data = table_->Data();
    TTableAttributes a = attributes;
    if (a.LastAutoInc == -1) a.LastAutoInc = data.LastAutoInc();
    ValidateDefinition(a, indexes, fields);
    bool rebuild = a.Encrypted != data.Encrypted() || a.LanguageId != languageId_ || a.SortId != sortId_ ||
                   fields.size() != fields_.size() ||
                   (hasBlobs_ && a.BlobBlockSize != (data.BlobBlockSize() ? data.BlobBlockSize() : 512u));
    for (size_t i = 0; !rebuild && i < fields.size(); ++i) rebuild = !SameField(fields[i], fields_[i]);
    if (rebuild) {
      Close();
      RebuildTable(a, indexes, fields, keepBackup);
      return;
    }
    TIndexFile& file = table_->Index();
    bool indexChange = indexes.size() != static_cast<size_t>(file.SecondaryCount()) + 1 ||
                       (file.NoPrimary() && !indexes.empty() && indexes[0].FieldCount > 0);
    for (size_t i = 0; !indexChange && i < indexes.size(); ++i) {
      if (i == 0 && file.NoPrimary()) continue;
      indexChange = !SameIndex(indexes[i], file.SlotDesc(static_cast<uint8_t>(i)));
    }
    if (indexChange) ChangeIndexes(a, indexes);
    else ChangeDescriptors(a, indexes, fields);
  } catch (...) {
    try {
      Close();
    } catch (...) {
      // The failed restructure is what the caller hears; the close only frees the table.
    }
    throw;
  }
  Close();
}

void TDataCursor::ChangeDescriptors(const TTableAttributes& a, const std::vector<IndexDesc>& indexes,
                                    const std::vector<FieldDesc>& fields) {
  TCursorBracket bracket(*this);
  TDataFile& data = table_->Data();
  TIndexFile& file = table_->Index();
  for (size_t i = 0; i < fields.size(); ++i) data.SetDescriptor(static_cast<uint32_t>(i + 1), fields[i]);
  for (size_t i = 0; i < indexes.size(); ++i) {
    if (i == 0 && file.NoPrimary()) continue;
    if (Upper(file.SlotDesc(static_cast<uint8_t>(i)).Name) != Upper(indexes[i].Name) ||
        file.SlotDesc(static_cast<uint8_t>(i)).Name != indexes[i].Name)
      file.RenameSlot(static_cast<uint8_t>(i), indexes[i].Name, indexes[i].FieldNumbers);
  }
  ApplyHeaderInfo(a);
  table_->WriteCaches(true, true, true);
}

void TDataCursor::ChangeIndexes(const TTableAttributes& a, const std::vector<IndexDesc>& indexes) {
  TCursorBracket bracket(*this);
  TIndexFile& file = table_->Index();
  TDataFile& data = table_->Data();
  table_->StartTransaction();
  try {
    std::vector<uint8_t> changed;
    // Surplus secondary slots go from the end.
    while (file.SecondaryCount() + 1u > indexes.size()) {
      const uint8_t last = file.SecondaryCount();
      FreeIndexPages(last);
      file.DropSlot(last, true);
    }
    for (size_t i = 0; i < indexes.size(); ++i) {
      const uint8_t slot = static_cast<uint8_t>(i);
      const IndexDesc& d = indexes[i];
      if (slot == 0) {
        const bool had = !file.NoPrimary();
        if (had && d.FieldCount > 0 && SameIndex(d, file.SlotDesc(0))) continue;
        if (had) FreeIndexPages(0);
        if (d.FieldCount == 0) {
          file.DropSlot(0, false);
        } else {
          file.ReplaceSlot(0, d, d.Compression);
          file.SetNoPrimary(false);
          changed.push_back(0);
        }
        continue;
      }
      if (slot <= file.SecondaryCount()) {
        if (SameIndex(d, file.SlotDesc(slot))) {
          if (file.SlotDesc(slot).Name != d.Name) file.RenameSlot(slot, d.Name, d.FieldNumbers);
          continue;
        }
        FreeIndexPages(slot);
        file.ReplaceSlot(slot, d, d.Compression);
      } else {
        file.AddSecondaryIndex(d, data.Fields(), d.Compression);
      }
      changed.push_back(slot);
    }
    noPrimary_ = file.NoPrimary();
    // Each live record's keys of the changed indexes; a duplicate is an event, and a record
    // the caller lets go is deleted.
    const uint32_t next = data.NextRecord();
    std::vector<uint8_t> record(recordSize_);
    for (uint32_t n = 1; n < next; ++n) {
      TRecord* r = data.GetRecord(n);
      if (!r) Raise(kErrRecordBuffersCorrupt);
      std::memcpy(record.data(), r->Buffer.data(), recordSize_);
      data.ReleaseRecord(r);
      if (record[0] != 0) continue;
      std::vector<std::vector<uint8_t>> keys(changed.size());
      std::string duplicate;
      bool isDuplicate = false;
      for (size_t i = 0; i < changed.size(); ++i) {
        TCursorIndex ix;
        LoadIndex(changed[i], ix);
        keys[i].resize(ix.KeySize);
        BuildIndexKey(ix, record.data(), keys[i].data());
        TBTree tree(file.Store(changed[i]), ix.Order());
        if (!isDuplicate && ix.Unique && tree.Find(keys[i].data(), nullptr, nullptr) == TBTree::kDone) {
          isDuplicate = true;
          duplicate = ix.Desc.Name;
        }
      }
      if (isDuplicate) {
        const std::string text = EngineErrorText(kErrDuplicateKey, EngineErrorNames{tableName_, {}, duplicate, {}});
        if (!Event(1, text)) throw TStopped{kErrDuplicateKey, duplicate};
        RemoveRecord(n, record, changed);
        continue;
      }
      for (size_t i = 0; i < changed.size(); ++i) InsertKey(changed[i], keys[i].data(), n);
    }
    ApplyHeaderInfo(a);
    file.MarkChanged();
    table_->Commit(true);
  } catch (const TStopped& stop) {
    table_->Rollback();
    Raise(stop.Code, {}, stop.Name);
  } catch (...) {
    table_->Rollback();
    throw;
  }
}

void TDataCursor::RebuildTable(const TTableAttributes& a, const std::vector<IndexDesc>& indexes,
                               const std::vector<FieldDesc>& fields, bool keepBackup) {
  // The new table numbers its fields 1..n: index field lists follow.
  std::vector<IndexDesc> newIndexes = indexes;
  for (IndexDesc& d : newIndexes)
    for (int k = 0; k < d.FieldCount; ++k)
      for (size_t j = 0; j < fields.size(); ++j)
        if (fields[j].FieldNumber == d.FieldNumbers[k]) {
          d.FieldNumbers[k] = static_cast<uint16_t>(j + 1);
          break;
        }
  std::vector<FieldDesc> newFields = fields;
  for (size_t j = 0; j < newFields.size(); ++j) newFields[j].FieldNumber = static_cast<uint16_t>(j + 1);

  // The work table opens with the new password: the session holds it while the restructure
  // runs (a table that becomes encrypted, or changes its password).
  std::string password = a.Password;
  while (!password.empty() && static_cast<unsigned char>(password.back()) <= ' ') password.pop_back();
  while (!password.empty() && static_cast<unsigned char>(password.front()) <= ' ') password.erase(0, 1);
  TDataSession* session = directory_->Session();
  struct TForget {
    TDataSession* Session = nullptr;
    std::string Password;
    ~TForget() {
      if (Session) Session->RemovePassword(Password);
    }
  } forget;
  if (a.Encrypted && session && !session->HasPassword(password)) {
    session->AddPassword(password);
    forget.Session = session;
    forget.Password = password;
  }
  const std::string workName = WorkName(tableName_);
  TDataCursor work(directory_);
  work.SetTableName(workName);
  work.SetExclusive(true);
  work.SetInMemory(inMemory_);
  TTableAttributes workAttributes = a;
  work.CreateTable(workAttributes, true, newIndexes, newFields);
  bool committed = false;
  try {
    work.SetPhysicalOrder(true);
    work.restructureWork_ = true;
    work.Open();
    exclusive_ = true;
    Open();
    TDataFile& data = table_->Data();
    const uint32_t next = data.NextRecord();
    std::vector<uint8_t> old(recordSize_), fresh(work.GetRecordSize());
    std::vector<uint8_t> value(kConvertBufferSize + 16);
    for (uint32_t n = 1; n < next; ++n) {
      TRecord* r = data.GetRecord(n);
      if (!r) Raise(kErrRecordBuffersCorrupt);
      std::memcpy(old.data(), r->Buffer.data(), recordSize_);
      data.ReleaseRecord(r);
      if (old[0] != 0) continue;
      work.InitRecord(fresh.data());
      bool idMatched = false, skip = false;
      for (const FieldDesc& f : fields_) {
        size_t j = fields.size();
        for (size_t k = 0; k < fields.size(); ++k)
          if (fields[k].FieldNumber == f.FieldNumber) j = k;
        if (j == fields.size()) {
          if (!Event(3, f.Name)) throw TStopped{kErrInvalidField, f.Name};
          continue;
        }
        const FieldDesc& g = work.fields_[j];
        const bool null = f.IsAutoInc() ? false : old[f.Offset] == 0;
        if (g.IsAutoInc()) idMatched = true;
        if (null) {
          if (!g.IsAutoInc()) fresh[g.Offset] = 0;
          continue;
        }
        if (f.IsBlob() || g.IsBlob()) {
          if (!(f.IsBlob() && g.IsBlob())) {
            if (!Event(4, f.Name)) throw TStopped{kErrInvalidFieldDefinition, f.Name};
            continue;
          }
          const uint32_t first = GetU32(old.data(), f.Offset + 1u + blob_format::kFieldFirstBlock.Offset);
          const uint32_t owner = GetU32(old.data(), f.Offset + 1u + blob_format::kFieldOwner.Offset);
          std::vector<uint8_t> contents;
          if (first != 0 && !table_->Blob()->ReadValue(first, owner, contents)) Raise(kErrBlobBuffersCorrupt);
          const uint32_t stamp = work.table_->Data().NextBlobStamp();
          const uint32_t copy =
              contents.empty() ? 0 : work.table_->Blob()->WriteValue(0, stamp, contents.data(), contents.size());
          PutU32(fresh.data(), g.Offset + 1u + blob_format::kFieldFirstBlock.Offset, copy);
          PutU32(fresh.data(), g.Offset + 1u + blob_format::kFieldOwner.Offset, copy ? stamp : 0);
          fresh[g.Offset] = copy ? 1 : 0;
          continue;
        }
        std::fill(value.begin(), value.end(), 0);
        const uint8_t* source = f.IsAutoInc() ? old.data() + 5 : old.data() + f.Offset + 1;
        std::memcpy(value.data(), source, f.IsAutoInc() ? 4u : f.PhysicalSize);
        if (!ConvertFieldValue(f.FieldType, f.FieldType == fldZString ? f.PhysicalSize : f.Size, f.PhysicalScale,
                               value.data(), g.PhysicalScale, g.FieldType == fldZString ? g.PhysicalSize : g.Size,
                               g.FieldType)) {
          if (!Event(4, f.Name)) throw TStopped{kErrInvalidFieldDefinition, f.Name};
          continue;
        }
        if (g.IsAutoInc()) {
          std::memcpy(fresh.data() + 5, value.data(), 4);
        } else {
          std::memcpy(fresh.data() + g.Offset + 1, value.data(), g.PhysicalSize);
          if (g.FieldType == fldZString) fresh[g.Offset + g.PhysicalSize] = 0;
          fresh[g.Offset] = 1;
        }
      }
      if (skip) continue;
      if (!idMatched) PutU32(fresh.data(), 5, GetU32(old.data(), 5));
      try {
        work.InsertRecord(fresh.data(), false);
      } catch (const EFenEngineError& e) {
        const int kind = e.Code() == kErrDuplicateKey ? 1
                         : (e.Code() == kErrValueRequired || e.Code() == kErrBelowMinimum || e.Code() == kErrAboveMaximum)
                             ? 2
                             : 0;
        if (!Event(kind, e.Message())) throw;
      }
    }
    {
      TTableGuard guard(*work.table_);
      TDataFile& w = work.table_->Data();
      w.SetLastAutoInc(std::max<uint32_t>(w.LastAutoInc(), static_cast<uint32_t>(a.LastAutoInc)));
    }
    // From the closing of the tables to the end of the swap, no other user's open may take the
    // closed work table for one left by a crash.
    std::optional<TSwapLock> swapLock;
    if (!inMemory_) swapLock.emplace(directory_->Path() + Stem(tableName_));
    work.Close();
    Close();
    if (inMemory_) {
      int rc = directory_->DeleteTable(tableName_, true);
      if (rc == 0) rc = directory_->RenameTable(workName, tableName_, false, true);
      if (rc < 0) Raise(static_cast<uint16_t>(-rc));
      committed = true;
    } else {
      committed = true;  // from here on the swap itself finishes or undoes
      SwapFiles(workName, keepBackup);
    }
  } catch (const TStopped& stop) {
    if (committed) throw;  // a simulated crash in the middle of the swap: nothing is cleaned
    work.Close();
    Close();
    directory_->DeleteTable(workName, inMemory_);
    Raise(stop.Code, stop.Name);
  } catch (...) {
    if (committed) throw;
    try {
      work.Close();
      Close();
      directory_->DeleteTable(workName, inMemory_);
    } catch (...) {
      // The original table is untouched; a work table left behind is only a stray file, and
      // the caller hears the failure that stopped the restructure.
    }
    throw;
  }
}

}  // namespace tovenmarsh::engine
