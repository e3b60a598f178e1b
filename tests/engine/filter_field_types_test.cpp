// Cursor filters over many field types against SQLite: random rows (16-bit, word, float, 32-bit,
// BCD, boolean, date and timestamp values, strings with blanks and Windows-1252 letters, NULLs)
// and random conditions (comparisons, IN, BETWEEN, LIKE, prefixes, UPPER, arithmetic with
// division by zero, AND/OR/NOT without brackets) must select what SQLite selects, and the
// index-answered filter must show the same records in the same order as one that reads every
// record; also after inserts, updates and deletes, with two filters stacked, inside a key range.
// Malformed filter text must be refused with the filter error. Every atom is written for SQLite
// as a 0/1 value, following this engine's own rules: an ordered comparison with a NULL side is
// false, `=` and `<>` treat NULL as a value, numbers compare by their exact values, stored
// strings lose their trailing blanks. FR_SEED=n in the environment picks another random seed.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "sqlite_oracle_fixture.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

using testing::Field;

// Fields: 1 Id, 2 S (16-bit), 3 W (word), 4 F (float), 5 A (32-bit), 6 Name (string), 7 D (date),
// 8 T (timestamp), 9 B (boolean), 10 C (BCD, two decimals, stored in hundredths),
// 11 Tm (time of day in milliseconds).
struct TRow {
  int32_t Id = 0;
  std::optional<int16_t> S;
  std::optional<uint16_t> W;
  std::optional<double> F;
  std::optional<int32_t> A;
  std::string Name;  // empty: NULL
  std::optional<int32_t> D;
  std::optional<double> T;
  std::optional<uint16_t> B;
  std::optional<int64_t> C;
  std::optional<int32_t> Tm;
};

IndexDesc Index(const char* name, uint16_t field, bool unique, bool ci, bool desc) {
  IndexDesc d = testing::Index(name, {field}, unique);
  d.CaseInsensitive = ci;
  d.Descending = desc;
  d.FieldDescending[0] = desc ? 1 : 0;
  return d;
}

const char* const kOrders[] = {"", "ByS", "ByW", "ByF", "ByADesc", "ByName", "ByNameCI", "ByD", "ByTDesc", "ByB", "ByC", "ByTm"};

// Dates are day numbers from 1 January of year 1 (day 1); timestamps milliseconds on that count.
constexpr int32_t kFirstDay = 739951;  // 2026-12-01
const int32_t kMillis[] = {0, 999, 1000, 43200000, 86399999};

// A BCD field with two decimals.
FieldDesc Money(const char* name) {
  FieldDesc f = Field(name, fldBCD);
  f.Scale = 2;
  return f;
}

TTableDefinition Definition() {
  TTableDefinition d;
  d.Data.Fields = {Field("Id", fldInt32),  Field("S", fldInt16), Field("W", fldUInt16),
                   Field("F", fldFloat),   Field("A", fldInt32), Field("Name", fldZString, 8),
                   Field("D", fldDate),    Field("T", fldTimeStamp), Field("B", fldBool), Money("C"),
                   Field("Tm", fldTime)};
  d.Indexes = {Index("", 1, true, false, false),       Index("ByS", 2, false, false, false),
               Index("ByW", 3, false, false, false),    Index("ByF", 4, false, false, false),
               Index("ByADesc", 5, false, false, true), Index("ByName", 6, false, false, false),
               Index("ByNameCI", 6, false, true, false), Index("ByD", 7, false, false, false),
               Index("ByTDesc", 8, false, false, true), Index("ByB", 9, false, false, false),
               Index("ByC", 10, false, false, false), Index("ByTm", 11, false, false, false)};
  return d;
}

// Windows-1252 upper case, written out here so SQLite has its own copy.
uint8_t UpperByte(uint8_t c) {
  if (c >= 'a' && c <= 'z') return static_cast<uint8_t>(c - 32);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<uint8_t>(c - 32);
  if (c == 0x9A || c == 0x9C || c == 0x9E) return static_cast<uint8_t>(c - 16);
  if (c == 0xFF) return 0x9F;
  return c;
}

void SqlUpper(sqlite3_context* context, int, sqlite3_value** args) {
  if (sqlite3_value_type(args[0]) == SQLITE_NULL) {
    sqlite3_result_null(context);
    return;
  }
  const auto* p = static_cast<const uint8_t*>(sqlite3_value_blob(args[0]));
  std::string s(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(args[0])));
  for (char& c : s) c = static_cast<char>(UpperByte(static_cast<uint8_t>(c)));
  sqlite3_result_blob(context, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

// GLOB reads text as UTF-8, where every lone high byte is the same replacement character:
// the high letters become plain letters that no name holds.
void SqlPlain(sqlite3_context* context, int, sqlite3_value** args) {
  const auto* p = static_cast<const uint8_t*>(sqlite3_value_blob(args[0]));
  std::string s(reinterpret_cast<const char*>(p), static_cast<size_t>(sqlite3_value_bytes(args[0])));
  static const std::string high = "\xE9\xC9\x9A\x8A\xFF\x9F\xDF\xB5", plain = "eEsSyYzm";
  for (char& c : s)
    if (size_t i = high.find(c); i != std::string::npos) c = plain[i];
  sqlite3_result_text(context, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
}

std::string Hex(const std::string& s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out = "X'";
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out + "'";
}

struct TCondition {
  std::string Ours;
  std::string Sql;
};

class FilterFieldTypesTest : public testing::SqliteOracleTest {
 protected:
  void SetUp() override {
    StartTables("fields", Definition(),
                "CREATE TABLE t(id INTEGER PRIMARY KEY, s INTEGER, w INTEGER, f REAL, a INTEGER, name BLOB, d INTEGER, "
                "t REAL, b INTEGER, c INTEGER, tm INTEGER)");
    sqlite3_create_function(db_, "up", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, SqlUpper, nullptr, nullptr);
    sqlite3_create_function(db_, "plain", 1, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, SqlPlain, nullptr, nullptr);
  }
  void TearDown() override {
    scanned_.reset();
    SqliteOracleTest::TearDown();
  }

  std::string SqlText(const std::string& sql) {
    std::string out;
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
    if (st && sqlite3_step(st) == SQLITE_ROW) {
      const unsigned char* v = sqlite3_column_text(st, 0);
      out = v ? reinterpret_cast<const char*>(v) : "";
    }
    sqlite3_finalize(st);
    return out;
  }

  std::string RowText(int32_t id) {
    std::string out;
    sqlite3_stmt* st = nullptr;
    const std::string sql = "SELECT id, s, w, f, a, hex(name), d, t, b, c, tm FROM t WHERE id=" + std::to_string(id);
    sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr);
    if (st && sqlite3_step(st) == SQLITE_ROW)
      for (int i = 0; i < 11; ++i) {
        const unsigned char* v = sqlite3_column_text(st, i);
        out += (i ? "," : "[") + std::string(v ? reinterpret_cast<const char*>(v) : "NULL");
      }
    sqlite3_finalize(st);
    return out + "]";
  }

  std::string RandomName() {
    // Blanks (also trailing ones), both cases, Windows-1252 letters (e/E acute, s/S caron,
    // y/Y diaeresis, sharp s and micro, which have no upper case), a digit.
    static const char alphabet[] = "aAbB \xE9\xC9" "0\x9A\x8A\xFF\x9F\xDF\xB5";
    if (rng_() % 6 == 0) return "";
    std::string s;
    const size_t n = 1 + rng_() % 5;
    for (size_t i = 0; i < n; ++i) s += alphabet[rng_() % (sizeof alphabet - 1)];
    if (s.find_first_not_of(' ') == std::string::npos) s[0] = 'a';
    return s;
  }

  TRow RandomRow() {
    static const int16_t shorts[] = {-32768, 32767, -1, 0, 1, 2, 3, -3, 100};
    static const uint16_t words[] = {0, 1, 2, 3, 32767, 32768, 40000, 65535};
    TRow r;
    r.Id = nextId_++;
    if (rng_() % 7) r.S = shorts[rng_() % std::size(shorts)];
    if (rng_() % 7) r.W = words[rng_() % std::size(words)];
    if (rng_() % 7) r.F = (static_cast<int>(rng_() % 41) - 20) * 0.25;
    if (rng_() % 7) r.A = static_cast<int32_t>(rng_() % 21) - 10;
    r.Name = RandomName();
    if (rng_() % 7) r.D = kFirstDay + static_cast<int32_t>(rng_() % 8);
    if (rng_() % 7) r.T = (kFirstDay + static_cast<int32_t>(rng_() % 4)) * 86400000.0 + kMillis[rng_() % std::size(kMillis)];
    if (rng_() % 5) r.B = static_cast<uint16_t>(rng_() % 2);
    if (rng_() % 6) r.C = static_cast<int64_t>(rng_() % 1001) - 500;
    if (rng_() % 6) r.Tm = kMillis[rng_() % std::size(kMillis)] + static_cast<int32_t>(rng_() % 3) * 3600000;
    return r;
  }

  void Insert(const TRow& r) {
    std::vector<uint8_t> b(cursor_->GetRecordSize());
    cursor_->InitRecord(b.data());
    Fill(b, r);
    cursor_->InsertRecord(b.data(), true);
    Exec("INSERT INTO t VALUES(" + SqlValues(r) + ")");
  }

  void Fill(std::vector<uint8_t>& b, const TRow& r) {
    cursor_->SetFieldData(1, b.data(), &r.Id);
    cursor_->SetFieldData(2, b.data(), r.S ? &*r.S : nullptr);
    cursor_->SetFieldData(3, b.data(), r.W ? &*r.W : nullptr);
    cursor_->SetFieldData(4, b.data(), r.F ? &*r.F : nullptr);
    cursor_->SetFieldData(5, b.data(), r.A ? &*r.A : nullptr);
    cursor_->SetFieldData(6, b.data(), r.Name.empty() ? nullptr : r.Name.c_str());
    cursor_->SetFieldData(7, b.data(), r.D ? &*r.D : nullptr);
    cursor_->SetFieldData(8, b.data(), r.T ? &*r.T : nullptr);
    cursor_->SetFieldData(9, b.data(), r.B ? &*r.B : nullptr);
    cursor_->SetFieldData(10, b.data(), r.C ? &*r.C : nullptr);
    cursor_->SetFieldData(11, b.data(), r.Tm ? &*r.Tm : nullptr);
  }

  static std::string SqlValues(const TRow& r) {
    std::string stored = r.Name;
    while (!stored.empty() && stored.back() == ' ') stored.pop_back();
    auto num = [](const auto& v) { return v ? std::to_string(*v) : std::string("NULL"); };
    char f[64] = "NULL", t[64] = "NULL";
    if (r.F) std::snprintf(f, sizeof f, "%.17g", *r.F);
    if (r.T) std::snprintf(t, sizeof t, "%.17g", *r.T);
    return std::to_string(r.Id) + "," + num(r.S) + "," + num(r.W) + "," + f + "," + num(r.A) + "," +
           (stored.empty() ? std::string("NULL") : Hex(stored)) + "," + num(r.D) + "," + t + "," + num(r.B) + "," +
           num(r.C) + "," + num(r.Tm);
  }

  void Populate(int rows) {
    for (int i = 0; i < rows; ++i) Insert(RandomRow());
    std::vector<uint8_t> b(cursor_->GetRecordSize());
    for (int32_t id = 3; id < nextId_; id += 9) {
      cursor_->InitRecord(b.data());
      cursor_->SetFieldData(1, b.data(), &id);
      ASSERT_TRUE(cursor_->FindKey(b.data(), false, b.data(), 0, false, 1));
      cursor_->DeleteRecord(b.data(), true);
      Exec("DELETE FROM t WHERE id=" + std::to_string(id));
    }
  }

  std::vector<int32_t> Scan(TDataCursor& c) {
    std::vector<int32_t> ids;
    std::vector<uint8_t> b(c.GetRecordSize());
    c.First();
    while (c.GetNextRecord(b.data()) == 0 && ids.size() < 10000) {
      int32_t id = 0;
      c.GetFieldData(1, b.data(), &id);
      ids.push_back(id);
    }
    return ids;
  }

  // A numeric constant for a column, as we and SQLite write it; an inexact one (2.5 against an
  // integer column) compares by its exact value.
  std::pair<std::string, std::string> Constant(char column) {
    int whole = 0;
    switch (column) {
      case 'S': {
        static const int v[] = {-32768, 32767, -3, -1, 0, 1, 2, 3, 100};
        whole = v[rng_() % std::size(v)];
        break;
      }
      case 'W': {
        static const int v[] = {0, 1, 2, 3, 32767, 32768, 40000, 65535};
        whole = v[rng_() % std::size(v)];
        break;
      }
      default: whole = static_cast<int>(rng_() % 21) - 10;
    }
    const bool fraction = column != 'W' && rng_() % 4 == 0 && std::abs(whole) < 30000;
    if (column == 'F') {
      const double v = whole * 0.5 + (fraction ? 0.25 : 0);
      char text[40];
      std::snprintf(text, sizeof text, "%g", v);
      return {text, text};
    }
    if (fraction) {
      const std::string t = (whole < 0 ? "-" : "") + std::to_string(std::abs(whole)) + ".5";
      return {t, t};
    }
    return {std::to_string(whole), std::to_string(whole)};
  }

  static bool IsFieldName(const std::string& s) {
    return s.size() == 1 && std::strchr("aAbBcC", s[0]) != nullptr;
  }

  // A string constant; never a field's name, which the type checker would read as that field.
  std::string Constant() {
    std::string k = RandomName();
    if (k.empty() || IsFieldName(k)) k += "b";
    return k;
  }

  std::string Pattern() {
    static const char alphabet[] = "aAb \xE9\x8A\xFF%_";
    std::string s;
    const size_t n = 1 + rng_() % 4;
    for (size_t i = 0; i < n; ++i) s += alphabet[rng_() % (sizeof alphabet - 1)];
    if (IsFieldName(s)) s += "%";
    return s;
  }

  static std::string Glob(const std::string& pattern) {
    std::string g;
    for (char c : pattern) g += c == '%' ? '*' : c == '_' ? '?' : c;
    return g;
  }

  // One atom; every SQL form is 0 or 1, never NULL.
  TCondition Atom(bool caseInsensitive) {
    static const char* const ops[] = {"=", "<>", "<", "<=", ">", ">="};
    const char* op = ops[rng_() % std::size(ops)];
    const bool ordered = op[0] == '<' ? op[1] != '>' : op[0] == '>';
    const char numeric[] = {'S', 'W', 'F', 'A'};
    const char column = numeric[rng_() % 4];
    const std::string c(1, column);
    const std::string lc(1, static_cast<char>(column + 32));
    auto compare = [&](const std::string& value, const std::string& k) {
      if (ordered) return "(" + value + " IS NOT NULL AND " + value + " " + op + " " + k + ")";
      if (op[0] == '=') return "(" + value + " IS NOT NULL AND " + value + " = " + k + ")";
      return "(" + value + " IS NULL OR " + value + " <> " + k + ")";
    };
    switch (rng_() % 21) {
      case 0:
      case 1: {
        auto [ours, sql] = Constant(column);
        return {c + " " + op + " " + ours, compare(lc, sql)};
      }
      case 2: {
        // Constant first: turned round by the filter.
        auto [ours, sql] = Constant(column);
        std::string swapped = op;
        if (op[0] == '<' && op[1] != '>') swapped[0] = '>';
        else if (op[0] == '>') swapped[0] = '<';
        const char* saved = op;
        op = swapped.c_str();
        TCondition t{ours + " " + saved + " " + c, compare(lc, sql)};
        return t;
      }
      case 3: {
        auto [o1, s1] = Constant(column);
        auto [o2, s2] = Constant(column);
        auto [o3, s3] = Constant(column);
        const bool negated = rng_() % 2;
        std::string sql = "(" + lc + " IS NOT NULL AND " + lc + " IN (" + s1 + "," + s2 + "," + s3 + "))";
        return {c + (negated ? " NOT IN (" : " IN (") + o1 + ", " + o2 + ", " + o3 + ")",
                negated ? "NOT " + sql : sql};
      }
      case 4: {
        auto [o1, s1] = Constant(column);
        auto [o2, s2] = Constant(column);
        const bool negated = rng_() % 2;
        std::string sql = "(" + lc + " IS NOT NULL AND " + lc + " BETWEEN " + s1 + " AND " + s2 + ")";
        return {c + (negated ? " NOT BETWEEN " : " BETWEEN ") + o1 + " AND " + o2, negated ? "NOT " + sql : sql};
      }
      case 5: {
        const bool negated = rng_() % 2;
        return {c + (negated ? " IS NOT NULL" : " IS NULL"), lc + (negated ? " IS NOT NULL" : " IS NULL")};
      }
      case 6: {
        // Arithmetic on A and S: NULL in, NULL out; division by zero is NULL.
        static const char* const arith[] = {"+", "-", "*", "/"};
        const char* a = arith[rng_() % 4];
        const int k = static_cast<int>(rng_() % 21) - 10;
        std::string value = a[0] == '/' ? "(CAST(a AS REAL) / s)" : std::string("(a ") + a + " s)";
        return {std::string("A ") + a + " S " + op + " " + std::to_string(k), compare(value, std::to_string(k))};
      }
      case 7:
      case 8: {
        // Dates against date texts, SQLite reading the same text.
        const std::string text = SqlText("SELECT date(julianday('0001-01-01') + " +
                                         std::to_string(kFirstDay - 2 + static_cast<int>(rng_() % 12)) + " - 1)");
        const std::string k = "CAST(julianday('" + text + "') - 1721424.5 AS INTEGER)";
        const int shift = static_cast<int>(rng_() % 5) - 2;
        if (rng_() % 3 == 0) {
          const std::string sign = shift < 0 ? " - " : " + ";
          return {"D" + sign + std::to_string(std::abs(shift)) + " " + op + " '" + text + "'",
                  compare("(d + " + std::to_string(shift) + ")", k)};
        }
        if (rng_() % 4 == 0) {
          const std::string text2 = SqlText("SELECT date('" + text + "', '+3 days')");
          return {"D BETWEEN '" + text + "' AND '" + text2 + "'",
                  "(d IS NOT NULL AND d BETWEEN " + k + " AND CAST(julianday('" + text2 + "') - 1721424.5 AS INTEGER))"};
        }
        return {"D " + std::string(op) + " '" + text + "'", compare("d", k)};
      }
      case 9: {
        static const char* const clock[] = {"00:00:00", "00:00:01", "12:00:00", "23:59:59"};
        const std::string text = SqlText("SELECT date(julianday('0001-01-01') + " +
                                         std::to_string(kFirstDay - 1 + static_cast<int>(rng_() % 6)) + " - 1)") +
                                 " " + clock[rng_() % 4];
        const std::string k = "round((julianday('" + text + "') - 1721424.5) * 86400000)";
        if (rng_() % 3 == 0) {
          // A date text against a timestamp: its midnight.
          const std::string day = text.substr(0, 10);
          return {"T " + std::string(op) + " '" + day + "'",
                  compare("t", "round((julianday('" + day + "') - 1721424.5) * 86400000)")};
        }
        return {"T " + std::string(op) + " '" + text + "'", compare("t", k)};
      }
      case 10: {
        if (!moneyAtoms_) return Atom(caseInsensitive);
        // Money in cents for SQLite; constants in thousandths, so some are not exact cents.
        const int mills = static_cast<int>(rng_() % 12001) - 6000;
        const int unit = rng_() % 3 == 0 ? 1 : 10;
        const int k = mills / unit * unit;
        char text[32];
        std::snprintf(text, sizeof text, "%s%d.%03d", k < 0 ? "-" : "", std::abs(k) / 1000, std::abs(k) % 1000);
        if (rng_() % 4 == 0) {
          const int k2 = k + static_cast<int>(rng_() % 3000) * 10;
          char text2[32];
          std::snprintf(text2, sizeof text2, "%s%d.%03d", k2 < 0 ? "-" : "", std::abs(k2) / 1000, std::abs(k2) % 1000);
          return {std::string("C BETWEEN ") + text + " AND " + text2,
                  "(c IS NOT NULL AND c * 10 BETWEEN " + std::to_string(k) + " AND " + std::to_string(k2) + ")"};
        }
        return {std::string("C ") + op + " " + text, compare("(c * 10)", std::to_string(k))};
      }
      case 11: {
        static const TCondition booleans[] = {
            {"B", "coalesce(b = 1, 0)"},          {"NOT B", "NOT coalesce(b = 1, 0)"},
            {"B = TRUE", "coalesce(b = 1, 0)"},   {"B = FALSE", "coalesce(b = 0, 0)"},
            {"B <> TRUE", "(b IS NULL OR b <> 1)"}, {"B IS NULL", "b IS NULL"},
            {"B IN (FALSE)", "coalesce(b = 0, 0)"}};
        return booleans[rng_() % std::size(booleans)];
      }
      case 12: {
        static const char* const clock[] = {"00:00:00", "00:00:01", "01:00:00", "12:00:00", "14:00:00", "23:59:59"};
        const char* text = clock[rng_() % std::size(clock)];
        const int ms = ((text[0] - '0') * 10 + text[1] - '0') * 3600000 + ((text[3] - '0') * 10 + text[4] - '0') * 60000 +
                       ((text[6] - '0') * 10 + text[7] - '0') * 1000;
        return {std::string("Tm ") + op + " '" + text + "'", compare("tm", std::to_string(ms))};
      }
      default: break;
    }
    // Strings.
    std::string k = Constant();
    switch (rng_() % 7) {
      case 0:
      case 1: {
        if (caseInsensitive && !ordered)
          return {"Name " + std::string(op) + " '" + k + "'",
                  op[0] == '=' ? "(name IS NOT NULL AND up(name) = up(" + Hex(k) + "))"
                               : "(name IS NULL OR up(name) <> up(" + Hex(k) + "))"};
        if (ordered)
          return {"Name " + std::string(op) + " '" + k + "'", std::string("(name IS NOT NULL AND name ") + op + " " + Hex(k) + ")"};
        return {"Name " + std::string(op) + " '" + k + "'",
                op[0] == '=' ? "(name IS NOT NULL AND name = " + Hex(k) + ")"
                             : "(name IS NULL OR name <> " + Hex(k) + ")"};
      }
      case 2: {
        // A trailing asterisk: compare a prefix.
        const std::string sub = caseInsensitive ? "up(substr(name,1," + std::to_string(k.size()) + "))"
                                                : "substr(name,1," + std::to_string(k.size()) + ")";
        const std::string key = caseInsensitive ? "up(" + Hex(k) + ")" : Hex(k);
        const bool negated = rng_() % 2;
        std::string sql = "(name IS NOT NULL AND " + sub + " = " + key + ")";
        return {"Name " + std::string(negated ? "<>" : "=") + " '" + k + "*'", negated ? "NOT " + sql : sql};
      }
      case 3: {
        if (caseInsensitive) break;
        const std::string p = Pattern();
        const bool negated = rng_() % 2;
        std::string sql = "(name IS NOT NULL AND plain(name) GLOB plain(" + Hex(Glob(p)) + "))";
        return {"Name " + std::string(negated ? "NOT LIKE" : "LIKE") + " '" + p + "'", negated ? "NOT " + sql : sql};
      }
      case 4: {
        std::string u;
        for (char ch : k) u += static_cast<char>(UpperByte(static_cast<uint8_t>(ch)));
        if (IsFieldName(u)) u += "B";
        if (ordered)
          return {"UPPER(Name) " + std::string(op) + " '" + u + "'",
                  std::string("(name IS NOT NULL AND up(name) ") + op + " " + Hex(u) + ")"};
        return {"UPPER(Name) " + std::string(op) + " '" + u + "'",
                op[0] == '=' ? "(name IS NOT NULL AND up(name) = " + Hex(u) + ")"
                             : "(name IS NULL OR up(name) <> " + Hex(u) + ")"};
      }
      case 5: {
        if (caseInsensitive) break;
        std::string k2 = Constant();
        return {"Name IN ('" + k + "', '" + k2 + "')", "(name IS NOT NULL AND name IN (" + Hex(k) + "," + Hex(k2) + "))"};
      }
      default: {
        const bool negated = rng_() % 2;
        return {std::string("Name IS ") + (negated ? "NOT NULL" : "NULL"),
                std::string("name IS ") + (negated ? "NOT NULL" : "NULL")};
      }
    }
    return {"Name IS NULL", "name IS NULL"};
  }

  TCondition Condition(int depth, bool caseInsensitive) {
    if (depth == 0 || rng_() % 3 == 0) return Atom(caseInsensitive);
    switch (rng_() % 3) {
      case 0: {
        TCondition inner = Condition(depth - 1, caseInsensitive);
        return {"NOT (" + inner.Ours + ")", "(NOT " + inner.Sql + ")"};
      }
      default: {
        // Unbracketed on our side: AND binds tighter than OR.
        TCondition a = Condition(depth - 1, caseInsensitive), b = Condition(depth - 1, caseInsensitive),
                   c = Condition(depth - 1, caseInsensitive);
        const char* first = rng_() % 2 ? "AND" : "OR";
        const char* second = rng_() % 2 ? "AND" : "OR";
        return {"(" + a.Ours + " " + first + " " + b.Ours + " " + second + " " + c.Ours + ")",
                "(" + a.Sql + " " + first + " " + b.Sql + " " + second + " " + c.Sql + ")"};
      }
    }
  }

  void SetOrder(TDataCursor& c, const char* name) { c.SwitchToIndex(name); }

  // Our visible set against SQLite's selection, with the differing rows on failure.
  void ExpectSelects(const std::vector<int32_t>& ours, const std::string& where, const char* what) {
    const std::set<int32_t> expected = SqlIds(where);
    const std::set<int32_t> got(ours.begin(), ours.end());
    if (got == expected && got.size() == ours.size()) return;
    std::string diff;
    for (int32_t id : got)
      if (!expected.count(id)) diff += " +" + RowText(id);
    for (int32_t id : expected)
      if (!got.count(id)) diff += " -" + RowText(id);
    ADD_FAILURE() << what << ": rows" << diff;
  }

  std::mt19937 rng_{static_cast<uint32_t>(std::atoi(std::getenv("FR_SEED") ? std::getenv("FR_SEED") : "20261210"))};
  int32_t nextId_ = 1;
  std::unique_ptr<TDataCursor> scanned_;
  bool moneyAtoms_ = false;  // comparisons on the BCD field C
  // Random conditions, each answered from the indexes and by reading every record.
  void RandomRounds(int rounds);
};

TEST_F(FilterFieldTypesTest, RandomConditionsAgreeWithSqliteAndWithAFullScan) { RandomRounds(800); }

// The index range of a money field whose scale is not 4 is keyed at the field's own scale, not
// in the constant's ten-thousandths (C = 0.43 on a two-decimal field once found nothing through
// its index, and C >= -1.4 every value).
TEST_F(FilterFieldTypesTest, MoneyComparisonsAnsweredFromAnIndexAgreeWithAScan) {
  // Stored in hundredths: -1.40, 0.43, 2.29 and a NULL.
  const std::optional<int64_t> values[] = {-140, 43, 229, std::nullopt};
  for (const auto& v : values) {
    TRow r;
    r.Id = nextId_++;
    r.C = v;
    Insert(r);
  }
  const std::pair<const char*, std::vector<int32_t>> cases[] = {
      {"C = 0.43", {2}}, {"C >= -1.4", {1, 2, 3}}, {"C < 0.43", {1}}, {"C BETWEEN 0 AND 3", {2, 3}}, {"C > 2.29", {}},
      // Constants between two values the field can hold.
      {"C = 0.429", {}}, {"C < 0.429", {1}}, {"C <= 0.431", {1, 2}}, {"C > 0.429", {2, 3}},
      {"C >= -1.405", {1, 2, 3}}, {"C > -1.395", {2, 3}}, {"C < -1.395", {1}},
      {"C BETWEEN 0.425 AND 2.295", {2, 3}}};
  for (const auto& [text, expected] : cases) {
    cursor_->ActivateFilter(cursor_->AddFilter(nullptr, text, false, false, false, false));
    EXPECT_EQ(Scan(*cursor_), expected) << text;
    cursor_->DropFilter(nullptr);
  }
  moneyAtoms_ = true;
  RandomRounds(300);
}

void FilterFieldTypesTest::RandomRounds(int rounds) {
  Populate(160);
  scanned_ = OpenCursor();
  scanned_->Filters().Tuning.ForceScan = true;
  scanned_->Filters().Tuning.DisableComplement = true;
  for (int round = 0; round < rounds && !HasFailure(); ++round) {
    const bool caseInsensitive = rng_() % 4 == 0;
    const bool complement = rng_() % 2;
    const TCondition condition = Condition(2 + round % 2, caseInsensitive);
    const char* order = kOrders[rng_() % std::size(kOrders)];
    SCOPED_TRACE(condition.Ours + "  [sql: " + condition.Sql + "] order '" + order + "'" +
                 (caseInsensitive ? " ci" : "") + (complement ? " complement" : ""));
    SetOrder(*cursor_, order);
    SetOrder(*scanned_, order);
    TFilter* f = nullptr;
    ASSERT_EQ(testing::ErrorCode([&] { f = cursor_->AddFilter(nullptr, condition.Ours, false, caseInsensitive, complement, false); }), 0);
    cursor_->ActivateFilter(f);
    scanned_->ActivateFilter(scanned_->AddFilter(nullptr, condition.Ours, false, caseInsensitive, false, false));
    const std::vector<int32_t> ours = Scan(*cursor_);
    const std::vector<int32_t> scanned = Scan(*scanned_);
    ExpectSelects(scanned, condition.Sql, "full scan");
    EXPECT_EQ(ours, scanned) << "index-answered";
    EXPECT_EQ(cursor_->GetRecordCount(), static_cast<int32_t>(scanned.size()));
    cursor_->DropFilter(nullptr);
    scanned_->DropFilter(nullptr);
  }
}

// Inserts, updates and deletes through a filtered cursor update one record's bits; the visible set must
// stay what SQLite selects, on this cursor and on a second one over the same table.
TEST_F(FilterFieldTypesTest, EditsThroughAFilteredCursorKeepItsSelection) {
  Populate(60);
  scanned_ = OpenCursor();
  scanned_->Filters().Tuning.ForceScan = true;
  for (int round = 0; round < 40 && !HasFailure(); ++round) {
    const bool caseInsensitive = rng_() % 4 == 0;
    const TCondition condition = Condition(2, caseInsensitive);
    SCOPED_TRACE(condition.Ours + "  [sql: " + condition.Sql + "]" + (caseInsensitive ? " ci" : ""));
    SetOrder(*cursor_, kOrders[rng_() % std::size(kOrders)]);
    cursor_->ActivateFilter(cursor_->AddFilter(nullptr, condition.Ours, false, caseInsensitive, rng_() % 2, false));
    scanned_->ActivateFilter(scanned_->AddFilter(nullptr, condition.Ours, false, caseInsensitive, false, false));
    for (int edit = 0; edit < 12; ++edit) {
      const std::vector<int32_t> visible = Scan(*cursor_);
      const int kind = static_cast<int>(rng_() % 3);
      if (kind < 2 && !visible.empty()) {
        const int32_t id = visible[rng_() % visible.size()];
        std::vector<uint8_t> b(cursor_->GetRecordSize());
        cursor_->InitRecord(b.data());
        cursor_->SetFieldData(1, b.data(), &id);
        SetOrder(*cursor_, "");
        ASSERT_TRUE(cursor_->FindKey(b.data(), false, b.data(), 0, false, 1)) << id;
        if (kind == 0) {
          cursor_->DeleteRecord(b.data(), true);
          Exec("DELETE FROM t WHERE id=" + std::to_string(id));
        } else {
          // New values for every field but the key: the record may leave the filter.
          TRow r = RandomRow();
          --nextId_;
          r.Id = id;
          Fill(b, r);
          cursor_->ModifyRecord(b.data(), true, true);
          Exec("DELETE FROM t WHERE id=" + std::to_string(id));
          Exec("INSERT INTO t VALUES(" + SqlValues(r) + ")");
        }
      } else {
        Insert(RandomRow());
      }
      ExpectSelects(Scan(*cursor_), condition.Sql, "after an edit");
    }
    ExpectSelects(Scan(*scanned_), condition.Sql, "second cursor");
    cursor_->DropFilter(nullptr);
    scanned_->DropFilter(nullptr);
  }
}

// Two filters on one cursor, the second possibly narrowed by the first: the visible set is their
// AND; switching the first off or on again, or reading in physical order, keeps it right.
TEST_F(FilterFieldTypesTest, StackedFiltersSelectTheirConjunction) {
  Populate(120);
  for (int round = 0; round < 150 && !HasFailure(); ++round) {
    const TCondition first = Condition(1, false), second = Condition(1, false);
    const bool narrow = rng_() % 2;
    SCOPED_TRACE(first.Ours + " / " + second.Ours + (narrow ? " narrowed" : ""));
    if (rng_() % 4 == 0) cursor_->SetIndexNumber(kPhysicalOrder);
    else SetOrder(*cursor_, kOrders[rng_() % std::size(kOrders)]);
    TFilter* f = cursor_->AddFilter(nullptr, first.Ours, false, false, rng_() % 2, false);
    cursor_->ActivateFilter(f);
    TFilter* g = cursor_->AddFilter(nullptr, second.Ours, false, false, rng_() % 2, narrow);
    cursor_->ActivateFilter(g);
    ExpectSelects(Scan(*cursor_), first.Sql + " AND " + second.Sql, "both");
    cursor_->DeactivateFilter(f);
    ExpectSelects(Scan(*cursor_), second.Sql, "second alone");
    cursor_->ActivateFilter(f);
    ExpectSelects(Scan(*cursor_), first.Sql + " AND " + second.Sql, "both again");
    cursor_->DropFilter(g);
    ExpectSelects(Scan(*cursor_), first.Sql, "first alone");
    cursor_->DropFilter(nullptr);
  }
}

// A key range and a filter together: the records inside the range that pass the filter.
TEST_F(FilterFieldTypesTest, KeyRangeAndFilterTogether) {
  Populate(120);
  struct TRangeCase {
    const char* Order;
    uint32_t Field;
    const char* Column;
  };
  const TRangeCase cases[] = {{"ByS", 2, "s"}, {"ByF", 4, "f"}, {"ByName", 6, "name"}, {"ByD", 7, "d"}};
  for (int round = 0; round < 80 && !HasFailure(); ++round) {
    const TRangeCase& c = cases[rng_() % std::size(cases)];
    TRow low = RandomRow(), high = RandomRow();
    nextId_ -= 2;
    if (c.Field == 6 && (low.Name.empty() || high.Name.empty())) continue;
    const TCondition condition = Condition(1, false);
    std::vector<uint8_t> lo(cursor_->GetRecordSize()), hi(cursor_->GetRecordSize());
    cursor_->InitRecord(lo.data());
    cursor_->InitRecord(hi.data());
    Fill(lo, low);
    Fill(hi, high);
    // Both ends as SQLite values, read back from the buffers' rows.
    const std::string lows = SqlValues(low), highs = SqlValues(high);
    auto column = [&](const std::string& values) {
      size_t start = 0;
      for (uint32_t i = 1; i < c.Field; ++i) start = values.find(',', start) + 1;
      return values.substr(start, values.find(',', start) - start);
    };
    const std::string from = column(lows), to = column(highs);
    if (from == "NULL" || to == "NULL") continue;
    SCOPED_TRACE(std::string(c.Order) + " " + from + ".." + to + " " + condition.Ours);
    SetOrder(*cursor_, c.Order);
    cursor_->ActivateFilter(cursor_->AddFilter(nullptr, condition.Ours, false, false, rng_() % 2, false));
    cursor_->SetRange(false, lo.data(), 1, hi.data(), 1);
    ExpectSelects(Scan(*cursor_),
                  std::string("(") + c.Column + " BETWEEN " + from + " AND " + to + ") AND " + condition.Sql, "range");
    cursor_->CancelRange();
    ExpectSelects(Scan(*cursor_), condition.Sql, "range cancelled");
    cursor_->DropFilter(nullptr);
  }
}

// Token soup: every text either becomes a filter or is refused with the filter error; nothing
// else escapes, and what is accepted can be answered.
TEST_F(FilterFieldTypesTest, MalformedTextIsRefusedCleanly) {
  Populate(20);
  static const char* const tokens[] = {
      "A", "S", "W", "F", "Name", "Id", "(", ")", "(", ")", "=", "<>", "<", ">=", "+", "-", "*", "/", "||", "|",
      "AND", "OR", "NOT", "IN", "BETWEEN", "LIKE", "IS", "NULL", "TRUE", "'b'", "'a*'", "'%'", "''", "'", "\"",
      ",", "1", "2.5", "-3", "1e5", "#65", "#", "[A]", "[", "UPPER", "SUBSTRING", "FROM", "FOR", "IF", "THEN",
      "ELSE", "CAST", "AS", "INTEGER", "EXTRACT", "TRIM", "BOTH", "ROUND", "TO", "ABS", "POS", "REPLACE", "WITH",
      "SUM", "COUNT", "?", ".", "A.B", "99999999999999999999", "\xE9", "CURRENT_DATE", "OCCURS", "LOWER", "TRAILING"};
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const size_t n = 1 + rng_() % 12;
    for (size_t i = 0; i < n; ++i) text += std::string(tokens[rng_() % std::size(tokens)]) + (rng_() % 4 ? " " : "");
    SCOPED_TRACE(text);
    int code = 0;
    try {
      TFilter* f = cursor_->AddFilter(nullptr, text, false, rng_() % 2, rng_() % 2, false);
      cursor_->ActivateFilter(f);
      EXPECT_LE(Scan(*cursor_).size(), 20u);
    } catch (const EFenEngineError& e) {
      code = e.Code();
    }
    if (code != 0) {
      EXPECT_EQ(code, 10051);
    }
    cursor_->DropFilter(nullptr);
  }
}

}  // namespace
}  // namespace tovenmarsh::engine
