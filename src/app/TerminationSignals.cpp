#include "TerminationSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <atomic>
#include <cerrno>

namespace {

// The handler's end of the pipe: a lock-free atomic, safe to read in a signal handler.
std::atomic<int> signalWriteEnd{-1};

// Interrupts whatever the thread was doing, which may be about to read errno.
void onTerminationSignal(int) {
  int savedErrno = errno;
  char byte = 1;
  [[maybe_unused]] ssize_t ignored = ::write(signalWriteEnd.load(), &byte, 1);
  errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals(std::function<void()> onSignal) : onSignal_(std::move(onSignal)) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) return;
  readEnd_.reset(ends[0]);
  writeEnd_.reset(ends[1]);
  signalWriteEnd = ends[1];
  notifier_ = new QSocketNotifier(readEnd_.get(), QSocketNotifier::Read, this);
  QObject::connect(notifier_, &QSocketNotifier::activated, this, [this] {
    char bytes[16];
    while (::read(readEnd_.get(), bytes, sizeof bytes) > 0) {
    }
    onSignal_();
  });
  struct sigaction action {};
  action.sa_handler = onTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
  signalWriteEnd = -1;
}
