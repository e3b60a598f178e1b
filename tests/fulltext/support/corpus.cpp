// Test index in memory and its brute-force model.
#include "support/corpus.h"

#include <algorithm>

#include "fulltext/tx_engine.h"
#include "fulltext/tx_utils.h"

namespace tovenmarsh::fulltext::testing {

void TMemoryIndex::Build(int32_t counterLimit) {
  TtxMake make;
  make.SetTextLink(&text);
  make.SetWordsLink(&words);
  make.SetCache(&cache);
  if (segmentSize > 0) make.SetSegmentSize(segmentSize);
  make.SetCounterLimit(counterLimit);
  make.Execute();
}

std::unique_ptr<TtxSearch> TMemoryIndex::Search(const std::string& query, TSearchLogic logic) {
  auto search = std::make_unique<TtxSearch>();
  search->SetTextLink(&text);
  search->SetWordsLink(&words);
  search->SearchFor = query;
  search->SearchLogic = logic;
  return search;
}

TDocSet TMemoryIndex::Run(const std::string& query, TSearchLogic logic) {
  auto search = Search(query, logic);
  search->Execute();
  std::vector<int32_t> values;
  search->GetIndexValues(values);
  return TDocSet(values.begin(), values.end());
}

std::map<std::string, TDocSet> TMemoryIndex::Stored() {
  std::map<std::string, TDocSet> out;
  const int32_t lowest = text.LowestIndex();
  const int32_t range = text.HighestIndex() - lowest + 1;
  const int32_t perSegment = segmentSize > 0 ? segmentSize : range;
  for (const auto& [key, row] : words.Rows()) {
    if (out.count(key.first) != 0) continue;
    for (int32_t bit : words.DocumentBits(key.first, perSegment, segmentSize)) out[key.first].insert(lowest + bit);
  }
  return out;
}

std::vector<std::string> Tokens(const std::string& input) {
  TDelimSet delims;
  for (char c : DecodeCaretString(kDefaultWordDelims)) delims.set(static_cast<uint8_t>(c));
  std::string text = input;
  UpperMap(text);
  std::vector<std::string> out;
  const char* p = text.data();
  size_t n = text.size();
  for (;;) {
    std::string w = NextWord(p, n, 40, delims);
    if (w.empty()) break;
    if (w.size() > 20) w.resize(20);
    out.push_back(w);
  }
  return out;
}

TModel::TModel(TMemoryTextLink& text) {
  for (const TMemoryDocument& doc : text.Documents()) {
    auto& fields = docs_[doc.index];
    for (const std::string& name : text.FieldNames()) {
      auto it = doc.fields.find(name);
      fields.push_back(it == doc.fields.end() ? std::vector<std::string>{} : Tokens(it->second));
    }
  }
}

TDocSet TModel::All() const {
  TDocSet out;
  for (const auto& [doc, fields] : docs_) out.insert(doc);
  return out;
}

TDocSet TModel::Word(const std::string& word) const {
  return Wild(word);
}

bool WildMatch(const std::string& pattern, const std::string& text) {
  if (pattern.empty()) return text.empty();
  if (pattern[0] == '*') {
    for (size_t i = 0; i <= text.size(); ++i)
      if (WildMatch(pattern.substr(1), text.substr(i))) return true;
    return false;
  }
  if (text.empty()) return false;
  if (pattern[0] != '?' && pattern[0] != text[0]) return false;
  return WildMatch(pattern.substr(1), text.substr(1));
}

TDocSet TModel::Wild(const std::string& pattern) const {
  TDocSet out;
  for (const auto& [doc, fields] : docs_)
    for (const auto& field : fields)
      for (const std::string& w : field)
        if (WildMatch(pattern, w)) out.insert(doc);
  return out;
}

TDocSet TModel::Phrase(const std::vector<std::string>& words) const {
  TDocSet out;
  for (const auto& [doc, fields] : docs_)
    for (const auto& field : fields) {
      // A run broken by any other word starts again from the first phrase word, and the
      // breaking word itself is not tried as a new start.
      size_t expected = 0;
      for (const std::string& w : field) {
        if (w == words[expected]) {
          if (++expected == words.size()) {
            out.insert(doc);
            break;
          }
        } else {
          expected = 0;
        }
      }
    }
  return out;
}

TDocSet TModel::Near(const std::vector<std::string>& words, int window) const {
  TDocSet out;
  for (const auto& [doc, fields] : docs_)
    for (const auto& field : fields) {
      // Some occurrence of every word inside one window of `window` consecutive positions.
      bool found = false;
      for (size_t start = 0; start < field.size() && !found; ++start) {
        const size_t end = std::min(field.size(), start + static_cast<size_t>(window));
        found = std::all_of(words.begin(), words.end(), [&](const std::string& w) {
          return std::find(field.begin() + static_cast<std::ptrdiff_t>(start),
                           field.begin() + static_cast<std::ptrdiff_t>(end), w) != field.begin() + static_cast<std::ptrdiff_t>(end);
        });
      }
      if (found) out.insert(doc);
    }
  return out;
}

std::map<std::string, TDocSet> TModel::Index() const {
  std::map<std::string, TDocSet> out;
  for (const auto& [doc, fields] : docs_)
    for (const auto& field : fields)
      for (const std::string& w : field) out[w].insert(doc);
  return out;
}

TDocSet Intersect(const TDocSet& a, const TDocSet& b) {
  TDocSet out;
  std::set_intersection(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
  return out;
}
TDocSet Unite(const TDocSet& a, const TDocSet& b) {
  TDocSet out = a;
  out.insert(b.begin(), b.end());
  return out;
}
TDocSet Minus(const TDocSet& a, const TDocSet& b) {
  TDocSet out;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(out, out.end()));
  return out;
}

}  // namespace tovenmarsh::fulltext::testing
