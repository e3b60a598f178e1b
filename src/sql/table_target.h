// The table a data change or data definition statement works on, as its name says: a plain
// name in the statement's database, MEMORY in its in-memory database, a name with a path in a
// directory of the same session opened for the statement and closed with this object.
//
// Contract: the statement's directory must be given (11014 otherwise). Cursors made here are
// not open; the caller opens and closes them before this object goes.
#pragma once

#include <memory>
#include <string>

#include "sql/data_query.h"

namespace tovenmarsh::engine {
class TDataCursor;
class TDataDirectory;
class TDataSession;
}  // namespace tovenmarsh::engine

namespace tovenmarsh::sql {

class TTableTarget {
 public:
  TTableTarget(const TDataQuery& query, engine::TDataDirectory* directory,
               const std::string& name, bool inMemory);
  ~TTableTarget();
  TTableTarget(const TTableTarget&) = delete;
  TTableTarget& operator=(const TTableTarget&) = delete;

  engine::TDataDirectory* Directory() const { return directory_; }
  const std::string& TableName() const { return table_; }
  // A cursor on the table with the query's password callback, exclusive or shared.
  std::unique_ptr<engine::TDataCursor> NewCursor(bool exclusive) const;

 private:
  const TDataQuery& query_;
  bool inMemory_;
  engine::TDataDirectory* directory_ = nullptr;
  engine::TDataSession* session_ = nullptr;
  std::string table_;
};

// Closes an open cursor whatever happens; a failure while closing after another failure is
// dropped so that the first one is the one reported.
class TCloseCursor {
 public:
  explicit TCloseCursor(engine::TDataCursor& cursor) : cursor_(cursor) {}
  ~TCloseCursor();
  TCloseCursor(const TCloseCursor&) = delete;
  TCloseCursor& operator=(const TCloseCursor&) = delete;

 private:
  engine::TDataCursor& cursor_;
};

}  // namespace tovenmarsh::sql
