// Our own compiled collation over Windows-1252, in place of the system's national-language
// comparison and case mapping. Indexes on disk are ordered by it, so it never consults the C
// library's locale or any outside data, and its order only changes with kCollationVersion.
//
// Locale ids are Windows LCIDs: sort id x 65536 + language id; language id = sublanguage x 1024
// + primary language. Language 0 is exact: bytewise comparison and the frozen Windows-1252 case
// tables. Every other valid language uses one best-effort collation: punctuation and symbols,
// then digits, then letters; accents are secondary weights, case tertiary (lower before upper);
// ligatures and sharp s expand (ae, oe, ss). Sort id 1 of the German languages is the phone-book
// tailoring (ä, ö, ü as ae, oe, ue). Comparison is by weight sequences level by level, so it is
// always a total preorder.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tovenmarsh::platform {

inline constexpr int kCollationVersion = 1;

// Comparison flags.
inline constexpr uint32_t kCompareIgnoreCase = 0x0001;
inline constexpr uint32_t kCompareIgnoreNonSpace = 0x0002;  // accents do not count
inline constexpr uint32_t kCompareStringSort = 0x1000;      // symbols sort as characters (always so here)

inline constexpr uint32_t MakeLcid(uint16_t languageId, uint16_t sortId) {
  return static_cast<uint32_t>(sortId) * 65536u + languageId;
}
inline constexpr uint16_t LanguageOfLcid(uint32_t lcid) { return static_cast<uint16_t>(lcid & 0xFFFF); }
inline constexpr uint16_t SortOfLcid(uint32_t lcid) { return static_cast<uint16_t>(lcid >> 16); }

// The languages the collation knows, in the engine's display order: a display name and a
// language id. Entry 0 is "ANSI Standard" (id 0, no language).
struct TCollationLanguage {
  const char* Name;
  uint16_t Id;
};
int CollationLanguageCount();
const TCollationLanguage& CollationLanguageAt(int position);
// German (primary language 7): the languages that offer the phone-book sort order (sort id 1).
bool IsGermanLanguage(uint16_t languageId);

// True for language 0 with sort 0 and for the engine's collation languages; sort id 1 only for
// the German languages.
bool IsValidLocale(uint32_t lcid);
// True when the language uses the German phone-book tailoring under this sort id.
bool IsPhoneBookLocale(uint32_t lcid);

// -1, 0, 1. Language 0: bytewise (with kCompareIgnoreCase both sides upper-cased first).
int CollateCompare(uint32_t lcid, std::string_view a, std::string_view b, uint32_t flags);

// Case mapping (the same frozen Windows-1252 tables for every language).
std::string CollateUpper(uint32_t lcid, std::string_view text);
std::string CollateLower(uint32_t lcid, std::string_view text);

}  // namespace tovenmarsh::platform
