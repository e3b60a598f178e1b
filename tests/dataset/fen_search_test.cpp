// Searching tables over the engine: Locate through the active index, through a lookup cursor on
// another index and through an engine filter must give the same answers on the same data (and
// agree with a plain model of the rows); the lookup cursor is made once and reused; the filter
// route's own rules (trailing "*", nulls, non-text fields compared by value); and
// FindFirst/FindNext/FindPrior/FindLast with the filters in force for the search only,
// checked against a model over random moves.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "dataset/database_error.h"
#include "dataset/fen_engine_error.h"
#include "dataset/fen_session.h"
#include "dataset/fen_table.h"
#include "platform/paths.h"
#include "platform/win1252.h"

namespace tovenmarsh::dataset {
namespace {

struct Row {
  int no;
  std::string name;  // "" = null
  std::string city;
  std::optional<int> level;
  bool active;
};

bool StartsWith(const std::string& text, const std::string& prefix, bool ci) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    const char a = ci ? platform::Win1252Upper(text[i]) : text[i];
    const char b = ci ? platform::Win1252Upper(prefix[i]) : prefix[i];
    if (a != b) return false;
  }
  return true;
}

// The model's rule for one text field (no "*" in the values it is asked about).
bool TextMatches(const std::string& have, const std::string& want, TLocateOptions options) {
  if (want.empty() || have.empty()) return want.empty() && have.empty();
  const bool ci = (options & loCaseInsensitive) != 0;
  if ((options & loPartialKey) != 0) return StartsWith(have, want, ci);
  return have.size() == want.size() && StartsWith(have, want, ci);
}

class FenSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = platform::SystemTempFolder() + "fensearchXXXXXX";
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    folder_ = pattern + "/";
    TFenTable t;
    t.SetTableName(folder_ + "people");
    t.FieldDefs().Add("no", ftInteger, 0, true);
    t.FieldDefs().Add("name", ftString, 20);
    t.FieldDefs().Add("city", ftString, 20);
    t.FieldDefs().Add("level", ftInteger);
    t.FieldDefs().Add("active", ftBoolean);
    t.FieldDefs().Add("born", ftDateTime);
    t.IndexDefs().Add("", "no", ixPrimary | ixUnique);
    t.IndexDefs().Add("ByName", "name", 0);
    t.IndexDefs().Add("ByNameCI", "name", ixCaseInsensitive);
    t.IndexDefs().Add("ByCityLevel", "city;level", 0);
    t.CreateTable();
  }
  void TearDown() override {
    table_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }

  TFenTable& Open() {
    table_ = std::make_unique<TFenTable>();
    table_->SetTableName(folder_ + "people");
    table_->Open();
    return *table_;
  }

  void Add(const Row& r) {
    TFenTable& t = *table_;
    t.Append();
    t.FieldByName("no").SetAsInteger(r.no);
    t.FieldByName("name").SetAsString(r.name);
    t.FieldByName("city").SetAsString(r.city);
    if (r.level) t.FieldByName("level").SetAsInteger(*r.level);
    t.FieldByName("active").SetAsBoolean(r.active);
    t.Post();
    rows_.push_back(r);
  }

  int No() const { return table_->FieldByName("no").AsInteger(); }

  // Locate with the routes forced one by one; answers the record found (0: none) per route.
  std::string folder_;
  std::unique_ptr<TFenTable> table_;
  std::vector<Row> rows_;
};

// Random rows and random one- and two-field queries: the own index, the lookup cursor and the
// filter route agree with the model and, in the same order, on the very record.
TEST_F(FenSearchTest, IndexLookupCursorAndFilterRoutesGiveTheSameAnswers) {
  TFenTable& t = Open();
  const std::vector<std::string> names = {"Smith", "smith", "SMITH", "Smallwood", "smythe", "Baker",
                                          "baker", "Zed", "", "Sm", "\xC9mile", "\xE9mile"};
  const std::vector<std::string> cities = {"Oslo", "oslo", "Bergen", ""};
  std::mt19937 random(11);
  for (int no = 1; no <= 60; ++no) {
    Row r{no, names[random() % names.size()], cities[random() % cities.size()], std::nullopt, random() % 2 == 0};
    if (random() % 5 != 0) r.level = static_cast<int>(random() % 4);
    Add(r);
  }
  const std::vector<std::string> wanted = {"Smith", "smith", "SMITH", "Sm", "sm", "S", "Baker", "BAKER",
                                           "b", "Zed", "Nobody", "", "\xC9mile", "\xE9MILE", "Smallwoods"};
  const bool acceptAll = true;
  int found = 0;
  for (const std::string& want : wanted) {
    for (const TLocateOptions options : std::vector<TLocateOptions>{0, loCaseInsensitive, loPartialKey, loPartialKey | loCaseInsensitive}) {
      SCOPED_TRACE("name '" + want + "' options " + std::to_string(options));
      std::vector<int> model;
      for (const Row& r : rows_)
        if (TextMatches(r.name, want, options)) model.push_back(r.no);
      const bool ci = (options & loCaseInsensitive) != 0;
      // The index that serves the search, its order searched by the filter route as well.
      t.SetIndexName(ci ? "ByNameCI" : "ByName");
      ASSERT_TRUE(t.Locate("name", {TVariant(want)}, options) == !model.empty());
      const int byIndex = model.empty() ? 0 : No();
      t.SetOnFilterRecord([](TDataSet&, bool& accept) { accept = acceptAll; });
      t.SetFiltered(true);  // a callback filter sends Locate along the filter route
      ASSERT_TRUE(t.Locate("name", {TVariant(want)}, options) == !model.empty());
      const int byFilter = model.empty() ? 0 : No();
      t.SetFiltered(false);
      t.SetOnFilterRecord(nullptr);
      EXPECT_EQ(byIndex, byFilter);
      EXPECT_TRUE(model.empty() || std::find(model.begin(), model.end(), byIndex) != model.end());
      // Under the primary index the lookup cursor seeks on the name index.
      t.SetIndexName("");
      ASSERT_TRUE(t.Locate("name", {TVariant(want)}, options) == !model.empty());
      EXPECT_NE(t.LookupCursor(), nullptr);
      if (!model.empty()) {
        EXPECT_EQ(No(), byIndex);
      }
      found += model.empty() ? 0 : 1;
    }
  }
  EXPECT_GT(found, 20);

  // Two fields: the index on both, and the filter route's AND of two conditions.
  for (const std::string city : {"Oslo", "oslo", "Bergen", "", "Rome"}) {
    for (int level = -1; level < 4; ++level) {
      const TVariant levelValue = level < 0 ? TVariant() : TVariant(level);
      std::vector<int> model;
      for (const Row& r : rows_)
        if (TextMatches(r.city, city, 0) && (level < 0 ? !r.level : r.level == level)) model.push_back(r.no);
      SCOPED_TRACE(city + " " + std::to_string(level));
      t.SetIndexName("ByCityLevel");
      ASSERT_EQ(t.Locate("city;level", {TVariant(city), levelValue}, 0), !model.empty());
      const int byIndex = model.empty() ? 0 : No();
      t.SetIndexName("ByName");  // no lookup cursor serves "level;city": the filter route
      ASSERT_EQ(t.Locate("level;city", {levelValue, TVariant(city)}, 0), !model.empty());
      EXPECT_EQ(t.LookupCursor(), nullptr);
      if (!model.empty()) {
        EXPECT_NE(std::find(model.begin(), model.end(), byIndex), model.end());
        EXPECT_NE(std::find(model.begin(), model.end(), No()), model.end());
      }
    }
  }

  // The primary index: its own seek, the filter route and, under another index, the lookup
  // cursor on the primary index.
  for (int no : {1, 17, 60, 0, 61, -3}) {
    SCOPED_TRACE("no " + std::to_string(no));
    const bool exists = no >= 1 && no <= 60;
    t.SetIndexName("");
    EXPECT_EQ(t.Locate("no", {TVariant(no)}, 0), exists);
    if (exists) {
      EXPECT_EQ(No(), no);
    }
    t.SetOnFilterRecord([](TDataSet&, bool& accept) { accept = acceptAll; });
    t.SetFiltered(true);
    EXPECT_EQ(t.Locate("no", {TVariant(no)}, loPartialKey), exists);
    if (exists) {
      EXPECT_EQ(No(), no);
    }
    t.SetFiltered(false);
    t.SetOnFilterRecord(nullptr);
    t.SetIndexName("ByCityLevel");
    EXPECT_EQ(t.Locate("no", {TVariant(no)}, 0), exists);
    EXPECT_NE(t.LookupCursor(), nullptr);
    if (exists) {
      EXPECT_EQ(No(), no);
    }
  }

  // Lookup answers through every route alike, without moving.
  t.SetIndexName("");
  t.First();
  for (const Row& r : rows_) {
    if (r.name.empty()) continue;
    const std::vector<TVariant> got = t.Lookup("no", {TVariant(r.no)}, "name;level");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].AsString(), r.name);
    EXPECT_EQ(got[1].IsNull(), !r.level);
  }
  EXPECT_EQ(No(), 1);
}

TEST_F(FenSearchTest, TheLookupCursorIsMadeOnceAndDroppedWhenTheViewChanges) {
  TFenTable& t = Open();
  for (int no = 1; no <= 5; ++no) Add({no, "n" + std::to_string(no), "Oslo", no, true});
  ASSERT_TRUE(t.Locate("name", {TVariant("n3")}, 0));
  engine::TDataCursor* first = t.LookupCursor();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(No(), 3);
  ASSERT_TRUE(t.Locate("name", {TVariant("n4")}, 0));
  EXPECT_EQ(t.LookupCursor(), first);  // reused
  EXPECT_EQ(No(), 4);
  ASSERT_TRUE(t.Locate("name", {TVariant("N2")}, loCaseInsensitive));
  EXPECT_NE(t.LookupCursor(), nullptr);  // another one, on the case-insensitive index
  EXPECT_EQ(No(), 2);
  ASSERT_TRUE(t.Locate("city", {TVariant("Oslo")}, 0));  // city leads an index: the clone
  EXPECT_NE(t.LookupCursor(), nullptr);
  ASSERT_TRUE(t.Locate("level", {TVariant(5)}, 0));  // no index: none, the filter finds it
  EXPECT_EQ(t.LookupCursor(), nullptr);
  EXPECT_EQ(No(), 5);
  // A range in force: no clone, the filter route keeps to the range.
  t.SetRange({2}, {3});
  EXPECT_FALSE(t.Locate("name", {TVariant("n4")}, 0));
  EXPECT_EQ(t.LookupCursor(), nullptr);
  EXPECT_TRUE(t.Locate("name", {TVariant("n3")}, 0));
  EXPECT_EQ(No(), 3);
  t.CancelRange();
  ASSERT_TRUE(t.Locate("name", {TVariant("n4")}, 0));
  ASSERT_NE(t.LookupCursor(), nullptr);
  // A filter in force travels with the clone; switching it drops the clone.
  t.SetFilterText("level < 3");
  t.SetFiltered(true);
  EXPECT_EQ(t.LookupCursor(), nullptr);
  EXPECT_FALSE(t.Locate("name", {TVariant("n4")}, 0));
  EXPECT_NE(t.LookupCursor(), nullptr);
  EXPECT_TRUE(t.Locate("name", {TVariant("n2")}, 0));
  EXPECT_EQ(No(), 2);
  t.Close();
  EXPECT_EQ(t.LookupCursor(), nullptr);
}

TEST_F(FenSearchTest, FilterRouteRules) {
  TFenTable& t = Open();
  Add({1, "Sm*th", "Oslo", 50, true});
  Add({2, "Smith", "", 5, false});
  Add({3, "*", "Rome", std::nullopt, true});
  Add({4, "", "Bergen", 7, false});
  struct Case {
    const char* fields;
    std::vector<TVariant> values;
    TLocateOptions options;
    const char* index;  // the active index
    bool viaFilter;     // a callback filter in force sends Locate along the filter route
    int expected;       // 0: not found
  };
  const Case cases[] = {
      // A trailing "*" is dropped by the filter only; the index seeks it as written.
      {"name", {TVariant("Smi*")}, loPartialKey, "ByName", true, 2},
      {"name", {TVariant("Smi*")}, loPartialKey, "ByName", false, 0},
      {"name", {TVariant("Smi*")}, loPartialKey, "", false, 0},  // the lookup cursor's index
      {"name", {TVariant("Sm*")}, loPartialKey, "ByName", false, 1},
      // A lone "*" is the one-character text.
      {"name", {TVariant("*")}, loPartialKey, "", true, 3},
      {"name", {TVariant("*")}, 0, "", true, 3},
      // Nulls find nulls.
      {"name", {TVariant()}, 0, "", true, 4},
      {"name", {TVariant("")}, 0, "ByName", false, 4},
      {"level", {TVariant()}, 0, "", false, 3},
      {"city", {TVariant("")}, 0, "ByName", true, 2},
      // Numbers and Booleans compare by value, never as a text prefix.
      {"level", {TVariant(5)}, loPartialKey, "", false, 2},
      {"level", {TVariant(7)}, loPartialKey | loCaseInsensitive, "", false, 4},
      {"level", {TVariant(50)}, 0, "", false, 1},
      {"level", {TVariant(6)}, 0, "", false, 0},
      {"active;level", {TVariant(false), TVariant(7)}, 0, "", false, 4},
      {"active;level", {TVariant(true), TVariant(7)}, 0, "", false, 0},
      {"level;name", {TVariant(5), TVariant("SMITH")}, loCaseInsensitive, "", false, 2},
      {"level;name", {TVariant(5), TVariant("SMITH")}, 0, "", false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fields) + " " + (c.values[0].IsNull() ? "null" : c.values[0].AsString()) + " on '" +
                 c.index + "'");
    t.SetIndexName(c.index);
    t.SetOnFilterRecord(c.viaFilter ? TDataSet::TFilterRecordEvent([](TDataSet&, bool&) {}) : nullptr);
    t.SetFiltered(c.viaFilter);
    t.Last();
    const int before = No();
    EXPECT_EQ(t.Locate(c.fields, c.values, c.options), c.expected != 0);
    EXPECT_EQ(No(), c.expected != 0 ? c.expected : before);
  }
  t.SetFiltered(false);
  t.SetFiltered(false);
  // Time stamps compare to the millisecond in their stored form.
  const platform::TDateTime when = 46000.5 + 1.0 / 86400000.0 * 1234;  // 12:00:01.234
  t.SetIndexName("");
  t.First();
  t.Edit();
  t.FieldByName("born").SetAsDateTime(when);
  t.Post();
  t.Last();
  EXPECT_TRUE(t.Locate("born", {TVariant::FromDateTime(when)}, 0));
  EXPECT_EQ(No(), 1);
  EXPECT_FALSE(t.Locate("born", {TVariant::FromDateTime(when + 1.0 / 86400.0)}, 0));
  EXPECT_TRUE(t.Locate("born", {TVariant()}, 0));
  EXPECT_EQ(No(), 2);
  // A short or long value list is refused before anything is read.
  try {
    t.Locate("name;city", {TVariant("Smith")}, 0);
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("name;city"), std::string::npos);
  }
  EXPECT_THROW(t.Locate("name", {TVariant("a"), TVariant("b")}, 0), EDatabaseError);
  EXPECT_THROW(t.Locate("nosuch", {TVariant("a")}, 0), EDatabaseError);
}

// Key search and ranges on a case-insensitive index find every letter case; on the
// case-sensitive one only the case given.
TEST_F(FenSearchTest, KeysAndRangesOnCaseSensitiveAndInsensitiveIndexes) {
  TFenTable& t = Open();
  const char* names[] = {"alpha", "Beta", "BETA", "gamma", "Delta", "epsilon"};
  for (int no = 1; no <= 6; ++no) Add({no, names[no - 1], "c", no, true});
  t.SetIndexName("ByNameCI");
  EXPECT_TRUE(t.FindKey({"ALPHA"}));
  EXPECT_EQ(No(), 1);
  EXPECT_TRUE(t.FindKey({"beta"}));
  EXPECT_TRUE(No() == 2 || No() == 3);
  EXPECT_FALSE(t.FindKey({"zeta"}));
  t.FindNearest({"C"});
  EXPECT_EQ(No(), 5);  // Delta follows C whatever the case
  t.SetRange({"b"}, {"DELTA"});
  std::vector<int> seen;
  for (t.First(); !t.Eof(); t.Next()) seen.push_back(No());
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<int>{2, 3, 5}));
  t.CancelRange();
  EXPECT_EQ(t.RecordCount(), 6);

  t.SetIndexName("ByName");
  EXPECT_FALSE(t.FindKey({"ALPHA"}));
  EXPECT_TRUE(t.FindKey({"BETA"}));
  EXPECT_EQ(No(), 3);
  // Upper-case letters sort before lower-case ones in a case-sensitive index.
  t.SetRange({"BETA"}, {"Delta"});
  seen.clear();
  for (t.First(); !t.Eof(); t.Next()) seen.push_back(No());
  EXPECT_EQ(seen, (std::vector<int>{3, 2, 5}));
  t.CancelRange();
  // The primary index: an integer key.
  t.SetIndexName("");
  EXPECT_TRUE(t.FindKey({4}));
  EXPECT_EQ(t.FieldByName("name").AsString(), "gamma");
  t.SetRange({2}, {4});
  EXPECT_EQ(t.RecordCount(), 3);
}

// FindFirst/FindNext/FindPrior/FindLast against a model: the Filter text and OnFilterRecord
// decide, whether or not Filtered is on, and Filtered stays as it was.
TEST_F(FenSearchTest, FindRecordSwitchesTheFiltersOnForTheSearchOnly) {
  TFenTable& t = Open();
  std::mt19937 random(5);
  for (int no = 1; no <= 40; ++no) Add({no, "n", "c", static_cast<int>(random() % 10), true});
  for (const char* index : {"", "ByCityLevel"}) {
    for (bool callback : {false, true}) {
      for (bool filtered : {false, true}) {
        SCOPED_TRACE(std::string(index) + (callback ? " callback" : "") + (filtered ? " filtered" : ""));
        t.SetIndexName(index);
        t.SetFilterText("level >= 5");
        if (callback) t.SetOnFilterRecord([](TDataSet& ds, bool& accept) { accept = ds.FieldByName("no").AsInteger() % 3 != 0; });
        else t.SetOnFilterRecord(nullptr);
        t.SetFiltered(filtered);
        auto accepted = [&](int no) {
          const Row& r = rows_[static_cast<size_t>(no - 1)];
          return *r.level >= 5 && (!callback || no % 3 != 0);
        };
        // The order the table shows with the filters off, and the part a Filtered view shows.
        t.SetFiltered(false);
        std::vector<int> order;
        for (t.First(); !t.Eof(); t.Next()) order.push_back(No());
        ASSERT_EQ(order.size(), 40u);
        t.SetFiltered(filtered);
        std::vector<int> view;
        for (int no : order)
          if (!filtered || accepted(no)) view.push_back(no);
        size_t at = 0;  // position of the active record in the view
        t.First();
        for (int step = 0; step < 300; ++step) {
          const int op = static_cast<int>(random() % 8);
          auto search = [&](bool restart, bool forward) -> std::optional<size_t> {
            if (restart) {
              for (size_t i = 0; i < view.size(); ++i) {
                const size_t k = forward ? i : view.size() - 1 - i;
                if (accepted(view[k])) return k;
              }
              return std::nullopt;
            }
            if (forward) {
              for (size_t k = at + 1; k < view.size(); ++k)
                if (accepted(view[k])) return k;
            } else {
              for (size_t k = at; k-- > 0;)
                if (accepted(view[k])) return k;
            }
            return std::nullopt;
          };
          std::optional<size_t> expect;
          bool got = true;
          switch (op) {
            case 0: expect = search(true, true); got = t.FindFirst(); break;
            case 1: expect = search(true, false); got = t.FindLast(); break;
            case 2: case 3: expect = search(false, true); got = t.FindNext(); break;
            case 4: case 5: expect = search(false, false); got = t.FindPrior(); break;
            case 6: t.Next(); if (at + 1 < view.size()) expect = at + 1; else expect = at; break;
            default: t.Prior(); expect = at > 0 ? at - 1 : 0; break;
          }
          if (op < 6) {
            ASSERT_EQ(got, expect.has_value()) << "step " << step << " op " << op << " at " << view[at];
          }
          if (expect) at = *expect;
          ASSERT_EQ(No(), view[at]) << "step " << step << " op " << op;
        }
        EXPECT_EQ(t.Filtered(), filtered);
        EXPECT_EQ(t.RecordCount(), static_cast<int>(filtered ? view.size() : 40u));
      }
    }
  }
}

}  // namespace
}  // namespace tovenmarsh::dataset
