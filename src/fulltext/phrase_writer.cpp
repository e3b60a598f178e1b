// Build and update writes of the pair-signature file.
#include "fulltext/phrase_writer.h"

#include <cstring>
#include <stdexcept>

#include "fulltext/pair_signature.h"
#include "fulltext/phrase_file_format.h"

namespace tovenmarsh::fulltext {

namespace pf = phrase_format;

namespace {

// A build keeps this much in memory, so that most builds write their records only at Finish.
constexpr size_t kBufferLimit = size_t{64} << 20;
// A build's slot of a value met twice: which row the search locates is not known, so neither
// signature may stand for it.
constexpr uint32_t kTwice = 0xFFFFFFFF;

int64_t Align8(int64_t offset) { return (offset + 7) / 8 * 8; }

void AppendRecord(std::vector<uint8_t>& out, int32_t value, const std::vector<uint8_t>& signature) {
  uint8_t head[pf::kRecordHeaderSize];
  pf::Store32(head, static_cast<uint32_t>(value));
  pf::Store32(head + 4, static_cast<uint32_t>(signature.size()));
  pf::Store64(head + 8, pf::RecordChecksum(head, signature.data(), signature.size()));
  out.insert(out.end(), head, head + sizeof head);
  out.insert(out.end(), signature.begin(), signature.end());
}

}  // namespace

TtxPhraseWriter::~TtxPhraseWriter() = default;

void TtxPhraseWriter::WriteHeader(uint32_t flags, std::vector<uint8_t>& out) const {
  out.assign(static_cast<size_t>(pf::kHeaderSize), 0);
  std::memcpy(out.data(), pf::kMagic, sizeof pf::kMagic);
  pf::Store32(out.data() + pf::kVersionAt, pf::kVersion);
  pf::Store32(out.data() + pf::kFlagsAt, flags);
  pf::Store64(out.data() + pf::kFingerprintAt, fingerprint_);
  pf::Store32(out.data() + pf::kBaseAt, static_cast<uint32_t>(base_));
  pf::Store64(out.data() + pf::kClearsAt, clears_);
  pf::Store64(out.data() + pf::kChecksumAt, pf::Checksum(out.data(), pf::kHeaderChecked, pf::kHeaderSeed));
}

std::unique_ptr<TtxPhraseWriter> TtxPhraseWriter::Create(const std::string& path, uint64_t fingerprint,
                                                         int32_t base) {
  if (path.empty()) return nullptr;
  // The old file goes first: signatures of the old documents must never outlive their build.
  if (platform::FileExistsOnDisk(path) && platform::DeleteFileOnDisk(path) < 0 && !Invalidate(path))
    throw std::runtime_error("the old phrase signatures could not be removed: " + path);
  std::unique_ptr<TtxPhraseWriter> writer(new TtxPhraseWriter());
  writer->path_ = path;
  writer->fingerprint_ = fingerprint;
  writer->base_ = base;
  writer->building_ = true;
  if (writer->file_.Create(path, platform::TOsOpenOptions{}) < 0) return nullptr;
  // Unfinished until Finish: a reader meanwhile finds no finished flag.
  std::vector<uint8_t> start;
  writer->WriteHeader(0, start);
  start.resize(static_cast<size_t>(pf::kDataOffset), 0);
  if (!writer->Write(start.data(), static_cast<int64_t>(start.size()), 0)) return nullptr;
  writer->end_ = pf::kDataOffset;
  writer->bufferAt_ = pf::kDataOffset;
  return writer;
}

std::unique_ptr<TtxPhraseWriter> TtxPhraseWriter::OpenForUpdate(const std::string& path, uint64_t fingerprint) {
  if (path.empty()) return nullptr;
  std::unique_ptr<TtxPhraseWriter> writer(new TtxPhraseWriter());
  writer->path_ = path;
  if (writer->file_.Open(path, platform::TOsOpenOptions{}) < 0 || writer->file_.ReadOnly()) return nullptr;
  const int64_t size = writer->file_.Size();
  std::vector<uint8_t> head(static_cast<size_t>(pf::kDataOffset));
  if (size < pf::kDataOffset || writer->file_.ReadAt(head.data(), pf::kDataOffset, 0) != pf::kDataOffset)
    return nullptr;
  const uint8_t* h = head.data();
  if (std::memcmp(h, pf::kMagic, sizeof pf::kMagic) != 0 || pf::Load32(h + pf::kVersionAt) != pf::kVersion ||
      (pf::Load32(h + pf::kFlagsAt) & pf::kFlagFinished) == 0 || pf::Load64(h + pf::kFingerprintAt) != fingerprint ||
      pf::Load64(h + pf::kChecksumAt) != pf::Checksum(h, pf::kHeaderChecked, pf::kHeaderSeed))
    return nullptr;
  writer->fingerprint_ = fingerprint;
  writer->base_ = static_cast<int32_t>(pf::Load32(h + pf::kBaseAt));
  writer->clears_ = pf::Load64(h + pf::kClearsAt);
  writer->directory_.resize(static_cast<size_t>(pf::kDirectoryEntries));
  for (size_t i = 0; i < writer->directory_.size(); ++i) {
    const uint64_t chunk = pf::Load64(h + pf::kDirectoryOffset + i * 8);
    // A chunk outside the file is one this writer can never trust: start the slots anew.
    writer->directory_[i] =
        chunk % 8 == 0 && chunk >= static_cast<uint64_t>(pf::kDataOffset) &&
                chunk + pf::kChunkBytes <= static_cast<uint64_t>(size)
            ? chunk
            : 0;
  }
  writer->end_ = size;
  return writer;
}

bool TtxPhraseWriter::Invalidate(const std::string& path) {
  platform::TOsFile file;
  if (file.Open(path, platform::TOsOpenOptions{}) < 0) return !platform::FileExistsOnDisk(path);
  const uint8_t zeros[sizeof pf::kMagic] = {};
  return file.WriteAt(zeros, sizeof zeros, 0) == static_cast<int64_t>(sizeof zeros) && file.Sync() == 0;
}

void TtxPhraseWriter::Remove(const std::string& path) {
  if (path.empty() || !platform::FileExistsOnDisk(path)) return;
  if (platform::DeleteFileOnDisk(path) < 0) Invalidate(path);
}

bool TtxPhraseWriter::Write(const void* bytes, int64_t count, int64_t offset) {
  return file_.WriteAt(bytes, count, offset) == count;
}

void TtxPhraseWriter::Fail() {
  broken_ = true;
  file_.Close();
  // A build's file without its finished header is never read: nothing to undo there.
  if (!Invalidate(path_) && !building_)
    throw std::runtime_error("the phrase signatures could not be written: " + path_);
}

bool TtxPhraseWriter::FlushBuffer() {
  if (buffer_.empty()) return true;
  if (!Write(buffer_.data(), static_cast<int64_t>(buffer_.size()), bufferAt_)) return false;
  bufferAt_ += static_cast<int64_t>(buffer_.size());
  buffer_.clear();
  return true;
}

void TtxPhraseWriter::Put(int32_t value, const std::vector<uint8_t>& signature) {
  if (broken_) return;
  const int64_t slot = int64_t{value} - base_;
  if (slot < 0 || slot >= pf::kMaxSlots) return;  // beyond the slots: searched without a signature
  if (!building_) {
    if (!PutUpdate(slot, value, signature)) Fail();
    return;
  }
  if (static_cast<size_t>(slot) >= slots_.size()) slots_.resize(static_cast<size_t>(slot) + 1, 0);
  uint32_t& entry = slots_[static_cast<size_t>(slot)];
  if (entry != 0 || signature.empty() || end_ >= pf::kMaxRecordOffset) {
    entry = entry != 0 ? kTwice : 0;
    return;
  }
  entry = static_cast<uint32_t>(end_ / 8);
  AppendRecord(buffer_, value, signature);
  end_ += pf::kRecordHeaderSize + static_cast<int64_t>(signature.size());
  if (buffer_.size() >= kBufferLimit && !FlushBuffer()) Fail();
}

bool TtxPhraseWriter::Has(int32_t value) {
  const int64_t slot = int64_t{value} - base_;
  if (broken_ || building_ || slot < 0 || slot >= pf::kMaxSlots) return false;
  const uint64_t chunk = directory_[static_cast<size_t>(slot / pf::kSlotsPerChunk)];
  if (chunk == 0) return false;
  uint8_t entry[4] = {1, 0, 0, 0};
  if (file_.ReadAt(entry, 4, static_cast<int64_t>(chunk) + (slot % pf::kSlotsPerChunk) * 4) != 4) return true;
  return pf::Load32(entry) != 0;
}

bool TtxPhraseWriter::ClearSlot(int64_t slot) {
  const uint64_t chunk = directory_[static_cast<size_t>(slot / pf::kSlotsPerChunk)];
  if (chunk == 0) return true;
  const uint8_t zero[4] = {};
  dirty_ = true;
  if (!Write(zero, 4, static_cast<int64_t>(chunk) + (slot % pf::kSlotsPerChunk) * 4)) return false;
  // Readers notice changes by the size and the header: a new count makes them drop a cached
  // copy of this slot, which would still name the old signature.
  ++clears_;
  std::vector<uint8_t> header;
  WriteHeader(pf::kFlagFinished, header);
  return Write(header.data(), pf::kHeaderSize, 0);
}

bool TtxPhraseWriter::PutUpdate(int64_t slot, int32_t value, const std::vector<uint8_t>& signature) {
  const int64_t record = Align8(end_);
  if (signature.empty() || record >= pf::kMaxRecordOffset) return ClearSlot(slot);
  std::vector<uint8_t> bytes;
  AppendRecord(bytes, value, signature);
  // Appends need no sync of their own: a record or slot lost in a crash leaves the document
  // without a signature (a slot that outlived its record meets another value or a bad
  // checksum there), so it is searched by its text. Only a dropped signature must be durable.
  if (!Write(bytes.data(), static_cast<int64_t>(bytes.size()), record)) return false;
  end_ = record + static_cast<int64_t>(bytes.size());
  const size_t at = static_cast<size_t>(slot / pf::kSlotsPerChunk);
  if (directory_[at] == 0) {
    // A new chunk, zero slots, before the directory points at it.
    const int64_t chunk = Align8(end_);
    const std::vector<uint8_t> zeros(static_cast<size_t>(pf::kChunkBytes), 0);
    if (!Write(zeros.data(), pf::kChunkBytes, chunk)) return false;
    end_ = chunk + pf::kChunkBytes;
    uint8_t entry[8];
    pf::Store64(entry, static_cast<uint64_t>(chunk));
    if (!Write(entry, 8, pf::kDirectoryOffset + static_cast<int64_t>(at) * 8)) return false;
    directory_[at] = static_cast<uint64_t>(chunk);
  }
  uint8_t entry[4];
  pf::Store32(entry, static_cast<uint32_t>(record / 8));
  return Write(entry, 4, static_cast<int64_t>(directory_[at]) + (slot % pf::kSlotsPerChunk) * 4);
}

void TtxPhraseWriter::Finish() {
  if (broken_ || !building_) return;
  bool ok = FlushBuffer();
  std::vector<uint8_t> directory(static_cast<size_t>(pf::kDirectoryEntries * 8), 0);
  std::vector<uint8_t> chunk(static_cast<size_t>(pf::kChunkBytes));
  int64_t at = Align8(end_);
  for (size_t first = 0; ok && first < slots_.size(); first += static_cast<size_t>(pf::kSlotsPerChunk)) {
    const size_t last = std::min(slots_.size(), first + static_cast<size_t>(pf::kSlotsPerChunk));
    bool any = false;
    std::fill(chunk.begin(), chunk.end(), 0);
    for (size_t s = first; s < last; ++s) {
      const uint32_t entry = slots_[s] == kTwice ? 0 : slots_[s];
      pf::Store32(chunk.data() + (s - first) * 4, entry);
      any = any || entry != 0;
    }
    if (!any) continue;
    ok = Write(chunk.data(), pf::kChunkBytes, at);
    pf::Store64(directory.data() + first / static_cast<size_t>(pf::kSlotsPerChunk) * 8, static_cast<uint64_t>(at));
    at += pf::kChunkBytes;
  }
  std::vector<uint8_t> header;
  WriteHeader(pf::kFlagFinished, header);
  // No sync: a crash may lose any of these writes, but the file was made anew (unwritten parts
  // read as zeros) and every record is checked by its value and checksum, so what survives is
  // either whole or refused. Syncing the build's megabytes would cost more than the build.
  ok = ok && Write(directory.data(), static_cast<int64_t>(directory.size()), pf::kDirectoryOffset) &&
       Write(header.data(), pf::kHeaderSize, 0);
  slots_.clear();
  slots_.shrink_to_fit();
  building_ = false;
  if (!ok) Fail();
}

void TtxPhraseWriter::Sync() {
  if (broken_ || !dirty_) return;
  dirty_ = false;
  if (file_.Sync() != 0) Fail();
}

}  // namespace tovenmarsh::fulltext
