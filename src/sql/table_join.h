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
  // Set when planned: the target may be read through a key range instead of a filter (it is
  // walked in physical order, has no filters of its own and no BLOB is copied from it).
  bool MayRange = false;
  // The aimed condition bounds an index of the target: its rows are read from a key range,
  // tested against Rest and kept in record order (what the filtered walk would give).
  bool Ranged = false;
  engine::TExpTree Rest;

  // Re-aims the filter (or the key range) at the current rows of the tables before the target.
  void AimFilter(const engine::TEvalContext& context);
  void DropFilter();

 private:
  bool AimRange(const engine::TExpToken* folded, const engine::TEvalContext& context);
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
  // The rows of a ranged link's target for the current outer rows, in record order.
  void CollectRange(size_t depth);

  std::vector<TSourceTable*> tables_;
  const engine::TEvalContext& context_;
  bool started_ = false;
  struct TRangeRow {
    uint32_t Number;
    size_t At;  // offset of the record in Bytes
  };
  struct TRangeRows {
    std::vector<TRangeRow> Rows;
    std::vector<uint8_t> Bytes;
    size_t Next = 0;
  };
  std::vector<TRangeRows> ranges_;  // per depth
};

}  // namespace tovenmarsh::sql
