// The region and user-byte locks of a table's index and BLOB files.
//
// Readers each hold one user byte (0x7FFFFFFF - id, id 1..65534); a writer holds the region
// 0x7FFF0000..+0xFFFF, which covers every user byte, so a writer excludes all readers and the
// other way round. The caller's own user bytes are left out of its region, so that a table
// holding a reader lock can still take the writer lock. Both retry 3 ms apart.
#pragma once

#include <cstdint>
#include <vector>

namespace tovenmarsh::engine {

class TFileHandler;

inline constexpr int kTableLockRetries = 8192;

bool LockFileRegion(TFileHandler& file, const std::vector<uint16_t>& ownIds, int retries);
bool UnlockFileRegion(TFileHandler& file, const std::vector<uint16_t>& ownIds);
// Ids in `avoid` (the caller's own bytes: locking one again would succeed and share it) are
// never drawn.
bool LockFileUserByte(TFileHandler& file, uint16_t* id, int retries, const std::vector<uint16_t>& avoid = {});
bool UnlockFileUserByte(TFileHandler& file, uint16_t id);

}  // namespace tovenmarsh::engine
