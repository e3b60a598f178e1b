// The query language's executor: runs compiled byte code on an expression stack, calling the
// word searches of a logic search on its one result set. It sees that search only through
// TExpressionSearch (TtxLogicSearch implements it), so the search can run the executor.
//
// Stack entries are word or phrase texts or one of three markers: ".Match Bits." (the result
// set holds the entry's value), ".Stack Bits." (the value was saved aside with the entry) and
// ".Ignored." (every word of the operand was skipped). The executor checks every opcode and
// operand it reads against the code's size and the stack's depth.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fulltext/match_bits.h"
#include "fulltext/tx_search.h"

namespace tovenmarsh::fulltext {

extern const char* const kMatchBits;
extern const char* const kStackBits;
extern const char* const kIgnored;

struct TStackEntry {
  std::string text;
  std::unique_ptr<TtaBits> saved;
};

class TExpressionStack {
 public:
  explicit TExpressionStack(std::vector<uint8_t> code) : code_(std::move(code)) {}
  const std::vector<uint8_t>& Code() const { return code_; }
  size_t position = 0;
  std::vector<TStackEntry> entries;

 private:
  std::vector<uint8_t> code_;
};

// What the byte code asks of the search it runs in: word searches with a logic on the one
// result set, and saving, resetting and inverting that set.
class TExpressionSearch {
 public:
  // Searches text with logic on the result; whether any word was searchable.
  virtual bool SearchWith(const std::string& text, TSearchLogic logic) = 0;
  virtual void ResetTo(bool set) = 0;
  virtual void Invert() = 0;
  // The second entry's or any lower ".Match Bits." entry keeps a copy of the result.
  virtual void Save(TExpressionStack& stack) = 0;
  virtual TtaBits& ResultSet() = 0;
  // The executor stops once the search was aborted.
  virtual bool Aborted() const = 0;

 protected:
  ~TExpressionSearch() = default;
};

// One operation of the byte code.
class TCodes {
 public:
  virtual ~TCodes() = default;
  virtual void Execute(TExpressionStack& stack, TExpressionSearch& search) = 0;
};

class TExecutor {
 public:
  explicit TExecutor(TExpressionSearch& search) : search_(search) {}
  void Run(TExpressionStack& stack);
  std::function<void(TExpressionStack&)> OnStep;

 private:
  TExpressionSearch& search_;
};

}  // namespace tovenmarsh::fulltext
