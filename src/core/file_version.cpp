// Executable versions: this program's own comes from the build.
#include "core/file_version.h"

#include <climits>

#include "platform/build_version.h"
#include "platform/file_system.h"
#include "platform/paths.h"

namespace tovenmarsh::core {

int VersionDigitsToInt(std::string_view text) {
  long long value = 0;
  bool any = false;
  for (char c : text) {
    if (c < '0' || c > '9') continue;
    any = true;
    value = value * 10 + (c - '0');
    if (value > INT_MAX) return 0;
  }
  return any ? static_cast<int>(value) : 0;
}

bool GetFileVersion(const std::string& file, std::string& text, int& number) {
  text.clear();
  number = 0;
  const std::string self = platform::RealPath(platform::ExecutablePath());
  if (self.empty() || platform::RealPath(file) != self) return false;
  text = platform::BuildVersionText();
  number = VersionDigitsToInt(text);
  return true;
}

}  // namespace tovenmarsh::core
