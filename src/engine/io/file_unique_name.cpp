// Unique names for new files: the thread's stem plus a counter, reserved atomically so that two
// threads whose stems agree (Linux thread ids share their first digits) never get the same name.
// Implements the unique-name calls of engine/io/file_list.h.
#include <cstdlib>
#include <string>

#include "engine/io/file_list.h"
#include "platform/file_names.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {
namespace {

// Candidates tried before giving up; far more than a directory of temporary files ever holds.
constexpr int kMaxCandidates = 1000000;

std::string ThreadStem() {
  const long long id = std::llabs(static_cast<long long>(platform::CurrentThreadSystemId()));
  return std::to_string(id).substr(0, 5);
}

}  // namespace

std::string MakeUniqueFileName(TFileList& list, const std::string& directory,
                               const std::string& extension, bool memory) {
  return MakeUniqueFileNameFromStem(list, ThreadStem(), directory, extension, memory);
}

std::string MakeUniqueFileNameFromStem(TFileList& list, const std::string& stem,
                                       const std::string& directory,
                                       const std::string& extension, bool memory) {
  std::string prefix = platform::TrimFileName(directory);
  if (!prefix.empty() && prefix.back() != '/' && prefix.back() != '\\') prefix += '/';
  prefix += stem;
  const std::string first = prefix + "0" + extension;
  for (int n = 0; n < kMaxCandidates; ++n) {
    std::string candidate = prefix + std::to_string(n) + extension;
    const int32_t result = list.ReserveNewFile(candidate, memory);
    if (result == 0) return candidate;
    // The directory refuses new files: the caller's create reports why.
    if (result < 0) return first;
  }
  return first;
}

std::string MakeUniqueFileName(const std::string& directory, const std::string& extension,
                               bool memory) {
  TFileList* list = EngineFileList();
  if (list == nullptr) {
    TFileList local;
    return MakeUniqueFileName(local, directory, extension, memory);
  }
  return MakeUniqueFileName(*list, directory, extension, memory);
}

}  // namespace tovenmarsh::engine
