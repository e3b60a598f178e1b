// The framework's flags.
#include "core/framework_state.h"

#include <atomic>

namespace tovenmarsh::core {

namespace {

std::atomic<bool> g_shutDown{true};
std::atomic<bool> g_stopping{false};

}  // namespace

bool IsShutDown() { return g_shutDown.load(std::memory_order_acquire); }
bool IsStopping() { return g_stopping.load(std::memory_order_acquire); }
void SetStopping(bool stopping) { g_stopping.store(stopping, std::memory_order_release); }
void SetShutDown(bool shutDown) { g_shutDown.store(shutDown, std::memory_order_release); }

}  // namespace tovenmarsh::core
