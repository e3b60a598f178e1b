// Filters over an in-memory table with model indexes: index answers agree with record-by-record
// evaluation under every optimisation setting, the record hooks keep the visible set equal to a
// full rebuild, and an index-answered filter reads no record.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>

#include "engine/start/engine_library.h"
#include "engine/expr/filter.h"
#include "filter_memory_table_test.h"
#include "platform/win1252.h"

namespace tovenmarsh::engine {
namespace {

using testing::TFilterRunner;
using testing::TFixtureSource;
using testing::TRow;
using testing::TValue;
using testing::TMemoryTable;
using testing::RandomRow;
using testing::Fill;
using testing::kAllIndexes;
using testing::VisibleOf;
using testing::Evaluated;
struct TConfig {
  const char* Name;
  bool Indexes;
  bool ForceScan;
  bool Complement;
};
const TConfig kConfigs[] = {{"scan", true, true, false},
                            {"no indexes", false, false, true},
                            {"indexes", true, false, false},
                            {"indexes+complement", true, false, true}};

std::vector<uint32_t> Filtered(TMemoryTable& t, const TConfig& c, const std::string& text,
                               bool caseInsensitive) {
  t.Indexes = c.Indexes ? kAllIndexes : std::vector<TMemoryTable::TIndex>{};
  TFilterList list(t);
  list.Tuning.ForceScan = c.ForceScan;
  list.Tuning.DisableComplement = !c.Complement;
  TFilter* f = list.AddFilter(nullptr, text, false, caseInsensitive, c.Complement, false);
  list.ActivateFilter(f);
  std::vector<uint32_t> v = VisibleOf(list);
  EXPECT_EQ(list.VisibleCount(), v.size()) << text;
  return v;
}

void ExpectSameEverywhere(TMemoryTable& t, const std::string& text, bool caseInsensitive) {
  std::vector<uint32_t> expected = Evaluated(t, text, caseInsensitive);
  for (const TConfig& c : kConfigs) {
    EXPECT_EQ(Filtered(t, c, text, caseInsensitive), expected)
        << text << " [" << c.Name << (caseInsensitive ? ", case-insensitive]" : "]");
  }
}

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override { InitializeEngineLibrary(); }
};

// Cases that went wrong on the index path: NULL keys under ordered comparisons, inexact or
// out-of-range constants, inversions over deleted records, UPPER through a case-insensitive
// index, prefix comparisons and constant-first comparisons.
TEST_F(FilterTest, IndexAnswersAgreeWithEvaluation) {
  std::mt19937 rng(7);
  TMemoryTable t;
  Fill(t, rng, 80);
  const char* const texts[] = {
      "A < -3", "A <= -3", "A > 4", "A >= 4", "NOT (A < 2)", "A <> 5", "A = NULL", "A <> NULL",
      "A IS NULL", "A IS NOT NULL", "A = 2.7", "A <> 2.7", "A > 2.7", "A >= 2.5", "A < 2.5",
      "A <= -2.5", "S = 70000", "S <> 70000", "S < 70000", "S > 70000", "S >= -40000",
      "S <= -40000", "W > -1", "W < -1", "W = 3.0", "A IN (1, 5, 2.5, NULL)",
      "A NOT IN (1, 5, 2.5)", "A BETWEEN -2 AND 3", "A NOT BETWEEN -2.5 AND 3.5",
      "A BETWEEN 3 AND -2", "5 < A", "NOT (5 >= A)", "S = 1 AND 5 < A",
      "UPPER(Name) = 'smith'", "UPPER(Name) = 'SMITH'", "UPPER(Name) <> 'SMITH'",
      "Name = 'abc'", "Name <> 'abc'", "Name = 'ab*'", "Name LIKE 'ab%'", "Name NOT LIKE 'ab%'",
      "Name LIKE '%x%'", "Name < 'b'", "Name = 'abcdefghijklmnopqrstuvwxyz'",
      "Name < 'abcdefghijklmnopqrstuvwxyz'", "Name >= 'abcdefghijklmnopqrstuvwxyz'",
      "Name = 'abcdefghijklmnopqrstuvwxyz*'", "Name NOT LIKE 'abcdefghijklmnopqrstuvwxyz%'", "Name >= 'ab'", "Name = ''", "Name IN ('abc', 'b')",
      "F > 0.5", "F = 1", "A + 1 = 6", "A = 5 OR Name LIKE '%x%'", "A = 5 OR S = 1",
      "NOT (A = 5 OR S = 1)", "NOT (A > 0 AND Name LIKE '%b%')", "(A > 0 AND S < 2) OR W = 3"};
  for (const char* text : texts) {
    ExpectSameEverywhere(t, text, false);
    ExpectSameEverywhere(t, text, true);
  }
}

std::string RandomLeaf(std::mt19937& rng) {
  static const char* const leaves[] = {
      "A < -3", "A > 4", "A = 5", "A <> 5", "A >= 2.5", "A = 2.7", "A IS NULL", "A = NULL",
      "A IN (1, 5, 2.5, NULL)", "A NOT IN (0, 3)", "A BETWEEN -2 AND 3",
      "A NOT BETWEEN 0 AND 6", "-3 > A", "S = 70000", "S < 70000", "S <= -1.5", "S <> 2",
      "W > 2", "W < -1", "W IS NOT NULL", "Name = 'abc'", "Name <> 'b'", "Name = 'ab*'",
      "Name LIKE 'ab%'", "Name LIKE '%x%'", "UPPER(Name) = 'SMITH'", "UPPER(Name) = 'smith'",
      "Name < 'b'", "Name IS NULL", "F > 0.5", "F <= 0", "A + S > 2", "S BETWEEN -1 AND 1"};
  return leaves[rng() % std::size(leaves)];
}

std::string RandomExpression(std::mt19937& rng, int depth) {
  if (depth == 0 || rng() % 3 == 0) return RandomLeaf(rng);
  switch (rng() % 4) {
    case 0: return "NOT (" + RandomExpression(rng, depth - 1) + ")";
    case 1:
      return "(" + RandomExpression(rng, depth - 1) + ") OR (" + RandomExpression(rng, depth - 1) + ")";
    default:
      return "(" + RandomExpression(rng, depth - 1) + ") AND (" + RandomExpression(rng, depth - 1) +
             ")";
  }
}

TEST_F(FilterTest, RandomExpressionsGiveTheSameVisibleSetUnderEverySetting) {
  std::mt19937 rng(2024);
  TMemoryTable t;
  Fill(t, rng, 70);
  for (int i = 0; i < 300; ++i) {
    std::string text = RandomExpression(rng, 3);
    bool ci = rng() % 3 == 0;
    t.Range = rng() % 4 == 0;
    t.RangeLow = -2;
    t.RangeHigh = 6;
    std::vector<uint32_t> expected = Evaluated(t, text, ci);
    if (t.Range) {
      std::erase_if(expected, [&](uint32_t n) { return !t.RecordInKeyRange(n, &t.Rows[n - 1]); });
    }
    for (const TConfig& c : kConfigs) {
      ASSERT_EQ(Filtered(t, c, text, ci), expected) << text << " [" << c.Name << "]";
    }
  }
}

// Applies the same edit to the table and the hooks of a list, then compares with a list built
// from scratch.
TEST_F(FilterTest, EditsKeepTheVisibleSetEqualToAFullRebuild) {
  std::mt19937 rng(99);
  for (int round = 0; round < 40; ++round) {
    TMemoryTable t;
    Fill(t, rng, 40);
    t.Indexes = kAllIndexes;
    t.Range = round % 3 == 0;
    t.RangeLow = -1;
    t.RangeHigh = 7;
    int filterCount = 1 + static_cast<int>(rng() % 3);
    std::vector<std::string> texts;
    std::vector<bool> narrow;
    for (int i = 0; i < filterCount; ++i) {
      texts.push_back(RandomExpression(rng, 2));
      narrow.push_back(rng() % 2 == 0);
    }
    std::vector<bool> active(static_cast<size_t>(filterCount), true);
    TFilterList list(t);
    std::vector<TFilter*> filters;
    for (int i = 0; i < filterCount; ++i) {
      filters.push_back(list.AddFilter(nullptr, texts[static_cast<size_t>(i)], false, false,
                                       rng() % 2 == 0, narrow[static_cast<size_t>(i)]));
      list.ActivateFilter(filters.back());
    }
    for (int step = 0; step < 60; ++step) {
      uint32_t count = t.RecordCount();
      switch (rng() % 6) {
        case 0: {
          t.Rows.push_back(RandomRow(rng, t.Source));
          t.Deleted.push_back(false);
          list.RecordWritten(t.RecordCount(), &t.Rows.back());
          break;
        }
        case 1:
        case 2: {
          uint32_t n = 1 + rng() % count;
          if (t.Deleted[n - 1]) break;
          t.Rows[n - 1] = RandomRow(rng, t.Source);
          list.RecordWritten(n, &t.Rows[n - 1]);
          break;
        }
        case 3: {
          uint32_t n = 1 + rng() % count;
          if (t.Deleted[n - 1]) break;
          t.Deleted[n - 1] = true;
          list.RecordDeleted(n);
          break;
        }
        case 4: {
          // An earlier filter changes: later narrowed filters must follow.
          size_t i = rng() % static_cast<size_t>(filterCount);
          if (active[i]) {
            list.DeactivateFilter(filters[i]);
          } else {
            list.ActivateFilter(filters[i]);
          }
          active[i] = !active[i];
          break;
        }
        default: {
          size_t i = rng() % static_cast<size_t>(filterCount);
          if (!active[i]) break;
          texts[i] = RandomExpression(rng, 2);
          TFilterList donor(t);
          TFilter* d = donor.AddFilter(nullptr, texts[i], false, false, false, false);
          TExpToken* tree = d->Expression;
          d->OwnsExpression = false;
          list.SetFilterExpression(tree, filters[i]);
          break;
        }
      }
      TFilterList fresh(t);
      bool anyActive = false;
      for (int i = 0; i < filterCount; ++i) {
        TFilter* f = fresh.AddFilter(nullptr, texts[static_cast<size_t>(i)], false, false, false,
                                     narrow[static_cast<size_t>(i)]);
        if (active[static_cast<size_t>(i)]) {
          fresh.ActivateFilter(f);
          anyActive = true;
        }
      }
      ASSERT_EQ(list.Filtered(), anyActive);
      if (!anyActive) continue;
      ASSERT_EQ(VisibleOf(list), VisibleOf(fresh)) << "round " << round << " step " << step;
      ASSERT_EQ(list.VisibleCount(), fresh.VisibleCount());
    }
  }
}

TEST_F(FilterTest, IndexAnsweredFiltersReadOnlyWhatTheyMust) {
  std::mt19937 rng(5);
  TMemoryTable t;
  Fill(t, rng, 100);
  t.Indexes = kAllIndexes;
  uint32_t live = 0;
  uint32_t withFive = 0;
  for (size_t i = 0; i < t.Rows.size(); ++i) {
    live += !t.Deleted[i];
    withFive += !t.Deleted[i] && !t.Rows[i][1].Null && t.Rows[i][1].I == 5;
  }
  ASSERT_GT(withFive, 0u);
  struct TCase {
    const char* Text;
    uint32_t Reads;
  };
  const TCase cases[] = {{"A = 5", 0},
                         {"5 = A", 0},
                         {"A IN (5, 6) AND NOT (A BETWEEN 6 AND 9)", 0},
                         {"A = 5 AND Name LIKE '%x%'", withFive},
                         {"Name LIKE '%x%' AND A = 5", withFive},
                         {"A = 5 OR Name LIKE '%x%'", live}};
  for (const TCase& c : cases) {
    TFilterList list(t);
    TFilter* f = list.AddFilter(nullptr, c.Text, false, false, true, false);
    t.RecordReads = 0;
    list.ActivateFilter(f);
    EXPECT_EQ(t.RecordReads, c.Reads) << c.Text;
    EXPECT_EQ(VisibleOf(list), Evaluated(t, c.Text, false)) << c.Text;
  }
}

TEST_F(FilterTest, ListOperationsAndTheirErrors) {
  std::mt19937 rng(11);
  TMemoryTable t;
  Fill(t, rng, 30);
  t.Indexes = kAllIndexes;
  TFilterList list(t);
  EXPECT_FALSE(list.Filtered());

  auto code = [](auto&& call) -> std::pair<uint16_t, std::string> {
    try {
      call();
    } catch (const EFenEngineError& e) {
      return {e.Code(), e.Names().ExtraText};
    }
    return {0, ""};
  };
  EXPECT_EQ(code([&] { list.AddFilter(nullptr, "A + 1", false, false, false, false); }),
            std::make_pair(uint16_t{10051}, std::string("filter expression must be a boolean expression")));
  EXPECT_EQ(code([&] { list.AddFilter(nullptr, "A = ", false, false, false, false); }).first, 10051);
  EXPECT_EQ(code([&] { list.AddFilter(nullptr, "", false, false, false, false); }).first, 10051);
  EXPECT_EQ(list.Count(), 0);

  // Text after the first complete expression is not examined.
  TFilter* a = list.AddFilter(nullptr, "A = 1 B", false, false, false, false);
  ASSERT_NE(a, nullptr);
  EXPECT_FALSE(a->Active);
  list.ActivateFilter(a);
  EXPECT_EQ(VisibleOf(list), Evaluated(t, "A = 1", false));

  // A callback filter narrows the expression filter's set; deactivating it restores the count.
  TFilter* cb = list.AddFilter(&t, std::string_view(), false, false, false, false,
                               [](void* ds, const void* record, uint32_t n) {
                                 EXPECT_NE(ds, nullptr);
                                 return n % 2 == 0 && record != nullptr;
                               });
  ASSERT_NE(cb, nullptr);
  EXPECT_EQ(cb->OptLevel, kOptNone);
  uint32_t before = list.VisibleCount();
  list.ActivateFilter(cb);
  uint32_t even = 0;
  for (uint32_t n : Evaluated(t, "A = 1", false)) even += n % 2 == 0;
  EXPECT_EQ(list.VisibleCount(), even);
  list.DeactivateFilter(cb);
  EXPECT_EQ(list.VisibleCount(), before);
  EXPECT_EQ(list.AddFilter(nullptr, std::string_view(), false, false, false, false), nullptr);

  // Writing a record that no longer passes removes it without a rebuild.
  uint32_t first = VisibleOf(list).front();
  t.Rows[first - 1][1] = TValue::Int(2);
  t.RecordReads = 0;
  list.RecordWritten(first, &t.Rows[first - 1]);
  EXPECT_EQ(t.RecordReads, 0);
  EXPECT_EQ(list.VisibleCount(), before - 1);
  // Deleting a record that is not visible leaves the count alone.
  uint32_t hidden = 0;
  for (uint32_t n = 1; n <= t.RecordCount() && hidden == 0; ++n) {
    if (!t.Deleted[n - 1] && !list.Visible().IsSet(n)) hidden = n;
  }
  ASSERT_NE(hidden, 0u);
  t.Deleted[hidden - 1] = true;
  list.RecordDeleted(hidden);
  EXPECT_EQ(list.VisibleCount(), before - 1);

  TFilter stranger;
  EXPECT_EQ(code([&] { list.ActivateFilter(&stranger); }).first, 10050);
  EXPECT_EQ(code([&] { list.DropFilter(&stranger); }).first, 10050);
  EXPECT_EQ(code([&] { list.DeactivateFilter(&stranger); }).first, 10050);
  TExpTree tree = TFilterRunner(t.Source, "A = 2").Prepared;
  EXPECT_EQ(code([&] { list.SetFilterExpression(tree.get(), cb); }).first, 10050);  // inactive
  list.SetFilterExpression(tree.release(), a);
  EXPECT_EQ(VisibleOf(list), Evaluated(t, "A = 2", false));

  list.DropFilter(a);
  EXPECT_EQ(list.Count(), 1);
  EXPECT_FALSE(list.Filtered());
  while (list.Count() < kMaxFilters) list.AddFilter(nullptr, "A = 1", false, false, false, false);
  EXPECT_EQ(code([&] { list.AddFilter(nullptr, "A = 1", false, false, false, false); }).first, 9482);
  list.ActivateFilter(nullptr);
  std::vector<uint32_t> both = Evaluated(t, "A = 1", false);
  std::erase_if(both, [](uint32_t n) { return n % 2 != 0; });
  EXPECT_EQ(VisibleOf(list), both);
  list.DropFilter(nullptr);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(list.Filtered());
}

TEST_F(FilterTest, OptimisationLevels) {
  std::mt19937 rng(23);
  TMemoryTable t;
  Fill(t, rng, 40);
  t.Indexes = kAllIndexes;
  struct TCase {
    const char* Text;
    uint8_t Level;
  };
  const TCase cases[] = {{"5 < A", kOptFull},
                         {"NOT (5 < A)", kOptFull},
                         {"S = 1 AND 5 < A", kOptPartial},  // turned round only at the top
                         {"Name LIKE '%x%' AND A = 5", kOptPartial},
                         {"A = 5 OR Name LIKE '%x%'", kOptNone},
                         {"A = 5 OR S IN (1, 2)", kOptFull},
                         {"UPPER(Name) = 'SMITH'", kOptFull},
                         {"UPPER(Name) > 'SM'", kOptNone},
                         {"F > 1", kOptFull},
                         {"M > 1", kOptNone},
                         {"A + 1 = 2", kOptNone},
                         {"A = 2.5", kOptFull}};
  for (const TCase& c : cases) {
    TFilterList list(t);
    TFilter* f = list.AddFilter(nullptr, c.Text, false, false, false, false);
    EXPECT_EQ(f->OptLevel, c.Level) << c.Text;
  }
  // The better side of an AND is moved first.
  TFilterList list(t);
  TFilter* f = list.AddFilter(nullptr, "Name LIKE '%x%' AND A = 5", false, false, false, false);
  EXPECT_EQ(f->Expression->Left->OptLevel, kOptFull);
  // Asked to weigh selectivity, a range holding nearly every key is not worth the index.
  for (size_t i = 0; i < t.Rows.size(); ++i) {
    t.Deleted[i] = false;
    if (t.Rows[i][1].Null) t.Rows[i][1] = TValue::Int(0);
  }
  TExpTree wide = TFilterRunner(t.Source, "A >= -5").Prepared;
  EXPECT_EQ(list.CanOptimizeFilter(wide.get(), opAnd, false), kOptFull);
  EXPECT_EQ(list.CanOptimizeFilter(wide.get(), opAnd, true), kOptNone);
  TExpTree narrow = TFilterRunner(t.Source, "A = 5").Prepared;
  EXPECT_EQ(list.CanOptimizeFilter(narrow.get(), opAnd, true), kOptFull);
}

// A narrowed filter holds only records the earlier filters accepted; when an earlier filter
// goes or changes, the narrowed one is rebuilt.
TEST_F(FilterTest, NarrowedFiltersFollowEarlierOnes) {
  std::mt19937 rng(17);
  TMemoryTable t;
  Fill(t, rng, 60);
  t.Indexes = kAllIndexes;
  TFilterList list(t);
  TFilter* first = list.AddFilter(nullptr, "A > 0", false, false, false, false);
  TFilter* second = list.AddFilter(nullptr, "Name LIKE '%b%' AND S < 2", false, false, false, true);
  ASSERT_NE(second->OptLevel, kOptFull);
  list.ActivateFilter(nullptr);
  EXPECT_EQ(VisibleOf(list), Evaluated(t, "A > 0 AND Name LIKE '%b%' AND S < 2", false));
  list.DeactivateFilter(first);
  EXPECT_EQ(VisibleOf(list), Evaluated(t, "Name LIKE '%b%' AND S < 2", false));
  list.ActivateFilter(first);
  list.SetFilterExpression(TFilterRunner(t.Source, "A < 3").Prepared.release(), first);
  EXPECT_EQ(VisibleOf(list), Evaluated(t, "A < 3 AND Name LIKE '%b%' AND S < 2", false));
  list.DropFilter(first);
  EXPECT_EQ(VisibleOf(list), Evaluated(t, "Name LIKE '%b%' AND S < 2", false));
}

TEST_F(FilterTest, ARebuildInterruptedByATableChangeStartsAgain) {
  std::mt19937 rng(3);
  TMemoryTable t;
  Fill(t, rng, 50);
  TFilterList list(t);
  TFilter* f = list.AddFilter(nullptr, "Name LIKE '%b%'", false, false, false, false);
  t.FailReads = 3;
  list.ActivateFilter(f);
  EXPECT_EQ(VisibleOf(list), Evaluated(t, "Name LIKE '%b%'", false));

  // A callback that throws leaves the list able to rebuild afterwards.
  bool fail = true;
  TFilter* cb = list.AddFilter(nullptr, std::string_view(), false, false, false, false,
                               [&fail](void*, const void*, uint32_t n) {
                                 if (fail) throw std::runtime_error("callback failed");
                                 return n % 2 == 0;
                               });
  list.DeactivateFilter(f);
  EXPECT_THROW(list.ActivateFilter(cb), std::runtime_error);
  fail = false;
  list.ActivateFilter(f);
  list.FullRebuild();
  std::vector<uint32_t> even = Evaluated(t, "Name LIKE '%b%'", false);
  std::erase_if(even, [](uint32_t n) { return n % 2 != 0; });
  EXPECT_EQ(VisibleOf(list), even);
}

}  // namespace
}  // namespace tovenmarsh::engine
