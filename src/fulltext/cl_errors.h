// Errors of the container library and of the full-text engine.
//
// EClException carries a numeric code besides its message; EClContainerError takes its message
// from the container message table by id (the id is the code); ETextIndex is the full-text
// engine's error, whose message is the text of its code (30464..30504).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fulltext/cl_exception.h"

namespace tovenmarsh::fulltext {

TM_DECLARE_EXCEPTION(EClContainerError, EClException);
TM_DECLARE_EXCEPTION(ETextIndex, EClException);

// Container message ids.
enum : int {
  kClCompareUnassigned = 51,
  kClBadClass = 52,
  kClBadSize = 53,
  kClDuplicateNode = 54,
  kClIndexOutOfRange = 55,
  kClContainerClassUnregistered = 57,
  kClNodeClassUnregistered = 58,
  kClStoreDataUnassigned = 59,
  kClLoadDataUnassigned = 60,
  kClClassNameDiffers = 61,
  kClNodeClassNameDiffers = 62,
};

// Full-text engine error codes.
enum : int {
  txeCodeArrayFull = 30464,
  txeInconsistentBlobSize = 30465,
  txeReadingBeyondEof = 30466,
  txeBlobAlreadyOpen = 30467,
  txeLargeBlob32 = 30468,
  txeBlockSizeAboveSegment = 30469,
  txeDecompressBufferTooSmall = 30470,
  txeCapabilityNotSupported = 30471,
  txeTextDataSetClosed = 30472,
  txeWordsDataSetClosed = 30473,
  txeDataSetNotSupported = 30474,
  txeDataTypeNotSupported = 30475,
  txeDictionaryInvalidated = 30476,
  txeInvalidBlockSize = 30477,
  txeInvalidFieldName = 30478,
  txeInvalidNetDataSet = 30479,
  txeInvalidParameter = 30480,
  txeInvalidTextDataSet = 30481,
  txeInvalidWordsDataSet = 30482,
  txeLikeNotAvailable = 30483,
  txeMissingIndexFieldInDataSet = 30484,
  txeMissingParenthesis = 30485,
  txeMissingQuote = 30486,
  txeMissingString = 30487,
  txeCacheNotAssigned = 30488,
  txeTextLinkNotAssigned = 30489,
  txeWordsLinkNotAssigned = 30490,
  txeNoFieldNames = 30491,
  txeMissingIndexFieldName = 30492,
  txeLocalShareMustBeTrue = 30493,
  txeMissingTableName = 30494,
  txePropertiesNotFound = 30495,
  txeReadOnlyProperty = 30496,
  txeSqlError = 30497,
  txeSyntaxError = 30498,
  txeTableCreationError = 30499,
  txeTableTypeNotSupported = 30500,
  txeTooManyOmitWords = 30501,
  txeReverseNotAvailable = 30502,
  txeBlockSizeTooSmall = 30503,
  txeLeadingWildcard = 30504,
};

// The container or engine message of an id from "SYSTOOLS_STRINGS_ENGLISH" (empty when absent).
std::string SysToolsMessage(int id);

[[noreturn]] void RaiseContainerError(int id, std::string_view argument = {});
[[noreturn]] void RaiseTextIndex(int code);

}  // namespace tovenmarsh::fulltext
