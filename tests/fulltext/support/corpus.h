// A full-text index in memory for tests: documents, the links, a build, and a brute-force
// model of what every search should find (tokenised the way the engine does).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fulltext/tx_make.h"
#include "fulltext/tx_ranking.h"
#include "fulltext/word_cache.h"
#include "support/memory_links.h"

namespace tovenmarsh::fulltext::testing {

using TDocSet = std::set<int32_t>;

struct TMemoryIndex {
  TMemoryTextLink text;
  TMemoryWordsLink words;
  TtxCache cache;
  int32_t segmentSize = 0;  // 0: unsegmented

  explicit TMemoryIndex(bool reverse = false) : words(20, reverse) {}
  void Build(int32_t counterLimit = 0);
  // A search wired to this index.
  std::unique_ptr<TtxSearch> Search(const std::string& query, TSearchLogic logic);
  TDocSet Run(const std::string& query, TSearchLogic logic);
  // Every word's documents (absolute index values) as stored.
  std::map<std::string, TDocSet> Stored();
};

// The words of a text as the engine cuts them (upper-cased, default delimiters, 20 characters).
std::vector<std::string> Tokens(const std::string& text);

class TModel {
 public:
  explicit TModel(TMemoryTextLink& text);
  TDocSet All() const;
  TDocSet Word(const std::string& word) const;
  TDocSet Wild(const std::string& pattern) const;  // * and ?
  TDocSet Phrase(const std::vector<std::string>& words) const;
  TDocSet Near(const std::vector<std::string>& words, int window) const;
  std::map<std::string, TDocSet> Index() const;

 private:
  // document -> fields -> words
  std::map<int32_t, std::vector<std::vector<std::string>>> docs_;
};

bool WildMatch(const std::string& pattern, const std::string& text);
TDocSet Intersect(const TDocSet& a, const TDocSet& b);
TDocSet Unite(const TDocSet& a, const TDocSet& b);
TDocSet Minus(const TDocSet& a, const TDocSet& b);

}  // namespace tovenmarsh::fulltext::testing
