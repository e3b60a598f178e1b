// Inserts that keep the cursor's position, checked against a cursor brought up to date after
// every insert and against a plain model of the table: two identical tables get the same random
// operations (own inserts keeping or taking the position, refused duplicates, another user's
// inserts, changes and deletes, steps, record numbers, counts, ranges, filters, index switches,
// a second cursor going to the first, clones, bookmarks, full scans). On one table the cursor
// runs a bracketed call right after each insert; on the other it does not. Everything the two
// cursors answer must agree, and the records read must be the model's. Also: inserts keeping
// the position inside a transaction, and scans reading ahead that stay inside their range.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "table_test_support.h"

namespace tovenmarsh::engine::testing {
namespace {

// Every write syncs its journal: on a memory file system the many writes here stay quick.
const bool kScratchInMemory = access("/dev/shm", W_OK) == 0 && setenv("TMPDIR", "/dev/shm", 0) == 0;

constexpr int kTables = 2;  // 0: brought up to date after each insert, 1: left to the next call
const char* const kIndexNames[] = {"", "ByB", "ByBDesc"};

TTableDefinition Definition() {
  TTableDefinition d;
  d.Data.Fields = {Field("A", fldInt32), Field("B", fldInt32), Field("C", fldInt32)};
  IndexDesc desc = Index("ByBDesc", {2, 1}, false);
  desc.Descending = true;
  desc.FieldDescending[0] = desc.FieldDescending[1] = 1;
  d.Indexes = {Index("", {1}, true), Index("ByB", {2, 1}, false), desc};
  return d;
}

struct TRow {
  int32_t B = 0, C = 0;
};

class CursorPositionTest : public TwoUsersTest {
 protected:
  // Each call sees the other user's changes at once (without this they show at a cache miss).
  void SetUp() override {
    TwoUsersTest::SetUp();
    for (TDataSession* s : sessions_) s->StrictChangeDetection = true;
  }
  static std::vector<uint8_t> Buffer(TDataCursor& c) { return std::vector<uint8_t>(c.GetRecordSize()); }
  static int32_t Int(TDataCursor& c, const std::vector<uint8_t>& b, uint32_t field) {
    int32_t v = 0;
    if (c.GetFieldData(field, b.data(), &v)) return INT32_MIN;
    return v;
  }
  static std::vector<uint8_t> Record(TDataCursor& c, int32_t a, int32_t b, int32_t v) {
    std::vector<uint8_t> r = Buffer(c);
    c.InitRecord(r.data());
    c.SetFieldData(1, r.data(), &a);
    c.SetFieldData(2, r.data(), &b);
    c.SetFieldData(3, r.data(), &v);
    return r;
  }
  // What a read answered: the code and the record's three values (A only when none was read).
  static std::string Answer(TDataCursor& c, int rc, const std::vector<uint8_t>& b) {
    if (rc != 0) return "rc" + std::to_string(rc);
    return std::to_string(Int(c, b, 1)) + "/" + std::to_string(Int(c, b, 2)) + "/" + std::to_string(Int(c, b, 3));
  }
  static std::string Flags(TDataCursor& c) {
    return std::string(c.Bof() ? "B" : "-") + (c.Eof() ? "E" : "-") + "#" + std::to_string(c.CurrentRecordNumber());
  }
};

// Every read must show the model's values for its key.
void CheckAgainstModel(const std::map<int32_t, TRow>& model, const std::string& answer) {
  if (answer.rfind("rc", 0) == 0) return;
  const int32_t a = std::stoi(answer.substr(0, answer.find('/')));
  auto it = model.find(a);
  ASSERT_NE(it, model.end()) << "read a record the table does not hold: " << answer;
  EXPECT_EQ(answer, std::to_string(a) + "/" + std::to_string(it->second.B) + "/" + std::to_string(it->second.C));
}

TEST_F(CursorPositionTest, DeferredInsertsAnswerLikeInsertsBroughtUpToDate) {
  std::mt19937 rng(20261210);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<uint32_t>(n)); };
  std::string names[kTables] = {"eager", "lazy"};
  TDataCursor* own[kTables];
  TDataCursor* other[kTables];
  TDataCursor* follower[kTables];
  for (int t = 0; t < kTables; ++t) {
    Create(names[t], Definition());
    own[t] = &OpenAs(0, names[t]);
    other[t] = &OpenAs(1, names[t]);
    follower[t] = &OpenAs(0, names[t]);
    own[t]->Table()->Data().SetNormalCapacity(t == 0 ? 64 : 24);  // read-ahead must evict
  }
  std::map<int32_t, TRow> model;
  int index = 0;
  bool ranged = false;
  int32_t rangeLo = 0, rangeHi = 0;
  std::vector<uint8_t> marks[kTables];
  TFilter* filters[kTables] = {};
  auto inRange = [&](int32_t a) {
    return (!ranged || (a >= rangeLo && a <= rangeHi)) && (!filters[0] || model.at(a).C < 50000);
  };
  auto freeKey = [&]() {
    for (;;) {
      const int32_t a = 1 + pick(20000);
      if (!model.count(a)) return a;
    }
  };
  int operations = 0;
  for (int step = 0; step < 1500 && !HasFatalFailure(); ++step) {
    const int op = pick(21);
    SCOPED_TRACE("step " + std::to_string(step) + " op " + std::to_string(op));
    std::string seen[kTables];
    ++operations;
    switch (op) {
      case 0:
      case 1:
      case 2:
      case 3: {  // own inserts keeping the position, in runs
        const int run = 1 + pick(4);
        for (int i = 0; i < run; ++i) {
          if (!model.empty() && pick(8) == 0) {  // a duplicate key: refused, nothing changes
            const int32_t a = model.begin()->first;
            for (int t = 0; t < kTables; ++t) {
              std::vector<uint8_t> r = Record(*own[t], a, 1, 1);
              EXPECT_EQ(ErrorCode([&] { own[t]->InsertRecord(r.data(), false); }), kErrDuplicateKey);
            }
            continue;
          }
          const int32_t a = freeKey(), b = pick(12), v = pick(100000);
          model[a] = {b, v};
          for (int t = 0; t < kTables; ++t) {
            std::vector<uint8_t> r = Record(*own[t], a, b, v);
            own[t]->InsertRecord(r.data(), false);
            if (t == 0) own[t]->GetRecordCount();  // any bracketed call brings it up to date
          }
        }
        break;
      }
      case 4: {  // own insert taking the position
        const int32_t a = freeKey(), b = pick(12), v = pick(100000);
        model[a] = {b, v};
        for (int t = 0; t < kTables; ++t) {
          std::vector<uint8_t> r = Record(*own[t], a, b, v);
          own[t]->InsertRecord(r.data(), true);
        }
        break;
      }
      case 5: {  // another user's insert
        const int32_t a = freeKey(), b = pick(12), v = pick(100000);
        model[a] = {b, v};
        for (int t = 0; t < kTables; ++t) {
          std::vector<uint8_t> r = Record(*other[t], a, b, v);
          other[t]->InsertRecord(r.data(), true);
        }
        break;
      }
      case 6:
      case 7: {  // another user's change of a value, or delete
        if (model.empty()) break;
        auto it = model.begin();
        std::advance(it, pick(static_cast<int>(model.size())));
        const int32_t a = it->first;
        const bool remove = op == 7;
        const int32_t v = pick(100000);
        for (int t = 0; t < kTables; ++t) {
          TDataCursor& o = *other[t];
          std::vector<uint8_t> r = Record(o, a, 0, 0);
          ASSERT_TRUE(o.FindKey(r.data(), false, r.data(), 0, false, 1));
          if (remove) {
            o.DeleteRecord(r.data(), true);
          } else {
            o.SetFieldData(3, r.data(), &v);
            o.ModifyRecord(r.data(), true, true);
          }
        }
        if (remove) model.erase(it);
        else it->second.C = v;
        break;
      }
      case 8:
      case 9:
      case 10:
      case 11: {  // steps
        const int dir = pick(4);
        for (int t = 0; t < kTables; ++t) {
          TDataCursor& c = *own[t];
          std::vector<uint8_t> b = Buffer(c);
          int rc = 0;
          if (dir == 0) c.First();
          if (dir == 1) c.Last();
          rc = dir == 0 || dir == 2 ? c.GetNextRecord(b.data()) : c.GetPriorRecord(b.data());
          seen[t] = Answer(c, rc, b) + " " + Flags(c);
          CheckAgainstModel(model, Answer(c, rc, b));
        }
        break;
      }
      case 12: {  // record number, counts, the current record
        for (int t = 0; t < kTables; ++t) {
          TDataCursor& c = *own[t];
          std::vector<uint8_t> b = Buffer(c);
          const int rc = c.GetCurrentRecord(b.data());
          seen[t] = std::to_string(c.GetRecNo()) + " " + std::to_string(c.GetRecordCount()) + " " + Answer(c, rc, b) +
                    " " + Flags(c);
          CheckAgainstModel(model, Answer(c, rc, b));
          int32_t expected = 0;
          for (const auto& [a, row] : model) expected += inRange(a) ? 1 : 0;
          EXPECT_EQ(c.GetRecordCount(), expected);
        }
        break;
      }
      case 13: {  // index switch (the range goes with it)
        index = pick(3);
        ranged = false;
        for (int t = 0; t < kTables; ++t) {
          own[t]->CancelRange();  // a switch to the index in use keeps the range
          own[t]->SwitchToIndex(kIndexNames[index]);
          seen[t] = Flags(*own[t]);
          marks[t].clear();
        }
        break;
      }
      case 14: {  // a range on the primary index, or none
        if (index != 0) break;
        ranged = pick(3) != 0;
        rangeLo = 1 + pick(20000);
        rangeHi = rangeLo + pick(6000);
        for (int t = 0; t < kTables; ++t) {
          TDataCursor& c = *own[t];
          if (ranged) {
            std::vector<uint8_t> lo = Record(c, rangeLo, 0, 0), hi = Record(c, rangeHi, 0, 0);
            c.SetRange(false, lo.data(), 1, hi.data(), 1);
          } else {
            c.CancelRange();
          }
          seen[t] = std::to_string(c.GetRecordCount()) + " " + Flags(c);
          marks[t].clear();
        }
        break;
      }
      case 15: {  // a second cursor goes to this one
        for (int t = 0; t < kTables; ++t) {
          TDataCursor& f = *follower[t];
          std::vector<uint8_t> b = Buffer(f);
          const int g = f.GotoCursor(*own[t]);
          const int rc = g == 0 ? f.GetCurrentRecord(b.data()) : g;
          seen[t] = Answer(f, rc, b);
          CheckAgainstModel(model, seen[t]);
        }
        break;
      }
      case 16: {  // a clone
        for (int t = 0; t < kTables; ++t) {
          std::unique_ptr<TDataCursor> clone = own[t]->Clone();
          std::vector<uint8_t> b = Buffer(*clone);
          const int rc = clone->GetCurrentRecord(b.data());
          seen[t] = Answer(*clone, rc, b) + " " + std::to_string(clone->GetRecNo()) + " " +
                    std::to_string(clone->GetRecordCount());
          CheckAgainstModel(model, Answer(*clone, rc, b));
          clone->Close();
        }
        break;
      }
      case 17: {  // bookmarks: take one, or go back to the one taken
        const bool take = pick(2) == 0;
        for (int t = 0; t < kTables; ++t) {
          TDataCursor& c = *own[t];
          if (marks[t].empty() || take) {
            marks[t].assign(c.GetBookmarkSize(), 0);
            c.GetBookmark(marks[t].data());
            seen[t] = "mark";
          } else {
            std::vector<uint8_t> b = Buffer(c);
            const bool found = c.GotoBookmark(marks[t].data(), true);
            const int rc = c.GetCurrentRecord(b.data());
            seen[t] = std::to_string(found) + " " + Answer(c, rc, b);
            CheckAgainstModel(model, Answer(c, rc, b));
          }
        }
        break;
      }
      case 20: {  // a filter switched on or off (inserts then take the position at once)
        for (int t = 0; t < kTables; ++t) {
          TDataCursor& c = *own[t];
          if (filters[t]) {
            c.DropFilter(filters[t]);
            filters[t] = nullptr;
          } else {
            filters[t] = c.AddFilter(nullptr, "C < 50000", false, false, false, false);
            c.ActivateFilter(filters[t]);
          }
          seen[t] = std::to_string(c.GetRecordCount()) + " " + Flags(c);
        }
        break;
      }
      default: {  // a full scan in the current order against the model
        std::vector<std::pair<int32_t, int32_t>> order;  // (B, A)
        for (const auto& [a, row] : model)
          if (inRange(a)) order.push_back({row.B, a});
        std::vector<int32_t> expected;
        if (index == 0) {
          for (auto& p : order) expected.push_back(p.second);
          std::sort(expected.begin(), expected.end());
        } else {
          std::sort(order.begin(), order.end());
          if (index == 2) std::reverse(order.begin(), order.end());
          for (auto& p : order) expected.push_back(p.second);
        }
        for (int t = 0; t < kTables; ++t) {
          TDataCursor& c = *own[t];
          std::vector<uint8_t> b = Buffer(c);
          std::vector<int32_t> got;
          c.First();
          while (c.GetNextRecord(b.data()) == 0) {
            got.push_back(Int(c, b, 1));
            CheckAgainstModel(model, Answer(c, 0, b));
          }
          EXPECT_EQ(got, expected) << names[t];
          seen[t] = std::to_string(got.size());
        }
        break;
      }
    }
    ASSERT_EQ(seen[0], seen[1]) << "the cursor left to the next call answered differently";
  }
  EXPECT_GT(operations, 1000) << kScratchInMemory;
}

// Right after an insert that keeps the position, the position the cursor shows without a call
// (Bof, Eof, the current record number) is the one the next call settles on: an empty table
// gets its first record as the current one with the cursor before it, as when the insert
// brought the position up to date itself.
TEST_F(CursorPositionTest, PositionShownRightAfterAnInsertKeepingIt) {
  enum TStart { kEmpty, kAtStart, kAtEnd, kOnRecord, kEmptyRange };
  const TStart starts[] = {kEmpty, kAtStart, kAtEnd, kOnRecord, kEmptyRange};
  int tableNo = 0;
  for (TStart start : starts) {
    SCOPED_TRACE(static_cast<int>(start));
    const std::string name = "shown" + std::to_string(++tableNo);
    Create(name, Definition());
    TDataCursor& c = OpenAs(0, name);
    if (start != kEmpty && start != kEmptyRange)
      for (int32_t a = 10; a <= 30; a += 10) {
        std::vector<uint8_t> r = Record(c, a, a, a);
        c.InsertRecord(r.data(), true);
      }
    if (start == kEmptyRange) {
      std::vector<uint8_t> lo = Record(c, 100, 0, 0), hi = Record(c, 200, 0, 0);
      c.SetRange(false, lo.data(), 1, hi.data(), 1);
    }
    std::vector<uint8_t> b = Buffer(c);
    if (start == kAtEnd) c.Last();
    else c.First();
    if (start == kOnRecord) {
      ASSERT_EQ(c.GetNextRecord(b.data()), 0);
    }
    std::vector<uint8_t> r = Record(c, 150, 1, 1);
    c.InsertRecord(r.data(), false);
    const std::string shown = Flags(c);
    c.GetRecordCount();  // any call brings the position up to date
    EXPECT_EQ(shown, Flags(c));
  }
}

// Inserts that keep the position and are then rolled back: the next call counts and steps
// through what the table holds again, like a cursor brought up to date after each insert.
TEST_F(CursorPositionTest, DeferredInsertsRolledBack) {
  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "commit" : "rollback");
    std::string names[kTables] = {commit ? "ceager" : "reager", commit ? "clazy" : "rlazy"};
    TDataCursor* c[kTables];
    for (int t = 0; t < kTables; ++t) {
      Create(names[t], Definition());
      c[t] = &OpenAs(0, names[t]);
      for (int32_t a = 10; a <= 50; a += 10) {
        std::vector<uint8_t> r = Record(*c[t], a, a, a);
        c[t]->InsertRecord(r.data(), true);
      }
      c[t]->SwitchToIndex("ByB");
      c[t]->Last();
    }
    directories_[0]->StartTransaction();
    for (int t = 0; t < kTables; ++t)
      for (int32_t a : {5, 55, 25, 60}) {
        std::vector<uint8_t> r = Record(*c[t], a, a, a);
        c[t]->InsertRecord(r.data(), false);
        if (t == 0) c[t]->GetRecordCount();
      }
    if (commit) directories_[0]->Commit(true);
    else directories_[0]->Rollback();
    std::string seen[kTables];
    for (int t = 0; t < kTables; ++t) {
      std::vector<uint8_t> b = Buffer(*c[t]);
      seen[t] = std::to_string(c[t]->GetRecordCount()) + " " + std::to_string(c[t]->GetRecNo());
      while (c[t]->GetPriorRecord(b.data()) == 0) seen[t] += " " + std::to_string(Int(*c[t], b, 1));
    }
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(seen[1], commit ? "9 9 60 55 50 40 30 25 20 10 5" : "5 5 50 40 30 20 10");
  }
}

// Records stored in key order, so that scans read ahead across index leaves: a scan inside a
// range stops at its end, both ways, and after the other user changes records on either side of
// the range (and deletes some at the end of the file) the next scans read the new values.
TEST_F(CursorPositionTest, ReadAheadAcrossLeavesStaysInsideRangeAndSeesOtherUsersWrites) {
  Create("ordered", Definition());
  TDataCursor& c = OpenAs(0, "ordered");
  TDataCursor& o = OpenAs(1, "ordered");
  // A small record cache: read-ahead has to take the places of older records.
  c.Table()->Data().SetNormalCapacity(40);
  std::map<int32_t, TRow> model;
  for (int32_t a = 1; a <= 1500; ++a) {
    std::vector<uint8_t> r = Record(c, a, a % 7, a);
    c.InsertRecord(r.data(), false);
    model[a] = {a % 7, a};
  }
  auto scan = [&](bool forward, int32_t lo, int32_t hi) {
    std::vector<int32_t> got, expected;
    std::vector<uint8_t> b = Buffer(c);
    if (forward) c.First();
    else c.Last();
    while ((forward ? c.GetNextRecord(b.data()) : c.GetPriorRecord(b.data())) == 0) {
      got.push_back(Int(c, b, 1));
      CheckAgainstModel(model, Answer(c, 0, b));
    }
    for (const auto& [a, row] : model)
      if (a >= lo && a <= hi) expected.push_back(a);
    if (!forward) std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(got, expected) << (forward ? "forward " : "backward ") << lo << ".." << hi;
  };
  const std::pair<int32_t, int32_t> ranges[] = {{1, 1500}, {300, 900}, {1, 17}, {1490, 1500}, {700, 700}};
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    for (const auto& [lo, hi] : ranges) {
      std::vector<uint8_t> l = Record(c, lo, 0, 0), h = Record(c, hi, 0, 0);
      c.SetRange(false, l.data(), 1, h.data(), 1);
      scan(true, lo, hi);
      scan(false, lo, hi);
    }
    c.CancelRange();
    // The other user: new values just outside and inside each range, and the last records gone.
    for (int32_t a : {299, 300, 301, 899, 900, 901, 16, 17, 18, 1489, 1490, 699, 700, 701}) {
      if (!model.count(a)) continue;
      std::vector<uint8_t> r = Record(o, a, 0, 0);
      ASSERT_TRUE(o.FindKey(r.data(), false, r.data(), 0, false, 1));
      const int32_t v = model[a].C + 100000;
      o.SetFieldData(3, r.data(), &v);
      o.ModifyRecord(r.data(), true, true);
      model[a].C = v;
    }
    for (int i = 0; i < 3; ++i) {
      const int32_t a = model.rbegin()->first;
      std::vector<uint8_t> r = Record(o, a, 0, 0);
      ASSERT_TRUE(o.FindKey(r.data(), false, r.data(), 0, false, 1));
      o.DeleteRecord(r.data(), true);
      model.erase(a);
    }
    scan(true, 1, 1500);
    scan(false, 1, 1500);
  }
}

}  // namespace
}  // namespace tovenmarsh::engine::testing
