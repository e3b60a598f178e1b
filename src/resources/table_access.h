// The narrow view of one open application table through which the table resources and the
// lookup controls work: a cursor over the rows of the current index, optionally limited to an
// exact range on its leading key fields, with edit/insert/post/cancel/delete on the current row
// and a transaction on the database behind it.
//
// Contract (that of a record set):
// - SetIndex("") selects the primary index; rows are visited in index order, ties in the order
//   of insertion. Strings of a case-insensitive index compare without regard to case.
// - SetRange(key) keeps only rows whose leading index fields equal key (missing trailing key
//   fields match anything) and moves to the first of them; CancelRange lifts it.
// - FindKey(key) positions on the first row of the current index (within any range) whose
//   leading fields equal key and answers true; false may leave the cursor anywhere.
// - Insert starts a new, empty row; Edit starts changing the current one; SetField needs one of
//   them; Post writes the row and keeps it current; Cancel drops the pending change. Delete
//   removes the current row and makes the following one current (or reaches the end).
// - Failures (key violations, missing required fields, engine faults) raise exceptions and
//   leave any pending edit pending, so the caller can cancel it.
#pragma once

#include <string>
#include <variant>
#include <vector>

#include "platform/date_time.h"

namespace tovenmarsh::resources {

// A field value: null, integer (also auto-increment), boolean, date-time (double) or string
// (also a memo's text). Readers of a null value get 0, false or "".
using TFieldValue = std::variant<std::monostate, int, bool, double, std::string>;
using TKeyValues = std::vector<TFieldValue>;

enum class TTableState { Browse, Edit, Insert };

class TTableAccess {
 public:
  virtual ~TTableAccess() = default;

  virtual const std::string& TableName() const = 0;

  virtual void SetIndex(const std::string& indexName) = 0;
  virtual void SetRange(const TKeyValues& key) = 0;
  virtual void CancelRange() = 0;
  virtual bool FindKey(const TKeyValues& key) = 0;
  virtual void First() = 0;
  virtual void Next() = 0;
  virtual bool Eof() = 0;
  // Rows of the current range (of the table when there is none).
  virtual int RecordCount() = 0;
  // Re-reads the rows so that other users' changes become visible.
  virtual void Refresh() = 0;

  virtual TFieldValue Field(int position) = 0;
  virtual void SetField(int position, const TFieldValue& value) = 0;

  virtual TTableState State() const = 0;
  virtual void Insert() = 0;
  virtual void Edit() = 0;
  virtual void Post() = 0;
  virtual void Cancel() = 0;
  virtual void Delete() = 0;

  virtual bool InTransaction() const = 0;
  virtual void StartTransaction() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;

  // Typed reads of the current row (null reads as 0, false, 0.0, "").
  int GetInt(int position);
  bool GetBool(int position);
  platform::TDateTime GetDate(int position);
  std::string GetString(int position);
};

}  // namespace tovenmarsh::resources
