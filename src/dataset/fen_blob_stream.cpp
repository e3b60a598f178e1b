// The BLOB stream over the engine cursor's BLOB calls, which answer codes instead of raising.
#include "dataset/fen_blob_stream.h"

#include <algorithm>

#include "dataset/database_error.h"
#include "dataset/fen_data_set.h"
#include "dataset/fen_engine_error.h"
#include "dataset/fields.h"
#include "engine/cursor/cursor.h"
#include "engine/base/engine_error.h"

namespace tovenmarsh::dataset {

namespace {

// The engine's open modes of a BLOB value.
constexpr int kEngineRead = 1;
constexpr int kEngineReadWrite = 2;

TFenDataSet& OwningDataSet(TField& field) {
  auto* dataSet = dynamic_cast<TFenDataSet*>(field.DataSet());
  if (dataSet == nullptr || !field.IsBlob() || field.FieldNo() <= 0)
    DatabaseErrorFmt(msg::kFieldNotBlob, field.FieldName().c_str());
  return *dataSet;
}

}  // namespace

TFenBlobStream::TFenBlobStream(TField& field, TBlobStreamMode mode)
    : field_(field), dataSet_(OwningDataSet(field)), mode_(mode) {
  cursor_ = dataSet_.Handle();
  fieldNo_ = static_cast<uint32_t>(field.FieldNo());
  generation_ = dataSet_.blobGeneration_;
  if (mode != TBlobStreamMode::bmRead) {
    // Checked before the record is looked for: a write must never vanish quietly.
    if (field.ReadOnly() || !dataSet_.CanModify())
      DatabaseErrorFmt(msg::kFieldReadOnly, field.DisplayName().c_str());
    if (dataSet_.State() != TDataSetState::dsEdit && dataSet_.State() != TDataSetState::dsInsert)
      DatabaseError(msg::kNotEditing);
  }
  buffer_ = dataSet_.GetActiveRecordBuffer();
  if (buffer_ == nullptr || cursor_ == nullptr) return;
  if (!dataSet_.BlobFieldModified(field.FieldNo(), buffer_)) {
    const int code = TranslateEngineErrors([&] {
      return cursor_->OpenBlob(fieldNo_, buffer_, mode == TBlobStreamMode::bmRead ? kEngineRead : kEngineReadWrite);
    });
    if (code != 0) Raise(code);
  }
  opened_ = true;
  if (buffer_ == dataSet_.ActiveBuffer()) dataSet_.activeBlobsOpen_ = true;
  if (mode == TBlobStreamMode::bmWrite) {
    // Emptying counts as a change even when nothing is written after it: assigning "" clears.
    const int code = TranslateEngineErrors([&] { return cursor_->TruncateBlob(fieldNo_, buffer_, 0); });
    if (code != 0) {
      if (!dataSet_.BlobFieldModified(field.FieldNo(), buffer_)) cursor_->CloseBlob(fieldNo_, buffer_);
      opened_ = false;
      Raise(code);
    }
    modified_ = true;
  }
}

TFenBlobStream::~TFenBlobStream() {
  // A stream whose value was closed by Post or Cancel, or whose data set closed, has nothing
  // left to release.
  if (!opened_ || generation_ != dataSet_.blobGeneration_ || dataSet_.Handle() != cursor_) return;
  if (modified_) dataSet_.MarkBlobFieldModified(field_.FieldNo(), buffer_);
  if (!dataSet_.BlobFieldModified(field_.FieldNo(), buffer_)) {
    try {
      cursor_->CloseBlob(fieldNo_, buffer_);
    } catch (...) {
      // Nothing was changed through this stream; the value is dropped with the record.
    }
  }
  if (modified_) {
    try {
      dataSet_.DataEvent(TDataEvent::deFieldChange, &field_);
    } catch (...) {
      // A change handler's failure must not undo the write, and a destructor cannot raise.
    }
  }
}

void TFenBlobStream::CheckCurrent() const {
  if (generation_ != dataSet_.blobGeneration_ || dataSet_.Handle() != cursor_) Raise(engine::kErrInvalidBlobHandle);
}

void TFenBlobStream::CheckWritable() const {
  if (mode_ == TBlobStreamMode::bmRead) DatabaseErrorFmt(msg::kFieldReadOnly, field_.DisplayName().c_str());
}

void TFenBlobStream::Raise(int code) const {
  engine::EngineErrorNames names;
  if (cursor_ != nullptr) names.TableName = cursor_->TableName();
  names.FieldName = field_.FieldName();
  const auto c = static_cast<uint16_t>(code);
  throw EFenEngineError(c, engine::EngineErrorText(c, names));
}

size_t TFenBlobStream::Read(void* buffer, size_t count) {
  if (!opened_ || count == 0) return 0;
  CheckCurrent();
  if (position_ >= kLastOffset) return 0;
  const auto length = static_cast<uint32_t>(std::min<uint64_t>(count, static_cast<uint64_t>(kLastOffset - position_)));
  uint32_t done = 0;
  const int code = TranslateEngineErrors([&] {
    return cursor_->ReadBlob(fieldNo_, buffer_, static_cast<uint32_t>(position_), length,
                             static_cast<uint8_t*>(buffer), &done);
  });
  if (code != 0 && code != engine::kErrEndOfBlob) Raise(code);
  position_ += done;
  return done;
}

size_t TFenBlobStream::Write(const void* buffer, size_t count) {
  if (!opened_) return 0;
  CheckWritable();
  CheckCurrent();
  if (count == 0) return 0;
  if (static_cast<uint64_t>(count) > static_cast<uint64_t>(kLastOffset - position_))
    Raise(engine::kErrInvalidBlobLength);
  const int code = TranslateEngineErrors([&] {
    return cursor_->WriteBlob(fieldNo_, buffer_, static_cast<uint32_t>(position_), static_cast<uint32_t>(count),
                              static_cast<const uint8_t*>(buffer));
  });
  if (code != 0) Raise(code);
  position_ += static_cast<int64_t>(count);
  modified_ = true;
  return count;
}

int64_t TFenBlobStream::Seek(int64_t offset, platform::SeekOrigin origin) {
  int64_t base = 0;
  switch (origin) {
    case platform::SeekOrigin::Beginning: base = 0; break;
    case platform::SeekOrigin::Current: base = position_; break;
    case platform::SeekOrigin::End: base = GetBlobSize(); break;
  }
  int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0 || target > kLastOffset)
    throw platform::EStreamError("Invalid stream position");
  position_ = target;
  return position_;
}

void TFenBlobStream::SetSize(int64_t size) {
  if (size < 0 || size > kLastOffset) throw platform::EStreamError("Invalid stream size");
  if (!opened_) return;
  CheckWritable();
  CheckCurrent();
  const int code =
      TranslateEngineErrors([&] { return cursor_->TruncateBlob(fieldNo_, buffer_, static_cast<uint32_t>(size)); });
  if (code != 0) Raise(code);
  modified_ = true;
  position_ = std::min(position_, size);
}

void TFenBlobStream::Truncate() {
  if (!opened_) return;
  CheckWritable();
  CheckCurrent();
  const int code = TranslateEngineErrors(
      [&] { return cursor_->TruncateBlob(fieldNo_, buffer_, static_cast<uint32_t>(position_)); });
  if (code != 0) Raise(code);
  modified_ = true;
}

int64_t TFenBlobStream::GetBlobSize() {
  if (!opened_) return 0;
  CheckCurrent();
  uint32_t size = 0;
  const int code = TranslateEngineErrors([&] { return cursor_->GetBlobSize(fieldNo_, buffer_, &size); });
  if (code != 0) Raise(code);
  return size;
}

}  // namespace tovenmarsh::dataset
