// Random SQL texts to the statement parser, run as a script statement by statement. Only
// engine errors may come out; a stranded node or query shows as a leak under the sanitizers;
// nesting is bounded, so deep texts end in an error rather than a stack overflow. Statements
// that parse get integer values bound to every parameter.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/start/engine_library.h"
#include "engine/format/field_desc.h"
#include "sql/query_statement.h"

namespace {

using namespace tovenmarsh;

void BindIntegers(sql::TQueryStatement& statement) {
  size_t count = statement.Parameters().size();
  std::vector<engine::FieldDesc> descriptors(count);
  std::vector<uint8_t> buffer(count * 5, 0);
  for (size_t i = 0; i < count; ++i) {
    descriptors[i].FieldType = engine::fldInt32;
    descriptors[i].Offset = static_cast<uint16_t>(i * 5);
    buffer[i * 5] = static_cast<uint8_t>(i & 1);
    buffer[i * 5 + 1] = static_cast<uint8_t>(i);
  }
  statement.SetParams(static_cast<int>(count), descriptors.data(), buffer.data(), buffer.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  if (!engine::EngineLibraryInitialized()) engine::InitializeEngineLibrary();
  std::string script(reinterpret_cast<const char*>(data), size);
  size_t consumed = 0;
  for (int statements = 0; statements < 8 && consumed < script.size(); ++statements) {
    sql::TQueryStatement statement(nullptr);
    size_t before = consumed;
    try {
      statement.Prepare(std::string_view(script).substr(consumed), consumed);
      if (consumed > script.size()) __builtin_trap();
      BindIntegers(statement);
    } catch (const engine::EFenEngineError& e) {
      if (e.Code() != engine::kErrSql) __builtin_trap();
      return 0;
    }
    if (consumed == before) break;
  }
  return 0;
}
