// Word, mode, wildcard, like, phrase and proximity searches.
#include "fulltext/tx_search.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "fulltext/cl_errors.h"
#include "fulltext/pair_signature.h"
#include "fulltext/phrase_reader.h"
#include "fulltext/tx_bits.h"
#include "fulltext/wild_matcher.h"
#include "fulltext/word_cache.h"
#include "platform/tick.h"

namespace tovenmarsh::fulltext {
namespace {

bool IsAndLike(TSearchLogic logic) {
  return logic == slAnd || logic == slPhrase || logic == slNear || logic == slLike;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TtxBasicSearch::TtxBasicSearch() : TickSource([] { return platform::GetTickCount64(); }) {
  stateMask_ |= StateOf(esVerifying) | StateOf(esRanking) | StateOf(esState9);
}

TtxBasicSearch::~TtxBasicSearch() = default;

TtxDocumentLink& TtxBasicSearch::Text() const {
  auto* link = dynamic_cast<TtxDocumentLink*>(textLink_);
  if (link == nullptr) RaiseTextIndex(txeTextLinkNotAssigned);
  return *link;
}

TtxWordsRowLink& TtxBasicSearch::Words() const {
  auto* link = dynamic_cast<TtxWordsRowLink*>(wordsLink_);
  if (link == nullptr) RaiseTextIndex(txeWordsLinkNotAssigned);
  return *link;
}

TtxCache* TtxBasicSearch::CacheOrNull() const { return dynamic_cast<TtxCache*>(cache_); }

TClBits& TtxBasicSearch::WordSet() { return bits_->Set(); }

void TtxBasicSearch::GetIndexValues(std::vector<int32_t>& list) const {
  list.clear();
  if (!result_ || textLink_ == nullptr) return;
  const int64_t lowest = textLink_->LowestIndex();
  for (int32_t bit = result_->FindFirstSet(); bit >= 0; bit = result_->FindNextSet(bit))
    list.push_back(static_cast<int32_t>(lowest + bit));
}

void TtxBasicSearch::Execute() {
  Text();
  Words();
  logic_ = SearchLogic;
  SetState(StateOf(esSearching));
  try {
    Prepare();
    SearchText(SearchFor);
  } catch (...) {
    try {
      Finish();
      SetState(0);
    } catch (...) {
      // The search's own failure is the one reported; the state is left all the same.
    }
    throw;
  }
  Finish();
  SetState(0);
}

void TtxBasicSearch::SetAll(bool set) {
  if (set) result_->SetAll(); else result_->ClearAll();
}

void TtxBasicSearch::Prepare() {
  TtxDocumentLink& text = Text();
  Words();
  // The link remembers that the properties were read, not by whom: an engine that has not
  // read them from this link yet reads them again.
  if (propertiesFrom_ != wordsLink_) {
    wordsLink_->SetPropertiesRead(false);
    propertiesFrom_ = wordsLink_;
  }
  ReadProperties();
  start_ = TickSource ? TickSource() : 0;
  searchDelims_ = delimiters_;
  searchDelims_.reset(static_cast<uint8_t>(AnyChar));
  searchDelims_.reset(static_cast<uint8_t>(OneChar));
  const int64_t range = int64_t{text.HighestIndex()} - text.LowestIndex() + 1;
  const int32_t size = range < 1 ? 1 : (range > INT32_MAX ? INT32_MAX : static_cast<int32_t>(range));
  // The word sets are read at the result's size, whatever the properties changed meanwhile.
  bits_->SetSize(size);
  SetWorkBufferSize(static_cast<size_t>(bits_->MaxPackedSize()));
  if (TtxCache* cache = CacheOrNull()) cache->SetRecordSize(static_cast<size_t>(bits_->RawSize()));
  if (!result_) result_ = std::make_unique<TtaBits>(size - 1);
  else if (result_->Max() != size - 1) result_->Resize(size - 1);
  ResetResult(logic_);
}

void TtxBasicSearch::ResetResult(TSearchLogic logic) {
  kept_.reset();
  const bool clear = logic == slOr || logic == slNot;
  switch (SearchMode) {
    case smSearch:
      searched_.clear();
      notFound_.clear();
      ordinal_ = 0;
      SetAll(!clear);
      break;
    case smNarrow:
      if (!IsAndLike(logic)) {
        kept_ = std::make_unique<TtaBits>(result_->Max());
        kept_->CopyFrom(result_.get());
        if (clear) result_->ClearAll();
      }
      break;
    case smWiden:
      kept_ = std::make_unique<TtaBits>(result_->Max());
      kept_->CopyFrom(result_.get());
      SetAll(!clear);
      break;
  }
}

void TtxBasicSearch::Finish() {
  if (kept_ && result_) {
    if (SearchMode == smWiden) result_->OrWith(kept_.get());
    else if (SearchMode == smNarrow) result_->AndWith(kept_.get());
  }
  kept_.reset();
  bits_->Set().Restore();
  if (TtxCache* cache = CacheOrNull()) cache->Trim(*this, true);
  elapsed_ = (TickSource ? TickSource() : 0) - start_;
}

void TtxBasicSearch::CheckTime() {
  if (TimeLimit <= 0 || !TickSource) return;
  if (TickSource() - start_ > static_cast<uint64_t>(TimeLimit)) {
    if (OnTimeout) OnTimeout(*this); else Abort();
  }
}

void TtxBasicSearch::SearchText(const std::string& input) {
  if (input.empty()) {
    result_->ClearAll();
    return;
  }
  std::string text = input;
  UpperMap(text);
  searchedCount_ = skippedCount_ = 0;
  const char* position = text.data();
  size_t remaining = text.size();
  while (remaining > 0 && !Aborted()) {
    std::string word;
    if (OnParseWord) {
      const size_t before = remaining;
      OnParseWord(*this, position, remaining, word, true);
      if (remaining >= before) remaining = 0;  // no progress: stop rather than loop
    } else {
      word = NextWord(position, remaining, kMaxParsedWordLength, searchDelims_);
      if (word.empty()) break;
    }
    if (!word.empty()) SearchWord(std::move(word));
  }
  if (logic_ == slNot) result_->Invert();
  if (searchedCount_ == 0 && logic_ != slNot) result_->ClearAll();
  Verify(input);
}

bool TtxBasicSearch::SkipWord(const std::string& word) const {
  if (logic_ == slLike) return false;
  if (static_cast<int64_t>(word.size()) < minWordLen_ && word.find(AnyChar) == std::string::npos) return true;
  for (std::string omit : omitList_) {
    UpperMap(omit);
    if (omit == word) return true;
  }
  return false;
}

void TtxBasicSearch::SearchWord(std::string word) {
  ++ordinal_;
  if (OnPreviewWord) OnPreviewWord(*this, word);
  const auto size = static_cast<size_t>(Words().KeyFieldSize() > 0 ? Words().KeyFieldSize() : 0);
  if (word.size() > size) word.resize(size);
  if (word.empty() || SkipWord(word)) {
    ++skippedCount_;
    return;
  }
  ++searchedCount_;
  if (logic_ == slLike) LikeSearch(word);
  else if (word.find(AnyChar) != std::string::npos || word.find(OneChar) != std::string::npos || International)
    WildSearch(word, kkWord);
  else
    FindWord(word);
}

void TtxBasicSearch::Combine(const TtaBits& set) {
  if (IsAndLike(logic_)) result_->AndWith(&set);
  else if (logic_ == slOr || logic_ == slNot) result_->OrWith(&set);
}

void TtxBasicSearch::RecordSearched(const std::string& word, int32_t count) {
  if (pairFlag_ && !word.empty() && word[0] == '.') return;
  auto it = searched_.find(word);
  if (it != searched_.end()) {
    it->second.ordinal = ordinal_;
    it->second.hasRecord = true;
  } else {
    searched_.emplace(word, TSearchedWord{ordinal_, 0, count, true});
  }
}

void TtxBasicSearch::FindWord(const std::string& word) {
  TtxWordsRowLink& link = Words();
  TtxBits& bits = *bits_;
  TtxCache* cache = CacheOrNull();
  bool have = false;
  if (cache != nullptr) {
    uint8_t* found = nullptr;
    uint8_t* record = nullptr;
    cache->GetRecord(word, found, false, TtxCache::kNoStampLimit, record);
    if (record != nullptr) {
      bits.Set().Restore();
      if (found != nullptr && found != record) {
        bits.Set().Load(found, TtxCache::RecordBytes(found));
        bits.ToRaw(record, cache->RecordSize());
        cache->Release(found);
      } else {
        bits.Set().Load(record, TtxCache::RecordBytes(record));
      }
      have = true;
    }
  }
  if (!have) {
    if (!link.Locate(word, -1, false)) {
      if (IsAndLike(logic_)) result_->ClearAll();
      notFound_.push_back(word);
      return;
    }
    ReadWordBits();
    bits.Set().Restore();
    if (cache != nullptr) {
      uint8_t* found = nullptr;
      uint8_t* record = nullptr;
      cache->GetRecord(word, found, true, TtxCache::kNoStampLimit, record);
      if (found != nullptr && found != record) cache->Release(found);
      if (record != nullptr) {
        bits.ToRaw(record, cache->RecordSize());
        TtxCache::MarkDirty(record, false);
      }
    }
  }
  bits.Set().Restore();
  RecordSearched(word, bits.Set().Count());
  Combine(bits.Set());
}

void TtxBasicSearch::LikeSearch(const std::string& word) {
  TtxWordsRowLink& link = Words();
  link.SelectKey(kkLike);
  try {
    WildSearch(LikeKey(word), kkLike);
  } catch (...) {
    try {
      link.SelectKey(kkWord);
    } catch (...) {
      // The search's own failure is the one reported; the next search selects its key anew.
    }
    throw;
  }
  link.SelectKey(kkWord);
}

void TtxBasicSearch::WildSearch(std::string pattern, int keyKind) {
  TtxWordsRowLink& link = Words();
  if (International) FoldMap(pattern);
  const std::string wild{AnyChar, OneChar};
  std::string prefix = PrefixBefore(pattern, wild);
  std::string tail = PrefixBefore(Reversed(pattern), wild);
  const bool hasWild = pattern.find_first_of(wild) != std::string::npos;
  const bool useReverse = keyKind == kkWord && prefix.empty() && !tail.empty() && link.HasReverse();
  if (useReverse) link.SelectKey(kkReverse);
  struct Restore {
    TtxWordsRowLink& link;
    bool active;
    ~Restore() {
      if (!active) return;
      try {
        link.SelectKey(kkWord);
      } catch (...) {
        // A destructor cannot raise; the next search selects its key anew.
      }
    }
  } restore{link, useReverse};
  std::unique_ptr<TWildMatcher> matcher;
  if (hasWild) matcher = std::make_unique<TWildMatcher>(useReverse ? Reversed(pattern) : pattern, OneChar, AnyChar, false);
  const bool intoResult = logic_ == slOr || logic_ == slNot;
  std::unique_ptr<TtaBits> own;
  if (!intoResult) own = std::make_unique<TtaBits>(result_->Max());
  TtaBits& collector = intoResult ? *result_ : *own;
  std::string lead;
  if (useReverse) {
    link.SeekPrefix(Reversed(pattern), AnyChar, OneChar);
    lead = tail;
  } else {
    if (pairFlag_ && prefix.empty()) RaiseTextIndex(txeLeadingWildcard);
    link.SeekPrefix(pattern, AnyChar, OneChar);
    lead = prefix;
  }
  FoldMap(lead);
  const std::string folded = pattern;
  while (!link.AtEnd() && !Aborted()) {
    const int kind = link.SelectedKey();
    std::string key = kind == kkLike ? link.Like() : (kind == kkReverse ? link.Reverse() : link.Word());
    if (International) FoldMap(key);
    const bool match = matcher ? matcher->Match(key) : key == folded;
    bool moved = false;
    if (match) {
      const std::string word = link.Word();
      if (collector.Count() <= collector.Max()) {
        ReadWordBits();  // a segmented table is left on the next word
        moved = Words().Segmented();
        bits_->Set().Restore();
        collector.OrWith(&bits_->Set());
      }
      RecordSearched(word, bits_->Set().Count());
    }
    if (OnSearch) OnSearch(*this);
    CheckTime();
    if (!International) FoldMap(key);
    if (!StartsWith(key, lead)) break;
    if (moved) continue;
    if (link.Segmented()) {
      const std::string word = link.Word();
      while (link.Next() && link.Word() == word) {
      }
      if (link.AtEnd()) break;
    } else if (!link.Next()) {
      break;
    }
  }
  if (own) result_->AndWith(own.get());
}

// ---------------------------------------------------------------------------------------------

int32_t TtxProximitySearch::PhrasePosition(const std::string& word) const {
  auto it = searched_.find(word);
  if (it != searched_.end()) {
    const int64_t n = static_cast<int64_t>(phrase_.size()) + it->second.ordinal - ordinal_ - 1;
    if (n >= 0 && n < static_cast<int64_t>(phrase_.size())) return static_cast<int32_t>(n);
  }
  std::string folded;
  if (International) {
    folded = word;
    FoldMap(folded);
  }
  const std::string& w = International ? folded : word;
  for (size_t i = 0; i < phrase_.size(); ++i)
    if (phrase_[i] == w) return static_cast<int32_t>(i);
  return -1;
}

void TtxProximitySearch::Prepare() {
  TtxBasicSearch::Prepare();
  signedCandidates_ = signatureRejects_ = 0;
}

std::vector<uint64_t> TtxProximitySearch::SignaturePairs(const std::string& input) const {
  std::vector<uint64_t> pairs;
  // Hooks may change which words the search records or the documents give.
  if (logic_ != slPhrase || phrase_.size() < 2 || !PlainWordStream() || OnPreviewWord) return pairs;
  const auto size = static_cast<size_t>(Words().KeyFieldSize());
  if (International) {
    // A document word stands at a position when its folded form is that of the phrase word:
    // that needs the words searched (upper-cased) to line up with the folded phrase.
    std::string upper = input;
    UpperMap(upper);
    const char* position = upper.data();
    size_t remaining = upper.size();
    for (const std::string& word : phrase_) {
      std::string searched = NextWord(position, remaining, kMaxParsedWordLength, searchDelims_);
      if (searched.size() > size) searched.resize(size);
      std::string folded = word;
      FoldMap(searched);
      FoldMap(folded);
      if (searched.empty() || searched != folded || folded != word) return pairs;
    }
    if (!NextWord(position, remaining, kMaxParsedWordLength, searchDelims_).empty()) return pairs;
  }
  const std::string wild{AnyChar, OneChar};
  for (size_t i = 0; i + 1 < phrase_.size(); ++i) {
    if (phrase_[i].find_first_of(wild) != std::string::npos || phrase_[i + 1].find_first_of(wild) != std::string::npos)
      continue;
    pairs.push_back(SignaturePairHash(SignatureWordHash(phrase_[i]), SignatureWordHash(phrase_[i + 1])));
  }
  return pairs;
}

void TtxProximitySearch::FieldStarted() {
  if (!verifying_) return;
  expected_ = 0;
  if (logic_ == slNear) std::fill(values_.begin(), values_.end(), 0);
  wordCounter_ = 0;
}

void TtxProximitySearch::ProcessWord(const std::string& word) {
  if (!verifying_) {
    DocumentWord(word);
    return;
  }
  if (matched_ || phrase_.empty()) return;
  if (logic_ == slPhrase) {
    const auto at = static_cast<size_t>(expected_);
    const std::string& want = phrase_[at];
    int32_t n = -1;
    if (anyChar_[at] || want.size() == word.size()) {
      n = PhrasePosition(word);
      if (repeated_ && word == want) n = expected_;
    }
    if (n >= 0 && n == expected_) {
      if (n == static_cast<int32_t>(phrase_.size()) - 1) matched_ = true;
      else expected_ = n + 1;
    } else {
      expected_ = 0;
    }
    return;
  }
  if (logic_ == slNear) {
    ++wordCounter_;
    const int32_t n = PhrasePosition(word);
    if (n >= 0) values_[static_cast<size_t>(n)] = wordCounter_;
    bool all = true;
    int64_t lowest = INT64_MAX;
    for (int64_t v : values_) {
      if (v <= 0) all = false;
      lowest = std::min(lowest, v);
    }
    if (all && wordCounter_ < lowest + nearWord_) matched_ = true;
    return;
  }
  const int32_t n = PhrasePosition(word);
  if (n < 0) return;
  if (logic_ == slOr) {
    matched_ = true;
    return;
  }
  values_[static_cast<size_t>(n)] = 1;
  matched_ = std::all_of(values_.begin(), values_.end(), [](int64_t v) { return v == 1; });
}

void TtxProximitySearch::Verify(const std::string& input) {
  TtxDocumentLink& text = Text();
  if (!(text.HasSubFields() || logic_ == slPhrase || logic_ == slNear)) return;
  if (input.empty() || (result_->Count() == 0 && logic_ != slNot)) return;
  std::string t = input;
  if (International) FoldMap(t); else UpperMap(t);
  phrase_.clear();
  const char* position = t.data();
  size_t remaining = t.size();
  for (;;) {
    std::string word = NextWord(position, remaining, kMaxParsedWordLength, searchDelims_);
    if (word.empty()) break;
    const auto size = static_cast<size_t>(Words().KeyFieldSize());
    if (word.size() > size) word.resize(size);
    // Outside phrases and nearness the list says which words a sub-field must hold: a skipped
    // (omitted or too short) word was never required of the index either.
    if (logic_ != slPhrase && logic_ != slNear && SkipWord(word)) continue;
    phrase_.push_back(word);
  }
  std::vector<std::string> sorted = phrase_;
  std::sort(sorted.begin(), sorted.end());
  repeated_ = std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end();
  if ((logic_ == slPhrase || logic_ == slNear) && !text.HasSubFields() && phrase_.size() <= 1) {
    phrase_.clear();
    return;
  }
  values_.assign(phrase_.size(), 0);
  anyChar_.clear();
  for (const std::string& word : phrase_) anyChar_.push_back(word.find(AnyChar) != std::string::npos);
  const std::vector<uint64_t> pairs = SignaturePairs(input);
  TtxPhraseReader* signatures = pairs.empty() ? nullptr : Words().PhraseReader(WordStreamFingerprint());
  const auto ruledOut = [&](int32_t value) {
    const uint8_t* bits = nullptr;
    size_t size = 0;
    if (signatures == nullptr || !signatures->Get(value, bits, size)) return false;
    ++signedCandidates_;
    for (uint64_t pair : pairs)
      if (!SignatureMayHold(bits, size, pair)) {
        ++signatureRejects_;
        return true;
      }
    return false;
  };
  const TEngineState before = state_;
  SetState(static_cast<TEngineState>(state_ | StateOf(esVerifying)));
  verifying_ = true;
  if (SearchMode == smNarrow && kept_) result_->AndWith(kept_.get());
  const bool reverse = (SearchOptions & soNavReverse) != 0;
  const bool wantSet = logic_ != slNot;
  const int64_t lowest = text.LowestIndex();
  int32_t d = reverse ? (wantSet ? result_->FindLastSet() : result_->FindLastClear())
                      : (wantSet ? result_->FindFirstSet() : result_->FindFirstClear());
  auto cleanup = [&](bool failed) {
    verifying_ = false;
    if (d >= 0 && logic_ != slNot) {  // stopped early: the candidates not proven are dropped
      if (reverse) {
        for (int32_t b = d; b >= 0; --b) result_->ClearBit(b);
      } else {
        for (int32_t b = d; b <= result_->Max(); ++b) result_->ClearBit(b);
      }
    }
    std::exception_ptr leaving;
    try {
      SetState(before);
    } catch (...) {
      // The state is left all the same; the failure is reported once the words are settled,
      // unless the verification's own failure is already on its way.
      leaving = std::current_exception();
    }
    for (const std::string& w : phrase_)
      if (searched_.find(w) == searched_.end()) searched_.emplace(w, TSearchedWord{0, 0, 0, false});
    phrase_.clear();
    if (leaving && !failed) std::rethrow_exception(leaving);
  };
  // Without a search hook the loop changes no candidate but the one under test, so the
  // candidates are listed once: a locked scan of the bit set per step (and two more for the
  // fetches ahead) costs more than testing a signature.
  std::vector<int32_t> listed;
  size_t at = 0;
  const bool useList = wantSet && !OnSearch && d >= 0;
  if (useList) {
    listed.reserve(static_cast<size_t>(result_->Count()));
    result_->Iterate(
        [&](TClBits&, int32_t bit, void*) {
          listed.push_back(bit);
          return true;
        },
        true, d, nullptr, !reverse);
  }
  const auto following = [&](int32_t b) {
    return reverse ? (wantSet ? result_->FindPriorSet(b) : result_->FindPriorClear(b))
                   : (wantSet ? result_->FindNextSet(b) : result_->FindNextClear(b));
  };
  // With signatures, candidates further on have theirs fetched while this one is tested: the
  // slots 16 ahead, the records (whose place the slot gives) 8 ahead. In a list the places
  // ahead are positions, else bits.
  int32_t slotAhead = useList ? 0 : d, recordAhead = slotAhead;
  const auto ahead = [&](int32_t& b) -> int32_t {
    if (useList) {
      if (b >= 0 && static_cast<size_t>(b) + 1 < listed.size()) return listed[static_cast<size_t>(++b)];
      b = -1;
      return -1;
    }
    if (b >= 0) b = following(b);
    return b;
  };
  const auto prefetch = [&](bool records) {
    if (const int32_t bit = ahead(slotAhead); bit >= 0) signatures->PrefetchSlot(static_cast<int32_t>(lowest + bit));
    if (!records) return;
    if (const int32_t bit = ahead(recordAhead); bit >= 0)
      signatures->PrefetchRecord(static_cast<int32_t>(lowest + bit));
  };
  if (signatures != nullptr)
    for (int i = 0; i < 16; ++i) prefetch(i >= 8);
  try {
    while (d >= 0 && !Aborted()) {
      if (signatures != nullptr) prefetch(true);
      matched_ = false;
      expected_ = 0;
      std::fill(values_.begin(), values_.end(), 0);
      for (auto& [w, s] : searched_) s.rankTotal = 0;
      const auto value = static_cast<int32_t>(lowest + d);
      if (!ruledOut(value) && text.Locate(value)) text.ProcessDocument(*this);
      if (logic_ == slNot) {
        if (!matched_) result_->SetBit(d);
      } else if (!matched_) {
        result_->ClearBit(d);
      }
      if (OnSearch) OnSearch(*this);
      CheckTime();
      if (useList) d = ++at < listed.size() ? listed[at] : -1;
      else d = following(d);
    }
  } catch (...) {
    cleanup(true);
    throw;
  }
  cleanup(false);
}

}  // namespace tovenmarsh::fulltext
