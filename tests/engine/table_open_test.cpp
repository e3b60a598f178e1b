// Opening tables through the cursor: a table without a primary index opens and reads in
// physical order (also after its index file was lost and made anew), and an encrypted table
// reopens only with its password, given up front or through the password callback (10498
// without either).
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "file_test_support.h"
#include "table_test_support.h"

namespace tovenmarsh::engine {
namespace {

using testing::ErrorCode;
using testing::Field;
using testing::Index;

class TableOpenTest : public testing::EngineDirectoryTest {
 protected:
  void SetUp() override {
    EngineDirectoryTest::SetUp();
  }
  void TearDown() override {
    EngineDirectoryTest::TearDown();
  }
  std::unique_ptr<TDataCursor> Cursor(const std::string& name, bool exclusive = false) {
    auto c = std::make_unique<TDataCursor>(directory_);
    c->SetTableName(name);
    c->SetExclusive(exclusive);
    return c;
  }
  // Id, Name; rows inserted in descending Id order so that physical and key order differ.
  void Create(const std::string& name, const TTableAttributes& a, const std::vector<IndexDesc>& indexes, int rows,
              bool memo = false) {
    auto c = Cursor(name, true);
    std::vector<FieldDesc> fields = {Field("Id", fldInt32), Field("Name", fldZString, 10)};
    if (memo) fields.push_back(Field("Memo", fldBlob));
    if (memo) fields.back().SubType = fldstMemo;
    c->CreateTable(a, false, indexes, fields);
    if (a.Encrypted) session_->AddPassword(a.Password);
    c->Open();
    if (a.Encrypted) session_->RemovePassword(a.Password);
    std::vector<uint8_t> b(c->GetRecordSize());
    for (int i = rows; i >= 1; --i) {
      c->InitRecord(b.data());
      const std::string n = "n" + std::to_string(i);
      c->SetFieldData(1, b.data(), &i);
      c->SetFieldData(2, b.data(), n.c_str());
      c->InsertRecord(b.data(), false);
    }
    c->Close();
  }
  static std::vector<int32_t> Ids(TDataCursor& c) {
    std::vector<int32_t> out;
    std::vector<uint8_t> b(c.GetRecordSize());
    c.First();
    while (c.GetNextRecord(b.data()) == 0) {
      int32_t v = 0;
      c.GetFieldData(1, b.data(), &v);
      out.push_back(v);
    }
    return out;
  }

};

const std::vector<int32_t> kPhysical = {5, 4, 3, 2, 1};
const std::vector<int32_t> kKeyed = {1, 2, 3, 4, 5};

TEST_F(TableOpenTest, TableWithoutPrimaryIndexOpensInPhysicalOrder) {
  struct Case {
    const char* Name;
    std::vector<IndexDesc> Indexes;
  };
  const std::vector<Case> cases = {{"bare", {}}, {"secondary", {IndexDesc{}, Index("ById", {1})}}};
  for (const Case& cs : cases) {
    Create(cs.Name, TTableAttributes{}, cs.Indexes, 5);
    auto c = Cursor(cs.Name);
    ASSERT_EQ(ErrorCode([&] { c->Open(); }), 0) << cs.Name;
    EXPECT_EQ(c->GetIndexCount(), static_cast<int>(cs.Indexes.empty() ? 0 : cs.Indexes.size() - 1)) << cs.Name;
    EXPECT_EQ(Ids(*c), kPhysical) << cs.Name;
    EXPECT_EQ(c->GetRecordCount(), 5) << cs.Name;
    // The empty name selects physical order when there is no primary index.
    ASSERT_EQ(ErrorCode([&] { c->SwitchToIndex(""); }), 0) << cs.Name;
    EXPECT_EQ(Ids(*c), kPhysical) << cs.Name;
    if (!cs.Indexes.empty()) {
      c->SwitchToIndex("byid");
      EXPECT_EQ(Ids(*c), kKeyed) << cs.Name;
      ASSERT_EQ(ErrorCode([&] { c->SwitchToIndex(""); }), 0) << cs.Name;
      EXPECT_EQ(Ids(*c), kPhysical) << cs.Name;
    }
    EXPECT_EQ(ErrorCode([&] { c->SwitchToIndex("Nope"); }), kErrInvalidSecondaryIndexName) << cs.Name;
    c->Close();
  }
}

TEST_F(TableOpenTest, LostIndexFileIsMadeAnewInPhysicalOrder) {
  for (const int variant : {0, 1, 2}) {  // plain shared, encrypted shared, plain exclusive
    const bool encrypted = variant == 1;
    const bool exclusive = variant == 2;
    const std::string name = "lost" + std::to_string(variant);
    TTableAttributes a;
    a.Encrypted = encrypted;
    a.Password = encrypted ? "secret" : "";
    Create(name, a, {Index("", {1}, true), Index("ByName", {2})}, 5, variant > 0);
    if (encrypted) session_->AddPassword("secret");
    for (const auto& e : std::filesystem::directory_iterator(scratch_.Path()))
      if (e.path().stem() == name && (e.path().extension() == ".idx" || e.path().extension() == ".IDX"))
        std::filesystem::remove(e.path());
    ASSERT_FALSE(scratch_.Has(name + ".idx") || scratch_.Has(name + ".IDX"));
    for (int round = 0; round < 2; ++round) {  // the second open finds the recreated file
      auto c = Cursor(name, exclusive);
      ASSERT_EQ(ErrorCode([&] { c->Open(); }), 0) << name << round;
      EXPECT_EQ(c->GetIndexCount(), 0) << name << round;
      EXPECT_EQ(Ids(*c), kPhysical) << name << round;
      EXPECT_EQ(c->GetRecordCount(), 5) << name << round;
      c->Close();
    }
    session_->RemoveAllPasswords();
  }
}

TEST_F(TableOpenTest, PrimaryIndexDroppedAddedAndRestructuredAway) {
  struct Case {
    const char* Name;
    std::function<void(TDataCursor&)> Change;
    int Indexes;
  };
  const std::vector<Case> cases = {
      {"dropped", [](TDataCursor& c) { c.Open(); c.DeleteIndex("", false); }, 1},
      {"dropmoved", [](TDataCursor& c) { c.Open(); c.DeleteIndex("", true); }, 1},
      {"altered",
       [](TDataCursor& c) {
         c.AlterTable({}, {IndexDesc{}, Index("ByName", {2})}, {Field("Id", fldInt32), Field("Name", fldZString, 10)},
                      false);
       },
       1},
      {"added", [](TDataCursor& c) { c.Open(); c.DeleteIndex("", false); c.AddIndex(Index("ById", {1})); }, 2},
  };
  for (const Case& cs : cases) {
    Create(cs.Name, TTableAttributes{}, {Index("", {1}, true), Index("ByName", {2})}, 5);
    {
      auto c = Cursor(cs.Name, true);
      ASSERT_EQ(ErrorCode([&] { cs.Change(*c); }), 0) << cs.Name;
      c->Close();
    }
    for (int round = 0; round < 2; ++round) {
      auto c = Cursor(cs.Name);
      ASSERT_EQ(ErrorCode([&] { c->Open(); }), 0) << cs.Name;
      EXPECT_EQ(c->GetIndexCount(), cs.Indexes) << cs.Name;
      EXPECT_EQ(c->GetRecordCount(), 5) << cs.Name;
      ASSERT_EQ(ErrorCode([&] { c->SwitchToIndex(""); }), 0) << cs.Name;
      EXPECT_EQ(Ids(*c), kPhysical) << cs.Name;
      c->SwitchToIndex("ByName");
      EXPECT_EQ(Ids(*c), kKeyed) << cs.Name;
      c->Close();
    }
  }
}

bool GivePassword(void* owner, int) {
  auto* state = static_cast<std::pair<TDataSession*, int>*>(owner);
  ++state->second;
  if (state->second > 1) return false;
  state->first->AddPassword("secret");
  return true;
}

TEST_F(TableOpenTest, EncryptedTableReopensOnlyWithItsPassword) {
  TTableAttributes a;
  a.Encrypted = true;
  a.Password = "secret";
  Create("locked", a, {Index("", {1}, true), Index("ByName", {2})}, 5, true);
  ASSERT_FALSE(session_->HasPassword("secret"));  // the creator's password is not kept

  auto refused = Cursor("locked");
  EXPECT_EQ(ErrorCode([&] { refused->Open(); }), kErrInsufficientRights);

  std::pair<TDataSession*, int> state{session_, 0};
  auto asked = Cursor("locked");
  asked->SetPasswordCallback(&state, GivePassword);
  ASSERT_EQ(ErrorCode([&] { asked->Open(); }), 0);
  EXPECT_EQ(state.second, 1);
  EXPECT_EQ(Ids(*asked), kKeyed);
  asked->SwitchToIndex("ByName");
  EXPECT_EQ(asked->GetRecordCount(), 5);
  asked->Close();

  auto known = Cursor("locked");  // the session now holds the password
  ASSERT_EQ(ErrorCode([&] { known->Open(); }), 0);
  EXPECT_EQ(Ids(*known), kKeyed);
  known->Close();

  // Nothing readable on disk: the names are scrambled in every file.
  for (const char* ext : {".DAT", ".IDX"}) EXPECT_EQ(scratch_.Get(std::string("locked") + ext).find("n3"), std::string::npos) << ext;
}

}  // namespace
}  // namespace tovenmarsh::engine
