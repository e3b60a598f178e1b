// What the engine benchmarks share: wall-clock timing, SQLite statements that must succeed, the
// scattered names both sides insert, one line of figures a case, and one-line descriptors.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/format/field_desc.h"

namespace tovenmarsh::engine::bench {

inline double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

inline void Exec(sqlite3* db, const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::fprintf(stderr, "sqlite: %s\n", error ? error : "?");
    std::exit(1);
  }
}

// Names in an order unrelated to the row numbers, so index inserts land all over the tree.
inline std::string NameOf(uint32_t i) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "name%08u", (i * 2654435761u) % 100000000u);
  return buffer;
}

// One case: both times and their ratio, or ours alone when SQLite was not run (theirs <= 0).
inline void Report(const char* what, double ours, double theirs) {
  if (theirs > 0)
    std::printf("%-44s ours %9.3f s   sqlite %9.3f s   ratio %6.2f\n", what, ours, theirs, ours / theirs);
  else
    std::printf("%-44s ours %9.3f s\n", what, ours);
  std::fflush(stdout);
}

inline FieldDesc Field(const char* name, uint8_t type, uint8_t size = 0, uint8_t subType = 0) {
  FieldDesc f;
  f.Name = name;
  f.FieldType = type;
  f.Size = size;
  f.SubType = subType;
  return f;
}

inline IndexDesc Index(const char* name, uint16_t field, bool unique) {
  IndexDesc d;
  d.Name = name;
  d.Unique = unique;
  d.FieldCount = 1;
  d.FieldNumbers[0] = field;
  return d;
}

}  // namespace tovenmarsh::engine::bench
