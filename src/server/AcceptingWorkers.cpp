#include "AcceptingWorkers.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <cerrno>
#include <system_error>
#include <thread>

namespace {

using namespace std::chrono_literals;
constexpr auto transientFailurePause = 50ms;
// Enough that a connection rarely waits for a thread to be called, few descriptors held.
constexpr int acceptPlaces = 2;

// A write to a peer that has gone raises SIGPIPE in the writing thread; sendfile has no
// flag to prevent it, so the workers keep it blocked.
void blockBrokenPipeSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Failures that come from load, not from the socket: they pass, so the loop goes on.
bool isTransientAcceptFailure(int error) {
  switch (error) {
    case ECONNABORTED:
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
    case EPROTO:
    case EPERM:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::shared_ptr<AcceptingWorkers> AcceptingWorkers::start(UniqueFd listening, Handler handle,
                                                          std::chrono::milliseconds idleLimit) {
  std::shared_ptr<AcceptingWorkers> workers(new AcceptingWorkers(std::move(listening), std::move(handle), idleLimit));
  if (!workers->addWorker()) throw std::system_error(EAGAIN, std::generic_category(), "no thread to accept on");
  return workers;
}

void AcceptingWorkers::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  called_.notify_all();
  // Closing alone does not wake the threads blocked in accept(); shutting the socket down
  // wakes every one of them.
  ::shutdown(listening_.get(), SHUT_RDWR);
}

bool AcceptingWorkers::addWorker() {
  ++accepting_;
  try {
    std::thread([workers = shared_from_this()] { workers->work(); }).detach();
    return true;
  } catch (const std::system_error&) {
    // No thread to be had now: connections wait until a worker comes free.
    --accepting_;
    return false;
  }
}

void AcceptingWorkers::callAcceptor() {
  std::unique_lock lock(mutex_);
  if (waitingForCall_ > calls_) {
    ++accepting_;
    ++calls_;
    lock.unlock();
    called_.notify_one();
    return;
  }
  lock.unlock();
  addWorker();
}

bool AcceptingWorkers::waitForCall() {
  std::unique_lock lock(mutex_);
  ++waitingForCall_;
  bool called = called_.wait_for(lock, idleLimit_, [this] { return calls_ > 0 || stopped_; }) && calls_ > 0;
  --waitingForCall_;
  if (called) --calls_;
  return called;
}

bool AcceptingWorkers::takeAcceptPlace() {
  int accepting = accepting_.load();
  while (accepting < acceptPlaces) {
    if (accepting_.compare_exchange_weak(accepting, accepting + 1)) return true;
  }
  return false;
}

void AcceptingWorkers::work() {
  blockBrokenPipeSignal();
  while (true) {
    UniqueFd connection(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (connection.valid()) {
      if (--accepting_ == 0) callAcceptor();
      handle_(std::move(connection));
      if (!takeAcceptPlace() && !waitForCall()) return;
      continue;
    }
    int error = errno;
    if (error == EINTR || error == EAGAIN || error == EWOULDBLOCK) continue;
    if (isTransientAcceptFailure(error)) {
      std::this_thread::sleep_for(transientFailurePause);
    } else {
      --accepting_;
      return;  // the socket was shut down by stop()
    }
  }
}
