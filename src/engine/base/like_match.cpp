// SQL LIKE with one level of backtracking to the last '%'.
#include "engine/base/like_match.h"

#include "engine/base/engine_locale.h"

namespace tovenmarsh::engine {

bool LikeMatch(uint16_t languageId, uint16_t sortId, std::string_view text,
               std::string_view pattern) {
  size_t t = 0, p = 0;
  size_t starText = 0, starPattern = 0;
  bool haveStar = false;
  while (true) {
    if (pattern.substr(p) == "%") return true;
    if (t == text.size() && p == pattern.size()) return true;
    if (p < pattern.size() && pattern[p] == '%') {
      haveStar = true;
      starText = t;
      starPattern = p;
      ++p;
      continue;
    }
    if (t < text.size() && p < pattern.size() &&
        (pattern[p] == '_' || LocaleCompareChar(languageId, sortId, text[t], pattern[p]) == 0)) {
      ++t;
      ++p;
      continue;
    }
    // A mismatch, or one side ended first: retry the last '%' one character further, while
    // there is a character left to give it.
    if (!haveStar || starText >= text.size()) return false;
    t = ++starText;
    p = starPattern + 1;
  }
}

}  // namespace tovenmarsh::engine
