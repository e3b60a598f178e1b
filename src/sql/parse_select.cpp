// The SELECT parser (also the grammar of sub-selects and of INSERT ... SELECT): select list,
// INTO, FROM with joins, WHERE, GROUP BY, HAVING, ORDER BY and the trailing options.
// Implements the SELECT parsing calls of TDataQuery in sql/data_query.h.
#include "sql/data_query.h"

#include "engine/expr/expr_parser.h"
#include "platform/format_settings.h"
#include "sql/sql_messages.h"

namespace tovenmarsh::sql {

using engine::TExpToken;
using engine::TExpTree;
using M = TSqlMessage;

namespace {

constexpr const char* kWhereContext = "WHERE or JOIN clause";

// Join kinds as stamped on ON comparisons.
constexpr int kJoinInner = 1;
constexpr int kJoinLeft = 2;
constexpr int kJoinRight = 3;

uint8_t AggregateOf(uint8_t functionCode) {
  switch (functionCode) {
    case engine::opSum: return agSum;
    case engine::opCount: return agCount;
    case engine::opMin: return agMin;
    case engine::opMax: return agMax;
    case engine::opAvg: return agAvg;
    default: return agNone;
  }
}

// An aggregate call anywhere in the tree, function arguments and list values included.
bool HasAggregate(const TExpToken* node) {
  if (node == nullptr) return false;
  if (node->NodeClass == engine::ncFunction && AggregateOf(node->Operator) != agNone) return true;
  return HasAggregate(node->Left) || HasAggregate(node->Right) || HasAggregate(node->Third);
}

// The argument's text of an aggregate written "NAME ( argument )".
std::string ArgumentText(const std::string& text) {
  size_t open = text.find('(');
  size_t close = text.rfind(')');
  if (open == std::string::npos || close == std::string::npos || close <= open) return text;
  std::string inner = text.substr(open + 1, close - open - 1);
  size_t first = inner.find_first_not_of(' ');
  size_t last = inner.find_last_not_of(' ');
  return first == std::string::npos ? std::string() : inner.substr(first, last - first + 1);
}

}  // namespace

void TDataQuery::ParseSelect() {
  auto& p = P();
  Writable = RequestLive;
  p.NextToken();
  if (p.IsKeyword("ALL")) p.NextToken();
  if (p.IsKeyword("DISTINCT")) {
    Distinct = true;
    p.NextToken();
  }
  while (true) {
    ParseSelectColumn();
    if (!p.TokenIs(',')) break;
    p.NextToken();
  }
  if (p.IsKeyword("INTO")) {
    p.NextToken();
    bool memory = p.IsKeyword("MEMORY");
    if (memory) {
      InMemory = true;
      p.NextToken();
    }
    if (!p.TokenIs(engine::tkName) && !p.TokenIs(engine::tkString)) {
      RaiseSqlError(memory ? M::IntoMemoryTable : M::IntoTable, {p.TokenText()});
    }
    TableName = ReadTableName();
    HasInto = true;
    Writable = false;
  }
  ParseFromClause();
  if (p.IsKeyword("WHERE")) {
    p.NextToken();
    AndCondition(Condition, ParseClause(engine::pfExtended | engine::pfParameters |
                                            engine::pfSubSelects,
                                        kWhereContext));
    HasWhere = true;
  }
  if (p.IsKeyword("GROUP")) {
    p.NextToken();
    if (!p.IsKeyword("BY")) RaiseSqlError(M::GroupBy, {p.TokenText()});
    p.NextToken();
    ParseColumnItems(false);
    Grouped = true;
  }
  if (p.IsKeyword("HAVING")) {
    p.NextToken();
    Having = ParseClause(engine::pfAggregates, "HAVING clause");
    HasHaving = HavingGiven = true;
  }
  if (p.IsKeyword("ORDER")) {
    p.NextToken();
    if (!p.IsKeyword("BY")) RaiseSqlError(M::OrderBy, {p.TokenText()});
    p.NextToken();
    ParseColumnItems(true);
    HasOrderBy = true;
    if (p.IsKeyword("NOCASE")) {
      OrderNoCase = true;
      p.NextToken();
    }
  }
  if (p.IsKeyword("WITH")) {
    p.NextToken();
    if (!p.IsKeyword("LOCKS")) RaiseSqlError(M::LocksAfterWith, {p.TokenText()});
    WithLocks = true;
    p.NextToken();
  }
  if (p.IsKeyword("LANGUAGE")) {
    ParseLanguage(LanguageId, SortId, SortGiven);
    LanguageGiven = true;
  }
  if (p.IsKeyword("ENCRYPTED")) {
    p.NextToken();
    if (!p.IsKeyword("WITH")) RaiseSqlError(M::WithAfterEncrypted, {p.TokenText()});
    p.NextToken();
    Password = ReadValueText();
    Encrypted = !Password.empty();
    PasswordGiven = true;
  }
  if (p.IsKeyword("NOJOINOPTIMIZE")) {
    NoJoinOptimize = true;
    p.NextToken();
  }
  if (!IsSubSelect) ExpectEnd(M::EndOfSelect);
}

void TDataQuery::ParseSelectColumn() {
  auto& p = P();
  if (p.TokenIs(engine::tkEnd) || p.TokenIs(',') || p.TokenIs(';') || p.IsKeyword("FROM")) {
    RaiseSqlError(M::SourceColumnEmpty);
  }
  auto column = std::make_unique<TResultField>(this);
  column->Expression = ParseClause(engine::pfAggregates | engine::pfAllColumns | engine::pfExtended,
                                   "source column expression");
  std::string text = p.MarkedText();
  TExpToken* tree = column->Expression.get();
  uint8_t aggregate =
      tree->NodeClass == engine::ncFunction ? AggregateOf(tree->Operator) : uint8_t{agNone};
  if (tree->NodeClass == engine::ncColumn) {
    column->Correlation = tree->TableName;
    column->SetColumnName(tree->FieldName);
  } else if (aggregate != agNone) {
    column->Aggregate = aggregate;
    if (aggregate == agAvg) HasAverage = true;
    if (HasAggregate(tree->Left)) RaiseSqlError(M::AggregateNested);
    if (tree->Left != nullptr && tree->Left->NodeClass == engine::ncColumn) {
      column->Correlation = tree->Left->TableName;
      column->SetColumnName(tree->Left->FieldName);
      column->ResultName.clear();
      column->CountAll = aggregate == agCount && tree->Left->FieldName == "*";
    } else {
      column->Calculated = true;
      column->Text = ArgumentText(text);
      HasCalculated = true;
    }
  } else {
    if (HasAggregate(tree)) RaiseSqlError(M::AggregateInExpression);
    column->Calculated = true;
    column->Text = text;
    HasCalculated = true;
  }
  // Alias: AS name, or a following name other than INTO and FROM; "x.y" gives y.
  bool hasAs = p.IsKeyword("AS");
  if (hasAs) p.NextToken();
  if (hasAs || (TokenIsName() && !p.IsKeyword("INTO") && !p.IsKeyword("FROM"))) {
    if (!TokenIsName()) RaiseSqlError(M::SymbolAfterAs, {p.TokenText()});
    std::string alias = p.TokenText();
    p.NextToken();
    if (p.TokenIs('.')) {
      p.NextToken();
      if (!TokenIsName()) RaiseSqlError(M::SymbolAfterCorrelation, {p.TokenText()});
      alias = p.TokenText();
      p.NextToken();
    }
    column->Alias = alias;
    column->ResultName = alias;
    column->NoAlias = false;
  }
  ResultColumns.push_back(std::move(column));
}

void TDataQuery::ParseFromClause() {
  auto& p = P();
  if (!p.IsKeyword("FROM")) RaiseSqlError(M::FromExpected, {p.TokenText()});
  p.NextToken();
  while (true) {
    ParseTableReference(false, 0);
    while (true) {
      if (p.IsKeyword("FULL")) RaiseSqlError(M::FullOuterJoin);
      int kind = 0;
      if (p.IsKeyword("JOIN")) {
        kind = kJoinInner;
      } else if (p.IsKeyword("INNER")) {
        p.NextToken();
        if (!p.IsKeyword("JOIN")) RaiseSqlError(M::JoinAfterInner, {p.TokenText()});
        kind = kJoinInner;
      } else if (p.IsKeyword("LEFT") || p.IsKeyword("RIGHT")) {
        bool left = p.IsKeyword("LEFT");
        p.NextToken();
        if (p.IsKeyword("OUTER")) p.NextToken();
        if (!p.IsKeyword("JOIN")) {
          RaiseSqlError(left ? M::JoinAfterLeft : M::JoinAfterRight, {p.TokenText()});
        }
        kind = left ? kJoinLeft : kJoinRight;
      } else {
        break;
      }
      p.NextToken();  // JOIN
      TSourceTable* before = LastWrittenTable();
      ParseTableReference(true, kind);
      if (!p.IsKeyword("ON")) RaiseSqlError(M::OnExpected, {p.TokenText()});
      p.NextToken();
      TExpTree on = ParseClause(engine::pfExtended | engine::pfParameters, kWhereContext);
      MarkJoinKind(on.get(), static_cast<uint8_t>(kind));
      // An outer join's ON condition restricts only its optional table: it is kept apart
      // from WHERE when the query is planned.
      TSourceTable* optional = kind == kJoinLeft ? LastWrittenTable()
                               : kind == kJoinRight ? before : nullptr;
      if (optional != nullptr) optional->OuterOn = on.get();
      AndCondition(Condition, std::move(on));
      HasWhere = true;
      MultiTable = true;
    }
    if (!p.TokenIs(',')) break;
    MultiTable = true;
    p.NextToken();
  }
}

void TDataQuery::ParseTableReference(bool inJoin, int joinKind) {
  auto& p = P();
  bool memory = p.IsKeyword("MEMORY");
  if (memory) p.NextToken();
  if (!p.TokenIs(engine::tkName) && !p.TokenIs(engine::tkString)) {
    RaiseSqlError(inJoin ? M::TableAfterJoin : M::TableAfterFrom, {p.TokenText()});
  }
  auto table = NewSourceTable(ReadTableName(), memory);
  bool hasAs = p.IsKeyword("AS");
  if (hasAs) {
    p.NextToken();
    if (!TokenIsName()) RaiseSqlError(M::SymbolAfterAs, {p.TokenText()});
  }
  bool correlation = hasAs;
  if (!hasAs && (p.TokenIs(engine::tkName) || p.TokenIs(engine::tkString))) {
    correlation = inJoin ? !p.IsKeyword("ON")
                         : !TokenIsWord({"LEFT", "RIGHT", "INNER", "JOIN", "WHERE", "ORDER",
                                         "GROUP", "HAVING", "WITH", "ENCRYPTED"});
  }
  if (correlation) {
    table->SetCorrelationName(p.TokenText());
    table->correlationGiven_ = true;
    p.NextToken();
  }
  // The right-joined table becomes the outer table: it goes first.
  AddSourceTable(std::move(table), joinKind == kJoinRight);
}

void TDataQuery::ParseColumnItems(bool orderBy) {
  auto& p = P();
  M expected = orderBy ? M::OrderByItem : M::GroupByItem;
  while (true) {
    std::string column;
    std::string correlation;
    int32_t number = 0;
    if (p.TokenIs(engine::tkInteger)) {
      if (!platform::TryTextToInt32(p.TokenText(), number)) {
        RaiseSqlError(expected, {p.TokenText()});
      }
      p.NextToken();
    } else if (TokenIsName()) {
      column = p.TokenText();
      p.NextToken();
      if (p.TokenIs('.')) {
        p.NextToken();
        if (!TokenIsName()) RaiseSqlError(expected, {p.TokenText()});
        correlation = column;
        column = p.TokenText();
        p.NextToken();
      }
    } else {
      RaiseSqlError(expected, {p.TokenText()});
    }
    if (orderBy) {
      auto item = std::make_unique<TOrderByField>(this);
      item->ColumnName = column;
      item->Correlation = correlation;
      item->ColumnNo = number;
      if (p.IsKeyword("ASC") || p.IsKeyword("ASCENDING")) {
        p.NextToken();
      } else if (p.IsKeyword("DESC") || p.IsKeyword("DESCENDING")) {
        item->Descending = true;
        p.NextToken();
      }
      OrderBy.push_back(std::move(item));
    } else {
      auto item = std::make_unique<TGroupByField>(this);
      item->ColumnName = column;
      item->Correlation = correlation;
      item->ColumnNo = number;
      GroupBy.push_back(std::move(item));
    }
    if (!p.TokenIs(',')) break;
    p.NextToken();
  }
}

}  // namespace tovenmarsh::sql
