// Sessions, the session list and the engine lock.
#include "dataset/fen_session.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "dataset/database_error.h"
#include "dataset/fen_database.h"
#include "dataset/fen_engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/table/session.h"
#include "platform/paths.h"
#include "platform/win1252.h"

namespace tovenmarsh::dataset {

namespace {

using TEngineGuard = std::lock_guard<std::recursive_mutex>;

constexpr size_t kMaxEngineString = 255;

// This thread's nesting level per session. The engine lock is re-entrant, so each Lock enters
// it and each Unlock leaves it; the level only decides when the session is made current.
thread_local std::vector<std::pair<const TFenSession*, int>> tLockDepths;

int& DepthOf(const TFenSession* session) {
  for (auto& entry : tLockDepths)
    if (entry.first == session) return entry.second;
  tLockDepths.emplace_back(session, 0);
  return tLockDepths.back().second;
}

void DropDepth(const TFenSession* session) {
  auto it = std::find_if(tLockDepths.begin(), tLockDepths.end(),
                         [session](const auto& entry) { return entry.first == session; });
  if (it != tLockDepths.end() && it->second == 0) tLockDepths.erase(it);
}

std::string Cut(const std::string& text) { return text.substr(0, kMaxEngineString); }

}  // namespace

bool SameFenName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && platform::Win1252UpperString(a) == platform::Win1252UpperString(b);
}

// ---------------------------------------------------------------------------------------------
// The session list

TFenSessionList::TFenSessionList() {
  auto session = std::make_unique<TFenSession>(nullptr, *this);
  session->SetSessionName("Default");
  std::lock_guard<std::mutex> lock(listLock_);
  owned_.push_back(std::move(session));
}

TFenSessionList::~TFenSessionList() {
  // Every session closes before the default one, whose close stops the engine.
  for (TFenSession* session : [this] {
         auto all = SessionsCopy();
         std::reverse(all.begin(), all.end());
         return all;
       }()) {
    try {
      session->SetActive(false);
    } catch (...) {
      // Shutting down: a session that fails to close is dropped all the same.
    }
  }
  std::vector<std::unique_ptr<TFenSession>> owned;
  {
    std::lock_guard<std::mutex> lock(listLock_);
    owned.swap(owned_);
  }
  while (!owned.empty()) owned.pop_back();
}

std::vector<TFenSession*> TFenSessionList::SessionsCopy() {
  std::lock_guard<std::mutex> lock(listLock_);
  return sessions_;
}

void TFenSessionList::AddSession(TFenSession& session) {
  std::lock_guard<std::mutex> lock(listLock_);
  if (sessions_.empty()) {
    session.isDefault_ = true;
    default_ = &session;
  }
  sessions_.push_back(&session);
}

void TFenSessionList::RemoveSession(TFenSession& session) {
  std::lock_guard<std::mutex> lock(listLock_);
  sessions_.erase(std::remove(sessions_.begin(), sessions_.end(), &session), sessions_.end());
  if (default_ == &session) default_ = nullptr;
}

TFenSession* TFenSessionList::FindSession(std::string_view name) {
  std::lock_guard<std::mutex> lock(listLock_);
  if (name.empty()) return default_;
  for (TFenSession* session : sessions_)
    if (SameFenName(session->sessionName_, name)) return session;
  return nullptr;
}

TFenSession& TFenSessionList::GetSession(std::string_view name) {
  TFenSession* session = FindSession(name);
  if (session == nullptr) DatabaseErrorFmt(fenmsg::kInvalidSessionName, std::string(name).c_str());
  return *session;
}

TFenSession& TFenSessionList::FindOrOpenSession(std::string_view name) {
  // Finding and creating happen under the engine lock, so a second thread asking for the same
  // name waits and then finds the session the first one made.
  TEngineGuard guard(engineLock_);
  TFenSession* session = FindSession(name);
  if (session == nullptr) {
    auto made = std::make_unique<TFenSession>(nullptr, *this);
    made->SetSessionName(std::string(name));
    session = made.get();
    std::lock_guard<std::mutex> lock(listLock_);
    owned_.push_back(std::move(made));
  }
  session->SetActive(true);
  return *session;
}

int TFenSessionList::Count() {
  std::lock_guard<std::mutex> lock(listLock_);
  return static_cast<int>(sessions_.size());
}

int TFenSessionList::TakeAutoNumber() {
  auto it = std::find(autoNumbers_.begin(), autoNumbers_.end(), false);
  const int number = static_cast<int>(it - autoNumbers_.begin());
  if (it == autoNumbers_.end())
    autoNumbers_.push_back(true);
  else
    *it = true;
  return number;
}

void TFenSessionList::ReleaseAutoNumber(int number) {
  if (number >= 0 && static_cast<size_t>(number) < autoNumbers_.size()) autoNumbers_[static_cast<size_t>(number)] = false;
}

TFenSessionList& Sessions() {
  static TFenSessionList list;
  return list;
}

// ---------------------------------------------------------------------------------------------
// Sessions: construction, names

TFenSession::TFenSession(TFenComponentOwner* owner, TFenSessionList& list) : list_(list), owner_(owner) {
  if (owner_ != nullptr) {
    for (TFenSession* other : list_.SessionsCopy()) {
      TEngineGuard guard(list_.EngineLock());
      if (other->owner_ == owner_ && other->autoSessionName_) DatabaseError(fenmsg::kAutoSessionExists);
    }
  }
  list_.AddSession(*this);
}

TFenSession::~TFenSession() {
  {
    TEngineGuard guard(list_.EngineLock());
    destroying_ = true;
    try {
      SetSessionActive(false);
    } catch (...) {
      // A session that fails to close still goes away; its databases are detached below.
    }
    // Databases that outlive the session must not point at it.
    for (TFenDatabase* database : databases_) database->session_ = nullptr;
    databases_.clear();
    temporaries_.clear();
  }
  list_.RemoveSession(*this);
}

std::string TFenSession::Name() const {
  TEngineGuard guard(list_.EngineLock());
  return name_;
}

void TFenSession::SetName(std::string name) {
  TEngineGuard guard(list_.EngineLock());
  name_ = std::move(name);
  if (autoSessionName_) MakeAutoName();
}

std::string TFenSession::SessionName() const {
  TEngineGuard guard(list_.EngineLock());
  return sessionName_;
}

void TFenSession::SetSessionName(std::string name) {
  TEngineGuard guard(list_.EngineLock());
  if (autoSessionName_ && !makingAutoName_) DatabaseError(fenmsg::kAutoSessionActive);
  if (engineSession_ != nullptr) DatabaseError(fenmsg::kSessionActive);
  if (!name.empty()) {
    TFenSession* other = list_.FindSession(name);
    if (other != nullptr && other != this && !other->sessionName_.empty())
      DatabaseErrorFmt(fenmsg::kDuplicateSessionName, name.c_str());
  }
  // FindSession reads names under the list's lock.
  std::lock_guard<std::mutex> lock(list_.listLock_);
  sessionName_ = std::move(name);
}

bool TFenSession::AutoSessionName() const {
  TEngineGuard guard(list_.EngineLock());
  return autoSessionName_;
}

void TFenSession::SetAutoSessionName(bool value) {
  TEngineGuard guard(list_.EngineLock());
  if (value == autoSessionName_) return;
  if (value) {
    if (engineSession_ != nullptr) DatabaseError(fenmsg::kSessionActive);
    if (owner_ != nullptr) {
      for (TFenSession* other : list_.SessionsCopy())
        if (other != this && other->owner_ == owner_) DatabaseError(fenmsg::kAutoSessionOnly);
    }
    autoNumber_ = list_.TakeAutoNumber();
    autoSessionName_ = true;
    MakeAutoName();
  } else {
    autoSessionName_ = false;
    if (autoNumber_ >= 0) list_.ReleaseAutoNumber(autoNumber_);
    autoNumber_ = -1;
  }
}

void TFenSession::MakeAutoName() {
  makingAutoName_ = true;
  try {
    SetSessionName(name_ + "_" + std::to_string(autoNumber_ + 1));
  } catch (...) {
    makingAutoName_ = false;
    throw;
  }
  makingAutoName_ = false;
  // Closed databases of the same owner follow the new name.
  if (owner_ == nullptr) return;
  for (TFenSession* session : list_.SessionsCopy()) {
    for (TFenDatabase* database : std::vector<TFenDatabase*>(session->databases_)) {
      if (database->owner_ == owner_ && !database->Connected() &&
          !SameFenName(database->sessionName_, sessionName_))
        database->sessionName_ = sessionName_;
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Opening and closing

bool TFenSession::Active() const {
  TEngineGuard guard(list_.EngineLock());
  return engineSession_ != nullptr;
}

void TFenSession::SetActive(bool value) {
  TEngineGuard guard(list_.EngineLock());
  if (value == (engineSession_ != nullptr)) return;
  SetSessionActive(value);
}

void TFenSession::SetSessionActive(bool open) {
  TEngineGuard guard(list_.EngineLock());
  if (open == (engineSession_ != nullptr)) return;
  if (open) {
    OpenEngineSession();
  } else {
    CloseEngineSession();
  }
}

void TFenSession::OpenEngineSession() {
  if (onStartup_) onStartup_(*this);
  if (sessionName_.empty()) DatabaseError(fenmsg::kSessionNameMissing);
  if (!isDefault_) list_.DefaultSession().SetActive(true);
  TranslateEngineErrors([this] {
    if (isDefault_) {
      engine::EngineStart();
      engineSession_ = engine::EngineSession();
    } else {
      ownEngineSession_.reset(engine::CreateEngineSession());
      engineSession_ = ownEngineSession_.get();
    }
    engine::SetEngineSession(engineSession_);
  });
  try {
    TranslateEngineErrors([this] { CopySettings(); });
  } catch (...) {
    CloseEngineSession();
    throw;
  }
}

void TFenSession::CopySettings() {
  // The private directory defaults to the system's temporary folder, never the working one.
  engineSession_->SetPrivateDir(privateDir_.empty() ? platform::SystemTempFolder() : Cut(privateDir_));
  engineSession_->StrictChangeDetection = strictChangeDetection_;
  engineSession_->ForceBufferFlush = forceBufferFlush_;
  engineSession_->LockRetryCount = lockRetryCount_;
  engineSession_->LockWaitTime = lockWaitTime_;
  engineSession_->LanguageId = languageId_;
  engineSession_->SortId = sortId_;
}

void TFenSession::CloseEngineSession() {
  if (engineSession_ == nullptr) return;
  if (isDefault_) {
    // The engine stops with the default session: no other session may keep using it.
    for (TFenSession* other : list_.SessionsCopy()) {
      if (other == this) continue;
      try {
        other->SetActive(false);
      } catch (...) {
        // The other session's failure must not keep the engine running under it.
      }
    }
  }
  engine::SetEngineSession(engineSession_);
  // Every database closes even when one of them fails; the first failure is raised at the end.
  std::exception_ptr failure;
  std::vector<TFenDatabase*> attached = databases_;
  for (auto it = attached.rbegin(); it != attached.rend(); ++it) {
    TFenDatabase* database = *it;
    if (std::find(databases_.begin(), databases_.end(), database) == databases_.end()) continue;
    try {
      if (database->temporary_)
        FreeTemporary(*database);
      else
        database->Close();
    } catch (...) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (isDefault_) {
    engineSession_ = nullptr;
    engine::EngineStop();
  } else {
    engineSession_ = nullptr;
    ownEngineSession_.reset();
    TFenSession* fallback = list_.FindSession("");
    engine::SetEngineSession(fallback != nullptr ? fallback->engineSession_ : nullptr);
  }
  if (failure) std::rethrow_exception(failure);
}

// ---------------------------------------------------------------------------------------------
// The engine lock

void TFenSession::Lock() {
  list_.EngineLock().lock();
  int& depth = DepthOf(this);
  if (++depth == 1) {
    try {
      MakeCurrent();
    } catch (...) {
      --DepthOf(this);
      DropDepth(this);
      list_.EngineLock().unlock();
      throw;
    }
  }
}

void TFenSession::Unlock() {
  int& depth = DepthOf(this);
  if (depth <= 0) {
    // An Unlock without its Lock on this thread must not leave a lock another thread holds.
    DropDepth(this);
    return;
  }
  --depth;
  DropDepth(this);
  list_.EngineLock().unlock();
}

int TFenSession::LockDepth() const {
  for (const auto& entry : tLockDepths)
    if (entry.first == this) return entry.second;
  return 0;
}

void TFenSession::MakeCurrent() {
  TEngineGuard guard(list_.EngineLock());
  if (engineSession_ != nullptr)
    engine::SetEngineSession(engineSession_);
  else
    SetActive(true);
}

engine::TDataSession* TFenSession::GetEngineSession() {
  TEngineGuard guard(list_.EngineLock());
  MakeCurrent();
  return engineSession_;
}

// ---------------------------------------------------------------------------------------------
// Settings

std::string TFenSession::PrivateDir() const {
  TEngineGuard guard(list_.EngineLock());
  return privateDir_;
}

void TFenSession::SetPrivateDir(std::string dir) {
  TEngineGuard guard(list_.EngineLock());
  if (engineSession_ == nullptr) {
    privateDir_ = std::move(dir);
    return;
  }
  TLockGuard lock(*this);
  if (dir == privateDir_) return;
  privateDir_ = std::move(dir);
  engineSession_->SetPrivateDir(privateDir_.empty() ? platform::SystemTempFolder() : Cut(privateDir_));
}

namespace {

// Stores a setting; on an active session it reaches the engine session at once.
template <class T, class Apply>
void ChangeSetting(TFenSession& session, bool active, T& field, T value, Apply apply) {
  if (!active) {
    field = value;
    return;
  }
  session.Lock();
  if (field != value) {
    field = value;
    apply();
  }
  session.Unlock();
}

}  // namespace

#define TM_FEN_SETTING(Type, Getter, Setter, field, engineField)                                 \
  Type TFenSession::Getter() const {                                                            \
    TEngineGuard guard(list_.EngineLock());                                                     \
    return field;                                                                               \
  }                                                                                             \
  void TFenSession::Setter(Type value) {                                                        \
    TEngineGuard guard(list_.EngineLock());                                                     \
    ChangeSetting(*this, engineSession_ != nullptr, field, value,                               \
                  [this] { engineSession_->engineField = field; });                             \
  }

TM_FEN_SETTING(uint8_t, LockRetryCount, SetLockRetryCount, lockRetryCount_, LockRetryCount)
TM_FEN_SETTING(uint16_t, LockWaitTime, SetLockWaitTime, lockWaitTime_, LockWaitTime)
TM_FEN_SETTING(bool, ForceBufferFlush, SetForceBufferFlush, forceBufferFlush_, ForceBufferFlush)
TM_FEN_SETTING(bool, StrictChangeDetection, SetStrictChangeDetection, strictChangeDetection_,
               StrictChangeDetection)
TM_FEN_SETTING(uint16_t, LanguageID, SetLanguageID, languageId_, LanguageId)
TM_FEN_SETTING(uint16_t, SortID, SetSortID, sortId_, SortId)

#undef TM_FEN_SETTING

bool TFenSession::KeepConnections() const {
  TEngineGuard guard(list_.EngineLock());
  return keepConnections_;
}

void TFenSession::SetKeepConnections(bool value) {
  TEngineGuard guard(list_.EngineLock());
  keepConnections_ = value;
}

void TFenSession::SetOnStartup(TStartupEvent handler) {
  TEngineGuard guard(list_.EngineLock());
  onStartup_ = std::move(handler);
}

void TFenSession::SetOnPassword(TPasswordEvent handler) {
  TEngineGuard guard(list_.EngineLock());
  onPassword_ = std::move(handler);
}

// ---------------------------------------------------------------------------------------------
// Passwords

void TFenSession::AddPassword(const std::string& password) {
  TLockGuard lock(*this);
  engineSession_->AddPassword(Cut(password));
}

void TFenSession::RemovePassword(const std::string& password) {
  TLockGuard lock(*this);
  engineSession_->RemovePassword(Cut(password));
}

void TFenSession::RemoveAllPasswords() {
  TLockGuard lock(*this);
  engineSession_->RemoveAllPasswords();
}

bool TFenSession::HasPassword(const std::string& password) {
  TLockGuard lock(*this);
  return engineSession_->HasPassword(Cut(password));
}

bool TFenSession::AskPassword() {
  TPasswordEvent handler;
  {
    TEngineGuard guard(list_.EngineLock());
    handler = onPassword_;
  }
  // Asked outside the engine lock: a prompt must never hold up the other sessions.
  if (handler) {
    bool doContinue = false;
    handler(*this, doContinue);
    return doContinue;
  }
  return PasswordDialog(*this);
}

bool TFenSession::PasswordCallback(void* request, int /*reason*/) {
  auto* state = static_cast<TFenPasswordRequest*>(request);
  if (state == nullptr || state->Session == nullptr) return false;
  // A handler that keeps answering "continue" without supplying the password would make the
  // engine ask forever.
  if (state->Attempts >= kMaxPasswordAttempts) return false;
  ++state->Attempts;
  try {
    return state->Session->AskPassword();
  } catch (...) {
    // The engine calls back through a plain function and cannot carry a failure: a handler
    // that fails counts as no password, and the engine reports the refusal.
    return false;
  }
}

// ---------------------------------------------------------------------------------------------
// Databases

void TFenSession::AddDatabase(TFenDatabase& database) {
  TEngineGuard guard(list_.EngineLock());
  if (std::find(databases_.begin(), databases_.end(), &database) == databases_.end())
    databases_.push_back(&database);
}

void TFenSession::RemoveDatabase(TFenDatabase& database) {
  TEngineGuard guard(list_.EngineLock());
  databases_.erase(std::remove(databases_.begin(), databases_.end(), &database), databases_.end());
}

void TFenSession::FreeTemporary(TFenDatabase& database) {
  TEngineGuard guard(list_.EngineLock());
  auto it = std::find_if(temporaries_.begin(), temporaries_.end(),
                         [&database](const std::unique_ptr<TFenDatabase>& d) { return d.get() == &database; });
  if (it == temporaries_.end() || database.destroying_) return;
  std::unique_ptr<TFenDatabase> owned = std::move(*it);
  temporaries_.erase(it);
  owned.reset();
}

std::vector<TFenDatabase*> TFenSession::Databases() {
  TEngineGuard guard(list_.EngineLock());
  return databases_;
}

TFenDatabase* TFenSession::FindDatabase(std::string_view name) {
  TEngineGuard guard(list_.EngineLock());
  for (TFenDatabase* database : databases_)
    if (SameFenName(database->databaseName_, name)) return database;
  return nullptr;
}

TFenDatabase& TFenSession::OpenDatabase(const std::string& name, TFenComponentOwner* owner) {
  TLockGuard lock(*this);
  TFenDatabase* database = nullptr;
  for (TFenDatabase* candidate : databases_) {
    if (candidate->owner_ == owner && candidate->handleShared_ && SameFenName(candidate->databaseName_, name)) {
      database = candidate;
      break;
    }
  }
  if (database == nullptr) database = FindDatabase(name);
  if (database == nullptr) {
    auto made = std::make_unique<TFenDatabase>(this, nullptr);
    made->temporary_ = true;
    made->databaseName_ = name;
    made->keepConnection_ = keepConnections_;
    database = made.get();
    temporaries_.push_back(std::move(made));
    try {
      database->Open();
    } catch (...) {
      FreeTemporary(*database);
      throw;
    }
  } else {
    database->Open();
  }
  ++database->refCount_;
  return *database;
}

void TFenSession::CloseDatabase(TFenDatabase& database) {
  TLockGuard lock(*this);
  if (database.refCount_ > 0) --database.refCount_;
  // While the database's own Close disconnects its data sets, it finishes the close itself.
  if (database.closing_) return;
  if (database.refCount_ == 0 && !database.keepConnection_) {
    if (database.temporary_)
      FreeTemporary(database);
    else
      database.Close();
  }
}

}  // namespace tovenmarsh::dataset
