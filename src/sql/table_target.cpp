// Reaching the table a statement names.
#include "sql/table_target.h"

#include "engine/base/engine_error.h"
#include "engine/base/engine_strings.h"
#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/table/session.h"

namespace tovenmarsh::sql {

TTableTarget::TTableTarget(const TDataQuery& query, engine::TDataDirectory* directory,
                           const std::string& name, bool inMemory)
    : query_(query), inMemory_(inMemory) {
  if (directory == nullptr) engine::RaiseEngineError(engine::kErrInvalidFileHandle);
  directory_ = directory;
  size_t slash = name.find_last_of("\\/:");
  table_ = slash == std::string::npos ? name : name.substr(slash + 1);
  if (inMemory || slash == std::string::npos) return;
  std::string path = name.substr(0, slash + 1);
  engine::TDataSession* session = directory->Session();
  if (session == nullptr || engine::SameText(engine::AddTrailingBackslash(path),
                                             engine::AddTrailingBackslash(directory->Path()))) {
    return;
  }
  directory_ = session->OpenDirectory(path, path);
  session_ = session;
}

TTableTarget::~TTableTarget() {
  if (session_ != nullptr) session_->CloseDirectory(directory_);
}

std::unique_ptr<engine::TDataCursor> TTableTarget::NewCursor(bool exclusive) const {
  auto cursor = std::make_unique<engine::TDataCursor>(directory_);
  cursor->SetExclusive(exclusive);
  cursor->SetInMemory(inMemory_);
  cursor->SetTemporary(false);
  cursor->SetQueryResult(false);
  cursor->SetTableName(table_);
  if (query_.PasswordCallback != nullptr) {
    cursor->SetPasswordCallback(query_.PasswordOwner, query_.PasswordCallback);
  }
  return cursor;
}

TCloseCursor::~TCloseCursor() {
  try {
    if (cursor_.IsOpen()) cursor_.Close();
  } catch (...) {
  }
}

}  // namespace tovenmarsh::sql
