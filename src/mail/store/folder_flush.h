// Folder flushes shared between writers: several threads that each made a new name in one
// folder (SMTP connections finishing their queue files at about the same time) are served by
// one flush of the folder rather than one each, and the disk does the rest of their work
// sooner.
#pragma once

#include <string>

namespace tovenmarsh::mail {

// Returns once a flush of folder's names that began after this call has ended: every name made
// in folder before the call is then on disk. While a flush runs, the callers that come wait for
// the next one, which serves them all. Answers that flush's error (0 when it succeeded).
[[nodiscard]] int FlushFolderShared(const std::string& folder);

}  // namespace tovenmarsh::mail
