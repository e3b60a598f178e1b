// The query language's compiler: words, quoted phrases, parentheses and the keywords AND, OR,
// NOT, LIKE and NEAR (in any case) compiled into postfix byte code.
//
// The compiler takes text typed by anyone: it reads at most kMaxQueryLength characters (longer
// queries fail with "Syntax error"), nests at most kMaxNesting levels of parentheses and
// keywords, emits at most 1023 bytes ("Code array full"), and raises nothing but EExpression
// with the codes 30464, 30485, 30486, 30487 and 30498.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fulltext/cl_errors.h"

namespace tovenmarsh::fulltext {

class EExpression : public EClException {
 public:
  explicit EExpression(int code);
  const char* ClassName() const noexcept override { return "EExpression"; }
};

enum TOpcode : uint8_t {
  opString = 1,
  opAnd = 2,
  opOr = 3,
  opNot = 4,
  opPhrase = 5,
  opNear = 6,
  opLike = 7,
  opPush = 8,
  opEnd = 255,
};

// The five keywords by position: 0 AND, 1 OR, 2 NOT, 3 LIKE, 4 NEAR.
std::vector<std::string> DefaultTokens();

class TCompile {
 public:
  static constexpr size_t kCodeSize = 1023;
  static constexpr size_t kMaxQueryLength = 4096;
  static constexpr int kMaxNesting = 64;
  static constexpr size_t kMaxWordLength = 256;

  explicit TCompile(std::string query);

  const std::vector<uint8_t>& Code() const { return code_; }
  uint8_t LastOpcode() const { return last_; }
  bool OperatorEmitted() const { return operator_; }
  // 1-based position of the scanner.
  size_t Position() const { return position_ + 1; }

  void Emit(uint8_t opcode);
  void EmitString(const std::string& text);

 private:
  friend class TCompiler;
  int Peek() const;  // upper-cased, tab as space; -1 at the end
  void SkipBlanks();

  std::string query_;
  size_t position_ = 0;
  std::vector<uint8_t> code_;
  uint8_t last_ = 0;
  bool operator_ = false;
};

class TCompiler {
 public:
  explicit TCompiler(TCompile& compile) : c_(compile) {}
  // Compiles the whole query; tokens as DefaultTokens (empty: the defaults).
  void Compile(const std::vector<std::string>& tokens);

 private:
  void Expression();
  void NotTerm();
  void LikeTerm();
  void Primary();
  bool Keyword(int token);
  bool AnyKeywordAhead();
  bool Word(std::string& word);
  void RequireWord();
  void Enter();

  TCompile& c_;
  std::vector<std::string> tokens_;
  int depth_ = 0;
};

}  // namespace tovenmarsh::fulltext
