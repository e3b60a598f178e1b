// The readable text of a raw message, for the document archive and its word index: every
// text part decoded from its transfer encoding, HTML turned into plain text, enclosed messages
// (message/rfc822) and nested multiparts walked, the signed part of a signed message kept and
// its signature dropped, one alternative of a multipart/alternative (the plain one when there
// is one). Parameters may be quoted or split and encoded as RFC 2231 continuations.
//
// Never raises for odd input; nesting deeper than kMaxMimeDepth is not walked. Linear in the
// message's size per nesting level.
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::mail {

// The texts of the message's parts, each separated from the next by CR LF CR LF; line ends
// are kept as the message has them.
std::string MessageText(std::string_view message);

// HTML as plain text: tags, comments, scripts and style sheets dropped, block elements ending
// a line, the common character references decoded.
std::string HtmlToText(std::string_view html);

// A parameter of a structured header value such as Content-Type ("boundary", "charset"), with
// the name compared ignoring case: a plain or quoted value, or an RFC 2231 one (name*=, and the
// continuations name*0=, name*1*=, ... joined in order, percent escapes decoded). "" when absent.
std::string HeaderParameter(std::string_view value, std::string_view name);

}  // namespace tovenmarsh::mail
