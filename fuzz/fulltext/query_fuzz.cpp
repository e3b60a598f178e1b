// Fuzzes the query-language compiler with any text a web user could type: it either compiles
// into byte code that ends with END and fits the code buffer, or fails with EExpression and one
// of its five codes; nothing else escapes and nothing reads outside the query.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fulltext/query_compiler.h"

using namespace tovenmarsh::fulltext;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string query(reinterpret_cast<const char*>(data), size);
  try {
    TCompile compile(query);
    TCompiler(compile).Compile(DefaultTokens());
    const auto& code = compile.Code();
    if (code.empty() || code.back() != opEnd || code.size() > TCompile::kCodeSize) std::abort();
  } catch (const EExpression& e) {
    switch (e.Code()) {
      case txeCodeArrayFull:
      case txeMissingParenthesis:
      case txeMissingQuote:
      case txeMissingString:
      case txeSyntaxError:
        break;
      default:
        std::abort();
    }
  }
  return 0;
}
