// The build's version, configured from the project's version number.
#include "platform/build_version.h"

#include "tovenmarsh_version.h"

namespace tovenmarsh::platform {

std::string BuildVersionText() { return TOVENMARSH_VERSION_TEXT; }

}  // namespace tovenmarsh::platform
