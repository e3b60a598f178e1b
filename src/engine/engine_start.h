// Engine start and stop, and the engine's global session.
//
// Contract: EngineStart runs once per process (a second call does nothing): library start-up,
// then the global session. EngineStop undoes it when started. EngineSession raises 10758
// ("Engine not initialized") before EngineStart. Start and stop are not meant to run while other
// threads use the engine.
//
// TDataSession belongs to the session module, which defines CreateEngineSession and
// FreeEngineSession beside it.
#pragma once

namespace tovenmarsh::engine {

class TDataSession;

void EngineStart();
void EngineStop();
bool EngineStarted();

TDataSession* EngineSession();
void SetEngineSession(TDataSession* session);

// Defined by the session module.
TDataSession* CreateEngineSession();
void FreeEngineSession(TDataSession*& session);  // nullptr allowed

}  // namespace tovenmarsh::engine
