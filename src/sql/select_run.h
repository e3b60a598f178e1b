// The conditions one execution of a SELECT planned: per-row tests, the walk order of the
// tables and the links made for it.
#pragma once

#include <vector>

#include "engine/expr/expr_token.h"

namespace tovenmarsh::sql {

class TSourceTable;
class TTableJoin;

// The conditions of one execution: per-row tests and what was pushed to tables.
class TSelectRun {
 public:
  // Conjuncts tested on every joined row (prepared for evaluation).
  std::vector<engine::TExpTree> Residual;
  // The tables in walk order.
  std::vector<TSourceTable*> Order;
  // Links owned by their source tables, listed for dropping.
  std::vector<TTableJoin*> Links;
  // True when every condition became a filter of the single table (COUNT(*) may read counts).
  bool AllPushed = true;
};

}  // namespace tovenmarsh::sql
