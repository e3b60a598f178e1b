// TDataUnstuffer: reads the bytes of an SMTP DATA phase, whatever the read rounds were, into
// the message as it is stored: dot-stuffing removed, every line end CR LF, without the
// end-of-data line.
//
// Only CR LF "." CR LF ends the data (the DATA command's own CR LF counts for the first line).
// A bare LF or a bare CR is stored as CR LF, so no later hop can read an end of data into it;
// since it then begins a line in the stored message, a dot right after it is a stuffing dot
// like one after CR LF and is removed too: a client that stuffed the dots of its bare-LF lines
// gets back exactly what it meant, and one that did not loses nothing that a reader of the
// stored CR LF lines could tell apart. The CR LF before the end-of-data line belongs to it and
// is not stored. The state between rounds is a few flags, so memory stays bounded by what
// each call is given.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tovenmarsh::mail {

class TDataUnstuffer {
 public:
  // Starts a new message (right after the 354).
  void Reset();
  // Reads bytes; appends the message bytes they complete to out and answers how many of bytes
  // were taken. Stops right after the end-of-data line (Ended() is then true and the bytes
  // after it belong to the next command); otherwise takes them all.
  size_t Take(std::string_view bytes, std::string& out);
  bool Ended() const { return ended_; }

 private:
  void FlushHeld(std::string& out);

  bool lineStart_ = true;  // the next byte begins a line
  bool afterCRLF_ = true;  // ... and that line began after CR LF (it may be the end-of-data line)
  bool heldCRLF_ = false;  // a CR LF read but not yet given out: it may belong to the end of data
  bool cr_ = false;        // a CR read, not yet known whether an LF follows
  bool dot_ = false;       // a dot read at the start of a CR LF line
  bool ended_ = false;
};

}  // namespace tovenmarsh::mail
