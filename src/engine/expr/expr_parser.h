// TExpressionParser: the tokenizer and recursive-descent compiler of expressions (cursor
// filters, locate conditions and every SQL clause) and of SQL data types.
//
// Contract: every syntax error raises the engine error ErrorCode with ErrorName as the table
// name and the message (ending in " in " + Context) as its text; nothing else escapes (a number
// that does not convert is a syntax error too). A partly built tree is released to the node
// pool when an error unwinds. Nesting is bounded: input nested deeper than the parser can
// follow safely raises the same engine error instead of exhausting the stack. Numbers always
// use "." as the decimal separator, whatever the language. The parser does no type checking.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/base/engine_error.h"
#include "engine/expr/expr_messages.h"
#include "engine/expr/expr_token.h"

namespace tovenmarsh::engine {

class TExpressionParser;

// The SQL side of sub-selects ("x IN (SELECT ...)"). The SQL statement object implements it;
// without one, sub-selects are refused like a parse without flag 16.
class TSubSelectHook {
 public:
  virtual ~TSubSelectHook() = default;
  // Creates a sub-query owned by owner (the statement), registers it and parses the SELECT
  // through parser from its current token ("SELECT"), leaving the closing ")" current. Returns
  // the sub-query object (kept in the node's SubQuery); raises on a syntax error.
  virtual void* CreateSubSelect(void* owner, TExpressionParser& parser) = 0;
  // The number of result columns of the sub-query.
  virtual int ResultColumnCount(void* subQuery) = 0;
  // Gives node the name, type, size and scale of the single result column; false when it
  // cannot.
  virtual bool BindSubSelectColumn(void* subQuery, TExpToken& node) = 0;
  // Filters the sub-query's result by comparison (an "=" node whose Left is the tested value
  // and Right the evaluated sub-select node) and returns the visible record count.
  virtual int64_t FilterSubSelect(void* subQuery, TExpToken& comparison) = 0;
};

// Token kinds; any other value is the single character itself.
enum TExpTokenKind : int {
  tkEnd = 0,
  tkName = 1,
  tkBracketName = 2,
  tkString = 3,
  tkCharacter = 4,
  tkInteger = 5,
  tkFloat = 6,
};

// Parse flags.
inline constexpr uint8_t pfAggregates = 1;
inline constexpr uint8_t pfAllColumns = 2;
inline constexpr uint8_t pfExtended = 4;
inline constexpr uint8_t pfParameters = 8;
inline constexpr uint8_t pfSubSelects = 16;
inline constexpr uint8_t pfFilter = pfExtended;

// Nesting bounds: nested constructs (parentheses, function arguments) and the height of the
// finished tree (a long chain of AND, OR or + is tall too). Evaluation, type checking and
// copying recurse over the tree, so the height limit protects them as well.
inline constexpr int kMaxExpressionNesting = 64;
inline constexpr int kMaxExpressionHeight = 512;

class TExpressionParser {
 public:
  explicit TExpressionParser(void* owner = nullptr, TSubSelectHook* hook = nullptr);
  ~TExpressionParser() = default;
  TExpressionParser(const TExpressionParser&) = delete;
  TExpressionParser& operator=(const TExpressionParser&) = delete;

  void* Owner = nullptr;
  TSubSelectHook* SubSelectHook = nullptr;
  uint16_t ErrorCode = kErrFilterError;
  std::string ErrorName;
  std::string Context = "filter expression";

  void SetExpression(std::string_view text);
  void Clear();

  int NextToken();
  std::string TokenText() const;
  bool IsKeyword(std::string_view word) const;
  bool TokenIs(int kind) const { return tokenKind_ == kind; }
  int TokenKind() const { return tokenKind_; }
  size_t TokenOffset() const { return tokenStart_; }
  void MarkStart() { mark_ = tokenStart_; }
  std::string MarkedText() const;

  // Grammar levels; each expects its first token current and leaves the next one current.
  // ParseExpression also checks the height of the tree it built.
  TExpTree ParseExpression(uint8_t flags);
  TExpTree ParseAnd(uint8_t flags);
  TExpTree ParseNot(uint8_t flags);
  TExpTree ParseComparison(uint8_t flags);
  TExpTree ParseSum(uint8_t flags);
  TExpTree ParseTerm(uint8_t flags);
  TExpTree ParseSigned(uint8_t flags);
  TExpTree ParsePrimary(uint8_t flags);
  // Sets node's DataType and SubType from an SQL type; length and scale arguments go to
  // node.Right and its Right. Unknown names raise unless typeOptional (then nothing is read).
  void ParseDataType(TExpToken& node, bool typeOptional);

  // Raises the syntax error id with the current context.
  [[noreturn]] void SyntaxError(TExpMessage id, std::initializer_list<std::string_view> args = {});
  // Raises when the tree is taller than kMaxExpressionHeight.
  void CheckTreeHeight(const TExpToken* root);

 private:
  class TNestingGuard;

  char At(size_t position) const {
    return position < text_.size() ? text_[position] : '\0';
  }
  void SkipBlanks();
  TExpTree MakeNode(uint8_t nodeClass, uint8_t op, std::string text);
  // Links value as the next list element after tail; a value whose own Right is taken cannot
  // be a list element and raises the constant-expected error for its list.
  void Chain(TExpToken* tail, TExpTree value, TExpMessage id, std::string_view word);
  TExpTree ParseColumnAfterName(std::string first, uint8_t flags);
  TExpTree ParseFunction(uint8_t flags);
  TExpTree ParsePredicate(TExpTree left, uint8_t flags);
  void Expect(int kind, TExpMessage id, std::initializer_list<std::string_view> args = {});
  void ExpectKeyword(std::string_view word, TExpMessage id);
  void ParseTypeArguments(TExpToken& node, bool two, bool secondOptional, TExpMessage leftParen,
                          TExpMessage comma, TExpMessage rightParen, bool optional);

  std::string text_;
  bool hasText_ = false;
  size_t cursor_ = 0;
  size_t tokenStart_ = 0;
  int tokenKind_ = tkEnd;
  size_t tokenEnd_ = 0;
  size_t mark_ = 0;
  size_t prevEnd_ = 0;
  int nesting_ = 0;
};

}  // namespace tovenmarsh::engine
