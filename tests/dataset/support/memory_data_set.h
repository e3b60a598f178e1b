// An in-memory record source for testing the data-set framework: a table of rows in physical
// order shared by any number of data sets, each with its own cursor, that keeps the engine
// cursor's navigation contract (0 / 8705 before the first / 8706 after the last; after a
// delete the following record is current), its record locks (10258 for a record locked by
// another data set), its duplicate-key refusal (9729) and empty strings stored as null.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dataset/data_set.h"

namespace tovenmarsh::dataset::testing {

struct TMemoryColumn {
  std::string Name;
  TFieldType Type = ftInteger;
  int Size = 0;
  bool Required = false;
  std::optional<std::string> Default;  // value form bytes of the default
};

class TMemoryTable {
 public:
  explicit TMemoryTable(std::vector<TMemoryColumn> fields, int uniqueField = -1);

  struct Row {
    uint32_t Id = 0;
    std::string Bytes;
    std::map<int, std::string> Blobs;  // by field number
    uintptr_t LockedBy = 0;
  };

  const std::vector<TMemoryColumn>& Columns() const { return columns_; }
  int Offset(int fieldNo) const { return offsets_.at(static_cast<size_t>(fieldNo - 1)); }
  int RecordSize() const { return recordSize_; }
  std::vector<Row>& Rows() { return rows_; }
  Row* FindRow(uint32_t id);
  uint32_t NewId() { return nextId_++; }
  int UniqueField() const { return uniqueField_; }

 private:
  std::vector<TMemoryColumn> columns_;
  std::vector<int> offsets_;
  int recordSize_ = 0;
  int uniqueField_;
  std::vector<Row> rows_;
  uint32_t nextId_ = 1;
};

class TMemoryDataSet : public TDataSet {
 public:
  explicit TMemoryDataSet(std::shared_ptr<TMemoryTable> table);
  ~TMemoryDataSet() override;

  std::unique_ptr<platform::TStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override;
  bool CanModify() const override { return !readOnly_; }
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }

  // Shows only the rows whose integer field (0-based) lies in lo..hi; the caller moves First.
  void SetRange(int field, int32_t lo, int32_t hi);
  void CancelRange() { range_.reset(); }
  // The next fetch answers this code and leaves the cursor after the last record.
  void FailNextFetch(int code) { failCode_ = code; }
  // Bookmarks of this source are 4 bytes; tests may change that to mimic another index.
  void SetBookmarkWidth(int width) { bookmarkWidth_ = width; }
  void ForceLayout() { RecomputeLayout(); }

  int FreeFieldBuffersCalls() const { return freeCalls_; }
  int PendingBlobs() const { return static_cast<int>(pendingBlobs_.size()); }
  void BlobWritten(TField& field, std::string data);

 protected:
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return open_; }
  int GetRecordSize() const override { return table_->RecordSize(); }
  int GetBookmarkSize() const override { return bookmarkWidth_; }
  void InternalFirst() override { pos_ = Pos::Bof; }
  void InternalLast() override { pos_ = Pos::Eof; }
  int FetchRecord(uint8_t* buffer, TGetMode mode) override;
  void InternalGotoBookmark(const TBookmark& bookmark) override;
  int CompareBookmarkData(const TBookmark& a, const TBookmark& b) override;
  void InternalInitRecord(uint8_t* buffer) override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalCancel() override;
  void InternalDelete() override;
  void InternalRefresh() override {}
  int GetRecordCount() override;
  void InternalSetRecNo(int recNo) override;
  bool ReadFieldData(const TField& field, const uint8_t* buffer, void* destination) override;
  void WriteFieldData(const TField& field, uint8_t* buffer, const void* source) override;
  void FreeFieldBuffers() override {
    ++freeCalls_;
    pendingBlobs_.clear();
  }

 private:
  enum class Pos { Bof, On, Eof };
  std::vector<TMemoryTable::Row*> Visible();
  TMemoryTable::Row& CurrentRow();
  void CheckUnique(const uint8_t* buffer, uint32_t selfId);
  uint32_t BufferRowId(const uint8_t* buffer, int fieldNo) const;
  uintptr_t Token() const { return reinterpret_cast<uintptr_t>(this); }

  std::shared_ptr<TMemoryTable> table_;
  bool open_ = false;
  bool readOnly_ = false;
  Pos pos_ = Pos::Bof;
  uint32_t id_ = 0;
  int failCode_ = 0;
  int bookmarkWidth_ = 4;
  int freeCalls_ = 0;
  struct Range {
    int Field;
    int32_t Lo, Hi;
  };
  std::optional<Range> range_;
  std::map<int, std::string> pendingBlobs_;  // BLOBs written in the active record, by field number
};

// Value-form bytes of a default.
std::string IntBytes(int32_t value);
std::string TextBytes(const std::string& text, int size);

}  // namespace tovenmarsh::dataset::testing
