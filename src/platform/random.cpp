// Random bytes from the kernel (see random.h).
#include "platform/random.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace tovenmarsh::platform {

void RandomBytes(void* buffer, size_t count) {
  auto* out = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    // Blocks only until the kernel's pool is first seeded, once after boot.
    const ssize_t got = getrandom(out, count, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw ERandomError(std::string("No random bytes from the system: ") + std::strerror(errno));
    }
    out += got;
    count -= static_cast<size_t>(got);
  }
}

std::string RandomHex(size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string bytes(count, '\0');
  RandomBytes(bytes.data(), count);
  std::string text;
  text.reserve(2 * count);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    text += kDigits[b >> 4];
    text += kDigits[b & 15];
  }
  return text;
}

}  // namespace tovenmarsh::platform
