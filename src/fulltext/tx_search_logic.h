// TtxLogicSearch: the search engine with the query language. slExpression compiles SearchFor
// and runs it; slSmart does the same, but a query that fails with "Syntax error" before any
// operator was compiled is searched as a plain AND of its words. Other logics search as the
// plain search engine does. After any failure the configured SearchLogic is back in place.
#pragma once

#include <string>
#include <vector>

#include "fulltext/query_executor.h"
#include "fulltext/tx_search.h"

namespace tovenmarsh::fulltext {

class TtxLogicSearch : public TtxProximitySearch, public TExpressionSearch {
 public:
  TtxLogicSearch();
  void Execute() override;

  // The five keywords: AND, OR, NOT, LIKE, NEAR (assigning fewer restores the defaults).
  const std::vector<std::string>& Tokens() const { return tokens_; }
  void SetTokens(std::vector<std::string> tokens);
  // Where the last compile failed (1-based; 0 after a successful compile) and whether an
  // operator had been compiled by then.
  size_t FailurePosition() const { return failurePosition_; }
  bool FailureHadOperator() const { return failureOperator_; }

  // The executor's hooks.
  bool SearchWith(const std::string& text, TSearchLogic logic) override;
  void ResetTo(bool set) override;
  void Invert() override;
  void Save(TExpressionStack& stack) override;
  TtaBits& ResultSet() override { return *result_; }
  bool Aborted() const override { return TtxProximitySearch::Aborted(); }

 protected:
  void RunExpression();

  std::vector<std::string> tokens_;
  size_t failurePosition_ = 0;
  bool failureOperator_ = false;
};

}  // namespace tovenmarsh::fulltext
