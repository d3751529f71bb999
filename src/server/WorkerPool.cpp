#include "WorkerPool.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <thread>

namespace {

// A write to a peer that has gone raises SIGPIPE in the writing thread; sendfile has no
// flag to prevent it, so the workers keep it blocked.
void blockBrokenPipeSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

std::shared_ptr<WorkerPool> WorkerPool::create(std::chrono::milliseconds idleLimit) {
  return std::shared_ptr<WorkerPool>(new WorkerPool(idleLimit));
}

void WorkerPool::submit(std::function<void()> task) {
  std::unique_lock lock(mutex_);
  tasks_.push_back(std::move(task));
  if (idleWorkers_ >= tasks_.size()) {
    wake_.notify_one();
    return;
  }
  ++workers_;
  lock.unlock();
  try {
    std::thread([pool = shared_from_this()] { pool->work(); }).detach();
  } catch (const std::system_error&) {
    // No thread to be had now: the task waits for the next worker that comes free, or,
    // with no worker alive to take it, is dropped, which closes its connection.
    lock.lock();
    if (--workers_ == 0) tasks_.clear();
  }
}

void WorkerPool::work() {
  blockBrokenPipeSignal();
  std::unique_lock lock(mutex_);
  while (true) {
    ++idleWorkers_;
    bool hasTask = wake_.wait_for(lock, idleLimit_, [this] { return !tasks_.empty(); });
    --idleWorkers_;
    if (!hasTask) {
      --workers_;
      return;
    }
    auto task = std::move(tasks_.front());
    tasks_.pop_front();
    lock.unlock();
    task();
    lock.lock();
  }
}
