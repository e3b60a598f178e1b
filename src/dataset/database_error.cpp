// Raising the framework's database error.
#include "dataset/database_error.h"

#include <cstdarg>

#include "platform/format.h"

namespace tovenmarsh::dataset {

void DatabaseError(const char* message) { throw EDatabaseError(message); }

void DatabaseErrorFmt(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = platform::FormatV(format, args);
  va_end(args);
  throw EDatabaseError(std::move(text));
}

}  // namespace tovenmarsh::dataset
