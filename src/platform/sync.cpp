// Events and semaphores over a mutex and a condition variable.
#include "platform/sync.h"

#include <algorithm>
#include <chrono>

namespace tovenmarsh::platform {

namespace {

// Waits on cv until ready() or ms pass; true when ready.
template <class Ready>
bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lock, uint32_t ms, Ready ready) {
  if (ms == kInfinite) {
    cv.wait(lock, ready);
    return true;
  }
  return cv.wait_for(lock, std::chrono::milliseconds(ms), ready);
}

}  // namespace

void TEvent::SetEvent() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void TEvent::ResetEvent() {
  std::lock_guard<std::mutex> guard(mutex_);
  set_ = false;
}

bool TEvent::IsSet() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return set_;
}

TWaitResult TEvent::WaitFor(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return WaitUntil(changed_, lock, ms, [this] { return set_; }) ? TWaitResult::Signaled : TWaitResult::Timeout;
}

TSemaphore::TSemaphore(int initial, int maximum)
    : count_(0), maximum_(std::max(1, maximum)) {
  count_ = std::clamp(initial, 0, maximum_);
}

bool TSemaphore::Acquire(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!WaitUntil(freed_, lock, ms, [this] { return count_ > 0; })) return false;
  --count_;
  return true;
}

bool TSemaphore::Release(int count) {
  if (count <= 0) return false;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (count_ > maximum_ - count) return false;
    count_ += count;
  }
  if (count == 1) {
    freed_.notify_one();
  } else {
    freed_.notify_all();
  }
  return true;
}

int TSemaphore::Available() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return count_;
}

}  // namespace tovenmarsh::platform
