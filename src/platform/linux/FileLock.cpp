#include "FileLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>
#include <thread>

FileLock::FileLock(const std::filesystem::path& path, std::chrono::seconds patience) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd_.valid()) return;
  // flock has no timed wait; a short poll costs nothing next to the wait it bounds.
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (::flock(fd_.get(), LOCK_EX | LOCK_NB) != 0) {
    bool held = errno == EWOULDBLOCK || errno == EINTR;
    if (!held || std::chrono::steady_clock::now() >= deadline) {
      timedOut_ = held;
      fd_.reset();
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}
