// Runs the file work of a batch side by side: flushes, writes and deletes of different files
// mostly wait on the disk, so several at once finish far sooner than one after another.
#pragma once

#include <cstddef>
#include <functional>

namespace tovenmarsh::mail {

// Runs task(i) for every i below count on a few kept threads and the caller's own, and returns
// when all are done. Several callers' batches may run at once. A task must not throw (it
// records its own failure).
void RunSideBySide(size_t count, const std::function<void(size_t)>& task);

}  // namespace tovenmarsh::mail
