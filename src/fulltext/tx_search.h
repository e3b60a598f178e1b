// Search engines. TtxBasicSearch turns a query text into a result bit set over the documents'
// index range: words combined by one search logic, combined with the previous result by the
// search mode, wildcard and sound-alike words through the words table's word, reverse and like
// indexes. TtxProximitySearch adds phrases, nearness and sub-field restriction, proven by
// re-reading the candidate documents. A phrase's candidates are first tested against their
// pair signatures (see pair_signature.h), when the words table has a usable signature file and
// the search meets words as the build did: a candidate whose signature lacks a pair of adjacent
// plain words of the phrase cannot hold it and is dropped unread.
//
// Promises: the result always has one bit per index value of the text link's range; a query
// word never reads outside the words table's key (words are cut to the key field size);
// TimeLimit is checked against TickSource after each examined row or document.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fulltext/match_bits.h"
#include "fulltext/tx_engine.h"
#include "fulltext/tx_links.h"

namespace tovenmarsh::fulltext {

class TtxCache;

enum TSearchLogic : int { slAnd, slPhrase, slNear, slLike, slOr, slNot, slExpression, slSmart };
enum TSearchMode : int { smSearch, smNarrow, smWiden };
enum TSearchOption : unsigned { soLazyPhrase = 1, soNavNatural = 2, soNavReverse = 4 };

class TtxBasicSearch : public TtxReadEngine {
 public:
  struct TSearchedWord {
    int32_t ordinal = 0;
    int64_t rankTotal = 0;
    int32_t count = 0;
    bool hasRecord = true;
  };

  TtxBasicSearch();
  ~TtxBasicSearch() override;

  std::string SearchFor;
  TSearchLogic SearchLogic = slAnd;
  TSearchMode SearchMode = smSearch;
  unsigned SearchOptions = 0;
  int32_t TimeLimit = 0;
  char AnyChar = '*';
  char OneChar = '?';
  bool International = false;
  int32_t NearWord() const { return nearWord_; }
  void SetNearWord(int32_t value) {
    if (value > 0) nearWord_ = value;
  }
  std::function<void(TtxBasicSearch&)> OnSearch;
  std::function<void(TtxBasicSearch&)> OnTimeout;
  std::function<void(TtxBasicSearch&, std::string& word)> OnPreviewWord;
  // The millisecond clock of the time limit (tests may replace it).
  std::function<uint64_t()> TickSource;

  virtual void Execute();
  int32_t Count() const { return result_ ? result_->Count() : 0; }
  void GetIndexValues(std::vector<int32_t>& list) const;
  const TtaBits* Result() const { return result_.get(); }
  const std::map<std::string, TSearchedWord>& SearchedWords() const { return searched_; }
  const std::vector<std::string>& NotFound() const { return notFound_; }
  int32_t SearchedCount() const { return searchedCount_; }
  int32_t SkippedCount() const { return skippedCount_; }
  uint64_t Elapsed() const { return elapsed_; }

 protected:
  TtxDocumentLink& Text() const;
  TtxWordsRowLink& Words() const;
  TtxCache* CacheOrNull() const;

  virtual void Prepare();
  void ResetResult(TSearchLogic logic);
  void Finish();
  virtual void SearchText(const std::string& text);
  void SearchWord(std::string word);
  bool SkipWord(const std::string& word) const;
  void FindWord(const std::string& word);
  void LikeSearch(const std::string& word);
  void WildSearch(std::string pattern, int keyKind);
  void RecordSearched(const std::string& word, int32_t count);
  void Combine(const TtaBits& set);
  void CheckTime();
  void SetAll(bool set);
  virtual void Verify(const std::string& /*text*/) {}
  TClBits& WordSet();

  std::unique_ptr<TtaBits> result_;
  std::unique_ptr<TtaBits> kept_;
  TSearchLogic logic_ = slAnd;  // the logic of the running search
  std::map<std::string, TSearchedWord> searched_;
  std::vector<std::string> notFound_;
  int32_t searchedCount_ = 0;
  int32_t skippedCount_ = 0;
  int32_t ordinal_ = 0;
  TDelimSet searchDelims_;
  uint64_t start_ = 0;
  uint64_t elapsed_ = 0;
  int32_t nearWord_ = 8;
  const TtxWordsLink* propertiesFrom_ = nullptr;
};

class TtxProximitySearch : public TtxBasicSearch, public TtxFieldObserver {
 public:
  void FieldStarted() override;
  // A proven document needs no more words, unless a hook watches them or pair keys carry the
  // previous word over.
  bool WantsWords() const override { return !(verifying_ && matched_) || pairFlag_ || OnAcceptWord || OnParseWord; }
  // Of the candidates verified since the search began: those that had a pair signature, and
  // those of them that it ruled out without reading the document.
  int32_t SignedCandidates() const { return signedCandidates_; }
  int32_t SignatureRejects() const { return signatureRejects_; }

 protected:
  void Prepare() override;
  void Verify(const std::string& text) override;
  void ProcessWord(const std::string& word) override;
  // The hashes of the phrase's adjacent pairs that every match must hold (pairs with a
  // wildcard left out); empty when signatures cannot be trusted for this search.
  std::vector<uint64_t> SignaturePairs(const std::string& input) const;
  // Words of documents re-read outside the verifying state (the ranking's).
  virtual void DocumentWord(const std::string& /*word*/) {}
  int32_t PhrasePosition(const std::string& word) const;

  bool verifying_ = false;
  std::vector<std::string> phrase_;
  std::vector<bool> anyChar_;  // per phrase word: it holds AnyChar (tested once, not per word read)
  std::vector<int64_t> values_;
  int32_t expected_ = 0;
  int64_t wordCounter_ = 0;
  bool matched_ = false;
  bool repeated_ = false;
  int32_t signedCandidates_ = 0;
  int32_t signatureRejects_ = 0;
};

}  // namespace tovenmarsh::fulltext
