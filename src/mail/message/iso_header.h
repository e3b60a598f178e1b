// Decoding of ISO-8859-1 encoded words ("=?iso-8859-1?Q?...?=") in header texts, as the archive
// stores subjects and addresses. Only that exact lower-case marker is recognised; words in other
// character sets are left as they are, and a "B" word goes through the same character rules.
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::mail {

// Texts of 15 characters or fewer come back unchanged. Inside a word "_" is a blank, "=" and two
// hexadecimal digits a byte (lower-case digits weigh nothing), "?" is dropped, and "?=" ends the
// word; an "=" without two digits after it is kept as it is, so it never swallows the "?=".
// Text around and between words (blanks included) is kept.
std::string DecodeISOHeader(std::string_view text);

}  // namespace tovenmarsh::mail
