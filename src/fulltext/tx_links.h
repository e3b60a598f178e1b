// Row-level views of the words table and of the documents that the build, update and search
// engines need beyond the abstract links of tx_base.h. A words link over a table engine or an
// in-memory one derives from TtxWordsRowLink; a documents link from TtxDocumentLink.
//
// Contract of TtxWordsRowLink: navigation (First, Next, Prior) never stops on the properties
// row; Locate and SeekPrefix position on the word index, or on the like or reverse index when
// that key kind is selected; WriteBits stores a match-bit record from its count field on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fulltext/tx_base.h"

namespace tovenmarsh::fulltext {

class TtxEngine;
class TtxPhraseReader;

enum TtxKeyKind : int { kkNone = 0, kkWord = 1, kkLike = 2, kkReverse = 3 };

class TtxWordsRowLink : public TtxWordsLink {
 public:
  TtxWordsRowLink();
  ~TtxWordsRowLink() override;

  // The pair-signature file beside the words table; "" when there is none (a table in memory).
  virtual std::string PhraseFileName() { return std::string(); }
  // Its reader for an engine of this word-stream fingerprint, kept from search to search while
  // the file stays the same; nullptr when there is no usable file.
  TtxPhraseReader* PhraseReader(uint64_t fingerprint);
  // Closes that reader (a build replaces the file, which an open reader would keep).
  void ReleasePhraseReader();

  virtual bool IsActive() = 0;
  virtual void Open() = 0;
  virtual void Close() = 0;
  // 30483 for a like key without a like index, 30502 for a reverse key without one.
  virtual void SelectKey(int kind) = 0;
  virtual int SelectedKey() const = 0;
  virtual bool HasLike() const = 0;
  virtual bool HasReverse() const = 0;

  virtual bool First() = 0;
  virtual bool Prior() = 0;
  virtual bool AtEnd() = 0;
  // Positions on the first key at or after the part of pattern before its first wildcard.
  virtual void SeekPrefix(const std::string& pattern, char anyChar, char oneChar) = 0;

  // The current row.
  virtual std::string Like() = 0;
  virtual std::string Reverse() = 0;
  virtual int32_t Size() = 0;
  virtual int32_t Count() = 0;

  // Row changes: Insert or Edit, set the values, WriteBits, Post.
  virtual void Insert() = 0;
  virtual void Edit() = 0;
  virtual void Post() = 0;
  virtual void Delete() = 0;
  virtual void SetWord(const std::string& word) = 0;
  virtual void SetLike(const std::string& like) = 0;
  virtual void SetSegment(int32_t segment) = 0;
  virtual void SetCount(int32_t count) = 0;
  // record: a match-bit record (raw or packed) of size bytes, header word included.
  virtual void WriteBits(const uint8_t* record, size_t size) = 0;

 private:
  std::unique_ptr<TtxPhraseReader> phraseReader_;
  std::string phraseReaderPath_;
};

// An engine that wants to hear of each field a documents link starts.
class TtxFieldObserver {
 public:
  virtual ~TtxFieldObserver() = default;
  virtual void FieldStarted() = 0;
};

class TtxDocumentLink : public TtxTextLink {
 public:
  TtxDocumentLink() {
    stateMask_ |= StateOf(esVerifying) | StateOf(esRanking) | StateOf(esState9);
  }

  const std::vector<std::string>& SubFieldNames() const { return subFieldNames_; }
  void SetSubFieldNames(std::vector<std::string> names) { subFieldNames_ = std::move(names); }
  bool HasSubFields() const { return !subFieldNames_.empty(); }

  virtual int32_t CurrentIndexValue() = 0;
  virtual bool AtEnd() = 0;
  virtual bool First() = 0;
  virtual bool Last() = 0;
  virtual bool Next() = 0;
  virtual bool Locate(int32_t value) = 0;
  // The first document whose index value is at or after value.
  virtual bool GotoNearest(int32_t value) = 0;
  // Feeds the current document's fields to the engine.
  virtual void ProcessDocument(TtxEngine& engine) = 0;

 protected:
  // Starts one field on the engine (and tells an observing engine).
  static void StartField(TtxEngine& engine);

  std::vector<std::string> subFieldNames_;
};

}  // namespace tovenmarsh::fulltext
