// A table in memory for filter tests and fuzzing: rows over the expression fixture's fields, a
// deletion flag per record, model indexes that answer key ranges by comparing stored values,
// and a counter of records read through the filter host.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/expr_test_fixture.h"  // from the tests folder
#include "engine/expr/filter.h"
#include "platform/win1252.h"

namespace tovenmarsh::engine::testing {


// A table in memory whose indexes answer ranges by comparing stored values; every record read
// by a filter is counted.
class TMemoryTable : public TFilterHost {
 public:
  struct TIndex {
    int Field;
    bool CaseInsensitive;
  };

  TFixtureSource Source;
  std::vector<TRow> Rows;
  std::vector<bool> Deleted;
  std::vector<TIndex> Indexes;
  int64_t RecordReads = 0;
  int FailReads = 0;  // that many reads report a table change
  bool Range = false;
  int64_t RangeLow = 0;
  int64_t RangeHigh = 0;

  TExpressionRecordSource& RecordSource() override { return Source; }
  std::string TableName() override { return "T"; }
  uint32_t RecordCount() override { return static_cast<uint32_t>(Rows.size()); }
  bool ReadRecord(uint32_t n, const void*& record, bool& deleted, uint32_t) override {
    if (FailReads > 0) {
      --FailReads;
      return false;
    }
    ++RecordReads;
    record = &Rows.at(n - 1);
    deleted = Deleted.at(n - 1);
    return true;
  }
  int FindIndex(int fieldNo, bool caseInsensitive) override {
    for (size_t i = 0; i < Indexes.size(); ++i) {
      const TIndex& x = Indexes[i];
      if (x.Field != fieldNo) continue;
      if (Source.FieldByNumber(fieldNo)->FieldType == 1 && x.CaseInsensitive != caseInsensitive) {
        continue;
      }
      return static_cast<int>(i);
    }
    return -1;
  }
  void CollectRange(int index, const TIndexRange& range, TRecordsBitmap& out) override {
    for (uint32_t n = 1; n <= Rows.size(); ++n) {
      if (!Deleted[n - 1] && InRange(index, range, Rows[n - 1])) out.SetBit(n);
    }
  }
  int64_t CountRange(int index, const TIndexRange& range) override {
    int64_t c = 0;
    for (size_t i = 0; i < Rows.size(); ++i) c += !Deleted[i] && InRange(index, range, Rows[i]);
    return c;
  }
  int64_t KeyCount(int) override { return std::count(Deleted.begin(), Deleted.end(), false); }
  void CollectLive(TRecordsBitmap& out) override {
    for (uint32_t n = 1; n <= Rows.size(); ++n) {
      if (!Deleted[n - 1]) out.SetBit(n);
    }
  }
  bool RangeActive() override { return Range; }
  void CollectKeyRange(TRecordsBitmap& out) override {
    for (uint32_t n = 1; n <= Rows.size(); ++n) {
      if (!Deleted[n - 1] && RecordInKeyRange(n, &Rows[n - 1])) out.SetBit(n);
    }
  }
  bool RecordInKeyRange(uint32_t, const void* record) override {
    if (!Range) return true;
    const TValue& a = static_cast<const TRow*>(record)->at(1);
    return !a.Null && a.I >= RangeLow && a.I <= RangeHigh;
  }

  // The model's key order: NULL first, then values (strings upper-cased for a
  // case-insensitive index; an empty string is NULL).
  bool InRange(int index, const TIndexRange& r, const TRow& row) {
    const TIndex& x = Indexes[static_cast<size_t>(index)];
    const FieldDesc& f = *Source.FieldByNumber(x.Field);
    const TValue& v = row[static_cast<size_t>(x.Field - 1)];
    bool isNull = v.Null || (f.FieldType == 1 && v.S.empty());
    if (isNull) return r.IncludeNull;
    if (!r.IncludeValues) return false;
    auto compare = [&](const TExpToken& b) -> int {
      if (f.FieldType == 1) {
        std::string a = v.S;
        // Keys hold at most the field's characters, bounds included.
        std::string c(b.StringValue().substr(0, f.Size));
        if (x.CaseInsensitive) {
          for (char& ch : a) ch = platform::Win1252Upper(ch);
          for (char& ch : c) ch = platform::Win1252Upper(ch);
        }
        if (r.PartialLength > 0) {
          a = a.substr(0, static_cast<size_t>(r.PartialLength));
          c = c.substr(0, static_cast<size_t>(r.PartialLength));
        }
        return a < c ? -1 : a > c ? 1 : 0;
      }
      double a = 0;
      double c = 0;
      switch (f.FieldType) {
        case 5: a = static_cast<double>(v.I); c = b.Get<int16_t>(); break;
        case 12: a = static_cast<double>(v.I); c = b.Get<uint16_t>(); break;
        case 6: a = static_cast<double>(v.I); c = b.Get<int32_t>(); break;
        default: a = v.F; c = b.Get<double>(); break;
      }
      return a < c ? -1 : a > c ? 1 : 0;
    };
    if (r.Low != nullptr) {
      int c = compare(*r.Low);
      if (c < 0 || (c == 0 && !r.LowInclusive)) return false;
    }
    if (r.High != nullptr) {
      int c = compare(*r.High);
      if (c > 0 || (c == 0 && !r.HighInclusive)) return false;
    }
    return true;
  }
};

const char* const kNames[] = {"abc", "ABC", "Abd", "b", "bx", "xa", "", "smith", "SMITH", "ab",
                             "abcdefghijklmnopqrst"};

inline TRow RandomRow(std::mt19937& rng, const TFixtureSource& source) {
  TRow row = NullRow(source);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  if (pick(6) != 0) row[0] = TValue::Str(kNames[pick(11)]);
  if (pick(6) != 0) row[1] = TValue::Int(pick(16) - 5);
  if (pick(6) != 0) row[2] = TValue::Int(pick(7) - 3);
  if (pick(6) != 0) row[3] = TValue::Int(pick(6));
  if (pick(6) != 0) row[4] = TValue::Flt(pick(8) * 0.5 - 1);
  return row;
}

inline void Fill(TMemoryTable& t, std::mt19937& rng, int rows) {
  for (int i = 0; i < rows; ++i) {
    t.Rows.push_back(RandomRow(rng, t.Source));
    t.Deleted.push_back(rng() % 8 == 0);
  }
}

const std::vector<TMemoryTable::TIndex> kAllIndexes = {{2, false}, {3, false}, {4, false},
                                                       {1, false}, {1, true}, {5, false}};

inline std::vector<uint32_t> VisibleOf(const TFilterList& list) {
  std::vector<uint32_t> out;
  const TRecordsBitmap& v = list.Visible();
  for (uint32_t n = 1; n <= v.Size(); ++n) {
    if (v.IsSet(n)) out.push_back(n);
  }
  return out;
}

// Records accepted by plain evaluation of every live row (the independent answer).
inline std::vector<uint32_t> Evaluated(TMemoryTable& t, const std::string& text, bool caseInsensitive) {
  TFilterRunner runner(t.Source, text, false, caseInsensitive);
  if (!runner.Error.empty()) return {};
  std::vector<uint32_t> out;
  for (uint32_t n = 1; n <= t.Rows.size(); ++n) {
    if (!t.Deleted[n - 1] && runner.Accepts(t.Rows[n - 1])) out.push_back(n);
  }
  return out;
}


}  // namespace tovenmarsh::engine::testing
