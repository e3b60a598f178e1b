// In-memory words and documents links (see memory_links.h).
#include "support/memory_links.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "fulltext/cl_errors.h"
#include "fulltext/match_bits.h"
#include "fulltext/tx_utils.h"

namespace tovenmarsh::fulltext::testing {
namespace {

const std::string kPropertiesKey = "\x7f\x7fProperties\x7f\x7f";

}  // namespace

std::string TMemoryWordsLink::KeyOf(const TKey& row, const TMemoryRow& data) const {
  switch (key_) {
    case kkLike: return data.like + '\0' + row.first;
    case kkReverse: return Reversed(row.first);
    default: return row.first;
  }
}

void TMemoryWordsLink::Rebuild() {
  order_.clear();
  for (const auto& [row, data] : rows_) order_.push_back(TOrderKey{KeyOf(row, data), row});
  std::sort(order_.begin(), order_.end());
}

void TMemoryWordsLink::SyncPosition(const std::optional<TKey>& current) {
  Rebuild();
  pos_ = order_.size();
  if (!current) return;
  for (size_t i = 0; i < order_.size(); ++i)
    if (order_[i].row == *current) {
      pos_ = i;
      return;
    }
}

const TMemoryWordsLink::TKey& TMemoryWordsLink::Current() const {
  if (pos_ >= order_.size()) throw std::logic_error("no current words row");
  return order_[pos_].row;
}

void TMemoryWordsLink::SelectKey(int kind) {
  if (kind == key_) return;
  if (kind == kkReverse && !reverse_) RaiseTextIndex(txeReverseNotAvailable);
  std::optional<TKey> current;
  if (pos_ < order_.size()) current = order_[pos_].row;
  key_ = kind;
  SyncPosition(current);
}

void TMemoryWordsLink::ReadProperties(platform::TStream& stream) {
  if (!properties_) RaiseTextIndex(txePropertiesNotFound);
  stream.WriteBuffer(properties_->data(), properties_->size());
}

void TMemoryWordsLink::WriteProperties(platform::TStream& stream) {
  std::string data(static_cast<size_t>(stream.Size() - stream.Position()), '\0');
  stream.ReadBuffer(data.data(), data.size());
  properties_ = std::move(data);
}

bool TMemoryWordsLink::Locate(const std::string& word, int32_t segment, bool /*partial*/) {
  Rebuild();
  for (size_t i = 0; i < order_.size(); ++i) {
    const TKey& row = order_[i].row;
    if (row.first == word && (!segmented_ || segment < 0 || row.second == segment)) {
      if (key_ == kkWord || segment < 0 || !segmented_) {
        pos_ = i;
        return true;
      }
    }
  }
  // On the word key the first segment row of the word comes first in order; check it anyway.
  pos_ = order_.size();
  return false;
}

bool TMemoryWordsLink::First() {
  Rebuild();
  pos_ = 0;
  return !AtEnd();
}

bool TMemoryWordsLink::Next() {
  if (pos_ < order_.size()) ++pos_;
  return !AtEnd();
}

bool TMemoryWordsLink::Prior() {
  if (pos_ == 0 || order_.empty()) return false;
  --pos_;
  return true;
}

void TMemoryWordsLink::SeekPrefix(const std::string& pattern, char anyChar, char oneChar) {
  Rebuild();
  const std::string prefix = PrefixBefore(pattern, std::string{anyChar, oneChar});
  pos_ = 0;
  if (prefix.empty()) return;
  while (pos_ < order_.size() && order_[pos_].key < prefix) ++pos_;
}

std::string TMemoryWordsLink::Word() { return Current().first; }
int32_t TMemoryWordsLink::Segment() { return segmented_ ? Current().second : -1; }
std::string TMemoryWordsLink::Like() { return rows_.at(Current()).like; }
std::string TMemoryWordsLink::Reverse() { return Reversed(Current().first); }
int32_t TMemoryWordsLink::Size() { return rows_.at(Current()).size; }
int32_t TMemoryWordsLink::Count() { return rows_.at(Current()).count; }

int32_t TMemoryWordsLink::ReadBits(uint8_t* buffer, size_t length) {
  const TMemoryRow& row = rows_.at(Current());
  if (length < 4 || static_cast<size_t>(row.size) > length - 4) RaiseTextIndex(txeDecompressBufferTooSmall);
  std::memcpy(buffer + 4, row.bytes.data(), row.bytes.size());
  return row.size;
}

void TMemoryWordsLink::Insert() {
  inserting_ = true;
  editing_ = false;
  pending_key_ = {};
  pending_ = {};
}

void TMemoryWordsLink::Edit() {
  pending_key_ = Current();
  pending_ = rows_.at(pending_key_);
  editing_ = true;
  inserting_ = false;
}

void TMemoryWordsLink::WriteBits(const uint8_t* record, size_t size) {
  const int32_t count = GetRecordInt(record, kRecCountAt);
  pending_.count = count < 0 ? -count : count;
  pending_.size = static_cast<int32_t>(size - 4);
  pending_.bytes.assign(reinterpret_cast<const char*>(record) + 4, size - 4);
}

void TMemoryWordsLink::Post() {
  if (!inserting_ && !editing_) throw std::logic_error("post without edit or insert");
  if (pending_key_.first.size() > static_cast<size_t>(wordFieldSize_)) throw std::logic_error("word too long");
  if (pending_key_.first == kPropertiesKey) throw std::logic_error("word row on the properties key");
  if (inserting_ && rows_.count(pending_key_) != 0) throw std::logic_error("duplicate key " + pending_key_.first);
  rows_[pending_key_] = pending_;
  ++writes_;
  inserting_ = editing_ = false;
  SyncPosition(pending_key_);
}

void TMemoryWordsLink::Delete() {
  const TKey key = Current();
  rows_.erase(key);
  ++deletes_;
  Rebuild();
  pos_ = 0;
  while (pos_ < order_.size() && order_[pos_].row < key) ++pos_;
}

void TMemoryWordsLink::StateEntered(TtxEngine& /*engine*/, int bit) {
  if (bit == esBuilding) {  // the build re-creates the table
    rows_.clear();
    properties_.reset();
    propertiesRead_ = false;
    key_ = kkWord;
    order_.clear();
    pos_ = 0;
  }
}

std::set<int32_t> TMemoryWordsLink::DocumentBits(const std::string& word, int32_t bitsPerSegment,
                                                 int32_t segmentSize) const {
  std::set<int32_t> out;
  for (const auto& [key, row] : rows_) {
    if (key.first != word) continue;
    std::vector<uint8_t> record(static_cast<size_t>(row.size) + 4);
    std::memcpy(record.data() + 4, row.bytes.data(), row.bytes.size());
    TtaBits bits(bitsPerSegment - 1);
    bits.Load(record.data(), record.size());
    for (int32_t b = bits.FindFirstSet(); b >= 0; b = bits.FindNextSet(b))
      out.insert(segmented_ ? key.second * segmentSize + b : b);
  }
  return out;
}

void TMemoryTextLink::Put(int32_t index, std::map<std::string, std::string> fields) {
  auto it = std::lower_bound(docs_.begin(), docs_.end(), index,
                             [](const TMemoryDocument& d, int32_t v) { return d.index < v; });
  if (it != docs_.end() && it->index == index) it->fields = std::move(fields);
  else it = docs_.insert(it, TMemoryDocument{index, std::move(fields)});
  pos_ = static_cast<size_t>(it - docs_.begin());
}

void TMemoryTextLink::Remove(int32_t index) {
  auto it = std::find_if(docs_.begin(), docs_.end(), [index](const TMemoryDocument& d) { return d.index == index; });
  if (it != docs_.end()) docs_.erase(it);
  pos_ = docs_.size();
}

int32_t TMemoryTextLink::CurrentIndexValue() {
  if (pos_ >= docs_.size()) RaiseTextIndex(txeInvalidParameter);
  return docs_[pos_].index;
}

bool TMemoryTextLink::Locate(int32_t value) {
  for (size_t i = 0; i < docs_.size(); ++i)
    if (docs_[i].index == value) {
      pos_ = i;
      return true;
    }
  return false;
}

bool TMemoryTextLink::GotoNearest(int32_t value) {
  pos_ = 0;
  while (pos_ < docs_.size() && docs_[pos_].index < value) ++pos_;
  return !AtEnd();
}

void TMemoryTextLink::ProcessDocument(TtxEngine& engine) {
  engine.SetIndexValue(CurrentIndexValue());
  const bool all = subFieldNames_.empty() ||
                   (engine.State() & (StateOf(esBuilding) | StateOf(esUpdating))) != 0;
  const TMemoryDocument& doc = docs_[pos_];
  for (const std::string& name : fieldNames_) {
    StartField(engine);
    if (!all && std::find(subFieldNames_.begin(), subFieldNames_.end(), name) == subFieldNames_.end()) continue;
    auto it = doc.fields.find(name);
    if (it == doc.fields.end()) continue;
    if (WholeFields.count(name) != 0) engine.AddWord(it->second, true);
    else engine.ParseString(it->second);
  }
  ++processed_;
}

void TMemoryTextLink::StateEntered(TtxEngine& /*engine*/, int bit) {
  if (bit == esBuilding) {
    if (fieldNames_.empty()) RaiseTextIndex(txeNoFieldNames);
    ForgetRange();
  }
}

}  // namespace tovenmarsh::fulltext::testing
