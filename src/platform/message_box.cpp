// Message boxes as lines on standard error: "<caption> [Error]: <text>".
#include "platform/message_box.h"

#include <unistd.h>

namespace tovenmarsh::platform {

void ShowMessageBox(const std::string& text, const std::string& caption, TMessageIcon icon) {
  const char* kind = icon == TMessageIcon::Error ? "Error" : icon == TMessageIcon::Warning ? "Warning" : "Information";
  const std::string line = caption + " [" + kind + "]: " + text + "\n";
  // One write, so that boxes from several threads do not interleave; a closed stderr is ignored.
  size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
}

}  // namespace tovenmarsh::platform
