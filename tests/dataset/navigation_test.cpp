// Navigation of the data set: Bof/Eof after Open, moves and Delete, empty ranges, failed
// fetches, RecNo, and a random walk checked against a plain list.
#include <gtest/gtest.h>

#include <random>

#include "dataset/database_error.h"
#include "engine/base/engine_error.h"
#include "support/fixtures.h"

namespace tovenmarsh::dataset::testing {
namespace {

class NavigationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    table = MakePeopleTable();
    ds = std::make_unique<TMemoryDataSet>(table);
    ds->Open();
  }
  int No() { return ds->FieldByName("no").AsInteger(); }
  std::shared_ptr<TMemoryTable> table;
  std::unique_ptr<TMemoryDataSet> ds;
};

TEST_F(NavigationTest, OpenOnEmptyAndFilledSource) {
  EXPECT_TRUE(ds->Bof());
  EXPECT_TRUE(ds->Eof());
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_TRUE(ds->FieldByName("no").IsNull());
  ds->Next();  // nothing to move to, and no exception
  EXPECT_TRUE(ds->Eof());

  FillPeople(*ds, 3);
  ds->Close();
  ds->Open();
  EXPECT_TRUE(ds->Bof());
  EXPECT_FALSE(ds->Eof());
  EXPECT_EQ(No(), 1);
  EXPECT_EQ(ds->RecNo(), 1);
  EXPECT_EQ(ds->RecordCount(), 3);
}

TEST_F(NavigationTest, NextAndPriorSetEofAndBofAtTheEnds) {
  FillPeople(*ds, 3);
  ds->First();
  ds->Next();
  EXPECT_FALSE(ds->Bof());
  EXPECT_FALSE(ds->Eof());
  ds->Next();
  EXPECT_EQ(No(), 3);
  EXPECT_FALSE(ds->Eof());
  ds->Next();  // after the last: Eof, the last record stays visible
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(No(), 3);
  ds->Next();
  EXPECT_EQ(No(), 3);

  ds->Last();
  EXPECT_TRUE(ds->Eof());
  EXPECT_FALSE(ds->Bof());
  EXPECT_EQ(No(), 3);
  ds->Prior();
  ds->Prior();
  EXPECT_EQ(No(), 1);
  ds->Prior();
  EXPECT_TRUE(ds->Bof());
  EXPECT_EQ(No(), 1);
  EXPECT_EQ(Walk(*ds), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(ds->MoveBy(5), -0 + 0);  // at Eof after the walk: nothing moves
  ds->First();
  EXPECT_EQ(ds->MoveBy(5), 2);
  EXPECT_TRUE(ds->Eof());
  EXPECT_EQ(ds->MoveBy(-5), -2);
  EXPECT_TRUE(ds->Bof());
}

TEST_F(NavigationTest, AFailedFetchReturnsToTheActiveRecordFirst) {
  FillPeople(*ds, 4);
  // At Eof the cursor stands after the last record; Prior must give the one before the
  // active (last) record, not the last record again.
  ds->Last();
  ds->Next();
  EXPECT_TRUE(ds->Eof());
  ds->Prior();
  EXPECT_EQ(No(), 3);

  // A fetch failing with an error leaves the active record; the next move starts from it.
  ds->First();
  ds->Next();  // on 2
  ds->FailNextFetch(engine::kErrRecordBuffersCorrupt);
  EXPECT_THROW(ds->Next(), engine::EFenEngineError);
  EXPECT_EQ(No(), 2);
  ds->Next();
  EXPECT_EQ(No(), 3);
  ds->FailNextFetch(engine::kErrRecordBuffersCorrupt);
  EXPECT_THROW(ds->Prior(), engine::EFenEngineError);
  ds->Edit();  // the edit lock goes to the active record, not to where the cursor was left
  ds->FieldByName("level").SetAsInteger(99);
  ds->Post();
  EXPECT_EQ(No(), 3);
  ds->First();
  ds->MoveBy(2);
  EXPECT_EQ(ds->FieldByName("level").AsInteger(), 99);
}

TEST_F(NavigationTest, DeleteMakesTheFollowingRecordCurrent) {
  FillPeople(*ds, 4);
  ds->First();
  ds->Next();  // 2
  ds->Delete();
  EXPECT_EQ(No(), 3);
  EXPECT_FALSE(ds->Bof());
  EXPECT_FALSE(ds->Eof());
  ds->Last();
  ds->Delete();  // the last: the one before becomes current
  EXPECT_EQ(No(), 3);
  EXPECT_FALSE(ds->Eof());
  ds->Delete();
  EXPECT_EQ(No(), 1);
  ds->Delete();  // the only one: empty
  EXPECT_TRUE(ds->IsEmpty());
  EXPECT_TRUE(ds->Bof());
  EXPECT_TRUE(ds->Eof());
  try {
    ds->Delete();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Cannot perform this operation on an empty dataset");
  }
}

TEST_F(NavigationTest, AnEmptyRangeReadsAsEof) {
  FillPeople(*ds, 5);
  ds->SetRange(0, 2, 4);
  EXPECT_EQ(Walk(*ds), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(ds->RecordCount(), 3);
  ds->SetRange(0, 10, 20);
  ds->First();
  EXPECT_TRUE(ds->Eof());
  EXPECT_TRUE(ds->Bof());
  EXPECT_TRUE(ds->IsEmpty());
  ds->Last();
  EXPECT_TRUE(ds->Eof());
  ds->CancelRange();
  ds->First();
  EXPECT_EQ(No(), 1);
}

TEST_F(NavigationTest, RecNoReadsAndMoves) {
  FillPeople(*ds, 5);
  ds->SetRecNo(4);
  EXPECT_EQ(No(), 4);
  EXPECT_EQ(ds->RecNo(), 4);
  ds->Prior();
  EXPECT_EQ(ds->RecNo(), 3);
  ds->Insert();
  EXPECT_EQ(ds->RecNo(), -1);
  ds->Cancel();
  EXPECT_EQ(ds->RecNo(), 3);
}

TEST_F(NavigationTest, ClosedDataSetRefusesWork) {
  ds->Close();
  EXPECT_FALSE(ds->Active());
  EXPECT_THROW(ds->First(), EDatabaseError);
  EXPECT_THROW(ds->RecordCount(), EDatabaseError);
  EXPECT_EQ(ds->FieldCount(), 0);  // fields made at open are gone
}

// Random moves, inserts and deletes against a plain list of the visible numbers.
TEST_F(NavigationTest, RandomOperationsMatchAModel) {
  std::mt19937 rng(20261210);
  std::vector<int> model;  // "no" values in physical order
  int pos = -1;            // index of the active record in model; -1 when empty
  bool bof = true, eof = true;
  int nextNo = 1;
  for (int step = 0; step < 3000; ++step) {
    int op = static_cast<int>(rng() % 7);
    switch (op) {
      case 0:
        ds->First();
        pos = model.empty() ? -1 : 0;
        bof = true;
        eof = model.empty();
        break;
      case 1:
        ds->Last();
        pos = model.empty() ? -1 : static_cast<int>(model.size()) - 1;
        eof = true;
        bof = model.empty();
        break;
      case 2:
        if (!eof) {
          bof = false;
          if (pos + 1 < static_cast<int>(model.size())) ++pos; else eof = true;
        }
        ds->Next();
        break;
      case 3:
        if (!bof) {
          eof = false;
          if (pos > 0) --pos; else bof = true;
        }
        ds->Prior();
        break;
      case 4:
      case 5: {
        ds->Append();
        ds->FieldByName("no").SetAsInteger(nextNo);
        ds->Post();
        model.push_back(nextNo++);
        pos = static_cast<int>(model.size()) - 1;
        bof = eof = false;
        break;
      }
      case 6:
        if (model.empty()) {
          EXPECT_THROW(ds->Delete(), EDatabaseError);
          break;
        }
        ds->Delete();
        model.erase(model.begin() + pos);
        if (model.empty()) {
          pos = -1;
          bof = eof = true;
        } else {
          if (pos >= static_cast<int>(model.size())) pos = static_cast<int>(model.size()) - 1;
          bof = eof = false;
        }
        break;
    }
    ASSERT_EQ(ds->Bof(), bof) << "step " << step << " op " << op;
    ASSERT_EQ(ds->Eof(), eof) << "step " << step << " op " << op;
    ASSERT_EQ(ds->IsEmpty(), model.empty());
    if (pos >= 0) {
      ASSERT_EQ(No(), model[static_cast<size_t>(pos)]) << "step " << step << " op " << op;
      ASSERT_EQ(ds->RecNo(), pos + 1);
    }
  }
}

// Edits, cancels, inserts and bookmark jumps mixed with moves, against a model of the rows
// (number, level) in physical order.
TEST_F(NavigationTest, RandomEditingMatchesAModel) {
  std::mt19937 rng(7);
  struct Row {
    int no, level;
  };
  std::vector<Row> model;
  int pos = -1;
  int nextNo = 1;
  std::vector<std::pair<TBookmark, int>> marks;  // bookmark and the "no" it was taken on
  auto indexOf = [&](int no) {
    for (size_t i = 0; i < model.size(); ++i)
      if (model[i].no == no) return static_cast<int>(i);
    return -1;
  };
  for (int step = 0; step < 2000; ++step) {
    int op = static_cast<int>(rng() % 9);
    switch (op) {
      case 0:  // insert, then post or cancel
      case 1: {
        bool post = op == 0;
        ds->Insert();
        ASSERT_EQ(ds->FieldByName("level").AsInteger(), 7);
        ds->FieldByName("no").SetAsInteger(nextNo);
        ds->FieldByName("level").SetAsInteger(static_cast<int>(rng() % 100));
        int level = ds->FieldByName("level").AsInteger();
        if (post) {
          ds->Post();
          model.push_back({nextNo++, level});
          pos = static_cast<int>(model.size()) - 1;
        } else {
          ds->Cancel();
        }
        break;
      }
      case 2:  // edit, then post, cancel or leave through a move
      case 3: {
        if (model.empty()) break;
        ds->Edit();
        int level = static_cast<int>(rng() % 100);
        ds->FieldByName("level").SetAsInteger(level);
        if (op == 2) {
          ds->Post();
          model[static_cast<size_t>(pos)].level = level;
        } else if (rng() % 2) {
          ds->Cancel();
        } else {
          model[static_cast<size_t>(pos)].level = level;
          ds->First();  // the move posts it
          pos = 0;
        }
        break;
      }
      case 4:
        if (!model.empty()) marks.emplace_back(ds->GetBookmark(), model[static_cast<size_t>(pos)].no);
        break;
      case 5: {
        if (marks.empty()) break;
        auto [mark, no] = marks[rng() % marks.size()];
        if (indexOf(no) < 0) {
          EXPECT_THROW(ds->GotoBookmark(mark), engine::EFenEngineError);
        } else {
          ds->GotoBookmark(mark);
          pos = indexOf(no);
        }
        break;
      }
      case 6:
        if (model.empty()) break;
        ds->Delete();
        model.erase(model.begin() + pos);
        pos = model.empty() ? -1 : std::min(pos, static_cast<int>(model.size()) - 1);
        break;
      case 7:
        ds->Next();
        if (pos >= 0 && pos + 1 < static_cast<int>(model.size())) ++pos;
        break;
      case 8:
        ds->Prior();
        if (pos > 0) --pos;
        break;
    }
    ASSERT_EQ(ds->State(), TDataSetState::dsBrowse);
    ASSERT_EQ(ds->RecordCount(), static_cast<int>(model.size()));
    if (pos >= 0) {
      ASSERT_EQ(No(), model[static_cast<size_t>(pos)].no) << "step " << step << " op " << op;
      ASSERT_EQ(ds->FieldByName("level").AsInteger(), model[static_cast<size_t>(pos)].level)
          << "step " << step << " op " << op;
    } else {
      ASSERT_TRUE(ds->IsEmpty());
    }
  }
}

}  // namespace
}  // namespace tovenmarsh::dataset::testing
