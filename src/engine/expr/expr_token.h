// Expression trees: TExpToken, the pooled node every filter, locate condition and SQL clause is
// built of, with the node-class and operator codes shared by the engine, the record-set layer
// and SQL, and the tree operations (release, copy, compare).
//
// Contract: nodes come from one process-wide pool (NewExpToken) and go back to it
// (ReleaseExpToken / FreeExpressionTree); a node taken from the pool is cleared, with its value
// buffer zero-filled and its capacity kept. A node is owned by exactly one tree or caller;
// TExpTree is the owning handle that releases a whole (partly built) tree on scope exit, so an
// exception never strands nodes. Trees are not locked: one thread drives one tree.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "engine/base/engine_heap.h"
#include "engine/base/object_pool.h"

namespace tovenmarsh::engine {

// Node classes.
enum TExpNodeClass : uint8_t {
  ncNone = 0,
  ncUnary = 1,
  ncBinary = 2,
  ncOption = 3,     // string = / <> with PartialLength and CaseInsensitive
  ncColumn = 4,     // also the all-columns symbol "*"
  ncConstant = 5,   // NULL constants have IsNull; parameters IsParameter
  ncSubSelect = 6,
  ncFunction = 10,  // functions and aggregates
  ncPredicate = 12, // LIKE, IN, BETWEEN and their NOT forms
};

// Operator and function codes.
enum TExpOperator : uint8_t {
  opNone = 0,
  opIsNull = 1,
  opIsNotNull = 2,
  opEqual = 3,
  opNotEqual = 4,
  opGreater = 5,
  opLess = 6,
  opGreaterEqual = 7,
  opLessEqual = 8,
  opNot = 9,
  opAnd = 10,
  opOr = 11,
  opNegate = 15,
  opPositive = 16,
  opAdd = 17,
  opSubtract = 18,
  opMultiply = 19,
  opDivide = 20,
  opSum = 23,
  opCount = 24,
  opMin = 25,
  opMax = 26,
  opAvg = 27,
  opLike = 31,
  opIn = 32,
  opInSelect = 33,
  opUpper = 35,
  opLower = 36,
  opBetween = 40,
  opNotBetween = 41,
  opNotLike = 42,
  opNotIn = 43,
  opNotInSelect = 44,
  opSubstring = 45,
  opReplace = 46,
  opPos = 47,
  opOccurs = 48,
  opTrimLeading = 49,
  opTrimTrailing = 50,
  opTrimBoth = 51,
  opCast = 52,
  opExtractYear = 53,
  opExtractMonth = 54,
  opExtractDay = 55,
  opExtractDayOfWeek = 56,
  opExtractHour = 57,
  opExtractMinute = 58,
  opExtractSecond = 59,
  opIf = 60,
  opAbs = 61,
  opRound = 62,
};

// Optimisation levels written by the filter optimiser.
inline constexpr uint8_t kOptFull = 0;
inline constexpr uint8_t kOptPartial = 1;
inline constexpr uint8_t kOptNone = 2;

// Value buffers grow in steps of this many bytes; a new node asks for 251.
inline constexpr int32_t kExpTokenBufferStep = 255;
inline constexpr int32_t kExpTokenInitialBuffer = 251;

// One node of an expression tree. Plain data with a value buffer on the engine heap.
class TExpToken : public TEngineObject {
 public:
  TExpToken();
  ~TExpToken();
  TExpToken(const TExpToken&) = delete;
  TExpToken& operator=(const TExpToken&) = delete;

  int32_t Capacity = 0;
  std::string Text;
  uint8_t NodeClass = 0;
  uint8_t Operator = 0;
  uint8_t OptLevel = kOptNone;
  uint8_t Reserved = 0;
  std::string FieldName;
  int16_t FieldNo = 0;
  std::string TableName;
  void* SourceRef = nullptr;
  void* SubQuery = nullptr;
  uint8_t* Data = nullptr;
  bool IsNull = false;
  bool IsParameter = false;
  int32_t PartialLength = 0;
  bool CaseInsensitive = false;
  uint8_t DataType = 0;
  uint8_t SubType = 0;
  int32_t DataSize = 0;
  uint8_t Scale = 0;
  bool WasString = false;
  uint8_t SavedType = 0;
  uint8_t SavedSubType = 0;
  int32_t SavedSize = 0;
  uint8_t SavedScale = 0;
  TExpToken* Parent = nullptr;
  TExpToken* Left = nullptr;
  TExpToken* Right = nullptr;
  TExpToken* Third = nullptr;

  // Sets DataSize; the buffer grows (in 255-byte steps, contents kept) to hold n bytes plus a
  // terminator, so a string of DataSize - 1 characters always ends in a zero.
  void SetDataSize(int32_t n);
  // Copies every field, the value (Capacity bytes) and the links; children are shared.
  void Assign(const TExpToken& other);
  // The pool's clearing: everything zero/empty, OptLevel 2, buffer zero-filled, capacity kept.
  void Reset();

  // Typed access to the value buffer (the buffer always holds at least 8 bytes).
  template <class T>
  T Get() const {
    T v;
    std::memcpy(&v, Data, sizeof v);
    return v;
  }
  template <class T>
  void Put(T v) {
    std::memcpy(Data, &v, sizeof v);
  }
  // The string value: up to the first zero, never past DataSize.
  std::string_view StringValue() const;
  // Stores a string value: DataSize = length + 1, zero-terminated, rest of buffer untouched.
  void SetStringValue(std::string_view s);
  // Zero-fills the whole buffer.
  void ClearValue();
};

// The process-wide node pool.
using TExpTokenStack = TObjectPool<TExpToken>;
TExpTokenStack& ExpTokenStack();

// A cleared node from the pool (or a new one).
TExpToken* NewExpToken();
// Back to the pool; nil does nothing; the reference becomes nil.
void ReleaseExpToken(TExpToken*& node);
// Releases a whole tree depth-first (Left, Right, Third, node); sub-select objects stay.
void FreeExpressionTree(TExpToken*& root);
// A copy of the tree from pool nodes (nil gives nil). Strong: on failure nothing is stranded.
TExpToken* CopyExpressionTree(const TExpToken* root);
bool SameExpressionTree(const TExpToken* a, const TExpToken* b);
bool SameExpToken(const TExpToken& a, const TExpToken& b);
// "SUM" 23, "AVG" 27, "MIN" 25, "MAX" 26, "COUNT" 24 (any case); else 0.
uint8_t AggregateCode(std::string_view name);
// An UPPER function node whose argument is a column reference.
bool IsUpperOfColumn(const TExpToken* node);

// Owning handle of a tree: releases it (depth-first, to the pool) when it goes out of scope.
struct TExpTreeRelease {
  void operator()(TExpToken* node) const {
    FreeExpressionTree(node);
  }
};
using TExpTree = std::unique_ptr<TExpToken, TExpTreeRelease>;

inline TExpTree NewExpTree() { return TExpTree(NewExpToken()); }

// A one-line readable form of a tree for tests and diagnostics, e.g.
// (AND (= A 5) (LIKE Name 'x%')). Constants show their type: 5, 1.5f, 'text', NULL, TRUE, ?.
std::string DumpExpressionTree(const TExpToken* root);

}  // namespace tovenmarsh::engine
