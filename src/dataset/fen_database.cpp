// Databases: binding to a session, opening the engine directory, sharing it, closing, names
// and transactions.
#include "dataset/fen_database.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "dataset/database_error.h"
#include "dataset/fen_engine_error.h"
#include "engine/table/directory.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"

namespace tovenmarsh::dataset {

namespace {

using TEngineGuard = std::lock_guard<std::recursive_mutex>;

constexpr size_t kMaxEngineString = 255;

// A database name that names a folder instead ("C:\data", "/var/db").
bool IsPathName(const std::string& name) { return name.find_first_of(":\\/") != std::string::npos; }

bool ValidNameStart(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || (c >= 129 && c <= 254);
}

}  // namespace

TFenDatabase::TFenDatabase(TFenSession* session, TFenComponentOwner* owner)
    : list_(session != nullptr ? session->List() : Sessions()),
      session_(session != nullptr ? session : &list_.DefaultSession()),
      owner_(owner) {
  TEngineGuard guard(EngineLock());
  sessionName_ = session_->sessionName_;
  session_->AddDatabase(*this);
}

TFenDatabase::~TFenDatabase() {
  TEngineGuard guard(EngineLock());
  destroying_ = true;
  try {
    Close();
  } catch (...) {
    // The database goes away whatever its close reported.
  }
  if (session_ != nullptr) session_->RemoveDatabase(*this);
}

// ---------------------------------------------------------------------------------------------
// Properties

std::string TFenDatabase::DatabaseName() const {
  TEngineGuard guard(EngineLock());
  return databaseName_;
}

void TFenDatabase::SetDatabaseName(std::string name) {
  TEngineGuard guard(EngineLock());
  if (name == databaseName_) return;
  if (Connected()) DatabaseError(fenmsg::kDatabaseOpen);
  const bool valid = name.empty() || temporary_ ||
                     (!IsPathName(name) && ValidNameStart(static_cast<unsigned char>(name[0])));
  if (!valid) DatabaseErrorFmt(fenmsg::kInvalidDatabaseName, name.c_str());
  CheckDatabaseName(name);
  databaseName_ = std::move(name);
}

std::string TFenDatabase::Directory() const {
  TEngineGuard guard(EngineLock());
  return folder_;
}

void TFenDatabase::SetDirectory(std::string directory) {
  TEngineGuard guard(EngineLock());
  if (directory == folder_) return;
  if (Connected()) DatabaseError(fenmsg::kDatabaseOpen);
  folder_ = std::move(directory);
}

std::string TFenDatabase::SessionName() const {
  TEngineGuard guard(EngineLock());
  return sessionName_;
}

void TFenDatabase::SetSessionName(std::string name) {
  TEngineGuard guard(EngineLock());
  if (name == sessionName_) return;
  if (Connected()) DatabaseError(fenmsg::kDatabaseOpen);
  sessionName_ = std::move(name);
}

bool TFenDatabase::KeepConnection() const {
  TEngineGuard guard(EngineLock());
  return keepConnection_;
}

void TFenDatabase::SetKeepConnection(bool value) {
  TEngineGuard guard(EngineLock());
  keepConnection_ = value;
  if (!value && refCount_ == 0) Close();
}

bool TFenDatabase::HandleShared() const {
  TEngineGuard guard(EngineLock());
  return handleShared_;
}

void TFenDatabase::SetHandleShared(bool value) {
  TEngineGuard guard(EngineLock());
  handleShared_ = value;
}

void TFenDatabase::SetBeforeConnect(TNotifyEvent handler) {
  TEngineGuard guard(EngineLock());
  beforeConnect_ = std::move(handler);
}

TFenSession* TFenDatabase::Session() const {
  TEngineGuard guard(EngineLock());
  return session_;
}

bool TFenDatabase::Borrowed() const {
  TEngineGuard guard(EngineLock());
  return borrowed_;
}

int TFenDatabase::ReferenceCount() const {
  TEngineGuard guard(EngineLock());
  return refCount_;
}

void TFenDatabase::CheckDatabaseName(const std::string& name) {
  if (name.empty() || session_ == nullptr) return;
  for (TFenDatabase* other : std::vector<TFenDatabase*>(session_->databases_)) {
    if (other == this || !SameFenName(other->databaseName_, name)) continue;
    if (handleShared_ && other->handleShared_) continue;
    if (!other->temporary_ || other->refCount_ > 0) DatabaseErrorFmt(fenmsg::kDuplicateDatabaseName, name.c_str());
    session_->FreeTemporary(*other);
    return;
  }
}

// ---------------------------------------------------------------------------------------------
// Open and close

void TFenDatabase::Open() {
  if (Connected()) return;
  TNotifyEvent before;
  {
    TEngineGuard guard(EngineLock());
    before = beforeConnect_;
  }
  if (before) before(*this);

  TEngineGuard guard(EngineLock());
  if (Connected()) return;
  if (databaseName_.empty() && !temporary_) DatabaseError(fenmsg::kDatabaseNameMissing);
  TFenSession& session = list_.GetSession(sessionName_);
  if (&session != session_) {
    if (session_ != nullptr) session_->RemoveDatabase(*this);
    session_ = &session;
    session.AddDatabase(*this);
    try {
      CheckDatabaseName(databaseName_);
    } catch (...) {
      databaseName_.clear();
      throw;
    }
  }
  session.SetActive(true);
  TFenSession::TLockGuard lock(session);
  OpenDirectory();
}

void TFenDatabase::OpenDirectory() {
  engine::TDataSession* engineSession = session_->engineSession_;
  if (handleShared_) {
    for (TFenDatabase* other : session_->databases_) {
      engine::TDataDirectory* shared = other->directory_.load();
      if (other == this || !other->handleShared_ || shared == nullptr ||
          !SameFenName(other->databaseName_, databaseName_))
        continue;
      // Opening the same place again shares the engine's directory object and counts this
      // database as one more user, so the lender closing first cannot free it under us.
      engine::TDataDirectory* mine =
          TranslateEngineErrors([&] { return engineSession->OpenDirectory(shared->Name(), shared->Path()); });
      if (mine == shared) {
        borrowed_ = true;
        directory_ = mine;
        return;
      }
      engineSession->CloseDirectory(mine);
      break;
    }
  }
  const bool isPath = IsPathName(databaseName_);
  const std::string engineName = isPath ? std::string() : databaseName_.substr(0, kMaxEngineString);
  const std::string path = (temporary_ && isPath ? databaseName_ : folder_).substr(0, kMaxEngineString);
  directory_ = TranslateEngineErrors([&] { return engineSession->OpenDirectory(engineName, path); });
}

void TFenDatabase::Close() {
  TEngineGuard guard(EngineLock());
  if (!Connected()) return;
  if (closing_) return;
  // Each data set detaches itself (its release of the database does not close or free it while
  // this runs); one that does not is dropped so the loop ends.
  closing_ = true;
  try {
    while (!dataSets_.empty()) {
      TFenDatabaseClient* client = dataSets_.back();
      client->Disconnect();
      if (!dataSets_.empty() && dataSets_.back() == client) dataSets_.pop_back();
    }
  } catch (...) {
    closing_ = false;
    throw;
  }
  closing_ = false;
  engine::TDataDirectory* directory = directory_.load();
  std::exception_ptr failure;
  // A transaction left open would keep its tables in the directory with nobody to end it.
  if (directory->InTransaction() && (ownsTransaction_ || directory->References <= 1)) {
    try {
      TranslateEngineErrors([directory] { directory->Rollback(); });
    } catch (...) {
      failure = std::current_exception();
    }
  }
  ownsTransaction_ = false;
  if (session_ != nullptr && session_->engineSession_ != nullptr) {
    engine::SetEngineSession(session_->engineSession_);
    session_->engineSession_->CloseDirectory(directory);
  }
  directory_ = nullptr;
  borrowed_ = false;
  refCount_ = 0;
  if (failure) std::rethrow_exception(failure);
}

void TFenDatabase::AttachDataSet(TFenDatabaseClient& client) {
  TEngineGuard guard(EngineLock());
  if (std::find(dataSets_.begin(), dataSets_.end(), &client) == dataSets_.end()) dataSets_.push_back(&client);
}

void TFenDatabase::DetachDataSet(TFenDatabaseClient& client) {
  TEngineGuard guard(EngineLock());
  dataSets_.erase(std::remove(dataSets_.begin(), dataSets_.end(), &client), dataSets_.end());
}

int TFenDatabase::DataSetCount() const {
  TEngineGuard guard(EngineLock());
  return static_cast<int>(dataSets_.size());
}

// ---------------------------------------------------------------------------------------------
// Transactions (the engine directory's own lock guards them)

void TFenDatabase::StartTransaction() {
  engine::TDataDirectory* directory = directory_.load();
  if (directory == nullptr) DatabaseError(fenmsg::kDatabaseClosed);
  if (directory->InTransaction()) DatabaseErrorFmt(fenmsg::kInTransaction, DatabaseName().c_str());
  TranslateEngineErrors([directory] { directory->StartTransaction(); });
  ownsTransaction_ = true;
}

void TFenDatabase::Commit() {
  engine::TDataDirectory* directory = directory_.load();
  if (directory == nullptr) DatabaseError(fenmsg::kDatabaseClosed);
  if (!directory->InTransaction()) DatabaseErrorFmt(fenmsg::kNotInTransaction, DatabaseName().c_str());
  TranslateEngineErrors([directory] { directory->Commit(true); });
  ownsTransaction_ = false;
}

void TFenDatabase::Rollback() {
  engine::TDataDirectory* directory = directory_.load();
  if (directory == nullptr) DatabaseError(fenmsg::kDatabaseClosed);
  if (!directory->InTransaction()) DatabaseErrorFmt(fenmsg::kNotInTransaction, DatabaseName().c_str());
  TranslateEngineErrors([directory] { directory->Rollback(); });
  ownsTransaction_ = false;
}

bool TFenDatabase::InTransaction() const {
  engine::TDataDirectory* directory = directory_.load();
  return directory != nullptr && directory->InTransaction();
}

}  // namespace tovenmarsh::dataset
