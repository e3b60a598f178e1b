// Building and raising the record-set layer's engine error.
#include "dataset/fen_engine_error.h"

#include "platform/format.h"

namespace tovenmarsh::dataset {

namespace {

std::string MessageFor(int code, const std::string& text) {
  return platform::Format("Fen Engine Error # %u %s", static_cast<unsigned>(static_cast<uint16_t>(code)),
                          text.c_str());
}

}  // namespace

EFenEngineError::EFenEngineError(int code)
    : EFenEngineError(code, engine::EngineErrorMessage(static_cast<uint16_t>(code))) {}

EFenEngineError::EFenEngineError(int code, std::string text)
    : EDatabaseError(MessageFor(code, text)), errors_{TFenError{code, std::move(text)}} {}

EFenEngineError::EFenEngineError(const engine::EFenEngineError& error)
    : EFenEngineError(error.Code(), error.Text()) {}

void RaiseFenError(int code) { throw EFenEngineError(code); }

int CheckEngineResult(int code) {
  if (code != 0) RaiseFenError(code < 0 ? -code : code);
  return 0;
}

}  // namespace tovenmarsh::dataset
