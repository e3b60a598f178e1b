// Data definition statements against real tables: what CREATE TABLE, CREATE INDEX, ALTER TABLE,
// DROP INDEX and DROP TABLE leave behind, read back through plain engine cursors, and the
// messages of their faults.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/format/field_desc.h"
#include "sql/support/sql_database.h"

namespace {

using tovenmarsh::engine::FieldDesc;
using tovenmarsh::engine::IndexDesc;
using tovenmarsh::engine::TDataCursor;
namespace engine = tovenmarsh::engine;

class SqlDdl : public tovenmarsh::sql::testing::SqlDatabaseTest {
 protected:
  // "name:type/subtype:size.scale" plus flags, one per field.
  static std::string Fields(TDataCursor& c) {
    std::string out;
    for (uint32_t n = 1; n <= c.GetFieldCount(); ++n) {
      const FieldDesc& f = c.GetFieldDesc(n);
      if (!out.empty()) out += " ";
      out += f.Name + ":" + std::to_string(f.FieldType) + "/" + std::to_string(f.SubType) + ":" +
             std::to_string(f.Size) + "." + std::to_string(f.Scale);
      if (f.Required) out += " req";
      if (!f.DefaultValue.empty()) out += " def=" + f.DefaultValue;
      if (!f.MinValue.empty()) out += " min=" + f.MinValue;
      if (!f.MaxValue.empty()) out += " max=" + f.MaxValue;
      if (f.Case != 0) out += " case=" + std::to_string(f.Case);
      if (!f.Description.empty()) out += " desc=" + f.Description;
    }
    return out;
  }
  // "name(fields)flags" per index, the primary one first ("-" when the table has none).
  static std::string Indexes(TDataCursor& c) {
    std::string out;
    engine::TTableInfo info = c.GetTableInfo();
    auto one = [&](const IndexDesc& d) {
      std::string s = (d.Name.empty() ? std::string("<primary>") : d.Name) + "(";
      for (int k = 0; k < d.FieldCount; ++k) {
        if (k > 0) s += ",";
        s += c.GetFieldDescByNumber(d.FieldNumbers[static_cast<size_t>(k)]).Name;
      }
      s += ")";
      if (d.Unique) s += "U";
      if (d.Descending) s += "D";
      if (d.CaseInsensitive) s += "I";
      if (d.Compression != 0) s += "C" + std::to_string(d.Compression);
      return s;
    };
    out = info.NoPrimaryIndex ? "-" : one(c.GetIndexDesc(engine::kPrimaryIndex));
    for (uint8_t n = 1; n <= info.SecondaryIndexCount; ++n) out += " " + one(c.GetIndexDesc(n));
    return out;
  }

  // Rows of a table as "v1|v2|..." in physical order, integers and strings shown as text.
  static std::vector<std::string> Rows(TDataCursor& c) {
    std::vector<std::string> rows;
    std::vector<uint8_t> r(c.GetRecordSize());
    c.SetIndexNumber(engine::kPhysicalOrder);
    c.First();
    while (c.GetNextRecord(r.data()) == 0) {
      std::string row;
      for (uint32_t n = 1; n <= c.GetFieldCount(); ++n) {
        const FieldDesc& f = c.GetFieldDesc(n);
        if (n > 1) row += "|";
        std::vector<uint8_t> value(256);
        if (c.GetFieldData(n, r.data(), value.data())) {
          row += "null";
        } else if (f.FieldType == engine::fldInt32) {
          int32_t v;
          std::memcpy(&v, value.data(), 4);
          row += std::to_string(v);
        } else if (f.FieldType == engine::fldZString) {
          row += reinterpret_cast<const char*>(value.data());
        } else {
          row += "?";
        }
      }
      rows.push_back(row);
    }
    return rows;
  }
};

TEST_F(SqlDdl, CreateTableMakesTheStatedFieldsAndPrimaryIndex) {
  Run("CREATE TABLE t (a INTEGER, b CHAR(20) NOT NULL DEFAULT 'x', c BYTES(16) DESCRIPTION 'k', "
      "d DECIMAL(10,2) MIN 0 MAX 99 CHARCASE UPPER, e BLOB(1,1), PRIMARY KEY (a))");
  auto c = Open("t");
  EXPECT_EQ(Fields(*c),
            "a:6/0:0.0 b:1/0:20.0 req def=x c:9/0:16.0 desc=k d:8/0:0.2 min=0 max=99 case=2 "
            "e:3/22:0.0");
  EXPECT_EQ(Indexes(*c), "<primary>(a)U");
  engine::TTableInfo info = c->GetTableInfo();
  EXPECT_EQ(info.UserMajor, 1);
  EXPECT_EQ(info.UserMinor, 0);
  EXPECT_EQ(info.BlobBlockSize, 512u);
  EXPECT_EQ(info.Description, "");
  EXPECT_FALSE(info.Encrypted);
}

TEST_F(SqlDdl, TableOptionsAndTheDescriptionAfterAComma) {
  Run("CREATE TABLE t (a INTEGER DESCRIPTION 'k')");
  Run("CREATE TABLE u (a INTEGER, DESCRIPTION 'table u' BLOB BLOCK SIZE 1024 "
      "USER MAJOR VERSION 3 USER MINOR VERSION 7)");
  auto t = Open("t");
  EXPECT_EQ(Fields(*t), "a:6/0:0.0 desc=k");
  EXPECT_EQ(t->GetTableInfo().Description, "");
  EXPECT_EQ(Indexes(*t), "-");
  auto u = Open("u");
  engine::TTableInfo info = u->GetTableInfo();
  EXPECT_EQ(Fields(*u), "a:6/0:0.0");
  EXPECT_EQ(info.Description, "table u");
  EXPECT_EQ(info.BlobBlockSize, 1024u);
  EXPECT_EQ(info.UserMajor, 3);
  EXPECT_EQ(info.UserMinor, 7);
}

TEST_F(SqlDdl, MemoryTablesLiveInTheInMemoryDatabase) {
  Run("CREATE TABLE MEMORY m (a INTEGER, PRIMARY KEY (a))");
  EXPECT_FALSE(scratch_.Has("m.dat"));
  EXPECT_TRUE(directory_->TableExists("m.DAT", true));
  Run("CREATE INDEX ix ON MEMORY m (a)");
  EXPECT_EQ(Indexes(*Open("m", true)), "<primary>(a)U ix(a)");
  Run("DROP TABLE MEMORY m");
  EXPECT_FALSE(directory_->TableExists("m.DAT", true));
}

TEST_F(SqlDdl, CreateIndexAddsASecondaryIndexWithItsFlags) {
  Run("CREATE TABLE t (id INTEGER, name CHAR(30), city CHAR(20), PRIMARY KEY (id))");
  Run("CREATE UNIQUE DESC NOCASE INDEX ix ON t (name) COMPRESS FULL");
  Run("CREATE INDEX byplace ON t (CITY, Name)");
  auto c = Open("t");
  EXPECT_EQ(Indexes(*c), "<primary>(id)U ix(name)UDIC3 byplace(city,name)");
}

TEST_F(SqlDdl, FaultsGiveTheSystemsMessages) {
  Run("CREATE TABLE t (a INTEGER, b CHAR(10), PRIMARY KEY (a))");
  Run("CREATE INDEX ix ON t (b)");
  struct {
    const char* Text;
    std::string Error;
  } cases[] = {
      {"CREATE TABLE t (a INTEGER)",
       "13060: "},
      {"ALTER TABLE t ADD c INTEGER AT 9",
       "11949: AT column position must be between 1 and 2"},
      {"ALTER TABLE t ADD c INTEGER AT 0",
       "11949: AT column position must be between 1 and 2"},
      {"ALTER TABLE t REDEFINE x INTEGER", "11949: Column x not found"},
      {"ALTER TABLE t DROP zz", "11949: Column zz not found"},
      {"ALTER TABLE t ADD PRIMARY KEY (b)",
       "11949: Cannot REDEFINE the primary key using the ADD keyword"},
  };
  for (const auto& c : cases) {
    std::string error = ErrorOf(c.Text);
    EXPECT_EQ(error, c.Error) << c.Text;
  }
  // A type the parser does not know and an index over an unknown column fail with their own
  // codes and leave nothing behind.
  EXPECT_EQ(CodeOf("CREATE TABLE u (a FOO)"), engine::kErrSql);
  EXPECT_FALSE(scratch_.Has("u.dat"));
  EXPECT_NE(CodeOf("CREATE INDEX iz ON t (nosuch)"), 0);
  EXPECT_EQ(CodeOf("DROP INDEX t.nosuch"), engine::kErrInvalidSecondaryIndexName);
  EXPECT_NE(CodeOf("DROP TABLE nosuch"), 0);
  EXPECT_EQ(Indexes(*Open("t")), "<primary>(a)U ix(b)");
}

class SqlAlter : public SqlDdl {
 protected:
  void SetUp() override {
    SqlDdl::SetUp();
    Run("CREATE TABLE t (a INTEGER, b CHAR(10), c INTEGER, PRIMARY KEY (a))");
    auto cursor = Open("t");
    std::vector<uint8_t> r(cursor->GetRecordSize());
    for (int32_t i = 1; i <= 50; ++i) {
      cursor->InitRecord(r.data());
      int32_t c = i * 10;
      std::string b = "row" + std::to_string(i);
      cursor->SetFieldData(1, r.data(), &i);
      cursor->SetFieldData(2, r.data(), b.c_str());
      cursor->SetFieldData(3, r.data(), &c);
      cursor->InsertRecord(r.data(), false);
    }
  }
};

TEST_F(SqlAlter, AddRedefineAndDropKeepTheRows) {
  Run("ALTER TABLE t ADD n INTEGER AT 1, REDEFINE b bb CHAR(20) NOT NULL, DROP c");
  auto cursor = Open("t");
  EXPECT_EQ(Fields(*cursor), "n:6/0:0.0 a:6/0:0.0 bb:1/0:20.0 req");
  EXPECT_EQ(Indexes(*cursor), "<primary>(a)U");
  std::vector<std::string> rows = Rows(*cursor);
  ASSERT_EQ(rows.size(), 50u);
  EXPECT_EQ(rows.front(), "null|1|row1");
  EXPECT_EQ(rows.back(), "null|50|row50");
}

TEST_F(SqlAlter, ANewColumnTakesANumberAboveEveryOther) {
  // Dropping c and adding d: d's values must not be c's.
  Run("ALTER TABLE t DROP c, ADD d INTEGER");
  auto cursor = Open("t");
  EXPECT_EQ(Fields(*cursor), "a:6/0:0.0 b:1/0:10.0 d:6/0:0.0");
  EXPECT_EQ(Rows(*cursor)[4], "5|row5|null");
}

TEST_F(SqlAlter, PrimaryKeyItemsAndDropIndex) {
  Run("CREATE INDEX byb ON t (b)");
  Run("ALTER TABLE t REDEFINE PRIMARY KEY (c, a)");
  EXPECT_EQ(Indexes(*Open("t")), "<primary>(c,a)U byb(b)");
  Run("DROP INDEX t.PRIMARY");
  EXPECT_EQ(Indexes(*Open("t")), "- byb(b)");
  Run("ALTER TABLE t ADD PRIMARY KEY (a)");
  Run("DROP INDEX t.byb");
  auto cursor = Open("t");
  EXPECT_EQ(Indexes(*cursor), "<primary>(a)U");
  EXPECT_EQ(Rows(*cursor).size(), 50u);
  cursor.reset();
  Run("ALTER TABLE t DROP PRIMARY KEY");
  EXPECT_EQ(Indexes(*Open("t")), "-");
}

TEST_F(SqlAlter, ADuplicateKeyStopsTheRestructureAndKeepsTheTable) {
  // Every b value but one is distinct; making c (all distinct) the key is fine, making a
  // column of repeats the key is not.
  Run("ALTER TABLE t ADD z INTEGER");
  EXPECT_NE(CodeOf("ALTER TABLE t REDEFINE PRIMARY KEY (z)"), 0);
  auto cursor = Open("t");
  EXPECT_EQ(Indexes(*cursor), "<primary>(a)U");
  EXPECT_EQ(Rows(*cursor).size(), 50u);
}

TEST_F(SqlAlter, OptionsNotWrittenAreKept) {
  Run("ALTER TABLE t DESCRIPTION 'first' USER MAJOR VERSION 4");
  Run("ALTER TABLE t USER MINOR VERSION 2");
  engine::TTableInfo info = Open("t")->GetTableInfo();
  EXPECT_EQ(info.Description, "first");
  EXPECT_EQ(info.UserMajor, 4);
  EXPECT_EQ(info.UserMinor, 2);
}

TEST_F(SqlDdl, DropTableRemovesTheFiles) {
  Run("CREATE TABLE t (a INTEGER, e BLOB(1,1), PRIMARY KEY (a))");
  EXPECT_TRUE(scratch_.Has("t.dat"));
  Run("DROP TABLE t");
  EXPECT_FALSE(scratch_.Has("t.dat"));
  EXPECT_FALSE(scratch_.Has("t.idx"));
  EXPECT_FALSE(scratch_.Has("t.blb"));
}

TEST_F(SqlDdl, ATableNameWithAPathUsesThatDirectory) {
  tovenmarsh::engine::testing::ScratchDir other;
  Run("CREATE TABLE '" + other.Path() + "/far' (a INTEGER)");
  EXPECT_TRUE(other.Has("far.dat"));
  EXPECT_FALSE(scratch_.Has("far.dat"));
  Run("DROP TABLE '" + other.Path() + "/far'");
  EXPECT_FALSE(other.Has("far.dat"));
}

}  // namespace
