// Cursor filters: expression or callback filters, each with the bitmap of the records it
// accepts, the cursor's live and range bitmaps, and the visible set (their AND) with its count.
// Expression filters are answered from the table's indexes as far as their shape allows
// (comparisons, NULL tests, IN lists, BETWEEN and prefix comparisons on a column that leads an
// index); the rest is answered by reading and evaluating only the candidate records.
//
// Contract: the index path and evaluation agree on every record: ordered comparisons and
// BETWEEN never take NULL keys, constants that are not exactly representable in the column type
// are turned into the equivalent integer bounds (or an empty / full range), inverted results
// are ANDed with their candidates, and a comparison on UPPER(column) is matched against the
// constant as written. Narrowed filters are rebuilt whenever an earlier filter changes. The
// record hooks keep the visible set equal to a full rebuild. Faults raise engine errors 9482
// (a 65th filter), 10050 (unknown filter) and 10051 (filter expression).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/expr_eval.h"
#include "engine/expr/expr_source.h"
#include "engine/expr/expr_token.h"
#include "engine/base/records_bitmap.h"

namespace tovenmarsh::engine {

inline constexpr int kMaxFilters = 64;

// A range of keys of one index whose first field is the filtered column, in value terms (the
// host turns the bounds into keys and exchanges them on a descending index). NULL keys take part
// only when IncludeNull is set; non-NULL keys only when IncludeValues is set and they lie within
// the bounds (a nil bound is open). Bounds hold values of the column's type. With a partial
// length, string keys are compared on that many leading characters of Low (Low == High).
struct TIndexRange {
  bool IncludeNull = false;
  bool IncludeValues = true;
  const TExpToken* Low = nullptr;
  bool LowInclusive = true;
  const TExpToken* High = nullptr;
  bool HighInclusive = true;
  int32_t PartialLength = 0;
};

// What filters need of a cursor. The cursor implements it over its table (filter_cursor_adapter);
// tests implement it over rows in memory.
class TFilterHost {
 public:
  virtual ~TFilterHost() = default;
  virtual TExpressionRecordSource& RecordSource() = 0;
  virtual std::string TableName() = 0;
  virtual uint16_t LanguageId() { return 0; }
  virtual uint16_t SortId() { return 0; }
  // Number of record slots (deleted ones included); records are numbered from 1.
  virtual uint32_t RecordCount() = 0;
  // Reads record n: record points to its buffer (valid until the next read) and deleted tells
  // whether it is deleted. False when it cannot be read (the table changed under the reader).
  // ahead: records n, n+1, ... the caller reads next (a hint, at most ReadAheadLimit()).
  virtual bool ReadRecord(uint32_t n, const void*& record, bool& deleted, uint32_t ahead) = 0;
  virtual uint32_t ReadAheadLimit() { return 1; }
  // An index whose first field is fieldNo; for string fields its case-insensitivity must equal
  // caseInsensitive. -1 when there is none.
  virtual int FindIndex(int fieldNo, bool caseInsensitive) = 0;
  // Sets the bit of every record whose key in index lies within range (out is sized already).
  virtual void CollectRange(int index, const TIndexRange& range, TRecordsBitmap& out) = 0;
  virtual int64_t CountRange(int index, const TIndexRange& range) = 0;
  virtual int64_t KeyCount(int index) = 0;
  // True when string keys sort in plain byte order (the complement strategy needs it).
  virtual bool PlainByteOrder() { return LanguageId() == 0; }
  // Sets the bit of every live record.
  virtual void CollectLive(TRecordsBitmap& out) = 0;
  // A key range is set on the cursor; CollectKeyRange sets the records inside it.
  virtual bool RangeActive() { return false; }
  virtual void CollectKeyRange(TRecordsBitmap& out) { out.SetAll(); }
  virtual bool RecordInKeyRange(uint32_t, const void*) { return true; }
  // The cursor reads in physical record order (navigation works on the visible set then too).
  virtual bool PhysicalOrder() { return false; }
  // The query-result-only option: nothing is optimised.
  virtual bool QueryResultOnly() { return false; }
};

class TFilterList;

// data set, record buffer, record number -> accept
using TFilterCallback = std::function<bool(void* dataSet, const void* record, uint32_t n)>;

// One filter of a cursor. Result holds the accepted records while the filter is active.
class TFilter {
 public:
  TFilter() = default;
  TFilter(const TFilter&) = delete;
  TFilter& operator=(const TFilter&) = delete;
  ~TFilter();

  TFilterList* Cursor = nullptr;
  bool OwnsExpression = false;
  TExpToken* Expression = nullptr;
  void* DataSet = nullptr;
  TFilterCallback Callback;
  TRecordsBitmap* Result = nullptr;
  bool Active = false;
  bool IsCallback = false;
  uint8_t OptLevel = kOptNone;
  bool NarrowByEarlier = false;
  bool AllowComplement = false;
};

// Optimisation switches for tests and diagnostics: every node scanned, or no complement.
// Levels are computed when a filter is added or its expression replaced: set them before.
struct TFilterTuning {
  bool ForceScan = false;
  bool DisableComplement = false;
};

// The filter list of one cursor with its bitmaps and visible set.
class TFilterList {
 public:
  explicit TFilterList(TFilterHost& host);
  ~TFilterList();
  TFilterList(const TFilterList&) = delete;
  TFilterList& operator=(const TFilterList&) = delete;

  // Text, tree or callback filter (see the cursor's AddFilter); nullptr when none was made.
  TFilter* AddFilter(void* dataSet, std::string_view expressionText, bool noPartial,
                     bool caseInsensitive, bool allowComplement, bool narrowByEarlier,
                     TFilterCallback callback = nullptr, bool ownsTree = false,
                     TExpToken* tree = nullptr);
  void DropFilter(TFilter* filter);
  void ActivateFilter(TFilter* filter);
  void SetFilterExpression(TExpToken* tree, TFilter* filter);
  void DeactivateFilter(TFilter* filter);

  // Record hooks of the editing code.
  void RecordWritten(uint32_t n, const void* record);
  void RecordDeleted(uint32_t n);

  // Rebuilds everything (after a table change or a new range or index order).
  void FullRebuild();
  // Recomputes the filtered flag (call when the index order changes, then FullRebuild).
  void UpdateFiltered();

  bool Filtered() const { return filtered_; }
  const TRecordsBitmap& Visible() const { return *visible_; }
  uint32_t VisibleCount() const { return visibleCount_; }
  int Count() const { return static_cast<int>(filters_.size()); }
  TFilter* Item(int i) const { return filters_[static_cast<size_t>(i)].get(); }

  // Set by the cursor while it must not rebuild.
  bool NoRebuild = false;
  TFilterTuning Tuning;

  // The optimisation level of node (also stored in each node's OptLevel). The filter's own
  // case flag chooses the index for plain string comparisons.
  uint8_t CanOptimizeFilter(TExpToken* node, uint8_t parentOp, bool checkSelectivity);

 private:
  friend class TFilterBuilder;
  std::vector<std::unique_ptr<TFilter>>::iterator Find(TFilter* filter);
  TExpTree CompileText(std::string_view text, bool noPartial, bool caseInsensitive);
  TExpTree CompileInLocale(std::string_view text, bool noPartial, bool caseInsensitive);
  void ComputeLevel(TFilter& filter);
  // Builds filter's result; false when a record could not be read.
  bool BuildFilter(TFilter& filter);
  bool BuildAll();
  void Recombine();
  // Rebuilds the active narrowed filters after position index (an earlier one changed).
  void RebuildFrom(size_t index);
  bool EvaluateRecord(TFilter& filter, uint32_t n, const void* record, bool& ok);
  void SizeBitmaps(uint32_t n);

  TFilterHost& host_;
  std::vector<std::unique_ptr<TFilter>> filters_;
  TRecordsBitmap* visible_;
  TRecordsBitmap* range_;
  TRecordsBitmap* live_;
  uint32_t visibleCount_ = 0;
  bool filtered_ = false;
  bool rebuilding_ = false;
  TEvalContext context_;
};

}  // namespace tovenmarsh::engine
