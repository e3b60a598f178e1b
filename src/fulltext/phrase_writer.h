// Writes the pair-signature file (see phrase_file_format.h): a new one for a build, or
// documents added to a finished one by the update engine.
//
// Promises: a build's file counts only once Finish wrote its directory and its finished
// header; an update appends the new record before its slot points at it, and a document
// whose signature cannot be stored loses its old one (a stale signature could hide a phrase
// that its new text holds). When even that fails, the file is marked unusable; only when that
// fails too does the write raise.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"

namespace tovenmarsh::fulltext {

class TtxPhraseWriter {
 public:
  ~TtxPhraseWriter();
  TtxPhraseWriter(const TtxPhraseWriter&) = delete;
  TtxPhraseWriter& operator=(const TtxPhraseWriter&) = delete;

  // A new, unfinished file for a build (replacing any); nullptr when it cannot be made.
  static std::unique_ptr<TtxPhraseWriter> Create(const std::string& path, uint64_t fingerprint, int32_t base);
  // A finished file of these settings, for updates; nullptr when there is none usable.
  static std::unique_ptr<TtxPhraseWriter> OpenForUpdate(const std::string& path, uint64_t fingerprint);
  // Marks the file unusable (readers then verify every candidate); false when that failed.
  static bool Invalidate(const std::string& path);
  static void Remove(const std::string& path);

  // Update: whether the document's slot points at a record (a damaged slot counts as one).
  bool Has(int32_t value);
  // The document's signature (empty: it has none; any old one is dropped).
  void Put(int32_t value, const std::vector<uint8_t>& signature);
  // Build: the records still in memory, the slots, the directory and the finished header.
  void Finish();
  // Update: a dropped signature, to the device (before the words it goes with are committed).
  void Sync();
  bool Usable() const { return !broken_; }

 private:
  TtxPhraseWriter() = default;
  bool Write(const void* bytes, int64_t count, int64_t offset);
  bool FlushBuffer();
  bool PutUpdate(int64_t slot, int32_t value, const std::vector<uint8_t>& signature);
  bool ClearSlot(int64_t slot);
  // After a failed write: the file is made unusable, or the failure raised.
  void Fail();
  void WriteHeader(uint32_t flags, std::vector<uint8_t>& out) const;

  platform::TOsFile file_;
  std::string path_;
  uint64_t fingerprint_ = 0;
  int32_t base_ = 0;
  uint64_t clears_ = 0;  // slots cleared by updates, kept in the header
  bool building_ = false;
  bool broken_ = false;
  bool dirty_ = false;  // a slot was cleared since the last sync
  int64_t end_ = 0;
  std::vector<uint8_t> buffer_;  // build: records not written yet, from bufferAt_
  int64_t bufferAt_ = 0;
  std::vector<uint32_t> slots_;      // build: every slot
  std::vector<uint64_t> directory_;  // update: the chunks
};

}  // namespace tovenmarsh::fulltext
