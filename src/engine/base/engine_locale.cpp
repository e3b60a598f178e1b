// Comparisons, case mappings, collation maps and format settings under a table's locale, over
// our own collation tables (platform/collation.h).
#include "engine/base/engine_locale.h"

#include <cstring>

#include "platform/collation.h"
#include "platform/win1252.h"

namespace tovenmarsh::engine {
namespace {

constexpr int32_t kCharMapsCapacity = 255;
constexpr uint32_t kLocaleFlags = platform::kCompareStringSort | platform::kCompareIgnoreNonSpace;

struct CharMapEntry {
  uint16_t LanguageId;
  uint16_t SortId;
  uint8_t Map[256];
};
static_assert(sizeof(CharMapEntry) == 260);

// Bytewise over n bytes; bytes past a string's end count as 0 (the zero terminator and the
// zero-filled rest of a key area).
// With fold, both sides are compared upper-cased (the inputs stay as they are).
int CompareZeroPadded(std::string_view a, std::string_view b, size_t n, bool fold) {
  for (size_t i = 0; i < n; ++i) {
    uint8_t x = i < a.size() ? static_cast<uint8_t>(a[i]) : 0;
    uint8_t y = i < b.size() ? static_cast<uint8_t>(b[i]) : 0;
    if (fold) {
      x = platform::Win1252Upper(x);
      y = platform::Win1252Upper(y);
    }
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

// The byte values, sorted as characters by the locale, for QuickSortPointers.
thread_local uint32_t tSortLcid = 0;

int CompareCharEntries(void* a, void* b) {
  char x = static_cast<char>(reinterpret_cast<uintptr_t>(a));
  char y = static_cast<char>(reinterpret_cast<uintptr_t>(b));
  return platform::CollateCompare(tSortLcid, std::string_view(&x, 1), std::string_view(&y, 1),
                                  kLocaleFlags);
}

}  // namespace

int LocaleCompareChar(uint16_t languageId, uint16_t sortId, char a, char b) {
  if (languageId == 0) {
    uint8_t x = static_cast<uint8_t>(a), y = static_cast<uint8_t>(b);
    return x == y ? 0 : (x < y ? -1 : 1);
  }
  return platform::CollateCompare(MakeLocaleId(languageId, sortId), std::string_view(&a, 1),
                                  std::string_view(&b, 1), kLocaleFlags);
}

int LocaleCompareStr(uint16_t languageId, uint16_t sortId, std::string_view s1,
                     bool caseInsensitive, size_t length, std::string_view s2) {
  if (languageId != 0) {
    if (length > 0) {
      s1 = s1.substr(0, length);
      s2 = s2.substr(0, length);
    }
    uint32_t flags = kLocaleFlags | (caseInsensitive ? platform::kCompareIgnoreCase : 0);
    return platform::CollateCompare(MakeLocaleId(languageId, sortId), s1, s2, flags);
  }
  size_t n = length > 0 ? length : (s1.size() > s2.size() ? s1.size() : s2.size());
  return CompareZeroPadded(s1, s2, n, caseInsensitive);
}

int CompareKeyBytes(const uint8_t* a, const uint8_t* b, size_t n, bool descending) {
  int r;
  if (a == nullptr) {
    r = 1;
  } else if (b == nullptr) {
    r = -1;
  } else {
    int c = n == 0 ? 0 : std::memcmp(a, b, n);
    r = c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  return descending ? -r : r;
}

std::string LocaleUpperCase(uint16_t languageId, uint16_t sortId, std::string_view source) {
  return platform::CollateUpper(MakeLocaleId(languageId, sortId), source);
}

std::string LocaleLowerCase(uint16_t languageId, uint16_t sortId, std::string_view source) {
  return platform::CollateLower(MakeLocaleId(languageId, sortId), source);
}

void LocaleUpperCaseBuffer(uint16_t languageId, uint16_t sortId, char* buffer, size_t n) {
  std::string upper = LocaleUpperCase(languageId, sortId, std::string_view(buffer, n));
  std::memcpy(buffer, upper.data(), n);
}

void BuildCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map) {
  void* entries[256];
  for (int c = 0; c < 256; ++c) entries[c] = reinterpret_cast<void*>(static_cast<uintptr_t>(c));
  if (languageId != 0) {
    tSortLcid = MakeLocaleId(languageId, sortId);
    QuickSortPointers(entries, 0, 255, CompareCharEntries);
  }
  for (int i = 0; i < 256; ++i)
    map[static_cast<size_t>(i)] = static_cast<uint8_t>(reinterpret_cast<uintptr_t>(entries[i]));
}

TLanguageCharMapsList::TLanguageCharMapsList() : entries_(kCharMapsCapacity) {}

TLanguageCharMapsList::~TLanguageCharMapsList() {
  for (int32_t i = 0; i < entries_.Count(); ++i) {
    auto* entry = entries_.GetAs<CharMapEntry>(i);
    EngineFree(entry);
  }
  entries_.Clear();
}

void TLanguageCharMapsList::GetCharMap(uint16_t languageId, uint16_t sortId, TCharMap& map,
                                       bool* built) {
  std::lock_guard<std::mutex> guard(lock_);
  for (int32_t i = 0; i < entries_.Count(); ++i) {
    auto* entry = entries_.GetAs<CharMapEntry>(i);
    if (entry->LanguageId == languageId && entry->SortId == sortId) {
      std::memcpy(map.data(), entry->Map, 256);
      if (built != nullptr) *built = false;
      return;
    }
  }
  BuildCharMap(languageId, sortId, map);
  auto* entry = static_cast<CharMapEntry*>(EngineAlloc(sizeof(CharMapEntry)));
  entry->LanguageId = languageId;
  entry->SortId = sortId;
  std::memcpy(entry->Map, map.data(), 256);
  entries_.Add(entry);
  if (built != nullptr) *built = true;
}

int32_t TLanguageCharMapsList::Count() {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_.Count();
}

void LoadLanguageSettings(uint16_t languageId, uint16_t sortId, TLanguageSettings& settings) {
  if (languageId == 0) {
    settings = platform::NeutralFormatSettings();
    return;
  }
  if (!platform::GetLocaleFormatSettings(MakeLocaleId(languageId, sortId), settings))
    platform::GetLocaleFormatSettings(MakeLocaleId(1033, 0), settings);
}

void SaveLanguageSettings(TLanguageSettings& settings) {
  settings = platform::ThreadFormatSettings();
}

void ApplyLanguageSettings(const TLanguageSettings& settings) {
  platform::SetThreadFormatSettings(settings);
}

}  // namespace tovenmarsh::engine
