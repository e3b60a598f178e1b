// TLineDeadline: the time limit of one command line, counted from the arrival of its first
// byte. Every read round that brings bytes keeps a connection from going idle, so without it a
// client that trickles a line a byte at a time could hold a connection slot for ever.
//
// The protocol object asks Passed with the time its next bytes arrived, before it reads them,
// and tells AfterRound what one round of bytes left behind: whether it ended inside a command
// line. A line begins with the first byte after an LF (or after a phase that is not read as
// lines, such as SMTP message data); an overlong line that is being dropped still counts.
#pragma once

#include <string_view>

#include "platform/date_time.h"

namespace tovenmarsh::mail {

class TLineDeadline {
 public:
  // limit: the longest a line may take, in days.
  explicit TLineDeadline(platform::TDateTime limit) : limit_(limit) {}

  // True when a line left open by the earlier rounds took longer than the limit by now.
  bool Passed(platform::TDateTime now) const { return open_ && now - start_ > limit_; }
  // Notes one read round that arrived at now; lineMode says whether its last bytes were read
  // as command lines (false when they were message data or the connection is closing).
  void AfterRound(std::string_view round, bool lineMode, platform::TDateTime now);
  bool Open() const { return open_; }

 private:
  platform::TDateTime limit_;
  platform::TDateTime start_ = 0;
  bool open_ = false;
};

}  // namespace tovenmarsh::mail
