// String tables ("STR0" raw-data resources) and their loader.
//
// A table is little-endian: the signature "STR0", the entry count N, N entries of (id, offset
// of the text from the table start, length in UTF-16 code units) sorted by id, then the texts
// in UTF-16LE. Open validates the whole table, so GetString never reads outside it; texts are
// returned in the ANSI code page (Windows-1252, '?' for what it cannot show).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fulltext/cl_exception.h"
#include "fulltext/embedded_resources.h"

namespace tovenmarsh::fulltext {

// Failures of the loader itself; the message comes from "STSRMGR_STRINGS", the code is its id.
TM_DECLARE_EXCEPTION(ETpsStringResourceError, EClException);

// Ids of the loader's own messages.
enum : int {
  kSrmStringNotFound = 1,
  kSrmCannotLock = 2,
  kSrmResourceNotFound = 3,
  kSrmCannotOpen = 4,
  kSrmInvalidResource = 5,
};

class TClStringResource {
 public:
  TClStringResource() = default;
  // Opens the named table when a name is given.
  TClStringResource(const TResourceModule& module, std::string_view name);

  // Closes an open table, then loads and validates the named one: missing raises message 3,
  // a table that is not a well-formed "STR0" table raises message 5.
  void Open(const TResourceModule& module, std::string_view name);
  // The text of an id: empty when unknown, or message 1 when RaiseNotFound is set. A loader
  // with no table open raises message 2.
  std::string GetString(int64_t id) const;
  void Close();
  bool IsOpen() const { return open_; }

  bool RaiseNotFound = false;

 private:
  std::string table_;  // a private copy of the validated table
  uint32_t count_ = 0;
  bool open_ = false;
};

// Validates a table's bytes; true when every entry lies inside it and the ids ascend.
bool IsValidStringTable(std::string_view table);
// Looks an id up in a table that may be malformed: nothing when absent or invalid.
std::optional<std::string> LookupStringTable(std::string_view table, int64_t id);

// Converts UTF-16LE code units to Windows-1252 ('?' where it has no character).
std::string Utf16ToAnsi(std::u16string_view text);

// The two loaders opened at start-up over the program's own tables.
const TClStringResource& LoaderStrings();     // "STSRMGR_STRINGS"
const TClStringResource& SysToolsStrings();   // "SYSTOOLS_STRINGS_ENGLISH"

// Replaces the first "%s" or "%d" of a message text with the argument (texts come from tables,
// so they never reach printf).
std::string FormatMessageText(std::string_view text, std::string_view argument);

}  // namespace tovenmarsh::fulltext
