// Filter and SQL expression texts mapped to their exact error messages, or to a dump of the
// parsed (and, for filters, type-checked) tree.
#include <gtest/gtest.h>

#include <vector>

#include "expr_test_fixture.h"
#include "platform/format_settings.h"

namespace tovenmarsh::engine {
namespace {

using testing::ParseAndCheck;
using testing::TFixtureSource;

constexpr uint8_t kAll = pfAggregates | pfAllColumns | pfExtended | pfParameters | pfSubSelects;

struct Case {
  const char* Text;
  const char* Expected;  // "!" + message for an error, else the tree dump
  uint8_t Flags = pfFilter;
  bool Check = true;
};

const Case kCases[] = {
    // Plain comparisons, operator texts, precedence.
    {"A = 5", "(= A 5)"},
    {"A <> 1", "(< > A 1)"},
    {"A >= 1 AND A <= 2 OR NOT A < 0", "(OR (AND (> = A 1) (< = A 2)) (NOT (< A 0)))"},
    {"1+2*3-4", "(- (+ 1 (* 2 3)) 4)", pfFilter, false},
    {"-A + +F", "(+ (- A) (+ F))", pfFilter, false},
    {"Name || 'x'", "(|| Name 'x')", pfFilter, false},
    {"A = 1 B", "(= A 1)"},
    {"/* note */ Name = 'x'", "(= Name 'x')"},
    {"/* a * b */ A = 1", "(= A 1)"},
    {"/* one */ /* two */ A = 1", "!Unknown or unexpected symbol '/' found in filter expression"},
    {"/* open A = 1", "!Missing ending comment slash and asterisk in filter expression"},
    {"Name = 'x\"\"y'", "(= Name 'x\"y')"},
    {"Name = 'it''s'", "(= Name 'it''s')"},
    {"Name = 'abc", "!Missing single quote after ''abc' in filter expression"},
    {"Name = \"abc", "!Missing double quote after '\"abc' in filter expression"},
    {"[Name = 'x'", "!Missing right bracket after '[Name = 'x'' in filter expression"},
    {"[Name] = 'x'", "(= Name 'x')"},
    {"T.Name = 'x'", "(= Name 'x')"},
    {"'T'.A = 1", "(= A 1)"},
    {"T.( = 1",
     "!Symbol or string expression expected after table correlation name separator '.', instead "
     "found '(' in filter expression"},
    {"T.* = 1", "!* (all columns) symbol is not allowed in filter expression"},
    {"A = ''", "(= A NULL)"},
    {"A IS NULL", "(IS NULL A NULL)"},
    {"A IS NOT NULL", "(IS NOT NULL A NULL)"},
    {"A IS 5", "!Unknown or unexpected symbol '5' found in filter expression"},
    {"A NOT 5", "!Unknown or unexpected symbol '5' in filter expression"},
    {"NOT NOT A", "!Invalid column name 'NOT' or table correlation name '' specified in filter expression"},
    {"NOT NOT A", "(NOT NOT)", pfFilter, false},
    {"A = 1 AND", "!Unknown or unexpected symbol '' found in filter expression"},
    {"", "!Unknown or unexpected symbol '' found in filter expression"},
    {"Name | 'x'",
     "!Second concatenation symbol '|' expected after first concatentation symbol, instead found "
     "'x' in filter expression"},
    // Extended predicates.
    {"A IN (1, 2,3)", "(IN A 1 2 3)"},
    {"A IN (1.5,2)", "(IN A 1.5f 2)"},
    {"A NOT IN (1)", "(NOT IN A 1)"},
    {"A IN ()", "!You must provide at least one value as an operand of the IN operator  in filter expression"},
    {"A IN 1", "!Expected left parentheses after IN operator, instead found '1' in filter expression"},
    {"A NOT IN 1", "!Expected left parentheses for IN operator, instead found '1' in filter expression"},
    {"A IN (1 2)", "!Expected right parentheses after IN operator, instead found '2' in filter expression"},
    {"A IN (A + 1)", "!Constant expression expected after IN operator, instead found '+' in filter expression"},
    {"A IN (A)", "!Constant expression expected after IN operator, instead found 'A' in filter expression"},
    {"A IN (-1, +2)", "(IN A (- 1) (+ 2))"},
    {"A BETWEEN 1 AND 5", "(BETWEEN A 1 5)"},
    {"A NOT BETWEEN 1 AND 5 AND A = 3", "(AND (NOT BETWEEN A 1 5) (= A 3))"},
    {"A BETWEEN 1 OR 5", "!Expected AND operator in BETWEEN operator, instead found 'OR' in filter expression"},
    {"Name LIKE 'S%'", "(LIKE Name 'S%')"},
    {"Name NOT LIKE 'S%'", "(NOT LIKE Name 'S%')"},
    {"Name LIKE Name", "!Constant expression expected after LIKE operator, instead found 'Name' in filter expression"},
    {"A LIKE 'x'", "!Type mismatch between LIKE operator and expression 'A' in filter expression"},
    {"A IN (1)", "!Extended predicate operators (LIKE, BETWEEN, IN, IS NULL) are not allowed in filter expression", 0},
    {"A IN (SELECT X FROM Y)", "!Sub-select queries are not allowed in filter expression"},
    // Flags.
    {"COUNT(A) > 1", "!Aggregate functions are not allowed in filter expression"},
    {"A = ?", "!Parameters are not allowed in filter expression"},
    {"*", "!* (all columns) symbol is not allowed in filter expression"},
    {"COUNT(*)", "(COUNT *)", kAll, false},
    {"SUM(A) + ?", "(+ (SUM A) ?)", kAll, false},
    {"T.*", "T.*", kAll, false},
    {"COUNT A", "!Left parentheses expectedafter aggregate function 'COUNT', instead found 'A' in filter expression", kAll},
    {"MAX(A", "!Right parentheses expected after aggregate MAX function argument, instead found '' in filter expression", kAll},
    // Constants.
    {"Name = #65", "(= Name 'A')"},
    {"Name = #300", "!Character constants (#) must be within the range of 0 to 255 in filter expression"},
    {"Name = #", "!Character constants (#) must be within the range of 0 to 255 in filter expression"},
    {"F = 1.5.2", "!'1.5.2' is not a valid floating point value in filter expression"},
    {"A = 99999999999", "!'99999999999' is not a valid integer value in filter expression"},
    {"F = 1e3", "(= F 1000f)"},
    {"F = .5", "(= F 0.5f)"},
    {"Flag = TRUE", "(= Flag TRUE)"},
    {"Flag", "(= Flag TRUE)"},
    {"NOT Flag", "(NOT (= Flag TRUE))"},
    {"Flag AND A = 1", "(AND (= Flag TRUE) (= A 1))"},
    {"A = (1", "!Right parentheses expected, instead found '' in filter expression"},
    {"A = )", "!Unknown or unexpected symbol ')' found in filter expression"},
    {"FOO(1) = 1", "!Unknown or unexpected function 'FOO' found in filter expression"},
    // Functions.
    {"UPPER(Name) = 'X'", "(= (UPPER Name) 'X')"},
    {"UPPER Name", "!Left parentheses expectedafter UPPER keyword, instead found 'Name' in filter expression"},
    {"LOWER(Name", "!Right parentheses expected after LOWER function argument, instead found '' in filter expression"},
    {"UPPER(A) = 'X'", "!Type mismatch between UPPER function and function argument in filter expression"},
    {"SUBSTRING(Name FROM 2 FOR 3) = 'x'", "(= (SUBSTRING Name 2 3) 'x')"},
    {"SUBSTRING(Name 2) = 'x'", "!FROM keyword expected after first SUBSTRING function argument, instead found '2' in filter expression"},
    {"SUBSTRING(Name FROM 0) = 'x'", "!FROM argument of SUBSTRING function must be an integer constant greater than 0 in filter expression"},
    {"SUBSTRING(Name FROM A) = 'x'", "!FROM argument of SUBSTRING function must be an integer constant in filter expression"},
    {"SUBSTRING(Name FROM 1 FOR 0) = 'x'", "!FOR argument of SUBSTRING function must be an integer constant greater than 0 in filter expression"},
    {"SUBSTRING(Name FROM (1+1)) = 'x'", "!FROM argument of SUBSTRING function must be an integer constant in filter expression"},
    {"SUBSTRING(A FROM 1) = 'x'", "!Expression argument of SUBSTRING function must be a string or memo in filter expression"},
    {"REPLACE('a' WITH 'b' IN Name) = 'x'", "(= (REPLACE Name 'a' 'b') 'x')"},
    {"REPLACE('a' IN Name) = 'x'", "!WITH keyword expected after first REPLACE function argument, instead found 'IN' in filter expression"},
    {"REPLACE('a' WITH 'b' Name) = 'x'", "!IN keyword expected after second REPLACE function argument, instead found 'Name' in filter expression"},
    {"REPLACE(Name WITH 'b' IN Name) = 'x'", "!Search argument of REPLACE function must be a string constant in filter expression"},
    {"REPLACE('a' || 'c' WITH 'b' IN Name) = 'x'", "!Search argument of REPLACE function must be a string constant in filter expression"},
    {"POS('a' IN Name) = 1", "(= (POS Name 'a') 1)"},
    {"POS('a' IN A) = 1", "!Type mismatch between POS function and IN argument in filter expression"},
    {"OCCURS(Name IN Name) = 1", "!Search string argument of OCCURS function must be a string constant in filter expression"},
    {"TRIM(BOTH ' ' FROM Name) = 'x'", "(= (TRIM BOTH Name ' ') 'x')"},
    {"TRIM(ALL ' ' FROM Name) = 'x'", "!LEADING, TRAILING, or BOTH keyword expected after TRIM keyword, instead found 'ALL' in filter expression"},
    {"TRIM(LEADING 'ab' FROM Name) = 'x'", "!Trim character argument of TRIM function must be a single character constant in filter expression"},
    {"EXTRACT(YEAR FROM D) = 2026", "(= (EXTRACT YEAR D) 2026)"},
    {"EXTRACT(WEEK FROM D) = 1", "!YEAR, MONTH, DAY, DAYOFWEEK, HOUR, MINUTE, or SECOND keyword expected after EXTRACT keyword, instead found 'WEEK' in filter expression"},
    {"EXTRACT(DAY FROM A) = 1", "!FROM argument of EXTRACT function must be a date, time, or timestamp in filter expression"},
    {"EXTRACT(YEAR EXTRACT", "!FROM keyword expected after second EXTRACT function argument, instead found 'EXTRACT' in filter expression"},
    {"CAST(A AS CHAR(10)) = '1'", "(= (CAST:1 A 10) '1')"},
    {"CAST(A AS DECIMAL(10,2)) = 1", "(= (CAST:8 A 10 2) 1)"},
    {"CAST(A AS FOO) = 1", "!SQL data type keyword expected, instead found 'FOO' in filter expression"},
    {"CAST(A AS CHAR 5) = 1", "!Left parentheses expected after CHARACTER or CHAR data type, instead found '5' in filter expression"},
    {"CAST(A AS DECIMAL(10;2)) = 1", "!Comma expected after first DECIMAL argument, instead found ';' in filter expression"},
    {"CAST(A AS CHAR(300)) = '1'", "!Length argument must be an integer greater than 0 and less than or equal to 250 in filter expression"},
    {"CAST(A AS DECIMAL(10,5)) = 1", "!Scale argument must be an integer less than or equal to 4 for the BCD data type in filter expression"},
    {"CAST(Pic AS CHAR(5)) = 'x'", "!Type mismatch between column 'Pic' and AS argument in filter expression"},
    {"CAST(A AS BOOLEAN)", "(= (CAST:4 A) TRUE)"},
    {"CAST(A INTEGER) = 1", "!AS keyword expected after first CAST function argument, instead found 'INTEGER' in filter expression"},
    {"IF(A > 1 THEN 'p' ELSE 'q') = 'p'", "(= (IF (> A 1) 'p' 'q') 'p')"},
    // A quoted text that names a column is that column.
    {"IF(A > 1 THEN 'a' ELSE 'b') = 'a'", "!Type mismatch between second and third IF expression arguments in filter expression"},
    {"IF(A THEN 1 ELSE 2) = 1", "!First expression argument of IF function must be a boolean type in filter expression"},
    {"IF(A > 1 THEN 1 ELSE 'b') = 1", "!Type mismatch between second and third IF expression arguments in filter expression"},
    {"IF(A > 1 1 ELSE 2) = 1", "!THEN keyword expected after first IF function argument, instead found '1' in filter expression"},
    {"ABS(F) = 2", "(= (ABS F) 2)"},
    {"ABS(Name) = 2", "!Expression argument of ABS function must be an integer or floating-point type in filter expression"},
    {"ROUND(F TO 2) = 1.5", "(= (ROUND F 2) 1.5f)"},
    {"ROUND(A) = 1", "!Expression argument of ROUND function must be a floating-point type in filter expression"},
    {"ROUND(F TO 40) = 1", "!Decimal places argument of ROUND function must be an integer constant between 0 and 32 in filter expression"},
    {"ROUND(F TO A) = 1", "!Decimal places argument of ROUND function must be an integer constant in filter expression"},
    // Type checking.
    {"Nope = 1", "!Invalid column name 'Nope' or table correlation name '' specified in filter expression"},
    {"X.A = 1", "!Invalid column name 'A' or table correlation name 'X' specified in filter expression"},
    {"A = 'x'", "!Type mismatch between column 'A' and constant 'x' in filter expression"},
    {"Pic = 'x'", "!Type mismatch between column 'Pic' and constant 'x' in filter expression"},
    {"Memo = 'x'", "(= Memo 'x')"},
    {"Pic = NULL", "(= Pic NULL)"},
    {"D > NULL", "!Type mismatch between column 'D' and constant 'NULL' in filter expression"},
    {"D = '2026-12-09'", "(= D date:739959)"},
    {"D = 'soon'", "!Date, time, or timestamp expression expected, instead found 'soon' in filter expression"},
    {"Tm = '10:30'", "(= Tm time:37800000)"},
    {"-Name = 'x'", "!Type mismatch between '-' operator and 'Name' in filter expression"},
    {"'Name' = 'x'", "(= Name 'x')"},
    {"'Name' = 'A'", "(= Name 'A')"},
    {"'Name' = 'Name'", "(= Name 'Name')"},
    {"A + 1", "(+ A 1)", pfFilter, true},
    {"D - D = 1", "(= (- D D) 1)"},
    {"W - A = 1", "(= (- W A) 1)"},
};

TEST(ExpressionParserTable, TextsGiveExactMessagesOrTrees) {
  TFixtureSource source;
  for (const Case& c : kCases) {
    testing::TParsed parsed = ParseAndCheck(source, c.Text, c.Flags, c.Check);
    std::string got = parsed.ErrorCode != 0 ? "!" + parsed.Message : DumpExpressionTree(parsed.Tree.get());
    EXPECT_EQ(got, c.Expected) << "text: " << c.Text;
    if (parsed.ErrorCode != 0) {
      EXPECT_EQ(parsed.ErrorCode, 10051) << c.Text;
    }
  }
}

TEST(ExpressionParserTable, ErrorsCarryTableNameAndFilterText) {
  TExpressionParser parser;
  parser.ErrorName = "CUSTOMER";
  parser.SetExpression("A = ");
  parser.NextToken();
  try {
    parser.ParseExpression(pfFilter);
    FAIL() << "no error";
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.Code(), 10051);
    EXPECT_EQ(e.Text(),
              "Filter error for table 'CUSTOMER' - Unknown or unexpected symbol '' found in filter "
              "expression");
  }
}

TEST(ExpressionParserTable, NumbersIgnoreTheLanguageDecimalSeparator) {
  platform::TFormatSettings comma = platform::NeutralFormatSettings();
  comma.DecimalSeparator = ',';
  comma.ThousandSeparator = '.';
  platform::TThreadFormatScope scope(comma);
  TFixtureSource source;
  testing::TParsed parsed = ParseAndCheck(source, "A IN (1,2) AND F = 2.5");
  EXPECT_EQ(DumpExpressionTree(parsed.Tree.get()), "(AND (IN A 1 2) (= F 2.5f))") << parsed.Message;
}

TEST(ExpressionParserTable, DeepNestingRaisesTheFilterError) {
  TFixtureSource source;
  for (std::string text : {std::string(100000, '(') + "1", std::string(5000, '(') + "1" + std::string(5000, ')'),
                           "A = 1" + [] {
                             std::string s;
                             for (int i = 0; i < 20000; ++i) s += " OR A = 1";
                             return s;
                           }(),
                           [] {
                             std::string s = "A = 1";
                             for (int i = 0; i < 3000; ++i) s = "EXTRACT(YEAR FROM " + s;
                             return s;
                           }()}) {
    testing::TParsed parsed = ParseAndCheck(source, text, pfFilter, false);
    EXPECT_EQ(parsed.ErrorCode, 10051);
    EXPECT_EQ(parsed.Message, "Expression nested too deeply in filter expression");
  }
}

TEST(ExpressionParserTable, SyntaxErrorsReturnEveryNodeToThePool) {
  TFixtureSource source;
  // Warm the pool, then check that failing parses take nothing away for good.
  for (int i = 0; i < 3; ++i) ParseAndCheck(source, "A = 1 AND (B IN (1, 2, 3) OR C LIKE 'x%') AND D = 4", pfFilter, false);
  int32_t spares = ExpTokenStack().SpareCount();
  for (const char* text : {"A = 1 AND (B IN (1, 2, 3) OR C LIKE 'x%') AND", "A IN (1, 2, A + 1)",
                           "SUBSTRING(Name FROM 1 FOR (2+3)) = 'x'", "A BETWEEN 1 + 2 AND 3 AND ("}) {
    testing::TParsed parsed = ParseAndCheck(source, text, pfFilter, false);
    EXPECT_NE(parsed.ErrorCode, 0) << text;
    EXPECT_EQ(ExpTokenStack().SpareCount(), spares) << text;
  }
}

// A stand-in for the SQL statement: the sub-select is the single column "X" of integers 1 and 3.
class FakeSubSelect : public TSubSelectHook {
 public:
  void* CreateSubSelect(void*, TExpressionParser& parser) override {
    // Consume up to the closing parenthesis as the SQL side would.
    while (!parser.TokenIs(')') && !parser.TokenIs(tkEnd)) parser.NextToken();
    return this;
  }
  int ResultColumnCount(void*) override { return Columns; }
  bool BindSubSelectColumn(void*, TExpToken& node) override {
    node.FieldName = "X";
    node.DataType = 6;
    node.SetDataSize(4);
    return true;
  }
  int64_t FilterSubSelect(void*, TExpToken& comparison) override {
    int32_t v = comparison.Left->Get<int32_t>();
    return comparison.Left->IsNull ? 0 : (v == 1 || v == 3);
  }
  int Columns = 1;
};

TEST(ExpressionParserTable, SubSelectsGoThroughTheHook) {
  TFixtureSource source;
  FakeSubSelect hook;
  testing::TParsed parsed = ParseAndCheck(source, "A IN (SELECT X FROM Y)", kAll, true, &hook);
  ASSERT_EQ(parsed.ErrorCode, 0) << parsed.Message;
  EXPECT_EQ(DumpExpressionTree(parsed.Tree.get()), "(IN A SUBSELECT)");
  TEvalContext context;
  context.Reader = MakeFieldReader(source);
  context.SubSelectHook = &hook;
  TExpTree prepared = PrepareExpressionTree(parsed.Tree.get(), context, false, false);
  for (int a : {1, 2, 3}) {
    testing::TRow row = testing::NullRow(source);
    row[1] = testing::TValue::Int(a);
    EXPECT_EQ(ExpressionResultTrue(*EvaluateExpression(prepared.get(), &row, context)), a != 2);
  }
  hook.Columns = 2;
  parsed = ParseAndCheck(source, "A NOT IN (SELECT X, Y FROM Y)", kAll, true, &hook);
  EXPECT_EQ(parsed.Message, "More than 1 column for sub-select  specified in filter expression");
}

TEST(ExpressionParserTable, DataTypesForSql) {
  struct TypeCase {
    const char* Text;
    uint8_t Type, SubType;
    const char* Dump;
  };
  const TypeCase cases[] = {
      {"SMALLINT", 5, 0, "CAST:5"},
      {"AUTOINC", 6, 29, "CAST:6"},
      {"MONEY", 7, 21, "CAST:7"},
      {"DECIMAL(10,2)", 8, 0, "(CAST:8 10 2)"},
      {"DECIMAL(10)", 8, 0, "(CAST:8 10)"},
      {"NUMERIC", 7, 0, "CAST:7"},
      {"VARCHAR(20)", 1, 0, "(CAST:1 20)"},
      {"BYTES", 9, 0, "CAST:9"},
      {"BLOB(1,2)", 3, 0, "(CAST:3 1 2)"},
      {"TIMESTAMP", 11, 0, "CAST:11"},
  };
  for (const TypeCase& c : cases) {
    TExpressionParser parser;
    parser.Context = "CREATE TABLE";
    parser.SetExpression(c.Text);
    parser.NextToken();
    TExpTree node = NewExpTree();
    node->Text = "x";
    node->NodeClass = ncFunction;
    node->Operator = opCast;
    parser.ParseDataType(*node, false);
    EXPECT_EQ(node->DataType, c.Type) << c.Text;
    EXPECT_EQ(node->SubType, c.SubType) << c.Text;
    EXPECT_EQ(DumpExpressionTree(node.get()), c.Dump) << c.Text;
    EXPECT_TRUE(parser.TokenIs(tkEnd)) << c.Text;
  }
  TExpressionParser parser;
  parser.SetExpression("STRANGE");
  parser.NextToken();
  TExpTree node = NewExpTree();
  parser.ParseDataType(*node, true);
  EXPECT_TRUE(parser.IsKeyword("STRANGE"));
}

}  // namespace
}  // namespace tovenmarsh::engine

namespace tovenmarsh::engine {
namespace {

TEST(ExpressionTokenizer, TokensTextsAndMarks) {
  TExpressionParser parser;
  parser.SetExpression("SELECT  A,\r\n [B c] 'x''y' \"q\"\"r\" #7 12 3.5e+2 .5 1+2 |");
  struct Expected {
    int Kind;
    const char* Text;
  };
  const Expected tokens[] = {
      {tkName, "SELECT"}, {tkName, "A"},         {',', ","},   {tkBracketName, "B c"},
      {tkString, "x'y"},  {tkString, "q\"r"},    {tkCharacter, "#7"}, {tkInteger, "12"},
      {tkFloat, "3.5e+2"}, {tkFloat, ".5"},      {tkInteger, "1"}, {'+', "+"},
      {tkInteger, "2"},   {'|', "|"},            {tkEnd, ""},
  };
  parser.NextToken();
  parser.NextToken();
  parser.MarkStart();
  for (size_t i = 1; i < std::size(tokens); ++i) {
    if (i == 4) {
      EXPECT_EQ(parser.MarkedText(), "A, [B c]");
    }
    EXPECT_EQ(parser.TokenKind(), tokens[i].Kind) << i;
    EXPECT_EQ(parser.TokenText(), tokens[i].Text) << i;
    parser.NextToken();
  }
  EXPECT_TRUE(parser.TokenIs(tkEnd));
  EXPECT_EQ(parser.NextToken(), tkEnd);
  parser.SetExpression("abc");
  parser.NextToken();
  EXPECT_TRUE(parser.IsKeyword("ABC"));
  EXPECT_EQ(parser.TokenOffset(), 0u);
}

}  // namespace
}  // namespace tovenmarsh::engine

namespace tovenmarsh::engine {
namespace {

// Parses "SELECT X WHERE <expression>" through the same parser, as the SQL side does.
class RecursiveSubSelect : public TSubSelectHook {
 public:
  void* CreateSubSelect(void*, TExpressionParser& parser) override {
    parser.NextToken();  // SELECT
    parser.NextToken();  // X
    if (parser.IsKeyword("WHERE")) {
      parser.NextToken();
      trees_.push_back(parser.ParseExpression(pfExtended | pfSubSelects));
    }
    return this;
  }
  int ResultColumnCount(void*) override { return 1; }
  bool BindSubSelectColumn(void*, TExpToken&) override { return false; }
  int64_t FilterSubSelect(void*, TExpToken&) override { return 0; }

 private:
  std::vector<TExpTree> trees_;
};

TEST(ExpressionParserTable, NestedSubSelectsAreBoundedToo) {
  TFixtureSource source;
  RecursiveSubSelect hook;
  std::string shallow = "A IN (SELECT X WHERE B IN (SELECT X WHERE C = 1))";
  EXPECT_EQ(ParseAndCheck(source, shallow, pfExtended | pfSubSelects, false, &hook).ErrorCode, 0);
  std::string deep = "A = 1";
  for (int i = 0; i < 5000; ++i) deep = "A IN (SELECT X WHERE " + deep + ")";
  testing::TParsed parsed = ParseAndCheck(source, deep, pfExtended | pfSubSelects, false, &hook);
  EXPECT_EQ(parsed.Message, "Expression nested too deeply in filter expression");
}

}  // namespace
}  // namespace tovenmarsh::engine
