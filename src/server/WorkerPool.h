#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

// Runs each task at once on a reused thread: an idle worker takes it, or a new worker is
// started, so a slow or idle connection never holds up another. Workers that stay idle
// past `idleLimit` end.
class WorkerPool : public std::enable_shared_from_this<WorkerPool> {
 public:
  static std::shared_ptr<WorkerPool> create(std::chrono::milliseconds idleLimit);
  void submit(std::function<void()> task);

 private:
  explicit WorkerPool(std::chrono::milliseconds idleLimit) : idleLimit_(idleLimit) {}
  void work();

  const std::chrono::milliseconds idleLimit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  size_t idleWorkers_ = 0;
  size_t workers_ = 0;
};
