// TTableJoin: a link that restricts a later table of a join to the rows matching the current
// rows of the tables before it, by an engine filter re-aimed for every row; and TJoinWalk, the
// nested-loop walk over the joined rows.
//
// Contract: a link's conditions are type-checked trees whose columns carry their tables; when
// aimed, every part that does not name the target is evaluated against the current rows and
// put in as a constant of its own type (so a comparison keeps the wider type), and the result
// is installed as the target cursor's filter. A left link yields one row with the target's
// columns null when nothing matches.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/expr/expr_eval.h"
#include "engine/expr/expr_token.h"
#include "sql/query_parts.h"

namespace tovenmarsh::sql {

enum TJoinKind : uint8_t { jkCross = 0, jkInner = 1, jkLeft = 2 };

class TTableJoin {
 public:
  TTableJoin(TSourceTable* source, TSourceTable* target, uint8_t kind);
  ~TTableJoin();
  TTableJoin(const TTableJoin&) = delete;
  TTableJoin& operator=(const TTableJoin&) = delete;

  TSourceTable* Source;
  TSourceTable* Target;
  uint8_t Kind;
  std::vector<engine::TExpTree> Conditions;  // joined by AND
  engine::TFilter* Filter = nullptr;         // on Target's cursor
  bool Blocked = false;                      // the aimed condition is false for every row

  // Re-aims the filter at the current rows of the tables before the target.
  void AimFilter(const engine::TEvalContext& context);
  void DropFilter();
};

// A copy of tree in which every part that does not name target is replaced by its value now
// (AND, OR and NOT over such values simplified). Sub-selects are kept.
engine::TExpTree JoinFilterCondition(const engine::TExpToken* tree, const TSourceTable* target,
                                     const engine::TEvalContext& context);

// Combinations of one current record per table, in the tables' order; each table's incoming
// link (if any) names only tables before it.
class TJoinWalk {
 public:
  TJoinWalk(std::vector<TSourceTable*> tables, const engine::TEvalContext& context);
  // The next combination; false at the end.
  bool Next();

 private:
  void Start(size_t depth);
  bool Advance(size_t depth);

  std::vector<TSourceTable*> tables_;
  const engine::TEvalContext& context_;
  bool started_ = false;
};

}  // namespace tovenmarsh::sql
