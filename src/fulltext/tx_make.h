// TtxMake: the build engine. Execute walks every document of the text link and writes a new
// words table: words are gathered in the cache (one bit per document), the cache is written
// when the build ends or the segment changes, and the stored properties are written last.
// Needs a documents link (TtxDocumentLink) and a row-level words link (TtxWordsRowLink).
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fulltext/pair_signature.h"
#include "fulltext/tx_engine.h"

namespace tovenmarsh::fulltext {

class TtxCache;
class TtxDocumentLink;
class TtxPhraseWriter;

class TtxMake : public TtxEngine {
 public:
  TtxMake();
  ~TtxMake() override;
  bool IsBuildEngine() const override { return true; }

  int32_t FirstSegment() const { return firstSegment_; }
  void SetFirstSegment(int32_t value) {
    if (value >= 0 && value <= lastSegment_) firstSegment_ = value;
  }
  int32_t LastSegment() const { return lastSegment_; }
  void SetLastSegment(int32_t value) {
    if (value >= firstSegment_) lastSegment_ = value;
  }
  int32_t CounterLimit() const { return counterLimit_; }
  void SetCounterLimit(int32_t value) { counterLimit_ = value < 0 ? 0 : value; }
  int32_t Processed() const { return processed_; }

  void Execute();
  void SaveProperties();

 protected:
  void ProcessWord(const std::string& word) override;
  bool PrefetchesWords() const override { return runCache_ != nullptr; }
  void PrefetchWord(std::string_view word, bool record) override;
  void SetSegment(int32_t segment) override;

 private:
  TtxCache& CacheRef() const;
  void FlushBuild(bool final);
  void Run(TtxDocumentLink& text);
  void LeaveBuild();
  // A new pair-signature file beside the words table (an unfinished one stays unread).
  void StartSignatures(TtxDocumentLink& text);

  int32_t firstSegment_ = 0;
  int32_t lastSegment_ = 32767;
  int32_t counterLimit_ = 0;
  int32_t processed_ = 0;
  int64_t documentMark_ = 0;
  TPairSignature pairs_;
  std::vector<uint8_t> signature_;
  std::unique_ptr<TtxPhraseWriter> phrases_;
  bool signaturesWhole_ = false;  // every document of the build has its signature
  TtxCache* runCache_ = nullptr;  // the cache while Run walks the documents: no cast per word
};

}  // namespace tovenmarsh::fulltext
