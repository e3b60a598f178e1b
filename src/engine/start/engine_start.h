// Engine start and stop, and the engine's global session.
//
// Contract: EngineStart runs once per process (a second call does nothing): library start-up,
// then the global session. EngineStop undoes it when started. EngineSession raises 10758
// ("Engine not initialized") before EngineStart. Start and stop are not meant to run while other
// threads use the engine.
// TDataSession, CreateEngineSession and FreeEngineSession belong to the session module.
#pragma once

namespace tovenmarsh::engine {

class TDataSession;

void EngineStart();
void EngineStop();
bool EngineStarted();

TDataSession* EngineSession();
void SetEngineSession(TDataSession* session);

}  // namespace tovenmarsh::engine
