// The logic search: compile, run, and the "smart" fallback to a plain AND search.
#include "fulltext/tx_search_logic.h"

#include "fulltext/cl_errors.h"
#include "fulltext/query_compiler.h"
#include "fulltext/query_executor.h"

namespace tovenmarsh::fulltext {
namespace {

std::string Trimmed(const std::string& text) {
  size_t a = 0, b = text.size();
  while (a < b && static_cast<uint8_t>(text[a]) <= ' ') ++a;
  while (b > a && static_cast<uint8_t>(text[b - 1]) <= ' ') --b;
  return text.substr(a, b - a);
}

}  // namespace

TtxLogicSearch::TtxLogicSearch() : tokens_(DefaultTokens()) {}

void TtxLogicSearch::SetTokens(std::vector<std::string> tokens) {
  tokens_ = tokens.size() < 5 ? DefaultTokens() : std::move(tokens);
}

bool TtxLogicSearch::SearchWith(const std::string& text, TSearchLogic logic) {
  logic_ = logic;
  SearchText(text);
  return !(searchedCount_ == 0 && logic != slNot);
}


void TtxLogicSearch::ResetTo(bool set) { SetAll(set); }

void TtxLogicSearch::Invert() { result_->Invert(); }

void TtxLogicSearch::Save(TExpressionStack& stack) {
  if (stack.entries.size() < 2) return;
  for (size_t i = stack.entries.size() - 1; i-- > 0;) {
    TStackEntry& entry = stack.entries[i];
    if (entry.text == kMatchBits) {
      entry.text = kStackBits;
      entry.saved = std::make_unique<TtaBits>(result_->Max());
      entry.saved->CopyFrom(result_.get());
      return;
    }
  }
}

void TtxLogicSearch::RunExpression() {
  TCompile compile(Trimmed(SearchFor));
  try {
    TCompiler(compile).Compile(tokens_);
  } catch (const EExpression&) {
    failurePosition_ = compile.Position();
    failureOperator_ = compile.OperatorEmitted();
    throw;
  }
  TExpressionStack stack(compile.Code());
  TExecutor(*this).Run(stack);
  if (!stack.entries.empty()) {
    const TStackEntry& bottom = stack.entries.front();
    if (bottom.text == kIgnored) {
      result_->ClearAll();
    } else if (bottom.text != kMatchBits && bottom.text != kStackBits) {
      SetAll(true);
      SearchWith(bottom.text, slAnd);
    }
  }
}

void TtxLogicSearch::Execute() {
  Text();
  Words();
  const TSearchLogic configured = SearchLogic;
  logic_ = configured;
  failurePosition_ = 0;
  failureOperator_ = false;
  SetState(StateOf(esSearching));
  try {
    Prepare();
    if (configured == slExpression || configured == slSmart) {
      logic_ = slExpression;
      try {
        RunExpression();
      } catch (const EExpression& e) {
        if (e.Code() != txeSyntaxError || failureOperator_ || configured != slSmart) throw;
        // Not an expression and no operator in it: the words, all of them.
        logic_ = slAnd;
        SetAll(true);
        SearchText(SearchFor);
      }
    } else {
      SearchText(SearchFor);
    }
  } catch (...) {
    SearchLogic = configured;
    logic_ = configured;
    try {
      Finish();
      SetState(0);
    } catch (...) {
    }
    throw;
  }
  SearchLogic = configured;
  Finish();
  logic_ = configured;
  SetState(0);
}

}  // namespace tovenmarsh::fulltext
