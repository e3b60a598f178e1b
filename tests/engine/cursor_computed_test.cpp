// The field list of a live query result, driven directly: stored fields keep their bytes,
// computed fields live behind the stored record and follow their expressions after a read and
// after a field change (NULL in, NULL out; results converted to the field's type), inserts
// store only the stored record, each faulty list is refused with its code and leaves the
// cursor as it was, and closing forgets the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/expr/expr_parser.h"
#include "engine/expr/expr_typecheck.h"
#include "engine/table/session.h"
#include "file_test_support.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

using testing::ErrorCode;

FieldDesc Field(const char* name, uint8_t type, uint8_t size = 0, bool computed = false) {
  FieldDesc f;
  f.Name = name;
  f.FieldType = type;
  f.Size = size;
  f.Calculated = computed;
  return f;
}

TExpTree Compile(TDataCursor& c, const char* text) {
  TExpressionParser parser;
  parser.SetExpression(text);
  parser.NextToken();
  TExpTree tree = parser.ParseExpression(pfFilter);
  TTypeCheckSettings settings;
  settings.Resolver = MakeColumnResolver(c);
  CheckExpressionTypes(settings, false, nullptr, tree.get());
  return tree;
}

struct TRow {
  const char* Name;
  std::optional<int32_t> Qty;
  double Price;
};

class CursorComputedTest : public testing::EngineDirectoryTest {
 protected:
  void SetUp() override {
    EngineDirectoryTest::SetUp();
    cursor_ = std::make_unique<TDataCursor>(directory_);
    cursor_->SetTableName("items");
    cursor_->SetExclusive(true);
    IndexDesc primary;
    primary.FieldCount = 1;
    primary.FieldNumbers[0] = 1;
    cursor_->CreateTable({}, false, {primary},
                         {Field("Name", fldZString, 10), Field("Qty", fldInt32), Field("Price", fldFloat)});
    cursor_->Open();
    stored_ = cursor_->GetRecordSize();
    for (const TRow& r : rows_) Insert(r);
  }
  void TearDown() override {
    cursor_.reset();
    EngineDirectoryTest::TearDown();
  }

  void Insert(const TRow& r) {
    std::vector<uint8_t> b(cursor_->GetRecordSize());
    cursor_->InitRecord(b.data());
    cursor_->SetFieldData(1, b.data(), r.Name);
    if (r.Qty) cursor_->SetFieldData(2, b.data(), &*r.Qty);
    cursor_->SetFieldData(3, b.data(), &r.Price);
    cursor_->InsertRecord(b.data(), false);
  }

  // Name, Qty, Price as stored; Total = Qty * Price, Twice = Qty + Qty (small integer),
  // Big = Qty > 10, Label = Name (string).
  std::vector<FieldDesc> LiveFields() {
    std::vector<FieldDesc> f = {cursor_->GetFieldDesc(1), cursor_->GetFieldDesc(2), cursor_->GetFieldDesc(3)};
    f.push_back(Field("Total", fldFloat, 0, true));
    f.push_back(Field("Twice", fldInt16, 0, true));
    f.push_back(Field("Big", fldBool, 0, true));
    f.push_back(Field("Label", fldZString, 12, true));
    for (size_t i = 0; i < f.size(); ++i) f[i].FieldNumber = static_cast<uint16_t>(i + 1);
    return f;
  }
  void InstallLive() {
    cursor_->CheckFieldDefs(LiveFields());
    cursor_->SetComputedExpression(4, Compile(*cursor_, "Qty * Price"));
    cursor_->SetComputedExpression(5, Compile(*cursor_, "Qty + Qty"));
    cursor_->SetComputedExpression(6, Compile(*cursor_, "Qty > 10"));
    cursor_->SetComputedExpression(7, Compile(*cursor_, "Name"));
  }

  // The computed values of a buffer: Total, Twice, Big, Label ("NULL" for null).
  std::vector<std::string> Computed(const std::vector<uint8_t>& b) {
    std::vector<std::string> out;
    double total = 0;
    int16_t twice = 0, big = 0;
    char label[16] = {};
    out.push_back(cursor_->GetFieldData(4, b.data(), &total) ? "NULL" : std::to_string(total));
    out.push_back(cursor_->GetFieldData(5, b.data(), &twice) ? "NULL" : std::to_string(twice));
    out.push_back(cursor_->GetFieldData(6, b.data(), &big) ? "NULL" : std::to_string(big));
    out.push_back(cursor_->GetFieldData(7, b.data(), label) ? "NULL" : std::string(label));
    return out;
  }
  static std::vector<std::string> Expected(const TRow& r) {
    if (!r.Qty) return {"NULL", "NULL", "0", r.Name};  // a comparison with NULL is false
    return {std::to_string(*r.Qty * r.Price), std::to_string(*r.Qty * 2), *r.Qty > 10 ? "1" : "0", r.Name};
  }

  std::unique_ptr<TDataCursor> cursor_;
  uint32_t stored_ = 0;
  const std::vector<TRow> rows_ = {{"apple", 2, 1.5}, {"bread", std::nullopt, 3.0}, {"cheese", 12, 0.25}};
};

TEST_F(CursorComputedTest, ComputedFieldsFollowReadsAndChanges) {
  InstallLive();
  EXPECT_TRUE(cursor_->HasComputedFields());
  EXPECT_EQ(cursor_->GetFieldCount(), 7u);
  // Behind the stored record: 8 + 1, 2 + 1, 2 + 1, 13 + 1 bytes.
  EXPECT_EQ(cursor_->GetRecordSize(), stored_ + 9 + 3 + 3 + 14);
  EXPECT_EQ(cursor_->GetFieldDesc(4).Offset, stored_);
  EXPECT_EQ(cursor_->QualifiedFieldName(4), "items.Total");
  EXPECT_EQ(cursor_->QualifiedFieldName(1), "items.Name");
  // Every read evaluates the computed fields: forward, backward, by key, the current record.
  std::vector<uint8_t> b(cursor_->GetRecordSize(), 0xEE);
  cursor_->First();
  for (const TRow& r : rows_) {  // primary key order is the insertion order here
    ASSERT_EQ(cursor_->GetNextRecord(b.data()), 0);
    EXPECT_EQ(Computed(b), Expected(r)) << r.Name;
  }
  EXPECT_EQ(cursor_->GetNextRecord(b.data()), kErrEndOfFile);
  EXPECT_TRUE(std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; }));  // nothing stale behind
  for (size_t i = rows_.size(); i-- > 0;) {
    ASSERT_EQ(cursor_->GetPriorRecord(b.data()), 0);
    EXPECT_EQ(Computed(b), Expected(rows_[i])) << rows_[i].Name;
  }
  std::vector<uint8_t> key(cursor_->GetRecordSize(), 0);
  cursor_->SetFieldData(1, key.data(), "cheese");
  ASSERT_TRUE(cursor_->FindKey(key.data(), false, b.data(), 0, false, 0));
  EXPECT_EQ(Computed(b), Expected(rows_[2]));
  std::fill(b.begin(), b.end(), 0xEE);
  ASSERT_EQ(cursor_->GetCurrentRecord(b.data()), 0);
  EXPECT_EQ(Computed(b), Expected(rows_[2]));
  // A field change: the computed fields follow; they themselves change only when forced.
  const int32_t qty = 20;
  cursor_->SetFieldData(2, b.data(), &qty);
  EXPECT_EQ(Computed(b), Expected(TRow{"cheese", 20, 0.25}));
  const double forced = 99.5;
  cursor_->SetFieldData(4, b.data(), &forced);
  EXPECT_EQ(Computed(b)[0], std::to_string(0.25 * 20));
  cursor_->SetFieldData(4, b.data(), &forced, true);
  EXPECT_EQ(Computed(b)[0], std::to_string(forced));
  cursor_->SetFieldData(2, b.data(), nullptr);
  EXPECT_EQ(Computed(b), Expected(TRow{"cheese", std::nullopt, 0.25}));
  // A result out of the field's range is NULL: 20000 + 20000 does not fit a small integer.
  const int32_t huge = 20000;
  cursor_->SetFieldData(2, b.data(), &huge);
  EXPECT_EQ(Computed(b)[1], "NULL");
  // A modification through the live list stores the new value and reads back computed.
  ASSERT_EQ(cursor_->GetCurrentRecord(b.data(), true), 0);
  const int32_t five = 5;
  cursor_->SetFieldData(2, b.data(), &five);
  cursor_->ModifyRecord(b.data(), true, true);
  std::fill(b.begin(), b.end(), 0xEE);
  ASSERT_EQ(cursor_->GetCurrentRecord(b.data()), 0);
  EXPECT_EQ(Computed(b), Expected(TRow{"cheese", 5, 0.25}));
  // Inserting through the live list stores the stored record only.
  const TRow extra{"dates", 3, 2.0};
  std::vector<uint8_t> n(cursor_->GetRecordSize(), 0xEE);
  cursor_->InitRecord(n.data());  // the computed fields of an empty record, nothing stale
  EXPECT_EQ(Computed(n), (std::vector<std::string>{"NULL", "NULL", "0", "NULL"}));
  cursor_->SetFieldData(1, n.data(), extra.Name);
  cursor_->SetFieldData(2, n.data(), &*extra.Qty);
  cursor_->SetFieldData(3, n.data(), &extra.Price);
  cursor_->InsertRecord(n.data(), false);
  EXPECT_EQ(cursor_->GetTableInfo().RecordSize, stored_);
  cursor_->Close();
  EXPECT_EQ(cursor_->GetTableInfo().RecordSize, stored_);
  // Closing forgets the list.
  cursor_->Open();
  EXPECT_FALSE(cursor_->HasComputedFields());
  EXPECT_EQ(cursor_->GetFieldCount(), 3u);
  EXPECT_EQ(cursor_->GetRecordSize(), stored_);
  EXPECT_EQ(cursor_->GetRecordCount(), 4);
  InstallLive();
  std::vector<uint8_t> d(cursor_->GetRecordSize());
  cursor_->Last();
  ASSERT_EQ(cursor_->GetPriorRecord(d.data()), 0);
  EXPECT_EQ(Computed(d), Expected(extra));
}

// Filters test computed fields on the whole record (never past the stored bytes), also for
// records written after the filter was set; and columns of a list that numbers the table's
// fields its own way are answered from the index of the field they stand for, or by reading.
TEST_F(CursorComputedTest, FiltersSeeComputedFieldsAndTheListsOwnNumbers) {
  InstallLive();
  auto visible = [&] {
    std::vector<std::string> names;
    std::vector<uint8_t> b(cursor_->GetRecordSize());
    cursor_->First();
    while (cursor_->GetNextRecord(b.data()) == 0) names.push_back(reinterpret_cast<const char*>(b.data() + 10));
    return names;
  };
  TFilter* f = cursor_->AddFilter(nullptr, "Total > 2 AND Twice < 30", false, false, false, false);
  cursor_->ActivateFilter(f);
  EXPECT_EQ(visible(), (std::vector<std::string>{"apple", "cheese"}));
  EXPECT_EQ(cursor_->GetRecordCount(), 2);
  Insert({"dates", 3, 2.0});  // Total 6: visible
  Insert({"eggs", 1, 1.0});   // Total 1: hidden
  Insert({"figs", 20, 1.0});  // Twice 40: hidden
  EXPECT_EQ(visible(), (std::vector<std::string>{"apple", "cheese", "dates"}));
  cursor_->DropFilter(f);
  cursor_->Close();
  cursor_->Open();
  // Price, Qty, Name as fields 1, 2, 3 (the table numbers them 3, 2, 1), then Total.
  std::vector<FieldDesc> list = {cursor_->GetFieldDesc(3), cursor_->GetFieldDesc(2), cursor_->GetFieldDesc(1),
                                 Field("Total", fldFloat, 0, true)};
  for (size_t i = 0; i < list.size(); ++i) list[i].FieldNumber = static_cast<uint16_t>(i + 1);
  cursor_->CheckFieldDefs(list);
  cursor_->SetComputedExpression(4, Compile(*cursor_, "Qty * Price"));
  struct Case {
    const char* Text;
    std::vector<std::string> Names;
  };
  const std::vector<Case> cases = {
      {"Price = 3", {"bread"}},
      {"Price >= 1 AND Price < 2", {"apple", "eggs", "figs"}},
      {"Name = 'dates'", {"dates"}},
      {"Total = 3", {"apple", "cheese"}},
  };
  for (const Case& c : cases) {
    TFilter* g = cursor_->AddFilter(nullptr, c.Text, false, false, false, false);
    cursor_->ActivateFilter(g);
    EXPECT_EQ(visible(), c.Names) << c.Text;
    cursor_->DropFilter(g);
  }
  // The list's Name (its field 3) is the table's indexed field 1: no record is read for it.
  const int64_t before = cursor_->FilterRecordReads();
  cursor_->ActivateFilter(cursor_->AddFilter(nullptr, "Name = 'eggs'", false, false, false, false));
  EXPECT_EQ(cursor_->FilterRecordReads(), before);
  EXPECT_EQ(visible(), (std::vector<std::string>{"eggs"}));
}

TEST_F(CursorComputedTest, FaultyListsAreRefusedAndChangeNothing) {
  struct Case {
    const char* What;
    std::function<void(std::vector<FieldDesc>&)> Change;
    uint16_t Code;
  };
  const std::vector<Case> cases = {
      {"stored field at another offset", [](auto& f) { f[1].Offset += 1; }, kErrInvalidFieldDefinition},
      {"stored field of another type", [](auto& f) { f[1].FieldType = fldFloat; }, kErrInvalidFieldDefinition},
      {"computed BLOB", [](auto& f) { f[3].FieldType = fldBlob; }, kErrInvalidFieldDefinition},
      {"extra stored BLOB", [](auto& f) { f.push_back(Field("Extra", fldBlob)); f.back().FieldNumber = 8; },
       kErrInvalidFieldDefinition},
      {"same name", [](auto& f) { f[4].Name = "TOTAL"; }, kErrInvalidFieldName},
      {"number twice", [](auto& f) { f[4].FieldNumber = 4; }, kErrInvalidFieldDefinition},
      {"bad default", [](auto& f) { f[4].DefaultValue = "x"; }, kErrInvalidValidityCheck},
      {"string 251", [](auto& f) { f[6].Size = 251; }, kErrInvalidFieldDefinition},
      {"empty", [](auto& f) { f.clear(); }, kErrFieldLimits},
  };
  for (const Case& cs : cases) {
    std::vector<FieldDesc> f = LiveFields();
    cs.Change(f);
    EXPECT_EQ(ErrorCode([&] { cursor_->CheckFieldDefs(f); }), cs.Code) << cs.What;
    EXPECT_EQ(cursor_->GetFieldCount(), 3u) << cs.What;
    EXPECT_EQ(cursor_->GetRecordSize(), stored_) << cs.What;
  }
  // An extra field that is not computed also lives behind the record.
  std::vector<FieldDesc> f = LiveFields();
  f.push_back(Field("Note", fldZString, 5));
  f.back().FieldNumber = 8;
  cursor_->CheckFieldDefs(f);
  EXPECT_EQ(cursor_->GetFieldDesc(8).Offset, stored_ + 9 + 3 + 3 + 14);
  // Expressions go to computed fields only.
  EXPECT_EQ(ErrorCode([&] { cursor_->SetComputedExpression(2, Compile(*cursor_, "Qty")); }), kErrInvalidField);
  EXPECT_EQ(ErrorCode([&] { cursor_->SetComputedExpression(9, Compile(*cursor_, "Qty")); }), kErrInvalidField);
  auto closed = std::make_unique<TDataCursor>(directory_);
  closed->SetTableName("items");
  EXPECT_NE(ErrorCode([&] { closed->CheckFieldDefs(LiveFields()); }), 0);
}

}  // namespace
}  // namespace tovenmarsh::engine
