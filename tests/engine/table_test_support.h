// Shared helpers of the cursor and table tests: field and index descriptors in one line, the
// engine error code a call raised, and a fixture holding a started engine with one session and
// one directory on a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "engine/cursor/cursor.h"
#include "engine/table/directory.h"
#include "engine/base/engine_error.h"
#include "engine/start/engine_start.h"
#include "engine/format/field_desc.h"
#include "engine/table/session.h"
#include "engine/table/shared_table.h"
#include "file_test_support.h"

namespace tovenmarsh::engine::testing {

// The engine error code `f` raised (0 for none), with the field and index names it reported.
inline uint16_t ErrorCode(const std::function<void()>& f, std::string* field = nullptr, std::string* index = nullptr) {
  try {
    f();
  } catch (const EFenEngineError& e) {
    if (field) *field = GetEngineErrorInfo(0);
    if (index) *index = GetEngineErrorInfo(2);
    return e.Code();
  }
  return 0;
}

inline FieldDesc Field(const char* name, uint8_t type, uint8_t size = 0, uint8_t subtype = 0) {
  FieldDesc f;
  f.Name = name;
  f.FieldType = type;
  f.Size = size;
  f.SubType = subtype;
  return f;
}

inline IndexDesc Index(const char* name, std::initializer_list<uint16_t> fields, bool unique = false) {
  IndexDesc d;
  d.Name = name;
  d.Unique = unique;
  d.FieldCount = static_cast<uint8_t>(fields.size());
  int i = 0;
  for (uint16_t f : fields) d.FieldNumbers[i++] = f;
  return d;
}

// A started engine, a session and its directory "db" on a fresh scratch folder, and the cursors
// a test opens (closed before the directory). A derived fixture releases its own cursors before
// calling TearDown here.
class EngineDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineStart();
    session_ = CreateEngineSession();
    directory_ = session_->OpenDirectory("db", scratch_.Path());
  }
  void TearDown() override {
    cursors_.clear();
    session_->CloseDirectory(directory_);
    FreeEngineSession(session_);
    EngineStop();
  }
  // Lock waits short enough that a refused lock fails at once.
  void ShortLockWaits(TDataSession* session) {
    session->LockRetryCount = 1;
    session->LockWaitTime = 1;
    session->TableLockRetries = 3;
  }

  // A table's files made from `d` and closed again.
  void Create(const std::string& name, const TTableDefinition& d) {
    TDataTable* t = nullptr;
    ASSERT_EQ(directory_->CreateTable(name, false, false, d, &t), 0);
    ASSERT_EQ(directory_->CloseTable(t), 0);
  }
  // An open cursor on `name`, owned by the fixture.
  TDataCursor& Open(const std::string& name, bool exclusive = false, TDataDirectory* on = nullptr) {
    cursors_.push_back(std::make_unique<TDataCursor>(on ? on : directory_));
    TDataCursor& c = *cursors_.back();
    c.SetTableName(name);
    c.SetExclusive(exclusive);
    c.Open();
    return c;
  }

  ScratchDir scratch_;
  TDataSession* session_ = nullptr;
  TDataDirectory* directory_ = nullptr;
  std::vector<std::unique_ptr<TDataCursor>> cursors_;
};

// "Key" and "Value", both 32-bit integers, with a unique primary index on Key.
inline TTableDefinition KeyValueDefinition() {
  TTableDefinition d;
  d.Data.Fields = {Field("Key", fldInt32), Field("Value", fldInt32)};
  d.Indexes = {Index("", {1}, true)};
  return d;
}

// A row of the KeyValueDefinition table inserted through c.
inline void InsertKeyValue(TDataCursor& c, int32_t key, int32_t value) {
  std::vector<uint8_t> r(c.GetRecordSize());
  c.InitRecord(r.data());
  c.SetFieldData(1, r.data(), &key);
  c.SetFieldData(2, r.data(), &value);
  c.InsertRecord(r.data(), false);
}

// Whether the KeyValueDefinition table holds key; its row lands in r (a record's size).
inline bool FindKeyValue(TDataCursor& c, int32_t key, std::vector<uint8_t>& r) {
  std::vector<uint8_t> probe(c.GetRecordSize());
  c.InitRecord(probe.data());
  c.SetFieldData(1, probe.data(), &key);
  return c.FindKey(probe.data(), false, r.data(), 0, false, 0);
}

// Two users of one database folder: sessions and directories 0 and 1 with short lock waits, and
// the cursors a test opens (closed before the directories).
class TwoUsersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineStart();
    for (int i = 0; i < 2; ++i) {
      sessions_[i] = CreateEngineSession();
      sessions_[i]->LockRetryCount = 1;
      sessions_[i]->LockWaitTime = 1;
      directories_[i] = sessions_[i]->OpenDirectory("db", scratch_.Path());
    }
  }
  void TearDown() override {
    cursors_.clear();
    for (int i = 0; i < 2; ++i) {
      sessions_[i]->CloseDirectory(directories_[i]);
      FreeEngineSession(sessions_[i]);
    }
    EngineStop();
  }
  // A table's files made from `d` by user 0 and closed again.
  void Create(const std::string& name, const TTableDefinition& d) {
    TDataTable* t = nullptr;
    ASSERT_EQ(directories_[0]->CreateTable(name, false, false, d, &t), 0);
    ASSERT_EQ(directories_[0]->CloseTable(t), 0);
  }
  // An open cursor of `user` on `table`, owned by the fixture.
  TDataCursor& OpenAs(int user, const std::string& table, bool exclusive = false) {
    cursors_.push_back(std::make_unique<TDataCursor>(directories_[user]));
    TDataCursor& c = *cursors_.back();
    c.SetTableName(table);
    c.SetExclusive(exclusive);
    c.Open();
    return c;
  }

  ScratchDir scratch_;
  TDataSession* sessions_[2] = {};
  TDataDirectory* directories_[2] = {};
  std::vector<std::unique_ptr<TDataCursor>> cursors_;
};

}  // namespace tovenmarsh::engine::testing
