// The SQL statement object: prepares a text into its queries and binds parameter values.
#include "sql/query_statement.h"

#include <cstring>
#include <limits>

#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/table/session.h"
#include "sql/sql_messages.h"

namespace tovenmarsh::sql {

TQueryStatement::TQueryStatement(engine::TDataDirectory* directory)
    : directory_(directory), parser_(this, this) {
  queries_.push_back(std::make_unique<TDataQuery>(this));
}

TQueryStatement::~TQueryStatement() {
  // Last to first: sub-selects go after the trees that point at them are gone.
  while (!queries_.empty()) queries_.pop_back();
}

uint16_t TQueryStatement::LanguageId() const {
  return directory_ != nullptr && directory_->Session() != nullptr
             ? directory_->Session()->LanguageId
             : 0;
}

uint16_t TQueryStatement::SortId() const {
  return directory_ != nullptr && directory_->Session() != nullptr ? directory_->Session()->SortId
                                                                    : 0;
}

std::string TQueryStatement::DatabasePath() const {
  return directory_ != nullptr ? directory_->Path() : std::string();
}

void TQueryStatement::SetPasswordCallback(void* owner, TPasswordCallback callback) {
  MainQuery()->PasswordOwner = owner;
  MainQuery()->PasswordCallback = callback;
}

void TQueryStatement::SetProgressCallback(void* owner, TProgressCallback callback) {
  MainQuery()->ProgressOwner = owner;
  MainQuery()->ProgressCallback = callback;
}

void TQueryStatement::AddQuery(std::unique_ptr<TDataQuery> query) {
  queries_.push_back(std::move(query));
}

void TQueryStatement::Prepare(std::string_view text, size_t& consumed) {
  TDataQuery* main = MainQuery();
  if (!main->Executed) {
    // The main query's trees point at the sub-selects: free them first.
    main->Reset();
    while (queries_.size() > 1) queries_.pop_back();
  }
  parameters_.clear();
  text_.assign(text.substr(0, text.find('\0')));
  parser_.ErrorCode = engine::kErrSql;
  parser_.ErrorName.clear();
  parser_.Context.clear();
  parser_.SetExpression(text_);
  parser_.NextToken();
  main->Parse(false);
  for (const auto& query : queries_) query->CollectParameters(parameters_);
  // Sub-selects first: the queries using them bind to their result columns.
  for (size_t i = queries_.size(); i-- > 0;) queries_[i]->Prepare();
  consumed += parser_.TokenOffset();
}

engine::TDataCursor* TQueryStatement::Execute() {
  TDataQuery* main = MainQuery();
  for (size_t i = queries_.size(); i-- > 1;) {
    TDataQuery* query = queries_[i].get();
    // The lone SELECT of an INSERT is read by the INSERT as it runs, when the INSERT finds
    // that it does not read the target (ExecuteDataChange).
    query->Deferred = directory_ != nullptr && queries_.size() == 2 && main->Kind == skInsert &&
                      main->InsertSelect && main->InsertQuery == query && main->ProgressCallback == nullptr &&
                      query->CanStream();
    if (!query->Deferred) query->Execute();
  }
  return main->Execute();
}

int TQueryStatement::SetParams(int count, const engine::FieldDesc* descriptors,
                               const uint8_t* buffer, size_t bufferSize) {
  for (int i = 0; i < count; ++i) {
    if (static_cast<size_t>(i) >= parameters_.size()) RaiseSqlError(TSqlMessage::None);
    const engine::FieldDesc& desc = descriptors[i];
    engine::TExpToken& node = *parameters_[static_cast<size_t>(i)];
    size_t offset = desc.Offset;
    if (offset >= bufferSize) RaiseSqlError(TSqlMessage::None);
    node.DataType = desc.FieldType;
    node.SubType = desc.SubType;
    node.IsNull = buffer[offset] == 0;
    const uint8_t* value = buffer + offset + 1;
    size_t room = bufferSize - offset - 1;
    if (desc.FieldType == engine::fldBlob) {
      node.Scale = 0;
      uint32_t length = 0;
      const uint8_t* bytes = nullptr;
      if (node.IsNull) {
        // A NULL's bytes are not looked at: the pointer may be anything.
        node.SetDataSize(0);
        node.ClearValue();
        continue;
      }
      if (room < sizeof length + sizeof bytes) RaiseSqlError(TSqlMessage::None);
      std::memcpy(&length, value, sizeof length);
      std::memcpy(&bytes, value + sizeof length, sizeof bytes);
      if (length > static_cast<uint32_t>(std::numeric_limits<int32_t>::max() / 2) ||
          (length > 0 && bytes == nullptr)) {
        RaiseSqlError(TSqlMessage::None);
      }
      node.SetDataSize(static_cast<int32_t>(length));
      node.ClearValue();
      if (length > 0) std::memcpy(node.Data, bytes, length);
      continue;
    }
    int size = desc.PhysicalSize != 0 ? desc.PhysicalSize
                                      : engine::PhysicalFieldSize(desc.FieldType, desc.Size);
    if (size < 0) size = 0;
    node.SetDataSize(size);
    node.ClearValue();
    node.Scale = desc.PhysicalScale != 0 ? desc.PhysicalScale : desc.Scale;
    if (node.IsNull) continue;
    if (room < static_cast<size_t>(size)) RaiseSqlError(TSqlMessage::None);
    if (size > 0) std::memcpy(node.Data, value, static_cast<size_t>(size));
  }
  return 0;
}

void* TQueryStatement::CreateSubSelect(void* owner, engine::TExpressionParser& parser) {
  auto* statement = static_cast<TQueryStatement*>(owner);
  if (statement == nullptr) statement = this;
  std::string context = parser.Context;
  auto query = std::make_unique<TDataQuery>(statement);
  TDataQuery* sub = query.get();
  statement->AddQuery(std::move(query));
  sub->RequestLive = true;
  sub->Parse(true);
  // The outer clause goes on with its own context.
  parser.Context = context;
  return sub;
}

int TQueryStatement::ResultColumnCount(void* subQuery) {
  return subQuery != nullptr
             ? static_cast<int>(static_cast<TDataQuery*>(subQuery)->ResultColumns.size())
             : 0;
}

bool TQueryStatement::BindSubSelectColumn(void* subQuery, engine::TExpToken& node) {
  return subQuery != nullptr && static_cast<TDataQuery*>(subQuery)->BindSubSelectColumn(node);
}

int64_t TQueryStatement::FilterSubSelect(void* subQuery, engine::TExpToken& comparison) {
  return subQuery != nullptr ? static_cast<TDataQuery*>(subQuery)->FilterSubSelect(comparison) : 0;
}

}  // namespace tovenmarsh::sql
