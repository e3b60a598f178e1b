// TtxEngine: the common engine of the full-text family (build, update and search engines
// derive from it). It owns no data: it is wired to a text link, a words link, a bit-set object
// (its own) and optionally a cache, drives them through the engine state, parses text into
// words, and reads and writes the index's stored properties.
//
// Property rules: MinWordLen <= 0 is ignored; SegmentSize <= 0 or above 2147483632 means
// unsegmented (2147483647), other values are rounded up to a multiple of 16; Ansi is writable
// only on the build engine ("ReadOnly property" elsewhere); the build engine takes at most 500
// omit words. Stored properties are assigned directly, whatever the engine.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fulltext/pair_signature.h"
#include "fulltext/tx_base.h"
#include "fulltext/tx_properties.h"
#include "fulltext/tx_utils.h"

namespace tovenmarsh::fulltext {

class TtxBits;

// The engine's default delimiters in caret notation (40 characters, 36 once decoded).
extern const char* const kDefaultWordDelims;

class TtxEngine : public TtxBase {
 public:
  static constexpr int32_t kUnsegmented = 2147483647;
  static constexpr int32_t kLargestSegmentSize = 2147483632;
  static constexpr size_t kMaxBuildOmitWords = 500;

  using TAcceptWordEvent = std::function<void(TtxEngine&, const std::string& word, bool& accept)>;
  using TParseWordEvent = std::function<void(TtxEngine&, const char*& position, size_t& remaining,
                                             std::string& word, bool wildcards)>;
  using TStateChangeEvent = std::function<void(TtxEngine&, TEngineState newState)>;

  TtxEngine();
  ~TtxEngine() override;

  // Wiring (the engine never owns these).
  TtxTextLink* TextLink() const { return textLink_; }
  void SetTextLink(TtxTextLink* link) { textLink_ = link; }
  TtxWordsLink* WordsLink() const { return wordsLink_; }
  void SetWordsLink(TtxWordsLink* link) { wordsLink_ = link; }
  TtxBaseCache* Cache() const { return cache_; }
  void SetCache(TtxBaseCache* cache) { cache_ = cache; }
  TtxBits& Bits() const { return *bits_; }

  // The build engine answers true (it alone may change Ansi and stores the properties).
  virtual bool IsBuildEngine() const { return false; }

  std::string WordDelims() const;
  void SetWordDelims(std::string_view caretText);  // empty: the default list
  const TDelimSet& Delimiters() const { return delimiters_; }
  int32_t MinWordLen() const { return minWordLen_; }
  void SetMinWordLen(int32_t value);
  int32_t SegmentSize() const { return segmentSize_; }
  void SetSegmentSize(int32_t value);
  bool Segmented() const { return segmentSize_ != kUnsegmented; }
  bool Ansi() const { return ansi_; }
  void SetAnsi(bool value);
  const std::vector<std::string>& OmitList() const { return omitList_; }
  void SetOmitList(std::vector<std::string> words);
  bool PairFlag() const { return pairFlag_; }
  // False once the current document needs none of its further words: the text links then stop
  // parsing and reading it.
  virtual bool WantsWords() const { return true; }
  int32_t StoredVersion() const { return storedVersion_; }

  TAcceptWordEvent OnAcceptWord;
  TParseWordEvent OnParseWord;
  TStateChangeEvent OnStateChange;

  // State.
  TEngineState State() const { return state_; }
  void SetState(TEngineState newState);
  void Abort() { state_ = static_cast<TEngineState>(state_ | StateOf(esAborted)); }
  bool Aborted() const { return (state_ & StateOf(esAborted)) != 0; }

  // Document position: segment and bit number of an index value (30480 for a negative bit).
  void SetIndexValue(int32_t value);
  int32_t CurrentSegment() const { return segment_; }
  int32_t BitNumber() const { return bitNumber_; }
  int32_t LastIndexValue() const { return lastIndexValue_; }

  // Parsing.
  void ParseText(char* buffer, size_t length);  // case-maps the buffer in place, as far as parsed
  void ParseString(std::string_view text);
  void AddWord(std::string word, bool mapCase);
  // A word already case-mapped, cut to keySize (the words table's key size) here.
  void AddMappedWord(std::string& word, size_t keySize);
  void StartField() {
    previousWord_.clear();
    if (pairSink_ != nullptr) pairSink_->FieldBreak();
  }
  bool AcceptWord(const std::string& word);
  std::string MakePairKey(const std::string& previous, const std::string& current) const;
  // What decides the words a document gives and their order (delimiters, shortest word, word
  // size, pair keys, fields): pair signatures are only trusted by engines of the same value.
  uint64_t WordStreamFingerprint() const;
  // Whether this engine meets a document's words as any other engine without hooks does (no
  // word hooks, no pair keys between them): only then do pair signatures describe them.
  bool PlainWordStream() const { return !OnAcceptWord && !OnParseWord && !pairFlag_; }

  void Reset() override;

  // Stored properties: the current settings, and applying read ones.
  TStoredProperties StoredProperties() const;
  void ApplyStoredProperties(const TStoredProperties& properties);
  void WriteProperties(platform::TStream& stream) const;
  // An empty stream changes nothing.
  void ReadProperties(platform::TStream& stream);

 protected:
  // What the engine does with one accepted word.
  virtual void ProcessWord(const std::string& /*word*/) {}
  // Whether ParseText parses ahead and announces the words it will hand to ProcessWord soon:
  // first (record false) some words ahead, again (record true) when the word is nearer. Only a
  // hint: an announced word may never come (a hook refuses it, the key size cuts it).
  virtual bool PrefetchesWords() const { return false; }
  virtual void PrefetchWord(std::string_view /*word*/, bool /*record*/) {}
  virtual void SetSegment(int32_t segment) { segment_ = segment; }
  virtual void SetBitNumber(int32_t bit) { bitNumber_ = bit; }

  TtxTextLink* textLink_ = nullptr;
  TtxWordsLink* wordsLink_ = nullptr;
  TtxBaseCache* cache_ = nullptr;
  std::unique_ptr<TtxBits> bits_;

  std::string wordDelims_;  // decoded
  TDelimSet delimiters_;
  int32_t minWordLen_ = 1;
  int32_t segmentSize_ = kUnsegmented;
  bool ansi_ = true;
  std::vector<std::string> omitList_;
  int32_t segment_ = 0;
  int32_t bitNumber_ = 0;
  int32_t lastIndexValue_ = INT32_MIN;
  bool haveIndexValue_ = false;
  TEngineState state_ = 0;
  std::string previousWord_;
  // Hears every word the engine processes (the build and update engines' pair signatures).
  TPairSignature* pairSink_ = nullptr;
  bool pairFlag_ = false;
  int32_t storedVersion_ = 0;
};

// Base of the update and search engines: engines that read the stored properties.
class TtxReadEngine : public TtxEngine {
 public:
  // Reads the stored properties through the words link, once per opened words table; nothing
  // happens without both links.
  void ReadProperties();
  using TtxEngine::ReadProperties;
  // The current words-table row's bits into the bit-set object (all rows of the word when
  // segmented).
  void ReadWordBits();
};

}  // namespace tovenmarsh::fulltext
