// Databases of the record-set layer: one folder of table files (or the in-memory database)
// inside a session, opened as one engine directory, with transactions over all its open tables.
//
// Contract:
// - Open binds the session named by SessionName (moving the database there when it changed),
//   activates it and opens the engine directory under the engine lock. A DatabaseName that
//   holds ":", "\" or "/" is a path: a temporary database opens that folder itself.
// - A HandleShared database shares the engine directory of an open HandleShared database of
//   the same name and session; the engine counts every user of a directory, so the directory
//   lives until the last database using it closes, whichever closes first.
// - Close disconnects every attached data set (last first), rolls back a transaction this
//   database started (or any transaction when it is the directory's last user), and closes
//   its engine directory. Close and the reference counts run under the engine lock.
// - Transactions need an open database ("Cannot perform this operation on a closed
//   database."); engine failures arrive as EFenEngineError and leave the state unchanged.
// - A database whose session is destroyed is detached from it (Session() is null) until an
//   Open finds a session of its SessionName again.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "dataset/fen_session.h"

namespace tovenmarsh::engine {
class TDataDirectory;
}

namespace tovenmarsh::dataset {

// A user of a database that stays attached while open (the data sets over it). The database's
// Close calls Disconnect, which must end with DetachDataSet.
class TFenDatabaseClient {
 public:
  virtual ~TFenDatabaseClient() = default;
  virtual void Disconnect() = 0;
};

class TFenDatabase {
 public:
  using TNotifyEvent = std::function<void(TFenDatabase&)>;

  // Lives in session (the default session when none); owner groups it with the owner's
  // components.
  explicit TFenDatabase(TFenSession* session = nullptr, TFenComponentOwner* owner = nullptr);
  virtual ~TFenDatabase();
  TFenDatabase(const TFenDatabase&) = delete;
  TFenDatabase& operator=(const TFenDatabase&) = delete;

  std::string DatabaseName() const;
  void SetDatabaseName(std::string name);
  std::string Directory() const;
  void SetDirectory(std::string directory);
  std::string SessionName() const;
  void SetSessionName(std::string name);
  bool KeepConnection() const;
  void SetKeepConnection(bool value);
  bool HandleShared() const;
  void SetHandleShared(bool value);
  bool Connected() const { return directory_.load() != nullptr; }
  void SetConnected(bool value) { value ? Open() : Close(); }
  std::string EngineVersion() const { return "2.06"; }
  void SetBeforeConnect(TNotifyEvent handler);

  void Open();
  void Close();

  void StartTransaction();
  void Commit();
  void Rollback();
  bool InTransaction() const;

  TFenSession* Session() const;
  TFenComponentOwner* Owner() const { return owner_; }
  bool Temporary() const { return temporary_; }
  bool Borrowed() const;
  int ReferenceCount() const;
  // The engine directory (none while closed).
  engine::TDataDirectory* Handle() const { return directory_.load(); }

  // Data sets attached while open (kept in attach order).
  void AttachDataSet(TFenDatabaseClient& client);
  void DetachDataSet(TFenDatabaseClient& client);
  int DataSetCount() const;

 private:
  friend class TFenSession;

  std::recursive_mutex& EngineLock() const { return list_.EngineLock(); }
  // Raises when another database of the session carries the name (unused temporary ones
  // of that name are freed instead).
  void CheckDatabaseName(const std::string& name);
  // Opens the engine directory (engine lock held, session bound and active).
  void OpenDirectory();

  TFenSessionList& list_;
  TFenSession* session_;
  TFenComponentOwner* const owner_;
  std::string databaseName_;
  std::string folder_;
  std::string sessionName_;
  bool keepConnection_ = true;
  bool handleShared_ = false;
  bool temporary_ = false;
  bool borrowed_ = false;
  std::atomic<bool> ownsTransaction_{false};
  bool destroying_ = false;
  bool closing_ = false;  // Close is disconnecting the data sets
  int refCount_ = 0;
  TNotifyEvent beforeConnect_;
  std::vector<TFenDatabaseClient*> dataSets_;
  std::atomic<engine::TDataDirectory*> directory_{nullptr};
};

}  // namespace tovenmarsh::dataset
