// The settings of an engine session that its tables read while they work. The session
// (TDataSession) carries them; a table is handed its session's settings when it is made and
// reads them live, so a change reaches every open table at once.
#pragma once

#include <cstdint>

namespace tovenmarsh::engine {

struct TSessionSettings {
  bool ForceBufferFlush = false;
  bool StrictChangeDetection = false;
  uint8_t LockRetryCount = 15;
  uint16_t LockWaitTime = 100;  // milliseconds
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  // Retries of the table-level lock loops (8192 tries 3 ms apart; tests shorten the wait).
  int TableLockRetries = 8192;
};

}  // namespace tovenmarsh::engine
