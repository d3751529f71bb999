#include "FileLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace {

// Once a lock was waited for in vain, this run waits no more: one stalled run costs another
// the patience once, not once per change.
std::atomic<bool> gaveUpWaiting{false};

}  // namespace

FileLock::FileLock(const std::filesystem::path& path, std::chrono::seconds patience) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  // A lock file that cannot be ours (a link, a folder, a read-only folder): the folder itself
  // is locked, so that parallel runs still take turns.
  if (!fd_.valid()) fd_.reset(::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd_.valid()) return;
  // flock has no timed wait; a short poll costs nothing next to the wait it bounds.
  const auto deadline = std::chrono::steady_clock::now() + (gaveUpWaiting ? std::chrono::seconds(0) : patience);
  while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    bool held = errno == EWOULDBLOCK || errno == EINTR;
    if (!held || std::chrono::steady_clock::now() >= deadline) {
      timedOut_ = held;
      gaveUpWaiting = gaveUpWaiting || held;
      fd_.reset();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
