// The application's message pump, which long index builds and the word cache call now and
// then. There is no window message queue here: the hook does nothing unless one is installed
// (the application may install one to keep a status display going; tests count calls).
#pragma once

#include <functional>

namespace tovenmarsh::fulltext {

// Installs the hook (an empty function restores the no-op); returns the previous one.
std::function<void()> SetMessagePump(std::function<void()> pump);
// Runs the installed hook once.
void ProcessMessages();

}  // namespace tovenmarsh::fulltext
