// The query data set: SQL text and parameters, preparing, binding and running the statement,
// and its master data link.
#include "sql/fen_query.h"

#include <mutex>

#include "dataset/database_error.h"
#include "dataset/fen_database.h"
#include "dataset/fen_engine_error.h"
#include "dataset/fields.h"
#include "engine/cursor/cursor.h"
#include "sql/query_statement.h"

namespace tovenmarsh::sql {

namespace ds = dataset;

namespace {

constexpr const char* kNoSqlStatement = "No SQL statement available";
// The attach flag a prepared statement holds on the database.
constexpr int kFlagPrepared = 1;

}  // namespace

// ---- TFenQueryDataLink ----

void TFenQueryDataLink::Refresh() {
  if (!query_.Active()) return;
  ds::TDataSet* master = DataSet();
  // A master editing a search key is not on a record of its own.
  if (master != nullptr && master->State() == ds::TDataSetState::dsSetKey) return;
  query_.DisableControls();
  try {
    query_.Close();
    query_.Open();
  } catch (...) {
    query_.EnableControls();
    throw;
  }
  query_.EnableControls();
}

void TFenQueryDataLink::ActiveChanged() {
  if (Active()) Refresh();
}

void TFenQueryDataLink::RecordChanged(ds::TField* field) {
  if (field == nullptr) Refresh();
}

void TFenQueryDataLink::CheckBrowseMode() {
  if (query_.Active()) query_.CheckBrowseMode();
}

// ---- TFenQuery ----

TFenQuery::TFenQuery(ds::TFenComponentOwner* owner) : TFenDBDataSet(owner), dataLink_(*this) {}

TFenQuery::~TFenQuery() {
  try {
    Disconnect();
  } catch (...) {
    // A failing close while the object goes is not reported.
  }
  dataLink_.SetDataSource(nullptr);
}

void TFenQuery::SetSQL(std::vector<std::string> lines) {
  std::string joined;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) joined += "\n";
    joined += lines[i];
  }
  std::string current;
  for (size_t i = 0; i < sql_.size(); ++i) {
    if (i > 0) current += "\n";
    current += sql_[i];
  }
  if (joined == current && lines.size() == sql_.size()) return;
  Disconnect();
  sql_ = std::move(lines);
  SQLChanged();
}

void TFenQuery::SQLChanged() {
  Disconnect();
  data_.clear();
  std::string joined;
  for (size_t i = 0; i < sql_.size(); ++i) {
    if (i > 0) joined += "\n";
    joined += sql_[i];
  }
  if (!paramCheck_) {
    text_ = joined;
    return;
  }
  TFenParams list;
  std::string text;
  try {
    text = ReplaceParamMarkers(joined, &list);
  } catch (...) {
    // The old list stays when the new one cannot be made.
    text_ = joined;
    return;
  }
  list.AssignValues(params_);
  params_.Assign(list);
  text_ = std::move(text);
}

void TFenQuery::SetMaxRowCount(int32_t value) {
  maxRowCount_ = value;
  if (statement_) statement_->SetMaxRowCount(value);
}

void TFenQuery::SetDataSource(ds::TDataSource* source) {
  ds::CheckMasterSource(this, source);
  dataLink_.SetDataSource(source);
}

void TFenQuery::SetPrepared(bool value) {
  if (Active()) ds::DatabaseError(ds::msg::kDataSetOpen);
  if (value == Prepared()) return;
  if (value) {
    if (text_.size() < 2) ds::DatabaseError(kNoSqlStatement);
    PrepareStatement();
  } else {
    FreeStatement();
  }
}

void TFenQuery::PrepareStatement() {
  SetDBFlag(kFlagPrepared, true);
  try {
    engine::TDataDirectory* directory = Database()->Handle();
    auto statement = std::make_unique<TQueryStatement>(directory);
    statement->SetRequestLive(requestLive_);
    statement->SetMaxRowCount(maxRowCount_);
    passwordRequest_ = ds::TFenPasswordRequest{Database()->Session(), 0};
    statement->SetPasswordCallback(&passwordRequest_, &ds::TFenSession::PasswordCallback);
    size_t consumed = 0;
    // Preparing opens the statement's tables, which the session's users share.
    ds::TFenSession& session = *Database()->Session();
    session.Lock();
    try {
      ds::TranslateEngineErrors([&] { statement->Prepare(text_, consumed); });
    } catch (...) {
      session.Unlock();
      throw;
    }
    session.Unlock();
    statement_ = std::move(statement);
  } catch (...) {
    SetDBFlag(kFlagPrepared, false);
    throw;
  }
}

void TFenQuery::FreeStatement() {
  if (!statement_) return;
  {
    // Freeing closes the statement's tables: under the engine lock like opening.
    std::lock_guard<std::recursive_mutex> lock(ds::Sessions().EngineLock());
    std::unique_ptr<TQueryStatement> statement = std::move(statement_);
    try {
      statement.reset();
    } catch (...) {
      SetDBFlag(kFlagPrepared, false);
      throw;
    }
  }
  SetDBFlag(kFlagPrepared, false);
}

void TFenQuery::Disconnect() {
  Close();
  FreeStatement();
}

void TFenQuery::FillFromMaster() {
  ds::TDataSet* master = dataLink_.DataSet();
  if (master == nullptr) return;
  for (int i = 0; i < params_.Count(); ++i) {
    TFenParam& p = params_[i];
    if (p.Bound) continue;
    p.AssignField(master->FieldByName(p.Name));
    // Filled anew at the next run.
    p.Bound = false;
  }
}

void TFenQuery::BindParams() {
  TBoundParams bound = BindParamValues(params_);
  const int result = ds::TranslateEngineErrors([&] {
    return statement_->SetParams(params_.Count(), bound.Descriptors.data(), bound.Buffer.data(),
                                 bound.Buffer.size());
  });
  ds::CheckEngineResult(result);
}

void TFenQuery::ProgressCallback(void* owner, int32_t step, int32_t percent, bool& abort) {
  auto* query = static_cast<TFenQuery*>(owner);
  if (query->OnQueryProgress) query->OnQueryProgress(*query, step, percent);
  abort = false;
}

engine::TDataCursor* TFenQuery::Execute() {
  if (params_.Count() > 0) BindParams();
  statement_->SetProgressCallback(this, &TFenQuery::ProgressCallback);
  engine::TDataCursor* result = ds::TranslateEngineErrors([&] { return statement_->Execute(); });
  rowsAffected_ = statement_->GetRowsAffected();
  executionTime_ = statement_->GetExecutionTime();
  return result;
}

std::unique_ptr<engine::TDataCursor> TFenQuery::CreateHandle() {
  if (sql_.empty()) ds::DatabaseError(kNoSqlStatement);
  if (!Prepared()) {
    if (text_.size() < 2) ds::DatabaseError(kNoSqlStatement);
    PrepareStatement();
  }
  FillFromMaster();
  engine::TDataCursor* result = Execute();
  // The data set borrows the statement's cursor; DestroyHandle lets it go without freeing it.
  return std::unique_ptr<engine::TDataCursor>(result);
}

void TFenQuery::DestroyHandle() {
  engine::TDataCursor* borrowed = cursor_.release();
  (void)borrowed;  // owned by the statement, which closes it
  TFenDataSet::DestroyHandle();
  FreeStatement();
}

}  // namespace tovenmarsh::sql
