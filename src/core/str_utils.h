// Text and number helpers shared by the server core, the database resources, mail and web.
//
// Texts are byte strings; positions are 1-based; "ignoring case" folds only A-Z/a-z. Nothing
// here raises. Delimiter and terminator arguments are sets: any one of their characters counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/stream.h"

namespace tovenmarsh::core {

// Conversions.
// The 32-bit integer the text spells in decimal (optional leading blanks and sign); 0 when
// the text is empty, not an integer or out of range.
int TextToInt(std::string_view text);
std::string IntToText(long long n);
// False when empty or when the first character is F, f, N or n; true otherwise.
bool TextToBool(std::string_view text);
std::string BoolToYesNo(bool flag);  // "Yes" / "No"
// Weighs each character from the last backwards by a further power of 16; only 0-9 and A-F
// add their value, every other character adds nothing. Wraps silently like 32-bit arithmetic.
int HexToInt(std::string_view text);
uint32_t MinCardinal(uint32_t a, uint32_t b);
// Reads as many bytes as the stream's size from its current position (fewer at its end).
std::string StreamToText(platform::TStream& stream);

// Searching and comparing.
bool SameBytes(const void* a, const void* b, size_t n);
char UpCaseChar(char c);
// n > 0 and the first n characters equal ignoring case (a shorter text differs).
bool SameTextN(std::string_view a, std::string_view b, int n);
// First position >= start of pattern in text; 0 when absent, when start lies beyond the text
// or when the pattern is longer than the text. start <= 0 counts as 1; an empty pattern is
// found at start.
int PosFrom(std::string_view text, std::string_view pattern, int start);
int PosFromText(std::string_view text, std::string_view pattern, int start);
// Every occurrence replaced left to right; replacements are not rescanned.
std::string ReplaceAll(std::string_view text, std::string_view pattern, std::string_view replacement,
                       bool ignoreCase);
int CountChar(std::string_view text, char c);

// Extracting. The three field functions ignore trailing CR and LF (the first character always
// stays); the last character is never a delimiter.
// The n-th field (n from 1); n beyond the fields gives "", n <= 0 the whole text.
std::string GetField(std::string_view text, int n, std::string_view delimiters);
// The rest after the n-th delimiter; "" when there are fewer.
std::string GetFieldsFrom(std::string_view text, int n, std::string_view delimiters);
// The text before the n-th delimiter counted from the end; "" when there are fewer. The first
// character is never examined.
std::string GetFieldsBefore(std::string_view text, int n, std::string_view delimiters);
// The value after the first occurrence of name (case-sensitive): the characters of skip are
// passed over one by one while the text has exactly them, then the value runs to just before
// the first terminator character (or to the end).
std::string ExtractValue(std::string_view text, std::string_view name, std::string_view skip,
                         std::string_view terminators);
// When position (1-based) lies within the text and delimiter occurs after it: the text from
// position up to that occurrence, and position moves onto it; otherwise "" and position stays.
std::string ExtractUntil(std::string_view text, char delimiter, int& position);
// Everything after the first occurrence of delimiter; "" when absent.
std::string TextAfter(std::string_view text, std::string_view delimiter);
// The start moves past each character of leading found in turn from the left; the end moves
// before each character of trailing found in reverse turn from the right; the text between.
std::string StripEnclosing(std::string_view text, std::string_view leading, std::string_view trailing);
// Drops CR, LF and double quotes and a blank right after a kept ":"; every separator
// character becomes CR LF.
std::string TextToLines(std::string_view text, std::string_view separators);

}  // namespace tovenmarsh::core
