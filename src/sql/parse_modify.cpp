// The INSERT, UPDATE and DELETE parsers: target table, target columns, values, WHERE and the
// trailing NOAUTOINC and COMMIT INTERVAL options.
// Implements the INSERT, UPDATE and DELETE parsing calls of TDataQuery in sql/data_query.h.
#include "sql/data_query.h"

#include "engine/expr/expr_parser.h"
#include "sql/sql_messages.h"

namespace tovenmarsh::sql {

using engine::TExpTree;
using M = TSqlMessage;

namespace {
constexpr const char* kTableColumnContext = "table column";
}  // namespace

void TDataQuery::ParseValue() {
  auto& p = P();
  if (p.TokenIs(engine::tkEnd) || p.TokenIs(',') || p.TokenIs(')') || p.TokenIs(';')) {
    RaiseSqlError(M::ValueExpressionEmpty);
  }
  auto value = std::make_unique<TUpdateValue>(this);
  value->Expression = ParseClause(engine::pfParameters, "value expression");
  value->Text = p.MarkedText();
  UpdateValues.push_back(std::move(value));
}

void TDataQuery::ParseInsert() {
  auto& p = P();
  Writable = true;
  p.NextToken();
  if (!p.IsKeyword("INTO")) RaiseSqlError(M::IntoExpected, {p.TokenText()});
  p.NextToken();
  bool memory = p.IsKeyword("MEMORY");
  if (memory) p.NextToken();
  if (!p.TokenIs(engine::tkName) && !p.TokenIs(engine::tkString)) {
    RaiseSqlError(memory ? M::TableAfterIntoKeyword : M::TableAfterIntoClause, {p.TokenText()});
  }
  auto table = NewSourceTable(ReadTableName(), memory);
  if ((p.TokenIs(engine::tkName) || p.TokenIs(engine::tkString)) && !p.IsKeyword("VALUES") &&
      !p.IsKeyword("SELECT")) {
    table->SetCorrelationName(p.TokenText());
    table->correlationGiven_ = true;
    p.NextToken();
  }
  TSourceTable* target = table.get();
  AddSourceTable(std::move(table), false);
  if (p.TokenIs('(')) {
    p.NextToken();
    while (true) {
      auto field = std::make_unique<TUpdateField>(this);
      field->SourceTable = target;
      std::string name;
      field->Expression = ParseColumnReference(kTableColumnContext,
                                               M::TableColumnEmpty, name);
      field->ColumnName = name;
      field->Correlation = field->Expression->TableName;
      UpdateFields.push_back(std::move(field));
      if (!p.TokenIs(',')) break;
      p.NextToken();
    }
    if (!p.TokenIs(')')) RaiseSqlError(M::ColumnListRightParen, {p.TokenText()});
    p.NextToken();
  } else {
    // Every column of the table, in field order, once the table is known.
    auto field = std::make_unique<TUpdateField>(this);
    field->SourceTable = target;
    field->ColumnName = "*";
    UpdateFields.push_back(std::move(field));
  }
  if (p.IsKeyword("VALUES")) {
    p.NextToken();
    if (!p.TokenIs('(')) RaiseSqlError(M::ValuesLeftParen, {p.TokenText()});
    p.NextToken();
    while (true) {
      ParseValue();
      if (!p.TokenIs(',')) break;
      p.NextToken();
    }
    if (!p.TokenIs(')')) RaiseSqlError(M::ValuesRightParen, {p.TokenText()});
    p.NextToken();
  } else if (p.IsKeyword("SELECT")) {
    auto query = std::make_unique<TDataQuery>(Statement);
    TDataQuery* select = query.get();
    Statement->AddQuery(std::move(query));
    select->RequestLive = true;
    InsertSelect = true;
    InsertQuery = select;
    select->Parse(true);
  } else {
    RaiseSqlError(M::ValuesOrSelect, {p.TokenText()});
  }
  if (p.IsKeyword("NOAUTOINC")) {
    NoAutoInc = true;
    p.NextToken();
  }
  ParseCommitInterval();
  ExpectEnd(M::EndOfInsert);
}

void TDataQuery::ParseUpdate() {
  auto& p = P();
  Writable = true;
  p.NextToken();
  bool memory = p.IsKeyword("MEMORY");
  if (memory) p.NextToken();
  if (!p.TokenIs(engine::tkName) && !p.TokenIs(engine::tkString)) {
    RaiseSqlError(M::TableExpected, {p.TokenText()});
  }
  auto table = NewSourceTable(ReadTableName(), memory);
  bool hasAs = p.IsKeyword("AS");
  if (hasAs) {
    p.NextToken();
    if (!TokenIsName()) RaiseSqlError(M::SymbolAfterAs, {p.TokenText()});
  }
  if (hasAs ||
      ((p.TokenIs(engine::tkName) || p.TokenIs(engine::tkString)) && !p.IsKeyword("SET"))) {
    table->SetCorrelationName(p.TokenText());
    table->correlationGiven_ = true;
    p.NextToken();
  }
  TSourceTable* target = table.get();
  AddSourceTable(std::move(table), false);
  if (!p.IsKeyword("SET")) RaiseSqlError(M::SetExpected, {p.TokenText()});
  p.NextToken();
  while (true) {
    auto field = std::make_unique<TUpdateField>(this);
    field->SourceTable = target;
    std::string name;
    field->Expression = ParseColumnReference(kTableColumnContext,
                                             M::TableColumnEmpty, name);
    field->ColumnName = name;
    field->Correlation = field->Expression->TableName;
    UpdateFields.push_back(std::move(field));
    if (!p.TokenIs('=')) RaiseSqlError(M::AssignmentExpected, {p.TokenText()});
    p.NextToken();
    ParseValue();
    if (!p.TokenIs(',')) break;
    p.NextToken();
  }
  if (p.IsKeyword("WHERE")) {
    p.NextToken();
    AndCondition(Condition, ParseClause(engine::pfExtended | engine::pfParameters |
                                            engine::pfSubSelects,
                                        "WHERE or JOIN clause"));
    HasWhere = true;
  }
  if (p.IsKeyword("NOAUTOINC")) {
    NoAutoInc = true;
    p.NextToken();
  }
  ParseCommitInterval();
  ExpectEnd(M::EndOfUpdate);
}

void TDataQuery::ParseDelete() {
  auto& p = P();
  Writable = true;
  p.NextToken();
  if (!p.IsKeyword("FROM")) RaiseSqlError(M::FromExpected, {p.TokenText()});
  p.NextToken();
  bool memory = p.IsKeyword("MEMORY");
  if (memory) p.NextToken();
  if (!p.TokenIs(engine::tkName) && !p.TokenIs(engine::tkString)) {
    RaiseSqlError(M::TableExpected, {p.TokenText()});
  }
  auto table = NewSourceTable(ReadTableName(), memory);
  bool hasAs = p.IsKeyword("AS");
  if (hasAs) {
    p.NextToken();
    if (!TokenIsName()) RaiseSqlError(M::SymbolAfterAs, {p.TokenText()});
  }
  if (hasAs || ((p.TokenIs(engine::tkName) || p.TokenIs(engine::tkString)) &&
                !p.IsKeyword("WHERE") && !p.IsKeyword("NOJOINOPTIMIZE"))) {
    table->SetCorrelationName(p.TokenText());
    table->correlationGiven_ = true;
    p.NextToken();
  }
  AddSourceTable(std::move(table), false);
  if (p.IsKeyword("WHERE")) {
    p.NextToken();
    AndCondition(Condition, ParseClause(engine::pfExtended | engine::pfParameters |
                                            engine::pfSubSelects,
                                        "WHERE or JOIN clause"));
    HasWhere = true;
  }
  ParseCommitInterval();
  ExpectEnd(M::EndOfDelete);
}

}  // namespace tovenmarsh::sql
