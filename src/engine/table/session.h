// The engine side of one user session: working and private directories, the table passwords
// the user supplied, lock retry settings, default language and two behaviour switches, and the
// database directories opened through it.
//
// Contract: a session and its directories are used by one thread at a time. Directories are
// identified by their universal path (case-insensitive): opening a second name for the same
// place shares the directory and counts a reference. Results of CloseDirectory are 0 or -11013.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/table/session_settings.h"

namespace tovenmarsh::engine {

class TDataDirectory;

class TDataSession : public TSessionSettings {
 public:
  TDataSession();
  ~TDataSession();
  TDataSession(const TDataSession&) = delete;
  TDataSession& operator=(const TDataSession&) = delete;

  const std::string& WorkingDir() const { return workingDir_; }
  std::string GetPrivateDir() const;
  void SetPrivateDir(const std::string& dir);

  void AddPassword(const std::string& password);
  void RemovePassword(const std::string& password);
  void RemoveAllPasswords();
  bool HasPassword(const std::string& password) const;

  TDataDirectory* OpenDirectory(const std::string& name, const std::string& path);
  int CloseDirectory(TDataDirectory* directory);
  size_t DirectoryCount() const { return directories_.size(); }

 private:
  std::string workingDir_;
  std::string privateDir_;
  std::vector<std::string> passwords_;
  std::vector<std::unique_ptr<TDataDirectory>> directories_;
};

// A new engine session on the engine heap's side of the boundary, and its release.
TDataSession* CreateEngineSession();
void FreeEngineSession(TDataSession*& session);  // nullptr allowed

}  // namespace tovenmarsh::engine
