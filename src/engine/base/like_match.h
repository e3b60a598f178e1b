// The SQL LIKE matcher: '%' matches any run of characters, '_' exactly one; other pattern
// characters compare under the language (bytewise for language 0). No escape character.
//
// Contract: stateless, thread-safe, linear backtracking to the last '%' only (which is enough
// for LIKE), never reads past either text.
#pragma once

#include <cstdint>
#include <string_view>

namespace tovenmarsh::engine {

bool LikeMatch(uint16_t languageId, uint16_t sortId, std::string_view text,
               std::string_view pattern);

}  // namespace tovenmarsh::engine
