// Engine start and stop with the global session.
#include "engine/engine_start.h"

#include "engine/engine_error.h"
#include "engine/engine_library.h"

namespace tovenmarsh::engine {
namespace {

bool gStarted = false;
TDataSession* gSession = nullptr;

}  // namespace

void EngineStart() {
  if (gStarted) return;
  InitializeEngineLibrary();
  try {
    gSession = CreateEngineSession();
  } catch (...) {
    FinalizeEngineLibrary();
    throw;
  }
  gStarted = true;
}

void EngineStop() {
  if (!gStarted) return;
  FreeEngineSession(gSession);
  gSession = nullptr;
  FinalizeEngineLibrary();
  gStarted = false;
}

bool EngineStarted() { return gStarted; }

TDataSession* EngineSession() {
  if (!gStarted) RaiseEngineError(kErrEngineNotInitialized);
  return gSession;
}

void SetEngineSession(TDataSession* session) { gSession = session; }

}  // namespace tovenmarsh::engine
