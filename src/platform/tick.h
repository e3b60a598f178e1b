// Tick count and sleeping: a monotonic millisecond counter that never goes back with the wall
// clock, and a sleep of the calling thread.
#pragma once

#include <cstdint>

namespace tovenmarsh::platform {

// Milliseconds since an arbitrary start, wrapping at 2^32 like the system tick count.
uint32_t GetTickCount();
// The same counter without wrapping.
uint64_t GetTickCount64();
// Suspends the calling thread for at least ms milliseconds (0 yields).
void Sleep(uint32_t ms);

}  // namespace tovenmarsh::platform
