// Preparation and evaluation of type-checked expression trees.
//
// Preparation copies a tree once: constants meeting a column take the column's type when they
// are exactly representable in it (a constant that is not, like 2.7 against an integer column,
// keeps its own type so that it matches nothing instead of a truncated value), and string
// equality with a trailing "*" and LIKE patterns of the form 'prefix%' become prefix (option)
// comparisons. Evaluation walks a prepared tree against one record and returns a result node.
//
// Contract: every node comes from and returns to the node pool; evaluation never raises for a
// value (division by zero, a failed CAST, an integer ABS or float-to-integer out of range give
// NULL; integer arithmetic wraps as two's complement). NULL rules: "=" is true for two NULLs,
// "<>" for exactly one; ordered comparisons, BETWEEN and LIKE are false when a side is NULL
// (their NOT forms true). A record that cannot be read sets ReadFailed in the context.
#pragma once

#include <cstdint>

#include "engine/expr/expr_parser.h"
#include "engine/expr/expr_source.h"
#include "engine/expr/expr_token.h"

namespace tovenmarsh::engine {

struct TEvalContext {
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  TFieldReader Reader;
  TSubSelectHook* SubSelectHook = nullptr;
  // Set when the reader could not read a field of the record.
  mutable bool ReadFailed = false;
};

TExpTree PrepareExpressionTree(const TExpToken* tree, const TEvalContext& context,
                               bool noPartial, bool caseInsensitive);
// The constant expression evaluated without a record and, when exactly representable, converted
// to target's type.
TExpTree EvaluateAs(const TExpToken& target, const TExpToken* constantTree,
                    const TEvalContext& context);
TExpTree EvaluateExpression(const TExpToken* tree, const void* record,
                            const TEvalContext& context);
// A boolean result's truth (NULL is false).
bool ExpressionResultTrue(const TExpToken& result);
// Removes "=" / "<>" comparisons with a NULL constant, looking only through AND (a comparison
// under OR or NOT changes the result when removed, so it stays). True when node itself went.
bool PruneExpressionTree(TExpToken*& node);

// Calendar of date values: day 1 is 1 January of year 1 (proleptic Gregorian).
void DayToCivil(int32_t day, int& year, int& month, int& dayOfMonth);
int32_t CivilToDay(int year, int month, int dayOfMonth);

}  // namespace tovenmarsh::engine
