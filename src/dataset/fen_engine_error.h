// The record-set layer's engine error: every non-zero engine result that reaches this layer is
// raised as EFenEngineError, an EDatabaseError whose message is "Fen Engine Error # ", the code
// as an unsigned 16-bit decimal, a blank and the engine's text for the code.
//
// Contract: one TFenError entry (code and text) per exception; Errors(0) is always present.
// Engine exceptions (engine::EFenEngineError) that escape an engine call made by this layer are
// turned into this class with the same code and text by TranslateEngineErrors.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "dataset/database_error.h"
#include "engine/base/engine_error.h"

namespace tovenmarsh::dataset {

struct TFenError {
  int ErrorCode = 0;
  std::string Text;
};

class EFenEngineError : public EDatabaseError {
 public:
  // The text is the engine's message for the code on this thread's last error.
  explicit EFenEngineError(int code);
  EFenEngineError(int code, std::string text);
  explicit EFenEngineError(const engine::EFenEngineError& error);

  const char* ClassName() const noexcept override { return "EFenEngineError"; }

  int ErrorCount() const noexcept { return static_cast<int>(errors_.size()); }
  const TFenError& Errors(int index) const { return errors_.at(static_cast<size_t>(index)); }
  int ErrorCode() const noexcept { return errors_.front().ErrorCode; }

 private:
  std::vector<TFenError> errors_;
};

// Raises EFenEngineError for the code.
[[noreturn]] void RaiseFenError(int code);

// 0 passes; anything else is raised. The negative results of the engine's directory and file
// list operations are raised as their positive codes.
int CheckEngineResult(int code);

// Runs an engine call; an engine exception leaves it as this layer's EFenEngineError.
template <class Call>
decltype(auto) TranslateEngineErrors(Call&& call) {
  try {
    return std::forward<Call>(call)();
  } catch (const engine::EFenEngineError& error) {
    throw EFenEngineError(error);
  }
}

}  // namespace tovenmarsh::dataset
