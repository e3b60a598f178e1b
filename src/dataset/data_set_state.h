// States, fetch modes, data events and BLOB stream modes of the record-set framework.
#pragma once

#include <cstdint>
#include <string>

#include "dataset/bookmarks.h"
#include "engine/base/engine_error.h"

namespace tovenmarsh::dataset {

enum class TDataSetState : uint8_t {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,       // editing a search key or range bound
  dsCalcFields,   // computing calculated fields
  dsFilter,       // a record filter callback is looking at a record
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
  dsOpening,
};

// Where a fetch goes from the cursor's position.
enum class TGetMode : uint8_t { gmCurrent, gmNext, gmPrior };
// A fetch's outcome: a record, the crack before the first / after the last, or a failure.
enum class TGetResult : uint8_t { grOK, grBOF, grEOF, grError };

enum class TDataEvent : uint8_t {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
};

enum class TBlobStreamMode : uint8_t { bmRead = 0, bmWrite = 1, bmReadWrite = 2 };

// The navigation codes of the record source: success, and the two cracks.
inline constexpr int kSourceOk = 0;
inline constexpr int kSourceBof = engine::kErrBeginningOfFile;
inline constexpr int kSourceEof = engine::kErrEndOfFile;

}  // namespace tovenmarsh::dataset
