#include "FileLock.h"

#include <fcntl.h>
#include <sys/file.h>

#include <cerrno>

FileLock::FileLock(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::create_directories(path.parent_path(), error);
  fd_.reset(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd_.valid()) return;
  while (::flock(fd_.get(), LOCK_EX) != 0 && errno == EINTR) {
  }
}
