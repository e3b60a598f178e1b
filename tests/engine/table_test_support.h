// Shared helpers of the cursor and table tests: field and index descriptors in one line, the
// engine error code a call raised, and a fixture holding a started engine with one session and
// one directory on a scratch folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>

#include "engine/engine_error.h"
#include "engine/engine_start.h"
#include "engine/field_desc.h"
#include "engine/session.h"
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

// A started engine, a session and its directory "db" on a fresh scratch folder. A derived
// fixture releases its own cursors before calling TearDown here.
class EngineDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EngineStart();
    session_ = CreateEngineSession();
    directory_ = session_->OpenDirectory("db", scratch_.Path());
  }
  void TearDown() override {
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

  ScratchDir scratch_;
  TDataSession* session_ = nullptr;
  TDataDirectory* directory_ = nullptr;
};

}  // namespace tovenmarsh::engine::testing
