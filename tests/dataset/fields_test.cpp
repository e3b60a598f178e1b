// Field value conversions per field class: texts, integers, floats, Booleans, dates, nulls,
// ranges and the errors with their texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "dataset/database_error.h"
#include "dataset/time_stamp.h"
#include "platform/date_time.h"
#include "support/memory_data_set.h"

namespace tovenmarsh::dataset::testing {
namespace {

class FieldsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto Column = [](const char* name, TFieldType type, int size) {
      TMemoryColumn column;
      column.Name = name;
      column.Type = type;
      column.Size = size;
      return column;
    };
    table = std::make_shared<TMemoryTable>(std::vector<TMemoryColumn>{
        Column("s", ftString, 5),
        Column("si", ftSmallint, 0),
        Column("i", ftInteger, 0),
        Column("w", ftWord, 0),
        Column("f", ftFloat, 0),
        Column("c", ftCurrency, 0),
        Column("bcd", ftBCD, 2),
        Column("b", ftBoolean, 0),
        Column("d", ftDate, 0),
        Column("t", ftTime, 0),
        Column("dt", ftDateTime, 0),
        Column("by", ftBytes, 4),
        Column("vb", ftVarBytes, 6),
        Column("m", ftMemo, 0),
        Column("ai", ftAutoInc, 0)});
    ds = std::make_unique<TMemoryDataSet>(table);
    ds->Open();
    ds->Append();
  }
  TField& F(const char* name) { return ds->FieldByName(name); }
  std::string Error(std::function<void()> fn) {
    try {
      fn();
    } catch (const platform::Exception& e) {
      return e.Message();
    }
    return "(no exception)";
  }
  std::shared_ptr<TMemoryTable> table;
  std::unique_ptr<TMemoryDataSet> ds;
};

TEST_F(FieldsTest, DefaultFieldClassesFollowTheDefinitions) {
  EXPECT_EQ(ds->FieldCount(), 15);
  EXPECT_NE(dynamic_cast<TStringField*>(&F("s")), nullptr);
  EXPECT_NE(dynamic_cast<TIntegerField*>(&F("ai")), nullptr);
  EXPECT_NE(dynamic_cast<TBCDField*>(&F("bcd")), nullptr);
  EXPECT_NE(dynamic_cast<TBlobField*>(&F("m")), nullptr);
  EXPECT_EQ(F("s").DataSize(), 6);
  EXPECT_EQ(F("si").DataSize(), 2);
  EXPECT_EQ(F("vb").DataSize(), 8);
  EXPECT_EQ(F("i").FieldNo(), 3);
  EXPECT_EQ(F("I").FieldName(), "i");  // names compare without regard to case
}

struct TextCase {
  const char* field;
  const char* input;
  const char* asString;  // expected text afterwards, or the error
  bool error;
};

TEST_F(FieldsTest, TextInputPerFieldClass) {
  const TextCase cases[] = {
      {"s", "abc", "abc", false},
      {"s", "abcdefgh", "abcde", false},  // cut to the size
      {"si", " -32768 ", "-32768", false},
      {"si", "32768", "32768 is not a valid value for field 'si'. The allowed range is -32768 to 32767", true},
      {"i", "2147483647", "2147483647", false},
      {"i", "2147483648", "2147483648 is not a valid value for field 'i'. The allowed range is -2147483648 to 2147483647", true},
      {"i", "12x", "'12x' is not a valid integer value for field 'i'", true},
      {"w", "65535", "65535", false},
      {"w", "-1", "-1 is not a valid value for field 'w'. The allowed range is 0 to 65535", true},
      {"f", "1.5", "1.5", false},
      {"f", "1e300", "1E300", false},
      {"f", "abc", "'abc' is not a valid floating point value for field 'f'", true},
      {"c", "12.25", "12.25", false},
      {"bcd", "12.34567", "12.3457", false},
      {"bcd", "x", "'x' is not a valid floating point value for field 'bcd'", true},
      {"b", "t", "True", false},
      {"b", "FALSE", "False", false},
      {"b", "yes", "'yes' is not a valid boolean value for field 'b'", true},
      {"d", "2026-12-10", "2026-12-10", false},
      {"d", "2026-13-10", "'2026-13-10' is not a valid date and time value for field 'd'", true},
      {"t", "13:45:10", "13:45:10", false},
      {"dt", "2026-12-10 13:45:10", "2026-12-10 13:45:10", false},
      {"dt", "1899-12-30", "1899-12-30", false},
      {"by", "ab", "ab", false},  // checked below with its zero padding
      {"vb", "xyz", "xyz", false},
      {"m", "memo", "memo", false},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(std::string(c.field) + " <- " + c.input);
    TField& f = F(c.field);
    f.Clear();
    if (c.error) {
      EXPECT_EQ(Error([&] { f.SetAsString(c.input); }), c.asString);
      EXPECT_TRUE(f.IsNull());  // a refused value writes nothing
    } else {
      f.SetAsString(c.input);
      if (std::string(c.field) == "by")
        EXPECT_EQ(f.AsString(), std::string("ab\0\0", 4));
      else
        EXPECT_EQ(f.AsString(), c.asString);
      EXPECT_FALSE(f.IsNull());
    }
  }
}

TEST_F(FieldsTest, EmptyTextAndClearGiveNull) {
  const char* names[] = {"s", "si", "i", "w", "f", "c", "bcd", "b", "d", "t", "dt", "by", "vb", "m"};
  for (const char* name : names) {
    SCOPED_TRACE(name);
    TField& f = F(name);
    f.SetAsString(std::string(name) == "b" ? "True" : (std::string(name) == "d" ? "2000-01-02" : "1"));
    EXPECT_FALSE(f.IsNull());
    f.SetAsString("");
    EXPECT_TRUE(f.IsNull());
    EXPECT_EQ(f.AsString(), "");
    EXPECT_TRUE(f.Value().IsNull());
  }
  F("i").SetAsInteger(5);
  F("i").Clear();
  EXPECT_TRUE(F("i").IsNull());
  EXPECT_EQ(F("i").AsInteger(), 0);
  EXPECT_EQ(F("f").AsFloat(), 0.0);
  EXPECT_FALSE(F("b").AsBoolean());
  EXPECT_EQ(F("dt").AsDateTime(), 0.0);
}

TEST_F(FieldsTest, CrossTypeViews) {
  F("s").SetAsInteger(-42);
  EXPECT_EQ(F("s").AsInteger(), -42);
  EXPECT_EQ(F("s").AsFloat(), -42.0);
  F("s").SetAsString("Yes");
  EXPECT_TRUE(F("s").AsBoolean());
  EXPECT_EQ(Error([&] { F("s").AsInteger(); }), "'Yes' is not a valid integer value for field 's'");

  F("i").SetAsFloat(2.5);  // rounds half away from zero
  EXPECT_EQ(F("i").AsInteger(), 3);
  F("i").SetAsFloat(-2.5);
  EXPECT_EQ(F("i").AsInteger(), -3);
  EXPECT_EQ(F("i").AsFloat(), -3.0);
  EXPECT_EQ(Error([&] { F("i").AsBoolean(); }), "Cannot access field 'i' as type Boolean");
  EXPECT_EQ(Error([&] { F("i").SetAsDateTime(1); }), "Cannot access field 'i' as type DateTime");
  EXPECT_EQ(Error([&] { F("b").AsInteger(); }), "Cannot access field 'b' as type Integer");

  F("f").SetAsInteger(7);
  EXPECT_EQ(F("f").AsString(), "7");
  F("f").SetAsFloat(1e10);
  EXPECT_EQ(Error([&] { F("f").AsInteger(); }), "'10000000000' is not a valid integer value for field 'f'");

  F("bcd").SetAsFloat(-1.23456);
  EXPECT_EQ(static_cast<TBCDField&>(F("bcd")).AsCurrency(), -12346);
  EXPECT_EQ(F("bcd").AsString(), "-1.2346");
  EXPECT_EQ(F("bcd").AsInteger(), -1);

  F("b").SetAsBoolean(true);
  EXPECT_EQ(F("b").AsString(), "True");
  int16_t raw = 0;
  EXPECT_TRUE(F("b").GetData(&raw));
  EXPECT_EQ(raw, 1);

  F("si").SetAsInteger(-2);
  int16_t small = 0;
  F("si").GetData(&small);
  EXPECT_EQ(small, -2);
  F("w").SetAsInteger(65535);
  EXPECT_EQ(F("w").AsInteger(), 65535);
}

TEST_F(FieldsTest, DateTimeValueForms) {
  platform::TDateTime when = platform::EncodeDate(2026, 12, 10) + platform::EncodeTime(13, 45, 10, 250);
  F("dt").SetAsDateTime(when);
  F("d").SetAsDateTime(when);
  F("t").SetAsDateTime(when);
  double ms = 0;
  F("dt").GetData(&ms);
  TTimeStamp stamp = DateTimeToTimeStamp(when);
  EXPECT_EQ(ms, static_cast<double>(stamp.Date) * 86400000.0 + stamp.Time);
  int32_t day = 0, time = 0;
  F("d").GetData(&day);
  F("t").GetData(&time);
  EXPECT_EQ(day, 693594 + 46366);  // 2026-12-10 is day 46366 after 1899-12-30
  EXPECT_EQ(time, ((13 * 60 + 45) * 60 + 10) * 1000 + 250);
  EXPECT_NEAR(F("dt").AsDateTime(), when, 1e-9);
  EXPECT_EQ(F("d").AsDateTime(), std::floor(when));
  EXPECT_NEAR(F("t").AsDateTime(), when - std::floor(when), 1e-9);
  EXPECT_EQ(F("dt").Value().GetKind(), TVariant::Kind::DateTime);

  // Days before 1899-12-30 keep their time counted away from zero.
  platform::TDateTime old = -1.25;  // 1899-12-29 06:00
  F("dt").SetAsDateTime(old);
  EXPECT_NEAR(F("dt").AsDateTime(), old, 1e-9);
  EXPECT_EQ(Error([&] { F("dt").SetAsFloat(1e12); }).substr(0, 1), "'");
}

TEST_F(FieldsTest, VariantValuesAndRanges) {
  F("i").SetValue(TVariant(int64_t{12}));
  EXPECT_EQ(F("i").Value(), TVariant(12));
  F("i").SetValue(TVariant("13"));
  EXPECT_EQ(F("i").AsInteger(), 13);
  F("i").SetValue(TVariant());
  EXPECT_TRUE(F("i").IsNull());
  F("s").SetValue(TVariant(1.5));
  EXPECT_EQ(F("s").AsString(), "1.5");
  F("b").SetValue(TVariant(true));
  EXPECT_EQ(F("b").Value(), TVariant(true));

  auto& i = static_cast<TIntegerField&>(F("i"));
  i.MinValue = 1;
  i.MaxValue = 10;
  EXPECT_EQ(Error([&] { i.SetAsInteger(11); }), "11 is not a valid value for field 'i'. The allowed range is 1 to 10");
  i.SetAsInteger(10);
  EXPECT_EQ(i.AsInteger(), 10);

  // Validation runs before the value is written and can refuse it.
  F("s").OnValidate = [](TField& f) {
    if (f.DataSet()->State() == TDataSetState::dsInsert) throw EDatabaseError("refused");
  };
  EXPECT_EQ(Error([&] { F("s").SetAsString("zz"); }), "refused");
  EXPECT_EQ(F("s").AsString(), "1.5");
  int changes = 0;
  F("i").OnChange = [&](TField&) { ++changes; };
  F("i").SetAsInteger(3);
  EXPECT_EQ(changes, 1);
}

TEST_F(FieldsTest, DisplayNamesInMessages) {
  F("i").SetDisplayLabel("Number");
  EXPECT_EQ(Error([&] { F("i").SetAsString("q"); }), "'q' is not a valid integer value for field 'Number'");
  ds->Cancel();
  EXPECT_EQ(Error([&] { F("i").SetAsInteger(1); }), "Dataset not in edit or insert mode");
}

TEST(TimeStampTest, RoundTripsToTheMillisecond) {
  for (double t : {0.0, 1.5, 46366.573, -1.25, -693593.0, 2958465.99999}) {
    TTimeStamp s = DateTimeToTimeStamp(t);
    EXPECT_GE(s.Time, 0);
    EXPECT_LT(s.Time, 86400000);
    EXPECT_NEAR(TimeStampToDateTime(s), t, 1e-8) << t;
    TTimeStamp back = MSecsToTimeStamp(TimeStampToMSecs(s));
    EXPECT_EQ(back.Date, s.Date);
    EXPECT_EQ(back.Time, s.Time);
  }
  EXPECT_EQ(DateTimeToTimeStamp(0).Date, 693594);
  EXPECT_EQ(DateTimeToTimeStamp(-693593).Date, 1);  // 0001-01-01
}

}  // namespace
}  // namespace tovenmarsh::dataset::testing
