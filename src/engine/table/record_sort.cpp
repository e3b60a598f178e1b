// Record sort: sort keys, the in-memory sort of a fully cached table, the external sort by
// runs in temporary files merged through a heap, and the writing of the sorted records with
// the distinct and grouping options. Works on the data file through its public calls only.
#include "engine/table/record_sort.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <numeric>
#include <queue>
#include <string_view>

#include "engine/store/data_file.h"
#include "engine/base/engine_error.h"
#include "engine/base/engine_locale.h"
#include "engine/io/file_list.h"
#include "engine/store/index_file.h"
#include "engine/format/key_encoding.h"

namespace tovenmarsh::engine {

using namespace data_format;

namespace {

constexpr size_t kChunkBytes = 65535;

class TSortKeys {
 public:
  TSortKeys(const TSortOptions& options, uint16_t language, uint16_t sort)
      : options_(options), language_(language), sort_(sort) {
    for (const FieldDesc& f : options.Fields) fieldsSize_ += f.PhysicalSize + 1u;
  }
  size_t Size() const { return fieldsSize_ + 4; }

  void Build(const uint8_t* record, uint8_t* key) const {
    std::memset(key, 0, Size());
    size_t at = 0;
    for (const FieldDesc& f : options_.Fields) {
      const uint8_t* value;
      if (f.IsAutoInc()) {
        key[at] = 1;
        value = record + kRecId.Offset;
      } else {
        key[at] = record[f.Offset];
        value = record + f.Offset + 1;
      }
      BuildFieldKey(f, value, key + at, language_, sort_, f.Descending, options_.CaseInsensitive);
      at += f.PhysicalSize + 1u;
    }
    EncodeIntegerKey(static_cast<int32_t>(GetU32(record, kRecId)), key + at);
  }

  // Negative, 0 or positive; the record id decides last unless left out.
  int Compare(const uint8_t* a, const uint8_t* b, bool withId) const {
    if (language_ == 0) {
      const int c = std::memcmp(a, b, withId ? Size() : fieldsSize_);
      return c < 0 ? -1 : (c > 0 ? 1 : 0);
    }
    size_t at = 0;
    for (const FieldDesc& f : options_.Fields) {
      const size_t width = f.PhysicalSize + 1u;
      int c;
      if (f.FieldType == fldZString && a[at] == b[at]) {
        auto text = [&](const uint8_t* k) {
          const char* s = reinterpret_cast<const char*>(k + at + 1);
          return std::string_view(s, strnlen(s, f.PhysicalSize > 0 ? f.PhysicalSize - 1u : 0));
        };
        c = LocaleCompareStr(language_, sort_, text(a), options_.CaseInsensitive, 0, text(b));
      } else {
        c = std::memcmp(a + at, b + at, width);
        c = c < 0 ? -1 : (c > 0 ? 1 : 0);
      }
      if (f.Descending) c = -c;
      if (c != 0) return c;
      at += width;
    }
    if (!withId) return 0;
    const int c = std::memcmp(a + at, b + at, 4);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }

 private:
  const TSortOptions& options_;
  uint16_t language_;
  uint16_t sort_;
  size_t fieldsSize_ = 0;
};

// Writes the sorted records from the start of the records, renumbered, applying distinct and
// grouping; the last output record is held back so that a group can still add to it.
class TSortWriter {
 public:
  TSortWriter(TDataFile& file, const TSortOptions& options, const TSortKeys& keys)
      : file_(file), options_(options), keys_(keys), recordSize_(file.RecordSize()) {}

  void Add(const uint8_t* record, const uint8_t* key) {
    const bool grouping = static_cast<bool>(options_.Group);
    if (havePrevious_ && (options_.Distinct || grouping) && keys_.Compare(previousKey_.data(), key, false) == 0) {
      if (grouping && havePending_) {
        scratch_.assign(record, record + recordSize_);
        options_.Group(0, scratch_.data(), pending_.data());
      }
      return;
    }
    previousKey_.assign(key, key + keys_.Size());
    havePrevious_ = true;
    FinishPending();
    pending_.assign(record, record + recordSize_);
    havePending_ = true;
    if (grouping) {
      scratch_.assign(record, record + recordSize_);
      options_.Group(1, scratch_.data(), pending_.data());
    }
  }

  uint32_t Finish() {
    FinishPending();
    FlushBuffer();
    return written_;
  }

 private:
  void FinishPending() {
    if (!havePending_) return;
    havePending_ = false;
    if (options_.Finish) options_.Finish(pending_.data());
    if (options_.Filter && !options_.Filter(pending_.data())) return;
    ++written_;
    pending_[kRecStatus.Offset] = kStatusLive;
    PutU32(pending_.data(), kRecLink, written_);
    const size_t at = buffer_.size();
    buffer_.insert(buffer_.end(), pending_.begin(), pending_.end());
    if (file_.Encrypted()) EncryptBlock(buffer_.data() + at, static_cast<uint16_t>(recordSize_), kRecordKey1, kRecordKey2);
    if (buffer_.size() + recordSize_ > kChunkBytes) FlushBuffer();
  }

  void FlushBuffer() {
    if (buffer_.empty()) return;
    TFileAccess access(file_);
    file_.Seek(RecordOffset(file_.FieldCount(), recordSize_, flushed_ + 1));
    file_.Write(buffer_.data(), static_cast<int64_t>(buffer_.size()));
    flushed_ += static_cast<uint32_t>(buffer_.size() / recordSize_);
    buffer_.clear();
  }

  TDataFile& file_;
  const TSortOptions& options_;
  const TSortKeys& keys_;
  size_t recordSize_;
  std::vector<uint8_t> previousKey_;
  bool havePrevious_ = false;
  std::vector<uint8_t> pending_;
  bool havePending_ = false;
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> buffer_;
  uint32_t written_ = 0;
  uint32_t flushed_ = 0;
};

// One run of the external sort in its temporary file, read back a chunk at a time.
struct TRun {
  std::unique_ptr<TFileHandler> File;
  uint32_t Count = 0;
  uint32_t Read = 0;
  std::vector<uint8_t> Chunk;
  size_t ChunkAt = 0;
  size_t ChunkRecords = 0;
  std::vector<uint8_t> Head;  // current record
  std::vector<uint8_t> Key;
};

}  // namespace

uint32_t SortRecords(TDataFile& file, const TSortOptions& options, const std::string& tempDirectory,
                     TIndexFile* index) {
  const size_t recordSize = file.RecordSize();
  if (recordSize < kRecordPrefixSize) file.RaiseCode(kErrRecordBuffersCorrupt);
  const uint32_t total = file.NextRecord() - 1;
  const TSortKeys keys(options, file.LanguageId(), file.SortId());
  const size_t keySize = keys.Size();
  TSortWriter writer(file, options, keys);
  const bool encrypted = file.Encrypted();

  if (file.CachedRecords() == total) {
    // Everything is cached: sort the cached records.
    std::vector<TRecord*> cached, records;
    std::vector<uint8_t> allKeys(static_cast<size_t>(total) * keySize);
    file.CachedInOrder(cached);
    for (TRecord* r : cached) {
      if (r->Status() != kStatusLive) continue;
      keys.Build(r->Buffer.data(), allKeys.data() + records.size() * keySize);
      records.push_back(r);
    }
    std::vector<uint32_t> order(records.size());
    std::iota(order.begin(), order.end(), 0u);
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
      return keys.Compare(allKeys.data() + a * keySize, allKeys.data() + b * keySize, true) < 0;
    });
    for (uint32_t i : order) writer.Add(records[i]->Buffer.data(), allKeys.data() + i * keySize);
  } else {
    file.WriteChangedRecords();
    file.DropRecords();
    const uint32_t runSize = options.RunSize ? options.RunSize
                                             : static_cast<uint32_t>(std::max<size_t>(1, std::min<size_t>(8191, 2097120 / recordSize)));
    std::vector<TRun> runs;
    auto cleanup = [&] {
      for (TRun& run : runs) {
        if (!run.File) continue;
        try {
          run.File->Close();
          run.File->DeleteFile();
        } catch (const EFenEngineError&) {
          // Already gone: a temporary file may vanish at its last close.
        }
      }
    };
    try {
      // Sorted runs.
      std::vector<uint8_t> block, runKeys, out;
      for (uint32_t start = 1; start <= total; start += runSize) {
        const uint32_t n = std::min(runSize, total - start + 1);
        block.resize(static_cast<size_t>(n) * recordSize);
        {
          TFileAccess access(file);
          file.Seek(RecordOffset(file.FieldCount(), static_cast<uint32_t>(recordSize), start));
          file.Read(block.data(), static_cast<int64_t>(block.size()));
        }
        std::vector<uint32_t> live;
        runKeys.resize(static_cast<size_t>(n) * keySize);
        for (uint32_t i = 0; i < n; ++i) {
          uint8_t* rec = block.data() + static_cast<size_t>(i) * recordSize;
          if (encrypted) DecryptBlock(rec, static_cast<uint16_t>(recordSize), kRecordKey1, kRecordKey2);
          if (rec[kRecStatus.Offset] != kStatusLive) continue;
          keys.Build(rec, runKeys.data() + static_cast<size_t>(i) * keySize);
          live.push_back(i);
        }
        if (live.empty()) continue;
        std::sort(live.begin(), live.end(), [&](uint32_t a, uint32_t b) {
          return keys.Compare(runKeys.data() + a * keySize, runKeys.data() + b * keySize, true) < 0;
        });
        out.resize(live.size() * recordSize);
        for (size_t i = 0; i < live.size(); ++i) {
          uint8_t* to = out.data() + i * recordSize;
          std::memcpy(to, block.data() + static_cast<size_t>(live[i]) * recordSize, recordSize);
          if (encrypted) EncryptBlock(to, static_cast<uint16_t>(recordSize), kRecordKey1, kRecordKey2);
        }
        TRun run;
        run.File = std::make_unique<TFileHandler>(MakeUniqueFileName(tempDirectory, ".TMP", file.Memory()),
                                                  file.Memory());
        run.File->SetExclusive(true);
        run.File->CreateFile();
        runs.push_back(std::move(run));
        runs.back().File->Write(out.data(), static_cast<int64_t>(out.size()));
        runs.back().Count = static_cast<uint32_t>(live.size());
      }
      // Merge through a heap of the run heads (keys are unique by record id).
      const size_t chunkRecords = std::max<size_t>(1, kChunkBytes / recordSize);
      auto advance = [&](TRun& run) {
        if (run.Read == run.Count) return false;
        if (run.ChunkAt == run.ChunkRecords) {
          run.ChunkRecords = std::min<size_t>(chunkRecords, run.Count - run.Read);
          run.Chunk.resize(run.ChunkRecords * recordSize);
          run.File->Read(run.Chunk.data(), static_cast<int64_t>(run.Chunk.size()));
          run.ChunkAt = 0;
        }
        run.Head.assign(run.Chunk.begin() + static_cast<ptrdiff_t>(run.ChunkAt * recordSize),
                        run.Chunk.begin() + static_cast<ptrdiff_t>((run.ChunkAt + 1) * recordSize));
        if (encrypted) DecryptBlock(run.Head.data(), static_cast<uint16_t>(recordSize), kRecordKey1, kRecordKey2);
        run.Key.resize(keySize);
        keys.Build(run.Head.data(), run.Key.data());
        ++run.ChunkAt;
        ++run.Read;
        return true;
      };
      auto later = [&](size_t a, size_t b) { return keys.Compare(runs[a].Key.data(), runs[b].Key.data(), true) > 0; };
      std::priority_queue<size_t, std::vector<size_t>, decltype(later)> heads(later);
      for (size_t i = 0; i < runs.size(); ++i) {
        runs[i].File->Seek(0);
        if (advance(runs[i])) heads.push(i);
      }
      while (!heads.empty()) {
        const size_t i = heads.top();
        heads.pop();
        writer.Add(runs[i].Head.data(), runs[i].Key.data());
        if (advance(runs[i])) heads.push(i);
      }
    } catch (...) {
      cleanup();
      throw;
    }
    cleanup();
  }

  const uint32_t written = writer.Finish();
  file.FinishRewrite(written);
  if (index) index->SetRecordCount(static_cast<int32_t>(written));
  return written;
}

}  // namespace tovenmarsh::engine
