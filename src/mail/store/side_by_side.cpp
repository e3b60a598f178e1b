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
// threads no thread checker can follow. Batches of several callers run at once (the queue's
// deliveries beside its archive); each caller works on its own batch too, so a batch is never
// left waiting for threads busy with another.
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
    TBatch batch{&task, count};
    {
      std::lock_guard<std::mutex> guard(lock_);
      open_.push_back(&batch);
      StartWorkers(std::min(count - 1, kWorkers));
    }
    wake_.notify_all();
    std::unique_lock<std::mutex> guard(lock_);
    while (batch.next < batch.count) RunOne(batch, guard);
    finished_.wait(guard, [&batch] { return batch.done == batch.count; });
  }

 private:
  struct TBatch {
    const std::function<void(size_t)>* task;
    size_t count;
    size_t next = 0;  // the first item not taken yet
    size_t done = 0;
  };

  // Under lock_: starts threads while fewer than wanted run.
  void StartWorkers(size_t wanted) {
    while (threads_.size() < wanted) {
      try {
        threads_.emplace_back([this] { Loop(); });
      } catch (const std::system_error&) {
        return;  // no thread to be had: the others and the callers do the rest
      }
    }
  }

  // Takes the next item of batch (which has one) and runs it with lock_ released.
  void RunOne(TBatch& batch, std::unique_lock<std::mutex>& guard) {
    const size_t i = batch.next++;
    if (batch.next == batch.count) open_.erase(std::find(open_.begin(), open_.end(), &batch));
    guard.unlock();
    (*batch.task)(i);
    guard.lock();
    // The caller may return (and its batch go) as soon as done reaches count.
    if (++batch.done == batch.count) finished_.notify_all();
  }

  void Loop() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      wake_.wait(guard, [this] { return stopping_ || !open_.empty(); });
      if (stopping_) return;
      RunOne(*open_.front(), guard);
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::condition_variable finished_;
  std::vector<std::thread> threads_;
  std::vector<TBatch*> open_;  // batches with items not taken yet, oldest first
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
