// The statement object: consumed characters over scripts, parameter collection and binding by
// position, sub-select registration, nesting limits and the format settings around parsing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/base/engine_error.h"
#include "engine/table/directory.h"
#include "engine/base/engine_locale.h"
#include "engine/table/session.h"
#include "engine/format/field_desc.h"
#include "sql/query_statement.h"
#include "sql/support/statement_dump.h"

namespace {

using tovenmarsh::engine::EFenEngineError;
using tovenmarsh::engine::FieldDesc;
using tovenmarsh::engine::TExpToken;
using tovenmarsh::sql::TQueryStatement;
using tovenmarsh::sql::testing::EnsureEngineLibrary;
using tovenmarsh::sql::testing::PrepareText;

std::string ErrorOf(const std::function<void()>& work) {
  try {
    work();
  } catch (const EFenEngineError& e) {
    return std::to_string(e.Code()) + ": " + e.Names().ExtraText;
  }
  return "no error";
}

// Runs a script statement by statement the way the query data set does, recording each
// statement's kind and the characters it consumed.
std::vector<std::string> RunScript(const std::string& script) {
  EnsureEngineLibrary();
  std::vector<std::string> steps;
  size_t consumed = 0;
  while (consumed < script.size()) {
    TQueryStatement statement(nullptr);
    size_t before = consumed;
    statement.Prepare(std::string_view(script).substr(consumed), consumed);
    steps.push_back(std::to_string(statement.MainQuery()->Kind) + "@" +
                    std::to_string(consumed - before));
    if (consumed == before) break;
  }
  return steps;
}

TEST(SqlStatement, PrepareReportsConsumedCharactersOfAScript) {
  size_t consumed = 0;
  EXPECT_EQ(PrepareText("SELECT * FROM a; DELETE FROM b", &consumed),
            "Q0{SELECT cols[*] from[a a#1]}");
  EXPECT_EQ(consumed, std::string("SELECT * FROM a; ").size());

  struct {
    const char* Script;
    std::vector<std::string> Steps;
  } cases[] = {
      {"SELECT * FROM a; DELETE FROM b", {"1@17", "4@13"}},
      {"DELETE FROM b;", {"4@14"}},
      {"DELETE FROM b ;  \r\n\t ", {"4@21"}},
      {"CREATE TABLE t (a INTEGER);\nINSERT INTO t VALUES (1);\n/* done */ DROP TABLE t",
       {"5@28", "2@37", "7@12"}},
      {"UPDATE t SET a = ';' WHERE b = 'x;y';SELECT 1 FROM t", {"3@37", "1@15"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(RunScript(c.Script), c.Steps) << c.Script;
  }
}

TEST(SqlStatement, ParametersAreCollectedInBindingOrder) {
  EnsureEngineLibrary();
  // Each collected parameter is turned into the integer constant of its binding position, so
  // the dump shows where every position lands.
  struct {
    const char* Text;
    const char* Numbered;
  } cases[] = {
      {"SELECT * FROM a WHERE x IN (SELECT y FROM b WHERE z = ?) AND w = ?",
       "Q0{SELECT cols[*] from[a a#1] where(AND (IN x SUBSELECT) (= w 1))} "
       "Q1{SELECT cols[y] from[b b#1] where(= z 2)}"},
      {"SELECT * FROM a JOIN b ON a.k = ? WHERE c = ? AND d BETWEEN ? AND ? OR ? IN (?, ?)",
       "Q0{SELECT cols[*] from[a a#1, b b#2] multi where(AND (= a.k 1) (OR (AND (= c 2) "
       "(BETWEEN d 3 4)) (IN 5 6 7)))}"},
      {"UPDATE t SET a = ?, b = SUBSTRING(? FROM ? FOR ?) WHERE c = ?",
       "Q0{UPDATE from[t t#1] targets[a, b] values[1'?', (SUBSTRING 2 3 4)'SUBSTRING(? FROM ? "
       "FOR ?)'] where(= c 5)}"},
      {"INSERT INTO t SELECT * FROM s WHERE a = ?",
       "Q0{INSERT from[t t#1] targets[*] insert-select} Q1{SELECT cols[*] from[s s#1] "
       "where(= a 1)}"},
  };
  for (const auto& c : cases) {
    TQueryStatement statement(nullptr);
    size_t consumed = 0;
    statement.Prepare(c.Text, consumed);
    int position = 0;
    for (TExpToken* node : statement.Parameters()) {
      node->IsParameter = false;
      node->DataType = 6;
      node->SetDataSize(4);
      node->Put<int32_t>(++position);
    }
    EXPECT_EQ(tovenmarsh::sql::testing::DumpStatement(statement), c.Numbered) << c.Text;
  }
}

// A parameter buffer: has-value byte then value, at the descriptor's offset.
struct TParamBuffer {
  std::vector<FieldDesc> Descriptors;
  std::vector<uint8_t> Bytes;

  void Add(uint8_t type, uint8_t size, bool hasValue, const void* value, size_t n,
           uint8_t dataSize = 0, uint8_t scale = 0) {
    FieldDesc d;
    d.FieldType = type;
    d.Size = size;
    d.PhysicalSize = dataSize;
    d.PhysicalScale = scale;
    d.Offset = static_cast<uint16_t>(Bytes.size());
    Descriptors.push_back(d);
    Bytes.push_back(hasValue ? 1 : 0);
    const auto* p = static_cast<const uint8_t*>(value);
    Bytes.insert(Bytes.end(), p, p + n);
  }
};

TEST(SqlStatement, SetParamsBindsValuesByPosition) {
  EnsureEngineLibrary();
  TQueryStatement statement(nullptr);
  size_t consumed = 0;
  statement.Prepare(
      "SELECT * FROM t WHERE a = ? AND b = ? AND c = ? AND d = ? AND e = ? AND f = ? AND g = ?",
      consumed);
  ASSERT_EQ(statement.Parameters().size(), 7u);

  TParamBuffer buffer;
  int32_t number = -42;
  buffer.Add(6, 0, true, &number, sizeof number);
  char text[11] = "hello";
  buffer.Add(1, 10, true, text, sizeof text);
  // NULL: the bytes after the has-value byte are garbage, including a wild BLOB pointer.
  uint8_t garbage[12];
  std::memset(garbage, 0xAB, sizeof garbage);
  buffer.Add(3, 0, false, garbage, sizeof garbage);
  std::string blob("\x00\x01\x02zz", 5);
  uint32_t length = static_cast<uint32_t>(blob.size());
  const char* pointer = blob.data();
  uint8_t blobValue[sizeof length + sizeof pointer];
  std::memcpy(blobValue, &length, sizeof length);
  std::memcpy(blobValue + sizeof length, &pointer, sizeof pointer);
  buffer.Add(3, 0, true, blobValue, sizeof blobValue);

  // The query data set's form: the data size and scale in the physical slots.
  buffer.Add(1, 0, true, "hi", 3, 3);
  int64_t bcd = 0x1234;
  buffer.Add(8, 0, true, &bcd, sizeof bcd, 8, 4);

  ASSERT_EQ(statement.SetParams(6, buffer.Descriptors.data(), buffer.Bytes.data(),
                                buffer.Bytes.size()),
            0);
  const auto& p = statement.Parameters();
  EXPECT_FALSE(p[0]->IsNull);
  EXPECT_EQ(p[0]->DataType, 6);
  EXPECT_EQ(p[0]->DataSize, 4);
  EXPECT_EQ(p[0]->Get<int32_t>(), -42);
  EXPECT_EQ(p[1]->DataType, 1);
  EXPECT_EQ(p[1]->DataSize, 11);
  EXPECT_EQ(p[1]->StringValue(), "hello");
  EXPECT_TRUE(p[2]->IsNull);
  EXPECT_EQ(p[2]->DataType, 3);
  EXPECT_FALSE(p[3]->IsNull);
  EXPECT_EQ(p[3]->DataSize, 5);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p[3]->Data), 5), blob);
  EXPECT_EQ(p[4]->DataSize, 3);
  EXPECT_EQ(p[4]->StringValue(), "hi");
  EXPECT_EQ(p[5]->DataType, 8);
  EXPECT_EQ(p[5]->Scale, 4);
  EXPECT_EQ(p[5]->Get<int64_t>(), 0x1234);
  // Fewer values than parameters leave the rest as they were.
  EXPECT_EQ(p[6]->DataType, 0);
  EXPECT_FALSE(p[6]->IsNull);

  // More values than parameters: error 11949 with an empty message.
  TParamBuffer tooMany = buffer;
  for (int i = 0; i < 2; ++i) tooMany.Add(6, 0, true, &number, sizeof number);
  EXPECT_EQ(ErrorOf([&] {
              statement.SetParams(8, tooMany.Descriptors.data(), tooMany.Bytes.data(),
                                tooMany.Bytes.size());
            }),
            "11949: ");
  // A value reaching past the buffer is refused, not read.
  EXPECT_EQ(ErrorOf([&] {
              statement.SetParams(2, buffer.Descriptors.data(), buffer.Bytes.data(), 8);
            }),
            "11949: ");
}

TEST(SqlStatement, SubSelectsAreRegisteredInParseOrder) {
  EnsureEngineLibrary();
  TQueryStatement statement(nullptr);
  size_t consumed = 0;
  statement.Prepare(
      "SELECT a FROM t WHERE a IN (SELECT b FROM u WHERE b NOT IN (SELECT c FROM v)) "
      "OR a IN (SELECT d, e FROM w)",
      consumed);
  ASSERT_EQ(statement.QueryCount(), 4);
  EXPECT_EQ(statement.Query(1)->SourceTables[0]->TableName, "u");
  EXPECT_EQ(statement.Query(2)->SourceTables[0]->TableName, "v");
  EXPECT_EQ(statement.Query(3)->SourceTables[0]->TableName, "w");
  for (int i = 1; i < 4; ++i) {
    EXPECT_TRUE(statement.Query(i)->IsSubSelect);
    EXPECT_TRUE(statement.Query(i)->Writable);
  }
  EXPECT_FALSE(statement.MainQuery()->IsSubSelect);
  EXPECT_EQ(statement.ResultColumnCount(statement.Query(3)), 2);
  // The node of the outer IN points at its query.
  const TExpToken* in = statement.MainQuery()->Condition->Left;
  ASSERT_EQ(in->Right->NodeClass, 6);
  EXPECT_EQ(in->Right->SubQuery, statement.Query(1));

  // Preparing again starts from scratch.
  statement.Prepare("DELETE FROM x", consumed);
  EXPECT_EQ(statement.QueryCount(), 1);
  EXPECT_EQ(tovenmarsh::sql::testing::DumpStatement(statement), "Q0{DELETE from[x x#1]}");
}

TEST(SqlStatement, SourceTablesTakeTheirDirectoryFromTheStatement) {
  EnsureEngineLibrary();
  tovenmarsh::engine::TDataSession session;
  session.LanguageId = 1031;
  tovenmarsh::engine::TDataDirectory directory(&session, &session, "db", "/data/db/", "/data/db/");
  TQueryStatement statement(&directory);
  EXPECT_EQ(statement.LanguageId(), 1031);
  size_t consumed = 0;
  // The tables do not exist: preparing stops at opening them, with the statement parsed.
  EXPECT_THROW(statement.Prepare("SELECT * FROM t, 'x/y/u.dat', MEMORY 'z/m.dat' mm", consumed),
               tovenmarsh::engine::EFenEngineError);
  EXPECT_EQ(tovenmarsh::sql::testing::DumpStatement(statement),
            "Q0{SELECT cols[*] from[/data/db/|t t#1, x/y/|u.dat u#2, MEMORY:m.dat mm#3] multi}");
  EXPECT_EQ(statement.MainQuery()->SourceTables[2]->Path, "Memory");
}

TEST(SqlStatement, OuterClauseKeepsItsContextAfterASubSelect) {
  EXPECT_EQ(PrepareText("SELECT a FROM t WHERE a IN (SELECT b FROM c) AND SUM(x) = 1"),
            "ERROR 11949: Aggregate functions are not allowed in WHERE or JOIN clause");
}

TEST(SqlStatement, NestingIsBounded) {
  std::string nested = "SELECT a FROM t WHERE a = 1";
  for (int i = 0; i < 200; ++i) {
    nested = "SELECT a FROM t WHERE a IN (" + nested + ")";
  }
  EXPECT_EQ(PrepareText(nested).rfind("ERROR 11949: Expression nested too deeply in ", 0), 0u);

  // Many ON clauses build one tall condition; it must stay within the height tree walks allow.
  std::string joins = "SELECT * FROM t0";
  for (int i = 1; i < 600; ++i) {
    joins += " JOIN t" + std::to_string(i) + " ON t" + std::to_string(i) + ".k = t0.k";
  }
  EXPECT_EQ(PrepareText(joins).rfind("ERROR 11949: Expression nested too deeply in ", 0), 0u);
}

TEST(SqlStatement, FormatSettingsAreRestoredOnEveryPath) {
  EnsureEngineLibrary();
  tovenmarsh::engine::TLanguageSettings german;
  tovenmarsh::engine::LoadLanguageSettings(1031, 0, german);
  tovenmarsh::platform::TThreadFormatScope scope(german);
  for (const char* text : {"SELECT * FROM t", "SELECT * FROM", "DROP VIEW v"}) {
    PrepareText(text);
    tovenmarsh::engine::TLanguageSettings now;
    tovenmarsh::engine::SaveLanguageSettings(now);
    EXPECT_EQ(now.ShortDateFormat, german.ShortDateFormat) << text;
    EXPECT_EQ(now.DecimalSeparator, german.DecimalSeparator) << text;
  }
}

}  // namespace
