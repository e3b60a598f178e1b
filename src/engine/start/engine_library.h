// The engine library's start-up and shut-down: the process-wide singletons the rest of the
// engine finds here (bitmap pool, file list, collation-map cache, format-settings lock).
//
// Contract: InitializeEngineLibrary resets the heap counter and creates the singletons;
// FinalizeEngineLibrary frees them in reverse order. Engine start and stop (engine_start.h) call
// them; they are not meant to run while other threads use the engine. The singletons' users
// (NewRecordsBitmap, GetCharMap, EnterLocaleLock) raise engine error 10758 before start-up.
#pragma once

namespace tovenmarsh::engine {

void InitializeEngineLibrary();
void FinalizeEngineLibrary();
bool EngineLibraryInitialized();

}  // namespace tovenmarsh::engine
