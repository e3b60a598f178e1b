// Exceptions of the TCP server framework.
// EVServer is the root; EShutdown: registration after the framework has shut down;
// EWinsockError: a listener's failing select or accept; ETCPServer: a worker asked for its
// exception to end the connection.
#pragma once

#include "platform/exception.h"

namespace tovenmarsh::core {

using platform::Exception;

TM_DECLARE_EXCEPTION(EVServer, Exception);
TM_DECLARE_EXCEPTION(EShutdown, EVServer);
TM_DECLARE_EXCEPTION(EWinsockError, EVServer);
TM_DECLARE_EXCEPTION(ETCPServer, EVServer);

}  // namespace tovenmarsh::core
