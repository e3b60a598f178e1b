// The SQL message table: texts assembled from their fragments exactly (odd blanks and case
// included), arguments filled once without re-scanning, and the 255-character cut.
#include <gtest/gtest.h>

#include <string>

#include "engine/base/engine_error.h"
#include "sql/sql_messages.h"

namespace {

using tovenmarsh::sql::RaiseSqlError;
using tovenmarsh::sql::SqlMessage;
using M = tovenmarsh::sql::TSqlMessage;

TEST(SqlMessages, TextsAreAssembledExactly) {
  struct {
    M Id;
    std::initializer_list<std::string_view> Args;
    const char* Text;
  } cases[] = {
      {M::InvalidSourceColumn, {"x", "t"},
       "Invalid column name 'x' or table correlation name 't' specified in source columns"},
      {M::AllColumnsAlias, {"n", "*"},
       "Invalid use of column correlation name 'n' for '*' specified in source columns"},
      {M::JoinMultipleTargets, {"c"},
       "Internal join error - table correlation name \"c\" is target of multiple join "
       "conditions in WHERE or JOIN clause"},
      {M::SubSelectColumns, {"WHERE or JOIN clause"},
       "More than 1 column for sub-select  specified in WHERE or JOIN clause"},
      {M::ValuesOrSelect, {"x"}, "VALUES or SELECT  keyword expected, instead found 'x'"},
      {M::OrderByMaxColumns, {"1024"},
       "Maximum number of columns (1024) in ORDER BY clause exceeded"},
      {M::MaxResultColumns, {"1024"}, "Maximum number of columns (1024) in result set exceeded"},
      {M::CommitIntervalInvalid, {"0"},
       "COMMIT INTERVAL specified (0) is invalid, it must be greater than 0"},
      {M::TypeMismatchInValues, {"d", "abc"},
       "Type mismatch between column 'd' and constant 'abc' in update values"},
      {M::TypeMismatchInsert, {"d", "abc"},
       "Type mismatch between column d and constant value abc in INSERT statement"},
      {M::AtPositionRange, {"3"}, "AT column position must be between 1 and 3"},
      {M::ColumnNotFound, {"x"}, "Column x not found"},
      {M::ColumnPositionEmpty, {}, "column position is empty"},
      {M::None, {}, ""},
      // Arguments are filled once: a "@2" inside an argument stays as it is.
      {M::InvalidSourceColumn, {"@2", "t"},
       "Invalid column name '@2' or table correlation name 't' specified in source columns"},
  };
  for (const auto& c : cases) EXPECT_EQ(SqlMessage(c.Id, c.Args), c.Text);
  EXPECT_EQ(SqlMessage(M::FromExpected, {std::string(400, 'x')}).size(), 255u);
}

TEST(SqlMessages, RaiseIsEngineError11949WithTheMessageAsText) {
  try {
    RaiseSqlError(M::FromExpected, {"WHERE"});
    FAIL() << "no error raised";
  } catch (const tovenmarsh::engine::EFenEngineError& e) {
    EXPECT_EQ(e.Code(), 11949);
    EXPECT_EQ(e.Names().ExtraText, "FROM keyword expected, instead found 'WHERE'");
    EXPECT_EQ(e.Text(), "SQL error - FROM keyword expected, instead found 'WHERE'");
  }
}

}  // namespace
