// The time limit of a command line from its first byte.
#include "mail/protocol/line_deadline.h"

namespace tovenmarsh::mail {

void TLineDeadline::AfterRound(std::string_view round, bool lineMode, platform::TDateTime now) {
  if (round.empty()) return;
  if (!lineMode || round.back() == '\n') {
    open_ = false;
    return;
  }
  // Bytes after an LF of this round began a new line now; otherwise the round went on with the
  // line that was already open (or began the first one).
  if (!open_ || round.find('\n') != std::string_view::npos) start_ = now;
  open_ = true;
}

}  // namespace tovenmarsh::mail
