// Hit navigation and ranking. TtxNavSearch visits the hits of the last search on the text link
// in index order; TtxRankSearch scores each hit by the occurrences of the query's words (or, in
// rmPresense, by how many of them occur) and navigates by score: best first, equal scores in
// index order. TtxSearch is the search the application creates.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "fulltext/tx_search_logic.h"

namespace tovenmarsh::fulltext {

enum TRankMode : int { rmNone, rmCount, rmPercent, rmPresense };

struct TRankEntry {
  int32_t indexValue = 0;
  uint16_t score = 0;
  uint16_t percent = 0;
};

class TtxNavSearch : public TtxLogicSearch {
 public:
  enum THow : int { nvFirst = 0, nvNext = 1, nvPrior = 2, nvLast = 3 };
  virtual bool Navigate(int how);
  bool First() { return Navigate(nvFirst); }
  bool Next() { return Navigate(nvNext); }

 protected:
  bool NavigateNatural(int how);
};

class TtxRankSearch : public TtxNavSearch {
 public:
  static constexpr int32_t kMaxRanks = 8000;
  static constexpr int32_t kLargestRankLimit = 536870911;

  TRankMode RankMode() const { return rankMode_; }
  void SetRankMode(TRankMode mode);
  int32_t RankLimit() const { return rankLimit_; }
  void SetRankLimit(int32_t limit);
  void SetSearchOptions(unsigned options);
  std::function<int32_t(TtxRankSearch&, const std::string& word)> OnRankWord;

  void Execute() override;
  bool Navigate(int how) override;
  const std::vector<TRankEntry>& BuildRanks();
  bool HasRanks() const { return built_; }
  int32_t RankPosition() const { return position_; }
  uint64_t RankTime() const { return rankTime_; }
  void DiscardRanks();

 protected:
  void DocumentWord(const std::string& word) override;

 private:
  TRankMode rankMode_ = rmNone;
  int32_t rankLimit_ = 8000;
  std::vector<TRankEntry> ranks_;
  bool built_ = false;
  int32_t position_ = -1;
  uint64_t rankTime_ = 0;
  bool ranking_ = false;
};

class TtxSearch : public TtxRankSearch {};

}  // namespace tovenmarsh::fulltext
