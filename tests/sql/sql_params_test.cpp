// Query parameters: ":name" markers, the bound form as the statement reads it back into its
// parameter nodes, the stored parameter list, and the list's name rules.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "dataset/database_error.h"
#include "dataset/time_stamp.h"
#include "engine/expr/expr_token.h"
#include "sql/fen_params.h"
#include "sql/query_statement.h"
#include "sql/support/statement_dump.h"

namespace {

namespace ds = tovenmarsh::dataset;
using tovenmarsh::sql::BindParamValues;
using tovenmarsh::sql::ReplaceParamMarkers;
using tovenmarsh::sql::TFenParam;
using tovenmarsh::sql::TFenParams;
using tovenmarsh::sql::TQueryStatement;

std::string DatabaseErrorOf(const std::function<void()>& work) {
  try {
    work();
  } catch (const ds::EDatabaseError& e) {
    return e.what();
  }
  return "no error";
}

std::string Names(const TFenParams& list) {
  std::string out;
  for (int i = 0; i < list.Count(); ++i) out += "[" + list[i].Name + "]";
  return out;
}

TEST(SqlParams, MarkersBecomeQuestionMarksOutsideQuotes) {
  struct {
    const char* Text;
    const char* Replaced;
    const char* Names;
  } cases[] = {
      {"select * from t where a = :a and b = ':b'", "select * from t where a = ? and b = ':b'",
       "[a]"},
      {"x = a::b", "x = a:b", ""},
      {":a::b", "?", "[a::b]"},
      {"x = :a and y = '::'", "x = ? and y = '::'", "[a]"},
      {"x = :\"my name\" and y = 1", "x = ? and y = 1", "[my name]"},
      {"x = :':q'", "x = ?", "[:q]"},
      {"x = :", "x = ?", "[]"},
      {"f(:a,:b);\n:c\r:d)", "f(?,?);\n?\r?)", "[a][b][c][d]"},
      {"\"col:x\" = :v", "\"col:x\" = ?", "[v]"},
      {"'it''s :not' || :yes", "'it''s :not' || ?", "[yes]"},
  };
  for (const auto& c : cases) {
    TFenParams list;
    EXPECT_EQ(ReplaceParamMarkers(c.Text, &list), c.Replaced) << c.Text;
    EXPECT_EQ(Names(list), c.Names) << c.Text;
    for (int i = 0; i < list.Count(); ++i) {
      EXPECT_EQ(list[i].DataType, ds::ftUnknown);
      EXPECT_EQ(list[i].ParamType, ds::TParamType::ptUnknown);
    }
    EXPECT_EQ(ReplaceParamMarkers(c.Text, nullptr), c.Replaced);
  }
}

// Binds the list to a statement with as many parameter markers and answers its nodes.
class BoundStatement {
 public:
  explicit BoundStatement(const TFenParams& params) : statement_(nullptr) {
    tovenmarsh::sql::testing::EnsureEngineLibrary();
    std::string text = "SELECT * FROM t WHERE a = ?";
    for (int i = 1; i < params.Count(); ++i) text += " AND a = ?";
    size_t consumed = 0;
    statement_.Prepare(text, consumed);
    auto bound = BindParamValues(params);
    statement_.SetParams(params.Count(), bound.Descriptors.data(), bound.Buffer.data(),
                         bound.Buffer.size());
  }
  const tovenmarsh::engine::TExpToken& Node(int i) const {
    return *statement_.Parameters()[static_cast<size_t>(i)];
  }

 private:
  TQueryStatement statement_;
};

TEST(SqlParams, ValuesReachTheStatementInTheEncodingOfTheirType) {
  TFenParams params;
  params.Add(ds::TParamType::ptInput, "s", ds::ftUnknown).SetAsString("hello");
  params.Add(ds::TParamType::ptInput, "i", ds::ftUnknown).SetAsInteger(-123456);
  params.Add(ds::TParamType::ptInput, "h", ds::ftUnknown).SetAsSmallInt(-12);
  params.Add(ds::TParamType::ptInput, "w", ds::ftUnknown).SetAsWord(65000);
  params.Add(ds::TParamType::ptInput, "b", ds::ftUnknown).SetAsBoolean(true);
  params.Add(ds::TParamType::ptInput, "f", ds::ftUnknown).SetAsFloat(2.5);
  params.Add(ds::TParamType::ptInput, "m", ds::ftUnknown).SetAsBCD(1234567);  // 123.4567
  const double day = 46365.0;  // 9 December 2026
  params.Add(ds::TParamType::ptInput, "d", ds::ftUnknown).SetAsDate(day);
  params.Add(ds::TParamType::ptInput, "t", ds::ftUnknown).SetAsTime(0.5);
  params.Add(ds::TParamType::ptInput, "ts", ds::ftUnknown).SetAsDateTime(day + 0.25);
  params.Add(ds::TParamType::ptInput, "blob", ds::ftUnknown).SetAsBlob(std::string("a\0b", 3));
  params.Add(ds::TParamType::ptInput, "memo", ds::ftUnknown).SetAsMemo("memo text");
  TFenParam& null = params.Add(ds::TParamType::ptInput, "n", ds::ftInteger);
  null.Clear();
  params.Add(ds::TParamType::ptInput, "long", ds::ftUnknown).SetAsString(std::string(300, 'x'));

  BoundStatement s(params);
  using namespace tovenmarsh::engine;
  EXPECT_EQ(s.Node(0).DataType, fldZString);
  EXPECT_EQ(s.Node(0).StringValue(), "hello");
  EXPECT_EQ(s.Node(1).DataType, fldInt32);
  EXPECT_EQ(s.Node(1).Get<int32_t>(), -123456);
  EXPECT_EQ(s.Node(2).DataType, fldInt16);
  EXPECT_EQ(s.Node(2).Get<int16_t>(), -12);
  EXPECT_EQ(s.Node(3).DataType, fldUInt16);
  EXPECT_EQ(s.Node(3).Get<uint16_t>(), 65000);
  EXPECT_EQ(s.Node(4).DataType, fldBool);
  EXPECT_EQ(s.Node(4).Get<int16_t>(), 1);
  EXPECT_EQ(s.Node(5).DataType, fldFloat);
  EXPECT_EQ(s.Node(5).Get<double>(), 2.5);
  EXPECT_EQ(s.Node(6).DataType, fldBCD);
  EXPECT_EQ(s.Node(6).Scale, 4);
  EXPECT_EQ(s.Node(6).Get<int64_t>(), 1234567);
  EXPECT_EQ(s.Node(7).DataType, fldDate);
  EXPECT_EQ(s.Node(7).Get<int32_t>(), 46365 + ds::kDateDelta);
  EXPECT_EQ(s.Node(8).DataType, fldTime);
  EXPECT_EQ(s.Node(8).Get<int32_t>(), 43200000);
  EXPECT_EQ(s.Node(9).DataType, fldTimeStamp);
  EXPECT_EQ(s.Node(9).Get<double>(), (46365.0 + ds::kDateDelta) * 86400000.0 + 21600000.0);
  EXPECT_EQ(s.Node(10).DataType, fldBlob);
  EXPECT_EQ(s.Node(10).DataSize, 3);
  EXPECT_EQ(std::memcmp(s.Node(10).Data, "a\0b", 3), 0);
  EXPECT_EQ(s.Node(11).DataType, fldBlob);
  EXPECT_EQ(s.Node(11).SubType, fldstMemo);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.Node(11).Data), 9), "memo text");
  EXPECT_TRUE(s.Node(12).IsNull);
  // A text longer than a string field goes whole, as memo text.
  EXPECT_EQ(s.Node(13).DataType, fldBlob);
  EXPECT_EQ(s.Node(13).DataSize, 300);
  for (int i = 0; i < 12; ++i) EXPECT_FALSE(s.Node(i).IsNull) << i;
}

TEST(SqlParams, BindingRefusesParametersWithoutAUsableType) {
  TFenParams params;
  params.Add(ds::TParamType::ptInput, "p1", ds::ftUnknown);
  EXPECT_EQ(DatabaseErrorOf([&] { BindParamValues(params); }), "No value for parameter 'p1'");
  params.Clear();
  params.Add(ds::TParamType::ptInput, "raw", ds::ftBytes);
  EXPECT_EQ(DatabaseErrorOf([&] { BindParamValues(params); }),
            "Field 'raw' is of an unsupported type");
}

TEST(SqlParams, StoredListsReadBackEqual) {
  TFenParams params;
  params.Add(ds::TParamType::ptInput, "s", ds::ftUnknown).SetAsString("text");
  params.Add(ds::TParamType::ptInput, "i", ds::ftUnknown).SetAsInteger(42);
  params.Add(ds::TParamType::ptOutput, "f", ds::ftUnknown).SetAsFloat(-0.125);
  params.Add(ds::TParamType::ptInput, "b", ds::ftUnknown).SetAsBoolean(false);
  params.Add(ds::TParamType::ptInput, "d", ds::ftUnknown).SetAsDateTime(46365.5);
  params.Add(ds::TParamType::ptInput, "blob", ds::ftUnknown).SetAsBlob(std::string("\0\1\2", 3));
  params.Add(ds::TParamType::ptInput, "none", ds::ftUnknown);
  TFenParam& null = params.Add(ds::TParamType::ptInput, "n", ds::ftInteger);
  null.Clear();
  null.Bound = true;

  TFenParams back;
  back.ReadData(params.WriteData());
  ASSERT_EQ(back.Count(), params.Count());
  for (int i = 0; i < params.Count(); ++i) {
    EXPECT_EQ(back[i].Name, params[i].Name);
    EXPECT_EQ(back[i].DataType, params[i].DataType) << i;
    EXPECT_EQ(back[i].ParamType, params[i].ParamType) << i;
    EXPECT_EQ(back[i].IsNull, params[i].IsNull) << i;
    EXPECT_EQ(back[i].Bound, params[i].Bound) << i;
    EXPECT_EQ(back[i].AsString(), params[i].AsString()) << i;
  }
  EXPECT_EQ(back[4].AsDateTime(), 46365.5);
}

TEST(SqlParams, StoredListsOfTheOlderFormRead) {
  // Version 1: 16-bit count, 8-bit name length, 16-bit data length.
  std::vector<uint8_t> data = {1, 0, 2, 0};
  auto add = [&](const std::string& name, uint8_t paramType, uint8_t dataType,
                 std::vector<uint8_t> value, bool isNull, bool bound) {
    data.push_back(static_cast<uint8_t>(name.size()));
    data.insert(data.end(), name.begin(), name.end());
    data.push_back(paramType);
    data.push_back(dataType);
    data.push_back(static_cast<uint8_t>(value.size()));
    data.push_back(0);
    data.insert(data.end(), value.begin(), value.end());
    data.push_back(isNull ? 1 : 0);
    data.push_back(bound ? 1 : 0);
  };
  add("k", 1, ds::ftInteger, {7, 1, 0, 0}, false, true);
  add("s", 1, ds::ftString, {'a', 'b', 0, 'z'}, false, true);
  TFenParams list;
  list.ReadData(data);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list[0].AsInteger(), 263);
  EXPECT_EQ(list[1].AsString(), "ab");

  EXPECT_EQ(DatabaseErrorOf([&] { list.ReadData({3, 0, 0, 0}); }),
            "Unable to load bind parameters");
  data.resize(data.size() - 3);
  EXPECT_EQ(DatabaseErrorOf([&] { list.ReadData(data); }), "Unable to load bind parameters");
}

TEST(SqlParams, DataAbove2048BytesIsNotSaved) {
  TFenParams params;
  params.Add(ds::TParamType::ptInput, "big", ds::ftUnknown).SetAsBlob(std::string(2049, 'b'));
  EXPECT_EQ(DatabaseErrorOf([&] { params.WriteData(); }),
            "Parameter 'big', cannot save data larger than 2048 bytes");
  params[0].SetAsBlob(std::string(2048, 'b'));
  EXPECT_EQ(DatabaseErrorOf([&] { params.WriteData(); }), "no error");
}

TEST(SqlParams, NamesAndCarryingValuesOver) {
  TFenParams list;
  list.Add(ds::TParamType::ptUnknown, "Name", ds::ftUnknown);
  list.Add(ds::TParamType::ptUnknown, "other", ds::ftUnknown);
  EXPECT_EQ(&list.ParamByName("NAME"), &list[0]);
  EXPECT_EQ(DatabaseErrorOf([&] { list.ParamByName("missing"); }),
            "Parameter 'missing' not found");

  TFenParams old;
  old.Add(ds::TParamType::ptInput, "Name", ds::ftUnknown).SetAsInteger(5);
  old.Add(ds::TParamType::ptInput, "OTHER", ds::ftUnknown).SetAsInteger(6);
  list.AssignValues(old);
  EXPECT_EQ(list[0].AsInteger(), 5);
  EXPECT_TRUE(list[0].Bound);
  EXPECT_EQ(list[0].ParamType, ds::TParamType::ptInput);
  // Carrying over compares names exactly.
  EXPECT_FALSE(list[1].Bound);
  EXPECT_EQ(list[1].DataType, ds::ftUnknown);

  TFenParams copy;
  copy.Assign(old);
  EXPECT_TRUE(copy.IsEqual(old));
  copy[1].SetAsInteger(7);
  EXPECT_FALSE(copy.IsEqual(old));
  EXPECT_EQ(copy[1].AsDateTime(), 7.0);
  copy[1].Clear();
  EXPECT_EQ(copy[1].AsDateTime(), 0.0);
}

}  // namespace
