// The framework's flags, read by every part of the server core and set by the manager thread:
// shut down (registries closed) from the end of a shut-down until the next StartSockets (and
// before the first); stopping while StopSockets stops the servers.
#pragma once

namespace tovenmarsh::core {

bool IsShutDown();
bool IsStopping();
void SetStopping(bool stopping);
// Set by the manager thread as it starts and when its shut-down has run.
void SetShutDown(bool shutDown);

}  // namespace tovenmarsh::core
