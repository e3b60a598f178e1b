// Natural and ranked hit navigation, and the scoring walk over the hits.
#include "fulltext/tx_ranking.h"

#include <algorithm>

#include "fulltext/cl_errors.h"

namespace tovenmarsh::fulltext {

bool TtxNavSearch::Navigate(int how) { return NavigateNatural(how); }

bool TtxNavSearch::NavigateNatural(int how) {
  if (!result_ || textLink_ == nullptr) return false;
  TtxDocumentLink& text = Text();
  if ((SearchOptions & soNavReverse) != 0) {
    static constexpr int kReversed[] = {nvLast, nvPrior, nvNext, nvFirst};
    if (how >= 0 && how <= 3) how = kReversed[how];
  }
  const int64_t lowest = text.LowestIndex();
  int32_t bit = -1;
  switch (how) {
    case nvFirst: bit = result_->FindFirstSet(); break;
    case nvLast: bit = result_->FindLastSet(); break;
    case nvNext:
    case nvPrior: {
      if (text.AtEnd()) return false;
      const int64_t current = int64_t{text.CurrentIndexValue()} - lowest;
      if (current < 0) {
        bit = how == nvNext ? result_->FindFirstSet() : -1;
      } else if (current > result_->Max()) {
        bit = how == nvPrior ? result_->FindLastSet() : -1;
      } else {
        bit = how == nvNext ? result_->FindNextSet(static_cast<int32_t>(current))
                            : result_->FindPriorSet(static_cast<int32_t>(current));
      }
      break;
    }
    default: return false;
  }
  if (bit < 0) return false;
  return text.Locate(static_cast<int32_t>(lowest + bit));
}

void TtxRankSearch::SetRankMode(TRankMode mode) {
  if ((mode == rmPresense) != (rankMode_ == rmPresense)) DiscardRanks();
  rankMode_ = mode;
}

void TtxRankSearch::SetRankLimit(int32_t limit) {
  if (limit >= 0 && limit <= kLargestRankLimit && limit != rankLimit_) rankLimit_ = limit;
}

void TtxRankSearch::SetSearchOptions(unsigned options) {
  if (((options ^ SearchOptions) & (soNavNatural | soNavReverse)) != 0) DiscardRanks();
  SearchOptions = options;
}

void TtxRankSearch::DiscardRanks() {
  ranks_.clear();
  built_ = false;
  position_ = -1;
}

void TtxRankSearch::Execute() {
  DiscardRanks();
  TtxLogicSearch::Execute();
}

void TtxRankSearch::DocumentWord(const std::string& word) {
  if (!ranking_) return;
  auto it = searched_.find(word);
  if (it == searched_.end()) return;
  it->second.rankTotal += OnRankWord ? OnRankWord(*this, word) : 1;
}

const std::vector<TRankEntry>& TtxRankSearch::BuildRanks() {
  if (built_ || !result_ || rankLimit_ == 0 || result_->Count() == 0) return ranks_;
  TtxDocumentLink& text = Text();
  const int64_t n = std::min<int64_t>({kMaxRanks, result_->Count(), rankLimit_});
  ranks_.assign(static_cast<size_t>(n), TRankEntry{});
  const TRankMode mode = rankMode_;
  const TEngineState before = state_;
  SetState(static_cast<TEngineState>(state_ | StateOf(esRanking)));
  rankMode_ = rmNone;
  const uint64_t start = TickSource ? TickSource() : 0;
  ranking_ = true;
  auto done = [&](bool ok) {
    ranking_ = false;
    rankMode_ = mode;
    if (ok && rankMode_ != rmNone && (SearchOptions & soNavNatural) == 0) {
      std::stable_sort(ranks_.begin(), ranks_.end(), [](const TRankEntry& a, const TRankEntry& b) {
        if (a.score != b.score) return a.score > b.score;
        return a.indexValue < b.indexValue;
      });
    }
    position_ = -1;
    rankTime_ = (TickSource ? TickSource() : 0) - start;
    if (ok) {
      SetState(before);  // a part that fails to leave the ranking is reported, not dropped
      return;
    }
    try {
      SetState(before);
    } catch (...) {
      // The ranking's own failure is the one reported; the state is left all the same.
    }
  };
  try {
    const int64_t lowest = text.LowestIndex();
    int64_t filled = 0;
    int64_t best = 0;
    for (int32_t bit = result_->FindFirstSet(); bit >= 0 && filled < n && !Aborted();
         bit = result_->FindNextSet(bit)) {
      const auto value = static_cast<int32_t>(lowest + bit);
      TRankEntry& entry = ranks_[static_cast<size_t>(filled++)];
      entry.indexValue = value;
      for (auto& [word, s] : searched_) s.rankTotal = 0;
      if (text.Locate(value)) text.ProcessDocument(*this);
      int64_t score = 0;
      for (auto& [word, s] : searched_) {
        if (mode == rmPresense) score += s.rankTotal > 0 ? 1 : 0;
        else score += s.rankTotal;
      }
      // Scores are 16-bit: a document past the top counts as the top.
      entry.score = static_cast<uint16_t>(std::clamp<int64_t>(score, 0, 65535));
      best = std::max<int64_t>(best, entry.score);
    }
    if (best > 0)
      for (TRankEntry& entry : ranks_) entry.percent = static_cast<uint16_t>(int64_t{entry.score} * 100 / best);
  } catch (...) {
    done(false);
    ranks_.clear();
    built_ = false;
    throw;
  }
  built_ = true;
  done(true);
  return ranks_;
}

bool TtxRankSearch::Navigate(int how) {
  const bool ranked = (rankMode_ != rmNone || built_) && (SearchOptions & soNavNatural) == 0 && rankLimit_ > 0;
  if (!ranked) return NavigateNatural(how);
  const int64_t hits = result_ ? result_->Count() : 0;
  int64_t position;
  switch (how) {
    case nvFirst: position = 0; break;
    case nvNext: position = int64_t{position_} + 1; break;
    case nvPrior: position = position_ < 0 ? hits - 1 : int64_t{position_} - 1; break;
    case nvLast: position = hits - 1; break;
    default: return false;
  }
  if (position < 0 || position >= rankLimit_) return false;
  const std::vector<TRankEntry>& ranks = BuildRanks();
  if (position >= static_cast<int64_t>(ranks.size())) return false;
  position_ = static_cast<int32_t>(position);
  return Text().Locate(ranks[static_cast<size_t>(position)].indexValue);
}

}  // namespace tovenmarsh::fulltext
