// The expression tokenizer and recursive-descent compiler.
#include "engine/expr/expr_parser.h"

#include <cmath>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/base/engine_strings.h"
#include "engine/expr/expr_convert.h"
#include "engine/expr/expr_types.h"
#include "platform/date_time.h"
#include "platform/format_settings.h"

namespace tovenmarsh::engine {
namespace {

bool IsNameStart(char c) {
  auto u = static_cast<unsigned char>(c);
  return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || u == '_' || (u >= 129 && u <= 254);
}
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9'); }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) {
  auto u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

// Keywords that open a function form (the name followed by "(").
struct FunctionForm {
  const char* Name;
  uint8_t Op;
};

}  // namespace

// Counts nested constructs for the life of one parse level.
class TExpressionParser::TNestingGuard {
 public:
  explicit TNestingGuard(TExpressionParser& parser) : parser_(parser) {
    if (++parser_.nesting_ > kMaxExpressionNesting) {
      --parser_.nesting_;
      parser_.SyntaxError(TExpMessage::NestedTooDeeply);
    }
  }
  ~TNestingGuard() { --parser_.nesting_; }
  TNestingGuard(const TNestingGuard&) = delete;
  TNestingGuard& operator=(const TNestingGuard&) = delete;

 private:
  TExpressionParser& parser_;
};

TExpressionParser::TExpressionParser(void* owner, TSubSelectHook* hook)
    : Owner(owner), SubSelectHook(hook) {}

void TExpressionParser::SetExpression(std::string_view text) {
  // The text ends at its first zero, as a zero-terminated copy would.
  size_t zero = text.find('\0');
  text_.assign(text.substr(0, zero));
  hasText_ = true;
  cursor_ = tokenStart_ = tokenEnd_ = mark_ = prevEnd_ = 0;
  tokenKind_ = tkEnd;
  nesting_ = 0;
}

void TExpressionParser::Clear() {
  if (!hasText_) return;
  text_.clear();
  hasText_ = false;
  cursor_ = tokenStart_ = tokenEnd_ = mark_ = prevEnd_ = 0;
  tokenKind_ = tkEnd;
}

void TExpressionParser::SyntaxError(TExpMessage id, std::initializer_list<std::string_view> args) {
  RaiseEngineError(ErrorCode, ErrorName, {}, ExpressionMessage(id, Context, args));
}

void TExpressionParser::SkipBlanks() {
  while (IsBlank(At(cursor_))) ++cursor_;
}

int TExpressionParser::NextToken() {
  prevEnd_ = cursor_;
  SkipBlanks();
  if (At(cursor_) == '/' && At(cursor_ + 1) == '*') {
    size_t close = text_.find("*/", cursor_ + 2);
    if (close == std::string::npos) SyntaxError(TExpMessage::MissingCommentEnd);
    cursor_ = close + 2;
    SkipBlanks();
  }
  tokenStart_ = cursor_;
  tokenEnd_ = cursor_;
  char c = At(cursor_);
  if (c == '\0') {
    tokenKind_ = tkEnd;
    return tokenKind_;
  }
  if (IsNameStart(c)) {
    while (IsNameChar(At(cursor_))) ++cursor_;
    tokenKind_ = tkName;
  } else if (c == '#') {
    ++cursor_;
    while (IsDigit(At(cursor_))) ++cursor_;
    tokenKind_ = tkCharacter;
  } else if (c == '\'' || c == '"') {
    size_t p = cursor_ + 1;
    while (true) {
      if (p >= text_.size()) {
        SyntaxError(c == '\'' ? TExpMessage::MissingSingleQuote : TExpMessage::MissingDoubleQuote,
                    {std::string_view(text_).substr(tokenStart_)});
      }
      if (text_[p] == c) {
        if (At(p + 1) == c) {
          p += 2;
          continue;
        }
        break;
      }
      ++p;
    }
    cursor_ = p + 1;
    tokenEnd_ = cursor_;
    tokenKind_ = tkString;
  } else if (c == '[') {
    size_t close = text_.find(']', cursor_ + 1);
    if (close == std::string::npos) {
      SyntaxError(TExpMessage::MissingRightBracket, {std::string_view(text_).substr(tokenStart_)});
    }
    cursor_ = close + 1;
    tokenEnd_ = cursor_;
    tokenKind_ = tkBracketName;
  } else if (IsDigit(c) || (c == '.' && IsDigit(At(cursor_ + 1)))) {
    // Expression syntax always writes numbers with "." (an IN list "(1,2)" must not depend on
    // the language's decimal separator).
    tokenKind_ = tkInteger;
    while (IsDigit(At(cursor_))) ++cursor_;
    char n = At(cursor_);
    if (n == '.' || n == 'E' || n == 'e') {
      tokenKind_ = tkFloat;
      while (true) {
        char d = At(cursor_);
        char prev = cursor_ > tokenStart_ ? text_[cursor_ - 1] : '\0';
        if (IsDigit(d) || d == '.' || d == 'E' || d == 'e' ||
            ((d == '+' || d == '-') && (prev == 'E' || prev == 'e'))) {
          ++cursor_;
        } else {
          break;
        }
      }
    }
  } else {
    ++cursor_;
    tokenKind_ = static_cast<unsigned char>(c);
  }
  return tokenKind_;
}

std::string TExpressionParser::TokenText() const {
  std::string out;
  if (tokenKind_ == tkEnd) return out;
  if (tokenKind_ == tkString || tokenKind_ == tkBracketName) {
    size_t begin = tokenStart_ + 1;
    size_t end = tokenEnd_ > begin ? tokenEnd_ - 1 : begin;
    std::string_view inner = std::string_view(text_).substr(begin, end - begin);
    for (size_t i = 0; i < inner.size(); ++i) {
      out += inner[i];
      if ((inner[i] == '\'' || inner[i] == '"') && i + 1 < inner.size() && inner[i + 1] == inner[i]) {
        ++i;
      }
    }
  } else {
    out = text_.substr(tokenStart_, cursor_ - tokenStart_);
  }
  if (out.size() > 255) out.resize(255);
  return out;
}

bool TExpressionParser::IsKeyword(std::string_view word) const {
  if (tokenKind_ != tkName) return false;
  return SameText(std::string_view(text_).substr(tokenStart_, cursor_ - tokenStart_), word);
}

std::string TExpressionParser::MarkedText() const {
  std::string out;
  if (prevEnd_ > mark_) {
    for (char c : std::string_view(text_).substr(mark_, prevEnd_ - mark_)) {
      if (c != '\r' && c != '\n') out += c;
    }
  }
  if (out.size() > 255) out.resize(255);
  return out;
}

TExpTree TExpressionParser::MakeNode(uint8_t nodeClass, uint8_t op, std::string text) {
  TExpTree node = NewExpTree();
  node->NodeClass = nodeClass;
  node->Operator = op;
  node->Text = std::move(text);
  return node;
}

void TExpressionParser::Chain(TExpToken* tail, TExpTree value, TExpMessage id,
                              std::string_view word) {
  if (value->Right != nullptr) {
    std::string text = value->Text;
    if (id == TExpMessage::ConstantExpected) SyntaxError(id, {word, text});
    SyntaxError(id);
  }
  tail->Right = value.release();
}

void TExpressionParser::Expect(int kind, TExpMessage id,
                               std::initializer_list<std::string_view> args) {
  if (tokenKind_ == kind) return;
  std::vector<std::string_view> all(args);
  std::string token = TokenText();
  all.push_back(token);
  switch (all.size()) {
    case 1: SyntaxError(id, {all[0]});
    case 2: SyntaxError(id, {all[0], all[1]});
    default: SyntaxError(id, {all[0], all[1], all[2]});
  }
}

void TExpressionParser::ExpectKeyword(std::string_view word, TExpMessage id) {
  if (!IsKeyword(word)) SyntaxError(id, {TokenText()});
}

void TExpressionParser::CheckTreeHeight(const TExpToken* root) {
  if (root == nullptr) return;
  std::vector<std::pair<const TExpToken*, int>> pending{{root, 1}};
  while (!pending.empty()) {
    auto [node, height] = pending.back();
    pending.pop_back();
    if (height > kMaxExpressionHeight) SyntaxError(TExpMessage::NestedTooDeeply);
    for (const TExpToken* child : {node->Left, node->Right, node->Third}) {
      if (child != nullptr) pending.emplace_back(child, height + 1);
    }
  }
}

TExpTree TExpressionParser::ParseExpression(uint8_t flags) {
  TExpTree left = ParseAnd(flags);
  while (IsKeyword("OR")) {
    TExpTree node = MakeNode(ncBinary, opOr, TokenText());
    node->DataType = 4;
    NextToken();
    TExpTree right = ParseAnd(flags);
    node->Left = left.release();
    node->Right = right.release();
    left = std::move(node);
  }
  // Every level checks (nesting is bounded, so a node is looked at a bounded number of
  // times), which also covers the clauses a sub-select parses through this parser.
  CheckTreeHeight(left.get());
  return left;
}

TExpTree TExpressionParser::ParseAnd(uint8_t flags) {
  TExpTree left = ParseNot(flags);
  while (IsKeyword("AND")) {
    TExpTree node = MakeNode(ncBinary, opAnd, TokenText());
    node->DataType = 4;
    NextToken();
    TExpTree right = ParseNot(flags);
    node->Left = left.release();
    node->Right = right.release();
    left = std::move(node);
  }
  return left;
}

TExpTree TExpressionParser::ParseNot(uint8_t flags) {
  if (!IsKeyword("NOT")) return ParseComparison(flags);
  TExpTree node = MakeNode(ncUnary, opNot, TokenText());
  node->DataType = 4;
  NextToken();
  node->Left = ParseComparison(flags).release();
  return node;
}

TExpTree TExpressionParser::ParseComparison(uint8_t flags) {
  TExpTree left = ParseSum(flags);
  uint8_t op = 0;
  std::string text;
  if (TokenIs('=')) {
    op = opEqual;
    text = "=";
    NextToken();
  } else if (TokenIs('<')) {
    NextToken();
    if (TokenIs('>')) {
      op = opNotEqual;
      text = "< >";
      NextToken();
    } else if (TokenIs('=')) {
      op = opLessEqual;
      text = "< =";
      NextToken();
    } else {
      op = opLess;
      text = "<";
    }
  } else if (TokenIs('>')) {
    NextToken();
    if (TokenIs('=')) {
      op = opGreaterEqual;
      text = "> =";
      NextToken();
    } else {
      op = opGreater;
      text = ">";
    }
  }
  if (op != 0) {
    TExpTree node = MakeNode(ncBinary, op, std::move(text));
    node->DataType = 4;
    TExpTree right = ParseSum(flags);
    node->Left = left.release();
    node->Right = right.release();
    return node;
  }
  if (IsKeyword("LIKE") || IsKeyword("BETWEEN") || IsKeyword("IN") || IsKeyword("IS") ||
      IsKeyword("NOT")) {
    return ParsePredicate(std::move(left), flags);
  }
  return left;
}

TExpTree TExpressionParser::ParsePredicate(TExpTree left, uint8_t flags) {
  if ((flags & pfExtended) == 0) SyntaxError(TExpMessage::ExtendedNotAllowed);
  std::string text = TokenText();
  bool negated = false;
  if (IsKeyword("NOT")) {
    NextToken();
    if (!IsKeyword("BETWEEN") && !IsKeyword("LIKE") && !IsKeyword("IN")) {
      SyntaxError(TExpMessage::UnknownSymbolIn, {TokenText()});
    }
    negated = true;
    text += " " + TokenText();
  }
  if (IsKeyword("IS")) {
    NextToken();
    uint8_t op = opEqual;
    if (IsKeyword("NOT")) {
      text += " " + TokenText();
      op = opNotEqual;
      NextToken();
    }
    if (!IsKeyword("NULL")) SyntaxError(TExpMessage::UnknownSymbolFound, {TokenText()});
    text += " " + TokenText();
    NextToken();
    TExpTree node = MakeNode(ncBinary, op, text);
    node->DataType = 4;
    TExpTree null = MakeNode(ncConstant, 0, "NULL");
    null->IsNull = true;
    node->Left = left.release();
    node->Right = null.release();
    return node;
  }
  if (IsKeyword("LIKE")) {
    NextToken();
    TExpTree node = MakeNode(ncPredicate, negated ? opNotLike : opLike, text);
    node->DataType = 4;
    TExpTree pattern = ParseSum(flags);
    node->Left = left.release();
    node->Right = pattern.release();
    return node;
  }
  if (IsKeyword("BETWEEN")) {
    NextToken();
    TExpTree node = MakeNode(ncPredicate, negated ? opNotBetween : opBetween, text);
    node->DataType = 4;
    node->Left = left.release();
    TExpTree low = ParseSum(flags);
    ExpectKeyword("AND", TExpMessage::BetweenAnd);
    NextToken();
    TExpTree high = ParseSum(flags);
    TExpToken* lowNode = low.get();
    Chain(node.get(), std::move(low), TExpMessage::ConstantExpected,
          negated ? "NOT BETWEEN" : "BETWEEN");
    Chain(lowNode, std::move(high), TExpMessage::ConstantExpected,
          negated ? "NOT BETWEEN" : "BETWEEN");
    return node;
  }
  // IN
  NextToken();
  if (!TokenIs('(')) {
    SyntaxError(negated ? TExpMessage::NotInLeftParen : TExpMessage::InLeftParen, {TokenText()});
  }
  NextToken();
  if (IsKeyword("SELECT")) {
    if ((flags & pfSubSelects) == 0 || SubSelectHook == nullptr) {
      SyntaxError(TExpMessage::SubSelectNotAllowed);
    }
    TExpTree node = MakeNode(ncPredicate, negated ? opNotInSelect : opInSelect, text);
    node->DataType = 4;
    node->Left = left.release();
    TExpTree sub = MakeNode(ncSubSelect, 0, TokenText());
    {
      // Sub-selects nest through the hook: they count like parentheses.
      TNestingGuard guard(*this);
      sub->SubQuery = SubSelectHook->CreateSubSelect(Owner, *this);
    }
    node->Right = sub.release();
    Expect(')', TExpMessage::InRightParen);
    NextToken();
    return node;
  }
  if (TokenIs(')')) SyntaxError(TExpMessage::InEmpty);
  TExpTree node = MakeNode(ncPredicate, negated ? opNotIn : opIn, text);
  node->DataType = 4;
  node->Left = left.release();
  const char* word = negated ? "NOT IN" : "IN";
  TExpToken* tail = node.get();
  while (true) {
    TExpTree value = ParseSum(flags);
    TExpToken* valueNode = value.get();
    Chain(tail, std::move(value), TExpMessage::ConstantExpected, word);
    tail = valueNode;
    if (!TokenIs(',')) break;
    NextToken();
  }
  Expect(')', TExpMessage::InRightParen);
  NextToken();
  return node;
}

TExpTree TExpressionParser::ParseSum(uint8_t flags) {
  TExpTree left = ParseTerm(flags);
  while (true) {
    uint8_t op = 0;
    std::string text;
    if (TokenIs('+')) {
      op = opAdd;
      text = "+";
    } else if (TokenIs('-')) {
      op = opSubtract;
      text = "-";
    } else if (TokenIs('|')) {
      NextToken();
      if (!TokenIs('|')) SyntaxError(TExpMessage::SecondConcatenation, {TokenText()});
      op = opAdd;
      text = "||";
    } else {
      return left;
    }
    NextToken();
    TExpTree node = MakeNode(ncBinary, op, std::move(text));
    node->DataType = left->DataType;
    TExpTree right = ParseTerm(flags);
    node->Left = left.release();
    node->Right = right.release();
    left = std::move(node);
  }
}

TExpTree TExpressionParser::ParseTerm(uint8_t flags) {
  TExpTree left = ParseSigned(flags);
  while (TokenIs('*') || TokenIs('/')) {
    TExpTree node = MakeNode(ncBinary, TokenIs('*') ? opMultiply : opDivide, TokenText());
    node->DataType = left->DataType;
    NextToken();
    TExpTree right = ParseSigned(flags);
    node->Left = left.release();
    node->Right = right.release();
    left = std::move(node);
  }
  return left;
}

TExpTree TExpressionParser::ParseSigned(uint8_t flags) {
  if (!TokenIs('+') && !TokenIs('-')) return ParsePrimary(flags);
  TExpTree node = MakeNode(ncUnary, TokenIs('-') ? opNegate : opPositive, TokenText());
  NextToken();
  TExpTree operand = ParsePrimary(flags);
  node->DataType = operand->DataType;
  node->Left = operand.release();
  return node;
}

TExpTree TExpressionParser::ParseColumnAfterName(std::string first, uint8_t flags) {
  // The current token is the one after the first name.
  if (!TokenIs('.')) {
    TExpTree node = MakeNode(ncColumn, 0, first);
    node->FieldName = std::move(first);
    return node;
  }
  NextToken();
  std::string second;
  if (TokenIs(tkName) || TokenIs(tkString) || TokenIs(tkBracketName)) {
    second = TokenText();
  } else if (TokenIs('*')) {
    if ((flags & pfAllColumns) == 0) SyntaxError(TExpMessage::AllColumnsNotAllowed);
    second = "*";
  } else {
    SyntaxError(TExpMessage::CorrelationSymbol, {TokenText()});
  }
  NextToken();
  TExpTree node = MakeNode(ncColumn, 0, first + "." + second);
  node->TableName = std::move(first);
  node->FieldName = std::move(second);
  return node;
}

TExpTree TExpressionParser::ParsePrimary(uint8_t flags) {
  TNestingGuard guard(*this);
  switch (tokenKind_) {
    case tkName: {
      if (AggregateCode(TokenText()) != 0 || IsKeyword("LOWER") || IsKeyword("UPPER") ||
          IsKeyword("SUBSTRING") || IsKeyword("REPLACE") || IsKeyword("POS") ||
          IsKeyword("OCCURS") || IsKeyword("CAST") || IsKeyword("TRIM") ||
          IsKeyword("EXTRACT") || IsKeyword("ABS") || IsKeyword("ROUND") || IsKeyword("IF")) {
        return ParseFunction(flags);
      }
      if (IsKeyword("TRUE") || IsKeyword("FALSE")) {
        TExpTree node = MakeNode(ncConstant, 0, TokenText());
        node->DataType = 4;
        node->SetDataSize(2);
        node->Put<int16_t>(IsKeyword("TRUE") ? 1 : 0);
        NextToken();
        return node;
      }
      if (IsKeyword("NULL")) {
        TExpTree node = MakeNode(ncConstant, 0, "NULL");
        node->IsNull = true;
        NextToken();
        return node;
      }
      if (IsKeyword("CURRENT_DATE") || IsKeyword("CURRENT_TIME") ||
          IsKeyword("CURRENT_TIMESTAMP")) {
        TExpTree node = MakeNode(ncConstant, 0, TokenText());
        double now = platform::Now();
        int32_t day = static_cast<int32_t>(std::floor(now)) + kTimeOnlyDay;
        int32_t ms = static_cast<int32_t>(std::llround((now - std::floor(now)) * 86400000.0));
        if (ms >= 86400000) ms = 86399999;
        if (IsKeyword("CURRENT_DATE")) {
          node->DataType = 2;
          node->SetDataSize(4);
          node->Put<int32_t>(day);
        } else if (IsKeyword("CURRENT_TIME")) {
          node->DataType = 10;
          node->SetDataSize(4);
          node->Put<int32_t>(ms);
        } else {
          node->DataType = 11;
          node->SetDataSize(8);
          node->Put<double>(static_cast<double>(day) * 86400000.0 + ms);
        }
        NextToken();
        return node;
      }
      std::string name = TokenText();
      NextToken();
      if (TokenIs('(')) SyntaxError(TExpMessage::UnknownFunction, {name});
      return ParseColumnAfterName(std::move(name), flags);
    }
    case tkBracketName: {
      std::string name = TokenText();
      NextToken();
      return ParseColumnAfterName(std::move(name), flags);
    }
    case tkString: {
      std::string value = TokenText();
      NextToken();
      if (TokenIs('.')) return ParseColumnAfterName(std::move(value), flags);
      if (value.empty()) {
        // An empty string is NULL (of no type).
        TExpTree node = MakeNode(ncConstant, 0, "NULL");
        node->IsNull = true;
        return node;
      }
      TExpTree node = MakeNode(ncConstant, 0, value);
      node->DataType = 1;
      node->SetStringValue(value);
      return node;
    }
    case tkCharacter: {
      std::string text = TokenText();
      if (text.empty() || text[0] != '#') SyntaxError(TExpMessage::CharacterInternal);
      int code = 0;
      for (size_t i = 1; i < text.size(); ++i) {
        code = code * 10 + (text[i] - '0');
        if (code > 255) SyntaxError(TExpMessage::CharacterRange);
      }
      if (text.size() < 2) SyntaxError(TExpMessage::CharacterRange);
      TExpTree node = MakeNode(ncConstant, 0, text);
      node->DataType = 1;
      node->SetDataSize(2);
      node->Data[0] = static_cast<uint8_t>(code);
      node->Data[1] = 0;
      NextToken();
      return node;
    }
    case tkInteger: {
      std::string text = TokenText();
      int32_t value = 0;
      if (!platform::TryTextToInt32(text, value)) SyntaxError(TExpMessage::IntegerInvalid, {text});
      TExpTree node = MakeNode(ncConstant, 0, text);
      node->DataType = 6;
      node->SetDataSize(4);
      node->Put<int32_t>(value);
      NextToken();
      return node;
    }
    case tkFloat: {
      std::string text = TokenText();
      double value = 0;
      if (!platform::TryTextToFloat(text, value, platform::NeutralFormatSettings())) {
        SyntaxError(TExpMessage::FloatInvalid, {text});
      }
      TExpTree node = MakeNode(ncConstant, 0, text);
      node->DataType = 7;
      node->SetDataSize(8);
      node->Put<double>(value);
      NextToken();
      return node;
    }
    case '(': {
      NextToken();
      TExpTree inner = ParseExpression(flags);
      Expect(')', TExpMessage::RightParen);
      NextToken();
      return inner;
    }
    case '*': {
      if ((flags & pfAllColumns) == 0) SyntaxError(TExpMessage::AllColumnsNotAllowed);
      TExpTree node = MakeNode(ncColumn, 0, "*");
      node->FieldName = "*";
      NextToken();
      return node;
    }
    case '?': {
      if ((flags & pfParameters) == 0) SyntaxError(TExpMessage::ParametersNotAllowed);
      TExpTree node = MakeNode(ncConstant, 0, "?");
      node->IsParameter = true;
      NextToken();
      return node;
    }
    default: SyntaxError(TExpMessage::UnknownSymbolFound, {TokenText()});
  }
}

TExpTree TExpressionParser::ParseFunction(uint8_t flags) {
  using M = TExpMessage;
  std::string name = TokenText();
  uint8_t aggregate = AggregateCode(name);
  if (aggregate != 0) {
    if ((flags & pfAggregates) == 0) SyntaxError(M::AggregatesNotAllowed);
    NextToken();
    Expect('(', M::AggregateLeftParen, {name});
    NextToken();
    TExpTree node = MakeNode(ncFunction, aggregate, name);
    node->FieldName = name;
    TExpTree argument = ParseSum(flags);
    node->DataType = aggregate == opCount ? 6 : argument->DataType;
    node->Left = argument.release();
    Expect(')', M::AggregateRightParen, {name});
    NextToken();
    return node;
  }

  auto open = [&](M id) {
    NextToken();
    Expect('(', id);
    NextToken();
  };
  auto close = [&](M id) {
    Expect(')', id);
    NextToken();
  };
  auto keyword = [&](const char* word, M id) {
    ExpectKeyword(word, id);
    NextToken();
  };

  if (IsKeyword("LOWER") || IsKeyword("UPPER")) {
    bool upper = IsKeyword("UPPER");
    TExpTree node = MakeNode(ncFunction, upper ? opUpper : opLower, name);
    node->DataType = 1;
    open(upper ? M::UpperLeftParen : M::LowerLeftParen);
    node->Left = ParseSum(flags).release();
    close(upper ? M::UpperRightParen : M::LowerRightParen);
    return node;
  }
  if (IsKeyword("SUBSTRING")) {
    TExpTree node = MakeNode(ncFunction, opSubstring, name);
    node->DataType = 1;
    open(M::SubstringLeftParen);
    node->Left = ParseSum(flags).release();
    keyword("FROM", M::SubstringFrom);
    TExpTree from = ParsePrimary(flags);
    TExpToken* fromNode = from.get();
    Chain(node.get(), std::move(from), M::SubstringFromConstant, {});
    if (IsKeyword("FOR")) {
      NextToken();
      Chain(fromNode, ParsePrimary(flags), M::SubstringForConstant, {});
    }
    close(M::SubstringRightParen);
    return node;
  }
  if (IsKeyword("REPLACE")) {
    TExpTree node = MakeNode(ncFunction, opReplace, name);
    node->DataType = 1;
    open(M::ReplaceLeftParen);
    TExpTree search = ParseSum(flags);
    keyword("WITH", M::ReplaceWith);
    TExpTree with = ParseSum(flags);
    keyword("IN", M::ReplaceIn);
    node->Left = ParsePrimary(flags).release();
    TExpToken* searchNode = search.get();
    Chain(node.get(), std::move(search), M::ReplaceSearchArgument, {});
    Chain(searchNode, std::move(with), M::ReplaceWithArgument, {});
    close(M::ReplaceRightParen);
    return node;
  }
  if (IsKeyword("POS") || IsKeyword("OCCURS")) {
    bool pos = IsKeyword("POS");
    TExpTree node = MakeNode(ncFunction, pos ? opPos : opOccurs, name);
    node->DataType = 6;
    open(pos ? M::PosLeftParen : M::OccursLeftParen);
    TExpTree search = ParseSum(flags);
    keyword("IN", pos ? M::PosIn : M::OccursIn);
    node->Left = ParsePrimary(flags).release();
    node->Right = search.release();
    close(pos ? M::PosRightParen : M::OccursRightParen);
    return node;
  }
  if (IsKeyword("CAST")) {
    TExpTree node = MakeNode(ncFunction, opCast, name);
    open(M::CastLeftParen);
    node->Left = ParseExpression(flags).release();
    keyword("AS", M::CastAs);
    ParseDataType(*node, false);
    close(M::CastRightParen);
    return node;
  }
  if (IsKeyword("TRIM")) {
    TExpTree node = MakeNode(ncFunction, 0, name);
    node->DataType = 1;
    open(M::TrimLeftParen);
    if (IsKeyword("LEADING")) {
      node->Operator = opTrimLeading;
    } else if (IsKeyword("TRAILING")) {
      node->Operator = opTrimTrailing;
    } else if (IsKeyword("BOTH")) {
      node->Operator = opTrimBoth;
    } else {
      SyntaxError(M::TrimKind, {TokenText()});
    }
    NextToken();
    TExpTree character = ParsePrimary(flags);
    keyword("FROM", M::TrimFrom);
    node->Left = ParseSum(flags).release();
    node->Right = character.release();
    close(M::TrimRightParen);
    return node;
  }
  if (IsKeyword("EXTRACT")) {
    TExpTree node = MakeNode(ncFunction, 0, name);
    node->DataType = 6;
    open(M::ExtractLeftParen);
    static constexpr const char* kParts[] = {"YEAR", "MONTH", "DAY", "DAYOFWEEK",
                                             "HOUR", "MINUTE", "SECOND"};
    for (int i = 0; i < 7; ++i) {
      if (IsKeyword(kParts[i])) node->Operator = static_cast<uint8_t>(opExtractYear + i);
    }
    if (node->Operator == 0) SyntaxError(M::ExtractPart, {TokenText()});
    NextToken();
    keyword("FROM", M::ExtractFrom);
    node->Left = ParsePrimary(flags).release();
    close(M::ExtractRightParen);
    return node;
  }
  if (IsKeyword("ABS")) {
    TExpTree node = MakeNode(ncFunction, opAbs, name);
    node->DataType = 6;
    open(M::AbsLeftParen);
    node->Left = ParseSum(flags).release();
    close(M::AbsRightParen);
    return node;
  }
  if (IsKeyword("ROUND")) {
    TExpTree node = MakeNode(ncFunction, opRound, name);
    node->DataType = 7;
    open(M::RoundLeftParen);
    node->Left = ParseSum(flags).release();
    if (IsKeyword("TO")) {
      NextToken();
      node->Right = ParseSum(flags).release();
    }
    close(M::RoundRightParen);
    return node;
  }
  // IF
  TExpTree node = MakeNode(ncFunction, opIf, name);
  open(M::IfLeftParen);
  node->Left = ParseExpression(flags).release();
  keyword("THEN", M::IfThen);
  node->Right = ParseSum(flags).release();
  keyword("ELSE", M::IfElse);
  node->Third = ParseSum(flags).release();
  node->DataType = node->Right->DataType;
  close(M::IfRightParen);
  return node;
}

void TExpressionParser::ParseTypeArguments(TExpToken& node, bool two, bool secondOptional,
                                           TExpMessage leftParen, TExpMessage comma,
                                           TExpMessage rightParen, bool optional) {
  NextToken();
  if (!TokenIs('(')) {
    if (optional) return;
    SyntaxError(leftParen, {TokenText()});
  }
  NextToken();
  TExpTree first = ParsePrimary(pfFilter);
  TExpToken* firstNode = first.get();
  Chain(&node, std::move(first), TExpMessage::LengthInteger, {});
  if (two) {
    if (TokenIs(',')) {
      NextToken();
      Chain(firstNode, ParsePrimary(pfFilter), TExpMessage::ScaleInteger, {});
    } else if (!(secondOptional && TokenIs(')'))) {
      SyntaxError(comma, {TokenText()});
    }
  }
  Expect(')', rightParen);
  NextToken();
}

void TExpressionParser::ParseDataType(TExpToken& node, bool typeOptional) {
  using M = TExpMessage;
  struct Simple {
    const char* Name;
    uint8_t Type;
    uint8_t SubType;
  };
  static constexpr Simple kSimple[] = {
      {"SMALLINT", 5, 0}, {"WORD", 12, 0},       {"INTEGER", 6, 0}, {"AUTOINC", 6, 29},
      {"MONEY", 7, 21},   {"DATE", 2, 0},        {"TIME", 10, 0},   {"TIMESTAMP", 11, 0},
      {"BOOLEAN", 4, 0},
  };
  for (const Simple& s : kSimple) {
    if (IsKeyword(s.Name)) {
      node.DataType = s.Type;
      node.SubType = s.SubType;
      NextToken();
      return;
    }
  }
  // A type's arguments are leaves linked from node.Right; any previous ones go first.
  if (node.Right != nullptr) FreeExpressionTree(node.Right);
  if (IsKeyword("DECIMAL") || IsKeyword("NUMERIC") || IsKeyword("FLOAT")) {
    bool decimal = IsKeyword("DECIMAL");
    bool numeric = IsKeyword("NUMERIC");
    node.DataType = decimal ? 8 : 7;
    node.SubType = 0;
    // One argument (DECIMAL(10)) gives the precision alone, with no decimals.
    ParseTypeArguments(node, true, true, M::DataTypeExpected,
                       decimal ? M::DecimalComma : numeric ? M::NumericComma : M::FloatComma,
                       decimal   ? M::DecimalRightParen
                       : numeric ? M::NumericRightParen
                                 : M::FloatRightParen,
                       true);
    return;
  }
  if (IsKeyword("CHARACTER") || IsKeyword("CHAR")) {
    node.DataType = 1;
    node.SubType = 0;
    ParseTypeArguments(node, false, false, M::CharLeftParen, M::CharLeftParen, M::CharRightParen,
                       false);
    return;
  }
  if (IsKeyword("VARCHAR")) {
    node.DataType = 1;
    node.SubType = 0;
    ParseTypeArguments(node, false, false, M::VarcharLeftParen, M::VarcharLeftParen,
                       M::VarcharRightParen, false);
    return;
  }
  if (IsKeyword("BYTES")) {
    node.DataType = 9;
    node.SubType = 0;
    ParseTypeArguments(node, false, false, M::BytesRightParen, M::BytesRightParen,
                       M::BytesRightParen, true);
    return;
  }
  if (IsKeyword("BLOB")) {
    node.DataType = 3;
    node.SubType = 0;
    ParseTypeArguments(node, true, false, M::BlobLeftParen, M::BlobComma, M::BlobRightParen,
                       false);
    return;
  }
  if (!typeOptional) SyntaxError(M::DataTypeExpected, {TokenText()});
}

}  // namespace tovenmarsh::engine
