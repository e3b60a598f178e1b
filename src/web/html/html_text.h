// Turning texts into safe HTML and JavaScript, and small character replacements.
//
// Every building block passes data values through these before writing them: the escapes
// make "<", ">", "&", quotes and "#" inert, so no stored value can add markup or script to a
// page, or be taken for one of the page placeholders ("#content", "#newurl", ...) that are
// substituted after the blocks have been written.
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::web {

std::string ReplaceChar(std::string_view text, char from, char to);
std::string SlashToBackslash(std::string_view text);
std::string BackslashToSlash(std::string_view text);

// "&", "<", ">", the double quote, the single quote and "#" as character references; all else
// as it is (line breaks included).
std::string HTMLEscape(std::string_view text);

// A data value shown as page text: HTMLEscape, then every line break (CR LF, LF or CR) "<br>".
std::string TextToHTML(std::string_view text);

// A data value inside a double-quoted attribute: HTMLEscape, and CR and LF as character
// references, so the value survives a form round trip unchanged.
std::string HTMLAttribute(std::string_view text);

// A link the server built (BuildURL) inside a double-quoted attribute: quotes, angle brackets
// and line breaks escaped; "&" and "#" kept, so query separators and the #newurl / #sameurl
// placeholders that the page frame substitutes still work. Data inside such a link is
// percent-encoded by BuildURL and so holds neither.
std::string LinkAttribute(std::string_view link);

// A text inside a double-quoted JavaScript string literal within a script element:
// backslash, quotes, control characters, "<", ">" and "#" as escapes, so the text can neither
// end the string nor the script element, nor be taken for a page placeholder.
std::string JavaScriptString(std::string_view text);

}  // namespace tovenmarsh::web
