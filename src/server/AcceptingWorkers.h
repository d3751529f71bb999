#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "UniqueFd.h"

// Threads that each accept a connection and serve it themselves, so that no connection
// waits for a hand-over between threads. A thread blocked in accept() holds a descriptor
// number for the connection to come, so only a few wait there; a thread done serving takes
// a free place there, or waits to be called. The thread that takes the last place there
// calls or starts another before it serves, so a slow or idle connection never holds up
// another. Threads not called for `idleLimit` end.
class AcceptingWorkers : public std::enable_shared_from_this<AcceptingWorkers> {
 public:
  using Handler = std::function<void(UniqueFd connection)>;

  // Starts the first thread on `listening`, which the threads own from then on, so that
  // its number is never reused under one still about to accept. Throws std::system_error
  // when no thread can be started.
  static std::shared_ptr<AcceptingWorkers> start(UniqueFd listening, Handler handle,
                                                 std::chrono::milliseconds idleLimit);
  // Refuses new connections from now on and ends the waiting threads; connections being
  // served run to their end.
  void stop();

 private:
  AcceptingWorkers(UniqueFd listening, Handler handle, std::chrono::milliseconds idleLimit)
      : listening_(std::move(listening)), handle_(std::move(handle)), idleLimit_(idleLimit) {}
  // Counts the new thread as accepting first; false when none could be started.
  bool addWorker();
  // Calls a waiting thread to accept, or starts one.
  void callAcceptor();
  // Waits to be called to accept; false when not called in time or stopped.
  bool waitForCall();
  bool takeAcceptPlace();
  void work();

  const UniqueFd listening_;
  const Handler handle_;
  const std::chrono::milliseconds idleLimit_;
  std::atomic<int> accepting_{0};

  std::mutex mutex_;  // guards the three below
  std::condition_variable called_;
  int waitingForCall_ = 0;
  int calls_ = 0;
  bool stopped_ = false;
};
