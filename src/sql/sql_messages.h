// The one table of SQL error texts. Every SQL failure is engine error 11949 whose extra text is
// one of these messages; "@1".."@3" stand for the arguments (the offending token, a name, a
// number). A syntax message is a fragment + token + "'", so its template ends in "'@1'".
//
// Contract: RaiseSqlError fills the template in one pass (argument texts are never re-scanned),
// cuts the result to 255 characters and raises engine error 11949 with it as the extra text.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

namespace tovenmarsh::sql {

enum class TSqlMessage {
  None,  // an empty message (a parameter index beyond the collected ones)
  // Statement kinds and ends.
  StatementKeyword,
  CreateWhat,
  AlterWhat,
  DropWhat,
  EndOfSelect,
  EndOfInsert,
  EndOfUpdate,
  EndOfDelete,
  EndOfCreateTable,
  EndOfCreateIndex,
  EndOfAlterTable,
  EndOfDropTable,
  EndOfDropIndex,
  // SELECT.
  SymbolAfterAs,
  SymbolAfterCorrelation,
  IntoMemoryTable,
  IntoTable,
  FromExpected,
  TableAfterFrom,
  FullOuterJoin,
  JoinAfterInner,
  JoinAfterLeft,
  JoinAfterRight,
  TableAfterJoin,
  OnExpected,
  GroupByItem,
  GroupBy,
  OrderBy,
  OrderByItem,
  LocksAfterWith,
  InvalidLanguage,
  InvalidSort,
  WithAfterEncrypted,
  SourceColumnEmpty,
  AggregateNested,
  AggregateInExpression,
  DuplicateCorrelation,
  // Column resolution, planning and result tables (used when statements are prepared).
  InvalidSourceColumn,
  AllColumnsAlias,
  MaxResultColumns,
  AggregateWithoutGroupBy,
  ColumnTooLarge,
  HavingWithoutGroupBy,
  HavingNotBoolean,
  HavingNotFound,
  OrderByColumnNumber,
  OrderByColumnName,
  OrderByMaxColumns,
  GroupByColumnNumber,
  GroupByColumnName,
  GroupByMaxColumns,
  GroupByBlob,
  DistinctMaxColumns,
  DistinctBlob,
  JoinMultipleTables,
  JoinInternalCorrelation,
  JoinMultipleTargets,
  WhereNotBoolean,
  TableFilterInternal,
  WhereCorrelationUndefined,
  JoinOptimizationInternal,
  SubSelectColumns,
  SumOverflow,
  // INSERT, UPDATE, DELETE.
  IntoExpected,
  TableAfterIntoClause,
  TableAfterIntoKeyword,
  ColumnListRightParen,
  ValuesLeftParen,
  ValuesRightParen,
  ValuesOrSelect,
  TableExpected,
  SetExpected,
  AssignmentExpected,
  TableColumnEmpty,
  ValueExpressionEmpty,
  CommitIntervalEmpty,
  CommitIntervalInvalid,
  IntervalAfterCommit,
  InvalidTargetColumn,
  ValueCountMismatch,
  DateTimeExpectedInValues,
  TypeMismatchInValues,
  TypeMismatchInsert,
  TypeMismatchUpdate,
  // Data definition.
  NullAfterNot,
  CharCaseKeyword,
  IndexColumnEmpty,
  PrimaryExpected,
  KeyAfterPrimary,
  LeftParenAfterKey,
  RightParenAfterPrimaryKey,
  CompressKeyword,
  BlockAfterBlob,
  SizeAfterBlock,
  MajorAfterUser,
  VersionAfterMajor,
  MinorAfterUser,
  VersionAfterMinor,
  BlobBlockSizeEmpty,
  UserVersionEmpty,
  TableAfterCreateTable,
  ColumnListLeftParen,
  CreateTableRightParen,
  IndexExpected,
  IndexNameAfterIndex,
  OnAfterIndexName,
  TableAfterOn,
  TableAfterAlterTable,
  ColumnPositionEmpty,
  NextAutoIncEmpty,
  AutoIncAfterLast,
  TableAfterTable,
  TableAfterIndex,
  IndexNameExpressionEmpty,
  AtPositionRange,
  ColumnNotFound,
  PrimaryKeyAdd,
};

// The template of a message.
std::string_view SqlMessageTemplate(TSqlMessage id);
// The filled message, at most 255 characters.
std::string SqlMessage(TSqlMessage id, std::initializer_list<std::string_view> args = {});
// Raises engine error 11949 with the filled message.
[[noreturn]] void RaiseSqlError(TSqlMessage id, std::initializer_list<std::string_view> args = {});

}  // namespace tovenmarsh::sql
