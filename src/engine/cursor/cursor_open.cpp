// Cursor creation, options, open and close, and the operation bracket with its change check.
// Implements the open, close and bracket calls of engine/cursor/cursor.h.
//
// The bracket takes the table's in-process lock (re-entrant, counted per cursor), takes the
// reader lock under strict change detection, and compares the table's counters with those the
// cursor last saw; on a difference the cursor goes back to its record (nearest match).
#include <algorithm>
#include <cctype>
#include <cstring>

#include "engine/store/blob_buffer.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return s.substr(b, e - b);
}

bool EndsWithDat(const std::string& s) {
  if (s.size() < 4) return false;
  std::string tail = s.substr(s.size() - 4);
  for (char& c : tail) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return tail == ".DAT";
}

}  // namespace

TDataCursor::TDataCursor(TDataDirectory* directory) : directory_(directory) {}

TDataCursor::~TDataCursor() {
  try {
    Close();
  } catch (...) {
    // Destruction never throws; the directory keeps its own accounting.
  }
}

void TDataCursor::Raise(uint16_t code, const std::string& field, const std::string& index) const {
  RaiseEngineError(code, tableName_, field, {}, index);
}

void TDataCursor::CheckClosed() const {
  if (open_) Raise(kErrTableInUse);
}
void TDataCursor::CheckExclusive() const {
  if (!exclusive_) Raise(kErrMustBeExclusive);
}
void TDataCursor::CheckWritable() const {
  if (readOnly_) Raise(kErrAccessDenied);
}

void TDataCursor::SetExclusive(bool flag) {
  CheckClosed();
  exclusive_ = flag;
}
void TDataCursor::SetShareExclusive(bool flag) {
  CheckClosed();
  shareExclusive_ = flag;
}
void TDataCursor::SetReadOnly(bool flag) {
  CheckClosed();
  readOnly_ = flag;
}
void TDataCursor::SetInMemory(bool flag) {
  CheckClosed();
  inMemory_ = flag;
}
void TDataCursor::SetPhysicalOrder(bool flag) {
  if (flag != physicalOrder_) CheckClosed();
  physicalOrder_ = flag;
}
void TDataCursor::SetTemporary(bool flag) {
  if (flag != temporary_) CheckClosed();
  temporary_ = flag;
}
void TDataCursor::SetSequentialScan(bool flag) {
  if (flag != sequential_) CheckClosed();
  sequential_ = flag;
}

void TDataCursor::SetTableName(const std::string& name) {
  CheckClosed();
  std::string n = Trim(name);
  if (n.size() > 255) n.resize(255);
  if (!n.empty() && !EndsWithDat(n)) {
    const size_t slash = n.find_last_of("/\\");
    const size_t dot = n.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) n.resize(dot);
    n += ".DAT";
  }
  // A table lives in its database directory: a name with a directory part would reach outside.
  if (n.find_first_of("/\\") != std::string::npos || n.find(':') != std::string::npos ||
      n.rfind("..", 0) == 0)
    RaiseEngineError(kErrInvalidPath, n);
  tableName_ = n;
}

uint32_t TDataCursor::LastAutoInc() const { return table_ ? table_->Data().LastAutoInc() : 0; }

void TDataCursor::Open() {
  if (open_) return;
  fields_.clear();
  TOpenOptions options;
  options.Memory = inMemory_;
  options.Exclusive = exclusive_;
  options.ShareExclusive = shareExclusive_;
  options.ReadOnly = readOnly_;
  options.Temporary = temporary_;
  options.Sequential = sequential_;
  if (!inMemory_) RecoverRestructure();
  TDataTable* table = nullptr;
  // Whether this cursor opened the files is decided under the directory's lock: the reference
  // count may change under it as soon as OpenTable returns.
  bool firstOpen = false;
  const int rc = directory_->OpenTable(tableName_, &table, options, &firstOpen);
  if (rc < 0) Raise(static_cast<uint16_t>(-rc));
  table_ = table;
  open_ = true;
  try {
    if (table_->ReadOnly) readOnly_ = true;
    {
      TTableGuard guard(*table_);
      // A cursor that verifies or repairs a table, or works through a restructure, takes the
      // files as they are.
      if (firstOpen && !table_->ChangesWritten() && !verifyRepair_ && !restructureWork_) {
        // Under the reader lock no other user is half way through a write (records written,
        // header not yet, or the other way round), and taking it rereads headers that changed
        // since the files were opened: what is checked is what a finished write left.
        table_->ReadLock();
        try {
          table_->Data().VerifyHeader();
          if (!table_->IndexRebuildNeeded()) table_->Index().Verify(table_->Data().Fields());
          if (table_->Blob()) table_->Blob()->Verify();
        } catch (...) {
          try {
            table_->ReadUnlock();
          } catch (const EFenEngineError&) {
            // The verification failure is the one to report.
          }
          throw;
        }
        table_->ReadUnlock();
      }
      TDataFile& data = table_->Data();
      if (data.Encrypted()) {
        const std::string password = data.Password();
        TDataSession* session = directory_->Session();
        while (!session->HasPassword(password)) {
          if (!passwordCallback_ || !passwordCallback_(passwordOwner_, 0)) Raise(kErrInsufficientRights);
        }
      }
      languageId_ = data.LanguageId();
      sortId_ = data.SortId();
      recordSize_ = data.RecordSize();
      fields_ = data.Fields();
      hasAutoInc_ = hasChecks_ = hasDefaults_ = hasBlobs_ = false;
      for (const FieldDesc& f : fields_) {
        if (f.IsAutoInc()) hasAutoInc_ = true;
        if (f.Required || !f.MinValue.empty() || !f.MaxValue.empty()) hasChecks_ = true;
        if (!f.DefaultValue.empty()) hasDefaults_ = true;
        if (f.IsBlob()) hasBlobs_ = true;
      }
      // Cache misses of other cursors' tables look for other users' changes here.
      TDataTable* t = table_;
      table_->SetChangeCheck([t]() { return t->CheckForChanges(); });
      // A recreated index file has no record-status index while the data file has records.
      // Deciding by the index itself rebuilds it once (not again for every cursor that joins
      // the open table), and also after a verification cursor, which leaves it alone, opened
      // the table first.
      const bool statusMissing = table_->Index().Root(kStatusIndex) == 0 && data.NextRecord() > 1;
      if (statusMissing && !verifyRepair_) {
        // Rebuild the record-status index: one key per physical record. A shared table holds
        // its write lock from the first key to the write: taken only for the write, its check
        // for other users' changes could drop the rebuilt pages, and another user could write
        // meanwhile (or have rebuilt the index already, which the check shows).
        const bool shared = !exclusive_ && !table_->ReadOnly && !table_->InTransactionNow();
        if (shared) table_->WriteLock();
        try {
          TIndexFile& index = table_->Index();
          if (index.Root(kStatusIndex) == 0) {
            TCursorIndex status;
            LoadIndex(kStatusIndex, status);
            const uint32_t next = data.NextRecord();
            int32_t live = 0;
            for (uint32_t n = 1; n < next; ++n) {
              TRecord* r = data.GetRecord(n);
              if (!r) Raise(kErrRecordBuffersCorrupt);
              uint8_t key[5];
              BuildStatusKey(r->Status(), r->RecordId(), key);
              if (r->Status() == 0) ++live;
              data.ReleaseRecord(r);
              TBTree tree(index.Store(kStatusIndex), status.Order());
              if (tree.Insert(key, n) != TBTree::kDone) Raise(kErrIndexPageCorrupt);
            }
            index.SetRecordCount(live);
            index.MarkChanged();
            // A shared table writes only at the end of each change: the rebuilt index would be
            // dropped on close, and the next open would find a table without records.
            if (shared) {
              table_->WriteCaches(false, true, true);
              table_->Flush();
            }
          }
        } catch (...) {
          if (shared) table_->WriteUnlock();
          throw;
        }
        if (shared) table_->WriteUnlock();
      }
      noPrimary_ = table_->Index().NoPrimary();
      seen_ = CurrentStamp();
    }
    rangeStart_.assign(kRangeKeySize, 0x00);
    rangeEnd_.assign(kRangeKeySize, 0xFF);
    rangeActive_ = false;
    visible_ = std::make_unique<TRecordsBitmap>();
    if (table_->Blob()) blobs_ = std::make_unique<TBlobBufferList>(*table_->Blob(), table_->Data());
    // Verification and repair work by physical record number: no position, filters or index.
    if (!verifyRepair_) {
      // The index header is shared with other cursors' writers: read it under the table's lock.
      TTableGuard guard(*table_);
      ActivateIndex(physicalOrder_ ? kPhysicalOrder : 0);
    }
  } catch (...) {
    try {
      Close();
    } catch (...) {
      // The failed open is what the caller hears; the close only frees what it had taken.
    }
    throw;
  }
}

void TDataCursor::Close(bool closeFiles) {
  if (!open_ && !table_) return;
  while (depth_ > 0) Leave();
  blobs_.reset();
  filters_.reset();  // filters belong to one opening of the table
  filterHost_.reset();
  visible_.reset();
  rangeStart_.clear();
  rangeEnd_.clear();
  rangeActive_ = false;
  fields_.clear();
  hasComputed_ = false;
  computedSize_ = 0;
  computedTrees_.clear();
  currentRecord_ = 0;
  currentKey_.clear();
  bof_ = eof_ = true;
  resyncPending_ = false;
  open_ = false;
  TDataTable* table = table_;
  table_ = nullptr;
  passwordCallback_ = nullptr;
  repairCallback_ = nullptr;
  if (table) {
    const int rc = directory_->CloseTable(table, closeFiles);
    if (rc < 0) Raise(static_cast<uint16_t>(-rc));
  }
}

TDataCursor::TStamp TDataCursor::CurrentStamp() const {
  TStamp s;
  s.IndexCounter = table_->Index().UpdateCounter();
  s.DataCounter = table_->Data().UpdateCounter();
  s.Records = table_->Index().RecordCount();
  return s;
}

void TDataCursor::Enter(bool deferResync) {
  // A cursor that is not open has no table to work on.
  if (!table_) Raise(kErrInvalidFileHandle);
  if (depth_++ > 0) return;
  guard_ = std::unique_lock<std::recursive_mutex>(table_->Mutex());
  try {
    // Under strict change detection the reader lock re-reads the headers; otherwise other
    // users' changes show when a cache miss finds the files changed.
    TDataSession* session = directory_->Session();
    if (session && session->StrictChangeDetection && !exclusive_ && !table_->ReadOnly) {
      table_->ReadLock();
      readLocked_ = true;
    } else if (!exclusive_ && !table_->HoldsWriteLock()) {
      // Otherwise the header counters are compared with the files' own (no system call while
      // they match): with every page and record of an operation cached, no miss would ever
      // look, and the cursor would go on reading what another user has since changed.
      table_->CheckForChanges();
    }
    // A verification cursor has no position to go back to.
    if (!verifyRepair_ && (resyncPending_ || !(CurrentStamp() == seen_))) {
      if (deferResync) {
        resyncPending_ = true;
      } else {
        const uint32_t record = currentRecord_;
        Resync();
        // The current record is gone: the cursor now stands on the one after it, which a
        // forward step of this operation must not pass over.
        resyncMoved_ = currentRecord_ != record;
      }
    }
  } catch (...) {
    Leave();
    throw;
  }
}

void TDataCursor::SettlePendingResync() {
  if (!resyncPending_ || table_ == nullptr) return;
  TCursorBracket bracket(*this);
}

void TDataCursor::Leave() {
  if (depth_ == 0 || --depth_ > 0) return;
  resyncMoved_ = false;
  if (readLocked_) {
    readLocked_ = false;
    try {
      table_->ReadUnlock();
    } catch (const EFenEngineError&) {
      // The byte goes with the file handle at close; the operation's result stands.
    }
  }
  guard_.unlock();
}

void TDataCursor::Refresh() {
  if (!open_) return;
  Enter();
  try {
    Resync();
  } catch (...) {
    Leave();
    throw;
  }
  Leave();
}

}  // namespace tovenmarsh::engine
