// The parts a parsed SQL statement is made of: select-list columns, ORDER BY and GROUP BY items,
// source tables, target columns and values of data changes, and column and index definitions of
// data definition statements.
//
// Contract: each part is created by the parser and owned by its TDataQuery (through
// std::unique_ptr); a part owns its expression tree and frees it with itself. Fields hold what
// the text said; names, numbers and types are resolved against the tables when the statement
// is prepared (fields marked "resolved" stay at their defaults until then).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/expr_token.h"

namespace tovenmarsh::engine {
class TDataCursor;
class TDataDirectory;
class TFilter;
}  // namespace tovenmarsh::engine

namespace tovenmarsh::sql {

class TDataQuery;
class TSourceTable;
class TTableJoin;

// Aggregate kinds of a result column.
enum TAggregateKind : uint8_t {
  agNone = 0,
  agSum = 1,
  agMin = 2,
  agMax = 3,
  agAvg = 4,
  agCount = 5,
};

// One select-list column.
struct TResultField {
  explicit TResultField(TDataQuery* query) : Query(query) {}
  TDataQuery* Query;
  TSourceTable* SourceTable = nullptr;  // resolved
  std::string ColumnName;               // "*" for all columns
  int16_t FieldNo = 0;                  // resolved
  std::string Correlation;
  std::string ResultName;               // final form made when the statement is prepared
  bool NoAlias = true;
  std::string Alias;                    // as written (NoAlias false)
  int16_t ResultNo = 0;                 // resolved
  bool Calculated = false;
  uint8_t DataType = 0, SubType = 0, Scale = 0;  // resolved
  int32_t DataSize = 0;                           // resolved
  uint8_t Aggregate = agNone;
  int16_t CountFieldNo = 0;             // resolved
  bool CountAll = false;
  std::string Text;                     // source text of a calculated column
  engine::TExpTree Expression;

  void SetColumnName(std::string name);
};

// One ORDER BY item; ColumnNo 0 means "by name" until resolved.
struct TOrderByField {
  explicit TOrderByField(TDataQuery* query) : Query(query) {}
  TDataQuery* Query;
  std::string ColumnName;
  std::string Correlation;
  int32_t ColumnNo = 0;
  bool Descending = false;
};

// One GROUP BY item.
struct TGroupByField {
  explicit TGroupByField(TDataQuery* query) : Query(query) {}
  TDataQuery* Query;
  std::string ColumnName;
  std::string Correlation;
  int32_t ColumnNo = 0;
};

// A table named in FROM, JOIN, INTO (of INSERT), UPDATE or DELETE. The parser fills the naming
// side; the cursor, record buffer and join links belong to execution (source_table.cpp).
class TSourceTable {
 public:
  explicit TSourceTable(TDataQuery* query);
  ~TSourceTable();
  TSourceTable(const TSourceTable&) = delete;
  TSourceTable& operator=(const TSourceTable&) = delete;
  TDataQuery* Query;
  bool InMemory = false;
  int16_t JoinPosition = 0;
  int16_t TextOrder = 0;
  std::string Path;
  std::string TableName;
  std::string Correlation;

  // name: as written (may hold a path); databasePath: the statement's database directory.
  void SetTableName(const std::string& name, const std::string& databasePath);
  void SetCorrelationName(const std::string& name) { Correlation = name; }

  // Execution side.
  engine::TDataDirectory* Directory = nullptr;  // opened through the session, closed with us
  std::unique_ptr<engine::TDataCursor> Cursor;
  std::vector<uint8_t> RecordBuffer;            // the current row of the join walk
  std::vector<std::unique_ptr<TTableJoin>> Joins;  // links from this table to later ones
  TTableJoin* Incoming = nullptr;               // the link that restricts this table
  // The ON condition of the LEFT or RIGHT JOIN that makes this table the optional side (a
  // subtree of the query's Condition, owned there), and its join kind (2 left, 3 right).
  const engine::TExpToken* OuterOn = nullptr;
  // Filters of this query's WHERE conjuncts installed on the cursor for one execution.
  std::vector<engine::TFilter*> WhereFilters;
  bool Matched = false;  // the walk produced a row of this table for the current outer row
  bool Padded = false;   // the current row is the null row of an unmatched outer join
  // Opened on its first index: physical order (which collects the live records) is taken
  // only when the execution walks the table rather than a key range of it.
  bool OrderDeferred = false;
  // This execution walks a key range of an index: rows come in key order.
  bool KeyRange = false;

  // Opens the directory and the cursor (read-only unless writable) in physical order, or on
  // its first index when deferOrder is set; the password callback is installed only for the
  // open.
  void Open(void* passwordOwner, bool (*passwordCallback)(void*, int), bool writable,
            bool deferOrder = false);
  // Physical order for a walk of the whole table (after an open with deferOrder).
  void UsePhysicalOrder();
  // Walks the key range [low, high] of an index led by the integer field numbered field (the
  // bounds in the field's stored form); false when no index serves it.
  bool SetKeyRange(uint16_t field, const void* low, const void* high);
  void AllocateRecordBuffer();
  int16_t FieldNumberOf(const std::string& name) const;
  // Drops every filter this query installed on the cursor and forgets the links' filters.
  void DropFilters();

 private:
  bool correlationGiven_ = false;
  // The index SetKeyRange found for rangeField_, and the bound records it builds keys from.
  uint16_t rangeField_ = 0;
  uint8_t rangeIndex_ = 255;
  std::vector<uint8_t> rangeFrom_, rangeTo_;
  friend class TDataQuery;
};

// One target column of INSERT or UPDATE.
struct TUpdateField {
  explicit TUpdateField(TDataQuery* query) : Query(query) {}
  TDataQuery* Query;
  TSourceTable* SourceTable = nullptr;
  std::string ColumnName;
  int16_t FieldNo = 0;                  // resolved
  std::string Correlation;
  uint8_t DataType = 0, SubType = 0, DataSize = 0, Scale = 0;  // resolved
  std::string DisplayName;              // resolved
  engine::TExpTree Expression;
};

// One value of INSERT or UPDATE.
struct TUpdateValue {
  explicit TUpdateValue(TDataQuery* query) : Query(query) {}
  TDataQuery* Query;
  std::string Text;
  engine::TExpTree Expression;
};

// Character case of a column definition.
enum TCharCaseKind : uint8_t { ccNoChange = 0, ccLowerCase = 1, ccUpperCase = 2 };

// One column definition of CREATE TABLE or an ALTER TABLE item.
struct TCreateField {
  explicit TCreateField(TDataQuery* query) : Query(query) {}
  TDataQuery* Query;
  std::string ColumnName;
  std::string NewName;                  // REDEFINE's new name
  int16_t FieldNo = 0;
  uint8_t DataType = 0, SubType = 0;
  uint8_t Size = 0;                     // declared length or size
  uint8_t Scale = 0;                    // BCD decimals
  bool TypeGiven = false;
  std::string Description;
  bool DescriptionGiven = false;
  bool Required = false, RequiredGiven = false;
  uint8_t CharCase = ccNoChange;
  bool CharCaseGiven = false;
  std::string Minimum;
  bool MinimumGiven = false;
  std::string Maximum;
  bool MaximumGiven = false;
  std::string Default;
  bool DefaultGiven = false;
  bool IsAdd = false, IsRedefine = false, IsDrop = false;
  int16_t Position = 0;                 // AT n
  bool PositionGiven = false;
  engine::TExpTree Definition;          // the parsed name node carrying the type
};

// Compression of an index definition.
enum TIndexCompression : uint8_t { icNone = 0, icDupByte = 1, icTrailByte = 2, icFull = 3 };

// One index definition: CREATE INDEX, a PRIMARY KEY clause, or an ALTER TABLE key item.
struct TCreateIndex {
  explicit TCreateIndex(TDataQuery* query) : Query(query) {}
  TDataQuery* Query;
  std::string IndexName;
  std::vector<std::string> Columns;
  bool Descending = false, Unique = false, NoCase = false;
  uint8_t Compression = icNone;
  bool IsAdd = false, IsRedefine = false, IsDrop = false;
  std::vector<engine::TExpTree> ColumnNodes;
};

}  // namespace tovenmarsh::sql
