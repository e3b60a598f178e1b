// Loader of "STR0" string tables: validation on open, binary search by id, UTF-16 to ANSI.
#include "fulltext/string_resource.h"

#include <array>

namespace tovenmarsh::fulltext {
namespace {

constexpr size_t kHeaderSize = 8;   // signature + entry count
constexpr size_t kEntrySize = 12;   // id, offset, length
constexpr size_t kIdAt = 0, kOffsetAt = 4, kLengthAt = 8;
static_assert(kHeaderSize + kEntrySize == 20);

uint32_t Get32(std::string_view t, size_t at) {
  return static_cast<uint32_t>(static_cast<uint8_t>(t[at])) |
         static_cast<uint32_t>(static_cast<uint8_t>(t[at + 1])) << 8 |
         static_cast<uint32_t>(static_cast<uint8_t>(t[at + 2])) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(t[at + 3])) << 24;
}

size_t EntryAt(uint32_t i) { return kHeaderSize + kEntrySize * static_cast<size_t>(i); }

// Binary search over a validated table; the entry index or -1.
int64_t FindEntry(std::string_view t, uint32_t count, int64_t id) {
  if (id < 0 || id > 0xFFFFFFFFll) return -1;
  int64_t lo = 0, hi = static_cast<int64_t>(count) - 1;
  while (lo <= hi) {
    const int64_t mid = lo + (hi - lo) / 2;
    const int64_t v = Get32(t, EntryAt(static_cast<uint32_t>(mid)) + kIdAt);
    if (v == id) return mid;
    if (v < id) lo = mid + 1; else hi = mid - 1;
  }
  return -1;
}

std::string EntryText(std::string_view t, uint32_t entry) {
  const size_t at = EntryAt(entry);
  const size_t offset = Get32(t, at + kOffsetAt);
  const size_t length = Get32(t, at + kLengthAt);
  std::u16string units(length, u'\0');
  for (size_t k = 0; k < length; ++k)
    units[k] = static_cast<char16_t>(static_cast<uint8_t>(t[offset + 2 * k]) |
                                     static_cast<uint8_t>(t[offset + 2 * k + 1]) << 8);
  return Utf16ToAnsi(units);
}

// Fallback texts of the loader's own messages, for a program whose table is damaged.
std::string LoaderMessage(int id, std::string_view argument) {
  static const char* const kFallback[] = {"", "String not found: %d", "Cannot lock resource",
                                          "String resource not found: %s",
                                          "Unable to open string resource: %s",
                                          "Invalid string resource"};
  std::string text;
  if (auto table = ProgramModule().FindRawData("STSRMGR_STRINGS"))
    if (auto found = LookupStringTable(*table, id)) text = *found;
  if (text.empty() && id >= 1 && id <= 5) text = kFallback[id];
  return FormatMessageText(text, argument);
}

[[noreturn]] void RaiseLoaderError(int id, std::string_view argument = {}) {
  throw ETpsStringResourceError(id, LoaderMessage(id, argument));
}

}  // namespace

std::string Utf16ToAnsi(std::u16string_view text) {
  // Windows-1252 positions 0x80..0x9F; 0 marks the five unassigned ones.
  static constexpr std::array<char16_t, 32> kHigh = {
      0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
      0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    if (u < 0x80 || (u >= 0xA0 && u <= 0xFF)) {
      out.push_back(static_cast<char>(u));
      continue;
    }
    char c = '?';
    for (size_t k = 0; k < kHigh.size(); ++k)
      if (kHigh[k] != 0 && kHigh[k] == u) c = static_cast<char>(0x80 + k);
    // A surrogate pair stands for one character that the code page cannot show.
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF)
      ++i;
    out.push_back(c);
  }
  return out;
}

bool IsValidStringTable(std::string_view t) {
  if (t.size() < kHeaderSize || t.substr(0, 4) != "STR0") return false;
  const uint64_t count = Get32(t, 4);
  if (count > (t.size() - kHeaderSize) / kEntrySize) return false;
  int64_t previous = -1;
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = EntryAt(i);
    const int64_t id = Get32(t, at + kIdAt);
    const uint64_t offset = Get32(t, at + kOffsetAt);
    const uint64_t length = Get32(t, at + kLengthAt);
    if (id <= previous) return false;
    if (offset > t.size() || 2 * length > t.size() - offset) return false;
    previous = id;
  }
  return true;
}

std::optional<std::string> LookupStringTable(std::string_view table, int64_t id) {
  if (!IsValidStringTable(table)) return std::nullopt;
  const int64_t entry = FindEntry(table, Get32(table, 4), id);
  if (entry < 0) return std::nullopt;
  return EntryText(table, static_cast<uint32_t>(entry));
}

std::string FormatMessageText(std::string_view text, std::string_view argument) {
  std::string out(text);
  for (size_t i = 0; i + 1 < out.size(); ++i)
    if (out[i] == '%' && (out[i + 1] == 's' || out[i + 1] == 'd')) {
      out.replace(i, 2, argument);
      break;
    }
  return out;
}

TClStringResource::TClStringResource(const TResourceModule& module, std::string_view name) {
  if (!name.empty()) Open(module, name);
}

void TClStringResource::Open(const TResourceModule& module, std::string_view name) {
  Close();
  const std::optional<std::string_view> bytes = module.FindRawData(name);
  if (!bytes) RaiseLoaderError(kSrmResourceNotFound, name);
  if (!IsValidStringTable(*bytes)) RaiseLoaderError(kSrmInvalidResource);
  table_.assign(bytes->data(), bytes->size());
  count_ = Get32(table_, 4);
  open_ = true;
}

std::string TClStringResource::GetString(int64_t id) const {
  if (!open_) RaiseLoaderError(kSrmCannotLock);
  const int64_t entry = FindEntry(table_, count_, id);
  if (entry < 0) {
    if (RaiseNotFound) RaiseLoaderError(kSrmStringNotFound, std::to_string(id));
    return {};
  }
  return EntryText(table_, static_cast<uint32_t>(entry));
}

void TClStringResource::Close() {
  table_.clear();
  count_ = 0;
  open_ = false;
}

const TClStringResource& LoaderStrings() {
  static const TClStringResource loader(ProgramModule(), "STSRMGR_STRINGS");
  return loader;
}

const TClStringResource& SysToolsStrings() {
  static const TClStringResource loader(ProgramModule(), "SYSTOOLS_STRINGS_ENGLISH");
  return loader;
}

}  // namespace tovenmarsh::fulltext
