// In-memory words and documents links for the full-text tests. TMemoryWordsLink keeps the words
// table as ordered rows (word, segment) -> count, like-key and the stored bit data, with the
// properties row under its 14-character key; navigation skips that row, the like and reverse
// keys walk the rows in (like, word) and (reversed word) order. TMemoryTextLink keeps documents
// with named text fields, in index-value order.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fulltext/tx_engine.h"
#include "fulltext/tx_links.h"

namespace tovenmarsh::fulltext::testing {

struct TMemoryRow {
  int32_t count = 0;
  std::string like;
  int32_t size = 0;
  std::string bytes;  // the record from its count field on
};

class TMemoryWordsLink : public TtxWordsRowLink {
 public:
  using TKey = std::pair<std::string, int32_t>;  // word, segment

  explicit TMemoryWordsLink(int wordFieldSize = 20, bool reverse = false)
      : wordFieldSize_(wordFieldSize), reverse_(reverse) {}

  int KeyFieldSize() const override { return wordFieldSize_; }
  bool IsActive() override { return true; }
  void Open() override {}
  void Close() override {}
  void SelectKey(int kind) override;
  int SelectedKey() const override { return key_; }
  bool HasLike() const override { return true; }
  bool HasReverse() const override { return reverse_; }

  void ReadProperties(platform::TStream& stream) override;
  void WriteProperties(platform::TStream& stream) override;
  bool Locate(const std::string& word, int32_t segment, bool partial) override;
  bool First() override;
  bool Next() override;
  bool Prior() override;
  bool AtEnd() override { return pos_ >= order_.size(); }
  void SeekPrefix(const std::string& pattern, char anyChar, char oneChar) override;
  std::string Word() override;
  int32_t Segment() override;
  std::string Like() override;
  std::string Reverse() override;
  int32_t Size() override;
  int32_t Count() override;
  int32_t ReadBits(uint8_t* buffer, size_t length) override;

  void Insert() override;
  void Edit() override;
  void Post() override;
  void Delete() override;
  void SetWord(const std::string& word) override { pending_key_.first = word; }
  void SetLike(const std::string& like) override { pending_.like = like; }
  void SetSegment(int32_t segment) override { pending_key_.second = segmented_ ? segment : 0; }
  void SetCount(int32_t count) override { pending_.count = count; }
  void WriteBits(const uint8_t* record, size_t size) override;

  void StateEntered(TtxEngine& engine, int bit) override;

  // Test access.
  const std::map<TKey, TMemoryRow>& Rows() const { return rows_; }
  bool HasProperties() const { return properties_.has_value(); }
  int64_t Writes() const { return writes_; }
  int64_t Deletes() const { return deletes_; }
  // The documents of a word, decoded from its stored rows (segment size for segmented tables).
  std::set<int32_t> DocumentBits(const std::string& word, int32_t bitsPerSegment, int32_t segmentSize) const;

 private:
  struct TOrderKey {
    std::string key;
    TKey row;
    bool operator<(const TOrderKey& o) const { return key != o.key ? key < o.key : row < o.row; }
  };
  std::string KeyOf(const TKey& row, const TMemoryRow& data) const;
  void Rebuild();
  void SyncPosition(const std::optional<TKey>& current);
  const TKey& Current() const;

  int wordFieldSize_;
  bool reverse_;
  std::map<TKey, TMemoryRow> rows_;
  std::optional<std::string> properties_;
  int key_ = kkWord;
  std::vector<TOrderKey> order_;
  size_t pos_ = 0;
  bool editing_ = false;
  bool inserting_ = false;
  TKey pending_key_;
  TMemoryRow pending_;
  int64_t writes_ = 0;
  int64_t deletes_ = 0;
};

struct TMemoryDocument {
  int32_t index = 0;
  std::map<std::string, std::string> fields;
};

class TMemoryTextLink : public TtxDocumentLink {
 public:
  TMemoryTextLink() { fieldNames_ = {"title", "body"}; indexFieldName_ = "no"; }

  void Put(int32_t index, std::map<std::string, std::string> fields);
  void Remove(int32_t index);
  std::vector<TMemoryDocument>& Documents() { return docs_; }
  // Fields whose value is indexed as one word (as numeric fields are).
  std::set<std::string> WholeFields;

  int32_t CurrentIndexValue() override;
  bool AtEnd() override { return pos_ >= docs_.size(); }
  bool First() override { pos_ = 0; return !AtEnd(); }
  bool Last() override { pos_ = docs_.empty() ? 0 : docs_.size() - 1; return !AtEnd(); }
  bool Next() override { if (pos_ < docs_.size()) ++pos_; return !AtEnd(); }
  bool Locate(int32_t value) override;
  bool GotoNearest(int32_t value) override;
  void ProcessDocument(TtxEngine& engine) override;
  void StateEntered(TtxEngine& engine, int bit) override;

 protected:
  int32_t FindLowestIndex() override { return docs_.empty() ? 0 : docs_.front().index; }
  int32_t FindHighestIndex() override { return docs_.empty() ? 0 : docs_.back().index; }

 private:
  std::vector<TMemoryDocument> docs_;
  size_t pos_ = 0;
};

}  // namespace tovenmarsh::fulltext::testing
