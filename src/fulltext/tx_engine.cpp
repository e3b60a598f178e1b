// TtxEngine: properties, state broadcast, word parsing and stored properties.
#include "fulltext/tx_engine.h"

#include "fulltext/cl_errors.h"
#include "fulltext/tx_bits.h"

namespace tovenmarsh::fulltext {

const char* const kDefaultWordDelims = " ,.;:?![]{}()<>/+-*=\\|_&#%$@^^~`\"'^M^J^I";

TtxEngine::TtxEngine() : bits_(std::make_unique<TtxBits>()) { SetWordDelims({}); }

TtxEngine::~TtxEngine() = default;

std::string TtxEngine::WordDelims() const { return EncodeCaretString(wordDelims_); }

void TtxEngine::SetWordDelims(std::string_view caretText) {
  wordDelims_ = DecodeCaretString(caretText.empty() ? std::string_view(kDefaultWordDelims) : caretText);
  delimiters_.reset();
  if (wordDelims_.find("<<<") != std::string::npos)
    for (int c = 0; c < 32; ++c) delimiters_.set(static_cast<size_t>(c));
  if (wordDelims_.find(">>>") != std::string::npos)
    for (int c = 128; c < 256; ++c) delimiters_.set(static_cast<size_t>(c));
  for (char c : wordDelims_) delimiters_.set(static_cast<uint8_t>(c));
}

void TtxEngine::SetMinWordLen(int32_t value) {
  if (value > 0) minWordLen_ = value;
}

void TtxEngine::SetSegmentSize(int32_t value) {
  if (value <= 0 || value > kLargestSegmentSize) {
    segmentSize_ = kUnsegmented;
  } else {
    segmentSize_ = static_cast<int32_t>(RoundUp16(value));
  }
}

void TtxEngine::SetAnsi(bool value) {
  if (!IsBuildEngine()) RaiseTextIndex(txeReadOnlyProperty);
  ansi_ = value;
}

void TtxEngine::SetOmitList(std::vector<std::string> words) {
  if (IsBuildEngine() && words.size() > kMaxBuildOmitWords) RaiseTextIndex(txeTooManyOmitWords);
  omitList_ = std::move(words);
}

void TtxEngine::SetState(TEngineState newState) {
  if (newState == state_) return;
  struct Commit {  // the state becomes the new one even when a part raised
    TtxEngine& engine;
    TEngineState value;
    ~Commit() { engine.state_ = value; }
  } commit{*this, newState};
  const auto entering = static_cast<TEngineState>(newState & ~state_ & stateMask_);
  const auto leaving = static_cast<TEngineState>(state_ & ~newState & stateMask_);
  TtxBase* enterOrder[] = {wordsLink_, textLink_, bits_.get(), cache_};
  TtxBase* leaveOrder[] = {cache_, bits_.get(), wordsLink_, textLink_};
  for (int bit = 0; bit <= kHighestStateBit; ++bit) {
    if ((entering & StateOf(bit)) == 0) continue;
    for (TtxBase* part : enterOrder) {
      if (part == nullptr || !part->ReactsTo(bit)) continue;
      // The engine's own bit set is sized from the engine's wiring; the wired parts react.
      if (part == bits_.get())
        bits_->EnterState(bit, textLink_, segmentSize_);
      else
        part->StateEntered(*this, bit);
    }
  }
  if (entering != 0) SetWorkBufferSize(static_cast<size_t>(bits_->MaxPackedSize()));
  for (int bit = 0; bit <= kHighestStateBit; ++bit) {
    if ((leaving & StateOf(bit)) == 0) continue;
    for (TtxBase* part : leaveOrder) {
      if (part == nullptr || !part->ReactsTo(bit)) continue;
      if (part == bits_.get())
        bits_->LeaveState(bit, textLink_);
      else
        part->StateLeft(*this, bit);
    }
  }
  if (OnStateChange) OnStateChange(*this, newState);
}

void TtxEngine::SetIndexValue(int32_t value) {
  if (haveIndexValue_ && value == lastIndexValue_) return;
  const int64_t lowest = textLink_ != nullptr ? textLink_->LowestIndex() : 0;
  const int64_t offset = int64_t{value} - lowest;
  const int64_t segment = offset / segmentSize_;
  const int64_t bit = offset - segment * segmentSize_;
  // A value a whole segment below the lowest gives bit 0 of segment -1: refuse it as well.
  if (bit < 0 || segment < 0) RaiseTextIndex(txeInvalidParameter);
  lastIndexValue_ = value;
  haveIndexValue_ = true;
  SetSegment(static_cast<int32_t>(segment));
  SetBitNumber(static_cast<int32_t>(bit));
}

bool TtxEngine::AcceptWord(const std::string& word) {
  bool accept = true;
  if (OnAcceptWord) OnAcceptWord(*this, word, accept);
  return accept;
}

void TtxEngine::ParseText(char* buffer, size_t length) {
  if (OnParseWord) {
    UpperMap(buffer, length);
    const char* position = buffer;
    size_t remaining = length;
    while (remaining > 0 && !Aborted() && WantsWords()) {
      std::string word;
      const size_t before = remaining;
      OnParseWord(*this, position, remaining, word, false);
      if (remaining >= before) {  // a handler that makes no progress would loop for ever
        if (!word.empty()) AddWord(std::move(word), false);
        break;
      }
      if (!word.empty()) AddWord(std::move(word), false);
    }
    return;
  }
  // The bytes are case-mapped as the scan meets them: a verification that stops at its match
  // maps none of the rest. One word buffer serves the whole text.
  const uint8_t* upper = UpperTable();
  const auto keySize = static_cast<size_t>(wordsLink_ != nullptr && wordsLink_->KeyFieldSize() > 0 ? wordsLink_->KeyFieldSize() : 0);
  std::string word;
  size_t i = 0;
  // The next word's bounds from i on (false at the end).
  auto next = [&](size_t& start, size_t& end) {
    for (; i < length; ++i) {
      buffer[i] = static_cast<char>(upper[static_cast<uint8_t>(buffer[i])]);
      if (!delimiters_[static_cast<uint8_t>(buffer[i])]) break;
    }
    start = i;
    for (; i < length; ++i) {
      buffer[i] = static_cast<char>(upper[static_cast<uint8_t>(buffer[i])]);
      if (delimiters_[static_cast<uint8_t>(buffer[i])]) break;
    }
    end = i;
    return end != start;
  };
  if (!PrefetchesWords()) {
    size_t start = 0, end = 0;
    while (i < length && !Aborted() && WantsWords()) {
      if (!next(start, end)) break;
      word.assign(buffer + start, std::min(end - start, kMaxParsedWordLength));
      AddMappedWord(word, keySize);
    }
    return;
  }
  // A build looks every word up in a cache far larger than the processor's: the parse runs a
  // few words ahead and announces them, so their lookups overlap instead of waiting in turn.
  // The words are still handled one by one, in order, exactly as above.
  constexpr size_t kAhead = 16;
  struct TSpan {
    size_t start, end;
  };
  TSpan ahead[kAhead];
  size_t queued = 0, taken = 0;
  bool more = true;
  auto view = [&](const TSpan& span) {
    return std::string_view(buffer + span.start, std::min(span.end - span.start, kMaxParsedWordLength));
  };
  while (!Aborted() && WantsWords()) {
    while (more && queued - taken < kAhead) {
      TSpan& span = ahead[queued % kAhead];
      if (!next(span.start, span.end)) {
        more = false;
        break;
      }
      PrefetchWord(view(span), false);
      ++queued;
    }
    if (taken == queued) break;
    if (taken + kAhead / 2 < queued) PrefetchWord(view(ahead[(taken + kAhead / 2) % kAhead]), true);
    const TSpan span = ahead[taken++ % kAhead];
    word.assign(buffer + span.start, std::min(span.end - span.start, kMaxParsedWordLength));
    AddMappedWord(word, keySize);
  }
}

void TtxEngine::ParseString(std::string_view text) {
  std::string copy(text);
  ParseText(copy.data(), copy.size());
}

void TtxEngine::AddWord(std::string word, bool mapCase) {
  if (Aborted() || wordsLink_ == nullptr) return;
  if (mapCase) UpperMap(word);
  AddMappedWord(word, static_cast<size_t>(wordsLink_->KeyFieldSize() > 0 ? wordsLink_->KeyFieldSize() : 0));
}

void TtxEngine::AddMappedWord(std::string& word, size_t keySize) {
  if (Aborted() || wordsLink_ == nullptr) return;
  if (word.size() > keySize) word.resize(keySize);
  if (static_cast<int64_t>(word.size()) >= minWordLen_ && AcceptWord(word)) {
    ProcessWord(word);
    if (pairSink_ != nullptr) pairSink_->Word(word);
  }
  if (pairFlag_) {
    if (!previousWord_.empty()) ProcessWord(MakePairKey(previousWord_, word));
    previousWord_ = word;
  }
}

std::string TtxEngine::MakePairKey(const std::string& previous, const std::string& current) const {
  const int64_t size = wordsLink_ != nullptr ? wordsLink_->KeyFieldSize() : 20;
  std::string a = previous, b = current;
  if (size < static_cast<int64_t>(a.size() + b.size()) + 2) {
    const int64_t cut = size / 2 - 1 > 0 ? size / 2 - 1 : 0;
    if (static_cast<int64_t>(a.size()) > cut) a.resize(static_cast<size_t>(cut));
    if (static_cast<int64_t>(b.size()) > cut) b.resize(static_cast<size_t>(cut));
  }
  return "." + a + b + ".";
}

uint64_t TtxEngine::WordStreamFingerprint() const {
  std::string key = "pairs";
  key += std::to_string(TPairSignature::kBitsPerPair) + "/" + std::to_string(TPairSignature::kProbes);
  for (size_t c = 0; c < delimiters_.size(); ++c) key += delimiters_[c] ? '1' : '0';
  key += "/" + std::to_string(minWordLen_);
  key += "/" + std::to_string(wordsLink_ != nullptr ? wordsLink_->KeyFieldSize() : -1);
  key += pairFlag_ ? "/P" : "/-";
  if (textLink_ != nullptr) {
    for (std::string name : textLink_->FieldNames()) {
      UpperMap(name);
      key += "/" + name;
    }
    std::string index = textLink_->IndexFieldName();
    UpperMap(index);
    key += "//" + index;
  }
  return SignatureWordHash(key);
}

void TtxEngine::Reset() {
  bits_->Reset();
  if (cache_ != nullptr) cache_->Reset();
  if (textLink_ != nullptr) textLink_->Reset();
  if (wordsLink_ != nullptr) wordsLink_->Reset();
}

TStoredProperties TtxEngine::StoredProperties() const {
  TStoredProperties p;
  if (textLink_ != nullptr) {
    p.fieldNames = textLink_->FieldNames();
    p.indexFieldName = textLink_->IndexFieldName();
  }
  p.minWordLen = minWordLen_;
  for (std::string word : omitList_) {
    UpperMap(word);
    p.omitWords.push_back(std::move(word));
  }
  p.segmentSize = Segmented() ? segmentSize_ : 0;
  p.wordDelims = WordDelims();
  p.ansi = ansi_;
  p.pairFlag = pairFlag_;
  p.hasPairFlag = true;
  return p;
}

void TtxEngine::ApplyStoredProperties(const TStoredProperties& p) {
  storedVersion_ = p.version;
  if (textLink_ != nullptr) {
    textLink_->SetFieldNames(p.fieldNames);
    textLink_->SetIndexFieldName(p.indexFieldName);
  }
  SetMinWordLen(p.minWordLen);
  omitList_ = p.omitWords;  // stored values are assigned directly, whatever the engine
  SetSegmentSize(p.segmentSize);
  SetWordDelims(p.wordDelims);
  ansi_ = p.ansi;
  if (p.hasPairFlag) pairFlag_ = p.pairFlag;
}

void TtxEngine::WriteProperties(platform::TStream& stream) const {
  WriteStoredProperties(stream, StoredProperties());
}

void TtxEngine::ReadProperties(platform::TStream& stream) {
  if (auto p = ReadStoredProperties(stream)) ApplyStoredProperties(*p);
}

void TtxReadEngine::ReadProperties() {
  if (textLink_ == nullptr || wordsLink_ == nullptr || wordsLink_->PropertiesRead()) return;
  platform::TMemoryStream stream;
  wordsLink_->ReadProperties(stream);
  wordsLink_->SetPropertiesRead(true);
  stream.SetPosition(0);
  TtxEngine::ReadProperties(stream);
}

void TtxReadEngine::ReadWordBits() {
  if (wordsLink_ == nullptr) RaiseTextIndex(txeWordsLinkNotAssigned);
  TtxBits& bits = *bits_;
  SetWorkBufferSize(static_cast<size_t>(bits.MaxPackedSize()));
  // The bytes the link says it read, checked against the buffer before anything reads them.
  auto readBits = [this]() -> size_t {
    const int32_t n = wordsLink_->ReadBits(WorkBuffer(), WorkBufferSize());
    if (n < 0) RaiseTextIndex(txeInconsistentBlobSize);
    if (static_cast<size_t>(n) > WorkBufferSize() - 4) RaiseTextIndex(txeDecompressBufferTooSmall);
    return static_cast<size_t>(n) + 4;
  };
  if (!wordsLink_->Segmented()) {
    bits.Unpack(WorkBuffer(), readBits(), 0, 0);
    return;
  }
  bits.Clear();
  const std::string word = wordsLink_->Word();
  do {
    bits.Unpack(WorkBuffer(), readBits(), wordsLink_->Segment(), segmentSize_);
  } while (wordsLink_->Next() && wordsLink_->Word() == word);
}

}  // namespace tovenmarsh::fulltext
