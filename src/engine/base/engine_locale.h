// Locale, collation and format settings of the engine: every table carries a language id and a
// sort id; this module turns them into comparisons, case mappings, collation maps and format
// settings. Language id 0 means bytewise comparison and no locale.
//
// Contract: comparisons never modify their inputs and compare whole lengths. Collation maps are
// cached per (language, sort) for the process under their own lock. Format settings are applied
// per thread (ApplyLanguageSettings changes only the calling thread's settings), so evaluating
// under one table's locale never disturbs another thread; the format-settings lock is kept for
// callers that want a process-wide bracket.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/base/system_list.h"
#include "platform/format_settings.h"

namespace tovenmarsh::engine {

using TLanguageSettings = platform::TFormatSettings;

inline constexpr uint32_t MakeLocaleId(uint16_t languageId, uint16_t sortId) {
  return static_cast<uint32_t>(sortId) * 65536u + languageId;
}
inline constexpr uint16_t MakeLanguageId(uint16_t primary, uint16_t sublanguage) {
  return static_cast<uint16_t>(sublanguage * 1024u + (primary & 0xFFu));
}

// -1, 0, 1: the two characters under the locale (accents ignored); bytewise for language 0.
int LocaleCompareChar(uint16_t languageId, uint16_t sortId, char a, char b);

// -1, 0, 1 over the first length characters of each (whole strings when length is 0). With a
// language: the locale's order, accents ignored, case ignored when caseInsensitive. Language 0:
// bytewise over the full lengths (a shorter string that is a prefix sorts first), both sides
// upper-cased first (on copies) when caseInsensitive.
int LocaleCompareStr(uint16_t languageId, uint16_t sortId, std::string_view s1,
                     bool caseInsensitive, size_t length, std::string_view s2);

// -1, 0, 1 over n unsigned bytes; descending reverses; a nullptr first buffer counts greater.
int CompareKeyBytes(const uint8_t* a, const uint8_t* b, size_t n, bool descending);

std::string LocaleUpperCase(uint16_t languageId, uint16_t sortId, std::string_view source);
std::string LocaleLowerCase(uint16_t languageId, uint16_t sortId, std::string_view source);
// In place over a zero-terminated or sized buffer (n bytes).
void LocaleUpperCaseBuffer(uint16_t languageId, uint16_t sortId, char* buffer, size_t n);

using TCharMap = std::array<uint8_t, 256>;

// The cache of collation maps: one per process (library start-up), never shrinking.
class TLanguageCharMapsList : public TEngineObject {
 public:
  TLanguageCharMapsList();
  ~TLanguageCharMapsList();
  TLanguageCharMapsList(const TLanguageCharMapsList&) = delete;
  TLanguageCharMapsList& operator=(const TLanguageCharMapsList&) = delete;

  // The map for the pair; built and cached on first request. built tells which happened.
  void GetCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map, bool* built = nullptr);
  int32_t Count();

 private:
  std::mutex lock_;
  TSystemList entries_;
};

// map[i] = the byte of rank i among all 256 bytes under the locale (identity for language 0).
// Uses the process cache (library start-up); raises 10758 when the library is not started.
void GetCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map);
// Builds a map without the cache.
void BuildCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map);

// The locale's settings (language 0: the fixed neutral settings).
void LoadLanguageSettings(uint16_t languageId, uint16_t sortId, TLanguageSettings& settings);
// The calling thread's current settings into / from the record.
void SaveLanguageSettings(TLanguageSettings& settings);
void ApplyLanguageSettings(const TLanguageSettings& settings);

void EnterLocaleLock();
void LeaveLocaleLock();

// Runs work with the thread's settings switched to the table's language, and switches them back
// afterwards, also when work throws.
template <class F>
auto WithTableLocale(uint16_t languageId, uint16_t sortId, F&& work) {
  TLanguageSettings settings;
  LoadLanguageSettings(languageId, sortId, settings);
  platform::TThreadFormatScope scope(settings);
  return work();
}

}  // namespace tovenmarsh::engine
