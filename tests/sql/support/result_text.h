// Rows of a result as text, one "|"-separated line a row, NULL as "NULL" and reals as %.6g:
// the common form in which tests compare our SQL with SQLite.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/cursor/cursor.h"
#include "engine/format/field_desc.h"

namespace tovenmarsh::sql {

inline std::string FormatDouble(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", v);
  return text;
}

// The visible fields of record, read through the result cursor.
inline std::string ResultRowText(engine::TDataCursor& result, const uint8_t* record) {
  std::string row;
  bool first = true;
  for (uint32_t i = 1; i <= result.GetFieldCount(); ++i) {
    const engine::FieldDesc& f = result.GetFieldDesc(i);
    if (f.Hidden) continue;
    if (!first) row += "|";
    first = false;
    uint8_t data[260] = {};
    if (result.GetFieldData(i, record, data)) {
      row += "NULL";
      continue;
    }
    switch (f.FieldType) {
      case engine::fldInt16:
      case engine::fldBool: {
        int16_t x;
        std::memcpy(&x, data, 2);
        row += std::to_string(x);
        break;
      }
      case engine::fldInt32: {
        int32_t x;
        std::memcpy(&x, data, 4);
        row += std::to_string(x);
        break;
      }
      case engine::fldFloat: {
        double x;
        std::memcpy(&x, data, 8);
        row += FormatDouble(x);
        break;
      }
      default: row += reinterpret_cast<const char*>(data);
    }
  }
  return row;
}

// The current row of a stepped SQLite statement.
inline std::string SqliteRowText(sqlite3_stmt* st) {
  std::string row;
  for (int i = 0; i < sqlite3_column_count(st); ++i) {
    if (i > 0) row += "|";
    switch (sqlite3_column_type(st, i)) {
      case SQLITE_NULL: row += "NULL"; break;
      case SQLITE_INTEGER: row += std::to_string(sqlite3_column_int64(st, i)); break;
      case SQLITE_FLOAT: row += FormatDouble(sqlite3_column_double(st, i)); break;
      default: row += reinterpret_cast<const char*>(sqlite3_column_text(st, i));
    }
  }
  return row;
}

}  // namespace tovenmarsh::sql
