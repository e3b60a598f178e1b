// Random bytes from the operating system's cryptographic source, for secrets that must not be
// guessed (session identifiers, form tokens).
#pragma once

#include <cstddef>
#include <string>

#include "platform/exception.h"

namespace tovenmarsh::platform {

// The random source failed.
TM_DECLARE_EXCEPTION(ERandomError, Exception);

// Fills buffer with count random bytes from the kernel's source (getrandom). Raises
// ERandomError when the source fails: a secret must never fall back to anything weaker.
void RandomBytes(void* buffer, size_t count);

// count random bytes as 2 * count lower-case hexadecimal digits.
std::string RandomHex(size_t count);

}  // namespace tovenmarsh::platform
