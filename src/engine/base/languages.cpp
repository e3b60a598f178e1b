// The language list (kept with the collation tables) and the sort orders of each language.
#include "engine/base/languages.h"

#include "engine/base/engine_strings.h"
#include "platform/collation.h"

namespace tovenmarsh::engine {
namespace {

constexpr const char* kDefaultOrder = "Default Order";
constexpr const char* kPhoneBookOrder = "German Phone Book Order";

int PositionOfName(std::string_view name) {
  for (int i = 0; i < platform::CollationLanguageCount(); ++i)
    if (SameText(platform::CollationLanguageAt(i).Name, name)) return i;
  return -1;
}

}  // namespace

int LanguageCount() { return platform::CollationLanguageCount(); }

const TLanguageEntry& LanguageAt(int position) {
  return platform::CollationLanguageAt(position);
}

bool LanguageExists(std::string_view name) { return PositionOfName(name) >= 0; }

uint16_t LanguageIdOfName(std::string_view name) {
  int position = PositionOfName(name);
  return position < 0 ? 0 : platform::CollationLanguageAt(position).Id;
}

int LanguagePositionOfId(uint16_t languageId) {
  for (int i = 0; i < platform::CollationLanguageCount(); ++i)
    if (platform::CollationLanguageAt(i).Id == languageId) return i;
  return -1;
}

void SortOrdersOfLanguage(int position, std::vector<std::string>& list) {
  list.clear();
  if (position < 0 || position >= platform::CollationLanguageCount()) return;
  list.emplace_back(kDefaultOrder);
  if (platform::IsGermanLanguage(platform::CollationLanguageAt(position).Id))
    list.emplace_back(kPhoneBookOrder);
}

bool SortOrderExists(uint16_t languageId, std::string_view name) {
  std::vector<std::string> list;
  SortOrdersOfLanguage(LanguagePositionOfId(languageId), list);
  for (const std::string& entry : list)
    if (SameText(entry, name)) return true;
  return false;
}

uint16_t SortOrderIdOfName(uint16_t languageId, std::string_view name) {
  std::vector<std::string> list;
  SortOrdersOfLanguage(LanguagePositionOfId(languageId), list);
  for (size_t i = 0; i < list.size(); ++i)
    if (SameText(list[i], name)) return static_cast<uint16_t>(i);
  return 0;
}

}  // namespace tovenmarsh::engine
