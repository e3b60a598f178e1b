// Words links over stored tables (see tx_words_links.h).
#include "fulltext/tx_words_links.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "dataset/data_set.h"
#include "dataset/fen_database.h"
#include "dataset/fen_engine_error.h"
#include "dataset/fen_table.h"
#include "dataset/fields.h"
#include "dataset/index_defs.h"
#include "engine/base/engine_error.h"
#include "engine/table/directory.h"
#include "fulltext/cl_errors.h"
#include "fulltext/match_bits.h"
#include "fulltext/phrase_file_format.h"
#include "fulltext/tx_drivers.h"
#include "fulltext/tx_engine.h"
#include "fulltext/tx_utils.h"
#include "platform/paths.h"

namespace tovenmarsh::fulltext {

using dataset::TBlobStreamMode;
using dataset::TDataSetState;
using dataset::TField;
using dataset::TVariant;

const char* const kPropertiesKey = "\x7f\x7fProperties\x7f\x7f";

namespace {

std::string Cut(const std::string& text, int size) {
  return size > 0 && text.size() > static_cast<size_t>(size) ? text.substr(0, static_cast<size_t>(size)) : text;
}

}  // namespace

// ---- TtxWordsDataSetLink ----

TtxWordsDataSetLink::TtxWordsDataSetLink() {
  keyFields_[kkWord] = "txWord";
  keyNames_[kkWord] = "txWord";
  keyFields_[kkLike] = "txLike;txWord";
  keyNames_[kkLike] = "txLike";
  keyFields_[kkReverse] = "txReverse";
  keyNames_[kkReverse] = "txReverse";
}

TtxWordsDataSetLink::~TtxWordsDataSetLink() = default;

void TtxWordsDataSetLink::SetWordFieldSize(int value) {
  if (!WritableSizes()) RaiseTextIndex(txeReadOnlyProperty);
  if (value >= 5 && value <= 40) wordFieldSize_ = value;
}

void TtxWordsDataSetLink::SetLikeFieldSize(int value) {
  if (!WritableSizes()) RaiseTextIndex(txeReadOnlyProperty);
  if (value >= 0 && value <= 40) likeFieldSize_ = value;
}

void TtxWordsDataSetLink::SetBytesFieldSize(int value) {
  if (!WritableSizes()) RaiseTextIndex(txeReadOnlyProperty);
  if ((Capabilities() & capBytes) == 0) RaiseTextIndex(txeCapabilityNotSupported);
  if (value == bytesFieldSize_ || (value != 0 && (value < 24 || value > 1024))) return;
  bytesFieldSize_ = value;
  blobFieldSize_ = charFieldSize_ = 0;
}

void TtxWordsDataSetLink::SetCharFieldSize(int value) {
  if (!WritableSizes()) RaiseTextIndex(txeReadOnlyProperty);
  if ((Capabilities() & capChar) == 0) RaiseTextIndex(txeCapabilityNotSupported);
  if (value != 0 && (value < 32 || value > 252)) return;
  value = value / 4 * 4;
  if (value == charFieldSize_) return;
  charFieldSize_ = value;
  blobFieldSize_ = bytesFieldSize_ = 0;
}

void TtxWordsDataSetLink::SetBlobFieldSize(int value) {
  if (!WritableSizes()) RaiseTextIndex(txeReadOnlyProperty);
  if ((Capabilities() & capBlob) == 0) RaiseTextIndex(txeCapabilityNotSupported);
  if (value == blobFieldSize_ || (value != 0 && (value < 24 || value > 1024))) return;
  blobFieldSize_ = value;
  bytesFieldSize_ = charFieldSize_ = 0;
}

void TtxWordsDataSetLink::SetTransactions(int value) {
  if ((Capabilities() & capTransactions) == 0) RaiseTextIndex(txeCapabilityNotSupported);
  if (value >= 0) transactions_ = value;
}

void TtxWordsDataSetLink::SetDataSet(dataset::TDataSet* dataSet) {
  if (dataSet == dataSet_) return;
  UnbindFields();
  dataSet_ = dataSet;
  propertiesRead_ = false;
  key_ = kkNone;
}

bool TtxWordsDataSetLink::IsActive() { return dataSet_ != nullptr && dataSet_->Active(); }

dataset::TDataSet& TtxWordsDataSetLink::CheckOpen() {
  if (dataSet_ == nullptr) RaiseTextIndex(txeInvalidWordsDataSet);
  if (!dataSet_->Active() || wordField_ == nullptr) RaiseTextIndex(txeWordsDataSetClosed);
  return *dataSet_;
}

void TtxWordsDataSetLink::Open() {
  if (dataSet_ == nullptr) RaiseTextIndex(txeInvalidWordsDataSet);
  if (!dataSet_->Active()) dataSet_->Open();
  if (wordField_ == nullptr) BindFields();
}

void TtxWordsDataSetLink::Close() {
  if (dataSet_ != nullptr && dataSet_->Active()) dataSet_->Close();
  UnbindFields();
}

void TtxWordsDataSetLink::UnbindFields() {
  wordField_ = segmentField_ = reverseFieldPtr_ = countField_ = likeField_ = nullptr;
  sizeField_ = bytesField_ = charField_ = blobField_ = nullptr;
  key_ = kkNone;
}

void TtxWordsDataSetLink::BindFields() {
  if (dataSet_ == nullptr) RaiseTextIndex(txeInvalidWordsDataSet);
  dataset::TDataSet& ds = *dataSet_;
  auto sizeOf = [](TField* f) { return f != nullptr ? f->Size() : 0; };
  TField* word = ds.FindField("txWord");
  TField* count = ds.FindField("txCount");
  TField* size = ds.FindField("txSize");
  TField* blob = ds.FindField("txBlob");
  if (word == nullptr || count == nullptr || size == nullptr || blob == nullptr || !blob->IsBlob())
    RaiseTextIndex(txeInvalidWordsDataSet);
  wordField_ = word;
  countField_ = count;
  sizeField_ = size;
  blobField_ = blob;
  likeField_ = ds.FindField("txLike");
  bytesField_ = ds.FindField("txBytes");
  charField_ = ds.FindField("txChar");
  reverseFieldPtr_ = ds.FindField("txReverse");
  segmentField_ = ds.FindField("txSegment");
  wordFieldSize_ = sizeOf(wordField_);
  likeFieldSize_ = sizeOf(likeField_);
  bytesFieldSize_ = sizeOf(bytesField_);
  charFieldSize_ = sizeOf(charField_);
  blobFieldSize_ = blob->Size();
  reverseSize_ = sizeOf(reverseFieldPtr_);
  reverseField_ = reverseFieldPtr_ != nullptr;
  segmented_ = segmentField_ != nullptr;
  keyFields_[kkWord] = segmented_ ? "txWord;txSegment" : "txWord";
  if (likeField_ == nullptr) keyFields_[kkLike].clear();
  if (reverseFieldPtr_ == nullptr) keyFields_[kkReverse].clear();
}

void TtxWordsDataSetLink::DefineFields(dataset::TFieldDefs& defs) const {
  defs.Add("txWord", dataset::ftString, wordFieldSize_, true);
  if (segmented_) defs.Add("txSegment", dataset::ftSmallint, 0, true);
  if (reverseField_) defs.Add("txReverse", dataset::ftString, wordFieldSize_, false);
  defs.Add("txCount", dataset::ftInteger, 0, false);
  if (likeFieldSize_ > 0) defs.Add("txLike", dataset::ftString, likeFieldSize_, false);
  defs.Add("txSize", dataset::ftInteger, 0, false);
  if (bytesFieldSize_ > 0) defs.Add("txBytes", dataset::ftBytes, bytesFieldSize_, false);
  if (charFieldSize_ > 0) defs.Add("txChar", dataset::ftString, charFieldSize_, false);
  defs.Add("txBlob", dataset::ftBlob, 0, false);
}

void TtxWordsDataSetLink::SelectKey(int kind) {
  if (kind == kkLike && (likeField_ == nullptr || keyFields_[kkLike].empty())) RaiseTextIndex(txeLikeNotAvailable);
  if (kind == kkReverse && (reverseFieldPtr_ == nullptr || keyFields_[kkReverse].empty()))
    RaiseTextIndex(txeReverseNotAvailable);
  key_ = kind;
}

std::string TtxWordsDataSetLink::PropertiesKey() const { return Cut(kPropertiesKey, wordFieldSize_); }

bool TtxWordsDataSetLink::SkipProperties(bool forward) {
  dataset::TDataSet& ds = *dataSet_;
  if (forward) {
    while (!ds.Eof() && Size() == 0) ds.Next();
    return !ds.Eof();
  }
  while (Size() == 0) {
    ds.Prior();
    if (ds.Bof()) return false;
  }
  return true;
}

bool TtxWordsDataSetLink::First() {
  dataset::TDataSet& ds = CheckOpen();
  DropUnposted();
  ds.First();
  return SkipProperties(true);
}

bool TtxWordsDataSetLink::Next() {
  dataset::TDataSet& ds = CheckOpen();
  ds.Next();
  return SkipProperties(true);
}

bool TtxWordsDataSetLink::Prior() {
  dataset::TDataSet& ds = CheckOpen();
  ds.Prior();
  if (ds.Bof()) return false;
  return SkipProperties(false);
}

bool TtxWordsDataSetLink::AtEnd() { return CheckOpen().Eof(); }

void TtxWordsDataSetLink::SeekNearest(const std::string& prefix) {
  // Without an index to seek on, walk the rows in their order.
  dataset::TDataSet& ds = *dataSet_;
  for (ds.First(); !ds.Eof(); ds.Next()) {
    const std::string key = key_ == kkLike ? Like() : (key_ == kkReverse ? Reverse() : Word());
    if (!(key < prefix)) break;
  }
}

void TtxWordsDataSetLink::SeekPrefix(const std::string& pattern, char anyChar, char oneChar) {
  CheckOpen();
  DropUnposted();
  const std::string prefix = PrefixBefore(pattern, std::string{anyChar, oneChar});
  if (prefix.empty()) {
    First();
    return;
  }
  const int size = key_ == kkLike ? likeFieldSize_ : (key_ == kkReverse ? reverseSize_ : wordFieldSize_);
  SeekNearest(Cut(prefix, size));
  SkipProperties(true);
}

bool TtxWordsDataSetLink::Locate(const std::string& word, int32_t segment, bool partial) {
  dataset::TDataSet& ds = CheckOpen();
  DropUnposted();
  const std::string key = Cut(word, wordFieldSize_);
  const dataset::TLocateOptions options = partial ? dataset::loPartialKey : 0;
  if (segmentField_ != nullptr && segment >= 0)
    return ds.Locate("txWord;txSegment", {TVariant(key), TVariant(static_cast<int>(segment))}, options);
  return ds.Locate("txWord", {TVariant(key)}, options);
}

std::string TtxWordsDataSetLink::Word() {
  CheckOpen();
  return dataSet_->IsEmpty() ? std::string() : wordField_->AsString();
}

int32_t TtxWordsDataSetLink::Segment() {
  CheckOpen();
  return segmentField_ != nullptr ? segmentField_->AsInteger() : -1;
}

std::string TtxWordsDataSetLink::Like() {
  CheckOpen();
  return likeField_ != nullptr ? likeField_->AsString() : std::string();
}

std::string TtxWordsDataSetLink::Reverse() {
  CheckOpen();
  return reverseFieldPtr_ != nullptr ? reverseFieldPtr_->AsString() : Reversed(wordField_->AsString());
}

int32_t TtxWordsDataSetLink::Size() {
  CheckOpen();
  if (sizeField_ == nullptr) return -1;
  return dataSet_->IsEmpty() ? -1 : sizeField_->AsInteger();
}

int32_t TtxWordsDataSetLink::Count() {
  CheckOpen();
  return countField_ != nullptr && !dataSet_->IsEmpty() ? countField_->AsInteger() : 0;
}

int32_t TtxWordsDataSetLink::ReadBits(uint8_t* buffer, size_t length) {
  // Another session may rewrite the row between our reading it and its BLOB (the indexer while
  // a search runs): the engine then reports the row changed, and the row is read again.
  constexpr int kReads = 3;
  for (int read = 1;; ++read) {
    try {
      return ReadRowBits(buffer, length);
    } catch (const dataset::EFenEngineError& e) {
      if (e.ErrorCode() != engine::kErrRecordChanged || read == kReads) throw;
      dataset::TDataSet& ds = CheckOpen();
      const std::string word = Word();
      const int32_t segment = Segment();
      ds.Refresh();
      // Gone meanwhile: the refresh moved to another row, whose bits are not this word's.
      if (Word() != word || Segment() != segment) throw;
    }
  }
}

int32_t TtxWordsDataSetLink::ReadRowBits(uint8_t* buffer, size_t length) {
  dataset::TDataSet& ds = CheckOpen();
  const int32_t n = sizeField_->AsInteger();
  if (n < 0 || length < 4 || static_cast<size_t>(n) > length - 4) RaiseTextIndex(txeDecompressBufferTooSmall);
  uint8_t* out = buffer + 4;
  size_t k = 0;
  if (bytesField_ != nullptr) {
    std::vector<uint8_t> field(static_cast<size_t>(bytesFieldSize_));
    if (bytesField_->GetData(field.data())) {
      k = std::min(static_cast<size_t>(n), field.size());
      std::memcpy(out, field.data(), k);
    }
  } else if (charField_ != nullptr) {
    const size_t capacity = static_cast<size_t>(charFieldSize_) * 3 / 4;
    k = DecodeBits(charField_->AsString(), out, std::min(static_cast<size_t>(n), capacity));
  }
  if (k < static_cast<size_t>(n)) {
    std::unique_ptr<platform::TStream> blob = ds.CreateBlobStream(*blobField_, TBlobStreamMode::bmRead);
    if (blob->Size() != static_cast<int64_t>(n - k)) RaiseTextIndex(txeInconsistentBlobSize);
    blob->ReadBuffer(out + k, static_cast<size_t>(n) - k);
  }
  ++counters_.RowsRead;
  counters_.BytesRead += n;
  return n;
}

void TtxWordsDataSetLink::WriteBits(const uint8_t* record, size_t size) {
  dataset::TDataSet& ds = CheckOpen();
  if (size < 4) RaiseTextIndex(txeInvalidParameter);
  const int32_t count = GetRecordInt(record, kRecCountAt);
  const size_t n = size - 4;
  const uint8_t* bytes = record + 4;
  countField_->SetAsInteger(count < 0 ? -count : count);
  sizeField_->SetAsInteger(static_cast<int32_t>(n));
  size_t k = 0;
  if (bytesField_ != nullptr) {
    std::vector<uint8_t> field(static_cast<size_t>(bytesFieldSize_), 0);
    k = std::min(n, field.size());
    std::memcpy(field.data(), bytes, k);
    bytesField_->SetData(field.data());
  } else if (charField_ != nullptr) {
    const size_t capacity = static_cast<size_t>(charFieldSize_) * 3 / 4;
    k = std::min(n, capacity);
    charField_->SetAsString(EncodeBits(bytes, k));
  }
  std::unique_ptr<platform::TStream> blob = ds.CreateBlobStream(*blobField_, TBlobStreamMode::bmWrite);
  if (k < n) blob->WriteBuffer(bytes + k, n - k);
  counters_.BytesWritten += static_cast<int64_t>(n);
}

void TtxWordsDataSetLink::DropUnposted() {
  // A row that a failure left half written is dropped, never posted by the next move.
  dataset::TDataSet& ds = *dataSet_;
  if (ds.State() == TDataSetState::dsInsert || ds.State() == TDataSetState::dsEdit) ds.Cancel();
}

void TtxWordsDataSetLink::Insert() {
  dataset::TDataSet& ds = CheckOpen();
  DropUnposted();
  ds.Insert();
}

void TtxWordsDataSetLink::Edit() {
  dataset::TDataSet& ds = CheckOpen();
  DropUnposted();
  ds.Edit();
}

void TtxWordsDataSetLink::Post() {
  dataset::TDataSet& ds = CheckOpen();
  const bool inserting = ds.State() == TDataSetState::dsInsert;
  try {
    ds.Post();
  } catch (...) {
    // The row stays unwritten: nothing may post it later behind the caller's back.
    try {
      ds.Cancel();
    } catch (...) {
      // The post's failure is the one reported.
    }
    throw;
  }
  if (inserting) ++counters_.RowsInserted;
  else ++counters_.RowsEdited;
  CountPost();
  if (AfterPost) AfterPost(*this);
}

void TtxWordsDataSetLink::Delete() {
  CheckOpen().Delete();
  ++counters_.RowsDeleted;
  CountPost();
}

void TtxWordsDataSetLink::SetWord(const std::string& word) {
  CheckOpen();
  const std::string cut = Cut(word, wordFieldSize_);
  wordField_->SetAsString(cut);
  if (reverseFieldPtr_ != nullptr) reverseFieldPtr_->SetAsString(Reversed(cut));
}

void TtxWordsDataSetLink::SetLike(const std::string& like) {
  CheckOpen();
  if (likeField_ != nullptr) likeField_->SetAsString(Cut(like, likeFieldSize_));
}

void TtxWordsDataSetLink::SetSegment(int32_t segment) {
  CheckOpen();
  if (segmentField_ != nullptr) segmentField_->SetAsInteger(segment);
}

void TtxWordsDataSetLink::SetCount(int32_t count) {
  CheckOpen();
  countField_->SetAsInteger(count);
}

void TtxWordsDataSetLink::CountPost() {
  ++counters_.PostsSinceCommit;
  if (transactions_ > 0 && counters_.PostsSinceCommit >= transactions_) {
    Commit();
    StartTransaction();
  }
}

void TtxWordsDataSetLink::Commit() {
  if (IsActive() && DataSetInTransaction()) DataSetTransaction(ttCommit);
  counters_.PostsSinceCommit = 0;
  counters_.TransactionOpen = false;
}

void TtxWordsDataSetLink::StartTransaction() {
  if (transactions_ > 0 && IsActive() && !DataSetInTransaction()) {
    DataSetTransaction(ttStart);
    counters_.PostsSinceCommit = 0;
    counters_.TransactionOpen = true;
  }
}

bool TtxWordsDataSetLink::FindPropertiesRow() {
  return dataSet_->Locate("txWord", {TVariant(PropertiesKey())}, 0);
}

void TtxWordsDataSetLink::ReadProperties(platform::TStream& stream) {
  dataset::TDataSet& ds = CheckOpen();
  const dataset::TBookmark mark = ds.IsEmpty() ? dataset::TBookmark() : ds.GetBookmark();
  struct Back {
    dataset::TDataSet& ds;
    const dataset::TBookmark& mark;
    ~Back() {
      try {
        if (!mark.empty()) ds.GotoBookmark(mark);
      } catch (...) {
        // The row may be gone; the position is only a courtesy.
      }
      ds.EnableControls();
    }
  } back{ds, mark};
  ds.DisableControls();
  if (!FindPropertiesRow() || blobField_->IsNull()) RaiseTextIndex(txePropertiesNotFound);
  std::unique_ptr<platform::TStream> blob = ds.CreateBlobStream(*blobField_, TBlobStreamMode::bmRead);
  const int64_t size = blob->Size();
  std::string data(static_cast<size_t>(size), '\0');
  if (size > 0) blob->ReadBuffer(data.data(), data.size());
  stream.WriteBuffer(data.data(), data.size());
  propertiesRead_ = true;
}

void TtxWordsDataSetLink::WriteProperties(platform::TStream& stream) {
  dataset::TDataSet& ds = CheckOpen();
  const dataset::TBookmark mark = ds.IsEmpty() ? dataset::TBookmark() : ds.GetBookmark();
  struct Back {
    dataset::TDataSet& ds;
    const dataset::TBookmark& mark;
    ~Back() {
      try {
        if (!mark.empty()) ds.GotoBookmark(mark);
      } catch (...) {
        // The row may be gone; the position is only a courtesy.
      }
      ds.EnableControls();
    }
  } back{ds, mark};
  ds.DisableControls();
  std::string data(static_cast<size_t>(stream.Size() - stream.Position()), '\0');
  if (!data.empty()) stream.ReadBuffer(data.data(), data.size());
  if (FindPropertiesRow()) {
    ds.Edit();
  } else {
    ds.Append();
    wordField_->SetAsString(PropertiesKey());
    sizeField_->SetAsInteger(0);
    if (segmentField_ != nullptr) segmentField_->SetAsInteger(0);
  }
  {
    std::unique_ptr<platform::TStream> blob = ds.CreateBlobStream(*blobField_, TBlobStreamMode::bmWrite);
    if (!data.empty()) blob->WriteBuffer(data.data(), data.size());
  }
  try {
    ds.Post();
  } catch (...) {
    try {
      ds.Cancel();
    } catch (...) {
      // The post's failure is the one reported.
    }
    throw;
  }
  CountPost();
}

// ---- TtxWordsBaseTableLink ----

TtxWordsBaseTableLink::TtxWordsBaseTableLink() : drivers_(&DefaultTableDrivers()) {}

bool TtxWordsBaseTableLink::Switch(const char* name, bool byDefault) const {
  std::string value = Params.Values(name);
  if (value.empty()) return byDefault;
  UpperMap(value);
  return value == "1" || value == "T" || value == "TRUE";
}

void TtxWordsBaseTableLink::SelectKey(int kind) {
  if (kind == key_) return;
  TtxWordsDataSetLink::SelectKey(kind);
  if (kind == kkNone || !IsActive()) return;
  if (selectByName_) ApplyIndex(keyNames_[kind], std::string());
  else ApplyIndex(std::string(), keyFields_[kind]);
}

void TtxWordsBaseTableLink::ReadProperties(platform::TStream& stream) {
  Open();
  SelectKey(kkWord);
  TtxWordsDataSetLink::ReadProperties(stream);
  if (likeField_ != nullptr) {
    if (HasIndexOnFields("txLike;txWord")) {
      keyFields_[kkLike] = "txLike;txWord";
      keyNames_[kkLike] = "txLike";
    } else {
      keyFields_[kkLike].clear();
      keyNames_[kkLike].clear();
    }
  }
  if (reverseFieldPtr_ != nullptr && !HasIndexOnFields("txReverse")) {
    keyFields_[kkReverse].clear();
    keyNames_[kkReverse].clear();
  }
}

void TtxWordsBaseTableLink::AddWordIndex() {
  if (!HasIndexOnFields(keyFields_[kkWord])) AddIndex("txWord", keyFields_[kkWord], true);
}

void TtxWordsBaseTableLink::EnterBuild(TtxEngine& engine) {
  if (dataSet_ == nullptr) RaiseTextIndex(txeInvalidWordsDataSet);
  Close();
  drivers_->SetExclusive(*dataSet_, true);
  if (reverseField_) reverseSize_ = wordFieldSize_;
  keyFields_[kkWord] = segmented_ ? "txWord;txSegment" : "txWord";
  keyFields_[kkLike] = likeFieldSize_ > 0 ? "txLike;txWord" : "";
  keyFields_[kkReverse] = reverseField_ ? "txReverse" : "";
  if (Switch("CreateDataSet", true)) {
    drivers_->DeleteAndClear(*dataSet_, true);
    DefineFields(dataSet_->FieldDefs());
    DefineIndexes();
    drivers_->CreateTable(*dataSet_);
  }
  if (Switch("AddWordIndexAtStart", false)) AddWordIndex();
  DisableControls();
  ansi_ = engine.Ansi();
  ResetCounters();
  Open();
}

void TtxWordsBaseTableLink::LeaveBuild(TtxEngine& engine) {
  const bool aborted = engine.Aborted();
  if (!aborted) {
    engine.SetState(static_cast<TEngineState>(engine.State() | StateOf(esCreatingIndexes)));
    struct Clear {
      TtxEngine& engine;
      ~Clear() {
        try {
          engine.SetState(static_cast<TEngineState>(engine.State() & ~StateOf(esCreatingIndexes)));
        } catch (...) {
          // Only the event could raise; the indexes are what matters here.
        }
      }
    } clear{engine};
    if (Switch("AddWordIndex", true) && !Switch("AddWordIndexAtStart", false)) AddWordIndex();
    if (Switch("AddLikeIndex", true) && likeField_ != nullptr && !HasIndexOnFields("txLike;txWord"))
      AddIndex("txLike", "txLike;txWord", false);
    if (Switch("AddReverseIndex", true) && reverseFieldPtr_ != nullptr && !HasIndexOnFields("txReverse"))
      AddIndex("txReverse", "txReverse", false);
  }
  Commit();
  EnableControls();
  Close();
  drivers_->SetExclusive(*dataSet_, false);
  Open();
  if (Switch("AddWordIndex", true) && !aborted) SelectKey(kkWord);
}

void TtxWordsBaseTableLink::StateEntered(TtxEngine& engine, int bit) {
  switch (bit) {
    case esBuilding:
      EnterBuild(engine);
      break;
    case esWriting:
      if (transactions_ > 0 && IsActive() && !counters_.TransactionOpen) StartTransaction();
      break;
    case esUpdating:
    case esSearching:
      if (!IsActive() || wordField_ == nullptr) {
        Open();
        if (key_ == kkNone) SelectKey(kkWord);
      }
      if (bit == esSearching) {
        DisableControls();
        ++searchDisabled_;
      }
      break;
    default:
      break;
  }
}

void TtxWordsBaseTableLink::StateLeft(TtxEngine& engine, int bit) {
  switch (bit) {
    case esBuilding:
      LeaveBuild(engine);
      break;
    case esWriting:
      Commit();
      break;
    case esSearching:
      if (searchDisabled_ > 0) {
        --searchDisabled_;
        EnableControls();
      }
      break;
    default:
      break;
  }
}

void TtxWordsBaseTableLink::WordList(const std::string& word, int before,
                                     std::vector<std::pair<std::string, int64_t>>& list, int after) {
  dataset::TDataSet& ds = CheckOpen();
  list.clear();
  if (ds.IsEmpty()) return;
  SelectKey(kkWord);
  SeekNearest(Cut(word, wordFieldSize_));
  SkipProperties(true);
  const bool atEnd = ds.Eof();
  const dataset::TBookmark start = atEnd ? dataset::TBookmark() : ds.GetBookmark();
  // Backwards from the row before the start, each new word put in front.
  bool walk = true;
  if (atEnd) {
    ds.Last();
  } else {
    ds.Prior();
    walk = !ds.Bof();
  }
  while (walk) {
    if (Size() != 0) {
      const std::string w = Word();
      if (list.empty() || list.front().first != w) {
        if (static_cast<int>(list.size()) >= before) break;
        list.insert(list.begin(), {w, 0});
      }
      list.front().second += Count();
    }
    ds.Prior();
    walk = !ds.Bof();
  }
  if (atEnd) return;
  try {
    ds.GotoBookmark(start);
  } catch (...) {
    // The start row went away meanwhile: start again at the nearest key.
    SeekNearest(Cut(word, wordFieldSize_));
  }
  // Forwards from the start row; the table stays where the walk stopped.
  const size_t ahead = list.size();
  for (; !ds.Eof(); ds.Next()) {
    if (Size() == 0) continue;
    const std::string w = Word();
    if (list.size() == ahead || list.back().first != w) {
      if (static_cast<int>(list.size() - ahead) >= after) break;
      list.emplace_back(w, 0);
    }
    list.back().second += Count();
  }
}

// ---- TtxCustomWordsFenLink ----

void TtxCustomWordsFenLink::SetFenTable(dataset::TFenTable* table) {
  table_ = table;
  SetDataSet(table);
}

std::string TtxCustomWordsFenLink::Parameter(int number) const {
  if (table_ == nullptr) RaiseTextIndex(txeInvalidWordsDataSet);
  switch (number) {
    case 0: return table_->DatabaseName();
    case 1: return table_->TableName();
    case 2: return table_->IndexName();
    case 3: return table_->IndexFieldNames();
    default: RaiseTextIndex(txeInvalidParameter);
  }
}

void TtxCustomWordsFenLink::SetParameter(int number, const std::string& value) {
  if (table_ == nullptr) RaiseTextIndex(txeInvalidWordsDataSet);
  switch (number) {
    case 0: table_->SetDatabaseName(value); break;
    case 1: table_->SetTableName(value); break;
    case 2: table_->SetIndexName(value); break;
    case 3: table_->SetIndexFieldNames(value); break;
    default: RaiseTextIndex(txeInvalidParameter);
  }
}

std::string TtxCustomWordsFenLink::PhraseFileName() {
  if (table_ == nullptr || table_->InMemory() || table_->Database() == nullptr || table_->TableName().empty())
    return std::string();
  // The engine's folder of the database: the database's own, or the one a path name gave.
  const engine::TDataDirectory* directory = table_->Database()->Handle();
  if (directory == nullptr || directory->Path().empty()) return std::string();
  const std::string folder = directory->Path();
  return phrase_format::SideFileName(platform::IncludeTrailingPathDelimiter(folder) + table_->TableName());
}

bool TtxCustomWordsFenLink::DataSetInTransaction() {
  return table_ != nullptr && table_->Database() != nullptr && table_->Database()->InTransaction();
}

void TtxCustomWordsFenLink::DataSetTransaction(int operation) { drivers_->Transaction(*table_, operation); }

void TtxCustomWordsFenLink::SeekNearest(const std::string& prefix) {
  if (table_->IndexFieldCount() == 0) {
    TtxWordsDataSetLink::SeekNearest(prefix);
    return;
  }
  table_->FindNearest({TVariant(prefix)});
}

bool TtxCustomWordsFenLink::FindPropertiesRow() {
  if (table_->IndexFieldCount() > 0 && dataset::SameName(table_->IndexFields(0).FieldName(), "txWord"))
    return table_->FindKey({TVariant(PropertiesKey())});
  return TtxWordsDataSetLink::FindPropertiesRow();
}

void TtxCustomWordsFenLink::ApplyIndex(const std::string& name, const std::string& fields) {
  if (!fields.empty()) table_->SetIndexFieldNames(fields);
  else table_->SetIndexName(name == "txWord" ? std::string() : name);
}

bool TtxCustomWordsFenLink::HasIndexOnFields(const std::string& fields) {
  table_->IndexDefs().SetUpdated(false);
  table_->UpdateIndexDefs();
  return table_->IndexDefs().GetIndexForFields(fields, false) != nullptr;
}

void TtxCustomWordsFenLink::AddIndex(const std::string& name, const std::string& fields, bool primary) {
  table_->AddIndex(name, fields, primary ? static_cast<dataset::TIndexOptions>(dataset::ixPrimary | dataset::ixUnique) : 0);
}

void TtxCustomWordsFenLink::DefineIndexes() {
  table_->IndexDefs().Add("txWord", keyFields_[kkWord], dataset::ixPrimary | dataset::ixUnique);
}

void TtxCustomWordsFenLink::DisableControls() {
  if (table_ != nullptr) table_->DisableControls();
}

void TtxCustomWordsFenLink::EnableControls() {
  if (table_ != nullptr && table_->ControlsDisabled()) table_->EnableControls();
}

}  // namespace tovenmarsh::fulltext
