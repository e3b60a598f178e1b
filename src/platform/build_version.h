// The version of this build, in place of the executable's version resource.
#pragma once

#include <string>

namespace tovenmarsh::platform {

// The version text the build was configured with, for example "0.1.0".
std::string BuildVersionText();

}  // namespace tovenmarsh::platform
