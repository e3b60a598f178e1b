// TQueryStatement: the SQL statement object a query data set drives. It owns the one tokenizer
// and expression parser of the statement, the main query and every sub-select and INSERT's
// SELECT (in parse order), and the list of parameter nodes in binding order.
//
// Contract: Prepare parses one statement from the start of a text and adds to consumed the
// offset of the token after it (after a ";"), so a script is run by preparing the rest of the
// text next. Errors are engine error 11949 (sql_messages) or the parser's own; after one, the
// statement is left to be freed (or prepared again) by its owner. Parameters are bound by
// position: the main query's in clause order, then each sub-select's in parse order. The
// directory may be null (no session: language 0 and an empty database path). One thread uses
// a statement at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/expr/expr_parser.h"
#include "engine/format/field_desc.h"
#include "sql/data_query.h"

namespace tovenmarsh::engine {
class TDataDirectory;
}

namespace tovenmarsh::sql {

class TQueryStatement : public engine::TSubSelectHook, public TQueryContext {
 public:
  explicit TQueryStatement(engine::TDataDirectory* directory);
  ~TQueryStatement() override;
  TQueryStatement(const TQueryStatement&) = delete;
  TQueryStatement& operator=(const TQueryStatement&) = delete;

  engine::TDataDirectory* Directory() const override { return directory_; }
  engine::TExpressionParser& Parser() override { return parser_; }
  TDataQuery* MainQuery() const { return queries_.front().get(); }
  int QueryCount() const override { return static_cast<int>(queries_.size()); }
  TDataQuery* Query(int i) const { return queries_[static_cast<size_t>(i)].get(); }
  const std::vector<engine::TExpToken*>& Parameters() const { return parameters_; }
  // The text being prepared (the parser reads the same text).
  const std::string& Text() const override { return text_; }
  // The session's language and sort order, and the database path (empty without a directory).
  uint16_t LanguageId() const override;
  uint16_t SortId() const override;
  std::string DatabasePath() const override;

  void SetRequestLive(bool flag) { MainQuery()->RequestLive = flag; }
  void SetMaxRowCount(int32_t n) { MainQuery()->MaxRowCount = n; }
  void SetPasswordCallback(void* owner, TPasswordCallback callback);
  void SetProgressCallback(void* owner, TProgressCallback callback);

  // Parses the statement at the start of text (sub-selects and INSERT's SELECT on the way) and
  // collects its parameters; consumed grows by the characters the statement took.
  void Prepare(std::string_view text, size_t& consumed);
  // Runs the queries, innermost sub-select first; the main query's result cursor (a SELECT's
  // rows; nullptr for other kinds), owned by the statement. Without a directory nothing runs.
  engine::TDataCursor* Execute();
  // Binds count values: descriptor i gives type, subtype, the data size (PhysicalSize; when 0,
  // the size rule over the declared Size), the scale (PhysicalScale, else Scale) and the
  // value's offset in buffer (bufferSize bytes): a has-value byte, then the value; a BLOB's
  // value is a 32-bit length followed by a native pointer to the bytes (not read for a NULL).
  // Returns 0. A value reaching past the buffer, or more values than parameters, raise engine
  // error 11949 with an empty message.
  int SetParams(int count, const engine::FieldDesc* descriptors, const uint8_t* buffer,
                size_t bufferSize);
  int32_t GetRowsAffected() const { return MainQuery()->RowsAffected; }
  double GetExecutionTime() const { return MainQuery()->ElapsedSeconds; }
  void AddQuery(std::unique_ptr<TDataQuery> query) override;

  // The sub-select hook.
  void* CreateSubSelect(void* owner, engine::TExpressionParser& parser) override;
  int ResultColumnCount(void* subQuery) override;
  bool BindSubSelectColumn(void* subQuery, engine::TExpToken& node) override;
  int64_t FilterSubSelect(void* subQuery, engine::TExpToken& comparison) override;

 private:
  engine::TDataDirectory* directory_;
  engine::TExpressionParser parser_;
  std::vector<std::unique_ptr<TDataQuery>> queries_;
  std::vector<engine::TExpToken*> parameters_;
  std::string text_;
};

}  // namespace tovenmarsh::sql
