// Node pool, type rules, conversion, preparation and evaluation of expressions over a small
// in-memory table, including the NULL, coercion, CAST, SUBSTRING, REPLACE and overflow rules.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>

#include "engine/expr/expr_convert.h"
#include "engine/expr/expr_types.h"
#include "expr_test_fixture.h"

namespace tovenmarsh::engine {
namespace {

using testing::NullRow;
using testing::TFilterRunner;
using testing::TFixtureSource;
using testing::TRow;
using testing::TValue;

TEST(ExpressionTokens, PoolReusesClearedNodesWithTheirCapacity) {
  TExpToken* none = nullptr;
  ReleaseExpToken(none);
  EXPECT_EQ(none, nullptr);

  TExpToken* big = NewExpToken();
  big->SetDataSize(600);
  EXPECT_GE(big->Capacity, 601);
  EXPECT_EQ(big->Capacity % kExpTokenBufferStep, 0);
  std::memset(big->Data, 0x5A, 600);
  big->Text = "stale";
  big->OptLevel = 0;
  int32_t capacity = big->Capacity;
  TExpToken* keep = big;
  ReleaseExpToken(big);
  EXPECT_EQ(big, nullptr);
  TExpToken* again = NewExpToken();
  ASSERT_EQ(again, keep);
  EXPECT_EQ(again->Capacity, capacity);
  for (int i = 0; i < capacity; ++i) ASSERT_EQ(again->Data[i], 0) << i;
  EXPECT_TRUE(again->Text.empty());
  EXPECT_EQ(again->OptLevel, kOptNone);
  ReleaseExpToken(again);
}

TEST(ExpressionTokens, SameTreeComparesValuesOnlyUpToTheirSize) {
  TExpTree a = NewExpTree(), b = NewExpTree();
  for (TExpToken* n : {a.get(), b.get()}) {
    n->NodeClass = ncConstant;
    n->IsNull = true;
  }
  a->Data[5] = 1;  // beyond DataSize 0: not compared
  EXPECT_TRUE(SameExpressionTree(a.get(), b.get()));
  b->IsNull = false;
  EXPECT_FALSE(SameExpressionTree(a.get(), b.get()));

  TExpTree c = NewExpTree(), d = NewExpTree();
  c->NodeClass = d->NodeClass = ncColumn;
  c->FieldName = "Name";
  d->FieldName = "NAME";
  EXPECT_TRUE(SameExpressionTree(c.get(), d.get()));
  c->Left = NewExpToken();
  EXPECT_FALSE(SameExpressionTree(c.get(), d.get()));
  TExpTree copy(CopyExpressionTree(c.get()));
  EXPECT_TRUE(SameExpressionTree(copy.get(), c.get()));
  EXPECT_NE(copy->Left, c->Left);
  EXPECT_TRUE(IsUpperOfColumn(nullptr) == false);
  EXPECT_EQ(AggregateCode("avg"), opAvg);
  EXPECT_EQ(AggregateCode("median"), 0);
}

TEST(ExpressionTypeRules, TablesAnswerTheDocumentedCombinations) {
  EXPECT_TRUE(OperatorTypesCompatible(opEqual, 2, 0, 0, kNullType));
  EXPECT_FALSE(OperatorTypesCompatible(opGreater, 2, 0, 0, kNullType));
  EXPECT_TRUE(OperatorTypesCompatible(opEqual, 3, 22, 0, 1));
  EXPECT_TRUE(OperatorTypesCompatible(opEqual, 1, 0, 22, 3));
  EXPECT_FALSE(OperatorTypesCompatible(opEqual, 3, 26, 0, 1));
  EXPECT_TRUE(OperatorTypesCompatible(opEqual, 3, 26, 0, kNullType));
  EXPECT_FALSE(OperatorTypesCompatible(opEqual, kNullType, 0, 0, 6));
  EXPECT_FALSE(OperatorTypesCompatible(opAdd, 9, 0, 0, 9));
  EXPECT_EQ(BinaryResultType(opSubtract, 2, 2), 6);
  EXPECT_EQ(BinaryResultType(opSubtract, 11, 11), 7);
  EXPECT_EQ(BinaryResultType(opSubtract, 10, 10), 6);
  EXPECT_EQ(BinaryResultType(opSubtract, 12, 6), 12);
  EXPECT_EQ(BinaryResultType(opSubtract, 6, 12), 6);
  EXPECT_EQ(BinaryResultType(opDivide, 6, 6), 7);
  EXPECT_EQ(BinaryResultType(opDivide, 6, 8), 8);
  EXPECT_EQ(BinaryResultType(opAdd, 1, 3), 3);
  EXPECT_EQ(BinaryResultSubType(opAdd, 1, 0, 22, 3), 22);
  EXPECT_EQ(BinaryResultSubType(opMultiply, 6, 0, 21, 7), 21);
  EXPECT_EQ(BinaryResultSubType(opDivide, 7, 21, 0, 6), 21);
  EXPECT_EQ(BinaryResultSubType(opSubtract, 6, 0, 21, 7), 0);
  EXPECT_FALSE(CastAllowed(1, 3));
  EXPECT_TRUE(CastAllowed(2, 11));
  EXPECT_TRUE(CastAllowed(4, 8));
  EXPECT_FALSE(CastAllowed(4, 7));
  EXPECT_FALSE(UnaryTypeAllowed(opNegate, 12));
  EXPECT_TRUE(UnaryTypeAllowed(opPositive, 12));
  EXPECT_EQ(UnaryResultType(opNot, 4), 4);
  EXPECT_EQ(UnaryResultSubType(opNegate, 21), 21);
  EXPECT_EQ(NormalizeBoolean(-7), 1);
}

TEST(ExpressionConvert, ValuesConvertOrFailCleanly) {
  uint8_t buffer[kConvertBufferSize] = {};
  int32_t v = 70000;
  std::memcpy(buffer, &v, 4);
  EXPECT_FALSE(ConvertFieldValue(6, 4, 0, buffer, 0, 2, 5));  // never the low 16 bits
  int16_t small = 1;
  std::memcpy(&small, buffer, 2);
  EXPECT_EQ(small, 0);

  double f = 3e10;
  std::memcpy(buffer, &f, 8);
  EXPECT_FALSE(ConvertFieldValue(7, 8, 0, buffer, 0, 4, 6));  // out of range: no garbage value
  int32_t zero = 1;
  std::memcpy(&zero, buffer, 4);
  EXPECT_EQ(zero, 0);

  f = -2.9;
  std::memcpy(buffer, &f, 8);
  ASSERT_TRUE(ConvertFieldValue(7, 8, 0, buffer, 0, 4, 6));
  std::memcpy(&v, buffer, 4);
  EXPECT_EQ(v, -2);

  std::strcpy(reinterpret_cast<char*>(buffer), "12.345");
  ASSERT_TRUE(ConvertFieldValue(1, 7, 0, buffer, 2, 8, 8));
  int64_t c = 0;
  std::memcpy(&c, buffer, 8);
  EXPECT_EQ(c, 123500);  // rounded half away from zero to 2 decimals

  std::strcpy(reinterpret_cast<char*>(buffer), "abc");
  EXPECT_FALSE(ConvertFieldValue(1, 4, 0, buffer, 0, 4, 6));
  EXPECT_FALSE(ConvertFieldValue(6, 4, 0, buffer, 0, 2, 4));  // integer has no boolean rule

  std::strcpy(reinterpret_cast<char*>(buffer), "2026-12-09");
  ASSERT_TRUE(ConvertFieldValue(1, 11, 0, buffer, 0, 4, 2));
  std::memcpy(&v, buffer, 4);
  EXPECT_EQ(v, 739959);  // Python: date(2026, 12, 9).toordinal()
  ASSERT_TRUE(ConvertFieldValue(2, 4, 0, buffer, 0, 11, 1));
  EXPECT_STREQ(reinterpret_cast<char*>(buffer), "2026-12-09");

  uint8_t stamp[8] = {};
  EXPECT_TRUE(TextToDateTimeValue("2026-12-09 10:30:00", 11, stamp));
  double ms = 0;
  std::memcpy(&ms, stamp, 8);
  EXPECT_EQ(ms, 739959.0 * 86400000.0 + 37800000.0);
  EXPECT_FALSE(TextToDateTimeValue("never", 10, stamp));
  EXPECT_TRUE(TextToDateTimeValue("whatever", 6, stamp));
  EXPECT_TRUE(IsValidFieldText("now", 11));
  EXPECT_FALSE(IsValidFieldText("now", 2));
  EXPECT_FALSE(IsValidFieldText("70000", 5));
  EXPECT_TRUE(IsValidFieldText("", 5));
}

// A row builder over the fixture's fields.
class Rows {
 public:
  explicit Rows(TFixtureSource& source) : source_(source), row_(NullRow(source)) {}
  Rows& Set(const char* field, TValue v) {
    row_[static_cast<size_t>(source_.FieldNumber(field) - 1)] = std::move(v);
    return *this;
  }
  const TRow& Row() const { return row_; }

 private:
  TFixtureSource& source_;
  TRow row_;
};

struct EvalCase {
  const char* Filter;
  std::vector<std::pair<const char*, TValue>> Values;
  bool Expected;
};

TEST(ExpressionEvaluation, FiltersOverRows) {
  constexpr int32_t kSunday = 739956;  // 6 December 2026
  const EvalCase cases[] = {
      // NULL rules.
      {"A = NULL", {}, true},
      {"A IS NULL", {{"A", TValue::Int(0)}}, false},
      {"A <> 5", {}, true},
      {"A <> NULL", {{"A", TValue::Int(0)}}, true},
      {"NOT (A = 1)", {}, true},
      // Ordered comparisons and BETWEEN with NULL are false whatever the stored value is.
      {"A > 0", {}, false},
      {"A < -3", {}, false},
      {"A <= 0", {}, false},
      {"A BETWEEN -5 AND 5", {}, false},
      {"A BETWEEN NULL AND 5", {{"A", TValue::Int(1)}}, false},
      {"A NOT BETWEEN -5 AND 5", {}, true},
      {"A BETWEEN 1 AND 5", {{"A", TValue::Int(5)}}, true},
      {"A BETWEEN 1 AND 5", {{"A", TValue::Int(6)}}, false},
      // Constants that the column's type cannot hold match nothing (no truncation).
      {"A = 2.7", {{"A", TValue::Int(2)}}, false},
      {"A = 2.7", {{"A", TValue::Int(3)}}, false},
      {"A < 2.7", {{"A", TValue::Int(2)}}, true},
      {"A = 2.0", {{"A", TValue::Int(2)}}, true},
      {"S = 70000", {{"S", TValue::Int(4464)}}, false},
      {"S < 70000", {{"S", TValue::Int(32767)}}, true},
      {"W = -1", {{"W", TValue::Int(65535)}}, false},
      {"B = 1.234", {{"B", TValue::Int(12300)}}, false},
      {"B = 1.23", {{"B", TValue::Int(12300)}}, true},
      {"A IN (2.5, 3)", {{"A", TValue::Int(2)}}, false},
      {"A IN (2.5, 3)", {{"A", TValue::Int(3)}}, true},
      // CAST to boolean: non-zero is TRUE; a failed CAST is NULL.
      {"CAST(A AS BOOLEAN)", {{"A", TValue::Int(2)}}, true},
      {"CAST(A AS BOOLEAN)", {{"A", TValue::Int(0)}}, false},
      {"CAST(B AS BOOLEAN)", {{"B", TValue::Int(5000)}}, true},
      {"CAST(Name AS INTEGER) IS NULL", {{"Name", TValue::Str("abc")}}, true},
      {"CAST(Name AS INTEGER) = 12", {{"Name", TValue::Str("12")}}, true},
      {"CAST(F AS INTEGER) IS NULL", {{"F", TValue::Flt(1e10)}}, true},
      {"CAST(F AS SMALLINT) = -2", {{"F", TValue::Flt(-2.9)}}, true},
      {"CAST(A AS SMALLINT) IS NULL", {{"A", TValue::Int(70000)}}, true},
      {"CAST(A AS SMALLINT) = -32768", {{"A", TValue::Int(-32768)}}, true},
      {"CAST(A AS WORD) IS NULL", {{"A", TValue::Int(-1)}}, true},
      {"CAST(S AS WORD) = 32767", {{"S", TValue::Int(32767)}}, true},
      {"CAST(A AS CHAR(3)) = '123'", {{"A", TValue::Int(12345)}}, true},
      // SUBSTRING is sized from its value; past the end it is NULL.
      {"SUBSTRING(Name FROM 30) IS NULL", {{"Name", TValue::Str("abc")}}, true},
      {"SUBSTRING(Name FROM 4) IS NULL", {{"Name", TValue::Str("abc")}}, true},
      {"SUBSTRING(Name FROM 2 FOR 1) = 'x'", {{"Name", TValue::Str("axc")}}, true},
      {"SUBSTRING(Name FROM 2) = 'bc'", {{"Name", TValue::Str("abc")}}, true},
      {"SUBSTRING(Memo FROM 3 FOR 2) = 'mo'", {{"Memo", TValue::Str("memo text")}}, true},
      // An empty search text ('' is NULL) replaces and counts nothing.
      {"REPLACE('' WITH 'x' IN Name) = 'abc'", {{"Name", TValue::Str("abc")}}, true},
      {"OCCURS('' IN Name) = 0", {{"Name", TValue::Str("abc")}}, true},
      {"POS('' IN Name) = 0", {{"Name", TValue::Str("abc")}}, true},
      {"REPLACE('b' WITH '' IN Name) = 'ac'", {{"Name", TValue::Str("abcb")}}, true},
      {"REPLACE('b' WITH '' IN Name) = 'ac'", {{"Name", TValue::Str("abxb")}}, false},
      {"REPLACE('b' WITH '' IN Name) = 'ac'", {{"Name", TValue::Str("abc")}}, true},
      {"REPLACE('abc' WITH '' IN Name) IS NULL", {{"Name", TValue::Str("abc")}}, true},
      {"OCCURS('aa' IN Name) = 2", {{"Name", TValue::Str("aaaaa")}}, true},
      {"TRIM(BOTH 'x' FROM Name) IS NULL", {{"Name", TValue::Str("xxx")}}, true},
      {"TRIM(LEADING 'x' FROM Name) = 'ax'", {{"Name", TValue::Str("xxax")}}, true},
      // UPPER compares the constant as written.
      {"UPPER(Name) = 'smith'", {{"Name", TValue::Str("Smith")}}, false},
      {"UPPER(Name) = 'SMITH'", {{"Name", TValue::Str("Smith")}}, true},
      {"LOWER(Name) || '!' = 'smith!'", {{"Name", TValue::Str("Smith")}}, true},
      // Integer arithmetic wraps; ABS and float-to-integer out of range are NULL or wrap.
      {"A + A = -2", {{"A", TValue::Int(INT32_MAX)}}, true},
      {"A * 2 = 0", {{"A", TValue::Int(INT32_MIN)}}, true},
      {"-A < 0", {{"A", TValue::Int(INT32_MIN)}}, true},
      {"ABS(A) < 0", {{"A", TValue::Int(INT32_MIN)}}, true},
      {"ABS(F) IS NULL", {{"F", TValue::Flt(1e20)}}, true},
      {"ABS(F) = 2", {{"F", TValue::Flt(-2.7)}}, true},
      {"ABS(B) = 3", {{"B", TValue::Int(-39999)}}, true},
      {"W - 1 = 65535", {{"W", TValue::Int(0)}}, true},
      // BCD products use 128-bit intermediates; out of range gives NULL.
      {"B * B = 9000003000000.25", {{"B", TValue::Int(30000005000)}}, true},
      {"B * B IS NULL", {{"B", TValue::Int(900000000000000)}}, true},
      {"B / 3 = 3.33", {{"B", TValue::Int(100000)}}, true},
      {"B / 3 = 6.67", {{"B", TValue::Int(200000)}}, true},
      // Division by zero is NULL for every numeric type.
      {"A / 0 IS NULL", {{"A", TValue::Int(1)}}, true},
      {"F / 0 IS NULL", {{"F", TValue::Flt(1)}}, true},
      {"B / 0 IS NULL", {{"B", TValue::Int(10000)}}, true},
      {"S / 0 IS NULL", {{"S", TValue::Int(1)}}, true},
      {"W / 0.0 IS NULL", {{"W", TValue::Int(1)}}, true},
      // Dates and times.
      {"EXTRACT(YEAR FROM Tm) = 0", {{"Tm", TValue::Int(37800000)}}, true},
      {"EXTRACT(HOUR FROM Tm) = 10", {{"Tm", TValue::Int(37800000)}}, true},
      {"EXTRACT(DAYOFWEEK FROM D) = 1", {{"D", TValue::Int(kSunday)}}, true},
      {"EXTRACT(MONTH FROM (D + 30)) = 1", {{"D", TValue::Int(kSunday)}}, true},
      {"D = '2026-12-06'", {{"D", TValue::Int(kSunday)}}, true},
      {"D - D = 0", {{"D", TValue::Int(kSunday)}}, true},
      {"D BETWEEN '2026-12-01' AND '2026-12-06'", {{"D", TValue::Int(kSunday)}}, true},
      {"D NOT IN ('2026-12-05', '2026-12-07')", {{"D", TValue::Int(kSunday)}}, true},
      {"Ts >= '2026-12-06 00:00:01'", {{"Ts", TValue::Flt(kSunday * 86400000.0 + 999)}}, false},
      {"Ts >= '2026-12-06 00:00:01'", {{"Ts", TValue::Flt(kSunday * 86400000.0 + 1000)}}, true},
      {"Tm BETWEEN '10:00' AND '11:00'", {{"Tm", TValue::Int(37800000)}}, true},
      {"Ts - D = 1", {{"D", TValue::Int(kSunday)}, {"Ts", TValue::Flt((kSunday + 1) * 86400000.0 + 5)}}, true},
      {"Ts > D", {{"D", TValue::Int(kSunday)}, {"Ts", TValue::Flt(kSunday * 86400000.0 + 5)}}, true},
      {"Ts = D", {{"D", TValue::Int(kSunday)}, {"Ts", TValue::Flt(kSunday * 86400000.0)}}, true},
      {"EXTRACT(SECOND FROM (Ts + 1)) = 7", {{"Ts", TValue::Flt(kSunday * 86400000.0 + 7999)}}, true},
      // Functions, IF and booleans.
      {"ROUND(F TO 2) = 2.35", {{"F", TValue::Flt(2.345)}}, true},
      {"ROUND(F TO 2) = 2.68", {{"F", TValue::Flt(2.675)}}, false},  // 2.675 is 2.67499... in binary
      {"ROUND(F TO 2) = 2.38", {{"F", TValue::Flt(2.375)}}, true},
      {"ROUND(B TO 1) = 2.4", {{"B", TValue::Int(23500)}}, true},
      {"IF(A > 1 THEN Name ELSE 'small') = 'small'", {{"A", TValue::Int(1)}}, true},
      {"Flag", {{"Flag", TValue::Int(1)}}, true},
      {"NOT Flag", {{"Flag", TValue::Int(0)}}, true},
      {"Flag", {}, false},
      {"Memo = 'text'", {{"Memo", TValue::Str("text")}}, true},
      {"Name || Memo = 'ab'", {{"Name", TValue::Str("a")}, {"Memo", TValue::Str("b")}}, true},
      {"Name LIKE '%mi%'", {{"Name", TValue::Str("Smith")}}, true},
      {"Name LIKE 'Sm_th'", {{"Name", TValue::Str("Smith")}}, true},
      {"Name LIKE 'Sm%'", {{"Name", TValue::Str("Smith")}}, true},
      {"Name LIKE 'sm%'", {{"Name", TValue::Str("Smith")}}, false},
      {"Name NOT LIKE 'Sm%'", {}, true},
      {"Name NOT LIKE '%x%'", {}, true},
      {"Name LIKE '%'", {}, false},
      {"Name = 'Sm*'", {{"Name", TValue::Str("Smith")}}, true},
      {"Name = 'Sm*'", {{"Name", TValue::Str("Sa")}}, false},
      {"Name <> 'Sm*'", {{"Name", TValue::Str("Smith")}}, false},
      {"Name = '*'", {{"Name", TValue::Str("Smith")}}, false},
      {"Name = '*'", {{"Name", TValue::Str("*")}}, true},
      {"M * 2 = 5", {{"M", TValue::Flt(2.5)}}, true},
  };
  TFixtureSource source;
  for (const EvalCase& c : cases) {
    TFilterRunner runner(source, c.Filter);
    ASSERT_EQ(runner.Error, "") << c.Filter;
    Rows rows(source);
    for (const auto& [field, value] : c.Values) rows.Set(field, value);
    EXPECT_EQ(runner.Accepts(rows.Row()), c.Expected) << c.Filter;
  }
}

TEST(ExpressionEvaluation, PartialAndCaseOptions) {
  TFixtureSource source;
  Rows smith(source), sm(source);
  smith.Set("Name", TValue::Str("Smith"));
  sm.Set("Name", TValue::Str("Sm*"));
  TFilterRunner literal(source, "Name = 'Sm*'", /*noPartial=*/true);
  EXPECT_FALSE(literal.Accepts(smith.Row()));
  EXPECT_TRUE(literal.Accepts(sm.Row()));
  TFilterRunner caseless(source, "Name = 'SMITH'", false, /*caseInsensitive=*/true);
  EXPECT_TRUE(caseless.Accepts(smith.Row()));
  EXPECT_EQ(DumpExpressionTree(caseless.Prepared.get()), "(=[0i] Name 'SMITH')");
  TFilterRunner prefix(source, "Name LIKE 'Sm%'");
  EXPECT_EQ(DumpExpressionTree(prefix.Prepared.get()), "(LIKE[2] Name 'Sm')");
  TFilterRunner pattern(source, "Name LIKE '%mi%'");
  EXPECT_EQ(DumpExpressionTree(pattern.Prepared.get()), "(LIKE Name '%mi%')");
  TFilterRunner star(source, "Name = '*'");
  EXPECT_EQ(DumpExpressionTree(star.Prepared.get()), "(=[0] Name '*')");
  TFilterRunner kept(source, "A = 2.7 AND S = 3");
  EXPECT_EQ(DumpExpressionTree(kept.Prepared.get()), "(AND (= A 2.7000000000000002f) (= S 3))");
  EXPECT_EQ(kept.Prepared->Right->Right->DataType, 5);  // 3 became a small integer
}

TEST(ExpressionEvaluation, ResultSizesComeFromTheResultType) {
  TFixtureSource source;
  testing::TParsed parsed = testing::ParseAndCheck(source, "(Name = 'x') AND (A + S > F)");
  ASSERT_EQ(parsed.ErrorCode, 0) << parsed.Message;
  const TExpToken* equal = parsed.Tree->Left;
  EXPECT_EQ(equal->DataSize, 2);
  const TExpToken* sum = parsed.Tree->Right->Left;
  EXPECT_EQ(sum->DataType, 6);
  EXPECT_EQ(sum->DataSize, 4);
  testing::TParsed concat = testing::ParseAndCheck(source, "Name || 'abc' = 'x'");
  EXPECT_EQ(concat.Tree->Left->DataSize, 21 + 4 - 1);
  testing::TParsed bcd = testing::ParseAndCheck(source, "B * 2 > 1");
  EXPECT_EQ(bcd.Tree->Left->Scale, 2);
}

TEST(ExpressionEvaluation, ShortCircuitsReadOnlyWhatDecides) {
  TFixtureSource source;
  Rows rows(source);
  rows.Set("A", TValue::Int(1)).Set("Name", TValue::Str("y"));
  TFilterRunner andFilter(source, "A = 1 AND Name = 'x'");
  source.Reads = 0;
  EXPECT_FALSE(andFilter.Accepts(rows.Row()));
  EXPECT_EQ(source.Reads, 1);  // the right side decided alone
  TFilterRunner ifFilter(source, "IF(TRUE THEN 1 ELSE A * 0) = 1");
  ASSERT_EQ(ifFilter.Error, "");
  source.Reads = 0;
  EXPECT_TRUE(ifFilter.Accepts(rows.Row()));
  EXPECT_EQ(source.Reads, 0);
}

TEST(ExpressionEvaluation, PruningLooksOnlyThroughAnd) {
  TFixtureSource source;
  struct PruneCase {
    const char* Filter;
    const char* After;
  };
  const PruneCase cases[] = {
      {"A = NULL AND S = 1", "(= S 1)"},
      {"S = 1 AND (A <> NULL AND W = 2)", "(AND (= S 1) (= W 2))"},
      {"A = NULL OR S = 1", "(OR (= A NULL) (= S 1))"},
      {"NOT (A = NULL) AND S = 1", "(AND (NOT (= A NULL)) (= S 1))"},
      {"A = NULL AND A IS NULL", "nil"},
  };
  for (const PruneCase& c : cases) {
    testing::TParsed parsed = testing::ParseAndCheck(source, c.Filter);
    ASSERT_EQ(parsed.ErrorCode, 0) << parsed.Message;
    TExpToken* root = parsed.Tree.release();
    bool gone = PruneExpressionTree(root);
    EXPECT_EQ(gone, root == nullptr);
    EXPECT_EQ(DumpExpressionTree(root), c.After) << c.Filter;
    FreeExpressionTree(root);
  }
}

TEST(ExpressionEvaluation, CalendarMatchesDayNumbers) {
  int y = 0, m = 0, d = 0;
  DayToCivil(1, y, m, d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 10101);
  DayToCivil(693594, y, m, d);
  EXPECT_EQ(y * 10000 + m * 100 + d, 18991230);
  for (int32_t day = 1; day < 3660000; day += 997) {
    DayToCivil(day, y, m, d);
    ASSERT_EQ(CivilToDay(y, m, d), day);
  }
}

}  // namespace
}  // namespace tovenmarsh::engine

namespace tovenmarsh::engine {
namespace {

TEST(ExpressionQueries, StructuralQuestionsAboutTrees) {
  TFixtureSource source;
  auto tree = [&](const char* text) {
    testing::TParsed parsed = testing::ParseAndCheck(source, text, pfAggregates | pfExtended);
    EXPECT_EQ(parsed.ErrorCode, 0) << text << ": " << parsed.Message;
    return std::move(parsed.Tree);
  };
  EXPECT_TRUE(HasTopLevelOr(tree("A = 1 OR S = 2").get()));
  EXPECT_FALSE(HasTopLevelOr(tree("NOT (A = 1 OR S = 2)").get()));
  EXPECT_FALSE(HasTopLevelOr(tree("A = 1 AND (S = 1 OR S = 2)").get()));
  TExpTree negated = tree("NOT (A = 1 AND S = 2)");
  EXPECT_TRUE(IsNegatedExpression(negated->Left->Right));
  TExpTree plain = tree("A = 1 AND S = 2");
  EXPECT_FALSE(IsNegatedExpression(plain->Right));
  EXPECT_TRUE(ReferencesColumns(tree("1 = 1 AND IF(TRUE THEN A ELSE 2) = 1").get()));
  EXPECT_FALSE(ReferencesColumns(tree("1 = 1").get()));
  EXPECT_TRUE(ContainsAggregate(tree("SUM(A) > 1 AND 1 = 1").get()));
  EXPECT_FALSE(ContainsAggregate(tree("A > 1").get()));
}

TEST(ExpressionQueries, DataTypeSizes) {
  TFixtureSource source;
  struct SizeCase {
    const char* Text;
    int32_t Size;
    uint8_t Scale, SubType;
  };
  const SizeCase cases[] = {
      {"CAST(Name AS VARCHAR(30)) = 'x'", 31, 0, 0},
      {"CAST(A AS SMALLINT) = 1", 2, 0, 0},
      {"CAST(A AS DECIMAL(12,3)) = 1", 8, 3, 0},
      {"CAST(D AS TIMESTAMP) = D", 8, 0, 0},
      {"CAST(Memo AS BLOB(1,1)) = 'x'", 0, 0, 22},
  };
  for (const SizeCase& c : cases) {
    testing::TParsed parsed = testing::ParseAndCheck(source, c.Text);
    ASSERT_EQ(parsed.ErrorCode, 0) << c.Text << ": " << parsed.Message;
    const TExpToken* cast = parsed.Tree->Left;
    EXPECT_EQ(cast->DataSize, c.Size) << c.Text;
    EXPECT_EQ(cast->Scale, c.Scale) << c.Text;
    EXPECT_EQ(cast->SubType, c.SubType) << c.Text;
  }
  EXPECT_EQ(testing::ParseAndCheck(source, "CAST(Memo AS BLOB(2,1)) = 'x'").Message,
            "First BLOB type argument must be an integer with the value of 1 in filter expression");
  EXPECT_EQ(testing::ParseAndCheck(source, "CAST(Memo AS BLOB(1,9)) = 'x'").Message,
            "BLOB type argument must be an integer greater than 0 and less than or equal to 5 in "
            "filter expression");
}

}  // namespace
}  // namespace tovenmarsh::engine
