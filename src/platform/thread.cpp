// Thread objects over std::thread.
#include "platform/thread.h"

namespace tovenmarsh::platform {

namespace {

std::atomic<uint32_t> g_next_thread_id{1};

}  // namespace

TThreadPriority PriorityAbove(TThreadPriority p) {
  return p == TThreadPriority::TimeCritical ? p : static_cast<TThreadPriority>(static_cast<int>(p) + 1);
}

TThreadPriority PriorityBelow(TThreadPriority p) {
  return p == TThreadPriority::Idle ? p : static_cast<TThreadPriority>(static_cast<int>(p) - 1);
}

TThread::TThread() : id_(g_next_thread_id.fetch_add(1, std::memory_order_relaxed)) {}

TThread::~TThread() {
  std::lock_guard<std::mutex> guard(join_mutex_);
  if (thread_.joinable()) {
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();  // a misuse; better a leak than a deadlock
    } else {
      thread_.join();
    }
  }
}

void TThread::Start() {
  std::lock_guard<std::mutex> guard(join_mutex_);
  if (started_.exchange(true, std::memory_order_acq_rel)) return;
  thread_ = std::thread([this] { Run(); });
}

void TThread::WaitFor() {
  std::lock_guard<std::mutex> guard(join_mutex_);
  if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
  thread_.join();
}

void TThread::Run() {
  try {
    Execute();
  } catch (...) {
    try {
      HandleException(std::current_exception());
    } catch (...) {
      // The thread's own handler failed too; letting it out of the thread would end the process,
      // and this layer has no log to tell.
    }
  }
  try {
    DoTerminate();
  } catch (...) {
    // As above: the thread must still be marked finished, or WaitFor's callers would hang.
  }
  finished_.store(true, std::memory_order_release);
}

}  // namespace tovenmarsh::platform
