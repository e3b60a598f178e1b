// Engine errors: every failure of the table engine and the SQL engine is a numeric code plus up
// to four names (table, field, index, extra text), raised through RaiseEngineError.
//
// Contract: the exception object carries its own code and names, so two threads raising at once
// never see each other's error. The "last error" that callers may read back (LastEngineErrorCode,
// GetEngineErrorInfo, EngineErrorMessage) is kept per thread: it is the last error this thread
// recorded. Message texts are fixed English texts; EngineErrorText renders one from explicit
// names and never touches any shared state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/exception.h"

namespace tovenmarsh::engine {

// The engine's error codes (the texts live in engine_error.cpp).
enum EngineErrorCode : uint16_t {
  kErrBeginningOfFile = 8705,
  kErrEndOfFile = 8706,
  kErrRecordChanged = 8708,
  kErrNoCurrentRecord = 8709,
  kErrRecordNotFound = 8710,
  kErrEndOfBlob = 8711,
  kErrHeaderCorrupt = 8961,
  kErrRecordBuffersCorrupt = 8962,
  kErrBlobBuffersCorrupt = 8963,
  kErrIndexPageCorrupt = 8965,
  kErrReadError = 9217,
  kErrWriteError = 9218,
  kErrCannotDeleteTable = 9220,
  kErrHeaderAccess = 9221,
  kErrMaxRecordSize = 9477,
  kErrTableFull = 9479,
  kErrTooManyFilters = 9482,
  kErrIndexLimits = 9487,
  kErrFieldLimits = 9492,
  kErrTooManyBlobs = 9494,
  kErrBlobFieldsOrBlockSize = 9498,
  kErrDuplicateKey = 9729,
  kErrBelowMinimum = 9730,
  kErrAboveMaximum = 9731,
  kErrValueRequired = 9732,
  kErrInvalidField = 9985,
  kErrPrimaryIndexExists = 9993,
  kErrInvalidBlobOffset = 9998,
  kErrInvalidFieldDefinition = 10000,
  kErrInvalidValidityCheck = 10006,
  kErrSecondaryIndexNameMissing = 10010,
  kErrInvalidPassword = 10015,
  kErrInvalidSecondaryIndexName = 10022,
  kErrInvalidIndexFieldNumber = 10023,
  kErrInvalidKeySize = 10026,
  kErrSecondaryIndexExists = 10027,
  kErrInvalidBlobLength = 10029,
  kErrInvalidBlobHandle = 10030,
  kErrTableInUse = 10031,
  kErrInvalidFieldName = 10038,
  kErrInvalidFilterHandle = 10050,
  kErrFilterError = 10051,
  kErrPrimaryIndexRemove = 10055,
  kErrTableLocked = 10241,
  kErrCannotUnlock = 10242,
  kErrGeneralLock = 10249,
  kErrMustBeExclusive = 10253,
  kErrRecordInUse = 10258,
  kErrInsufficientRights = 10498,
  kErrInvalidBlobField = 10753,
  kErrEngineNotInitialized = 10758,
  kErrInvalidPath = 11010,
  kErrTooManyFiles = 11012,
  kErrAccessDenied = 11013,
  kErrInvalidFileHandle = 11014,
  kErrOutOfMemory = 11016,
  kErrInvalidMemoryTableLength = 11017,
  kErrDeviceAccessDenied = 11023,
  kErrTableMoved = 11025,
  kErrUnknownOsError = 11047,
  kErrSql = 11949,
  kErrWrongVersion = 12035,
  kErrInvalidIndexFieldType = 12292,
  kErrTableExists = 13060,
  kErrLanguageDriver = 15878,
};

// The names that fill an error text.
struct EngineErrorNames {
  std::string TableName;
  std::string FieldName;
  std::string IndexName;
  std::string ExtraText;
};

// The engine's failure. Message() is "Fen Engine Error # " + code + " " + Text().
class EFenEngineError : public platform::Exception {
 public:
  EFenEngineError(uint16_t code, EngineErrorNames names);

  const char* ClassName() const noexcept override { return "EFenEngineError"; }

  uint16_t Code() const noexcept { return code_; }
  const EngineErrorNames& Names() const noexcept { return names_; }
  // The code's text filled with the names (what EngineErrorMessage gives for this error).
  const std::string& Text() const noexcept { return text_; }

 private:
  uint16_t code_;
  EngineErrorNames names_;
  std::string text_;
};

// Records code and names as this thread's last error and throws EFenEngineError. Names are cut
// to 255 characters like every engine short string.
[[noreturn]] void RaiseEngineError(uint16_t code, std::string_view tableName = {},
                                   std::string_view fieldName = {},
                                   std::string_view extraText = {},
                                   std::string_view indexName = {});

// The two halves of RaiseEngineError on this thread's last error.
void SetEngineErrorInfo(uint16_t code, std::string_view tableName, std::string_view fieldName,
                        std::string_view extraText, std::string_view indexName);
void ClearEngineErrorInfo();

// Kind 0 the field name, 1 the table name, 2 the index name of this thread's last error;
// anything else "".
std::string GetEngineErrorInfo(int kind);
uint16_t LastEngineErrorCode();

// The code's text filled from this thread's last error (at most 254 characters).
std::string EngineErrorMessage(uint16_t code);

// The code's text filled from the given names, in the order the code's text names them; an
// unknown code gives "Unknown error occurred with table '...'" with the table name. At most 254
// characters.
std::string EngineErrorText(uint16_t code, const EngineErrorNames& names);

// True when the code has a text of its own.
bool IsKnownEngineErrorCode(uint16_t code);

}  // namespace tovenmarsh::engine
