// Build engine: document walk, per-document word marks, segment flushes and properties.
#include "fulltext/tx_make.h"

#include "fulltext/cl_errors.h"
#include "fulltext/match_bits.h"
#include "fulltext/message_pump.h"
#include "fulltext/phrase_writer.h"
#include "fulltext/tx_bits.h"
#include "fulltext/tx_links.h"
#include "fulltext/word_cache.h"

namespace tovenmarsh::fulltext {

TtxMake::TtxMake() { stateMask_ |= StateOf(esCollecting) | StateOf(esWriting); }

TtxMake::~TtxMake() = default;

void TtxMake::StartSignatures(TtxDocumentLink& text) {
  phrases_.reset();
  auto* words = dynamic_cast<TtxWordsRowLink*>(wordsLink_);
  if (words == nullptr) return;
  words->ReleasePhraseReader();
  phrases_ = TtxPhraseWriter::Create(words->PhraseFileName(), WordStreamFingerprint(), text.LowestIndex());
  // With word hooks the file is left unfinished: unread, like no file at all.
  if (phrases_ && PlainWordStream()) pairSink_ = &pairs_;
}

TtxCache& TtxMake::CacheRef() const {
  auto* cache = dynamic_cast<TtxCache*>(cache_);
  if (cache == nullptr) RaiseTextIndex(txeCacheNotAssigned);
  return *cache;
}

void TtxMake::Execute() {
  // Without a cache the build has nowhere to gather words, whatever the switch says.
  if (dynamic_cast<TtxCache*>(cache_) == nullptr) RaiseTextIndex(txeCacheNotAssigned);
  auto* text = dynamic_cast<TtxDocumentLink*>(textLink_);
  if (text == nullptr) RaiseTextIndex(txeTextLinkNotAssigned);
  if (dynamic_cast<TtxWordsRowLink*>(wordsLink_) == nullptr) RaiseTextIndex(txeWordsLinkNotAssigned);
  if (text->FieldNames().empty()) RaiseTextIndex(txeNoFieldNames);
  wordsLink_->SetSegmented(Segmented());
  processed_ = 0;
  haveIndexValue_ = false;
  state_ = 0;
  text->ForgetRange();
  SetState(StateOf(esBuilding));
  signaturesWhole_ = false;
  try {
    Run(*text);
  } catch (...) {
    phrases_.reset();  // unfinished: never read
    // The build's own failure is the one reported; leaving the state still runs in full.
    try {
      LeaveBuild();
    } catch (...) {
      // The build's failure is the one reported; the state is left whatever LeaveBuild answers.
    }
    throw;
  }
  struct Drop {
    TtxMake& engine;
    ~Drop() { engine.phrases_.reset(); }
  } drop{*this};
  LeaveBuild();
  // The signatures are written once the words table is closed: its syncs would otherwise wait
  // for their megabytes too (a sync of the folder writes out every file's pending data).
  if (signaturesWhole_) phrases_->Finish();
}

void TtxMake::LeaveBuild() {
  struct Final {
    TtxMake& engine;
    ~Final() {
      try {
        engine.SetState(0);
      } catch (...) {
        // Only does anything when a step below raised (a state set once stays set), and that
        // failure is the one reported.
      }
    }
  } final{*this};
  SetWorkBufferSize(0);
  SaveProperties();
  SetState(0);
}

void TtxMake::Run(TtxDocumentLink& linkRef) {
  TtxDocumentLink* text = &linkRef;
  SetState(static_cast<TEngineState>(state_ | StateOf(esCollecting)));
  TtxCache& cache = CacheRef();
  struct Unhook {
    TtxMake& engine;
    ~Unhook() {
      engine.pairSink_ = nullptr;
      engine.runCache_ = nullptr;
    }
  } unhook{*this};
  runCache_ = &cache;
  StartSignatures(*text);
  for (std::string word : omitList_) {
    UpperMap(word);
    try {
      cache.AddEntry(word, nullptr);
    } catch (const EClContainerError& e) {
      if (e.Code() != kClDuplicateNode) throw;
    }
  }
  bool have;
  if (Segmented() && firstSegment_ > 0)
    have = text->GotoNearest(static_cast<int32_t>(int64_t{text->LowestIndex()} + int64_t{firstSegment_} * segmentSize_));
  else
    have = text->First();
  if (have && !text->AtEnd()) SetIndexValue(text->CurrentIndexValue());
  while (have && !text->AtEnd() && !Aborted() && !(counterLimit_ > 0 && processed_ >= counterLimit_) &&
         segment_ <= lastSegment_) {
    ++processed_;
    documentMark_ = cache.Sequence();
    if (pairSink_ != nullptr) pairs_.Clear();
    text->ProcessDocument(*this);
    if (pairSink_ != nullptr) {
      pairs_.Make(signature_);
      phrases_->Put(lastIndexValue_, signature_);
    }
    have = text->Next();
    if (segment_ == lastSegment_ && have && !text->AtEnd()) SetIndexValue(text->CurrentIndexValue());
    ProcessMessages();
  }
  if (cache.Count() > 0) FlushBuild(true);
  signaturesWhole_ = pairSink_ != nullptr && !Aborted();
}

void TtxMake::SaveProperties() {
  if (wordsLink_ == nullptr) return;
  if (!wordsLink_->Params.Values("SaveProperties").empty()) {
    std::string save = wordsLink_->Params.Values("SaveProperties");
    UpperMap(save);
    if (save != "1" && save != "T" && save != "TRUE") return;
  }
  platform::TMemoryStream stream;
  WriteProperties(stream);
  stream.SetPosition(0);
  wordsLink_->WriteProperties(stream);
}

void TtxMake::ProcessWord(const std::string& word) {
  TtxCache& cache = runCache_ != nullptr ? *runCache_ : CacheRef();
  // The documents come in ascending order, so a word's bits are appended to its list; only a
  // document out of order goes through the raw bit set.
  const TtxCache::TAppendResult appended = cache.AppendBit(word, documentMark_, bitNumber_);
  if (appended == TtxCache::apSkipped) return;  // omit word, or already counted in this document
  if (appended == TtxCache::apNotList) {
    uint8_t* found = nullptr;
    uint8_t* record = nullptr;
    cache.GetRecord(word, found, true, documentMark_, record);
    if (record == nullptr) return;
    TtxBits& bits = *bits_;
    bits.ChangeBit(found, found != nullptr ? TtxCache::RecordBytes(found) : 0, record, cache.RecordSize(), true,
                   bitNumber_);
    bits.Set().Restore();
    if (found != nullptr && found != record) cache.Release(found);
  }
  cache.Trim(*this, false);
}

void TtxMake::PrefetchWord(std::string_view word, bool record) { runCache_->Prefetch(word, record); }

void TtxMake::SetSegment(int32_t segment) {
  if (segment != segment_ && (state_ & StateOf(esBuilding)) != 0) {
    auto* cache = dynamic_cast<TtxCache*>(cache_);
    if (cache != nullptr && cache->Count() > 0) FlushBuild(false);
  }
  TtxEngine::SetSegment(segment);
}

void TtxMake::FlushBuild(bool final) {
  TtxCache& cache = CacheRef();
  SetState(static_cast<TEngineState>((state_ & ~StateOf(esCollecting)) | StateOf(esWriting)));
  cache.Flush(true, true, CacheWriteNew, *this);
  SetState(static_cast<TEngineState>(state_ & ~StateOf(esWriting)));
  if (!final) SetState(static_cast<TEngineState>(state_ | StateOf(esCollecting)));
}

}  // namespace tovenmarsh::fulltext
