// Run-length packing and unpacking, both bounded on every side.
#include "fulltext/run_packer.h"

#include <cstring>

namespace tovenmarsh::fulltext {

int64_t PackRuns(const uint8_t* source, size_t length, uint8_t* destination) {
  if (length < 2) return -1;
  const size_t limit = length - 2;  // packing must save at least two bytes
  size_t out = 0, literal = 0, literalStart = 0;
  auto flush = [&]() {
    if (literal == 0) return true;
    if (out + 1 + literal > limit) return false;
    destination[out++] = static_cast<uint8_t>(literal);
    std::memcpy(destination + out, source + literalStart, literal);
    out += literal;
    literal = 0;
    return true;
  };
  size_t i = 0;
  while (i < length) {
    size_t run = 1;
    while (i + run < length && run < 127 && source[i + run] == source[i]) ++run;
    if (run >= 2) {
      if (!flush() || out + 2 > limit) return -1;
      destination[out++] = static_cast<uint8_t>(0x80 | run);
      destination[out++] = source[i];
      i += run;
      continue;
    }
    if (literal == 0) literalStart = i;
    ++literal;
    ++i;
    if (literal == 127 && !flush()) return -1;
  }
  if (!flush()) return -1;
  return static_cast<int64_t>(out);
}

int64_t UnpackRuns(const uint8_t* source, size_t length, uint8_t* destination, size_t capacity) {
  size_t in = 0, out = 0;
  while (in < length) {
    const uint8_t control = source[in++];
    const size_t count = control & 0x7F;
    if (count > capacity - out) return -1;
    if (control & 0x80) {
      if (in >= length) return -1;
      std::memset(destination + out, source[in++], count);
    } else {
      if (count > length - in) return -1;
      std::memcpy(destination + out, source + in, count);
      in += count;
    }
    out += count;
  }
  return static_cast<int64_t>(out);
}

}  // namespace tovenmarsh::fulltext
