// Region and user-byte locks over the file layer's non-waiting byte-range locks.
#include "engine/store/shared_table_locks.h"

#include <algorithm>
#include <chrono>
#include <random>
#include <thread>
#include <utility>

#include "engine/io/file_handler.h"
#include "engine/format/index_file_format.h"

namespace tovenmarsh::engine {

using index_format::kRegionLength;
using index_format::kRegionStart;
using index_format::UserByte;

namespace {

void PauseForLock() { std::this_thread::sleep_for(std::chrono::milliseconds(3)); }

uint16_t RandomLockId() {
  thread_local std::mt19937 rng{std::random_device{}()};
  return static_cast<uint16_t>(1 + rng() % 65534);
}

// The region minus the caller's own user bytes, as (start, length) ranges.
std::vector<std::pair<int64_t, int64_t>> RegionPieces(const std::vector<uint16_t>& own) {
  std::vector<int64_t> holes;
  for (uint16_t id : own)
    if (id >= 1 && id <= 65534) holes.push_back(UserByte(id));
  std::sort(holes.begin(), holes.end());
  holes.erase(std::unique(holes.begin(), holes.end()), holes.end());
  std::vector<std::pair<int64_t, int64_t>> pieces;
  int64_t at = kRegionStart;
  const int64_t end = kRegionStart + kRegionLength;
  for (int64_t hole : holes) {
    if (hole > at) pieces.push_back({at, hole - at});
    at = hole + 1;
  }
  if (end > at) pieces.push_back({at, end - at});
  return pieces;
}

}  // namespace

bool LockFileRegion(TFileHandler& file, const std::vector<uint16_t>& ownIds, int retries) {
  const auto pieces = RegionPieces(ownIds);
  for (int attempt = 0; attempt <= retries; ++attempt) {
    size_t taken = 0;
    while (taken < pieces.size() && file.LockRange(pieces[taken].first, pieces[taken].second, true)) ++taken;
    if (taken == pieces.size()) return true;
    while (taken > 0) {
      --taken;
      file.LockRange(pieces[taken].first, pieces[taken].second, false);
    }
    if (attempt < retries) PauseForLock();
  }
  return false;
}

bool UnlockFileRegion(TFileHandler& file, const std::vector<uint16_t>& ownIds) {
  bool ok = true;
  for (const auto& [start, length] : RegionPieces(ownIds)) ok = file.LockRange(start, length, false) && ok;
  return ok;
}

bool LockFileUserByte(TFileHandler& file, uint16_t* id, int retries, const std::vector<uint16_t>& avoid) {
  std::vector<uint16_t> skip = avoid;
  std::sort(skip.begin(), skip.end());
  skip.erase(std::unique(skip.begin(), skip.end()), skip.end());
  if (skip.size() >= 65534) return false;  // every id avoided
  for (int attempt = 0; attempt <= retries; ++attempt) {
    uint16_t candidate = RandomLockId();
    while (std::binary_search(skip.begin(), skip.end(), candidate)) candidate = RandomLockId();
    if (file.LockRange(UserByte(candidate), 1, true)) {
      *id = candidate;
      return true;
    }
    if (attempt < retries) PauseForLock();
  }
  return false;
}

bool UnlockFileUserByte(TFileHandler& file, uint16_t id) { return file.LockRange(UserByte(id), 1, false); }

}  // namespace tovenmarsh::engine
