// A small in-memory table for expression tests: field descriptors, rows of values, and the
// record source the parser, checker and evaluator use, plus helpers that run a filter text
// through parse, check, prepare and evaluate.
#pragma once

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/base/engine_strings.h"
#include "engine/expr/expr_eval.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/expr_source.h"
#include "engine/expr/expr_typecheck.h"

namespace tovenmarsh::engine::testing {

// One field value of a row: NULL, a number (integers, dates as day numbers, times as
// milliseconds, BCD as ten-thousandths), a float (float and timestamp) or a text.
struct TValue {
  bool Null = true;
  int64_t I = 0;
  double F = 0;
  std::string S;
  static TValue Nul() { return TValue{}; }
  static TValue Int(int64_t v) { return TValue{false, v, 0, {}}; }
  static TValue Flt(double v) { return TValue{false, 0, v, {}}; }
  static TValue Str(std::string v) { return TValue{false, 0, 0, std::move(v)}; }
};

using TRow = std::vector<TValue>;

class TFixtureSource : public TExpressionRecordSource {
 public:
  TFixtureSource() {
    Add("Name", 1, 0, 20);
    Add("A", 6);
    Add("S", 5);
    Add("W", 12);
    Add("F", 7);
    Add("B", 8, 0, 0, 2);
    Add("D", 2);
    Add("Tm", 10);
    Add("Ts", 11);
    Add("Flag", 4);
    Add("Memo", 3, 22);
    Add("Pic", 3, 26);
    Add("Raw", 9, 0, 4);
    Add("M", 7, 21);
    Add("C", 8, 0, 0, 4);
  }

  void Add(const char* name, uint8_t type, uint8_t subType = 0, uint8_t size = 0,
           uint8_t scale = 0) {
    FieldDesc f;
    f.FieldNumber = static_cast<uint16_t>(fields_.size() + 1);
    f.Name = name;
    f.FieldType = type;
    f.SubType = subType;
    f.Size = size;
    f.Scale = scale;
    fields_.push_back(f);
  }
  int FieldNumber(std::string_view name) const {
    for (const FieldDesc& f : fields_) {
      if (SameText(f.Name, name)) return f.FieldNumber;
    }
    return 0;
  }
  size_t FieldCount() const { return fields_.size(); }

  const FieldDesc* FindField(std::string_view tableName, std::string_view name) override {
    if (!tableName.empty() && !SameText(tableName, "T")) return nullptr;
    for (const FieldDesc& f : fields_) {
      if (SameText(f.Name, name)) return &f;
    }
    return nullptr;
  }
  const FieldDesc* FieldByNumber(int fieldNo) override {
    if (fieldNo < 1 || fieldNo > static_cast<int>(fields_.size())) return nullptr;
    return &fields_[static_cast<size_t>(fieldNo - 1)];
  }
  bool ReadField(const void* record, const FieldDesc& field, TExpToken& node) override {
    ++Reads;
    const TRow& row = *static_cast<const TRow*>(record);
    const TValue& v = row.at(field.FieldNumber - 1u);
    node.ClearValue();
    node.IsNull = v.Null;
    if (v.Null) return true;
    switch (field.FieldType) {
      case 1:
      case 3:
        node.SetStringValue(v.S);
        if (field.FieldType == 1) node.SetDataSize(field.Size + 1);
        node.IsNull = v.S.empty();
        break;
      case 9:
        std::memcpy(node.Data, v.S.data(), std::min<size_t>(v.S.size(), 4));
        break;
      case 4:
      case 5: node.Put<int16_t>(static_cast<int16_t>(v.I)); break;
      case 12: node.Put<uint16_t>(static_cast<uint16_t>(v.I)); break;
      case 2:
      case 6:
      case 10: node.Put<int32_t>(static_cast<int32_t>(v.I)); break;
      case 8: node.Put<int64_t>(v.I); break;
      case 7:
      case 11: node.Put<double>(v.F); break;
      default: return false;
    }
    return true;
  }

  int64_t Reads = 0;

 private:
  std::vector<FieldDesc> fields_;
};

// The outcome of a filter text: an engine error's text, or the checked tree.
struct TParsed {
  uint16_t ErrorCode = 0;
  std::string Message;  // the error's message argument
  TExpTree Tree;
};

inline TParsed ParseAndCheck(TFixtureSource& source, std::string_view text,
                             uint8_t flags = pfFilter, bool check = true,
                             TSubSelectHook* hook = nullptr) {
  TParsed out;
  try {
    TExpressionParser parser(nullptr, hook);
    parser.ErrorCode = 10051;
    parser.ErrorName = "T";
    parser.Context = "filter expression";
    parser.SetExpression(text);
    parser.NextToken();
    out.Tree = parser.ParseExpression(flags);
    if (check) {
      TTypeCheckSettings settings;
      settings.ErrorCode = 10051;
      settings.Context = "filter expression";
      settings.Resolver = MakeColumnResolver(source);
      settings.SubSelectHook = hook;
      CheckExpressionTypes(settings, true, nullptr, out.Tree.get());
    }
  } catch (const EFenEngineError& e) {
    out.ErrorCode = e.Code();
    out.Message = e.Names().ExtraText;
    out.Tree.reset();
  }
  return out;
}

// Parses, checks and prepares a filter; evaluation helpers run it over rows.
class TFilterRunner {
 public:
  TFilterRunner(TFixtureSource& source, std::string_view text, bool noPartial = false,
                bool caseInsensitive = false) {
    TParsed parsed = ParseAndCheck(source, text);
    if (parsed.ErrorCode != 0) {
      Error = parsed.Message;
      return;
    }
    context_.Reader = MakeFieldReader(source);
    Prepared = PrepareExpressionTree(parsed.Tree.get(), context_, noPartial, caseInsensitive);
  }

  bool Accepts(const TRow& row) const {
    TExpTree result = EvaluateExpression(Prepared.get(), &row, context_);
    return ExpressionResultTrue(*result);
  }
  TExpTree Evaluate(const TRow& row) const { return EvaluateExpression(Prepared.get(), &row, context_); }

  std::string Error;
  TExpTree Prepared;

 private:
  TEvalContext context_;
};

// Evaluates a (non-boolean) expression text over a row; the error text when it does not check.
inline TExpTree EvaluateText(TFixtureSource& source, std::string_view text, const TRow& row,
                             std::string* error = nullptr) {
  TParsed parsed = ParseAndCheck(source, text, pfFilter, true);
  if (parsed.ErrorCode != 0) {
    if (error != nullptr) *error = parsed.Message;
    return nullptr;
  }
  TEvalContext context;
  context.Reader = MakeFieldReader(source);
  TExpTree prepared = PrepareExpressionTree(parsed.Tree.get(), context, false, false);
  return EvaluateExpression(prepared.get(), &row, context);
}

// A row with every field NULL.
inline TRow NullRow(const TFixtureSource& source) { return TRow(source.FieldCount()); }

}  // namespace tovenmarsh::engine::testing
