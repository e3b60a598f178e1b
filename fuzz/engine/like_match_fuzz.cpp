// LikeMatch against a dynamic-programming model of LIKE (language 0), and under a language for
// memory safety: input = text, a 0 byte, pattern.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "engine/base/like_match.h"

namespace {

bool ModelLike(std::string_view text, std::string_view pattern) {
  // match[i][j]: text[i..] matches pattern[j..]
  const size_t n = text.size(), m = pattern.size();
  std::vector<std::vector<char>> match(n + 1, std::vector<char>(m + 1, 0));
  match[n][m] = 1;
  for (size_t j = m; j-- > 0;)
    for (size_t i = n + 1; i-- > 0;) {
      if (pattern[j] == '%') {
        match[i][j] = match[i][j + 1] || (i < n && match[i + 1][j]);
      } else if (i < n && (pattern[j] == '_' || pattern[j] == text[i])) {
        match[i][j] = match[i + 1][j + 1];
      }
    }
  return match[0][0] != 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 512) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  size_t cut = input.find('\0');
  std::string_view text = input.substr(0, cut);
  std::string_view pattern = cut == std::string_view::npos ? std::string_view() : input.substr(cut + 1);
  // Exact copies so that the sanitizer sees any read past either end.
  std::string t(text), p(pattern);
  bool got = tovenmarsh::engine::LikeMatch(0, 0, t, p);
  if (got != ModelLike(t, p)) std::abort();
  tovenmarsh::engine::LikeMatch(1031, 1, t, p);
  return 0;
}
