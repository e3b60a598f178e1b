// Shared fixtures of the data-set tests: a small people table in a memory record source.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "memory_data_set.h"

namespace tovenmarsh::dataset::testing {

// Fields: no (integer, required, unique), name (string 10, default "anon"), level (integer,
// default 7), note (memo).
inline std::shared_ptr<TMemoryTable> MakePeopleTable() {
  return std::make_shared<TMemoryTable>(
      std::vector<TMemoryColumn>{{"no", ftInteger, 0, true, std::nullopt},
                                    {"name", ftString, 10, false, TextBytes("anon", 10)},
                                    {"level", ftInteger, 0, false, IntBytes(7)},
                                    {"note", ftMemo, 0, false, std::nullopt}},
      0);
}

// Appends rows no = 1..n, name = "p<no>".
inline void FillPeople(TMemoryDataSet& ds, int n) {
  for (int i = 1; i <= n; ++i) {
    ds.Append();
    ds.FieldByName("no").SetAsInteger(i);
    ds.FieldByName("name").SetAsString("p" + std::to_string(i));
    ds.Post();
  }
}

// The "no" values seen walking from First to Eof.
inline std::vector<int> Walk(TDataSet& ds) {
  std::vector<int> out;
  for (ds.First(); !ds.Eof(); ds.Next()) out.push_back(ds.FieldByName("no").AsInteger());
  return out;
}

}  // namespace tovenmarsh::dataset::testing
