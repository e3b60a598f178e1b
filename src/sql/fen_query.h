// TFenQuery: the record set over one SQL statement. It keeps the SQL text, turns ":name"
// markers into "?" parameters, prepares the text as one TQueryStatement on its database's
// engine directory, binds the parameter values, runs the statement when opened and shows the
// SELECT's result cursor as a data set. A master data source fills parameters that are not
// bound and re-runs the query when the master moves.
//
// Contract: misuse raises EDatabaseError ("No SQL statement available", "Cannot perform this
// operation on an open dataset", "Circular datalinks are not allowed", "No value for parameter
// '%s'"); statement errors arrive as EFenEngineError. Opening a statement without a result set
// runs it and then fails with "Error creating table handle.". The statement owns the result
// cursor: the data set only borrows it while open, and closing the data set frees the statement
// with its result (the query is prepared again at the next open). A failed prepare leaves the
// query unprepared.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "dataset/data_link.h"
#include "dataset/fen_data_set.h"
#include "dataset/fen_session.h"
#include "sql/fen_params.h"

namespace tovenmarsh::sql {

class TQueryStatement;
class TFenQuery;

// Re-runs its query when the master data set becomes active or moves to another record.
class TFenQueryDataLink : public dataset::TDataLink {
 public:
  explicit TFenQueryDataLink(TFenQuery& query) : query_(query) {}

 protected:
  void ActiveChanged() override;
  void RecordChanged(dataset::TField* field) override;
  void CheckBrowseMode() override;

 private:
  void Refresh();
  TFenQuery& query_;
};

class TFenQuery : public dataset::TFenDBDataSet {
 public:
  explicit TFenQuery(dataset::TFenComponentOwner* owner = nullptr);
  ~TFenQuery() override;

  // The statement's lines; writing a different text disconnects the query and, with
  // ParamCheck, rebuilds the parameter list (values kept for unchanged names).
  const std::vector<std::string>& SQL() const { return sql_; }
  void SetSQL(std::vector<std::string> lines);
  // The statement text as prepared: the lines joined with line breaks, markers replaced.
  const std::string& Text() const { return text_; }
  std::vector<std::string> SQLScript;  // kept, not run

  TFenParams& Params() { return params_; }
  // Takes the values of same-named parameters of params.
  void SetParams(const TFenParams& params) { params_.AssignValues(params); }
  TFenParam& ParamByName(std::string_view name) const { return params_.ParamByName(name); }
  bool ParamCheck() const { return paramCheck_; }
  void SetParamCheck(bool value) { paramCheck_ = value; }
  bool RequestLive() const { return requestLive_; }
  void SetRequestLive(bool value) { requestLive_ = value; }
  int32_t MaxRowCount() const { return maxRowCount_; }
  void SetMaxRowCount(int32_t value);
  dataset::TDataSource* DataSource() const { return dataLink_.DataSource(); }
  dataset::TDataSource* GetDataSource() const override { return dataLink_.DataSource(); }
  void SetDataSource(dataset::TDataSource* source);
  std::string EngineVersion() const { return "2.06"; }

  bool Prepared() const { return statement_ != nullptr; }
  void SetPrepared(bool value);
  void Prepare() { SetPrepared(true); }
  void UnPrepare() { SetPrepared(false); }
  // Closes and unprepares.
  void Disconnect() override;

  // Rows the last run inserted, changed or deleted (or the rows of its result) and its time.
  int32_t RowsAffected() const { return rowsAffected_; }
  double ExecutionTime() const { return executionTime_; }
  // The opaque stored block, read and written whole.
  const std::vector<uint8_t>& Data() const { return data_; }
  void SetData(std::vector<uint8_t> data) { data_ = std::move(data); }

  std::function<void(TFenQuery&, int32_t step, int32_t percent)> OnQueryProgress;

 protected:
  std::unique_ptr<engine::TDataCursor> CreateHandle() override;
  void DestroyHandle() override;

 private:
  friend class TFenQueryDataLink;
  void SQLChanged();
  void PrepareStatement();
  void FreeStatement();
  void FillFromMaster();
  void BindParams();
  engine::TDataCursor* Execute();
  static void ProgressCallback(void* owner, int32_t step, int32_t percent, bool& abort);

  std::vector<std::string> sql_;
  std::string text_;
  TFenParams params_;
  bool paramCheck_ = true;
  bool requestLive_ = false;
  int32_t maxRowCount_ = -1;
  TFenQueryDataLink dataLink_;
  std::unique_ptr<TQueryStatement> statement_;
  dataset::TFenPasswordRequest passwordRequest_;
  int32_t rowsAffected_ = 0;
  double executionTime_ = 0;
  std::vector<uint8_t> data_;
};

}  // namespace tovenmarsh::sql
