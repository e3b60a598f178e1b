// Database directories: the shared tables of one place, their creation, opening, closing,
// renaming and deletion, and transactions over all open tables.
#include "engine/table/directory.h"

#include <algorithm>
#include <cstdlib>

#include "engine/base/engine_error.h"
#include "engine/base/engine_strings.h"
#include "engine/io/file_list.h"
#include "platform/file_system.h"

namespace tovenmarsh::engine {

namespace {

std::string Trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(' ') - b + 1);
}

std::string TableName(const std::string& name) { return ForceFileExt(Trimmed(name), ".DAT"); }

}  // namespace

TDataDirectory::TDataDirectory(TDataSession* session, const TSessionSettings* settings, std::string name,
                               std::string path, std::string universalPath)
    : session_(session),
      settings_(settings),
      name_(std::move(name)),
      path_(std::move(path)),
      universalPath_(std::move(universalPath)) {}

TDataDirectory::~TDataDirectory() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto& t : tables_) {
    try {
      if (t->InTransactionNow()) t->Rollback();
    } catch (...) {
      // The directory goes away whatever its tables answer.
    }
  }
  tables_.clear();
}

TDataTable* TDataDirectory::Find(const std::string& name, bool memory) {
  const std::string wanted = TableName(name);
  for (auto& t : tables_)
    if (t->Memory() == memory && SameEngineName(t->Name(), wanted)) return t.get();
  return nullptr;
}

void TDataDirectory::FreeTable(TDataTable* table) {
  auto it = std::find_if(tables_.begin(), tables_.end(),
                         [table](const std::unique_ptr<TDataTable>& t) { return t.get() == table; });
  if (it != tables_.end()) tables_.erase(it);
}

size_t TDataDirectory::TableCount() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return tables_.size();
}

int TDataDirectory::CreateTable(const std::string& name, bool memory, bool temporary,
                                const TTableDefinition& definition, TDataTable** table) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Trimmed(ExtractFileBaseName(Trimmed(name))).empty()) return -kErrInvalidPath;
  TDataTable* t = Find(name, memory);
  if (t && (t->References > 0 || t->IsOpen())) return -kErrAccessDenied;
  if (!t) {
    tables_.push_back(std::make_unique<TDataTable>(path_, settings_, TableName(name), memory));
    t = tables_.back().get();
  }
  t->Exclusive = true;
  t->Temporary = temporary;
  try {
    t->CreateFiles(definition);
  } catch (...) {
    FreeTable(t);
    throw;
  }
  if (table) *table = t;
  return 0;
}

int TDataDirectory::OpenTable(const std::string& name, TDataTable** table, const TOpenOptions& options,
                              bool* firstOpen) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (firstOpen) *firstOpen = false;
  TDataTable* t = Find(name, options.Memory);
  if (t && t->References > 0) {
    if ((t->Exclusive || options.Exclusive) && !options.ShareExclusive) return -kErrAccessDenied;
    ++t->References;
    *table = t;
    return 0;
  }
  const bool listed = t != nullptr;
  const bool wasOpen = t && t->IsOpen();
  if (!t) {
    tables_.push_back(std::make_unique<TDataTable>(path_, settings_, TableName(name), options.Memory));
    t = tables_.back().get();
  }
  if (!t->IsOpen()) {
    t->Exclusive = options.Exclusive;
    t->ReadOnly = options.ReadOnly;
    t->Temporary = options.Temporary;
    t->Sequential = options.Sequential;
  }
  try {
    t->Open();
    if (inTransaction_) t->StartTransaction();
  } catch (...) {
    if (!listed) FreeTable(t);
    throw;
  }
  if (firstOpen) *firstOpen = !wasOpen;
  *table = t;
  return 0;
}

int TDataDirectory::CloseTable(TDataTable* table, bool write) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  auto it = std::find_if(tables_.begin(), tables_.end(),
                         [table](const std::unique_ptr<TDataTable>& t) { return t.get() == table; });
  if (it == tables_.end()) return -kErrInvalidPath;
  table->Close(!write);
  if (table->References == 0 && !table->InTransactionNow()) FreeTable(table);
  return 0;
}

int TDataDirectory::RenameTable(const std::string& name, const std::string& newName, bool backup, bool memory) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (TDataTable* t = Find(name, memory)) {
    if (t->References > 0 || t->IsOpen()) return -kErrAccessDenied;
    t->RenameFiles(newName, backup);
    FreeTable(t);
    return 0;
  }
  TDataTable temporary(path_, settings_, TableName(name), memory);
  temporary.RenameFiles(newName, backup);
  return 0;
}

int TDataDirectory::DeleteTable(const std::string& name, bool memory) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (TDataTable* t = Find(name, memory)) {
    if (t->References > 0 || t->IsOpen()) return -kErrAccessDenied;
    t->DeleteFiles();
    FreeTable(t);
    return 0;
  }
  TDataTable temporary(path_, settings_, TableName(name), memory);
  temporary.DeleteFiles();
  return 0;
}

bool TDataDirectory::TableExists(const std::string& name, bool memory) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (Find(name, memory)) return true;
  const std::string file = memory ? TableName(name) : universalPath_ + TableName(name);
  return EngineFileExists(file, memory);
}

std::string TDataDirectory::UniqueTableName(bool memory) {
  const long id = std::labs(platform::CurrentThreadSystemId());
  const std::string stem = std::to_string(id).substr(0, 5);
  for (unsigned n = 0;; ++n) {
    const std::string candidate = stem + std::to_string(n) + ".DAT";
    if (!TableExists(candidate, memory)) return candidate;
  }
}

void TDataDirectory::StartTransaction() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  if (inTransaction_) return;
  for (auto& t : tables_) {
    try {
      t->StartTransaction();
    } catch (...) {
      // Every table leaves the transaction again, and the caller hears why it failed.
      for (auto& u : tables_) {
        try {
          u->Rollback();
        } catch (...) {
          // The first failure is the one the caller hears; every table still gets its rollback.
        }
      }
      throw;
    }
  }
  inTransaction_ = true;
}

void TDataDirectory::Rollback() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (size_t i = tables_.size(); i > 0; --i) {
    TDataTable* t = tables_[i - 1].get();
    t->Rollback();
    if (t->References == 0) {
      t->Close(true);
      FreeTable(t);
    }
  }
  inTransaction_ = false;
}

void TDataDirectory::Commit(bool end) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  inTransaction_ = false;
  for (size_t i = tables_.size(); i > 0; --i) {
    TDataTable* t = tables_[i - 1].get();
    try {
      t->Commit(end);
    } catch (...) {
      // The directory has left its transaction, so nobody would end the tables' transactions
      // (and free their write bytes): the tables not yet committed roll back, and the caller
      // hears why the commit failed.
      for (auto& u : tables_) {
        try {
          u->Rollback();
        } catch (...) {
          // The first failure is the one the caller hears; every table still gets its rollback.
        }
      }
      throw;
    }
    if (t->References == 0 && !t->InTransactionNow()) {
      t->Close(false);
      FreeTable(t);
    }
  }
}

}  // namespace tovenmarsh::engine
