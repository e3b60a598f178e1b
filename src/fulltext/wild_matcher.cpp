// Wildcard matching with one remembered star (enough for masks of '*' and '?' only). Ends of
// mask and text are known by their lengths, not by a marker byte, so the byte 255 (y with
// diaeresis) matches like any other character.
#include "fulltext/wild_matcher.h"

#include "platform/win1252.h"

namespace tovenmarsh::fulltext {

TWildMatcher::TWildMatcher(std::string_view mask, char oneChar, char anyChar, bool caseSensitive)
    : oneChar_(oneChar), anyChar_(anyChar), caseSensitive_(caseSensitive) {
  if (anyChar_ == oneChar_) throw EWildCard("AnyChar = OneChar");
  SetMask(mask);
}

void TWildMatcher::SetMask(std::string_view mask) {
  if (mask.size() > kMaxMaskLength) throw EWildCard("Mask Length too long");
  if (mask == mask_ && !normalised_.empty()) return;
  mask_ = std::string(mask);
  Normalise();
}

void TWildMatcher::SetAnyChar(char anyChar) {
  if (anyChar == oneChar_) throw EWildCard("AnyChar = OneChar");
  anyChar_ = anyChar;
  Normalise();
}

void TWildMatcher::SetOneChar(char oneChar) {
  if (oneChar == anyChar_) throw EWildCard("AnyChar = OneChar");
  oneChar_ = oneChar;
  Normalise();
}

void TWildMatcher::Normalise() {
  normalised_.clear();
  for (char c : mask_) {
    if (c == anyChar_ && !normalised_.empty() && normalised_.back() == anyChar_) continue;
    normalised_.push_back(caseSensitive_ || c == anyChar_ || c == oneChar_ ? c : platform::Win1252Upper(c));
  }
}

bool TWildMatcher::Match(std::string_view text) const {
  const std::string_view mask = normalised_;
  const size_t m = mask.size(), n = text.size();
  size_t i = 0, j = 0;
  bool star = false;
  size_t starText = 0, starMask = 0;
  for (;;) {
    if (i == m && j == n) return true;
    if (i < m && mask[i] == anyChar_) {
      if (i + 1 == m) return true;
      star = true;
      starText = j;
      starMask = i + 1;
      ++i;
      continue;
    }
    if (j < n && i < m) {
      const char t = caseSensitive_ ? text[j] : platform::Win1252Upper(text[j]);
      if (mask[i] == oneChar_ || mask[i] == t) {
        ++i;
        ++j;
        continue;
      }
    }
    // What follows a star needs at least one character, so a star that already reaches the
    // text's last character cannot help any more.
    if (!star || starText + 1 >= n) return false;
    j = ++starText;
    i = starMask;
  }
}

}  // namespace tovenmarsh::fulltext
