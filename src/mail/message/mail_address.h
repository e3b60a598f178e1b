// Mail address helpers: the address list the archive stores, splitting an address into local
// part and domain, and formatting an address with an optional display name.
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::mail {

// Keeps only what stands between "<" and ">" and turns every "," or ";" into ",":
// "A <a@x>, B <b@y>" gives "a@x,b@y". When that leaves nothing, the text comes back unchanged.
std::string AddressList(std::string_view text);
// "<joe@x.org>" (or "joe@x.org") gives "joe" and "x.org".
void SplitMailAddress(std::string_view address, std::string& localPart, std::string& domain);
// "" for an empty address; else "<address>", preceded by the display name in double quotes and
// a blank when one is given.
std::string FormatMailAddress(std::string_view displayName, std::string_view address);
std::string FormatMailAddress3(std::string_view displayName, std::string_view localPart, std::string_view domain);

}  // namespace tovenmarsh::mail
