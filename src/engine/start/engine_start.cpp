// Engine start and stop with the global session.
#include "engine/start/engine_start.h"

#include "engine/base/engine_error.h"
#include "engine/start/engine_library.h"
#include "engine/table/session.h"

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
