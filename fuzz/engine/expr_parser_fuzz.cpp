// Random texts to the expression parser under every combination of parse flags; texts that
// parse are type-checked, prepared and evaluated over a NULL row and a filled row. Only engine
// errors may come out; a stranded node shows as a leak under the sanitizers.
#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/expr_test_fixture.h"

namespace {

using namespace tovenmarsh::engine;

class FuzzSubSelect : public TSubSelectHook {
 public:
  void* CreateSubSelect(void*, TExpressionParser& parser) override {
    while (!parser.TokenIs(')') && !parser.TokenIs(tkEnd)) parser.NextToken();
    return this;
  }
  int ResultColumnCount(void*) override { return 1; }
  bool BindSubSelectColumn(void*, TExpToken& node) override {
    node.DataType = 6;
    node.SetDataSize(4);
    return true;
  }
  int64_t FilterSubSelect(void*, TExpToken& comparison) override {
    return comparison.Left != nullptr && !comparison.Left->IsNull;
  }
};

testing::TRow FilledRow(testing::TFixtureSource& source) {
  testing::TRow row = testing::NullRow(source);
  auto set = [&](const char* name, testing::TValue v) {
    row[static_cast<size_t>(source.FieldNumber(name) - 1)] = std::move(v);
  };
  set("Name", testing::TValue::Str("Smith"));
  set("A", testing::TValue::Int(INT32_MIN));
  set("S", testing::TValue::Int(-32768));
  set("W", testing::TValue::Int(65535));
  set("F", testing::TValue::Flt(-1e300));
  set("B", testing::TValue::Int(INT64_MIN));
  set("C", testing::TValue::Int(INT64_MAX));
  set("D", testing::TValue::Int(3652059));
  set("Tm", testing::TValue::Int(86399999));
  set("Ts", testing::TValue::Flt(1e300));
  set("Flag", testing::TValue::Int(1));
  set("Memo", testing::TValue::Str(std::string(600, 'm')));
  set("Raw", testing::TValue::Str("\x01\x02"));
  set("M", testing::TValue::Flt(0.5));
  return row;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 1024) return 0;
  std::string text(reinterpret_cast<const char*>(data), size);
  testing::TFixtureSource source;
  FuzzSubSelect hook;
  testing::TRow nullRow = testing::NullRow(source);
  testing::TRow filledRow = FilledRow(source);
  // Flags only refuse constructs: every combination must refuse cleanly, and the widest one
  // builds the tree that the checker and the evaluator then run over.
  for (uint8_t flags = 0; flags < 31; ++flags) {
    testing::TParsed parsed = testing::ParseAndCheck(source, text, flags, false, &hook);
    if (parsed.ErrorCode != 0 && parsed.ErrorCode != 10051) __builtin_trap();
  }
  try {
    testing::TParsed parsed = testing::ParseAndCheck(source, text, 31, true, &hook);
    if (parsed.ErrorCode != 0 && parsed.ErrorCode != 10051) __builtin_trap();
    if (!parsed.Tree) return 0;
    TEvalContext context;
    context.Reader = MakeFieldReader(source);
    context.SubSelectHook = &hook;
    for (bool option : {false, true}) {
      TExpTree prepared = PrepareExpressionTree(parsed.Tree.get(), context, option, option);
      TExpTree a = EvaluateExpression(prepared.get(), &nullRow, context);
      TExpTree b = EvaluateExpression(prepared.get(), &filledRow, context);
      TExpToken* root = prepared.release();
      PruneExpressionTree(root);
      FreeExpressionTree(root);
    }
  } catch (const EFenEngineError&) {
    // Engine errors are the expected way to refuse a text.
  }
  return 0;
}
