// Dot-unstuffing of SMTP message data with its line ends made CR LF.
#include "mail/protocol/data_unstuffer.h"

namespace tovenmarsh::mail {

void TDataUnstuffer::Reset() { *this = TDataUnstuffer(); }

size_t TDataUnstuffer::Take(std::string_view bytes, std::string& out) {
  size_t i = 0;
  while (i < bytes.size() && !ended_) {
    if (!lineStart_ && !cr_ && !dot_) {
      // Inside a line: everything up to the next CR or LF is message text as it is.
      size_t end = bytes.find_first_of("\r\n", i);
      if (end == std::string_view::npos) end = bytes.size();
      out.append(bytes.substr(i, end - i));
      i = end;
      if (i == bytes.size()) break;
    }
    const char c = bytes[i++];
    if (cr_) {
      cr_ = false;
      if (c == '\n') {
        if (dot_) {
          // CR LF "." CR LF: the end of data, and the held CR LF was part of it.
          ended_ = true;
          dot_ = false;
          heldCRLF_ = false;
          continue;
        }
        heldCRLF_ = true;
        lineStart_ = true;
        afterCRLF_ = true;
        continue;
      }
      // A bare CR ends a line of its own (a dot before it was a stuffing dot).
      dot_ = false;
      FlushHeld(out);
      out.append("\r\n");
      lineStart_ = true;
      afterCRLF_ = false;
    }
    if (dot_) {
      if (c == '\r') {
        cr_ = true;  // "." CR: the end of data when an LF follows
        continue;
      }
      dot_ = false;  // a stuffing dot: the line goes on with c
    } else if (lineStart_ && c == '.') {
      lineStart_ = false;
      // After CR LF the line may be the end-of-data line; after a bare line end the dot is
      // only stuffing.
      dot_ = afterCRLF_;
      continue;
    }
    FlushHeld(out);
    lineStart_ = false;
    if (c == '\r') {
      cr_ = true;
    } else if (c == '\n') {
      out.append("\r\n");
      lineStart_ = true;
      afterCRLF_ = false;
    } else {
      out.push_back(c);
    }
  }
  return i;
}

void TDataUnstuffer::FlushHeld(std::string& out) {
  if (!heldCRLF_) return;
  heldCRLF_ = false;
  out.append("\r\n");
}

}  // namespace tovenmarsh::mail
