#include "SocketIo.h"

#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>

namespace SocketIo {

void setTimeout(int fd, int option, std::chrono::microseconds timeout) {
  auto micros = std::max<std::chrono::microseconds::rep>(timeout.count(), 1);
  timeval value{};
  value.tv_sec = static_cast<time_t>(micros / 1'000'000);
  value.tv_usec = static_cast<suseconds_t>(micros % 1'000'000);
  setsockopt(fd, SOL_SOCKET, option, &value, sizeof value);
}

bool sendAll(int fd, std::string_view bytes) {
  size_t offset = 0;
  while (offset < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + offset, bytes.size() - offset, MSG_NOSIGNAL);
    if (n > 0) {
      offset += static_cast<size_t>(n);
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

long receiveSome(int fd, char* buffer, std::size_t capacity) {
  while (true) {
    ssize_t n = ::recv(fd, buffer, capacity, 0);
    if (n >= 0) return n;
    if (errno != EINTR) return -1;
  }
}

bool sendFile(int socketFd, int fileFd, std::uint64_t size, std::size_t step, const std::function<void()>& afterStep) {
  off_t offset = 0;
  while (static_cast<std::uint64_t>(offset) < size) {
    auto left = size - static_cast<std::uint64_t>(offset);
    auto count = static_cast<size_t>(std::min<std::uint64_t>(left, step));
    ssize_t n = ::sendfile(socketFd, fileFd, &offset, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;  // socket failed, read error, or the file shrank
    afterStep();
  }
  return true;
}

}  // namespace SocketIo
