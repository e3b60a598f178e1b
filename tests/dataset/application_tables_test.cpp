// The application's nine tables made through TFenTable from field and index definitions,
// reopened with their definitions read back equal, used for a row each, and their stored field
// descriptors read by an independent Python struct reader that must agree.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "dataset/fen_session.h"
#include "dataset/fen_table.h"
#include "platform/paths.h"

namespace tovenmarsh::dataset {
namespace {

struct TableLayout {
  const char* name;
  std::vector<std::tuple<const char*, TFieldType, int, bool>> fields;
  std::vector<std::tuple<const char*, const char*, TIndexOptions>> indexes;  // primary first
};

std::vector<TableLayout> ApplicationTables() {
  const TIndexOptions pkCs = ixPrimary | ixUnique;
  const TIndexOptions pkCi = ixPrimary | ixUnique | ixCaseInsensitive;
  return {
      {"account",
       {{"no", ftInteger, 0, true}, {"fullname", ftString, 50, false}, {"pass", ftString, 10, false},
        {"description", ftString, 50, false}, {"permission", ftInteger, 0, false}, {"level", ftInteger, 0, false},
        {"active", ftBoolean, 0, false}, {"remafter", ftInteger, 0, false}, {"created", ftDateTime, 0, false}},
       {{"", "no", pkCs}}},
      {"extaccount",
       {{"mailserver", ftString, 64, true}, {"mailusr", ftString, 64, true}, {"mailpass", ftString, 10, false},
        {"accountno", ftInteger, 0, false}, {"leavecopy", ftBoolean, 0, false}, {"remafter", ftInteger, 0, false},
        {"interval", ftInteger, 0, false}, {"tag", ftString, 64, false}, {"active", ftBoolean, 0, false},
        {"mailboxid", ftString, 40, false}, {"created", ftDateTime, 0, false}},
       {{"", "mailserver;mailusr;accountno", pkCi}, {"accountno", "accountno", 0}}},
      {"alias",
       {{"name", ftString, 64, true}, {"companyno", ftInteger, 0, true}, {"accountno", ftInteger, 0, false},
        {"description", ftString, 50, false}, {"active", ftBoolean, 0, false}, {"maillist", ftBoolean, 0, false},
        {"expandable", ftBoolean, 0, false}, {"created", ftDateTime, 0, false}},
       {{"", "name;companyno", pkCi}, {"accountno", "accountno", 0}, {"companyno", "companyno", 0}}},
      {"maillist",
       {{"name", ftString, 64, true}, {"companyno", ftInteger, 0, true}, {"forwardusr", ftString, 64, true},
        {"forwarddomain", ftString, 64, true}, {"fullname", ftString, 50, false},
        {"description", ftString, 50, false}, {"created", ftDateTime, 0, false}},
       {{"", "name;companyno;forwardusr;forwarddomain", pkCi}}},
      {"company",
       {{"no", ftAutoInc, 0, true}, {"name", ftString, 50, true}, {"postmaster", ftBoolean, 0, false},
        {"bounce", ftBoolean, 0, false}, {"created", ftDateTime, 0, false}},
       {{"", "no", pkCs}}},
      {"domain",
       {{"companyno", ftInteger, 0, true}, {"name", ftString, 64, true}, {"created", ftDateTime, 0, false}},
       {{"", "name", pkCi}, {"companyno", "companyno", 0}}},
      {"mailbox",
       {{"id", ftString, 40, true}, {"accountno", ftInteger, 0, true}, {"size", ftInteger, 0, false},
        {"hash", ftInteger, 0, false}, {"lastretr", ftDateTime, 0, false}, {"created", ftDateTime, 0, false}},
       {{"", "id", pkCi}, {"accountno", "accountno", 0}}},
      {"extmailbox",
       {{"id", ftString, 40, true}, {"no", ftInteger, 0, true}, {"uidl", ftString, 80, false},
        {"created", ftDateTime, 0, false}},
       {{"", "id;no", pkCi}}},
      {"document",
       {{"no", ftAutoInc, 0, true}, {"description", ftString, 50, false}, {"to", ftString, 250, false},
        {"from", ftString, 250, false}, {"replyto", ftString, 250, false}, {"fromdomain", ftString, 64, false},
        {"content", ftMemo, 0, false}, {"level", ftInteger, 0, false}, {"type", ftString, 10, false},
        {"created", ftDateTime, 0, false}, {"indexed", ftBoolean, 0, false}, {"extfileref", ftString, 128, false}},
       {{"", "no", pkCs}, {"indexed", "indexed", 0}}},
  };
}

// The stored descriptor as the Python reader prints it: number, name, type, subtype, size,
// required. Worked out here from the type rules, independently of the layer's own mapping.
std::string ExpectedDescriptor(int number, const char* name, TFieldType type, int size, bool required) {
  int engineType = 0, subType = 0;
  switch (type) {
    case ftString: engineType = 1; break;
    case ftInteger: engineType = 6; break;
    case ftAutoInc: engineType = 6; subType = 29; break;
    case ftBoolean: engineType = 4; break;
    case ftDateTime: engineType = 11; break;
    case ftMemo: engineType = 3; subType = 22; break;
    default: break;
  }
  return std::to_string(number) + " " + name + " " + std::to_string(engineType) + " " + std::to_string(subType) +
         " " + std::to_string(type == ftString ? size : 0) + " " + (required ? "1" : "0") + "\n";
}

// Reads every .DAT file of the folder: its name, then one line per field descriptor (count at
// header offset 23, 768-byte descriptors after the 127-byte header).
std::string PythonDescriptors(const std::string& folder) {
  const std::string script =
      "import os,struct,sys\n"
      "for f in sorted(os.listdir(sys.argv[1])):\n"
      "  if not f.lower().endswith('.dat'): continue\n"
      "  d=open(os.path.join(sys.argv[1],f),'rb').read()\n"
      "  print(f.lower()[:-4])\n"
      "  n=struct.unpack_from('<H',d,23)[0]\n"
      "  for i in range(n):\n"
      "    o=127+768*i\n"
      "    num=struct.unpack_from('<H',d,o)[0]\n"
      "    name=d[o+3:o+3+d[o+2]].decode('latin-1')\n"
      "    print(num,name,d[o+84],d[o+85],d[o+86],d[o+92])\n";
  const std::string scriptFile = folder + "../descriptors.py";
  FILE* f = fopen(scriptFile.c_str(), "w");
  if (f == nullptr) return "";
  fputs(script.c_str(), f);
  fclose(f);
  std::string out;
  FILE* p = popen(("python3 '" + scriptFile + "' '" + folder + "'").c_str(), "r");
  if (p == nullptr) return "";
  char line[512];
  while (fgets(line, sizeof line, p) != nullptr) out += line;
  pclose(p);
  std::remove(scriptFile.c_str());
  return out;
}

TEST(ApplicationTablesTest, CreatedThroughTablesReopenedAndReadIndependently) {
  std::string pattern = platform::SystemTempFolder() + "fenappXXXXXX";
  ASSERT_NE(mkdtemp(pattern.data()), nullptr);
  const std::string root = pattern + "/";
  const std::string folder = root + "db/";
  std::filesystem::create_directory(folder);

  std::vector<TableLayout> tables = ApplicationTables();
  for (const TableLayout& layout : tables) {
    SCOPED_TRACE(layout.name);
    TFenTable t;
    t.SetTableName(folder + layout.name);
    ASSERT_FALSE(t.Exists());
    for (const auto& [name, type, size, required] : layout.fields) t.FieldDefs().Add(name, type, size, required);
    // Secondary indexes first: creation puts the primary one into the primary slot anyway.
    for (size_t i = 1; i <= layout.indexes.size(); ++i) {
      const auto& [name, fields, options] = layout.indexes[i % layout.indexes.size()];
      t.IndexDefs().Add(name, fields, options);
    }
    t.CreateTable();
    EXPECT_TRUE(t.Exists());
  }

  std::string expected;
  std::vector<TableLayout> sorted = tables;
  std::sort(sorted.begin(), sorted.end(),
            [](const TableLayout& a, const TableLayout& b) { return std::string(a.name) < b.name; });
  for (const TableLayout& layout : sorted) {
    expected += std::string(layout.name) + "\n";
    int number = 1;
    for (const auto& [name, type, size, required] : layout.fields)
      expected += ExpectedDescriptor(number++, name, type, size, required);
  }

  for (const TableLayout& layout : tables) {
    SCOPED_TRACE(layout.name);
    TFenTable t;
    t.SetTableName(folder + layout.name);
    t.InitFieldDefs();
    t.UpdateIndexDefs();
    ASSERT_EQ(t.FieldDefs().Count(), static_cast<int>(layout.fields.size()));
    for (int i = 0; i < t.FieldDefs().Count(); ++i) {
      const auto& [name, type, size, required] = layout.fields[static_cast<size_t>(i)];
      EXPECT_EQ(t.FieldDefs()[i].Name(), name);
      EXPECT_EQ(t.FieldDefs()[i].DataType(), type) << name;
      EXPECT_EQ(t.FieldDefs()[i].Size(), size) << name;
      EXPECT_EQ(t.FieldDefs()[i].Required(), required) << name;
      EXPECT_EQ(t.FieldDefs()[i].FieldNo(), i + 1) << name;
    }
    ASSERT_EQ(t.IndexDefs().Count(), static_cast<int>(layout.indexes.size()));
    for (int i = 0; i < t.IndexDefs().Count(); ++i) {
      const auto& [name, fields, options] = layout.indexes[static_cast<size_t>(i)];
      EXPECT_EQ(t.IndexDefs()[i].Name(), name);
      EXPECT_EQ(t.IndexDefs()[i].Fields(), fields);
      EXPECT_EQ(t.IndexDefs()[i].Options(), options) << fields;
    }

    // Open, the fields in their stored order, and a row through the primary index.
    t.Open();
    ASSERT_EQ(t.FieldCount(), static_cast<int>(layout.fields.size()));
    t.Append();
    for (int i = 0; i < t.FieldCount(); ++i) {
      TField& field = t.Fields()[i];
      EXPECT_EQ(field.FieldName(), std::get<0>(layout.fields[static_cast<size_t>(i)]));
      switch (field.DataType()) {
        case ftString: field.SetAsString("v" + std::to_string(i)); break;
        case ftInteger: field.SetAsInteger(40 + i); break;
        case ftBoolean: field.SetAsBoolean(true); break;
        case ftMemo: field.SetAsString("memo text"); break;
        default: break;
      }
    }
    t.Post();
    t.Close();
    t.Open();
    ASSERT_EQ(t.RecordCount(), 1);
    const std::string firstKey = std::get<0>(layout.fields[0]);
    if (t.FieldByName(firstKey).DataType() == ftAutoInc) {
      EXPECT_EQ(t.FieldByName(firstKey).AsInteger(), 1);
    }
    if (TField* content = t.FindField("content")) {
      EXPECT_EQ(content->AsString(), "memo text");
    }
  }

  EXPECT_EQ(PythonDescriptors(folder), expected);
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}

}  // namespace
}  // namespace tovenmarsh::dataset
