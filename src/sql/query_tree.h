// Tree helpers of SQL planning: which source tables a tree names, and small constant and AND
// nodes. Column nodes of planned trees carry their TSourceTable in SourceRef.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/expr/expr_token.h"
#include "sql/query_parts.h"

namespace tovenmarsh::sql {

// The tables a tree names (in no order, no repeats), whether it holds a sub-select, and
// whether it names table.
void TablesOf(const engine::TExpToken* tree, std::vector<TSourceTable*>& tables);
bool HoldsSubSelect(const engine::TExpToken* tree);
bool RefersTo(const engine::TExpToken* tree, const TSourceTable* table);

// "column = constant" or "column BETWEEN low AND high" over an integer column of a source
// table with constants of the column's own type: the bounds of a key range.
bool KeyBounds(const engine::TExpToken* c, const engine::TExpToken*& column, const engine::TExpToken*& low,
               const engine::TExpToken*& high);

// Constant nodes.
engine::TExpTree IntegerNode(int32_t value);
engine::TExpTree FloatNode(double value);
engine::TExpTree BooleanNode(bool value);
// An AND node over left and right (either may be empty).
engine::TExpTree AndTrees(engine::TExpTree left, engine::TExpTree right);

}  // namespace tovenmarsh::sql
