// The byte-code operations and their executor.
#include "fulltext/query_executor.h"

#include <cstring>

#include "fulltext/cl_errors.h"
#include "fulltext/query_compiler.h"
#include "fulltext/tx_utils.h"

namespace tovenmarsh::fulltext {

const char* const kMatchBits = ".Match Bits.";
const char* const kStackBits = ".Stack Bits.";
const char* const kIgnored = ".Ignored.";

namespace {

bool IsMarker(const TStackEntry& e) { return e.text == kMatchBits || e.text == kStackBits || e.text == kIgnored; }
bool IsWord(const TStackEntry& e) { return !IsMarker(e); }

// Damaged code is a syntax error, never a crash.
void Need(const TExpressionStack& stack, size_t depth) {
  if (stack.entries.size() < depth) throw EExpression(txeSyntaxError);
}

class TString : public TCodes {
 public:
  void Execute(TExpressionStack& stack, TExpressionSearch&) override {
    const std::vector<uint8_t>& code = stack.Code();
    size_t end = stack.position + 1;
    while (end < code.size() && code[end] != 0) ++end;
    if (end >= code.size()) throw EExpression(txeSyntaxError);
    std::string text(code.begin() + static_cast<std::ptrdiff_t>(stack.position + 1),
                     code.begin() + static_cast<std::ptrdiff_t>(end));
    UpperMap(text);
    stack.entries.push_back(TStackEntry{std::move(text), nullptr});
    stack.position = end;  // the executor steps past the zero byte
  }
};

class TBinary : public TCodes {
 public:
  explicit TBinary(TSearchLogic logic) : logic_(logic) {}
  void Execute(TExpressionStack& stack, TExpressionSearch& search) override {
    Need(stack, 2);
    const size_t li = stack.entries.size() - 2;
    const size_t ri = li + 1;
    bool ran = false, none = false;
    if (stack.entries[li].saved) {
      TtaBits& result = search.ResultSet();
      if (stack.entries[ri].text != kIgnored) {
        if (logic_ == slAnd) result.AndWith(stack.entries[li].saved.get());
        else result.OrWith(stack.entries[li].saved.get());
      } else {
        result.CopyFrom(stack.entries[li].saved.get());
      }
      stack.entries[li].saved.reset();
    } else {
      const bool bothIgnored = stack.entries[li].text == kIgnored && stack.entries[ri].text == kIgnored;
      if (stack.entries[ri].text == kMatchBits || stack.entries[ri].text == kIgnored)
        std::swap(stack.entries[li], stack.entries[ri]);
      TStackEntry& left = stack.entries[li];
      TStackEntry& right = stack.entries[ri];
      if (IsWord(left) || left.text == kIgnored) {
        // Save whatever lower entry holds the result before the result starts again.
        search.Save(stack);
        search.ResetTo(logic_ == slAnd);
      }
      if (IsWord(right)) {
        const std::string text = (IsWord(left) ? left.text : std::string()) + " " + right.text;
        ran = true;
        none = !search.SearchWith(text, logic_);
      } else if (bothIgnored) {
        // Two operands of nothing but skipped words add up to nothing, not to every document.
        ran = true;
        none = true;
      }
    }
    stack.entries[li].text = ran && none ? kIgnored : kMatchBits;
    stack.entries.pop_back();
  }

 private:
  TSearchLogic logic_;
};

class TUnary : public TCodes {
 public:
  explicit TUnary(TSearchLogic logic) : logic_(logic) {}
  void Execute(TExpressionStack& stack, TExpressionSearch& search) override {
    Need(stack, 1);
    TStackEntry& top = stack.entries.back();
    if (top.text == kMatchBits) {
      search.Invert();
      return;
    }
    if (top.text == kIgnored || top.text == kStackBits) {
      if (logic_ == slNot) search.Invert();  // a neutral operand stays neutral
      return;
    }
    const std::string text = top.text;
    search.Save(stack);
    search.ResetTo(logic_ == slLike);
    const bool any = search.SearchWith(text, logic_);
    stack.entries.back().text = any ? kMatchBits : kIgnored;
  }

 private:
  TSearchLogic logic_;
};

class TNear : public TCodes {
 public:
  void Execute(TExpressionStack& stack, TExpressionSearch& search) override {
    Need(stack, 2);
    const std::string text = stack.entries[stack.entries.size() - 2].text + " " + stack.entries.back().text;
    stack.entries.pop_back();
    search.Save(stack);
    search.ResetTo(true);
    const bool any = search.SearchWith(text, slNear);
    stack.entries.back().text = any ? kMatchBits : kIgnored;
  }
};

class TPhrase : public TCodes {
 public:
  void Execute(TExpressionStack& stack, TExpressionSearch& search) override {
    Need(stack, 1);
    const std::string text = stack.entries.back().text;
    search.Save(stack);
    search.ResetTo(true);
    const bool any = search.SearchWith(text, slPhrase);
    stack.entries.back().text = any ? kMatchBits : kIgnored;
  }
};

class TPush : public TCodes {
 public:
  void Execute(TExpressionStack&, TExpressionSearch&) override {}
};

}  // namespace

void TExecutor::Run(TExpressionStack& stack) {
  TString str;
  TBinary andOp(slAnd), orOp(slOr);
  TUnary notOp(slNot), likeOp(slLike);
  TNear nearOp;
  TPhrase phraseOp;
  TPush push;
  const std::vector<uint8_t>& code = stack.Code();
  stack.position = 0;
  while (!search_.Aborted()) {
    if (stack.position >= code.size()) throw EExpression(txeSyntaxError);
    TCodes* op = nullptr;
    switch (code[stack.position]) {
      case opString: op = &str; break;
      case opAnd: op = &andOp; break;
      case opOr: op = &orOp; break;
      case opNot: op = &notOp; break;
      case opPhrase: op = &phraseOp; break;
      case opNear: op = &nearOp; break;
      case opLike: op = &likeOp; break;
      case opPush: op = &push; break;
      case opEnd: return;
      default: throw EExpression(txeSyntaxError);
    }
    op->Execute(stack, search_);
    if (OnStep) OnStep(stack);
    ++stack.position;
  }
}

}  // namespace tovenmarsh::fulltext
