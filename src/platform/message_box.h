// Stand-in for the desktop's message box: a server has no desktop, so the box's caption and
// text go to standard error. It never waits for anyone.
#pragma once

#include <string>

namespace tovenmarsh::platform {

enum class TMessageIcon { Error, Warning, Information };

void ShowMessageBox(const std::string& text, const std::string& caption, TMessageIcon icon);

}  // namespace tovenmarsh::platform
