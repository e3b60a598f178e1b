// Type checking of expression trees: resolves columns, turns date and time texts into values,
// checks every operator and function against the type rules and sets each node's result type,
// subtype, size and scale, so that evaluation meets only allowed combinations. Also sizes nodes
// typed by an SQL data type, and answers structural questions about trees.
//
// Contract: the tree is checked in place; the first fault raises the engine error with the
// caller's code and name and a message ending in the caller's context phrase; the tree is then
// left partly annotated and still owned by the caller. A boolean column (or boolean CAST or IF)
// standing alone in a boolean context is rewritten into "= TRUE".
#pragma once

#include <cstdint>
#include <string>

#include "engine/base/engine_error.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/expr_source.h"
#include "engine/expr/expr_token.h"

namespace tovenmarsh::engine {

struct TTypeCheckSettings {
  uint16_t ErrorCode = kErrFilterError;
  std::string ErrorName;
  std::string Context = "filter expression";
  TColumnResolver Resolver;
  TSubSelectHook* SubSelectHook = nullptr;
};

void CheckExpressionTypes(const TTypeCheckSettings& settings, bool booleanContext,
                          TExpToken* parent, TExpToken* node);
void SizeExpressionResult(const TTypeCheckSettings& settings, TExpToken& node);

bool HasTopLevelOr(const TExpToken* tree);
bool IsNegatedExpression(const TExpToken* node);
bool ReferencesColumns(const TExpToken* tree);
bool ContainsAggregate(const TExpToken* tree);

}  // namespace tovenmarsh::engine
