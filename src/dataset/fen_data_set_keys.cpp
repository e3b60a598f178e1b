// Key buffers of a data set over an engine cursor: the active index's fields, editing search
// keys and range bounds, applying and lifting ranges, switching the index.
// Implements the key calls of TFenDataSet in dataset/fen_data_set.h.
#include <algorithm>

#include "dataset/database_error.h"
#include "dataset/fen_data_set.h"
#include "dataset/fen_engine_error.h"
#include "engine/cursor/cursor.h"

namespace tovenmarsh::dataset {

void TFenDataSet::ReadIndexInfo() {
  indexFieldNumbers_.clear();
  const engine::IndexDesc desc = cursor_->GetIndexDesc(cursor_->IndexNumber());
  indexCaseInsensitive_ = desc.CaseInsensitive;
  for (int i = 0; i < desc.FieldCount && i < engine::kMaxFieldsPerIndex; ++i)
    indexFieldNumbers_.push_back(desc.FieldNumbers[i]);
}

void TFenDataSet::AllocateKeyBuffers() {
  for (TKeyBuffer& buffer : keyBuffers_) InitKeyBuffer(buffer);
  currentKey_ = -1;
}

void TFenDataSet::InitKeyBuffer(TKeyBuffer& buffer) {
  buffer.Modified = false;
  buffer.FieldCount = 0;
  buffer.Record.assign(cursor_->GetRecordSize(), 0);
  cursor_->ClearRecordBuffer(buffer.Record.data());
}

TField& TFenDataSet::IndexFields(int i) {
  if (i < 0 || i >= IndexFieldCount()) DatabaseError(msg::kFieldIndexOutOfRange);
  const int number = indexFieldNumbers_[static_cast<size_t>(i)];
  for (int f = 0; f < Fields().Count(); ++f)
    if (Fields()[f].FieldNo() == number && Fields()[f].FieldKind() == TFieldKind::fkData) return Fields()[f];
  std::string name;
  for (int d = 0; d < FieldDefs().Count(); ++d)
    if (FieldDefs()[d].FieldNo() == number) name = FieldDefs()[d].Name();
  DatabaseErrorFmt("Cannot access index field '%s'", name.c_str());
}

bool TFenDataSet::IsIndexField(const TField& field) const {
  return field.FieldKind() == TFieldKind::fkData &&
         std::find(indexFieldNumbers_.begin(), indexFieldNumbers_.end(), field.FieldNo()) != indexFieldNumbers_.end();
}

void TFenDataSet::SetKeyFieldCount(int count) {
  if (State() != TDataSetState::dsSetKey || currentKey_ < 0) DatabaseError(msg::kNotEditing);
  KeyBuffer(currentKey_).FieldCount = count;
}

uint8_t* TFenDataSet::KeyRecordBuffer() {
  return currentKey_ < 0 ? nullptr : KeyBuffer(currentKey_).Record.data();
}

void TFenDataSet::SetKeyBuffer(int index, bool clear) {
  CheckBrowseMode();
  TKeyBuffer& buffer = KeyBuffer(index);
  KeyBuffer(kKeySave) = buffer;
  if (clear) InitKeyBuffer(buffer);
  currentKey_ = index;
  SetState(TDataSetState::dsSetKey);
  DataEvent(TDataEvent::deDataSetChange);
}

void TFenDataSet::PostKeyBuffer(bool commit) {
  DataEvent(TDataEvent::deCheckBrowseMode);
  if (currentKey_ >= 0) {
    TKeyBuffer& buffer = KeyBuffer(currentKey_);
    // A key stays marked once values were put into it.
    if (commit)
      buffer.Modified = buffer.Modified || Modified();
    else
      buffer = KeyBuffer(kKeySave);
  }
  currentKey_ = -1;
  SetState(TDataSetState::dsBrowse);
  DataEvent(TDataEvent::deDataSetChange);
}

void TFenDataSet::FillKeyBuffer(int index, const std::function<void(TKeyBuffer&)>& fill) {
  const TDataSetState saved = State();
  const int savedKey = currentKey_;
  TKeyBuffer& buffer = KeyBuffer(index);
  InitKeyBuffer(buffer);
  currentKey_ = index;
  SetState(TDataSetState::dsSetKey);
  try {
    fill(buffer);
  } catch (...) {
    currentKey_ = savedKey;
    SetState(saved);
    throw;
  }
  currentKey_ = savedKey;
  SetState(saved);
}

void TFenDataSet::SetKeyFields(int index, const std::vector<TVariant>& values, int lastIndex) {
  if (IndexFieldCount() == 0) DatabaseError(msg::kNoIndexActive);
  if (lastIndex < 0) lastIndex = static_cast<int>(values.size()) - 1;
  if (lastIndex >= static_cast<int>(values.size())) DatabaseError(msg::kFieldIndexOutOfRange);
  FillKeyBuffer(index, [&](TKeyBuffer& buffer) {
    for (int i = 0; i <= lastIndex; ++i) IndexFields(i).SetValue(values[static_cast<size_t>(i)]);
    buffer.FieldCount = lastIndex + 1;
    buffer.Modified = Modified();
  });
}

void TFenDataSet::SetLinkRanges(const std::vector<TField*>& masterFields) {
  FillKeyBuffer(kKeyRangeStart, [&](TKeyBuffer& buffer) {
    buffer.Modified = true;
    for (size_t i = 0; i < masterFields.size(); ++i)
      IndexFields(static_cast<int>(i)).SetValue(masterFields[i]->Value());
    buffer.FieldCount = static_cast<int32_t>(masterFields.size());
  });
  KeyBuffer(kKeyRangeEnd) = KeyBuffer(kKeyRangeStart);
}

bool TFenDataSet::ApplyKeyRange() {
  TKeyBuffer& start = KeyBuffer(kKeyRangeStart);
  TKeyBuffer& end = KeyBuffer(kKeyRangeEnd);
  if (start == KeyBuffer(kKeyCurRangeStart) && end == KeyBuffer(kKeyCurRangeEnd)) return false;
  TranslateEngineErrors([&] {
    cursor_->SetRange(false, start.Modified ? start.Record.data() : nullptr, start.FieldCount,
                      end.Modified ? end.Record.data() : nullptr, end.FieldCount);
  });
  KeyBuffer(kKeyCurRangeStart) = start;
  KeyBuffer(kKeyCurRangeEnd) = end;
  DestroyLookupCursor();
  return true;
}

bool TFenDataSet::ResetCursorRange() {
  if (!KeyBuffer(kKeyCurRangeStart).Modified && !KeyBuffer(kKeyCurRangeEnd).Modified) return false;
  TranslateEngineErrors([this] { cursor_->CancelRange(); });
  InitKeyBuffer(KeyBuffer(kKeyCurRangeStart));
  InitKeyBuffer(KeyBuffer(kKeyCurRangeEnd));
  DestroyLookupCursor();
  return true;
}

void TFenDataSet::SwitchToIndex(const std::string& engineName) {
  ResetCursorRange();
  UpdateCursorPosOrNearest();
  TranslateEngineErrors([&] { cursor_->SwitchToIndex(engineName); });
  indexFieldNumbers_.clear();
  // The record buffers are made anew: values still open in the old ones (a reading stream
  // kept across the switch) are closed now and their streams go stale, never touching freed
  // buffers.
  FreeFieldBuffers();
  // The bookmark size follows the index.
  RecomputeLayout();
  ReadIndexInfo();
  for (TKeyBuffer& buffer : keyBuffers_) InitKeyBuffer(buffer);
}

}  // namespace tovenmarsh::dataset
