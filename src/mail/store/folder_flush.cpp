// Shared folder flushes: one flush at a time per folder, each serving every caller that came
// before it began.
#include "mail/store/folder_flush.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "platform/file_system.h"

namespace tovenmarsh::mail {

namespace {

struct TFolderFlushes {
  std::mutex lock;
  std::condition_variable ended;
  uint64_t begun = 0;     // flushes begun so far
  uint64_t finished = 0;  // the number of the last flush that ended (they end in order)
  bool running = false;
  int error = 0;  // of the last flush that ended
};

TFolderFlushes& FlushesOf(const std::string& folder) {
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<TFolderFlushes>> folders;
  std::lock_guard<std::mutex> guard(lock);
  std::unique_ptr<TFolderFlushes>& flushes = folders[folder];
  if (!flushes) flushes = std::make_unique<TFolderFlushes>();
  return *flushes;
}

}  // namespace

int FlushFolderShared(const std::string& folder) {
  TFolderFlushes& flushes = FlushesOf(folder);
  std::unique_lock<std::mutex> guard(flushes.lock);
  // A flush running now may have read the folder before the caller's name was made.
  const uint64_t needed = flushes.begun + 1;
  while (flushes.finished < needed) {
    if (flushes.running) {
      flushes.ended.wait(guard);
      continue;
    }
    flushes.running = true;
    const uint64_t mine = ++flushes.begun;
    guard.unlock();
    const int error = platform::SyncFolder(folder);
    guard.lock();
    flushes.running = false;
    flushes.finished = mine;
    flushes.error = error;
    flushes.ended.notify_all();
  }
  // The last flush to end began after the call (it is at least the needed one): it covers the
  // caller's name, whatever became of the flushes before it.
  return flushes.error;
}

}  // namespace tovenmarsh::mail
