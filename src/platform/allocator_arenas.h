// How many separate heaps the C library's allocator keeps for the process's threads.
#pragma once

namespace tovenmarsh::platform {

// Limits the allocator to at most count heaps (arenas), to be called at the start, before any
// other thread runs. By default each of the many short-lived and worker threads may get a heap
// of its own, each keeping its freed memory for later, so that a server which passes large
// messages between threads holds several copies of its peak. False where the C library offers
// no such limit.
bool LimitAllocatorArenas(int count);

}  // namespace tovenmarsh::platform
