// File stamps from stat (see file_stamp.h).
#include "platform/file_stamp.h"

#include <sys/stat.h>

namespace tovenmarsh::platform {

TFileStamp StampOfStat(const struct ::stat& st) {
  TFileStamp stamp;
  stamp.Device = static_cast<uint64_t>(st.st_dev);
  stamp.Inode = static_cast<uint64_t>(st.st_ino);
  stamp.Size = static_cast<int64_t>(st.st_size);
  stamp.ModifiedNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
  stamp.ChangedNs = static_cast<int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
  return stamp;
}

}  // namespace tovenmarsh::platform
