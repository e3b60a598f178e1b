// The kept threads behind RunSideBySide.
#include "mail/store/side_by_side.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace tovenmarsh::mail {

namespace {

// Threads started once and kept: starting threads for every batch cost more than the file work
// of a small one. Plain threads rather than the C library's asynchronous I/O, whose own helper
// threads no thread checker can follow. One batch runs at a time; its caller works on it too.
class TFlushWorkers {
 public:
  static constexpr size_t kWorkers = 15;

  ~TFlushWorkers() {
    {
      std::lock_guard<std::mutex> guard(lock_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

  // Runs task(i) for every i below count; returns when all are done.
  void Run(size_t count, const std::function<void(size_t)>& task) {
    std::lock_guard<std::mutex> batch(batchLock_);
    {
      std::lock_guard<std::mutex> guard(lock_);
      task_ = &task;
      count_ = count;
      next_ = 0;
      done_ = 0;
      ++generation_;
    }
    StartWorkers(std::min(count > 0 ? count - 1 : 0, kWorkers));
    wake_.notify_all();
    Work();
    std::unique_lock<std::mutex> guard(lock_);
    finished_.wait(guard, [this] { return done_ == count_; });
    task_ = nullptr;
  }

 private:
  void StartWorkers(size_t wanted) {
    while (threads_.size() < wanted) {
      try {
        threads_.emplace_back([this] { Loop(); });
      } catch (const std::system_error&) {
        return;  // no thread to be had: the others and the caller do the rest
      }
    }
  }

  void Work() {
    for (;;) {
      size_t i = 0;
      const std::function<void(size_t)>* task = nullptr;
      {
        std::lock_guard<std::mutex> guard(lock_);
        if (task_ == nullptr || next_ >= count_) return;
        i = next_++;
        task = task_;
      }
      (*task)(i);
      bool last = false;
      {
        std::lock_guard<std::mutex> guard(lock_);
        last = ++done_ == count_;
      }
      if (last) finished_.notify_all();
    }
  }

  void Loop() {
    uint64_t seen = 0;
    for (;;) {
      {
        std::unique_lock<std::mutex> guard(lock_);
        wake_.wait(guard, [&] { return stopping_ || generation_ != seen; });
        if (stopping_) return;
        seen = generation_;
      }
      Work();
    }
  }

  std::mutex batchLock_;
  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::vector<std::thread> threads_;
  const std::function<void(size_t)>* task_ = nullptr;
  size_t count_ = 0;
  size_t next_ = 0;
  size_t done_ = 0;
  uint64_t generation_ = 0;
  bool stopping_ = false;
};

TFlushWorkers& FlushWorkers() {
  static TFlushWorkers workers;
  return workers;
}

}  // namespace

void RunSideBySide(size_t count, const std::function<void(size_t)>& task) {
  if (count == 0) return;
  if (count == 1) {
    task(0);
    return;
  }
  FlushWorkers().Run(count, task);
}


}  // namespace tovenmarsh::mail
