// Our compiled collation over Windows-1252 (version 1). Each byte maps to one or two collation
// units (ligatures, sharp s, thorn and, under the German phone book, umlauts expand to two);
// a unit has a primary weight (symbols by byte value, then digits, then letters a..z), an accent
// weight and a case weight. Strings compare unit by unit on primary weights, then on accents,
// then on case: a lexicographic order of derived sequences, hence a total preorder.
#include "platform/collation.h"

#include <array>
#include <cstddef>

#include "platform/win1252.h"

namespace tovenmarsh::platform {
namespace {

constexpr TCollationLanguage kLanguages[] = {
    {"ANSI Standard", 0},  // 0/0
    {"Afrikaans", 1078},  // 54/1
    {"Albanian", 1052},  // 28/1
    {"Arabic (Saudi Arabia)", 1025},  // 1/1
    {"Arabic (Iraq)", 2049},  // 1/2
    {"Arabic (Egypt)", 3073},  // 1/3
    {"Arabic (Libya)", 4097},  // 1/4
    {"Arabic (Algeria)", 5121},  // 1/5
    {"Arabic (Morocco)", 6145},  // 1/6
    {"Arabic (Tunisia)", 7169},  // 1/7
    {"Arabic (Oman)", 8193},  // 1/8
    {"Arabic (Yemen)", 9217},  // 1/9
    {"Arabic (Syria)", 10241},  // 1/10
    {"Arabic (Jordan)", 11265},  // 1/11
    {"Arabic (Lebanon)", 12289},  // 1/12
    {"Arabic (Kuwait)", 13313},  // 1/13
    {"Arabic (U.A.E)", 14337},  // 1/14
    {"Arabic (Bahrain)", 15361},  // 1/15
    {"Arabic (Qatar)", 16385},  // 1/16
    {"Basque", 1069},  // 45/1
    {"Belarusian", 1059},  // 35/1
    {"Bulgarian", 1026},  // 2/1
    {"Catalan", 1027},  // 3/1
    {"Croatian", 1050},  // 26/1
    {"Czech", 1029},  // 5/1
    {"Danish", 1030},  // 6/1
    {"Dutch (Standard)", 1043},  // 19/1
    {"Dutch (Belgian)", 2067},  // 19/2
    {"English (USA)", 1033},  // 9/1
    {"English (UK)", 2057},  // 9/2
    {"English (Australian)", 3081},  // 9/3
    {"English (Canadian)", 4105},  // 9/4
    {"English (New Zealand)", 5129},  // 9/5
    {"English (Irish)", 6153},  // 9/6
    {"English (South Africa)", 7177},  // 9/7
    {"English (Jamaica)", 8201},  // 9/8
    {"English (Caribbean)", 9225},  // 9/9
    {"English (Belize)", 10249},  // 9/10
    {"English (Trinidad)", 11273},  // 9/11
    {"Estonian", 1061},  // 37/1
    {"Faeroese", 1080},  // 56/1
    {"Farsi", 1065},  // 41/1
    {"Finnish", 1035},  // 11/1
    {"French (Standard)", 1036},  // 12/1
    {"French (Belgian)", 2060},  // 12/2
    {"French (Canadian)", 3084},  // 12/3
    {"French (Swiss)", 4108},  // 12/4
    {"French (Luxembourg)", 5132},  // 12/5
    {"German (Standard)", 1031},  // 7/1
    {"German (Swiss)", 2055},  // 7/2
    {"German (Austrian)", 3079},  // 7/3
    {"German (Luxembourg)", 4103},  // 7/4
    {"German (Liechtenstein)", 5127},  // 7/5
    {"Greek", 1032},  // 8/1
    {"Hebrew", 1037},  // 13/1
    {"Hungarian", 1038},  // 14/1
    {"Icelandic", 1039},  // 15/1
    {"Indonesian", 1057},  // 33/1
    {"Italian (Standard)", 1040},  // 16/1
    {"Italian (Swiss)", 2064},  // 16/2
    {"Latvian", 1062},  // 38/1
    {"Lithuanian", 1063},  // 39/1
    {"Norwegian (Bokmal)", 1044},  // 20/1
    {"Norwegian (Nynorsk)", 2068},  // 20/2
    {"Polish", 1045},  // 21/1
    {"Portuguese (Standard)", 2070},  // 22/2
    {"Portuguese (Brazilian)", 1046},  // 22/1
    {"Romanian", 1048},  // 24/1
    {"Russian", 1049},  // 25/1
    {"Serbian (Latin)", 2074},  // 26/2
    {"Serbian (Cyrillic)", 3098},  // 26/3
    {"Slovak", 1051},  // 27/1
    {"Slovenian", 1060},  // 36/1
    {"Spanish (Castilian)", 1034},  // 10/1
    {"Spanish (Mexican)", 2058},  // 10/2
    {"Spanish (Modern)", 3082},  // 10/3
    {"Spanish (Guatemala)", 4106},  // 10/4
    {"Spanish (Costa Rica)", 5130},  // 10/5
    {"Spanish (Panama)", 6154},  // 10/6
    {"Spanish (Dominican Republic)", 7178},  // 10/7
    {"Spanish (Venezuela)", 8202},  // 10/8
    {"Spanish (Colombia)", 9226},  // 10/9
    {"Spanish (Peru)", 10250},  // 10/10
    {"Spanish (Argentina)", 11274},  // 10/11
    {"Spanish (Ecuador)", 12298},  // 10/12
    {"Spanish (Chile)", 13322},  // 10/13
    {"Spanish (Uruguay)", 14346},  // 10/14
    {"Spanish (Paraguay)", 15370},  // 10/15
    {"Spanish (Bolivia)", 16394},  // 10/16
    {"Spanish (El Salvador)", 17418},  // 10/17
    {"Spanish (Honduras)", 18442},  // 10/18
    {"Spanish (Nicaragua)", 19466},  // 10/19
    {"Spanish (Puerto Rico)", 20490},  // 10/20
    {"Swedish (Standard)", 1053},  // 29/1
    {"Swedish (Finland)", 2077},  // 29/2
    {"Thai", 1054},  // 30/1
    {"Turkish", 1055},  // 31/1
    {"Ukranian", 1058},  // 34/1
    {"Vietnamese", 1066},  // 42/1
};

enum Accent : uint8_t {
  kNone = 0, kAcute, kGrave, kCircumflex, kTilde, kDiaeresis, kRing, kCedilla, kStroke, kCaron,
  kSuperscript, kOrdinal, kLigature
};

struct Unit {
  uint16_t Primary;
  uint8_t Accent;
  uint8_t Upper;
};

struct ByteUnits {
  Unit First;
  Unit Second;  // Primary 0: none
};

constexpr uint16_t kDigitBase = 0x200;
constexpr uint16_t kLetterBase = 0x300;

// The capital of a lower-case letter byte, as the frozen case tables pair them.
constexpr int Capital(int small) {
  if (small >= 'a' && small <= 'z') return small - 0x20;
  if (small >= 0xE0 && small <= 0xFE && small != 0xF7) return small - 0x20;
  switch (small) {
    case 0x9A: return 0x8A;
    case 0x9C: return 0x8C;
    case 0x9E: return 0x8E;
    case 0xFF: return 0x9F;
    default: return small;
  }
}

constexpr uint16_t L(char letter) { return static_cast<uint16_t>(kLetterBase + (letter - 'a')); }

struct Tables {
  std::array<ByteUnits, 256> units{};

  constexpr Tables(bool phoneBook) {
    for (int c = 0; c < 256; ++c) units[c] = {{static_cast<uint16_t>(1 + c), kNone, 0}, {0, 0, 0}};
    for (int c = '0'; c <= '9'; ++c) units[c].First.Primary = static_cast<uint16_t>(kDigitBase + c - '0');
    for (int c = 'a'; c <= 'z'; ++c) {
      units[c].First = {L(static_cast<char>(c)), kNone, 0};
      units[c - 0x20].First = {L(static_cast<char>(c)), kNone, 1};
    }
    // Accented letters: the lower-case byte, its base letter and accent; the capital is 0x20
    // below it (as the case tables say) unless given.
    auto letter = [this](int small, char base, uint8_t accent) {
      units[small].First = {L(base), accent, 0};
      int capital = Capital(small);
      if (capital != small) units[capital].First = {L(base), accent, 1};
    };
    auto expand = [this](int small, char a, char b) {
      units[small] = {{L(a), kLigature, 0}, {L(b), kLigature, 0}};
      int capital = Capital(small);
      if (capital != small) units[capital] = {{L(a), kLigature, 1}, {L(b), kLigature, 1}};
    };
    const uint8_t aAccents[] = {kGrave, kAcute, kCircumflex, kTilde, kDiaeresis, kRing};
    for (int i = 0; i < 6; ++i) letter(0xE0 + i, 'a', aAccents[i]);
    expand(0xE6, 'a', 'e');
    letter(0xE7, 'c', kCedilla);
    const uint8_t eAccents[] = {kGrave, kAcute, kCircumflex, kDiaeresis};
    for (int i = 0; i < 4; ++i) letter(0xE8 + i, 'e', eAccents[i]);
    for (int i = 0; i < 4; ++i) letter(0xEC + i, 'i', eAccents[i]);
    letter(0xF0, 'd', kStroke);
    letter(0xF1, 'n', kTilde);
    const uint8_t oAccents[] = {kGrave, kAcute, kCircumflex, kTilde, kDiaeresis};
    for (int i = 0; i < 5; ++i) letter(0xF2 + i, 'o', oAccents[i]);
    letter(0xF8, 'o', kStroke);
    for (int i = 0; i < 4; ++i) letter(0xF9 + i, 'u', eAccents[i]);
    letter(0xFD, 'y', kAcute);
    expand(0xFE, 't', 'h');
    letter(0xFF, 'y', kDiaeresis);
    letter(0x9A, 's', kCaron);
    expand(0x9C, 'o', 'e');
    letter(0x9E, 'z', kCaron);
    letter(0x83, 'f', kLigature);   // florin sign, a hooked f
    units[0xDF] = {{L('s'), kLigature, 0}, {L('s'), kLigature, 0}};  // sharp s, no capital
    units[0xAA].First = {L('a'), kOrdinal, 0};
    units[0xBA].First = {L('o'), kOrdinal, 0};
    units[0xB9].First = {static_cast<uint16_t>(kDigitBase + 1), kSuperscript, 0};
    units[0xB2].First = {static_cast<uint16_t>(kDigitBase + 2), kSuperscript, 0};
    units[0xB3].First = {static_cast<uint16_t>(kDigitBase + 3), kSuperscript, 0};
    if (phoneBook) {
      const int umlauts[] = {0xE4, 0xF6, 0xFC};
      const char bases[] = {'a', 'o', 'u'};
      for (int i = 0; i < 3; ++i) {
        int small = umlauts[i];
        int capital = small - 0x20;
        units[small] = {{L(bases[i]), kDiaeresis, 0}, {L('e'), kDiaeresis, 0}};
        units[capital] = {{L(bases[i]), kDiaeresis, 1}, {L('e'), kDiaeresis, 1}};
      }
    }
  }
};

constexpr Tables kDefault(false);
constexpr Tables kPhoneBook(true);

// Walks the collation units of a text.
class UnitReader {
 public:
  UnitReader(const Tables& tables, std::string_view text) : tables_(tables), text_(text) {}

  bool Next(Unit& unit) {
    if (second_) {
      second_ = false;
      unit = tables_.units[static_cast<uint8_t>(text_[pos_ - 1])].Second;
      return true;
    }
    if (pos_ >= text_.size()) return false;
    const ByteUnits& units = tables_.units[static_cast<uint8_t>(text_[pos_++])];
    unit = units.First;
    second_ = units.Second.Primary != 0;
    return true;
  }

 private:
  const Tables& tables_;
  std::string_view text_;
  size_t pos_ = 0;
  bool second_ = false;
};

int Sign(int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); }

// One level: 0 primary, 1 accent, 2 case.
int CompareLevel(const Tables& tables, std::string_view a, std::string_view b, int level) {
  UnitReader ra(tables, a), rb(tables, b);
  Unit ua{}, ub{};
  while (true) {
    bool ha = ra.Next(ua);
    bool hb = rb.Next(ub);
    if (!ha || !hb) return ha ? 1 : (hb ? -1 : 0);
    int d = level == 0 ? ua.Primary - ub.Primary
                       : (level == 1 ? ua.Accent - ub.Accent : ua.Upper - ub.Upper);
    if (d != 0) return Sign(d);
  }
}

bool ValidLanguage(uint16_t languageId) {
  for (const TCollationLanguage& entry : kLanguages)
    if (entry.Id == languageId) return true;
  return false;
}

}  // namespace

int CollationLanguageCount() { return static_cast<int>(std::size(kLanguages)); }
const TCollationLanguage& CollationLanguageAt(int position) { return kLanguages[position]; }

bool IsGermanLanguage(uint16_t languageId) { return languageId != 0 && (languageId & 0x3FF) == 7; }

bool IsValidLocale(uint32_t lcid) {
  uint16_t language = LanguageOfLcid(lcid);
  uint16_t sort = SortOfLcid(lcid);
  if (!ValidLanguage(language)) return false;
  if (sort == 0) return true;
  return sort == 1 && IsGermanLanguage(language);
}

bool IsPhoneBookLocale(uint32_t lcid) {
  return SortOfLcid(lcid) == 1 && IsGermanLanguage(LanguageOfLcid(lcid));
}

int CollateCompare(uint32_t lcid, std::string_view a, std::string_view b, uint32_t flags) {
  if (LanguageOfLcid(lcid) == 0) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
      uint8_t x = static_cast<uint8_t>(a[i]), y = static_cast<uint8_t>(b[i]);
      if (flags & kCompareIgnoreCase) {
        x = Win1252Upper(x);
        y = Win1252Upper(y);
      }
      if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
  }
  const Tables& tables = IsPhoneBookLocale(lcid) ? kPhoneBook : kDefault;
  int r = CompareLevel(tables, a, b, 0);
  if (r != 0) return r;
  if (!(flags & kCompareIgnoreNonSpace)) {
    r = CompareLevel(tables, a, b, 1);
    if (r != 0) return r;
  }
  if (!(flags & kCompareIgnoreCase)) r = CompareLevel(tables, a, b, 2);
  return r;
}

std::string CollateUpper(uint32_t, std::string_view text) { return Win1252UpperString(text); }
std::string CollateLower(uint32_t, std::string_view text) { return Win1252LowerString(text); }

}  // namespace tovenmarsh::platform
