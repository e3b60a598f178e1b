// The engine's collation languages and their sort orders.
//
// Contract: a fixed list of 99 languages, each a display name and a Windows language id
// (sublanguage x 1024 + primary); "ANSI Standard" (id 0) means no language. Names compare without
// regard to case. The German languages offer "Default Order" (0) and "German Phone Book Order"
// (1); every other language "Default Order" only. Read-only and thread-safe.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/collation.h"

namespace tovenmarsh::engine {

using TLanguageEntry = platform::TCollationLanguage;

int LanguageCount();
const TLanguageEntry& LanguageAt(int position);  // 0-based list position

bool LanguageExists(std::string_view name);
uint16_t LanguageIdOfName(std::string_view name);  // 0 when unknown
// List position of a language id; -1 when unknown.
int LanguagePositionOfId(uint16_t languageId);
// Clears list and fills it with the sort-order names of the language at position.
void SortOrdersOfLanguage(int position, std::vector<std::string>& list);
bool SortOrderExists(uint16_t languageId, std::string_view name);
uint16_t SortOrderIdOfName(uint16_t languageId, std::string_view name);  // 0 when unknown

}  // namespace tovenmarsh::engine
