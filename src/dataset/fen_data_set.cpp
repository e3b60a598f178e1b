// Data sets over an engine cursor, and their binding to a database by name.
#include "dataset/fen_data_set.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "dataset/database_error.h"
#include "dataset/fen_blob_stream.h"
#include "dataset/fen_engine_error.h"
#include "dataset/table_descs.h"
#include "engine/cursor/cursor.h"

namespace tovenmarsh::dataset {

// ---------------------------------------------------------------------------------------------
// TFenDataSet

TFenDataSet::TFenDataSet() = default;

TFenDataSet::~TFenDataSet() = default;

std::unique_ptr<engine::TDataCursor> TFenDataSet::CreateHandle() { return nullptr; }

void TFenDataSet::SetAutoDisplayLabels(bool value) {
  autoDisplayLabels_ = value;
  if (value && cursor_) ApplyDisplayLabels();
}

void TFenDataSet::ApplyDisplayLabels() {
  std::vector<engine::FieldDesc> descs;
  for (uint32_t n = 1; n <= cursor_->GetFieldCount(); ++n) descs.push_back(cursor_->GetFieldDesc(n));
  dataset::ApplyDisplayLabels(Fields(), descs);
}

std::unique_ptr<platform::TStream> TFenDataSet::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  if (field.DataSet() != this) DatabaseErrorFmt(msg::kFieldNotBlob, field.FieldName().c_str());
  return std::make_unique<TFenBlobStream>(field, mode);
}

bool TFenDataSet::BlobFieldModified(int fieldNo, const uint8_t* buffer) {
  return buffer == ActiveBuffer() &&
         std::find(modifiedBlobs_.begin(), modifiedBlobs_.end(), fieldNo) != modifiedBlobs_.end();
}

void TFenDataSet::MarkBlobFieldModified(int fieldNo, const uint8_t* buffer) {
  if (buffer == ActiveBuffer() && !BlobFieldModified(fieldNo, buffer)) modifiedBlobs_.push_back(fieldNo);
}

void TFenDataSet::CloseBlob(TField& field) {
  if (!cursor_ || field.FieldNo() <= 0) return;
  modifiedBlobs_.erase(std::remove(modifiedBlobs_.begin(), modifiedBlobs_.end(), field.FieldNo()),
                       modifiedBlobs_.end());
  const int code = TranslateEngineErrors(
      [&] { return cursor_->CloseBlob(static_cast<uint32_t>(field.FieldNo()), ActiveBuffer()); });
  // A value that is not open is closed already.
  if (code != 0 && code != engine::kErrInvalidBlobHandle) RaiseCursorError(code);
}

void TFenDataSet::ActiveRecordLeaving() {
  // A stream kept while the data set scrolls would otherwise read, and at its end close, the
  // value of whichever record later fills its buffer; its engine handle would never be freed.
  if (!activeBlobsOpen_ || !cursor_) return;
  activeBlobsOpen_ = false;
  try {
    CloseRecordBlobs(ActiveBuffer());
  } catch (...) {
    // The streams are stale either way; the cursor's close frees what is left.
  }
}

void TFenDataSet::FreeFieldBuffers() {
  activeBlobsOpen_ = false;
  ++blobGeneration_;
  std::vector<int> fields;
  fields.swap(modifiedBlobs_);
  if (!cursor_) return;
  try {
    // Closing puts the value's block reference back into the buffer.
    for (int fieldNo : fields) cursor_->CloseBlob(static_cast<uint32_t>(fieldNo), ActiveBuffer());
    // And whatever streams left open: the cursor's budget of open values starts afresh with
    // every record, and a forgotten changed value must never be written with another record.
    cursor_->CloseAllBlobs();
  } catch (...) {
    // Called on the way out of Post, Cancel and Close: nothing here may undo them.
  }
}

void TFenDataSet::ReadFieldDefs() {
  std::vector<engine::FieldDesc> descs;
  for (uint32_t n = 1; n <= cursor_->GetFieldCount(); ++n) descs.push_back(cursor_->GetFieldDesc(n));
  FieldDefsFromDescs(descs, FieldDefs());
}

void TFenDataSet::InternalOpen() {
  cursor_ = TranslateEngineErrors([this] { return CreateHandle(); });
  if (!cursor_) DatabaseError(kErrorCreatingHandle);
  try {
    TranslateEngineErrors([this] {
      canModify_ = !cursor_->ReadOnly();
      ReadFieldDefs();
      ReadIndexInfo();
      AllocateKeyBuffers();
      cursor_->First();
    });
    if (!Filter().empty()) ReplaceExpressionFilter(Filter(), FilterOptions());
  } catch (...) {
    DestroyHandle();
    throw;
  }
}

void TFenDataSet::InternalClose() {
  canModify_ = false;
  activeBlobsOpen_ = false;
  modifiedBlobs_.clear();
  ++blobGeneration_;
  indexFieldNumbers_.clear();
  for (TKeyBuffer& buffer : keyBuffers_) buffer = TKeyBuffer{};
  currentKey_ = -1;
  DestroyHandle();
}

void TFenDataSet::DestroyHandle() {
  expressionFilter_ = nullptr;  // closing the cursor frees its filters
  if (!cursor_) return;
  DestroyLookupCursor();
  std::unique_ptr<engine::TDataCursor> cursor = std::move(cursor_);
  // Closing releases the directory's shared table objects: under the engine lock like opening.
  std::lock_guard<std::recursive_mutex> lock(Sessions().EngineLock());
  TranslateEngineErrors([&cursor] {
    if (cursor->IsOpen()) cursor->Close();
    cursor.reset();
  });
}

int TFenDataSet::GetRecordSize() const { return static_cast<int>(cursor_->GetRecordSize()); }

int TFenDataSet::GetBookmarkSize() const { return static_cast<int>(cursor_->GetBookmarkSize()); }

void TFenDataSet::InternalFirst() {
  TranslateEngineErrors([this] { cursor_->First(); });
}

void TFenDataSet::InternalLast() {
  TranslateEngineErrors([this] { cursor_->Last(); });
}

int TFenDataSet::FetchOne(uint8_t* buffer, TGetMode mode) {
  return TranslateEngineErrors([&] {
    int code = 0;
    switch (mode) {
      case TGetMode::gmCurrent: code = cursor_->GetCurrentRecord(buffer, false); break;
      case TGetMode::gmNext: code = cursor_->GetNextRecord(buffer); break;
      case TGetMode::gmPrior: code = cursor_->GetPriorRecord(buffer); break;
    }
    return code;
  });
}

int TFenDataSet::FetchRecord(uint8_t* buffer, TGetMode mode) {
  int code = FetchOne(buffer, mode);
  // Records the filter callback refuses are stepped over in the direction of the move.
  while (code == 0 && CallbackFilterActive() && !RunFilterRecord(buffer)) {
    if (mode == TGetMode::gmCurrent) return engine::kErrNoCurrentRecord;
    code = FetchOne(buffer, mode);
  }
  if (code != 0) return code;
  return TranslateEngineErrors([&] {
    SetBufferRecNo(buffer, cursor_->GetRecNo());
    std::string bookmark(cursor_->GetBookmarkSize(), '\0');
    cursor_->GetBookmark(reinterpret_cast<uint8_t*>(bookmark.data()));
    SetBookmarkData(buffer, bookmark);
    return 0;
  });
}

void TFenDataSet::ReplaceExpressionFilter(const std::string& text, TFilterOptions options) {
  TranslateEngineErrors([&] {
    // The new filter is made first: a bad text leaves the old one in force.
    engine::TFilter* made = nullptr;
    if (!text.empty()) {
      made = cursor_->AddFilter(this, text, (options & foNoPartialCompare) != 0, (options & foCaseInsensitive) != 0,
                                false, false);
    }
    if (Filtered()) {
      CursorPosChanged();
      DestroyLookupCursor();
    }
    if (expressionFilter_) cursor_->DropFilter(expressionFilter_);
    expressionFilter_ = made;
    if (made && Filtered()) cursor_->ActivateFilter(made);
  });
}

void TFenDataSet::SetFilterText(std::string text) {
  if (Active()) {
    CheckBrowseMode();
    ReplaceExpressionFilter(text, FilterOptions());
  }
  TDataSet::SetFilterText(std::move(text));
  if (Active() && Filtered()) First();
}

void TFenDataSet::SetFilterOptions(TFilterOptions options) {
  if (Active()) {
    CheckBrowseMode();
    ReplaceExpressionFilter(Filter(), options);
  }
  TDataSet::SetFilterOptions(options);
  if (Active() && Filtered()) First();
}

void TFenDataSet::SetFiltered(bool filtered) {
  if (Active()) {
    CheckBrowseMode();
    DestroyLookupCursor();
    if (expressionFilter_) {
      TranslateEngineErrors([&] {
        if (filtered) cursor_->ActivateFilter(expressionFilter_);
        else cursor_->DeactivateFilter(expressionFilter_);
      });
    }
  }
  TDataSet::SetFiltered(filtered);
  if (Active()) First();
}

void TFenDataSet::SetOnFilterRecord(TFilterRecordEvent handler) {
  if (Active()) {
    CheckBrowseMode();
    DestroyLookupCursor();
  }
  TDataSet::SetOnFilterRecord(std::move(handler));
  if (Active() && Filtered()) First();
}

void TFenDataSet::PrepareNewRecord(uint8_t* buffer) {
  if (!copyOnAppend_ || NewRecordSource().empty()) return;
  const TBookmark& source = NewRecordSource();
  const bool appended = GetBookmarkFlag(buffer) == bfEOF;
  const int code = TranslateEngineErrors([&] {
    if (!cursor_->GotoBookmark(reinterpret_cast<const uint8_t*>(source.data()), false))
      return static_cast<int>(engine::kErrNoCurrentRecord);
    return cursor_->NewRecord(buffer);
  });
  if (code != 0) {
    // The new record keeps its own defaults when the source is gone.
    InternalInitRecord(buffer);
    if (code != engine::kErrNoCurrentRecord) RaiseCursorError(code);
  } else {
    // The copied BLOB values stand open in the buffer, changed: Post writes them, Post and
    // Cancel close them.
    TranslateEngineErrors([&] {
      for (uint32_t n = 1; n <= cursor_->GetFieldCount(); ++n)
        if (cursor_->GetFieldDesc(n).IsBlob() && !cursor_->GetFieldData(n, buffer, nullptr))
          MarkBlobFieldModified(static_cast<int>(n), buffer);
    });
  }
  // An appended record stands after the last one.
  if (appended) InternalLast();
}

void TFenDataSet::FlushBuffers() {
  CheckActive();
  TranslateEngineErrors([this] {
    if (cursor_->Exclusive()) cursor_->FlushBuffers();  // the engine skips a table in a transaction
    if (!cursor_->ReadOnly() && !WritesThrough()) cursor_->FlushFiles();
  });
}

void TFenDataSet::InternalGotoBookmark(const TBookmark& bookmark) {
  // A bookmark taken under another index has another size and names no record here.
  if (bookmark.size() != cursor_->GetBookmarkSize()) DatabaseError(msg::kInvalidBookmark);
  const bool found = TranslateEngineErrors(
      [&] { return cursor_->GotoBookmark(reinterpret_cast<const uint8_t*>(bookmark.data()), false); });
  if (!found) RaiseCursorError(engine::kErrRecordNotFound);
}

bool TFenDataSet::InternalSetToNearest(uint8_t* buffer) {
  const TBookmark bookmark = GetBookmarkData(buffer);
  if (bookmark.size() != cursor_->GetBookmarkSize()) DatabaseError(msg::kInvalidBookmark);
  const auto* data = reinterpret_cast<const uint8_t*>(bookmark.data());
  return TranslateEngineErrors(
      [&] { return cursor_->GotoBookmark(data, false) || !cursor_->GotoBookmark(data, true); });
}

int TFenDataSet::CompareBookmarkData(const TBookmark& a, const TBookmark& b) {
  if (a.size() != cursor_->GetBookmarkSize() || b.size() != cursor_->GetBookmarkSize())
    DatabaseError(msg::kInvalidBookmark);
  const int result = TranslateEngineErrors([&] {
    return cursor_->CompareBookmarks(reinterpret_cast<const uint8_t*>(a.data()),
                                     reinterpret_cast<const uint8_t*>(b.data()));
  });
  return result == 2 ? 0 : result;
}

void TFenDataSet::InternalInitRecord(uint8_t* buffer) {
  TranslateEngineErrors([&] { cursor_->InitRecord(buffer); });
}

void TFenDataSet::CloseRecordBlobs(uint8_t* buffer) {
  ++blobGeneration_;
  TranslateEngineErrors([&] {
    for (uint32_t n = 1; n <= cursor_->GetFieldCount(); ++n)
      if (cursor_->GetFieldDesc(n).IsBlob()) cursor_->CloseBlob(n, buffer);  // not open: nothing to do
  });
}

void TFenDataSet::InternalEdit() {
  // A stream still reading the record holds a handle in its buffer, which the engine would
  // take for a change by another user.
  CloseRecordBlobs(ActiveBuffer());
  const int code = TranslateEngineErrors([this] { return cursor_->GetCurrentRecord(ActiveBuffer(), true); });
  if (code != 0) RaiseCursorError(code);
}

void TFenDataSet::InternalPost() {
  TDataSet::InternalPost();
  TranslateEngineErrors([this] {
    if (State() == TDataSetState::dsEdit)
      cursor_->ModifyRecord(ActiveBuffer(), true, true);
    else
      cursor_->InsertRecord(ActiveBuffer(), true);
  });
}

void TFenDataSet::InternalCancel() {
  if (State() != TDataSetState::dsEdit) return;
  TranslateEngineErrors([this] { cursor_->UnlockRecord(); });
}

void TFenDataSet::InternalDelete() {
  CloseRecordBlobs(ActiveBuffer());
  TranslateEngineErrors([this] { cursor_->DeleteRecord(ActiveBuffer(), true); });
}

void TFenDataSet::InternalRefresh() {
  TranslateEngineErrors([this] { cursor_->Refresh(); });
}

int TFenDataSet::GetRecordCount() {
  CheckActive();
  if (!CallbackFilterActive())
    return TranslateEngineErrors([this] { return static_cast<int>(cursor_->GetRecordCount()); });
  // Only the callback knows which records it accepts: count them; the next move returns to
  // the active record first.
  CursorPosChanged();
  InternalFirst();
  int count = 0;
  while (FetchRecord(TempBuffer(), TGetMode::gmNext) == 0) ++count;
  return count;
}

void TFenDataSet::InternalSetRecNo(int recNo) {
  TranslateEngineErrors([&] { cursor_->SetRecNo(recNo); });
}

bool TFenDataSet::ReadFieldData(const TField& field, const uint8_t* buffer, void* destination) {
  return TranslateEngineErrors([&] {
    const auto number = static_cast<uint32_t>(field.FieldNo());
    if (destination == nullptr && field.IsBlob() && BlobFieldModified(field.FieldNo(), buffer)) {
      // The record's null flag is set only when the value is stored: ask the open value.
      uint32_t size = 0;
      const int code = cursor_->GetBlobSize(number, buffer, &size);
      if (code != 0) RaiseCursorError(code);
      return size > 0;
    }
    if (destination != nullptr) return !cursor_->GetFieldData(number, buffer, destination);
    // Only asked whether there is a value: read into scratch room of the stored size.
    const size_t room = std::max<size_t>(static_cast<size_t>(field.DataSize()),
                                         cursor_->GetFieldDescByNumber(static_cast<uint16_t>(number)).PhysicalSize);
    std::vector<uint8_t> scratch(room + 16);
    return !cursor_->GetFieldData(number, buffer, scratch.data());
  });
}

void TFenDataSet::WriteFieldData(const TField& field, uint8_t* buffer, const void* source) {
  // A BLOB written directly (cleared) replaces any change still open in the buffer.
  if (field.IsBlob() && BlobFieldModified(field.FieldNo(), buffer)) CloseBlob(const_cast<TField&>(field));
  TranslateEngineErrors([&] { cursor_->SetFieldData(static_cast<uint32_t>(field.FieldNo()), buffer, source); });
}

void TFenDataSet::RaiseSourceError(int code) { RaiseCursorError(code); }

void TFenDataSet::RaiseCursorError(int code, const std::string& field) const {
  const auto c = static_cast<uint16_t>(code);
  engine::EngineErrorNames names;
  names.TableName = cursor_ ? cursor_->TableName() : std::string();
  names.FieldName = field;
  // The field and index of this thread's last error belong to this code only when that error
  // was raised on this table.
  if (field.empty() && engine::LastEngineErrorCode() == c && engine::GetEngineErrorInfo(1) == names.TableName) {
    names.FieldName = engine::GetEngineErrorInfo(0);
    names.IndexName = engine::GetEngineErrorInfo(2);
  }
  throw EFenEngineError(c, engine::EngineErrorText(c, names));
}

// ---------------------------------------------------------------------------------------------
// TFenDBDataSet

TFenDBDataSet::TFenDBDataSet(TFenComponentOwner* owner) : owner_(owner) {}

TFenDBDataSet::~TFenDBDataSet() {
  try {
    Close();
  } catch (...) {
    // Going away regardless.
  }
  if (flags_ == 0) return;
  // A flag left set by an interrupted operation still must not keep the database counted.
  flags_ = 1;
  try {
    SetDBFlag(kFlagCursorOpen, false);
  } catch (...) {
    // Going away regardless.
  }
}

void TFenDBDataSet::SetDatabaseName(std::string name) {
  if (name == databaseName_) return;
  CheckInactive();
  if (database_ != nullptr) DatabaseError(fenmsg::kDatabaseOpen);
  databaseName_ = std::move(name);
}

void TFenDBDataSet::SetSessionName(std::string name) {
  CheckInactive();
  sessionName_ = std::move(name);
}

bool TFenDBDataSet::WritesThrough() const {
  return database_ != nullptr && database_->Session() != nullptr && database_->Session()->ForceBufferFlush();
}

TFenSession& TFenDBDataSet::DBSession() const { return Sessions().GetSession(sessionName_); }

void TFenDBDataSet::AdoptKeptDatabase(TFenSession& session) {
  if (sessionName_.empty() || databaseName_.empty() || session.FindDatabase(databaseName_) != nullptr) return;
  TFenSession& fallback = Sessions().DefaultSession();
  if (&fallback == &session) return;
  // A database made without a session landed in the default one; the data set's session
  // takes it over while it is closed (opening it moves it between the sessions' lists).
  TFenDatabase* kept = fallback.FindDatabase(databaseName_);
  if (kept == nullptr || kept->Temporary() || kept->Connected()) return;
  kept->SetSessionName(session.SessionName());
  kept->Open();
}

int TFenDBDataSet::SetDBFlag(int flag, bool value) {
  const auto bit = static_cast<uint16_t>(1u << flag);
  if (value) {
    if ((flags_ & bit) != 0) return flag;
    if (flags_ == 0) {
      TFenSession& session = DBSession();
      AdoptKeptDatabase(session);
      TFenDatabase& database = session.OpenDatabase(databaseName_, owner_);
      database.AttachDataSet(*this);
      database_ = &database;
      attachedSession_ = &session;
    }
    flags_ = static_cast<uint16_t>(flags_ | bit);
    return flag;
  }
  if ((flags_ & bit) == 0) return 0;
  flags_ = static_cast<uint16_t>(flags_ & ~bit);
  if (flags_ == 0 && database_ != nullptr) {
    TFenDatabase* database = database_;
    TFenSession* session = attachedSession_;
    database_ = nullptr;
    attachedSession_ = nullptr;
    database->DetachDataSet(*this);
    // A session that went away took its databases' counts along.
    if (session != nullptr && database->Session() == session) session->CloseDatabase(*database);
  }
  return 0;
}

void TFenDBDataSet::InternalOpen() {
  SetDBFlag(kFlagCursorOpen, true);
  try {
    TFenDataSet::InternalOpen();
  } catch (...) {
    SetDBFlag(kFlagCursorOpen, false);
    throw;
  }
}

void TFenDBDataSet::InternalClose() {
  try {
    TFenDataSet::InternalClose();
  } catch (...) {
    SetDBFlag(kFlagCursorOpen, false);
    throw;
  }
  SetDBFlag(kFlagCursorOpen, false);
}

}  // namespace tovenmarsh::dataset
