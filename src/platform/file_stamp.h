// The state of a file as the system reports it without reading the file.
#pragma once

#include <cstdint>

struct stat;

namespace tovenmarsh::platform {

// One state of a file as the system tells it without reading the file: which file it is (device
// and inode), its size and its last modification and change times. Two stamps are equal only
// when nothing was written, truncated, renamed or replaced between them (up to the times'
// resolution, which callers back with a check of their own).
struct TFileStamp {
  uint64_t Device = 0;
  uint64_t Inode = 0;
  int64_t Size = 0;
  int64_t ModifiedNs = 0;
  int64_t ChangedNs = 0;
  bool operator==(const TFileStamp&) const = default;
};

// The stamp of what stat or fstat reported.
TFileStamp StampOfStat(const struct ::stat& st);

}  // namespace tovenmarsh::platform
