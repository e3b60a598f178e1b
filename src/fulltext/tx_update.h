// TtxUpdate: changes the index for one document at a time: add its words (UpdateCurrent),
// remove them (DeleteCurrent), or replace an old version by a new one (CollectCurrent on the
// old version, then ReplaceCurrent on the new one). With a cache and DelayedWrites the changed
// records stay in the cache (dirty) until FlushCache or a segment change writes them.
//
// Promises: a document's bit ends up set in exactly the words of the version last added or
// replaced; a word whose set becomes empty loses its row; a document below the index's lowest
// value is refused with "Dictionary invalidated" before anything changes. An added or replaced
// document gets its pair signature in the file beside the words table (when that file is one
// of this index's settings; any other is removed): a document's old signature is dropped, and
// synced, before its words change; new ones are synced by FlushCache, before the words.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "fulltext/pair_signature.h"
#include "fulltext/tx_engine.h"

namespace tovenmarsh::fulltext {

class TtxCache;
class TtxDocumentLink;
class TtxWordsRowLink;
class TtxPhraseWriter;

class TtxUpdate : public TtxReadEngine {
 public:
  enum TMode : int { umCollect = 0, umReplace = 1, umRemove = 2, umAdd = 3 };

  TtxUpdate();
  ~TtxUpdate() override;

  bool DelayedWrites() const { return delayedWrites_; }
  void SetDelayedWrites(bool on);
  std::function<void(TtxUpdate&)> AfterBatch;

  void UpdateCurrent();
  void DeleteCurrent();
  void CollectCurrent();
  void ReplaceCurrent();
  void CheckRemoved();
  void Refresh();
  // Writes every dirty record and empties the cache.
  void FlushCache();

 protected:
  void ProcessWord(const std::string& word) override;
  void SetSegment(int32_t segment) override;

 private:
  TtxCache* CacheOrNull() const;
  TtxDocumentLink& Text() const;
  TtxWordsRowLink& Words() const;
  void Run(TMode mode, bool checkRange);
  void Prepare();
  void CheckRange(int32_t value);
  void ParseDocument();
  void ParseWords();
  // The signature file to write to; nullptr when there is none usable.
  TtxPhraseWriter* Phrases();
  void SyncPhrases();
  void ChangeWordBit(const std::string& word, bool set);

  bool delayedWrites_ = false;
  TMode mode_ = umAdd;
  std::map<std::string, int> marks_;
  const TtxWordsLink* propertiesFrom_ = nullptr;  // 0 omit word, 1 old version, 2 handled
  TPairSignature pairs_;
  std::vector<uint8_t> signature_;
  std::unique_ptr<TtxPhraseWriter> phrases_;
  bool phrasesOpened_ = false;
  uint64_t phrasesFingerprint_ = 0;
  std::string phrasesPath_;
};

}  // namespace tovenmarsh::fulltext
