// Small string, file-name, character-class, buffer and arithmetic helpers of the engine.
//
// Contract: stateless and thread-safe; positions are 1-based (0 = not found) where they are
// positions in a text. File names use '\' as the directory separator as the engine's names do;
// '/' is accepted as a separator too. Zero-terminated buffers are never read past their 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tovenmarsh::engine {

std::string PadLeft(std::string_view s, size_t n, char c);
std::string PadRight(std::string_view s, size_t n, char c);
std::string RepeatString(std::string_view s, size_t n);
std::string LeftChars(std::string_view s, size_t n);
std::string RightChars(std::string_view s, size_t n);
size_t LastPos(std::string_view sub, std::string_view s);  // 1-based, 0 when absent

std::string TrimLeftChar(std::string_view s, char c);
std::string TrimRightChar(std::string_view s, char c);
std::string TrimChar(std::string_view s, char c);
size_t PosInText(std::string_view sub, std::string_view s);  // 1-based, 0 when absent
size_t CountOccurrences(std::string_view sub, std::string_view s);
size_t ReplacedLength(std::string_view oldText, std::string_view newText, std::string_view source);
std::string ReplaceAll(std::string_view oldText, std::string_view newText, std::string_view source);

std::string RemoveLineBreaks(std::string_view s);
std::string UndoubleQuotes(std::string_view s);

std::string StripFileExt(std::string_view name);
std::string ForceFileExt(std::string_view name, std::string_view ext);  // ext with or without '.'
std::string AddTrailingBackslash(std::string_view dir);
bool HasPathPart(std::string_view name);
std::string ExtractFileBaseName(std::string_view name);
// Equality without regard to case (the frozen Windows-1252 case table).
bool SameText(std::string_view a, std::string_view b);
// Trimmed, case-insensitive equality of engine names (tables, files, directories).
bool SameEngineName(std::string_view a, std::string_view b);

bool IsIdentStartChar(char c);
bool IsIdentChar(char c);
bool IsDigitChar(char c);

size_t CountEqualPrefix(const uint8_t* a, const uint8_t* b, size_t n);
// Zero bytes at the end of buffer[position .. position+n-1].
size_t CountTrailingZeros(const uint8_t* buffer, size_t position, size_t n);
void ZeroFill(void* buffer, size_t n);

inline int32_t IntMax(int32_t a, int32_t b) { return a > b ? a : b; }
inline int32_t IntMin(int32_t a, int32_t b) { return a < b ? a : b; }
inline uint16_t WordMax(uint16_t a, uint16_t b) { return a > b ? a : b; }
inline uint16_t WordMin(uint16_t a, uint16_t b) { return a < b ? a : b; }
inline int16_t SmallIntMax(int16_t a, int16_t b) { return a > b ? a : b; }
inline int16_t SmallIntMin(int16_t a, int16_t b) { return a < b ? a : b; }
inline int64_t LargeIntMax(int64_t a, int64_t b) { return a > b ? a : b; }
inline int64_t LargeIntMin(int64_t a, int64_t b) { return a < b ? a : b; }
inline double FloatMax(double a, double b) { return a > b ? a : b; }
inline double FloatMin(double a, double b) { return a < b ? a : b; }
inline uint8_t ByteMax(uint8_t a, uint8_t b) { return a > b ? a : b; }
// Two's complement negation: INT32_MIN stays INT32_MIN (defined, where plain negation is not).
inline int32_t NegateInteger(int32_t v) {
  return static_cast<int32_t>(0u - static_cast<uint32_t>(v));
}

}  // namespace tovenmarsh::engine
