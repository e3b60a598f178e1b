// Word utilities of the full-text engine: the case and folding tables, the tokenizer, like-keys
// (sound-alike keys), caret notation of delimiter lists, the 3-to-4 text encoding of bit data,
// small arithmetic helpers and a quicksort over fixed-size records.
//
// The case tables are frozen (Windows-1252 upper-casing, never the C library's locale): stored
// words and like-keys depend on them.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace tovenmarsh::fulltext {

// A set of delimiter characters, one bit per byte value.
using TDelimSet = std::bitset<256>;

// Maximum word length the tokenizer hands out (every caller uses it).
constexpr size_t kMaxParsedWordLength = 40;

uint8_t UpperChar(uint8_t c);
uint8_t FoldChar(uint8_t c);
// The folding map as a table of 256 bytes (for loops that fold while they hash).
const uint8_t* FoldTable();
// The upper-casing map as a table of 256 bytes (for scans that map as they go).
const uint8_t* UpperTable();

// The engines' case map: each byte replaced by its upper-case, in place.
void UpperMap(char* buffer, size_t length);
void UpperMap(std::string& text);
// The same with accented Latin-1 letters folded to their base capital.
void FoldMap(char* buffer, size_t length);
void FoldMap(std::string& text);

// Skips delimiters, then takes the characters up to the next delimiter or the end, advancing
// position and remaining past them. A word longer than maximum is cut (its rest is dropped).
// An empty result means the text is used up.
std::string NextWord(const char*& position, size_t& remaining, size_t maximum,
                     const TDelimSet& delimiters);

// Two folded capitals and three like digits ("00000" for words shorter than 2 characters).
std::string LikeKey(std::string_view word);

std::string PrefixBefore(std::string_view text, std::string_view characters);
std::string Reversed(std::string_view text);

// "^A".."^_" stand for characters 1..31 and "^^" for "^"; any other "^" stays as it is.
std::string DecodeCaretString(std::string_view text);
// The inverse: "^" as "^^", characters below 32 as "^" + (c + 64). Characters 0 and 30 stay as
// they are, because their caret forms ("^@", "^^") would not decode back to them.
std::string EncodeCaretString(std::string_view text);

// The file name without directory and without everything from its first ".".
std::string BaseFileName(std::string_view path);

constexpr int64_t RoundUp16(int64_t n) { return (n + 15) / 16 * 16; }
constexpr int64_t Max(int64_t a, int64_t b) { return a > b ? a : b; }
constexpr int64_t Min(int64_t a, int64_t b) { return a < b ? a : b; }

// In-place quicksort of count records of recordSize bytes (compare: negative, zero, positive).
void SortRecords(void* array, size_t recordSize, size_t count,
                 const std::function<int(const void*, const void*)>& compare);

// 3-to-4 encoding of bit data: every 3 bytes become 4 characters of 6 bits each (0 written as
// the grave accent, v as v + 32); a last group of 1 or 2 bytes is padded with zeros.
std::string EncodeBits(const uint8_t* bytes, size_t count);
// Decodes up to count bytes into buffer and returns how many were decoded (0 when the text's
// length is not a multiple of 4).
size_t DecodeBits(std::string_view text, uint8_t* buffer, size_t count);

}  // namespace tovenmarsh::fulltext
