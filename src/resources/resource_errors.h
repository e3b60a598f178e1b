// Exceptions of the database resources: EVDatabase is the root; the pools raise
// EVPoolExhausted when no slot frees up in time and EVResAllocError when an item cannot be
// created or reset.
#pragma once

#include "platform/exception.h"

namespace tovenmarsh::resources {

TM_DECLARE_EXCEPTION(EVDatabase, platform::Exception);
TM_DECLARE_EXCEPTION(EVPoolExhausted, EVDatabase);
TM_DECLARE_EXCEPTION(EVResAllocError, EVDatabase);

}  // namespace tovenmarsh::resources
