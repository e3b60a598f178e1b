// The in-memory record source used by the data-set tests.
#include "memory_data_set.h"

#include <algorithm>
#include <cstring>

#include "dataset/database_error.h"
#include "engine/base/engine_error.h"

namespace tovenmarsh::dataset::testing {

namespace {
constexpr int kBlobSlot = 4;  // a BLOB field's slot holds the id of the row that owns the data

uint32_t ReadId(const TBookmark& bookmark) {
  uint32_t id = 0;
  std::memcpy(&id, bookmark.data(), std::min<size_t>(4, bookmark.size()));
  return id;
}

// A stream whose content becomes the field's pending BLOB when it is destroyed.
class TPendingBlobStream : public platform::TMemoryStream {
 public:
  TPendingBlobStream(TMemoryDataSet& ds, TField& field, const std::string& initial)
      : ds_(ds), field_(field) {
    if (!initial.empty()) WriteBuffer(initial.data(), initial.size());
    SetPosition(0);
  }
  ~TPendingBlobStream() override {
    ds_.BlobWritten(field_, std::string(Memory(), static_cast<size_t>(Size())));
  }

 private:
  TMemoryDataSet& ds_;
  TField& field_;
};
}  // namespace

std::string IntBytes(int32_t value) { return std::string(reinterpret_cast<const char*>(&value), 4); }

std::string TextBytes(const std::string& text, int size) {
  std::string out(static_cast<size_t>(size) + 1, '\0');
  std::memcpy(out.data(), text.data(), std::min(text.size(), static_cast<size_t>(size)));
  return out;
}

TMemoryTable::TMemoryTable(std::vector<TMemoryColumn> fields, int uniqueField)
    : columns_(std::move(fields)), uniqueField_(uniqueField) {
  int offset = 0;
  for (const auto& column : columns_) {
    offsets_.push_back(offset);
    offset += 1 + (IsBlobType(column.Type) ? kBlobSlot : DataSizeOf(column.Type, column.Size));
  }
  recordSize_ = offset;
}

TMemoryTable::Row* TMemoryTable::FindRow(uint32_t id) {
  for (Row& row : rows_)
    if (row.Id == id) return &row;
  return nullptr;
}

TMemoryDataSet::TMemoryDataSet(std::shared_ptr<TMemoryTable> table) : table_(std::move(table)) {}

TMemoryDataSet::~TMemoryDataSet() { Close(); }

void TMemoryDataSet::InternalOpen() {
  FieldDefs().Clear();
  for (size_t i = 0; i < table_->Columns().size(); ++i) {
    const auto& column = table_->Columns()[i];
    FieldDefs().Add(column.Name, column.Type, column.Size, column.Required, static_cast<int>(i) + 1);
  }
  open_ = true;
  pos_ = Pos::Bof;
}

void TMemoryDataSet::InternalClose() {
  for (auto& row : table_->Rows())
    if (row.LockedBy == Token()) row.LockedBy = 0;
  open_ = false;
}

void TMemoryDataSet::SetRange(int field, int32_t lo, int32_t hi) { range_ = Range{field, lo, hi}; }

std::vector<TMemoryTable::Row*> TMemoryDataSet::Visible() {
  std::vector<TMemoryTable::Row*> out;
  for (auto& row : table_->Rows()) {
    if (range_) {
      int off = table_->Offset(range_->Field + 1);
      if (row.Bytes[static_cast<size_t>(off)] == 0) continue;
      int32_t v;
      std::memcpy(&v, row.Bytes.data() + off + 1, 4);
      if (v < range_->Lo || v > range_->Hi) continue;
    }
    if (Filtered() && OnFilterRecord()) {
      std::vector<uint8_t> copy(row.Bytes.begin(), row.Bytes.end());
      if (!RunFilterRecord(copy.data())) continue;
    }
    out.push_back(&row);
  }
  return out;
}

int TMemoryDataSet::FetchRecord(uint8_t* buffer, TGetMode mode) {
  if (failCode_ != 0) {
    int code = failCode_;
    failCode_ = 0;
    pos_ = Pos::Eof;  // a failure may leave the cursor anywhere
    return code;
  }
  auto rows = Visible();
  int index = -1;
  switch (mode) {
    case TGetMode::gmCurrent:
      if (pos_ == Pos::Bof) return kSourceBof;
      if (pos_ == Pos::Eof) return kSourceEof;
      for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i]->Id == id_) index = static_cast<int>(i);
      if (index < 0) return engine::kErrNoCurrentRecord;
      break;
    case TGetMode::gmNext:
      if (pos_ == Pos::Eof) return kSourceEof;
      for (size_t i = 0; i < rows.size(); ++i)
        if (pos_ == Pos::Bof || rows[i]->Id > id_) {
          index = static_cast<int>(i);
          break;
        }
      if (index < 0) {
        pos_ = Pos::Eof;
        return kSourceEof;
      }
      break;
    case TGetMode::gmPrior:
      if (pos_ == Pos::Bof) return kSourceBof;
      for (size_t i = rows.size(); i-- > 0;)
        if (pos_ == Pos::Eof || rows[i]->Id < id_) {
          index = static_cast<int>(i);
          break;
        }
      if (index < 0) {
        pos_ = Pos::Bof;
        return kSourceBof;
      }
      break;
  }
  TMemoryTable::Row& row = *rows[static_cast<size_t>(index)];
  pos_ = Pos::On;
  id_ = row.Id;
  std::memcpy(buffer, row.Bytes.data(), row.Bytes.size());
  SetBufferRecNo(buffer, index + 1);
  SetBookmarkData(buffer, std::string(reinterpret_cast<const char*>(&row.Id), 4));
  return kSourceOk;
}

void TMemoryDataSet::InternalGotoBookmark(const TBookmark& bookmark) {
  uint32_t id = ReadId(bookmark);
  if (!table_->FindRow(id)) engine::RaiseEngineError(engine::kErrRecordNotFound);
  pos_ = Pos::On;
  id_ = id;
}

int TMemoryDataSet::CompareBookmarkData(const TBookmark& a, const TBookmark& b) {
  uint32_t x = ReadId(a), y = ReadId(b);
  return x < y ? -1 : (x > y ? 1 : 0);
}

void TMemoryDataSet::InternalInitRecord(uint8_t* buffer) {
  std::memset(buffer, 0, static_cast<size_t>(table_->RecordSize()));
  for (size_t i = 0; i < table_->Columns().size(); ++i) {
    const auto& column = table_->Columns()[i];
    if (!column.Default) continue;
    int off = table_->Offset(static_cast<int>(i) + 1);
    buffer[off] = 1;
    std::memcpy(buffer + off + 1, column.Default->data(), column.Default->size());
  }
}

TMemoryTable::Row& TMemoryDataSet::CurrentRow() {
  TMemoryTable::Row* row = pos_ == Pos::On ? table_->FindRow(id_) : nullptr;
  if (!row) engine::RaiseEngineError(engine::kErrNoCurrentRecord);
  return *row;
}

void TMemoryDataSet::InternalEdit() {
  TMemoryTable::Row& row = CurrentRow();
  if (row.LockedBy != 0 && row.LockedBy != Token()) engine::RaiseEngineError(engine::kErrRecordInUse);
  row.LockedBy = Token();
  std::memcpy(ActiveBuffer(), row.Bytes.data(), row.Bytes.size());
}

void TMemoryDataSet::CheckUnique(const uint8_t* buffer, uint32_t selfId) {
  int field = table_->UniqueField();
  if (field < 0) return;
  const auto& column = table_->Columns()[static_cast<size_t>(field)];
  int off = table_->Offset(field + 1);
  size_t n = 1 + static_cast<size_t>(DataSizeOf(column.Type, column.Size));
  for (const auto& row : table_->Rows())
    if (row.Id != selfId && std::memcmp(row.Bytes.data() + off, buffer + off, n) == 0)
      engine::RaiseEngineError(engine::kErrDuplicateKey);
}

void TMemoryDataSet::InternalPost() {
  TDataSet::InternalPost();
  const uint8_t* buffer = ActiveBuffer();
  std::string bytes(reinterpret_cast<const char*>(buffer), static_cast<size_t>(table_->RecordSize()));
  if (State() == TDataSetState::dsEdit) {
    TMemoryTable::Row& row = CurrentRow();
    if (row.LockedBy != 0 && row.LockedBy != Token()) engine::RaiseEngineError(engine::kErrRecordInUse);
    CheckUnique(buffer, row.Id);
    row.Bytes = bytes;
    for (auto& [fieldNo, data] : pendingBlobs_) row.Blobs[fieldNo] = data;
    row.LockedBy = 0;
    return;
  }
  CheckUnique(buffer, 0);
  TMemoryTable::Row row;
  row.Id = table_->NewId();
  row.Bytes = bytes;
  for (size_t i = 0; i < table_->Columns().size(); ++i) {
    if (!IsBlobType(table_->Columns()[i].Type)) continue;
    int off = table_->Offset(static_cast<int>(i) + 1);
    std::memcpy(row.Bytes.data() + off + 1, &row.Id, 4);
  }
  for (auto& [fieldNo, data] : pendingBlobs_) row.Blobs[fieldNo] = data;
  table_->Rows().push_back(std::move(row));
  pos_ = Pos::On;
  id_ = table_->Rows().back().Id;
}

void TMemoryDataSet::InternalCancel() {
  if (State() != TDataSetState::dsEdit) return;
  TMemoryTable::Row* row = pos_ == Pos::On ? table_->FindRow(id_) : nullptr;
  if (row && row->LockedBy == Token()) row->LockedBy = 0;
}

void TMemoryDataSet::InternalDelete() {
  TMemoryTable::Row& row = CurrentRow();
  if (row.LockedBy != 0 && row.LockedBy != Token()) engine::RaiseEngineError(engine::kErrRecordInUse);
  uint32_t id = row.Id;
  auto& rows = table_->Rows();
  rows.erase(std::remove_if(rows.begin(), rows.end(), [&](const auto& r) { return r.Id == id; }),
             rows.end());
  // The following record becomes current.
  auto visible = Visible();
  auto next = std::find_if(visible.begin(), visible.end(), [&](auto* r) { return r->Id > id; });
  if (next == visible.end()) {
    pos_ = Pos::Eof;
  } else {
    pos_ = Pos::On;
    id_ = (*next)->Id;
  }
}

int TMemoryDataSet::GetRecordCount() { return static_cast<int>(Visible().size()); }

void TMemoryDataSet::InternalSetRecNo(int recNo) {
  auto rows = Visible();
  if (recNo < 1 || recNo > static_cast<int>(rows.size())) engine::RaiseEngineError(engine::kErrRecordNotFound);
  pos_ = Pos::On;
  id_ = rows[static_cast<size_t>(recNo - 1)]->Id;
}

uint32_t TMemoryDataSet::BufferRowId(const uint8_t* buffer, int fieldNo) const {
  uint32_t id;
  std::memcpy(&id, buffer + table_->Offset(fieldNo) + 1, 4);
  return id;
}

bool TMemoryDataSet::ReadFieldData(const TField& field, const uint8_t* buffer, void* destination) {
  if (field.IsBlob()) {
    auto pending = pendingBlobs_.find(field.FieldNo());
    if (pending != pendingBlobs_.end() && buffer == ActiveBuffer()) return !pending->second.empty();
    TMemoryTable::Row* row = table_->FindRow(BufferRowId(buffer, field.FieldNo()));
    if (!row) return false;
    auto it = row->Blobs.find(field.FieldNo());
    return it != row->Blobs.end() && !it->second.empty();
  }
  int off = table_->Offset(field.FieldNo());
  if (buffer[off] == 0) return false;
  if (destination) std::memcpy(destination, buffer + off + 1, static_cast<size_t>(field.DataSize()));
  return true;
}

void TMemoryDataSet::WriteFieldData(const TField& field, uint8_t* buffer, const void* source) {
  if (field.IsBlob()) {
    if (!source) pendingBlobs_[field.FieldNo()].clear();
    return;
  }
  int off = table_->Offset(field.FieldNo());
  size_t n = static_cast<size_t>(field.DataSize());
  // Like the engine: an empty string is null.
  bool isNull = !source || (IsStringType(field.DataType()) && static_cast<const char*>(source)[0] == 0);
  buffer[off] = isNull ? 0 : 1;
  std::memset(buffer + off + 1, 0, n);
  if (!isNull) std::memcpy(buffer + off + 1, source, n);
}

std::unique_ptr<platform::TStream> TMemoryDataSet::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  if (!field.IsBlob()) DatabaseErrorFmt(msg::kFieldNotBlob, field.DisplayName().c_str());
  uint8_t* buffer = GetActiveRecordBuffer();
  if (!buffer) return std::make_unique<platform::TStringStream>();
  std::string current;
  auto pending = pendingBlobs_.find(field.FieldNo());
  if (pending != pendingBlobs_.end()) {
    current = pending->second;
  } else if (TMemoryTable::Row* row = table_->FindRow(BufferRowId(buffer, field.FieldNo()))) {
    auto it = row->Blobs.find(field.FieldNo());
    if (it != row->Blobs.end()) current = it->second;
  }
  if (mode == TBlobStreamMode::bmRead) return std::make_unique<platform::TStringStream>(current);
  if (field.ReadOnly()) DatabaseErrorFmt(msg::kFieldReadOnly, field.DisplayName().c_str());
  if (State() != TDataSetState::dsEdit && State() != TDataSetState::dsInsert)
    DatabaseError(msg::kNotEditing);
  return std::make_unique<TPendingBlobStream>(*this, field, mode == TBlobStreamMode::bmWrite ? std::string() : current);
}

void TMemoryDataSet::BlobWritten(TField& field, std::string data) {
  pendingBlobs_[field.FieldNo()] = std::move(data);
  DataEvent(TDataEvent::deFieldChange, &field);
}

}  // namespace tovenmarsh::dataset::testing
