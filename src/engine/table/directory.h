// One open database of a session: a disk directory or the in-memory database "MEMORY". It
// holds the shared tables of that directory, creates, opens, closes, renames and deletes
// tables, and runs transactions over all its open tables.
//
// Contract: table names are stored with ".DAT" forced on and compare trimmed and
// case-insensitively together with their kind (disk or memory). Table operations return 0 or a
// negative code (-11010 empty name or unknown table, -11013 in use); file errors inside them
// are raised. The table list is guarded by the directory's own lock. A failed
// StartTransaction rolls every table back and raises the failing table's error.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/table/shared_table.h"

namespace tovenmarsh::engine {

class TDataSession;

// Options of one table open.
struct TOpenOptions {
  bool Memory = false;
  bool Exclusive = false;
  bool ShareExclusive = false;
  bool ReadOnly = false;
  bool Temporary = false;
  bool Sequential = false;
};

class TDataDirectory {
 public:
  // A directory of session, whose settings (none: the defaults) its tables read.
  TDataDirectory(TDataSession* session, const TSessionSettings* settings, std::string name, std::string path,
                 std::string universalPath);
  ~TDataDirectory();
  TDataDirectory(const TDataDirectory&) = delete;
  TDataDirectory& operator=(const TDataDirectory&) = delete;

  TDataSession* Session() const { return session_; }
  const std::string& Name() const { return name_; }
  const std::string& Path() const { return path_; }
  const std::string& UniversalPath() const { return universalPath_; }
  int32_t References = 1;
  bool InTransaction() const { return inTransaction_; }

  int CreateTable(const std::string& name, bool memory, bool temporary, const TTableDefinition& definition,
                  TDataTable** table = nullptr);
  // `firstOpen` (optional) tells, decided under the directory's lock, whether this call opened
  // the table's files rather than sharing an open table.
  int OpenTable(const std::string& name, TDataTable** table, const TOpenOptions& options, bool* firstOpen = nullptr);
  int CloseTable(TDataTable* table, bool write = true);
  int RenameTable(const std::string& name, const std::string& newName, bool backup, bool memory);
  int DeleteTable(const std::string& name, bool memory);
  bool TableExists(const std::string& name, bool memory);
  std::string UniqueTableName(bool memory);
  size_t TableCount();

  void StartTransaction();
  void Rollback();
  void Commit(bool end);

 private:
  TDataTable* Find(const std::string& name, bool memory);
  void FreeTable(TDataTable* table);

  TDataSession* session_;
  const TSessionSettings* settings_;
  std::string name_;
  std::string path_;
  std::string universalPath_;
  std::recursive_mutex mutex_;  // the table list
  std::vector<std::unique_ptr<TDataTable>> tables_;
  bool inTransaction_ = false;
};

}  // namespace tovenmarsh::engine
