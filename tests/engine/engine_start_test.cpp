// Engine start and stop: once per process, the global session, 10758 before start.
#include "engine/start/engine_start.h"

#include <gtest/gtest.h>

#include "engine/base/engine_error.h"
#include "engine/start/engine_library.h"
#include "engine/table/session.h"

namespace tovenmarsh::engine {

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
  TDataSession* global = EngineSession();
  ASSERT_NE(global, nullptr);
  EngineStart();  // a second start keeps the one global session
  EXPECT_EQ(EngineSession(), global);
  EXPECT_TRUE(EngineLibraryInitialized());

  TDataSession* other = CreateEngineSession();
  ASSERT_NE(other, global);
  SetEngineSession(other);
  EXPECT_EQ(EngineSession(), other);
  SetEngineSession(global);
  FreeEngineSession(other);
  EXPECT_EQ(other, nullptr);
  TDataSession* none = nullptr;
  FreeEngineSession(none);

  EngineStop();
  EXPECT_FALSE(EngineStarted());
  EXPECT_FALSE(EngineLibraryInitialized());
  EngineStop();  // nothing to do
  EXPECT_THROW(EngineSession(), EFenEngineError);
}

}  // namespace
}  // namespace tovenmarsh::engine
