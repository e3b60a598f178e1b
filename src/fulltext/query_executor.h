// The query language's executor: runs compiled byte code on an expression stack, calling the
// word searches of a logic search on its one result set.
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

namespace tovenmarsh::fulltext {

class TtxLogicSearch;

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

// One operation of the byte code.
class TCodes {
 public:
  virtual ~TCodes() = default;
  virtual void Execute(TExpressionStack& stack, TtxLogicSearch& search) = 0;
};

class TExecutor {
 public:
  explicit TExecutor(TtxLogicSearch& search) : search_(search) {}
  void Run(TExpressionStack& stack);
  std::function<void(TExpressionStack&)> OnStep;

 private:
  TtxLogicSearch& search_;
};

}  // namespace tovenmarsh::fulltext
