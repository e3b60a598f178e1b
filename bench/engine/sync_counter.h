// Counts the syncs a benchmark process asks for, whoever asks: the program defines fsync,
// fdatasync and pwrite itself, so both our platform layer (linked in) and the SQLite library
// (whose calls resolve to the program's definitions first) go through these counters before the
// C library's own functions. A write to a file opened with O_DSYNC or O_SYNC is a sync of its
// own (our write-through files), so such writes count too.
//
// Include this header in exactly one translation unit of a benchmark program.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace tovenmarsh::bench {

struct TSyncCounts {
  uint64_t Fsync = 0, Fdatasync = 0, SyncedWrites = 0;
  uint64_t Total() const { return Fsync + Fdatasync + SyncedWrites; }
};

inline std::atomic<uint64_t> gFsyncCalls{0}, gFdatasyncCalls{0}, gSyncedWrites{0};

inline TSyncCounts SyncCounts() {
  return {gFsyncCalls.load(), gFdatasyncCalls.load(), gSyncedWrites.load()};
}

template <typename F>
F RealFunction(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace tovenmarsh::bench

extern "C" {

int fsync(int fd) {
  using F = int (*)(int);
  static const F real = tovenmarsh::bench::RealFunction<F>("fsync");
  tovenmarsh::bench::gFsyncCalls.fetch_add(1, std::memory_order_relaxed);
  return real(fd);
}

int fdatasync(int fd) {
  using F = int (*)(int);
  static const F real = tovenmarsh::bench::RealFunction<F>("fdatasync");
  tovenmarsh::bench::gFdatasyncCalls.fetch_add(1, std::memory_order_relaxed);
  return real(fd);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
  using F = ssize_t (*)(int, const void*, size_t, off_t);
  static const F real = tovenmarsh::bench::RealFunction<F>("pwrite");
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0 && (flags & (O_DSYNC | O_SYNC)) != 0)
    tovenmarsh::bench::gSyncedWrites.fetch_add(1, std::memory_order_relaxed);
  return real(fd, buffer, count, offset);
}

}  // extern "C"
