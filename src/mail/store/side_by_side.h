// Runs the file work of a batch side by side: flushes, writes and deletes of different files
// mostly wait on the disk, so several at once finish far sooner than one after another.
#pragma once

#include <cstddef>
#include <functional>

namespace tovenmarsh::mail {

// Runs task(i) for every i below count on a few kept threads and the caller's own, and returns
// when all are done. One batch runs at a time (a second caller waits for the first); a task must
// not start a batch itself, and must not throw (it records its own failure).
void RunSideBySide(size_t count, const std::function<void(size_t)>& task);

}  // namespace tovenmarsh::mail
