// The record-set framework's database error and its fixed English message texts.
//
// Contract: every misuse of a data set, a field, a definition list or a parameter list raises
// EDatabaseError with one of the texts below (a "%s" filled with the name shown to the user).
// Failures of the record source itself (the engine) never arrive as EDatabaseError.
#pragma once

#include "platform/exception.h"

namespace tovenmarsh::dataset {

TM_DECLARE_EXCEPTION(EDatabaseError, platform::Exception);

// Message texts. Callers format them with DatabaseErrorFmt.
namespace msg {
inline constexpr const char* kNotEditing = "Dataset not in edit or insert mode";
inline constexpr const char* kDataSetClosed = "Cannot perform this operation on a closed dataset";
inline constexpr const char* kDataSetOpen = "Cannot perform this operation on an open dataset";
inline constexpr const char* kDataSetEmpty = "Cannot perform this operation on an empty dataset";
inline constexpr const char* kDataSetReadOnly = "Cannot modify a read-only dataset";
inline constexpr const char* kFieldReadOnly = "Field '%s' cannot be modified";
inline constexpr const char* kNotIndexField = "Field '%s' is not indexed and cannot be modified";
inline constexpr const char* kFieldNotFound = "Field '%s' not found";
inline constexpr const char* kFieldRequired = "Field '%s' must have a value";
inline constexpr const char* kFieldAccessError = "Cannot access field '%s' as type %s";
inline constexpr const char* kFieldRangeError =
    "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr const char* kInvalidBoolValue = "'%s' is not a valid boolean value for field '%s'";
inline constexpr const char* kInvalidIntegerValue = "'%s' is not a valid integer value for field '%s'";
inline constexpr const char* kInvalidFloatValue =
    "'%s' is not a valid floating point value for field '%s'";
inline constexpr const char* kInvalidDateTimeValue =
    "'%s' is not a valid date and time value for field '%s'";
inline constexpr const char* kDuplicateFieldName = "Duplicate field name '%s'";
inline constexpr const char* kDuplicateIndexName = "Duplicate index name '%s'";
inline constexpr const char* kIndexNotFound = "Index '%s' not found";
inline constexpr const char* kNoIndexForFields = "No index for fields '%s'";
inline constexpr const char* kFieldIndexOutOfRange = "Field index out of range";
inline constexpr const char* kNoIndexActive = "No index currently active";
inline constexpr const char* kRecordNotFound = "Record not found";
inline constexpr const char* kInvalidBookmark = "Bookmark does not belong to the current index";
inline constexpr const char* kCircularDataLink = "Circular datalinks are not allowed";
inline constexpr const char* kParameterNotFound = "Parameter '%s' not found";
inline constexpr const char* kFieldNameMissing = "Field name missing";
inline constexpr const char* kFieldNotBlob = "Field '%s' is not a BLOB field";
inline constexpr const char* kDataSetOpenFieldChange = "Cannot add or remove fields of an open dataset";
inline constexpr const char* kFieldTypeMismatch = "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char* kTooManyIndexFields = "Index '%s' has more than 16 fields";
inline constexpr const char* kLocateValueCount = "Number of key values does not match the key fields '%s'";
inline constexpr const char* kInvalidVarCast = "Could not convert variant value";
}  // namespace msg

[[noreturn]] void DatabaseError(const char* message);
[[noreturn]] void DatabaseErrorFmt(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace tovenmarsh::dataset
