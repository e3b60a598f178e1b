// A test with a log in a fresh folder and the socket layer started, and polling for a condition
// that another thread makes true.
#pragma once

#include <gtest/gtest.h>

#include "core/log.h"
#include "core/manager_thread.h"
#include "core/sockets.h"
#include "platform/tick.h"
#include "support/temp_folder.h"

namespace tovenmarsh::core::testing {

class SocketsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(OpenLog(folder.Path() + "test.log"));
    StartSockets();
  }
  void TearDown() override {
    StopSockets();
    CloseLog();
  }
  TempFolder folder;
};

// Polls cond until it holds or about five seconds pass.
template <class Cond>
bool Eventually(Cond cond) {
  for (int i = 0; i < 500; ++i) {
    if (cond()) return true;
    platform::Sleep(10);
  }
  return cond();
}

}  // namespace tovenmarsh::core::testing
