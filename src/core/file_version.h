// The version of an executable: its FileVersion text and that text's digits as one number.
#pragma once

#include <string>
#include <string_view>

namespace tovenmarsh::core {

// For this program's own executable, the build's version; any other file has no version and
// gives "" and 0. Answers whether a version was found.
bool GetFileVersion(const std::string& file, std::string& text, int& number);
// The digits of text (every other character dropped) read as one integer; 0 when there are
// none or they do not fit.
int VersionDigitsToInt(std::string_view text);

}  // namespace tovenmarsh::core
