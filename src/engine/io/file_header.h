// The header block at the start of an index or BLOB file, kept the same way by both: an
// in-memory copy whose first four bytes are the update counter and one byte of which flags the
// copy as modified; reads and writes of the whole block, scrambled for encrypted tables; and the
// check for other users' writes, which compares the stored counter with the one this process
// last read or wrote.
//
// Contract: the I/O goes through the owning file handler (its Write, so the journal sees header
// writes). Changed() first looks at the stored counter through the handler's PeekHead and
// re-reads the block only when the counter differs, so the check of every cache miss costs no
// system call while nobody writes.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/format/table_format_bytes.h"

namespace tovenmarsh::engine {

class TFileHandler;

class TFileHeader {
 public:
  static constexpr TFormatField kUpdateCounter{0, 4};

  // `modified` is the flag byte of the copy; key1 and key2 scramble the block.
  TFileHeader(TFileHandler& file, uint32_t size, TFormatField modified, uint8_t key1, uint8_t key2);
  TFileHeader(const TFileHeader&) = delete;
  TFileHeader& operator=(const TFileHeader&) = delete;

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  uint32_t size() const { return static_cast<uint32_t>(bytes_.size()); }

  uint32_t Counter() const { return GetU32(bytes_.data(), kUpdateCounter); }
  bool Modified() const { return GetU8(bytes_.data(), modified_) != 0; }
  void SetModified() { PutU8(bytes_.data(), modified_, 1); }

  // Reads the block at offset 0 and takes it (flag cleared).
  void Read(bool encrypted);
  // When forced or modified: writes the block with the counter advanced, and takes that
  // counter (flag cleared). True when written.
  bool Write(bool force, bool encrypted);
  // Writes the block as it stands, counter unchanged (a new file's first header).
  void WriteAsIs(bool encrypted);
  // True when another user wrote the block since this process last read or wrote it; the
  // stored block is then taken.
  bool Changed(bool encrypted);
  // Counts a change in the copy only (written later, or at a transaction's commit).
  void CountChange();

 private:
  void ReadBlock(std::vector<uint8_t>& out, bool encrypted);
  void Take(const std::vector<uint8_t>& bytes);

  TFileHandler& file_;
  std::vector<uint8_t> bytes_;
  TFormatField modified_;
  uint8_t key1_, key2_;
  uint32_t diskCounter_ = 0;  // the stored counter as last read or written
};

}  // namespace tovenmarsh::engine
