#include "workers.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace emu::detail {
namespace {

struct Job {
  const std::function<void(std::uint64_t)>* task;
  std::uint64_t count;
  std::atomic<std::uint64_t> next{0};
  std::mutex mutex;
  std::condition_variable finished;
  std::uint64_t done = 0;

  void work() {
    std::uint64_t ran = 0;
    for (std::uint64_t i; (i = next.fetch_add(1)) < count; ++ran) (*task)(i);
    if (ran == 0) return;
    std::lock_guard lock(mutex);
    done += ran;
    if (done == count) finished.notify_all();
  }
};

class Pool {
 public:
  void run(const std::shared_ptr<Job>& job, int helpers) {
    {
      std::lock_guard lock(mutex_);
      while (static_cast<int>(threads_.size()) < helpers) threads_.emplace_back([this] { serve(); });
      for (int i = 0; i < helpers; ++i) queue_.push_back(job);
    }
    wake_.notify_all();
    job->work();
    std::unique_lock lock(job->mutex);
    job->finished.wait(lock, [&] { return job->done == job->count; });
  }

 private:
  void serve() {
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return !queue_.empty(); });
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      job->work();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::vector<std::thread> threads_;
};

// Never destroyed: its threads sleep until the process ends, and no exit path has to join
// them while another thread may still be launching.
Pool& pool() {
  static Pool* instance = new Pool;
  return *instance;
}

}  // namespace

void parallelFor(std::uint64_t count, int threads, const std::function<void(std::uint64_t)>& task) {
  const std::uint64_t helpers =
      count <= 1 ? 0 : std::min<std::uint64_t>(threads > 1 ? threads - 1 : 0, count - 1);
  if (helpers == 0) {
    for (std::uint64_t i = 0; i < count; ++i) task(i);
    return;
  }
  auto job = std::make_shared<Job>();
  job->task = &task;
  job->count = count;
  pool().run(job, static_cast<int>(helpers));
}

}  // namespace emu::detail
