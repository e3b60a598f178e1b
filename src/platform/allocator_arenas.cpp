// The allocator's heap count through the GNU C library's mallopt.
#include "platform/allocator_arenas.h"

#if __has_include(<malloc.h>)
#include <malloc.h>
#endif

namespace tovenmarsh::platform {

bool LimitAllocatorArenas(int count) {
#if defined(M_ARENA_MAX)
  return count > 0 && mallopt(M_ARENA_MAX, count) == 1;
#else
  (void)count;
  return false;
#endif
}

}  // namespace tovenmarsh::platform
