// The stream over one BLOB, memo or graphic field of a TFenDataSet's current record: reads
// and writes go to the engine cursor's open BLOB value in the record buffer of the data set's
// state.
//
// Contract:
// - Modes: bmRead opens the value for reading; bmWrite and bmReadWrite need an editable field
//   ("Field '%s' cannot be modified") of a data set in edit or insert state ("Dataset not in
//   edit or insert mode"); bmWrite empties the value at once, so a stream that writes nothing
//   leaves it empty. A read stream refuses writes ("Field '%s' cannot be modified").
// - Without a record (browse state on an empty data set) a read stream reads 0 bytes.
// - Every engine result other than success (and the short read at the end of the value) is
//   raised as EFenEngineError naming the table and field; nothing fails quietly.
// - Positions are 0 .. 4294967295 (the engine's 32-bit offsets): a Seek to a negative or
//   larger position raises EStreamError and leaves the position unchanged; a write that would
//   end beyond the last offset raises engine error 10029. Reading beyond the end gives 0 bytes.
// - A written value stays open in the record buffer (the field is marked modified) until the
//   record is posted or cancelled, which closes it; a stream used after that (or after its data
//   set closed) raises engine error 10030. A value only read is closed when the stream goes.
// - The stream must not outlive its data set.
#pragma once

#include <cstddef>
#include <cstdint>

#include "dataset/data_set_state.h"
#include "platform/stream.h"

namespace tovenmarsh::engine {
class TDataCursor;
}

namespace tovenmarsh::dataset {

class TField;
class TFenDataSet;

class TFenBlobStream : public platform::TStream {
 public:
  TFenBlobStream(TField& field, TBlobStreamMode mode);
  ~TFenBlobStream() override;
  TFenBlobStream(const TFenBlobStream&) = delete;
  TFenBlobStream& operator=(const TFenBlobStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, platform::SeekOrigin origin) override;
  // Cuts or zero-extends the value to the size; the position is kept within it.
  void SetSize(int64_t size) override;
  int64_t Size() override { return GetBlobSize(); }

  // Cuts the value at the position.
  void Truncate();
  // The value's size (0 without a record).
  int64_t GetBlobSize();
  bool Opened() const { return opened_; }
  bool Modified() const { return modified_; }

 private:
  static constexpr int64_t kLastOffset = 0xFFFFFFFFll;

  // Raises 10030 when the value this stream opened was closed under it.
  void CheckCurrent() const;
  void CheckWritable() const;
  [[noreturn]] void Raise(int code) const;

  TField& field_;
  TFenDataSet& dataSet_;
  engine::TDataCursor* cursor_ = nullptr;
  uint32_t fieldNo_ = 0;
  uint8_t* buffer_ = nullptr;
  TBlobStreamMode mode_;
  uint32_t generation_ = 0;
  int64_t position_ = 0;
  bool opened_ = false;
  bool modified_ = false;
};

}  // namespace tovenmarsh::dataset
