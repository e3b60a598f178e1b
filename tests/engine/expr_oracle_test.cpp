// Evaluation of generated expressions checked against independent oracles: Python's datetime
// (date arithmetic, EXTRACT, DAYOFWEEK), decimal with ROUND_HALF_UP (BCD arithmetic and ROUND),
// re (LIKE), and SQLite (integer and float arithmetic, string functions, string order).
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "expr_test_fixture.h"
#include "platform/format.h"

namespace tovenmarsh::engine {
namespace {

using testing::EvaluateText;
using testing::NullRow;
using testing::TFixtureSource;
using testing::TRow;
using testing::TValue;

// Runs a Python script over an input text and returns its output lines.
std::vector<std::string> RunPython(const std::string& script, const std::string& input) {
  // Per test and process: ctest runs the cases of this file in parallel.
  std::string stem = ::testing::TempDir() + "/expr_oracle_" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
                     std::to_string(getpid());
  std::string scriptPath = stem + ".py";
  std::string inputPath = stem + ".in";
  std::ofstream(scriptPath) << script;
  std::ofstream(inputPath) << input;
  std::string command = "python3 " + scriptPath + " < " + inputPath;
  FILE* pipe = popen(command.c_str(), "r");
  std::vector<std::string> lines;
  if (pipe == nullptr) return lines;
  char buffer[4096];
  std::string current;
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
    current += buffer;
    if (!current.empty() && current.back() == '\n') {
      current.pop_back();
      lines.push_back(current);
      current.clear();
    }
  }
  pclose(pipe);
  std::remove(scriptPath.c_str());
  std::remove(inputPath.c_str());
  return lines;
}

std::string ResultText(const TExpToken* r) {
  if (r == nullptr) return "ERROR";
  if (r->IsNull) return "NULL";
  switch (r->DataType) {
    case 1:
    case 3: return std::string(r->StringValue());
    case 4:
    case 5: return std::to_string(r->Get<int16_t>());
    case 12: return std::to_string(r->Get<uint16_t>());
    case 2:
    case 6:
    case 10: return std::to_string(r->Get<int32_t>());
    case 8: return std::to_string(r->Get<int64_t>());
    case 7:
    case 11: return platform::Format("%.17g", r->Get<double>());
    default: return "?";
  }
}

int Field(TFixtureSource& source, const char* name) { return source.FieldNumber(name) - 1; }

TEST(ExpressionOracle, DateArithmeticAndExtractAgreeWithPythonDatetime) {
  TFixtureSource source;
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int32_t> days(1, 3652059 - 1);
  std::uniform_int_distribution<int32_t> shift(-20000, 20000);
  std::uniform_int_distribution<int32_t> millis(0, 86399999);
  const char* parts[] = {"YEAR", "MONTH", "DAY", "DAYOFWEEK"};
  const char* timeParts[] = {"HOUR", "MINUTE", "SECOND"};
  std::ostringstream input;
  std::vector<std::string> ours;
  for (int i = 0; i < 400; ++i) {
    int32_t d = days(random), d2 = days(random);
    int32_t n = shift(random);
    if (d + n < 1 || d + n > 3652059) n = 0;
    int32_t ms = millis(random);
    TRow row = NullRow(source);
    row[Field(source, "D")] = TValue::Int(d);
    row[Field(source, "Ts")] = TValue::Flt(static_cast<double>(d2) * 86400000.0 + ms);
    const char* part = parts[i % 4];
    std::string text = platform::Format("EXTRACT(%s FROM (D + %d))", part, n);
    ours.push_back(ResultText(EvaluateText(source, text, row).get()));
    input << "date " << part << ' ' << d << ' ' << n << '\n';
    ours.push_back(ResultText(EvaluateText(source, "(Ts - 3) - D", row).get()));
    input << "diff " << d << ' ' << d2 << '\n';
    const char* timePart = timeParts[i % 3];
    ours.push_back(ResultText(EvaluateText(source, platform::Format("EXTRACT(%s FROM Ts)", timePart), row).get()));
    input << "time " << timePart << ' ' << d2 << ' ' << ms << '\n';
    ours.push_back(ResultText(EvaluateText(source, platform::Format("EXTRACT(%s FROM Ts)", part), row).get()));
    input << "date " << part << ' ' << d2 << " 0\n";
  }
  const char* script = R"(
import sys, datetime
for line in sys.stdin:
    f = line.split()
    if f[0] == 'date':
        d = datetime.date.fromordinal(int(f[2]) + int(f[3]))
        v = {'YEAR': d.year, 'MONTH': d.month, 'DAY': d.day,
             'DAYOFWEEK': d.isoweekday() % 7 + 1}[f[1]]
        print(v)
    elif f[0] == 'diff':
        a = datetime.date.fromordinal(int(f[1]))
        b = datetime.date.fromordinal(int(f[2])) - datetime.timedelta(days=3)
        print((b - a).days)
    else:
        t = datetime.datetime.fromordinal(int(f[2])) + datetime.timedelta(milliseconds=int(f[3]))
        print({'HOUR': t.hour, 'MINUTE': t.minute, 'SECOND': t.second}[f[1]])
)";
  std::vector<std::string> expected = RunPython(script, input.str());
  ASSERT_EQ(expected.size(), ours.size());
  std::istringstream lines(input.str());
  std::string line;
  for (size_t i = 0; i < ours.size(); ++i) {
    std::getline(lines, line);
    EXPECT_EQ(ours[i], expected[i]) << line;
  }
}

TEST(ExpressionOracle, BcdArithmeticAndRoundAgreeWithPythonDecimal) {
  TFixtureSource source;
  std::mt19937 random(77);
  std::uniform_int_distribution<int64_t> cents(-99999999, 99999999);
  std::uniform_int_distribution<int64_t> tenThousandths(-999999999, 999999999);
  std::uniform_int_distribution<int> places(0, 4);
  std::uniform_real_distribution<double> floats(-1000, 1000);
  const char* ops[] = {"+", "-", "*", "/"};
  std::ostringstream input;
  std::vector<std::string> ours;
  for (int i = 0; i < 500; ++i) {
    int64_t b = cents(random) * 100;  // B holds 2 decimals
    int64_t c = tenThousandths(random);
    if (c == 0) c = 1;
    int k = places(random);
    double f = std::round(floats(random) * 100000) / 100000 + 0.000005 * (i % 3);
    TRow row = NullRow(source);
    row[Field(source, "B")] = TValue::Int(b);
    row[Field(source, "C")] = TValue::Int(c);
    row[Field(source, "F")] = TValue::Flt(f);
    const char* op = ops[i % 4];
    // BCD (scale 2) op BCD (scale 4): computed in ten-thousandths, rounded to scale 4.
    ours.push_back(ResultText(EvaluateText(source, platform::Format("B %s C", op), row).get()));
    input << "bcd " << op << ' ' << b << ' ' << c << " 4\n";
    // BCD op integer: rounded to B's scale 2.
    ours.push_back(ResultText(EvaluateText(source, platform::Format("B %s %d", op, 7 + i % 5), row).get()));
    input << "bcd " << op << ' ' << b << ' ' << (7 + i % 5) * 10000 << " 2\n";
    ours.push_back(ResultText(EvaluateText(source, platform::Format("ROUND(C TO %d)", k), row).get()));
    input << "roundc " << c << ' ' << k << '\n';
    ours.push_back(ResultText(EvaluateText(source, platform::Format("ROUND(F TO %d)", k), row).get()));
    input << "roundf " << platform::Format("%.17g", f) << ' ' << k << '\n';
  }
  const char* script = R"(
import sys
from decimal import Decimal, ROUND_HALF_UP, getcontext
getcontext().prec = 60
T = Decimal('0.0001')
def half_up(x, places):
    return x.quantize(Decimal(1).scaleb(-places), rounding=ROUND_HALF_UP)
for line in sys.stdin:
    f = line.split()
    if f[0] == 'bcd':
        a = Decimal(int(f[2])) / 10000
        b = Decimal(int(f[3])) / 10000
        op = f[1]
        if op == '+': r = a + b
        elif op == '-': r = a - b
        elif op == '*': r = half_up(a * b, 4)
        else: r = half_up(a / b, 4)
        r = half_up(r, int(f[4]))
        print(int(r * 10000))
    elif f[0] == 'roundc':
        print('%.17g' % float(half_up(Decimal(int(f[1])) / 10000, int(f[2]))))
    else:
        print('%.17g' % float(half_up(Decimal(float(f[1])), int(f[2]))))
)";
  std::vector<std::string> expected = RunPython(script, input.str());
  ASSERT_EQ(expected.size(), ours.size());
  std::istringstream lines(input.str());
  std::string line;
  for (size_t i = 0; i < ours.size(); ++i) {
    std::getline(lines, line);
    EXPECT_EQ(ours[i], expected[i]) << line;
  }
}

TEST(ExpressionOracle, LikeAgreesWithPythonRe) {
  TFixtureSource source;
  std::mt19937 random(4242);
  const std::string alphabet = "ab%_";
  auto randomText = [&](size_t maxLength, const std::string& letters) {
    std::uniform_int_distribution<size_t> length(1, maxLength);
    std::uniform_int_distribution<size_t> pick(0, letters.size() - 1);
    std::string s;
    for (size_t n = length(random); n > 0; --n) s += letters[pick(random)];
    return s;
  };
  std::ostringstream input;
  std::vector<std::string> ours;
  for (int i = 0; i < 1500; ++i) {
    std::string text = randomText(8, i % 2 == 0 ? "ab" : alphabet);
    std::string pattern = randomText(6, alphabet);
    TRow row = NullRow(source);
    row[Field(source, "Name")] = TValue::Str(text);
    std::string filter = "Name " + std::string(i % 3 == 0 ? "NOT LIKE" : "LIKE") + " '" + pattern + "'";
    testing::TFilterRunner runner(source, filter);
    ASSERT_EQ(runner.Error, "") << filter;
    ours.push_back(runner.Accepts(row) ? "1" : "0");
    input << (i % 3 == 0 ? "not " : "is ") << text << ' ' << pattern << '\n';
  }
  const char* script = R"(
import sys, re
for line in sys.stdin:
    kind, text, pattern = line.split()
    rx = ''.join('.*' if c == '%' else '.' if c == '_' else re.escape(c) for c in pattern)
    m = re.fullmatch(rx, text, re.DOTALL) is not None
    print(int(m != (kind == 'not')))
)";
  std::vector<std::string> expected = RunPython(script, input.str());
  ASSERT_EQ(expected.size(), ours.size());
  std::istringstream lines(input.str());
  std::string line;
  for (size_t i = 0; i < ours.size(); ++i) {
    std::getline(lines, line);
    EXPECT_EQ(ours[i], expected[i]) << line;
  }
}

// One SQLite query per case; NULL and '' both read as "NULL" (an empty string is NULL here).
class SqliteOracle {
 public:
  SqliteOracle() { sqlite3_open(":memory:", &db_); }
  ~SqliteOracle() { sqlite3_close(db_); }
  std::string Query(const std::string& sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      return std::string("SQLERROR ") + sqlite3_errmsg(db_);
    }
    std::string out = "NULL";
    if (sqlite3_step(statement) == SQLITE_ROW) {
      switch (sqlite3_column_type(statement, 0)) {
        case SQLITE_INTEGER: out = std::to_string(sqlite3_column_int64(statement, 0)); break;
        case SQLITE_FLOAT: out = platform::Format("%.17g", sqlite3_column_double(statement, 0)); break;
        case SQLITE_TEXT: {
          out = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
          if (out.empty()) out = "NULL";
          break;
        }
        default: break;
      }
    }
    sqlite3_finalize(statement);
    return out;
  }

 private:
  sqlite3* db_ = nullptr;
};

std::string Quote(const std::string& s) { return "'" + s + "'"; }

TEST(ExpressionOracle, ArithmeticAndStringFunctionsAgreeWithSqlite) {
  TFixtureSource source;
  SqliteOracle sqlite;
  std::mt19937 random(99);
  std::uniform_int_distribution<int32_t> ints(-100000, 100000);
  std::uniform_int_distribution<int32_t> smalls(-300, 300);
  std::uniform_real_distribution<double> floats(-1e6, 1e6);
  std::uniform_int_distribution<int> small(1, 6);
  const std::string letters = "abcXYZ x-";
  auto word = [&](int maxLength) {
    std::uniform_int_distribution<int> length(1, maxLength);
    std::uniform_int_distribution<size_t> pick(0, letters.size() - 1);
    std::string s;
    for (int n = length(random); n > 0; --n) s += letters[pick(random)];
    return s;
  };
  for (int i = 0; i < 400; ++i) {
    int32_t a = ints(random);
    int32_t s = smalls(random);
    double f = floats(random);
    std::string name = word(12);
    std::string search = word(2);
    std::string with = word(2);
    int from = small(random), count = small(random);
    TRow row = NullRow(source);
    row[Field(source, "A")] = TValue::Int(a);
    row[Field(source, "S")] = TValue::Int(s);
    row[Field(source, "F")] = TValue::Flt(f);
    row[Field(source, "Name")] = TValue::Str(name);
    // Parenthesised: "- -5" would start an SQL comment.
    std::string A = "(" + std::to_string(a) + ")", S = "(" + std::to_string(s) + ")",
                F = platform::Format("(%.17g)", f);
    struct Pair {
      std::string Ours, Sqlite;
    };
    const Pair pairs[] = {
        {"A + S * 3 - 7", A + " + " + S + " * 3 - 7"},
        {"A * S", A + " * " + S},
        {"-A + ABS(S)", "-" + A + " + abs(" + S + ")"},
        {"A / S", "CAST(" + A + " AS REAL) / " + S},
        {"F * S + F", F + " * " + S + " + " + F},
        {"F / (A + 0.5)", F + " / (" + A + " + 0.5)"},
        {"F - A", F + " - " + A},
        {"IF(A > S THEN A ELSE S + 0)", "max(" + A + ", " + S + ")"},
        {"UPPER(Name)", "upper(" + Quote(name) + ")"},
        {"LOWER(Name) || '!'", "lower(" + Quote(name) + ") || '!'"},
        {platform::Format("SUBSTRING(Name FROM %d FOR %d)", from, count),
         platform::Format("substr(%s, %d, %d)", Quote(name).c_str(), from, count)},
        {platform::Format("SUBSTRING(Name FROM %d)", from),
         platform::Format("substr(%s, %d)", Quote(name).c_str(), from)},
        {"REPLACE(" + Quote(search) + " WITH " + Quote(with) + " IN Name)",
         "replace(" + Quote(name) + ", " + Quote(search) + ", " + Quote(with) + ")"},
        {"POS(" + Quote(search) + " IN Name)", "instr(" + Quote(name) + ", " + Quote(search) + ")"},
        {"OCCURS(" + Quote(search) + " IN Name)",
         "(length(" + Quote(name) + ") - length(replace(" + Quote(name) + ", " + Quote(search) +
             ", ''))) / length(" + Quote(search) + ")"},
        {"TRIM(LEADING 'x' FROM Name)", "ltrim(" + Quote(name) + ", 'x')"},
        {"TRIM(TRAILING 'x' FROM Name)", "rtrim(" + Quote(name) + ", 'x')"},
        {"TRIM(BOTH 'x' FROM Name)", "trim(" + Quote(name) + ", 'x')"},
        {"IF(Name < " + Quote(search) + " THEN 1 ELSE 0)", "(" + Quote(name) + " < " + Quote(search) + ")"},
        {"IF(Name >= " + Quote(with) + " THEN 1 ELSE 0)", "(" + Quote(name) + " >= " + Quote(with) + ")"},
    };
    for (const Pair& p : pairs) {
      std::string error;
      TExpTree result = EvaluateText(source, p.Ours, row, &error);
      ASSERT_EQ(error, "") << p.Ours;
      EXPECT_EQ(ResultText(result.get()), sqlite.Query("SELECT " + p.Sqlite))
          << p.Ours << " with A=" << a << " S=" << s << " F=" << F << " Name='" << name << "'";
    }
  }
}


// Random expression trees: the same tree written in our syntax and in SQLite's.
class TreeGenerator {
 public:
  explicit TreeGenerator(uint32_t seed) : random_(seed) {}

  // Integer trees over A, S and W with + - * and small constants; IF picks a branch.
  void Integer(int depth, std::string& ours, std::string& theirs) {
    int choice = Pick(depth <= 0 ? 2 : 6);
    switch (choice) {
      case 0: {
        const char* columns[] = {"A", "S", "W"};
        const char* column = columns[Pick(3)];
        // A word minus anything stays a 16-bit word here; "+ 0" makes it an integer first.
        ours = column[0] == 'W' ? "(W + 0)" : column;
        theirs = std::string("(") + Value(column) + ")";
        return;
      }
      case 1: {
        int v = Pick(21) - 10;
        ours = v < 0 ? "(" + std::to_string(v) + ")" : std::to_string(v);
        theirs = "(" + std::to_string(v) + ")";
        return;
      }
      case 5: {
        std::string c1, c2, a1, a2, b1, b2;
        Integer(depth - 1, c1, c2);
        Integer(depth - 1, a1, a2);
        Integer(depth - 1, b1, b2);
        ours = "IF(" + c1 + " > 0 THEN " + a1 + " + 0 ELSE " + b1 + " + 0)";
        theirs = "(CASE WHEN " + c2 + " > 0 THEN " + a2 + " ELSE " + b2 + " END)";
        return;
      }
      default: {
        const char* ops[] = {"+", "-", "*"};
        const char* op = ops[Pick(3)];
        std::string l1, l2, r1, r2;
        Integer(depth - 1, l1, l2);
        Integer(depth - 1, r1, r2);
        ours = "(" + l1 + " " + op + " " + r1 + ")";
        theirs = "(" + l2 + " " + op + " " + r2 + ")";
        return;
      }
    }
  }

  // String trees over Name with the string functions and concatenation.
  void Text(int depth, std::string& ours, std::string& theirs) {
    int choice = Pick(depth <= 0 ? 2 : 9);
    switch (choice) {
      case 0:
        ours = "Name";
        theirs = "'" + name_ + "'";
        return;
      case 1: {
        std::string w = Word();
        ours = "'" + w + "'";
        theirs = ours;
        return;
      }
      default: break;
    }
    std::string a1, a2;
    Text(depth - 1, a1, a2);
    switch (choice) {
      case 2:
        ours = "UPPER(" + a1 + ")";
        theirs = "upper(" + a2 + ")";
        return;
      case 3:
        ours = "LOWER(" + a1 + ")";
        theirs = "lower(" + a2 + ")";
        return;
      case 4: {
        int from = Pick(5) + 1, count = Pick(5) + 1;
        ours = "SUBSTRING(" + a1 + " FROM " + std::to_string(from) + " FOR " + std::to_string(count) + ")";
        theirs = "substr(" + a2 + ", " + std::to_string(from) + ", " + std::to_string(count) + ")";
        return;
      }
      case 5: {
        std::string s = Word(), w = Pick(3) == 0 ? "" : Word();
        ours = "REPLACE('" + s + "' WITH '" + w + "' IN (" + a1 + "))";
        theirs = "replace(" + a2 + ", '" + s + "', '" + w + "')";
        return;
      }
      case 6: {
        const char* kinds[] = {"LEADING", "TRAILING", "BOTH"};
        const char* functions[] = {"ltrim", "rtrim", "trim"};
        int k = Pick(3);
        ours = std::string("TRIM(") + kinds[k] + " 'x' FROM " + a1 + ")";
        theirs = std::string(functions[k]) + "(" + a2 + ", 'x')";
        return;
      }
      default: {
        std::string b1, b2;
        Text(depth - 1, b1, b2);
        ours = "(" + a1 + " || " + b1 + ")";
        theirs = "(" + a2 + " || " + b2 + ")";
        return;
      }
    }
  }

  void SetRow(int32_t a, int32_t s, int32_t w, std::string name) {
    a_ = a;
    s_ = s;
    w_ = w;
    name_ = std::move(name);
  }

 private:
  int Pick(int n) { return static_cast<int>(random_() % static_cast<uint32_t>(n)); }
  std::string Word() {
    // No one-letter column names here: a quoted column name would be that column.
    static const char letters[] = "xXyYz";
    std::string w;
    for (int n = Pick(3) + 1; n > 0; --n) w += letters[Pick(5)];
    return w;
  }
  std::string Value(const char* column) {
    if (column[0] == 'A') return std::to_string(a_);
    if (column[0] == 'S') return std::to_string(s_);
    return std::to_string(w_);
  }

  std::mt19937 random_;
  int32_t a_ = 0, s_ = 0, w_ = 0;
  std::string name_;
};

TEST(ExpressionOracle, GeneratedTreesAgreeWithSqlite) {
  TFixtureSource source;
  SqliteOracle sqlite;
  TreeGenerator generator(5150);
  std::mt19937 random(31337);
  int compared = 0;
  for (int i = 0; i < 600; ++i) {
    int32_t a = static_cast<int32_t>(random() % 201) - 100;
    int32_t s = static_cast<int32_t>(random() % 61) - 30;
    int32_t w = static_cast<int32_t>(random() % 50);
    std::string name;
    for (int n = static_cast<int>(random() % 9); n > 0; --n) name += "xyXYz "[random() % 6];
    generator.SetRow(a, s, w, name);
    TRow row = NullRow(source);
    row[Field(source, "A")] = TValue::Int(a);
    row[Field(source, "S")] = TValue::Int(s);
    row[Field(source, "W")] = TValue::Int(w);
    row[Field(source, "Name")] = TValue::Str(name);
    std::string ours, theirs;
    if (i % 2 == 0) {
      generator.Integer(4, ours, theirs);
      ours = "(" + ours + ") + 0";  // an integer whatever the leaves' types
      std::string expected = sqlite.Query("SELECT " + theirs);
      // Only where 32-bit and 64-bit arithmetic agree (no wrap-around on either side).
      if (expected == "NULL" || std::llabs(std::stoll(expected)) > 1000000000) continue;
      std::string error;
      TExpTree result = EvaluateText(source, ours, row, &error);
      ASSERT_EQ(error, "") << ours;
      EXPECT_EQ(ResultText(result.get()), expected) << ours << "  |  " << theirs;
    } else {
      generator.Text(3, ours, theirs);
      std::string error;
      TExpTree result = EvaluateText(source, ours, row, &error);
      ASSERT_EQ(error, "") << ours;
      EXPECT_EQ(ResultText(result.get()), sqlite.Query("SELECT " + theirs)) << ours << "  |  " << theirs
                                                                             << "  Name='" << name << "'";
    }
    ++compared;
  }
  EXPECT_GT(compared, 500);
}

}  // namespace
}  // namespace tovenmarsh::engine
