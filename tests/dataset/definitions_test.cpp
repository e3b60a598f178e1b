// Field and index definitions, the index search, and their engine descriptors: the nine
// application tables go through definitions -> descriptors -> stored bytes -> definitions and
// come back equal.
#include <gtest/gtest.h>

#include "dataset/database_error.h"
#include "dataset/table_descs.h"
#include "support/memory_data_set.h"

namespace tovenmarsh::dataset {
namespace {

namespace e = tovenmarsh::engine;

std::string Error(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const platform::Exception& ex) {
    return ex.Message();
  }
  return "(no exception)";
}

struct TableLayout {
  const char* name;
  std::vector<std::tuple<const char*, TFieldType, int, bool>> fields;
  std::vector<std::tuple<const char*, const char*, TIndexOptions>> indexes;
};

// The application's tables as their writers define them.
std::vector<TableLayout> ApplicationTables() {
  const TIndexOptions pkCs = ixPrimary | ixUnique;
  const TIndexOptions pkCi = ixPrimary | ixUnique | ixCaseInsensitive;
  return {
      {"account.dat",
       {{"no", ftInteger, 0, true}, {"fullname", ftString, 50, false}, {"pass", ftString, 10, false},
        {"description", ftString, 50, false}, {"permission", ftInteger, 0, false}, {"level", ftInteger, 0, false},
        {"active", ftBoolean, 0, false}, {"remafter", ftInteger, 0, false}, {"created", ftDateTime, 0, false}},
       {{"", "no", pkCs}}},
      {"extaccount.dat",
       {{"mailserver", ftString, 64, true}, {"mailusr", ftString, 64, true}, {"mailpass", ftString, 10, false},
        {"accountno", ftInteger, 0, false}, {"leavecopy", ftBoolean, 0, false}, {"remafter", ftInteger, 0, false},
        {"interval", ftInteger, 0, false}, {"tag", ftString, 64, false}, {"active", ftBoolean, 0, false},
        {"mailboxid", ftString, 40, false}, {"created", ftDateTime, 0, false}},
       {{"", "mailserver;mailusr;accountno", pkCi}, {"accountno", "accountno", 0}}},
      {"alias.dat",
       {{"name", ftString, 64, true}, {"companyno", ftInteger, 0, true}, {"accountno", ftInteger, 0, false},
        {"description", ftString, 50, false}, {"active", ftBoolean, 0, false}, {"maillist", ftBoolean, 0, false},
        {"expandable", ftBoolean, 0, false}, {"created", ftDateTime, 0, false}},
       {{"", "name;companyno", pkCi}, {"accountno", "accountno", 0}, {"companyno", "companyno", 0}}},
      {"maillist.dat",
       {{"name", ftString, 64, true}, {"companyno", ftInteger, 0, true}, {"forwardusr", ftString, 64, true},
        {"forwarddomain", ftString, 64, true}, {"fullname", ftString, 50, false},
        {"description", ftString, 50, false}, {"created", ftDateTime, 0, false}},
       {{"", "name;companyno;forwardusr;forwarddomain", pkCi}}},
      {"company.dat",
       {{"no", ftAutoInc, 0, true}, {"name", ftString, 50, true}, {"postmaster", ftBoolean, 0, false},
        {"bounce", ftBoolean, 0, false}, {"created", ftDateTime, 0, false}},
       {{"", "no", pkCs}}},
      {"domain.dat",
       {{"companyno", ftInteger, 0, true}, {"name", ftString, 64, true}, {"created", ftDateTime, 0, false}},
       {{"", "name", pkCi}, {"companyno", "companyno", 0}}},
      {"mailbox.dat",
       {{"id", ftString, 40, true}, {"accountno", ftInteger, 0, true}, {"size", ftInteger, 0, false},
        {"hash", ftInteger, 0, false}, {"lastretr", ftDateTime, 0, false}, {"created", ftDateTime, 0, false}},
       {{"", "id", pkCi}, {"accountno", "accountno", 0}}},
      {"extmailbox.dat",
       {{"id", ftString, 40, true}, {"no", ftInteger, 0, true}, {"uidl", ftString, 80, false},
        {"created", ftDateTime, 0, false}},
       {{"", "id;no", pkCi}}},
      {"document.dat",
       {{"no", ftAutoInc, 0, true}, {"description", ftString, 50, false}, {"to", ftString, 250, false},
        {"from", ftString, 250, false}, {"replyto", ftString, 250, false}, {"fromdomain", ftString, 64, false},
        {"content", ftMemo, 0, false}, {"level", ftInteger, 0, false}, {"type", ftString, 10, false},
        {"created", ftDateTime, 0, false}, {"indexed", ftBoolean, 0, false}, {"extfileref", ftString, 128, false}},
       {{"", "no", pkCs}, {"indexed", "indexed", 0}}},
  };
}

TEST(DefinitionsTest, ApplicationTablesRoundTripThroughStoredDescriptors) {
  for (const TableLayout& table : ApplicationTables()) {
    SCOPED_TRACE(table.name);
    TFieldDefs fields;
    for (const auto& [name, type, size, required] : table.fields) fields.Add(name, type, size, required);
    TIndexDefs indexes;
    // Secondary first: creation must still put the primary index in the primary slot.
    for (size_t i = table.indexes.size(); i-- > 0;) {
      const auto& [name, list, options] = table.indexes[i];
      indexes.Add(name, list, options);
    }

    std::vector<e::FieldDesc> descs = FieldDescsFromDefs(fields);
    ASSERT_EQ(descs.size(), table.fields.size());
    // Through the stored 768-byte form, as the table file will hold it.
    std::vector<e::FieldDesc> stored;
    for (const e::FieldDesc& d : descs) {
      uint8_t bytes[e::kFieldDescSize];
      e::EncodeFieldDesc(d, bytes);
      stored.push_back(e::DecodeFieldDesc(bytes));
    }
    TFieldDefs back;
    FieldDefsFromDescs(stored, back);
    ASSERT_EQ(back.Count(), fields.Count());
    for (int i = 0; i < fields.Count(); ++i) {
      EXPECT_EQ(back[i].Name(), fields[i].Name());
      EXPECT_EQ(back[i].DataType(), fields[i].DataType());
      EXPECT_EQ(back[i].Size(), fields[i].Size());
      EXPECT_EQ(back[i].Required(), fields[i].Required());
      EXPECT_EQ(back[i].FieldNo(), i + 1);
    }

    TCreateIndexDescs create = IndexDescsForCreate(indexes, fields);
    ASSERT_TRUE(create.HasPrimary);
    EXPECT_EQ(create.Primary.Name, "");
    ASSERT_EQ(create.Secondary.size() + 1, table.indexes.size());
    TIndexDefs indexesBack;
    std::vector<e::IndexDesc> all{create.Primary};
    all.insert(all.end(), create.Secondary.begin(), create.Secondary.end());
    for (size_t n = 0; n < all.size(); ++n) {
      uint8_t bytes[e::kIndexDescSize];
      e::EncodeIndexDesc(all[n], bytes);
      AddIndexDefFromDesc(indexesBack, e::DecodeIndexDesc(bytes), static_cast<int>(n), back);
    }
    ASSERT_EQ(indexesBack.Count(), static_cast<int>(table.indexes.size()));
    EXPECT_EQ(indexesBack[0].Fields(), std::get<1>(table.indexes[0]));
    EXPECT_EQ(indexesBack[0].Options(), std::get<2>(table.indexes[0]));
    // Secondary indexes come back in their order of definition (here reversed).
    for (size_t i = 1; i < table.indexes.size(); ++i) {
      const TIndexDef& got = indexesBack[static_cast<int>(table.indexes.size() - i)];
      EXPECT_EQ(got.Name(), std::get<0>(table.indexes[i]));
      EXPECT_EQ(got.Fields(), std::get<1>(table.indexes[i]));
      EXPECT_EQ(got.Options(), 0);
    }
  }
}

TEST(DefinitionsTest, TypeMappingBothWays) {
  struct Case {
    TFieldType type;
    int size;
    uint8_t engineType, subType, size8, scale;
    TFieldType back;
  };
  const Case cases[] = {
      {ftString, 30, 1, 0, 30, 0, ftString},      {ftFixedChar, 5, 1, 31, 5, 0, ftString},
      {ftWideString, 5, 1, 32, 5, 0, ftString},   {ftSmallint, 0, 5, 0, 0, 0, ftSmallint},
      {ftInteger, 0, 6, 0, 0, 0, ftInteger},      {ftAutoInc, 0, 6, 29, 0, 0, ftAutoInc},
      {ftWord, 0, 12, 0, 0, 0, ftWord},           {ftBoolean, 0, 4, 0, 0, 0, ftBoolean},
      {ftFloat, 0, 7, 0, 0, 0, ftFloat},          {ftCurrency, 0, 7, 21, 0, 0, ftCurrency},
      {ftBCD, 2, 8, 0, 0, 2, ftBCD},              {ftDate, 0, 2, 0, 0, 0, ftDate},
      {ftTime, 0, 10, 0, 0, 0, ftTime},           {ftDateTime, 0, 11, 0, 0, 0, ftDateTime},
      {ftBytes, 8, 9, 0, 8, 0, ftBytes},          {ftVarBytes, 8, 15, 0, 8, 0, ftVarBytes},
      {ftBlob, 0, 3, 0, 0, 0, ftBlob},            {ftMemo, 0, 3, 22, 0, 0, ftMemo},
      {ftGraphic, 0, 3, 26, 0, 0, ftGraphic},     {ftFmtMemo, 0, 3, 24, 0, 0, ftFmtMemo},
      {ftTypedBinary, 0, 3, 28, 0, 0, ftTypedBinary}, {ftOraClob, 0, 3, 0, 0, 0, ftBlob},
      {ftLargeint, 0, 18, 0, 0, 0, ftLargeint},   {ftCursor, 0, 17, 0, 0, 0, ftUnknown},
      {ftVariant, 0, 0, 0, 0, 0, ftUnknown},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(FieldTypeName(c.type));
    TFieldDefs defs;
    defs.Add("f", c.type, c.size);
    e::FieldDesc d = FieldDescsFromDefs(defs)[0];
    EXPECT_EQ(d.FieldType, c.engineType);
    EXPECT_EQ(d.SubType, c.subType);
    EXPECT_EQ(d.Size, c.size8);
    EXPECT_EQ(d.Scale, c.scale);
    EXPECT_EQ(FieldTypeOfEngine(c.engineType, c.subType), c.back);
  }
  EXPECT_EQ(FieldTypeOfEngine(13, 0), ftInteger);
  for (uint8_t hiddenType : {0, 14, 16, 17}) EXPECT_EQ(FieldTypeOfEngine(hiddenType, 0), ftUnknown);
}

TEST(DefinitionsTest, DescriptorsBecomeDefinitionsSkippingHiddenAndUnknown) {
  std::vector<e::FieldDesc> descs(6);
  const char* names[] = {"Name", "name", "Hidden", "Odd", "NAME", "Amount"};
  uint8_t types[] = {1, 6, 6, 14, 4, 8};
  for (size_t i = 0; i < descs.size(); ++i) {
    descs[i].FieldNumber = static_cast<uint16_t>(i + 1);
    descs[i].Name = names[i];
    descs[i].FieldType = types[i];
    descs[i].Size = 12;
    descs[i].Scale = 3;
  }
  descs[2].Hidden = true;
  TFieldDefs defs;
  FieldDefsFromDescs(descs, defs);
  ASSERT_EQ(defs.Count(), 4);
  EXPECT_EQ(defs[0].Name(), "Name");
  EXPECT_EQ(defs[1].Name(), "name_1");
  EXPECT_EQ(defs[1].Size(), 0);  // integers carry no size
  EXPECT_EQ(defs[1].FieldNo(), 2);
  EXPECT_EQ(defs[2].Name(), "NAME_2");
  EXPECT_EQ(defs[2].FieldNo(), 5);
  EXPECT_EQ(defs[3].DataType(), ftBCD);
  EXPECT_EQ(defs[3].Size(), 3);  // the decimals
  EXPECT_EQ(defs[3].Precision(), 20);
}

TEST(DefinitionsTest, ListsRefuseDuplicatesAndUnknownNames) {
  TFieldDefs fields;
  fields.Add("a", ftInteger);
  fields.Add("b", ftString, 10);
  EXPECT_EQ(Error([&] { fields.Add("A", ftInteger); }), "Duplicate field name 'A'");
  EXPECT_EQ(Error([&] { fields.Find("zz"); }), "Field 'zz' not found");
  EXPECT_EQ(fields.Find("B").FieldNo(), 2);
  EXPECT_EQ(fields.IndexOf("c"), -1);

  TIndexDefs indexes;
  indexes.Add("", "a", ixPrimary);
  EXPECT_EQ(Error([&] { indexes.Add("", "b", 0); }), "Duplicate index name ''");
  EXPECT_EQ(Error([&] { indexes.Find("byB"); }), "Index 'byB' not found");

  // A missing field name or too many fields never becomes a descriptor.
  EXPECT_EQ(Error([&] { IndexDescFromDef(TIndexDef("x", "a;zz", 0), fields); }), "Field 'zz' not found");
  std::string seventeen;
  for (int i = 0; i < 17; ++i) seventeen += i ? ";a" : "a";
  EXPECT_EQ(Error([&] { IndexDescFromDef(TIndexDef("x", seventeen, 0), fields); }),
            "Index 'x' has more than 16 fields");
  e::IndexDesc d = IndexDescFromDef(TIndexDef("x", " b ; a ", ixUnique | ixDescending | ixCaseInsensitive), fields);
  EXPECT_EQ(d.FieldCount, 2);
  EXPECT_EQ(d.FieldNumbers[0], 2);
  EXPECT_EQ(d.FieldNumbers[1], 1);
  EXPECT_TRUE(d.Unique && d.Descending && d.CaseInsensitive);
  // A descending index is descending in every one of its fields.
  for (uint8_t flag : d.FieldDescending) EXPECT_EQ(flag, 1);
  for (uint8_t flag : IndexDescFromDef(TIndexDef("y", "a", 0), fields).FieldDescending) EXPECT_EQ(flag, 0);

  // Field numbers beyond the definitions are left out when reading back.
  e::IndexDesc stale = d;
  stale.FieldNumbers[1] = 9;
  TIndexDefs back;
  AddIndexDefFromDesc(back, stale, 1, fields);
  EXPECT_EQ(back[0].Fields(), "b");
}

TEST(DefinitionsTest, WithoutPrimaryEveryIndexIsSecondary) {
  TFieldDefs fields;
  fields.Add("a", ftInteger);
  fields.Add("b", ftInteger);
  TIndexDefs indexes;
  indexes.Add("byA", "a", 0);
  indexes.Add("byB", "b", ixUnique);
  TCreateIndexDescs create = IndexDescsForCreate(indexes, fields);
  EXPECT_FALSE(create.HasPrimary);
  EXPECT_EQ(create.Primary, e::IndexDesc{});
  ASSERT_EQ(create.Secondary.size(), 2u);
  EXPECT_EQ(create.Secondary[0].Name, "byA");
}

TEST(DefinitionsTest, IndexSearchForFieldNames) {
  TIndexDefs defs;
  defs.Add("", "Name;Company", ixPrimary | ixUnique);
  defs.Add("byNameDesc", "Name", ixDescending);
  defs.Add("byNameCi", "Name;Town", ixCaseInsensitive);
  defs.Add("byName", "Name", 0);
  defs.Add("byTown", "town", ixCaseInsensitive);
  struct Case {
    const char* fields;
    bool ci;
    const char* expect;  // index name, or "-" for none
  } cases[] = {
      {"Name", false, "byName"},      // the exact list wins over a longer one defined earlier
      {"name", false, "byName"},      // names compare without regard to case
      {"Name", true, "byNameCi"},     // only case-insensitive ones when asked
      {"Name;Company", false, ""},
      {"Name;Town", false, "byNameCi"},
      {"Town", true, "byTown"},
      {"Company", false, "-"},
      {"Nam", false, "-"},            // a prefix must end at a field boundary
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fields);
    const TIndexDef* def = defs.GetIndexForFields(c.fields, c.ci);
    if (std::string(c.expect) == "-") {
      EXPECT_EQ(def, nullptr);
    } else {
      ASSERT_NE(def, nullptr);
      EXPECT_EQ(def->Name(), c.expect);
    }
  }
  TIndexDefs prefixOnly;
  prefixOnly.Add("two", "Name;Town", 0);
  EXPECT_EQ(prefixOnly.FindIndexForFields("NAME").Name(), "two");
  EXPECT_EQ(Error([&] { prefixOnly.FindIndexForFields("Town"); }), "No index for fields 'Town'");
  EXPECT_EQ(SplitFieldNames(";a; b ;;c"), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(DefinitionsTest, UpdateRunsTheHookOnlyWhenOutOfDate) {
  TFieldDefs defs;
  int reads = 0;
  defs.SetUpdateHook([&] {
    ++reads;
    defs.Clear();
    defs.Add("x", ftInteger);
  });
  defs.Update();
  defs.Update();
  EXPECT_EQ(reads, 1);
  defs.SetUpdated(false);
  defs.Update();
  EXPECT_EQ(reads, 2);
  EXPECT_EQ(defs.Count(), 1);
}

TEST(DefinitionsTest, DescriptionsBecomeDisplayLabels) {
  testing::TMemoryColumn a, b;
  a.Name = "no";
  b.Name = "name";
  b.Type = ftString;
  b.Size = 5;
  testing::TMemoryDataSet ds(std::make_shared<testing::TMemoryTable>(std::vector<testing::TMemoryColumn>{a, b}));
  ds.Open();
  std::vector<e::FieldDesc> descs(2);
  descs[0].FieldNumber = 1;
  descs[1].FieldNumber = 2;
  descs[1].Description = "Full name";
  ApplyDisplayLabels(ds.Fields(), descs);
  EXPECT_EQ(ds.FieldByName("no").DisplayName(), "no");
  EXPECT_EQ(ds.FieldByName("name").DisplayName(), "Full name");
}

}  // namespace
}  // namespace tovenmarsh::dataset
