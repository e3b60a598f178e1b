// Line ends of message data: mail on the wire and in the queue ends every line with CR LF.
//
// A bare LF or a bare CR inside a message is where SMTP smuggling starts: a server that takes
// "\n.\r\n" (or "\r.\r") for the end of the data reads what follows as new commands. Received
// data is brought to CR LF line ends before it is stored, so what the relay and the POP3 server
// send again has only CR LF lines, and the dot-stuffing that works line by line covers every
// line.
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::mail {

// bytes with every LF that has no CR before it and every CR that has no LF after it (within
// bytes) written as CR LF; CR LF pairs stay. Answers bytes itself when nothing changes,
// otherwise a view of scratch, which it fills.
std::string_view WithCRLFLineEnds(std::string_view bytes, std::string& scratch);

}  // namespace tovenmarsh::mail
