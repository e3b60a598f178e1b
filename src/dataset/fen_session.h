// Sessions of the record-set layer and the engine lock.
//
// A TFenSession is the record-set face of one engine session (engine::TDataSession): its
// settings, its table passwords and the databases opened in it. All sessions of the process
// live in the one TFenSessionList (Sessions()), which owns the process-wide engine lock.
//
// Contract:
// - The engine lock is a re-entrant mutex; each thread counts its own nesting per session, so
//   the thread that enters the lock is the thread that leaves it, even when several threads
//   share one session (the "Default" session). The first Lock of a session on a thread makes
//   that session the engine's current session; the last Unlock leaves the lock.
// - Opening and closing sessions, settings, passwords, the session's database list and the
//   databases' reference counts change only under the engine lock. FindOrOpenSession is atomic:
//   two threads asking for the same new name get the same session.
// - The first session of the list (created by the list, named "Default") is the default
//   session: it starts the engine and uses the engine's global session; an empty session name
//   means the default session everywhere in this layer.
// - A session's default private directory is the system's temporary folder.
// - Destroying a session closes it (its temporary databases are freed, the others closed) and
//   detaches the databases that outlive it, which then name a session that must exist again
//   before they can open.
// - Misuse raises EDatabaseError with the fixed texts below; engine failures EFenEngineError.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "dataset/fen_password_dialog.h"

namespace tovenmarsh::engine {
class TDataSession;
}

namespace tovenmarsh::dataset {

class TFenDatabase;
class TFenSession;

namespace fenmsg {
inline constexpr const char* kInvalidSessionName = "Session name %s is not valid.";
inline constexpr const char* kSessionNameMissing = "Session name is missing.";
inline constexpr const char* kDuplicateSessionName = "Session name %s already exists.";
inline constexpr const char* kSessionActive = "Cannot perform this operation on an active session.";
inline constexpr const char* kAutoSessionActive = "Cannot perform this operation on the active auto-session.";
inline constexpr const char* kAutoSessionOnly = "The active auto-session can be the only active session.";
inline constexpr const char* kAutoSessionExists = "This auto-session already exists.";
inline constexpr const char* kDatabaseNameMissing = "Database name is missing.";
inline constexpr const char* kInvalidDatabaseName = "Database name %s is not valid.";
inline constexpr const char* kDuplicateDatabaseName = "Database name %s already exists.";
inline constexpr const char* kDatabaseOpen = "Cannot perform this operation on an open database.";
inline constexpr const char* kDatabaseClosed = "Cannot perform this operation on a closed database.";
inline constexpr const char* kInTransaction = "Database %s already has an active transaction.";
inline constexpr const char* kNotInTransaction = "Database %s has no active transaction.";
}  // namespace fenmsg

// The owner of components: sessions and databases made for one owner belong together (auto
// session names, shared databases). Only its identity matters.
class TFenComponentOwner {
 public:
  virtual ~TFenComponentOwner() = default;
};

// Case-insensitive comparison of session and database names.
bool SameFenName(std::string_view a, std::string_view b);

class TFenSessionList {
 public:
  TFenSessionList();
  ~TFenSessionList();
  TFenSessionList(const TFenSessionList&) = delete;
  TFenSessionList& operator=(const TFenSessionList&) = delete;

  // Called by the session's constructor and destructor.
  void AddSession(TFenSession& session);
  void RemoveSession(TFenSession& session);

  // Empty name: the default session.
  TFenSession* FindSession(std::string_view name);
  // As FindSession; none raises "Session name %s is not valid.".
  TFenSession& GetSession(std::string_view name);
  // FindSession, else a new session of that name owned by the list; either way made active.
  TFenSession& FindOrOpenSession(std::string_view name);
  int Count();
  TFenSession& DefaultSession() { return *default_; }

  // The engine lock itself (sessions enter it through TFenSession::Lock).
  std::recursive_mutex& EngineLock() { return engineLock_; }

  // Auto-session numbers; the engine lock must be held.
  int TakeAutoNumber();
  void ReleaseAutoNumber(int number);

 private:
  friend class TFenSession;
  std::vector<TFenSession*> SessionsCopy();

  std::recursive_mutex engineLock_;
  std::mutex listLock_;  // sessions_ and owned_
  std::vector<TFenSession*> sessions_;
  std::vector<std::unique_ptr<TFenSession>> owned_;
  std::vector<bool> autoNumbers_;
  TFenSession* default_ = nullptr;
};

// The process's session list (created with its "Default" session at first use).
TFenSessionList& Sessions();

// One engine-open attempt's state for the password callback (lives while a cursor opens).
struct TFenPasswordRequest {
  TFenSession* Session = nullptr;
  int Attempts = 0;
};

class TFenSession : public TFenSessionPasswords {
 public:
  using TStartupEvent = std::function<void(TFenSession&)>;
  using TPasswordEvent = std::function<void(TFenSession&, bool& doContinue)>;

  // A handler that answers "continue" this many times without the engine finding the
  // password is not asked again for that open: the open fails with the engine's error.
  static constexpr int kMaxPasswordAttempts = 3;

  explicit TFenSession(TFenComponentOwner* owner = nullptr, TFenSessionList& list = Sessions());
  virtual ~TFenSession();
  TFenSession(const TFenSession&) = delete;
  TFenSession& operator=(const TFenSession&) = delete;

  TFenSessionList& List() const { return list_; }
  TFenComponentOwner* Owner() const { return owner_; }
  bool IsDefault() const { return isDefault_; }

  // The component name (the stem of the auto session name).
  std::string Name() const;
  void SetName(std::string name);

  std::string SessionName() const;
  void SetSessionName(std::string name);
  bool AutoSessionName() const;
  void SetAutoSessionName(bool value);

  bool Active() const;
  void SetActive(bool value);
  void OpenSession() { SetActive(true); }
  void CloseSession() { SetActive(false); }

  // Settings: stored while inactive and copied into the engine session at open; on an active
  // session a change reaches the engine session at once.
  std::string PrivateDir() const;
  void SetPrivateDir(std::string dir);
  uint8_t LockRetryCount() const;
  void SetLockRetryCount(uint8_t value);
  uint16_t LockWaitTime() const;
  void SetLockWaitTime(uint16_t value);
  bool ForceBufferFlush() const;
  void SetForceBufferFlush(bool value);
  bool StrictChangeDetection() const;
  void SetStrictChangeDetection(bool value);
  uint16_t LanguageID() const;
  void SetLanguageID(uint16_t value);
  uint16_t SortID() const;
  void SetSortID(uint16_t value);
  bool KeepConnections() const;
  void SetKeepConnections(bool value);
  std::string EngineVersion() const { return "2.06"; }

  void SetOnStartup(TStartupEvent handler);
  void SetOnPassword(TPasswordEvent handler);

  // The engine lock (see the contract above).
  void Lock();
  void Unlock();
  // This thread's nesting level of the engine lock through this session.
  int LockDepth() const;
  void MakeCurrent();
  // The engine session, the session opened first when needed.
  engine::TDataSession* GetEngineSession();

  void AddPassword(const std::string& password) override;
  void RemovePassword(const std::string& password) override;
  void RemoveAllPasswords() override;
  bool HasPassword(const std::string& password);

  // The database of that name (a temporary one is made when none exists), opened and counted.
  TFenDatabase& OpenDatabase(const std::string& name, TFenComponentOwner* owner = nullptr);
  // Releases one count of OpenDatabase.
  void CloseDatabase(TFenDatabase& database);
  // The session's databases, in the order they joined it.
  std::vector<TFenDatabase*> Databases();
  TFenDatabase* FindDatabase(std::string_view name);

  // Asks for a missing table password: OnPassword when assigned (Continue starts false), else
  // the password dialog. True means "try again".
  bool AskPassword();
  // The engine cursor's password routine; owner is a TFenPasswordRequest.
  static bool PasswordCallback(void* request, int reason);

 private:
  friend class TFenSessionList;
  friend class TFenDatabase;

  class TLockGuard {
   public:
    explicit TLockGuard(TFenSession& session) : session_(session) { session_.Lock(); }
    ~TLockGuard() { session_.Unlock(); }
    TLockGuard(const TLockGuard&) = delete;
    TLockGuard& operator=(const TLockGuard&) = delete;

   private:
    TFenSession& session_;
  };

  void SetSessionActive(bool open);
  void OpenEngineSession();
  void CloseEngineSession();
  void CopySettings();
  void MakeAutoName();
  void AddDatabase(TFenDatabase& database);
  void RemoveDatabase(TFenDatabase& database);
  // Frees a temporary database this session made.
  void FreeTemporary(TFenDatabase& database);

  TFenSessionList& list_;
  TFenComponentOwner* const owner_;
  bool isDefault_ = false;
  std::string name_;
  std::string sessionName_;
  bool autoSessionName_ = false;
  int autoNumber_ = -1;
  bool makingAutoName_ = false;
  bool destroying_ = false;

  std::string privateDir_;
  uint8_t lockRetryCount_ = 15;
  uint16_t lockWaitTime_ = 100;
  bool forceBufferFlush_ = false;
  bool strictChangeDetection_ = false;
  uint16_t languageId_ = 0;
  uint16_t sortId_ = 0;
  bool keepConnections_ = false;
  TStartupEvent onStartup_;
  TPasswordEvent onPassword_;

  engine::TDataSession* engineSession_ = nullptr;
  std::unique_ptr<engine::TDataSession> ownEngineSession_;  // none for the default session
  std::vector<TFenDatabase*> databases_;
  std::vector<std::unique_ptr<TFenDatabase>> temporaries_;
};

}  // namespace tovenmarsh::dataset
