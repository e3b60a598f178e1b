// The data set: states, buffers, navigation, editing and field data over the record source.
#include "dataset/data_set.h"

#include <algorithm>
#include <cstring>

#include "dataset/database_error.h"
#include "engine/base/engine_error.h"

namespace tovenmarsh::dataset {

using S = TDataSetState;

namespace {
constexpr int kInfoSize = 8;  // sequence number (4), bookmark flag (1), reserved (3)
}

TDataSet::TDataSet() = default;

TDataSet::~TDataSet() {
  // Derived classes closed the source already; only the notifications are left to undo.
  for (TDataSetListener* source : std::vector<TDataSetListener*>(dataSources_)) source->DataSetDestroyed();
}

// ---- Buffers ----

TBookmarkFlag TDataSet::GetBookmarkFlag(const uint8_t* buffer) const {
  return static_cast<TBookmarkFlag>(buffer[infoOffset_ + 4]);
}

void TDataSet::SetBookmarkFlag(uint8_t* buffer, TBookmarkFlag flag) {
  buffer[infoOffset_ + 4] = flag;
}

TBookmark TDataSet::GetBookmarkData(const uint8_t* buffer) const {
  return TBookmark(reinterpret_cast<const char*>(buffer + bookmarkOffset_),
                   static_cast<size_t>(bookmarkSize_));
}

void TDataSet::SetBookmarkData(uint8_t* buffer, std::string_view bookmark) {
  size_t n = std::min(bookmark.size(), static_cast<size_t>(bookmarkSize_));
  std::memset(buffer + bookmarkOffset_, 0, static_cast<size_t>(bookmarkSize_));
  std::memcpy(buffer + bookmarkOffset_, bookmark.data(), n);
}

int32_t TDataSet::GetBufferRecNo(const uint8_t* buffer) const {
  int32_t n;
  std::memcpy(&n, buffer + infoOffset_, 4);
  return n;
}

void TDataSet::SetBufferRecNo(uint8_t* buffer, int32_t recNo) {
  std::memcpy(buffer + infoOffset_, &recNo, 4);
}

void TDataSet::AllocateBuffers() {
  recordSize_ = GetRecordSize();
  bookmarkSize_ = GetBookmarkSize();
  infoOffset_ = recordSize_ + calcSize_;
  bookmarkOffset_ = infoOffset_ + kInfoSize;
  for (auto& b : buffers_) b.assign(static_cast<size_t>(bookmarkOffset_ + bookmarkSize_), 0);
}

void TDataSet::RecomputeLayout() {
  AllocateBuffers();
  ClearBuffers();
}

void TDataSet::ClearBuffers() {
  if (!buffers_[0].empty()) ActiveRecordLeaving();
  recordCount_ = 0;
  cursorOnActive_ = false;
  bof_ = true;
  eof_ = true;
}

uint8_t* TDataSet::GetActiveRecordBuffer() {
  switch (state_) {
    case S::dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
    case S::dsEdit: case S::dsInsert: case S::dsNewValue: return ActiveBuffer();
    case S::dsSetKey: return KeyRecordBuffer();
    case S::dsCalcFields: case S::dsInternalCalc: case S::dsFilter: return tempStateBuffer_;
    default: return nullptr;
  }
}

TDataSet::TTempState::TTempState(TDataSet& dataSet, TDataSetState state, uint8_t* buffer)
    : dataSet_(dataSet), saved_(dataSet.state_), savedBuffer_(dataSet.tempStateBuffer_) {
  dataSet.state_ = state;
  dataSet.tempStateBuffer_ = buffer;
}

TDataSet::TTempState::~TTempState() {
  dataSet_.state_ = saved_;
  dataSet_.tempStateBuffer_ = savedBuffer_;
}

void TDataSet::GetCalcFields(uint8_t* buffer) {
  if (calcSize_ == 0 && !OnCalcFields) return;
  std::memset(buffer + recordSize_, 0, static_cast<size_t>(calcSize_));
  if (!OnCalcFields) return;
  TTempState scope(*this, S::dsCalcFields, buffer);
  OnCalcFields(*this);
}

// ---- Fetching ----

void TDataSet::RaiseSourceError(int code) {
  auto c = static_cast<uint16_t>(code);
  if (engine::LastEngineErrorCode() == c)
    engine::RaiseEngineError(c, engine::GetEngineErrorInfo(1), engine::GetEngineErrorInfo(0), {},
                             engine::GetEngineErrorInfo(2));
  engine::RaiseEngineError(c);
}

TGetResult TDataSet::GetRecord(uint8_t* buffer, TGetMode mode, bool check) {
  int code = FetchRecord(buffer, mode);
  if (code == kSourceOk) {
    SetBookmarkFlag(buffer, bfCurrent);
    GetCalcFields(buffer);
    return TGetResult::grOK;
  }
  if (code == kSourceBof) return TGetResult::grBOF;
  if (code == kSourceEof) return TGetResult::grEOF;
  if (check) RaiseSourceError(code);
  return TGetResult::grError;
}

void TDataSet::InternalSetToRecord(uint8_t* buffer) { InternalGotoBookmark(GetBookmarkData(buffer)); }

void TDataSet::SetCurrentRecord() {
  uint8_t* buffer = ActiveBuffer();
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent: case bfInserted: InternalSetToRecord(buffer); break;
    case bfBOF: InternalFirst(); break;
    case bfEOF: InternalLast(); break;
  }
  cursorOnActive_ = true;
}

void TDataSet::UpdateCursorPos() {
  if (recordCount_ > 0 && !cursorOnActive_) SetCurrentRecord();
}

bool TDataSet::InternalSetToNearest(uint8_t* buffer) {
  InternalSetToRecord(buffer);
  return true;
}

void TDataSet::UpdateCursorPosOrNearest() {
  if (recordCount_ == 0 || cursorOnActive_) return;
  uint8_t* buffer = ActiveBuffer();
  const TBookmarkFlag flag = GetBookmarkFlag(buffer);
  if (flag == bfCurrent || flag == bfInserted) {
    // One visit only: going back to the record a second time could meet it deleted by another
    // user in between, and fail after all.
    if (InternalSetToNearest(buffer)) {
      cursorOnActive_ = true;
    } else {
      Resync(false);
    }
    return;
  }
  SetCurrentRecord();
}

bool TDataSet::GetNextRecord() {
  UpdateCursorPos();
  // Whatever the fetch does (even raising), the cursor no longer stands on the active record.
  CursorPosChanged();
  bool ok = GetRecord(TempBuffer(), TGetMode::gmNext, true) == TGetResult::grOK;
  if (ok) {
    ActiveRecordLeaving();
    std::swap(buffers_[0], buffers_[1]);
    if (recordCount_ == 0) bof_ = eof_ = false;
    recordCount_ = 1;
    cursorOnActive_ = true;
  }
  return ok;
}

bool TDataSet::GetPriorRecord() {
  UpdateCursorPos();
  // Whatever the fetch does (even raising), the cursor no longer stands on the active record.
  CursorPosChanged();
  bool ok = GetRecord(TempBuffer(), TGetMode::gmPrior, true) == TGetResult::grOK;
  if (ok) {
    ActiveRecordLeaving();
    std::swap(buffers_[0], buffers_[1]);
    if (recordCount_ == 0) bof_ = eof_ = false;
    recordCount_ = 1;
    cursorOnActive_ = true;
  }
  return ok;
}

void TDataSet::Resync(bool exact) {
  uint8_t* temp = TempBuffer();
  if (exact) {
    CursorPosChanged();
    if (GetRecord(temp, TGetMode::gmCurrent, true) != TGetResult::grOK) DatabaseError(msg::kRecordNotFound);
  } else if (GetRecord(temp, TGetMode::gmCurrent, false) != TGetResult::grOK &&
             GetRecord(temp, TGetMode::gmNext, false) != TGetResult::grOK &&
             GetRecord(temp, TGetMode::gmPrior, false) != TGetResult::grOK) {
    ClearBuffers();
    DataEvent(TDataEvent::deDataSetChange);
    return;
  }
  ActiveRecordLeaving();
  std::swap(buffers_[0], buffers_[1]);
  recordCount_ = 1;
  cursorOnActive_ = true;
  bof_ = eof_ = false;
  DataEvent(TDataEvent::deDataSetChange);
}

// ---- Opening and closing ----

TField& TDataSet::AddField(std::unique_ptr<TField> field, std::string name, TFieldKind kind) {
  CheckInactive();
  if (name.empty()) DatabaseError(msg::kFieldNameMissing);
  if (fields_.FindField(name)) DatabaseErrorFmt(msg::kDuplicateFieldName, name.c_str());
  field->SetFieldName(std::move(name));
  field->SetFieldKind(kind);
  field->dataSet_ = this;
  return fields_.Add(std::move(field));
}

void TDataSet::CreateFields() {
  for (int i = 0; i < fieldDefs_.Count(); ++i) {
    const TFieldDef& def = fieldDefs_[i];
    std::unique_ptr<TField> field = CreateFieldForType(def.DataType(), def.Size());
    if (!field) continue;
    field->SetFieldName(def.Name());
    field->dataSet_ = this;
    field->defaultField_ = true;
    fields_.Add(std::move(field));
  }
}

void TDataSet::BindFields() {
  calcSize_ = 0;
  int calcNo = 0;
  for (int i = 0; i < fields_.Count(); ++i) {
    TField& field = fields_[i];
    if (field.FieldKind() == TFieldKind::fkData) {
      const TFieldDef& def = fieldDefs_.Find(field.FieldName());
      bool compatible = def.DataType() == field.DataType() ||
                        (IsStringType(def.DataType()) && IsStringType(field.DataType()));
      if (!compatible)
        DatabaseErrorFmt(msg::kFieldTypeMismatch, field.DisplayName().c_str(),
                         FieldTypeName(field.DataType()), FieldTypeName(def.DataType()));
      field.fieldNo_ = def.FieldNo();
      field.size_ = def.Size();
      if (def.Required()) field.required_ = true;
    } else {
      field.fieldNo_ = -(++calcNo);
      field.calcOffset_ = calcSize_;
      calcSize_ += 1 + field.DataSize();
    }
  }
}

void TDataSet::UnbindFields() {
  fields_.RemoveDefaultFields();
  for (int i = 0; i < fields_.Count(); ++i) fields_[i].fieldNo_ = 0;
  calcSize_ = 0;
}

void TDataSet::OpenCursor() {
  InternalOpen();
  try {
    if (fields_.Count() == 0) CreateFields();
    BindFields();
    AllocateBuffers();
    ClearBuffers();
    AfterFieldsBound();
    InternalFirst();
  } catch (...) {
    UnbindFields();
    InternalClose();
    throw;
  }
}

void TDataSet::CloseCursor() {
  try {
    if (IsCursorOpen()) InternalClose();
  } catch (...) {
    UnbindFields();
    throw;
  }
  UnbindFields();
}

void TDataSet::Open() {
  if (Active()) return;
  Fire(BeforeOpen, *this);
  state_ = S::dsOpening;
  try {
    OpenCursor();
    state_ = S::dsBrowse;
    GetNextRecord();
    bof_ = true;
  } catch (...) {
    state_ = S::dsInactive;
    CloseCursor();
    throw;
  }
  modified_ = false;
  DataEvent(TDataEvent::deUpdateState);
  Fire(AfterOpen, *this);
  if (!IsEmpty()) Fire(AfterScroll, *this);
}

void TDataSet::Close() {
  if (!Active()) return;
  Fire(BeforeClose, *this);
  if (state_ == S::dsEdit || state_ == S::dsInsert) {
    // Closing an edit drops it; the source still has to release its record lock.
    try {
      InternalCancel();
    } catch (...) {
      // Close must go through; closing the source below releases its record lock anyway.
    }
    FreeFieldBuffers();
  }
  state_ = S::dsInactive;
  modified_ = false;
  ClearBuffers();
  DataEvent(TDataEvent::deUpdateState);
  CloseCursor();
  Fire(AfterClose, *this);
}

void TDataSet::CheckActive() const {
  if (!Active()) DatabaseError(msg::kDataSetClosed);
}

void TDataSet::CheckInactive() const {
  if (Active()) DatabaseError(msg::kDataSetOpen);
}

void TDataSet::CheckCanModify() const {
  if (!CanModify()) DatabaseError(msg::kDataSetReadOnly);
}

void TDataSet::SetState(TDataSetState state) {
  if (state_ == state) return;
  state_ = state;
  modified_ = false;
  DataEvent(TDataEvent::deUpdateState);
}

// ---- Navigation ----

void TDataSet::First() {
  CheckBrowseMode();
  Fire(BeforeScroll, *this);
  ClearBuffers();
  try {
    InternalFirst();
    GetNextRecord();
  } catch (...) {
    bof_ = true;
    DataEvent(TDataEvent::deDataSetChange);
    throw;
  }
  bof_ = true;
  DataEvent(TDataEvent::deDataSetChange);
  Fire(AfterScroll, *this);
}

void TDataSet::Last() {
  CheckBrowseMode();
  Fire(BeforeScroll, *this);
  ClearBuffers();
  try {
    InternalLast();
    GetPriorRecord();
  } catch (...) {
    eof_ = true;
    DataEvent(TDataEvent::deDataSetChange);
    throw;
  }
  eof_ = true;
  DataEvent(TDataEvent::deDataSetChange);
  Fire(AfterScroll, *this);
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    Fire(BeforeScroll, *this);
    bof_ = eof_ = false;
    while (distance > 0) {
      if (!GetNextRecord()) {
        eof_ = true;
        break;
      }
      --distance;
      ++moved;
    }
    while (distance < 0) {
      if (!GetPriorRecord()) {
        bof_ = true;
        break;
      }
      ++distance;
      --moved;
    }
    DataEvent(bof_ || eof_ ? TDataEvent::deDataSetChange : TDataEvent::deDataSetScroll);
    Fire(AfterScroll, *this);
  }
  return moved;
}

int TDataSet::RecordCount() {
  CheckActive();
  return GetRecordCount();
}

int TDataSet::RecNo() const {
  if (!Active() || recordCount_ == 0) return 0;
  return GetBufferRecNo(buffers_[0].data());
}

void TDataSet::SetRecNo(int recNo) {
  CheckBrowseMode();
  if (recNo == RecNo()) return;
  Fire(BeforeScroll, *this);
  CursorPosChanged();
  InternalSetRecNo(recNo);
  Resync(false);
  Fire(AfterScroll, *this);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  // Refresh is how other users' changes are taken in: their deleting the active record
  // must not make it fail.
  UpdateCursorPosOrNearest();
  try {
    InternalRefresh();
  } catch (...) {
    Resync(false);
    throw;
  }
  Resync(false);
}

// ---- Editing ----

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(TDataEvent::deCheckBrowseMode);
  switch (state_) {
    case S::dsEdit:
    case S::dsInsert:
      UpdateRecord();
      if (modified_)
        Post();
      else
        Cancel();
      break;
    case S::dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TDataSet::UpdateRecord() {
  if (state_ != S::dsEdit && state_ != S::dsInsert && state_ != S::dsSetKey)
    DatabaseError(msg::kNotEditing);
  DataEvent(TDataEvent::deUpdateRecord);
}

void TDataSet::Edit() {
  if (state_ == S::dsEdit || state_ == S::dsInsert) return;
  CheckActive();
  if (recordCount_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeEdit, *this);
  UpdateCursorPos();
  InternalEdit();
  GetCalcFields(ActiveBuffer());
  SetState(S::dsEdit);
  DataEvent(TDataEvent::deRecordChange);
  Fire(AfterEdit, *this);
}

void TDataSet::InitRecord(uint8_t* buffer) {
  if (buffer == ActiveBuffer()) ActiveRecordLeaving();
  InternalInitRecord(buffer);
  std::memset(buffer + recordSize_, 0, static_cast<size_t>(calcSize_));
  SetBufferRecNo(buffer, -1);
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeInsert, *this);
  Fire(BeforeScroll, *this);
}

void TDataSet::EndInsertAppend() {
  SetState(S::dsInsert);
  try {
    PrepareNewRecord(ActiveBuffer());
    Fire(OnNewRecord, *this);
  } catch (...) {
    UpdateCursorPos();
    FreeFieldBuffers();
    SetState(S::dsBrowse);
    Resync(false);
    throw;
  }
  modified_ = false;
  DataEvent(TDataEvent::deDataSetChange);
  Fire(AfterInsert, *this);
  Fire(AfterScroll, *this);
}

void TDataSet::Insert() {
  CheckActive();
  BeginInsertAppend();
  // The new record takes the active record's place; its bookmark remembers where it was so
  // that Cancel can go back.
  TBookmark old = recordCount_ > 0 ? GetBookmarkData(ActiveBuffer()) : TBookmark();
  newRecordSource_ = GetBookmark();
  UpdateCursorPos();
  uint8_t* buffer = ActiveBuffer();
  InitRecord(buffer);
  if (recordCount_ == 0) {
    SetBookmarkFlag(buffer, bfBOF);
  } else {
    SetBookmarkFlag(buffer, bfInserted);
    SetBookmarkData(buffer, old);
  }
  recordCount_ = 1;
  bof_ = eof_ = false;
  EndInsertAppend();
}

void TDataSet::Append() {
  CheckActive();
  BeginInsertAppend();
  newRecordSource_ = GetBookmark();
  ClearBuffers();
  uint8_t* buffer = ActiveBuffer();
  InitRecord(buffer);
  SetBookmarkFlag(buffer, bfEOF);
  recordCount_ = 1;
  bof_ = eof_ = false;
  InternalLast();
  cursorOnActive_ = true;
  EndInsertAppend();
}

void TDataSet::CheckRequiredFields() {
  for (int i = 0; i < fields_.Count(); ++i) {
    TField& field = fields_[i];
    if (field.Required() && !field.ReadOnly() && field.FieldKind() == TFieldKind::fkData &&
        field.DataType() != ftAutoInc && field.IsNull())
      DatabaseErrorFmt(msg::kFieldRequired, field.DisplayName().c_str());
  }
}

void TDataSet::InternalPost() { CheckRequiredFields(); }

void TDataSet::Post() {
  UpdateRecord();
  switch (state_) {
    case S::dsEdit:
    case S::dsInsert:
      DataEvent(TDataEvent::deCheckBrowseMode);
      Fire(BeforePost, *this);
      if (state_ == S::dsEdit) UpdateCursorPos();
      InternalPost();
      FreeFieldBuffers();
      SetState(S::dsBrowse);
      Resync(false);
      Fire(AfterPost, *this);
      break;
    case S::dsSetKey:
      PostKeyBuffer(true);
      break;
    default:
      break;
  }
}

void TDataSet::Cancel() {
  switch (state_) {
    case S::dsEdit:
    case S::dsInsert: {
      DataEvent(TDataEvent::deCheckBrowseMode);
      Fire(BeforeCancel, *this);
      bool scroll = state_ == S::dsInsert;
      if (scroll) Fire(BeforeScroll, *this);
      try {
        UpdateCursorPos();
        InternalCancel();
      } catch (...) {
        // Whatever the source says, the edit is over: leave a usable browse state.
        FreeFieldBuffers();
        SetState(S::dsBrowse);
        Resync(false);
        throw;
      }
      FreeFieldBuffers();
      SetState(S::dsBrowse);
      Resync(false);
      Fire(AfterCancel, *this);
      if (scroll) Fire(AfterScroll, *this);
      break;
    }
    case S::dsSetKey:
      PostKeyBuffer(false);
      break;
    default:
      break;
  }
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == S::dsInsert || state_ == S::dsSetKey) {
    Cancel();
    return;
  }
  if (recordCount_ == 0) DatabaseError(msg::kDataSetEmpty);
  DataEvent(TDataEvent::deCheckBrowseMode);
  Fire(BeforeDelete, *this);
  Fire(BeforeScroll, *this);
  UpdateCursorPos();
  InternalDelete();
  FreeFieldBuffers();
  SetState(S::dsBrowse);
  Resync(false);
  Fire(AfterDelete, *this);
  Fire(AfterScroll, *this);
}

// ---- Bookmarks ----

TBookmark TDataSet::GetBookmark() const {
  if (!Active() || recordCount_ == 0 || state_ == S::dsInsert) return {};
  if (GetBookmarkFlag(buffers_[0].data()) != bfCurrent) return {};
  return GetBookmarkData(buffers_[0].data());
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) return;
  CheckBrowseMode();
  // A bookmark taken under another index has another size and would be read as garbage.
  if (bookmark.size() != static_cast<size_t>(bookmarkSize_)) DatabaseError(msg::kInvalidBookmark);
  Fire(BeforeScroll, *this);
  CursorPosChanged();
  InternalGotoBookmark(bookmark);
  Resync(true);
  Fire(AfterScroll, *this);
}

bool TDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (!Active() || bookmark.size() != static_cast<size_t>(bookmarkSize_)) return false;
  CursorPosChanged();
  try {
    InternalGotoBookmark(bookmark);
  } catch (const platform::Exception&) {
    return false;
  }
  return true;
}

int TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) {
  if (a.empty() && b.empty()) return 0;
  if (b.empty()) return -1;
  if (a.empty()) return 1;
  int r = CompareBookmarkData(a, b);
  return r == 2 ? 0 : r;
}

// ---- Field data ----

bool TDataSet::GetFieldData(const TField& field, void* destination) {
  uint8_t* buffer = GetActiveRecordBuffer();
  if (!buffer) return false;
  if (field.FieldNo() > 0) return ReadFieldData(field, buffer, destination);
  if (field.FieldNo() == 0) return false;  // not bound
  if (state_ != S::dsBrowse && state_ != S::dsEdit && state_ != S::dsInsert &&
      state_ != S::dsCalcFields)
    return false;
  const uint8_t* slot = buffer + recordSize_ + field.CalcOffset();
  if (slot[0] == 0) return false;
  if (destination) std::memcpy(destination, slot + 1, static_cast<size_t>(field.DataSize()));
  return true;
}

void TDataSet::SetFieldData(TField& field, const void* source) {
  switch (state_) {
    case S::dsEdit: case S::dsInsert: case S::dsSetKey: case S::dsCalcFields: case S::dsFilter:
    case S::dsNewValue: case S::dsInternalCalc:
      break;
    default:
      DatabaseError(msg::kNotEditing);
  }
  if (state_ == S::dsSetKey &&
      (field.FieldNo() < 0 || (IndexFieldCount() > 0 && !IsIndexField(field))))
    DatabaseErrorFmt(msg::kNotIndexField, field.DisplayName().c_str());
  uint8_t* buffer = GetActiveRecordBuffer();
  if (!buffer || field.FieldNo() == 0) DatabaseError(msg::kNotEditing);
  if (field.FieldNo() < 0) {
    uint8_t* slot = buffer + recordSize_ + field.CalcOffset();
    slot[0] = source ? 1 : 0;
    if (source) std::memcpy(slot + 1, source, static_cast<size_t>(field.DataSize()));
  } else {
    if (state_ == S::dsCalcFields) DatabaseError(msg::kNotEditing);
    if (field.ReadOnly() && state_ != S::dsSetKey && state_ != S::dsFilter)
      DatabaseErrorFmt(msg::kFieldReadOnly, field.DisplayName().c_str());
    field.Validate(source);
    if (field.FieldKind() != TFieldKind::fkInternalCalc) WriteFieldData(field, buffer, source);
  }
  if (state_ != S::dsCalcFields && state_ != S::dsFilter && state_ != S::dsNewValue)
    DataEvent(TDataEvent::deFieldChange, &field);
}

// ---- Notifications ----

void TDataSet::DataEvent(TDataEvent event, TField* field) {
  if (event == TDataEvent::deFieldChange && field) {
    if (field->FieldKind() == TFieldKind::fkData || field->FieldKind() == TFieldKind::fkInternalCalc)
      modified_ = true;
    if (field->OnChange) field->OnChange(*field);
  }
  if (disableCount_ > 0 && event != TDataEvent::deUpdateState) return;
  for (TDataSetListener* source : std::vector<TDataSetListener*>(dataSources_)) source->DataEvent(event, field);
}

void TDataSet::EnableControls() {
  if (disableCount_ > 0 && --disableCount_ == 0) DataEvent(TDataEvent::deDataSetChange);
}

}  // namespace tovenmarsh::dataset
