// The SQL error texts, exact as callers and users see them (double blanks included).
#include "sql/sql_messages.h"

#include <array>
#include <utility>

#include "engine/base/engine_error.h"

namespace tovenmarsh::sql {
namespace {

using M = TSqlMessage;

constexpr std::pair<M, const char*> kTexts[] = {
    {M::None, ""},
    {M::StatementKeyword,
     "SELECT, INSERT, UPDATE, DELETE, CREATE, ALTER, or DROP keyword expected, instead found '@1'"},
    {M::CreateWhat, "TABLE or INDEX keyword expected, instead found '@1'"},
    {M::AlterWhat, "TABLE keyword expected, instead found '@1'"},
    {M::DropWhat, "TABLE or INDEX keyword expected, instead found '@1'"},
    {M::EndOfSelect, "End of SELECT statement expected, instead found '@1'"},
    {M::EndOfInsert, "End of INSERT statement expected, instead found '@1'"},
    {M::EndOfUpdate, "End of UPDATE statement expected, instead found '@1'"},
    {M::EndOfDelete, "End of DELETE statement expected, instead found '@1'"},
    {M::EndOfCreateTable, "End of CREATE TABLE statement expected, instead found '@1'"},
    {M::EndOfCreateIndex, "End of CREATE INDEX statement expected, instead found '@1'"},
    {M::EndOfAlterTable, "End of ALTER TABLE statement expected, instead found '@1'"},
    {M::EndOfDropTable, "End of DROP TABLE statement expected, instead found '@1'"},
    {M::EndOfDropIndex, "End of DROP INDEX statement expected, instead found '@1'"},
    {M::SymbolAfterAs, "Symbol or string expected after AS keyword, instead found '@1'"},
    {M::SymbolAfterCorrelation,
     "Symbol or string expected after table correlation name, instead found '@1'"},
    {M::IntoMemoryTable, "Result table name expected in INTO MEMORY clause, instead found '@1'"},
    {M::IntoTable, "Result table name expected in INTO clause, instead found '@1'"},
    {M::FromExpected, "FROM keyword expected, instead found '@1'"},
    {M::TableAfterFrom, "Table name expected after FROM keyword, instead found '@1'"},
    {M::FullOuterJoin, "Full outer joins are currently not supported in Fen SQL SELECT statements"},
    {M::JoinAfterInner, "JOIN keyword expected after INNER keyword, instead found '@1'"},
    {M::JoinAfterLeft, "JOIN keyword expected after LEFT or OUTER keyword, instead found '@1'"},
    {M::JoinAfterRight, "JOIN keyword expected after RIGHT or OUTER keyword, instead found '@1'"},
    {M::TableAfterJoin, "Table name expected after JOIN keyword, instead found '@1'"},
    {M::OnExpected, "ON keyword expected in JOIN clause, instead found '@1'"},
    {M::GroupByItem,
     "Column name or column number expected in GROUP BY clause, instead found '@1'"},
    {M::GroupBy, "BY keyword expected after GROUP keyword, instead found '@1'"},
    {M::OrderBy, "BY keyword expected after ORDER keyword, instead found '@1'"},
    {M::OrderByItem,
     "Column name or column number expected in ORDER BY clause, instead found '@1'"},
    {M::LocksAfterWith, "LOCKS keyword expected after WITH keyword, instead found '@1'"},
    {M::InvalidLanguage, "Invalid language constant '@1' specified after LANGUAGE keyword"},
    {M::InvalidSort, "Invalid sort constant '@1' specified after SORT keyword"},
    {M::WithAfterEncrypted, "WITH keyword expected after ENCRYPTED keyword, instead found '@1'"},
    {M::SourceColumnEmpty, "Source column expression is empty"},
    {M::AggregateNested, "Aggregate functions cannot be nested"},
    {M::AggregateInExpression, "Aggregate functions cannot be used within expressions"},
    {M::DuplicateCorrelation, "Duplicate table correlation name '@1' found in source tables"},
    {M::InvalidSourceColumn,
     "Invalid column name '@1' or table correlation name '@2' specified in source columns"},
    {M::AllColumnsAlias,
     "Invalid use of column correlation name '@1' for '@2' specified in source columns"},
    {M::MaxResultColumns, "Maximum number of columns (@1) in result set exceeded"},
    {M::AggregateWithoutGroupBy,
     "Invalid use of aggregate function(s), the necessary GROUP BY clause is missing"},
    {M::ColumnTooLarge, "Column expression '@1' exceeds the maximum allowable field size"},
    {M::HavingWithoutGroupBy, "A GROUP BY clause must exist in order to use the HAVING clause"},
    {M::HavingNotBoolean, "HAVING clause must be a boolean expression"},
    {M::HavingNotFound, "Expression in HAVING clause not found in source columns"},
    {M::OrderByColumnNumber, "Invalid column number '@1' specified in ORDER BY clause"},
    {M::OrderByColumnName,
     "Invalid column name '@1' or table correlation name '@2' specified in ORDER BY clause"},
    {M::OrderByMaxColumns, "Maximum number of columns (@1) in ORDER BY clause exceeded"},
    {M::GroupByColumnNumber, "Invalid column number '@1' specified in GROUP BY clause"},
    {M::GroupByColumnName,
     "Invalid column name '@1' or table correlation name '@2' specified in GROUP BY clause"},
    {M::GroupByMaxColumns, "Maximum number of columns (@1) in GROUP BY clause exceeded"},
    {M::GroupByBlob, "Invalid BLOB column '@1' specified in GROUP BY clause"},
    {M::DistinctMaxColumns, "Maximum number of columns (@1) in DISTINCT clause exceeded"},
    {M::DistinctBlob, "Invalid BLOB column '@1' specified in DISTINCT clause"},
    {M::JoinMultipleTables,
     "The join condition cannot contain multiple table correlation names in either the left or "
     "right operand in WHERE or JOIN clause"},
    {M::JoinInternalCorrelation,
     "Internal join error attempting to validate table correlation names involved in join"},
    {M::JoinMultipleTargets,
     "Internal join error - table correlation name \"@1\" is target of multiple join conditions "
     "in WHERE or JOIN clause"},
    {M::WhereNotBoolean, "WHERE or JOIN clause must be a boolean expression"},
    {M::TableFilterInternal, "Internal table filter error"},
    {M::WhereCorrelationUndefined,
     "Table correlation name '@1' referenced in WHERE clause is not defined in the FROM clause"},
    {M::JoinOptimizationInternal, "Internal join optimization error"},
    {M::SubSelectColumns, "More than 1 column for sub-select  specified in @1"},
    {M::SumOverflow, "Sum of column '@1' exceeds the range of its result type"},
    {M::IntoExpected, "INTO keyword expected, instead found '@1'"},
    {M::TableAfterIntoClause, "Table name expected after INTO clause, instead found '@1'"},
    {M::TableAfterIntoKeyword, "Table name expected after INTO keyword, instead found '@1'"},
    {M::ColumnListRightParen,
     "Right parentheses expected after list of table columns, instead found '@1'"},
    {M::ValuesLeftParen, "Left parentheses expected after VALUES keyword, instead found '@1'"},
    {M::ValuesRightParen, "Right parentheses expected after list of values, instead found '@1'"},
    {M::ValuesOrSelect, "VALUES or SELECT  keyword expected, instead found '@1'"},
    {M::TableExpected, "Table name expected, instead found '@1'"},
    {M::SetExpected, "SET keyword expected, instead found '@1'"},
    {M::AssignmentExpected,
     "Assignment (=) operator expected after column name, instead found '@1'"},
    {M::TableColumnEmpty, "Table column name is empty"},
    {M::ValueExpressionEmpty, "Value expression is empty"},
    {M::CommitIntervalEmpty, "Commit interval is empty"},
    {M::CommitIntervalInvalid,
     "COMMIT INTERVAL specified (@1) is invalid, it must be greater than 0"},
    {M::IntervalAfterCommit, "INTERVAL keyword expected after COMMIT keyword, instead found '@1'"},
    {M::InvalidTargetColumn,
     "Invalid column name '@1' or table correlation name '@2' specified in table columns"},
    {M::ValueCountMismatch, "The number of values must match the number of table columns"},
    {M::DateTimeExpectedInValues,
     "Date, time, or timestamp expression expected, instead found '@1' in update values"},
    {M::TypeMismatchInValues,
     "Type mismatch between column '@1' and constant '@2' in update values"},
    {M::TypeMismatchInsert,
     "Type mismatch between column @1 and constant value @2 in INSERT statement"},
    {M::TypeMismatchUpdate,
     "Type mismatch between column @1 and constant value @2 in UPDATE statement"},
    {M::NullAfterNot, "NULL keyword expected after NOT keyword, instead found '@1'"},
    {M::CharCaseKeyword,
     "UPPER, LOWER, or NOCHANGE keyword expected after CHARCASE keyword, instead found '@1'"},
    {M::IndexColumnEmpty, "Index column name is empty"},
    {M::PrimaryExpected, "PRIMARY keyword expected, instead found '@1'"},
    {M::KeyAfterPrimary, "KEY keyword expected after PRIMARY keyword, instead found '@1'"},
    {M::LeftParenAfterKey, "Left parentheses expected after KEY keyword, instead found '@1'"},
    {M::RightParenAfterPrimaryKey,
     "Right parentheses expected after primary key clause, instead found '@1'"},
    {M::CompressKeyword,
     "FULL, DUPBYTE, TRAILBYTE, or NONE keyword expected after COMPRESS keyword, "
     "instead found '@1'"},
    {M::BlockAfterBlob, "BLOCK keyword expected after BLOB keyword, instead found '@1'"},
    {M::SizeAfterBlock, "SIZE keyword expected after BLOCK keyword, instead found '@1'"},
    {M::MajorAfterUser, "MAJOR keyword expected after USER keyword, instead found '@1'"},
    {M::VersionAfterMajor, "VERSION keyword expected after MAJOR keyword, instead found '@1'"},
    {M::MinorAfterUser, "MINOR keyword expected after USER keyword, instead found '@1'"},
    {M::VersionAfterMinor, "VERSION keyword expected after MINOR keyword, instead found '@1'"},
    {M::BlobBlockSizeEmpty, "BLOB block size is empty"},
    {M::UserVersionEmpty, "User version number is empty"},
    {M::TableAfterCreateTable,
     "Table name expected after CREATE TABLE keywords, instead found '@1'"},
    {M::ColumnListLeftParen,
     "Left parentheses expected before list of table columns, instead found '@1'"},
    {M::CreateTableRightParen,
     "Right parentheses expected after CREATE TABLE statement, instead found '@1'"},
    {M::IndexExpected, "INDEX keyword expected, instead found '@1'"},
    {M::IndexNameAfterIndex, "Index name expected after INDEX keyword, instead found '@1'"},
    {M::OnAfterIndexName, "ON keyword expected after index name, instead found '@1'"},
    {M::TableAfterOn, "Table name expected after ON keyword, instead found '@1'"},
    {M::TableAfterAlterTable, "Table name expected after ALTER TABLE keywords, instead found '@1'"},
    {M::ColumnPositionEmpty, "column position is empty"},
    {M::NextAutoIncEmpty, "Next auto-increment number is empty"},
    {M::AutoIncAfterLast, "AUTOINC keyword expected after LAST keyword, instead found '@1'"},
    {M::TableAfterTable, "Table name expected after TABLE keyword, instead found '@1'"},
    {M::TableAfterIndex, "Table name expected after INDEX keyword, instead found '@1'"},
    {M::IndexNameExpressionEmpty, "Index name expression is empty"},
    {M::AtPositionRange, "AT column position must be between 1 and @1"},
    {M::ColumnNotFound, "Column @1 not found"},
    {M::PrimaryKeyAdd, "Cannot REDEFINE the primary key using the ADD keyword"},
};

constexpr size_t kMessageCount = static_cast<size_t>(M::PrimaryKeyAdd) + 1;
static_assert(std::size(kTexts) == kMessageCount, "one text per message");

constexpr bool TableInOrder() {
  for (size_t i = 0; i < std::size(kTexts); ++i) {
    if (static_cast<size_t>(kTexts[i].first) != i) return false;
  }
  return true;
}
static_assert(TableInOrder(), "texts listed in message order");

constexpr size_t kMaxMessageLength = 255;

}  // namespace

std::string_view SqlMessageTemplate(TSqlMessage id) {
  auto index = static_cast<size_t>(id);
  return index < kMessageCount ? kTexts[index].second : "";
}

std::string SqlMessage(TSqlMessage id, std::initializer_list<std::string_view> args) {
  std::string_view text = SqlMessageTemplate(id);
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '@' && i + 1 < text.size() && text[i + 1] >= '1' && text[i + 1] <= '3') {
      size_t n = static_cast<size_t>(text[i + 1] - '1');
      if (n < args.size()) out += *(args.begin() + n);
      ++i;
    } else {
      out += text[i];
    }
  }
  if (out.size() > kMaxMessageLength) out.resize(kMaxMessageLength);
  return out;
}

void RaiseSqlError(TSqlMessage id, std::initializer_list<std::string_view> args) {
  engine::RaiseEngineError(engine::kErrSql, {}, {}, SqlMessage(id, args));
}

}  // namespace tovenmarsh::sql
