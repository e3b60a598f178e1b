// TDataQuery: one parsed SQL statement (the main statement, a sub-select, or the SELECT of an
// INSERT ... SELECT) with the per-kind parsers that build it from the statement's tokenizer.
//
// Contract: Parse reads from the owning statement's parser, starting at the statement's first
// word, and leaves the token after the statement (after a consumed ";") current. Every syntax
// error is engine error 11949 with a message from sql_messages; the query then holds whatever
// was parsed so far and is freed by its owner. Parsing runs inside the process-wide
// format-settings lock with the thread's formats switched to the session's language and back,
// on every path. Requested settings (RequestLive, MaxRowCount, callbacks) survive Reset.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/expr/expr_token.h"
#include "sql/query_parts.h"
#include "sql/sql_messages.h"

namespace tovenmarsh::engine {
class TDataCursor;
class TDataDirectory;
class TExpressionParser;
class TFilter;
}  // namespace tovenmarsh::engine

namespace tovenmarsh::sql {

class TDataQuery;
class TSelectRun;

// What a query reads of the statement it is parsed in (TQueryStatement): the one tokenizer and
// text, the session's language and sort order, the database path, and the owner of the queries
// made while parsing (sub-selects and INSERT's SELECT).
class TQueryContext {
 public:
  virtual engine::TExpressionParser& Parser() = 0;
  virtual const std::string& Text() const = 0;
  virtual uint16_t LanguageId() const = 0;
  virtual uint16_t SortId() const = 0;
  virtual std::string DatabasePath() const = 0;
  virtual void AddQuery(std::unique_ptr<TDataQuery> query) = 0;
  // The database the statement runs against (null: parse only) and the number of its queries.
  virtual engine::TDataDirectory* Directory() const = 0;
  virtual int QueryCount() const = 0;

 protected:
  ~TQueryContext() = default;
};

// Statement kinds.
enum TStatementKind : uint8_t {
  skNone = 0,
  skSelect = 1,
  skInsert = 2,
  skUpdate = 3,
  skDelete = 4,
  skCreateTable = 5,
  skAlterTable = 6,
  skDropTable = 7,
  skCreateIndex = 8,
  skDropIndex = 9,
};

// The cursor's password callback form (handed on to every cursor a query opens).
using TPasswordCallback = bool (*)(void* owner, int reason);
// Query progress: step counts rows, percent of the table's rows; setting abort ends the loop.
using TProgressCallback = void (*)(void* owner, int32_t step, int32_t percent, bool& abort);

class TDataQuery {
 public:
  explicit TDataQuery(TQueryContext* statement);
  ~TDataQuery();
  TDataQuery(const TDataQuery&) = delete;
  TDataQuery& operator=(const TDataQuery&) = delete;

  // Requested settings (kept by Reset).
  bool RequestLive = false;
  int32_t MaxRowCount = -1;
  TPasswordCallback PasswordCallback = nullptr;
  void* PasswordOwner = nullptr;
  TProgressCallback ProgressCallback = nullptr;
  void* ProgressOwner = nullptr;

  TQueryContext* Statement;
  bool Executed = false;
  bool IsSubSelect = false;
  uint8_t Kind = skNone;
  double ElapsedSeconds = 0;
  bool Writable = false;
  int32_t RowsAffected = 0;
  bool Distinct = false;
  bool HasAverage = false;
  bool HasCalculated = false;
  bool MultiTable = false;
  bool NoJoinOptimize = false;
  bool HasWhere = false;
  bool HasHaving = false;
  bool HasOrderBy = false;
  bool OrderNoCase = false;
  bool Grouped = false;
  bool HavingGiven = false;
  bool InMemory = false;
  bool HasInto = false;
  bool InsertSelect = false;
  TDataQuery* InsertQuery = nullptr;  // the SELECT of INSERT ... SELECT (owned by the statement)
  std::string TableName;
  std::string IndexName;
  bool WithLocks = false;
  std::vector<std::unique_ptr<TSourceTable>> SourceTables;
  std::vector<std::unique_ptr<TResultField>> ResultColumns;
  std::vector<std::unique_ptr<TOrderByField>> OrderBy;
  std::vector<std::unique_ptr<TGroupByField>> GroupBy;
  std::vector<std::unique_ptr<TUpdateField>> UpdateFields;
  std::vector<std::unique_ptr<TUpdateValue>> UpdateValues;
  std::vector<std::unique_ptr<TCreateField>> CreateFields;
  std::vector<std::unique_ptr<TCreateIndex>> CreateIndexes;
  engine::TExpTree Condition;
  engine::TExpTree Having;
  bool Encrypted = false;
  std::string Password;
  uint16_t LanguageId = 0;
  uint16_t SortId = 0;
  uint16_t BlobBlockSize = 512;
  std::string Description;
  uint16_t UserMajorVersion = 1;
  uint16_t UserMinorVersion = 0;
  int32_t LastAutoInc = -1;
  bool NoAutoInc = false;
  bool NoBackup = false;
  int32_t CommitInterval = 0;
  bool PasswordGiven = false, LanguageGiven = false, SortGiven = false, BlockSizeGiven = false,
       DescriptionGiven = false, MajorGiven = false, MinorGiven = false,
       CommitIntervalGiven = false;

  // Parses one statement from the statement's parser; does nothing while Executed is set.
  void Parse(bool isSubSelect);
  // Back to the defaults of a new query (requested settings kept).
  void Reset();
  // Appends this query's parameter nodes to list in binding order.
  void CollectParameters(std::vector<engine::TExpToken*>& list) const;

  // Preparation and execution. Prepare opens the tables and makes the result of the statement
  // kind (query_plan.cpp); Execute runs it, stores ElapsedSeconds and answers the result cursor
  // of a SELECT (nullptr for other kinds). New statement kinds add a case to both dispatchers.
  void Prepare();
  engine::TDataCursor* Execute();
  // A plain canned SELECT (no grouping, DISTINCT, ORDER BY, BLOB columns, row limit or
  // progress) can hand its rows on as they are made instead of writing its result table.
  bool CanStream() const;
  // Runs such a SELECT: sink gets every row in the result table's record layout, in the order
  // the result table would hold them. The statement sets Deferred on the SELECT of an INSERT
  // that is to read it this way instead of executing it first.
  void StreamSelect(const std::function<void(const uint8_t*)>& sink);
  bool Deferred = false;

  // SELECT planning and result (query_plan.cpp, select_exec.cpp, result_table.cpp).
  bool AggregateOnly = false;
  bool CountStarShortcut = false;
  bool Live = false;
  bool OrderSatisfied = false;
  bool OrderIndexFound = false;
  bool OrderNotIndexable = false;
  uint8_t OrderIndex = 255;
  bool HasBlobColumns = false;
  TSourceTable* DrivingTable = nullptr;
  engine::TDataDirectory* ResultDirectory = nullptr;  // opened for the result, closed with it
  std::unique_ptr<engine::TDataCursor> ResultCursor;  // canned result
  engine::TFilter* SubSelectFilter = nullptr;
  std::unique_ptr<TSelectRun> Run;                    // the conditions of the last execution

  // Name lookups of prepared queries.
  TSourceTable* FindSourceColumn(const std::string& correlation, const std::string& column,
                                 int16_t& fieldNo) const;
  bool FindResultColumn(bool allowAggregates, const std::string& column, int32_t& number,
                        const std::string& correlation) const;
  // The sub-select hook's work on this (sub-select) query.
  bool BindSubSelectColumn(engine::TExpToken& node);
  int64_t FilterSubSelect(const engine::TExpToken& comparison);
  // Frees what preparation and execution made (result, filters, tables stay parsed).
  void ReleaseExecution();

 private:
  const std::function<void(const uint8_t*)>* sink_ = nullptr;  // rows of StreamSelect
  engine::TExpressionParser& P() const;
  void Dispatch();
  void ExpectEnd(TSqlMessage endMessage);

  // Shared pieces.
  bool TokenIsName() const;
  bool TokenIsWord(std::initializer_list<const char*> words) const;
  std::string ReadTableName();
  std::unique_ptr<TSourceTable> NewSourceTable(const std::string& name, bool inMemory);
  void AddSourceTable(std::unique_ptr<TSourceTable> table, bool atFront);
  TSourceTable* LastWrittenTable() const;
  void AndCondition(engine::TExpTree& target, engine::TExpTree tree);
  engine::TExpTree ParseClause(uint8_t flags, const char* context);
  int32_t ParseIntegerConstant(const char* context, TSqlMessage emptyMessage);
  std::string ReadValueText();
  void ParseCommitInterval();
  engine::TExpTree ParseColumnReference(const char* context, TSqlMessage emptyMessage,
                                        std::string& name);
  void ParseLanguage(uint16_t& languageId, uint16_t& sortId, bool& sortGiven);

  // SELECT.
  void ParseSelect();
  void ParseSelectColumn();
  void ParseFromClause();
  void ParseTableReference(bool inJoin, int joinKind);
  void ParseColumnItems(bool orderBy);

  // INSERT, UPDATE, DELETE.
  void ParseInsert();
  void ParseUpdate();
  void ParseDelete();
  void ParseValue();

  // Data definition.
  void ParseCreateTable();
  void ParseCreateIndex();
  void ParseAlterTable();
  void ParseDropTable();
  void ParseDropIndex();
  void ParseColumnDefinition(TCreateField& field, bool typeRequired, bool redefine);
  void ParseAttributes(TCreateField& field, bool allowAt);
  bool TokenStartsPrimaryKey() const;
  void ParsePrimaryKey(TCreateIndex& index);
  void ParseIndexFlags(TCreateIndex& index);
  void ParseIndexColumns(TCreateIndex& index);
  void ParseCompression(TCreateIndex& index);
  void ParseTableOptions();
  std::string ReadDdlTableName(TSqlMessage afterKeywordMessage);

  // SELECT preparation (query_plan.cpp).
  void PrepareSelect();
  void OpenSourceTables();
  void ResolveSelectColumns();
  void TypeCheckResultColumns();
  std::string MakeResultName(const std::string& column, const std::string& alias,
                             const TResultField* self, uint8_t aggregate) const;
  void RewriteHaving();
  void ResolveOrderBy();
  void ResolveGroupBy();
  void CheckDistinct();
  // Live results (live_select.cpp).
  void FindOrderIndex();
  bool CanBeLive() const;
  void InstallLiveFields();
  void ExecuteLiveSelect();
  // Result (result_table.cpp).
  void CreateResultCursor();
  void CreateResultTable();
  // SELECT execution (select_exec.cpp).
  void ExecuteSelect();
  void PlanConditions();
  void FillResult();
  void FillAggregateOnly();
  void SortResult();
};

// Stamps the join kind (1 inner, 2 left, 3 right) on every comparison of the ON tree whose two
// operands both refer to columns, walking through NOT, AND and OR.
void MarkJoinKind(engine::TExpToken* node, uint8_t kind);

}  // namespace tovenmarsh::sql
