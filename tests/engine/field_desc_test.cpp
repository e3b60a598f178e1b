// Descriptors are byte-exact: golden bytes of a 768-byte field descriptor and a 120-byte index
// descriptor, the size rule and the record layout rule.
#include "engine/format/field_desc.h"

#include <gtest/gtest.h>

#include <vector>

namespace tovenmarsh::engine {
namespace {

using Bytes = std::vector<uint8_t>;

void ExpectZeroExcept(const Bytes& bytes, const std::vector<std::pair<size_t, size_t>>& used) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    bool inUse = false;
    for (auto [from, to] : used) inUse = inUse || (i >= from && i < to);
    if (!inUse) {
      EXPECT_EQ(bytes[i], 0) << "offset " << i;
    }
  }
}

TEST(FieldDesc, GoldenBytes) {
  FieldDesc f;
  f.FieldNumber = 0x0102;
  f.Name = "Name";
  f.Description = "Full name";
  f.FieldType = fldZString;
  f.SubType = fldstFixed;
  f.Size = 40;
  f.Scale = 0;
  ApplySizeRule(f);
  f.Offset = 0x0A09;
  f.Required = true;
  f.Case = ccUpper;
  f.MinValue = "A";
  f.MaxValue = "ZZ";
  f.DefaultValue = "X";
  f.Calculated = true;
  f.Hidden = true;
  f.Descending = true;
  Bytes b(kFieldDescSize, 0xEE);
  EncodeFieldDesc(f, b.data());
  EXPECT_EQ(b[0], 0x02);
  EXPECT_EQ(b[1], 0x01);
  EXPECT_EQ(b[2], 4);
  EXPECT_EQ(std::string(b.begin() + 3, b.begin() + 7), "Name");
  EXPECT_EQ(b[33], 9);
  EXPECT_EQ(std::string(b.begin() + 34, b.begin() + 43), "Full name");
  EXPECT_EQ(b[84], 1);
  EXPECT_EQ(b[85], 31);
  EXPECT_EQ(b[86], 40);
  EXPECT_EQ(b[87], 0);
  EXPECT_EQ(b[88], 41);
  EXPECT_EQ(b[89], 0);
  EXPECT_EQ(b[90], 0x09);
  EXPECT_EQ(b[91], 0x0A);
  EXPECT_EQ(b[92], 1);
  EXPECT_EQ(b[93], 2);
  EXPECT_EQ(b[94], 1);
  EXPECT_EQ(b[95], 'A');
  EXPECT_EQ(b[145], 2);
  EXPECT_EQ(std::string(b.begin() + 146, b.begin() + 148), "ZZ");
  EXPECT_EQ(b[196], 1);
  EXPECT_EQ(b[197], 'X');
  EXPECT_EQ(b[247], 1);
  EXPECT_EQ(b[252], 1);
  EXPECT_EQ(b[253], 1);
  ExpectZeroExcept(b, {{0, 7}, {33, 43}, {84, 96}, {145, 148}, {196, 198}, {247, 248}, {252, 254}});
  EXPECT_EQ(DecodeFieldDesc(b.data()), f);
}

TEST(FieldDesc, LongTextsAreCut) {
  FieldDesc f;
  f.Name = std::string(40, 'N');
  f.Description = std::string(60, 'D');
  f.DefaultValue = std::string(70, 'V');
  Bytes b(kFieldDescSize);
  EncodeFieldDesc(f, b.data());
  FieldDesc back = DecodeFieldDesc(b.data());
  EXPECT_EQ(back.Name, std::string(30, 'N'));
  EXPECT_EQ(back.Description, std::string(50, 'D'));
  EXPECT_EQ(back.DefaultValue, std::string(50, 'V'));
  EXPECT_EQ(b[field_desc_offsets::kFieldType], 0);  // the description did not run over
}

TEST(IndexDesc, GoldenBytes) {
  IndexDesc d;
  d.Name = "ByName";
  d.KeySize = 300;
  d.Descending = true;
  d.CaseInsensitive = true;
  d.Unique = false;
  d.FieldCount = 3;
  d.FieldNumbers = {2, 0x0105, 7};
  Bytes b(kIndexDescSize, 0xEE);
  EncodeIndexDesc(d, b.data());
  EXPECT_EQ(b[0], 6);
  EXPECT_EQ(std::string(b.begin() + 1, b.begin() + 7), "ByName");
  EXPECT_EQ(b[31], 300 & 0xFF);
  EXPECT_EQ(b[32], 300 >> 8);
  EXPECT_EQ(b[33], 1);
  EXPECT_EQ(b[34], 1);
  EXPECT_EQ(b[35], 0);
  EXPECT_EQ(b[37], 3);
  EXPECT_EQ(b[54], 2);
  EXPECT_EQ(b[56], 5);
  EXPECT_EQ(b[57], 1);
  EXPECT_EQ(b[58], 7);
  ExpectZeroExcept(b, {{0, 7}, {31, 35}, {37, 38}, {54, 55}, {56, 58}, {58, 59}});
  EXPECT_EQ(DecodeIndexDesc(b.data()), d);
  // Entries beyond the count are written as 0.
  d.FieldNumbers[5] = 99;
  EncodeIndexDesc(d, b.data());
  EXPECT_EQ(b[54 + 10], 0);
}

// The index file keeps the leaf packing at byte 36 and one descending flag per key field at bytes
// 38-53; a descriptor read back from a slot must carry them, or a mixed-direction key loses them.
TEST(IndexDesc, CompressionAndPerFieldDescendingFlags) {
  IndexDesc d;
  d.Name = "Mixed";
  d.KeySize = 12;
  d.Unique = true;
  d.FieldCount = 3;
  d.FieldNumbers = {4, 1, 2};
  d.Compression = 3;
  d.FieldDescending = {1, 0, 1};
  Bytes b(kIndexDescSize, 0xEE);
  EncodeIndexDesc(d, b.data());
  EXPECT_EQ(b[36], 3);
  EXPECT_EQ(b[38], 1);
  EXPECT_EQ(b[39], 0);
  EXPECT_EQ(b[40], 1);
  EXPECT_EQ(b[54], 4);
  ExpectZeroExcept(b, {{0, 6}, {31, 32}, {35, 38}, {38, 39}, {40, 41}, {54, 55}, {56, 57}, {58, 59}});
  EXPECT_EQ(DecodeIndexDesc(b.data()), d);

  // A descending definition sets all 16 flags, whatever the field count.
  IndexDesc all;
  all.FieldCount = 1;
  all.FieldNumbers[0] = 1;
  all.Descending = true;
  all.FieldDescending.fill(1);
  EncodeIndexDesc(all, b.data());
  for (size_t i = 38; i < 54; ++i) EXPECT_EQ(b[i], 1) << "offset " << i;
  EXPECT_EQ(DecodeIndexDesc(b.data()), all);
  EXPECT_EQ(index_desc_offsets::kCompression, 36u);
  EXPECT_EQ(index_desc_offsets::kFieldDescending, 38u);
}

TEST(FieldDesc, SizeRule) {
  struct Case {
    uint8_t Type;
    int Declared;
    int Physical;
  } cases[] = {{fldZString, 250, 251}, {fldZString, 10, 11}, {fldDate, 0, 4},   {fldBlob, 0, 8},
               {fldBool, 0, 2},        {fldInt16, 0, 2},      {fldInt32, 0, 4},  {fldFloat, 0, 8},
               {fldBCD, 0, 8},         {fldBytes, 17, 17},    {fldTime, 0, 4},   {fldTimeStamp, 0, 8},
               {fldUInt16, 0, 2},      {fldUInt32, 0, 4},     {fldFloatIEEE, 0, 10},
               {fldVarBytes, 30, 30},  {0, 5, 5},             {16, 9, 9}};
  for (const Case& c : cases)
    EXPECT_EQ(PhysicalFieldSize(c.Type, c.Declared), c.Physical) << int(c.Type);
  FieldDesc bcd;
  bcd.FieldType = fldBCD;
  bcd.Scale = 2;
  ApplySizeRule(bcd);
  EXPECT_EQ(bcd.PhysicalSize, 8);
  EXPECT_EQ(bcd.PhysicalScale, 2);
}

FieldDesc Make(uint16_t number, uint8_t type, uint8_t size = 0, uint8_t subType = 0) {
  FieldDesc f;
  f.FieldNumber = number;
  f.FieldType = type;
  f.Size = size;
  f.SubType = subType;
  return f;
}

TEST(FieldDesc, RecordLayout) {
  std::vector<FieldDesc> fields = {Make(1, fldZString, 10), Make(2, fldZString, 10), Make(3, fldInt32)};
  EXPECT_EQ(LayoutRecordFields(fields), 38);
  EXPECT_EQ(fields[0].Offset, 9);
  EXPECT_EQ(fields[1].Offset, 21);
  EXPECT_EQ(fields[2].Offset, 33);

  // Field-number order decides, an auto-increment lies on the record id, calculated takes none.
  std::vector<FieldDesc> mixed = {Make(3, fldFloat), Make(1, fldInt32, 0, fldstAutoInc),
                                  Make(2, fldInt16), Make(4, fldZString, 5)};
  mixed[3].Calculated = true;
  EXPECT_EQ(LayoutRecordFields(mixed), 9 + 3 + 9);
  EXPECT_EQ(mixed[1].Offset, kAutoIncOffset);
  EXPECT_EQ(mixed[2].Offset, 9);
  EXPECT_EQ(mixed[0].Offset, 12);
}

TEST(FieldDesc, NamesAndKeySizes) {
  struct Case {
    const char* Name;
    bool Valid;
  } cases[] = {{"Name", true},  {"_x", true},  {"\xE4mter", true}, {"1abc", false},
               {"", false},     {" a", false}, {"abcdefghijabcdefghijabcdefghij", true},
               {"abcdefghijabcdefghijabcdefghijk", false}, {"\x80x", false}, {"\xFFx", true}};
  for (const Case& c : cases) EXPECT_EQ(IsValidDescName(c.Name), c.Valid) << c.Name;
  FieldDesc a = Make(1, fldZString, 10), b = Make(2, fldInt32);
  ApplySizeRule(a);
  ApplySizeRule(b);
  EXPECT_EQ(IndexKeySize({&a, &b}, true), 12 + 5);
  EXPECT_EQ(IndexKeySize({&a, &b}, false), 12 + 5 + 4);
}

}  // namespace
}  // namespace tovenmarsh::engine
