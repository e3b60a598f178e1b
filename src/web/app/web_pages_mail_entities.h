// What the mail administration pages know of each entity: its pool, its key fields (the
// ";"-joined "key" parameter), how its list is chosen and shown, and the fields of its form.
#pragma once

#include <string>
#include <vector>

#include "resources/table_access.h"
#include "resources/table_defs.h"
#include "web/app/web_pages_mail.h"

namespace tovenmarsh::web::mailpages {

struct TKeyField {
  int position;  // field of the table
  bool integer;
};

// How a list chooses its rows from the "key" it arrives with.
enum class TListRange {
  All,               // every row in primary order
  FirstNumber,       // index listIndex, range on the first key item as a number
  FirstNumberIfSet,  // the same when that number is above 0, else every row
  NameAndCompany,    // primary index, range on the first item and the second as a number
};

struct TListColumn {
  const char* caption;
  int position;
};

// Form field kinds: a text input, a password input, a checkbox, or the value as plain text.
enum class TFormKind { Text, Password, Checkbox, Plain };

struct TFormField {
  const char* caption;
  int position;
  TFormKind kind;
  const char* newValue;  // shown when the key finds no row
};

struct TEntityDef {
  TMailEntity entity;
  int pool;
  std::vector<TKeyField> key;
  // The primary index is searched with the key fields from here on; the fields before it are
  // checked on the row found (a domain is found by name and must belong to the company).
  size_t lookupFirst;
  const char* listIndex;
  TListRange range;
  std::vector<TListColumn> columns;
  const char* tag;  // "comtag"/"acctag" carried from the list, or nullptr
  int tagPosition;
  std::vector<TFormField> form;
};

const TEntityDef& EntityDef(TMailEntity entity);
const resources::TAppTableDef& TableOf(const TEntityDef& def);

// The key values that "key" spells for the entity (missing items empty or 0).
resources::TKeyValues KeyFromText(const TEntityDef& def, const std::string& keyText);
// The current row's key as text (the fields joined by ";").
std::string KeyText(const TEntityDef& def, resources::TTableAccess& table);
// Primary index, no range, FindKey on the key; true when the row found has exactly that key.
bool FindRow(const TEntityDef& def, resources::TTableAccess& table, const std::string& keyText);

// A field of the current row as page text: numbers in decimal, booleans "True"/"False",
// dates as short dates (withTime: date and time), null as "" ("False" for a flag).
std::string FieldText(const resources::TAppTableDef& table, resources::TTableAccess& access,
                      int position, bool withTime);
// The display width of a field (its size for strings).
int FieldWidth(const resources::TAppTableDef& table, int position);

// Where a form's values come from: the row that "key" names (the new-row defaults when it
// names none), or the form the browser has just sent.
enum class TFormValues { Stored, Submitted };

// The entity's form, posting to actionURL, with its OK and Cancel buttons; every field shown
// as plain text when plain.
std::string MailFormHTML(const TEntityDef& def, THTTPSession& session,
                         const std::string& actionURL, TFormValues values, bool plain);

}  // namespace tovenmarsh::web::mailpages
