// Sorting a table's records for the SQL engine: the data file is rewritten in key order and
// renumbered from 1, in memory when the whole table is cached, otherwise by sorted runs in
// temporary ".TMP" files merged through a heap. Distinct and grouping callbacks act while the
// records are written.
//
// Contract: keys are the sort fields' null bytes and key encodings followed by the record id,
// so equal keys keep their record order and the output equals a stable sort. Deleted records
// are left out; the file is truncated after the last record written, the free list emptied and
// the index header's record count set. Temporary files are deleted on every path.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "engine/format/field_desc.h"

namespace tovenmarsh::engine {

class TDataFile;
class TIndexFile;

struct TSortOptions {
  // The sort fields (copies of the table's descriptors); Descending orders a field downwards.
  std::vector<FieldDesc> Fields;
  bool CaseInsensitive = false;
  bool Distinct = false;
  // Grouping: mode 1 starts a group from `record` into `output`, mode 0 adds `record` to the
  // group's `output`.
  std::function<void(int mode, uint8_t* record, uint8_t* output)> Group;
  // Runs on a finished group's output record.
  std::function<void(uint8_t* output)> Finish;
  // Whether a finished output record stays.
  std::function<bool(uint8_t* output)> Filter;
  // Records per run of an external sort; 0 is the normal size (tests set it small).
  uint32_t RunSize = 0;
};

// Rewrites the file's records in the order of the sort fields; runs go to ".TMP" files in
// `tempDirectory`. The number of records written; `index`, when given, gets it as its count.
uint32_t SortRecords(TDataFile& file, const TSortOptions& options, const std::string& tempDirectory,
                     TIndexFile* index);

}  // namespace tovenmarsh::engine
