// Links and URLs of the web pages.
//
// BuildURL percent-encodes every name and value it writes (and any unsafe character of the
// host and the path), so data can neither add parameters nor break out of the attribute or
// script string the URL is written into. MakeLink escapes its text; only a bare mail address
// (user@host and nothing else) becomes a mailto link.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tovenmarsh::web {

// Text alone when address is empty; a mailto link for a bare mail address; otherwise a link to
// "http://" followed by the address (a URL that BuildURL made without "http://").
std::string MakeLink(std::string_view text, std::string_view address);
// The same around HTML the caller built (data in it already escaped with TextToHTML).
std::string MakeLinkHTML(std::string_view html, std::string_view address);

// True for local@domain with exactly one "@", a local part of letters, digits and "._+-" and a
// domain of letters, digits, "." and "-", both non-empty.
bool IsBareMailAddress(std::string_view address);

// "http://" when withHttp; the host, or else the configuration key WebServer, or else the
// short host name; the path with a leading "/"; when names and values have the same length,
// each pair with a non-empty value as "?" (first) or "&", name, "=" and value; then, when
// trailing is not empty, "?" (no pair written) or "&" and trailing, which is written as it is
// (it is the code's own placeholder, "#newurl" or "#sameurl").
std::string BuildURL(std::string_view host, std::string_view path,
                     const std::vector<std::string>& names,
                     const std::vector<std::string>& values, std::string_view trailing,
                     bool withHttp);

}  // namespace tovenmarsh::web
