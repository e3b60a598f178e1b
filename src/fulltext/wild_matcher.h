// Mask matcher of wildcard searches: AnyChar matches any run of characters (also none),
// OneChar exactly one; every other mask character matches itself (after upper-casing both
// sides when the matcher is not case-sensitive). Any byte value may occur in mask and text.
#pragma once

#include <string>
#include <string_view>

#include "platform/exception.h"

namespace tovenmarsh::fulltext {

class EWildCard : public platform::Exception {
 public:
  using Exception::Exception;
  const char* ClassName() const noexcept override { return "EWildCard"; }
};

class TWildMatcher {
 public:
  // Raises EWildCard "AnyChar = OneChar" or "Mask Length too long" (128 characters or more).
  explicit TWildMatcher(std::string_view mask, char oneChar = '?', char anyChar = '*',
                        bool caseSensitive = false);

  bool Match(std::string_view text) const;

  void SetMask(std::string_view mask);
  void SetAnyChar(char anyChar);
  void SetOneChar(char oneChar);
  char AnyChar() const { return anyChar_; }
  char OneChar() const { return oneChar_; }
  bool CaseSensitive() const { return caseSensitive_; }
  // The normalised mask: runs of AnyChar reduced to one, upper-cased unless case-sensitive.
  const std::string& Mask() const { return normalised_; }

  static constexpr size_t kMaxMaskLength = 127;

 private:
  void Normalise();

  std::string mask_;
  std::string normalised_;
  char oneChar_;
  char anyChar_;
  bool caseSensitive_;
};

}  // namespace tovenmarsh::fulltext
