// Engine start and stop: once per process, the global session, 10758 before start.
#include "engine/engine_start.h"

#include <gtest/gtest.h>

#include "engine/engine_error.h"
#include "engine/engine_library.h"

namespace tovenmarsh::engine {

// A stand-in for the session module's session: only identity matters here.
class TDataSession {
 public:
  int Id = 0;
};

namespace {
int gCreated = 0;
int gFreed = 0;
}  // namespace

TDataSession* CreateEngineSession() {
  ++gCreated;
  auto* session = new TDataSession();
  session->Id = gCreated;
  return session;
}

void FreeEngineSession(TDataSession*& session) {
  if (session == nullptr) return;
  ++gFreed;
  delete session;
  session = nullptr;
}

namespace {

TEST(EngineStart, StartOnceStopOnce) {
  try {
    EngineSession();
    FAIL();
  } catch (const EFenEngineError& e) {
    EXPECT_EQ(e.Code(), kErrEngineNotInitialized);
    EXPECT_EQ(e.Text(), "Engine not initialized");
  }
  EngineStart();
  EngineStart();
  EXPECT_EQ(gCreated, 1);
  EXPECT_TRUE(EngineLibraryInitialized());
  TDataSession* global = EngineSession();
  ASSERT_NE(global, nullptr);

  TDataSession* other = CreateEngineSession();
  SetEngineSession(other);
  EXPECT_EQ(EngineSession(), other);
  SetEngineSession(global);
  FreeEngineSession(other);
  EXPECT_EQ(other, nullptr);
  TDataSession* none = nullptr;
  FreeEngineSession(none);

  EngineStop();
  EXPECT_EQ(gFreed, 2);
  EXPECT_FALSE(EngineStarted());
  EXPECT_FALSE(EngineLibraryInitialized());
  EngineStop();  // nothing to do
  EXPECT_THROW(EngineSession(), EFenEngineError);
}

}  // namespace
}  // namespace tovenmarsh::engine
