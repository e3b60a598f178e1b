// Recursive-descent compiler of the query language into postfix byte code.
#include "fulltext/query_compiler.h"

#include "fulltext/tx_utils.h"
#include "platform/win1252.h"

namespace tovenmarsh::fulltext {

EExpression::EExpression(int code) : EClException(code, SysToolsMessage(code)) {}

std::vector<std::string> DefaultTokens() { return {"and", "or", "not", "like", "near"}; }

TCompile::TCompile(std::string query) : query_(std::move(query)) {
  if (query_.size() > kMaxQueryLength) throw EExpression(txeSyntaxError);
}

int TCompile::Peek() const {
  if (position_ >= query_.size()) return -1;
  const auto c = static_cast<uint8_t>(query_[position_]);
  if (c == '\t') return ' ';
  return UpperChar(c);
}

void TCompile::SkipBlanks() {
  while (Peek() == ' ') ++position_;
}

void TCompile::Emit(uint8_t opcode) {
  if (code_.size() + 1 > kCodeSize) throw EExpression(txeCodeArrayFull);
  code_.push_back(opcode);
  last_ = opcode;
  if (opcode != opString) operator_ = true;
}

void TCompile::EmitString(const std::string& text) {
  if (code_.size() + text.size() + 2 > kCodeSize) throw EExpression(txeCodeArrayFull);
  code_.push_back(opString);
  code_.insert(code_.end(), text.begin(), text.end());
  code_.push_back(0);
  last_ = opString;
}

void TCompiler::Compile(const std::vector<std::string>& tokens) {
  tokens_ = tokens.empty() || tokens.size() < 5 ? DefaultTokens() : tokens;
  for (std::string& token : tokens_) UpperMap(token);
  Expression();
  c_.SkipBlanks();
  if (c_.Peek() != -1) {
    // Left-over text: note whether it holds an operator, which decides whether a "smart" search
    // may still run the query as a plain list of words.
    while (c_.Peek() != -1) {
      c_.SkipBlanks();
      if (AnyKeywordAhead()) {
        c_.operator_ = true;
        break;
      }
      while (c_.Peek() != -1 && c_.Peek() != ' ') ++c_.position_;
    }
    throw EExpression(txeSyntaxError);
  }
  c_.Emit(opEnd);
}

void TCompiler::Enter() {
  if (++depth_ > TCompile::kMaxNesting) throw EExpression(txeSyntaxError);
}

void TCompiler::Expression() {
  Enter();
  NotTerm();
  for (;;) {
    c_.SkipBlanks();
    int op = 0;
    if (Keyword(0)) op = opAnd;
    else if (Keyword(1)) op = opOr;
    if (op != 0) {
      NotTerm();
      c_.SkipBlanks();
      if (c_.LastOpcode() == opString && Keyword(4)) {
        RequireWord();
        c_.Emit(opNear);
      }
      c_.Emit(static_cast<uint8_t>(op));
      continue;
    }
    if (Keyword(4)) {
      if (c_.LastOpcode() != opString) throw EExpression(txeMissingString);
      RequireWord();
      c_.Emit(opNear);
      continue;
    }
    break;
  }
  --depth_;
}

void TCompiler::NotTerm() {
  c_.SkipBlanks();
  if (Keyword(2)) {
    Enter();
    LikeTerm();
    --depth_;
    c_.Emit(opNot);
  } else {
    LikeTerm();
  }
}

void TCompiler::LikeTerm() {
  c_.SkipBlanks();
  if (Keyword(3)) {
    RequireWord();
    c_.Emit(opLike);
  } else {
    Primary();
  }
}

void TCompiler::RequireWord() {
  std::string word;
  if (!Word(word)) throw EExpression(txeMissingString);
  c_.EmitString(word);
}

void TCompiler::Primary() {
  c_.SkipBlanks();
  const int c = c_.Peek();
  if (c == '"' || c == '\'') {
    const size_t open = c_.position_;
    ++c_.position_;
    std::string text;
    for (;;) {
      const int ch = c_.Peek();
      if (ch == -1) {
        c_.position_ = open;
        throw EExpression(txeMissingQuote);
      }
      ++c_.position_;
      if (ch == c) break;
      if (ch >= 32 && text.size() < TCompile::kMaxWordLength) text.push_back(static_cast<char>(ch));
    }
    c_.EmitString(text);
    c_.Emit(opPhrase);
    return;
  }
  if (c == '(') {
    ++c_.position_;
    c_.SkipBlanks();
    if (c_.Peek() == ')') throw EExpression(txeSyntaxError);
    const size_t before = c_.code_.size();
    Expression();
    c_.SkipBlanks();
    if (c_.Peek() != ')') throw EExpression(txeMissingParenthesis);
    ++c_.position_;
    if (c_.code_.size() == before) throw EExpression(txeSyntaxError);
    c_.Emit(opPush);
    return;
  }
  RequireWord();
}

bool TCompiler::Keyword(int token) {
  const std::string& t = tokens_[static_cast<size_t>(token)];
  if (t.empty()) return false;
  const size_t start = c_.position_;
  std::string read;
  for (int ch = c_.Peek(); ch != -1 && t.find(static_cast<char>(ch)) != std::string::npos &&
                           (!read.empty() || ch == static_cast<uint8_t>(t[0]));
       ch = c_.Peek()) {
    read.push_back(static_cast<char>(ch));
    ++c_.position_;
    if (read.size() > t.size()) break;
  }
  const int next = c_.Peek();
  if (read == t && (next == -1 || next == ' ' || next == '(')) return true;
  c_.position_ = start;
  return false;
}

bool TCompiler::AnyKeywordAhead() {
  for (int i = 0; i < 5; ++i) {
    const size_t start = c_.position_;
    const bool found = Keyword(i);
    c_.position_ = start;
    if (found) return true;
  }
  return false;
}

bool TCompiler::Word(std::string& word) {
  c_.SkipBlanks();
  if (AnyKeywordAhead()) return false;
  word.clear();
  for (int ch = c_.Peek(); ch >= 33 && ch != '(' && ch != ')'; ch = c_.Peek()) {
    if (word.size() >= TCompile::kMaxWordLength) break;
    word.push_back(static_cast<char>(ch));
    ++c_.position_;
  }
  return !word.empty();
}

}  // namespace tovenmarsh::fulltext
