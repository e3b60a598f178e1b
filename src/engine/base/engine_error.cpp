// Engine error codes, their English texts, the per-thread last error and RaiseEngineError.
#include "engine/base/engine_error.h"

#include <initializer_list>

namespace tovenmarsh::engine {
namespace {

// Arguments: T table name, F field name, I index name, X extra text, in the order the text's
// "%s" take them.
struct ErrorText {
  uint16_t Code;
  const char* Args;
  const char* Text;
};

constexpr ErrorText kErrorTexts[] = {
    {8705, "T", "Beginning of file encountered in table '%s'"},
    {8706, "T", "End of file encountered in table '%s'"},
    {8708, "T", "Record has been changed or deleted by another user, session, or table cursor in table '%s'"},
    {8709, "T", "No current record in table '%s'"},
    {8710, "T", "Record not found in table '%s'"},
    {8711, "T", "End of blob data in table '%s' reached prematurely"},
    {8961, "T", "Header information corrupt in table '%s'"},
    {8962, "T", "Data record buffers corrupt in table '%s'"},
    {8963, "T", "BLOB block buffers corrupt in table '%s'"},
    {8965, "T", "Index page buffers corrupt in table '%s'"},
    {9217, "T", "Error reading from table '%s'"},
    {9218, "T", "Error writing to table '%s'"},
    {9220, "T", "Cannot delete table '%s'"},
    {9221, "T", "Error accessing header information for table '%s'"},
    {9477, "T", "Maximum record size exceeded in table '%s'"},
    {9479, "T", "The table '%s' is full and cannot contain any more data"},
    {9482, "T", "Too many filters defined for table '%s'"},
    {9487, "T", "Maximum or minimum limits on number of indexes or fields in an index exceeded in table '%s'"},
    {9492, "T", "Maximum or minimum limits on number of fields, auto-increment field value, or field size exceeded in table '%s'"},
    {9494, "T", "Too many blobs opened in table '%s'"},
    {9498, "T", "Too many blob fields or invalid blob block size specified for table '%s'"},
    {9729, "IT", "Duplicate key found in index '%s' of table '%s'"},
    {9730, "FT", "The value for the field '%s' in table '%s' is below the minimum allowable value"},
    {9731, "FT", "The value for the field '%s' in table '%s' is above the maximum allowable value"},
    {9732, "FT", "A value must be provided for the field '%s' in table '%s'"},
    {9985, "FT", "Invalid field number or name '%s' specified for table '%s'"},
    {9993, "T", "A primary index is already defined for table '%s' and cannot be added again"},
    {9998, "T", "Invalid blob offset into table '%s' specified"},
    {10000, "FT", "Invalid field definition specified for the field '%s' in table '%s'"},
    {10006, "FT", "Invalid default, min or max validity check, or expression specified for '%s' in table '%s'"},
    {10010, "T", "The secondary index name is missing or not specified for table '%s'"},
    {10015, "T", "Password provided for table '%s' is invalid"},
    {10022, "IT", "Invalid secondary index name '%s' specified for table '%s'"},
    {10023, "FIT", "Invalid field number '%s' specified in index '%s' for table '%s'"},
    {10026, "IT", "Invalid key size specified in index '%s' for table '%s'"},
    {10027, "IT", "The secondary index '%s' already exists for table '%s'"},
    {10029, "T", "Invalid blob length in table '%s'"},
    {10030, "T", "Invalid blob handle for table '%s' specified"},
    {10031, "T", "table '%s' is already in use"},
    {10038, "FT", "Invalid or duplicate field name '%s' specified for table '%s'"},
    {10050, "T", "Invalid filter handle specified for table '%s'"},
    {10051, "TX", "Filter error for table '%s' - %s"},
    {10055, "T", "The primary index cannot be removed from table '%s'"},
    {10241, "T", "The table '%s' is already locked by another user"},
    {10242, "T", "Cannot unlock table or record in table '%s'"},
    {10249, "T", "General lock failure with table '%s'"},
    {10253, "T", "table '%s' must be opened exclusively"},
    {10258, "T", "Record in table '%s' is in use by another user"},
    {10498, "T", "Insufficient rights to table '%s', a password is required"},
    {10753, "FT", "Invalid blob field '%s' specified for table '%s'"},
    {10758, "", "Engine not initialized"},
    {11010, "T", "Invalid path or file name for table '%s'"},
    {11012, "T", "Too many files open while attempting to open table '%s'"},
    {11013, "T", "Access denied to table '%s'"},
    {11014, "T", "Invalid file handle for table '%s'"},
    {11016, "", "There is insufficient operating system memory available for the current operation"},
    {11017, "T", "Invalid length for in-memory table '%s'"},
    {11023, "T", "Access denied to logical operating system device for table '%s'"},
    {11025, "T", "table '%s' has been moved"},
    {11047, "T", "An unknown operating system error occurred with table '%s'"},
    {11949, "X", "SQL error - %s"},
    {12035, "T", "table '%s' is not the correct version"},
    {12292, "IT", "Invalid field type specified for index '%s' in table '%s'"},
    {13060, "T", "The table '%s' already exists"},
    {15878, "T", "The language driver for table '%s' is not available or installed"},
};

constexpr size_t kMaxNameLength = 255;
constexpr size_t kMaxMessageLength = 254;

struct LastError {
  uint16_t Code = 0;
  EngineErrorNames Names;
};

thread_local LastError tLastError;

const ErrorText* FindText(uint16_t code) {
  for (const ErrorText& entry : kErrorTexts)
    if (entry.Code == code) return &entry;
  return nullptr;
}

std::string Cut(std::string_view s, size_t n) { return std::string(s.substr(0, n)); }

// Replaces each placeholder in turn with the next argument.
std::string Fill(std::string_view text, std::string_view placeholder,
                 std::initializer_list<const std::string*> args) {
  std::string out;
  auto next = args.begin();
  size_t pos = 0;
  while (true) {
    size_t hit = text.find(placeholder, pos);
    if (hit == std::string_view::npos || next == args.end()) {
      out.append(text.substr(pos));
      break;
    }
    out.append(text.substr(pos, hit - pos));
    out.append(**next);
    ++next;
    pos = hit + placeholder.size();
  }
  return out;
}

}  // namespace

std::string EngineErrorText(uint16_t code, const EngineErrorNames& names) {
  const ErrorText* entry = FindText(code);
  std::string out;
  if (entry == nullptr) {
    out = Fill("Unknown error occurred with table '%S'", "%S", {&names.TableName});
  } else {
    std::string text = entry->Text;
    size_t pos = 0;
    for (const char* a = entry->Args; *a != 0; ++a) {
      const std::string* value = &names.ExtraText;
      switch (*a) {
        case 'T': value = &names.TableName; break;
        case 'F': value = &names.FieldName; break;
        case 'I': value = &names.IndexName; break;
        default: break;
      }
      size_t hit = text.find("%s", pos);
      if (hit == std::string::npos) break;
      text.replace(hit, 2, *value);
      pos = hit + value->size();
    }
    out = std::move(text);
  }
  if (out.size() > kMaxMessageLength) out.resize(kMaxMessageLength);
  return out;
}

bool IsKnownEngineErrorCode(uint16_t code) { return FindText(code) != nullptr; }

EFenEngineError::EFenEngineError(uint16_t code, EngineErrorNames names)
    : platform::Exception("Fen Engine Error # " + std::to_string(code) + " " +
                          EngineErrorText(code, names)),
      code_(code),
      names_(std::move(names)),
      text_(EngineErrorText(code, names_)) {}

void SetEngineErrorInfo(uint16_t code, std::string_view tableName, std::string_view fieldName,
                        std::string_view extraText, std::string_view indexName) {
  tLastError.Code = code;
  tLastError.Names.TableName = Cut(tableName, kMaxNameLength);
  tLastError.Names.FieldName = Cut(fieldName, kMaxNameLength);
  tLastError.Names.ExtraText = Cut(extraText, kMaxNameLength);
  tLastError.Names.IndexName = Cut(indexName, kMaxNameLength);
}

void ClearEngineErrorInfo() { tLastError = LastError(); }

void RaiseEngineError(uint16_t code, std::string_view tableName, std::string_view fieldName,
                      std::string_view extraText, std::string_view indexName) {
  ClearEngineErrorInfo();
  SetEngineErrorInfo(code, tableName, fieldName, extraText, indexName);
  throw EFenEngineError(code, tLastError.Names);
}

std::string GetEngineErrorInfo(int kind) {
  switch (kind) {
    case 0: return tLastError.Names.FieldName;
    case 1: return tLastError.Names.TableName;
    case 2: return tLastError.Names.IndexName;
    default: return std::string();
  }
}

uint16_t LastEngineErrorCode() { return tLastError.Code; }

std::string EngineErrorMessage(uint16_t code) { return EngineErrorText(code, tLastError.Names); }

}  // namespace tovenmarsh::engine
