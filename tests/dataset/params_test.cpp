// Parameter lists and variant conversions.
#include <gtest/gtest.h>

#include "dataset/database_error.h"
#include "dataset/params.h"
#include "platform/exception.h"

namespace tovenmarsh::dataset {
namespace {

TEST(ParamsTest, NamesTypesAndValues) {
  TParams params;
  params.CreateParam(ftUnknown, "Name", TParamType::ptInput);
  params.CreateParam(ftInteger, "no", TParamType::ptInput);
  EXPECT_EQ(params.Count(), 2);
  TParam& name = params.ParamByName("NAME");
  EXPECT_FALSE(name.Bound());
  name.SetAsString("abc");
  EXPECT_EQ(name.DataType(), ftString);  // an untyped parameter takes the value's type
  EXPECT_TRUE(name.Bound());
  params.ParamByName("no").SetAsFloat(2.0);
  EXPECT_EQ(params.ParamByName("no").DataType(), ftInteger);  // a typed one keeps its type
  EXPECT_EQ(params.ParamByName("no").AsInteger(), 2);
  name.Clear();
  EXPECT_TRUE(name.IsNull());
  EXPECT_TRUE(name.Bound());
  try {
    params.ParamByName("missing");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Parameter 'missing' not found");
  }
  EXPECT_EQ(params.FindParam("missing"), nullptr);

  TParams other;
  other.CreateParam(ftUnknown, "no", TParamType::ptInput).SetAsInteger(9);
  other.CreateParam(ftUnknown, "extra", TParamType::ptInput).SetAsInteger(1);
  params.AssignValues(other);
  EXPECT_EQ(params.ParamByName("no").AsInteger(), 9);
  EXPECT_EQ(params.Count(), 2);
}

TEST(ParamsTest, VariantConversions) {
  EXPECT_EQ(TVariant("12").AsInteger(), 12);
  EXPECT_EQ(TVariant(" 2.5").AsFloat(), 2.5);
  EXPECT_EQ(TVariant(2.5).AsInteger(), 3);
  EXPECT_EQ(TVariant(int64_t{7}).AsString(), "7");
  EXPECT_TRUE(TVariant("true").AsBoolean());
  EXPECT_FALSE(TVariant("0").AsBoolean());
  EXPECT_EQ(TVariant(true).AsInteger(), -1);
  EXPECT_EQ(TVariant().AsString(), "");
  EXPECT_TRUE(TVariant().IsNull());
  EXPECT_THROW(TVariant("abc").AsInteger(), platform::EConvertError);
  EXPECT_THROW(TVariant("abc").AsBoolean(), platform::EConvertError);
  EXPECT_THROW(TVariant(1e30).AsInteger(), platform::EConvertError);
  EXPECT_EQ(TVariant::FromDateTime(1.5).AsFloat(), 1.5);
  EXPECT_FALSE(TVariant::FromDateTime(1.5) == TVariant(1.5));
}

}  // namespace
}  // namespace tovenmarsh::dataset
