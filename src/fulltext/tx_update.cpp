// Update engine: per-document word marks and single-bit changes of word rows.
#include "fulltext/tx_update.h"

#include <cstring>

#include "fulltext/cl_errors.h"
#include "fulltext/match_bits.h"
#include "fulltext/phrase_writer.h"
#include "fulltext/tx_bits.h"
#include "fulltext/tx_links.h"
#include "fulltext/word_cache.h"

namespace tovenmarsh::fulltext {

TtxUpdate::TtxUpdate() = default;
TtxUpdate::~TtxUpdate() = default;

TtxCache* TtxUpdate::CacheOrNull() const { return dynamic_cast<TtxCache*>(cache_); }

TtxDocumentLink& TtxUpdate::Text() const {
  auto* link = dynamic_cast<TtxDocumentLink*>(textLink_);
  if (link == nullptr) RaiseTextIndex(txeTextLinkNotAssigned);
  return *link;
}

TtxWordsRowLink& TtxUpdate::Words() const {
  auto* link = dynamic_cast<TtxWordsRowLink*>(wordsLink_);
  if (link == nullptr) RaiseTextIndex(txeWordsLinkNotAssigned);
  return *link;
}

void TtxUpdate::SetDelayedWrites(bool on) {
  if (delayedWrites_ && !on) {
    SyncPhrases();
    if (TtxCache* cache = CacheOrNull()) cache->Flush(false, false, CacheWriteDirty, *this);
  }
  delayedWrites_ = on;
}

void TtxUpdate::Prepare() {
  Text();
  Words();
  if (propertiesFrom_ != wordsLink_) {  // see the search engines: read once per engine and link
    wordsLink_->SetPropertiesRead(false);
    propertiesFrom_ = wordsLink_;
  }
  if (!wordsLink_->PropertiesRead()) {
    ReadProperties();
    if (marks_.empty())
      for (std::string word : omitList_) {
        UpperMap(word);
        marks_.emplace(word, 0);
      }
  }
}

void TtxUpdate::CheckRange(int32_t value) {
  TtxDocumentLink& text = Text();
  if (value < text.LowestIndex()) RaiseTextIndex(txeDictionaryInvalidated);
  if (value > text.HighestIndex()) text.SetHighestIndex(value);
  // The sets must hold the document's bit. The range grows here, and reading the stored
  // properties makes the link forget (and re-read) its range after the sets were sized.
  const int64_t range = int64_t{text.HighestIndex()} - text.LowestIndex() + 1;
  const auto size = static_cast<int32_t>(range < segmentSize_ ? range : segmentSize_);
  if (bits_->Size() < size) {
    bits_->SetSize(size);
    SetWorkBufferSize(static_cast<size_t>(bits_->MaxPackedSize()));
    if (TtxCache* cache = CacheOrNull()) cache->SetRecordSize(static_cast<size_t>(bits_->RawSize()));
  }
}

void TtxUpdate::Run(TMode mode, bool checkRange) {
  Text();
  Words();
  const TEngineState before = state_;
  SetState(static_cast<TEngineState>(state_ | StateOf(esUpdating)));
  try {
    Prepare();
    TtxDocumentLink& text = Text();
    const int32_t value = text.CurrentIndexValue();
    if (checkRange) CheckRange(value);
    SetIndexValue(value);
    if (mode != umReplace || mode_ != umCollect) {
      mode_ = mode;
      ParseDocument();
    } else {
      // The replace after a collect: new words are set, old ones not found again cleared.
      mode_ = umReplace;
      ParseDocument();
      std::vector<std::string> gone;
      for (auto& [word, mark] : marks_)
        if (mark == 1) gone.push_back(word);
      for (const std::string& word : gone) {
        marks_.erase(word);
        ChangeWordBit(word, false);
      }
    }
  } catch (...) {
    try {
      SetState(before);
    } catch (...) {
      // The update's own failure is the one reported; the state is left all the same.
    }
    throw;
  }
  SetState(before);
}

void TtxUpdate::ParseWords() {
  if (mode_ != umReplace)
    for (auto it = marks_.begin(); it != marks_.end();) it = it->second != 0 ? marks_.erase(it) : std::next(it);
  Text().ProcessDocument(*this);
}

TtxPhraseWriter* TtxUpdate::Phrases() {
  const uint64_t fingerprint = WordStreamFingerprint();
  const std::string path = Words().PhraseFileName();
  if (!phrasesOpened_ || fingerprint != phrasesFingerprint_ || path != phrasesPath_) {
    SyncPhrases();
    phrases_ = TtxPhraseWriter::OpenForUpdate(path, fingerprint);
    // A file this engine cannot keep up to date would describe old versions of the documents.
    if (!phrases_) {
      Words().ReleasePhraseReader();
      TtxPhraseWriter::Remove(path);
    }
    phrasesOpened_ = true;
    phrasesFingerprint_ = fingerprint;
    phrasesPath_ = path;
  }
  return phrases_ && phrases_->Usable() ? phrases_.get() : nullptr;
}

void TtxUpdate::SyncPhrases() {
  if (phrases_) phrases_->Sync();
}

void TtxUpdate::ParseDocument() {
  TtxPhraseWriter* phrases = mode_ == umAdd || mode_ == umReplace ? Phrases() : nullptr;
  if (phrases == nullptr) {
    ParseWords();
    return;
  }
  const int32_t value = lastIndexValue_;
  const bool sign = PlainWordStream();
  // The words may be written (and committed) before the next sync: an old signature, which
  // could hide a phrase of the new text, is dropped for good first. A new document's record
  // needs no such care: lost in a crash, it leaves the document without a signature.
  if (phrases->Has(value)) {
    phrases->Put(value, {});
    phrases->Sync();
  }
  if (sign) {
    pairs_.Clear();
    pairSink_ = &pairs_;
  }
  try {
    ParseWords();
  } catch (...) {
    pairSink_ = nullptr;
    try {
      phrases->Put(value, {});  // the words may be half changed: no signature is safe
    } catch (...) {
      // The parse's own failure is the one reported.
    }
    throw;
  }
  pairSink_ = nullptr;
  if (sign) {
    pairs_.Make(signature_);
    phrases->Put(value, signature_);
  }
}

void TtxUpdate::UpdateCurrent() {
  Run(umAdd, true);
  if (AfterBatch) AfterBatch(*this);
}

void TtxUpdate::DeleteCurrent() { Run(umRemove, false); }

void TtxUpdate::CollectCurrent() { Run(umCollect, false); }

void TtxUpdate::ReplaceCurrent() {
  // Outside a collect the replace checks the range and parses in the current mode again.
  if (mode_ == umCollect) Run(umReplace, true);
  else Run(mode_, true);
}

void TtxUpdate::CheckRemoved() {
  if (textLink_ != nullptr && haveIndexValue_ && lastIndexValue_ == textLink_->LowestIndex())
    RaiseTextIndex(txeDictionaryInvalidated);
}

void TtxUpdate::Refresh() {
  if (wordsLink_ != nullptr) wordsLink_->SetPropertiesRead(false);
}

void TtxUpdate::FlushCache() {
  SyncPhrases();
  if (TtxCache* cache = CacheOrNull()) cache->Flush(false, true, CacheWriteDirtyRelease, *this);
}

void TtxUpdate::SetSegment(int32_t segment) {
  if (segment != segment_ && haveIndexValue_) FlushCache();
  TtxEngine::SetSegment(segment);
}

void TtxUpdate::ProcessWord(const std::string& word) {
  auto it = marks_.find(word);
  switch (mode_) {
    case umCollect:
      if (it == marks_.end()) marks_.emplace(word, 1);
      break;
    case umReplace:
      if (it == marks_.end()) {
        marks_.emplace(word, 2);
        ChangeWordBit(word, true);
      } else if (it->second == 1) {
        it->second = 2;
      }
      break;
    case umRemove:
    case umAdd:
      if (it == marks_.end()) {
        marks_.emplace(word, 2);
        ChangeWordBit(word, mode_ == umAdd);
      }
      break;
  }
}

void TtxUpdate::ChangeWordBit(const std::string& word, bool set) {
  TtxWordsRowLink& link = Words();
  TtxCache* cache = CacheOrNull();
  TtxBits& bits = *bits_;
  uint8_t* found = nullptr;
  size_t foundBytes = 0;
  uint8_t* record = nullptr;
  bool known = false;  // the cache knew the word
  bool rowKnown = false;
  if (cache != nullptr) {
    cache->Trim(*this, true);
    known = cache->GetRecord(word, found, true, TtxCache::kNoStampLimit, record);
    if (record == nullptr) return;  // omit word
    if (found != nullptr) foundBytes = TtxCache::RecordBytes(found);
  }
  if (!known) {
    if (link.Locate(word, segment_, false)) {
      const int32_t n = link.ReadBits(WorkBuffer(), WorkBufferSize());
      if (n < 0 || static_cast<size_t>(n) > WorkBufferSize() - 4) RaiseTextIndex(txeDecompressBufferTooSmall);
      found = WorkBuffer();
      foundBytes = static_cast<size_t>(n) + 4;
      rowKnown = true;
    } else if (!set) {
      if (cache != nullptr) cache->Remove(word);
      RaiseTextIndex(txeDictionaryInvalidated);
    }
  }
  const size_t rawCapacity = cache != nullptr ? cache->RecordSize() : 0;
  bits.ChangeBit(found, foundBytes, record, rawCapacity, set, bitNumber_);
  const int32_t count = record != nullptr ? GetRecordInt(record, kRecCountAt) : bits.Count();
  if (cache != nullptr) bits.Set().Restore();
  if (cache != nullptr && found != nullptr && found != record && found != WorkBuffer()) cache->Release(found);
  if (count == 0) {
    if (cache != nullptr) cache->Remove(word);
    if (rowKnown || link.Locate(word, segment_, false)) link.Delete();
    return;
  }
  if (cache != nullptr && delayedWrites_) {
    TtxCache::MarkDirty(record, true);
    return;
  }
  const int32_t size = record != nullptr
                           ? bits.Pack(record, TtxCache::RecordBytes(record), WorkBuffer(), WorkBufferSize())
                           : bits.Pack(nullptr, 0, WorkBuffer(), WorkBufferSize());
  if (rowKnown || link.Locate(word, segment_, false)) {
    link.Edit();
  } else {
    link.Insert();
    link.SetLike(LikeKey(word));
    link.SetSegment(segment_);
    link.SetWord(word);
  }
  link.WriteBits(WorkBuffer(), static_cast<size_t>(size));
  link.Post();
  if (record != nullptr) TtxCache::MarkDirty(record, false);
}

}  // namespace tovenmarsh::fulltext
